// korvid-server's PostgreSQL engine: every client connection that selects a
// database gets a libpq connection of its own to the PostgreSQL database of
// that name, made from the configured connection string, and closed when the
// client selects another database or leaves. Statements are translated to
// PostgreSQL's dialect, their literals sent as parameters. A statement seen
// twice is prepared under a name of its own, so that PostgreSQL neither
// parses nor (once its generic plan serves) plans it again. Rows are taken
// in single-row mode and written on as they come; a statement whose last run
// gave many rows runs through a cursor instead, fetched in batches, the next
// batch asked for before the last one is written. Either way a result of any
// size needs only a batch's worth of memory here.
#include <libpq-fe.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "msql/protocol.h"
#include "server/dialect.h"
#include "server/server.h"

// What is known of a table whose columns appear in results: its name and
// which of its columns are NOT NULL, by column number.
struct PgTable {
  std::string name;
  std::vector<bool> not_null;
};

// What the session remembers of a statement, by its translated text and
// parameter types: its prepared name once it is prepared, and how many rows
// its last run gave, which chooses single-row mode or a cursor next time.
struct PgStatement {
  std::string name;  // empty: not prepared
  long uses = 0;
  long last_used = 0;
  long long rows = 0;
};

struct PgSession {
  PGconn *conn = nullptr;
  // Looked up once per table; forgotten after any statement that is not a
  // SELECT, which may have changed them.
  std::map<Oid, PgTable> tables;
  std::map<std::string, PgStatement> statements;
  long clock = 0;       // counts statements, for the least recently used
  long next_name = 0;   // numbers the prepared statements' names
};

namespace {

// Type OIDs of PostgreSQL's built-in types (pg_type.dat).
enum {
  PG_BOOL = 16, PG_INT8 = 20, PG_INT2 = 21, PG_INT4 = 23, PG_TEXT = 25, PG_FLOAT4 = 700,
  PG_FLOAT8 = 701, PG_BPCHAR = 1042, PG_VARCHAR = 1043, PG_DATE = 1082, PG_TIME = 1083,
  PG_NUMERIC = 1700
};

// libpq's messages end in a newline and may hold several lines.
std::string PgMessage(const char *text) {
  std::string s = text ? text : "";
  while (!s.empty() && isspace((unsigned char)s.back())) s.pop_back();
  for (char &ch : s) {
    if (ch == '\n' || ch == '\t') ch = ' ';
  }
  return s.empty() ? "PostgreSQL gave no reason" : s;
}

std::string ResultMessage(PGresult *r, PGconn *conn) {
  const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return PgMessage(primary ? primary : PQerrorMessage(conn));
}

// Sets a new (or reset) connection up as the engine needs it: mSQL's
// day-month order for dates given as numbers; float4 and float8 in their
// shortest text that reads back as the same value (whatever the server's
// or the connection string's extra_float_digits), so that a value written
// back untouched is stored again bit for bit; and no changes at all on a
// read-only server.
bool SetUp(PGconn *conn, const ServerConfig &cfg, std::string *error) {
  std::string setup = "SET DateStyle = 'ISO, DMY'; SET extra_float_digits = 1";
  if (cfg.read_only) setup += "; SET default_transaction_read_only = on";
  PGresult *r = PQexec(conn, setup.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!ok) *error = ResultMessage(r, conn);
  PQclear(r);
  return ok;
}

// Opens a connection to `dbname` (empty: the connection string's own),
// set up as the engine needs it: mSQL's day-month order for dates given as
// numbers, and no changes at all on a read-only server.
PGconn *PgOpen(const ServerConfig &cfg, const std::string &dbname, std::string *error) {
  // The connection string's settings, with its database replaced.
  char *parse_error = nullptr;
  PQconninfoOption *options = PQconninfoParse(cfg.pg_conninfo.c_str(), &parse_error);
  if (!options) {
    *error = "Bad PostgreSQL connection string: " + PgMessage(parse_error ? parse_error : "out of memory");
    PQfreemem(parse_error);
    return nullptr;
  }
  std::vector<const char *> keys, values;
  for (PQconninfoOption *o = options; o->keyword; o++) {
    bool db = strcmp(o->keyword, "dbname") == 0 && !dbname.empty();
    if (!o->val && !db) continue;
    keys.push_back(o->keyword);
    values.push_back(db ? dbname.c_str() : o->val);
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn *conn = PQconnectdbParams(keys.data(), values.data(), 0);
  PQconninfoFree(options);
  if (!conn || PQstatus(conn) != CONNECTION_OK) {
    // Named as the manual names it, the connection string's own database too.
    const char *named = conn ? PQdb(conn) : nullptr;
    std::string shown = !dbname.empty() ? dbname : named ? named : "";
    *error = "Cannot connect to PostgreSQL database " + shown + ": " +
             PgMessage(conn ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return nullptr;
  }
  // PostgreSQL's notices (a shutdown announced, say) are not the
  // server's to print.
  PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
  if (!SetUp(conn, cfg, error)) {
    *error = "Cannot set up the PostgreSQL connection: " + *error;
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

// A connection that broke since the last request is made again; false with
// the reason when PostgreSQL still cannot be reached.
bool PgAlive(Connection *c, std::string *error) {
  PGconn *conn = c->pg->conn;
  if (PQstatus(conn) == CONNECTION_OK) return true;
  PQreset(conn);
  c->pg->tables.clear();
  c->pg->statements.clear();  // prepared statements die with their connection
  if (PQstatus(conn) != CONNECTION_OK) {
    *error = "PostgreSQL cannot be reached: " + PgMessage(PQerrorMessage(conn));
    return false;
  }
  return SetUp(conn, c->server->config, error);
}

// Runs a catalog query with text parameters and keeps the whole result
// (catalogs are small). Null with the reason on failure.
using Result = std::unique_ptr<PGresult, void (*)(PGresult *)>;

Result Catalog(Connection *c, const char *sql, const std::vector<std::string> &params, std::string *error) {
  Result none(nullptr, PQclear);
  if (!PgAlive(c, error)) return none;
  std::vector<const char *> values;
  for (const std::string &p : params) values.push_back(p.c_str());
  Result r(PQexecParams(c->pg->conn, sql, (int)values.size(), nullptr, values.data(), nullptr, nullptr, 0),
           PQclear);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    *error = ResultMessage(r.get(), c->pg->conn);
    return none;
  }
  return r;
}

// The protocol's type and length for a column of PostgreSQL type `oid`
// with type modifier `mod`: numeric with two decimals is money, any other
// numeric real; a char or varchar length is declared, text (and anything
// else, shown as PostgreSQL writes it) measured.
FieldType PgFieldType(Oid oid, int mod) {
  switch (oid) {
    case PG_INT2:
    case PG_INT4:
    case PG_INT8:
      return {INT_TYPE, 4};
    case PG_FLOAT4:
    case PG_FLOAT8:
      return {REAL_TYPE, 8};
    case PG_NUMERIC:
      return mod >= 4 && ((mod - 4) & 0xffff) == 2 ? FieldType{MONEY_TYPE, 4} : FieldType{REAL_TYPE, 8};
    case PG_BPCHAR:
    case PG_VARCHAR:
      if (mod > 4) return {CHAR_TYPE, mod - 4};
      return {TEXT_TYPE, 0, true};
    case PG_DATE:
      return {DATE_TYPE, 4};
    case PG_TIME:
      return {TIME_TYPE, 4};
    default:
      return {TEXT_TYPE, 0, true};
  }
}

// The table of relation `oid`, from the session's memory or the catalog.
const PgTable *TableOf(Connection *c, Oid oid) {
  auto found = c->pg->tables.find(oid);
  if (found != c->pg->tables.end()) return &found->second;
  std::string error, id = std::to_string(oid);
  Result r = Catalog(c,
                     "SELECT c.relname, a.attnum, a.attnotnull FROM pg_class c JOIN pg_attribute a "
                     "ON a.attrelid = c.oid AND a.attnum > 0 WHERE c.oid = $1::oid ORDER BY a.attnum",
                     {id}, &error);
  if (!r || PQntuples(r.get()) == 0) return nullptr;
  PgTable &t = c->pg->tables[oid];
  t.name = PQgetvalue(r.get(), 0, 0);
  for (int i = 0; i < PQntuples(r.get()); i++) {
    size_t number = (size_t)atoi(PQgetvalue(r.get(), i, 1));
    if (t.not_null.size() < number + 1) t.not_null.resize(number + 1, false);
    t.not_null[number] = PQgetvalue(r.get(), i, 2)[0] == 't';
  }
  return &t;
}

FieldDesc DescribeColumn(Connection *c, PGresult *r, int i) {
  FieldDesc f;
  f.name = PQfname(r, i);
  if (f.name.size() > FIELD_NAME_MAX) f.name.resize(FIELD_NAME_MAX);
  FieldType t = PgFieldType(PQftype(r, i), PQfmod(r, i));
  f.type = t.type;
  f.length = t.length;
  f.computed = t.measured;
  Oid table = PQftable(r, i);
  int column = PQftablecol(r, i);
  // A computed text is CHAR as long as its longest value, as with SQLite.
  if (table == InvalidOid && f.type == TEXT_TYPE) f.type = CHAR_TYPE;
  if (table != InvalidOid) {
    if (const PgTable *known = TableOf(c, table)) {
      f.table = known->name;
      f.not_null = column > 0 && (size_t)column < known->not_null.size() && known->not_null[column];
    }
  }
  return f;
}

// "1999-03-02" as mSQL writes it, "02-Mar-1999"; anything else unchanged.
size_t MsqlDate(const char *iso, size_t n, char *out) {
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (n != 10 || iso[4] != '-' || iso[7] != '-') return 0;
  int month = (iso[5] - '0') * 10 + (iso[6] - '0');
  if (month < 1 || month > 12) return 0;
  memcpy(out, iso + 8, 2);
  out[2] = '-';
  memcpy(out + 3, months + (month - 1) * 3, 3);
  out[6] = '-';
  memcpy(out + 7, iso, 4);
  return 11;
}

// The columns of the rows being written: which are dates, and the longest
// value of each so far (the length of a measured column).
struct RowShape {
  int ncol = 0;
  std::vector<bool> is_date;
  std::vector<size_t> longest;
};

RowShape ShapeOf(PGresult *r) {
  RowShape shape;
  shape.ncol = PQnfields(r);
  shape.is_date.resize(shape.ncol);
  shape.longest.assign(shape.ncol, 0);
  for (int i = 0; i < shape.ncol; i++) shape.is_date[i] = PQftype(r, i) == PG_DATE;
  return shape;
}

// Appends one non-NULL column to the open row packet: its byte count, a
// colon and its bytes, a date in mSQL's form.
void WriteColumn(PacketWriter *out, const char *value, size_t n, RowShape *shape, int i) {
  char date[16];
  if (shape->is_date[i]) {
    size_t m = MsqlDate(value, n, date);
    if (m) {
      value = date;
      n = m;
    }
  }
  if (n > shape->longest[i]) shape->longest[i] = n;
  WriteColumnBytes(out, value, n);
}

// Writes every row of `r` as a row packet; false with *failure set when a
// row does not fit in a packet.
bool WriteRows(Connection *c, PGresult *r, RowShape *shape, std::string *failure) {
  PacketWriter *out = &c->out;
  int ncol = shape->ncol, nrow = PQntuples(r);
  for (int row = 0; row < nrow && !c->broken; row++) {
    msqlWriterBegin(out);
    for (int i = 0; i < ncol; i++) {
      // Only an empty value may be a NULL: one call fewer for the others.
      size_t n = (size_t)PQgetlength(r, row, i);
      if (n == 0 && PQgetisnull(r, row, i)) {
        msqlWriterAppend(out, kNullColumn, 3);
        continue;
      }
      WriteColumn(out, PQgetvalue(r, row, i), n, shape, i);
    }
    if (!EndRow(c, failure)) return false;
  }
  return true;
}

// Writes one row of COPY's text form (columns between tabs, \N for NULL,
// backslash escapes for tab, newline and the like, a newline at the end).
bool WriteCopyRow(Connection *c, const char *line, size_t len, RowShape *shape, std::string *scratch,
                  std::string *failure) {
  PacketWriter *out = &c->out;
  if (len && line[len - 1] == '\n') len--;
  const char *end = line + len, *p = line;
  msqlWriterBegin(out);
  for (int i = 0; i < shape->ncol; i++) {
    const char *tab = (const char *)memchr(p, '\t', (size_t)(end - p));
    const char *stop = tab ? tab : end;
    size_t n = (size_t)(stop - p);
    if (n == 2 && p[0] == '\\' && p[1] == 'N') {
      msqlWriterAppend(out, kNullColumn, 3);
    } else if (!memchr(p, '\\', n)) {
      WriteColumn(out, p, n, shape, i);
    } else {
      scratch->clear();
      for (const char *q = p; q < stop; q++) {
        if (*q != '\\' || q + 1 == stop) {
          *scratch += *q;
          continue;
        }
        char e = *++q;
        switch (e) {
          case 'b': *scratch += '\b'; break;
          case 'f': *scratch += '\f'; break;
          case 'n': *scratch += '\n'; break;
          case 'r': *scratch += '\r'; break;
          case 't': *scratch += '\t'; break;
          case 'v': *scratch += '\v'; break;
          default:
            if (e >= '0' && e <= '7') {
              int v = e - '0';
              for (int k = 0; k < 2 && q + 1 < stop && q[1] >= '0' && q[1] <= '7'; k++) v = v * 8 + (*++q - '0');
              *scratch += (char)v;
            } else {
              *scratch += e;
            }
        }
      }
      WriteColumn(out, scratch->data(), scratch->size(), shape, i);
    }
    p = tab ? tab + 1 : end;
  }
  return EndRow(c, failure);
}

// After the rows: the end of the rows, the field descriptions (computed
// lengths from the longest values) and the end, in one write with what is
// still buffered; or the failure that cut the rows short.
void FinishRows(Connection *c, PGresult *described, const RowShape &shape, const std::string &failure) {
  std::vector<FieldDesc> fields;
  if (!c->broken && failure.empty()) {
    for (int i = 0; i < shape.ncol; i++) fields.push_back(DescribeColumn(c, described, i));
  }
  if (c->broken) return;
  if (!failure.empty()) {
    ReplyError(c, failure);
    return;
  }
  FinishResult(c, fields, shape.longest);
}

// Writes the rows of a statement sent in single-row mode, then their field
// descriptions; like the SQLite engine, a statement that fails before its
// first row gets a plain error reply. The columns are described once the
// rows are all read: the catalog cannot be asked while they come in.
// Returns the number of rows.
long long StreamRows(Connection *c, PGresult *first) {
  PGconn *conn = c->pg->conn;
  RowShape shape = ShapeOf(first);
  BeginResult(c, shape.ncol);
  std::string failure;
  long long rows = 0;
  PGresult *r = first;
  while (r) {
    ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_SINGLE_TUPLE && !c->broken && failure.empty()) {
      WriteRows(c, r, &shape, &failure);
      rows++;
    } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && failure.empty()) {
      failure = ResultMessage(r, conn);
    }
    if (r != first) PQclear(r);
    // The rest of a result that is given up is still read, so that the
    // connection is ready for the next statement.
    r = PQgetResult(conn);
  }
  FinishRows(c, first, shape, failure);
  PQclear(first);
  return rows;
}

// Reads what remains of a statement's results, keeping the first failure.
void Drain(PGconn *conn, std::string *failure) {
  while (PGresult *r = PQgetResult(conn)) {
    ExecStatusType status = PQresultStatus(r);
    if (failure->empty() && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
        status != PGRES_SINGLE_TUPLE) {
      *failure = ResultMessage(r, conn);
    }
    PQclear(r);
  }
}

// Runs a statement without rows of its own and answers with its count.
bool Command(Connection *c, const std::string &sql, std::string *error, long long *changed = nullptr) {
  PGconn *conn = c->pg->conn;
  PGresult *r = PQexec(conn, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
  if (!ok) *error = ResultMessage(r, conn);
  if (ok && changed) *changed = atoll(PQcmdTuples(r));
  PQclear(r);
  return ok;
}

// Each point select waits twice here: for PostgreSQL's answer and for the
// client's next request, both usually a few tens of microseconds away. Going
// to sleep and being woken again costs about as much as the select itself,
// so while the server has a core to spare (fewer connections than cores) a
// short wait is spent looking rather than asleep.
const std::chrono::microseconds kSpinPostgres(300), kSpinClient(150);

bool CoreToSpare(Connection *c) {
  static const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return c->server->connections.load() < cores;
}

// Reads PostgreSQL's answer as it comes until it is complete or the spin
// is over; PQgetResult then waits asleep for whatever is still missing.
void SpinForPostgres(Connection *c) {
  if (!CoreToSpare(c)) return;
  PGconn *conn = c->pg->conn;
  auto until = std::chrono::steady_clock::now() + kSpinPostgres;
  while (PQisBusy(conn) && PQconsumeInput(conn) && std::chrono::steady_clock::now() < until) {
  }
}

// Looks for the client's next request until it is there or the spin is over.
void SpinForClient(Connection *c) {
  if (c->broken || !CoreToSpare(c)) return;
  auto until = std::chrono::steady_clock::now() + kSpinClient;
  char byte;
  while (recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN &&
         std::chrono::steady_clock::now() < until) {
  }
}

// Prepared statements kept per session, the least recently used given up
// beyond this many.
const size_t kPreparedMax = 64;
// A SELECT whose last run gave at least this many rows runs through a
// cursor, fetched this many rows at a time: one result of many rows costs
// libpq far less than as many results of one row each.
const long long kCursorRows = 1000;
const int kCursorBatch = 4096;

// Forgets a statement's prepared form, given up or refused by PostgreSQL.
void Unprepare(Connection *c, PgStatement *st) {
  if (st->name.empty()) return;
  std::string ignored;
  Command(c, "DEALLOCATE " + st->name, &ignored);
  st->name.clear();
}

// The session's record of a statement, made on first sight; the least
// recently used one goes (its prepared statement deallocated) when the
// records are full.
PgStatement *Remember(Connection *c, const std::string &key) {
  PgSession *pg = c->pg;
  auto found = pg->statements.find(key);
  if (found == pg->statements.end()) {
    if (pg->statements.size() >= kPreparedMax) {
      auto oldest = pg->statements.begin();
      for (auto it = pg->statements.begin(); it != pg->statements.end(); ++it) {
        if (it->second.last_used < oldest->second.last_used) oldest = it;
      }
      Unprepare(c, &oldest->second);
      pg->statements.erase(oldest);
    }
    found = pg->statements.emplace(key, PgStatement()).first;
  }
  found->second.uses++;
  found->second.last_used = ++pg->clock;
  return &found->second;
}

// True for the failures of a prepared statement that preparing it afresh
// cures: its table was made again with other columns ("cached plan must
// not change result type"), or the statement is gone.
bool StalePrepared(PGresult *r) {
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  return state && (strcmp(state, "0A000") == 0 || strcmp(state, "26000") == 0);
}

// Runs a SELECT without parameters as COPY (SELECT ...) TO STDOUT: its rows
// come as lines of text, each read by libpq into one buffer of its own,
// far cheaper than a result per row, and PostgreSQL writes them with less
// work than rows of a result. Its columns are described first. Returns the
// number of rows; the reply is written.
long long CopyRows(Connection *c, const Translation &t) {
  PGconn *conn = c->pg->conn;
  std::string error;
  PGresult *described = nullptr;
  PGresult *prepared = PQprepare(conn, "", t.sql.c_str(), 0, nullptr);
  bool ok = PQresultStatus(prepared) == PGRES_COMMAND_OK;
  if (!ok) error = ResultMessage(prepared, conn);
  PQclear(prepared);
  if (ok) {
    described = PQdescribePrepared(conn, "");
    ok = PQresultStatus(described) == PGRES_COMMAND_OK;
    if (!ok) error = ResultMessage(described, conn);
  }
  PGresult *copying = nullptr;
  if (ok) {
    std::string copy = "COPY (" + t.sql + ") TO STDOUT";
    copying = PQexec(conn, copy.c_str());
    ok = PQresultStatus(copying) == PGRES_COPY_OUT;
    if (!ok) error = ResultMessage(copying, conn);
    PQclear(copying);
  }
  if (!ok) {
    PQclear(described);
    Drain(conn, &error);
    ReplyError(c, error);
    return 0;
  }
  RowShape shape = ShapeOf(described);
  BeginResult(c, shape.ncol);
  std::string failure, scratch;
  long long rows = 0;
  char *line = nullptr;
  int len;
  while ((len = PQgetCopyData(conn, &line, 0)) > 0) {
    if (failure.empty() && !c->broken) WriteCopyRow(c, line, (size_t)len, &shape, &scratch, &failure);
    PQfreemem(line);
    rows++;
  }
  // The end of the copy, or why it stopped.
  Drain(conn, &failure);
  FinishRows(c, described, shape, failure);
  PQclear(described);
  return rows;
}

// Queues one statement of a cursor's pipeline, each followed by a sync
// point of its own, so that each statement's results end in a
// PGRES_PIPELINE_SYNC whatever happened.
bool Queue(PGconn *conn, const char *sql, const std::vector<const char *> *values = nullptr,
           const std::vector<int> *lengths = nullptr, const std::vector<int> *formats = nullptr,
           const std::vector<Oid> *types = nullptr) {
  int n = values ? (int)values->size() : 0;
  return PQsendQueryParams(conn, sql, n, types ? types->data() : nullptr, values ? values->data() : nullptr,
                           lengths ? lengths->data() : nullptr, formats ? formats->data() : nullptr, 0) &&
         PQpipelineSync(conn);
}

// Reads the results of one queued statement up to its sync point: its
// rows (the caller's), or null with the first failure kept in *failure.
PGresult *Collect(PGconn *conn, std::string *failure) {
  PGresult *rows = nullptr;
  for (int nulls = 0; nulls < 3;) {
    PGresult *r = PQgetResult(conn);
    if (!r) {
      // Between results; a connection that broke gives nothing more.
      if (PQstatus(conn) != CONNECTION_OK) nulls = 3;
      nulls++;
      continue;
    }
    nulls = 0;
    ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(r);
      return rows;
    }
    if (status == PGRES_TUPLES_OK && !rows) {
      rows = r;
      continue;
    }
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && failure->empty()) {
      *failure = status == PGRES_PIPELINE_ABORTED ? "PostgreSQL gave up the statement" : ResultMessage(r, conn);
    }
    PQclear(r);
  }
  if (failure->empty()) *failure = PgMessage(PQerrorMessage(conn));
  PQclear(rows);
  return nullptr;
}

// Runs a SELECT through a cursor in a transaction of its own, in libpq's
// pipeline mode with one batch always asked for ahead: PostgreSQL makes the
// next batch while libpq reads one and its rows are written here. Returns
// the number of rows; the reply is written.
long long CursorRows(Connection *c, const Translation &t, const std::vector<const char *> &values,
                     const std::vector<int> &lengths, const std::vector<int> &formats,
                     const std::vector<Oid> &types) {
  PGconn *conn = c->pg->conn;
  static const std::string kFetch = "FETCH " + std::to_string(kCursorBatch) + " FROM korvid_rows";
  std::string declare = "DECLARE korvid_rows NO SCROLL CURSOR FOR " + t.sql;
  std::string failure;
  int queued = 0;  // FETCHes sent and not yet collected
  bool ok = PQenterPipelineMode(conn) && Queue(conn, "BEGIN") &&
            Queue(conn, declare.c_str(), &values, &lengths, &formats, &types) && Queue(conn, kFetch.c_str()) &&
            Queue(conn, kFetch.c_str());
  if (ok) queued = 2;
  if (!ok) failure = PgMessage(PQerrorMessage(conn));
  // In pipeline mode libpq sends only once its buffer fills, unless told.
  if (ok && PQflush(conn) != 0) failure = PgMessage(PQerrorMessage(conn));
  PGresult *ignored = Collect(conn, &failure);  // BEGIN
  PQclear(ignored);
  ignored = Collect(conn, &failure);  // DECLARE
  PQclear(ignored);
  PGresult *batch = queued ? Collect(conn, &failure) : nullptr;
  if (queued) queued--;
  RowShape shape;
  PGresult *first = nullptr;  // kept for the column descriptions
  long long rows = 0;
  bool header = false;
  if (batch && failure.empty()) {
    shape = ShapeOf(batch);
    BeginResult(c, shape.ncol);
    header = true;
    first = batch;
  }
  while (batch && failure.empty() && !c->broken) {
    // A full batch may have more behind the one already asked for.
    if (PQntuples(batch) == kCursorBatch && queued == 1) {
      if (Queue(conn, kFetch.c_str()) && PQflush(conn) == 0) {
        queued++;
      } else {
        failure = PgMessage(PQerrorMessage(conn));
      }
    }
    if (failure.empty()) WriteRows(c, batch, &shape, &failure);
    rows += PQntuples(batch);
    bool last = PQntuples(batch) < kCursorBatch;
    if (batch != first) PQclear(batch);
    batch = nullptr;
    if (last || !queued) break;
    batch = Collect(conn, &failure);
    queued--;
  }
  if (batch != first) PQclear(batch);
  // What was asked for ahead is read and dropped.
  while (queued > 0) {
    std::string later;
    PGresult *r = Collect(conn, &later);
    PQclear(r);
    queued--;
  }
  PQexitPipelineMode(conn);
  std::string end_error;
  if (!Command(c, failure.empty() && !c->broken ? "COMMIT" : "ROLLBACK", &end_error) && failure.empty()) {
    failure = end_error;
  }
  if (!header) {
    PQclear(first);
    if (!c->broken) ReplyError(c, failure.empty() ? "PostgreSQL gave no rows" : failure);
    return 0;
  }
  FinishRows(c, first, shape, failure);
  PQclear(first);
  return rows;
}

void PgRun(Connection *c, const std::string &statement) {
  Translation t;
  std::string error;
  if (!TranslateStatement(statement, &t, &error, DIALECT_POSTGRES)) {
    ReplyError(c, error);
    return;
  }
  if (!t.is_select && !NeedWritable(c)) return;
  if (!PgAlive(c, &error)) {
    ReplyError(c, error);
    return;
  }
  if (!t.is_select) c->pg->tables.clear();
  if (t.kind != STMT_SQL) {
    std::string sql;
    if (t.kind == STMT_CREATE_SEQUENCE) {
      sql = "CREATE SEQUENCE " + PgSequenceName(t.table) + " INCREMENT BY " + std::to_string(t.step) +
            " MINVALUE " + std::to_string(std::min(t.value, 1LL) - 1) + " START WITH " + std::to_string(t.value);
      // The sequence is the table's: refused for a table that is not there.
      Result exists = Catalog(c, "SELECT to_regclass($1)::oid", {QuoteName(t.table)}, &error);
      if (exists && PQgetisnull(exists.get(), 0, 0)) {
        ReplyError(c, "Unknown table \"" + t.table + "\"");
        return;
      }
    } else {
      sql = "DROP SEQUENCE " + PgSequenceName(t.table);
    }
    if (Command(c, sql, &error)) {
      Reply(c, "1\n");
    } else {
      ReplyError(c, error);
    }
    return;
  }
  // Text parameters are untyped: PostgreSQL reads each as the type its
  // place in the statement asks for, as it would the literal. Numbers are
  // bigint and numeric, so that a sign before one still has a type to work on.
  std::vector<const char *> values;
  std::vector<int> lengths, formats;
  std::vector<Oid> types;
  for (const SqlParam &p : t.params) {
    values.push_back(p.text.data());
    lengths.push_back((int)p.text.size());
    formats.push_back(0);
    types.push_back(p.kind == PARAM_INT ? PG_INT8 : p.kind == PARAM_REAL ? PG_NUMERIC : 0);
  }
  PGconn *conn = c->pg->conn;
  // Korvid writes an empty date or time field as '', which SQLite keeps but
  // PostgreSQL refuses: such a value, in the place of a date or time, is
  // sent as NULL. Only statements with an empty text pay the extra round
  // trip that asks PostgreSQL for the parameters' types.
  bool empty_text = false;
  for (const SqlParam &p : t.params) empty_text = empty_text || (p.kind == PARAM_TEXT && p.text.empty());
  // A statement seen before is run prepared, or through a cursor when it
  // gave many rows last time; one seen once runs as it is.
  PgStatement *st = nullptr;
  if (t.cacheable && !empty_text) {
    std::string key = t.sql;
    key += '\0';
    for (Oid type : types) key += std::to_string(type) + ",";
    st = Remember(c, key);
  }
  // Many rows (or, without parameters, perhaps many: a whole table) come
  // through COPY when the statement has no parameters, through a cursor
  // when it has.
  if (st && t.is_select && t.params.empty() && (st->uses == 1 || st->rows >= kCursorRows)) {
    st->rows = CopyRows(c, t);
    return;
  }
  if (st && t.is_select && st->rows >= kCursorRows) {
    st->rows = CursorRows(c, t, values, lengths, formats, types);
    return;
  }
  if (st && st->name.empty() && st->uses >= 2) {
    std::string name = "korvid_" + std::to_string(++c->pg->next_name);
    PGresult *prepared = PQprepare(conn, name.c_str(), t.sql.c_str(), (int)types.size(), types.data());
    // Refused here, the statement runs unprepared and says why itself.
    if (PQresultStatus(prepared) == PGRES_COMMAND_OK) st->name = name;
    PQclear(prepared);
  }
  PGresult *first = nullptr;
  for (int attempt = 0; attempt < 2; attempt++) {
    bool named = st && !st->name.empty();
    bool sent;
    if (empty_text) {
      PGresult *prepared = PQprepare(conn, "", t.sql.c_str(), (int)types.size(), types.data());
      bool ok = PQresultStatus(prepared) == PGRES_COMMAND_OK;
      if (!ok) error = ResultMessage(prepared, conn);
      PQclear(prepared);
      PGresult *described = ok ? PQdescribePrepared(conn, "") : nullptr;
      if (ok && PQresultStatus(described) != PGRES_COMMAND_OK) {
        error = ResultMessage(described, conn);
        ok = false;
      }
      for (size_t i = 0; ok && i < t.params.size(); i++) {
        Oid type = PQparamtype(described, (int)i);
        if (t.params[i].kind == PARAM_TEXT && t.params[i].text.empty() && (type == PG_DATE || type == PG_TIME)) {
          values[i] = nullptr;
        }
      }
      PQclear(described);
      if (!ok) {
        ReplyError(c, error);
        return;
      }
      sent = PQsendQueryPrepared(conn, "", (int)values.size(), values.data(), lengths.data(), formats.data(), 0);
    } else if (named) {
      sent = PQsendQueryPrepared(conn, st->name.c_str(), (int)values.size(), values.data(), lengths.data(),
                                 formats.data(), 0);
    } else {
      sent = PQsendQueryParams(conn, t.sql.c_str(), (int)values.size(), types.data(), values.data(),
                               lengths.data(), formats.data(), 0);
    }
    if (!sent) {
      ReplyError(c, PgMessage(PQerrorMessage(conn)));
      return;
    }
    PQsetSingleRowMode(conn);
    SpinForPostgres(c);
    first = PQgetResult(conn);
    if (!named || attempt > 0 || !StalePrepared(first)) break;
    // Its table changed under the prepared statement: prepared no more,
    // run once more as it is.
    PQclear(first);
    first = nullptr;
    std::string ignored;
    Drain(conn, &ignored);
    Unprepare(c, st);
    c->pg->tables.clear();
  }
  ExecStatusType status = PQresultStatus(first);
  if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
    long long rows = StreamRows(c, first);
    if (st) st->rows = rows;
    return;
  }
  std::string failure;
  long long changed = 0;
  if (status == PGRES_COMMAND_OK) {
    changed = atoll(PQcmdTuples(first));
  } else {
    failure = ResultMessage(first, conn);
  }
  PQclear(first);
  Drain(conn, &failure);
  if (!failure.empty()) {
    ReplyError(c, failure);
    return;
  }
  // A dropped table takes its sequence with it, as with SQLite.
  if (!t.table.empty()) {
    std::string ignored;
    Command(c, "DROP SEQUENCE IF EXISTS " + PgSequenceName(t.table), &ignored);
  }
  Reply(c, std::to_string(changed) + "\n");
}

void PgQuery(Connection *c, const std::string &statement) {
  PgRun(c, statement);
  SpinForClient(c);
}

void PgClose(Connection *c) {
  if (c->pg) {
    PQfinish(c->pg->conn);
    delete c->pg;
  }
  c->pg = nullptr;
  c->database.clear();
}

bool PgListDatabases(Connection *c, std::vector<std::string> *names, std::string *error);

bool PgSelect(Connection *c, const std::string &name, std::string *error) {
  // Said as the SQLite engine says it rather than as a failed login.
  std::vector<std::string> names;
  if (!PgListDatabases(c, &names, error)) return false;
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    *error = "Unknown database \"" + name + "\"";
    return false;
  }
  PGconn *conn = PgOpen(c->server->config, name, error);
  if (!conn) return false;
  PgClose(c);
  c->pg = new PgSession;
  c->pg->conn = conn;
  c->database = name;
  return true;
}

// The catalog requests before a database is selected go over a connection
// of their own to the connection string's database.
struct Borrowed {
  Connection *c;
  PgSession *saved;
  PgSession temporary;
};

bool Borrow(Connection *c, Borrowed *b, std::string *error) {
  b->c = c;
  b->saved = c->pg;
  if (c->pg) return true;
  b->temporary.conn = PgOpen(c->server->config, "", error);
  if (!b->temporary.conn) return false;
  c->pg = &b->temporary;
  return true;
}

void GiveBack(Borrowed *b) {
  if (b->c->pg == &b->temporary) {
    PQfinish(b->temporary.conn);
    b->c->pg = b->saved;
  }
}

// Databases that accept connections, templates left out, and only those
// whose names a client may select.
bool PgListDatabases(Connection *c, std::vector<std::string> *names, std::string *error) {
  Borrowed b;
  if (!Borrow(c, &b, error)) return false;
  Result r = Catalog(c,
                     "SELECT datname FROM pg_database WHERE datallowconn AND NOT datistemplate "
                     "ORDER BY datname",
                     {}, error);
  GiveBack(&b);
  if (!r) return false;
  for (int i = 0; i < PQntuples(r.get()); i++) {
    const char *name = PQgetvalue(r.get(), i, 0);
    if (ValidDatabaseName(name)) names->push_back(name);
  }
  return true;
}

// Tables and views of the search path, as they can be named unqualified.
bool PgListTables(Connection *c, std::vector<std::string> *names, std::string *error) {
  Result r = Catalog(c,
                     "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                     "WHERE c.relkind IN ('r', 'v', 'm', 'p', 'f') AND pg_table_is_visible(c.oid) "
                     "AND n.nspname NOT IN ('pg_catalog', 'information_schema') ORDER BY c.relname",
                     {}, error);
  if (!r) return false;
  for (int i = 0; i < PQntuples(r.get()); i++) names->push_back(PQgetvalue(r.get(), i, 0));
  return true;
}

// The relation a client's table name means, as its OID in text. The name
// is a bare one, as the table list gives it ("Order Details"), never SQL
// name syntax: it is taken as the client would write it unquoted (folded to
// lower case), and as it stands when that finds nothing.
bool TableOid(Connection *c, const std::string &table, std::string *oid, std::string *error,
              std::string *quoted = nullptr) {
  Result r = Catalog(c,
                     "SELECT c.oid, c.oid::regclass::text FROM pg_class c "
                     "WHERE c.relname IN (lower($1), $1) AND c.relkind IN ('r', 'v', 'm', 'p', 'f') "
                     "AND pg_table_is_visible(c.oid) ORDER BY c.relname = lower($1) DESC LIMIT 1",
                     {table}, error);
  if (!r) return false;
  if (PQntuples(r.get()) == 0) {
    *error = "Unknown table \"" + table + "\"";
    return false;
  }
  *oid = PQgetvalue(r.get(), 0, 0);
  if (quoted) *quoted = PQgetvalue(r.get(), 0, 1);
  return true;
}

struct PgIndex {
  std::string shown;
  bool unique;
  std::string method;
  std::vector<std::string> columns;
};

// The index entries of a table named as the SQLite engine names them:
// the primary key "primary_key", a UNIQUE constraint "unique_<fields>",
// an index made by CREATE INDEX by its mSQL name; primary key first, then
// by age.
bool TableIndexes(Connection *c, const std::string &oid, std::vector<PgIndex> *out, std::string *error) {
  Result r = Catalog(c,
                     "SELECT ic.relname, x.indisprimary, x.indisunique, "
                     "EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conindid = x.indexrelid AND k.contype = 'u'), "
                     "am.amname, (SELECT string_agg(a.attname, chr(1) ORDER BY k.o) FROM "
                     "unnest(x.indkey) WITH ORDINALITY AS k(n, o) JOIN pg_attribute a "
                     "ON a.attrelid = x.indrelid AND a.attnum = k.n) "
                     "FROM pg_index x JOIN pg_class ic ON ic.oid = x.indexrelid JOIN pg_am am ON am.oid = ic.relam "
                     "WHERE x.indrelid = $1::oid ORDER BY x.indisprimary DESC, x.indexrelid",
                     {oid}, error);
  if (!r) return false;
  std::vector<std::string> taken;
  for (int i = 0; i < PQntuples(r.get()); i++) {
    PgIndex index;
    index.unique = PQgetvalue(r.get(), i, 2)[0] == 't';
    index.method = PQgetvalue(r.get(), i, 4);
    std::string joined = PQgetvalue(r.get(), i, 5);
    size_t start = 0;
    while (!joined.empty()) {
      size_t end = joined.find('\1', start);
      index.columns.push_back(joined.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    if (PQgetvalue(r.get(), i, 1)[0] == 't') {
      index.shown = "primary_key";
    } else if (PQgetvalue(r.get(), i, 3)[0] == 't') {
      index.shown = "unique";
      for (const std::string &column : index.columns) index.shown += "_" + column;
    } else {
      index.shown = IndexShownName(PQgetvalue(r.get(), i, 0));
    }
    index.shown = UniqueIndexName(index.shown, taken);
    taken.push_back(index.shown);
    out->push_back(index);
  }
  return true;
}

bool PgListFields(Connection *c, const std::string &table, std::vector<FieldDesc> *fields, std::string *error) {
  std::string oid, quoted;
  if (!TableOid(c, table, &oid, error, &quoted)) return false;
  Result r = Catalog(c,
                     "SELECT attname, atttypid, atttypmod, attnotnull FROM pg_attribute "
                     "WHERE attrelid = $1::oid AND attnum > 0 AND NOT attisdropped ORDER BY attnum",
                     {oid}, error);
  if (!r) return false;
  std::vector<size_t> measured;
  std::string measure;
  for (int i = 0; i < PQntuples(r.get()); i++) {
    FieldDesc f;
    f.table = table;
    f.name = PQgetvalue(r.get(), i, 0);
    FieldType t = PgFieldType((Oid)atol(PQgetvalue(r.get(), i, 1)), atoi(PQgetvalue(r.get(), i, 2)));
    f.type = t.type;
    f.length = t.length;
    f.not_null = PQgetvalue(r.get(), i, 3)[0] == 't';
    if (t.measured) {
      // Measured as the rows are written: PostgreSQL's output form.
      Oid type = (Oid)atol(PQgetvalue(r.get(), i, 1));
      std::string value = type == PG_TEXT || type == PG_VARCHAR || type == PG_BPCHAR
                              ? QuoteName(f.name)
                              : "format('%s', " + QuoteName(f.name) + ")";
      measure += std::string(measured.empty() ? "" : ", ") + "max(octet_length(" + value + "))";
      measured.push_back(fields->size());
    }
    fields->push_back(f);
  }
  // Text has no declared length: the longest value is, in one pass.
  if (!measured.empty()) {
    Result m = Catalog(c, ("SELECT " + measure + " FROM " + quoted).c_str(), {}, error);
    if (!m) return false;
    for (size_t k = 0; k < measured.size(); k++) {
      long long longest = PQgetisnull(m.get(), 0, (int)k) ? 0 : atoll(PQgetvalue(m.get(), 0, (int)k));
      FieldDesc &f = (*fields)[measured[k]];
      f.length = MeasuredLength(longest);
    }
  }
  std::vector<PgIndex> indexes;
  if (!TableIndexes(c, oid, &indexes, error)) return false;
  for (const PgIndex &index : indexes)
    fields->push_back(IndexEntry(table, index.shown, index.columns.size(), index.unique));
  return true;
}

bool PgListIndex(Connection *c, const std::string &table, const std::string &index, std::vector<std::string> *rows,
                 std::string *error) {
  std::string oid;
  if (!TableOid(c, table, &oid, error)) return false;
  std::vector<PgIndex> indexes;
  if (!TableIndexes(c, oid, &indexes, error)) return false;
  for (const PgIndex &entry : indexes) {
    if (entry.shown != index) continue;
    rows->push_back(entry.method);
    rows->insert(rows->end(), entry.columns.begin(), entry.columns.end());
    return true;
  }
  *error = "Unknown index \"" + index + "\" on table \"" + table + "\"";
  return false;
}

bool PgSequenceInfo(Connection *c, const std::string &table, long long *step, long long *value,
                    std::string *error) {
  std::string name = PgSequenceName(table);
  Result r = Catalog(c,
                     "SELECT increment_by, coalesce(last_value + increment_by, start_value) FROM pg_sequences "
                     "WHERE schemaname = current_schema() AND sequencename = $1",
                     {name.substr(1, name.size() - 2)}, error);
  if (!r) return false;
  if (PQntuples(r.get()) == 0) {
    *error = "Table \"" + table + "\" has no sequence";
    return false;
  }
  *step = atoll(PQgetvalue(r.get(), 0, 0));
  *value = atoll(PQgetvalue(r.get(), 0, 1));
  return true;
}

// Whole databases are PostgreSQL's: create, drop, copy (a new database
// made from the other as its template) and move (a rename), with
// PostgreSQL's own checks of rights and of databases in use. The client's
// own connection to a database it drops or moves is closed first.
bool PgAdminister(Connection *c, long code, const std::string &a, const std::string &b, std::string *error) {
  if ((code == REQ_DROP_DB || code == REQ_MOVE_DB) && c->database == a) PgClose(c);
  std::string sql;
  switch (code) {
    case REQ_CREATE_DB:
      sql = "CREATE DATABASE " + QuoteName(a);
      break;
    case REQ_DROP_DB:
      sql = "DROP DATABASE " + QuoteName(a);
      break;
    case REQ_COPY_DB:
      sql = "CREATE DATABASE " + QuoteName(b) + " TEMPLATE " + QuoteName(a);
      break;
    default:
      sql = "ALTER DATABASE " + QuoteName(a) + " RENAME TO " + QuoteName(b);
      break;
  }
  Borrowed borrowed;
  PgSession *own = c->pg;
  // A database cannot be dropped, copied or renamed over a connection to it.
  c->pg = nullptr;
  bool ok = Borrow(c, &borrowed, error);
  if (ok) {
    ok = PgAlive(c, error) && Command(c, sql, error);
    GiveBack(&borrowed);
  }
  c->pg = own;
  return ok;
}

// A PostgreSQL version number (150010) as it is written ("15.10").
std::string PgVersionText(int v) {
  if (v >= 100000) return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
  return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
}

std::string PgVersion() { return "PostgreSQL, libpq " + PgVersionText(PQlibVersion()); }

// The connection string's settings, one keyword=value each (quoted where
// libpq would need it), passwords left out.
std::string PgConninfoShown(const std::string &conninfo) {
  char *parse_error = nullptr;
  PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), &parse_error);
  if (!options) {
    PQfreemem(parse_error);
    return "(not a valid connection string)";
  }
  std::string shown;
  for (PQconninfoOption *o = options; o->keyword; o++) {
    if (!o->val || strstr(o->keyword, "password")) continue;
    std::string value = o->val;
    bool quote = value.empty() || value.find_first_of(" \t\n\\'") != std::string::npos;
    if (quote) {
      std::string q = "'";
      for (char ch : value) {
        if (ch == '\\' || ch == '\'') q += '\\';
        q += ch;
      }
      value = q + "'";
    }
    shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + value;
  }
  PQconninfoFree(options);
  return shown;
}

void PgReport(Connection *c, std::vector<std::string> *lines) {
  lines->push_back("Engine: " + PgVersion());
  lines->push_back("PostgreSQL connection: " + PgConninfoShown(c->server->config.pg_conninfo));
  if (c->pg && PQstatus(c->pg->conn) == CONNECTION_OK) {
    lines->push_back("PostgreSQL server: " + PgVersionText(PQserverVersion(c->pg->conn)) + ", database " +
                     c->database);
  }
}

}  // namespace

// Nothing to set up: every connection is made when it is needed.
bool PgStart(const ServerConfig &, std::string *) { return true; }

const Engine kPostgresEngine = {
    "PostgreSQL", PgStart, PgListDatabases, PgSelect, PgClose,        PgListTables,
    PgListFields, PgListIndex,     PgQuery,  PgSequenceInfo, PgAdminister,
    PgVersion,    PgReport,
};
