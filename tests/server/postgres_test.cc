// korvid-server over a private PostgreSQL, through the project's client
// library: what only this engine has to get right (types and dates both
// ways, keys, parameters, sequences, PostgreSQL going away, a refused
// login, read_only, administration), each checked in PostgreSQL itself
// with psql. The requests both engines answer alike are in server_test.cc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "tests/support/pg_fixture.h"
#include "tests/support/rows.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

class PostgresTest : public ServerClientTest {
 protected:
  // Starts the server over an empty database "work"; `options` as given.
  void Start(ServerFixtureOptions options) {
    options.postgresql = true;
    ASSERT_NO_FATAL_FAILURE(StartServer(options, nullptr, false));
    std::string out;
    ASSERT_TRUE(PgFixtureSql(server_->pg, "template1", "CREATE DATABASE work", &out)) << out;
  }

  // Runs a statement through the server; its row count or -1.
  int Query(const std::string &statement) {
    int n = msqlQuery(sock_, statement.c_str());
    if (n >= 0) msqlFreeResult(msqlStoreResult());
    return n;
  }

  // The rows of a SELECT through the server, "NULL" for SQL NULL, fields
  // joined by '|'.
  std::vector<std::string> Rows(const std::string &statement) { return ServerRows(sock_, statement); }

  // The rows of a stored result, as Rows gives them.
  static std::vector<std::string> RowsOf(ResultHandle *r) {
    std::vector<std::string> rows;
    while (char **row = msqlFetchRow(r)) {
      std::string line;
      for (int i = 0; i < msqlNumFields(r); i++) line += (i ? "|" : "") + std::string(row[i] ? row[i] : "NULL");
      rows.push_back(line);
    }
    return rows;
  }

  // What psql finds in database work.
  std::string Psql(const std::string &sql) {
    std::string out;
    EXPECT_TRUE(PgFixtureSql(server_->pg, "work", sql, &out)) << sql << ": " << out;
    return out;
  }

  void ReadOnlyInPostgresItself(ServerFixtureOptions options, const std::string &refusal);
};

struct Field {
  std::string name;
  int type, length;
  unsigned flags;
};

std::vector<Field> Fields(ResultHandle *r) {
  std::vector<Field> out;
  msqlFieldSeek(r, 0);
  while (FieldListEntry *f = msqlFetchField(r)) out.push_back({f->name, f->type, f->length, f->flags});
  return out;
}

TEST_F(PostgresTest, TypesDatesAndKeysAsMsqlHasThem) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE TABLE t (id int not null, code char(8), r real, m money, d date, at time, "
                  "notes text(100), u uint)"),
            0)
      << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO t VALUES (1, 'ab', 2.5, 3.5, '02-Mar-1999', '10:20:30', 'a note', 7)"), 1)
      << msqlErrMsg;
  // Stored as PostgreSQL's own types, read back in mSQL's forms.
  EXPECT_EQ(Psql("SELECT d, m, at, pg_typeof(code), pg_typeof(r) FROM t"),
            "1999-03-02|3.50|10:20:30|character varying|double precision");
  EXPECT_EQ(Rows("SELECT d, m, at, code FROM t WHERE d = '02-Mar-1999'"),
            std::vector<std::string>({"02-Mar-1999|3.50|10:20:30|ab"}));
  EXPECT_EQ(Query("INSERT INTO t VALUES (2, 'cd', 1, 1, '01-Jan-2000', '00:00:00', 'x', -1)"), -1);
  EXPECT_EQ(Query("INSERT INTO t VALUES (2, 'far too long', 1, 1, '01-Jan-2000', '00:00:00', 'x', 1)"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "too long"), nullptr) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT count(*) FROM t"), "1");
  // An empty date or time, as Korvid writes an empty field, is NULL; an
  // empty text stays empty.
  ASSERT_EQ(Query("INSERT INTO t VALUES (3, '', 1, 1, '', '', '', 1)"), 1) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT d IS NULL, at IS NULL, code = '' FROM t WHERE id = 3"), "t|t|t");
  ASSERT_EQ(Query("UPDATE t SET d = '' WHERE id = 1"), 1) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT count(*) FROM t WHERE d IS NULL"), "2");
  ASSERT_EQ(Query("DELETE FROM t WHERE id = 3"), 1) << msqlErrMsg;

  // Keys made in PostgreSQL itself are named as the SQLite engine names them.
  Psql("CREATE TABLE k (id integer PRIMARY KEY, code varchar(10) UNIQUE, name text NOT NULL, "
       "n numeric(10,3), big bigint, flag boolean); CREATE UNIQUE INDEX \"k.by_name\" ON k (name, code); "
       "INSERT INTO k VALUES (1, 'x', 'a longer name', 1.5, 2, true)");
  ResultHandle *r = msqlListFields(sock_, "k");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<Field> want = {{"id", INT_TYPE, 4, FLAG_NOT_NULL},
                             {"code", CHAR_TYPE, 10, 0},
                             {"name", TEXT_TYPE, 13, FLAG_NOT_NULL},
                             {"n", REAL_TYPE, 8, 0},
                             {"big", INT_TYPE, 4, 0},
                             {"flag", TEXT_TYPE, 1, 0},
                             {"primary_key", IDX_TYPE, 1, FLAG_UNIQUE_KEY},
                             {"unique_code", IDX_TYPE, 1, FLAG_UNIQUE_KEY},
                             {"by_name", IDX_TYPE, 2, FLAG_UNIQUE_KEY}};
  std::vector<Field> got = Fields(r);
  msqlFreeResult(r);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].name, want[i].name);
    EXPECT_EQ(got[i].type, want[i].type) << want[i].name;
    EXPECT_EQ(got[i].length, want[i].length) << want[i].name;
    EXPECT_EQ(got[i].flags, want[i].flags) << want[i].name;
  }
  r = msqlListIndex(sock_, "k", "by_name");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<std::string> index;
  while (char **row = msqlFetchRow(r)) index.push_back(row[0]);
  msqlFreeResult(r);
  EXPECT_EQ(index, std::vector<std::string>({"btree", "name", "code"}));
  // Money is numeric with two decimals; listed as money again.
  r = msqlListFields(sock_, "t");
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  got = Fields(r);
  msqlFreeResult(r);
  ASSERT_GE(got.size(), 8u);
  int types[] = {INT_TYPE, CHAR_TYPE, REAL_TYPE, MONEY_TYPE, DATE_TYPE, TIME_TYPE, TEXT_TYPE, INT_TYPE};
  for (size_t i = 0; i < 8; i++) EXPECT_EQ(got[i].type, types[i]) << got[i].name;

  ResultHandle *tables = msqlListTables(sock_);
  ASSERT_NE(tables, nullptr) << msqlErrMsg;
  std::vector<std::string> names;
  while (char **row = msqlFetchRow(tables)) names.push_back(row[0]);
  msqlFreeResult(tables);
  EXPECT_EQ(names, std::vector<std::string>({"k", "t"}));
}

TEST_F(PostgresTest, LiteralsAreSentAsParametersAndPatternsAreMsqls) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE TABLE p (id int, name char(60))"), 0) << msqlErrMsg;
  // Quotes and backslashes decoded the mSQL way, then stored as they are.
  ASSERT_EQ(Query("INSERT INTO p VALUES (1, 'O\\'Neill \\\\ x''); DROP TABLE p; --')"), 1) << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO p VALUES (2, 'Smith')"), 1) << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO p VALUES (-3, 'smithers')"), 1) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT name FROM p WHERE id = 1"), "O'Neill \\ x'); DROP TABLE p; --");
  EXPECT_EQ(Rows("SELECT id FROM p WHERE name = 'O\\'Neill \\\\ x\\'); DROP TABLE p; --'"),
            std::vector<std::string>({"1"}));
  EXPECT_EQ(Rows("SELECT id FROM p WHERE name LIKE 'S%' ORDER BY id"), std::vector<std::string>({"2"}));
  EXPECT_EQ(Rows("SELECT id FROM p WHERE name CLIKE 's%' ORDER BY id"), std::vector<std::string>({"-3", "2"}));
  EXPECT_EQ(Rows("SELECT id FROM p WHERE name RLIKE '^[Ss]mith$'"), std::vector<std::string>({"2"}));
  EXPECT_EQ(Rows("SELECT id FROM p WHERE id = -3"), std::vector<std::string>({"-3"}));
  EXPECT_EQ(Rows("SELECT e.id FROM p=e WHERE e.name = NULL"), std::vector<std::string>());
  // Refused, each with its reason, and the connection stays usable.
  EXPECT_EQ(Query("SELECT 1; DELETE FROM p"), -1);
  EXPECT_STREQ(msqlErrMsg, "Only one statement per query is supported");
  EXPECT_EQ(Query("SELECT _rowid FROM p"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "Unsupported with PostgreSQL: _rowid"), nullptr) << msqlErrMsg;
  EXPECT_EQ(Query("SELECT * FROM nosuch"), -1);
  EXPECT_STREQ(msqlErrMsg, "relation \"nosuch\" does not exist");
  EXPECT_EQ(Psql("SELECT count(*) FROM p"), "3");
}

TEST_F(PostgresTest, SequencesArePostgresSequences) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE TABLE s (id int, name char(10))"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE SEQUENCE ON s STEP 2 VALUE 10"), 1) << msqlErrMsg;
  EXPECT_EQ(Query("CREATE SEQUENCE ON nosuch"), -1);
  EXPECT_EQ(Rows("SELECT _seq FROM s"), std::vector<std::string>({"10"}));
  ASSERT_EQ(Query("INSERT INTO s VALUES (1, 'a')"), 1) << msqlErrMsg;
  EXPECT_EQ(Rows("SELECT _seq, name FROM s"), std::vector<std::string>({"12|a"}));
  SequenceInfo *info = msqlGetSequenceInfo(sock_, "s");
  ASSERT_NE(info, nullptr) << msqlErrMsg;
  EXPECT_EQ(info->first, 2);
  EXPECT_EQ(info->second, 14);
  EXPECT_EQ(Psql("SELECT s.last_value, p.increment_by FROM \"_korvid_seq_s\" s, pg_sequences p "
                 "WHERE p.sequencename = '_korvid_seq_s'"),
            "12|2");
  // A dropped table takes its sequence with it.
  ASSERT_EQ(Query("DROP TABLE s"), 0) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT count(*) FROM pg_sequences"), "0");
  EXPECT_EQ(msqlGetSequenceInfo(sock_, "s"), nullptr);
}

TEST_F(PostgresTest, PostgresGoingAwayIsSaidAndTheNextRequestReconnects) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE TABLE g (id int)"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO g VALUES (1)"), 1) << msqlErrMsg;
  ASSERT_TRUE(PgFixtureHalt(server_->pg));
  EXPECT_EQ(Query("SELECT id FROM g"), -1);
  EXPECT_NE(strstr(msqlErrMsg, "server closed the connection"), nullptr) << msqlErrMsg;
  for (int i = 0; i < 2; i++) {  // still away: said again, never hung
    EXPECT_EQ(Query("SELECT id FROM g"), -1);
    EXPECT_GT(strlen(msqlErrMsg), 0u);
  }
  EXPECT_NE(strstr(msqlErrMsg, "PostgreSQL cannot be reached"), nullptr) << msqlErrMsg;
  std::string error;
  ASSERT_TRUE(PgFixtureResume(server_->pg, &error)) << error;
  EXPECT_EQ(Rows("SELECT id FROM g"), std::vector<std::string>({"1"}));

  // Likewise for a statement that comes through COPY (it has no
  // parameters), one that comes through a cursor (it gave many rows
  // before) and one that is prepared.
  Psql("INSERT INTO g SELECT i FROM generate_series(2, 3000) AS i");
  const char *statements[] = {"SELECT id FROM g", "SELECT id FROM g WHERE id > 0", "SELECT id FROM g WHERE id = 7"};
  const int counts[] = {3000, 3000, 1};
  for (int i = 0; i < 2; i++) {
    for (int k = 0; k < 3; k++) EXPECT_EQ(Query(statements[k]), counts[k]) << statements[k] << ": " << msqlErrMsg;
  }
  ASSERT_TRUE(PgFixtureHalt(server_->pg));
  for (int i = 0; i < 2; i++) {
    for (int k = 0; k < 3; k++) {
      EXPECT_EQ(Query(statements[k]), -1) << statements[k];
      EXPECT_GT(strlen(msqlErrMsg), 0u);
    }
  }
  EXPECT_NE(strstr(msqlErrMsg, "PostgreSQL cannot be reached"), nullptr) << msqlErrMsg;
  ASSERT_TRUE(PgFixtureResume(server_->pg, &error)) << error;
  for (int i = 0; i < 3; i++) {
    for (int k = 0; k < 3; k++) EXPECT_EQ(Query(statements[k]), counts[k]) << statements[k] << ": " << msqlErrMsg;
  }
}

TEST_F(PostgresTest, ARefusedLoginIsSaidPlainly) {
  ServerFixtureOptions options;
  options.pg_conninfo_extra = "user=nosuchrole";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  // Worded as the manual words it, naming the database: the connection
  // string's own one before any is selected.
  EXPECT_EQ(msqlListDBs(sock_), nullptr);
  EXPECT_EQ(strstr(msqlErrMsg, "Cannot connect to PostgreSQL database template1: "), msqlErrMsg) << msqlErrMsg;
  EXPECT_NE(strstr(msqlErrMsg, "\"nosuchrole\""), nullptr) << msqlErrMsg;
  EXPECT_EQ(msqlSelectDB(sock_, "work"), -1);
  EXPECT_EQ(strstr(msqlErrMsg, "Cannot connect to PostgreSQL database "), msqlErrMsg) << msqlErrMsg;
}

TEST_F(PostgresTest, FloatsGoOutExactWhateverExtraFloatDigitsSays) {
  // A server (or a role, or the connection string) set to fewer digits
  // would have untouched values rewritten with their last digits lost.
  ServerFixtureOptions options;
  options.pg_conninfo_extra = "options='-c extra_float_digits=0'";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  Psql("CREATE TABLE f (id int, d double precision, s real); INSERT INTO f VALUES (1, 2461383.160081019, 1.0 / 3)");
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  // The first run comes through COPY, the next ones as rows.
  for (int run = 0; run < 3; run++) {
    EXPECT_EQ(Rows("SELECT d, s FROM f"), std::vector<std::string>({"2461383.160081019|0.33333334"})) << run;
  }
  ASSERT_EQ(Query("UPDATE f SET d=2461383.160081019,s=0.33333334 WHERE id = 1"), 1) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT d = 2461383.160081019::float8, s = (1.0 / 3)::real FROM f"), "t|t");
}

// The functions that change large objects even in a read-only transaction,
// as REVOKE names them.
const char kLargeObjectFunctions[] =
    "lo_create, lo_creat, lo_from_bytea, lo_put, lowrite, lo_truncate, lo_truncate64, lo_unlink";

// Serves database work to a read-only client through the plain role
// "reader", which PostgreSQL would let change table r, sequence s1 and
// large objects, and tries every way around the read-only transaction.
// `refusal` is what the server says to a plain change.
void PostgresTest::ReadOnlyInPostgresItself(ServerFixtureOptions options, const std::string &refusal) {
  options.pg_conninfo_extra = "user=reader";
  options.pg_allow_file_access = false;
  ASSERT_NO_FATAL_FAILURE(Start(options));
  Psql("CREATE ROLE reader LOGIN; CREATE TABLE r (id int); INSERT INTO r VALUES (1); CREATE SEQUENCE s1; "
       "GRANT SELECT, INSERT, UPDATE, DELETE ON r TO reader; GRANT ALL ON SEQUENCE s1 TO reader; "
       "CREATE FUNCTION bump() RETURNS int LANGUAGE sql AS 'UPDATE r SET id = id + 1 RETURNING id'");
  // Large objects are changed even inside a read-only transaction: not
  // served until a superuser takes them from PUBLIC.
  EXPECT_EQ(msqlSelectDB(sock_, "work"), -1);
  const std::string revoke = std::string("REVOKE EXECUTE ON FUNCTION ") + kLargeObjectFunctions + " FROM PUBLIC";
  EXPECT_EQ(std::string(msqlErrMsg),
            (revoke + " is needed, as a superuser in database \"work\": role \"reader\" can change large objects, "
                      "which read-only service cannot allow").substr(0, 199));
  Psql(revoke);
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  EXPECT_EQ(Rows("SELECT id FROM r"), std::vector<std::string>({"1"}));
  const char *changes[] = {"INSERT INTO r VALUES (2)", "UPDATE r SET id = 3", "DELETE FROM r",
                           "CREATE TABLE x (id int)", "DROP TABLE r", "CREATE SEQUENCE ON r"};
  for (const char *statement : changes) {
    EXPECT_EQ(Query(statement), -1) << statement;
    EXPECT_EQ(msqlErrMsg, refusal) << statement;
  }
  // What refusing statements by their text would miss, PostgreSQL stops.
  Query("SELECT set_config('default_transaction_read_only', 'off', false)");
  const char *around[] = {"SELECT set_config('transaction_read_only', 'off', true)", "SELECT setval('s1', 1000)",
                          "SELECT bump()", "SELECT lo_from_bytea(0, 'x')", "SELECT lo_create(0)"};
  for (const char *statement : around) EXPECT_EQ(Query(statement), -1) << statement;
  EXPECT_EQ(msqlCreateDB(sock_, "other"), -1);
  EXPECT_EQ(Psql("SELECT count(*) FROM r WHERE id = 1"), "1");
  EXPECT_EQ(Psql("SELECT is_called FROM s1"), "f");
  EXPECT_EQ(Psql("SELECT count(*) FROM pg_largeobject_metadata"), "0");
  EXPECT_EQ(Psql("SELECT count(*) FROM pg_database WHERE datname = 'other'"), "0");
}

TEST_F(PostgresTest, ReadOnlyHolds) {
  ServerFixtureOptions options;
  options.read_only = true;
  ReadOnlyInPostgresItself(options, "Server is read-only: changes are refused");
}

TEST_F(PostgresTest, ReadOnlyHoldsForAClientWithoutWriteAccess) {
  ServerFixtureOptions options;
  options.access_file = "database=work\nread=*\n";
  ReadOnlyInPostgresItself(options, "Write access to database denied");
}

// A role that may read or write the PostgreSQL server's files is refused:
// at start when PostgreSQL answers then, else at each connection.
TEST_F(PostgresTest, RolesThatReachTheServersFilesAreRefused) {
  ServerFixtureOptions options;
  options.postgresql = true;
  options.pg_allow_file_access = false;
  std::string error;
  // The fixture's own role is a superuser.
  ServerFixture *refused = ServerFixtureStart(options, &error);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(error, "korvid-server exited at start (status 1)");
  ServerFixtureStop(refused);

  options.pg_conninfo_extra = "user=filer";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  Psql("CREATE ROLE filer LOGIN; GRANT pg_read_server_files TO filer");
  EXPECT_EQ(msqlSelectDB(sock_, "work"), -1);
  EXPECT_EQ(std::string(msqlErrMsg).substr(0, 61),
            "PostgreSQL role \"filer\" is a member of pg_read_server_files: ");
  EXPECT_EQ(msqlListDBs(sock_), nullptr);
  Psql("REVOKE pg_read_server_files FROM filer; GRANT pg_execute_server_program TO filer");
  EXPECT_EQ(msqlSelectDB(sock_, "work"), -1);
  EXPECT_EQ(std::string(msqlErrMsg).substr(0, 65),
            "PostgreSQL role \"filer\" is a member of pg_execute_server_program:");
  Psql("REVOKE pg_execute_server_program FROM filer");
  EXPECT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  // What the superuser could do, the plain role may not.
  EXPECT_EQ(Query("SELECT pg_read_file('/etc/passwd')"), -1);
}

TEST_F(PostgresTest, AdministrationIsPostgresDatabases) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlCreateDB(sock_, "made"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock_, "made"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("CREATE TABLE a (id int)"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO a VALUES (5)"), 1) << msqlErrMsg;
  // Copying needs the database free of connections, its own client's too.
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlCopyDB(sock_, "made", "copied"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlMoveDB(sock_, "made", "moved"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlCreateDB(sock_, "work"), -1);
  EXPECT_STREQ(msqlErrMsg, "database \"work\" already exists");
  std::string out;
  ASSERT_TRUE(PgFixtureSql(server_->pg, "copied", "SELECT id FROM a", &out)) << out;
  EXPECT_EQ(out, "5");
  EXPECT_EQ(Psql("SELECT string_agg(datname, ',' ORDER BY datname) FROM pg_database WHERE NOT datistemplate"),
            "copied,moved,work");
  ASSERT_EQ(msqlDropDB(sock_, "copied"), 0) << msqlErrMsg;
  ResultHandle *r = msqlListDBs(sock_);
  ASSERT_NE(r, nullptr) << msqlErrMsg;
  std::vector<std::string> names;
  while (char **row = msqlFetchRow(r)) names.push_back(row[0]);
  msqlFreeResult(r);
  EXPECT_EQ(names, std::vector<std::string>({"moved", "work"}));
}

// A statement run again is run prepared, and one that gave many rows runs
// through a cursor next time: neither changes a value, a NULL, a date, a
// field description or a failure, whichever way the rows come.
TEST_F(PostgresTest, RepeatedStatementsAndLargeResultsAnswerAlike) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(msqlSelectDB(sock_, "work"), 0) << msqlErrMsg;
  // More rows than a cursor's batch, with NULLs, dates, money and texts of
  // several lengths.
  Psql("CREATE TABLE big (id integer NOT NULL, name varchar(20), d date, m numeric(8,2), note text); "
       "INSERT INTO big SELECT i, CASE WHEN i % 7 = 0 THEN NULL ELSE 'n' || i END, "
       "date '1999-03-02' + i, i / 4.0, repeat('x', i % 50) FROM generate_series(1, 10000) AS i");
  // Some texts that COPY's text form escapes.
  Psql("UPDATE big SET note = E'tab\\there\\nnew\\\\back\\\\N\\001' WHERE id = 5; "
       "UPDATE big SET name = '\\N' WHERE id = 6");
  // Without parameters the rows come through COPY; with them in single
  // rows, then (many rows last time) through a cursor.
  const char *statements[] = {"SELECT * FROM big ORDER BY id", "SELECT * FROM big WHERE id > 0 ORDER BY id"};
  int which = 0;
  auto run = [&](std::vector<Field> *fields) {
    EXPECT_EQ(msqlQuery(sock_, statements[which]), 10000) << statements[which] << ": " << msqlErrMsg;
    ResultHandle *r = msqlStoreResult();
    if (!r) return std::vector<std::string>();
    std::vector<std::string> rows = RowsOf(r);
    *fields = Fields(r);
    msqlFreeResult(r);
    return rows;
  };
  std::vector<Field> first_fields, fields;
  std::vector<std::string> first = run(&first_fields);
  ASSERT_EQ(first.size(), 10000u);
  EXPECT_EQ(first[0], "1|n1|03-Mar-1999|0.25|x");
  EXPECT_EQ(first[4], "5|n5|07-Mar-1999|1.25|tab\there\nnew\\back\\N\001");
  EXPECT_EQ(first[5], "6|\\N|08-Mar-1999|1.50|xxxxxx");
  EXPECT_EQ(first[6], "7|NULL|09-Mar-1999|1.75|xxxxxxx");
  EXPECT_EQ(first[9999], "10000|n10000|18-Jul-2026|2500.00|");
  ASSERT_EQ(first_fields.size(), 5u);
  EXPECT_EQ(first_fields[1].length, 20);
  EXPECT_EQ(first_fields[4].length, 49);  // measured: the longest note
  EXPECT_EQ(first_fields[0].flags, (unsigned)FLAG_NOT_NULL);
  for (int round = 0; round < 5; round++) {
    which = round < 2 ? 0 : 1;
    EXPECT_EQ(run(&fields), first) << statements[which] << ", round " << round;
    ASSERT_EQ(fields.size(), first_fields.size());
    for (size_t i = 0; i < fields.size(); i++) {
      EXPECT_EQ(fields[i].name, first_fields[i].name);
      EXPECT_EQ(fields[i].type, first_fields[i].type) << fields[i].name;
      EXPECT_EQ(fields[i].length, first_fields[i].length) << fields[i].name;
      EXPECT_EQ(fields[i].flags, first_fields[i].flags) << fields[i].name;
    }
  }
  // Fewer rows now: the cursor gives them, then single rows again; COPY
  // likewise.
  Psql("DELETE FROM big WHERE id > 3");
  std::vector<std::string> three(first.begin(), first.begin() + 3);
  for (int round = 0; round < 2; round++) {
    for (const char *statement : statements) EXPECT_EQ(Rows(statement), three) << statement << ", round " << round;
  }

  // A failure partway through many rows, through COPY, in single-row mode
  // and in a cursor's later batch: said, and the connection goes on as
  // before.
  Psql("CREATE VIEW bad AS SELECT id, 1 / (id - 6000) AS x FROM generate_series(1, 9000) AS g(id) ORDER BY id");
  for (int round = 0; round < 4; round++) {
    int n = msqlQuery(sock_, round < 2 ? "SELECT * FROM bad" : "SELECT * FROM bad WHERE id > 0");
    ResultHandle *r = n >= 0 ? msqlStoreResult() : nullptr;
    EXPECT_EQ(r, nullptr) << "round " << round;
    if (r) msqlFreeResult(r);
    EXPECT_NE(strstr(msqlErrMsg, "division by zero"), nullptr) << msqlErrMsg;
    EXPECT_EQ(Rows("SELECT id FROM big WHERE id = 2"), std::vector<std::string>({"2"}));
  }
  EXPECT_EQ(Query("INSERT INTO big VALUES (4, 'four', '01-Jan-2000', 1.5, 'y')"), 1) << msqlErrMsg;
  EXPECT_EQ(Psql("SELECT name FROM big WHERE id = 4"), "four");

  // A prepared statement whose table is made again with other columns
  // answers with the new ones.
  ASSERT_EQ(Query("CREATE TABLE s (id int, a char(5))"), 0) << msqlErrMsg;
  ASSERT_EQ(Query("INSERT INTO s VALUES (1, 'one')"), 1) << msqlErrMsg;
  for (int round = 0; round < 3; round++) {
    EXPECT_EQ(Rows("SELECT * FROM s WHERE id = 1"), std::vector<std::string>({"1|one"}));
  }
  Psql("DROP TABLE s; CREATE TABLE s (id integer, b integer, c varchar(9)); INSERT INTO s VALUES (1, 2, 'three')");
  for (int round = 0; round < 2; round++) {
    EXPECT_EQ(Rows("SELECT * FROM s WHERE id = 1"), std::vector<std::string>({"1|2|three"}));
  }
  ASSERT_EQ(msqlQuery(sock_, "SELECT * FROM s WHERE id = 1"), 1) << msqlErrMsg;
  ResultHandle *r = msqlStoreResult();
  ASSERT_NE(r, nullptr);
  std::vector<Field> now = Fields(r);
  msqlFreeResult(r);
  ASSERT_EQ(now.size(), 3u);
  EXPECT_EQ(now[2].name, "c");
  EXPECT_EQ(now[2].type, CHAR_TYPE);
  EXPECT_EQ(now[2].length, 9);
  // Inserts of one shape, prepared after the first, all land.
  for (int i = 10; i < 15; i++) {
    EXPECT_EQ(Query("INSERT INTO s VALUES (" + std::to_string(i) + ", 0, 'x')"), 1) << msqlErrMsg;
  }
  EXPECT_EQ(Psql("SELECT string_agg(id::text, ',' ORDER BY id) FROM s"), "1,10,11,12,13,14");
}

// The server report shows the connection string it serves, every setting
// but the password.
TEST_F(PostgresTest, TheReportShowsTheConnectionButNoPassword) {
  ServerFixtureOptions options;
  options.pg_conninfo_extra = "password='se cret' application_name='korvid \\'s'";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  testing::internal::CaptureStdout();
  int rc = msqlServerReport(sock_);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0) << msqlErrMsg;
  size_t at = out.find("PostgreSQL connection: ");
  ASSERT_NE(at, std::string::npos) << out;
  std::string line = out.substr(at, out.find('\n', at) - at);
  // In libpq's order of settings, quoted as libpq reads them.
  for (std::string setting : {"host=" + server_->pg->socket_dir, std::string("user=korvid"),
                              std::string("dbname=template1"), std::string("application_name='korvid \\'s'")}) {
    EXPECT_NE((line + " ").find(" " + setting + " "), std::string::npos) << line << " lacks " << setting;
  }
  EXPECT_EQ(std::count(line.begin(), line.end(), '='), 4) << line;
  EXPECT_EQ(out.find("cret"), std::string::npos) << out;
  EXPECT_EQ(out.find("password"), std::string::npos) << out;
}

}  // namespace
