// korvid-server's shared records: the settings it runs with, the state of the
// running server, and one connection. main.cc listens and starts a thread per
// connection; protocol.cc answers that connection's requests.
#ifndef KORVID_SERVER_SERVER_H
#define KORVID_SERVER_SERVER_H

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "msql/packet.h"
#include "server/database.h"
#include "server/engine.h"

#define SERVER_PROTOCOL_VERSION 23
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

// Prepared statements kept per connection, most recently used first. A
// statement with other WHERE values reuses its entry (the values are bound).
#define STATEMENT_CACHE_SIZE 16

struct CachedStatement {
  std::string sql;                // the translated text, the key
  sqlite3_stmt *stmt = nullptr;   // owned
  std::vector<FieldDesc> fields;  // its field descriptions, once known
  int reprepares = 0;             // SQLite's re-prepare count when they were taken
};

struct PgSession;

struct Connection {
  Server *server;
  int fd;
  bool local;              // over the UNIX socket: peer credentials are known
  std::string user;
  bool admin = false;
  std::string database;    // current database, empty before a select
  sqlite3 *db = nullptr;   // handle on the current database, owned
  std::vector<CachedStatement> cache;  // statements prepared on db
  PgSession *pg = nullptr;  // the PostgreSQL engine's connection, owned
  PacketReader in = {};    // requests, over a buffer ServeConnection maps
  PacketWriter out = {};   // packets not yet written, likewise
  bool broken = false;     // a write failed: the peer is gone
};

// "korvid-server 1.0.0 (SQLite 3.40.1)", or with the engine served.
std::string ServerDescription(const Server *server);

// Serves one connection until it quits, breaks or the server shuts down;
// closes its database handle but not its socket.
void ServeConnection(Connection *c);

// Asks the accept loop to shut the server down.
void RequestShutdown(Server *server);

// Replies, for the engines: WritePacket queues one packet, Flush writes what
// is queued, Reply does both, ReplyError sends "-1:<message>".
void WritePacket(Connection *c, const std::string &payload);
void Flush(Connection *c);
void Reply(Connection *c, const std::string &payload);
void ReplyError(Connection *c, const std::string &message);
// Queues one row of a field-description stream with the given length.
void WriteFieldRow(Connection *c, const FieldDesc &f, int length);
// Writes the query log line of a statement when the log is on.
void LogQuery(Connection *c, const std::string &statement);
// Refuses (and answers) a change on a read-only server.
bool NeedWritable(Connection *c);
extern const char kEndPacket[];
extern const char kNullColumn[];
extern const char kOkReply[];
extern const char kReadOnly[];

// Packet encoding, apart from the socket. A row packet holds, per column,
// the byte count, a colon and the bytes; an SQL NULL is "-2:".
void AppendColumn(std::string *packet, const char *value, size_t length);
void AppendNull(std::string *packet);
// The same into the open row packet of a writer, the count formatted in
// place; a column past the buffer or the packet is counted and the packet
// refused when it ends.
void WriteColumnBytes(PacketWriter *out, const char *value, size_t length);

#endif
