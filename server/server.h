// korvid-server's protocol layer: the settings it runs with, the state of the
// running server, and one connection. main.cc listens and starts a thread per
// connection; protocol.cc answers that connection's requests, handing the
// storage to the engine chosen at start-up (engine.h). Nothing here knows
// SQLite or libpq: each engine keeps its own session record behind a
// connection.
#ifndef KORVID_SERVER_SERVER_H
#define KORVID_SERVER_SERVER_H

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "msql/packet.h"
#include "server/engine.h"
#include "server/result.h"

// The greeting's description is this, then the engine's version in
// parentheses (ServerDescription).
#define SERVER_NAME "korvid-server 1.0.0"

// Connections served at once; one more is told so and closed.
#define MAX_CONNECTIONS 256
// Seconds a new connection may take to send its user name; a client that
// connects and says nothing is dropped rather than kept forever.
#define LOGIN_TIMEOUT_SECONDS 30
// Kernel send buffer asked for each connection, in bytes.
#define SOCKET_SEND_BUFFER (1024 * 1024)
// Output is gathered up to this many bytes before one write, so that a
// stream of small row packets does not cost a system call per row.
#define OUTPUT_FLUSH_SIZE 131072

struct ServerConfig {
  std::string data_dir;
  std::string unix_path;   // empty: no UNIX socket
  int tcp_port = 0;        // 0: no TCP socket
  bool remote_access = false;
  std::string pid_file;
  std::string admin_user;
  bool read_only = false;
  bool query_log = false;
  std::string query_log_file;
  std::string pg_conninfo;  // [postgresql] conninfo or --postgresql
};

struct Server {
  ServerConfig config;
  const Engine *engine = &kSqliteEngine;
  std::atomic<int> connections{0};
  std::atomic<long> queries{0};
  std::atomic<bool> shutting_down{false};
  int wake_pipe[2] = {-1, -1};  // written to end the accept loop
  std::mutex log_mutex;
  FILE *query_log = nullptr;
  // Which databases connections have open, and how many of them. A
  // database in use is neither dropped nor moved: another connection's
  // handle would go on writing to a file that no longer has the name, or to
  // a log that was removed. Creating, dropping, copying, moving and opening
  // all happen under db_mutex.
  std::mutex db_mutex;
  std::map<std::string, int> open_count;
};

// The engines' sessions, each defined in its engine only.
struct SqliteSession;
struct PgSession;

struct Connection {
  Server *server;
  int fd;
  bool local;              // over the UNIX socket: peer credentials are known
  std::string user;
  bool admin = false;
  std::string database;    // current database, empty before a select
  SqliteSession *sqlite = nullptr;  // the SQLite engine's open database, owned
  PgSession *pg = nullptr;          // the PostgreSQL engine's connection, owned
  PacketReader in = {};    // requests, over a buffer ServeConnection maps
  PacketWriter out = {};   // packets not yet written, likewise
  bool broken = false;     // a write failed: the peer is gone
};

// "korvid-server 1.0.0 (SQLite 3.40.1)", or with the engine served.
std::string ServerDescription(const Server *server);

// Serves one connection until it quits, breaks or the server shuts down;
// closes its database but not its socket.
void ServeConnection(Connection *c);

// Asks the accept loop to shut the server down.
void RequestShutdown(Server *server);

// Replies, for the engines: WritePacket queues one packet, Flush writes what
// is queued, Reply does both, ReplyError sends "-1:<message>".
void WritePacket(Connection *c, const std::string &payload);
void Flush(Connection *c);
void Reply(Connection *c, const std::string &payload);
void ReplyError(Connection *c, const std::string &message);
// Writes the query log line of a statement when the log is on.
void LogQuery(Connection *c, const std::string &statement);
// Refuses (and answers) a change on a read-only server.
bool NeedWritable(Connection *c);
extern const char kOkReply[];
extern const char kReadOnly[];

#endif
