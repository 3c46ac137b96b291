// The text the list windows show, print and write: fixed-width record lines,
// the query file reader, and the line and CSV writers. Nothing here touches a window
// except BrowserLines, which only reads a list's stored text.
#include <stdarg.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "app/services/binary.h"
#include "app/services/charset.h"
#include "views/views.h"

void PadSpaces(std::string &text, int count) {
  if (count > 0) text.append(static_cast<size_t>(count), ' ');
}

// A control character would not keep its one cell: the list breaks a line
// at a newline and widens a tab, which would shift every column after it
// and, for a newline, put the following rows on the wrong list lines.
static void AppendShown(std::string &line, const char *value, size_t count) {
  size_t start = line.size();
  line.append(value, count);
  for (size_t i = start; i < line.size(); i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7f) line[i] = ' ';
  }
}

// Appends the line of one row to `line`, in the server's charset. With the
// values' byte counts (lengths, may be null) a zero byte inside a value is
// shown as a blank rather than ending it. A column holds as many characters
// as the field's length, however many bytes each takes, so that the columns
// line up once the line is shown in Latin-1. With `mark`, a value cut to its
// column gives its last place to the mark, so that the eye can tell it from
// a value that ends there, and a value that is not text shows as a
// description of itself; the lines written to files and printers have
// neither.
static void AppendRecordLine(std::string &line, const Info *info, char *const *row, const int *lengths,
                             const std::string &mark = std::string()) {
  for (int i = 0; i < info->nfields; i++) {
    int length = info->fields[i].length;
    const char *value = row[i];
    size_t bytes = 0, characters = 0;
    bool cut = false;
    std::string description;
    size_t size = 0;
    if (value != nullptr) size = lengths != nullptr ? static_cast<size_t>(lengths[i]) : strlen(value);
    // A value that is not text is shown as a description of itself, which
    // is ASCII, the same in every charset.
    if (value != nullptr && !mark.empty() && IsBinaryValue(value, size)) {
      description = BinaryDescription(value, size);
      value = description.c_str();
      size = description.size();
    }
    if (value != nullptr && length > 0) {
      bytes = ServerPrefixBytes(value, size, static_cast<size_t>(length), server_charset);
      cut = !mark.empty() && bytes < size;
      if (cut) bytes = ServerPrefixBytes(value, size, static_cast<size_t>(length - 1), server_charset);
      characters = ServerCharacters(value, bytes, server_charset);
    }
    if (bytes > 0) AppendShown(line, value, bytes);
    if (cut) {
      line += mark;
      characters++;
    }
    PadSpaces(line, length - static_cast<int>(characters));
    line.append("  ");
  }
}

std::string RecordLine(const Info *info, char *const *row, const int *lengths) {
  std::string line;
  AppendRecordLine(line, info, row, lengths);
  return line;
}

void AddRecordLine(Info *info, FL_OBJECT *browser, char **row, const int *lengths) {
  // One buffer for every line of the run: the list keeps its own copy, and
  // a large list is filled without an allocation per row.
  static std::string line;
  static std::string mark;
  static ServerCharset mark_charset;
  if (mark.empty() || mark_charset != server_charset) {
    mark = ToServer(CUT_MARK, server_charset);
    mark_charset = server_charset;
  }
  line.clear();
  AppendRecordLine(line, info, row, lengths, mark);
  if (server_charset == CHARSET_8BIT) {
    fl_add_browser_line(browser, line.c_str());
  } else {
    fl_add_browser_line(browser, ToToolkit(line.c_str()).c_str());
  }
}

const char *FieldTypeName(int type) {
  switch (type) {
    case INT_TYPE: return "Integer";
    case CHAR_TYPE: return "Character";
    case REAL_TYPE: return "Real";
    case TEXT_TYPE: return "Free text";
    case DATE_TYPE: return "Date";
    case UINT_TYPE: return "Unsigned integer";
    case MONEY_TYPE: return "Money";
    case TIME_TYPE: return "Time";
    case IDX_TYPE: return "Index";
    default: return nullptr;
  }
}

// Both lines are built with the formats the window has always used; the
// buffer is grown to whatever a long name needs, so nothing is cut.
static std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
static std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

std::string FieldDescriptionHeader(void) {
  return Format("%18s %18s %8s %8s %12s %8s", "Fieldname", "Tablename", "Length", "Type",
                "Unique Key", "Not Null");
}

// Right-aligns server text in width characters, as "%*s" would in bytes.
static std::string RightAligned(const char *text, int width) {
  size_t characters = ServerCharacters(text, strlen(text), server_charset);
  std::string aligned;
  PadSpaces(aligned, width - static_cast<int>(characters));
  return aligned + text;
}

std::string FieldDescriptionLine(const Info *info, int i) {
  const InfoField &field = info->fields[i];
  const char *type = FieldTypeName(field.type);
  return Format("@C%c%s %s %6d   %10s %8s %8s", i == info->pkey ? '1' : '0',
                RightAligned(field.name ? field.name : "", 18).c_str(),
                RightAligned(info->table ? info->table : "", 18).c_str(), field.length,
                type ? type : "Unknown", (field.flags & FLAG_UNIQUE_KEY) ? "Y" : "N",
                (field.flags & FLAG_NOT_NULL) ? "Y" : "N");
}

size_t ReadQueryFile(FILE *file, char *store, size_t size, bool *cut) {
  *cut = false;
  if (size == 0) return 0;
  size_t n = fread(store, 1, size - 1, file);
  // What follows the bytes read decides whether anything was lost: nothing,
  // or a lone newline ending the statement, loses nothing.
  if (n == size - 1) {
    int next = getc(file);
    if (next != EOF && !(next == '\n' && getc(file) == EOF)) *cut = true;
  }
  if (n > 0 && store[n - 1] == '\n') n--;
  store[n] = '\0';
  return n;
}

int WriteLines(FILE *file, const std::vector<std::string> &lines) {
  for (const std::string &line : lines) {
    if (fwrite(line.data(), 1, line.size(), file) != line.size() || putc('\n', file) == EOF)
      return -1;
  }
  return fflush(file) == 0 ? 0 : -1;
}

bool IsCsvName(const char *path) {
  size_t n = strlen(path);
  return n >= 4 && strcasecmp(path + n - 4, ".csv") == 0;
}

// Appends one CSV field of `length` bytes, zero bytes included: the file
// holds the value whole. NULL stays empty and unquoted, so that a reader can
// tell it from an empty text, which is written as "".
static void AppendCsvField(std::string &line, const char *value, size_t length) {
  if (value == nullptr) return;
  std::string text(value, length);
  if (length > 0 && text.find_first_of(",\"\r\n") == std::string::npos) {
    line += text;
    return;
  }
  line += '"';
  for (char c : text) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

int WriteCsv(FILE *file, ResultHandle *res, const Info *info) {
  std::string line;
  auto write_line = [&]() {
    line += "\r\n";
    bool written = fwrite(line.data(), 1, line.size(), file) == line.size();
    line.clear();
    return written;
  };
  auto append_name = [&](int column, const char *name) {
    if (column > 0) line += ',';
    if (name == nullptr) name = "";
    AppendCsvField(line, name, strlen(name));
  };
  msqlFieldSeek(res, 0);
  int fields = 0;
  while (const FieldListEntry *field = msqlFetchField(res)) append_name(fields++, field->name);
  if (fields == 0 && info != nullptr) {
    for (int i = 0; i < info->nfields; i++) append_name(i, info->fields[i].name);
  }
  if (!write_line()) return -1;
  // Every row of a result holds a value per field description.
  int columns = ResultColumns(res);
  msqlDataSeek(res, 0);
  while (char **row = msqlFetchRow(res)) {
    const int *lengths = msqlFetchLengths(res);
    for (int i = 0; i < columns; i++) {
      if (i > 0) line += ',';
      const char *value = row[i];
      size_t length = value == nullptr ? 0 : lengths != nullptr ? static_cast<size_t>(lengths[i]) : strlen(value);
      AppendCsvField(line, value, length);
    }
    if (!write_line()) return -1;
  }
  return fflush(file) == 0 ? 0 : -1;
}

std::vector<std::string> BrowserLines(FL_OBJECT *browser) {
  std::vector<std::string> lines;
  int count = fl_get_browser_maxline(browser);
  lines.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 1; i <= count; i++) {
    const char *line = fl_get_browser_line(browser, i);
    lines.emplace_back(line ? line : "");
  }
  return lines;
}

std::vector<std::string> ServerLines(const ListForm *list) {
  std::vector<std::string> lines;
  int count = fl_get_browser_maxline(list->browser);
  ResultHandle *res = list->info != nullptr ? list->info->res : nullptr;
  if (res != nullptr) {
    // The lines of a record list are its rows, made again from the values
    // as the server sent them, in the order the list was filled.
    int nfields = list->info->nfields;
    int columns = ResultColumns(res);
    std::vector<char *> values(static_cast<size_t>(nfields));
    std::vector<int> lengths(static_cast<size_t>(nfields));
    msqlDataSeek(res, 0);
    for (int i = 0; i < count; i++) {
      char **row = msqlFetchRow(res);
      if (row == nullptr) break;
      const int *sizes = msqlFetchLengths(res);
      for (int j = 0; j < nfields; j++) {
        bool there = j < columns;
        values[j] = there ? row[j] : nullptr;
        lengths[j] = !there || values[j] == nullptr ? 0
                     : sizes != nullptr              ? sizes[j]
                                                     : static_cast<int>(strlen(values[j]));
      }
      lines.push_back(RecordLine(list->info, values.data(), lengths.data()));
    }
    return lines;
  }
  if (list->origin != nullptr) {
    lines.push_back(FieldDescriptionHeader());
    for (int i = 0; i < list->origin->nentries && static_cast<int>(lines.size()) < count; i++)
      lines.push_back(FieldDescriptionLine(list->origin, i));
    return lines;
  }
  for (const std::string &line : BrowserLines(list->browser)) lines.push_back(ToServer(line.c_str()));
  return lines;
}
