// Values through the record forms' statements and korvid-server: 10,000
// generated texts full of quotes, backslashes, comment and statement
// separators, LIKE wildcards and UTF-8 are inserted, looked up, updated and
// searched, and come back byte for byte; the schema stays as it was. And
// number fields: numbers stored, patterns matched as text, and text that is
// no number never read as SQL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/services/services.h"
#include "msql/msql.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"
#include "records/records.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

constexpr int kValues = 10000;
constexpr int kLength = 200;  // of both text fields

// Pieces that have broken quoting somewhere: every value is a random run of
// them, cut to the field's length on a character boundary.
const char *const kPieces[] = {"'",  "''", "\\", "\\'", "'\\", ";--", "--", "/*", "*/", "%",
                               "_",  "\"", ";",  "\\g", "#",  " ",   "a",  "Z",  "0",  "\t",
                               "\n", "é",  "€",  "😀", "ß",  "',", ")",  "(",  "\\\\", "x'); DROP TABLE qt; --"};

std::string Generate(std::mt19937 &random) {
  std::string value;
  size_t target = std::uniform_int_distribution<size_t>(0, kLength)(random);
  if (random() % 10 == 0) target = kLength;  // the full length often enough
  while (value.size() < target) {
    std::string piece = kPieces[random() % (sizeof kPieces / sizeof *kPieces)];
    if (value.size() + piece.size() > static_cast<size_t>(kLength)) break;
    value += piece;
  }
  if (value.empty()) value = "'";
  return value;
}

std::string Schema(int sock) {
  std::string out;
  ResultHandle *res = msqlListTables(sock);
  for (char **row; res && (row = msqlFetchRow(res));) out += std::string(row[0]) + ";";
  msqlFreeResult(res);
  res = msqlListFields(sock, "qt");
  for (FieldListEntry *f; res && (f = msqlFetchField(res));) {
    out += std::string(f->name) + ":" + std::to_string(f->type) + ":" + std::to_string(f->length) + ":" +
           std::to_string(f->flags) + ";";
  }
  msqlFreeResult(res);
  return out;
}

// Runs a statement; the rows of a select as (id, a, b).
std::vector<std::vector<std::string>> Exec(int sock, const char *statement) {
  std::vector<std::vector<std::string>> rows;
  EXPECT_GE(msqlQuery(sock, statement), 0) << msqlErrMsg << "\n" << statement;
  ResultHandle *res = msqlStoreResult();
  for (char **row; res && (row = msqlFetchRow(res));) {
    rows.emplace_back();
    for (int i = 0; i < msqlNumFields(res); i++) rows.back().push_back(row[i] ? row[i] : "");
  }
  msqlFreeResult(res);
  return rows;
}

// Once over SQLite files, once over a private PostgreSQL.
class QuoteRoundTrip : public ServerClientTest, public ::testing::WithParamInterface<const char *> {
 protected:
  // A server with database `db` made by the script, selected on sock_.
  void Start(const char *db, const std::string &script) {
    ServerFixtureOptions options;
    options.postgresql = strcmp(GetParam(), "PostgreSQL") == 0;
    options.database_scripts.push_back({db, script});
    StartServer(options, db, false);
  }
  void TearDown() override {
    ServerClientTest::TearDown();
    msqlResetForTests();
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, QuoteRoundTrip, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

TEST_P(QuoteRoundTrip, ValuesComeBackByteForByte) {
  ASSERT_NO_FATAL_FAILURE(Start("q", "CREATE TABLE qt (id INT NOT NULL, a CHAR(" + std::to_string(kLength) +
                                          "), b CHAR(" + std::to_string(kLength) +
                                          "))\\g\nCREATE UNIQUE INDEX k ON qt (id)\\g\n"));
  const int sock = sock_;
  std::string schema = Schema(sock);

  std::string names[] = {"id", "a", "b"};
  std::string table = "qt";
  InfoField fields[] = {{names[0].data(), table.data(), INT_TYPE, 11, FLAG_NOT_NULL},
                        {names[1].data(), table.data(), CHAR_TYPE, kLength, 0},
                        {names[2].data(), table.data(), CHAR_TYPE, kLength, 0}};
  Info info{};
  info.table = table.data();
  info.nfields = info.nentries = 3;
  info.pkey = 0;
  info.fields = fields;

  std::mt19937 random(20261208);
  char statement[STATEMENT_SIZE];
  int failures = 0;
  for (int i = 0; i < kValues && failures < 5; i++) {
    std::string id = std::to_string(i), v = Generate(random), w = Generate(random);
    SCOPED_TRACE("value " + id + ": " + v);
    int before = ::testing::Test::HasFailure() ? 1 : 0;
    ASSERT_EQ(InsertStatement(statement, sizeof statement, &info, {id.c_str(), v.c_str(), ""}), 0);
    Exec(sock, statement);
    ASSERT_EQ(LookupStatement(statement, sizeof statement, &info, id.c_str()), 0);
    auto rows = Exec(sock, statement);
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{id, v, ""}}));
    // b takes the first value, a a second one.
    ASSERT_EQ(UpdateStatement(statement, sizeof statement, &info, {id.c_str(), w.c_str(), v.c_str()}, id.c_str()), 0);
    Exec(sock, statement);
    ASSERT_EQ(LookupStatement(statement, sizeof statement, &info, id.c_str()), 0);
    EXPECT_EQ(Exec(sock, statement), (std::vector<std::vector<std::string>>{{id, w, v}}));
    // A search is a LIKE pattern, in which a backslash escapes; without one
    // every value matches itself.
    ASSERT_EQ(SearchStatement(statement, sizeof statement, &info, {id.c_str(), nullptr, v.c_str()}), 0);
    rows = Exec(sock, statement);
    if (v.find('\\') == std::string::npos) {
      EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{id, w, v}}));
    }
    if (::testing::Test::HasFailure() && !before) failures++;
  }
  EXPECT_EQ(Schema(sock), schema);
  auto count = Exec(sock, "SELECT id FROM qt");
  EXPECT_EQ(count.size(), static_cast<size_t>(kValues));
}

// The record forms' statements on fields of every number type. What the
// forms let through (ReadNumber) is stored as that number; a search pattern
// with % or _ matches the values as text; and text that is no number, were
// it ever written, reaches the server as a text it refuses, never as SQL.
TEST_P(QuoteRoundTrip, NumberFieldsTakeNumbersAndMatchPatternsAsText) {
  ASSERT_NO_FATAL_FAILURE(Start("n", "CREATE TABLE nt (id INT, u UINT, r REAL, m MONEY)\\g\n"
                                "CREATE UNIQUE INDEX k ON nt (id)\\g\n"));
  const int sock = sock_;

  std::string names[] = {"id", "u", "r", "m"};
  std::string table = "nt";
  InfoField fields[] = {{names[0].data(), table.data(), INT_TYPE, 11, 0},
                        {names[1].data(), table.data(), UINT_TYPE, 11, 0},
                        {names[2].data(), table.data(), REAL_TYPE, 11, 0},
                        {names[3].data(), table.data(), MONEY_TYPE, 11, 0}};
  Info info{};
  info.table = table.data();
  info.nfields = info.nentries = 4;
  info.pkey = 0;
  info.fields = fields;
  char statement[STATEMENT_SIZE];
  const std::vector<std::vector<const char *>> rows = {
      {"4", "4", "4.5", "4.5"},          {" +41 ", "41", "41.25", "41.25"},
      {"45", "450", ".5", "45"},          {"-9", "0", "-1.5e2", "-0.25"},
      {"99", "+99", "1e-300", "9999999999999.99"}};
  for (const auto &row : rows) {
    ASSERT_EQ(InsertStatement(statement, sizeof statement, &info, row), 0);
    Exec(sock, statement);
  }
  // Each value as the number it was typed as.
  const char *stored[] = {"id = 41 AND u = 41 AND r = 41.25 AND m = 41.25",
                          "id = 45 AND r = 0.5", "id = -9 AND u = 0 AND r = -150 AND m = -0.25",
                          "id = 99 AND u = 99 AND r < 1e-299 AND r > 0 AND m = 9999999999999.99"};
  for (const char *condition : stored) {
    EXPECT_EQ(Exec(sock, (std::string("SELECT id FROM nt WHERE ") + condition).c_str()).size(), 1u) << condition;
  }

  struct Search {
    std::vector<const char *> patterns;
    std::vector<std::string> ids;
  } searches[] = {
      {{"4_", nullptr, nullptr, nullptr}, {"41", "45"}},
      {{nullptr, "4%", nullptr, nullptr}, {"4", "41", "45"}},
      {{nullptr, nullptr, "%.25", nullptr}, {"41"}},
      {{nullptr, nullptr, nullptr, "%.25"}, {"41", "-9"}},
      {{"_9", nullptr, nullptr, nullptr}, {"-9", "99"}},
      {{"45", nullptr, nullptr, nullptr}, {"45"}},
  };
  for (const Search &c : searches) {
    ASSERT_EQ(SearchStatement(statement, sizeof statement, &info, c.patterns), 0);
    SCOPED_TRACE(statement);
    std::vector<std::string> ids;
    for (const auto &row : Exec(sock, statement)) ids.push_back(row[0]);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected = c.ids;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
  }

  // Were a text that is no number ever written for one, the server refuses
  // it as a value; the key column and every other row stay as they were.
  std::vector<std::vector<std::string>> before = Exec(sock, "SELECT * FROM nt ORDER BY id");
  for (const char *text : {"1,id=99", "0 OR 1=1", "a", "4_"}) {
    SCOPED_TRACE(text);
    for (int field = 1; field < 4; field++) {
      std::vector<const char *> values = {"41", "41", "41.25", "41.25"};
      values[field] = text;
      ASSERT_EQ(UpdateStatement(statement, sizeof statement, &info, values, "41"), 0);
      EXPECT_LT(msqlQuery(sock, statement), 0) << statement;
    }
    ASSERT_EQ(DeleteStatement(statement, sizeof statement, &info, text), 0);
    msqlQuery(sock, statement);  // refused, or matching no row
  }
  EXPECT_EQ(Exec(sock, "SELECT * FROM nt ORDER BY id"), before);
}

}  // namespace
