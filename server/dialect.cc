// mSQL statements to SQLite: a small lexer, then rewrites over the tokens.
// The lexer decodes mSQL string literals (backslash escapes) and re-encodes
// them the SQLite way (doubled quotes), so no quote can end a literal early.
#include "server/dialect.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

enum TokenKind { TOK_SPACE, TOK_WORD, TOK_NUMBER, TOK_STRING, TOK_QUOTED, TOK_PUNCT };

struct Token {
  TokenKind kind;
  std::string text;  // TOK_STRING: the decoded value; others: the source text
};

bool IsWordStart(unsigned char c) { return isalpha(c) || c == '_'; }
bool IsWordChar(unsigned char c) { return isalnum(c) || c == '_' || c == '$'; }

std::string Upper(const std::string &s) {
  std::string u = s;
  for (char &c : u) c = (char)toupper((unsigned char)c);
  return u;
}

}  // namespace

size_t SqlCommentEnd(const std::string &s, size_t i) {
  if (s.compare(i, 2, "--") == 0) {
    size_t newline = s.find('\n', i);
    return newline == std::string::npos ? s.size() : newline + 1;
  }
  if (s.compare(i, 2, "/*") == 0) {
    size_t close = s.find("*/", i + 2);
    return close == std::string::npos ? s.size() : close + 2;
  }
  return 0;
}

namespace {

// Each lexer step reads one token starting at s[*i] and moves *i past it.

// Blanks and comments, as one blank. A comment counts as a blank: it may
// stand before a statement (a script's heading) and may hold a ';' without
// ending one.
Token LexBlank(const std::string &s, size_t *i) {
  for (;;) {
    if (*i < s.size() && isspace((unsigned char)s[*i])) {
      ++*i;
    } else if (size_t end = SqlCommentEnd(s, *i)) {
      *i = end;
    } else {
      return {TOK_SPACE, " "};
    }
  }
}

// A string literal, decoded: mSQL's backslash escapes and SQL's doubled
// quote. False when it is not closed.
bool LexString(const std::string &s, size_t *i, Token *token) {
  size_t n = s.size();
  std::string value;
  for (size_t k = *i + 1; k < n; k++) {
    char d = s[k];
    if (d == '\\' && k + 1 < n) {
      char e = s[++k];
      value += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    } else if (d == '\'' && k + 1 < n && s[k + 1] == '\'') {
      value += '\'';
      k++;
    } else if (d == '\'') {
      *i = k + 1;
      *token = {TOK_STRING, value};
      return true;
    } else {
      value += d;
    }
  }
  return false;
}

// A quoted name, as it is written. False when it is not closed.
bool LexQuotedName(const std::string &s, size_t *i, Token *token) {
  for (size_t k = *i + 1; k < s.size(); k++) {
    if (s[k] != '"') continue;
    if (k + 1 < s.size() && s[k + 1] == '"') {
      k++;
      continue;
    }
    *token = {TOK_QUOTED, s.substr(*i, k + 1 - *i)};
    *i = k + 1;
    return true;
  }
  return false;
}

// Digits and dots, then an exponent when one follows.
Token LexNumber(const std::string &s, size_t *i) {
  size_t start = *i, n = s.size(), k = *i;
  while (k < n && (isdigit((unsigned char)s[k]) || s[k] == '.')) k++;
  if (k < n && (s[k] == 'e' || s[k] == 'E')) {
    size_t j = k + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) j++;
    if (j < n && isdigit((unsigned char)s[j])) {
      k = j;
      while (k < n && isdigit((unsigned char)s[k])) k++;
    }
  }
  *i = k;
  return {TOK_NUMBER, s.substr(start, k - start)};
}

// An operator of one character, or of two where SQL has one.
Token LexPunct(const std::string &s, size_t *i) {
  static const char *const two[] = {"<=", ">=", "<>", "!=", "==", "||"};
  std::string op(1, s[*i]);
  for (const char *t : two) {
    if (s.compare(*i, 2, t) == 0) op = t;
  }
  *i += op.size();
  return {TOK_PUNCT, op};
}

// Splits text into tokens. Fails on an unterminated literal.
bool Lex(const std::string &s, std::vector<Token> *out, std::string *error) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = (unsigned char)s[i];
    Token token;
    if (isspace(c) || SqlCommentEnd(s, i)) {
      token = LexBlank(s, &i);
    } else if (c == '\'') {
      if (!LexString(s, &i, &token)) {
        *error = "Unterminated string literal";
        return false;
      }
    } else if (c == '"') {
      if (!LexQuotedName(s, &i, &token)) {
        *error = "Unterminated quoted name";
        return false;
      }
    } else if (IsWordStart(c)) {
      size_t start = i;
      while (i < n && IsWordChar((unsigned char)s[i])) i++;
      token = {TOK_WORD, s.substr(start, i - start)};
    } else if (isdigit(c) || (c == '.' && i + 1 < n && isdigit((unsigned char)s[i + 1]))) {
      token = LexNumber(s, &i);
    } else {
      token = LexPunct(s, &i);
    }
    out->push_back(std::move(token));
  }
  return true;
}

// Text between two quote characters, each inner one doubled: SQL's string
// literal (') and quoted name (").
std::string Quoted(const std::string &text, char quote) {
  std::string q(1, quote);
  for (char c : text) {
    if (c == quote) q += quote;
    q += c;
  }
  return q + quote;
}

std::string QuoteLiteral(const std::string &value) { return Quoted(value, '\''); }

// Joins tokens back into text. Adjacent operators that would read as an
// SQLite comment ("-" "-", "/" "*") are kept apart by a blank.
std::string Emit(const std::vector<Token> &tokens) {
  std::string out;
  const Token *prev = nullptr;
  for (const Token &t : tokens) {
    if (prev && prev->kind == TOK_PUNCT && t.kind == TOK_PUNCT) {
      char a = prev->text.back(), b = t.text[0];
      if ((a == '-' && b == '-') || (a == '/' && b == '*')) out += ' ';
    }
    out += t.kind == TOK_STRING ? QuoteLiteral(t.text) : t.text;
    prev = &t;
  }
  return out;
}

bool IsKeyword(const Token &t, const char *word) {
  return t.kind == TOK_WORD && strcasecmp(t.text.c_str(), word) == 0;
}

bool ParseSignedNumber(const std::vector<Token *> &sig, size_t *k, long long *value) {
  bool negative = false;
  if (*k < sig.size() && sig[*k]->kind == TOK_PUNCT && (sig[*k]->text == "-" || sig[*k]->text == "+")) {
    negative = sig[*k]->text == "-";
    (*k)++;
  }
  if (*k >= sig.size() || sig[*k]->kind != TOK_NUMBER) return false;
  const std::string &digits = sig[*k]->text;
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 15) return false;
  *value = std::stoll(digits);
  if (negative) *value = -*value;
  (*k)++;
  return true;
}

bool TranslateSequence(const std::vector<Token *> &sig, bool create, Translation *out,
                       std::string *error) {
  // CREATE SEQUENCE ON t [STEP n] [VALUE n] / DROP SEQUENCE FROM t
  size_t k = 2;
  const char *preposition = create ? "ON" : "FROM";
  if (k + 1 >= sig.size() || !IsKeyword(*sig[k], preposition) || sig[k + 1]->kind != TOK_WORD) {
    *error = create ? "Syntax: CREATE SEQUENCE ON table [STEP n] [VALUE n]"
                    : "Syntax: DROP SEQUENCE FROM table";
    return false;
  }
  out->kind = create ? STMT_CREATE_SEQUENCE : STMT_DROP_SEQUENCE;
  out->table = sig[k + 1]->text;
  k += 2;
  while (create && k < sig.size()) {
    long long *target = nullptr;
    if (IsKeyword(*sig[k], "STEP")) target = &out->step;
    if (IsKeyword(*sig[k], "VALUE")) target = &out->value;
    k++;
    if (!target || !ParseSignedNumber(sig, &k, target)) {
      *error = "Syntax: CREATE SEQUENCE ON table [STEP n] [VALUE n]";
      return false;
    }
  }
  if (k != sig.size()) {
    *error = "Syntax: DROP SEQUENCE FROM table";
    return false;
  }
  return true;
}

// SQLite stores any value in any column; mSQL refuses a value that does not
// fit the declared type. So CREATE TABLE gets a CHECK per typed column:
// numbers only in int, uint, real and money, nothing negative in uint, and
// no more than n characters in char(n). The constraint's name is the
// message the client sees ("CHECK constraint failed: ..."). Columns of
// type date and time get the collations that order them as such.
void SqliteColumn(const std::vector<Token *> &sig, size_t begin, size_t end, std::string *checks) {
  std::string type = Upper(sig[begin + 1]->text);
  if (type == "DATE") sig[begin + 1]->text += " COLLATE " MSQL_DATE_COLLATION;
  if (type == "TIME") sig[begin + 1]->text += " COLLATE " MSQL_TIME_COLLATION;
  if (sig[begin]->kind != TOK_WORD) return;  // a quoted name has no check
  const std::string &name = sig[begin]->text;
  std::string rule, message;
  if (type == "INT" || type == "INTEGER") {
    rule = "typeof(" + name + ") IN ('integer','null')";
    message = "value of " + name + " is not an integer";
  } else if (type == "UINT") {
    rule = "typeof(" + name + ") IN ('integer','null') AND (" + name + " IS NULL OR " + name + " >= 0)";
    message = "value of " + name + " is not an unsigned integer";
  } else if (type == "REAL" || type == "MONEY") {
    rule = "typeof(" + name + ") IN ('integer','real','null')";
    message = "value of " + name + " is not a number";
  } else if (type == "CHAR" && begin + 4 < end && sig[begin + 2]->text == "(" && sig[begin + 3]->kind == TOK_NUMBER &&
             sig[begin + 4]->text == ")") {
    rule = "length(" + name + ") <= " + sig[begin + 3]->text;
    message = "value of " + name + " is longer than " + sig[begin + 3]->text + " characters";
  }
  if (!rule.empty()) *checks += ", CONSTRAINT \"" + message + "\" CHECK (" + rule + ")";
}

// mSQL's column types as PostgreSQL's: char(n) as varchar(n) (mSQL does
// not pad), real as double precision, money as numeric(15,2) (listed as
// money again), uint as bigint that refuses negative values, text(n) as
// text; int, date and time are PostgreSQL's own.
void PgColumn(const std::vector<Token *> &sig, size_t begin, size_t end, std::string *) {
  Token &type = *sig[begin + 1];
  std::string up = Upper(type.text);
  bool sized = begin + 4 < end && sig[begin + 2]->text == "(" && sig[begin + 3]->kind == TOK_NUMBER &&
               sig[begin + 4]->text == ")";
  if (up == "CHAR") {
    type.text = "varchar";
  } else if (up == "REAL") {
    type.text = "double precision";
  } else if (up == "MONEY") {
    type.text = "numeric(15,2)";
  } else if (up == "UINT") {
    type.text = "bigint CHECK (" + sig[begin]->text + " >= 0)";
  } else if (up == "TEXT" && sized) {
    for (size_t j = begin + 2; j <= begin + 4; j++) {
      sig[j]->kind = TOK_SPACE;
      sig[j]->text = " ";
    }
  }
}

// Whether the element sig[begin, end) of CREATE TABLE defines a column: a
// name and a type word, not a table constraint.
bool IsColumnDefinition(const std::vector<Token *> &sig, size_t begin, size_t end) {
  if (end - begin < 2 || sig[begin + 1]->kind != TOK_WORD) return false;
  if (sig[begin]->kind == TOK_QUOTED) return true;
  static const char *const not_columns[] = {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"};
  for (const char *w : not_columns) {
    if (IsKeyword(*sig[begin], w)) return false;
  }
  return sig[begin]->kind == TOK_WORD;
}

// Where the element of CREATE TABLE that starts at sig[k] ends: at its
// ',' or at the list's closing ')'; sig.size() when the list is not closed.
size_t ElementEnd(const std::vector<Token *> &sig, size_t k) {
  int depth = 0;
  for (; k < sig.size(); k++) {
    const Token &t = *sig[k];
    if (t.kind != TOK_PUNCT) continue;
    if (t.text == "(") depth++;
    if (t.text == ")" && depth-- == 0) break;
    if (depth == 0 && t.text == ",") break;
  }
  return k;
}

// mSQL names a table's alias with "=": "FROM emp=e1, emp=e2". In a FROM
// list without JOIN (mSQL has none, and an ON condition holds "=" too)
// each "table = alias" becomes "table AS alias".
void TranslateAliases(const std::vector<Token *> &sig) {
  for (size_t k = 0; k < sig.size(); k++) {
    if (!IsKeyword(*sig[k], "FROM")) continue;
    size_t end = k + 1;
    int depth = 0;
    bool join = false;
    for (; end < sig.size(); end++) {
      const Token &t = *sig[end];
      if (t.kind == TOK_PUNCT && t.text == "(") depth++;
      if (t.kind == TOK_PUNCT && t.text == ")" && --depth < 0) break;
      if (depth > 0 || t.kind != TOK_WORD) continue;
      static const char *const ends[] = {"WHERE", "ORDER", "GROUP", "LIMIT", "HAVING", "UNION", "INTERSECT", "EXCEPT"};
      bool stop = false;
      for (const char *e : ends) stop = stop || IsKeyword(t, e);
      if (stop) break;
      if (IsKeyword(t, "JOIN") || IsKeyword(t, "ON") || IsKeyword(t, "USING")) join = true;
    }
    if (join) continue;
    for (size_t i = k + 2; i + 1 < end; i++) {
      Token &op = *sig[i];
      if (op.kind == TOK_PUNCT && op.text == "=" && sig[i - 1]->kind == TOK_WORD && sig[i + 1]->kind == TOK_WORD) {
        op.kind = TOK_WORD;
        op.text = " AS ";
      }
    }
  }
}

// What differs between the engines' SQL, as data: the translator has no
// other knowledge of the engine it writes for.
struct DialectRules {
  char param_mark;        // a bound parameter: ?N (SQLite) or $N (PostgreSQL)
  const char *like;       // LIKE; null: as it was written
  const char *clike;      // CLIKE, mSQL's LIKE without case
  const char *rlike;      // RLIKE, a regular expression
  const char *rowid;      // _rowid in a select list (null: refused, with rowid_refusal)
  const char *rowid_refusal;
  const char *sysdate;    // _sysdate: seconds since 1970
  std::string (*next_in_sequence)(const std::string &table);  // _seq
  // A pattern is matched against the text of a field of any type, as
  // mSQL matches it; an engine that matches text only reads it as text.
  bool patterns_on_text_only;
  // Where an UPDATE's literals start to be bound: its WHERE, or already
  // its SET (so that an empty date can be told from an empty text there).
  const char *update_params_from;
  // One column definition of CREATE TABLE, sig[begin] its name and
  // sig[begin + 1] its type, up to sig[end] (its ',' or the closing ')'):
  // rewrites its type; table constraints to add go into *checks.
  void (*column)(const std::vector<Token *> &sig, size_t begin, size_t end, std::string *checks);
};

std::string SqliteNextInSequence(const std::string &table) { return "korvid_seq(" + QuoteLiteral(table) + ")"; }

std::string PgNextInSequence(const std::string &table) {
  return "nextval(" + QuoteLiteral(PgSequenceName(table)) + ")";
}

const DialectRules kSqliteRules = {
    '?', nullptr, "MATCH",  // our match() is LIKE without case
    "REGEXP", "rowid", nullptr, "CAST(strftime('%s','now') AS INTEGER)", SqliteNextInSequence, false, "WHERE",
    SqliteColumn,
};

const DialectRules kPgRules = {
    '$', "LIKE", "ILIKE", "~", nullptr, "Unsupported with PostgreSQL: _rowid (PostgreSQL rows have no fixed row number)",
    "CAST(extract(epoch FROM now()) AS bigint)", PgNextInSequence, true, "SET", PgColumn,
};

const DialectRules &RulesOf(const Translation *t) {
  return t->dialect == DIALECT_POSTGRES ? kPgRules : kSqliteRules;
}

// Walks the elements of "CREATE TABLE name ( element, ... )", giving each
// column definition to the engine's rule; the constraints it adds go before
// the closing parenthesis. An unbalanced list is left for the engine to
// refuse.
void WalkColumns(const std::vector<Token *> &sig, const DialectRules &rules) {
  if (sig.size() < 5 || sig[3]->kind != TOK_PUNCT || sig[3]->text != "(") return;
  std::string checks;
  for (size_t k = 4; k < sig.size(); k++) {
    size_t end = ElementEnd(sig, k);
    if (end >= sig.size()) return;
    if (IsColumnDefinition(sig, k, end)) rules.column(sig, k, end, &checks);
    if (sig[end]->text == ")") {
      sig[end]->text = checks + ")";
      return;
    }
    k = end;
  }
}

// Moves the literals of a top-level WHERE clause (or of an INSERT's VALUES
// list, `start`) into parameters. Only there: a literal in the select list
// names its column, and one after ORDER BY or GROUP BY is a column position,
// so parameterising stops for good at any of those keywords (or at a
// SELECT that feeds an INSERT), at whatever depth they occur.
void Parameterize(const std::vector<Token *> &sig, const char *start, Translation *out) {
  int depth = 0;
  bool in_where = false;
  for (Token *t : sig) {
    if (t->kind == TOK_PUNCT && t->text == "(") depth++;
    if (t->kind == TOK_PUNCT && t->text == ")") depth--;
    if (t->kind == TOK_WORD) {
      if (IsKeyword(*t, start) && depth == 0) in_where = true;
      static const char *const stops[] = {"ORDER", "GROUP", "LIMIT", "HAVING", "UNION", "INTERSECT", "EXCEPT"};
      for (const char *stop : stops) {
        if (IsKeyword(*t, stop)) return;
      }
      if (IsKeyword(*t, "SELECT") && strcmp(start, "VALUES") == 0) return;
      continue;
    }
    if (!in_where || out->params.size() >= MAX_BOUND_PARAMS) continue;
    SqlParam p;
    if (t->kind == TOK_STRING) {
      p.kind = PARAM_TEXT;
      p.text = t->text;
    } else if (t->kind == TOK_NUMBER) {
      const std::string &n = t->text;
      errno = 0;
      char *end = nullptr;
      if (n.find_first_of(".eE") == std::string::npos) {
        p.kind = PARAM_INT;
        p.i = strtoll(n.c_str(), &end, 10);
      } else {
        p.kind = PARAM_REAL;
        p.d = strtod(n.c_str(), &end);
      }
      if (errno != 0 || *end != '\0') continue;  // out of range: stays a literal
      p.text = n;  // as written, for an engine that takes numbers as text
    } else {
      continue;
    }
    out->params.push_back(p);
    t->kind = TOK_QUOTED;  // emitted verbatim
    t->text = RulesOf(out).param_mark + std::to_string(out->params.size());
  }
}

// mSQL matches patterns against a field of any type (Korvid searches an
// int field with LIKE); PostgreSQL only against text. So there the field
// before the operator at sig[k] is read as text, and a number after it is a
// pattern like any other.
void PatternOnText(const std::vector<Token *> &sig, size_t k) {
  size_t left = k;
  if (left > 0 && IsKeyword(*sig[left - 1], "NOT")) left--;
  if (left > 0 && (sig[left - 1]->kind == TOK_WORD || sig[left - 1]->kind == TOK_QUOTED)) {
    size_t first = left - 1;
    if (first >= 2 && sig[first - 1]->text == "." &&
        (sig[first - 2]->kind == TOK_WORD || sig[first - 2]->kind == TOK_QUOTED)) {
      first -= 2;
    }
    sig[first]->text = "CAST(" + sig[first]->text;
    sig[left - 1]->text += " AS text)";
  }
  if (k + 1 < sig.size() && sig[k + 1]->kind == TOK_NUMBER) sig[k + 1]->kind = TOK_STRING;
  // A pattern's last backslash, escaping nothing, stands for itself (as in
  // LikeMatch); PostgreSQL refuses it, so it is escaped.
  if (k + 1 < sig.size() && sig[k + 1]->kind == TOK_STRING && !IsKeyword(*sig[k], "RLIKE")) {
    std::string &pattern = sig[k + 1]->text;
    size_t trailing = pattern.size() - (pattern.find_last_not_of('\\') + 1);
    if (trailing % 2 == 1) pattern += '\\';
  }
}

// What a statement's words are rewritten with: the engine's rules, and
// the table of its FROM (the table of _seq).
struct WordContext {
  const DialectRules *rules;
  std::string from_table;
  bool is_select;
  bool seen_where = false;
};

// The system variables and the mSQL operators, at sig[k]; false with the
// reason for a word that is refused.
bool RewriteWord(const std::vector<Token *> &sig, size_t k, WordContext *w, std::string *error) {
  Token &t = *sig[k];
  std::string up = Upper(t.text);
  const DialectRules &rules = *w->rules;
  bool in_select_list = w->is_select && k > 0 && !(sig[k - 1]->kind == TOK_PUNCT && sig[k - 1]->text == ".") &&
                        k + 1 < sig.size() &&
                        (IsKeyword(*sig[k + 1], "FROM") || (sig[k + 1]->kind == TOK_PUNCT && sig[k + 1]->text == ","));
  const char *as = nullptr;  // the name a select list's column keeps
  if (up == "WHERE") {
    w->seen_where = true;
  } else if (up == "_ROWID") {
    if (!rules.rowid) {
      *error = rules.rowid_refusal;
      return false;
    }
    t.text = rules.rowid;
    as = "_rowid";
  } else if (up == "_SEQ") {
    if (w->from_table.empty()) {
      *error = "_seq needs a table";
      return false;
    }
    t.text = rules.next_in_sequence(w->from_table);
    as = "_seq";
  } else if (up == "_SYSDATE") {
    t.text = rules.sysdate;
    as = "_sysdate";
  } else if (up == "_TIMESTAMP" || up == "SLIKE") {
    *error = up == "SLIKE" ? "Unsupported operator: SLIKE" : "Unsupported system variable: _timestamp";
    return false;
  } else if (up == "LIKE" || up == "CLIKE" || up == "RLIKE") {
    if (rules.patterns_on_text_only) PatternOnText(sig, k);
    const char *op = up == "LIKE" ? rules.like : up == "CLIKE" ? rules.clike : rules.rlike;
    if (op) t.text = op;
  } else if (up == "NULL" && w->seen_where && k > 0 && sig[k - 1]->kind == TOK_PUNCT) {
    // mSQL compares with NULL by = and <>; SQL needs IS and IS NOT.
    Token &op = *sig[k - 1];
    if (op.text == "=") {
      op.kind = TOK_WORD;
      op.text = "IS";
    } else if (op.text == "<>" || op.text == "!=") {
      op.kind = TOK_WORD;
      op.text = "IS NOT";
    }
  }
  if (as && in_select_list) t.text += std::string(" AS ") + as;
  return true;
}

// The rewrites that apply anywhere in a statement: the system variables,
// the mSQL operators, comparisons with NULL, and the reserved names.
bool RewriteWords(const std::vector<Token *> &sig, bool is_select, const DialectRules &rules, std::string *error) {
  WordContext w;
  w.rules = &rules;
  w.is_select = is_select;
  for (size_t k = 0; k + 1 < sig.size(); k++) {
    if (IsKeyword(*sig[k], "FROM") && sig[k + 1]->kind == TOK_WORD) {
      w.from_table = sig[k + 1]->text;
      break;
    }
  }
  for (size_t k = 0; k < sig.size(); k++) {
    if (sig[k]->kind != TOK_WORD) continue;
    std::string up = Upper(sig[k]->text);
    if (up.compare(0, 7, "_KORVID") == 0 || up.compare(0, 7, "SQLITE_") == 0 || up == "KORVID_SEQ") {
      *error = "Reserved name: " + sig[k]->text;
      return false;
    }
    if (!RewriteWord(sig, k, &w, error)) return false;
  }
  return true;
}

// The SQLite text of the rewritten tokens. A SELECT, or anything with bound
// parameters, is worth keeping prepared.
bool Finish(const std::vector<Token> &tokens, bool is_select, Translation *out) {
  out->cacheable = is_select || !out->params.empty();
  out->sql = Emit(tokens);
  return true;
}

// One translator per kind of statement, over its tokens and the significant
// ones among them (sig); each fills *out or gives the reason in *error.
using Translator = bool (*)(std::vector<Token> &tokens, const std::vector<Token *> &sig,
                            Translation *out, std::string *error);

bool TranslateSelect(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                     std::string *error) {
  // "SELECT _seq FROM t" reads the sequence once, whatever the table holds.
  if (sig.size() == 4 && IsKeyword(*sig[1], "_seq") && IsKeyword(*sig[2], "FROM") &&
      sig[3]->kind == TOK_WORD) {
    out->sql = "SELECT " + RulesOf(out).next_in_sequence(sig[3]->text) + " AS _seq";
    out->is_select = true;
    return true;
  }
  out->is_select = true;
  if (!RewriteWords(sig, true, RulesOf(out), error)) return false;
  TranslateAliases(sig);
  Parameterize(sig, "WHERE", out);
  return Finish(tokens, true, out);
}

bool TranslateInsert(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                     std::string *error) {
  if (!RewriteWords(sig, false, RulesOf(out), error)) return false;
  Parameterize(sig, "VALUES", out);
  return Finish(tokens, false, out);
}

// UPDATE and DELETE.
bool TranslateChange(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                     std::string *error) {
  if (!RewriteWords(sig, false, RulesOf(out), error)) return false;
  Parameterize(sig, IsKeyword(*sig[0], "UPDATE") ? RulesOf(out).update_params_from : "WHERE", out);
  return Finish(tokens, false, out);
}

bool TranslateCreateSequence(std::vector<Token> &, const std::vector<Token *> &sig, Translation *out,
                             std::string *error) {
  return TranslateSequence(sig, true, out, error);
}

bool TranslateDropSequence(std::vector<Token> &, const std::vector<Token *> &sig, Translation *out,
                           std::string *error) {
  return TranslateSequence(sig, false, out, error);
}

// CREATE [UNIQUE] INDEX name ON table (...)
bool TranslateCreateIndex(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                          std::string *error) {
  bool unique = IsKeyword(*sig[1], "UNIQUE");
  size_t k = unique ? 2 : 1;
  if ((unique && !(sig.size() > 2 && IsKeyword(*sig[2], "INDEX"))) || sig.size() < k + 4 ||
      sig[k + 1]->kind != TOK_WORD || !IsKeyword(*sig[k + 2], "ON") || sig[k + 3]->kind != TOK_WORD) {
    *error = "Syntax: CREATE [UNIQUE] INDEX name ON table (fields)";
    return false;
  }
  sig[k + 1]->kind = TOK_QUOTED;
  sig[k + 1]->text = "\"" + IndexStoredName(sig[k + 3]->text, sig[k + 1]->text) + "\"";
  if (!RewriteWords(sig, false, RulesOf(out), error)) return false;
  return Finish(tokens, false, out);
}

// DROP INDEX name FROM table
bool TranslateDropIndex(std::vector<Token> &, const std::vector<Token *> &sig, Translation *out,
                        std::string *error) {
  if (sig.size() == 5 && sig[2]->kind == TOK_WORD && IsKeyword(*sig[3], "FROM") &&
      sig[4]->kind == TOK_WORD) {
    out->sql = "DROP INDEX \"" + IndexStoredName(sig[4]->text, sig[2]->text) + "\"";
    return true;
  }
  *error = "Syntax: DROP INDEX name FROM table";
  return false;
}

bool TranslateCreateTable(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                          std::string *error) {
  WalkColumns(sig, RulesOf(out));
  if (!RewriteWords(sig, false, RulesOf(out), error)) return false;
  return Finish(tokens, false, out);
}

bool TranslateDropTable(std::vector<Token> &tokens, const std::vector<Token *> &sig, Translation *out,
                        std::string *error) {
  if (sig.size() > 2 && sig[2]->kind == TOK_WORD) out->table = sig[2]->text;  // its sequence goes too
  if (!RewriteWords(sig, false, RulesOf(out), error)) return false;
  return Finish(tokens, false, out);
}

// The statements the server accepts, by their first word (and second,
// where the first alone does not tell).
struct StatementTranslator {
  const char *first;
  const char *second;  // null: any
  Translator translate;
};

const StatementTranslator kTranslators[] = {
    {"SELECT", nullptr, TranslateSelect},
    {"INSERT", nullptr, TranslateInsert},
    {"UPDATE", nullptr, TranslateChange},
    {"DELETE", nullptr, TranslateChange},
    {"CREATE", "SEQUENCE", TranslateCreateSequence},
    {"DROP", "SEQUENCE", TranslateDropSequence},
    {"CREATE", "INDEX", TranslateCreateIndex},
    {"CREATE", "UNIQUE", TranslateCreateIndex},
    {"DROP", "INDEX", TranslateDropIndex},
    {"CREATE", "TABLE", TranslateCreateTable},
    {"DROP", "TABLE", TranslateDropTable},
};

}  // namespace

std::string IndexStoredName(const std::string &table, const std::string &index) {
  return table + "." + index;
}

std::string IndexShownName(const std::string &stored) {
  size_t dot = stored.find('.');
  return dot == std::string::npos ? stored : stored.substr(dot + 1);
}

bool ValidDatabaseName(const std::string &name) {
  if (name.empty() || name.size() > DB_NAME_MAX) return false;
  for (char c : name) {
    if (!isalnum((unsigned char)c) && c != '_') return false;
  }
  return true;
}

std::string QuoteName(const std::string &name) { return Quoted(name, '"'); }

std::string PgSequenceName(const std::string &table) {
  std::string name = "\"_korvid_seq_";
  for (char c : table) name += c == '"' ? '_' : (char)tolower((unsigned char)c);
  return name + "\"";
}

bool TranslateStatement(const std::string &text, Translation *out, std::string *error, Dialect dialect) {
  *out = Translation();
  out->dialect = dialect;
  if (text.find('\0') != std::string::npos) {
    *error = "Statement contains a NUL byte";
    return false;
  }
  std::vector<Token> tokens;
  if (!Lex(text, &tokens, error)) return false;

  // One trailing ';' is allowed; any other one would start a second statement.
  std::vector<Token *> sig;
  for (Token &t : tokens) {
    if (t.kind != TOK_SPACE) sig.push_back(&t);
  }
  if (!sig.empty() && sig.back()->kind == TOK_PUNCT && sig.back()->text == ";") {
    sig.back()->kind = TOK_SPACE;
    sig.back()->text = " ";
    sig.pop_back();
  }
  for (Token *t : sig) {
    if (t->kind == TOK_PUNCT && t->text == ";") {
      *error = "Only one statement per query is supported";
      return false;
    }
  }
  if (sig.empty()) {
    *error = "Empty query";
    return false;
  }
  if (sig[0]->kind != TOK_WORD) {
    *error = "Syntax error near \"" + sig[0]->text + "\"";
    return false;
  }

  std::string first = Upper(sig[0]->text);
  std::string second = sig.size() > 1 ? Upper(sig[1]->text) : "";
  for (const StatementTranslator &kind : kTranslators) {
    if (first == kind.first && (kind.second == nullptr || second == kind.second)) {
      return kind.translate(tokens, sig, out, error);
    }
  }
  std::string what = first;
  if (first == "CREATE" || first == "DROP") what += " " + second;
  *error = "Unsupported statement: " + what;
  return false;
}
