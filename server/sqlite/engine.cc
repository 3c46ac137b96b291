// The SQLite engine behind korvid-server's requests (kSqliteEngine, at the
// end): a connection's session is one open database file and the statements
// prepared on it. Statements are translated from the mSQL dialect, prepared
// once per shape (their WHERE values are bound) and their rows streamed as
// they are stepped, one row's worth of memory whatever the result's size.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/server.h"
#include "server/sqlite/sqlite.h"

namespace {

// ---- Statements ----

// Binds a translation's parameters (?1, ?2, ...); the texts are not copied,
// so params must outlive the statement's run.
bool BindParams(sqlite3_stmt *stmt, const std::vector<SqlParam> &params) {
  for (size_t i = 0; i < params.size(); i++) {
    const SqlParam &p = params[i];
    int n = (int)i + 1, rc;
    if (p.kind == PARAM_INT) {
      rc = sqlite3_bind_int64(stmt, n, p.i);
    } else if (p.kind == PARAM_REAL) {
      rc = sqlite3_bind_double(stmt, n, p.d);
    } else {
      rc = sqlite3_bind_text(stmt, n, p.text.data(), (int)p.text.size(), SQLITE_STATIC);
    }
    if (rc != SQLITE_OK) return false;
  }
  return true;
}

// The session's statement of this text, moved to the front, or null.
CachedStatement *CacheLookup(SqliteSession *s, const std::string &sql) {
  for (size_t i = 0; i < s->cache.size(); i++) {
    if (s->cache[i].sql == sql) {
      if (i > 0) std::rotate(s->cache.begin(), s->cache.begin() + i, s->cache.begin() + i + 1);
      return &s->cache[0];
    }
  }
  return nullptr;
}

// Keeps a new statement in front, giving up the least recently used one.
CachedStatement *CacheInsert(SqliteSession *s, const std::string &sql, sqlite3_stmt *stmt) {
  if (s->cache.size() >= STATEMENT_CACHE_SIZE) {
    sqlite3_finalize(s->cache.back().stmt);
    s->cache.pop_back();
  }
  CachedStatement entry;
  entry.sql = sql;
  entry.stmt = stmt;
  s->cache.insert(s->cache.begin(), std::move(entry));
  return &s->cache[0];
}

// Steps a statement to its end; *changed is the rows it changed. A dropped
// table takes its sequence with it, so that a new table of the same name
// starts without one.
bool StepToEnd(SqliteSession *s, const Translation &t, sqlite3_stmt *stmt, int *changed, std::string *error) {
  int before = sqlite3_total_changes(s->db);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(s->db);
    return false;
  }
  *changed = sqlite3_total_changes(s->db) - before;
  std::string ignored;
  if (!t.table.empty()) DbDropSequence(s->db, t.table, &ignored);
  return true;
}

// ---- Rows ----

// The open row packet, filled in place: where the next column goes and
// where the writer's contiguous room ends. Once a column does not fit, it
// and the rest go through msqlWriterAppend (space is null then), which
// counts a row past MAX_PACKET on without storing it, so that it is
// dropped whole when it ends.
struct RowSpace {
  PacketWriter *out;
  unsigned char *space, *at, *limit;
};

inline void PutBytes(RowSpace *r, const char *head, size_t head_length, const char *value, size_t n) {
  size_t whole = head_length + (value ? n : 0);
  if ((size_t)(r->limit - r->at) >= whole) {
    msqlCopyBytes(r->at, head, head_length);
    if (value) msqlCopyBytes(r->at + head_length, value, n);
    r->at += whole;
  } else {
    msqlWriterWrote(r->out, (size_t)(r->at - r->space));
    msqlWriterAppend(r->out, head, head_length);
    if (value) msqlWriterAppend(r->out, value, n);
    r->space = r->at = r->limit = nullptr;
  }
}

// Puts one column of a row and returns its length (0 for NULL). Each
// column is read through its value: one call into SQLite per column instead
// of three, which the single thread of the connection makes safe. A number
// is formatted behind its own count, so that the column goes out in one
// copy; a text's bytes are copied once, from SQLite.
inline size_t PutColumn(RowSpace *r, sqlite3_value *column, int type) {
  int kind = sqlite3_value_type(column);
  if (kind == SQLITE_NULL) {
    PutBytes(r, kNullColumn, 3, nullptr, 0);
    return 0;
  }
  char digits[400];  // the widest "%.2f" of a double is some 320 bytes
  char *end = digits + sizeof digits;
  const char *head;  // the count and its colon, and a number's digits
  const char *value = nullptr;
  size_t n;
  if (type == MONEY_TYPE && (kind == SQLITE_INTEGER || kind == SQLITE_FLOAT)) {
    int printed = snprintf(digits + 24, sizeof digits - 24, "%.2f", sqlite3_value_double(column));
    n = printed < 0 ? 0 : std::min((size_t)printed, sizeof digits - 25);
    head = FormatCount(digits + 24, n);
    PutBytes(r, head, (size_t)(digits + 24 + n - head), nullptr, 0);
    return n;
  }
  if (kind == SQLITE_FLOAT && (n = FormatReal(sqlite3_value_double(column), digits, sizeof digits))) {
    memmove(end - n, digits, n);
    head = FormatCount(end - n, n);
  } else if (kind == SQLITE_INTEGER) {
    long long x = sqlite3_value_int64(column);
    char *first = FormatDecimal(end, x < 0 ? 0ULL - (unsigned long long)x : (unsigned long long)x);
    if (x < 0) *--first = '-';
    n = (size_t)(end - first);
    head = FormatCount(first, n);
  } else {
    value = (const char *)sqlite3_value_text(column);
    n = value ? (size_t)sqlite3_value_bytes(column) : 0;
    if (!value) value = "";
    head = FormatCount(end, n);
  }
  PutBytes(r, head, (size_t)(end - head), value, n);
  return n;
}

// Writes the statement's current row as one row packet behind a header
// that is filled in once the row is complete; false, with the failure
// answered, when the row does not fit in a packet.
bool WriteRow(Connection *c, sqlite3_stmt *stmt, const std::vector<FieldDesc> &fields,
              std::vector<size_t> *longest) {
  RowSpace r;
  r.out = &c->out;
  msqlWriterBegin(r.out);
  size_t room = 0;
  r.space = r.at = msqlWriterSpace(r.out, &room);
  r.limit = r.space + room;
  for (size_t i = 0; i < fields.size(); i++) {
    size_t n = PutColumn(&r, sqlite3_column_value(stmt, (int)i), fields[i].type);
    if (n > (*longest)[i]) (*longest)[i] = n;
  }
  msqlWriterWrote(r.out, (size_t)(r.at - r.space));
  std::string failure;
  if (EndRow(c, &failure)) return true;
  ReplyError(c, failure);
  return false;
}

// The field descriptions of a stepped statement: kept with its cache entry
// between runs, taken afresh when SQLite prepared it again (a statement
// prepared before its table was made again, where "*" may then name other
// columns).
const std::vector<FieldDesc> &Describe(sqlite3 *db, sqlite3_stmt *stmt, CachedStatement *cached,
                                       std::vector<FieldDesc> *local) {
  int ncol = sqlite3_column_count(stmt);
  std::vector<FieldDesc> *fields = local;
  int reprepares = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
  if (cached) {
    fields = &cached->fields;
    if (cached->reprepares != reprepares || (int)fields->size() != ncol) fields->clear();
    cached->reprepares = reprepares;
  }
  if (fields->empty()) {
    for (int i = 0; i < ncol; i++) fields->push_back(DbDescribeColumn(db, stmt, i));
  }
  return *fields;
}

// Writes the rows of a prepared statement, then their field descriptions.
// The first row is fetched before the reply goes out, so a statement that
// fails at once gets a plain error reply rather than a broken stream. The
// output is written whenever it holds OUTPUT_FLUSH_SIZE bytes; the status
// goes out with the first rows, and a short result in one write with its
// descriptions: a point select is one write, one wake-up of the client.
void StreamRows(Connection *c, sqlite3_stmt *stmt, CachedStatement *cached) {
  sqlite3 *db = c->sqlite->db;
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    ReplyError(c, sqlite3_errmsg(db));
    return;
  }
  // Described after the first step, which prepares afresh if need be.
  std::vector<FieldDesc> local;
  const std::vector<FieldDesc> &fields = Describe(db, stmt, cached, &local);
  std::vector<size_t> longest(fields.size(), 0);
  BeginResult(c, (int)fields.size());
  while (rc == SQLITE_ROW && !c->broken) {
    if (!WriteRow(c, stmt, fields, &longest)) return;
    rc = sqlite3_step(stmt);
  }
  if (c->broken) return;
  if (rc != SQLITE_DONE) {
    ReplyError(c, sqlite3_errmsg(db));
    return;
  }
  FinishResult(c, fields, longest);
}

// Runs a client's statement on the current database, which the dispatch
// table makes sure of.
void SqliteQuery(Connection *c, const std::string &statement) {
  SqliteSession *s = c->sqlite;
  Translation t;
  std::string error;
  if (!TranslateStatement(statement, &t, &error)) {
    ReplyError(c, error);
    return;
  }
  if (t.kind != STMT_SQL) {
    if (!NeedWritable(c)) return;
    if (SqliteSequenceStatement(s, t, &error)) {
      Reply(c, "1\n");
    } else {
      ReplyError(c, error);
    }
    return;
  }
  sqlite3_stmt *stmt = nullptr;
  CachedStatement *cached = nullptr;
  if (!SqlitePrepare(s, t, &stmt, &cached, &error)) {
    ReplyError(c, error);
    return;
  }
  int changed = 0;
  if (!sqlite3_stmt_readonly(stmt) && !NeedWritable(c)) {
    // answered
  } else if (sqlite3_column_count(stmt) > 0) {
    StreamRows(c, stmt, cached);
  } else if (StepToEnd(s, t, stmt, &changed, &error)) {
    Reply(c, std::to_string(changed) + "\n");
  } else {
    ReplyError(c, error);
  }
  SqliteDone(stmt, cached);
}

// ---- Databases ----

// Closes the current database and every statement prepared on it.
void SqliteCloseDatabase(Connection *c) {
  if (c->sqlite) {
    {
      std::lock_guard<std::mutex> session(c->session_mutex);
      SqliteSessionClose(c->sqlite);
      delete c->sqlite;
      c->sqlite = nullptr;
    }
    std::lock_guard<std::mutex> lock(c->server->db_mutex);
    if (--c->server->open_count[c->database] == 0) c->server->open_count.erase(c->database);
  }
  c->database.clear();
}

// Waits for another connection's write lock up to DB_BUSY_TIMEOUT_MS, as
// sqlite3_busy_timeout would, but gives up at once when the statement has
// been stopped (its time limit, its client gone, a shutdown), which an
// interrupt alone does not end.
int WaitForLock(void *arg, int tries) {
  Connection *c = (Connection *)arg;
  const int step_ms = 5;
  if (c->stop != STOP_NONE || (long long)tries * step_ms >= DB_BUSY_TIMEOUT_MS) return 0;
  sqlite3_sleep(step_ms);
  return 1;
}

bool SqliteSelectDatabase(Connection *c, const std::string &name, std::string *out_error) {
  Server *server = c->server;
  const std::string &dir = server->config.data_dir;
  std::string error;
  sqlite3 *db = nullptr;
  {
    std::lock_guard<std::mutex> lock(server->db_mutex);
    if (!DbExists(dir, name)) {
      error = "Unknown database \"" + name + "\"";
    } else if (!(db = DbOpen(DbPath(dir, name), false, ReadOnlyClient(c), &error))) {
      error = "Cannot open database \"" + name + "\": " + error;
    } else {
      server->open_count[name]++;
    }
  }
  if (!db) {
    *out_error = error;
    return false;
  }
  SqliteCloseDatabase(c);
  sqlite3_busy_handler(db, WaitForLock, c);
  std::lock_guard<std::mutex> session(c->session_mutex);
  c->sqlite = new SqliteSession;
  c->sqlite->db = db;
  c->sqlite->read_only = ReadOnlyClient(c);
  c->database = name;
  return true;
}

// Runs one whole-database change under db_mutex. Drop and move refuse a
// database that another connection has open.
bool SqliteAdminister(Connection *c, long code, const std::string &a, const std::string &b,
                      std::string *error) {
  Server *server = c->server;
  const std::string &dir = server->config.data_dir;
  if ((code == REQ_DROP_DB || code == REQ_MOVE_DB) && c->sqlite && c->database == a) SqliteCloseDatabase(c);
  std::lock_guard<std::mutex> lock(server->db_mutex);
  if ((code == REQ_DROP_DB || code == REQ_MOVE_DB) && server->open_count.count(a)) {
    *error = "Database \"" + a + "\" is in use by " + std::to_string(server->open_count[a]) + " connection(s)";
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

// ---- Catalog ----

bool SqliteListDatabases(Connection *c, std::vector<std::string> *names, std::string *error) {
  return DbListDatabases(c->server->config.data_dir, names, error);
}

bool SqliteListTables(Connection *c, std::vector<std::string> *names, std::string *error) {
  return DbListTables(c->sqlite->db, names, error);
}

bool SqliteListFields(Connection *c, const std::string &table, std::vector<FieldDesc> *fields,
                      std::string *error) {
  return DbListFields(c->sqlite->db, table, fields, error);
}

bool SqliteListIndex(Connection *c, const std::string &table, const std::string &index,
                     std::vector<std::string> *rows, std::string *error) {
  return DbListIndex(c->sqlite->db, table, index, rows, error);
}

bool SqliteSequenceInfo(Connection *c, const std::string &table, long long *step, long long *value,
                        std::string *error) {
  return DbSequenceInfo(c->sqlite->db, table, step, value, error);
}

bool SqliteStart(ServerConfig *cfg, std::string *error) {
  // No global allocation statistics: their mutex is taken on every
  // allocation of every connection.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  struct stat st;
  if (stat(cfg->data_dir.c_str(), &st) != 0 && mkdir(cfg->data_dir.c_str(), 0700) != 0) {
    *error = "cannot create data directory " + cfg->data_dir + ": " + strerror(errno);
    return false;
  }
  // A data directory the server cannot write (a read-only copy, another
  // user's files) is served read-only rather than not at all.
  if (!cfg->read_only && access(cfg->data_dir.c_str(), W_OK) != 0) {
    fprintf(stderr, "korvid-server: data directory %s is not writable: serving it read-only\n",
            cfg->data_dir.c_str());
    cfg->read_only = true;
  }
  g_value_limit = cfg->value_limit;
  // A large sort or temporary table spills into the data directory, with
  // the databases and on their disk, rather than into /var/tmp or /tmp
  // (SQLite unlinks such a file as soon as it is open). Set once, before
  // any connection, as SQLite requires.
  char *resolved = realpath(cfg->data_dir.c_str(), nullptr);
  sqlite3_temp_directory = sqlite3_mprintf("%s", resolved ? resolved : cfg->data_dir.c_str());
  free(resolved);
  return true;
}

std::string SqliteVersion() { return std::string("SQLite ") + sqlite3_libversion(); }

void SqliteInterrupt(Connection *c) {
  if (c->sqlite && c->sqlite->db) sqlite3_interrupt(c->sqlite->db);
}

void SqliteReport(Connection *c, std::vector<std::string> *lines) {
  lines->push_back("Engine: " + SqliteVersion());
  lines->push_back("Data directory: " + c->server->config.data_dir);
}

}  // namespace

void SqliteSessionClose(SqliteSession *s) {
  for (CachedStatement &entry : s->cache) sqlite3_finalize(entry.stmt);
  s->cache.clear();
  if (s->db) DbClose(s->db);
  s->db = nullptr;
}

bool SqlitePrepare(SqliteSession *s, const Translation &t, sqlite3_stmt **stmt, CachedStatement **cached,
                   std::string *error) {
  *cached = t.cacheable ? CacheLookup(s, t.sql) : nullptr;
  *stmt = *cached ? (*cached)->stmt : nullptr;
  if (!*stmt) {
    if (DbPrepareClient(s->db, t.sql, stmt) != SQLITE_OK) {
      *error = sqlite3_errmsg(s->db);
      return false;
    }
    if (!*stmt) {
      *error = "Empty query";
      return false;
    }
    if (t.cacheable) *cached = CacheInsert(s, t.sql, *stmt);
  }
  if (!BindParams(*stmt, t.params)) {
    *error = sqlite3_errmsg(s->db);
    SqliteDone(*stmt, *cached);
    return false;
  }
  return true;
}

bool SqliteSequenceStatement(SqliteSession *s, const Translation &t, std::string *error) {
  return t.kind == STMT_CREATE_SEQUENCE ? DbCreateSequence(s->db, t, error) : DbDropSequence(s->db, t.table, error);
}

void SqliteDone(sqlite3_stmt *stmt, CachedStatement *cached) {
  if (cached) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  } else {
    sqlite3_finalize(stmt);
  }
}

bool SqliteRun(SqliteSession *s, const Translation &t, int *changed, std::string *error) {
  if (t.kind != STMT_SQL) return SqliteSequenceStatement(s, t, error);
  sqlite3_stmt *stmt = nullptr;
  CachedStatement *cached = nullptr;
  if (!SqlitePrepare(s, t, &stmt, &cached, error)) return false;
  bool ok = StepToEnd(s, t, stmt, changed, error);
  SqliteDone(stmt, cached);
  return ok;
}

const Engine kSqliteEngine = {
    "SQLite",         SqliteStart,         SqliteListDatabases, SqliteSelectDatabase, SqliteCloseDatabase, SqliteListTables,
    SqliteListFields, SqliteListIndex,     SqliteQuery,          SqliteSequenceInfo,  SqliteAdminister,
    SqliteVersion,    SqliteReport,        SqliteInterrupt,
};
