// Values through the record forms' statements and korvid-server: 10,000
// generated texts full of quotes, backslashes, comment and statement
// separators, LIKE wildcards and UTF-8 are inserted, looked up, updated and
// searched, and come back byte for byte; the schema stays as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/services.h"
#include "msql/msql.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"
#include "records/records.h"
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
class QuoteRoundTrip : public ::testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(Engines, QuoteRoundTrip, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

TEST_P(QuoteRoundTrip, ValuesComeBackByteForByte) {
  char dir[] = "/tmp/korvid-quote-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string script = std::string(dir) + "/q.sql";
  std::ofstream(script) << "CREATE TABLE qt (id INT NOT NULL, a CHAR(" << kLength << "), b CHAR(" << kLength
                        << "))\\g\nCREATE UNIQUE INDEX k ON qt (id)\\g\n";
  ServerFixtureOptions options;
  options.postgresql = strcmp(GetParam(), "PostgreSQL") == 0;
  options.databases.push_back({"q", script});
  std::string error;
  ServerFixture *server = ServerFixtureStart(options, &error);
  unlink(script.c_str());
  rmdir(dir);
  ASSERT_NE(server, nullptr) << error;
  std::unique_ptr<ServerFixture, void (*)(ServerFixture *)> stop(server, ServerFixtureStop);
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "q"), 0) << msqlErrMsg;
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
  msqlClose(sock);
  msqlResetForTests();
}

}  // namespace
