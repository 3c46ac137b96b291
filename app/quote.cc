// How a field value is written into SQL text; see quote.h.
#include "app/quote.h"

#include <cctype>

#include "msql/msql.h"

namespace {

// Types whose values are written between single quotes.
bool IsQuotedType(int type) {
  return type == CHAR_TYPE || type == TEXT_TYPE || type == DATE_TYPE || type == TIME_TYPE;
}

// Numeric types: an empty value of one of these has no literal but NULL.
bool IsNumericType(int type) {
  return type == INT_TYPE || type == REAL_TYPE || type == UINT_TYPE || type == MONEY_TYPE;
}

}  // namespace

std::string QuoteName(const char *name) {
  if (name == nullptr) name = "";
  bool plain = isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_';
  for (const char *p = name; plain && *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    plain = (c < 0x80 && isalnum(c)) || c == '_';
  }
  if (plain) return name;
  std::string quoted = "\"";
  for (const char *p = name; *p; p++) {
    if (*p == '"') quoted += '"';
    quoted += *p;
  }
  return quoted + "\"";
}

// Quoted values escape ' and \ with a backslash, the server's literal
// syntax, so a value such as O'Brien is stored as typed instead of ending
// the literal early. A null value is written as NULL.
char *QuoteValue(char *buffer, size_t size, const char *value, int type) {
  if (!buffer || size == 0) return nullptr;
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= size) return false;
    buffer[n++] = c;
    return true;
  };
  auto put_text = [&](const char *text) {
    for (; *text; text++)
      if (!put(*text)) return false;
    return true;
  };
  bool ok;
  if (!value || (value[0] == '\0' && IsNumericType(type))) {
    ok = put_text("NULL");
  } else if (IsQuotedType(type)) {
    ok = put('\'');
    for (const char *p = value; ok && *p; p++) {
      if (*p == '\'' || *p == '\\') ok = put('\\');
      if (ok) ok = put(*p);
    }
    if (ok) ok = put('\'');
  } else {
    ok = put_text(value);
  }
  if (!ok) {
    buffer[0] = '\0';
    return nullptr;
  }
  buffer[n] = '\0';
  return buffer;
}
