// korvid-server through the project's client library over real sockets:
// every request and its reply shape, the statements the application builds,
// the dialect, and the refusals.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "msql/msql.h"
#include "tests/support/pg_fixture.h"
#include "tests/support/rows.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

// Each test gets its own server with a fresh sample database.
class ServerTest : public ServerClientTest {
 protected:
  virtual bool OverPostgres() const { return false; }

  void SetUp() override {
    ServerFixtureOptions options;
    options.postgresql = OverPostgres();
    StartServer(options);
  }

  // Runs a statement that yields rows and returns them as texts ("NULL" for
  // SQL NULL); fails the test when the statement is refused.
  std::vector<std::vector<std::string>> Rows(const std::string &statement) { return ServerTable(sock_, statement); }

  bool SelectSample() {
    if (msqlSelectDB(sock_, "sample") != 0) {
      ADD_FAILURE() << msqlErrMsg;
      return false;
    }
    return true;
  }
};


// The tests that hold for every storage engine run once over SQLite files
// and once over a private PostgreSQL.
class EngineTest : public ServerTest, public ::testing::WithParamInterface<const char *> {
 protected:
  bool OverPostgres() const override { return strcmp(GetParam(), "PostgreSQL") == 0; }
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

// Counts the INSERT statements for a table in the sample script, so that
// row counts are checked against the data, not against numbers written here.
int SampleRows(const std::string &table) {
  FILE *f = fopen(SampleSqlPath().c_str(), "r");
  if (!f) return -1;
  std::string prefix = "INSERT INTO " + table + " VALUES";
  char line[4096];
  int n = 0;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, prefix.c_str(), prefix.size()) == 0) n++;
  }
  fclose(f);
  return n;
}

struct FieldInfo {
  std::string table, name;
  int type, length;
  unsigned flags;
};

std::vector<FieldInfo> Fields(ResultHandle *r) {
  std::vector<FieldInfo> out;
  msqlFieldSeek(r, 0);
  while (FieldListEntry *f = msqlFetchField(r)) out.push_back({f->table, f->name, f->type, f->length, f->flags});
  return out;
}

std::vector<std::string> Column(ResultHandle *r, int column) {
  std::vector<std::string> out;
  msqlDataSeek(r, 0);
  while (char **row = msqlFetchRow(r)) out.push_back(row[column] ? row[column] : "NULL");
  return out;
}

TEST_P(EngineTest, GreetingAnnouncesProtocol23AndDescription) {
  EXPECT_EQ(msqlGetProtoInfo(), 23);
  std::string info = msqlGetServerInfo();
  EXPECT_EQ(info.find("korvid-server 1.0.0 ("), 0u) << info;
  // The engine served, and only that one.
  EXPECT_EQ(info.find(OverPostgres() ? "(PostgreSQL, libpq " : "(SQLite "), info.find('(')) << info;
  EXPECT_EQ(info.find(OverPostgres() ? "SQLite" : "PostgreSQL"), std::string::npos) << info;
}


TEST_P(EngineTest, CatalogListsDatabasesTablesFieldsAndIndexes) {
  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"sample"}));
  msqlFreeResult(r);

  EXPECT_EQ(msqlListTables(sock_), nullptr);  // no database selected yet
  EXPECT_STREQ(msqlErrMsg, "No database has been selected");
  ASSERT_TRUE(SelectSample());
  r = msqlListTables(sock_);
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"events", "orders", "people", "products"}));
  msqlFreeResult(r);

  r = msqlListFields(sock_, "people");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<FieldInfo> f = Fields(r);
  msqlFreeResult(r);
  struct {
    const char *name;
    int type, length;
    unsigned flags;
  } want[] = {{"id", INT_TYPE, 4, FLAG_NOT_NULL},
              {"name", CHAR_TYPE, 40, FLAG_NOT_NULL},
              {"email", CHAR_TYPE, 60, 0},
              {"age", INT_TYPE, 4, 0},
              {"salary", MONEY_TYPE, 4, 0},
              {"born", DATE_TYPE, 4, 0},
              {"phone", CHAR_TYPE, 20, 0},
              // PostgreSQL's text has no length: the longest value's is shown.
              {"notes", TEXT_TYPE, OverPostgres() ? 16 : 200, 0},
              {"people_id", IDX_TYPE, 1, FLAG_UNIQUE_KEY},
              {"people_name", IDX_TYPE, 1, 0}};
  ASSERT_EQ(f.size(), sizeof want / sizeof want[0]);
  for (size_t i = 0; i < f.size(); i++) {
    EXPECT_EQ(f[i].table, "people");
    EXPECT_EQ(f[i].name, want[i].name);
    EXPECT_EQ(f[i].type, want[i].type) << want[i].name;
    EXPECT_EQ(f[i].length, want[i].length) << want[i].name;
    EXPECT_EQ(f[i].flags, want[i].flags) << want[i].name;
  }

  // The table without an index lists its data fields only.
  r = msqlListFields(sock_, "events");
  ASSERT_NE(r, nullptr);
  f = Fields(r);
  msqlFreeResult(r);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].type, TIME_TYPE);
  for (const FieldInfo &e : f) EXPECT_NE(e.type, IDX_TYPE);

  r = msqlListIndex(sock_, "people", "people_id");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"btree", "id"}));
  msqlFreeResult(r);

  EXPECT_EQ(msqlListFields(sock_, "nosuch"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Unknown table \"nosuch\"");
  EXPECT_EQ(msqlListIndex(sock_, "people", "nosuch"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Unknown index \"nosuch\" on table \"people\"");
}

TEST_P(EngineTest, MultiFieldIndexListsItsFieldsInOrder) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "CREATE UNIQUE INDEX by_person ON orders (person, id)"), 0) << msqlErrMsg;
  ResultHandle *r = msqlListIndex(sock_, "orders", "by_person");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"btree", "person", "id"}));
  msqlFreeResult(r);
  // Index names are per table: the same name on another table is another index.
  EXPECT_EQ(msqlQuery(sock_, "CREATE INDEX by_person ON products (stock)"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "DROP INDEX by_person FROM orders"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlListIndex(sock_, "orders", "by_person"), nullptr);
  r = msqlListIndex(sock_, "products", "by_person");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  msqlFreeResult(r);
}

TEST_P(EngineTest, QueryRepliesCarryRowsAndFieldDescriptions) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "SELECT id, name, salary, born FROM people WHERE id = 1"), 1) << msqlErrMsg;
  ResultHandle *r = msqlStoreResult();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(msqlNumRows(r), 1);
  EXPECT_EQ(msqlNumFields(r), 4);
  std::vector<FieldInfo> f = Fields(r);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].table, "people");
  EXPECT_EQ(f[0].type, INT_TYPE);
  EXPECT_EQ(f[0].flags, (unsigned)FLAG_NOT_NULL);
  EXPECT_EQ(f[1].type, CHAR_TYPE);
  EXPECT_EQ(f[1].length, 40);
  EXPECT_EQ(f[2].type, MONEY_TYPE);
  EXPECT_EQ(f[3].type, DATE_TYPE);
  msqlDataSeek(r, 0);
  char **row = msqlFetchRow(r);
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row[0], "1");
  msqlFreeResult(r);

  // No match: still a handle, with every field description.
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM people WHERE id = -5"), 0) << msqlErrMsg;
  r = msqlStoreResult();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(msqlNumRows(r), 0);
  EXPECT_EQ(msqlNumFields(r), 8);
  msqlFreeResult(r);

  // A computed column is CHAR, of no table, as long as its longest value.
  ASSERT_EQ(msqlQuery(sock_, "SELECT name || '!' FROM people WHERE id <= 50"), 50) << msqlErrMsg;
  r = msqlStoreResult();
  ASSERT_NE(r, nullptr);
  size_t longest = 0;
  for (const std::string &v : Column(r, 0)) longest = std::max(longest, v.size());
  f = Fields(r);
  EXPECT_EQ(f[0].table, "");
  EXPECT_EQ(f[0].type, CHAR_TYPE);
  EXPECT_EQ(f[0].length, (int)longest);
  msqlFreeResult(r);
}

TEST_F(ServerTest, ApplicationStatementsWork) {
  ASSERT_TRUE(SelectSample());
  int people = SampleRows("people");
  ASSERT_GT(people, 1000);

  // The count query and the listing ordered by key.
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM people "), people) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM people ORDER BY id "), people) << msqlErrMsg;
  ResultHandle *r = msqlStoreResult();
  std::vector<std::string> ids = Column(r, 0);
  msqlFreeResult(r);
  for (size_t i = 1; i < ids.size(); i++) EXPECT_LT(atoi(ids[i - 1].c_str()), atoi(ids[i].c_str()));

  // Lookup by key, update, delete, insert, in the application's own forms.
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM people  WHERE id = 7"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  ASSERT_EQ(msqlQuery(sock_,
                      "UPDATE people SET name='Ann',email='ann@example.org',age=30,salary=10.5,"
                      "born='01-Jan-1990',phone='',notes='' WHERE id = 7"),
            1)
      << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "SELECT name, age, salary, phone FROM people  WHERE id = 7"), 1);
  r = msqlStoreResult();
  char **row = msqlFetchRow(r);
  EXPECT_STREQ(row[0], "Ann");
  EXPECT_STREQ(row[1], "30");
  EXPECT_STREQ(row[2], "10.50");
  EXPECT_STREQ(row[3], "");
  msqlFreeResult(r);
  EXPECT_EQ(msqlQuery(sock_, "DELETE FROM people  WHERE id = 7"), 1) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "DELETE FROM people  WHERE id = 7"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM people  WHERE id = 7"), 0);
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(sock_, "INSERT INTO people VALUES (7,'Bob','',41,1.25,'','','')"), 1) << msqlErrMsg;
  // The unique index refuses a second record with the same key.
  EXPECT_EQ(msqlQuery(sock_, "INSERT INTO people VALUES (7,'Eve','',1,1,'','','')"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "UNIQUE"), nullptr) << msqlErrMsg;
  // An empty bare value leaves a hole in the statement: refused, not guessed.
  EXPECT_EQ(msqlQuery(sock_, "INSERT INTO people VALUES (8,'Eve','',,1,'','','')"), -1);
  EXPECT_EQ(msqlQuery(sock_, "UPDATE people SET  WHERE id = 7"), -1);

  // Search by example: case-sensitive LIKE, bare numbers compared as text.
  ASSERT_GE(msqlQuery(sock_, "SELECT * FROM people "), 0);
  r = msqlStoreResult();
  int expected = 0;
  msqlDataSeek(r, 0);
  while (char **all = msqlFetchRow(r)) {
    if (all[1][0] == 'S' && all[3] && strlen(all[3]) == 2 && all[3][0] == '3') expected++;
  }
  msqlFreeResult(r);
  ASSERT_GT(expected, 0);
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM people  WHERE name LIKE 'S%' AND age LIKE '3_'"), expected)
      << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM people  WHERE name LIKE 's%' AND age LIKE '3_'"), 0);
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM people  WHERE name CLIKE 's%' AND age LIKE '3_'"), expected);
  msqlFreeResult(msqlStoreResult());
}

TEST_F(ServerTest, DialectFeatures) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "CREATE TABLE notes (id int, body char(40))"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO notes VALUES (1, 'O\\'Brien said: \\\\o/')"), 1) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO notes VALUES (2, NULL)"), 1) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO notes VALUES (3, '50% of a_b')"), 1) << msqlErrMsg;

  ASSERT_EQ(msqlQuery(sock_, "SELECT body FROM notes WHERE id = 1"), 1);
  ResultHandle *r = msqlStoreResult();
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"O'Brien said: \\o/"}));
  msqlFreeResult(r);

  // NULL is sent as NULL, and "= NULL" finds it.
  ASSERT_EQ(msqlQuery(sock_, "SELECT id, body FROM notes WHERE body = NULL"), 1) << msqlErrMsg;
  r = msqlStoreResult();
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"2"}));
  EXPECT_EQ(Column(r, 1), std::vector<std::string>({"NULL"}));
  msqlFreeResult(r);
  EXPECT_EQ(msqlQuery(sock_, "SELECT id FROM notes WHERE body <> NULL"), 2);
  msqlFreeResult(msqlStoreResult());

  struct {
    const char *where;
    std::vector<std::string> ids;
  } cases[] = {
      {"body LIKE '50\\\\%%'", {"3"}},   // escaped % is literal
      {"body LIKE '%a\\\\_b'", {"3"}},   // escaped _ is literal
      {"body LIKE '%A\\\\_B'", {}},      // LIKE heeds case
      {"body CLIKE '%A\\\\_B'", {"3"}},  // CLIKE does not
      {"body RLIKE '^O.Brien'", {"1"}},
      {"body RLIKE 'said: .*/$'", {"1"}},
      {"body NOT LIKE 'O%'", {"3"}},
      {"_rowid = 2", {"2"}},
  };
  for (const auto &c : cases) {
    std::string q = std::string("SELECT id FROM notes WHERE ") + c.where + " ORDER BY id";
    ASSERT_GE(msqlQuery(sock_, q.c_str()), 0) << q << ": " << msqlErrMsg;
    r = msqlStoreResult();
    EXPECT_EQ(Column(r, 0), c.ids) << q;
    msqlFreeResult(r);
  }
  EXPECT_EQ(msqlQuery(sock_, "SELECT id FROM notes WHERE body RLIKE '('"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "Bad regular expression"), nullptr) << msqlErrMsg;

  // A join with mSQL's table aliases: each order names one person.
  ASSERT_EQ(msqlQuery(sock_, "SELECT o.id, p.name FROM orders=o, people=p WHERE o.person = p.id AND o.id <= 5"), 5)
      << msqlErrMsg;
  r = msqlStoreResult();
  EXPECT_EQ(Fields(r)[1].table, "people");
  msqlFreeResult(r);

  // LIMIT and ORDER BY.
  ASSERT_EQ(msqlQuery(sock_, "SELECT id FROM notes ORDER BY id DESC LIMIT 2"), 2) << msqlErrMsg;
  r = msqlStoreResult();
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"3", "2"}));
  msqlFreeResult(r);

  // Sequences: the value, then the value advanced by the step.
  ASSERT_EQ(msqlQuery(sock_, "CREATE SEQUENCE ON notes STEP 5 VALUE 10"), 1) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "CREATE SEQUENCE ON notes"), -1);
  for (const char *want : {"10", "15"}) {
    ASSERT_EQ(msqlQuery(sock_, "SELECT _seq FROM notes"), 1) << msqlErrMsg;
    r = msqlStoreResult();
    EXPECT_EQ(Column(r, 0), std::vector<std::string>({want}));
    EXPECT_EQ(Fields(r)[0].name, "_seq");
    msqlFreeResult(r);
  }
  SequenceInfo *info = msqlGetSequenceInfo(sock_, "notes");
  ASSERT_NE(info, nullptr) << msqlErrMsg;
  EXPECT_EQ(info->first, 5);
  EXPECT_EQ(info->second, 20);
  EXPECT_EQ(msqlQuery(sock_, "DROP SEQUENCE FROM notes"), 1) << msqlErrMsg;
  EXPECT_EQ(msqlGetSequenceInfo(sock_, "notes"), nullptr);
  EXPECT_EQ(msqlQuery(sock_, "SELECT _seq FROM notes"), -1);
  EXPECT_EQ(msqlQuery(sock_, "CREATE SEQUENCE ON nosuch"), -1);
  EXPECT_STREQ(msqlErrMsg, "Unknown table \"nosuch\"");
  // A table dropped and made again has no sequence left over.
  ASSERT_EQ(msqlQuery(sock_, "CREATE SEQUENCE ON notes VALUE 7"), 1) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "DROP TABLE notes"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "CREATE TABLE notes (id int, body char(40))"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlGetSequenceInfo(sock_, "notes"), nullptr);

  // Money keeps two decimals; _rowid is named as asked.
  ASSERT_EQ(msqlQuery(sock_, "SELECT _rowid, salary FROM people WHERE salary <> NULL LIMIT 20"), 20);
  r = msqlStoreResult();
  EXPECT_EQ(Fields(r)[0].name, "_rowid");
  for (const std::string &v : Column(r, 1)) {
    size_t dot = v.find('.');
    ASSERT_NE(dot, std::string::npos) << v;
    EXPECT_EQ(v.size() - dot, 3u) << v;
  }
  msqlFreeResult(r);

  // Values with colons come back whole: the byte count frames them.
  ASSERT_GT(msqlQuery(sock_, "SELECT phone, notes FROM people WHERE phone LIKE '%:%'"), 0);
  r = msqlStoreResult();
  for (const std::string &v : Column(r, 0)) EXPECT_EQ(std::count(v.begin(), v.end(), ':'), 2) << v;
  msqlFreeResult(r);
}

TEST_F(ServerTest, ValuesMustFitTheDeclaredType) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "CREATE TABLE typed (i int, u uint, r real, m money, c char(3), d date)"), 0)
      << msqlErrMsg;
  struct {
    const char *values, *message;
  } refused[] = {
      {"('x', 1, 1, 1, 'a', 'd')", "CHECK constraint failed: value of i is not an integer"},
      {"(1.5, 1, 1, 1, 'a', 'd')", "CHECK constraint failed: value of i is not an integer"},
      {"(1, -1, 1, 1, 'a', 'd')", "CHECK constraint failed: value of u is not an unsigned integer"},
      {"(1, 1, 'x', 1, 'a', 'd')", "CHECK constraint failed: value of r is not a number"},
      {"(1, 1, 1, '1,50', 'a', 'd')", "CHECK constraint failed: value of m is not a number"},
      {"(1, 1, 1, 1, 'abcd', 'd')", "CHECK constraint failed: value of c is longer than 3 characters"},
  };
  for (const auto &c : refused) {
    std::string q = std::string("INSERT INTO typed VALUES ") + c.values;
    EXPECT_EQ(msqlQuery(sock_, q.c_str()), -1) << q;
    EXPECT_STREQ(msqlErrMsg, c.message) << q;
  }
  // Numbers written as text are taken as numbers; NULL fits every type.
  EXPECT_EQ(msqlQuery(sock_, "INSERT INTO typed VALUES ('42', 0, 2.5, 3, 'abc', 'any text')"), 1) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "INSERT INTO typed VALUES (NULL, NULL, NULL, NULL, NULL, NULL)"), 1) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "UPDATE typed SET c = 'long' WHERE i = 42"), -1);
  ASSERT_EQ(msqlQuery(sock_, "SELECT i, m FROM typed WHERE i = 42"), 1) << msqlErrMsg;
  ResultHandle *r = msqlStoreResult();
  char **row = msqlFetchRow(r);
  EXPECT_STREQ(row[0], "42");
  EXPECT_STREQ(row[1], "3.00");
  msqlFreeResult(r);
  // The widest money value is written whole.
  ASSERT_EQ(msqlQuery(sock_, "UPDATE typed SET m = -1.5e308 WHERE i = 42"), 1) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "SELECT m FROM typed WHERE i = 42"), 1) << msqlErrMsg;
  r = msqlStoreResult();
  row = msqlFetchRow(r);
  EXPECT_EQ(strlen(row[0]), 313u) << row[0];
  EXPECT_EQ(strncmp(row[0], "-15", 3), 0) << row[0];
  msqlFreeResult(r);
}

TEST_F(ServerTest, RefusedStatementsLeaveTheConnectionUsable) {
  ASSERT_TRUE(SelectSample());
  struct {
    const char *statement, *message;
  } cases[] = {
      {"PRAGMA integrity_check", "Unsupported statement: PRAGMA"},
      {"ATTACH DATABASE '/tmp/x.db' AS x", "Unsupported statement: ATTACH"},
      {"SELECT 1; DELETE FROM people", "Only one statement per query is supported"},
      {"SELECT * FROM nosuch", "no such table: nosuch"},
      {"SELECT * FROM _korvid_seq", "Reserved name: _korvid_seq"},
      {"SELECT * FROM \"_korvid_seq\"", "access to _korvid_seq.tbl is prohibited"},
      {"DELETE FROM '_korvid_seq'", "not authorized"},
      {"SELECT * FROM people WHERE name = 'open", "Unterminated string literal"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(msqlQuery(sock_, c.statement), -1) << c.statement;
    EXPECT_STREQ(msqlErrMsg, c.message) << c.statement;
  }
  EXPECT_EQ(msqlQuery(sock_, "SELECT id FROM people WHERE id = 1"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
}

// A table made again with other columns, by this connection or another: a
// "*" then names the columns the table has now, in the announced count, the
// field descriptions and every row, whether or not the statement was
// prepared before.
// A stored REAL's bits, read from the database itself (the SQLite file, or
// PostgreSQL through psql), in hexadecimal, most significant byte first.
std::string StoredRealBits(ServerFixture *server, bool postgres, const std::string &sql) {
  if (postgres) {
    std::string out;
    EXPECT_TRUE(PgFixtureSql(server->pg, "sample", "SELECT substr(float8send(r)::text, 3) FROM (" + sql + ") AS v(r)",
                             &out))
        << out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  sqlite3 *db = nullptr;
  std::string bits;
  if (sqlite3_open((server->data_dir + "/sample").c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW &&
        sqlite3_column_type(stmt, 0) == SQLITE_FLOAT) {
      double d = sqlite3_column_double(stmt, 0);
      unsigned long long u;
      memcpy(&u, &d, sizeof u);
      char hex[17];
      snprintf(hex, sizeof hex, "%016llx", u);
      bits = hex;
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return bits;
}

TEST_P(EngineTest, RealsGoOutInTheirShortestExactTextAndSurviveAnUntouchedModify) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "CREATE TABLE reals (id int, r real, note char(10))"), 0) << msqlErrMsg;
  struct {
    const char *literal, *sqlite_text, *postgres_text;
  } cases[] = {
      {"2461383.160081019", "2461383.160081019", "2461383.160081019"},
      {"0.30000000000000004", "0.30000000000000004", "0.30000000000000004"},
      {"1e-300", "1.0e-300", "1e-300"},
      {"123456789012345678", "1.2345678901234568e+17", "1.2345678901234568e+17"},
      {"-2.5", "-2.5", "-2.5"},
      {"3", "3.0", "3"},
  };
  int id = 0;
  for (const auto &c : cases) {
    id++;
    std::string key = std::to_string(id);
    double expected = strtod(c.literal, nullptr);
    unsigned long long u;
    memcpy(&u, &expected, sizeof u);
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", u);
    ASSERT_EQ(msqlQuery(sock_, ("INSERT INTO reals VALUES (" + key + ", " + c.literal + ", 'old')").c_str()), 1)
        << c.literal << ": " << msqlErrMsg;
    std::vector<std::vector<std::string>> shown = Rows("SELECT r FROM reals WHERE id = " + key);
    ASSERT_EQ(shown.size(), 1u) << c.literal;
    EXPECT_EQ(shown[0][0], OverPostgres() ? c.postgres_text : c.sqlite_text) << c.literal;
    // The record form writes every field back; only note was changed.
    std::string update = "UPDATE reals SET r=" + shown[0][0] + ",note='new' WHERE id = " + key;
    ASSERT_EQ(msqlQuery(sock_, update.c_str()), 1) << update << ": " << msqlErrMsg;
    EXPECT_EQ(StoredRealBits(server_, OverPostgres(), "SELECT r FROM reals WHERE id = " + key), hex) << c.literal;
  }
}

TEST_P(EngineTest, SqlCommentsAreBlanks) {
  ASSERT_TRUE(SelectSample());
  // A statement read from a file, its heading a comment; a ';' inside a
  // comment ends nothing.
  const char *statements[] = {
      "-- the first person\nSELECT name FROM people WHERE id = 1",
      "SELECT name FROM people WHERE id = 1 -- ; x",
      "/* a; b */ SELECT name /* c */ FROM people WHERE id = 1 /* open",
  };
  for (const char *statement : statements) {
    EXPECT_EQ(Rows(statement), std::vector<std::vector<std::string>>({{"Sven Weber"}})) << statement;
  }
  // In a literal, "--" is text.
  EXPECT_EQ(Rows("SELECT name FROM people WHERE name = 'a -- b' OR id = 2"),
            std::vector<std::vector<std::string>>({{"Rosa Berg"}}));
}

TEST_P(EngineTest, CatalogTakesAndGivesBareNamesThatNeedQuoting) {
  ASSERT_TRUE(SelectSample());
  ASSERT_EQ(msqlQuery(sock_, "CREATE TABLE \"Order Details\" (id int not null PRIMARY KEY, \"Unit Price\" real)"), 0)
      << msqlErrMsg;
  ResultHandle *r = msqlListTables(sock_);
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<std::string> tables = Column(r, 0);
  msqlFreeResult(r);
  EXPECT_NE(std::find(tables.begin(), tables.end(), "Order Details"), tables.end());
  r = msqlListFields(sock_, "Order Details");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<FieldInfo> f = Fields(r);
  msqlFreeResult(r);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].table, "Order Details");
  EXPECT_EQ(f[1].name, "Unit Price");
  EXPECT_EQ(f[2].name, "primary_key");
  r = msqlListIndex(sock_, "Order Details", "primary_key");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  EXPECT_EQ(Column(r, 0).size(), 2u);
  msqlFreeResult(r);
  // An unquoted name still means its table in any case.
  r = msqlListFields(sock_, "PEOPLE");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  msqlFreeResult(r);
}

TEST_P(EngineTest, AStarNamesTheColumnsOfATableMadeAgain) {
  ASSERT_TRUE(SelectSample());
  int other = msqlConnect(nullptr);
  ASSERT_GE(other, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(other, "sample"), 0) << msqlErrMsg;
  struct Case {
    const char *who;
    int sock;
  } cases[] = {{"this connection", sock_}, {"another connection", other}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.who);
    for (const char *statement : {"CREATE TABLE remade (a int, b int, c int)", "INSERT INTO remade VALUES (1, 2, 3)"})
      ASSERT_GE(msqlQuery(c.sock, statement), 0) << statement << ": " << msqlErrMsg;
    EXPECT_EQ(Rows("SELECT * FROM remade"), (std::vector<std::vector<std::string>>{{"1", "2", "3"}}));
    for (const char *statement : {"DROP TABLE remade", "CREATE TABLE remade (a int, b int)", "INSERT INTO remade VALUES (4, 5)"})
      ASSERT_GE(msqlQuery(c.sock, statement), 0) << statement << ": " << msqlErrMsg;
    ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM remade"), 1) << msqlErrMsg;
    ResultHandle *r = msqlStoreResult();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(msqlNumFields(r), 2);
    EXPECT_EQ(Fields(r).size(), 2u);
    char **row = msqlFetchRow(r);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "4");
    EXPECT_STREQ(row[1], "5");
    msqlFreeResult(r);
    ASSERT_GE(msqlQuery(c.sock, "DROP TABLE remade"), 0) << msqlErrMsg;
  }
  msqlClose(other);
}

TEST_P(EngineTest, BadDatabaseNamesNeverTouchTheFileSystem) {
  const char *names[] = {"../sample", "..", "", "a/b", "/etc/passwd", "sample.db", "x y", "nosuch"};
  for (const char *name : names) {
    EXPECT_EQ(msqlSelectDB(sock_, name), -1) << name;
    if (strcmp(name, "nosuch") == 0) {
      EXPECT_STREQ(msqlErrMsg, "Unknown database \"nosuch\"");
    } else {
      EXPECT_NE(strstr(msqlErrMsg, "Bad database name"), nullptr) << name << ": " << msqlErrMsg;
    }
    EXPECT_EQ(msqlCreateDB(sock_, name), strcmp(name, "nosuch") == 0 ? 0 : -1) << name;
  }
  EXPECT_EQ(msqlCopyDB(sock_, "sample", "../copy"), -1);
  EXPECT_EQ(msqlMoveDB(sock_, "sample", "a/b"), -1);
  EXPECT_EQ(msqlDropDB(sock_, "../data/sample"), -1);
  // Only the two real databases exist; nothing was made beside them.
  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"nosuch", "sample"}));
  msqlFreeResult(r);
  FILE *f = fopen((server_->dir + "/copy").c_str(), "r");
  EXPECT_EQ(f, nullptr);
  if (f) fclose(f);
}

TEST_F(ServerTest, ServesSqliteFilesMadeElsewhere) {
  // A database file written by another SQLite program, and a stray file.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((server_->data_dir + "/own").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE items (id INTEGER PRIMARY KEY, label VARCHAR(12) NOT NULL, note TEXT);"
                         "INSERT INTO items VALUES (1, 'one', NULL), (2, 'two', 'x:y');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  FILE *stray = fopen((server_->data_dir + "/notes").c_str(), "w");
  ASSERT_NE(stray, nullptr);
  fputs("not a database\n", stray);
  fclose(stray);

  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"own", "sample"}));
  msqlFreeResult(r);
  ASSERT_EQ(msqlSelectDB(sock_, "own"), 0) << msqlErrMsg;
  r = msqlListFields(sock_, "items");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<FieldInfo> f = Fields(r);
  msqlFreeResult(r);
  ASSERT_EQ(f.size(), 4u);  // three fields and the INTEGER PRIMARY KEY
  EXPECT_EQ(f[0].type, INT_TYPE);
  EXPECT_EQ(f[1].type, CHAR_TYPE);
  EXPECT_EQ(f[1].length, 12);
  EXPECT_EQ(f[1].flags, (unsigned)FLAG_NOT_NULL);
  EXPECT_EQ(f[2].type, TEXT_TYPE);
  EXPECT_EQ(f[2].length, 3);  // "x:y"
  EXPECT_EQ(f[3].name, "primary_key");
  EXPECT_EQ(f[3].type, IDX_TYPE);
  EXPECT_EQ(f[3].flags, (unsigned)FLAG_UNIQUE_KEY);
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM items  WHERE id = 2"), 1) << msqlErrMsg;
  r = msqlStoreResult();
  EXPECT_EQ(Column(r, 2), std::vector<std::string>({"x:y"}));
  msqlFreeResult(r);
  EXPECT_EQ(msqlSelectDB(sock_, "notes"), -1);
}

TEST_F(ServerTest, AdministrationCreatesCopiesMovesAndDrops) {
  ASSERT_EQ(msqlCreateDB(sock_, "scratch"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlCreateDB(sock_, "scratch"), -1);
  EXPECT_STREQ(msqlErrMsg, "Database \"scratch\" already exists");
  ASSERT_EQ(msqlCopyDB(sock_, "sample", "copy"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlMoveDB(sock_, "copy", "moved"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlMoveDB(sock_, "copy", "again"), -1);
  EXPECT_EQ(msqlCopyDB(sock_, "sample", "moved"), -1);
  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"moved", "sample", "scratch"}));
  msqlFreeResult(r);
  // The moved copy holds the sample's rows.
  ASSERT_EQ(msqlSelectDB(sock_, "moved"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM orders "), SampleRows("orders"));
  msqlFreeResult(msqlStoreResult());
  ASSERT_EQ(msqlDropDB(sock_, "moved"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlDropDB(sock_, "moved"), -1);
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM orders "), -1);  // its handle went with it
  ASSERT_EQ(msqlDropDB(sock_, "scratch"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlReloadAcl(sock_), 0) << msqlErrMsg;
}

TEST_F(ServerTest, DatabasesInUseAreNeitherDroppedNorMoved) {
  ASSERT_EQ(msqlCopyDB(sock_, "sample", "busy"), 0) << msqlErrMsg;
  int other = msqlConnect(nullptr);
  ASSERT_GE(other, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(other, "busy"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlDropDB(sock_, "busy"), -1);
  EXPECT_STREQ(msqlErrMsg, "Database \"busy\" is in use by 1 connection(s)");
  EXPECT_EQ(msqlMoveDB(sock_, "busy", "elsewhere"), -1);
  EXPECT_EQ(msqlCopyDB(sock_, "busy", "copy"), 0) << msqlErrMsg;  // copying only reads
  // The connection that used it moves on; now it can go. The dropping
  // connection's own use of it does not count.
  ASSERT_EQ(msqlSelectDB(other, "sample"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock_, "busy"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlMoveDB(sock_, "busy", "elsewhere"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlDropDB(sock_, "elsewhere"), 0) << msqlErrMsg;
  msqlClose(other);
  // A closed connection no longer holds it either.
  other = msqlConnect(nullptr);
  ASSERT_GE(other, 0);
  ASSERT_EQ(msqlSelectDB(other, "copy"), 0) << msqlErrMsg;
  msqlClose(other);
  bool dropped = false;
  for (int attempt = 0; attempt < 100 && !dropped; attempt++) {
    dropped = msqlDropDB(sock_, "copy") == 0;  // the server notices the close at once, or nearly
    if (!dropped) usleep(20000);
  }
  EXPECT_TRUE(dropped) << msqlErrMsg;
}

TEST_P(EngineTest, ServerReportAndUnknownRequests) {
  testing::internal::CaptureStdout();
  int rc = msqlServerReport(sock_);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0) << msqlErrMsg;
  EXPECT_NE(out.find(std::string(msqlGetServerInfo()) + "\n"), std::string::npos) << out;
  // Where the data is, for the engine served only.
  if (OverPostgres()) {
    EXPECT_NE(out.find("Engine: PostgreSQL, libpq "), std::string::npos) << out;
    size_t at = out.find("PostgreSQL connection: ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NE(out.substr(at, out.find('\n', at) - at).find(" host=/"), std::string::npos) << out;
    EXPECT_EQ(out.find("Data directory"), std::string::npos) << out;
    EXPECT_EQ(out.find("SQLite"), std::string::npos) << out;
    EXPECT_EQ(out.find("PostgreSQL server:"), std::string::npos) << out;  // no database selected yet
    ASSERT_TRUE(SelectSample());
    testing::internal::CaptureStdout();
    EXPECT_EQ(msqlServerReport(sock_), 0) << msqlErrMsg;
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("PostgreSQL server: 1"), std::string::npos) << out;
    EXPECT_NE(out.find(", database sample\n"), std::string::npos) << out;
  } else {
    EXPECT_NE(out.find("Engine: SQLite 3."), std::string::npos) << out;
    EXPECT_NE(out.find("Data directory: " + server_->data_dir + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("PostgreSQL"), std::string::npos) << out;
  }
}

TEST_P(EngineTest, LoopbackTcpConnectionsWorkAsTheUserWhoRunsThem) {
  msqlClose(sock_);
  sock_ = msqlConnect("127.0.0.1");
  ASSERT_GE(sock_, 0) << msqlErrMsg;
  ASSERT_TRUE(SelectSample());
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM products "), SampleRows("products"));
  msqlFreeResult(msqlStoreResult());
  // The kernel names the client's user over loopback as over the socket:
  // the admin user administers.
  EXPECT_EQ(msqlCreateDB(sock_, "x"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlDropDB(sock_, "x"), 0) << msqlErrMsg;
}

TEST_P(EngineTest, ShutdownEndsTheServerCleanly) {
  ASSERT_TRUE(SelectSample());
  int other = msqlConnect(nullptr);  // an idle second client does not hold it up
  ASSERT_GE(other, 0);
  ASSERT_EQ(msqlShutdown(sock_), 0) << msqlErrMsg;
  int status = ServerFixtureKill(server_, 0);  // signal 0: only wait
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(access(server_->socket_path.c_str(), F_OK), 0);
  EXPECT_NE(access(server_->pid_file.c_str(), F_OK), 0);
  msqlClose(other);
  std::string error;
  ASSERT_TRUE(ServerFixtureRestart(server_, &error)) << error;
}

// Servers configured otherwise: another admin, read-only, with a query log.
class ServerConfigTest : public ServerClientTest {};

TEST_F(ServerConfigTest, OnlyTheAdminUserAdministers) {
  ServerFixtureOptions options;
  options.admin_user = "somebody_else";
  ASSERT_NO_FATAL_FAILURE(StartServer(options));
  EXPECT_EQ(msqlCreateDB(sock_, "x"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "Permission denied"), nullptr) << msqlErrMsg;
  EXPECT_EQ(msqlDropDB(sock_, "sample"), -1);
  EXPECT_EQ(msqlCopyDB(sock_, "sample", "x"), -1);
  EXPECT_EQ(msqlMoveDB(sock_, "sample", "x"), -1);
  EXPECT_EQ(msqlReloadAcl(sock_), -1);
  EXPECT_EQ(msqlShutdown(sock_), -1);
  // Still running, and the database is untouched.
  EXPECT_EQ(msqlSelectDB(sock_, "sample"), 0) << msqlErrMsg;
  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Column(r, 0), std::vector<std::string>({"sample"}));
  msqlFreeResult(r);
}

TEST_F(ServerConfigTest, ReadOnlyRefusesEveryChange) {
  ServerFixtureOptions options;
  options.read_only = true;
  ASSERT_NO_FATAL_FAILURE(StartServer(options, "sample"));
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM events "), SampleRows("events"));
  msqlFreeResult(msqlStoreResult());
  const char *changes[] = {
      "INSERT INTO events VALUES ('10:00:00', 'info', 'x')",
      "UPDATE events SET level = 'x'",
      "DELETE FROM events",
      "CREATE TABLE t (a int)",
      "DROP TABLE events",
      "CREATE INDEX i ON events (at)",
      "CREATE SEQUENCE ON events",
      "SELECT _seq FROM people",
  };
  for (const char *q : changes) {
    EXPECT_EQ(msqlQuery(sock_, q), -1) << q;
    EXPECT_NE(strstr(msqlErrMsg, "read-only"), nullptr) << q << ": " << msqlErrMsg;
  }
  EXPECT_EQ(msqlCreateDB(sock_, "x"), -1);
  EXPECT_EQ(msqlQuery(sock_, "SELECT * FROM events "), SampleRows("events"));
  msqlFreeResult(msqlStoreResult());
}

TEST_F(ServerConfigTest, QueryLogRecordsStatements) {
  ServerFixtureOptions options;
  options.query_log = true;
  ASSERT_NO_FATAL_FAILURE(StartServer(options, "sample"));
  ASSERT_EQ(msqlQuery(sock_, "SELECT id FROM people WHERE id = 42"), 1);
  msqlFreeResult(msqlStoreResult());
  msqlClose(sock_);
  sock_ = -1;
  std::string log = ReadFileText(server_->query_log_file);
  EXPECT_NE(log.find("@sample: SELECT id FROM people WHERE id = 42"), std::string::npos) << log;
}

}  // namespace
