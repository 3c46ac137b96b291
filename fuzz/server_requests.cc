// libFuzzer target: arbitrary bytes from a client on one korvid-server
// connection, served by the server's own connection handler over a socket
// pair: login, database selection, statements, catalog and administration
// requests, malformed lengths and truncated packets alike. The database "db"
// is made afresh for each input, so every input replays alone.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "server/server.h"
#include "server/sqlite/sqlite.h"

namespace {

std::string &DataDir() {
  static std::string dir;
  if (dir.empty()) {
    // On tmpfs where there is one: the database is remade for every input,
    // and its syncs would otherwise dominate.
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/korvid-fuzz-server-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) abort();
    dir = pattern;
    atexit([] {
      std::string error;
      DbDrop(DataDir(), "db", &error);
      rmdir(DataDir().c_str());
    });
  }
  return dir;
}

void FreshDatabase(const std::string &dir) {
  std::string error;
  if (DbExists(dir, "db")) DbDrop(dir, "db", &error);
  if (!DbCreate(dir, "db", &error)) abort();
  sqlite3 *db = DbOpen(DbPath(dir, "db"), false, false, &error);
  if (db == nullptr) abort();
  sqlite3_exec(db,
               "CREATE TABLE t (a INT NOT NULL, b CHAR(10), c REAL, d TEXT);"
               "CREATE UNIQUE INDEX \"t.k\" ON t (a);"
               "INSERT INTO t VALUES (1, 'one', 1.5, 'x'), (2, NULL, NULL, 'y');",
               nullptr, nullptr, nullptr);
  DbClose(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  signal(SIGPIPE, SIG_IGN);
  static Server server;
  server.config.data_dir = DataDir();
  FreshDatabase(server.config.data_dir);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The client: writes the input, then reads every reply until the server
  // closes, so that no reply can block the server.
  std::thread client([&] {
    size_t at = 0;
    while (at < size) {
      ssize_t n = write(fds[1], data + at, size - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    char buf[65536];
    while (read(fds[1], buf, sizeof buf) > 0) {
    }
  });
  Connection conn;
  conn.server = &server;
  conn.fd = fds[0];
  conn.local = false;
  ServeConnection(&conn);
  shutdown(fds[0], SHUT_RDWR);
  client.join();
  close(fds[0]);
  close(fds[1]);
  return 0;
}
