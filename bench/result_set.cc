// How fast the client library takes in a large result, against the floor of
// draining the same bytes raw from the same kind of socket. A forked replay
// peer serves 1,000,000 rows of 4 columns over a UNIX socket.
//
//   result_set [rows]     prints both times, rows/s, peak memory and the ratio
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "msql/conf/config.h"
#include "msql/msql.h"
#include "msql/packet.h"

namespace {

const int kRuns = 5;

std::string Packet(const std::string &payload) {
  unsigned char h[PACKET_HEADER];
  msqlEncodeLength(h, static_cast<int>(payload.size()));
  return std::string(reinterpret_cast<char *>(h), PACKET_HEADER) + payload;
}

void Column(std::string *row, const char *text, bool null) {
  if (null) {
    *row += "-2:";
    return;
  }
  *row += std::to_string(strlen(text));
  *row += ':';
  *row += text;
}

// The whole reply to the query: status with 4 fields, the rows, the end,
// the field descriptions, the end. Every 10th row has NULLs.
std::string BuildReply(int rows) {
  std::string out = Packet("1:4\n");
  out.reserve(static_cast<size_t>(rows) * 96);
  char number[32], text20[32], text40[64], real[32];
  for (int i = 0; i < rows; i++) {
    snprintf(number, sizeof number, "%d", i);
    snprintf(text20, sizeof text20, "name-%015d", i);
    snprintf(text40, sizeof text40, "a longer description of row %012d", i);
    snprintf(real, sizeof real, "%d.%02d", i % 10000, i % 100);
    std::string row;
    Column(&row, number, false);
    Column(&row, text20, false);
    Column(&row, text40, i % 10 == 3);
    Column(&row, real, i % 10 == 7);
    out += Packet(row);
  }
  out += Packet("-100:\n");
  const char *fields[][4] = {{"id", "1", "4", "Y"}, {"name", "2", "20", "N"},
                             {"descr", "2", "40", "N"}, {"price", "3", "8", "N"}};
  for (auto &f : fields) {
    std::string row;
    for (const char *c : {"bench", f[0], f[1], f[2], f[3], "N"}) Column(&row, c, false);
    out += Packet(row);
  }
  out += Packet("-100:\n");
  return out;
}

bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadPacket(int fd) {
  unsigned char h[PACKET_HEADER];
  size_t have = 0;
  while (have < sizeof h) {
    ssize_t n = read(fd, h + have, sizeof h - have);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  std::string payload(static_cast<size_t>(msqlDecodeLength(h)), '\0');
  have = 0;
  while (have < payload.size()) {
    ssize_t n = read(fd, &payload[have], payload.size() - have);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

int Listen(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 4) < 0) {
    perror("bind");
    exit(1);
  }
  return fd;
}

// The replay peer: on msql.sock a handshake and the reply to one query; on
// raw.sock the same reply bytes straight away, then end of stream.
void Peer(int rows, int msqlListen, int rawListen) {
  std::string reply = BuildReply(rows);
  struct pollfd p[2] = {{msqlListen, POLLIN, 0}, {rawListen, POLLIN, 0}};
  for (int served = 0; served < 2 * kRuns;) {
    if (poll(p, 2, -1) <= 0) continue;
    bool raw = (p[1].revents & POLLIN) != 0;
    int c = accept(raw ? rawListen : msqlListen, nullptr, nullptr);
    if (c < 0) continue;
    served++;
    if (raw) {
      WriteAll(c, reply.data(), reply.size());
    } else {
      std::string greeting = Packet("0:23:replay peer\n");
      WriteAll(c, greeting.data(), greeting.size());
      ReadPacket(c);  // the user name
      std::string ok = Packet("0\n");
      WriteAll(c, ok.data(), ok.size());
      ReadPacket(c);  // the query
      WriteAll(c, reply.data(), reply.size());
      ReadPacket(c);  // quit
    }
    close(c);
  }
  _exit(0);
}

// The allocations the design asks for, with nothing else: one block per
// row (record and values array) and one text per non-NULL value, linked and
// walked, then freed. This is the floor under the client's figure.
struct FloorRow {
  FloorRow *next;
  char *values[4];
};

double AllocationFloor(int rows, double *freeSeconds) {
  static const size_t lengths[4] = {7, 20, 40, 7};
  auto start = std::chrono::steady_clock::now();
  FloorRow *head = nullptr;
  FloorRow **tail = &head;
  for (int i = 0; i < rows; i++) {
    FloorRow *row = static_cast<FloorRow *>(malloc(sizeof(FloorRow)));
    row->next = nullptr;
    for (int c = 0; c < 4; c++) {
      bool null = (c == 2 && i % 10 == 3) || (c == 3 && i % 10 == 7);
      row->values[c] = null ? nullptr : static_cast<char *>(malloc(lengths[c] + 1));
      if (row->values[c]) row->values[c][0] = 'x';
    }
    *tail = row;
    tail = &row->next;
  }
  long sum = 0;
  for (FloorRow *row = head; row; row = row->next) {
    for (int c = 0; c < 4; c++) sum += row->values[c] ? row->values[c][0] : 1;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  start = std::chrono::steady_clock::now();
  while (head) {
    FloorRow *next = head->next;
    for (char *v : head->values) free(v);
    free(head);
    head = next;
  }
  *freeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return sum > 0 ? seconds : seconds + 1e-9;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakKb() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return -1;
  return fd;
}

}  // namespace

int main(int argc, char **argv) {
  int rows = argc > 1 ? atoi(argv[1]) : 1000000;
  char dir[] = "/tmp/korvid-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string msqlPath = std::string(dir) + "/msql.sock";
  std::string rawPath = std::string(dir) + "/raw.sock";
  std::string confPath = std::string(dir) + "/msql.conf";
  FILE *conf = fopen(confPath.c_str(), "w");
  fprintf(conf, "[general]\nunix_port = %s\n", msqlPath.c_str());
  fclose(conf);
  int msqlListen = Listen(msqlPath);
  int rawListen = Listen(rawPath);
  pid_t peer = fork();
  if (peer == 0) Peer(rows, msqlListen, rawListen);
  close(msqlListen);
  close(rawListen);
  msqlConfigLoad(confPath.c_str());

  double bestRaw = 1e9, bestClient = 1e9, bestFree = 1e9, bestFloor = 1e9, bestFloorFree = 1e9;
  size_t rawBytes = 0;
  long peakBefore = PeakKb();
  long checksum = 0;
  for (int run = 0; run < kRuns; run++) {
    // The floor: the same bytes through large reads, nothing parsed.
    int fd = Connect(rawPath);
    static char buffer[1 << 20];
    auto start = std::chrono::steady_clock::now();
    size_t total = 0;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) total += static_cast<size_t>(n);
    bestRaw = std::min(bestRaw, Seconds(start));
    rawBytes = total;
    close(fd);

    int sock = msqlConnect(nullptr);
    if (sock < 0) {
      fprintf(stderr, "connect: %s\n", msqlErrMsg);
      return 1;
    }
    start = std::chrono::steady_clock::now();
    int got = msqlQuery(sock, "select * from bench");
    ResultHandle *res = msqlStoreResult();
    char **row;
    while (res && (row = msqlFetchRow(res)) != nullptr) {
      for (int i = 0; i < 4; i++) checksum += row[i] ? row[i][0] : 1;
    }
    bestClient = std::min(bestClient, Seconds(start));
    if (got != rows || res == nullptr || msqlNumRows(res) != rows) {
      fprintf(stderr, "query returned %d rows: %s\n", got, msqlErrMsg);
      return 1;
    }
    start = std::chrono::steady_clock::now();
    msqlFreeResult(res);
    bestFree = std::min(bestFree, Seconds(start));
    msqlClose(sock);
    // The floor right after, on a heap in the same state.
    double floorFree = 0;
    bestFloor = std::min(bestFloor, AllocationFloor(rows, &floorFree));
    bestFloorFree = std::min(bestFloorFree, floorFree);
  }
  long peakAfter = PeakKb();
  waitpid(peer, nullptr, 0);
  unlink(msqlPath.c_str());
  unlink(rawPath.c_str());
  unlink(confPath.c_str());
  rmdir(dir);

  printf("rows: %d x 4 columns, %.1f MB on the wire (checksum %ld)\n", rows, rawBytes / 1e6,
         checksum);
  printf("raw drain:                        %8.3f s  %12.0f rows/s\n", bestRaw, rows / bestRaw);
  printf("msqlQuery+msqlStoreResult+walk:   %8.3f s  %12.0f rows/s\n", bestClient,
         rows / bestClient);
  printf("msqlFreeResult:                   %8.3f s\n", bestFree);
  printf("peak memory: %ld kB before the runs, %ld kB after (%.0f bytes per row)\n", peakBefore,
         peakAfter, (peakAfter - peakBefore) * 1024.0 / rows);
  printf("allocation floor (malloc+walk):   %8.3f s  (free %.3f s)\n", bestFloor, bestFloorFree);
  printf("ratio client/raw: %.2f   client/(raw+allocation floor): %.2f\n", bestClient / bestRaw,
         bestClient / (bestRaw + bestFloor));
  return 0;
}
