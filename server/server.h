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
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "msql/limits.h"
#include "msql/packet.h"
#include "server/access.h"
#include "server/engine.h"
#include "server/result.h"

// The greeting's description is this, then the engine's version in
// parentheses (ServerDescription).
#define SERVER_NAME "korvid-server 1.0.0"

// Connections served at once; one more is told so and closed.
#define MAX_CONNECTIONS 256
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
  std::string msql_user;   // the user to run as when started by root
  std::string acl_file;    // the access file; missing: the defaults hold
  bool host_lookup = false;  // remote clients' names are looked up for host=
  bool read_only = false;
  bool query_log = false;
  std::string query_log_file;
  std::string pg_conninfo;  // [postgresql] conninfo or --postgresql
  bool pg_allow_file_access = false;  // serve a role that may reach the server's files
  std::string pg_role_map;  // [postgresql] role_map: each client logs in as its own role
  // The limits of [system], in seconds, 0 for none: how long a statement
  // may run (its rows sent included, but not the time spent waiting for
  // the client to read them), a logged-in connection may wait
  // between requests, a new connection may take to log in (however slowly
  // it trickles its name in), and a reply may wait for the client to read.
  int statement_timeout = 60;
  int idle_timeout = 28800;
  int login_timeout = 30;
  int write_timeout = 60;
  size_t value_limit = MAX_PACKET;  // bytes of one value; never above MAX_PACKET
  // Connections served at once: MAX_CONNECTIONS, or fewer when the engine
  // has fewer to give (PostgreSQL's slots for the role).
  int max_connections = MAX_CONNECTIONS;
};

// Why a running statement was stopped from outside (Connection::stop).
enum StopReason { STOP_NONE = 0, STOP_TIME, STOP_HANGUP, STOP_SHUTDOWN };

struct Server {
  ServerConfig config;
  const Engine *engine = &kSqliteEngine;
  std::atomic<int> connections{0};
  std::atomic<long> queries{0};
  std::atomic<bool> shutting_down{false};
  int wake_pipe[2] = {-1, -1};  // written to end the accept loop
  int pid_fd = -1;              // the locked pid file, when there is one
  std::mutex log_mutex;
  FILE *query_log = nullptr;
  // Which databases connections have open, and how many of them. A
  // database in use is neither dropped nor moved: another connection's
  // handle would go on writing to a file that no longer has the name, or to
  // a log that was removed. Creating, dropping, copying, moving and opening
  // all happen under db_mutex.
  std::mutex db_mutex;
  std::map<std::string, int> open_count;
  // The access rules in force. A reload replaces them whole under
  // access_mutex and counts access_generation up, so that each connection
  // knows to decide its rights on its database again.
  std::mutex access_mutex;
  std::shared_ptr<const AccessRules> access = std::make_shared<AccessRules>();
  std::atomic<long> access_generation{0};
};

// The engines' sessions, each defined in its engine only.
struct SqliteSession;
struct PgSession;

struct Connection {
  Server *server;
  int fd;
  bool local;              // over the UNIX socket
  std::string user;
  bool verified = false;   // user is the kernel's word (socket, or TCP from this machine)
  std::vector<std::string> hosts;  // a remote client's address and verified name, for host=
  bool admin = false;
  AccessRight right = ACCESS_NONE;  // on the current database
  long right_generation = 0;        // the access_generation it was decided under
  std::string database;    // current database, empty before a select
  SqliteSession *sqlite = nullptr;  // the SQLite engine's open database, owned
  PgSession *pg = nullptr;          // the PostgreSQL engine's connection, owned
  PacketReader in = {};    // requests, over a buffer ServeConnection maps
  PacketWriter out = {};   // packets not yet written, likewise
  bool broken = false;     // a write failed: the peer is gone
  // For the accept loop's watch (WatchConnection): when the running
  // statement began (steady clock, in ms; 0 while none runs), and why it was
  // stopped. session_mutex is held while the engine's session is opened,
  // closed or interrupted, so that an interrupt never meets a closed one.
  std::atomic<long long> busy_since{0};
  std::atomic<int> stop{STOP_NONE};
  // Time the statement has spent waiting for the client to read its rows
  // (ms), and when the wait under way began (0: none), which the statement
  // limit leaves out: that wait is the write limit's.
  std::atomic<long long> write_waited{0};
  std::atomic<long long> write_blocked_since{0};
  std::mutex session_mutex;
};

// Milliseconds of the steady clock.
long long NowMs();

// Looks at one connection from the accept loop's thread: a statement that
// has outrun the statement limit, whose client has hung up, or that runs
// while the server shuts down is interrupted through the engine.
void WatchConnection(Connection *c);

// The refusal that names what stopped a statement ("Statement cancelled:
// time limit of 60 s").
std::string StopMessage(const Connection *c);

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
// Refuses (and answers) a change on a read-only server, or by a client
// without write access to its database.
bool NeedWritable(Connection *c);
// Whether the connection may only read its database: the server is
// read-only or the access rules give it no more. The engines keep such a
// connection read-only in the database itself as well.
bool ReadOnlyClient(Connection *c);
// What the access rules in force give the connection on `database`.
AccessRight RightOn(Connection *c, const std::string &database);
extern const char kWriteDenied[];
extern const char kOkReply[];
extern const char kReadOnly[];

#endif
