// Opening, selecting on and closing a connection: the UNIX or TCP socket, the
// greeting with its protocol check, and the login with the user's name.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msql/conf/config.h"
#include "msql/conf/config_internal.h"
#include "msql/format.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"

// Texts this module leaves in msqlErrMsg.
#define MSQL_ERR_UNIX_SOCKET "Can't create UNIX socket"
#define MSQL_ERR_LOCAL_CONNECT "Can't connect to local MSQL server"
#define MSQL_ERR_IP_SOCKET "Can't create IP socket"
#define MSQL_ERR_UNKNOWN_HOST "Unknown MSQL Server Host (%s)"
#define MSQL_ERR_TCP_CONNECT "Can't connect to MSQL server on %s"
#define MSQL_ERR_PROTOCOL "Protocol mismatch. Server Version = %d Client Version = %d"
#define MSQL_ERR_NO_USER "Can't find your username. Who are you?"

namespace {

char hostInfo[MSQL_HOSTINFO_SIZE];
char serverInfo[MSQL_SERVERINFO_SIZE];
int protoInfo = 0;
bool firstConnectDone = false;

const char *PasswordName() {
  struct passwd *pw = getpwuid(geteuid());
  return pw ? pw->pw_name : nullptr;
}

void EnableKeepAlive(int sock) {
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

// A socket that failed before the greeting is closed here, the reason being
// already set; it is forgotten as current too, so that a later broken pipe
// cannot close a reused number.
int FailBeforeGreeting(int sock) {
  close(sock);
  msqlDropReadAhead(sock);
  currentServerSocket = -1;
  return -1;
}

// Ends a handshake that was refused after the connect; the reason is set.
int RefuseHandshake(int sock) {
  closeServerSocket(sock);
  return -1;
}

// A stream socket that becomes the current server socket. Bytes read ahead
// for an earlier socket of the same number must not reach this one.
int NewServerSocket(int family, const char *failure) {
  int sock = socket(family, SOCK_STREAM, 0);
  if (sock < 0) {
    msqlSetError("%s", failure);
    return -1;
  }
  msqlDropReadAhead(sock);
  currentServerSocket = sock;
  EnableKeepAlive(sock);
  return sock;
}

int OpenLocal() {
  const char *path = msqlConfigGetString("general", "unix_port");
  if (path == nullptr) path = "";
  msqlFormatInto(hostInfo, sizeof hostInfo, "Localhost via UNIX socket");
  msqlTrace(MSQL_DEBUG_API, "Server name = NULL.  Using UNIX sock(%s)\n", path);
  int sock = NewServerSocket(AF_UNIX, MSQL_ERR_UNIX_SOCKET);
  if (sock < 0) return -1;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  // A path longer than the address field is cut at its size.
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  if (connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address) < 0) {
    msqlSetError(MSQL_ERR_LOCAL_CONNECT);
    return FailBeforeGreeting(sock);
  }
  return sock;
}

int OpenTcp(const char *host) {
  int port = msqlConfigGetInt("general", "tcp_port");
  msqlFormatInto(hostInfo, sizeof hostInfo, "%s via TCP/IP", host);
  msqlTrace(MSQL_DEBUG_API, "Server name = %s.  Using TCP sock (%d)\n", host, port);
  int sock = NewServerSocket(AF_INET, MSQL_ERR_IP_SOCKET);
  if (sock < 0) return -1;
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  if (inet_aton(host, &address.sin_addr) == 0) {
    struct hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) {
      msqlSetError(MSQL_ERR_UNKNOWN_HOST, host);
      return FailBeforeGreeting(sock);
    }
    memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
  }
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address) < 0) {
    msqlSetError(MSQL_ERR_TCP_CONNECT, host);
    return FailBeforeGreeting(sock);
  }
  return sock;
}

// The greeting is "<status>:<version>:<description>\n".
int Handshake(int sock) {
  if (readPacket(sock) <= 0) {
    msqlTrace(MSQL_DEBUG_API, "Initial read failed\n");
    perror("read");
    msqlLostConnection(sock);
    return -1;
  }
  if (msqlReplyFailed()) return RefuseHandshake(sock);
  char *versionField = strchr(packetBuffer, ':');
  if (versionField == nullptr) {
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return RefuseHandshake(sock);
  }
  versionField++;
  int version = msqlReadNumber(versionField, nullptr);
  if (version != PROTOCOL_VERSION) {
    msqlSetError(MSQL_ERR_PROTOCOL, version, PROTOCOL_VERSION);
    return RefuseHandshake(sock);
  }
  msqlTrace(MSQL_DEBUG_API, "mSQL protocol version - API=%d, server=%d\n", PROTOCOL_VERSION,
            version);
  protoInfo = version;
  char *description = strchr(versionField, ':');
  if (description != nullptr) {
    description++;
    msqlTrace(MSQL_DEBUG_API, "Server greeting = '%s'\n", description);
    size_t n = strlen(description);
    if (n > 0 && description[n - 1] == '\n') description[n - 1] = '\0';
    msqlFormatInto(serverInfo, sizeof serverInfo, "%s", description);
  } else {
    msqlFormatInto(serverInfo, sizeof serverInfo, "Error in server handshake!");
  }

  const char *user = msqlPasswordName();
  if (user == nullptr) user = getenv("USER");
  if (user == nullptr) {
    msqlSetError(MSQL_ERR_NO_USER);
    return RefuseHandshake(sock);
  }
  if (!msqlFormatRequest("%s\n", user)) return RefuseHandshake(sock);
  sendPacket(sock);
  if (msqlReadReply(sock) < 0) return -1;
  if (msqlReplyFailed()) return RefuseHandshake(sock);
  return sock;
}

}  // namespace

const char *(*msqlPasswordName)(void) = PasswordName;

int msqlConnect(const char *host) {
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  netInit();
  if (!firstConnectDone) {
    firstConnectDone = true;
    msqlDebugInit();
  }
  if (!msqlConfigLoaded()) msqlConfigLoad(nullptr);
  int sock = host == nullptr ? OpenLocal() : OpenTcp(host);
  if (sock < 0) return -1;
  signal(SIGPIPE, msqlPipeHandler);
  msqlTrace(MSQL_DEBUG_API, "Connection socket = %d\n", sock);
  return Handshake(sock);
}

int msqlSelectDB(int sock, const char *db) {
  msqlTrace(MSQL_DEBUG_API, "Select Database = \"%s\"\n", db);
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  currentServerSocket = sock;
  netInit();
  if (!msqlFormatRequest("%d:%s\n", REQ_INIT_DB, db)) return -1;
  return msqlSimpleRequest(sock);
}

void msqlClose(int sock) {
  netInit();
  currentServerSocket = sock;
  msqlFormatRequest("%d:\n", REQ_QUIT);
  sendPacket(sock);
  closeServerSocket(sock);
}

const char *msqlGetHostInfo(void) { return hostInfo; }
const char *msqlGetServerInfo(void) { return serverInfo; }
int msqlGetProtoInfo(void) { return protoInfo; }

void msqlResetConnectionForTests() {
  memset(hostInfo, 0, sizeof hostInfo);
  memset(serverInfo, 0, sizeof serverInfo);
  protoInfo = 0;
  firstConnectDone = false;
  msqlPasswordName = PasswordName;
}
