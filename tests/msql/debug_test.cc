// MSQL_DEBUG levels, trace lines, closing sockets and the broken-pipe handler.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/msql/msql_test.h"

namespace {

using DebugTest = MsqlTest;

const std::string kRule = "\n-------------------------------------------------------\n";
const std::string kFound = "MSQL_DEBUG found. libmsql started with the following:-\n\n";

TEST_F(DebugTest, EnvironmentChoosesLevels) {
  struct Case {
    const char *value;  // null: unset
    int levels;
    std::string lines;
  } cases[] = {
      {nullptr, 0, ""},
      {"", 0, "\x01"},
      {"msql_api:msql_query", MSQL_DEBUG_API | MSQL_DEBUG_QUERY,
       "\x01" "Debug level : api\nDebug level : query\n"},
      {"::msql_malloc::", MSQL_DEBUG_MALLOC, "\x01" "Debug level : malloc\n"},
      {"msql_api:msql_api", MSQL_DEBUG_API, "\x01" "Debug level : api\nDebug level : api\n"},
      {"MSQL_API", 0, "\x01"},
      {"msql_api,msql_query", 0, "\x01"},
      {"bogus:msql_query", MSQL_DEBUG_QUERY, "\x01" "Debug level : query\n"},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    if (c.value) {
      setenv("MSQL_DEBUG", c.value, 1);
    } else {
      unsetenv("MSQL_DEBUG");
    }
    Capture out;
    out.Start(1);
    msqlDebugInit();
    std::string printed = out.Stop();
    EXPECT_EQ(msqlDebugLevels, c.levels) << (c.value ? c.value : "(unset)");
    std::string expected;
    if (!c.lines.empty()) expected = kRule + kFound + c.lines.substr(1) + kRule + "\n";
    EXPECT_EQ(printed, expected) << (c.value ? c.value : "(unset)");
  }
}

TEST_F(DebugTest, TraceOnlyForChosenLevelsWithPrefix) {
  msqlDebugLevels = MSQL_DEBUG_QUERY;
  Capture err;
  err.Start(2);
  msqlTrace(MSQL_DEBUG_API, "api %d\n", 1);
  msqlTrace(MSQL_DEBUG_QUERY, "query %d\n", 2);
  msqlTrace(MSQL_DEBUG_MALLOC, "malloc\n");
  msqlTrace(MSQL_DEBUG_QUERY, nullptr);
  EXPECT_EQ(err.Stop(), "[libmsql] query 2\n");
}

TEST_F(DebugTest, LongTraceIsCutAtItsBuffer) {
  msqlDebugLevels = MSQL_DEBUG_QUERY;
  std::string statement(2000, 's');
  Capture err;
  err.Start(2);
  // A terminal: the request is refused, but it traces first.
  Terminal term;
  msqlQuery(term.tty, statement.c_str());
  std::string line = err.Stop();
  std::string full = "[libmsql] Query = \"" + statement + "\"\n";
  EXPECT_EQ(line, full.substr(0, 10 + MSQL_TRACE_SIZE - 1));
}

TEST_F(DebugTest, QueryTraceQuotesTheStatement) {
  msqlDebugLevels = MSQL_DEBUG_QUERY;
  Capture err;
  err.Start(2);
  Terminal term;
  msqlQuery(term.tty, "select * from t");
  EXPECT_EQ(err.Stop(), "[libmsql] Query = \"select * from t\"\n");
}

TEST_F(DebugTest, CloseServerSocketForgetsTheCurrentSocket) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int other[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
  msqlDebugLevels = MSQL_DEBUG_API;
  currentServerSocket = other[0];
  Capture err;
  err.Start(2);
  closeServerSocket(fds[0]);
  EXPECT_EQ(err.Stop(), "[libmsql] Server socket (" + std::to_string(fds[0]) + ") closed\n");
  EXPECT_EQ(currentServerSocket, -1);
  EXPECT_FALSE(IsOpen(fds[0]));
  // A broken pipe now closes nothing.
  err.Start(2);
  msqlPipeHandler(SIGPIPE);
  EXPECT_EQ(err.Stop(), "[libmsql] Hit by pipe signal\n");
  EXPECT_TRUE(IsOpen(other[0]));
  close(other[0]);
  close(other[1]);
  close(fds[1]);
}

TEST_F(DebugTest, BrokenPipeFailsTheRequestInsteadOfEndingTheProcess) {
  setenv("MSQL_DEBUG", "msql_api", 1);
  Capture out;
  out.Start(1);
  int sock = Connect({CloseNow()});
  out.Stop();
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(server.Finish(), "");  // the server has closed its end
  Capture err;
  err.Start(2);
  EXPECT_EQ(msqlQuery(sock, "select 1"), -1);
  std::string trace = err.Stop();
  EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
  std::string hit = "[libmsql] Hit by pipe signal\n";
  std::string closed = "[libmsql] Server socket (" + std::to_string(sock) + ") closed\n";
  size_t at = trace.find(hit);
  ASSERT_NE(at, std::string::npos) << trace;
  EXPECT_EQ(trace.compare(at + hit.size(), closed.size(), closed), 0) << trace;
  EXPECT_FALSE(IsOpen(sock));
  EXPECT_EQ(currentServerSocket, -1);
}

TEST_F(DebugTest, NothingIsPrintedWithoutMsqlDebug) {
  Capture out;
  Capture err;
  out.Start(1);
  err.Start(2);
  int sock = Connect({ExpectPacket("1:\n")});
  msqlClose(sock);
  std::string errText = err.Stop();
  std::string outText = out.Stop();
  EXPECT_GE(sock, 0);
  EXPECT_EQ(outText, "");
  EXPECT_EQ(errText, "");
  EXPECT_EQ(server.Finish(), "");
}

}  // namespace
