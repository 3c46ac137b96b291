// The mSQL dialect as pure functions: translation to SQLite, refusals,
// script splitting, LIKE matching, names, declared types, row encoding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/dialect.h"
#include "server/server.h"
#include "server/sqlite/load.h"
#include "server/sqlite/sqlite.h"

namespace {

// The translated text with each bound parameter written back as a literal,
// so that cases read as SQL; the highest numbers go first (?12 before ?1).
std::string Inline(const Translation &t) {
  std::string sql = t.sql;
  for (size_t n = t.params.size(); n >= 1; n--) {
    const SqlParam &p = t.params[n - 1];
    std::string literal;
    if (p.kind == PARAM_INT) literal = std::to_string(p.i);
    if (p.kind == PARAM_REAL) literal = std::to_string(p.d);
    if (p.kind == PARAM_TEXT) {
      literal = "'";
      for (char c : p.text) literal += c == '\'' ? std::string("''") : std::string(1, c);
      literal += "'";
    }
    std::string mark = "?" + std::to_string(n);
    size_t at = sql.find(mark);
    if (at == std::string::npos) return "missing " + mark;
    sql.replace(at, mark.size(), literal);
  }
  return sql;
}

struct TranslateCase {
  const char *in;
  const char *out;
};

TEST(DialectTest, TranslatesStatements) {
  const TranslateCase cases[] = {
      // Statements the application builds pass through unchanged.
      {"SELECT * FROM people  WHERE id = 7", "SELECT * FROM people WHERE id = 7"},
      {"UPDATE people SET name='Ann',age=30 WHERE id = 7", "UPDATE people SET name='Ann',age=30 WHERE id = 7"},
      {"SELECT * FROM people ORDER BY id ", "SELECT * FROM people ORDER BY id "},
      // Backslash escapes become SQLite's doubled quotes.
      {"INSERT INTO t VALUES ('O\\'Brien')", "INSERT INTO t VALUES ('O''Brien')"},
      {"SELECT * FROM t WHERE a = 'x\\\\'", "SELECT * FROM t WHERE a = 'x\\'"},
      {"SELECT * FROM t WHERE a = 'it''s'", "SELECT * FROM t WHERE a = 'it''s'"},
      {"SELECT * FROM t WHERE a = 'a;b -- c'", "SELECT * FROM t WHERE a = 'a;b -- c'"},
      {"SELECT * FROM t WHERE a = 'tab\\tnl\\n'", "SELECT * FROM t WHERE a = 'tab\tnl\n'"},
      // Operators of the dialect.
      {"SELECT a FROM t WHERE a CLIKE 'x%'", "SELECT a FROM t WHERE a MATCH 'x%'"},
      {"SELECT a FROM t WHERE a rlike '^x'", "SELECT a FROM t WHERE a REGEXP '^x'"},
      {"SELECT a FROM t WHERE a NOT CLIKE 'x'", "SELECT a FROM t WHERE a NOT MATCH 'x'"},
      // NULL comparisons in WHERE, but not assignments.
      {"SELECT a FROM t WHERE a = NULL", "SELECT a FROM t WHERE a IS NULL"},
      {"SELECT a FROM t WHERE a <> NULL", "SELECT a FROM t WHERE a IS NOT NULL"},
      {"UPDATE t SET a=NULL WHERE b != NULL", "UPDATE t SET a=NULL WHERE b IS NOT NULL"},
      // System variables.
      {"SELECT _rowid, a FROM t", "SELECT rowid AS _rowid, a FROM t"},
      {"SELECT a FROM t WHERE _rowid = 3", "SELECT a FROM t WHERE rowid = 3"},
      {"SELECT _seq FROM t", "SELECT korvid_seq('t') AS _seq"},
      {"SELECT a, _seq FROM t", "SELECT a, korvid_seq('t') AS _seq FROM t"},
      // Table aliases, mSQL style; an ON condition keeps its "=".
      {"SELECT e1.name FROM emp=e1, emp=e2 WHERE e1.boss = e2.id",
       "SELECT e1.name FROM emp AS e1, emp AS e2 WHERE e1.boss = e2.id"},
      {"SELECT a FROM t JOIN u ON x=y", "SELECT a FROM t JOIN u ON x=y"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u=v)", "SELECT a FROM t WHERE b IN (SELECT c FROM u AS v)"},
      // Indexes are stored per table.
      {"CREATE UNIQUE INDEX pk ON people (id)", "CREATE UNIQUE INDEX \"people.pk\" ON people (id)"},
      {"create index n on t (a, b)", "create index \"t.n\" on t (a, b)"},
      {"DROP INDEX pk FROM people", "DROP INDEX \"people.pk\""},
      // One trailing semicolon is dropped; SQL comments outside literals are
      // blanks, a ';' inside one ends nothing.
      {"DELETE FROM t WHERE a = 1;", "DELETE FROM t WHERE a = 1 "},
      {"SELECT a - -1 FROM t", "SELECT a - -1 FROM t"},
      {"SELECT a--1 FROM t", "SELECT a "},
      {"-- heading; of a file\nSELECT a FROM t -- ; x", " SELECT a FROM t "},
      {"/* a; b */SELECT a/**/FROM t WHERE b = '-- /*' /* c", " SELECT a FROM t WHERE b = '-- /*' "},
      {"SELECT \"x--y\" FROM t --", "SELECT \"x--y\" FROM t "},
      // Declared types are enforced by CHECK constraints named by their message.
      {"CREATE TABLE t (a int not null, b char(10), c date)",
       "CREATE TABLE t (a int not null, b char(10), c date COLLATE msql_date, CONSTRAINT \"value of a is not an integer\" "
       "CHECK (typeof(a) IN ('integer','null')), CONSTRAINT \"value of b is longer than 10 characters\" "
       "CHECK (length(b) <= 10))"},
      {"CREATE TABLE t (u uint, m money, x text(5))",
       "CREATE TABLE t (u uint, m money, x text(5), CONSTRAINT \"value of u is not an unsigned integer\" "
       "CHECK (typeof(u) IN ('integer','null') AND (u IS NULL OR u >= 0)), "
       "CONSTRAINT \"value of m is not a number\" CHECK (typeof(m) IN ('integer','real','null')))"},
  };
  for (const TranslateCase &c : cases) {
    Translation t;
    std::string error;
    ASSERT_TRUE(TranslateStatement(c.in, &t, &error)) << c.in << ": " << error;
    EXPECT_EQ(t.kind, STMT_SQL) << c.in;
    EXPECT_EQ(Inline(t), c.out) << c.in;
  }
}

TEST(DialectTest, WhereLiteralsBecomeParameters) {
  struct {
    const char *in, *sql;
    size_t params;
    bool cacheable;
  } cases[] = {
      {"SELECT * FROM t WHERE id = 7", "SELECT * FROM t WHERE id = ?1", 1, true},
      {"SELECT * FROM t WHERE a = 'x' AND b > 1.5", "SELECT * FROM t WHERE a = ?1 AND b > ?2", 2, true},
      // Select-list literals name their columns; ORDER BY 2 is a position.
      {"SELECT 'x', 1 FROM t WHERE a = 2 ORDER BY 2", "SELECT 'x', 1 FROM t WHERE a = ?1 ORDER BY 2", 1, true},
      {"SELECT a FROM t WHERE a IN (SELECT b FROM u ORDER BY 1) AND c = 3",
       "SELECT a FROM t WHERE a IN (SELECT b FROM u ORDER BY 1) AND c = 3", 0, true},
      {"SELECT a FROM t WHERE b = 1 LIMIT 5", "SELECT a FROM t WHERE b = ?1 LIMIT 5", 1, true},
      {"SELECT (SELECT 1 FROM u WHERE x = 2) FROM t", "SELECT (SELECT 1 FROM u WHERE x = 2) FROM t", 0, true},
      {"SELECT a FROM t WHERE b = 99999999999999999999", "SELECT a FROM t WHERE b = 99999999999999999999", 0,
       true},
      {"UPDATE t SET a=1 WHERE id = 2", "UPDATE t SET a=1 WHERE id = ?1", 1, true},
      {"DELETE FROM t WHERE id = 2", "DELETE FROM t WHERE id = ?1", 1, true},
      {"INSERT INTO t VALUES (1, 'a', -2.5)", "INSERT INTO t VALUES (?1, ?2, -?3)", 3, true},
      {"INSERT INTO t VALUES (1, (SELECT 2 FROM u WHERE x = 3))", "INSERT INTO t VALUES (?1, (SELECT 2 FROM u WHERE x = 3))", 1,
       true},
      {"INSERT INTO t SELECT * FROM u WHERE x = 3", "INSERT INTO t SELECT * FROM u WHERE x = 3", 0, false},
      {"CREATE TABLE t (a date)", "CREATE TABLE t (a date COLLATE msql_date)", 0, false},
      {"CREATE TABLE t (a time not null, \"b c\" date)", "CREATE TABLE t (a time COLLATE msql_time not null, \"b c\" date COLLATE msql_date)", 0, false},
  };
  for (const auto &c : cases) {
    Translation t;
    std::string error;
    ASSERT_TRUE(TranslateStatement(c.in, &t, &error)) << c.in << ": " << error;
    EXPECT_EQ(t.sql, c.sql) << c.in;
    EXPECT_EQ(t.params.size(), c.params) << c.in;
    EXPECT_EQ(t.cacheable, c.cacheable) << c.in;
  }
}

TEST(DialectTest, ParametersStopAtTheirLimit) {
  std::string list = "SELECT a FROM t WHERE a IN (0";
  for (int i = 1; i <= MAX_BOUND_PARAMS; i++) list += "," + std::to_string(i);
  list += ")";
  Translation t;
  std::string error;
  ASSERT_TRUE(TranslateStatement(list, &t, &error)) << error;
  ASSERT_EQ(t.params.size(), (size_t)MAX_BOUND_PARAMS);
  EXPECT_EQ(t.params.back().i, MAX_BOUND_PARAMS - 1);
  EXPECT_NE(t.sql.find("," + std::to_string(MAX_BOUND_PARAMS) + ")"), std::string::npos);
}

TEST(DialectTest, RefusesWithReason) {
  const TranslateCase cases[] = {
      {"", "Empty query"},
      {"   ", "Empty query"},
      {"PRAGMA integrity_check", "Unsupported statement: PRAGMA"},
      {"ATTACH DATABASE '/etc/passwd' AS x", "Unsupported statement: ATTACH"},
      {"BEGIN", "Unsupported statement: BEGIN"},
      {"CREATE VIEW v AS SELECT 1", "Unsupported statement: CREATE VIEW"},
      {"CREATE TRIGGER x", "Unsupported statement: CREATE TRIGGER"},
      {"SELECT 1; DROP TABLE t", "Only one statement per query is supported"},
      {"SELECT * FROM t WHERE a = 'open", "Unterminated string literal"},
      {"SELECT * FROM t WHERE a = 'x\\'", "Unterminated string literal"},
      {"SELECT * FROM _korvid_seq", "Reserved name: _korvid_seq"},
      {"SELECT * FROM sqlite_master", "Reserved name: sqlite_master"},
      {"SELECT a FROM t WHERE a SLIKE 'x'", "Unsupported operator: SLIKE"},
      {"SELECT _timestamp FROM t", "Unsupported system variable: _timestamp"},
      {"SELECT _seq", "_seq needs a table"},
      {"DROP INDEX pk", "Syntax: DROP INDEX name FROM table"},
      {"CREATE INDEX ON t (a)", "Syntax: CREATE [UNIQUE] INDEX name ON table (fields)"},
      {"CREATE SEQUENCE t", "Syntax: CREATE SEQUENCE ON table [STEP n] [VALUE n]"},
      {"CREATE SEQUENCE ON t STEP x", "Syntax: CREATE SEQUENCE ON table [STEP n] [VALUE n]"},
      {"DROP SEQUENCE FROM t x", "Syntax: DROP SEQUENCE FROM table"},
      {"(SELECT 1)", "Syntax error near \"(\""},
  };
  for (const TranslateCase &c : cases) {
    Translation t;
    std::string error;
    EXPECT_FALSE(TranslateStatement(c.in, &t, &error)) << c.in;
    EXPECT_EQ(error, c.out) << c.in;
  }
  Translation t;
  std::string error;
  EXPECT_FALSE(TranslateStatement(std::string("SELECT 1\0", 9), &t, &error));
  EXPECT_EQ(error, "Statement contains a NUL byte");
}

TEST(DialectTest, Sequences) {
  struct {
    const char *in;
    StatementKind kind;
    long long step, value;
  } cases[] = {
      {"CREATE SEQUENCE ON t", STMT_CREATE_SEQUENCE, 1, 1},
      {"create sequence on t step 5", STMT_CREATE_SEQUENCE, 5, 1},
      {"CREATE SEQUENCE ON t VALUE 100 STEP -2", STMT_CREATE_SEQUENCE, -2, 100},
      {"DROP SEQUENCE FROM t;", STMT_DROP_SEQUENCE, 1, 1},
  };
  for (const auto &c : cases) {
    Translation t;
    std::string error;
    ASSERT_TRUE(TranslateStatement(c.in, &t, &error)) << c.in << ": " << error;
    EXPECT_EQ(t.kind, c.kind) << c.in;
    EXPECT_EQ(t.table, "t") << c.in;
    EXPECT_EQ(t.step, c.step) << c.in;
    EXPECT_EQ(t.value, c.value) << c.in;
  }
}

TEST(DialectTest, SplitsScripts) {
  std::vector<std::string> s =
      SplitScript("# comment; not a statement\n"
                  "CREATE TABLE t (a char(5))\\g\n"
                  "  # indented comment\n"
                  "INSERT INTO t VALUES ('a;b');\n"
                  "INSERT INTO t VALUES ('c\\'; d');"
                  "INSERT INTO t VALUES ('\\\\g')\n"
                  "  ;  \n"
                  "SELECT * FROM t");
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0], "CREATE TABLE t (a char(5))");
  EXPECT_EQ(s[1], "INSERT INTO t VALUES ('a;b')");
  EXPECT_EQ(s[2], "INSERT INTO t VALUES ('c\\'; d')");
  EXPECT_EQ(s[3], "INSERT INTO t VALUES ('\\\\g')");
  EXPECT_EQ(s[4], "SELECT * FROM t");
  EXPECT_TRUE(SplitScript("  ;\n;# only a comment").empty());
  // SQL comments hold no terminator and are left out.
  EXPECT_EQ(SplitScript("-- first; heading\nSELECT a FROM t /* ; */ WHERE b = '--;' -- ; x\n; /* ; */"),
            std::vector<std::string>({"SELECT a FROM t   WHERE b = '--;'"}));
}

TEST(DialectTest, LikeMatching) {
  struct {
    const char *pattern, *text;
    bool fold, match;
  } cases[] = {
      {"A%", "Ann", false, true},
      {"A%", "ann", false, false},
      {"A%", "ann", true, true},
      {"%", "", false, true},
      {"", "", false, true},
      {"", "x", false, false},
      {"_", "", false, false},
      {"_", "x", false, true},
      {"_", "\xc3\xa9", false, true},  // one two-byte character
      {"__", "\xc3\xa9", false, false},
      {"a_c", "abc", false, true},
      {"a_c", "ac", false, false},
      {"%b%", "abc", false, true},
      {"%c", "abcabc", false, true},
      {"a%b%c", "aXbYbZc", false, true},
      {"a%b%c", "aXbYbZ", false, false},
      {"50\\%", "50%", false, true},
      {"50\\%", "500", false, false},
      {"a\\_b", "a_b", false, true},
      {"a\\_b", "axb", false, false},
      {"30", "30", false, true},
      {"%%%%%%%%%%%%%%%%%%%%b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
      {"%a%a%a%a%a%a%a%a%b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
      {"\xc3", "\xc3", false, true},  // a truncated character never runs past the end
  };
  for (const auto &c : cases) {
    EXPECT_EQ(LikeMatch(c.pattern, c.text, c.fold), c.match) << c.pattern << " / " << c.text;
  }
}

TEST(DialectTest, DatabaseNames) {
  for (const char *good : {"sample", "a", "DB_2", "_x"}) EXPECT_TRUE(ValidDatabaseName(good)) << good;
  for (const char *bad : {"", "..", "a/b", "/etc", "a.b", "a b", "a:b", "ä", "x\n"}) {
    EXPECT_FALSE(ValidDatabaseName(bad)) << bad;
  }
  EXPECT_TRUE(ValidDatabaseName(std::string(DB_NAME_MAX, 'a')));
  EXPECT_FALSE(ValidDatabaseName(std::string(DB_NAME_MAX + 1, 'a')));
}

TEST(DialectTest, IndexNames) {
  EXPECT_EQ(IndexStoredName("people", "pk"), "people.pk");
  EXPECT_EQ(IndexShownName(IndexStoredName("people", "pk")), "pk");
  EXPECT_EQ(IndexShownName("sqlite_autoindex_t_1"), "sqlite_autoindex_t_1");
}

TEST(DialectTest, DeclaredTypes) {
  struct {
    const char *declared;
    int type, length;
  } cases[] = {
      {"int", INT_TYPE, 4},         {"INTEGER", INT_TYPE, 4},     {"uint", UINT_TYPE, 4},
      {"real", REAL_TYPE, 8},       {"char(20)", CHAR_TYPE, 20},  {"CHAR (7)", CHAR_TYPE, 7},
      {"text(200)", TEXT_TYPE, 200}, {"date", DATE_TYPE, 4},      {"time", TIME_TYPE, 4},
      {"money", MONEY_TYPE, 4},
      // SQLite's affinity rules for every other name; a length of 0 is
      // measured from the values.
      {"BIGINT", INT_TYPE, 4},      {"smallint", INT_TYPE, 4},    {"INT8", INT_TYPE, 4},
      {"VARCHAR(30)", CHAR_TYPE, 30}, {"NVARCHAR(12)", CHAR_TYPE, 12}, {"character varying(4)", CHAR_TYPE, 4},
      {"VARCHAR", TEXT_TYPE, 0},    {"TEXT", TEXT_TYPE, 0},       {"CLOB", TEXT_TYPE, 0},
      {"blob", TEXT_TYPE, 0},       {"", TEXT_TYPE, 0},           {"FLOAT", REAL_TYPE, 8},
      {"DOUBLE PRECISION", REAL_TYPE, 8}, {"BOOLEAN", INT_TYPE, 4}, {"NUMERIC", REAL_TYPE, 8},
      {"DECIMAL(10,2)", REAL_TYPE, 8}, {"DATETIME", TEXT_TYPE, 0}, {"timestamp", TEXT_TYPE, 0},
  };
  for (const auto &c : cases) {
    FieldType t = TypeFromDeclared(c.declared);
    EXPECT_EQ(t.type, c.type) << c.declared;
    EXPECT_EQ(t.length, c.length) << c.declared;
    bool sized = strchr(c.declared, '(') != nullptr;
    EXPECT_EQ(t.measured, t.type == TEXT_TYPE && !sized) << c.declared;
  }
  EXPECT_EQ(TypeFromDeclared(nullptr).type, TEXT_TYPE);
}

TEST(DialectTest, DatesAndTimesCompareInTheirOwnOrder) {
  auto date = [](const std::string &a, const std::string &b) {
    int c = MsqlCompareDates(a.data(), a.size(), b.data(), b.size());
    return c < 0 ? -1 : c > 0;
  };
  auto time = [](const std::string &a, const std::string &b) {
    int c = MsqlCompareTimes(a.data(), a.size(), b.data(), b.size());
    return c < 0 ? -1 : c > 0;
  };
  EXPECT_EQ(date("28-Feb-1998", "02-Mar-1999"), -1);
  EXPECT_EQ(date("02-Mar-1999", "15-Jan-2001"), -1);
  EXPECT_EQ(date("15-Jan-2001", "01-Jan-2000"), 1);
  EXPECT_EQ(date("31-Dec-1999", "01-Jan-2000"), -1);
  EXPECT_EQ(date("2-mar-1999", "02-Mar-1999"), 0);
  EXPECT_EQ(date("01-Jan-2000", "01-Jan-2000"), 0);
  // Texts that are no dates come after every date, in byte order.
  for (const char *bad : {"", "1999-03-02", "02-Mrz-1999", "32-Jan-1999", "02-Mar-1999 ", "02-Mar-"}) {
    EXPECT_EQ(date("01-Jan-9999", bad), -1) << bad;
    EXPECT_EQ(date(bad, "01-Jan-0001"), 1) << bad;
  }
  EXPECT_EQ(date("abc", "abd"), -1);
  EXPECT_EQ(date("ab", "abc"), -1);
  EXPECT_EQ(time("9:30:00", "10:00:00"), -1);
  EXPECT_EQ(time("14:00:00", "08:05:00"), 1);
  EXPECT_EQ(time("08:05", "08:05:00"), 0);
  EXPECT_EQ(time("23:59:59", "noon"), -1);
  EXPECT_EQ(time("12:60:00", "00:00:00"), 1);  // no time
}

TEST(DialectTest, RowEncoding) {
  std::string row;
  AppendColumn(&row, "abc", 3);
  AppendNull(&row);
  AppendColumn(&row, "", 0);
  AppendColumn(&row, "1:2", 3);
  EXPECT_EQ(row, "3:abc-2:0:3:1:2");
}

}  // namespace
