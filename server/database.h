// The SQLite side of korvid-server: opening database files with the server's
// settings and SQL functions, the catalog (tables, fields, indexes, declared
// types), sequences, and whole-database administration. No socket here.
#ifndef KORVID_SERVER_DATABASE_H
#define KORVID_SERVER_DATABASE_H

#include <sqlite3.h>

#include <string>
#include <vector>

#include "msql/protocol.h"
#include "server/dialect.h"

// How long a statement waits for another connection's write lock, in ms.
#define DB_BUSY_TIMEOUT_MS 10000
// Bytes of each database file mapped into memory for reading (as text).
#define DB_MMAP_SIZE "1073741824"

// Longest field name sent in a description; a computed column is named by
// its own text, which may be as long as the statement, so longer names are cut.
#define FIELD_NAME_MAX 64

// A column declared without a length (TEXT, BLOB, DATETIME, no type at
// all) reports the length of its longest value, measured in bytes, at most
// FIELD_LENGTH_CAP so that one long value does not make every list line
// that wide; a column without any value reports FIELD_LENGTH_DEFAULT.
#define FIELD_LENGTH_CAP 255
#define FIELD_LENGTH_DEFAULT 32

struct FieldType {
  int type;    // one of the type codes (INT_TYPE, ...)
  int length;  // declared length of char and text, the value's width otherwise
  bool measured = false;  // no length declared: it is measured from the values
};

// One field description row: what the client turns into a FieldListEntry.
struct FieldDesc {
  std::string table;
  std::string name;
  int type = CHAR_TYPE;
  int length = 0;
  bool not_null = false;
  bool unique = false;
  bool computed = false;  // no declared length: length is the longest value sent
};

// The field-list entry of an index: its shown name, its column count as the
// length. Both engines list a table's indexes after its fields this way.
FieldDesc IndexEntry(const std::string &table, const std::string &name, size_t columns, bool unique);

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
// sequence function refuses to advance. Null with the reason on failure.
sqlite3 *DbOpen(const std::string &path, bool create, bool read_only, std::string *error);
void DbClose(sqlite3 *db);

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

// Prepares a client's statement: like sqlite3_prepare_v2, but any use of
// the server's own tables is refused ("not authorized").
int DbPrepareClient(sqlite3 *db, const std::string &sql, sqlite3_stmt **stmt);

// Binds a translation's parameters (?1, ?2, ...) to a prepared statement;
// the texts are not copied, so params must outlive the statement's run.
bool DbBindParams(sqlite3_stmt *stmt, const std::vector<SqlParam> &params);

// Removes every table, index and view, in the caller's transaction, leaving
// an empty database (with its sequence table) to load a script into.
bool DbEmpty(sqlite3 *db, std::string *error);

// The description of result column i of a prepared statement.
FieldDesc DbDescribeColumn(sqlite3 *db, sqlite3_stmt *stmt, int i);

// Sequences: one per table, kept in the database file itself.
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

#endif
