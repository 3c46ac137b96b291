// korvid-server's PostgreSQL engine, inside: the session a client
// connection keeps (one libpq connection to the database it selected), the
// connection's set-up and catalog queries (engine.cc, catalog.cc) and the
// running of statements with their rows (rows.cc). Only this folder includes
// libpq-fe.h.
#ifndef KORVID_SERVER_POSTGRES_POSTGRES_H
#define KORVID_SERVER_POSTGRES_POSTGRES_H

#include <libpq-fe.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

// One client connection's PostgreSQL side.
struct PgSession {
  PGconn *conn = nullptr;
  PGcancel *cancel = nullptr;  // for PgCancel, from any thread
  std::atomic<bool> cancelled{false};  // a cancel was sent during this statement
  // Looked up once per table; forgotten after any statement that is not a
  // SELECT, which may have changed them.
  std::map<Oid, PgTable> tables;
  std::map<std::string, PgStatement> statements;
  long clock = 0;       // counts statements, for the least recently used
  long next_name = 0;   // numbers the prepared statements' names
};

// Type OIDs of PostgreSQL's built-in types (pg_type.dat).
enum {
  PG_BOOL = 16, PG_INT8 = 20, PG_INT2 = 21, PG_INT4 = 23, PG_TEXT = 25, PG_FLOAT4 = 700,
  PG_FLOAT8 = 701, PG_BPCHAR = 1042, PG_VARCHAR = 1043, PG_DATE = 1082, PG_TIME = 1083,
  PG_NUMERIC = 1700
};

// Asks PostgreSQL to stop the session's running statement (PQcancel,
// which may be called from another thread).
void PgCancel(PgSession *s);

// libpq's messages end in a newline and may hold several lines: one line.
std::string PgMessage(const char *text);
// A failed result's primary message, or the connection's.
std::string ResultMessage(PGresult *r, PGconn *conn);

// Opens a connection to `dbname` (empty: the connection string's own) as
// `role` (empty: the connection string's), set up as the engine needs it,
// its role checked (PgCheckRole; read_only: for a client that may not
// change anything). Null with the reason on failure.
PGconn *PgOpen(const ServerConfig &cfg, const std::string &dbname, const std::string &role, bool read_only,
               std::string *error);
// A session's connection that broke since the last request is made again;
// false with the reason when PostgreSQL still cannot be reached.
bool PgAlive(Connection *c, std::string *error);

// Runs a query with text parameters and keeps its whole result (catalog
// lookups are small). Null with the reason on failure. The second form runs
// on the session's connection, made again first if it broke.
using Result = std::unique_ptr<PGresult, void (*)(PGresult *)>;
Result FetchAll(PGconn *conn, const char *sql, const std::vector<std::string> &params, std::string *error);
Result FetchAll(Connection *c, const char *sql, const std::vector<std::string> &params, std::string *error);
// Runs a statement without rows of its own; *changed (when given) is its count.
bool Command(PGconn *conn, const std::string &sql, std::string *error, long long *changed = nullptr);

// The description of result column i (catalog.cc).
FieldDesc DescribeColumn(Connection *c, PGresult *r, int i);

// The engine's requests (catalog.cc, rows.cc).
bool PgListTables(Connection *c, std::vector<std::string> *names, std::string *error);
bool PgListFields(Connection *c, const std::string &table, std::vector<FieldDesc> *fields, std::string *error);
bool PgListIndex(Connection *c, const std::string &table, const std::string &index, std::vector<std::string> *rows,
                 std::string *error);
bool PgSequenceInfo(Connection *c, const std::string &table, long long *step, long long *value,
                    std::string *error);
void PgQuery(Connection *c, const std::string &statement);

#endif
