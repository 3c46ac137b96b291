// korvid-server under load and under a crash: many clients at once with the
// totals checked afterwards, and a kill -9 in the middle of a stream of
// inserts after which the database is sound and holds every acknowledged row.
// Clients are child processes: the client library keeps process-wide state.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "msql/msql.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

const int kClients = 32;
const int kRowsPerClient = 40;

// One client's work: inserts its own rows, reads them back, bumps a shared
// counter row. Returns 0 when every reply was as expected.
int ClientWork(int client) {
  int sock = msqlConnect(client % 2 ? "127.0.0.1" : nullptr);
  if (sock < 0 || msqlSelectDB(sock, "load") != 0) return 1;
  char q[256];
  for (int i = 0; i < kRowsPerClient; i++) {
    snprintf(q, sizeof q, "INSERT INTO items VALUES (%d, %d, 'client %d: row \\'%d\\'')",
             client * 1000 + i, client, client, i);
    if (msqlQuery(sock, q) != 1) return 2;
    if (msqlQuery(sock, "UPDATE counter SET n = n + 1 WHERE id = 1") != 1) return 3;
  }
  snprintf(q, sizeof q, "SELECT id, note FROM items WHERE owner = %d ORDER BY id", client);
  if (msqlQuery(sock, q) != kRowsPerClient) return 4;
  ResultHandle *r = msqlStoreResult();
  int i = 0;
  while (char **row = msqlFetchRow(r)) {
    char want[64];
    snprintf(want, sizeof want, "client %d: row '%d'", client, i);
    if (atoi(row[0]) != client * 1000 + i || strcmp(row[1], want) != 0) return 5;
    i++;
  }
  msqlFreeResult(r);
  // A large read while the others write.
  if (msqlQuery(sock, "SELECT * FROM people ") <= 0) return 6;
  msqlFreeResult(msqlStoreResult());
  msqlClose(sock);
  return 0;
}

std::string WriteScript(const std::string &dir, const std::string &text) {
  std::string path = dir + "/load.sql";
  FILE *f = fopen(path.c_str(), "w");
  if (f) {
    fputs(text.c_str(), f);
    fclose(f);
  }
  return path;
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerFixtureOptions options;
    options.database_scripts.push_back({"load",
                                        "CREATE TABLE items (id int not null, owner int, note char(40));\n"
                                        "CREATE UNIQUE INDEX pk ON items (id);\n"
                                        "CREATE TABLE counter (id int, n int);\n"
                                        "INSERT INTO counter VALUES (1, 0);\n"});
    StartTestServer(options, &server_, false);
  }
  void TearDown() override { ServerFixtureStop(server_); }

  ServerFixture *server_ = nullptr;
};

TEST_F(LoadTest, ManyClientsAtOnceKeepEveryRow) {
  // A table for the clients to read in full while they write.
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "load"), 0);
  ASSERT_EQ(msqlQuery(sock, "CREATE TABLE people (id int, name char(40))"), 0) << msqlErrMsg;
  for (int i = 0; i < 500; i++) {
    std::string q = "INSERT INTO people VALUES (" + std::to_string(i) + ", 'person " + std::to_string(i) + "')";
    ASSERT_EQ(msqlQuery(sock, q.c_str()), 1) << msqlErrMsg;
  }
  msqlClose(sock);

  pid_t pids[kClients];
  for (int c = 0; c < kClients; c++) {
    pids[c] = fork();
    ASSERT_GE(pids[c], 0);
    if (pids[c] == 0) _exit(ClientWork(c));
  }
  for (int c = 0; c < kClients; c++) {
    int status = -1;
    ASSERT_EQ(waitpid(pids[c], &status, 0), pids[c]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client " << c << " status " << status;
  }

  sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "load"), 0);
  EXPECT_EQ(msqlQuery(sock, "SELECT id FROM items "), kClients * kRowsPerClient);
  msqlFreeResult(msqlStoreResult());
  ASSERT_EQ(msqlQuery(sock, "SELECT n FROM counter WHERE id = 1"), 1);
  ResultHandle *r = msqlStoreResult();
  char **row = msqlFetchRow(r);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(atoi(row[0]), kClients * kRowsPerClient);
  msqlFreeResult(r);
  msqlClose(sock);
}

TEST_F(LoadTest, ReloadingReplacesTheContentUnderOpenConnections) {
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "load"), 0);
  ASSERT_EQ(msqlQuery(sock, "SELECT * FROM items "), 0) << msqlErrMsg;  // prepares and keeps it
  msqlFreeResult(msqlStoreResult());

  std::string error;
  std::string script = WriteScript(server_->dir,
                                   "CREATE TABLE items (id int, owner int, note char(40));\n"
                                   "INSERT INTO items VALUES (1, 1, 'a');\n"
                                   "INSERT INTO items VALUES (2, 1, 'b');\n"
                                   "UPDATE items SET note = 'c' WHERE id = 2;\n"
                                   "DELETE FROM items WHERE note = 'a';\n");
  ASSERT_TRUE(ServerFixtureLoad(server_, "load", script, &error)) << error;
  ASSERT_EQ(msqlQuery(sock, "SELECT * FROM items "), 1) << msqlErrMsg;
  ResultHandle *r = msqlStoreResult();
  char **row = msqlFetchRow(r);
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row[0], "2");
  EXPECT_STREQ(row[2], "c");
  msqlFreeResult(r);
  EXPECT_EQ(msqlQuery(sock, "SELECT * FROM counter "), -1);  // gone with the old content

  // A script that fails half-way leaves the content as it was.
  script = WriteScript(server_->dir, "CREATE TABLE other (a int);\nINSERT INTO nosuch VALUES (1);\n");
  EXPECT_FALSE(ServerFixtureLoad(server_, "load", script, &error));
  EXPECT_EQ(msqlQuery(sock, "SELECT * FROM items "), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(sock, "SELECT * FROM other "), -1);
  msqlClose(sock);
}

TEST_F(LoadTest, AScriptReachesNoMoreThanAClientStatement) {
  // The server's own tables, named so that only the authorizer stops it.
  struct {
    const char *script, *message;
  } cases[] = {
      {"CREATE SEQUENCE ON items;\nUPDATE \"_korvid_seq\" SET value = 99;\n", "statement 3: not authorized"},
      {"INSERT INTO \"_KORVID_SEQ\" VALUES ('x', 1, 1);\n", "statement 2: not authorized"},
      {"SELECT * FROM \"_korvid_seq\";\n", "statement 2: access to _korvid_seq.tbl is prohibited"},
      {"DROP TABLE \"_korvid_seq\";\n", "statement 2: not authorized"},
  };
  for (const auto &c : cases) {
    std::string script = WriteScript(server_->dir, std::string("CREATE TABLE items (id int);\n") + c.script);
    std::string command = ServerBinaryPath() + " --conf " + server_->conf_path + " --load load " + script + " 2>&1";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_NE(pclose(p), 0) << c.script;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.script << out;
  }
  // Each failed whole: the old content stays.
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "load"), 0);
  EXPECT_EQ(msqlQuery(sock, "SELECT * FROM counter "), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  msqlClose(sock);
}

TEST_F(LoadTest, KillDuringInsertsLosesNoAcknowledgedRow) {
  int acks[2];
  ASSERT_EQ(pipe(acks), 0);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    // Inserts until the server goes away; reports each acknowledged id.
    close(acks[0]);
    int sock = msqlConnect(nullptr);
    if (sock < 0 || msqlSelectDB(sock, "load") != 0) _exit(1);
    for (int i = 0;; i++) {
      char q[128];
      snprintf(q, sizeof q, "INSERT INTO items VALUES (%d, 0, 'before the crash')", i);
      if (msqlQuery(sock, q) != 1) _exit(0);
      if (write(acks[1], &i, sizeof i) != sizeof i) _exit(1);
    }
  }
  close(acks[1]);
  std::set<int> acknowledged;
  int id;
  while (acknowledged.size() < 300 && read(acks[0], &id, sizeof id) == sizeof id) acknowledged.insert(id);
  ServerFixtureKill(server_, SIGKILL);
  while (read(acks[0], &id, sizeof id) == sizeof id) acknowledged.insert(id);
  close(acks[0]);
  int status = -1;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_GE(acknowledged.size(), 300u);

  // The file as the crash left it: sound, and every acknowledged row there.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((server_->data_dir + "/load").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  sqlite3_stmt *st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ((const char *)sqlite3_column_text(st, 0), "ok");
  sqlite3_finalize(st);
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT id FROM items", -1, &st, nullptr), SQLITE_OK);
  std::set<int> stored;
  while (sqlite3_step(st) == SQLITE_ROW) stored.insert(sqlite3_column_int(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  for (int a : acknowledged) EXPECT_TRUE(stored.count(a)) << "acknowledged row " << a << " lost";

  // And the server starts again on it.
  std::string error;
  ASSERT_TRUE(ServerFixtureRestart(server_, &error)) << error;
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "load"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "SELECT id FROM items "), (int)stored.size());
  msqlFreeResult(msqlStoreResult());
  msqlClose(sock);
}

}  // namespace
