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
#include <pwd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "msql/packet.h"
#include "server/database.h"
#include "server/dialect.h"
#include "server/server.h"

// Payloads built from the statuses of the protocol.
const char kEndPacket[] = "-100:\n";  // MSQL_STATUS_END: ends a stream
const char kNullColumn[] = "-2:";     // MSQL_STATUS_NULL as a column count
const char kOkReply[] = "0:\n";       // success without anything to tell

// Two digits a step: half the divisions.
static const char kDigitPairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

// Writes n in decimal at the end of buf (which must hold 20 bytes) and
// returns where the digits start. Rows are streamed by the million, so this
// stays clear of the printf machinery.
static inline char *FormatDecimal(char *end, unsigned long long n) {
  char *p = end;
  while (n >= 100) {
    const char *pair = kDigitPairs + 2 * (n % 100);
    n /= 100;
    *--p = pair[1];
    *--p = pair[0];
  }
  if (n >= 10) {
    *--p = kDigitPairs[2 * n + 1];
    *--p = kDigitPairs[2 * n];
  } else {
    *--p = (char)('0' + n);
  }
  return p;
}

// Writes the "<length>:" that leads a column at the end of buf (which must
// hold 21 bytes) and returns where it starts. Most columns are shorter than
// 100 bytes.
static inline char *FormatCount(char *end, size_t length) {
  *--end = ':';
  if (length < 10) {
    *--end = (char)('0' + length);
    return end;
  }
  if (length < 100) {
    *--end = kDigitPairs[2 * length + 1];
    *--end = kDigitPairs[2 * length];
    return end;
  }
  return FormatDecimal(end, length);
}

// Copies n bytes, as memcpy does; the few bytes of most columns without a
// call, in fixed-size moves that may overlap but stay within the n bytes.
static inline void CopyBytes(unsigned char *to, const char *from, size_t n) {
  if (n >= 8 && n <= 16) {
    memcpy(to, from, 8);
    memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    memcpy(to, from, 4);
    memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0 && n < 4) {
    to[0] = (unsigned char)from[0];
    to[n / 2] = (unsigned char)from[n / 2];
    to[n - 1] = (unsigned char)from[n - 1];
  } else if (n > 16) {
    memcpy(to, from, n);
  }
}

void AppendColumn(std::string *packet, const char *value, size_t length) {
  char buf[24];
  char *start = FormatCount(buf + sizeof buf, length);
  packet->append(start, (size_t)(buf + sizeof buf - start));
  packet->append(value, length);
}

void AppendNull(std::string *packet) { packet->append(kNullColumn, 3); }

void WriteColumnBytes(PacketWriter *out, const char *value, size_t length) {
  char buf[24];
  char *start = FormatCount(buf + sizeof buf, length);
  size_t head = (size_t)(buf + sizeof buf - start);
  size_t room = 0;
  unsigned char *space = msqlWriterSpace(out, &room);
  if (head + length > room) {
    msqlWriterAppend(out, start, head);
    msqlWriterAppend(out, value, length);
    return;
  }
  memcpy(space, start, head);
  CopyBytes(space + head, value, length);
  msqlWriterWrote(out, head + length);
}

namespace {

// ---- Socket I/O ----

void SendAll(Connection *c, const char *data, size_t size) {
  size_t done = 0;
  while (!c->broken && done < size) {
    ssize_t n = send(c->fd, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      c->broken = true;
      break;
    }
    done += (size_t)n;
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
  // A newline inside the message would end the client's copy early.
  std::string text = message;
  for (char &ch : text) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  Reply(c, "-1:" + text + "\n");
}

namespace {

enum ReadResult { READ_OK, READ_CLOSED, READ_BAD };

// Reads one request. A length above MAX_PACKET or below zero is answered
// and the connection dropped: the rest of the stream cannot be framed.
ReadResult ReadRequest(Connection *c, std::string *payload, bool logged_in = true) {
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
    // poll() for input alone it is woken by the next request. The login
    // keeps its receive timeout, which poll would not see.
    if (logged_in) {
      struct pollfd input = {c->fd, POLLIN, 0};
      poll(&input, 1, -1);
    }
    ssize_t n = recv(c->fd, space, room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return READ_CLOSED;
    msqlReaderFed(&c->in, (size_t)n);
  }
}

// ---- Login ----

std::string PeerName(int fd) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return "";
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(cred.uid, &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
  return "uid " + std::to_string(cred.uid);
}

bool Login(Connection *c) {
  Reply(c, "0:" + std::to_string(PROTOCOL_VERSION) + ":" + ServerDescription(c->server) + "\n");
  struct timeval limit = {LOGIN_TIMEOUT_SECONDS, 0}, none = {0, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string user;
  if (ReadRequest(c, &user, false) != READ_OK) return false;
  setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  if (!user.empty() && user.back() == '\r') user.pop_back();
  if (user.empty() || user.find_first_of(":\n") != std::string::npos) {
    ReplyError(c, "Access denied: no valid user name given");
    return false;
  }
  if (c->local) {
    std::string peer = PeerName(c->fd);
    if (peer != user) {
      ReplyError(c, "Access denied: user \"" + user + "\" is not the owner of this connection (" +
                        (peer.empty() ? "unknown" : peer) + ")");
      return false;
    }
  }
  c->user = user;
  // A name claimed over TCP cannot be checked, so administration is for
  // the admin user on the local socket only.
  c->admin = c->local && user == c->server->config.admin_user;
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

// Queues one row of a field-description stream: table, name, type, length,
// and the Y/N markers of NOT NULL and of a unique key.
void WriteFieldRow(Connection *c, const FieldDesc &f, int length) {
  std::string row;
  std::string type_text = std::to_string(f.type), length_text = std::to_string(length);
  AppendColumn(&row, f.table.data(), f.table.size());
  AppendColumn(&row, f.name.data(), f.name.size());
  AppendColumn(&row, type_text.data(), type_text.size());
  AppendColumn(&row, length_text.data(), length_text.size());
  AppendColumn(&row, f.not_null ? "Y" : "N", 1);
  AppendColumn(&row, f.unique ? "Y" : "N", 1);
  WritePacket(c, row);
}

namespace {

// Writes the rows of a prepared statement, then their field descriptions.
// The first row is fetched before the reply goes out, so a statement that
// fails at once gets a plain error reply rather than a broken stream.
// `cached` (may be null) keeps the field descriptions between executions.
void StreamRows(Connection *c, sqlite3_stmt *stmt, CachedStatement *cached) {
  sqlite3 *db = c->db;
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    ReplyError(c, sqlite3_errmsg(db));
    return;
  }
  // Counted after the first step: a statement prepared before its table was
  // made again is prepared afresh there, and "*" may then name other columns.
  int ncol = sqlite3_column_count(stmt);
  std::vector<FieldDesc> local;
  std::vector<FieldDesc> *fields = &local;
  int reprepares = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
  if (cached) {
    fields = &cached->fields;
    if (cached->reprepares != reprepares || (int)fields->size() != ncol) fields->clear();
    cached->reprepares = reprepares;
  }
  if (fields->empty()) {
    for (int i = 0; i < ncol; i++) fields->push_back(DbDescribeColumn(db, stmt, i));
  }
  std::vector<size_t> longest(ncol, 0);
  // The status goes out with the first rows, and a short result in one
  // write with its descriptions: a point select is one write, one wake-up
  // of the client.
  WritePacket(c, "1:" + std::to_string(ncol) + "\n");
  // Each row goes into the connection's output behind a header that is
  // filled in once the row is complete; the output is written whenever it
  // holds OUTPUT_FLUSH_SIZE bytes. Columns are written straight into the
  // output while they fit; a row that grows past MAX_PACKET is counted on
  // through msqlWriterAppend, not stored, and dropped whole. Each column is
  // read through its value: one call into SQLite per column instead of
  // three, which the single thread of the connection makes safe.
  PacketWriter *out = &c->out;
  while (rc == SQLITE_ROW && !c->broken) {
    msqlWriterBegin(out);
    size_t room = 0;
    unsigned char *space = msqlWriterSpace(out, &room);
    unsigned char *at = space;
    unsigned char *limit = space + room;
    for (int i = 0; i < ncol; i++) {
      sqlite3_value *column = sqlite3_column_value(stmt, i);
      int kind = sqlite3_value_type(column);
      char digits[400];  // the widest "%.2f" of a double is some 320 bytes
      const char *value;
      size_t n;
      if (kind == SQLITE_NULL) {
        if (limit - at >= 3) {
          memcpy(at, kNullColumn, 3);
          at += 3;
        } else {
          msqlWriterWrote(out, (size_t)(at - space));
          msqlWriterAppend(out, kNullColumn, 3);
          space = at = limit = nullptr;
        }
        continue;
      }
      // A number is formatted behind its own count, so that the column goes
      // out in one copy; a text's bytes are copied once, from SQLite.
      char *end = digits + sizeof digits;
      const char *head;  // the count and its colon, and a number's digits
      size_t head_length;
      if ((*fields)[i].type == MONEY_TYPE && (kind == SQLITE_INTEGER || kind == SQLITE_FLOAT)) {
        int printed = snprintf(digits + 24, sizeof digits - 24, "%.2f", sqlite3_value_double(column));
        n = printed < 0 ? 0 : std::min((size_t)printed, sizeof digits - 25);
        value = digits + 24;
        head = FormatCount(digits + 24, n);
        head_length = (size_t)(value + n - head);
        value = nullptr;
      } else if (kind == SQLITE_FLOAT && (n = FormatReal(sqlite3_value_double(column), digits, sizeof digits))) {
        memmove(end - n, digits, n);
        head = FormatCount(end - n, n);
        head_length = (size_t)(end - head);
        value = nullptr;
      } else if (kind == SQLITE_INTEGER) {
        long long x = sqlite3_value_int64(column);
        char *first = FormatDecimal(end, x < 0 ? 0ULL - (unsigned long long)x : (unsigned long long)x);
        if (x < 0) *--first = '-';
        n = (size_t)(end - first);
        head = FormatCount(first, n);
        head_length = (size_t)(end - head);
        value = nullptr;
      } else {
        value = (const char *)sqlite3_value_text(column);
        n = value ? (size_t)sqlite3_value_bytes(column) : 0;
        if (!value) value = "";
        head = FormatCount(end, n);
        head_length = (size_t)(end - head);
      }
      if (n > longest[i]) longest[i] = n;
      size_t whole = head_length + (value ? n : 0);
      if ((size_t)(limit - at) >= whole) {
        CopyBytes(at, head, head_length);
        if (value) CopyBytes(at + head_length, value, n);
        at += whole;
      } else {
        msqlWriterWrote(out, (size_t)(at - space));
        msqlWriterAppend(out, head, head_length);
        if (value) msqlWriterAppend(out, value, n);
        space = at = limit = nullptr;
      }
    }
    msqlWriterWrote(out, (size_t)(at - space));
    if (!msqlWriterEnd(out)) {
      size_t length = out->length;
      ReplyError(c, "Row of " + std::to_string(length) + " bytes does not fit in a packet");
      return;
    }
    if (out->used >= OUTPUT_FLUSH_SIZE) Flush(c);
    rc = sqlite3_step(stmt);
  }
  if (c->broken) return;
  if (rc != SQLITE_DONE) {
    ReplyError(c, sqlite3_errmsg(db));
    return;
  }
  WritePacket(c, kEndPacket);
  for (int i = 0; i < ncol; i++) {
    const FieldDesc &f = (*fields)[i];
    WriteFieldRow(c, f, f.computed ? (int)longest[i] : f.length);
  }
  Reply(c, kEndPacket);
}

// ---- Statement cache ----

CachedStatement *CacheLookup(Connection *c, const std::string &sql) {
  for (size_t i = 0; i < c->cache.size(); i++) {
    if (c->cache[i].sql == sql) {
      if (i > 0) std::rotate(c->cache.begin(), c->cache.begin() + i, c->cache.begin() + i + 1);
      return &c->cache[0];
    }
  }
  return nullptr;
}

CachedStatement *CacheInsert(Connection *c, const std::string &sql, sqlite3_stmt *stmt) {
  if (c->cache.size() >= STATEMENT_CACHE_SIZE) {
    sqlite3_finalize(c->cache.back().stmt);
    c->cache.pop_back();
  }
  CachedStatement entry;
  entry.sql = sql;
  entry.stmt = stmt;
  c->cache.insert(c->cache.begin(), std::move(entry));
  return &c->cache[0];
}

}  // namespace

const char kReadOnly[] = "Server is read-only: changes are refused";

bool NeedWritable(Connection *c) {
  if (!c->server->config.read_only) return true;
  ReplyError(c, kReadOnly);
  return false;
}

namespace {

// Runs a statement on the current database, which the dispatch table
// makes sure of.
void HandleQuery(Connection *c, const std::string &statement) {
  Translation t;
  std::string error;
  if (!TranslateStatement(statement, &t, &error)) {
    ReplyError(c, error);
    return;
  }
  if (t.kind != STMT_SQL) {
    if (!NeedWritable(c)) return;
    bool ok = t.kind == STMT_CREATE_SEQUENCE ? DbCreateSequence(c->db, t, &error)
                                             : DbDropSequence(c->db, t.table, &error);
    if (ok) {
      Reply(c, "1\n");
    } else {
      ReplyError(c, error);
    }
    return;
  }
  CachedStatement *cached = t.cacheable ? CacheLookup(c, t.sql) : nullptr;
  sqlite3_stmt *stmt = cached ? cached->stmt : nullptr;
  if (!stmt) {
    if (DbPrepareClient(c->db, t.sql, &stmt) != SQLITE_OK) {
      ReplyError(c, sqlite3_errmsg(c->db));
      return;
    }
    if (!stmt) {
      ReplyError(c, "Empty query");
      return;
    }
    if (t.cacheable) cached = CacheInsert(c, t.sql, stmt);
  }
  if (!DbBindParams(stmt, t.params)) {
    ReplyError(c, sqlite3_errmsg(c->db));
  } else if (c->server->config.read_only && !sqlite3_stmt_readonly(stmt)) {
    ReplyError(c, kReadOnly);
  } else if (sqlite3_column_count(stmt) > 0) {
    StreamRows(c, stmt, cached);
  } else {
    int before = sqlite3_total_changes(c->db);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc == SQLITE_DONE) {
      int changed = sqlite3_total_changes(c->db) - before;
      // A dropped table takes its sequence with it, so that a new table of
      // the same name starts without one.
      std::string ignored;
      if (!t.table.empty()) DbDropSequence(c->db, t.table, &ignored);
      Reply(c, std::to_string(changed) + "\n");
    } else {
      ReplyError(c, sqlite3_errmsg(c->db));
    }
  }
  // Reset at once whatever happened: a statement left mid-way would hold
  // its read transaction, and with it an old snapshot, open.
  if (cached) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  } else {
    sqlite3_finalize(stmt);
  }
}

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
  if (!c->local && c->user == c->server->config.admin_user) {
    ReplyError(c, "Permission denied: administration is allowed over the local socket only");
  } else {
    ReplyError(c, "Permission denied: user \"" + c->user + "\" may not administer the server");
  }
  return false;
}

bool NeedName(Connection *c, const std::string &name) {
  if (ValidDatabaseName(name)) return true;
  ReplyError(c, "Bad database name \"" + name + "\": use letters, digits and underscores only");
  return false;
}

// Closes the current database and every statement prepared on it.
void CloseDatabase(Connection *c) {
  for (CachedStatement &entry : c->cache) sqlite3_finalize(entry.stmt);
  c->cache.clear();
  if (c->db) {
    DbClose(c->db);
    std::lock_guard<std::mutex> lock(c->server->db_mutex);
    if (--c->server->open_count[c->database] == 0) c->server->open_count.erase(c->database);
  }
  c->db = nullptr;
  c->database.clear();
}

void CloseDatabaseIf(Connection *c, const std::string &name) {
  if (c->db && c->database == name) CloseDatabase(c);
}

bool SqliteSelect(Connection *c, const std::string &name, std::string *out_error) {
  Server *s = c->server;
  const std::string &dir = s->config.data_dir;
  std::string error;
  sqlite3 *db = nullptr;
  {
    std::lock_guard<std::mutex> lock(s->db_mutex);
    if (!DbExists(dir, name)) {
      error = "Unknown database \"" + name + "\"";
    } else if (!(db = DbOpen(DbPath(dir, name), false, s->config.read_only, &error))) {
      error = "Cannot open database \"" + name + "\": " + error;
    } else {
      s->open_count[name]++;
    }
  }
  if (!db) {
    *out_error = error;
    return false;
  }
  CloseDatabase(c);
  c->db = db;
  c->database = name;
  return true;
}

// Runs one whole-database change under db_mutex. Drop and move refuse a
// database that another connection has open.
bool SqliteAdminister(Connection *c, long code, const std::string &a, const std::string &b,
                      std::string *error) {
  Server *s = c->server;
  const std::string &dir = s->config.data_dir;
  if (code == REQ_DROP_DB || code == REQ_MOVE_DB) CloseDatabaseIf(c, a);
  std::lock_guard<std::mutex> lock(s->db_mutex);
  if ((code == REQ_DROP_DB || code == REQ_MOVE_DB) && s->open_count.count(a)) {
    *error = "Database \"" + a + "\" is in use by " + std::to_string(s->open_count[a]) + " connection(s)";
    return false;
  }
  switch (code) {
    case REQ_CREATE_DB:
      return DbCreate(dir, a, error);
    case REQ_DROP_DB:
      return DbDrop(dir, a, error);
    case REQ_COPY_DB:
      return DbCopy(dir, a, b, error);
    default:
      return DbMove(dir, a, b, error);
  }
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
  std::string error;
  bool ok = c->server->engine->select_database(c, args, &error);
  ReplyOutcome(c, ok, error);
  return true;
}

bool OnQuery(Connection *c, const std::string &args) {
  c->server->queries++;
  LogQuery(c, args);
  c->server->engine->query(c, args);
  return true;
}

bool OnDbList(Connection *c, const std::string &) {
  std::vector<std::string> names;
  std::string error;
  bool ok = c->server->engine->list_databases(c, &names, &error);
  ReplyList(c, ok, names, error);
  return true;
}

bool OnTableList(Connection *c, const std::string &) {
  std::vector<std::string> names;
  std::string error;
  bool ok = c->server->engine->list_tables(c, &names, &error);
  ReplyList(c, ok, names, error);
  return true;
}

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

// Create and drop take one database name, copy and move two.
bool OnOneDatabase(Connection *c, long code, const std::string &args) {
  if (!NeedName(c, args) || !NeedWritable(c)) return true;
  std::string error;
  bool ok = c->server->engine->administer(c, code, args, "", &error);
  ReplyOutcome(c, ok, error);
  return true;
}

bool OnTwoDatabases(Connection *c, long code, const std::string &args) {
  std::string a, b, error;
  SplitPair(args, &a, &b);
  if (!NeedName(c, a) || !NeedName(c, b) || !NeedWritable(c)) return true;
  bool ok = c->server->engine->administer(c, code, a, b, &error);
  ReplyOutcome(c, ok, error);
  return true;
}

bool OnCreateDb(Connection *c, const std::string &args) { return OnOneDatabase(c, REQ_CREATE_DB, args); }
bool OnDropDb(Connection *c, const std::string &args) { return OnOneDatabase(c, REQ_DROP_DB, args); }
bool OnCopyDb(Connection *c, const std::string &args) { return OnTwoDatabases(c, REQ_COPY_DB, args); }
bool OnMoveDb(Connection *c, const std::string &args) { return OnTwoDatabases(c, REQ_MOVE_DB, args); }

// Access is decided by the peer's credentials and admin_user alone; there
// is no access file to read again.
bool OnReloadAcl(Connection *c, const std::string &) {
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
  for (const RequestHandler &h : kHandlers) {
    if (h.code != code) continue;
    if (h.needs_database && !NeedDatabase(c)) return !c->broken;
    if (h.needs_admin && !NeedAdmin(c)) return !c->broken;
    return h.handle(c, args) && !c->broken;
  }
  ReplyError(c, "Unknown request code " + std::to_string(code));
  return !c->broken;
}

bool SqliteListDatabases(Connection *c, std::vector<std::string> *names, std::string *error) {
  return DbListDatabases(c->server->config.data_dir, names, error);
}

bool SqliteListTables(Connection *c, std::vector<std::string> *names, std::string *error) {
  return DbListTables(c->db, names, error);
}

bool SqliteListFields(Connection *c, const std::string &table, std::vector<FieldDesc> *fields,
                      std::string *error) {
  return DbListFields(c->db, table, fields, error);
}

bool SqliteListIndex(Connection *c, const std::string &table, const std::string &index,
                     std::vector<std::string> *rows, std::string *error) {
  return DbListIndex(c->db, table, index, rows, error);
}

bool SqliteSequenceInfo(Connection *c, const std::string &table, long long *step, long long *value,
                        std::string *error) {
  return DbSequenceInfo(c->db, table, step, value, error);
}

}  // namespace

std::string SqliteVersion() { return std::string("SQLite ") + sqlite3_libversion(); }

void SqliteReport(Connection *c, std::vector<std::string> *lines) {
  lines->push_back("Engine: " + SqliteVersion());
  lines->push_back("Data directory: " + c->server->config.data_dir);
}

const Engine kSqliteEngine = {
    "SQLite",         SqliteListDatabases, SqliteSelect, CloseDatabase,      SqliteListTables,
    SqliteListFields, SqliteListIndex,     HandleQuery,  SqliteSequenceInfo, SqliteAdminister,
    SqliteVersion,    SqliteReport,
};

std::string ServerDescription(const Server *server) {
  return std::string(SERVER_NAME) + " (" + server->engine->version() + ")";
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
  msqlWriterInit(&c->out, (unsigned char *)buffers + in_size, out_size);
  if (Login(c)) {
    std::string payload;
    while (!c->server->shutting_down) {
      ReadResult r = ReadRequest(c, &payload);
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
