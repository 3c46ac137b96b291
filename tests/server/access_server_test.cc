// Who may connect, as whom, to which database, against a real korvid-server
// over both engines: the access file's rules for an unprivileged user on the
// UNIX socket and over loopback TCP, the reload request, names claimed over
// TCP, and a database reached around the rules. Outcomes are checked in the
// stored data (SQLite's file, psql).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "msql/conf/config.h"
#include "msql/msql.h"
#include "msql/packet.h"
#include "server/postgres/access.h"
#include "tests/support/pg_fixture.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

std::string Names(ResultHandle *r) {
  if (!r) return std::string("none: ") + msqlErrMsg;
  std::string names;
  while (char **row = msqlFetchRow(r)) names += (names.empty() ? "" : ",") + std::string(row[0]);
  msqlFreeResult(r);
  return names;
}

// What one client sees and may do: the databases listed, selecting
// "secret" and "sample", reading and deleting people.
std::string Tour(const char *host) {
  std::string t;
  int sock = msqlConnect(host);
  if (sock < 0) return std::string("connect: ") + msqlErrMsg;
  t += "list: " + Names(msqlListDBs(sock)) + "\n";
  int rc = msqlSelectDB(sock, "secret");
  t += "secret: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
  rc = msqlSelectDB(sock, "sample");
  t += "sample: " + std::to_string(rc) + "\n";
  rc = msqlQuery(sock, "SELECT name FROM people");
  if (rc >= 0) msqlFreeResult(msqlStoreResult());
  t += "read: " + std::string(rc >= 0 ? "ok" : msqlErrMsg) + "\n";
  rc = msqlQuery(sock, "DELETE FROM people");
  t += "delete: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
  msqlClose(sock);
  return t;
}

class AccessTest : public ::testing::TestWithParam<const char *> {
 protected:
  bool OverPostgres() const { return std::string(GetParam()) == "PostgreSQL"; }

  void Start(const std::string &access_file) {
    ServerFixtureOptions options;
    options.postgresql = OverPostgres();
    options.access_file = access_file;
    if (OverPostgres()) {
      // Read-only service needs a role that is no superuser and cannot
      // change large objects: "svc", owning the databases it serves.
      options.pg_conninfo_extra = "user=svc";
      options.pg_allow_file_access = false;
    } else {
      options.databases.push_back({"sample", SampleSqlPath()});
      options.databases.push_back({"secret", SampleSqlPath()});
    }
    std::string error;
    server_ = ServerFixtureStart(options, &error);
    ASSERT_NE(server_, nullptr) << error;
    // The socket is reached through the fixture's directory.
    chmod(server_->dir.c_str(), 0755);
    if (!OverPostgres()) return;
    std::string out;
    ASSERT_TRUE(PgFixtureSql(server_->pg, "template1", "CREATE ROLE svc LOGIN", &out)) << out;
    for (const char *db : {"sample", "secret"}) {
      ASSERT_TRUE(PgFixtureSql(server_->pg, "template1", std::string("CREATE DATABASE ") + db + " OWNER svc", &out))
          << out;
      std::string revoke = "REVOKE EXECUTE ON FUNCTION ";
      for (size_t i = 0; i < sizeof kLargeObjectWriters / sizeof kLargeObjectWriters[0]; i++) {
        revoke += std::string(i ? ", " : "") + kLargeObjectWriters[i];
      }
      ASSERT_TRUE(PgFixtureSql(server_->pg, db, revoke + " FROM PUBLIC", &out)) << out;
      ASSERT_TRUE(ServerFixtureLoad(server_, db, SampleSqlPath(), &error)) << error;
    }
  }
  void TearDown() override { ServerFixtureStop(server_); }

  // The rows of people in database `db`, counted in the stored data.
  std::string StoredPeople(const std::string &db) {
    std::string out;
    if (server_->pg) {
      EXPECT_TRUE(PgFixtureSql(server_->pg, db, "SELECT count(*) FROM people", &out)) << out;
      return out;
    }
    sqlite3 *file = nullptr;
    sqlite3_stmt *stmt = nullptr;
    // The server may be closing the file at that moment: wait for it.
    if (sqlite3_open_v2((server_->data_dir + "/" + db).c_str(), &file, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_busy_timeout(file, 10000) == SQLITE_OK &&
        sqlite3_prepare_v2(file, "SELECT count(*) FROM people", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      out = std::to_string(sqlite3_column_int(stmt, 0));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(file);
    return out;
  }

  ServerFixture *server_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Engines, AccessTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

TEST_P(AccessTest, RulesHoldForEachUserOverTheSocketAndLoopbackTcp) {
  uid_t other;
  if (!OtherUser(&other)) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_NO_FATAL_FAILURE(Start("# sample: everyone reads, only the owner writes\n"
                                "database=sample\nread=*\nwrite=" + TestUserName() + "\n\n"
                                "database=secret\nread=" + TestUserName() + "\nwrite=" + TestUserName() + "\n"));
  std::string before = StoredPeople("sample");
  ASSERT_NE(before, "0");
  const std::string refused =
      "list: sample\n"
      "secret: -1 Access to database denied\n"
      "sample: 0\n"
      "read: ok\n"
      "delete: -1 Write access to database denied\n";
  EXPECT_EQ(AsUser(other, [] { return Tour(nullptr); }), refused);
  // Over loopback TCP the kernel names the same user.
  EXPECT_EQ(AsUser(other, [] { return Tour("127.0.0.1"); }), refused);
  EXPECT_EQ(StoredPeople("sample"), before);
  EXPECT_EQ(StoredPeople("secret"), before);
  // The owner reads and writes both.
  EXPECT_EQ(Tour(nullptr), "list: sample,secret\nsecret: 0\nsample: 0\nread: ok\ndelete: " + before + "\n");
  EXPECT_EQ(StoredPeople("sample"), "0");
}

TEST_P(AccessTest, ReloadTakesNewRulesAndKeepsThemWhenTheFileIsBroken) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "sample"), 0) << msqlErrMsg;
  // No access file: a local user may do everything.
  ASSERT_EQ(msqlQuery(sock, "DELETE FROM people WHERE id = 1"), 1) << msqlErrMsg;
  std::string before = StoredPeople("sample");

  ASSERT_TRUE(WriteFileText(server_->access_path, "database=sample\nread=" + TestUserName() + "\n"));
  ASSERT_EQ(msqlReloadAcl(sock), 0) << msqlErrMsg;
  // The connection's database is ruled anew at once.
  EXPECT_EQ(msqlQuery(sock, "DELETE FROM people"), -1);
  EXPECT_STREQ(msqlErrMsg, "Write access to database denied");
  EXPECT_EQ(Names(msqlListDBs(sock)), "sample");
  EXPECT_EQ(msqlSelectDB(sock, "secret"), -1);
  EXPECT_STREQ(msqlErrMsg, "Access to database denied");

  ASSERT_TRUE(WriteFileText(server_->access_path, "database=sample\nread=" + TestUserName() + "\nwrite " + TestUserName() + "\n"));
  EXPECT_EQ(msqlReloadAcl(sock), -1);
  EXPECT_EQ(std::string(msqlErrMsg), "Access rules kept: access file " + server_->access_path +
                                         ", line 3: expected key=value, found \"write " + TestUserName() + "\"");
  ASSERT_EQ(msqlSelectDB(sock, "sample"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "DELETE FROM people"), -1);
  EXPECT_STREQ(msqlErrMsg, "Write access to database denied");
  EXPECT_EQ(StoredPeople("sample"), before);

  // Only the admin user may reload.
  uid_t other;
  if (OtherUser(&other)) {
    EXPECT_EQ(AsUser(other,
                     [] {
                       int s = msqlConnect(nullptr);
                       if (s < 0) return std::string(msqlErrMsg);
                       int rc = msqlReloadAcl(s);
                       msqlClose(s);
                       return std::to_string(rc) + " " + msqlErrMsg;
                     }),
              "-1 Permission denied: user \"korvidtest\" may not administer the server");
  }
  msqlClose(sock);
}

// Raw TCP, so that the claimed name is the test's choice.
std::string TcpLogin(int port, const std::string &name) {
  int fd = RawConnectTcp(port);
  if (fd < 0) return "<connect>";
  RawReply(fd);  // the greeting
  std::string reply = RawSend(fd, RawFramed(name + "\n")) ? RawReply(fd) : "<send>";
  close(fd);
  return reply;
}

TEST_P(AccessTest, ANameClaimedOverLoopbackTcpMustBeTheClientsOwn) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  EXPECT_EQ(TcpLogin(server_->tcp_port, TestUserName()), "0:\n");
  EXPECT_EQ(TcpLogin(server_->tcp_port, "korvid_nobody"),
            "-1:Access denied: user \"korvid_nobody\" is not the owner of this connection (" + TestUserName() + ")\n");
  uid_t other;
  if (OtherUser(&other)) {
    int port = server_->tcp_port;
    std::string me = TestUserName();
    EXPECT_EQ(AsUser(other, [port, me] { return TcpLogin(port, me); }),
              "-1:Access denied: user \"" + TestUserName() + "\" is not the owner of this connection (korvidtest)\n");
  }
}

// Each user's PostgreSQL connection logs in as its own role (peer
// authentication and a pg_ident.conf map let the server's OS user become
// those roles), so that PostgreSQL's GRANTs hold per user: the user whom
// psql refuses as the owner's role gets only its own role's rights.
TEST(AccessPostgresTest, EachUserLogsInAsItsOwnRole) {
  uid_t other;
  if (!OtherUser(&other)) GTEST_SKIP() << "needs root to act as another user";
  char dir[] = "/tmp/korvid-roles-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string roles = std::string(dir) + "/roles";
  ASSERT_TRUE(WriteFileText(roles, "# user  PostgreSQL role\n" + TestUserName() + " boss\nkorvidtest clerk\n"));
  ServerFixtureOptions options;
  options.postgresql = true;
  options.extra_postgresql = "role_map = " + roles;
  std::string error, out;
  ServerFixture *server = ServerFixtureStart(options, &error);
  ASSERT_NE(server, nullptr) << error;
  ServerHolder stop(server, ServerFixtureStop);
  chmod(server->dir.c_str(), 0755);
  PgFixture *pg = server->pg;
  ASSERT_TRUE(PgFixtureSql(pg, "template1", "CREATE ROLE boss LOGIN; CREATE ROLE clerk LOGIN", &out)) << out;
  ASSERT_TRUE(PgFixtureSql(pg, "template1", "CREATE DATABASE work", &out)) << out;
  ASSERT_TRUE(PgFixtureSql(pg, "work",
                           "CREATE TABLE t (id int); INSERT INTO t VALUES (1); "
                           "GRANT SELECT ON t TO clerk; GRANT ALL ON t TO boss",
                           &out))
      << out;
  // The fixture's own role keeps trust; everyone else is the kernel's user,
  // and the server's OS user may log in as boss and clerk.
  std::string data = pg->dir + "/data";
  ASSERT_TRUE(WriteFileText(data + "/pg_hba.conf", "local all korvid trust\nlocal all all peer map=korvid\n"));
  ASSERT_TRUE(WriteFileText(data + "/pg_ident.conf",
                            "korvid " + TestUserName() + " boss\nkorvid " + TestUserName() + " clerk\n"));
  chmod((data + "/pg_hba.conf").c_str(), 0644);
  chmod((data + "/pg_ident.conf").c_str(), 0644);
  ASSERT_TRUE(PgFixtureSql(pg, "template1", "SELECT pg_reload_conf()", &out)) << out;

  // psql refuses the other user as boss.
  std::string psql = "runuser -u korvidtest -- " + pg->bin + "/psql -X -h " + pg->socket_dir +
                     " -U boss -d work -c 'DELETE FROM t' >/dev/null 2>&1";
  EXPECT_NE(system(psql.c_str()), 0);

  auto tour = []() {
    int sock = msqlConnect(nullptr);
    if (sock < 0) return std::string("connect: ") + msqlErrMsg;
    std::string t;
    int rc = msqlSelectDB(sock, "work");
    t += "select: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
    rc = msqlQuery(sock, "SELECT id FROM t");
    if (rc >= 0) msqlFreeResult(msqlStoreResult());
    t += "read: " + std::to_string(rc) + "\n";
    rc = msqlQuery(sock, "INSERT INTO t VALUES (2)");
    t += "insert: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
    msqlClose(sock);
    return t;
  };
  EXPECT_EQ(AsUser(other, tour), "select: 0\nread: 1\ninsert: -1 permission denied for table t\n");
  EXPECT_EQ(tour(), "select: 0\nread: 1\ninsert: 1\n");
  ASSERT_TRUE(PgFixtureSql(pg, "work", "SELECT string_agg(id::text, ',' ORDER BY id) FROM t", &out)) << out;
  EXPECT_EQ(out, "1,2");
  unlink(roles.c_str());
  rmdir(dir);
}

// Runs a shell command; true when it succeeds.
bool Shell(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A client on another machine: the server runs in a network namespace of
// its own and the client in another, joined by a veth pair (10.213.0.1 the
// server, 10.213.0.2 the client), so that the client's socket is in no
// table the server can read. Its claimed name is then not believed: it gets
// what host= and access=remote give, and never administers.
TEST(AccessRemoteTest, AClientFromElsewhereIsKnownByItsAddressOnly) {
  if (geteuid() != 0 || !Shell("command -v ip")) GTEST_SKIP() << "needs root and ip(8)";
  char dir[] = "/tmp/korvid-remote-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string d = dir, conf = d + "/msql.conf";
  ASSERT_TRUE(WriteFileText(conf, "[general]\nmsql_user = root\nadmin_user = root\ninst_dir = " + d + "\ndb_dir = " + d +
                                      "/data\nunix_port = " + d + "/msql.sock\npid_file = " + d +
                                      "/msql.pid\ntcp_port = 4333\n"
                                      "[system]\nlocal_access = 1\nremote_access = 1\nhost_lookup = 0\n"));
  ASSERT_TRUE(WriteFileText(d + "/msql.acl",
                            "database=sample\nread=*\nwrite=root\nhost=10.213.0.*,-10.213.0.9\naccess=local,remote\n\n"
                            "database=secret\nread=*\nwrite=root\n"));
  mkdir((d + "/data").c_str(), 0700);
  for (const char *db : {"sample", "secret"}) {
    ASSERT_TRUE(Shell(ServerBinaryPath() + " --conf " + conf + " --load " + db + " " + SampleSqlPath()));
  }
  msqlConfigLoad(conf.c_str());

  // The server, in a network namespace of its own.
  pid_t server = fork();
  if (server == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(126);
    execl(ServerBinaryPath().c_str(), ServerBinaryPath().c_str(), "--conf", conf.c_str(), (char *)nullptr);
    _exit(127);
  }
  // The client, in another, waiting to be told to go.
  int go[2], out[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(out), 0);
  pid_t client = fork();
  if (client == 0) {
    close(go[1]);
    close(out[0]);
    if (unshare(CLONE_NEWNET) != 0) _exit(126);
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(0);
    std::string t;
    int sock = msqlConnect("10.213.0.1");
    if (sock < 0) {
      t = std::string("connect: ") + msqlErrMsg;
    } else {
      t += "list: " + Names(msqlListDBs(sock)) + "\n";
      int rc = msqlSelectDB(sock, "secret");
      t += "secret: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
      rc = msqlSelectDB(sock, "sample");
      t += "sample: " + std::to_string(rc) + "\n";
      rc = msqlQuery(sock, "SELECT id FROM people WHERE id = 1");
      if (rc >= 0) msqlFreeResult(msqlStoreResult());
      t += "read: " + std::to_string(rc) + "\n";
      rc = msqlQuery(sock, "DELETE FROM people");
      t += "delete: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
      rc = msqlCreateDB(sock, "made");
      t += "create: " + std::to_string(rc) + (rc < 0 ? std::string(" ") + msqlErrMsg : "") + "\n";
      msqlClose(sock);
    }
    ssize_t ignored = write(out[1], t.data(), t.size());
    (void)ignored;
    _exit(0);
  }
  close(go[0]);
  close(out[1]);
  auto finish = [&]() {
    close(go[1]);
    kill(server, SIGTERM);
    int status;
    waitpid(server, &status, 0);
    waitpid(client, &status, 0);
  };
  // Both namespaces exist once the children have unshared; the veth pair
  // dies with them.
  std::string s_ns = "nsenter --net=/proc/" + std::to_string(server) + "/ns/net ";
  std::string c_ns = "nsenter --net=/proc/" + std::to_string(client) + "/ns/net ";
  bool wired = false;
  for (int i = 0; i < 100 && !wired; i++) {
    usleep(20000);
    wired = Shell(s_ns + "ip link add kvserver type veth peer name kvclient netns " + std::to_string(client));
  }
  wired = wired && Shell(s_ns + "ip addr add 10.213.0.1/24 dev kvserver") && Shell(s_ns + "ip link set kvserver up") &&
          Shell(c_ns + "ip addr add 10.213.0.2/24 dev kvclient") && Shell(c_ns + "ip link set kvclient up");
  if (!wired) {
    finish();
    EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
    GTEST_SKIP() << "network namespaces cannot be joined here";
  }
  // Wait for the server to answer on its socket, then let the client go.
  int local = -1;
  for (int i = 0; i < 500 && (local = msqlConnect(nullptr)) < 0; i++) usleep(20000);
  ASSERT_GE(local, 0) << msqlErrMsg;
  msqlClose(local);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  std::string seen;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) seen.append(buf, (size_t)n);
  close(out[0]);
  finish();
  EXPECT_EQ(seen,
            "list: sample\n"
            "secret: -1 Access to database denied\n"
            "sample: 0\n"
            "read: 1\n"
            "delete: -1 Write access to database denied\n"
            "create: -1 Permission denied: administration is allowed from this machine only\n");
  EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
}

TEST(AccessStartTest, AMalformedAccessFileIsRefusedAtStartWithItsLine) {
  const std::string bad = "database=sample\nread=*\n\n# a second entry\ndatabase=other\nowner=bob\n";
  ServerFixtureOptions options;
  options.access_file = bad;
  std::string error;
  ServerFixture *server = ServerFixtureStart(options, &error);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(error, "korvid-server exited at start (status 1)");
  ServerFixtureStop(server);
  // Its message, from the binary itself.
  options.access_file = "";
  server = ServerFixtureStart(options, &error);
  ASSERT_NE(server, nullptr) << error;
  ServerFixtureKill(server, SIGTERM);
  ASSERT_TRUE(WriteFileText(server->access_path, bad));
  std::string out;
  EXPECT_EQ(RunServerBriefly("--conf " + server->conf_path, &out), 1);
  EXPECT_EQ(out, "korvid-server: access file " + server->access_path +
                     ", line 6: unknown key \"owner\" (database, read, write, host, access)\n");
  ServerFixtureStop(server);
}

}  // namespace
