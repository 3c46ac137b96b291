// The catalog read back from SQLite: tables, fields, indexes and declared
// types (from the table's own CREATE text, which SQLite keeps verbatim, so
// no side table is needed for them), a result column's description, and the
// sequences kept in the database file itself.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "server/sqlite/sqlite.h"

namespace {

std::string Lower(const char *s) {
  std::string out = s ? s : "";
  for (char &c : out) c = (char)tolower((unsigned char)c);
  return out;
}

}  // namespace

bool Prepare(sqlite3 *db, const char *sql, Stmt *st, std::string *error) {
  if (sqlite3_prepare_v2(db, sql, -1, &st->s, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool DbTableExists(sqlite3 *db, const std::string &table, std::string *error) {
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

bool DbEnsureSequenceTable(sqlite3 *db, std::string *error) {
  return Exec(db,
              "CREATE TABLE IF NOT EXISTS _korvid_seq (tbl TEXT PRIMARY KEY COLLATE NOCASE, "
              "step INTEGER NOT NULL, value INTEGER NOT NULL)",
              error);
}

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
  std::vector<std::string> taken;
  if (!primary.shown.empty()) {
    out->push_back(primary);
    taken.push_back(primary.shown);
  }
  for (TableIndex &entry : others) {
    entry.shown = UniqueIndexName(entry.shown, taken);
    taken.push_back(entry.shown);
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
    f.length = MeasuredLength(longest);
  }
  return true;
}

}  // namespace

bool DbListFields(sqlite3 *db, const std::string &table, std::vector<FieldDesc> *fields,
                  std::string *error) {
  if (!DbTableExists(db, table, error)) return false;
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

bool DbListIndex(sqlite3 *db, const std::string &table, const std::string &index,
                 std::vector<std::string> *rows, std::string *error) {
  if (!DbTableExists(db, table, error)) return false;
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
  return DbEnsureSequenceTable(db, error);
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
  if (!DbTableExists(db, t.table, error) || !DbEnsureSequenceTable(db, error)) return false;
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
  if (!DbEnsureSequenceTable(db, error) || !Prepare(db, "DELETE FROM _korvid_seq WHERE tbl = ?1", &st, error)) {
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
