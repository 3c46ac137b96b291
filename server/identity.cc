// The kernel's word on who a client is: SO_PEERCRED for the UNIX socket,
// the socket tables of /proc/net for TCP from this machine.
#include "server/identity.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

std::string ReadWhole(const char *path) {
  std::string text;
  FILE *f = fopen(path, "r");
  if (!f) return text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

// The kernel prints each 32-bit word of an address as the number it is in
// memory, so the words are read the same way here.
std::string HexWords(const unsigned char *bytes, size_t n) {
  std::string out;
  char word[9];
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint32_t v;
    memcpy(&v, bytes + i, 4);
    snprintf(word, sizeof word, "%08X", v);
    out += word;
  }
  return out;
}

}  // namespace

std::string ProcNetAddress(const struct sockaddr *addr, bool mapped) {
  char port[6];
  if (addr->sa_family == AF_INET) {
    const struct sockaddr_in *in = (const struct sockaddr_in *)addr;
    snprintf(port, sizeof port, "%04X", ntohs(in->sin_port));
    if (!mapped) return HexWords((const unsigned char *)&in->sin_addr, 4) + ":" + port;
    unsigned char v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    memcpy(v6 + 12, &in->sin_addr, 4);
    return HexWords(v6, 16) + ":" + port;
  }
  if (addr->sa_family == AF_INET6) {
    const struct sockaddr_in6 *in6 = (const struct sockaddr_in6 *)addr;
    snprintf(port, sizeof port, "%04X", ntohs(in6->sin6_port));
    return HexWords((const unsigned char *)&in6->sin6_addr, 16) + ":" + port;
  }
  return "";
}

bool FindSocketOwner(const std::string &table, const std::string &local, const std::string &remote,
                     unsigned long *uid) {
  std::stringstream in(table);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
    std::stringstream fields(line);
    std::string sl, l, r, st, queues, timer, retransmits;
    unsigned long owner;
    if (!(fields >> sl >> l >> r >> st >> queues >> timer >> retransmits >> owner)) continue;
    if (l == local && r == remote) {
      *uid = owner;
      return true;
    }
  }
  return false;
}

std::string UserNameOf(uid_t uid) {
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
  return "uid " + std::to_string(uid);
}

PeerIdentity IdentifyPeer(int fd) {
  PeerIdentity id;
  struct sockaddr_storage peer, self;
  socklen_t peer_len = sizeof peer, self_len = sizeof self;
  if (getpeername(fd, (struct sockaddr *)&peer, &peer_len) != 0 ||
      getsockname(fd, (struct sockaddr *)&self, &self_len) != 0) {
    return id;
  }
  if (peer.ss_family == AF_UNIX) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
      id.verified = true;
      id.user = UserNameOf(cred.uid);
    }
    return id;
  }
  char text[INET6_ADDRSTRLEN] = "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &((struct sockaddr_in *)&peer)->sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &((struct sockaddr_in6 *)&peer)->sin6_addr, text, sizeof text);
  }
  id.address = text;
  // The client's own socket has the peer's address as its local one and
  // ours as its remote one. Only a socket of this machine (of this network
  // namespace) can be listed so; an IPv4 client may hold an IPv6 socket,
  // which lists its addresses mapped.
  const struct sockaddr *p = (const struct sockaddr *)&peer, *s = (const struct sockaddr *)&self;
  unsigned long uid = 0;
  bool found = false;
  if (peer.ss_family == AF_INET) {
    found = FindSocketOwner(ReadWhole("/proc/net/tcp"), ProcNetAddress(p), ProcNetAddress(s), &uid) ||
            FindSocketOwner(ReadWhole("/proc/net/tcp6"), ProcNetAddress(p, true), ProcNetAddress(s, true), &uid);
  } else if (peer.ss_family == AF_INET6) {
    found = FindSocketOwner(ReadWhole("/proc/net/tcp6"), ProcNetAddress(p), ProcNetAddress(s), &uid);
  }
  if (found) {
    id.verified = true;
    id.user = UserNameOf((uid_t)uid);
  }
  return id;
}

std::vector<std::string> VerifiedHostNames(const std::string &address) {
  std::vector<std::string> names;
  struct addrinfo hints, *found = nullptr;
  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_NUMERICHOST;
  if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return names;
  char name[NI_MAXHOST];
  bool named = getnameinfo(found->ai_addr, found->ai_addrlen, name, sizeof name, nullptr, 0, NI_NAMEREQD) == 0;
  freeaddrinfo(found);
  if (!named) return names;
  // Whoever owns the address's reverse zone may write any name there; the
  // name counts only when it leads back to the address.
  memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return names;
  for (struct addrinfo *a = found; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a->ai_family == AF_INET) {
      inet_ntop(AF_INET, &((struct sockaddr_in *)a->ai_addr)->sin_addr, text, sizeof text);
    } else if (a->ai_family == AF_INET6) {
      inet_ntop(AF_INET6, &((struct sockaddr_in6 *)a->ai_addr)->sin6_addr, text, sizeof text);
    }
    if (address == text) {
      names.push_back(name);
      break;
    }
  }
  freeaddrinfo(found);
  return names;
}
