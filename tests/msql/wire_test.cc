// The packet layer: framing of requests, reading replies within the size
// limit, reply status and server messages, lost connections.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "tests/msql/msql_test.h"

namespace {

using WireTest = MsqlTest;

// Writes bytes into one end of a socket pair from a thread, so that replies
// larger than the socket's buffer can be read by the other end.
struct Peer {
  int fds[2] = {-1, -1};
  std::thread writer;
  explicit Peer(const std::string &bytes) {
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    writer = std::thread([this, bytes] {
      size_t at = 0;
      while (at < bytes.size()) {
        ssize_t n = send(fds[1], bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      shutdown(fds[1], SHUT_WR);
    });
  }
  ~Peer() {
    writer.join();
    close(fds[0]);
    close(fds[1]);
  }
};

TEST_F(WireTest, QueryRequestIsFramedBehindLittleEndianLength) {
  int sock = Connect({Expect(std::string("\x12\0\0\0", 4) + "3:select * from t\n"), SendPacket("1\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "select * from t"), 1);
  EXPECT_EQ(server.Finish(), "");
}

// A request text fills a packet up to 131071 characters and goes out byte
// for byte; one character more is refused before anything is sent, since a
// cut "... WHERE id = 12345" would name another record. The connection stays
// usable: the next request is the next thing the server reads.
TEST_F(WireTest, RequestTextUpToItsLimitGoesWholeAndOnePastIsRefused) {
  std::string head = "DELETE FROM t WHERE id = 12345 OR a = '";
  std::string longest = head + std::string(MSQL_STATEMENT_MAX - head.size() - 1, 'x') + "'";
  ASSERT_EQ(("3:" + longest + "\n").size(), size_t{MAX_PACKET - 1});
  std::string table(MAX_PACKET - 3, 't');  // "6:" + table + "\n": one past the limit
  int sock = Connect({ExpectPacket("3:" + longest + "\n"), SendPacket("1\n"),
                      ExpectPacket("3:select 1\n"), SendPacket("2\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, longest.c_str()), 1) << msqlErrMsg;
  std::string past = longest + " ";
  EXPECT_EQ(msqlQuery(sock, past.c_str()), -1);
  EXPECT_STREQ(msqlErrMsg, "Request too long: nothing was sent");
  EXPECT_EQ(msqlListFields(sock, table.c_str()), nullptr);
  EXPECT_STREQ(msqlErrMsg, "Request too long: nothing was sent");
  EXPECT_EQ(msqlQuery(sock, "select 1"), 2) << msqlErrMsg;
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(WireTest, ReplyLengthLimits) {
  struct Case {
    std::string bytes;
    int result;
    std::string stderrText;
  } cases[] = {
      {Packet(std::string(131072, 'a')), 131072, ""},
      {Header(131073) + std::string(131073, 'a'), -1, "Packet too large (131073)\n"},
      {Header(INT32_MAX), -1, "Packet too large (2147483647)\n"},
      {std::string("\xff\xff\xff\xff", 4) + "abc", -1, "Malformed packet\n"},
      {Header(0), 0, ""},
      {Header(10) + "short", -1, ""},
      {std::string("\x05\0", 2), -1, ""},
      {"", -1, ""},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    Peer peer(c.bytes);
    Capture err;
    err.Start(2);
    int got = readPacket(peer.fds[0]);
    EXPECT_EQ(got, c.result) << Escaped(c.bytes.substr(0, 8));
    EXPECT_EQ(err.Stop(), c.stderrText);
    if (got > 0) {
      EXPECT_EQ(packetBuffer[got], '\0');
      EXPECT_EQ(std::string(packetBuffer, static_cast<size_t>(got)), c.bytes.substr(4));
    }
  }
}

TEST_F(WireTest, HeaderReadErrorIsReported) {
  int dirFd = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirFd, 0);
  Capture err;
  err.Start(2);
  EXPECT_EQ(readPacket(dirFd), -1);
  EXPECT_EQ(err.Stop(),
            "Socket read on " + std::to_string(dirFd) + " for length failed : Is a directory\n");
  close(dirFd);
}

// Two packets sent as one byte string cut at every offset, so that headers
// and payloads arrive in pieces and packets share reads.
TEST_F(WireTest, PacketsCutAtEveryOffsetAreAssembledWhole) {
  std::string first = "-1:first message\n";
  std::string second = "1:22";
  std::string bytes = Packet(first) + Packet(second);
  std::vector<FakeStep> steps;
  for (size_t cut = 1; cut < bytes.size(); cut++) {
    steps.push_back(Send(bytes, {cut, cut + 2 < bytes.size() ? cut + 2 : cut}));
  }
  ASSERT_TRUE(server.Start(steps));
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", server.socketPath.c_str());
  ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  for (size_t cut = 1; cut < bytes.size(); cut++) {
    ASSERT_EQ(readPacket(sock), static_cast<int>(first.size())) << "cut at " << cut;
    EXPECT_EQ(std::string(packetBuffer), first);
    ASSERT_EQ(readPacket(sock), static_cast<int>(second.size())) << "cut at " << cut;
    EXPECT_EQ(std::string(packetBuffer), second);
  }
  close(sock);
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(WireTest, ServerMessages) {
  std::string longMessage;
  for (int i = 0; i < 300; i++) longMessage += static_cast<char>('a' + i % 26);
  struct Case {
    std::string reply;
    std::string message;
  } cases[] = {
      {"-1:No such database\n", "No such database"},
      {"-1", "Unknown MSQL error"},
      {"  -1:indented\n", "indented"},
      {"-1:two\nlines\n", "two\nlines"},
      {"-1:" + longMessage + "\n", longMessage.substr(0, 199)},
      {"-1:" + longMessage.substr(0, 198) + "\n", longMessage.substr(0, 198)},
      {"-1:" + longMessage.substr(0, 199) + "\n", longMessage.substr(0, 199)},
  };
  std::vector<FakeStep> steps;
  for (const Case &c : cases) {
    steps.push_back(ExpectPacket("2:db\n"));
    steps.push_back(SendPacket(c.reply));
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  for (const Case &c : cases) {
    EXPECT_EQ(msqlSelectDB(sock, "db"), -1);
    EXPECT_EQ(std::string(msqlErrMsg), c.message) << Escaped(c.reply);
    EXPECT_TRUE(IsOpen(sock));
  }
  EXPECT_EQ(server.Finish(), "");
}

TEST_F(WireTest, LostConnectionClosesTheSocket) {
  struct Case {
    const char *name;
    std::vector<FakeStep> reply;
  } cases[] = {
      {"empty reply", {Send(Header(0))}},
      {"closed before the header", {CloseNow()}},
      {"closed inside the payload", {Send(Header(20) + "1:"), CloseNow()}},
      {"negative length", {Send(Header(-5))}},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("2:db\n"));
    steps.insert(steps.end(), c.reply.begin(), c.reply.end());
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    Capture err;
    err.Start(2);
    EXPECT_EQ(msqlSelectDB(sock, "db"), -1) << c.name;
    err.Stop();
    EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away") << c.name;
    EXPECT_FALSE(IsOpen(sock)) << c.name;
    EXPECT_EQ(currentServerSocket, -1);
    EXPECT_EQ(one.Finish(), "") << c.name;
  }
}

TEST_F(WireTest, TerminalIsRefusedBeforeAnythingIsSent) {
  Terminal term;
  int tty = term.tty;
  ASSERT_GE(tty, 0);
  const char *kRefused = "Socket not connected to mSQL";
  EXPECT_EQ(msqlQuery(tty, "select 1"), -1);
  EXPECT_STREQ(msqlErrMsg, kRefused);
  struct {
    const char *name;
    bool failed;
  } cases[] = {
      {"ListDBs", msqlListDBs(tty) == nullptr},
      {"ListTables", msqlListTables(tty) == nullptr},
      {"ListFields", msqlListFields(tty, "t") == nullptr},
      {"ListIndex", msqlListIndex(tty, "t", "i") == nullptr},
      {"GetSequenceInfo", msqlGetSequenceInfo(tty, "t") == nullptr},
      {"CreateDB", msqlCreateDB(tty, "d") == -1},
      {"DropDB", msqlDropDB(tty, "d") == -1},
      {"CopyDB", msqlCopyDB(tty, "a", "b") == -1},
      {"MoveDB", msqlMoveDB(tty, "a", "b") == -1},
      {"ReloadAcl", msqlReloadAcl(tty) == -1},
      {"Shutdown", msqlShutdown(tty) == -1},
  };
  for (const auto &c : cases) EXPECT_TRUE(c.failed) << c.name;
  EXPECT_STREQ(msqlErrMsg, kRefused);
  struct pollfd p = {term.master, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 50), 0) << "something reached the terminal";
}

TEST_F(WireTest, StatusIsReadLikeStrtol) {
  struct Case {
    const char *text;
    int value;
  } cases[] = {
      {"-100:", -100}, {"  -1:x", -1}, {"+7", 7}, {"abc", 0}, {"", 0},
      {"12abc", 12},   {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
  };
  for (const Case &c : cases) EXPECT_EQ(msqlReadNumber(c.text, nullptr), c.value) << c.text;
}

TEST_F(WireTest, ScanTellsIncompleteFromMalformed) {
  std::string whole = Packet("abc");
  int length = 0;
  size_t consumed = 0;
  for (size_t n = 0; n < whole.size(); n++) {
    EXPECT_EQ(msqlScanPacket(reinterpret_cast<const unsigned char *>(whole.data()), n, &length,
                             &consumed),
              PACKET_INCOMPLETE)
        << n;
  }
  EXPECT_EQ(msqlScanPacket(reinterpret_cast<const unsigned char *>(whole.data()), whole.size() + 0,
                           &length, &consumed),
            PACKET_COMPLETE);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(consumed, 7u);
  std::string negative = Header(-1);
  EXPECT_EQ(msqlScanPacket(reinterpret_cast<const unsigned char *>(negative.data()), 4, &length,
                           &consumed),
            PACKET_NEGATIVE);
  std::string large = Header(MAX_PACKET + 1);
  EXPECT_EQ(msqlScanPacket(reinterpret_cast<const unsigned char *>(large.data()), 4, &length,
                           &consumed),
            PACKET_TOO_LARGE);
  unsigned char header[4];
  msqlEncodeLength(header, 0x01020304);
  EXPECT_EQ(header[0], 4);
  EXPECT_EQ(header[3], 1);
  EXPECT_EQ(msqlDecodeLength(header), 0x01020304);
}

}  // namespace
