// Fuzz entries over the client library's reply reader and the configuration
// reader; see fuzz_entries.h. No gtest here: the fuzz targets link it too.
#include "tests/support/fuzz_entries.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVID_HEAP_STATS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORVID_HEAP_STATS 1
#endif
#if KORVID_HEAP_STATS
// From the sanitizer runtime (GCC's and clang's alike).
extern "C" {
size_t __sanitizer_get_allocated_size(const volatile void *p);
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                              void (*free_hook)(const volatile void *));
}
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msql/conf/config.h"
#include "msql/conf/config_internal.h"
#include "msql/msql.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"

namespace {

// More than any socket pair buffers without a reader; the rest is dropped.
constexpr size_t kMaxReply = 60000;

// The smallest row packet, "0:" behind its 4-byte header, becomes a row
// record, one value pointer and a 1-byte value: about 45 bytes for 6.
// Columns cost 9 bytes for 2, field descriptions about 80 for 16.
constexpr size_t kBytesPerReplyByte = 16;

// Bytes allocated and not yet freed by this thread since the count began.
// The runtime's process-wide figure would also move with the fuzzer's own
// threads, and reads 1 whenever its per-thread sums race; a count kept by
// the thread under test sees only the code under test.
thread_local long heldByThisThread = 0;

#if KORVID_HEAP_STATS
void CountMalloc(const volatile void *, size_t size) { heldByThisThread += static_cast<long>(size); }

void CountFree(const volatile void *pointer) {
  if (pointer != nullptr) heldByThisThread -= static_cast<long>(__sanitizer_get_allocated_size(pointer));
}
#endif

// True when the heap can be counted (sanitizer builds); counting starts
// at the first call.
bool CountingHeap() {
#if KORVID_HEAP_STATS
  static bool installed = __sanitizer_install_malloc_and_free_hooks(CountMalloc, CountFree) != 0;
  return installed;
#else
  return false;
#endif
}

// Appends what a result set holds to `out` and frees it.
void Walk(ResultHandle *res, std::string *out) {
  if (res == nullptr) {
    *out += " none";
    return;
  }
  char **row;
  while ((row = msqlFetchRow(res)) != nullptr) {
    *out += " [";
    for (int i = 0; i < res->queryData->columnCount; i++) {
      *out += i ? "|" : "";
      *out += row[i] ? row[i] : "NULL";
    }
    *out += "]";
  }
  FieldListEntry *f;
  while ((f = msqlFetchField(res)) != nullptr) {
    *out += " ";
    *out += f->table;
    *out += ".";
    *out += f->name;
    *out += ":" + std::to_string(f->type) + ":" + std::to_string(f->length) + ":" + std::to_string(f->flags);
  }
  msqlDataSeek(res, 1);
  msqlFieldSeek(res, 1);
  msqlFreeResult(res);
}

// Runs one request and describes its result and the error text.
std::string Request(int which, int sock) {
  std::string out;
  switch (which % 9) {
    case 0:
    case 1:
      out = std::to_string(msqlQuery(sock, "select * from t"));
      Walk(msqlStoreResult(), &out);
      break;
    case 2: Walk(msqlListDBs(sock), &out); break;
    case 3: Walk(msqlListTables(sock), &out); break;
    case 4: Walk(msqlListFields(sock, "t"), &out); break;
    case 5: Walk(msqlListIndex(sock, "t", "i"), &out); break;
    case 6: {
      SequenceInfo *info = msqlGetSequenceInfo(sock, "t");
      out = info ? std::to_string(info->first) + ":" + std::to_string(info->second) : "none";
      break;
    }
    case 7: {
      // The report goes to standard output; keep it out of the way.
      fflush(stdout);
      int saved = dup(1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      out = std::to_string(msqlServerReport(sock));
      fflush(stdout);
      dup2(saved, 1);
      close(saved);
      close(null);
      break;
    }
    case 8: out = std::to_string(msqlSelectDB(sock, "db")); break;
  }
  return out + " (" + msqlErrMsg + ")";
}

// A connected socket pair whose fds[0] reads `reply` (as much of it as the
// pair buffers), then end of stream.
bool Feed(const uint8_t *reply, size_t size, int fds[2]) {
  signal(SIGPIPE, SIG_IGN);
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  size_t left = size < kMaxReply ? size : kMaxReply;
  while (left > 0) {
    ssize_t n = write(fds[1], reply, left);
    if (n <= 0) break;
    reply += n;
    left -= static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  return true;
}

// Both readings of a row packet give the same row wherever the plain one
// reads it at all.
void CrossCheckRow(const char *payload, size_t length, int columns) {
  if (columns < 1) return;
  size_t n = static_cast<size_t>(columns);
  std::vector<char *> plainValues(n), anyValues(n);
  std::vector<int> plainLengths(n), anyLengths(n);
  std::vector<char> plainTexts(length + n), anyTexts(length + n);
  RowParse plain = {plainValues.data(), plainLengths.data(), plainTexts.data(), nullptr};
  if (!msqlParsePlainRow(payload, length, columns, &plain)) return;
  std::string zeroed(payload, length);
  RowParse any = {anyValues.data(), anyLengths.data(), anyTexts.data(), nullptr};
  if (!msqlParseAnyRow(zeroed.c_str(), length, columns, &any)) {
    fprintf(stderr, "a row only the plain reading reads\n");
    abort();
  }
  for (size_t i = 0; i < n; i++) {
    bool same = (plainValues[i] == nullptr) == (anyValues[i] == nullptr) && plainLengths[i] == anyLengths[i] &&
                (plainValues[i] == nullptr || memcmp(plainValues[i], anyValues[i], plainLengths[i] + 1) == 0);
    if (!same) {
      fprintf(stderr, "the two readings of a row differ in column %zu\n", i);
      abort();
    }
  }
}

}  // namespace

std::string ReplyStreamOutcome(const uint8_t *data, size_t size) {
  if (size < 1) return "";
  int fds[2];
  if (!Feed(data + 1, size - 1, fds)) return "";
  // Two requests on the same connection: whatever the first left behind
  // (pending rows, unread packets, a closed socket) meets the second.
  std::string out = Request(data[0], fds[0]);
  out += " / " + Request(data[0] / 9, fds[0]);
  if (fcntl(fds[0], F_GETFD) != -1) close(fds[0]);
  close(fds[1]);
  return out;
}

int FuzzReplyStream(const uint8_t *data, size_t size) {
  msqlResetForTests();
  ReplyStreamOutcome(data, size);
  msqlResetForTests();
  return 0;
}

// Live heap of the library while the rows of a reply are held: the rows
// and fields of the reply and a little more, never more than a fixed
// multiple of the reply's size. A copy per packet, a list walked twice
// over or a leak between requests would break the bound. The reply is
// framed by a packet reader and fed to the reply reader as the socket code
// feeds it, straight from the bytes, so it may be of any size. Sanitizer
// builds only: that is where the allocator can be asked.
int FuzzReplyMemory(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  msqlResetForTests();
  netInit();
  std::vector<unsigned char> buffer(PACKET_READER_MIN);
  bool counting = CountingHeap();
  long before = heldByThisThread;
  PacketReader framer;
  msqlReaderInit(&framer, buffer.data(), buffer.size());
  RowList rows, fieldRows;
  initRowList(&rows);
  initRowList(&fieldRows);
  bool query = data[0] % 2 == 0;
  QueryReply reply;
  RowReader fields;
  if (query) {
    msqlQueryReplyInit(&reply, &rows, &fieldRows);
  } else {
    msqlRowReaderInit(&fields, &fieldRows, 6);
  }
  const uint8_t *next = data + 1;
  size_t left = size - 1;
  ReplyAnswer answer = REPLY_MORE;
  while (answer == REPLY_MORE) {
    const char *payload = nullptr;
    int length = 0;
    PacketScan scan = msqlReaderNext(&framer, &payload, &length);
    // The socket code takes an empty packet for a lost connection.
    if (scan == PACKET_COMPLETE && length > 0) {
      size_t n = static_cast<size_t>(length);
      CrossCheckRow(payload, n, query ? reply.columns : 6);
      answer = query ? msqlQueryReplyFeed(&reply, payload, n) : msqlRowReaderFeed(&fields, payload, n);
      continue;
    }
    if (scan != PACKET_INCOMPLETE || left == 0) break;
    size_t took = msqlReaderFeed(&framer, next, left);
    if (took == 0) break;
    next += took;
    left -= took;
  }
  FieldListEntry *list = nullptr;
  if (answer == REPLY_DONE) buildFieldList(fieldRows.head, &list);
  long live = heldByThisThread - before;
  long bound = static_cast<long>(kBytesPerReplyByte * size + 4096);
  if (counting && live > bound) {
    fprintf(stderr, "%ld live bytes for a reply of %zu bytes (bound %ld)\n", live, size, bound);
    abort();
  }
  freeFieldList(list);
  freeRowList(&rows);
  freeRowList(&fieldRows);
  msqlResetForTests();
  return 0;
}

int FuzzConfigFile(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  msqlConfigReset();
  FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (file == nullptr) return 0;
  msqlConfigReadStream(file);
  fclose(file);
  static const char *pairs[][2] = {
      {"general", "msql_user"},    {"general", "admin_user"},     {"general", "pid_file"},
      {"general", "inst_dir"},     {"general", "db_dir"},         {"general", "tcp_port"},
      {"general", "unix_port"},    {"system", "msync_timer"},     {"system", "host_lookup"},
      {"system", "read_only"},     {"system", "remote_access"},   {"system", "local_access"},
      {"system", "query_log"},     {"system", "query_log_file"},  {"w3-msql", "auth_host"},
      {"w3-msql", "footer"},       {"w3-msql", "force_private"},  {"w3-msql", "force_suffix"},
  };
  volatile size_t sum = 0;
  for (auto &p : pairs) {
    const char *text = msqlConfigGetString(p[0], p[1]);
    if (text) sum = sum + strlen(text);
    sum = sum + static_cast<size_t>(msqlConfigGetInt(p[0], p[1]));
  }
  msqlConfigReset();
  return 0;
}
