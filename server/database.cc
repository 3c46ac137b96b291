// Database files, the SQL functions of the dialect, and the catalog read back
// from SQLite: declared column types come from the table's own CREATE text
// (SQLite keeps it verbatim), so no side table is needed for them.
#include "server/database.h"

#include <dirent.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

// First bytes of every SQLite database file.
const char kSqliteMagic[] = "SQLite format 3";

std::string Lower(const char *s) {
  std::string out = s ? s : "";
  for (char &c : out) c = (char)tolower((unsigned char)c);
  return out;
}

// A statement prepared for one catalog lookup, finalised on every path.
struct Stmt {
  sqlite3_stmt *s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};

bool Prepare(sqlite3 *db, const char *sql, Stmt *st, std::string *error) {
  if (sqlite3_prepare_v2(db, sql, -1, &st->s, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool TableExists(sqlite3 *db, const std::string &table, std::string *error) {
  Stmt st;
  if (!Prepare(db, "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE", &st,
               error)) {
    return false;
  }
  sqlite3_bind_text(st.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st.s);
  if (rc == SQLITE_ROW) return true;
  *error = rc == SQLITE_DONE ? "Unknown table \"" + table + "\"" : sqlite3_errmsg(db);
  return false;
}

void LikeFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const unsigned char *pattern = sqlite3_value_text(argv[0]);
  const unsigned char *text = sqlite3_value_text(argv[1]);
  if (!pattern || !text) return;  // NULL
  bool fold = sqlite3_user_data(ctx) != nullptr;
  sqlite3_result_int(ctx, LikeMatch((const char *)pattern, (const char *)text, fold));
}

void FreeRegex(void *p) {
  regex_t *re = (regex_t *)p;
  regfree(re);
  delete re;
}

// X REGEXP Y calls regexp(Y, X): POSIX extended, case-sensitive. The compiled
// expression is cached on the statement while the pattern stays constant.
void RegexpFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const unsigned char *pattern = sqlite3_value_text(argv[0]);
  const unsigned char *text = sqlite3_value_text(argv[1]);
  if (!pattern || !text) return;
  regex_t *re = (regex_t *)sqlite3_get_auxdata(ctx, 0);
  if (!re) {
    re = new regex_t;
    int rc = regcomp(re, (const char *)pattern, REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char msg[160];
      regerror(rc, re, msg, sizeof msg);
      delete re;
      std::string error = std::string("Bad regular expression: ") + msg;
      sqlite3_result_error(ctx, error.c_str(), -1);
      return;
    }
    sqlite3_set_auxdata(ctx, 0, re, FreeRegex);
    re = (regex_t *)sqlite3_get_auxdata(ctx, 0);
    if (!re) {
      sqlite3_result_error_nomem(ctx);
      return;
    }
  }
  sqlite3_result_int(ctx, regexec(re, (const char *)text, 0, nullptr, 0) == 0);
}

int DateCollation(void *, int na, const void *a, int nb, const void *b) {
  return MsqlCompareDates((const char *)a, (size_t)na, (const char *)b, (size_t)nb);
}

int TimeCollation(void *, int na, const void *a, int nb, const void *b) {
  return MsqlCompareTimes((const char *)a, (size_t)na, (const char *)b, (size_t)nb);
}

// korvid_bytes(x): the bytes of x as text, as it is sent; a text's count
// is known without reading it, where length(CAST(x AS BLOB)) copies it.
void BytesFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  char digits[64];
  if (sqlite3_value_type(argv[0]) == SQLITE_FLOAT) {
    size_t n = FormatReal(sqlite3_value_double(argv[0]), digits, sizeof digits);
    if (n) {
      sqlite3_result_int(ctx, (int)n);  // counted as it is sent
      return;
    }
  }
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT && sqlite3_value_type(argv[0]) != SQLITE_BLOB) {
    sqlite3_value_text(argv[0]);  // a number counts as the text it is sent as
  }
  sqlite3_result_int(ctx, sqlite3_value_bytes(argv[0]));
}

// korvid_seq(table): the sequence's current value; advances it by its step.
void SequenceFunction(sqlite3_context *ctx, int, sqlite3_value **argv) {
  if (sqlite3_user_data(ctx) != nullptr) {
    sqlite3_result_error(ctx, "Server is read-only: _seq cannot advance", -1);
    return;
  }
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  const unsigned char *table = sqlite3_value_text(argv[0]);
  Stmt st;
  std::string error;
  if (!table ||
      !Prepare(db, "UPDATE _korvid_seq SET value = value + step WHERE tbl = ?1 RETURNING value - step",
               &st, &error)) {
    std::string message = "No sequence defined on table " + std::string(table ? (const char *)table : "");
    sqlite3_result_error(ctx, message.c_str(), -1);
    return;
  }
  sqlite3_bind_text(st.s, 1, (const char *)table, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st.s);
  if (rc == SQLITE_ROW) {
    sqlite3_result_int64(ctx, sqlite3_column_int64(st.s, 0));
  } else if (rc == SQLITE_DONE) {
    std::string message = "No sequence defined on table " + std::string((const char *)table);
    sqlite3_result_error(ctx, message.c_str(), -1);
  } else {
    sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
  }
}

// Set while a client's statement is being prepared. The server's own
// statements (sequences, catalog) run with it clear, and so do the nested
// statements of korvid_seq(), which SQLite prepares while stepping.
thread_local bool preparing_client_statement = false;

bool Reserved(const char *name) { return name && strncasecmp(name, "_korvid", 7) == 0; }

// No client statement may touch the server's own tables, however the name
// is written (quoted, bracketed, or as a string in a name's place).
int Authorize(void *, int, const char *a, const char *b, const char *, const char *) {
  if (preparing_client_statement && (Reserved(a) || Reserved(b))) return SQLITE_DENY;
  return SQLITE_OK;
}

bool Exec(sqlite3 *db, const char *sql, std::string *error) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    *error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

bool EnsureSequenceTable(sqlite3 *db, std::string *error) {
  return Exec(db,
              "CREATE TABLE IF NOT EXISTS _korvid_seq (tbl TEXT PRIMARY KEY COLLATE NOCASE, "
              "step INTEGER NOT NULL, value INTEGER NOT NULL)",
              error);
}

void RemoveFiles(const std::string &path) {
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  unlink((path + "-journal").c_str());
}

}  // namespace

FieldType TypeFromDeclared(const char *declared) {
  std::string d = Lower(declared);
  d.erase(std::remove(d.begin(), d.end(), ' '), d.end());
  size_t open = d.find('(');
  std::string base = d.substr(0, open);
  bool sized = open != std::string::npos;
  int length = sized ? atoi(d.c_str() + open + 1) : 0;
  auto has = [&](const char *part) { return base.find(part) != std::string::npos; };
  // mSQL's own names, as its clients expect them.
  if (base == "int" || base == "integer") return {INT_TYPE, 4};
  if (base == "uint") return {UINT_TYPE, 4};
  if (base == "real" || base == "float" || base == "double") return {REAL_TYPE, 8};
  if (base == "date") return {DATE_TYPE, 4};
  if (base == "time") return {TIME_TYPE, 4};
  if (base == "money") return {MONEY_TYPE, 4};
  if (base == "text") return {TEXT_TYPE, length, !sized};
  // Everything else by SQLite's affinity rules, in SQLite's order.
  if (has("int")) return {INT_TYPE, 4};
  if (has("char") && sized) return {CHAR_TYPE, length};
  if (has("char")) return {TEXT_TYPE, 0, true};
  if (has("clob") || has("text")) return {TEXT_TYPE, length, !sized};
  if (has("blob") || base.empty()) return {TEXT_TYPE, 0, true};
  if (has("real") || has("floa") || has("doub")) return {REAL_TYPE, 8};
  // Numeric affinity: truth values are stored as 0 and 1, NUMERIC and
  // DECIMAL as numbers; DATETIME and the like keep the text they were given.
  if (has("bool")) return {INT_TYPE, 4};
  if (has("numeric") || has("decimal")) return {REAL_TYPE, 8};
  return {TEXT_TYPE, 0, true};
}

size_t FormatReal(double x, char *out, size_t size) {
  if (!std::isfinite(x) || size < 32) return 0;
  // Plain digits for a decimal exponent from -4 to 14, as "%.15g" (and
  // PostgreSQL) would choose, the exponent form otherwise.
  int exponent = x == 0 ? 0 : (int)std::floor(std::log10(std::fabs(x)));
  std::chars_format form = exponent >= -4 && exponent < 15 ? std::chars_format::fixed : std::chars_format::scientific;
  std::to_chars_result r = std::to_chars(out, out + size - 2, x, form);
  if (r.ec != std::errc()) return 0;
  size_t n = (size_t)(r.ptr - out);
  if (!memchr(out, '.', n)) {
    char *e = (char *)memchr(out, 'e', n);
    size_t at = e ? (size_t)(e - out) : n;
    memmove(out + at + 2, out + at, n - at);
    out[at] = '.';
    out[at + 1] = '0';
    n += 2;
  }
  return n;
}

const char *const kDbSuffixes[5] = {"", ".db", ".sqlite", ".sqlite3", ".db3"};

namespace {

// A regular file that begins with the SQLite header.
bool IsSqliteFile(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char head[sizeof kSqliteMagic] = "";
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  size_t got = fread(head, 1, sizeof head, f);
  fclose(f);
  return got == sizeof head && memcmp(head, kSqliteMagic, sizeof head) == 0;
}

bool FileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The file serving database `name`, or empty.
std::string FindDbFile(const std::string &data_dir, const std::string &name) {
  for (const char *suffix : kDbSuffixes) {
    std::string path = data_dir + "/" + name + suffix;
    if (IsSqliteFile(path)) return path;
  }
  return "";
}

// The suffix of the file serving `name` (for copy and move, whose new file
// keeps it).
std::string DbSuffix(const std::string &data_dir, const std::string &name) {
  std::string path = FindDbFile(data_dir, name);
  return path.substr(std::min(path.size(), data_dir.size() + 1 + name.size()));
}

}  // namespace

std::string DbPath(const std::string &data_dir, const std::string &name) {
  std::string path = FindDbFile(data_dir, name);
  return path.empty() ? data_dir + "/" + name : path;
}

bool DbExists(const std::string &data_dir, const std::string &name) {
  return !FindDbFile(data_dir, name).empty();
}

sqlite3 *DbOpen(const std::string &path, bool create, bool read_only, std::string *error) {
  sqlite3 *db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, DB_BUSY_TIMEOUT_MS);
  // WAL: readers never wait for the writer, and a committed transaction
  // survives the process being killed (synchronous NORMAL is enough for
  // that; it only gives way to a power failure).
  // Pages are read through a memory map rather than copied in by read().
  if (!Exec(db, "PRAGMA journal_mode=WAL", error) || !Exec(db, "PRAGMA synchronous=NORMAL", error) ||
      !Exec(db, "PRAGMA mmap_size=" DB_MMAP_SIZE, error)) {
    sqlite3_close(db);
    return nullptr;
  }
  void *ro = read_only ? (void *)1 : nullptr;
  int enc = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  sqlite3_create_function(db, "like", 2, enc, nullptr, LikeFunction, nullptr, nullptr);
  sqlite3_create_function(db, "match", 2, enc, (void *)1, LikeFunction, nullptr, nullptr);
  sqlite3_create_function(db, "regexp", 2, enc, nullptr, RegexpFunction, nullptr, nullptr);
  sqlite3_create_function(db, "korvid_seq", 1, SQLITE_UTF8, ro, SequenceFunction, nullptr, nullptr);
  sqlite3_create_function(db, "korvid_bytes", 1, enc, nullptr, BytesFunction, nullptr, nullptr);
  // mSQL's date and time columns compare as dates and times; the server
  // gives them these collations when it creates them.
  sqlite3_create_collation(db, MSQL_DATE_COLLATION, SQLITE_UTF8, nullptr, DateCollation);
  sqlite3_create_collation(db, MSQL_TIME_COLLATION, SQLITE_UTF8, nullptr, TimeCollation);
  sqlite3_set_authorizer(db, Authorize, nullptr);
  return db;
}

void DbClose(sqlite3 *db) { sqlite3_close_v2(db); }

bool DbListDatabases(const std::string &data_dir, std::vector<std::string> *names, std::string *error) {
  DIR *dir = opendir(data_dir.c_str());
  if (!dir) {
    *error = "Cannot read the data directory: " + std::string(strerror(errno));
    return false;
  }
  // A database is an SQLite file named by a valid name and one of the
  // suffixes; "-wal" and "-shm" companions never have such a name. Of
  // several files giving one name, only the one that serves it is listed.
  while (struct dirent *e = readdir(dir)) {
    std::string file = e->d_name, name = file;
    for (const char *suffix : kDbSuffixes) {
      size_t n = strlen(suffix);
      if (n > 0 && file.size() > n && file.compare(file.size() - n, n, suffix) == 0) {
        name = file.substr(0, file.size() - n);
      }
    }
    if (ValidDatabaseName(name) && FindDbFile(data_dir, name) == data_dir + "/" + file) names->push_back(name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

bool DbListTables(sqlite3 *db, std::vector<std::string> *names, std::string *error) {
  Stmt st;
  if (!Prepare(db, "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') ORDER BY name", &st, error)) {
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    std::string name = (const char *)sqlite3_column_text(st.s, 0);
    if (name.compare(0, 7, "sqlite_") == 0 || name.compare(0, 7, "_korvid") == 0) continue;
    names->push_back(name);
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

namespace {

// A name as an SQLite identifier: in double quotes, inner ones doubled.
std::string QuoteName(const std::string &name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// One index entry of a table as the client sees it: its shown name, and
// the SQLite index behind it (none for the rowid).
struct TableIndex {
  std::string shown;
  std::string stored;
  bool unique = false;
  std::vector<std::string> columns;
};

bool IndexColumns(sqlite3 *db, const std::string &stored, std::vector<std::string> *columns,
                  std::string *error) {
  Stmt info;
  if (!Prepare(db, "SELECT name FROM pragma_index_info(?1) ORDER BY seqno", &info, error)) return false;
  sqlite3_bind_text(info.s, 1, stored.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(info.s) == SQLITE_ROW) {
    const unsigned char *name = sqlite3_column_text(info.s, 0);
    columns->push_back(name ? (const char *)name : "");  // null: an expression
  }
  return true;
}

// The index entries of a table, primary key first, then by age. SQLite
// names the indexes of PRIMARY KEY and UNIQUE constraints
// "sqlite_autoindex_<table>_<n>", which says nothing to a user; they are
// named after what they are instead.
bool TableIndexes(sqlite3 *db, const std::string &table, std::vector<TableIndex> *out, std::string *error) {
  std::vector<TableIndex> others;
  TableIndex primary;
  Stmt idx;
  if (!Prepare(db, "SELECT name, \"unique\", origin FROM pragma_index_list(?1) ORDER BY seq DESC", &idx,
               error)) {
    return false;
  }
  sqlite3_bind_text(idx.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(idx.s) == SQLITE_ROW) {
    TableIndex entry;
    entry.stored = (const char *)sqlite3_column_text(idx.s, 0);
    entry.unique = sqlite3_column_int(idx.s, 1) != 0;
    std::string origin = (const char *)sqlite3_column_text(idx.s, 2);
    if (!IndexColumns(db, entry.stored, &entry.columns, error)) return false;
    if (origin == "pk") {
      entry.shown = "primary_key";
      primary = entry;
      continue;
    }
    if (origin == "u") {
      entry.shown = "unique";
      for (const std::string &column : entry.columns) entry.shown += "_" + column;
    } else {
      entry.shown = IndexShownName(entry.stored);
    }
    others.push_back(entry);
  }
  // A primary key without an index of its own is the INTEGER PRIMARY KEY
  // column, which is the rowid.
  if (primary.shown.empty()) {
    Stmt pk;
    if (!Prepare(db, "SELECT name FROM pragma_table_info(?1) WHERE pk > 0 ORDER BY pk", &pk, error)) {
      return false;
    }
    sqlite3_bind_text(pk.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(pk.s) == SQLITE_ROW) primary.columns.push_back((const char *)sqlite3_column_text(pk.s, 0));
    if (!primary.columns.empty()) {
      primary.shown = "primary_key";
      primary.unique = true;
    }
  }
  if (!primary.shown.empty()) out->push_back(primary);
  for (TableIndex &entry : others) {
    std::string base = entry.shown;
    for (int n = 2;; n++) {
      bool taken = false;
      for (const TableIndex &e : *out) taken = taken || e.shown == entry.shown;
      if (!taken) break;
      entry.shown = base + "_" + std::to_string(n);
    }
    out->push_back(entry);
  }
  return true;
}

// Measures, in one pass over the table, the longest value in bytes of each
// field whose length is to be measured.
bool MeasureFields(sqlite3 *db, const std::string &table, std::vector<FieldDesc> *fields,
                   const std::vector<size_t> &measured, std::string *error) {
  if (measured.empty()) return true;
  std::string sql = "SELECT ";
  for (size_t k = 0; k < measured.size(); k++) {
    if (k > 0) sql += ", ";
    sql += "max(korvid_bytes(" + QuoteName((*fields)[measured[k]].name) + "))";
  }
  sql += " FROM " + QuoteName(table);
  Stmt st;
  if (!Prepare(db, sql.c_str(), &st, error)) return false;
  int rc = sqlite3_step(st.s);
  if (rc != SQLITE_ROW) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  for (size_t k = 0; k < measured.size(); k++) {
    long long longest = sqlite3_column_int64(st.s, (int)k);  // 0 when there is no value
    FieldDesc &f = (*fields)[measured[k]];
    f.length = longest <= 0 ? FIELD_LENGTH_DEFAULT : (int)std::min<long long>(longest, FIELD_LENGTH_CAP);
  }
  return true;
}

}  // namespace

bool DbListFields(sqlite3 *db, const std::string &table, std::vector<FieldDesc> *fields,
                  std::string *error) {
  if (!TableExists(db, table, error)) return false;
  Stmt cols;
  if (!Prepare(db, "SELECT name, type, \"notnull\" FROM pragma_table_info(?1)", &cols, error)) return false;
  sqlite3_bind_text(cols.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  std::vector<size_t> measured;
  while (sqlite3_step(cols.s) == SQLITE_ROW) {
    FieldDesc f;
    f.table = table;
    f.name = (const char *)sqlite3_column_text(cols.s, 0);
    FieldType t = TypeFromDeclared((const char *)sqlite3_column_text(cols.s, 1));
    f.type = t.type;
    f.length = t.length;
    f.not_null = sqlite3_column_int(cols.s, 2) != 0;
    if (t.measured) measured.push_back(fields->size());
    fields->push_back(f);
  }
  if (!MeasureFields(db, table, fields, measured, error)) return false;
  std::vector<TableIndex> indexes;
  if (!TableIndexes(db, table, &indexes, error)) return false;
  for (const TableIndex &index : indexes)
    fields->push_back(IndexEntry(table, index.shown, index.columns.size(), index.unique));
  return true;
}

FieldDesc IndexEntry(const std::string &table, const std::string &name, size_t columns, bool unique) {
  FieldDesc f;
  f.table = table;
  f.name = name;
  f.type = IDX_TYPE;
  f.length = (int)columns;
  f.unique = unique;
  return f;
}

bool DbListIndex(sqlite3 *db, const std::string &table, const std::string &index,
                 std::vector<std::string> *rows, std::string *error) {
  if (!TableExists(db, table, error)) return false;
  std::vector<TableIndex> indexes;
  if (!TableIndexes(db, table, &indexes, error)) return false;
  for (const TableIndex &entry : indexes) {
    if (entry.shown != index) continue;
    rows->push_back("btree");
    rows->insert(rows->end(), entry.columns.begin(), entry.columns.end());
    return true;
  }
  *error = "Unknown index \"" + index + "\" on table \"" + table + "\"";
  return false;
}

int DbPrepareClient(sqlite3 *db, const std::string &sql, sqlite3_stmt **stmt) {
  preparing_client_statement = true;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), (int)sql.size(), stmt, nullptr);
  preparing_client_statement = false;
  return rc;
}

bool DbBindParams(sqlite3_stmt *stmt, const std::vector<SqlParam> &params) {
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

bool DbEmpty(sqlite3 *db, std::string *error) {
  std::vector<std::string> drops;
  {
    Stmt st;
    if (!Prepare(db,
                 "SELECT type, name FROM sqlite_master WHERE type IN ('view', 'table') "
                 "AND name NOT LIKE 'sqlite!_%' ESCAPE '!' ORDER BY type = 'table'",
                 &st, error)) {
      return false;
    }
    while (sqlite3_step(st.s) == SQLITE_ROW) {
      std::string type = (const char *)sqlite3_column_text(st.s, 0);
      std::string name = (const char *)sqlite3_column_text(st.s, 1);
      drops.push_back((type == "view" ? "DROP VIEW " : "DROP TABLE ") + QuoteName(name));
    }
  }
  for (const std::string &drop : drops) {
    if (!Exec(db, drop.c_str(), error)) return false;
  }
  return EnsureSequenceTable(db, error);
}

FieldDesc DbDescribeColumn(sqlite3 *db, sqlite3_stmt *stmt, int i) {
  FieldDesc f;
  const char *table = sqlite3_column_table_name(stmt, i);
  const char *origin = sqlite3_column_origin_name(stmt, i);
  const char *name = sqlite3_column_name(stmt, i);
  const char *declared = sqlite3_column_decltype(stmt, i);
  f.table = table ? table : "";
  f.name = name ? name : "";
  if (f.name == "rowid") f.name = "_rowid";
  if (f.name.size() > FIELD_NAME_MAX) f.name.resize(FIELD_NAME_MAX);
  if (declared) {
    FieldType t = TypeFromDeclared(declared);
    f.type = t.type;
    f.length = t.length;
    f.computed = t.measured;
  } else {
    f.type = CHAR_TYPE;
    f.computed = true;
  }
  if (table && origin) {
    int not_null = 0;
    if (sqlite3_table_column_metadata(db, nullptr, table, origin, nullptr, nullptr, &not_null, nullptr,
                                      nullptr) == SQLITE_OK) {
      f.not_null = not_null != 0;
    }
  }
  return f;
}

bool DbCreateSequence(sqlite3 *db, const Translation &t, std::string *error) {
  if (!TableExists(db, t.table, error) || !EnsureSequenceTable(db, error)) return false;
  Stmt st;
  if (!Prepare(db, "INSERT INTO _korvid_seq (tbl, step, value) VALUES (?1, ?2, ?3)", &st, error)) {
    return false;
  }
  sqlite3_bind_text(st.s, 1, t.table.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st.s, 2, t.step);
  sqlite3_bind_int64(st.s, 3, t.value);
  int rc = sqlite3_step(st.s);
  if (rc == SQLITE_CONSTRAINT) {
    *error = "Table \"" + t.table + "\" already has a sequence";
    return false;
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool DbDropSequence(sqlite3 *db, const std::string &table, std::string *error) {
  Stmt st;
  if (!EnsureSequenceTable(db, error) || !Prepare(db, "DELETE FROM _korvid_seq WHERE tbl = ?1", &st, error)) {
    return false;
  }
  sqlite3_bind_text(st.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(st.s) != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  if (sqlite3_changes(db) == 0) {
    *error = "No sequence defined on table " + table;
    return false;
  }
  return true;
}

bool DbSequenceInfo(sqlite3 *db, const std::string &table, long long *step, long long *value,
                    std::string *error) {
  Stmt st;
  std::string ignored;
  if (!Prepare(db, "SELECT step, value FROM _korvid_seq WHERE tbl = ?1", &st, &ignored)) {
    *error = "No sequence defined on table " + table;
    return false;
  }
  sqlite3_bind_text(st.s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st.s);
  if (rc != SQLITE_ROW) {
    *error = rc == SQLITE_DONE ? "No sequence defined on table " + table : sqlite3_errmsg(db);
    return false;
  }
  *step = sqlite3_column_int64(st.s, 0);
  *value = sqlite3_column_int64(st.s, 1);
  return true;
}

bool DbCreate(const std::string &data_dir, const std::string &name, std::string *error) {
  if (DbExists(data_dir, name)) {
    *error = "Database \"" + name + "\" already exists";
    return false;
  }
  std::string path = data_dir + "/" + name;
  if (FileExists(path)) {
    *error = "Cannot create database \"" + name + "\": a file of that name is in the way";
    return false;
  }
  RemoveFiles(path);  // leftovers of an earlier database of that name
  sqlite3 *db = DbOpen(path, true, false, error);
  if (!db) return false;
  bool ok = EnsureSequenceTable(db, error);
  DbClose(db);
  return ok;
}

bool DbDrop(const std::string &data_dir, const std::string &name, std::string *error) {
  if (!DbExists(data_dir, name)) {
    *error = "Unknown database \"" + name + "\"";
    return false;
  }
  std::string path = DbPath(data_dir, name);
  if (unlink(path.c_str()) != 0) {
    *error = "Cannot remove database \"" + name + "\": " + strerror(errno);
    return false;
  }
  RemoveFiles(path);
  return true;
}

// Copy and move need an existing source and a free name to go to.
static bool CanTakeOver(const std::string &data_dir, const std::string &from, const std::string &to,
                        std::string *error) {
  if (!DbExists(data_dir, from)) {
    *error = "Unknown database \"" + from + "\"";
    return false;
  }
  if (DbExists(data_dir, to)) {
    *error = "Database \"" + to + "\" already exists";
    return false;
  }
  // The new file keeps the source's suffix; a file that is no database
  // must not be overwritten by it.
  if (FileExists(data_dir + "/" + to + DbSuffix(data_dir, from))) {
    *error = "Cannot create database \"" + to + "\": a file of that name is in the way";
    return false;
  }
  return true;
}

bool DbCopy(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error) {
  if (!CanTakeOver(data_dir, from, to, error)) return false;
  sqlite3 *src = DbOpen(DbPath(data_dir, from), false, false, error);
  if (!src) return false;
  std::string to_path = data_dir + "/" + to + DbSuffix(data_dir, from);
  RemoveFiles(to_path);
  sqlite3 *dst = DbOpen(to_path, true, false, error);
  if (!dst) {
    DbClose(src);
    return false;
  }
  bool ok = false;
  sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main");
  if (b) {
    int rc = sqlite3_backup_step(b, -1);
    sqlite3_backup_finish(b);
    ok = rc == SQLITE_DONE;
  }
  if (!ok) *error = "Copy failed: " + std::string(sqlite3_errmsg(dst));
  DbClose(dst);
  DbClose(src);
  if (!ok) {
    unlink(to_path.c_str());
    RemoveFiles(to_path);
  }
  return ok;
}

bool DbMove(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error) {
  if (!CanTakeOver(data_dir, from, to, error)) return false;
  // Fold the write-ahead log into the file first, so that the file alone
  // holds the whole database when it takes its new name.
  sqlite3 *db = DbOpen(DbPath(data_dir, from), false, false, error);
  if (!db) return false;
  bool ok = Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", error);
  DbClose(db);
  if (!ok) return false;
  std::string from_path = DbPath(data_dir, from);
  std::string to_path = data_dir + "/" + to + DbSuffix(data_dir, from);
  RemoveFiles(to_path);
  if (rename(from_path.c_str(), to_path.c_str()) != 0) {
    *error = "Cannot rename database: " + std::string(strerror(errno));
    return false;
  }
  RemoveFiles(from_path);
  return true;
}
