// korvid-server through the project's client library over real sockets:
// every request and its reply shape, the statements the application builds,
// the dialect, and the refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "tests/support/server_fixture.h"

namespace {

// One server with the sample database for the whole suite; each test
// connects afresh.
class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ServerFixtureOptions options;
    options.databases.push_back({"sample", SampleSqlPath()});
    std::string error;
    server_ = ServerFixtureStart(options, &error);
    ASSERT_NE(server_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    ServerFixtureStop(server_);
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server_, nullptr);
    sock_ = msqlConnect(nullptr);
    ASSERT_GE(sock_, 0) << msqlErrMsg;
  }
  void TearDown() override {
    if (sock_ >= 0) msqlClose(sock_);
  }

  // Runs a statement that yields rows and returns them as texts ("NULL" for
  // SQL NULL); fails the test when the statement is refused.
  std::vector<std::vector<std::string>> Rows(const std::string &statement) {
    std::vector<std::vector<std::string>> rows;
    int n = msqlQuery(sock_, statement.c_str());
    EXPECT_GE(n, 0) << statement << ": " << msqlErrMsg;
    ResultHandle *r = msqlStoreResult();
    if (!r) return rows;
    while (char **row = msqlFetchRow(r)) {
      std::vector<std::string> values;
      for (int i = 0; i < msqlNumFields(r); i++) values.push_back(row[i] ? row[i] : "NULL");
      rows.push_back(values);
    }
    msqlFreeResult(r);
    return rows;
  }

  static ServerFixture *server_;
  int sock_ = -1;
};

ServerFixture *ServerTest::server_ = nullptr;

TEST_F(ServerTest, GreetingAnnouncesProtocol23AndDescription) {
  EXPECT_EQ(msqlGetProtoInfo(), 23);
  EXPECT_NE(strstr(msqlGetServerInfo(), "korvid-server"), nullptr) << msqlGetServerInfo();
}

}  // namespace
