// korvid-server's limits and defences, tried as a hostile client or a file
// from another program would try them: SQLite's defences on a served file,
// the statement, idle, login and write time limits, a client that hangs up,
// a shutdown in the middle of a statement, the value and connection limits.
// Each server here runs with limits of a second or so, so that no test
// waits long.
#include <gtest/gtest.h>

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "msql/packet.h"
#include "tests/support/pg_fixture.h"
#include "tests/support/rows.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A statement that runs for hours on either engine: eight billion rows.
const char kEndless[] = "SELECT count(*) FROM people a, people b, people c";

// What the protocol layer does alike for every engine runs over SQLite
// files alone (ProtocolLimitsTest); what an engine does, over both
// (LimitsTest).
class ProtocolLimitsTest : public ServerClientTest {
 protected:
  virtual bool OverPostgres() const { return false; }

  // Starts a server with these [system] lines and a client on it.
  void Start(const std::string &system) {
    ServerFixtureOptions options;
    options.postgresql = OverPostgres();
    options.extra_system = system;
    StartServer(options, "sample");
  }

  // The lines of the server report over a raw session.
  std::vector<std::string> Report() {
    std::vector<std::string> lines;
    int fd = RawSession(server_->socket_path, "sample");
    if (fd < 0 || !RawSend(fd, RawFramed("12:\n"))) return lines;
    for (std::string line = RawReply(fd); line != "-100:\n" && line != "<closed>"; line = RawReply(fd)) {
      lines.push_back(line.substr(0, line.size() - 1));
    }
    close(fd);
    return lines;
  }

  // The number of connections the server counts, from its report.
  int Connections() {
    for (const std::string &line : Report()) {
      if (line.compare(0, 13, "Connections: ") == 0) return atoi(line.c_str() + 13);
    }
    return -1;
  }

  // Connections() once it says wanted, or its last answer after seconds.
  // Read once per pass: the report's own connection of the pass before may
  // still be counted by the next report.
  int ConnectionsOnceThere(int wanted, double seconds) {
    Clock::time_point start = Clock::now();
    int connections = Connections();
    while (connections != wanted && SecondsSince(start) < seconds) {
      usleep(50000);
      connections = Connections();
    }
    return connections;
  }
};

class LimitsTest : public ProtocolLimitsTest, public ::testing::WithParamInterface<const char *> {
 protected:
  bool OverPostgres() const override { return strcmp(GetParam(), "PostgreSQL") == 0; }
};

INSTANTIATE_TEST_SUITE_P(Engines, LimitsTest, ::testing::Values("SQLite", "PostgreSQL"));

TEST_P(LimitsTest, AStatementPastItsTimeLimitIsCancelledAndSaysSo) {
  Start("statement_timeout = 1");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(msqlQuery(sock_, kEndless), -1);
  EXPECT_STREQ(msqlErrMsg, "Statement cancelled: time limit of 1 s");
  EXPECT_LT(SecondsSince(start), 3.0);
  // The connection goes on with the next statement.
  EXPECT_EQ(ServerRows(sock_, "SELECT name FROM people WHERE id = 2"), std::vector<std::string>{"Rosa Berg"});
}

// Reads a reply's packets through a buffer of its own, as a client would;
// Next gives each payload, or "<closed>" after 10 s without a byte.
struct SlowReader {
  int fd;
  std::string buffer;
  size_t at = 0;

  bool Fill(size_t need) {
    while (buffer.size() - at < need) {
      if (at > 0) {
        buffer.erase(0, at);
        at = 0;
      }
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
      char chunk[65536];
      ssize_t r = read(fd, chunk, sizeof chunk);
      if (r <= 0) return false;
      buffer.append(chunk, (size_t)r);
    }
    return true;
  }
  std::string Next() {
    if (!Fill(PACKET_HEADER)) return "<closed>";
    int length = msqlDecodeLength((const unsigned char *)buffer.data() + at);
    if (length < 0 || length > MAX_PACKET || !Fill(PACKET_HEADER + (size_t)length)) return "<closed>";
    std::string payload = buffer.substr(at + PACKET_HEADER, (size_t)length);
    at += PACKET_HEADER + (size_t)length;
    return payload;
  }
};

// A client busy elsewhere stops reading for longer than the statement limit
// (but within the write limit) while its rows are under way: the wait is
// the write limit's, and it still receives every row. Over PostgreSQL the
// first statement's rows come through COPY, the second's, seen before with
// its many rows, through a cursor.
TEST_P(LimitsTest, AClientThatReadsSlowlyStillReceivesEveryRow) {
  // The limit above what the statement's own work takes even under the
  // sanitizers, the pause above it and PostgreSQL's own limit a second
  // later, the write limit above the pause.
  Start("statement_timeout = 2\nwrite_timeout = 10");
  struct Case {
    const char *statement;
    bool seen_before;  // read once at full speed first, on the same connection
  } cases[] = {{"SELECT a.level, b.code FROM events a, products b", false},
               {"SELECT a.level, b.code FROM events a, products b WHERE b.code <> 'none'", true}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.statement);
    int fd = RawSession(server_->socket_path, "sample");
    ASSERT_GE(fd, 0);
    SlowReader reader = {fd, std::string(), 0};
    for (int run = k.seen_before ? 0 : 1; run < 2; run++) {
      ASSERT_TRUE(RawSend(fd, RawFramed(std::string("3:") + k.statement + "\n")));
      EXPECT_EQ(reader.Next(), "1:2\n");
      long rows = 0;
      std::string packet;
      // Far more rows than the socket buffers hold: the server waits on the
      // client through the pause.
      for (packet = reader.Next(); packet != "-100:\n" && packet.compare(0, 3, "-1:") != 0 && packet != "<closed>";
           packet = reader.Next()) {
        if (++rows == 1000 && run == 1) usleep(3500000);
      }
      EXPECT_EQ(rows, 150000);
      ASSERT_EQ(packet, "-100:\n");
      // The two field descriptions and their end.
      for (int i = 0; i < 3; i++) packet = reader.Next();
      EXPECT_EQ(packet, "-100:\n");
    }
    close(fd);
  }
}

// A runaway statement whose rows stream to a client that reads them as
// they come is still stopped: the time spent sending them counts, only
// the waits on the client do not.
TEST_P(LimitsTest, AStatementWhoseRowsNeverEndIsCancelledAmongThem) {
  Start("statement_timeout = 1");
  int fd = RawSession(server_->socket_path, "sample");
  ASSERT_GE(fd, 0);
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(RawSend(fd, RawFramed("3:SELECT a.name FROM people a, people b, people c\n")));
  SlowReader reader = {fd, std::string(), 0};
  EXPECT_EQ(reader.Next(), "1:1\n");
  std::string packet = reader.Next();
  long rows = 0;
  for (; packet != "-100:\n" && packet.compare(0, 3, "-1:") != 0 && packet != "<closed>"; packet = reader.Next()) rows++;
  EXPECT_EQ(packet, "-1:Statement cancelled: time limit of 1 s\n");
  EXPECT_GT(rows, 0);
  // Within the limit and what the reading costs on a loaded machine.
  EXPECT_LT(SecondsSince(start), 8.0);
  close(fd);
}

TEST_P(LimitsTest, AStatementWhoseClientHangsUpIsStoppedAtOnce) {
  Start("statement_timeout = 0");
  int fd = RawSession(server_->socket_path, "sample");
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(RawSend(fd, RawFramed(std::string("3:") + kEndless + "\n")));
  // Waited for rather than slept on: a loaded machine may take its time to
  // accept the client.
  ASSERT_EQ(ConnectionsOnceThere(3, 10), 3);  // this client, the test's own and the report's
  usleep(300000);  // the statement is under way
  close(fd);
  // The connection's thread ends only once its statement has stopped.
  EXPECT_EQ(ConnectionsOnceThere(2, 3), 2);
  if (OverPostgres()) {
    std::string out;
    ASSERT_TRUE(PgFixtureSql(server_->pg, "sample",
                             "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%FROM people a, people b%' "
                             "AND pid <> pg_backend_pid()",
                             &out))
        << out;
    EXPECT_EQ(out, "0") << out;
  }
}

TEST_P(LimitsTest, SigtermEndsTheServerAtOnceKeepingAcknowledgedChanges) {
  Start("statement_timeout = 0");
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO events VALUES ('10:00:00', 'kept', 'acknowledged')"), 1) << msqlErrMsg;
  int fd = RawSession(server_->socket_path, "sample");
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(RawSend(fd, RawFramed(std::string("3:") + kEndless + "\n")));
  usleep(300000);
  Clock::time_point start = Clock::now();
  ASSERT_NE(ServerFixtureKill(server_, SIGTERM), -1);
  EXPECT_LT(SecondsSince(start), 2.0);
  // Refused, before its rows or among them.
  std::string reply = RawReply(fd);
  if (reply == "1:1\n") reply = RawReply(fd);
  EXPECT_EQ(reply, "-1:Statement cancelled: the server is shutting down\n");
  close(fd);
  msqlClose(sock_);
  std::string error;
  ASSERT_TRUE(ServerFixtureRestart(server_, &error)) << error;
  sock_ = msqlConnect(nullptr);
  ASSERT_GE(sock_, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock_, "sample"), 0) << msqlErrMsg;
  EXPECT_EQ(ServerRows(sock_, "SELECT message FROM events WHERE level = 'kept'"),
            std::vector<std::string>{"acknowledged"});
}

TEST_P(LimitsTest, AClientThatStopsReadingIsDroppedAndItsLocksFreed) {
  Start("statement_timeout = 0\nwrite_timeout = 1");
  int fd = RawSession(server_->socket_path, "sample");
  ASSERT_GE(fd, 0);
  // Far more than the socket buffers hold, never read.
  ASSERT_TRUE(RawSend(fd, RawFramed("3:SELECT a.name, b.name FROM people a, people b\n")));
  ASSERT_EQ(ConnectionsOnceThere(3, 10), 3);
  EXPECT_EQ(ConnectionsOnceThere(2, 4), 2);
  // Its read is over.
  if (OverPostgres()) {
    // A change of the table's structure, which waits for every reader of
    // the table, goes through.
    std::string out;
    EXPECT_TRUE(PgFixtureSql(server_->pg, "sample",
                             "SET lock_timeout = '2s'; ALTER TABLE people ADD COLUMN extra int", &out))
        << out;
  } else {
    // Nothing holds an old snapshot: a checkpoint passes over the whole log,
    // changes made since the read began included.
    ASSERT_EQ(msqlQuery(sock_, "UPDATE people SET age = 2 WHERE id = 2"), 1) << msqlErrMsg;
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((server_->data_dir + "/sample").c_str(), &db), SQLITE_OK);
    int log = -1, done = -1;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &log, &done), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  close(fd);
}

TEST_F(ProtocolLimitsTest, AnIdleConnectionIsClosedNamingTheLimit) {
  Start("idle_timeout = 1");
  int fd = RawSession(server_->socket_path, "sample");
  ASSERT_GE(fd, 0);
  usleep(1500000);
  ASSERT_TRUE(RawSend(fd, RawFramed("3:SELECT id FROM people WHERE id = 1\n")) || true);
  EXPECT_EQ(RawReply(fd), "-1:Connection closed: idle for the limit of 1 s\n");
  EXPECT_EQ(RawReply(fd), "<closed>");
  close(fd);
}

TEST_F(ProtocolLimitsTest, ALoginTrickledInByteByByteCannotOutliveTheLoginLimit) {
  Start("login_timeout = 1");
  int fd = RawConnectUnix(server_->socket_path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(RawReply(fd).compare(0, 5, "0:23:"), 0);
  std::string login = RawFramed(TestUserName() + "\n");
  Clock::time_point start = Clock::now();
  // Each byte well within the limit after the one before.
  for (size_t i = 0; i < login.size() && SecondsSince(start) < 2; i++) {
    if (!RawSend(fd, login.substr(i, 1))) break;
    usleep(400000);
  }
  std::string reply = RawReply(fd);
  EXPECT_EQ(reply, "-1:Login not completed within the time limit of 1 s\n");
  close(fd);
}

TEST_F(ProtocolLimitsTest, TheReportShowsTheLimitsInForce) {
  Start("statement_timeout = 7\nidle_timeout = 0\nlogin_timeout = 9\nwrite_timeout = 11\nvalue_limit = 5000");
  std::vector<std::string> report = Report();
  for (const char *line : {"Statement time limit: 7 s", "Idle limit: none", "Login time limit: 9 s",
                           "Write time limit: 11 s", "Value limit: 5000 bytes"}) {
    EXPECT_NE(std::find(report.begin(), report.end(), line), report.end()) << line;
  }
}

class PostgresLimitsTest : public ProtocolLimitsTest {
 protected:
  bool OverPostgres() const override { return true; }

  // The report's connection limit.
  std::string ConnectionLimit() {
    for (const std::string &line : Report()) {
      if (line.compare(0, 18, "Connection limit: ") == 0) return line.substr(18);
    }
    return "";
  }
};

// The fixture's PostgreSQL has 60 slots, 3 of them kept for superusers; the
// server takes one less for a short connection of its own. A role's own
// limit holds for roles that are no superuser.
TEST_F(PostgresLimitsTest, NeverMoreConnectionsThanTheRoleAndServerAllow) {
  Start("");
  EXPECT_EQ(ConnectionLimit(), "56");
  std::string out;
  ASSERT_TRUE(PgFixtureSql(server_->pg, "sample", "CREATE ROLE limited LOGIN CONNECTION LIMIT 5", &out)) << out;
  msqlClose(sock_);
  sock_ = -1;
  ASSERT_NE(ServerFixtureKill(server_, SIGTERM), -1);
  // The same server as the role with a limit of its own.
  std::string conf = ReadFileText(server_->conf_path);
  size_t at = conf.find("conninfo = ");
  ASSERT_NE(at, std::string::npos);
  conf.insert(conf.find('\n', at), " user=limited");
  WriteFileText(server_->conf_path, conf);
  std::string error;
  ASSERT_TRUE(ServerFixtureRestart(server_, &error)) << error;
  EXPECT_EQ(ConnectionLimit(), "4");
}

// A bad database name goes back in the error text with its control
// characters shown, never as they are (an escape sequence would reach the
// client's terminal).
TEST_F(ProtocolLimitsTest, ABadDatabaseNameIsEchoedWithoutControlCharacters) {
  Start("");
  EXPECT_EQ(msqlSelectDB(sock_, "a\x1b[2Jb\x07"), -1);
  EXPECT_STREQ(msqlErrMsg, "Bad database name \"a\\x1b[2Jb\\x07\": use letters, digits and underscores only");
}

// Over SQLite only: the files themselves.
class SqliteLimitsTest : public ServerClientTest {
 protected:
  void Start(const std::string &system) {
    ServerFixtureOptions options;
    options.extra_system = system;
    StartServer(options);
  }
  // Runs SQL in the sqlite3 shell on a file of the data directory.
  void Shell(const std::string &file, const std::string &sql) {
    std::string path = server_->data_dir + "/" + file;
    FILE *p = popen(("sqlite3 '" + path + "'").c_str(), "w");
    ASSERT_NE(p, nullptr);
    fputs(sql.c_str(), p);
    ASSERT_EQ(pclose(p), 0) << sql;
  }
};

TEST_F(SqliteLimitsTest, AFileFromAnotherProgramCannotBeTurnedAgainstTheServer) {
  Start("");
  Shell("docs.db",
        "CREATE VIRTUAL TABLE docs USING fts4(body);"
        "INSERT INTO docs VALUES ('the quick brown fox');"
        "CREATE TABLE notes (t text);"
        "INSERT INTO notes VALUES ('apple'), ('banana');"
        "CREATE VIEW a_notes AS SELECT t FROM notes WHERE t LIKE 'a%';");
  ASSERT_EQ(msqlSelectDB(sock_, "docs"), 0) << msqlErrMsg;
  const char *refused[] = {
      "SELECT fts3_tokenizer('simple', X'4141414141414141')",
      "SELECT hex(fts3_tokenizer('simple'))",
      "DELETE FROM docs_segdir",
      "INSERT INTO docs_content VALUES (5, 'x')",
      "UPDATE docs_segments SET block = X'00'",
  };
  for (const char *statement : refused) EXPECT_EQ(msqlQuery(sock_, statement), -1) << statement;
  // The file still reads, its index unharmed, and so does a view of
  // another program's that uses LIKE.
  EXPECT_EQ(ServerRows(sock_, "SELECT body FROM docs WHERE docs MATCH 'quick'"),
            std::vector<std::string>{"the quick brown fox"});
  EXPECT_EQ(ServerRows(sock_, "SELECT * FROM docs"), std::vector<std::string>{"the quick brown fox"});
  EXPECT_EQ(ServerRows(sock_, "SELECT t FROM a_notes"), std::vector<std::string>{"apple"});
  msqlClose(sock_);
  sock_ = -1;
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((server_->data_dir + "/docs.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "INSERT INTO docs(docs) VALUES ('integrity-check')", nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST_F(SqliteLimitsTest, NoValueGrowsPastTheValueLimit) {
  Start("value_limit = 1000");
  ASSERT_EQ(msqlSelectDB(sock_, "sample"), 0) << msqlErrMsg;
  EXPECT_EQ(ServerRows(sock_, "SELECT length(hex(zeroblob(499)))"), std::vector<std::string>{"998"});
  const char *refused[] = {
      "SELECT length(hex(zeroblob(501)))",
      "SELECT length(zeroblob(400000000))",
      "UPDATE people SET notes = hex(zeroblob(2500)) WHERE id = 1",
  };
  for (const char *statement : refused) EXPECT_EQ(msqlQuery(sock_, statement), -1) << statement;
}

// Another program may open a served file at any time; SQLite's locks tell
// it that the server has the file open, so that it neither checkpoints nor
// removes the write-ahead log on its way out. Those locks are the process's:
// any descriptor of the file that the server closes would drop them all,
// the ones its connections hold included.
TEST_F(SqliteLimitsTest, AnotherProgramOpeningAServedFileLosesNoAcknowledgedChange) {
  Start("");
  ASSERT_EQ(msqlSelectDB(sock_, "sample"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO events VALUES ('10:00:00', 'one', 'before')"), 1) << msqlErrMsg;
  // Requests that look at the files of the data directory.
  int other = msqlConnect(nullptr);
  ASSERT_GE(other, 0) << msqlErrMsg;
  msqlFreeResult(msqlListDBs(other));
  EXPECT_EQ(msqlSelectDB(other, "sample"), 0) << msqlErrMsg;
  msqlClose(other);
  // The other program reads the file and closes it.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open((server_->data_dir + "/sample").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM events", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_EQ(msqlQuery(sock_, "INSERT INTO events VALUES ('10:00:01', 'two', 'after')"), 1) << msqlErrMsg;
  msqlClose(sock_);
  sock_ = -1;
  ASSERT_NE(ServerFixtureKill(server_, SIGKILL), -1);
  ASSERT_EQ(sqlite3_open((server_->data_dir + "/sample").c_str(), &db), SQLITE_OK);
  std::vector<std::string> levels;
  sqlite3_exec(
      db, "SELECT level FROM events WHERE level IN ('one', 'two') ORDER BY level",
      [](void *out, int, char **values, char **) {
        static_cast<std::vector<std::string> *>(out)->push_back(values[0]);
        return 0;
      },
      &levels, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(levels, (std::vector<std::string>{"one", "two"}));
}

// On a full disk a create or a copy fails and leaves no file behind: the
// name stays free for the next try, and the list stays truthful.
TEST_F(SqliteLimitsTest, ACreateOrCopyThatFailsOnAFullDiskLeavesNothingBehind) {
  Start("");
  const std::string dir = server_->data_dir;
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "a small tmpfs cannot be mounted here (" << strerror(errno) << "): disk full not tried";
  }
  auto files_named = [&](const std::string &name) {
    std::vector<std::string> found;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
      if (access((dir + "/" + name + suffix).c_str(), F_OK) == 0) found.push_back(name + suffix);
    }
    return found;
  };
  ASSERT_EQ(msqlCreateDB(sock_, "src"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock_, "src"), 0) << msqlErrMsg;
  ASSERT_GE(msqlQuery(sock_, "CREATE TABLE t (v text(0))"), 0) << msqlErrMsg;
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(msqlQuery(sock_, "INSERT INTO t VALUES (hex(zeroblob(20000)))"), 1) << msqlErrMsg;
  }
  // The rest of the disk taken by another file.
  std::string filler = dir + "/filler";
  FILE *f = fopen(filler.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::string block(4096, 'x');
  while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
  }
  fclose(f);
  EXPECT_EQ(msqlCreateDB(sock_, "fresh"), -1);
  EXPECT_EQ(files_named("fresh"), std::vector<std::string>{});
  EXPECT_EQ(msqlCopyDB(sock_, "src", "dup"), -1);
  EXPECT_EQ(files_named("dup"), std::vector<std::string>{});
  // With room again, the names are free.
  unlink(filler.c_str());
  EXPECT_EQ(msqlCreateDB(sock_, "fresh"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlCopyDB(sock_, "src", "dup"), 0) << msqlErrMsg;
  msqlClose(sock_);
  sock_ = -1;
  ServerFixtureKill(server_, SIGTERM);
  umount2(dir.c_str(), MNT_DETACH);
}

}  // namespace
