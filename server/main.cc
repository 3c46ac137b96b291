// korvid-server: a protocol-23 database server over SQLite files or a
// PostgreSQL server. main() reads msql.conf and the options, starts the
// engine, opens the sockets, and runs the accept loop; each connection gets
// a thread of its own (protocol.cc). --load runs a script of statements into
// a database instead and exits (sqlite/load.cc).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>
#include <thread>

#include "msql/conf/config.h"
#include "msql/conf/config_internal.h"
#include "msql/packet.h"
#include "server/process.h"
#include "server/server.h"
#include "server/sqlite/load.h"

namespace {

// Exit statuses.
enum { EXIT_OK = 0, EXIT_FAILURE_RUN = 1, EXIT_USAGE = 1 };

const char kUsage[] =
    "Usage: korvid-server [options]\n"
    "  --conf FILE         read FILE instead of the default msql.conf\n"
    "  --data DIR          database directory (default: db_dir)\n"
    "  --socket PATH       UNIX socket (default: unix_port)\n"
    "  --port N            TCP port, 0 for none (default: tcp_port)\n"
    "  --postgresql CONNINFO  serve the databases of a PostgreSQL server, reached with the\n"
    "                      libpq connection string CONNINFO (default: [postgresql] conninfo)\n"
    "  --load NAME FILE    (re)create database NAME from the statements in FILE, then exit\n"
    "  --help              show this text\n"
    "Exit status: 0 after a shutdown request or a termination signal; 1 for bad options\n"
    "or when the server cannot run.\n";

Server *g_server = nullptr;  // for the signal handler only

// How often the accept loop looks at running statements, in ms: how late a
// time limit, a hang-up or a shutdown may stop one.
const int WATCH_INTERVAL_MS = 200;
// How long a shutdown waits for interrupted statements to end, in ms.
const int SHUTDOWN_WAIT_MS = 1000;

// RequestShutdown is an atomic store and a write: safe inside the handler.
void OnTerminate(int) {
  if (g_server) RequestShutdown(g_server);
}

struct Worker {
  Connection conn;
  std::thread thread;
  std::atomic<bool> done{false};
};

std::string ConfigText(const char *section, const char *element) {
  const char *v = msqlConfigGetString(section, element);
  return v ? v : "";
}

int ListenUnix(const std::string &path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "korvid-server: socket path too long: %s\n", path.c_str());
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A socket file that nobody answers on is a leftover: replace it. One that
  // answers belongs to a running server.
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0) {
    fprintf(stderr, "korvid-server: a server is already listening on %s\n", path.c_str());
    close(fd);
    return -1;
  }
  close(fd);
  // Only a socket is ever removed: a file at the path is someone's data.
  if (NotASocket(path)) {
    fprintf(stderr, "korvid-server: %s exists and is not a socket; it is left alone and no socket is made\n",
            path.c_str());
    return -1;
  }
  unlink(path.c_str());
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "korvid-server: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

int ListenTcp(int port, bool remote) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(remote ? INADDR_ANY : INADDR_LOOPBACK);
  if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "korvid-server: cannot listen on TCP port %d: %s\n", port, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void RefuseBusy(int fd) {
  static const char kBusy[] = "-1:Too many connections\n";
  unsigned char packet[PACKET_HEADER + sizeof kBusy];
  PacketWriter w;
  msqlWriterInit(&w, packet, sizeof packet);
  msqlWriterBegin(&w);
  msqlWriterAppend(&w, kBusy, sizeof kBusy - 1);
  msqlWriterEnd(&w);
  ssize_t ignored = send(fd, w.data, w.used, MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
  close(fd);
}

void Reap(std::list<std::unique_ptr<Worker>> *workers, bool all) {
  for (auto it = workers->begin(); it != workers->end();) {
    Worker *w = it->get();
    if (all && !w->done) shutdown(w->conn.fd, SHUT_RDWR);
    if (all || w->done) {
      w->thread.join();
      close(w->conn.fd);
      it = workers->erase(it);
    } else {
      ++it;
    }
  }
}

// Starts the thread that serves a new connection; false when there is no
// room for another (the client has then been told and closed).
bool StartWorker(Server *server, int fd, bool local, std::list<std::unique_ptr<Worker>> *workers) {
  if (server->connections >= server->config.max_connections) {
    RefuseBusy(fd);
    return false;
  }
  // Room to run ahead of a client that is busy with earlier rows.
  int sndbuf = SOCKET_SEND_BUFFER;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (!local) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  auto w = std::make_unique<Worker>();
  w->conn.server = server;
  w->conn.fd = fd;
  w->conn.local = local;
  server->connections++;
  Worker *raw = w.get();
  // std::thread reports a failure to start by throwing; the client is
  // then told and closed, and the server carries on.
  try {
    w->thread = std::thread([raw, server]() {
      ServeConnection(&raw->conn);
      // Tell the peer at once; the descriptor itself is closed when the
      // accept loop reaps this worker, so its number cannot be reused
      // while the loop may still shut it down.
      shutdown(raw->conn.fd, SHUT_RDWR);
      server->connections--;
      raw->done = true;
    });
  } catch (const std::system_error &) {
    server->connections--;
    RefuseBusy(fd);
    return false;
  }
  workers->push_back(std::move(w));
  return true;
}

// Accepts connections on the listening sockets until a shutdown is asked
// for, then wakes and finishes every live one, so that each closes its
// database before the process ends.
void AcceptLoop(Server *server, int unix_fd, int tcp_fd) {
  std::list<std::unique_ptr<Worker>> workers;
  while (!server->shutting_down) {
    struct pollfd fds[3];
    int n = 0;
    fds[n++] = {server->wake_pipe[0], POLLIN, 0};
    if (unix_fd >= 0) fds[n++] = {unix_fd, POLLIN, 0};
    if (tcp_fd >= 0) fds[n++] = {tcp_fd, POLLIN, 0};
    // Woken at least every WATCH_INTERVAL_MS to look at running
    // statements: their time limits and clients that hang up.
    int ready = poll(fds, n, WATCH_INTERVAL_MS);
    Reap(&workers, false);
    for (auto &w : workers) WatchConnection(&w->conn);
    if (ready <= 0) continue;
    for (int i = 1; i < n; i++) {
      if (!(fds[i].revents & POLLIN)) continue;
      int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) StartWorker(server, fd, fds[i].fd == unix_fd, &workers);
    }
  }
  if (unix_fd >= 0) close(unix_fd);
  if (tcp_fd >= 0) close(tcp_fd);
  // Running statements are interrupted (a transaction not yet committed is
  // rolled back; every committed one is in the file or its log) so that
  // each thread ends and closes its database.
  for (auto &w : workers) WatchConnection(&w->conn);
  // Their refusals are sent before the sockets are shut; a statement that
  // an interrupt does not reach in time is cut off with its socket.
  for (int waited = 0; waited < SHUTDOWN_WAIT_MS; waited += 10) {
    bool busy = false;
    for (auto &w : workers) busy = busy || (!w->done && w->conn.busy_since != 0);
    if (!busy) break;
    usleep(10000);
  }
  Reap(&workers, true);
}

// Binds the sockets the configuration names (root may be needed for
// that); false when one cannot be. They listen only once the server has
// passed its checks (Serve), so that no client is let in to a server that
// is about to refuse to run.
bool BindSockets(const ServerConfig &cfg, int *unix_fd, int *tcp_fd) {
  if (!cfg.unix_path.empty() && (*unix_fd = ListenUnix(cfg.unix_path)) < 0) return false;
  if (cfg.tcp_port > 0 && (*tcp_fd = ListenTcp(cfg.tcp_port, cfg.remote_access)) < 0) {
    if (*unix_fd >= 0) {
      close(*unix_fd);
      unlink(cfg.unix_path.c_str());
    }
    return false;
  }
  if (*unix_fd < 0 && *tcp_fd < 0) {
    fprintf(stderr, "korvid-server: neither a UNIX socket nor a TCP port to listen on\n");
    return false;
  }
  return true;
}

int Serve(Server *server, int unix_fd, int tcp_fd) {
  const ServerConfig &cfg = server->config;
  if ((unix_fd >= 0 && listen(unix_fd, 128) != 0) || (tcp_fd >= 0 && listen(tcp_fd, 128) != 0)) {
    fprintf(stderr, "korvid-server: cannot listen: %s\n", strerror(errno));
    return EXIT_FAILURE_RUN;
  }
  if (unix_fd >= 0) chmod(cfg.unix_path.c_str(), 0777);  // anyone may connect; the login checks who
  AcceptLoop(server, unix_fd, tcp_fd);
  if (!cfg.unix_path.empty()) unlink(cfg.unix_path.c_str());
  // Only a pid file this server made and holds is removed.
  if (server->pid_fd >= 0) unlink(cfg.pid_file.c_str());
  return EXIT_OK;
}

bool ParsePort(const char *text, int *port) {
  char *end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 65535) return false;
  *port = (int)v;
  return true;
}

// The command line; null or -1 where an option was not given.
struct Options {
  const char *conf = nullptr, *data = nullptr, *socket_path = nullptr;
  const char *load_name = nullptr, *load_file = nullptr, *conninfo = nullptr;
  int port = -1;
};

// Reads the options: -1 to go on, or the exit status after --help or a bad
// option.
int ParseOptions(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return EXIT_OK;
    } else if (a == "--conf" && has_value) {
      o->conf = argv[++i];
    } else if (a == "--data" && has_value) {
      o->data = argv[++i];
    } else if (a == "--socket" && has_value) {
      o->socket_path = argv[++i];
    } else if (a == "--port" && has_value) {
      if (!ParsePort(argv[++i], &o->port)) {
        fprintf(stderr, "korvid-server: bad port \"%s\"\n%s", argv[i], kUsage);
        return EXIT_USAGE;
      }
    } else if (a == "--postgresql" && has_value) {
      o->conninfo = argv[++i];
    } else if (a == "--load" && i + 2 < argc) {
      o->load_name = argv[++i];
      o->load_file = argv[++i];
    } else {
      fprintf(stderr, "korvid-server: unknown or incomplete option \"%s\"\n%s", a.c_str(), kUsage);
      return EXIT_USAGE;
    }
  }
  return -1;
}

// The settings: msql.conf's, with the options over them. False when the
// file named cannot be read.
bool ReadSettings(const Options &o, ServerConfig *cfg) {
  // The reader looks under the installation directory before it takes a
  // name as it stands; a file that exists here is passed by its full path so
  // that "--conf msql.conf" never picks up the installed one instead.
  const char *conf = o.conf;
  char conf_path[PATH_MAX];
  if (conf && realpath(conf, conf_path)) conf = conf_path;
  if (conf && msqlConfigLoad(conf) != 0) {
    fprintf(stderr, "korvid-server: cannot read configuration file %s\n", conf);
    return false;
  }
  if (!conf) msqlConfigLoad(nullptr);  // no file: the defaults hold
  // The reader takes a longer line as two, so the server would run with the
  // first part of a value (a conninfo naming another server or user) and
  // the rest reported only as an unknown element: a line of the server's
  // own sections that was not read whole is refused.
  int cut = 0;
  for (const char *section : {"general", "system", "postgresql"}) {
    int line = msqlConfigCutLine(section);
    if (line > 0 && (cut == 0 || line < cut)) cut = line;
  }
  if (cut > 0) {
    fprintf(stderr, "korvid-server: line %d of %s is longer than %d characters and cannot be read whole\n", cut,
            conf ? conf : "msql.conf", CONF_LINE_SIZE - 1);
    return false;
  }
  cfg->data_dir = o.data ? o.data : ConfigText("general", "db_dir");
  if (msqlConfigGetInt("system", "local_access") == 1) cfg->unix_path = ConfigText("general", "unix_port");
  if (o.socket_path) cfg->unix_path = o.socket_path;
  cfg->tcp_port = o.port >= 0 ? o.port : msqlConfigGetInt("general", "tcp_port");
  if (cfg->tcp_port < 0 || cfg->tcp_port > 65535) cfg->tcp_port = 0;
  cfg->remote_access = msqlConfigGetInt("system", "remote_access") == 1;
  cfg->pid_file = ConfigText("general", "pid_file");
  cfg->admin_user = ConfigText("general", "admin_user");
  cfg->msql_user = ConfigText("general", "msql_user");
  cfg->acl_file = ConfigText("general", "acl_file");
  cfg->host_lookup = msqlConfigGetInt("system", "host_lookup") == 1;
  cfg->read_only = msqlConfigGetInt("system", "read_only") == 1;
  cfg->query_log = msqlConfigGetInt("system", "query_log") == 1;
  cfg->query_log_file = ConfigText("system", "query_log_file");
  while (cfg->data_dir.size() > 1 && cfg->data_dir.back() == '/') cfg->data_dir.pop_back();
  cfg->pg_conninfo = o.conninfo ? o.conninfo : ConfigText("postgresql", "conninfo");
  cfg->pg_allow_file_access = msqlConfigGetInt("postgresql", "allow_server_file_access") == 1;
  cfg->pg_role_map = ConfigText("postgresql", "role_map");
  cfg->statement_timeout = std::max(0, msqlConfigGetInt("system", "statement_timeout"));
  cfg->idle_timeout = std::max(0, msqlConfigGetInt("system", "idle_timeout"));
  cfg->login_timeout = std::max(0, msqlConfigGetInt("system", "login_timeout"));
  cfg->write_timeout = std::max(0, msqlConfigGetInt("system", "write_timeout"));
  // A value longer than a row packet could never be sent.
  int value_limit = msqlConfigGetInt("system", "value_limit");
  cfg->value_limit = value_limit > 0 && value_limit < MAX_PACKET ? (size_t)value_limit : MAX_PACKET;
  return true;
}

// Serves until a shutdown request or a termination signal.
int RunServer(Server *server, int unix_fd, int tcp_fd) {
  const ServerConfig &cfg = server->config;
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(server->wake_pipe, O_CLOEXEC) != 0) return EXIT_FAILURE_RUN;
  if (cfg.query_log) {
    std::string error;
    server->query_log = OpenQueryLog(cfg.query_log_file, &error);
    if (!server->query_log) fprintf(stderr, "korvid-server: %s\n", error.c_str());
  }
  g_server = server;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTerminate;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  int status = Serve(server, unix_fd, tcp_fd);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  g_server = nullptr;
  if (server->query_log) fclose(server->query_log);
  close(server->wake_pipe[0]);
  close(server->wake_pipe[1]);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int status = ParseOptions(argc, argv, &options);
  if (status >= 0) return status;
  Server *server = new Server;
  const ServerConfig &cfg = server->config;
  if (!ReadSettings(options, &server->config)) {
    delete server;
    return EXIT_FAILURE_RUN;
  }
  if (!cfg.pg_conninfo.empty()) {
    server->engine = &kPostgresEngine;
    if (options.load_name) {
      fprintf(stderr, "korvid-server: --load fills SQLite files; load into PostgreSQL with psql\n");
      delete server;
      return EXIT_USAGE;
    }
  }
  // Files and folders the server makes are its user's alone.
  umask(SERVER_UMASK);
  std::string error, warning;
  int unix_fd = -1, tcp_fd = -1;
  if (!options.load_name) {
    // A malformed access file is refused now rather than served by rules
    // other than the ones written.
    AccessRules rules;
    if (!AccessLoad(cfg.acl_file, cfg.remote_access, &rules, &error)) {
      fprintf(stderr, "korvid-server: %s\n", error.c_str());
      delete server;
      return EXIT_FAILURE_RUN;
    }
    server->access = std::make_shared<const AccessRules>(std::move(rules));
    // The pid file's lock first: a second server on the same files goes
    // no further. Then the sockets, which may need root to be bound.
    if (!cfg.pid_file.empty()) server->pid_fd = OpenPidFile(cfg.pid_file, &error);
    if (server->pid_fd == PID_FILE_UNWRITABLE) {
      fprintf(stderr, "korvid-server: warning: %s\n", error.c_str());
    } else if (server->pid_fd < 0 && !cfg.pid_file.empty()) {
      fprintf(stderr, "korvid-server: %s\n", error.c_str());
      delete server;
      return EXIT_FAILURE_RUN;
    }
    if (!BindSockets(cfg, &unix_fd, &tcp_fd)) {
      delete server;
      return EXIT_FAILURE_RUN;
    }
  }
  // From here on as msql_user: the engine's files and connections are made
  // with its rights.
  if (!DropPrivileges(cfg.msql_user, &warning, &error) || !server->engine->start(&server->config, &error)) {
    fprintf(stderr, "korvid-server: %s\n", error.c_str());
    delete server;
    return EXIT_FAILURE_RUN;
  }
  if (!warning.empty() && !options.load_name) fprintf(stderr, "korvid-server: warning: %s\n", warning.c_str());
  if (options.load_name) {
    status = LoadScript(cfg, options.load_name, options.load_file) ? EXIT_OK : EXIT_FAILURE_RUN;
  } else {
    status = RunServer(server, unix_fd, tcp_fd);
  }
  delete server;
  return status;
}
