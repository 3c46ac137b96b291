// The catalog of the PostgreSQL engine: the tables of the search path, a
// table's fields and indexes named as the SQLite engine names them, the
// descriptions of a result's columns, and the sequences that stand for
// mSQL's. Every lookup is one query over the session's connection.
#include <cstdlib>
#include <cstring>

#include "server/postgres/postgres.h"

namespace {

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
  Result r = FetchAll(c,
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

}  // namespace

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

// Tables and views of the search path, as they can be named unqualified.
bool PgListTables(Connection *c, std::vector<std::string> *names, std::string *error) {
  Result r = FetchAll(c,
                     "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                     "WHERE c.relkind IN ('r', 'v', 'm', 'p', 'f') AND pg_table_is_visible(c.oid) "
                     "AND n.nspname NOT IN ('pg_catalog', 'information_schema') ORDER BY c.relname",
                     {}, error);
  if (!r) return false;
  for (int i = 0; i < PQntuples(r.get()); i++) names->push_back(PQgetvalue(r.get(), i, 0));
  return true;
}

namespace {

// The relation a client's table name means, as its OID in text. The name
// is a bare one, as the table list gives it ("Order Details"), never SQL
// name syntax: it is taken as the client would write it unquoted (folded to
// lower case), and as it stands when that finds nothing.
bool TableOid(Connection *c, const std::string &table, std::string *oid, std::string *error,
              std::string *quoted = nullptr) {
  Result r = FetchAll(c,
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
  Result r = FetchAll(c,
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

}  // namespace

bool PgListFields(Connection *c, const std::string &table, std::vector<FieldDesc> *fields, std::string *error) {
  std::string oid, quoted;
  if (!TableOid(c, table, &oid, error, &quoted)) return false;
  Result r = FetchAll(c,
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
    Result m = FetchAll(c, ("SELECT " + measure + " FROM " + quoted).c_str(), {}, error);
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
  Result r = FetchAll(c,
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

