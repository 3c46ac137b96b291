// What a field listing costs when korvid-server measures the lengths of
// text columns declared without one (one pass over the table per listing),
// against the same listing of a table whose lengths are all declared. Both
// tables are SQLite files written directly, as another program would.
//
//   field_list [rows]     default 1,000,000 rows; prints the best of five
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "msql/msql.h"
#include "tests/support/server_fixture.h"

namespace {

const int kRuns = 5;

bool Exec(sqlite3 *db, const char *sql) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  fprintf(stderr, "field_list: %s\n", msg ? msg : sqlite3_errmsg(db));
  sqlite3_free(msg);
  return false;
}

// Two tables of `rows` rows each: one with text columns of no declared
// length, one with the same values in char(n) columns.
bool WriteDatabase(const std::string &path, long rows) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  char sql[1024];
  snprintf(sql, sizeof sql,
           "CREATE TABLE measured (id INTEGER PRIMARY KEY, name TEXT, note TEXT, added DATETIME);"
           "CREATE TABLE declared (id INTEGER PRIMARY KEY, name char(20), note char(60), added char(19));"
           "BEGIN;"
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %ld) "
           "INSERT INTO measured SELECT i, 'name ' || i, substr('a note that is long enough for this', 1, i %% 30), "
           "'2026-12-09 06:00:00' FROM n;"
           "INSERT INTO declared SELECT * FROM measured;"
           "COMMIT;",
           rows);
  bool ok = Exec(db, sql);
  sqlite3_close(db);
  return ok;
}

double BestListing(int sock, const char *table) {
  double best = 1e9;
  for (int run = 0; run < kRuns; run++) {
    auto start = std::chrono::steady_clock::now();
    ResultHandle *r = msqlListFields(sock, table);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!r) {
      fprintf(stderr, "field_list: %s\n", msqlErrMsg);
      return -1;
    }
    msqlFreeResult(r);
    best = std::min(best, s);
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  long rows = argc > 1 ? atol(argv[1]) : 1000000;
  ServerFixtureOptions options;
  options.tcp = false;
  std::string error;
  ServerFixture *server = ServerFixtureStart(options, &error);
  if (!server) {
    fprintf(stderr, "field_list: %s\n", error.c_str());
    return 1;
  }
  int status = 1;
  if (WriteDatabase(server->data_dir + "/big.db", rows)) {
    int sock = msqlConnect(nullptr);
    if (sock >= 0 && msqlSelectDB(sock, "big") == 0) {
      double measured = BestListing(sock, "measured");
      double declared = BestListing(sock, "declared");
      if (measured >= 0 && declared >= 0) {
        printf("field listing of %ld rows, best of %d: three text columns measured %.3f s, "
               "all lengths declared %.4f s\n",
               rows, kRuns, measured, declared);
        status = 0;
      }
    } else {
      fprintf(stderr, "field_list: %s\n", msqlErrMsg);
    }
    if (sock >= 0) msqlClose(sock);
  }
  ServerFixtureStop(server);
  return status;
}
