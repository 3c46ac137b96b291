// Raw clients, users and self-started servers for server tests: see
// server_clients.h.
#include "tests/support/server_clients.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "msql/msql.h"
#include "msql/packet.h"
#include "tests/support/server_fixture.h"

void StartTestServer(ServerFixtureOptions options, ServerFixture **server, bool sample) {
  if (sample) options.databases.insert(options.databases.begin(), {"sample", SampleSqlPath()});
  std::string error;
  *server = ServerFixtureStart(options, &error);
  ASSERT_NE(*server, nullptr) << error;
}

void ServerClientTest::StartServer(const ServerFixtureOptions &options, const char *db, bool sample) {
  ASSERT_NO_FATAL_FAILURE(StartTestServer(options, &server_, sample));
  sock_ = msqlConnect(nullptr);
  ASSERT_GE(sock_, 0) << msqlErrMsg;
  if (db) {
    ASSERT_EQ(msqlSelectDB(sock_, db), 0) << msqlErrMsg;
  }
}

void ServerClientTest::TearDown() {
  if (sock_ >= 0) msqlClose(sock_);
  ServerFixtureStop(server_);
}

int RunServerBriefly(const std::string &args, std::string *err) {
  std::string command = "timeout 5 " + ServerBinaryPath() + " " + args + " 2>&1 >/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[512];
  err->clear();
  while (fgets(buf, sizeof buf, p)) *err += buf;
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WaitForServer(void) {
  int sock = -1;
  for (int i = 0; i < 500 && (sock = msqlConnect(nullptr)) < 0; i++) usleep(20000);
  return sock;
}

std::string TestUserName(void) {
  struct passwd *pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "root";
}

const char kOtherUser[] = "korvidtest";

bool OtherUser(uid_t *uid) {
  if (geteuid() != 0) return false;
  if (!getpwnam(kOtherUser) &&
      system((std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + kOtherUser +
              " >/dev/null 2>&1").c_str()) != 0) {
    return false;
  }
  struct passwd *pw = getpwnam(kOtherUser);
  if (!pw) return false;
  *uid = pw->pw_uid;
  return true;
}

std::string AsUser(uid_t uid, const std::function<std::string()> &body) {
  int out[2];
  if (pipe(out) != 0) return "<pipe>";
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    struct passwd *pw = getpwuid(uid);
    if (!pw || setgid(pw->pw_gid) != 0 || setuid(uid) != 0) _exit(2);
    std::string text = body();
    ssize_t ignored = write(out[1], text.data(), text.size());
    (void)ignored;
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  close(out[0]);
  int status;
  waitpid(child, &status, 0);
  return text;
}

namespace {

int Connected(int fd, const struct sockaddr *addr, socklen_t len) {
  if (fd >= 0 && connect(fd, addr, len) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Reads n bytes, waiting at most 10 s for each part; false on close or timeout.
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

}  // namespace

int RawConnectUnix(const std::string &path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  return Connected(socket(AF_UNIX, SOCK_STREAM, 0), (struct sockaddr *)&addr, sizeof addr);
}

int RawConnectTcp(int port) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Connected(socket(AF_INET, SOCK_STREAM, 0), (struct sockaddr *)&addr, sizeof addr);
}

bool RawSend(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

std::string RawFramed(const std::string &payload) {
  unsigned char header[PACKET_HEADER];
  msqlEncodeLength(header, (int)payload.size());
  return std::string((const char *)header, PACKET_HEADER) + payload;
}

std::string RawReply(int fd) {
  unsigned char header[PACKET_HEADER];
  if (!ReadBytes(fd, (char *)header, PACKET_HEADER)) return "<closed>";
  int length = msqlDecodeLength(header);
  if (length < 0 || length > MAX_PACKET) return "<bad length>";
  std::string payload((size_t)length, '\0');
  if (length > 0 && !ReadBytes(fd, &payload[0], (size_t)length)) return "<closed>";
  return payload;
}

int RawSession(const std::string &socket_path, const std::string &db) {
  int fd = RawConnectUnix(socket_path);
  if (fd < 0) return -1;
  if (RawReply(fd).compare(0, 5, "0:23:") != 0 || !RawSend(fd, RawFramed(TestUserName() + "\n")) ||
      RawReply(fd) != "0:\n" || (!db.empty() && (!RawSend(fd, RawFramed("2:" + db + "\n")) || RawReply(fd) != "0:\n"))) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  return !out.fail();
}
