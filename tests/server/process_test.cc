// korvid-server as a process: started as root it becomes msql_user and
// keeps its files to that user; it serves a data directory it cannot write
// read-only; it never writes through a link planted at its pid file or query
// log, never removes a file at its socket path, and a second server on the
// same pid file is refused. SQLite files under read_only keep their journal.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <sqlite3.h>

#include "msql/conf/config.h"
#include "msql/msql.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

// The real and effective uid of a running process, from /proc.
std::string UidsOf(pid_t pid) {
  std::istringstream status(ReadFileText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") == 0) {
      std::istringstream fields(line.substr(4));
      std::string real, effective;
      fields >> real >> effective;
      return real + " " + effective;
    }
  }
  return "";
}

TEST(ProcessTest, StartedAsRootItBecomesMsqlUserAndKeepsItsFilesToItself) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  uid_t uid;
  if (!OtherUser(&uid)) GTEST_SKIP() << "cannot make the user korvidtest";
  struct passwd *pw = getpwuid(uid);
  ASSERT_NE(pw, nullptr);
  char dir[] = "/tmp/korvid-process-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  // Its home, where it makes its data directory, belongs to it; the
  // socket and the pid file are made there by root before it changes.
  chmod(dir, 0755);
  ASSERT_EQ(chown(dir, uid, pw->pw_gid), 0);
  std::string d = dir, conf = d + "/msql.conf", data = d + "/data", sock = d + "/msql.sock";
  WriteFileText(conf, "[general]\nmsql_user = korvidtest\nadmin_user = root\ninst_dir = " + d + "\ndb_dir = " + data +
                      "\nunix_port = " + sock + "\npid_file = " + d + "/msql.pid\ntcp_port = 0\n");
  auto start = [&]() -> pid_t {
    pid_t pid = fork();
    if (pid == 0) {
      execl(ServerBinaryPath().c_str(), ServerBinaryPath().c_str(), "--conf", conf.c_str(), (char *)nullptr);
      _exit(127);
    }
    msqlConfigLoad(conf.c_str());
    int s = WaitForServer();
    if (s >= 0) msqlClose(s);
    return pid;
  };
  auto stop = [](pid_t *pid) {
    kill(*pid, SIGTERM);
    int status;
    waitpid(*pid, &status, 0);
    *pid = -1;
  };

  pid_t pid = start();
  // Stopped on every way out, a failed assertion's too.
  std::unique_ptr<pid_t, void (*)(pid_t *)> running(&pid, [](pid_t *p) {
    if (*p > 0) kill(*p, SIGKILL);
  });
  EXPECT_EQ(UidsOf(pid), std::to_string(uid) + " " + std::to_string(uid));
  struct stat st;
  ASSERT_EQ(stat(data.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  int s = msqlConnect(nullptr);
  ASSERT_GE(s, 0) << msqlErrMsg;
  ASSERT_EQ(msqlCreateDB(s, "made"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "made"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(s, "CREATE TABLE t (id int)"), 0) << msqlErrMsg;
  msqlClose(s);
  ASSERT_EQ(stat((data + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  stop(&pid);

  // A data directory it may not write is served read-only.
  chmod(data.c_str(), 0500);
  pid = start();
  s = msqlConnect(nullptr);
  ASSERT_GE(s, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "made"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(s, "SELECT id FROM t"), 0) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(s, "INSERT INTO t VALUES (1)"), -1);
  EXPECT_STREQ(msqlErrMsg, "Server is read-only: changes are refused");
  msqlClose(s);
  stop(&pid);
  EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
}

TEST(ProcessTest, ItNeverWritesThroughLinksNorRemovesWhatIsNotItsSocket) {
  ServerFixtureOptions options;
  options.query_log = true;
  std::string error;
  ServerFixture *f = ServerFixtureStart(options, &error);
  ASSERT_NE(f, nullptr) << error;
  ServerHolder stop_fixture(f, ServerFixtureStop);
  std::string victim = f->dir + "/victim";
  WriteFileText(victim, "keep\n");

  // A second server on the same pid file is refused, whatever its socket.
  EXPECT_EQ(RunServerBriefly("--conf " + f->conf_path + " --socket " + f->dir + "/second.sock --port 0", &error), 1);
  EXPECT_EQ(error, "korvid-server: another korvid-server runs with pid file " + f->pid_file + "\n");
  ServerFixtureKill(f, SIGTERM);

  // A link at the pid file.
  unlink(f->pid_file.c_str());
  ASSERT_EQ(symlink(victim.c_str(), f->pid_file.c_str()), 0);
  EXPECT_EQ(RunServerBriefly("--conf " + f->conf_path, &error), 1);
  EXPECT_EQ(error, "korvid-server: cannot use pid file " + f->pid_file + ": it is a symbolic link\n");
  EXPECT_EQ(ReadFileText(victim), "keep\n");
  unlink(f->pid_file.c_str());

  // A regular file at the socket path.
  WriteFileText(f->socket_path, "someone's data\n");
  EXPECT_EQ(RunServerBriefly("--conf " + f->conf_path, &error), 1);
  EXPECT_EQ(error, "korvid-server: " + f->socket_path +
                       " exists and is not a socket; it is left alone and no socket is made\n");
  EXPECT_EQ(ReadFileText(f->socket_path), "someone's data\n");
  unlink(f->socket_path.c_str());

  // A link at the query log: the server runs, the log is not written.
  unlink(f->query_log_file.c_str());
  ASSERT_EQ(symlink(victim.c_str(), f->query_log_file.c_str()), 0);
  ASSERT_TRUE(ServerFixtureRestart(f, &error)) << error;
  int s = msqlConnect(nullptr);
  ASSERT_GE(s, 0) << msqlErrMsg;
  EXPECT_EQ(msqlCreateDB(s, "logged"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "logged"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(s, "CREATE TABLE t (id int)"), 0) << msqlErrMsg;
  msqlClose(s);
  EXPECT_EQ(ReadFileText(victim), "keep\n");
}

TEST(ProcessTest, ReadOnlyLeavesAnSqliteFilesJournalAlone) {
  ServerFixtureOptions options;
  options.read_only = true;
  std::string error;
  ServerFixture *f = ServerFixtureStart(options, &error);
  ASSERT_NE(f, nullptr) << error;
  ServerHolder stop_fixture(f, ServerFixtureStop);
  // Made as the sqlite3 shell makes it: a rollback journal.
  std::string path = f->data_dir + "/shell.db";
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (id int); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string before = ReadFileText(path);
  int s = msqlConnect(nullptr);
  ASSERT_GE(s, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "shell"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(s, "SELECT id FROM t"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(s, "DELETE FROM t"), -1);
  msqlClose(s);
  // Bytes 18 and 19 of the header are 2 in WAL mode; the file is as it was.
  std::string after = ReadFileText(path);
  ASSERT_GT(after.size(), 20u);
  EXPECT_EQ(after[18], 1);
  EXPECT_EQ(after, before);
  EXPECT_NE(access((path + "-wal").c_str(), F_OK), 0);
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// The manual's SYSTEM SERVICE example, with the installed files: the unit
// says how the server runs (its own user, a runtime and a state directory
// systemd makes for that user), the configuration and access file are
// copied as the manual says, with /etc/korvid, /run/korvid and
// /var/lib/korvid moved into a temporary directory and korvidtest standing
// in for the user korvid. The sample is loaded as that user, the server run
// as that user, and root changes the sample while another user only reads.
TEST(ServiceTest, TheManualsSystemServiceExampleRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct passwd *pw = getpwnam("korvidtest");
  if (!pw) GTEST_SKIP() << "needs the user korvidtest";
  uid_t service_uid = pw->pw_uid;
  gid_t service_gid = pw->pw_gid;
  pw = getpwnam("nobody");
  if (!pw) GTEST_SKIP() << "needs the user nobody";
  uid_t nobody_uid = pw->pw_uid;
  char dir[] = "/tmp/korvid-service-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  chmod(dir, 0755);
  std::string t = dir, stage = t + "/stage";
  // The server's part of cmake --install (component korvid-server), so that
  // the rest of the tree need not be built.
  std::string install = "cmake --install " + std::string(KORVID_BINARY_DIR) + " --prefix " + stage +
                        " --component korvid-server >" + t + "/install.log 2>&1";
  ASSERT_EQ(system(install.c_str()), 0) << ReadFileText(t + "/install.log");

  std::string unit = ReadFileText(stage + "/lib/systemd/system/korvid-server.service");
  for (const char *line : {"\nUser=korvid\n", "\nRuntimeDirectory=korvid\n", "\nStateDirectory=korvid\n",
                           "\nStateDirectoryMode=0700\n", "\nUMask=0077\n", "\nWantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_NE(unit.find("/korvid-server --conf /etc/korvid/msql.conf\n"), std::string::npos) << unit;

  // mkdir -p /etc/korvid; cp .../msql.conf .../msql.acl /etc/korvid
  std::string etc = t + "/etc", run = t + "/run", lib = t + "/lib";
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  std::string conf = ReadFileText(stage + "/share/korvid/service/msql.conf");
  ASSERT_NE(conf.find("msql_user = korvid\n"), std::string::npos) << conf;
  conf = Replace(Replace(Replace(conf, "/etc/korvid", etc), "/run/korvid", run), "/var/lib/korvid", lib);
  conf = Replace(Replace(conf, "msql_user = korvid\n", "msql_user = korvidtest\n"), "tcp_port = 1114", "tcp_port = 0");
  WriteFileText(etc + "/msql.conf", conf);
  WriteFileText(etc + "/msql.acl", ReadFileText(stage + "/share/korvid/service/msql.acl"));
  // What systemd makes for User=korvid.
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(lib.c_str(), 0700), 0);
  ASSERT_EQ(chown(run.c_str(), service_uid, service_gid), 0);
  ASSERT_EQ(chown(lib.c_str(), service_uid, service_gid), 0);

  std::string server = stage + "/bin/korvid-server";
  WriteFileText(t + "/sample.sql", ReadFileText(std::string(KORVID_SOURCE_DIR) + "/resources/sample.sql"));
  std::string load = "runuser -u korvidtest -- " + server + " --conf " + etc + "/msql.conf --load sample " + t +
                     "/sample.sql >/dev/null";
  ASSERT_EQ(system(load.c_str()), 0);
  pid_t pid = fork();
  if (pid == 0) {
    execlp("runuser", "runuser", "-u", "korvidtest", "--", server.c_str(), "--conf", (etc + "/msql.conf").c_str(),
           (char *)nullptr);
    _exit(127);
  }
  std::unique_ptr<pid_t, void (*)(pid_t *)> running(&pid, [](pid_t *p) {
    kill(*p, SIGTERM);
    int status;
    waitpid(*p, &status, 0);
  });
  // MSQL_CONF_FILE=/etc/korvid/msql.conf korvid sample people
  msqlConfigLoad((etc + "/msql.conf").c_str());
  int s = WaitForServer();
  ASSERT_GE(s, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "sample"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(s, "DELETE FROM people WHERE id = 1"), 1) << msqlErrMsg;
  msqlClose(s);
  EXPECT_EQ(AsUser(nobody_uid,
                   [] {
                     int sock = msqlConnect(nullptr);
                     if (sock < 0) return std::string(msqlErrMsg);
                     std::string t = std::to_string(msqlSelectDB(sock, "sample"));
                     t += " " + std::to_string(msqlQuery(sock, "SELECT id FROM people WHERE id = 1"));
                     msqlFreeResult(msqlStoreResult());
                     t += " " + std::to_string(msqlQuery(sock, "DELETE FROM people")) + " " + msqlErrMsg;
                     msqlClose(sock);
                     return t;
                   }),
            "0 0 -1 Write access to database denied");
  struct stat st;
  ASSERT_EQ(stat((lib + "/sample").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, service_uid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  running.reset();
  EXPECT_EQ(system(("rm -rf " + t).c_str()), 0);
}

}  // namespace
