// korvid-server's SQLite engine, inside: database files with the server's
// settings and SQL functions (files.cc, functions.cc), the catalog read back
// from SQLite (catalog.cc), and a connection's session with its statements
// (engine.cc, where kSqliteEngine starts). Only this folder includes sqlite3.h.
#ifndef KORVID_SERVER_SQLITE_SQLITE_H
#define KORVID_SERVER_SQLITE_SQLITE_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "msql/limits.h"
#include "msql/protocol.h"
#include "server/dialect.h"
#include "server/result.h"

// How long a statement waits for another connection's write lock, in ms.
#define DB_BUSY_TIMEOUT_MS 10000
// Bytes of each database file mapped into memory for reading (as text).
#define DB_MMAP_SIZE "1073741824"

// The write-ahead log is cut back to this many bytes after a checkpoint
// (journal_size_limit), and a checkpoint is tried once it holds this many
// pages (wal_autocheckpoint, SQLite's own default).
#define DB_WAL_LIMIT "67108864"
#define DB_WAL_CHECKPOINT_PAGES "1000"
// Prepared statements kept per connection, most recently used first. A
// statement with other WHERE values reuses its entry (the values are bound).
#define STATEMENT_CACHE_SIZE 16

struct CachedStatement {
  std::string sql;                // the translated text, the key
  sqlite3_stmt *stmt = nullptr;   // owned
  std::vector<FieldDesc> fields;  // its field descriptions, once known
  int reprepares = 0;             // SQLite's re-prepare count when they were taken
};

// One connection's open database and the statements prepared on it; the
// loader has one of its own.
struct SqliteSession {
  sqlite3 *db = nullptr;               // owned
  std::vector<CachedStatement> cache;  // statements prepared on db
  bool read_only = false;              // opened read-only (ReadOnlyClient)
};

// Finalises the session's statements and closes its database.
void SqliteSessionClose(SqliteSession *s);

// Prepares a translated statement on the session, through its cache, the
// way every client statement is prepared (DbPrepareClient), and binds its
// parameters. *cached is its cache entry, or null when it is not kept and
// the caller finalises *stmt. False with SQLite's reason.
bool SqlitePrepare(SqliteSession *s, const Translation &t, sqlite3_stmt **stmt, CachedStatement **cached,
                   std::string *error);
// Runs CREATE SEQUENCE or DROP SEQUENCE.
bool SqliteSequenceStatement(SqliteSession *s, const Translation &t, std::string *error);
// Leaves a statement ready for its next run: reset when cached, finalised
// otherwise. A statement left mid-way would hold its read transaction, and
// with it an old snapshot, open.
void SqliteDone(sqlite3_stmt *stmt, CachedStatement *cached);

// Runs a translated statement (a sequence statement too) to its end
// through the same path, without a reply: the loader's statements. *changed
// is the rows it changed.
bool SqliteRun(SqliteSession *s, const Translation &t, int *changed, std::string *error);

// A statement prepared for one lookup of the server's own, finalised on
// every path.
struct Stmt {
  sqlite3_stmt *s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};
bool Prepare(sqlite3 *db, const char *sql, Stmt *st, std::string *error);
bool Exec(sqlite3 *db, const char *sql, std::string *error);

// The type code and length of a declared column type such as "char(20)":
// mSQL's own type names as they are, any other declaration by SQLite's
// affinity rules (INT anywhere: INT; CHAR with a length: CHAR; CHAR without
// one, CLOB, TEXT: TEXT; BLOB or none: TEXT; REAL, FLOA, DOUB: REAL; BOOL:
// INT; NUMERIC, DECIMAL: REAL; the rest, DATETIME among them: TEXT). Only
// TEXT is ever measured: a CHAR length is always a declared one.
FieldType TypeFromDeclared(const char *declared);

// Suffixes a database file may carry, in the order that settles a clash:
// a name that several files would give is served by the first of them.
extern const char *const kDbSuffixes[5];

// File of database `name` (already validated): the first of data
// directory/name plus each suffix that is an SQLite file; when there is
// none, data directory/name, where a new database is created.
std::string DbPath(const std::string &data_dir, const std::string &name);
// Whether an SQLite file serves database `name`.
bool DbExists(const std::string &data_dir, const std::string &name);

// A REAL as the shortest text that reads back as the same double, with a
// ".0" on a whole number as SQLite writes it ("1.0", "1.0e-300"): a value
// shown and written back untouched is stored again bit for bit, where
// SQLite's own text keeps 15 digits (2461383.160081019 became
// 2461383.16008102). Returns its length in out (at least 32 bytes), or 0 for
// an infinity or NaN, which are left to SQLite's text.
size_t FormatReal(double x, char *out, size_t size);

// Opens a database file in WAL mode with the busy timeout, the functions
// the dialect and the catalog need (like, match, regexp, korvid_seq,
// korvid_bytes) and the date and time collations. With read_only set the
// file is opened read-only, its journal mode left as it is, and the
// sequence function refuses to advance. Null with the reason on failure.
sqlite3 *DbOpen(const std::string &path, bool create, bool read_only, std::string *error);
void DbClose(sqlite3 *db);
// SQLite's defences, limits and settings that every connection gets, the
// loader's too (files.cc).
void DbDefend(sqlite3 *db);
// [system] value_limit, set once at start (bytes; never above MAX_PACKET).
extern size_t g_value_limit;
// The SQL functions, collations and authorizer of DbOpen (functions.cc).
void DbAddFunctions(sqlite3 *db, bool read_only);

// Catalog. Each returns false with a client-worded reason in *error.
bool DbListDatabases(const std::string &data_dir, std::vector<std::string> *names, std::string *error);
// Tables and views, by name. Views are read only (SQLite refuses changes).
bool DbListTables(sqlite3 *db, std::vector<std::string> *names, std::string *error);
// Data fields in table order, then one IDX_TYPE entry per index: first the
// primary key, named "primary_key" (an INTEGER PRIMARY KEY column too, which
// SQLite keeps as the rowid and not as an index), then in creation order the
// UNIQUE constraints, named "unique_" and their fields joined by "_", and
// the indexes created by name. A name already taken gets "_2", "_3", ...
bool DbListFields(sqlite3 *db, const std::string &table, std::vector<FieldDesc> *fields,
                  std::string *error);
// The index kind, then the index's fields in order.
bool DbListIndex(sqlite3 *db, const std::string &table, const std::string &index,
                 std::vector<std::string> *rows, std::string *error);
bool DbTableExists(sqlite3 *db, const std::string &table, std::string *error);

// Prepares a client's statement: like sqlite3_prepare_v2, but any use of
// the server's own tables is refused ("not authorized").
int DbPrepareClient(sqlite3 *db, const std::string &sql, sqlite3_stmt **stmt);

// Removes every table, index and view, in the caller's transaction, leaving
// an empty database (with its sequence table) to load a script into.
bool DbEmpty(sqlite3 *db, std::string *error);

// The description of result column i of a prepared statement.
FieldDesc DbDescribeColumn(sqlite3 *db, sqlite3_stmt *stmt, int i);

// Sequences: one per table, kept in the database file itself.
bool DbEnsureSequenceTable(sqlite3 *db, std::string *error);
bool DbCreateSequence(sqlite3 *db, const Translation &t, std::string *error);
bool DbDropSequence(sqlite3 *db, const std::string &table, std::string *error);
bool DbSequenceInfo(sqlite3 *db, const std::string &table, long long *step, long long *value,
                    std::string *error);

// Whole databases. Names are validated by the caller.
bool DbCreate(const std::string &data_dir, const std::string &name, std::string *error);
bool DbDrop(const std::string &data_dir, const std::string &name, std::string *error);
bool DbCopy(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error);
bool DbMove(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error);

// Pattern matching of LIKE (case-sensitive) and CLIKE (case-insensitive):
// '%' any run of characters, '_' one character (UTF-8 aware), '\' makes the
// next pattern character literal.
bool LikeMatch(const char *pattern, const char *text, bool fold_case);

// mSQL's date ("DD-Mon-YYYY", as 02-Mar-1999) and time ("HH:MM:SS") in
// order: the collations MSQL_DATE_COLLATION and MSQL_TIME_COLLATION of the
// columns the server creates as date and time. A text that is no date
// (time) sorts after every date (time), and such texts among themselves by
// their bytes.
int MsqlCompareDates(const char *a, size_t na, const char *b, size_t nb);
int MsqlCompareTimes(const char *a, size_t na, const char *b, size_t nb);

#endif
