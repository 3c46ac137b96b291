// The korvid-server fixture: see server_fixture.h for the API.
#include "tests/support/server_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "msql/conf/config.h"
#include "msql/msql.h"
#include "server/sqlite/load.h"
#include "tests/support/pg_fixture.h"

namespace {

void SetError(std::string *error, const std::string &text) {
  if (error) *error = text;
}

std::string CurrentUser() {
  struct passwd *pw = getpwuid(geteuid());
  if (pw) return pw->pw_name;
  const char *user = getenv("USER");
  return user ? user : "root";
}

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, (struct sockaddr *)&addr, sizeof addr) == 0 &&
      getsockname(fd, (struct sockaddr *)&addr, &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool WriteConf(ServerFixture *f) {
  FILE *conf = fopen(f->conf_path.c_str(), "w");
  if (!conf) return false;
  const ServerFixtureOptions &o = f->options;
  fprintf(conf,
          "[general]\n"
          "msql_user = %s\n"
          "admin_user = %s\n"
          "pid_file = %s\n"
          "inst_dir = %s\n"
          "db_dir = %s\n"
          "tcp_port = %d\n"
          "unix_port = %s\n"
          "%s\n"
          "\n[system]\n"
          "read_only = %d\n"
          "local_access = 1\n"
          "remote_access = 0\n"
          "query_log = %d\n"
          "query_log_file = %s\n"
          "%s\n",
          o.msql_user.empty() ? CurrentUser().c_str() : o.msql_user.c_str(),
          o.admin_user.empty() ? CurrentUser().c_str() : o.admin_user.c_str(), f->pid_file.c_str(),
          f->dir.c_str(), f->data_dir.c_str(), f->tcp_port, f->socket_path.c_str(), o.extra_general.c_str(),
          o.read_only ? 1 : 0,
          o.query_log ? 1 : 0, f->query_log_file.c_str(), o.extra_system.c_str());
  if (!o.access_file.empty()) {
    FILE *acl = fopen(f->access_path.c_str(), "w");
    if (!acl) {
      fclose(conf);
      return false;
    }
    fputs(o.access_file.c_str(), acl);
    fclose(acl);
  }
  if (f->pg) {
    fprintf(conf, "\n[postgresql]\nconninfo = %s %s\nallow_server_file_access = %d\n%s\n", f->pg->conninfo.c_str(),
            o.pg_conninfo_extra.c_str(), o.pg_allow_file_access ? 1 : 0, o.extra_postgresql.c_str());
  }
  return fclose(conf) == 0;
}

// Runs the server binary with arguments and waits; returns its exit status.
int RunServer(const std::vector<std::string> &args) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<char *> argv;
    std::string binary = ServerBinaryPath();
    argv.push_back(&binary[0]);
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SocketAccepts(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  bool ok = connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0;
  close(fd);
  return ok;
}

// Starts the server process and waits for its socket. The probe connection
// is closed before the greeting is read; the server takes that in stride.
bool Launch(ServerFixture *f, std::string *error) {
  pid_t pid = fork();
  if (pid < 0) {
    SetError(error, "fork failed");
    return false;
  }
  if (pid == 0) {
    std::string binary = ServerBinaryPath();
    execl(binary.c_str(), binary.c_str(), "--conf", f->conf_path.c_str(), (char *)nullptr);
    _exit(127);
  }
  f->pid = pid;
  for (int i = 0; i < 1000; i++) {  // up to 20 s (sanitizer builds start slowly)
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      f->pid = -1;
      SetError(error, "korvid-server exited at start (status " +
                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
      return false;
    }
    if (SocketAccepts(f->socket_path)) return true;
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  SetError(error, "korvid-server did not start listening");
  ServerFixtureKill(f, SIGKILL);
  return false;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

}  // namespace

std::string SampleSqlPath() { return std::string(KORVID_SOURCE_DIR) + "/resources/sample.sql"; }

std::string ServerBinaryPath() { return std::string(KORVID_BINARY_DIR) + "/server/korvid-server"; }

namespace {

bool LoadThroughServer(ServerFixture *f, const std::string &name, const std::string &script, std::string *error) {
  std::string out;
  if (!PgFixtureSql(f->pg, "template1", "SELECT 1 FROM pg_database WHERE datname = '" + name + "'", &out)) {
    SetError(error, out);
    return false;
  }
  if (out.empty() && !PgFixtureSql(f->pg, "template1", "CREATE DATABASE " + name, &out)) {
    SetError(error, "CREATE DATABASE " + name + ": " + out);
    return false;
  }
  FILE *in = fopen(script.c_str(), "rb");
  if (!in) {
    SetError(error, "cannot read " + script);
    return false;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  fclose(in);
  int sock = msqlConnect(nullptr);
  if (sock < 0 || msqlSelectDB(sock, name.c_str()) != 0) {
    SetError(error, std::string("loading ") + name + ": " + msqlErrMsg);
    if (sock >= 0) msqlClose(sock);
    return false;
  }
  bool ok = true;
  for (const std::string &statement : SplitScript(text)) {
    if (msqlQuery(sock, statement.c_str()) < 0) {
      SetError(error, script + ": " + statement.substr(0, 80) + ": " + msqlErrMsg);
      ok = false;
      break;
    }
  }
  msqlClose(sock);
  return ok;
}

}  // namespace

bool ServerFixtureLoad(ServerFixture *f, const std::string &name, const std::string &script,
                       std::string *error) {
  if (f->pg) return LoadThroughServer(f, name, script, error);
  int status = RunServer({"--conf", f->conf_path, "--load", name, script});
  if (status != 0) {
    SetError(error, "loading " + script + " into " + name + " failed (status " + std::to_string(status) + ")");
    return false;
  }
  return true;
}

ServerFixture *ServerFixtureStart(const ServerFixtureOptions &options, std::string *error) {
  char pattern[] = "/tmp/korvid-server-XXXXXX";
  if (!mkdtemp(pattern)) {
    SetError(error, std::string("mkdtemp: ") + strerror(errno));
    return nullptr;
  }
  ServerFixture *f = new ServerFixture;
  f->options = options;
  f->dir = pattern;
  f->conf_path = f->dir + "/msql.conf";
  f->data_dir = f->dir + "/data";
  f->socket_path = f->dir + "/msql.sock";
  f->pid_file = f->dir + "/msql.pid";
  f->query_log_file = f->dir + "/query.log";
  f->access_path = f->dir + "/msql.acl";
  bool ok = mkdir(f->data_dir.c_str(), 0755) == 0;
  for (size_t i = 0; ok && i < options.database_scripts.size(); i++) {
    const auto &db = options.database_scripts[i];
    std::string path = f->dir + "/" + db.first + ".sql";
    FILE *script = fopen(path.c_str(), "wb");
    ok = script && fwrite(db.second.data(), 1, db.second.size(), script) == db.second.size();
    if (script && fclose(script) != 0) ok = false;
    if (!ok) SetError(error, "cannot write " + path);
    f->options.databases.push_back({db.first, path});
  }
  if (ok && options.postgresql) {
    f->pg = PgFixtureStart(f->dir, error);
    ok = f->pg != nullptr;
  }
  // A free port can be taken by someone else before the server binds it:
  // then the server exits at once and another port is tried.
  for (int attempt = 0; ok && attempt < 5; attempt++) {
    f->tcp_port = options.tcp ? FreeTcpPort() : 0;
    if (!WriteConf(f)) {
      SetError(error, "cannot write " + f->conf_path);
      ok = false;
      break;
    }
    if (attempt == 0 && !f->pg) {
      for (const auto &db : f->options.databases) {
        if (!ServerFixtureLoad(f, db.first, db.second, error)) ok = false;
      }
      if (!ok) break;
    }
    ok = Launch(f, error);
    if (ok || !options.tcp) break;
    ok = true;
    if (attempt == 4) ok = false;
  }
  if (ok) {
    setenv("MSQL_CONF_FILE", f->conf_path.c_str(), 1);
    msqlConfigLoad(f->conf_path.c_str());
  }
  for (size_t i = 0; ok && f->pg && i < f->options.databases.size(); i++) {
    ok = ServerFixtureLoad(f, f->options.databases[i].first, f->options.databases[i].second, error);
  }
  if (!ok) {
    ServerFixtureStop(f);
    return nullptr;
  }
  return f;
}

int ServerFixtureKill(ServerFixture *f, int signal) {
  if (!f || f->pid <= 0) return -1;
  kill(f->pid, signal);
  int status = -1;
  while (waitpid(f->pid, &status, 0) < 0 && errno == EINTR) {
  }
  f->pid = -1;
  return status;
}

bool ServerFixtureRestart(ServerFixture *f, std::string *error) {
  if (f->pid > 0) ServerFixtureKill(f, SIGTERM);
  return Launch(f, error);
}

void ServerFixtureStop(ServerFixture *f) {
  if (!f) return;
  if (f->pid > 0) {
    kill(f->pid, SIGTERM);
    int status;
    for (int i = 0; i < 250 && f->pid > 0; i++) {
      if (waitpid(f->pid, &status, WNOHANG) == f->pid) f->pid = -1;
      struct timespec ts = {0, 20 * 1000 * 1000};
      if (f->pid > 0) nanosleep(&ts, nullptr);
    }
    ServerFixtureKill(f, SIGKILL);
  }
  PgFixtureStop(f->pg);
  if (!f->dir.empty()) nftw(f->dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  delete f;
}
