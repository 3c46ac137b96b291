// The mSQL dialect as korvid-server reads it, turned into SQLite text. Pure
// functions over strings: no database, no socket. Start with
// TranslateStatement(); SplitScript() cuts a script file into statements.
#ifndef KORVID_SERVER_DIALECT_H
#define KORVID_SERVER_DIALECT_H

#include <string>
#include <vector>

enum StatementKind {
  STMT_SQL,              // run `sql` on SQLite
  STMT_CREATE_SEQUENCE,  // CREATE SEQUENCE ON table [STEP n] [VALUE n]
  STMT_DROP_SEQUENCE     // DROP SEQUENCE FROM table
};

// A literal of a WHERE clause, taken out of the text as a bound parameter so
// that the same statement with other values reuses one prepared statement.
enum ParamKind { PARAM_INT, PARAM_REAL, PARAM_TEXT };
// Literals taken out per statement; any further ones stay in the text, well
// below SQLite's own limit on the number of parameters.
#define MAX_BOUND_PARAMS 999
struct SqlParam {
  ParamKind kind;
  long long i = 0;
  double d = 0;
  std::string text;  // PARAM_TEXT's value; a number as written
};

// The SQL a statement is translated into: SQLite's, or PostgreSQL's (as
// korvid-server's PostgreSQL engine sends it: literals as $N parameters,
// CLIKE as ILIKE, RLIKE as ~, mSQL's types as PostgreSQL's, sequences as
// PostgreSQL sequences named by PgSequenceName()).
enum Dialect { DIALECT_SQLITE, DIALECT_POSTGRES };

struct Translation {
  Dialect dialect = DIALECT_SQLITE;
  StatementKind kind = STMT_SQL;
  std::string sql;         // SQLite text, for STMT_SQL; ?N stands for params[N-1]
  std::vector<SqlParam> params;
  bool cacheable = false;  // worth keeping prepared: a SELECT, or has params
  bool is_select = false;  // a SELECT: changes nothing but a sequence
  std::string table;       // the sequence's table; for DROP TABLE the table
  long long step = 1;      // sequence step
  long long value = 1;     // sequence start value
};

// Index names are per table in mSQL but per database in SQLite, so an index
// i on table t is stored under the name "t.i".
std::string IndexStoredName(const std::string &table, const std::string &index);
// The mSQL name of a stored index name ("t.i" gives "i"; others unchanged).
std::string IndexShownName(const std::string &stored);

// Translates one statement; SQL comments outside literals count as blanks.
// Returns false with the reason in *error when the
// statement is refused (unsupported, reserved names, bad literal, several
// statements); the reason is worded for the client's alert.
bool TranslateStatement(const std::string &text, Translation *out, std::string *error,
                        Dialect dialect = DIALECT_SQLITE);

// The PostgreSQL sequence that stands for a table's mSQL sequence, as a
// quoted name ("_korvid_seq_<table in lower case>"); clients cannot name it
// themselves, as names starting with _korvid are refused.
std::string PgSequenceName(const std::string &table);

// Where the SQL comment starting at s[i] ends: after "-- ..." to the end of
// its line, or after "/* ... */" (an open one runs to the end of the text);
// 0 when no comment starts there. The lexer's, and the script splitter's.
size_t SqlCommentEnd(const std::string &s, size_t i);

// A name as an SQL identifier for either engine: in double quotes, inner
// ones doubled, whatever it holds.
std::string QuoteName(const std::string &name);

// Longest database name; a longer one is refused like any bad name.
#define DB_NAME_MAX 64

// Database names are letters, digits and underscores, 1 to DB_NAME_MAX of
// them, so that a name never leaves the data directory.
bool ValidDatabaseName(const std::string &name);

// The collations of the columns the server creates as date and time
// (mSQL's "DD-Mon-YYYY" and "HH:MM:SS" in their order; sqlite/functions.cc).
#define MSQL_DATE_COLLATION "msql_date"
#define MSQL_TIME_COLLATION "msql_time"

#endif
