// Catalog lists, administration requests, the server report and type names.
#include <unistd.h>

#include "tests/msql/msql_test.h"

namespace {

using CatalogTest = MsqlTest;

std::string FieldRow(const std::string &name) {
  std::string cols[] = {"t", name, "1", "4", "N", "N"};
  std::string out;
  for (const std::string &c : cols) out += std::to_string(c.size()) + ":" + c;
  return out;
}

void ExpectCatalogEntry(ResultHandle *res, const char *name) {
  FieldListEntry *f = msqlFetchField(res);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->name, name);
  EXPECT_STREQ(f->table, "mSQL Catalog");
  EXPECT_EQ(f->type, CHAR_TYPE);
  EXPECT_EQ(f->length, 35);
  EXPECT_EQ(f->flags, 0u);
  EXPECT_EQ(msqlFetchField(res), nullptr);
}

TEST_F(CatalogTest, ListsHaveOneColumnAndACatalogEntry) {
  int sock = Connect({
      ExpectPacket("4:\n"), SendPacket("-100:\n"),
      ExpectPacket("5:\n"), SendPacket("2:t1"), SendPacket("2:t2"), SendPacket("2:t3"),
      SendPacket("-100:\n"),
      ExpectPacket("11:t:idx\n"), SendPacket("3:idx"), SendPacket("1:a"), SendPacket("-100:\n"),
  });
  ASSERT_GE(sock, 0) << msqlErrMsg;

  ResultHandle *dbs = msqlListDBs(sock);
  ASSERT_NE(dbs, nullptr) << msqlErrMsg;
  EXPECT_EQ(dbs->numRows, 0);
  EXPECT_EQ(dbs->queryData, nullptr);
  EXPECT_EQ(dbs->numFields, 1);
  ExpectCatalogEntry(dbs, "Database");
  msqlFreeResult(dbs);

  ResultHandle *tables = msqlListTables(sock);
  ASSERT_NE(tables, nullptr) << msqlErrMsg;
  EXPECT_EQ(tables->numRows, 3);
  for (const char *name : {"t1", "t2", "t3"}) {
    char **row = msqlFetchRow(tables);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], name);
  }
  EXPECT_EQ(msqlFetchRow(tables), nullptr);
  ExpectCatalogEntry(tables, "Table");
  msqlFreeResult(tables);

  ResultHandle *index = msqlListIndex(sock, "t", "idx");
  ASSERT_NE(index, nullptr) << msqlErrMsg;
  EXPECT_EQ(index->numRows, 2);
  msqlDataSeek(index, 1);
  EXPECT_STREQ(msqlFetchRow(index)[0], "a");
  ExpectCatalogEntry(index, "Index");
  msqlFreeResult(index);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(CatalogTest, ListFieldsKeepsTheServersOrder) {
  std::vector<FakeStep> steps = {ExpectPacket("6:t\n")};
  for (const char *name : {"d", "c", "b", "a"}) steps.push_back(SendPacket(FieldRow(name)));
  steps.push_back(SendPacket("-100:\n"));
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ResultHandle *res = msqlListFields(sock, "t");
  ASSERT_NE(res, nullptr) << msqlErrMsg;
  EXPECT_EQ(msqlNumFields(res), 4);
  EXPECT_EQ(msqlNumRows(res), 0);
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  for (const char *name : {"d", "c", "b", "a"}) EXPECT_STREQ(msqlFetchField(res)->name, name);
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(CatalogTest, ListFailures) {
  int sock = Connect({
      ExpectPacket("5:\n"), SendPacket("2:t1"), SendPacket("-1:No database selected\n"),
      ExpectPacket("6:t\n"), SendPacket("-1:Unknown table\n"),
      ExpectPacket("6:t\n"), SendPacket("1:t1:a-2:1:41:N1:N"), SendPacket("-100:\n"),
      ExpectPacket("4:\n"), CloseNow(),
  });
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlListTables(sock), nullptr);
  EXPECT_STREQ(msqlErrMsg, "No database selected");
  EXPECT_EQ(msqlListFields(sock, "t"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Unknown table");
  EXPECT_EQ(msqlListFields(sock, "t"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Bad packet received from server");
  EXPECT_TRUE(IsOpen(sock));
  EXPECT_EQ(msqlListDBs(sock), nullptr);
  EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
  EXPECT_FALSE(IsOpen(sock));
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(CatalogTest, AdministrationRequests) {
  struct Case {
    const char *name;
    std::string request;
    int (*call)(int sock);
  } cases[] = {
      {"msqlCreateDB(%d,shop)\n", "7:shop\n", [](int s) { return msqlCreateDB(s, "shop"); }},
      {"msqlDropDB(%d,shop)\n", "8:shop\n", [](int s) { return msqlDropDB(s, "shop"); }},
      {"msqlCopyDB(%d,a,b)\n", "15:a:b\n", [](int s) { return msqlCopyDB(s, "a", "b"); }},
      {"msqlMoveDB(%d,a,b)\n", "14:a:b\n", [](int s) { return msqlMoveDB(s, "a", "b"); }},
      {"msqlReloadAcl(%d)\n", "9:\n", msqlReloadAcl},
      {"msqlShutdown(%d)\n", "10:\n", msqlShutdown},
  };
  std::vector<FakeStep> steps;
  for (const Case &c : cases) {
    steps.push_back(ExpectPacket(c.request));
    steps.push_back(SendPacket("0\n"));
    steps.push_back(ExpectPacket(c.request));
    steps.push_back(SendPacket("-1:Refused " + c.request));
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  msqlDebugLevels = MSQL_DEBUG_API;
  for (const Case &c : cases) {
    strcpy(msqlErrMsg, "earlier");
    Capture err;
    err.Start(2);
    EXPECT_EQ(c.call(sock), 0) << c.request;
    std::string trace = err.Stop();
    char expected[128];
    snprintf(expected, sizeof expected, c.name, sock);
    EXPECT_EQ(trace, std::string("[libmsql] ") + expected);
    EXPECT_STREQ(msqlErrMsg, "earlier");  // success leaves the old text
    err.Start(2);
    EXPECT_EQ(c.call(sock), -1) << c.request;
    err.Stop();
    EXPECT_EQ(std::string(msqlErrMsg), "Refused " + c.request.substr(0, c.request.size() - 1));
    EXPECT_TRUE(IsOpen(sock));
  }
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(CatalogTest, SequenceInfo) {
  int sock = Connect({ExpectPacket("13:t\n"), SendPacket("1:5:7\n"),
                      ExpectPacket("13:t\n"), SendPacket("1:5\n"),
                      ExpectPacket("13:t\n"), SendPacket("-1:No sequence\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  SequenceInfo *seq = msqlGetSequenceInfo(sock, "t");
  ASSERT_NE(seq, nullptr) << msqlErrMsg;
  EXPECT_EQ(seq->first, 5);
  EXPECT_EQ(seq->second, 7);
  EXPECT_EQ(msqlGetSequenceInfo(sock, "t"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Bad packet received from server");
  EXPECT_EQ(msqlGetSequenceInfo(sock, "t"), nullptr);
  EXPECT_STREQ(msqlErrMsg, "No sequence");
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(CatalogTest, ServerReportIsPrintedUnchanged) {
  int sock = Connect({ExpectPacket("12:\n"), SendPacket("Uptime 100%\n"), SendPacket("%s %d\n"),
                      SendPacket("-100:\n"), ExpectPacket("12:\n"),
                      SendPacket("-1:Permission denied\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  Capture out;
  out.Start(1);
  EXPECT_EQ(msqlServerReport(sock), 0);
  EXPECT_EQ(out.Stop(), "Uptime 100%\n%s %d\n");
  EXPECT_EQ(msqlServerReport(sock), -1);
  EXPECT_STREQ(msqlErrMsg, "Permission denied\n");
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(CatalogTest, TypeNames) {
  struct Case {
    int type;
    const char *name;
  } cases[] = {{1, "INT"},  {2, "CHAR"},  {3, "REAL"},    {4, "IDENT"},   {5, "NULL"},
               {6, "TEXT"}, {7, "DATE"},  {8, "UINT"},    {9, "MONEY"},   {10, "TIME"},
               {0, "UNKNOWN"}, {11, "UNKNOWN"}, {253, "UNKNOWN"}, {-1, "UNKNOWN"}};
  for (const Case &c : cases) EXPECT_STREQ(msqlTypeName(c.type), c.name) << c.type;
}

}  // namespace

namespace {

// The api trace of every request on a terminal, which each refuses: the
// index and sequence requests refuse before they trace, the others after.
TEST_F(CatalogTest, ApiTraceOfRefusedRequests) {
  Terminal term;
  int t = term.tty;
  ASSERT_GE(t, 0);
  std::string n = std::to_string(t);
  msqlDebugLevels = MSQL_DEBUG_API;
  struct Case {
    std::string trace;
    void (*call)(int sock);
  } cases[] = {
      {"msqlListDBs(" + n + ")\n", [](int s) { msqlListDBs(s); }},
      {"msqlListTables(" + n + ")\n", [](int s) { msqlListTables(s); }},
      {"msqlListFields(" + n + ",t)\n", [](int s) { msqlListFields(s, "t"); }},
      {"", [](int s) { msqlListIndex(s, "t", "i"); }},
      {"", [](int s) { msqlGetSequenceInfo(s, "t"); }},
      {"msqlCreateDB(" + n + ",d)\n", [](int s) { msqlCreateDB(s, "d"); }},
      {"msqlDropDB(" + n + ",d)\n", [](int s) { msqlDropDB(s, "d"); }},
      {"msqlCopyDB(" + n + ",a,b)\n", [](int s) { msqlCopyDB(s, "a", "b"); }},
      {"msqlMoveDB(" + n + ",a,b)\n", [](int s) { msqlMoveDB(s, "a", "b"); }},
      {"msqlReloadAcl(" + n + ")\n", [](int s) { msqlReloadAcl(s); }},
      {"msqlShutdown(" + n + ")\n", [](int s) { msqlShutdown(s); }},
      {"msqlDataSeek() pos = \n", [](int) { msqlDataSeek(nullptr, 3); }},
      {"msqlFieldSeek() pos = \n", [](int) { msqlFieldSeek(nullptr, 3); }},
  };
  for (const Case &c : cases) {
    Capture err;
    err.Start(2);
    c.call(t);
    EXPECT_EQ(err.Stop(), c.trace.empty() ? "" : "[libmsql] " + c.trace);
  }
}

TEST_F(CatalogTest, ApiTraceOfListsAndReport) {
  int sock = Connect({ExpectPacket("11:t:i\n"), SendPacket("-100:\n"), ExpectPacket("13:t\n"),
                      SendPacket("1:1:2\n"), ExpectPacket("12:\n"), SendPacket("-100:\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  std::string n = std::to_string(sock);
  msqlDebugLevels = MSQL_DEBUG_API;
  Capture err;
  err.Start(2);
  msqlFreeResult(msqlListIndex(sock, "t", "i"));
  msqlGetSequenceInfo(sock, "t");
  msqlServerReport(sock);
  EXPECT_EQ(err.Stop(), "[libmsql] msqlListIndex(" + n + ",t,i)\n[libmsql] msqlGetSequenceInfo(" + n +
                            ",t)\n[libmsql] msqlServerReport(" + n + ")\n");
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

}  // namespace
