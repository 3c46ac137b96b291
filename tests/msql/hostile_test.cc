// A hostile or broken server: every malformed reply to a query is a defined
// failure, never a crash, a hang or a read past the packet. Where the framing
// can no longer be trusted the connection is closed; a well-formed error
// reply keeps it.
#include <signal.h>

#include "tests/msql/msql_test.h"

namespace {

using HostileTest = MsqlTest;

std::string Six(const std::string &name) { return "1:t" + std::to_string(name.size()) + ":" + name + "1:21:91:N1:N"; }

// The whole reply of a one-column select yielding one row "v".
std::vector<FakeStep> Good() {
  return {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-100:\n"), SendPacket(Six("a")),
          SendPacket("-100:\n")};
}

// Good() from its row stream's end packet on.
std::vector<FakeStep> AfterRows() {
  std::vector<FakeStep> all = Good();
  return std::vector<FakeStep>(all.begin() + 2, all.end());
}

// What the caller gets: the result, the rows or the error text.
std::string Outcome(int result, int sock) {
  if (result < 0) return "-1 " + std::string(msqlErrMsg);
  std::string out = std::to_string(result);
  ResultHandle *res = msqlStoreResult();
  if (res == nullptr) return out;
  char **row;
  while ((row = msqlFetchRow(res)) != nullptr) {
    out += " [";
    for (int i = 0; i < res->queryData->columnCount; i++) out += (i ? "|" : "") + std::string(row[i] ? row[i] : "NULL");
    out += "]";
  }
  FieldListEntry *f;
  while ((f = msqlFetchField(res)) != nullptr) out += " " + std::string(f->name);
  msqlFreeResult(res);
  (void)sock;
  return out;
}

const char *kBad = "-1 Bad packet received from server";
const char *kGone = "-1 MSQL server has gone away";

TEST_F(HostileTest, MalformedRepliesFailAndUntrustedStreamsAreClosed) {
  std::string big(MAX_PACKET - 7, 'x');
  struct Case {
    const char *name;
    std::vector<FakeStep> reply;  // after the query arrived
    std::string outcome;
    bool keepsConnection;  // a later request is answered on it
  } cases[] = {
      {"length one past the limit", {Send(Header(MAX_PACKET + 1))}, kGone, false},
      {"length at INT_MAX", {Send(Header(0x7fffffff))}, kGone, false},
      {"negative length", {Send(Header(-7))}, kGone, false},
      {"length 0", {Send(Header(0))}, kGone, false},
      {"end after two header bytes", {Send(Header(10).substr(0, 2)), CloseNow()}, kGone, false},
      {"end inside the reply", {Send(Header(10) + "1:"), CloseNow()}, kGone, false},
      {"end in the middle of a row", {SendPacket("1:1\n"), Send(Header(10) + "5:ab"), CloseNow()}, kGone, false},
      {"end before the end packet", {SendPacket("1:1\n"), SendPacket("1:v"), CloseNow()}, kGone, false},
      {"end inside the field section",
       {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-100:\n"), Send(Header(30) + "1:t"), CloseNow()},
       kGone,
       false},
      {"end before the fields' end packet",
       {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-100:\n"), SendPacket(Six("a")), CloseNow()},
       kGone,
       false},
      {"stall inside a packet, then close", {Send(Header(10) + "1:"), Pause(300), CloseNow()}, kGone, false},
      {"fewer columns than announced", {SendPacket("1:2\n"), SendPacket("1:v")}, kBad, false},
      {"count running past the payload", {SendPacket("1:1\n"), SendPacket("9:abc")}, kBad, false},
      {"negative count other than -2", {SendPacket("1:1\n"), SendPacket("-3:abc")}, kBad, false},
      {"count of 99999999999", {SendPacket("1:1\n"), SendPacket("99999999999:abc")}, kBad, false},
      {"missing colon", {SendPacket("1:1\n"), SendPacket("3abc")}, kBad, false},
      {"NULL marker without colon", {SendPacket("1:1\n"), SendPacket("-2")}, kBad, false},
      {"field row of five columns",
       {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-100:\n"), SendPacket("1:t1:a1:21:91:N")},
       kBad,
       false},
      {"two field descriptions for one column",
       {SendPacket("1:1\n"), SendPacket("1:x"), SendPacket("-100:\n"), SendPacket(Six("a")), SendPacket(Six("b")),
        SendPacket("-100:\n")},
       kBad,
       false},
      {"no field description for two columns",
       {SendPacket("1:2\n"), SendPacket("1:x1:y"), SendPacket("-100:\n"), SendPacket(Six("a")),
        SendPacket("-100:\n")},
       kBad,
       false},
      {"field count of 99999999999", {SendPacket("1:99999999999\n")}, kBad, false},
      {"field count above any row", {SendPacket("1:" + std::to_string(MSQL_MAX_COLUMNS + 1) + "\n")}, kBad, false},
      // Well formed, or read as the protocol defines: the stream stays usable.
      {"error reply", {SendPacket("-1:no such table\n")}, "-1 no such table", true},
      {"error reply without message", {SendPacket("-1:")}, "-1 ", true},
      {"error reply without colon", {SendPacket("-1")}, "-1 Unknown MSQL error", true},
      {"error inside the row stream", {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-1:disk full\n")},
       "-1 disk full", true},
      {"error inside the field stream",
       {SendPacket("1:1\n"), SendPacket("-100:\n"), SendPacket("-1:gone\n")}, "-1 gone", true},
      {"NULL in a field description",
       {SendPacket("1:1\n"), SendPacket("1:v"), SendPacket("-100:\n"), SendPacket("1:t1:a1:21:9-2:1:N"),
        SendPacket("-100:\n")},
       kBad,
       true},
      {"more columns than announced are ignored",
       Script({{SendPacket("1:1\n"), SendPacket("1:v3:abc")}, AfterRows()}),
       "1 [v] a", true},
      {"text before the colon is skipped", Script({{SendPacket("1:1\n"), SendPacket("1x:v")},
                                                   AfterRows()}),
       "1 [v] a", true},
      {"zero byte inside a value", Script({{SendPacket("1:1\n"), SendPacket(std::string("3:v\0w", 5))},
                                           AfterRows()}),
       "1 [v] a", true},
      {"field count below 1", {SendPacket("4:-5\n")}, "4", true},
      {"no status at all", {SendPacket("what?")}, "0", true},
      {"widest row", Script({{SendPacket("1:1\n"), SendPacket(std::to_string(big.size()) + ":" + big)},
                             AfterRows()}),
       "1 [" + big + "] a", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Script({Handshake(), {ExpectPacket("3:select * from t\n")}, c.reply});
    if (c.keepsConnection) {
      steps = Script({steps, {ExpectPacket("3:select * from t\n")}, Good()});
    } else if (steps.back().kind != FakeStep::CLOSE) {
      steps.push_back(ExpectEof());
    }
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    Capture err;
    err.Start(2);
    int result = msqlQuery(sock, "select * from t");
    err.Stop();
    EXPECT_EQ(Outcome(result, sock), c.outcome);
    if (c.keepsConnection) {
      EXPECT_EQ(Outcome(msqlQuery(sock, "select * from t"), sock), "1 [v] a");
      close(sock);
    } else {
      EXPECT_FALSE(IsOpen(sock));
      EXPECT_EQ(currentServerSocket, -1);
      // Nothing is sent on a closed connection; the request fails.
      err.Start(2);
      EXPECT_EQ(Outcome(msqlQuery(sock, "select * from t"), sock), kGone);
      err.Stop();
    }
    EXPECT_EQ(one.Finish(), "");
  }
}

// The server is gone before the statement is written: the write meets a
// broken pipe, which must not end the process.
TEST_F(HostileTest, ServerClosedBeforeTheQueryIsWritten) {
  int sock = Connect({CloseNow()});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  usleep(50000);  // let the close arrive
  // Large enough that the write cannot end in the socket's buffer.
  std::string statement(MAX_PACKET - 16, 'x');
  Capture err;
  err.Start(2);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(msqlQuery(sock, statement.c_str()), -1);
    EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
  }
  err.Stop();
  EXPECT_FALSE(IsOpen(sock));
  EXPECT_EQ(server.Finish(), "");
}

}  // namespace
