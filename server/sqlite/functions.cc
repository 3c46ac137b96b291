// The SQL functions and collations korvid-server adds to every SQLite
// database it opens (LIKE and CLIKE as mSQL matches, RLIKE, the sequences,
// the byte count of a value as it is sent, mSQL's date and time order), and
// the authorizer that keeps client statements off the server's own tables.
#include <regex.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "server/sqlite/sqlite.h"

namespace {

void LikeFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const unsigned char *pattern = sqlite3_value_text(argv[0]);
  const unsigned char *text = sqlite3_value_text(argv[1]);
  if (!pattern || !text) return;  // NULL
  bool fold = sqlite3_user_data(ctx) != nullptr;
  sqlite3_result_int(ctx, LikeMatch((const char *)pattern, (const char *)text, fold));
}

void FreeRegex(void *p) {
  regex_t *re = (regex_t *)p;
  regfree(re);
  delete re;
}

// X REGEXP Y calls regexp(Y, X): POSIX extended, case-sensitive. The compiled
// expression is cached on the statement while the pattern stays constant.
void RegexpFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const unsigned char *pattern = sqlite3_value_text(argv[0]);
  const unsigned char *text = sqlite3_value_text(argv[1]);
  if (!pattern || !text) return;
  regex_t *re = (regex_t *)sqlite3_get_auxdata(ctx, 0);
  if (!re) {
    re = new regex_t;
    int rc = regcomp(re, (const char *)pattern, REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char msg[160];
      regerror(rc, re, msg, sizeof msg);
      delete re;
      std::string error = std::string("Bad regular expression: ") + msg;
      sqlite3_result_error(ctx, error.c_str(), -1);
      return;
    }
    sqlite3_set_auxdata(ctx, 0, re, FreeRegex);
    re = (regex_t *)sqlite3_get_auxdata(ctx, 0);
    if (!re) {
      sqlite3_result_error_nomem(ctx);
      return;
    }
  }
  sqlite3_result_int(ctx, regexec(re, (const char *)text, 0, nullptr, 0) == 0);
}

int DateCollation(void *, int na, const void *a, int nb, const void *b) {
  return MsqlCompareDates((const char *)a, (size_t)na, (const char *)b, (size_t)nb);
}

int TimeCollation(void *, int na, const void *a, int nb, const void *b) {
  return MsqlCompareTimes((const char *)a, (size_t)na, (const char *)b, (size_t)nb);
}

// korvid_bytes(x): the bytes of x as text, as it is sent; a text's count
// is known without reading it, where length(CAST(x AS BLOB)) copies it.
void BytesFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  char digits[64];
  if (sqlite3_value_type(argv[0]) == SQLITE_FLOAT) {
    size_t n = FormatReal(sqlite3_value_double(argv[0]), digits, sizeof digits);
    if (n) {
      sqlite3_result_int(ctx, (int)n);  // counted as it is sent
      return;
    }
  }
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT && sqlite3_value_type(argv[0]) != SQLITE_BLOB) {
    sqlite3_value_text(argv[0]);  // a number counts as the text it is sent as
  }
  sqlite3_result_int(ctx, sqlite3_value_bytes(argv[0]));
}

// korvid_seq(table): the sequence's current value; advances it by its step.
void SequenceFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  if (sqlite3_user_data(ctx) != nullptr) {
    sqlite3_result_error(ctx, "Server is read-only: _seq cannot advance", -1);
    return;
  }
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  const unsigned char *table = sqlite3_value_text(argv[0]);
  Stmt st;
  std::string error;
  if (!table ||
      !Prepare(db, "UPDATE _korvid_seq SET value = value + step WHERE tbl = ?1 RETURNING value - step",
               &st, &error)) {
    std::string message = "No sequence defined on table " + std::string(table ? (const char *)table : "");
    sqlite3_result_error(ctx, message.c_str(), -1);
    return;
  }
  sqlite3_bind_text(st.s, 1, (const char *)table, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st.s);
  if (rc == SQLITE_ROW) {
    sqlite3_result_int64(ctx, sqlite3_column_int64(st.s, 0));
  } else if (rc == SQLITE_DONE) {
    std::string message = "No sequence defined on table " + std::string((const char *)table);
    sqlite3_result_error(ctx, message.c_str(), -1);
  } else {
    sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
  }
}

// Set while a client's statement is being prepared. The server's own
// statements (sequences, catalog) run with it clear, and so do the nested
// statements of korvid_seq(), which SQLite prepares while stepping.
thread_local bool preparing_client_statement = false;

bool Reserved(const char *name) { return name && strncasecmp(name, "_korvid", 7) == 0; }

// No client statement may touch the server's own tables, however the name
// is written (quoted, bracketed, or as a string in a name's place), or call
// fts3_tokenizer(), whose one-argument
// form tells a native address and whose two-argument form is refused only
// when its blob is not a bound value (which the dialect makes of literals).
int Authorize(void *, int action, const char *a, const char *b, const char *, const char *) {
  if (!preparing_client_statement) return SQLITE_OK;
  if (action == SQLITE_FUNCTION) {
    return b && strcasecmp(b, "fts3_tokenizer") == 0 ? SQLITE_DENY : SQLITE_OK;
  }
  if (Reserved(a) || Reserved(b)) return SQLITE_DENY;
  return SQLITE_OK;
}

}  // namespace

void DbAddFunctions(sqlite3 *db, bool read_only) {
  void *ro = read_only ? (void *)1 : nullptr;
  // Matching and counting have no side effects, so a view or trigger in a
  // file may use them with trusted_schema off (LIKE in a view made by
  // another program keeps working); advancing a sequence writes, so only a
  // statement of the client's own may call it.
  int enc = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  sqlite3_create_function(db, "like", 2, enc, nullptr, LikeFunction, nullptr, nullptr);
  sqlite3_create_function(db, "match", 2, enc, (void *)1, LikeFunction, nullptr, nullptr);
  sqlite3_create_function(db, "regexp", 2, enc, nullptr, RegexpFunction, nullptr, nullptr);
  sqlite3_create_function(db, "korvid_seq", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, ro, SequenceFunction, nullptr, nullptr);
  sqlite3_create_function(db, "korvid_bytes", 1, enc, nullptr, BytesFunction, nullptr, nullptr);
  // mSQL's date and time columns compare as dates and times; the server
  // gives them these collations when it creates them.
  sqlite3_create_collation(db, MSQL_DATE_COLLATION, SQLITE_UTF8, nullptr, DateCollation);
  sqlite3_create_collation(db, MSQL_TIME_COLLATION, SQLITE_UTF8, nullptr, TimeCollation);
  sqlite3_set_authorizer(db, Authorize, nullptr);
}

int DbPrepareClient(sqlite3 *db, const std::string &sql, sqlite3_stmt **stmt) {
  preparing_client_statement = true;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), (int)sql.size(), stmt, nullptr);
  preparing_client_statement = false;
  return rc;
}


size_t FormatReal(double x, char *out, size_t size) {
  if (!std::isfinite(x) || size < 32) return 0;
  // Plain digits for a decimal exponent from -4 to 14, as "%.15g" (and
  // PostgreSQL) would choose, the exponent form otherwise.
  int exponent = x == 0 ? 0 : (int)std::floor(std::log10(std::fabs(x)));
  std::chars_format form = exponent >= -4 && exponent < 15 ? std::chars_format::fixed : std::chars_format::scientific;
  std::to_chars_result r = std::to_chars(out, out + size - 2, x, form);
  if (r.ec != std::errc()) return 0;
  size_t n = (size_t)(r.ptr - out);
  if (!memchr(out, '.', n)) {
    char *e = (char *)memchr(out, 'e', n);
    size_t at = e ? (size_t)(e - out) : n;
    memmove(out + at + 2, out + at, n - at);
    out[at] = '.';
    out[at + 1] = '0';
    n += 2;
  }
  return n;
}


namespace {

// Reads 1 to `most` digits at s[*i]; -1 when there is none.
long ReadDigits(const char *s, size_t n, size_t *i, int most) {
  long value = 0;
  int count = 0;
  while (*i < n && count < most && isdigit((unsigned char)s[*i])) {
    value = value * 10 + (s[(*i)++] - '0');
    count++;
  }
  return count > 0 ? value : -1;
}

// "DD-Mon-YYYY" as YYYYMMDD, or -1.
long DateValue(const char *s, size_t n) {
  static const char *const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
  size_t i = 0;
  long day = ReadDigits(s, n, &i, 2);
  if (day < 1 || day > 31 || i + 5 > n || s[i] != '-' || s[i + 4] != '-') return -1;
  int month = 0;
  for (int m = 0; m < 12 && month == 0; m++) {
    if (strncasecmp(s + i + 1, months[m], 3) == 0) month = m + 1;
  }
  i += 5;
  long year = ReadDigits(s, n, &i, 4);
  if (month == 0 || year < 0 || i != n) return -1;
  return year * 10000 + month * 100 + day;
}

// "HH:MM:SS" (or "HH:MM") as seconds, or -1.
long TimeValue(const char *s, size_t n) {
  size_t i = 0;
  long h = ReadDigits(s, n, &i, 2), m = -1, sec = 0;
  if (h < 0 || i >= n || s[i++] != ':') return -1;
  m = ReadDigits(s, n, &i, 2);
  if (i < n && s[i] == ':') {
    i++;
    sec = ReadDigits(s, n, &i, 2);
  }
  if (m < 0 || m > 59 || sec < 0 || sec > 59 || i != n) return -1;
  return h * 3600 + m * 60 + sec;
}

int CompareValues(long va, long vb, const char *a, size_t na, const char *b, size_t nb) {
  if (va >= 0 && vb >= 0) return va < vb ? -1 : va > vb;
  if (va >= 0 || vb >= 0) return va >= 0 ? -1 : 1;
  int c = memcmp(a, b, std::min(na, nb));
  return c != 0 ? c : (na < nb ? -1 : na > nb);
}

}  // namespace

int MsqlCompareDates(const char *a, size_t na, const char *b, size_t nb) {
  return CompareValues(DateValue(a, na), DateValue(b, nb), a, na, b, nb);
}

int MsqlCompareTimes(const char *a, size_t na, const char *b, size_t nb) {
  return CompareValues(TimeValue(a, na), TimeValue(b, nb), a, na, b, nb);
}

namespace {

// Length of the UTF-8 character that starts with byte c (1 for stray bytes).
int CharLength(unsigned char c) {
  if (c >= 0xF0 && c < 0xF8) return 4;
  if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
  if (c >= 0xC0) return 2;
  return 1;
}

// The same, never stepping over the terminating zero.
int SafeCharLength(const char *s) {
  int len = CharLength((unsigned char)*s);
  for (int k = 1; k < len; k++) {
    if (!s[k]) return k;
  }
  return len;
}

bool CharsEqual(const char *a, const char *b, int len, bool fold_case) {
  if (len == 1 && fold_case) return tolower((unsigned char)*a) == tolower((unsigned char)*b);
  return memcmp(a, b, len) == 0;
}

}  // namespace

bool LikeMatch(const char *p, const char *t, bool fold_case) {
  // Iterative matching with one backtrack point (the last '%'): linear in
  // practice and never exponential, whatever the pattern.
  const char *star_p = nullptr, *star_t = nullptr;
  while (*t) {
    if (*p == '%') {
      while (*p == '%') p++;
      if (!*p) return true;
      star_p = p;
      star_t = t;
      continue;
    }
    int tl = SafeCharLength(t);
    bool matched = false;
    int pl = 0;
    if (*p == '_') {
      matched = true;
      pl = 1;
    } else if (*p) {
      const char *pc = p;
      if (*pc == '\\' && pc[1]) pc++;
      int cl = SafeCharLength(pc);
      matched = cl == tl && CharsEqual(pc, t, cl, fold_case);
      pl = (int)(pc - p) + cl;
    }
    if (matched) {
      p += pl;
      t += tl;
    } else if (star_p) {
      p = star_p;
      star_t += SafeCharLength(star_t);
      t = star_t;
    } else {
      return false;
    }
  }
  while (*p == '%') p++;
  return *p == '\0';
}
