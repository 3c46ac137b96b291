// korvid-server through raw sockets: the login check of the peer's name,
// malformed, oversized and split packets, and clients that stall or vanish.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "msql/packet.h"
#include "server/server.h"
#include "tests/support/server_fixture.h"

namespace {

std::string Me() {
  struct passwd *pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "root";
}

int ConnectUnix(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectTcp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendBytes(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

std::string Framed(const std::string &payload) {
  unsigned char header[PACKET_HEADER];
  msqlEncodeLength(header, (int)payload.size());
  return std::string((const char *)header, PACKET_HEADER) + payload;
}

// Reads n bytes, waiting at most 10 s in all; false on close or timeout.
bool ReadBytes(int fd, char *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += (size_t)r;
  }
  return true;
}

// One reply packet's payload, or "<closed>" when the server closed.
std::string ReadReply(int fd) {
  unsigned char header[PACKET_HEADER];
  if (!ReadBytes(fd, (char *)header, PACKET_HEADER)) return "<closed>";
  int length = msqlDecodeLength(header);
  if (length < 0 || length > MAX_PACKET) return "<bad length>";
  std::string payload((size_t)length, '\0');
  if (length > 0 && !ReadBytes(fd, &payload[0], (size_t)length)) return "<closed>";
  return payload;
}

// Connects over the UNIX socket and logs in as the user running the test.
int LoggedIn(ServerFixture *f) {
  int fd = ConnectUnix(f->socket_path);
  if (fd < 0) return -1;
  if (ReadReply(fd).compare(0, 5, "0:23:") != 0 || !SendBytes(fd, Framed(Me() + "\n")) ||
      ReadReply(fd) != "0:\n") {
    close(fd);
    return -1;
  }
  return fd;
}

class RawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerFixtureOptions options;
    options.databases.push_back({"sample", SampleSqlPath()});
    std::string error;
    server_ = ServerFixtureStart(options, &error);
    ASSERT_NE(server_, nullptr) << error;
  }
  void TearDown() override { ServerFixtureStop(server_); }

  // The server still answers a new client.
  void ExpectAlive() {
    int fd = LoggedIn(server_);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(SendBytes(fd, Framed("2:sample\n")));
    EXPECT_EQ(ReadReply(fd), "0:\n");
    close(fd);
  }

  ServerFixture *server_ = nullptr;
};

TEST_F(RawTest, LoginOverTheUnixSocketMustNameThePeer) {
  const std::string claims[] = {Me() + "x", "x" + Me(), "", "someone"};
  for (const std::string &claim : claims) {
    int fd = ConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadReply(fd).compare(0, 5, "0:23:"), 0);
    ASSERT_TRUE(SendBytes(fd, Framed(claim + "\n")));
    EXPECT_EQ(ReadReply(fd).compare(0, 17, "-1:Access denied:"), 0) << claim;
    EXPECT_EQ(ReadReply(fd), "<closed>") << claim;
    close(fd);
  }
  // Over loopback TCP the kernel knows the client's user as well: another
  // name is refused as over the socket, its own accepted.
  const std::pair<std::string, std::string> tcp[] = {
      {"someone", "-1:Access denied: user \"someone\" is not the owner of this connection (" + Me() + ")\n"},
      {Me(), "0:\n"}};
  for (const auto &claim : tcp) {
    int fd = ConnectTcp(server_->tcp_port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadReply(fd).compare(0, 5, "0:23:"), 0);
    ASSERT_TRUE(SendBytes(fd, Framed(claim.first + "\n")));
    EXPECT_EQ(ReadReply(fd), claim.second);
    close(fd);
  }
}

TEST_F(RawTest, MalformedRequestsAreAnswered) {
  int fd = LoggedIn(server_);
  ASSERT_GE(fd, 0);
  struct {
    std::string request, reply;
  } cases[] = {
      {"99:\n", "-1:Unknown request code 99\n"},
      {"0:\n", "-1:Unknown request code 0\n"},
      {"hello\n", "-1:Malformed request\n"},
      {"3\n", "-1:Malformed request\n"},
      {"", "-1:Empty request\n"},
      {"3:SELECT 1\n", "-1:No database has been selected\n"},
      {"5:\n", "-1:No database has been selected\n"},
      {"2:sample\n", "0:\n"},
      {"3:\n", "-1:Empty query\n"},
      {"3:SELECT * FROM people WHERE id = 1 AND name = 'x\n'\n", "1:8\n"},
  };
  for (const auto &c : cases) {
    ASSERT_TRUE(SendBytes(fd, Framed(c.request)));
    std::string reply = ReadReply(fd);
    EXPECT_EQ(reply, c.reply) << c.request;
    if (reply == "1:8\n") {
      EXPECT_EQ(ReadReply(fd), "-100:\n");
      for (int i = 0; i < 8; i++) EXPECT_EQ(ReadReply(fd).compare(0, 8, "6:people"), 0);
      EXPECT_EQ(ReadReply(fd), "-100:\n");
    }
  }
  close(fd);
}

TEST_F(RawTest, BadLengthsCloseTheConnection) {
  struct {
    unsigned char header[4];
    const char *reply;
  } cases[] = {
      {{0x01, 0x00, 0x02, 0x00}, "-1:Packet too large (131073 bytes)\n"},
      {{0xff, 0xff, 0xff, 0x7f}, "-1:Packet too large (2147483647 bytes)\n"},
      {{0xff, 0xff, 0xff, 0xff}, "-1:Malformed packet\n"},
  };
  for (const auto &c : cases) {
    int fd = LoggedIn(server_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendBytes(fd, std::string((const char *)c.header, 4)));
    EXPECT_EQ(ReadReply(fd), c.reply);
    EXPECT_EQ(ReadReply(fd), "<closed>");
    close(fd);
  }
  ExpectAlive();
}

TEST_F(RawTest, RequestOfExactlyTheLargestSizeIsServed) {
  int fd = LoggedIn(server_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendBytes(fd, Framed("2:sample\n")));
  ASSERT_EQ(ReadReply(fd), "0:\n");
  std::string frame = "3:SELECT ''\n";
  std::string value(MAX_PACKET - frame.size(), 'x');
  std::string request = "3:SELECT '" + value + "'\n";
  ASSERT_EQ(request.size(), (size_t)MAX_PACKET);
  ASSERT_TRUE(SendBytes(fd, Framed(request)));
  EXPECT_EQ(ReadReply(fd), "1:1\n");
  EXPECT_EQ(ReadReply(fd), std::to_string(value.size()) + ":" + value);
  EXPECT_EQ(ReadReply(fd), "-100:\n");
  // A computed column is named by its text, cut to FIELD_NAME_MAX bytes.
  std::string name = "'" + value.substr(0, 63);
  EXPECT_EQ(ReadReply(fd), "0:64:" + name + "1:26:1310601:N1:N");
  EXPECT_EQ(ReadReply(fd), "-100:\n");
  close(fd);
}

TEST_F(RawTest, RowLargerThanAPacketIsRefusedInTheStream) {
  int sock = msqlConnect(nullptr);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(sock, "sample"), 0);
  std::string insert = "INSERT INTO big VALUES ('" + std::string(70000, 'b') + "')";
  ASSERT_EQ(msqlQuery(sock, "CREATE TABLE big (a text(0))"), 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, insert.c_str()), 1) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, "SELECT length(a) FROM big"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  // No one value may outgrow a packet, but a row of two may.
  EXPECT_EQ(msqlQuery(sock, "SELECT a, a FROM big"), -1);
  EXPECT_STREQ(msqlErrMsg, "Row of 140012 bytes does not fit in a packet");
  EXPECT_EQ(msqlQuery(sock, "SELECT length(a) FROM big"), 1) << msqlErrMsg;
  msqlFreeResult(msqlStoreResult());
  msqlClose(sock);
}

TEST_F(RawTest, StalledAndSlowClientsDoNotHoldOthersUp) {
  // A: stops halfway through a packet header.
  int stalled = LoggedIn(server_);
  ASSERT_GE(stalled, 0);
  std::string request = Framed("2:sample\n");
  ASSERT_TRUE(SendBytes(stalled, request.substr(0, 2)));
  // B: asks for a result far larger than the socket buffers and never reads.
  int slow = LoggedIn(server_);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(SendBytes(slow, Framed("2:sample\n")));
  ASSERT_EQ(ReadReply(slow), "0:\n");
  ASSERT_TRUE(SendBytes(slow, Framed("3:SELECT * FROM people, orders\n")));
  // C: served meanwhile, over both sockets.
  for (int round = 0; round < 2; round++) {
    int sock = msqlConnect(round == 0 ? nullptr : "127.0.0.1");
    ASSERT_GE(sock, 0) << msqlErrMsg;
    ASSERT_EQ(msqlSelectDB(sock, "sample"), 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "UPDATE people SET age = 1 WHERE id = 1"), 1) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT * FROM people WHERE id = 1"), 1) << msqlErrMsg;
    msqlFreeResult(msqlStoreResult());
    msqlClose(sock);
  }
  // A finishes its request, one byte at a time, and is answered.
  for (size_t i = 2; i < request.size(); i++) ASSERT_TRUE(SendBytes(stalled, request.substr(i, 1)));
  EXPECT_EQ(ReadReply(stalled), "0:\n");
  close(stalled);
  // B goes away in the middle of its stream; the server carries on.
  EXPECT_EQ(ReadReply(slow), "1:15\n");
  close(slow);
  ExpectAlive();
}

TEST_F(RawTest, ConnectionsBeyondTheLimitAreRefused) {
  std::vector<int> held;
  for (int i = 0; i < MAX_CONNECTIONS; i++) {
    int fd = ConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0) << i;
    held.push_back(fd);
    ASSERT_EQ(ReadReply(fd).compare(0, 5, "0:23:"), 0) << i;  // served: its thread runs
  }
  int extra = ConnectUnix(server_->socket_path);
  ASSERT_GE(extra, 0);
  EXPECT_EQ(ReadReply(extra), "-1:Too many connections\n");
  EXPECT_EQ(ReadReply(extra), "<closed>");
  close(extra);
  // Once one leaves, a newcomer is served again.
  close(held.back());
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 100 && !served; attempt++) {
    int fd = ConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0);
    served = ReadReply(fd).compare(0, 5, "0:23:") == 0;
    close(fd);
    if (!served) usleep(20000);
  }
  EXPECT_TRUE(served);
  for (int fd : held) close(fd);
}

}  // namespace
