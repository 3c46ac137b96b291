// The packet layer: the one packet buffer of the process, request framing,
// reply reading with a per-connection read-ahead, closing a server socket,
// and the reply conventions (status, server message, lost connection) that
// every request shares.
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msql/conf/config_internal.h"
#include "msql/format.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"

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
  PacketReader reader;  // over PACKET_READER_MIN bytes, kept for reuse
};

ReadAhead readAhead[MSQL_READAHEAD_SLOTS];

// The wait hook of msqlSetWaitHook, null when reads wait as long as it takes.
msqlWaitHook waitHook = nullptr;
void *waitHookData = nullptr;

// The slot found last: a row stream asks for the same one packet by packet.
ReadAhead *lastSlot = nullptr;

PacketReader *ReaderFor(int sock) {
  if (lastSlot != nullptr && lastSlot->used && lastSlot->fd == sock) return &lastSlot->reader;
  ReadAhead *free = nullptr;
  for (ReadAhead &slot : readAhead) {
    if (slot.used && slot.fd == sock) {
      lastSlot = &slot;
      return &slot.reader;
    }
    if (!slot.used && free == nullptr) free = &slot;
  }
  if (free == nullptr) return nullptr;
  if (free->reader.data == nullptr) {
    void *data = msqlMallocOptional(PACKET_READER_MIN);
    if (data == nullptr) return nullptr;
    msqlReaderInit(&free->reader, static_cast<unsigned char *>(data), PACKET_READER_MIN);
  }
  free->fd = sock;
  free->reader.start = free->reader.end = 0;
  free->used = 1;
  lastSlot = free;
  return &free->reader;
}

// Feeds the reader from the socket until it holds a whole packet and points
// *payload at it, where it lies in the reader's buffer. With `exact`
// nothing past that packet is read, for a reader that does not outlive the
// call.
int NextPacket(int sock, PacketReader *r, bool exact, const char **payload) {
  for (;;) {
    int length = 0;
    switch (msqlReaderNext(r, payload, &length)) {
      case PACKET_COMPLETE:
        return length;
      case PACKET_TOO_LARGE:
        fprintf(stderr, "Packet too large (%d)\n", length);
        return -1;
      case PACKET_NEGATIVE:
        fprintf(stderr, "Malformed packet\n");
        return -1;
      case PACKET_INCOMPLETE:
        break;
    }
    bool forLength = msqlReaderAwaitsHeader(r);
    size_t room = 0;
    unsigned char *space = msqlReaderSpace(r, &room);
    size_t missing = msqlReaderMissing(r);
    // Waiting inside read(), a reader of a UNIX socket is woken as well each
    // time the server takes in what was sent to it, only to find nothing
    // and sleep again; waiting in poll() for input alone, it is woken once,
    // by the reply. A failed poll leaves it to the read to say what is wrong;
    // a negative descriptor, which poll would wait on for ever, is left to
    // the read alone.
    if (sock >= 0) {
      struct pollfd input = {sock, POLLIN, 0};
      if (waitHook == nullptr) {
        poll(&input, 1, -1);
      } else {
        // Watched: control goes back to the program now and then while the
        // server is silent, which may then give the wait up.
        long since = msqlNanosNow() / 1000000L;
        while (poll(&input, 1, MSQL_WATCH_MILLIS) == 0) {
          long silent = msqlNanosNow() / 1000000L - since;
          if (!waitHook(waitHookData, silent > INT_MAX ? INT_MAX : static_cast<int>(silent)))
            return MSQL_READ_GIVEN_UP;
        }
      }
    }
    ssize_t got = read(sock, space, exact && missing < room ? missing : room);
    if (got < 0 && errno != EINTR && forLength) {
      fprintf(stderr, "Socket read on %d for length failed : %s\n", sock, strerror(errno));
    }
    if (got <= 0) return -1;
    msqlReaderFed(r, static_cast<size_t>(got));
  }
}

// Without a read-ahead the packet is assembled in place, header included,
// reading no byte beyond it; its payload is then packetBuffer.
int ExactPacket(int sock, const char **payload) {
  PacketReader exact;
  msqlReaderInit(&exact, reinterpret_cast<unsigned char *>(packetArea), PACKET_HEADER + MAX_PACKET);
  return NextPacket(sock, &exact, true, payload);
}

}  // namespace

char *packetBuffer = packetArea + PACKET_HEADER;

long msqlNanosNow(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000L + now.tv_nsec;
}

void msqlSetWaitHook(msqlWaitHook hook, void *data) {
  waitHook = hook;
  waitHookData = data;
}

void netInit(void) {
  packetBuffer = packetArea + PACKET_HEADER;
  netReady = true;
}

bool msqlFormatRequest(const char *format, ...) {
  if (!netReady) netInit();
  va_list args;
  va_start(args, format);
  int n = vsnprintf(packetBuffer, MAX_PACKET, format, args);
  va_end(args);
  if (n >= 0 && n < MAX_PACKET) return true;
  packetBuffer[0] = '\0';
  msqlSetError(MSQL_ERR_TOO_LONG);
  return false;
}

void msqlSetError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  msqlFormatIntoV(msqlErrMsg, MSQL_ERRMSG_SIZE, format, args);
  va_end(args);
}

// Wire layout of a packet: bytes 0..3 hold the payload length L, least
// significant byte first; bytes 4..L+3 the payload text, without a zero.
int sendPacket(int sock) {
  PacketWriter w;
  msqlWriterInit(&w, reinterpret_cast<unsigned char *>(packetArea), sizeof packetArea);
  msqlWriterBegin(&w);
  msqlWriterWrote(&w, strlen(packetBuffer));  // formatted in place, within the limit
  msqlWriterEnd(&w);
  const unsigned char *start = w.data;
  size_t left = w.used;
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
  const char *payload = nullptr;
  int length = msqlPeekPacket(sock, &payload);
  if (length < 0) return -1;
  if (payload != packetBuffer) memcpy(packetBuffer, payload, static_cast<size_t>(length));
  packetBuffer[length] = '\0';
  return length;
}

PacketReader *msqlReadAheadOf(int sock) {
  if (lastSlot != nullptr && lastSlot->used && lastSlot->fd == sock) return &lastSlot->reader;
  for (ReadAhead &slot : readAhead) {
    if (slot.used && slot.fd == sock) {
      lastSlot = &slot;
      return &slot.reader;
    }
  }
  return nullptr;
}

int msqlPeekPacket(int sock, const char **payload) {
  if (!netReady) netInit();
  PacketReader *ahead = ReaderFor(sock);
  if (ahead != nullptr) return NextPacket(sock, ahead, false, payload);
  return ExactPacket(sock, payload);
}

void closeServerSocket(int sock) {
  msqlTrace(MSQL_DEBUG_API, "Server socket (%d) closed\n", sock);
  msqlShutSocket(sock);
}

void msqlShutSocket(int sock) {
  // Runs inside the broken-pipe handler too: system calls and plain stores.
  shutdown(sock, SHUT_RDWR);
  close(sock);
  msqlDropReadAhead(sock);
  currentServerSocket = -1;
}

void msqlDropReadAhead(int sock) {
  // Runs inside the broken-pipe handler too: only plain stores here.
  for (ReadAhead &slot : readAhead) {
    if (slot.used && slot.fd == sock) {
      slot.used = 0;
      slot.reader.start = slot.reader.end = 0;
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
    free(slot.reader.data);
    msqlReaderInit(&slot.reader, nullptr, 0);
  }
  msqlDebugLevels = 0;
  msqlSetWaitHook(nullptr, nullptr);
  currentServerSocket = -1;
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  msqlConfigReset();
  msqlAllocFailForTests(0, false);
}
