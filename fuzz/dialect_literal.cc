// libFuzzer target, differential: any text written as a literal the client's
// way (QuoteValue) and put into an INSERT, an UPDATE and a WHERE clause comes
// out of korvid-server's translation, run by SQLite, as exactly the original
// text, in exactly one statement.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/services/quote.h"
#include "msql/msql.h"
#include "server/dialect.h"

namespace {

sqlite3 *Open() {
  sqlite3 *db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK ||
      sqlite3_exec(db, "CREATE TABLE t (a TEXT, b TEXT)", nullptr, nullptr, nullptr) != SQLITE_OK) {
    abort();
  }
  return db;
}

void Fail(const char *what, const std::string &statement, const std::string &detail) {
  fprintf(stderr, "%s\nstatement: %s\n%s\n", what, statement.c_str(), detail.c_str());
  abort();
}

// Translates and runs one statement; it must be accepted and be one statement.
void Run(sqlite3 *db, const std::string &statement) {
  Translation tr;
  std::string error;
  if (!TranslateStatement(statement, &tr, &error)) Fail("refused", statement, error);
  if (tr.kind != STMT_SQL) Fail("not plain SQL", statement, tr.sql);
  sqlite3_stmt *stmt = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(db, tr.sql.c_str(), static_cast<int>(tr.sql.size()), &stmt, &tail) != SQLITE_OK) {
    Fail("SQLite refused the translation", statement, tr.sql + "\n" + sqlite3_errmsg(db));
  }
  for (const char *p = tail; p && *p; p++) {
    if (*p != ' ' && *p != '\n' && *p != '\t' && *p != ';') Fail("more than one statement", statement, tr.sql);
  }
  for (size_t i = 0; i < tr.params.size(); i++) {
    const SqlParam &param = tr.params[i];
    int at = static_cast<int>(i + 1);
    if (param.kind == PARAM_TEXT) {
      sqlite3_bind_text(stmt, at, param.text.data(), static_cast<int>(param.text.size()), SQLITE_TRANSIENT);
    } else if (param.kind == PARAM_INT) {
      sqlite3_bind_int64(stmt, at, param.i);
    } else {
      sqlite3_bind_double(stmt, at, param.d);
    }
  }
  while (sqlite3_step(stmt) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
}

std::vector<std::string> Column(sqlite3 *db, const char *sql) {
  std::vector<std::string> out;
  sqlite3_stmt *stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char *text = sqlite3_column_text(stmt, 0);
    out.emplace_back(text ? reinterpret_cast<const char *>(text) : "<NULL>",
                     static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The value as a C string, as the application holds it.
  std::string value(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
  std::vector<char> buffer(2 * value.size() + 3);
  if (QuoteValue(buffer.data(), buffer.size(), value.c_str(), CHAR_TYPE) == nullptr) abort();
  std::string literal = buffer.data();

  // One database for the process: each input leaves the table empty.
  static sqlite3 *db = Open();
  Run(db, "INSERT INTO t (a, b) VALUES (" + literal + ", 'x')");
  std::vector<std::string> got = Column(db, "SELECT a FROM t");
  if (got.size() != 1 || got[0] != value) Fail("INSERT changed the value", literal, got.empty() ? "" : got[0]);
  // Found again by a WHERE literal, and written back by an UPDATE.
  Run(db, "UPDATE t SET b = " + literal + " WHERE a = " + literal);
  got = Column(db, "SELECT b FROM t");
  if (got.size() != 1 || got[0] != value) Fail("UPDATE or WHERE changed the value", literal, got.empty() ? "" : got[0]);
  Run(db, "DELETE FROM t WHERE b = " + literal);
  if (!Column(db, "SELECT a FROM t").empty()) Fail("DELETE did not find the value", literal, "");
  // Nothing but the table t was made or dropped.
  std::vector<std::string> tables = Column(db, "SELECT name FROM sqlite_master");
  if (tables != std::vector<std::string>{"t"}) Fail("schema changed", literal, "");
  return 0;
}
