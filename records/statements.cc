// The SQL text the record forms send, built from a table's Info and the texts
// of the form's inputs, with no toolkit involved. Each builder writes into a
// caller's statement buffer and refuses (returns -1) a statement that would
// not fit, so that nothing is ever sent cut.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "records/records.h"

namespace {

// The one writer of a statement buffer. Once an append does not fit, the
// statement is marked full and every later append is ignored.
struct Statement {
  char *buffer;
  size_t size;
  size_t length;
  bool full;
};

__attribute__((format(printf, 2, 3))) void Append(Statement &s, const char *format, ...) {
  if (s.full) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(s.buffer + s.length, s.size - s.length, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= s.size - s.length) {
    s.full = true;
    return;
  }
  s.length += n;
}

// Appends value as a literal of the given type; a null value is SQL NULL.
// A literal can never be longer than a whole statement, so a value whose
// literal does not fit STATEMENT_SIZE makes the statement too long as well.
void AppendValue(Statement &s, const char *value, int type) {
  if (value == nullptr) {
    Append(s, "NULL");
    return;
  }
  char literal[STATEMENT_SIZE];
  if (QuoteValue(literal, sizeof literal, value, type) == nullptr) {
    s.full = true;
    return;
  }
  Append(s, "%s", literal);
}

Statement Begin(char *buffer, size_t size) {
  Statement s = {buffer, size, 0, size == 0};
  if (size > 0) buffer[0] = '\0';
  return s;
}

// A refused statement leaves an empty buffer behind, so that no cut text can
// be sent by mistake.
int Finish(Statement &s) {
  if (!s.full) return 0;
  if (s.size > 0) s.buffer[0] = '\0';
  return -1;
}

const InfoField &KeyField(const Info *info) { return info->fields[info->pkey]; }

}  // namespace

int LookupStatement(char *statement, size_t size, const Info *info, const char *key) {
  Statement s = Begin(statement, size);
  // Two blanks before WHERE: the statement is written as the server log and
  // the message list have always shown it.
  Append(s, "SELECT * FROM %s  WHERE %s = ", QuoteName(info->table).c_str(), QuoteName(KeyField(info).name).c_str());
  AppendValue(s, key, KeyField(info).type);
  return Finish(s);
}

int UpdateStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values, const char *key,
                    const std::vector<bool> &left_out) {
  Statement s = Begin(statement, size);
  Append(s, "UPDATE %s SET ", QuoteName(info->table).c_str());
  bool first = true;
  for (int i = 0; i < info->nfields; i++) {
    if (i == info->pkey || (static_cast<size_t>(i) < left_out.size() && left_out[i])) continue;
    Append(s, first ? "%s=" : ",%s=", QuoteName(info->fields[i].name).c_str());
    AppendValue(s, values[i], info->fields[i].type);
    first = false;
  }
  Append(s, " WHERE %s = ", QuoteName(KeyField(info).name).c_str());
  AppendValue(s, key, KeyField(info).type);
  return Finish(s);
}

int DeleteStatement(char *statement, size_t size, const Info *info, const char *key) {
  Statement s = Begin(statement, size);
  Append(s, "DELETE FROM %s  WHERE %s = ", QuoteName(info->table).c_str(), QuoteName(KeyField(info).name).c_str());
  AppendValue(s, key, KeyField(info).type);
  return Finish(s);
}

int InsertStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values) {
  Statement s = Begin(statement, size);
  Append(s, "INSERT INTO %s VALUES (", QuoteName(info->table).c_str());
  for (int i = 0; i < info->nfields; i++) {
    if (i > 0) Append(s, ",");
    AppendValue(s, values[i], info->fields[i].type);
  }
  Append(s, ")");
  return Finish(s);
}

int SearchStatement(char *statement, size_t size, const Info *info,
                    const std::vector<const char *> &values) {
  Statement s = Begin(statement, size);
  // The first format ends in a blank and " WHERE " begins with one.
  Append(s, "SELECT * FROM %s ", QuoteName(info->table).c_str());
  int conditions = 0;
  for (int i = 0; i < info->nfields; i++) {
    if (values[i] == nullptr || values[i][0] == '\0') continue;
    // Blanks in a number field are no pattern: the field is left out, as
    // when it is empty.
    if (IsNumberType(info->fields[i].type) && IsBlankText(values[i])) continue;
    Append(s, conditions == 0 ? " WHERE " : " AND ");
    conditions++;
    Append(s, "%s LIKE ", QuoteName(info->fields[i].name).c_str());
    AppendValue(s, values[i], info->fields[i].type);
  }
  return Finish(s);
}

int TooLongField(const Info *info, const std::vector<const char *> &values,
                 const std::vector<bool> &keep) {
  for (int i = 0; i < info->nfields; i++) {
    if (info->fields[i].type != CHAR_TYPE || values[i] == nullptr) continue;
    if (static_cast<size_t>(i) < keep.size() && keep[i]) continue;
    if (strlen(values[i]) > static_cast<size_t>(info->fields[i].length)) return i;
  }
  return -1;
}

int NotANumberField(const Info *info, const std::vector<const char *> &values,
                    const std::vector<bool> &keep, bool patterns, const char **fault) {
  for (int i = 0; i < info->nfields; i++) {
    int type = info->fields[i].type;
    const char *value = values[i];
    if (!IsNumberType(type) || value == nullptr || IsBlankText(value)) continue;
    if (static_cast<size_t>(i) < keep.size() && keep[i]) continue;
    if (patterns && strpbrk(value, "%_") != nullptr) continue;
    const char *why = ReadNumber(value, type);
    if (why == nullptr) continue;
    if (fault) *fault = why;
    return i;
  }
  return -1;
}
