// How fast the client library takes in a large result, against the floor of
// draining the same bytes raw from the same kind of socket, and against
// libpq taking in the same rows from PostgreSQL. A forked replay peer serves
// 1,000,000 rows of 4 columns over a UNIX socket; bench/result_set.sh starts
// a private PostgreSQL with the same rows and passes --pg. libpq is loaded
// at run time, so building needs no libpq; without --pg its side is skipped.
//
//   result_set [rows] [--pg CONNINFO]
#include <dlfcn.h>
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

// The replay peer, until it is killed: on msql.sock a handshake and the
// reply to one query; on raw.sock the same reply bytes straight away, then
// end of stream.
void Peer(int rows, int msqlListen, int rawListen) {
  std::string reply = BuildReply(rows);
  struct pollfd p[2] = {{msqlListen, POLLIN, 0}, {rawListen, POLLIN, 0}};
  for (;;) {
    if (poll(p, 2, -1) <= 0) continue;
    bool raw = (p[1].revents & POLLIN) != 0;
    int c = accept(raw ? rawListen : msqlListen, nullptr, nullptr);
    if (c < 0) continue;
    // As korvid-server sends: through a 1 MB send buffer.
    int size = 1 << 20;
    setsockopt(c, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
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
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double CpuSeconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The process's peak resident memory so far, in kB.
long PeakKb() {
  long kb = 0;
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
  }
  fclose(f);
  return kb;
}

// The few libpq entry points used, looked up by name.
struct Pq {
  void *(*connectdb)(const char *);
  int (*status)(const void *);
  char *(*error_message)(const void *);
  void *(*exec)(void *, const char *);
  int (*result_status)(const void *);
  int (*ntuples)(const void *);
  char *(*getvalue)(const void *, int, int);
  int (*getisnull)(const void *, int, int);
  void (*clear)(void *);
  void (*finish)(void *);
};

const int PGRES_TUPLES_OK = 2;
const int CONNECTION_OK = 0;

bool LoadPq(Pq *pq) {
  void *lib = dlopen("libpq.so.5", RTLD_NOW);
  if (!lib) return false;
  *(void **)&pq->connectdb = dlsym(lib, "PQconnectdb");
  *(void **)&pq->status = dlsym(lib, "PQstatus");
  *(void **)&pq->error_message = dlsym(lib, "PQerrorMessage");
  *(void **)&pq->exec = dlsym(lib, "PQexec");
  *(void **)&pq->result_status = dlsym(lib, "PQresultStatus");
  *(void **)&pq->ntuples = dlsym(lib, "PQntuples");
  *(void **)&pq->getvalue = dlsym(lib, "PQgetvalue");
  *(void **)&pq->getisnull = dlsym(lib, "PQgetisnull");
  *(void **)&pq->clear = dlsym(lib, "PQclear");
  *(void **)&pq->finish = dlsym(lib, "PQfinish");
  return pq->connectdb && pq->status && pq->error_message && pq->exec && pq->result_status &&
         pq->ntuples && pq->getvalue && pq->getisnull && pq->clear && pq->finish;
}

int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return -1;
  return fd;
}

// One fetch of every row into the client library's result, each value
// looked at; the result is freed when `keep` is false. The number of rows,
// or -1.
long checksum = 0;

int MsqlFetch(int rows, bool keep) {
  int sock = msqlConnect(nullptr);
  if (sock < 0) {
    fprintf(stderr, "result_set: connect: %s\n", msqlErrMsg);
    return -1;
  }
  int got = msqlQuery(sock, "select * from bench");
  ResultHandle *res = msqlStoreResult();
  char **row;
  while (res && (row = msqlFetchRow(res)) != nullptr) {
    for (int i = 0; i < 4; i++) checksum += row[i] ? row[i][0] : 1;
  }
  msqlClose(sock);
  if (got != rows || res == nullptr || msqlNumRows(res) != rows) {
    fprintf(stderr, "result_set: query returned %d rows: %s\n", got, msqlErrMsg);
    return -1;
  }
  if (!keep) msqlFreeResult(res);
  return got;
}

void *PqConnect(const Pq &pq, const char *conninfo) {
  void *conn = pq.connectdb(conninfo);
  if (pq.status(conn) == CONNECTION_OK) return conn;
  fprintf(stderr, "result_set: PostgreSQL: %s", pq.error_message(conn));
  pq.finish(conn);
  return nullptr;
}

// The same through libpq.
int PqFetch(const Pq &pq, void *conn, int rows, bool keep) {
  void *res = pq.exec(conn, "SELECT * FROM bench");
  int got = pq.result_status(res) == PGRES_TUPLES_OK ? pq.ntuples(res) : -1;
  for (int r = 0; r < got; r++) {
    for (int i = 0; i < 4; i++) {
      checksum += pq.getisnull(res, r, i) ? 1 : pq.getvalue(res, r, i)[0];
    }
  }
  if (!keep) pq.clear(res);
  if (got != rows) {
    fprintf(stderr, "result_set: PostgreSQL returned %d rows\n", got);
    return -1;
  }
  return got;
}

// Bytes of resident memory per row that a result holds, measured in a child
// process of its own so that neither side inherits the other's heap: its
// peak before the fetch against its peak with the result held.
double MemoryPerRow(int rows, const Pq *pq, const char *conninfo) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    long before = PeakKb();
    void *conn = pq ? PqConnect(*pq, conninfo) : nullptr;
    int got = -1;
    if (pq == nullptr) {
      got = MsqlFetch(rows, true);
    } else if (conn != nullptr) {
      got = PqFetch(*pq, conn, rows, true);
    }
    double perRow = got == rows ? (PeakKb() - before) * 1024.0 / rows : -1;
    ssize_t ignored = write(fds[1], &perRow, sizeof perRow);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  double perRow = -1;
  if (read(fds[0], &perRow, sizeof perRow) != sizeof perRow) perRow = -1;
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return perRow;
}

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char **argv) {
  int rows = 1000000;
  const char *conninfo = nullptr;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--pg") == 0 && i + 1 < argc) {
      conninfo = argv[++i];
    } else {
      rows = atoi(argv[i]);
    }
  }
  if (rows < 1) {
    fprintf(stderr, "usage: %s [rows] [--pg CONNINFO]\n", argv[0]);
    return 2;
  }
  Pq pq;
  bool withPq = conninfo != nullptr;
  if (withPq && !LoadPq(&pq)) {
    fprintf(stderr, "result_set: cannot load libpq.so.5; libpq skipped\n");
    withPq = false;
  }
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

  // Memory first, while this process has not yet held a large result.
  double msqlMemory = MemoryPerRow(rows, nullptr, nullptr);
  double pqMemory = withPq ? MemoryPerRow(rows, &pq, conninfo) : -1;

  void *conn = withPq ? PqConnect(pq, conninfo) : nullptr;
  if (withPq && conn == nullptr) return 1;
  // The three take turns in each run, so that load elsewhere on the machine
  // falls on all of them alike; each keeps its best run.
  double bestRaw = 1e9, bestClient = 1e9, bestFree = 1e9, bestPq = 1e9;
  double bestClientCpu = 1e9, bestPqCpu = 1e9;
  size_t rawBytes = 0;
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
      fprintf(stderr, "result_set: connect: %s\n", msqlErrMsg);
      return 1;
    }
    double cpu = CpuSeconds();
    start = std::chrono::steady_clock::now();
    int got = msqlQuery(sock, "select * from bench");
    ResultHandle *res = msqlStoreResult();
    char **row;
    while (res && (row = msqlFetchRow(res)) != nullptr) {
      for (int i = 0; i < 4; i++) checksum += row[i] ? row[i][0] : 1;
    }
    bestClient = std::min(bestClient, Seconds(start));
    if (got != rows || res == nullptr || msqlNumRows(res) != rows) {
      fprintf(stderr, "result_set: query returned %d rows: %s\n", got, msqlErrMsg);
      return 1;
    }
    start = std::chrono::steady_clock::now();
    msqlFreeResult(res);
    bestFree = std::min(bestFree, Seconds(start));
    bestClientCpu = std::min(bestClientCpu, CpuSeconds() - cpu);
    msqlClose(sock);

    if (withPq) {
      cpu = CpuSeconds();
      start = std::chrono::steady_clock::now();
      if (PqFetch(pq, conn, rows, false) != rows) return 1;
      bestPq = std::min(bestPq, Seconds(start));
      bestPqCpu = std::min(bestPqCpu, CpuSeconds() - cpu);
    }
  }
  if (conn != nullptr) pq.finish(conn);
  kill(peer, SIGTERM);
  waitpid(peer, nullptr, 0);
  unlink(msqlPath.c_str());
  unlink(rawPath.c_str());
  unlink(confPath.c_str());
  rmdir(dir);

  printf("rows: %d x 4 columns, %.1f MB on the wire (checksum %ld), best of %d runs\n", rows,
         rawBytes / 1e6, checksum, kRuns);
  printf("raw drain:                        %8.3f s  %12.0f rows/s\n", bestRaw, rows / bestRaw);
  printf("msqlQuery+msqlStoreResult+walk:   %8.3f s  %12.0f rows/s  (CPU %.3f s)\n", bestClient,
         rows / bestClient, bestClientCpu);
  printf("msqlFreeResult:                   %8.3f s\n", bestFree);
  if (withPq) {
    printf("libpq PQexec+walk (PostgreSQL):   %8.3f s  %12.0f rows/s  (CPU %.3f s)\n", bestPq,
           rows / bestPq, bestPqCpu);
  }
  printf("memory per stored row: client %.0f bytes", msqlMemory);
  if (withPq) printf(", libpq %.0f bytes", pqMemory);
  printf("\n");
  double ratio = bestClient / bestRaw;
  printf("client / raw drain:       %6.2fx  (target <= 3.00x: %s)\n", ratio, Verdict(ratio <= 3.0));
  if (withPq) {
    double memory = msqlMemory / pqMemory;
    double cpu = bestClientCpu / bestPqCpu;
    printf("memory per row / libpq's: %6.2fx  (target <= 1.00x: %s)\n", memory,
           Verdict(memory <= 1.0));
    printf("client CPU / libpq's:     %6.2fx  (target <= 0.50x: %s)\n", cpu, Verdict(cpu <= 0.5));
  } else {
    printf("libpq skipped: no PostgreSQL given (bench/result_set.sh starts one)\n");
  }
  return 0;
}
