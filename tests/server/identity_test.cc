// Who the kernel says a peer is: real sockets over loopback TCP (IPv4,
// IPv6, and IPv4 through an IPv6 socket) and a UNIX socket pair, with the
// client's socket held by another user where the test runs as root.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "server/identity.h"

namespace {

std::string Me() { return UserNameOf(geteuid()); }

// A listener on a free loopback port of the family.
int Listen(int family, struct sockaddr_storage *addr, socklen_t *len) {
  int fd = socket(family, SOCK_STREAM, 0);
  memset(addr, 0, sizeof *addr);
  if (family == AF_INET) {
    struct sockaddr_in *in = (struct sockaddr_in *)addr;
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *len = sizeof *in;
  } else {
    struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)addr;
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    *len = sizeof *in6;
  }
  if (fd < 0 || bind(fd, (struct sockaddr *)addr, *len) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, (struct sockaddr *)addr, len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Connects a client socket of `family` to the listener, in a child process
// running as `uid`, and returns what IdentifyPeer makes of the accepted end.
PeerIdentity Identify(int listener_family, int client_family, uid_t uid) {
  struct sockaddr_storage addr;
  socklen_t len;
  int listener = Listen(listener_family, &addr, &len);
  if (listener < 0) return PeerIdentity();
  struct sockaddr_storage target = addr;
  socklen_t target_len = len;
  if (client_family == AF_INET6 && listener_family == AF_INET) {
    // 127.0.0.1 as ::ffff:127.0.0.1 through a socket of the other family.
    struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)&target;
    struct sockaddr_in *in = (struct sockaddr_in *)&addr;
    in_port_t port = in->sin_port;
    struct in_addr v4 = in->sin_addr;
    memset(&target, 0, sizeof target);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = port;
    in6->sin6_addr.s6_addr[10] = 0xff;
    in6->sin6_addr.s6_addr[11] = 0xff;
    memcpy(&in6->sin6_addr.s6_addr[12], &v4, 4);
    target_len = sizeof *in6;
  }
  int ready[2];
  if (pipe(ready) != 0) return PeerIdentity();
  pid_t child = fork();
  if (child == 0) {
    close(ready[1]);
    if (uid != geteuid() && setuid(uid) != 0) _exit(2);
    int fd = socket(client_family, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&target, target_len) != 0) _exit(3);
    char byte = 0;
    // Holds the connection open until the parent has looked.
    if (read(ready[0], &byte, 1) < 0) _exit(4);
    _exit(0);
  }
  close(ready[0]);
  PeerIdentity id;
  int fd = accept(listener, nullptr, nullptr);
  if (fd >= 0) {
    id = IdentifyPeer(fd);
    close(fd);
  }
  close(ready[1]);
  int status;
  waitpid(child, &status, 0);
  close(listener);
  return id;
}

TEST(IdentityTest, LoopbackTcpClientIsKnownByItsSocketsOwner) {
  uid_t other = geteuid();
  std::string other_name = Me();
  struct passwd *pw = getpwnam("korvidtest");
  if (geteuid() == 0 && pw) {
    other = pw->pw_uid;
    other_name = "korvidtest";
  }
  struct Case {
    int listener, client;
  } cases[] = {{AF_INET, AF_INET}, {AF_INET, AF_INET6}, {AF_INET6, AF_INET6}};
  for (const Case &c : cases) {
    PeerIdentity id = Identify(c.listener, c.client, other);
    EXPECT_TRUE(id.verified) << c.listener << "/" << c.client;
    EXPECT_EQ(id.user, other_name) << c.listener << "/" << c.client;
    EXPECT_FALSE(id.address.empty());
  }
}

TEST(IdentityTest, UnixPeerIsKnownByItsCredentials) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  PeerIdentity id = IdentifyPeer(pair[0]);
  EXPECT_TRUE(id.verified);
  EXPECT_EQ(id.user, Me());
  close(pair[0]);
  close(pair[1]);
}

TEST(IdentityTest, SocketTableLinesAreMatchedOnBothEnds) {
  const char table[] =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000   106        0 1 1\n"
      "   1: 0100007F:D431 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 2 1\n"
      "   2: 0100007F:1F90 0100007F:D431 01 00000000:00000000 00:00000000 00000000   106        0 3 1\n";
  struct sockaddr_in client, server;
  memset(&client, 0, sizeof client);
  client.sin_family = AF_INET;
  client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  client.sin_port = htons(0xD431);
  server = client;
  server.sin_port = htons(0x1F90);
  std::string c = ProcNetAddress((struct sockaddr *)&client), s = ProcNetAddress((struct sockaddr *)&server);
  unsigned long uid = 0;
  ASSERT_TRUE(FindSocketOwner(table, c, s, &uid));
  EXPECT_EQ(uid, 1000u);
  ASSERT_TRUE(FindSocketOwner(table, s, c, &uid));
  EXPECT_EQ(uid, 106u);
  // Nothing listed with these two ends: unknown.
  client.sin_port = htons(0xD432);
  EXPECT_FALSE(FindSocketOwner(table, ProcNetAddress((struct sockaddr *)&client), s, &uid));
}

}  // namespace
