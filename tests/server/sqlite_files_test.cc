// korvid-server on SQLite files written by other programs (Python's sqlite3
// module, the sqlite3 shell): their file names, declared types, keys, names
// with blanks, views; and mSQL's date and time in order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "msql/msql.h"
#include "server/sqlite/load.h"
#include "tests/support/other_programs.h"
#include "tests/support/rows.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

struct Field {
  std::string name;
  int type, length;
  unsigned flags;
};

class SqliteFilesTest : public ServerClientTest {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartServer(ServerFixtureOptions(), nullptr, false));
    std::string error;
    ASSERT_TRUE(WriteWorldWithPython(server_->data_dir + "/world.db", &error)) << error;
  }

  std::string File(const std::string &name) { return server_->data_dir + "/" + name; }

  // Writes an SQLite file with the given statements through SQLite itself.
  void WriteSqlite(const std::string &file, const char *sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(File(file).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  std::vector<std::string> Names(ResultHandle *r) {
    std::vector<std::string> out;
    while (char **row = msqlFetchRow(r)) out.push_back(row[0] ? row[0] : "NULL");
    msqlFreeResult(r);
    return out;
  }

  std::vector<Field> Fields(const char *table) {
    std::vector<Field> out;
    ResultHandle *r = msqlListFields(sock_, table);
    EXPECT_NE(r, nullptr) << table << ": " << msqlErrMsg;
    if (!r) return out;
    while (FieldListEntry *f = msqlFetchField(r)) out.push_back({f->name, f->type, f->length, f->flags});
    msqlFreeResult(r);
    return out;
  }

  std::vector<std::vector<std::string>> Rows(const std::string &statement) { return ServerTable(sock_, statement); }

  std::vector<std::string> Column(const std::string &statement) {
    std::vector<std::string> out;
    for (const auto &row : Rows(statement)) out.push_back(row.empty() ? "" : row[0]);
    return out;
  }

  bool Exists(const std::string &file) {
    struct stat st;
    return stat(File(file).c_str(), &st) == 0;
  }
};

TEST_F(SqliteFilesTest, DatabasesAreNamedByTheirFilesWithoutTheUsualSuffixes) {
  const char *table = "CREATE TABLE t (a int);";
  WriteSqlite("atlas.sqlite", table);
  WriteSqlite("maps.sqlite3", table);
  WriteSqlite("roads.db3", table);
  WriteSqlite("plain", table);
  // One name, two files: the file without a suffix serves it, then .db.
  WriteSqlite("dup", "CREATE TABLE from_plain (a int);");
  WriteSqlite("dup.db", "CREATE TABLE from_db (a int);");
  WriteSqlite("twice.db", "CREATE TABLE from_db (a int);");
  WriteSqlite("twice.sqlite", "CREATE TABLE from_sqlite (a int);");
  WriteSqlite("bad-name.db", table);  // not a valid database name
  FILE *stray = fopen(File("notes.db").c_str(), "w");
  ASSERT_NE(stray, nullptr);
  fputs("not a database\n", stray);
  fclose(stray);

  EXPECT_EQ(Names(msqlListDBs(sock_)),
            std::vector<std::string>({"atlas", "dup", "maps", "plain", "roads", "twice", "world"}));
  ASSERT_EQ(msqlSelectDB(sock_, "dup"), 0) << msqlErrMsg;
  EXPECT_EQ(Names(msqlListTables(sock_)), std::vector<std::string>({"from_plain"}));
  ASSERT_EQ(msqlSelectDB(sock_, "twice"), 0) << msqlErrMsg;
  EXPECT_EQ(Names(msqlListTables(sock_)), std::vector<std::string>({"from_db"}));
  EXPECT_EQ(msqlSelectDB(sock_, "notes"), -1);
  ASSERT_EQ(msqlSelectDB(sock_, "world"), 0) << msqlErrMsg;
  EXPECT_EQ(Names(msqlListTables(sock_)),
            std::vector<std::string>({"Order Details", "big_orders", "countries"}));

  // Copies and moves keep the file's suffix; drops remove the file itself.
  ASSERT_EQ(msqlSelectDB(sock_, "plain"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlCopyDB(sock_, "world", "earth"), 0) << msqlErrMsg;
  EXPECT_TRUE(Exists("earth.db"));
  EXPECT_TRUE(Exists("world.db"));
  ASSERT_EQ(msqlMoveDB(sock_, "earth", "globe"), 0) << msqlErrMsg;
  EXPECT_FALSE(Exists("earth.db"));
  EXPECT_TRUE(Exists("globe.db"));
  ASSERT_EQ(msqlSelectDB(sock_, "globe"), 0) << msqlErrMsg;
  EXPECT_EQ(Column("SELECT name FROM countries WHERE id = 3"), std::vector<std::string>({"Germany"}));
  ASSERT_EQ(msqlSelectDB(sock_, "plain"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlDropDB(sock_, "globe"), 0) << msqlErrMsg;
  EXPECT_FALSE(Exists("globe.db"));
  ASSERT_EQ(msqlDropDB(sock_, "dup"), 0) << msqlErrMsg;  // the plain file goes ...
  EXPECT_FALSE(Exists("dup"));
  EXPECT_TRUE(Exists("dup.db"));                        // ... and .db serves the name now
  ASSERT_EQ(msqlSelectDB(sock_, "dup"), 0) << msqlErrMsg;
  EXPECT_EQ(Names(msqlListTables(sock_)), std::vector<std::string>({"from_db"}));
  // New databases are files named as the database; none overwrites a file
  // that is in the way.
  ASSERT_EQ(msqlCreateDB(sock_, "fresh"), 0) << msqlErrMsg;
  EXPECT_TRUE(Exists("fresh"));
  EXPECT_EQ(msqlCreateDB(sock_, "world"), -1);
  EXPECT_STREQ(msqlErrMsg, "Database \"world\" already exists");
  EXPECT_EQ(msqlCopyDB(sock_, "world", "notes"), -1);
  stray = fopen(File("notes.db").c_str(), "r");
  ASSERT_NE(stray, nullptr);
  char line[64] = "";
  EXPECT_NE(fgets(line, sizeof line, stray), nullptr);
  fclose(stray);
  EXPECT_STREQ(line, "not a database\n");
}

TEST_F(SqliteFilesTest, DeclaredTypesMapByAffinityWithLengthsTheValuesNeed) {
  ASSERT_EQ(msqlSelectDB(sock_, "world"), 0) << msqlErrMsg;
  std::vector<Field> f = Fields("countries");
  ASSERT_GE(f.size(), 7u);
  // id, the two codes, name (14 bytes: "Côte d'Ivoire"), official_name (the
  // longest is "République de Côte d'Ivoire", 29 bytes), flag (3 bytes),
  // added (19).
  std::vector<std::pair<int, int>> want = {{INT_TYPE, 4},  {TEXT_TYPE, 2},  {TEXT_TYPE, 3}, {TEXT_TYPE, 14},
                                           {TEXT_TYPE, 29}, {TEXT_TYPE, 3}, {TEXT_TYPE, 19}};
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(f[i].type, want[i].first) << f[i].name;
    EXPECT_EQ(f[i].length, want[i].second) << f[i].name;
  }
  EXPECT_EQ(f[3].flags & FLAG_NOT_NULL, (unsigned)FLAG_NOT_NULL);

  f = Fields("Order Details");
  ASSERT_GE(f.size(), 6u);
  int types[] = {INT_TYPE, TEXT_TYPE, REAL_TYPE, INT_TYPE, REAL_TYPE, INT_TYPE};
  for (int i = 0; i < 6; i++) EXPECT_EQ(f[i].type, types[i]) << f[i].name;
  EXPECT_EQ(f[1].length, 14);  // "Queso Cabrales"

  // Declared lengths stay; an empty table gets the default; one long value
  // is capped.
  WriteSqlite("shapes.db",
              "CREATE TABLE empty (note TEXT, code VARCHAR(9), num BIGINT, x DOUBLE PRECISION,"
              " d DECIMAL(10,2), b BLOB, none, t text(50), c NVARCHAR(12));"
              "CREATE TABLE long (note CLOB);"
              "INSERT INTO long VALUES (printf('%.300c', 'x')), (NULL);");
  ASSERT_EQ(msqlSelectDB(sock_, "shapes"), 0) << msqlErrMsg;
  f = Fields("empty");
  ASSERT_EQ(f.size(), 9u);
  std::vector<std::pair<int, int>> empty = {{TEXT_TYPE, 32}, {CHAR_TYPE, 9}, {INT_TYPE, 4},
                                            {REAL_TYPE, 8},  {REAL_TYPE, 8}, {TEXT_TYPE, 32},
                                            {TEXT_TYPE, 32}, {TEXT_TYPE, 50}, {CHAR_TYPE, 12}};
  for (size_t i = 0; i < empty.size(); i++) {
    EXPECT_EQ(f[i].type, empty[i].first) << f[i].name;
    EXPECT_EQ(f[i].length, empty[i].second) << f[i].name;
  }
  f = Fields("long");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].length, 255);
}

TEST_F(SqliteFilesTest, KeysAndUniqueConstraintsAreNamedIndexEntries) {
  ASSERT_EQ(msqlSelectDB(sock_, "world"), 0) << msqlErrMsg;
  std::vector<Field> f = Fields("countries");
  ASSERT_EQ(f.size(), 10u);
  const char *names[] = {"primary_key", "unique_alpha_2", "unique_alpha_3"};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(f[7 + i].name, names[i]);
    EXPECT_EQ(f[7 + i].type, IDX_TYPE);
    EXPECT_EQ(f[7 + i].flags & FLAG_UNIQUE_KEY, (unsigned)FLAG_UNIQUE_KEY) << names[i];
  }
  EXPECT_EQ(Names(msqlListIndex(sock_, "countries", "primary_key")), std::vector<std::string>({"btree", "id"}));
  EXPECT_EQ(Names(msqlListIndex(sock_, "countries", "unique_alpha_3")),
            std::vector<std::string>({"btree", "alpha_3"}));
  EXPECT_EQ(msqlListIndex(sock_, "countries", "sqlite_autoindex_countries_1"), nullptr);

  f = Fields("Order Details");
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[6].name, "primary_key");
  EXPECT_EQ(f[6].length, 2);
  EXPECT_EQ(Names(msqlListIndex(sock_, "Order Details", "primary_key")),
            std::vector<std::string>({"btree", "Order ID", "Product"}));

  // A created index keeps its name, also beside a constraint's; a name
  // that a constraint's would repeat is told apart by a number.
  ASSERT_EQ(msqlQuery(sock_, "CREATE INDEX by_name ON countries (name)"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "CREATE UNIQUE INDEX unique_alpha_2 ON countries (alpha_2, id)"), 0)
      << msqlErrMsg;
  f = Fields("countries");
  ASSERT_EQ(f.size(), 12u);
  EXPECT_EQ(f[10].name, "by_name");
  EXPECT_EQ(f[10].flags & FLAG_UNIQUE_KEY, 0u);
  EXPECT_EQ(f[11].name, "unique_alpha_2_2");
  EXPECT_EQ(Names(msqlListIndex(sock_, "countries", "unique_alpha_2_2")),
            std::vector<std::string>({"btree", "alpha_2", "id"}));
}

TEST_F(SqliteFilesTest, QuotedNamesViewsAndImportedTables) {
  ASSERT_EQ(msqlSelectDB(sock_, "world"), 0) << msqlErrMsg;
  EXPECT_EQ(Rows("SELECT * FROM \"Order Details\" ORDER BY \"Product\" "),
            (std::vector<std::vector<std::string>>{{"10248", "Queso Cabrales", "14", "12", "0.0", "1"},
                                                   {"10248", "Tofu", "23.25", "5", "0.15", "0"}}));
  EXPECT_EQ(msqlQuery(sock_, "UPDATE \"Order Details\" SET \"Quantity\"=15 WHERE \"Product\" = 'Tofu'"), 1)
      << msqlErrMsg;
  // The view sees the change, is listed and described, and refuses changes.
  EXPECT_EQ(Column("SELECT \"Product\" FROM big_orders ORDER BY \"Product\""),
            std::vector<std::string>({"Queso Cabrales", "Tofu"}));
  std::vector<Field> f = Fields("big_orders");
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[1].type, TEXT_TYPE);
  EXPECT_EQ(f[1].length, 14);
  EXPECT_EQ(msqlQuery(sock_, "UPDATE big_orders SET \"Quantity\"=1"), -1);
  EXPECT_STREQ(msqlErrMsg, "cannot modify big_orders because it is a view");
  EXPECT_EQ(msqlQuery(sock_, "DELETE FROM big_orders"), -1);
  EXPECT_STREQ(msqlErrMsg, "cannot modify big_orders because it is a view");

  // A table the sqlite3 shell imported from CSV: every column TEXT.
  std::string error;
  ASSERT_TRUE(ImportWithShell(File("world.db"), "capitals",
                              "country,capital\nRU,\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0\nCI,Yamoussoukro\n",
                              &error))
      << error;
  f = Fields("capitals");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].type, TEXT_TYPE);
  EXPECT_EQ(f[1].length, 12);  // "Yamoussoukro"; "Москва" is 12 bytes as well
  EXPECT_EQ(Column("SELECT capital FROM capitals WHERE country = 'RU'"),
            std::vector<std::string>({"\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0"}));
}

// An msqldump file: hired dates in mSQL's text form, out of order both as
// texts and as dates.
const char kStaff[] =
    "#\n# mSQL Dump  (requires mSQL-2.0 Beta 5 or newer)\n#\n# Host: localhost    Database: staff\n"
    "#--------------------------------------------------------\n\n\n"
    "#\n# Table structure for table 'staff'\n#\n"
    "CREATE TABLE staff (\n  name CHAR(10),\n  hired DATE,\n  starts TIME\n) \\g\n\n"
    "#\n# Dumping data for table 'staff'\n#\n\n"
    "INSERT INTO staff VALUES ('ann','02-Mar-1999','9:30:00')\\g\n"
    "INSERT INTO staff VALUES ('bob','15-Jan-2001','14:00:00')\\g\n"
    "INSERT INTO staff VALUES ('cy','28-Feb-1998','08:05:00')\\g\n";

// mSQL's answers: by date and time, not by text.
void ExpectDateAnswers(SqliteFilesTest *t) {
  EXPECT_EQ(t->Column("SELECT name, hired FROM staff ORDER BY hired"),
            std::vector<std::string>({"cy", "ann", "bob"}));
  EXPECT_EQ(t->Column("SELECT name FROM staff WHERE hired < '01-Jan-2000' ORDER BY name"),
            std::vector<std::string>({"ann", "cy"}));
  EXPECT_EQ(t->Column("SELECT name FROM staff WHERE hired = '2-mar-1999'"), std::vector<std::string>({"ann"}));
  EXPECT_EQ(t->Column("SELECT name FROM staff ORDER BY starts DESC"),
            std::vector<std::string>({"bob", "ann", "cy"}));
  EXPECT_EQ(t->Column("SELECT name FROM staff WHERE starts > '10:00:00'"), std::vector<std::string>({"bob"}));
  EXPECT_EQ(t->Column("SELECT hired FROM staff WHERE name = 'ann'"), std::vector<std::string>({"02-Mar-1999"}));
}

TEST_F(SqliteFilesTest, DatesAndTimesCompareAsSuchAfterLoadAndCreate) {
  // Through --load, from an msqldump-style file ...
  std::string script = server_->dir + "/staff.sql";
  FILE *f = fopen(script.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(kStaff, f);
  fclose(f);
  std::string error;
  ASSERT_TRUE(ServerFixtureLoad(server_, "staff", script, &error)) << error;
  ASSERT_EQ(msqlSelectDB(sock_, "staff"), 0) << msqlErrMsg;
  ExpectDateAnswers(this);
  // ... with an index, which orders by date as well ...
  ASSERT_EQ(msqlQuery(sock_, "CREATE INDEX by_hired ON staff (hired)"), 0) << msqlErrMsg;
  ExpectDateAnswers(this);
  // ... and through statements sent to the server.
  ASSERT_EQ(msqlCreateDB(sock_, "sent"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock_, "sent"), 0) << msqlErrMsg;
  for (const std::string &statement : SplitScript(kStaff)) {
    ASSERT_GE(msqlQuery(sock_, statement.c_str()), 0) << statement << ": " << msqlErrMsg;
  }
  ExpectDateAnswers(this);
}

}  // namespace
