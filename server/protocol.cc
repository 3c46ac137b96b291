// One connection of protocol 23: greeting, login, then one request at a time,
// each answered in the forms the client library parses. Start at
// ServeConnection(). Requests are framed by the connection's packet reader;
// replies are framed by its packet writer and written in as few writes as
// possible; rows are streamed, one packet per row, so a
// result of any size needs only one row's worth of memory here.
//
// Every packet is a 4-byte little-endian length and that many bytes of text.
// What the server sends:
//   greeting          "0:23:<description>\n"; after the user name "0:\n"
//   failure           "-1:<message>\n" (the connection stays usable unless
//                     the request could not be framed)
//   simple success    "0:\n"; a statement without rows: "<rows changed>\n"
//   rows              "1:<N>\n", one packet per row ("<bytes>:<bytes...>" per
//                     column, "-2:" for NULL), "-100:\n", one six-column row
//                     per field (table, name, type, length, "Y"/"N" not null,
//                     "Y"/"N" unique), "-100:\n"
//   lists             rows of one column (or six for fields), then "-100:\n",
//                     with no status packet in front
//   sequence          "1:<step>:<value>\n"
//   report            text packets, then "-100:\n"
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "msql/packet.h"
#include "server/dialect.h"
#include "server/identity.h"
#include "server/server.h"

const char kOkReply[] = "0:\n";  // success without anything to tell

namespace {

// ---- Socket I/O ----

// Writes all of data. A client that takes in nothing for write_timeout
// seconds is given up (broken): the statement whose rows wait for it ends,
// and with it its read transaction and locks. The socket's send timeout
// (ServeConnection) keeps the time, so the limit costs no system call: a
// send that could pass nothing on within it fails with EAGAIN.
//
// The time spent waiting for the client to take its rows in is the write
// limit's, not the statement limit's: a slow reader (a busy program that
// draws what it has read first) would otherwise see its statement
// cancelled for the time it took itself. So the first try does not wait;
// only when the socket is full is the wait timed, and the watch
// (WatchConnection) leaves it out.
void SendAll(Connection *c, const char *data, size_t size) {
  size_t done = 0;
  long long blocked = 0;  // when this call began to wait for the client
  while (!c->broken && done < size) {
    ssize_t n = send(c->fd, data + done, size - done, MSG_NOSIGNAL | (blocked ? 0 : MSG_DONTWAIT));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && !blocked && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      blocked = NowMs();
      c->write_blocked_since = blocked;
      continue;
    }
    if (n <= 0) {
      c->broken = true;
      break;
    }
    done += (size_t)n;
  }
  if (blocked) {
    // Added before the wait is said to be over, so that the watch, which
    // reads them the other way round, never counts the wait twice over.
    c->write_waited += NowMs() - blocked;
    c->write_blocked_since = 0;
  }
}

}  // namespace

void Flush(Connection *c) {
  SendAll(c, (const char *)c->out.data, c->out.used);
  msqlWriterClear(&c->out);
}

// Queues one packet. One that cannot be framed (a payload past MAX_PACKET)
// would leave the client unable to read on: the connection ends instead.
void WritePacket(Connection *c, const std::string &payload) {
  msqlWriterBegin(&c->out);
  msqlWriterAppend(&c->out, payload.data(), payload.size());
  if (!msqlWriterEnd(&c->out)) c->broken = true;
  if (c->out.used >= OUTPUT_FLUSH_SIZE) Flush(c);
}

void Reply(Connection *c, const std::string &payload) {
  WritePacket(c, payload);
  Flush(c);
}

void ReplyError(Connection *c, const std::string &message) {
  // A statement stopped from outside fails with whatever its engine makes
  // of the interruption; the client is told which limit stopped it.
  std::string text = c->stop != STOP_NONE ? StopMessage(c) : message;
  // A newline inside the message would end the client's copy early.
  for (char &ch : text) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  Reply(c, "-1:" + text + "\n");
}

namespace {

enum ReadResult { READ_OK, READ_CLOSED, READ_BAD, READ_TIMEOUT };

// Reads one request, by `deadline` (NowMs() time; 0 for none), however
// slowly its bytes come. A length above MAX_PACKET or below zero is
// answered and the connection dropped: the rest of the stream cannot be
// framed.
ReadResult ReadRequest(Connection *c, std::string *payload, long long deadline) {
  for (;;) {
    const char *data = nullptr;
    int length = 0;
    switch (msqlReaderNext(&c->in, &data, &length)) {
      case PACKET_COMPLETE:
        payload->assign(data, (size_t)length);
        if (!payload->empty() && payload->back() == '\n') payload->pop_back();
        return READ_OK;
      case PACKET_TOO_LARGE:
        ReplyError(c, "Packet too large (" + std::to_string(length) + " bytes)");
        return READ_BAD;
      case PACKET_NEGATIVE:
        ReplyError(c, "Malformed packet");
        return READ_BAD;
      case PACKET_INCOMPLETE:
        break;
    }
    size_t room = 0;
    unsigned char *space = msqlReaderSpace(&c->in, &room);
    // Waiting inside recv(), the thread is woken as well each time the
    // client takes in a reply, only to find nothing and sleep again; in
    // poll() for input alone it is woken by the next request.
    struct pollfd input = {c->fd, POLLIN, 0};
    long long wait = deadline ? deadline - NowMs() : -1;
    if (deadline && wait <= 0) return READ_TIMEOUT;
    int ready = poll(&input, 1, wait > INT_MAX ? INT_MAX : (int)wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return READ_TIMEOUT;
    ssize_t n = recv(c->fd, space, room, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return READ_CLOSED;
    msqlReaderFed(&c->in, (size_t)n);
  }
}

// ---- Login ----

bool Login(Connection *c) {
  Reply(c, "0:" + std::to_string(PROTOCOL_VERSION) + ":" + ServerDescription(c->server) + "\n");
  // One deadline for the whole name: a client that trickles it in a byte
  // at a time is dropped all the same.
  const int limit = c->server->config.login_timeout;
  std::string user;
  ReadResult r = ReadRequest(c, &user, limit > 0 ? NowMs() + limit * 1000LL : 0);
  if (r == READ_TIMEOUT) {
    ReplyError(c, "Login not completed within the time limit of " + std::to_string(limit) + " s");
  }
  if (r != READ_OK) return false;
  if (!user.empty() && user.back() == '\r') user.pop_back();
  if (user.empty() || user.find_first_of(":\n") != std::string::npos) {
    ReplyError(c, "Access denied: no valid user name given");
    return false;
  }
  // The kernel knows the user of the socket's peer, and of a TCP client on
  // this machine; such a client must claim its own name. A name claimed from
  // elsewhere cannot be checked: the client is remote and is given what the
  // access rules give remote clients from its address.
  PeerIdentity peer = IdentifyPeer(c->fd);
  if (c->local && !peer.verified) {
    ReplyError(c, "Access denied: the user of this connection cannot be found");
    return false;
  }
  if (peer.verified && peer.user != user) {
    ReplyError(c, "Access denied: user \"" + user + "\" is not the owner of this connection (" + peer.user + ")");
    return false;
  }
  c->user = user;
  c->verified = peer.verified;
  if (!peer.verified) {
    c->hosts.push_back(peer.address);
    if (c->server->config.host_lookup) {
      for (const std::string &name : VerifiedHostNames(peer.address)) c->hosts.push_back(name);
    }
  }
  // Administration is for the admin user as the kernel knows it.
  c->admin = c->verified && user == c->server->config.admin_user;
  Reply(c, kOkReply);
  return true;
}

}  // namespace

// ---- Queries ----

void LogQuery(Connection *c, const std::string &statement) {
  Server *s = c->server;
  if (!s->query_log) return;
  time_t now = time(nullptr);
  struct tm tm;
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &tm));
  std::lock_guard<std::mutex> lock(s->log_mutex);
  fprintf(s->query_log, "%s %s@%s: %s\n", when, c->user.c_str(), c->database.c_str(), statement.c_str());
  fflush(s->query_log);
}

const char kReadOnly[] = "Server is read-only: changes are refused";
const char kWriteDenied[] = "Write access to database denied";

AccessRight RightOn(Connection *c, const std::string &database) {
  Server *s = c->server;
  std::shared_ptr<const AccessRules> rules;
  {
    std::lock_guard<std::mutex> lock(s->access_mutex);
    rules = s->access;
  }
  AccessClient client;
  client.verified = c->verified;
  client.user = c->user;
  client.hosts = c->hosts;
  return AccessDecide(*rules, client, database);
}

bool ReadOnlyClient(Connection *c) { return c->server->config.read_only || c->right != ACCESS_WRITE; }

bool NeedWritable(Connection *c) {
  if (c->server->config.read_only) {
    ReplyError(c, kReadOnly);
    return false;
  }
  if (c->right == ACCESS_WRITE) return true;
  ReplyError(c, kWriteDenied);
  return false;
}

namespace {

// ---- Catalog ----

void SendNameList(Connection *c, const std::vector<std::string> &names) {
  std::string row;
  for (const std::string &name : names) {
    row.clear();
    AppendColumn(&row, name.data(), name.size());
    WritePacket(c, row);
  }
  Reply(c, kEndPacket);
}

bool NeedDatabase(Connection *c) {
  if (!c->database.empty()) return true;
  ReplyError(c, "No database has been selected");
  return false;
}

bool NeedAdmin(Connection *c) {
  if (c->admin) return true;
  if (!c->verified && c->user == c->server->config.admin_user) {
    ReplyError(c, "Permission denied: administration is allowed from this machine only");
  } else {
    ReplyError(c, "Permission denied: user \"" + c->user + "\" may not administer the server");
  }
  return false;
}

// A name as an error text may show it: control characters (a terminal's
// escape sequences among them) as \xNN, and cut to a screen's width.
std::string Printable(const std::string &name) {
  std::string out;
  for (size_t i = 0; i < name.size() && i < 64; i++) {
    unsigned char ch = (unsigned char)name[i];
    if (ch < 0x20 || ch == 0x7f) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", ch);
      out += hex;
    } else {
      out += (char)ch;
    }
  }
  if (name.size() > 64) out += "...";
  return out;
}

bool NeedName(Connection *c, const std::string &name) {
  if (ValidDatabaseName(name)) return true;
  ReplyError(c, "Bad database name \"" + Printable(name) + "\": use letters, digits and underscores only");
  return false;
}

void ListFields(Connection *c, const std::string &table) {
  std::vector<FieldDesc> fields;
  std::string error;
  if (!c->server->engine->list_fields(c, table, &fields, &error)) {
    ReplyError(c, error);
    return;
  }
  for (const FieldDesc &f : fields) WriteFieldRow(c, f, f.length);
  Reply(c, kEndPacket);
}

// A limit in seconds as the report shows it.
std::string Seconds(int limit) { return limit > 0 ? std::to_string(limit) + " s" : "none"; }

void ServerReport(Connection *c) {
  const ServerConfig &cfg = c->server->config;
  WritePacket(c, ServerDescription(c->server) + "\n");
  WritePacket(c, "Protocol version: " + std::to_string(PROTOCOL_VERSION) + "\n");
  std::vector<std::string> lines;
  c->server->engine->report(c, &lines);
  for (const std::string &line : lines) WritePacket(c, line + "\n");
  WritePacket(c, "UNIX socket: " + (cfg.unix_path.empty() ? std::string("none") : cfg.unix_path) + "\n");
  WritePacket(c, "TCP port: " + (cfg.tcp_port ? std::to_string(cfg.tcp_port) : std::string("none")) + "\n");
  WritePacket(c, "Connections: " + std::to_string(c->server->connections.load()) + "\n");
  WritePacket(c, "Queries: " + std::to_string(c->server->queries.load()) + "\n");
  WritePacket(c, std::string("Read-only: ") + (cfg.read_only ? "yes" : "no") + "\n");
  WritePacket(c, "Connection limit: " + std::to_string(cfg.max_connections) + "\n");
  WritePacket(c, "Statement time limit: " + Seconds(cfg.statement_timeout) + "\n");
  WritePacket(c, "Idle limit: " + Seconds(cfg.idle_timeout) + "\n");
  WritePacket(c, "Login time limit: " + Seconds(cfg.login_timeout) + "\n");
  WritePacket(c, "Write time limit: " + Seconds(cfg.write_timeout) + "\n");
  WritePacket(c, "Value limit: " + std::to_string(cfg.value_limit) + " bytes\n");
  Reply(c, kEndPacket);
}

// Splits "a:b" at its first colon.
void SplitPair(const std::string &args, std::string *a, std::string *b) {
  size_t colon = args.find(':');
  *a = args.substr(0, colon);
  *b = colon == std::string::npos ? "" : args.substr(colon + 1);
}

// Answers a request that either succeeded or failed with a reason.
void ReplyOutcome(Connection *c, bool ok, const std::string &error) {
  if (ok) {
    Reply(c, kOkReply);
  } else {
    ReplyError(c, error);
  }
}

// Answers a list of one-column rows, or the reason there is none.
void ReplyList(Connection *c, bool ok, const std::vector<std::string> &rows, const std::string &error) {
  if (ok) {
    SendNameList(c, rows);
  } else {
    ReplyError(c, error);
  }
}

// The handlers of the dispatch table; each returns false when the
// connection is to end.

bool OnQuit(Connection *, const std::string &) { return false; }

bool OnInitDb(Connection *c, const std::string &args) {
  if (!NeedName(c, args)) return true;
  long generation = c->server->access_generation;
  AccessRight right = RightOn(c, args);
  if (right == ACCESS_NONE) {
    ReplyError(c, "Access to database denied");
    return true;
  }
  // The engine opens the database knowing what the client may do there.
  AccessRight before = c->right;
  long before_generation = c->right_generation;
  c->right = right;
  c->right_generation = generation;
  std::string error;
  bool ok = c->server->engine->select_database(c, args, &error);
  if (!ok) {
    c->right = before;
    c->right_generation = before_generation;
  }
  ReplyOutcome(c, ok, error);
  return true;
}

bool OnQuery(Connection *c, const std::string &args) {
  c->server->queries++;
  LogQuery(c, args);
  c->stop = STOP_NONE;
  c->write_waited = 0;
  c->busy_since = NowMs();
  c->server->engine->query(c, args);
  c->busy_since = 0;
  return c->stop != STOP_HANGUP;
}

// Answers with a list of names the engine gives.
bool ListNames(Connection *c, bool (*list)(Connection *c, std::vector<std::string> *names, std::string *error)) {
  std::vector<std::string> names;
  std::string error;
  bool ok = list(c, &names, &error);
  ReplyList(c, ok, names, error);
  return true;
}

// Only the databases the client may open are listed.
bool ListOpenDatabases(Connection *c, std::vector<std::string> *names, std::string *error) {
  if (!c->server->engine->list_databases(c, names, error)) return false;
  names->erase(std::remove_if(names->begin(), names->end(),
                              [c](const std::string &name) { return RightOn(c, name) == ACCESS_NONE; }),
               names->end());
  return true;
}

bool OnDbList(Connection *c, const std::string &) { return ListNames(c, ListOpenDatabases); }
bool OnTableList(Connection *c, const std::string &) { return ListNames(c, c->server->engine->list_tables); }

bool OnFieldList(Connection *c, const std::string &args) {
  ListFields(c, args);
  return true;
}

bool OnIndexList(Connection *c, const std::string &args) {
  std::string table, index, error;
  SplitPair(args, &table, &index);
  std::vector<std::string> rows;
  bool ok = c->server->engine->list_index(c, table, index, &rows, &error);
  ReplyList(c, ok, rows, error);
  return true;
}

bool OnSeqInfo(Connection *c, const std::string &args) {
  long long step = 0, value = 0;
  std::string error;
  if (c->server->engine->sequence_info(c, args, &step, &value, &error)) {
    Reply(c, "1:" + std::to_string(step) + ":" + std::to_string(value) + "\n");
  } else {
    ReplyError(c, error);
  }
  return true;
}

// Whole databases are the admin user's; only read_only stops them.
bool NeedWritableServer(Connection *c) {
  if (!c->server->config.read_only) return true;
  ReplyError(c, kReadOnly);
  return false;
}

// Create and drop take one database name, copy and move two ("a:b").
bool OnAdminister(Connection *c, long code, const std::string &args, bool two) {
  std::string a = args, b, error;
  if (two) SplitPair(args, &a, &b);
  if (!NeedName(c, a) || (two && !NeedName(c, b)) || !NeedWritableServer(c)) return true;
  bool ok = c->server->engine->administer(c, code, a, b, &error);
  ReplyOutcome(c, ok, error);
  return true;
}

bool OnCreateDb(Connection *c, const std::string &args) { return OnAdminister(c, REQ_CREATE_DB, args, false); }
bool OnDropDb(Connection *c, const std::string &args) { return OnAdminister(c, REQ_DROP_DB, args, false); }
bool OnCopyDb(Connection *c, const std::string &args) { return OnAdminister(c, REQ_COPY_DB, args, true); }
bool OnMoveDb(Connection *c, const std::string &args) { return OnAdminister(c, REQ_MOVE_DB, args, true); }

// Reads the access file again. Rules that cannot be read or parsed leave
// the ones in force, and the reply says why.
bool OnReloadAcl(Connection *c, const std::string &) {
  Server *s = c->server;
  AccessRules rules;
  std::string error;
  if (!AccessLoad(s->config.acl_file, s->config.remote_access, &rules, &error)) {
    ReplyError(c, "Access rules kept: " + error);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(s->access_mutex);
    s->access = std::make_shared<const AccessRules>(std::move(rules));
    s->access_generation++;
  }
  Reply(c, kOkReply);
  return true;
}

bool OnShutdown(Connection *c, const std::string &) {
  Reply(c, kOkReply);
  RequestShutdown(c->server);
  return false;
}

bool OnServerStats(Connection *c, const std::string &) {
  ServerReport(c);
  return true;
}

// Every request the server answers: its code, what it needs before it runs
// (a current database, the right to administer), and its handler.
struct RequestHandler {
  long code;
  bool needs_database;
  bool needs_admin;
  bool (*handle)(Connection *c, const std::string &args);
};

const RequestHandler kHandlers[] = {
    {REQ_QUIT, false, false, OnQuit},
    {REQ_INIT_DB, false, false, OnInitDb},
    {REQ_QUERY, true, false, OnQuery},
    {REQ_DB_LIST, false, false, OnDbList},
    {REQ_TABLE_LIST, true, false, OnTableList},
    {REQ_FIELD_LIST, true, false, OnFieldList},
    {REQ_CREATE_DB, false, true, OnCreateDb},
    {REQ_DROP_DB, false, true, OnDropDb},
    {REQ_RELOAD_ACL, false, true, OnReloadAcl},
    {REQ_SHUTDOWN, false, true, OnShutdown},
    {REQ_INDEX_LIST, true, false, OnIndexList},
    {REQ_SERVER_STATS, false, false, OnServerStats},
    {REQ_SEQ_INFO, true, false, OnSeqInfo},
    {REQ_MOVE_DB, false, true, OnMoveDb},
    {REQ_COPY_DB, false, true, OnCopyDb},
};

// Answers one request; false when the connection is to end.
bool HandleRequest(Connection *c, const std::string &payload) {
  char *end = nullptr;
  long code = strtol(payload.c_str(), &end, 10);
  if (end == payload.c_str() || *end != ':') {
    ReplyError(c, "Malformed request");
    return true;
  }
  std::string args = payload.substr((size_t)(end - payload.c_str()) + 1);
  // Rules reloaded since the client selected its database decide anew: a
  // database no longer open to it is closed, one whose right changed is
  // opened again as the new right allows.
  if (c->right_generation != c->server->access_generation && !c->database.empty()) {
    AccessRight before = c->right;
    c->right_generation = c->server->access_generation;
    c->right = RightOn(c, c->database);
    std::string name = c->database, ignored;
    if (c->right != before &&
        (c->right == ACCESS_NONE || !c->server->engine->select_database(c, name, &ignored))) {
      c->server->engine->close_database(c);
    }
  }
  for (const RequestHandler &h : kHandlers) {
    if (h.code != code) continue;
    if (h.needs_database && !NeedDatabase(c)) return !c->broken;
    if (h.needs_admin && !NeedAdmin(c)) return !c->broken;
    return h.handle(c, args) && !c->broken;
  }
  ReplyError(c, "Unknown request code " + std::to_string(code));
  return !c->broken;
}

}  // namespace

std::string ServerDescription(const Server *server) {
  return std::string(SERVER_NAME) + " (" + server->engine->version() + ")";
}

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string StopMessage(const Connection *c) {
  switch (c->stop.load()) {
    case STOP_TIME:
      return "Statement cancelled: time limit of " + std::to_string(c->server->config.statement_timeout) + " s";
    case STOP_SHUTDOWN:
      return "Statement cancelled: the server is shutting down";
    default:
      return "Statement cancelled: the client has gone";
  }
}

// How long the statement begun at `since` has run, less the time it has
// waited for its client to read (SendAll). The wait under way is read
// first: SendAll adds it to write_waited before it clears it.
static long long RunningMs(const Connection *c, long long since) {
  long long now = NowMs();
  long long blocked = c->write_blocked_since;
  long long waited = c->write_waited;
  long long waiting = blocked && blocked >= since ? now - blocked : 0;
  return now - since - waited - waiting;
}

void WatchConnection(Connection *c) {
  long long since = c->busy_since;
  if (!since || c->stop != STOP_NONE) return;
  Server *server = c->server;
  int limit = server->config.statement_timeout;
  int reason = STOP_NONE;
  if (server->shutting_down) {
    reason = STOP_SHUTDOWN;
  } else if (limit > 0 && RunningMs(c, since) >= limit * 1000LL) {
    reason = STOP_TIME;
  } else {
    // A client that has closed its end will never read the result.
    struct pollfd peer = {c->fd, POLLRDHUP, 0};
    if (poll(&peer, 1, 0) > 0 && (peer.revents & (POLLRDHUP | POLLHUP | POLLERR))) reason = STOP_HANGUP;
  }
  if (reason == STOP_NONE) return;
  std::lock_guard<std::mutex> lock(c->session_mutex);
  // Only the statement that was looked at: it may have ended meanwhile.
  if (c->busy_since != since) return;
  c->stop = reason;
  server->engine->interrupt(c);
}

void RequestShutdown(Server *server) {
  server->shutting_down = true;
  ssize_t ignored = write(server->wake_pipe[1], "x", 1);
  (void)ignored;
}

void ServeConnection(Connection *c) {
  // Room for one whole request, and for OUTPUT_FLUSH_SIZE bytes of replies
  // followed by one whole packet of the largest size, in one mapping: pages
  // never written cost nothing, and all of it goes back when the
  // connection ends rather than staying with the allocator.
  const size_t in_size = PACKET_READER_MIN;
  const size_t out_size = OUTPUT_FLUSH_SIZE + PACKET_HEADER + MAX_PACKET;
  void *buffers = mmap(nullptr, in_size + out_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (buffers == MAP_FAILED) return;
  msqlReaderInit(&c->in, (unsigned char *)buffers, in_size);
  struct timeval write_limit = {c->server->config.write_timeout, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &write_limit, sizeof write_limit);
  msqlWriterInit(&c->out, (unsigned char *)buffers + in_size, out_size);
  if (Login(c)) {
    std::string payload;
    const int idle = c->server->config.idle_timeout;
    while (!c->server->shutting_down) {
      ReadResult r = ReadRequest(c, &payload, idle > 0 ? NowMs() + idle * 1000LL : 0);
      // Told ahead of its next request, which finds the connection closed
      // and this reason waiting.
      if (r == READ_TIMEOUT) ReplyError(c, "Connection closed: idle for the limit of " + std::to_string(idle) + " s");
      if (r != READ_OK) break;
      if (payload.empty()) {
        ReplyError(c, "Empty request");
        continue;
      }
      if (!HandleRequest(c, payload)) break;
    }
  }
  c->server->engine->close_database(c);
  munmap(buffers, in_size + out_size);
  msqlReaderInit(&c->in, nullptr, 0);
  msqlWriterInit(&c->out, nullptr, 0);
}
