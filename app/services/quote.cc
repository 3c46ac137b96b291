// How a field value is written into SQL text; see quote.h.
#include "app/services/quote.h"

#include <locale.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "msql/msql.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The largest integer the statements write: SQLite reads a longer integer
// literal as a real, silently losing its last digits, and PostgreSQL's
// widest integer is bigint.
const char kIntegerMax[] = "9223372036854775807";
const char kIntegerMin[] = "9223372036854775808";  // its magnitude, below zero

// Money goes into PostgreSQL's numeric(15,2) and into SQLite's doubles,
// which keep 15 significant digits exactly: 13 before the point.
const size_t kMoneyDigits = 13;

// Whether the decimal digits (no sign, leading zeros allowed) are at most
// limit, compared as numbers.
bool DigitsWithin(const char *digits, size_t n, const char *limit) {
  while (n > 1 && digits[0] == '0') {
    digits++;
    n--;
  }
  size_t limit_n = strlen(limit);
  if (n != limit_n) return n < limit_n;
  return memcmp(digits, limit, n) <= 0;
}

// Whether a real number's text (already checked to be one) overflows a
// double; read in the C locale, whatever the program runs under, since the
// decimal point is always '.'.
bool RealOverflows(const std::string &text) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  errno = 0;
  double value = c_locale ? strtod_l(text.c_str(), nullptr, c_locale) : strtod(text.c_str(), nullptr);
  return std::isinf(value);
}

}  // namespace

bool IsNumberType(int type) {
  return type == INT_TYPE || type == REAL_TYPE || type == UINT_TYPE || type == MONEY_TYPE;
}

bool IsBlankText(const char *text) {
  for (; text && *text; text++)
    if (!IsBlank(*text)) return false;
  return true;
}

const char *ReadNumber(const char *text, int type, std::string *literal) {
  const char *not_this;
  switch (type) {
    case INT_TYPE: not_this = "is not an integer"; break;
    case UINT_TYPE: not_this = "is not an unsigned integer"; break;
    case REAL_TYPE: not_this = "is not a number"; break;
    case MONEY_TYPE: not_this = "is not an amount of money (at most two decimals)"; break;
    default: return "is not of a number type";
  }
  if (text == nullptr) return not_this;
  const char *p = text;
  while (IsBlank(*p)) p++;
  const char *end = p + strlen(p);
  while (end > p && IsBlank(end[-1])) end--;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    p++;
  }
  const char *digits = p;
  while (p < end && IsDigit(*p)) p++;
  size_t whole = static_cast<size_t>(p - digits);
  size_t decimals = 0;
  if (p < end && *p == '.' && (type == REAL_TYPE || type == MONEY_TYPE)) {
    const char *first = ++p;
    while (p < end && IsDigit(*p)) p++;
    decimals = static_cast<size_t>(p - first);
  }
  if (whole + decimals == 0) return not_this;
  if (p < end && (*p == 'e' || *p == 'E') && type == REAL_TYPE) {
    p++;
    if (p < end && (*p == '+' || *p == '-')) p++;
    const char *first = p;
    while (p < end && IsDigit(*p)) p++;
    if (p == first) return not_this;
  }
  if (p != end) return not_this;
  if (type == MONEY_TYPE && decimals > 2) return not_this;
  if (type == UINT_TYPE && negative) return not_this;

  std::string number(negative ? "-" : "");
  number.append(digits, end);
  switch (type) {
    case INT_TYPE:
      if (!DigitsWithin(digits, whole, negative ? kIntegerMin : kIntegerMax))
        return "is out of range for an integer";
      break;
    case UINT_TYPE:
      if (!DigitsWithin(digits, whole, kIntegerMax)) return "is out of range for an unsigned integer";
      break;
    case MONEY_TYPE: {
      size_t leading = 0;
      while (leading < whole && digits[leading] == '0') leading++;
      if (whole - leading > kMoneyDigits) return "is out of range for money";
      break;
    }
    default:
      if (RealOverflows(number)) return "is out of range for a real number";
      break;
  }
  if (literal) *literal = number;
  return nullptr;
}

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
// the literal early. A null value is written as NULL. A number field's text
// that is no number is quoted like any text: what the user typed must never
// be read as SQL, and a value stored in a SQLite file that is not a number
// goes back as it was.
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
  std::string number;
  bool is_number = IsNumberType(type);
  if (!value || (is_number && IsBlankText(value))) {
    ok = put_text("NULL");
  } else if (is_number && ReadNumber(value, type, &number) == nullptr) {
    ok = put_text(number.c_str());
  } else {
    // Character, text, date and time values, and anything else: between
    // quotes.
    ok = put('\'');
    for (const char *p = value; ok && *p; p++) {
      if (*p == '\'' || *p == '\\') ok = put('\\');
      if (ok) ok = put(*p);
    }
    if (ok) ok = put('\'');
  }
  if (!ok) {
    buffer[0] = '\0';
    return nullptr;
  }
  buffer[n] = '\0';
  return buffer;
}
