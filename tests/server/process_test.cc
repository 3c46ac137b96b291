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
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <sqlite3.h>

#include "msql/conf/config.h"
#include "msql/msql.h"
#include "tests/support/server_fixture.h"

namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string &path, const std::string &text) {
  std::ofstream out(path);
  out << text;
}

// Runs the server binary for at most 5 s; its exit status and standard error.
int RunBriefly(const std::string &args, std::string *err) {
  std::string command = "timeout 5 " + ServerBinaryPath() + " " + args + " 2>&1 >/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[512];
  err->clear();
  while (fgets(buf, sizeof buf, p)) *err += buf;
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The real and effective uid of a running process, from /proc.
std::string UidsOf(pid_t pid) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
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
  if (!getpwnam("korvidtest") &&
      system("useradd --system --no-create-home --shell /usr/sbin/nologin korvidtest >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "cannot make the user korvidtest";
  }
  struct passwd *pw = getpwnam("korvidtest");
  ASSERT_NE(pw, nullptr);
  uid_t uid = pw->pw_uid;
  char dir[] = "/tmp/korvid-process-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  // Its home, where it makes its data directory, belongs to it; the
  // socket and the pid file are made there by root before it changes.
  chmod(dir, 0755);
  ASSERT_EQ(chown(dir, uid, pw->pw_gid), 0);
  std::string d = dir, conf = d + "/msql.conf", data = d + "/data", sock = d + "/msql.sock";
  WriteFile(conf, "[general]\nmsql_user = korvidtest\nadmin_user = root\ninst_dir = " + d + "\ndb_dir = " + data +
                      "\nunix_port = " + sock + "\npid_file = " + d + "/msql.pid\ntcp_port = 0\n");
  auto start = [&]() -> pid_t {
    pid_t pid = fork();
    if (pid == 0) {
      execl(ServerBinaryPath().c_str(), ServerBinaryPath().c_str(), "--conf", conf.c_str(), (char *)nullptr);
      _exit(127);
    }
    msqlConfigLoad(conf.c_str());
    for (int i = 0; i < 500; i++) {
      int s = msqlConnect(nullptr);
      if (s >= 0) {
        msqlClose(s);
        break;
      }
      usleep(20000);
    }
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
  std::unique_ptr<ServerFixture, void (*)(ServerFixture *)> stop_fixture(f, ServerFixtureStop);
  std::string victim = f->dir + "/victim";
  WriteFile(victim, "keep\n");

  // A second server on the same pid file is refused, whatever its socket.
  EXPECT_EQ(RunBriefly("--conf " + f->conf_path + " --socket " + f->dir + "/second.sock --port 0", &error), 1);
  EXPECT_EQ(error, "korvid-server: another korvid-server runs with pid file " + f->pid_file + "\n");
  ServerFixtureKill(f, SIGTERM);

  // A link at the pid file.
  unlink(f->pid_file.c_str());
  ASSERT_EQ(symlink(victim.c_str(), f->pid_file.c_str()), 0);
  EXPECT_EQ(RunBriefly("--conf " + f->conf_path, &error), 1);
  EXPECT_EQ(error, "korvid-server: cannot use pid file " + f->pid_file + ": it is a symbolic link\n");
  EXPECT_EQ(ReadFile(victim), "keep\n");
  unlink(f->pid_file.c_str());

  // A regular file at the socket path.
  WriteFile(f->socket_path, "someone's data\n");
  EXPECT_EQ(RunBriefly("--conf " + f->conf_path, &error), 1);
  EXPECT_EQ(error, "korvid-server: " + f->socket_path +
                       " exists and is not a socket; it is left alone and no socket is made\n");
  EXPECT_EQ(ReadFile(f->socket_path), "someone's data\n");
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
  EXPECT_EQ(ReadFile(victim), "keep\n");
}

TEST(ProcessTest, ReadOnlyLeavesAnSqliteFilesJournalAlone) {
  ServerFixtureOptions options;
  options.read_only = true;
  std::string error;
  ServerFixture *f = ServerFixtureStart(options, &error);
  ASSERT_NE(f, nullptr) << error;
  std::unique_ptr<ServerFixture, void (*)(ServerFixture *)> stop_fixture(f, ServerFixtureStop);
  // Made as the sqlite3 shell makes it: a rollback journal.
  std::string path = f->data_dir + "/shell.db";
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (id int); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string before = ReadFile(path);
  int s = msqlConnect(nullptr);
  ASSERT_GE(s, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s, "shell"), 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(s, "SELECT id FROM t"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  EXPECT_EQ(msqlQuery(s, "DELETE FROM t"), -1);
  msqlClose(s);
  // Bytes 18 and 19 of the header are 2 in WAL mode; the file is as it was.
  std::string after = ReadFile(path);
  ASSERT_GT(after.size(), 20u);
  EXPECT_EQ(after[18], 1);
  EXPECT_EQ(after, before);
  EXPECT_NE(access((path + "-wal").c_str(), F_OK), 0);
}

}  // namespace
