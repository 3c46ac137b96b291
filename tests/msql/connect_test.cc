// Connecting over both transports, the handshake and its failures, selecting
// a database and closing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "msql/conf/config.h"
#include "msql/conf/config_internal.h"
#include "tests/msql/msql_test.h"

namespace {

using ConnectTest = MsqlTest;

// The pairs the configuration table is asked for while this is the hook.
std::vector<std::string> lookups;
void RecordLookup(const char *section, const char *element) {
  lookups.push_back(std::string(section) + " " + element);
}
long Lookups(const char *section, const char *element) {
  return std::count(lookups.begin(), lookups.end(), std::string(section) + " " + element);
}

const char *NoPasswordEntry() { return nullptr; }

TEST_F(ConnectTest, LocalServerOverUnixSocket) {
  lookups.clear();
  msqlConfigLookupSeen = RecordLookup;
  int sock = Connect({});
  msqlConfigLookupSeen = nullptr;
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_STREQ(msqlGetHostInfo(), "Localhost via UNIX socket");
  EXPECT_STREQ(msqlGetServerInfo(), "fake mSQL server");
  EXPECT_EQ(msqlGetProtoInfo(), 23);
  EXPECT_EQ(Lookups("general", "tcp_port"), 0);
  EXPECT_EQ(Lookups("general", "unix_port"), 1);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(ConnectTest, NamedHostOverTcp) {
  lookups.clear();
  msqlConfigLookupSeen = RecordLookup;
  int sock = Connect({}, "127.0.0.1");
  msqlConfigLookupSeen = nullptr;
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_STREQ(msqlGetHostInfo(), "127.0.0.1 via TCP/IP");
  EXPECT_EQ(Lookups("general", "tcp_port"), 1);
  EXPECT_EQ(Lookups("general", "unix_port"), 0);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(ConnectTest, ApiTraceOfAConnection) {
  setenv("MSQL_DEBUG", "msql_api", 1);
  Capture out;
  out.Start(1);
  Capture err;
  err.Start(2);
  int sock = Connect({ExpectPacket("1:\n")});
  msqlClose(sock);
  std::string trace = err.Stop();
  out.Stop();
  std::string n = std::to_string(sock);
  EXPECT_EQ(trace, "[libmsql] Server name = NULL.  Using UNIX sock(" + server.socketPath + ")\n" +
                       "[libmsql] Connection socket = " + n + "\n" +
                       "[libmsql] mSQL protocol version - API=23, server=23\n" +
                       "[libmsql] Server greeting = 'fake mSQL server\n'\n" +
                       "[libmsql] Server socket (" + n + ") closed\n");
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(ConnectTest, CloseSendsExactlyOneQuitPacket) {
  int sock = Connect({Expect(std::string("\x03\0\0\0", 4) + "1:\n"), ExpectEof()});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  msqlClose(sock);
  EXPECT_FALSE(IsOpen(sock));
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(ConnectTest, HandshakeFailuresCloseTheSocket) {
  std::string longGreeting(300, 'g');
  struct Case {
    std::vector<FakeStep> steps;
    std::string message;
  } cases[] = {
      {{SendPacket("0:22:old server\n"), ExpectEof()},
       "Protocol mismatch. Server Version = 22 Client Version = 23"},
      {{SendPacket("-1:Too many connections\n"), ExpectEof()}, "Too many connections"},
      {{SendPacket("-1\n"), ExpectEof()}, "Unknown MSQL error"},
      {{SendPacket("0\n"), ExpectEof()}, "Bad packet received from server"},
      {{Send(Header(0)), ExpectEof()}, "MSQL server has gone away"},
      {{CloseNow()}, "MSQL server has gone away"},
      {{SendPacket("0:23:x\n"), ExpectPacket("tester\n"), SendPacket("-1:Access denied\n"), ExpectEof()},
       "Access denied"},
      {{SendPacket("0:23:x\n"), ExpectPacket("tester\n"), CloseNow()}, "MSQL server has gone away"},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    FakeServer one;
    ASSERT_TRUE(one.Start(c.steps));
    one.Use();
    Capture err;
    err.Start(2);
    EXPECT_EQ(msqlConnect(nullptr), -1);
    err.Stop();
    EXPECT_EQ(std::string(msqlErrMsg), c.message);
    EXPECT_EQ(currentServerSocket, -1);
    EXPECT_EQ(one.Finish(), "") << c.message;
  }
}

TEST_F(ConnectTest, GreetingWithoutDescriptionIsAccepted) {
  ASSERT_TRUE(server.Start({SendPacket("0:23"), ExpectPacket("tester\n"), SendPacket("0\n")}));
  server.Use();
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_STREQ(msqlGetServerInfo(), "Error in server handshake!");
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(ConnectTest, LongGreetingIsCut) {
  std::string description(200, 'd');
  ASSERT_TRUE(server.Start(
      {SendPacket("0:23:" + description + "\n"), ExpectPacket("tester\n"), SendPacket("0\n")}));
  server.Use();
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(std::string(msqlGetServerInfo()), description.substr(0, 95));
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(ConnectTest, UserNameFallsBackToEnvironment) {
  ASSERT_TRUE(server.Start(
      {SendPacket("0:23:x\n"), ExpectPacket("fromenv\n"), SendPacket("0\n"), AcceptNext(),
       SendPacket("0:23:x\n"), ExpectEof()}));
  server.Use();
  msqlPasswordName = NoPasswordEntry;
  setenv("USER", "fromenv", 1);
  int sock = msqlConnect(nullptr);
  EXPECT_GE(sock, 0) << msqlErrMsg;
  close(sock);
  unsetenv("USER");
  EXPECT_EQ(msqlConnect(nullptr), -1);
  EXPECT_STREQ(msqlErrMsg, "Can't find your username. Who are you?");
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(ConnectTest, ConnectionFailures) {
  // A loopback port with nobody listening.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &len), 0);
  int deadPort = ntohs(address.sin_port);
  close(probe);

  char dir[] = "/tmp/korvid-conn-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string conf = std::string(dir) + "/msql.conf";
  FILE *f = fopen(conf.c_str(), "w");
  fprintf(f, "[general]\nunix_port = %s/absent.sock\ntcp_port = %d\n", dir, deadPort);
  fclose(f);

  std::string longHost(250, 'h');
  struct Case {
    const char *host;
    std::string message;
    std::string hostInfo;
  } cases[] = {
      {nullptr, "Can't connect to local MSQL server", "Localhost via UNIX socket"},
      {"127.0.0.1", "Can't connect to MSQL server on 127.0.0.1", "127.0.0.1 via TCP/IP"},
      {"", "Unknown MSQL Server Host ()", " via TCP/IP"},
      {"no-such-host.invalid", "Unknown MSQL Server Host (no-such-host.invalid)",
       "no-such-host.invalid via TCP/IP"},
      {longHost.c_str(), ("Unknown MSQL Server Host (" + longHost).substr(0, 199),
       longHost.substr(0, 79)},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    msqlConfigLoad(conf.c_str());
    EXPECT_EQ(msqlConnect(c.host), -1);
    EXPECT_EQ(std::string(msqlErrMsg), c.message);
    EXPECT_EQ(std::string(msqlGetHostInfo()), c.hostInfo);
    EXPECT_EQ(currentServerSocket, -1);
  }
  unlink(conf.c_str());
  rmdir(dir);
}

TEST_F(ConnectTest, LongSocketPathIsCutToTheAddressField) {
  // The configured path is longer than an address holds; the cut path is
  // where the server listens.
  ASSERT_TRUE(server.Start(Handshake()));
  std::string dir = server.dir;
  std::string cutPath = dir + "/" + std::string(107 - dir.size() - 1, 's');
  ASSERT_EQ(cutPath.size(), 107u);
  ASSERT_EQ(symlink(server.socketPath.c_str(), cutPath.c_str()), 0);
  std::string conf = dir + "/long.conf";
  FILE *f = fopen(conf.c_str(), "w");
  fprintf(f, "[general]\nunix_port = %s-and-more-beyond-the-field\n", cutPath.c_str());
  fclose(f);
  msqlConfigLoad(conf.c_str());
  server.Use();
  msqlConfigLoad(conf.c_str());
  int sock = msqlConnect(nullptr);
  EXPECT_GE(sock, 0) << msqlErrMsg;
  close(sock);
  // Our own files first, so that Finish can remove the directory.
  unlink(cutPath.c_str());
  unlink(conf.c_str());
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(ConnectTest, SelectDatabase) {
  int sock = Connect({ExpectPacket("2:nope\n"), SendPacket("-1:Unknown database \"nope\"\n"),
                      ExpectPacket("2:shop\n"), SendPacket("1\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlSelectDB(sock, "nope"), -1);
  EXPECT_STREQ(msqlErrMsg, "Unknown database \"nope\"");
  EXPECT_EQ(msqlSelectDB(sock, "shop"), 0);
  EXPECT_STREQ(msqlErrMsg, "");
  EXPECT_EQ(currentServerSocket, sock);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

}  // namespace

namespace {

// Bytes read ahead on one connection must never reach the next connection
// that gets the same descriptor number, however the first was closed.
TEST_F(ConnectTest, ReadAheadIsDroppedWithItsConnection) {
  for (bool viaLibrary : {true, false}) {
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(Send(Packet("1\n") + Packet("-1:stray\n")));
    if (viaLibrary) steps.push_back(ExpectPacket("1:\n"));
    steps.push_back(AcceptNext());
    for (const FakeStep &s : Handshake()) steps.push_back(s);
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int first = msqlConnect(nullptr);
    ASSERT_GE(first, 0) << msqlErrMsg;
    ASSERT_EQ(msqlQuery(first, "q"), 1);
    usleep(20000);  // let the stray packet arrive in the same read
    if (viaLibrary) {
      msqlClose(first);
    } else {
      close(first);
    }
    int second = msqlConnect(nullptr);
    EXPECT_EQ(second, first) << "the descriptor number was not reused";
    EXPECT_GE(second, 0) << msqlErrMsg;
    EXPECT_EQ(one.Finish(), "");
    if (second >= 0) close(second);
  }
}

TEST_F(ConnectTest, DebugSettingsAndConfigurationAreReadOnce) {
  if (access(MSQL_INST_DIR "/msql.conf", F_OK) == 0) GTEST_SKIP() << "a default msql.conf exists";
  char dir[] = "/tmp/korvid-once-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string conf = std::string(dir) + "/first.conf";
  FILE *f = fopen(conf.c_str(), "w");
  fprintf(f, "[general]\nunix_port = %s/first.sock\n", dir);
  fclose(f);
  setenv("MSQL_CONF_FILE", conf.c_str(), 1);
  msqlConfigReset();
  EXPECT_EQ(msqlConnect(nullptr), -1);  // nobody listens; the settings are read
  EXPECT_EQ(msqlDebugLevels, 0);
  EXPECT_EQ(std::string(msqlConfigGetString("general", "unix_port")), std::string(dir) + "/first.sock");

  // Neither a debug setting nor a new file is noticed by later attempts.
  setenv("MSQL_DEBUG", "msql_api", 1);
  f = fopen(conf.c_str(), "w");
  fprintf(f, "[general]\nunix_port = %s/second.sock\n", dir);
  fclose(f);
  Capture out;
  out.Start(1);
  Capture err;
  err.Start(2);
  EXPECT_EQ(msqlConnect(nullptr), -1);
  EXPECT_EQ(err.Stop(), "");
  EXPECT_EQ(out.Stop(), "");
  EXPECT_EQ(msqlDebugLevels, 0);
  EXPECT_EQ(std::string(msqlConfigGetString("general", "unix_port")), std::string(dir) + "/first.sock");
  unsetenv("MSQL_CONF_FILE");
  unlink(conf.c_str());
  rmdir(dir);
}

}  // namespace
