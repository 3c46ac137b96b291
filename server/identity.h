// Who is at the other end of a connection, as far as the kernel can say:
// over the UNIX socket the peer's credentials; over TCP from this machine
// the owner of the client's socket as /proc/net/tcp and /proc/net/tcp6
// list it. A TCP client from elsewhere is known only by its address.
#ifndef KORVID_SERVER_IDENTITY_H
#define KORVID_SERVER_IDENTITY_H

#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct PeerIdentity {
  bool verified = false;  // user is the kernel's word, not the client's
  std::string user;       // verified: the login name (or "uid N" without one)
  std::string address;    // TCP: the peer's numeric address
};

// Identifies the peer of an accepted connection (UNIX or TCP). A TCP peer
// whose socket is not in this machine's tables stays unverified.
PeerIdentity IdentifyPeer(int fd);

// A socket address in the form of /proc/net/tcp ("0100007F:1F90") or, with
// mapped, as an IPv4-mapped address in the form of /proc/net/tcp6. Empty
// for other families.
std::string ProcNetAddress(const struct sockaddr *addr, bool mapped = false);

// Finds the socket with these local and remote addresses (ProcNetAddress
// forms) in the text of a /proc/net/tcp-form table; its owner's uid in *uid.
bool FindSocketOwner(const std::string &table, const std::string &local, const std::string &remote,
                     unsigned long *uid);

// The login name of a uid, or "uid N".
std::string UserNameOf(uid_t uid);

// The host names a remote address goes by, for host= patterns: its name
// from a reverse lookup, kept only when the name leads back to the address.
std::vector<std::string> VerifiedHostNames(const std::string &address);

#endif
