// Clients of a korvid-server that the client library does not make: raw
// protocol sockets (to send what a hostile or broken client would), the
// test's own and another user, and a server started by the test itself on
// a configuration of its own.
#ifndef KORVID_TESTS_SUPPORT_SERVER_CLIENTS_H
#define KORVID_TESTS_SUPPORT_SERVER_CLIENTS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

struct ServerFixture;
struct ServerFixtureOptions;

// ---- Servers -----------------------------------------------------------------

// A fixture stopped when the holder goes.
using ServerHolder = std::unique_ptr<ServerFixture, void (*)(ServerFixture *)>;
// Starts a fixture for a test: a fatal failure with the reason when it
// cannot (so call under ASSERT_NO_FATAL_FAILURE, or last in SetUp). The
// sample database is loaded as "sample" when `sample` is true.
void StartTestServer(ServerFixtureOptions options, ServerFixture **server, bool sample = true);
// A test with a server of its own and a client connection on it, closed
// and stopped when the test ends.
class ServerClientTest : public ::testing::Test {
 protected:
  // Starts the server, with the sample database added when `sample` is
  // true (a fatal failure when it cannot), and connects sock_ to it,
  // selecting `db` unless null.
  void StartServer(const ServerFixtureOptions &options, const char *db = nullptr, bool sample = true);
  void TearDown() override;
  ServerFixture *server_ = nullptr;
  int sock_ = -1;
};

// Runs the server binary with these arguments (words parted by blanks) for
// at most 5 s; its exit status (-1 when killed), what it wrote to standard
// error in *err.
int RunServerBriefly(const std::string &args, std::string *err);
// The client library's target server accepting connections: waits up to
// 10 s; an open connection, or -1.
int WaitForServer(void);

// ---- Users -------------------------------------------------------------------

// The user who runs the test, and the unprivileged user a root test acts as.
std::string TestUserName(void);
extern const char kOtherUser[];  // "korvidtest"
// Makes kOtherUser when the test runs as root and gives its uid; false
// when not root or the user cannot be made.
bool OtherUser(uid_t *uid);
// Runs `body` in a child process that has become `uid` and returns what it
// gave back. The client library's state (the loaded configuration) comes
// along with the fork.
std::string AsUser(uid_t uid, const std::function<std::string()> &body);

// ---- Raw protocol ------------------------------------------------------------

// A connected socket, or -1.
int RawConnectUnix(const std::string &path);
int RawConnectTcp(int port);  // loopback
// Sends all the bytes; false when it could not.
bool RawSend(int fd, const std::string &bytes);
// The payload with its packet header in front.
std::string RawFramed(const std::string &payload);
// One reply packet's payload, "<closed>" when the server closed (or said
// nothing for 10 s), "<bad length>" for a header no server should send.
std::string RawReply(int fd);
// Over the UNIX socket: logged in as the test's user, and with `db`
// selected unless empty; -1 when any step is refused.
int RawSession(const std::string &socket_path, const std::string &db = "");

// ---- Files -------------------------------------------------------------------

std::string ReadFileText(const std::string &path);  // "" when unreadable
bool WriteFileText(const std::string &path, const std::string &text);  // false when not written

#endif
