// Developer diagnostics: MSQL_DEBUG levels, "[libmsql] " trace lines on
// standard error, and the broken-pipe handler.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "msql/format.h"
#include "msql/msql_internal.h"

int msqlDebugLevels = 0;
int currentServerSocket = -1;

namespace {

const char kRule[] = "\n-------------------------------------------------------\n";

// Writes text to standard error with write(2) alone: safe inside a handler.
void SignalSafeWrite(const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// "[libmsql] Server socket (N) closed\n" built without stdio.
void SignalSafeClosedTrace(int sock) {
  char digits[12];
  int n = 0;
  unsigned value = static_cast<unsigned>(sock);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 11);
  char line[64];
  size_t at = 0;
  for (const char *p = "[libmsql] Server socket ("; *p; p++) line[at++] = *p;
  while (n > 0) line[at++] = digits[--n];
  for (const char *p = ") closed\n"; *p; p++) line[at++] = *p;
  line[at] = '\0';
  SignalSafeWrite(line);
}

}  // namespace

void msqlDebugInit(void) {
  const char *env = getenv("MSQL_DEBUG");
  if (env == nullptr) return;
  std::string copy(env);
  printf("%sMSQL_DEBUG found. libmsql started with the following:-\n\n", kRule);
  size_t at = 0;
  while (at <= copy.size()) {
    size_t colon = copy.find(':', at);
    if (colon == std::string::npos) colon = copy.size();
    std::string piece = copy.substr(at, colon - at);
    if (piece == "msql_query") {
      msqlDebugLevels |= MSQL_DEBUG_QUERY;
      printf("Debug level : query\n");
    } else if (piece == "msql_api") {
      msqlDebugLevels |= MSQL_DEBUG_API;
      printf("Debug level : api\n");
    } else if (piece == "msql_malloc") {
      msqlDebugLevels |= MSQL_DEBUG_MALLOC;
      printf("Debug level : malloc\n");
    }
    at = colon + 1;
  }
  printf("%s\n", kRule);
  fflush(stdout);
}

void msqlTraceV(int level, const char *format, va_list args) {
  if ((level & msqlDebugLevels) == 0 || format == nullptr) return;
  char line[MSQL_TRACE_SIZE];
  msqlFormatIntoV(line, sizeof line, format, args);
  fprintf(stderr, "[libmsql] %s", line);
  fflush(stderr);
}

void msqlTrace(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  msqlTraceV(level, format, args);
  va_end(args);
}

// Runs while a request is blocked in a write: it closes the request's socket
// so that the write fails and the request takes the lost-connection path.
// Everything here is safe inside a signal handler.
void msqlPipeHandler(int sig) {
  (void)sig;
  int savedErrno = errno;
  bool api = (msqlDebugLevels & MSQL_DEBUG_API) != 0;
  if (api) SignalSafeWrite("[libmsql] Hit by pipe signal\n");
  int sock = currentServerSocket;
  if (sock >= 0) {
    if (api) SignalSafeClosedTrace(sock);
    msqlShutSocket(sock);
  }
  signal(SIGPIPE, msqlPipeHandler);
  errno = savedErrno;
}
