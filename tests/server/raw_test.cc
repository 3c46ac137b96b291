// korvid-server through raw sockets: the login check of the peer's name,
// malformed, oversized and split packets, and clients that stall or vanish.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "msql/msql.h"
#include "msql/packet.h"
#include "server/server.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"

namespace {

class RawTest : public ::testing::Test {
 protected:
  void SetUp() override { StartTestServer(ServerFixtureOptions(), &server_); }
  void TearDown() override { ServerFixtureStop(server_); }

  // The server still answers a new client.
  void ExpectAlive() {
    int fd = RawSession(server_->socket_path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(RawSend(fd, RawFramed("2:sample\n")));
    EXPECT_EQ(RawReply(fd), "0:\n");
    close(fd);
  }

  ServerFixture *server_ = nullptr;
};

TEST_F(RawTest, LoginOverTheUnixSocketMustNameThePeer) {
  const std::string claims[] = {TestUserName() + "x", "x" + TestUserName(), "", "someone"};
  for (const std::string &claim : claims) {
    int fd = RawConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(RawReply(fd).compare(0, 5, "0:23:"), 0);
    ASSERT_TRUE(RawSend(fd, RawFramed(claim + "\n")));
    EXPECT_EQ(RawReply(fd).compare(0, 17, "-1:Access denied:"), 0) << claim;
    EXPECT_EQ(RawReply(fd), "<closed>") << claim;
    close(fd);
  }
  // Over loopback TCP the kernel knows the client's user as well: another
  // name is refused as over the socket, its own accepted.
  const std::pair<std::string, std::string> tcp[] = {
      {"someone", "-1:Access denied: user \"someone\" is not the owner of this connection (" + TestUserName() + ")\n"},
      {TestUserName(), "0:\n"}};
  for (const auto &claim : tcp) {
    int fd = RawConnectTcp(server_->tcp_port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(RawReply(fd).compare(0, 5, "0:23:"), 0);
    ASSERT_TRUE(RawSend(fd, RawFramed(claim.first + "\n")));
    EXPECT_EQ(RawReply(fd), claim.second);
    close(fd);
  }
}

TEST_F(RawTest, MalformedRequestsAreAnswered) {
  int fd = RawSession(server_->socket_path);
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
    ASSERT_TRUE(RawSend(fd, RawFramed(c.request)));
    std::string reply = RawReply(fd);
    EXPECT_EQ(reply, c.reply) << c.request;
    if (reply == "1:8\n") {
      EXPECT_EQ(RawReply(fd), "-100:\n");
      for (int i = 0; i < 8; i++) EXPECT_EQ(RawReply(fd).compare(0, 8, "6:people"), 0);
      EXPECT_EQ(RawReply(fd), "-100:\n");
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
    int fd = RawSession(server_->socket_path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(RawSend(fd, std::string((const char *)c.header, 4)));
    EXPECT_EQ(RawReply(fd), c.reply);
    EXPECT_EQ(RawReply(fd), "<closed>");
    close(fd);
  }
  ExpectAlive();
}

TEST_F(RawTest, RequestOfExactlyTheLargestSizeIsServed) {
  int fd = RawSession(server_->socket_path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(RawSend(fd, RawFramed("2:sample\n")));
  ASSERT_EQ(RawReply(fd), "0:\n");
  std::string frame = "3:SELECT ''\n";
  std::string value(MAX_PACKET - frame.size(), 'x');
  std::string request = "3:SELECT '" + value + "'\n";
  ASSERT_EQ(request.size(), (size_t)MAX_PACKET);
  ASSERT_TRUE(RawSend(fd, RawFramed(request)));
  EXPECT_EQ(RawReply(fd), "1:1\n");
  EXPECT_EQ(RawReply(fd), std::to_string(value.size()) + ":" + value);
  EXPECT_EQ(RawReply(fd), "-100:\n");
  // A computed column is named by its text, cut to FIELD_NAME_MAX bytes.
  std::string name = "'" + value.substr(0, 63);
  EXPECT_EQ(RawReply(fd), "0:64:" + name + "1:26:1310601:N1:N");
  EXPECT_EQ(RawReply(fd), "-100:\n");
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
  int stalled = RawSession(server_->socket_path);
  ASSERT_GE(stalled, 0);
  std::string request = RawFramed("2:sample\n");
  ASSERT_TRUE(RawSend(stalled, request.substr(0, 2)));
  // B: asks for a result far larger than the socket buffers and never reads.
  int slow = RawSession(server_->socket_path);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(RawSend(slow, RawFramed("2:sample\n")));
  ASSERT_EQ(RawReply(slow), "0:\n");
  ASSERT_TRUE(RawSend(slow, RawFramed("3:SELECT * FROM people, orders\n")));
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
  for (size_t i = 2; i < request.size(); i++) ASSERT_TRUE(RawSend(stalled, request.substr(i, 1)));
  EXPECT_EQ(RawReply(stalled), "0:\n");
  close(stalled);
  // B goes away in the middle of its stream; the server carries on.
  EXPECT_EQ(RawReply(slow), "1:15\n");
  close(slow);
  ExpectAlive();
}

TEST_F(RawTest, ConnectionsBeyondTheLimitAreRefused) {
  std::vector<int> held;
  for (int i = 0; i < MAX_CONNECTIONS; i++) {
    int fd = RawConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0) << i;
    held.push_back(fd);
    ASSERT_EQ(RawReply(fd).compare(0, 5, "0:23:"), 0) << i;  // served: its thread runs
  }
  int extra = RawConnectUnix(server_->socket_path);
  ASSERT_GE(extra, 0);
  EXPECT_EQ(RawReply(extra), "-1:Too many connections\n");
  EXPECT_EQ(RawReply(extra), "<closed>");
  close(extra);
  // Once one leaves, a newcomer is served again.
  close(held.back());
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 100 && !served; attempt++) {
    int fd = RawConnectUnix(server_->socket_path);
    ASSERT_GE(fd, 0);
    served = RawReply(fd).compare(0, 5, "0:23:") == 0;
    close(fd);
    if (!served) usleep(20000);
  }
  EXPECT_TRUE(served);
  for (int fd : held) close(fd);
}

}  // namespace
