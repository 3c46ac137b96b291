// Statements over PostgreSQL and their rows, written on as they come: in
// single-row mode, through COPY, or through a cursor (see PgRun for which and
// why). Either way a result of any size needs only a batch's worth of memory
// here. A statement seen twice is prepared under a name of its own, so that
// PostgreSQL neither parses nor (once its generic plan serves) plans it again.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/postgres/postgres.h"

namespace {

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
    // connection is ready for the next statement; a client that is gone
    // will read none of it, and the statement is stopped at once.
    if (c->broken) PgCancel(c->pg);
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
  Command(c->pg->conn, "DEALLOCATE " + st->name, &ignored);
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

// A statement's parameters as libpq takes them. Text parameters are
// untyped: PostgreSQL reads each as the type its place in the statement asks
// for, as it would the literal. Numbers are bigint and numeric, so that a
// sign before one still has a type to work on. The values point into the
// translation, which must outlive them.
struct PgParams {
  std::vector<const char *> values;
  std::vector<int> lengths, formats;
  std::vector<Oid> types;
  // Korvid writes an empty date or time field as '', which SQLite keeps but
  // PostgreSQL refuses: such a value, in the place of a date or time, is
  // sent as NULL. Only statements with an empty text pay the extra round
  // trip that asks PostgreSQL for the parameters' types.
  bool empty_text = false;
};

PgParams ParamsOf(const Translation &t) {
  PgParams p;
  for (const SqlParam &param : t.params) {
    p.values.push_back(param.text.data());
    p.lengths.push_back((int)param.text.size());
    p.formats.push_back(0);
    p.types.push_back(param.kind == PARAM_INT ? PG_INT8 : param.kind == PARAM_REAL ? PG_NUMERIC : 0);
    p.empty_text = p.empty_text || (param.kind == PARAM_TEXT && param.text.empty());
  }
  return p;
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
    // The copy is one statement, rows sent included: PostgreSQL's own
    // time limit (SetUp) would count the time its rows wait for a slow
    // client, which is the write limit's. It is lifted for the copy alone
    // (SET LOCAL ends with the statement's transaction); this server's own
    // watch, which leaves that wait out, still stops a runaway copy.
    std::string copy = c->server->config.statement_timeout > 0 ? "SET LOCAL statement_timeout = 0; " : "";
    copy += "COPY (" + t.sql + ") TO STDOUT";
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
    if (c->broken) PgCancel(c->pg);
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
//
// PostgreSQL's own time limit (SetUp) counts each FETCH, the one asked for
// ahead included, which waits to be read while rows wait for a slow client:
// it holds up to the first batch, the statement's own work before any row
// is ready, and is lifted for the rest (SET LOCAL, undone with the
// transaction or the savepoint), where this server's watch, which leaves
// that wait out, stops a runaway statement.
long long CursorRows(Connection *c, const Translation &t, const PgParams &p) {
  PGconn *conn = c->pg->conn;
  static const std::string kFetch = "FETCH " + std::to_string(kCursorBatch) + " FROM korvid_rows";
  std::string declare = "DECLARE korvid_rows NO SCROLL CURSOR FOR " + t.sql;
  std::string failure;
  int queued = 0;  // FETCHes sent and not yet collected
  // Inside a client's read-only transaction the cursor has a savepoint
  // of its own instead.
  bool own = PQtransactionStatus(conn) == PQTRANS_IDLE;
  bool lift = c->server->config.statement_timeout > 0;
  bool ok = PQenterPipelineMode(conn) && Queue(conn, own ? "BEGIN" : "SAVEPOINT korvid_rows") &&
            Queue(conn, declare.c_str(), &p.values, &p.lengths, &p.formats, &p.types) && Queue(conn, kFetch.c_str()) &&
            (!lift || Queue(conn, "SET LOCAL statement_timeout = 0")) && Queue(conn, kFetch.c_str());
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
  if (ok && lift) {
    ignored = Collect(conn, &failure);  // SET LOCAL
    PQclear(ignored);
  }
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
  const char *end = !own ? "ROLLBACK TO SAVEPOINT korvid_rows" : failure.empty() && !c->broken ? "COMMIT" : "ROLLBACK";
  if (!Command(c->pg->conn, end, &end_error) && failure.empty()) {
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

// CREATE SEQUENCE and DROP SEQUENCE, as PostgreSQL sequences.
void SequenceStatement(Connection *c, const Translation &t) {
  std::string sql, error;
  if (t.kind == STMT_CREATE_SEQUENCE) {
    sql = "CREATE SEQUENCE " + PgSequenceName(t.table) + " INCREMENT BY " + std::to_string(t.step) +
          " MINVALUE " + std::to_string(std::min(t.value, 1LL) - 1) + " START WITH " + std::to_string(t.value);
    // The sequence is the table's: refused for a table that is not there.
    Result exists = FetchAll(c, "SELECT to_regclass($1)::oid", {QuoteName(t.table)}, &error);
    if (exists && PQgetisnull(exists.get(), 0, 0)) {
      ReplyError(c, "Unknown table \"" + t.table + "\"");
      return;
    }
  } else {
    sql = "DROP SEQUENCE " + PgSequenceName(t.table);
  }
  if (Command(c->pg->conn, sql, &error)) {
    Reply(c, "1\n");
  } else {
    ReplyError(c, error);
  }
}

// Sends a statement with an empty text among its parameters unnamed,
// asking PostgreSQL first for the parameters' types, so that an empty date
// or time goes as NULL. False with the reason.
bool SendWithEmptyDates(PGconn *conn, const Translation &t, PgParams p, std::string *error) {
  PGresult *prepared = PQprepare(conn, "", t.sql.c_str(), (int)p.types.size(), p.types.data());
  bool ok = PQresultStatus(prepared) == PGRES_COMMAND_OK;
  if (!ok) *error = ResultMessage(prepared, conn);
  PQclear(prepared);
  PGresult *described = ok ? PQdescribePrepared(conn, "") : nullptr;
  if (ok && PQresultStatus(described) != PGRES_COMMAND_OK) {
    *error = ResultMessage(described, conn);
    ok = false;
  }
  for (size_t i = 0; ok && i < t.params.size(); i++) {
    Oid type = PQparamtype(described, (int)i);
    if (t.params[i].kind == PARAM_TEXT && t.params[i].text.empty() && (type == PG_DATE || type == PG_TIME)) {
      p.values[i] = nullptr;
    }
  }
  PQclear(described);
  if (!ok) return false;
  if (PQsendQueryPrepared(conn, "", (int)p.values.size(), p.values.data(), p.lengths.data(), p.formats.data(), 0)) {
    return true;
  }
  *error = PgMessage(PQerrorMessage(conn));
  return false;
}

// Prepares a statement seen for the second time under a name of its own.
// Refused here, the statement runs unprepared and says why itself.
void PrepareNamed(Connection *c, PgStatement *st, const Translation &t, const PgParams &p) {
  if (!st || !st->name.empty() || st->uses < 2) return;
  std::string name = "korvid_" + std::to_string(++c->pg->next_name);
  PGresult *prepared = PQprepare(c->pg->conn, name.c_str(), t.sql.c_str(), (int)p.types.size(), p.types.data());
  if (PQresultStatus(prepared) == PGRES_COMMAND_OK) st->name = name;
  PQclear(prepared);
}

// Sends a statement in single-row mode, prepared or as it is, and returns
// its first result; null with the failure answered.
PGresult *SendStatement(Connection *c, const Translation &t, const PgParams &p, PgStatement *st) {
  PGconn *conn = c->pg->conn;
  for (int attempt = 0;; attempt++) {
    bool named = st && !st->name.empty();
    bool sent;
    std::string error;
    if (p.empty_text) {
      sent = SendWithEmptyDates(conn, t, p, &error);
    } else if (named) {
      sent = PQsendQueryPrepared(conn, st->name.c_str(), (int)p.values.size(), p.values.data(), p.lengths.data(),
                                 p.formats.data(), 0);
    } else {
      sent = PQsendQueryParams(conn, t.sql.c_str(), (int)p.values.size(), p.types.data(), p.values.data(),
                               p.lengths.data(), p.formats.data(), 0);
    }
    if (!sent) {
      ReplyError(c, error.empty() ? PgMessage(PQerrorMessage(conn)) : error);
      return nullptr;
    }
    PQsetSingleRowMode(conn);
    SpinForPostgres(c);
    PGresult *first = PQgetResult(conn);
    if (!named || attempt > 0 || !StalePrepared(first)) return first;
    // Its table changed under the prepared statement: prepared no more,
    // run once more as it is.
    PQclear(first);
    std::string ignored;
    Drain(conn, &ignored);
    Unprepare(c, st);
    c->pg->tables.clear();
  }
}

// Answers a statement without rows with the number of rows it changed.
void AnswerCommand(Connection *c, const Translation &t, PGresult *first) {
  PGconn *conn = c->pg->conn;
  std::string failure;
  long long changed = 0;
  if (PQresultStatus(first) == PGRES_COMMAND_OK) {
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
    Command(conn, "DROP SEQUENCE IF EXISTS " + PgSequenceName(t.table), &ignored);
  }
  Reply(c, std::to_string(changed) + "\n");
}

// Runs a client's statement. A statement seen before is run prepared, or
// through a cursor when it gave many rows last time; one seen once runs as
// it is. Many rows (or, without parameters, perhaps many: a whole table)
// come through COPY when the statement has no parameters, through a cursor
// when it has.
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
    SequenceStatement(c, t);
    return;
  }
  PgParams p = ParamsOf(t);
  PgStatement *st = nullptr;
  if (t.cacheable && !p.empty_text) {
    std::string key = t.sql;
    key += '\0';
    for (Oid type : p.types) key += std::to_string(type) + ",";
    st = Remember(c, key);
  }
  if (st && t.is_select && t.params.empty() && (st->uses == 1 || st->rows >= kCursorRows)) {
    st->rows = CopyRows(c, t);
    return;
  }
  if (st && t.is_select && st->rows >= kCursorRows) {
    st->rows = CursorRows(c, t, p);
    return;
  }
  PrepareNamed(c, st, t, p);
  PGresult *first = SendStatement(c, t, p, st);
  if (!first) return;
  ExecStatusType status = PQresultStatus(first);
  if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
    long long rows = StreamRows(c, first);
    if (st) st->rows = rows;
    return;
  }
  AnswerCommand(c, t, first);
}

}  // namespace

// After the reply, a short look for the client's next request (see
// SpinForClient).
//
// A client that may not change anything has each statement run in a
// transaction PostgreSQL itself keeps read-only: neither a function that
// writes nor set_config on the transaction's mode gets past that, where
// refusing statements by their text would miss them. Rolled back, as there
// is nothing in it to keep.
void PgQuery(Connection *c, const std::string &statement) {
  c->pg->cancelled = false;
  bool read_only = ReadOnlyClient(c);
  std::string error;
  if (read_only && (!PgAlive(c, &error) || !Command(c->pg->conn, "BEGIN READ ONLY", &error))) {
    ReplyError(c, error);
    return;
  }
  PgRun(c, statement);
  if (read_only) {
    std::string ignored;
    Command(c->pg->conn, "ROLLBACK", &ignored);
  }
  SpinForClient(c);
}
