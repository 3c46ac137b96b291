// The packet layer: the one packet buffer of the process, request framing,
// reply reading with a per-connection read-ahead, and the reply conventions
// (status, server message, lost connection) that every request shares.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msql/conf/config_internal.h"
#include "msql/msql_internal.h"

char msqlErrMsg[MSQL_ERRMSG_SIZE];

// A request sent on a terminal instead of a server socket.
#define MSQL_ERR_NOT_SOCKET "Socket not connected to mSQL"

namespace {

// The 4-byte length header of a request lies right in front of its payload so
// that both go out through one write loop; a received payload gets a zero
// after it, hence the extra byte.
char packetArea[PACKET_HEADER + MAX_PACKET + 1];
bool netReady = false;

// Bytes read from a connection beyond the packet that was asked for. They are
// handed out packet by packet exactly as the socket would have, and dropped
// when the connection closes, so no caller can tell the difference except by
// the number of read calls.
struct ReadAhead {
  volatile int used;  // cleared from the broken-pipe handler, hence volatile
  int fd;
  size_t start;
  size_t end;
  unsigned char *data;  // MSQL_READAHEAD_SIZE bytes, kept for reuse
};

ReadAhead readAhead[MSQL_READAHEAD_SLOTS];

ReadAhead *SlotFor(int sock) {
  ReadAhead *free = nullptr;
  for (ReadAhead &slot : readAhead) {
    if (slot.used && slot.fd == sock) return &slot;
    if (!slot.used && free == nullptr) free = &slot;
  }
  if (free == nullptr) return nullptr;
  if (free->data == nullptr) {
    free->data = static_cast<unsigned char *>(msqlMallocOptional(MSQL_READAHEAD_SIZE));
    if (free->data == nullptr) return nullptr;
  }
  free->fd = sock;
  free->start = free->end = 0;
  free->used = 1;
  return free;
}

// Reads into buf; reports a real error while the length is awaited.
ssize_t ReadSome(int sock, void *buf, size_t size, bool forLength) {
  ssize_t got = read(sock, buf, size);
  if (got < 0 && errno != EINTR && forLength) {
    fprintf(stderr, "Socket read on %d for length failed : %s\n", sock, strerror(errno));
  }
  return got;
}

// Checks a complete header; -1 after the message for a refused length.
int CheckLength(const unsigned char *header) {
  int length = 0;
  size_t consumed = 0;
  switch (msqlScanPacket(header, PACKET_HEADER, &length, &consumed)) {
    case PACKET_TOO_LARGE:
      fprintf(stderr, "Packet too large (%d)\n", length);
      return -1;
    case PACKET_NEGATIVE:
      fprintf(stderr, "Malformed packet\n");
      return -1;
    default:
      return length;
  }
}

// Reads exactly what the packet needs, for connections without read-ahead.
int ReadExact(int sock) {
  unsigned char header[PACKET_HEADER];
  size_t have = 0;
  while (have < PACKET_HEADER) {
    ssize_t got = ReadSome(sock, header + have, PACKET_HEADER - have, true);
    if (got <= 0) return -1;
    have += static_cast<size_t>(got);
  }
  int length = CheckLength(header);
  if (length < 0) return -1;
  have = 0;
  while (have < static_cast<size_t>(length)) {
    ssize_t got = ReadSome(sock, packetBuffer + have, length - have, false);
    if (got <= 0) return -1;
    have += static_cast<size_t>(got);
  }
  packetBuffer[length] = '\0';
  return length;
}

int ReadBuffered(int sock, ReadAhead *ra) {
  if (ra->end - ra->start < PACKET_HEADER && ra->start > 0) {
    memmove(ra->data, ra->data + ra->start, ra->end - ra->start);
    ra->end -= ra->start;
    ra->start = 0;
  }
  while (ra->end - ra->start < PACKET_HEADER) {
    ssize_t got = ReadSome(sock, ra->data + ra->end, MSQL_READAHEAD_SIZE - ra->end, true);
    if (got <= 0) return -1;
    ra->end += static_cast<size_t>(got);
  }
  int length = CheckLength(ra->data + ra->start);
  if (length < 0) return -1;
  ra->start += PACKET_HEADER;
  size_t have = 0;
  size_t want = static_cast<size_t>(length);
  while (have < want) {
    size_t buffered = ra->end - ra->start;
    if (buffered > 0) {
      size_t take = buffered < want - have ? buffered : want - have;
      memcpy(packetBuffer + have, ra->data + ra->start, take);
      ra->start += take;
      have += take;
      continue;
    }
    ra->start = ra->end = 0;
    ssize_t got;
    if (want - have >= MSQL_READAHEAD_SIZE) {
      // A large rest goes straight into the packet buffer, never past it.
      got = ReadSome(sock, packetBuffer + have, want - have, false);
      if (got > 0) have += static_cast<size_t>(got);
    } else {
      got = ReadSome(sock, ra->data, MSQL_READAHEAD_SIZE, false);
      if (got > 0) ra->end = static_cast<size_t>(got);
    }
    if (got <= 0) return -1;
  }
  if (ra->start == ra->end) ra->start = ra->end = 0;
  packetBuffer[length] = '\0';
  return length;
}

}  // namespace

char *packetBuffer = packetArea + PACKET_HEADER;

void netInit(void) {
  packetBuffer = packetArea + PACKET_HEADER;
  netReady = true;
}

void msqlFormatRequest(const char *format, ...) {
  if (!netReady) netInit();
  va_list args;
  va_start(args, format);
  vsnprintf(packetBuffer, MSQL_REQUEST_SIZE, format, args);
  va_end(args);
}

void msqlSetError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(msqlErrMsg, MSQL_ERRMSG_SIZE, format, args);
  va_end(args);
}

// Wire layout of a packet: bytes 0..3 hold the payload length L, least
// significant byte first; bytes 4..L+3 the payload text, without a zero.
int sendPacket(int sock) {
  size_t length = strlen(packetBuffer);
  unsigned char *start = reinterpret_cast<unsigned char *>(packetBuffer) - PACKET_HEADER;
  msqlEncodeLength(start, static_cast<int>(length));
  size_t left = length + PACKET_HEADER;
  while (left > 0) {
    ssize_t wrote = write(sock, start, left);
    if (wrote < 0) return -1;
    start += wrote;
    left -= static_cast<size_t>(wrote);
  }
  return 0;
}

int readPacket(int sock) {
  if (!netReady) netInit();
  ReadAhead *ra = SlotFor(sock);
  return ra ? ReadBuffered(sock, ra) : ReadExact(sock);
}

void msqlDropReadAhead(int sock) {
  // Runs inside the broken-pipe handler too: only plain stores here.
  for (ReadAhead &slot : readAhead) {
    if (slot.used && slot.fd == sock) {
      slot.used = 0;
      slot.start = slot.end = 0;
    }
  }
}

int msqlReadNumber(const char *text, const char **end) {
  // Most numbers on the wire are short plain digit runs: read those without
  // the general path's classification calls.
  if (static_cast<unsigned>(text[0] - '0') < 10) {
    int value = text[0] - '0';
    int i = 1;
    while (i < 9 && static_cast<unsigned>(text[i] - '0') < 10) value = value * 10 + (text[i++] - '0');
    if (static_cast<unsigned>(text[i] - '0') >= 10) {
      if (end) *end = text + i;
      return value;
    }
  }
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    p++;
  }
  long long value = 0;
  const char *digits = p;
  while (isdigit(static_cast<unsigned char>(*p))) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
    p++;
  }
  if (p == digits) {
    if (end) *end = text;
    return 0;
  }
  if (end) *end = p;
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void msqlTakeServerMessage(const char *reply) {
  const char *colon = strchr(reply, ':');
  if (colon == nullptr) {
    msqlSetError(MSQL_ERR_UNKNOWN);
    return;
  }
  msqlSetError("%s", colon + 1);
  size_t n = strlen(msqlErrMsg);
  if (n > 0 && msqlErrMsg[n - 1] == '\n') msqlErrMsg[n - 1] = '\0';
}

void msqlLostConnection(int sock) {
  closeServerSocket(sock);
  msqlSetError(MSQL_ERR_GONE);
}

int msqlReadReply(int sock) {
  int length = readPacket(sock);
  if (length > 0) return length;
  msqlLostConnection(sock);
  return -1;
}

bool msqlReplyFailed(void) {
  if (msqlReadNumber(packetBuffer, nullptr) != MSQL_STATUS_ERROR) return false;
  msqlTakeServerMessage(packetBuffer);
  return true;
}

int msqlSimpleRequest(int sock) {
  sendPacket(sock);
  if (msqlReadReply(sock) < 0 || msqlReplyFailed()) return -1;
  return 0;
}

bool msqlTerminalGuard(int sock) {
  if (!isatty(sock)) return false;
  msqlSetError(MSQL_ERR_NOT_SOCKET);
  return true;
}

void msqlResetForTests(void) {
  msqlResetConnectionForTests();
  msqlResetQueryForTests();
  for (ReadAhead &slot : readAhead) {
    slot.used = 0;
    slot.start = slot.end = 0;
    free(slot.data);
    slot.data = nullptr;
  }
  msqlDebugLevels = 0;
  currentServerSocket = -1;
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  msqlConfigReset();
  msqlAllocFailForTests(0, false);
}
