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

// Cuts a script into statements, each ended by ';' or "\g" outside quotes,
// and trims the blanks around each. A '#' before the first word of a
// statement starts a comment line; SQL comments ("-- " to the end of the
// line, "/* ... */") outside quotes are left out. Text after the last terminator counts as
// a statement when it is not blank.
std::vector<std::string> SplitScript(const std::string &text);

// Longest database name; a longer one is refused like any bad name.
#define DB_NAME_MAX 64

// Database names are letters, digits and underscores, 1 to DB_NAME_MAX of
// them, so that a name never leaves the data directory.
bool ValidDatabaseName(const std::string &name);

// Pattern matching of LIKE (case-sensitive) and CLIKE (case-insensitive):
// '%' any run of characters, '_' one character (UTF-8 aware), '\' makes the
// next pattern character literal.
bool LikeMatch(const char *pattern, const char *text, bool fold_case);

// mSQL's date ("DD-Mon-YYYY", as 02-Mar-1999) and time ("HH:MM:SS") in
// order: the collations of the columns the server creates as date and
// time. A text that is no date (time) sorts after every date (time), and
// such texts among themselves by their bytes.
#define MSQL_DATE_COLLATION "msql_date"
#define MSQL_TIME_COLLATION "msql_time"
int MsqlCompareDates(const char *a, size_t na, const char *b, size_t nb);
int MsqlCompareTimes(const char *a, size_t na, const char *b, size_t nb);

#endif
