// korvid-server against PostgreSQL, side by side on the same table: point
// selects by key per second from one client, and the time to fetch a whole
// table into the client. Not a test; bench/server.sh prepares both servers
// and runs this. libpq is loaded at run time, so building needs no libpq.
//
// Usage: server_bench --pg CONNINFO [--rows N] [--seconds S] [--runs R] [--gateway]
//        server_bench --pg CONNINFO --rows N --memory TABLE
//        server_bench --rows N [--seconds S] --limits CONF
// (--runs: the whole fetches measured R times over, the medians shown;
// --gateway: the korvid-server measured serves that PostgreSQL itself;
// --memory: fetches of TABLE's N rows through that korvid-server (COPY,
// single rows, cursor), with its peak resident memory during each;
// --limits: the korvid-server of $MSQL_CONF_FILE, with its limits in force,
// against the one of CONF, serving the same file with every limit off, or
// a build from before the limits named by $KORVID_SERVER_BEFORE)
// The korvid-server is found through $MSQL_CONF_FILE (its UNIX socket) and
// must hold the table bench (id int, name char(40), value int) with N rows
// in the database "bench"; PostgreSQL the same table in its database.
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "msql/conf/config.h"
#include "msql/msql.h"

namespace {

const int kFetchRounds = 5;

// The few libpq entry points used, looked up by name.
struct Pq {
  void *(*connectdb)(const char *);
  int (*status)(const void *);
  char *(*error_message)(const void *);
  void *(*exec)(void *, const char *);
  int (*result_status)(const void *);
  int (*ntuples)(const void *);
  char *(*getvalue)(const void *, int, int);
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
  *(void **)&pq->clear = dlsym(lib, "PQclear");
  *(void **)&pq->finish = dlsym(lib, "PQfinish");
  return pq->connectdb && pq->status && pq->exec && pq->result_status && pq->ntuples && pq->getvalue &&
         pq->clear && pq->finish && pq->error_message;
}

// CPU seconds used so far by a process (all its threads), or -1.
double ProcessCpu(long pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char *p = strrchr(buf, ')');  // the command name may hold blanks
  unsigned long utime = 0, stime = 0;
  if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
    return -1;
  }
  return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
}

double SelfCpu() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The middle value (the mean of the two middle ones for an even count).
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Point selects for `seconds`; returns selects per second, -1 on failure.
double KorvidPointSelects(int sock, int rows, double seconds) {
  std::mt19937 rng(42);
  char q[128];
  long done = 0;
  double start = Now(), end = start + seconds;
  while (Now() < end) {
    for (int k = 0; k < 100; k++) {
      int id = (int)(rng() % rows) + 1;
      snprintf(q, sizeof q, "SELECT * FROM bench WHERE id = %d", id);
      if (msqlQuery(sock, q) != 1) return -1;
      ResultHandle *r = msqlStoreResult();
      char **row = msqlFetchRow(r);
      if (!row || atoi(row[0]) != id) return -1;
      msqlFreeResult(r);
      done++;
    }
  }
  return done / (Now() - start);
}

double PgPointSelects(const Pq &pq, void *conn, int rows, double seconds) {
  std::mt19937 rng(42);
  char q[128];
  long done = 0;
  double start = Now(), end = start + seconds;
  while (Now() < end) {
    for (int k = 0; k < 100; k++) {
      int id = (int)(rng() % rows) + 1;
      snprintf(q, sizeof q, "SELECT * FROM bench WHERE id = %d", id);
      void *res = pq.exec(conn, q);
      if (pq.result_status(res) != PGRES_TUPLES_OK || pq.ntuples(res) != 1 ||
          atoi(pq.getvalue(res, 0, 0)) != id) {
        pq.clear(res);
        return -1;
      }
      pq.clear(res);
      done++;
    }
  }
  return done / (Now() - start);
}

// Best of kFetchRounds full fetches, in seconds; -1 on failure. The rounds of the
// two servers are not interleaved: each full fetch fills the client's
// memory, which is released before the other server's turn.
double KorvidFetchAll(int sock, int rows) {
  double best = -1;
  for (int round = 0; round < kFetchRounds; round++) {
    double start = Now();
    if (msqlQuery(sock, "SELECT * FROM bench") != rows) return -1;
    ResultHandle *r = msqlStoreResult();
    long sum = 0;
    while (char **row = msqlFetchRow(r)) sum += row[0][0];
    msqlFreeResult(r);
    double t = Now() - start;
    if (sum == 0) return -1;
    if (best < 0 || t < best) best = t;
  }
  return best;
}

double PgFetchAll(const Pq &pq, void *conn, int rows) {
  double best = -1;
  for (int round = 0; round < kFetchRounds; round++) {
    double start = Now();
    void *res = pq.exec(conn, "SELECT * FROM bench");
    if (pq.result_status(res) != PGRES_TUPLES_OK || pq.ntuples(res) != rows) {
      pq.clear(res);
      return -1;
    }
    long sum = 0;
    for (int i = 0; i < rows; i++) sum += pq.getvalue(res, i, 0)[0];
    pq.clear(res);
    double t = Now() - start;
    if (sum == 0) return -1;
    if (best < 0 || t < best) best = t;
  }
  return best;
}

// A kernel figure of /proc/PID/status ("VmHWM", "VmRSS") in kB, or -1.
long StatusKb(long pid, const char *key) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%ld/status", pid);
  FILE *f = pid > 0 ? fopen(path, "r") : nullptr;
  if (!f) return -1;
  long kb = -1;
  size_t n = strlen(key);
  while (fgets(line, sizeof line, f)) {
    if (!strncmp(line, key, n) && line[n] == ':') kb = atol(line + n + 1);
  }
  fclose(f);
  return kb;
}

// Resets a process's peak resident memory to its present size (clear_refs
// 5); false where the kernel does not allow it.
bool ResetPeak(long pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/clear_refs", pid);
  FILE *f = pid > 0 ? fopen(path, "w") : nullptr;
  if (!f) return false;
  bool ok = fputs("5", f) >= 0;
  return fclose(f) == 0 && ok;
}

// Fetches a whole table through the gateway three ways (as a statement
// without literals, through COPY; with one, first in single rows, then
// through a cursor), each time with the gateway's peak memory reset first,
// so that each figure is that fetch's own.
int MemoryRun(int sock, const char *table, long rows, long pid) {
  printf("%-34s %10.1f MB\n", "gateway's peak memory before", StatusKb(pid, "VmHWM") / 1024.0);
  const char *how[] = {"fetch through COPY", "fetch in single rows", "fetch through a cursor"};
  for (int round = 0; round < 3; round++) {
    bool reset = ResetPeak(pid);
    double start = Now();
    std::string q = std::string("SELECT * FROM ") + table + (round ? " WHERE id > 0" : "");
    int n = msqlQuery(sock, q.c_str());
    ResultHandle *r = n >= 0 ? msqlStoreResult() : nullptr;
    long got = 0, sum = 0;
    while (char **row = r ? msqlFetchRow(r) : nullptr) {
      got++;
      sum += row[0][0];
    }
    if (r) msqlFreeResult(r);
    double t = Now() - start;
    if (n < 0 || got != rows || sum == 0) {
      fprintf(stderr, "server_bench: the fetch of %s gave %ld rows of %ld (%s)\n", table, got, rows, msqlErrMsg);
      return 1;
    }
    long peak = StatusKb(pid, "VmHWM");
    printf("%-34s %13.3fs  %ld rows\n", how[round], t, got);
    printf("%-34s %10.1f MB  (bounded, under 64 MB: %s)\n",
           reset ? "  gateway's peak during it" : "  gateway's peak so far", peak / 1024.0,
           peak >= 0 && peak < 64 * 1024 ? "met" : "MISSED");
  }
  return 0;
}

}  // namespace

// The limits' cost: point selects and whole fetches through two servers of
// one file, one with the time limits in force and one without, taking turns
// twice, each keeping its best figure.
int LimitsRun(int with, const char *without_conf, int rows, double seconds, bool before) {
  msqlConfigLoad(without_conf);
  int without = msqlConnect(nullptr);
  if (without < 0 || msqlSelectDB(without, "bench") != 0) {
    fprintf(stderr, "server_bench: korvid-server without limits: %s\n", msqlErrMsg);
    return 1;
  }
  // CPU time of each server over its fetches, which load elsewhere on the
  // machine distorts far less than the time.
  long w_pid = getenv("KORVID_SERVER_PID") ? atol(getenv("KORVID_SERVER_PID")) : 0;
  long o_pid = getenv("KORVID_OTHER_PID") ? atol(getenv("KORVID_OTHER_PID")) : 0;
  double w_sel = 0, o_sel = 0, w_all = -1, o_all = -1, w_cpu = -1, o_cpu = -1;
  for (int round = 0; round < 2; round++) {
    double a = KorvidPointSelects(with, rows, seconds / 2), b = KorvidPointSelects(without, rows, seconds / 2);
    double t0 = ProcessCpu(w_pid);
    double c = KorvidFetchAll(with, rows);
    double t1 = ProcessCpu(w_pid), u0 = ProcessCpu(o_pid);
    double d = KorvidFetchAll(without, rows);
    double u1 = ProcessCpu(o_pid);
    if (t0 >= 0 && t1 >= 0) w_cpu = w_cpu < 0 ? (t1 - t0) / kFetchRounds : std::min(w_cpu, (t1 - t0) / kFetchRounds);
    if (u0 >= 0 && u1 >= 0) o_cpu = o_cpu < 0 ? (u1 - u0) / kFetchRounds : std::min(o_cpu, (u1 - u0) / kFetchRounds);
    if (a < 0 || b < 0 || c < 0 || d < 0) {
      fprintf(stderr, "server_bench: a query failed: %s\n", msqlErrMsg);
      return 1;
    }
    w_sel = std::max(w_sel, a);
    o_sel = std::max(o_sel, b);
    w_all = w_all < 0 ? c : std::min(w_all, c);
    o_all = o_all < 0 ? d : std::min(o_all, d);
  }
  printf("%-34s %14s %14s %8s\n", "", "limits on", before ? "before limits" : "limits off", "ratio");
  printf("%-34s %14.0f %14.0f %7.3fx  (speed)\n", "point selects by key per second", w_sel, o_sel, w_sel / o_sel);
  printf("%-34s %13.3fs %13.3fs %7.3fx  (speed)\n", ("fetch all " + std::to_string(rows) + " rows").c_str(),
         w_all, o_all, o_all / w_all);
  if (w_cpu > 0 && o_cpu > 0) {
    printf("%-34s %13.3fs %13.3fs %7.3fx  (CPU)\n", "  CPU of the server per fetch", w_cpu, o_cpu, w_cpu / o_cpu);
  }
  msqlClose(without);
  return 0;
}

int main(int argc, char **argv) {
  const char *conninfo = nullptr;
  int rows = 1000000;
  double seconds = 3;
  bool gateway = false;  // korvid-server itself runs over PostgreSQL
  const char *memory_table = nullptr;
  const char *limits_conf = nullptr;
  int runs = 1;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--gateway")) {
      gateway = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (!strcmp(argv[i], "--pg")) conninfo = argv[i + 1];
    if (!strcmp(argv[i], "--rows")) rows = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[i + 1]);
    if (!strcmp(argv[i], "--memory")) memory_table = argv[i + 1];
    if (!strcmp(argv[i], "--limits")) limits_conf = argv[i + 1];
    if (!strcmp(argv[i], "--runs")) runs = std::max(1, atoi(argv[i + 1]));
    i++;
  }
  if (limits_conf && rows >= 1 && seconds > 0) {
    if (const char *conf = getenv("MSQL_CONF_FILE")) msqlConfigLoad(conf);
    int sock = msqlConnect(nullptr);
    if (sock < 0 || msqlSelectDB(sock, "bench") != 0) {
      fprintf(stderr, "server_bench: korvid-server: %s\n", msqlErrMsg);
      return 1;
    }
    int status = LimitsRun(sock, limits_conf, rows, seconds, getenv("KORVID_SERVER_BEFORE") != nullptr);
    msqlClose(sock);
    return status;
  }
  if (!conninfo || rows < 1 || seconds <= 0) {
    fprintf(stderr, "usage: %s --pg CONNINFO [--rows N] [--seconds S]\n", argv[0]);
    return 2;
  }
  Pq pq;
  if (!LoadPq(&pq)) {
    fprintf(stderr, "server_bench: cannot load libpq.so.5\n");
    return 1;
  }
  if (const char *conf = getenv("MSQL_CONF_FILE")) msqlConfigLoad(conf);
  int sock = msqlConnect(nullptr);
  if (sock < 0 || msqlSelectDB(sock, "bench") != 0) {
    fprintf(stderr, "server_bench: korvid-server: %s\n", msqlErrMsg);
    return 1;
  }
  long k_pid = getenv("KORVID_SERVER_PID") ? atol(getenv("KORVID_SERVER_PID")) : 0;
  if (memory_table) {
    int status = MemoryRun(sock, memory_table, rows, k_pid);
    msqlClose(sock);
    return status;
  }
  void *conn = pq.connectdb(conninfo);
  if (pq.status(conn) != CONNECTION_OK) {
    fprintf(stderr, "server_bench: PostgreSQL: %s", pq.error_message(conn));
    return 1;
  }

  // The two servers take turns, twice, and each keeps its best figure, so
  // that a burst of load elsewhere on the machine does not favour either.
  double k_sel = 0, p_sel = 0, k_all = -1, p_all = -1;
  for (int round = 0; round < 2; round++) {
    double k = KorvidPointSelects(sock, rows, seconds / 2);
    double p = PgPointSelects(pq, conn, rows, seconds / 2);
    if (k < 0 || p < 0) {
      k_sel = p_sel = -1;
      break;
    }
    k_sel = std::max(k_sel, k);
    p_sel = std::max(p_sel, p);
  }
  // CPU time of each side over its fetches: a figure that load
  // elsewhere on the machine does not distort.
  long p_pid = 0;
  void *res = pq.exec(conn, "SELECT pg_backend_pid()");
  if (pq.result_status(res) == PGRES_TUPLES_OK && pq.ntuples(res) == 1) p_pid = atol(pq.getvalue(res, 0, 0));
  pq.clear(res);
  // Per fetch: CPU seconds of the server process and of this client. The
  // fetches are measured `runs` times over (each run its own best of
  // kFetchRounds for either side), and each figure is the median of the
  // runs, so that one lucky or unlucky run decides nothing.
  double k_server = -1, k_client = -1, p_server = -1, p_client = -1;
  std::vector<double> k_alls, p_alls, ratios, k_servers, p_servers, k_clients, p_clients;
  for (int run = 0; run < runs && k_sel >= 0; run++) {
    double s0 = ProcessCpu(k_pid), c0 = SelfCpu();
    double k = KorvidFetchAll(sock, rows);
    double s1 = ProcessCpu(k_pid), c1 = SelfCpu();
    double t0 = ProcessCpu(p_pid);
    double p = PgFetchAll(pq, conn, rows);
    double t1 = ProcessCpu(p_pid), c2 = SelfCpu();
    if (k < 0 || p < 0) {
      k_all = -1;
      break;
    }
    k_alls.push_back(k);
    p_alls.push_back(p);
    ratios.push_back(p / k);
    if (s0 >= 0 && s1 >= 0) k_servers.push_back((s1 - s0) / kFetchRounds);
    if (t0 >= 0 && t1 >= 0) p_servers.push_back((t1 - t0) / kFetchRounds);
    k_clients.push_back((c1 - c0) / kFetchRounds);
    p_clients.push_back((c2 - c1) / kFetchRounds);
  }
  if (!k_alls.empty() && (int)k_alls.size() == runs) {
    k_all = Median(k_alls);
    p_all = Median(p_alls);
    k_client = Median(k_clients);
    p_client = Median(p_clients);
    if (!k_servers.empty()) k_server = Median(k_servers);
    if (!p_servers.empty()) p_server = Median(p_servers);
  }
  if (k_sel < 0 || p_sel < 0 || k_all < 0 || p_all < 0) {
    fprintf(stderr, "server_bench: a query failed (korvid: %s)\n", msqlErrMsg);
    return 1;
  }
  if (runs > 1) {
    printf("fetch speed ratio of each run:");
    for (double r : ratios) printf(" %.2fx", r);
    printf("  (median %.2fx)\n", Median(ratios));
  }
  // Each ratio reads "korvid-server's figure against PostgreSQL's" in the
  // sense of its target: speeds as korvid/PostgreSQL, costs likewise.
  auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  if (gateway) {
    // korvid-server over the same PostgreSQL: its overhead as time against
    // libpq's time straight to PostgreSQL, and its peak memory.
    printf("%-34s %14s %14s %8s\n", "", "over PostgreSQL", "libpq", "ratio");
    double select_time = p_sel / k_sel, fetch_time = k_all / p_all;
    printf("%-34s %14.0f %14.0f %7.2fx  (time; target <= 1.30x: %s)\n", "point selects by key per second", k_sel,
           p_sel, select_time, verdict(select_time <= 1.3));
    printf("%-34s %13.3fs %13.3fs %7.2fx  (time; target <= 1.30x: %s)\n",
           ("fetch all " + std::to_string(rows) + " rows").c_str(), k_all, p_all, fetch_time,
           verdict(fetch_time <= 1.3));
    if (k_server >= 0) printf("%-34s %13.3fs\n", "  CPU of the gateway per fetch", k_server);
    long peak = StatusKb(k_pid, "VmHWM");
    if (peak >= 0) printf("%-34s %10.1f MB\n", "  peak memory of the gateway", peak / 1024.0);
    msqlClose(sock);
    pq.finish(conn);
    return 0;
  }
  printf("%-34s %14s %14s %8s\n", "", "korvid-server", "PostgreSQL", "ratio");
  double selects = k_sel / p_sel, fetch = p_all / k_all;
  printf("%-34s %14.0f %14.0f %7.2fx  (target >= 2.50x: %s)\n", "point selects by key per second", k_sel,
         p_sel, selects, verdict(selects >= 2.5));
  // The median of the runs' own ratios, which the medians of the two
  // times need not give.
  if (!ratios.empty()) fetch = Median(ratios);
  printf("%-34s %13.3fs %13.3fs %7.2fx  (speed; target >= 1.50x: %s)\n",
         ("fetch all " + std::to_string(rows) + " rows").c_str(), k_all, p_all, fetch, verdict(fetch >= 1.5));
  if (k_server >= 0 && p_server >= 0) {
    double cpu = k_server / p_server;
    printf("%-34s %13.3fs %13.3fs %7.2fx  (target <= 0.70x: %s)\n", "  CPU of the server per fetch", k_server,
           p_server, cpu, verdict(cpu <= 0.7));
  }
  double client = k_client / p_client;
  printf("%-34s %13.3fs %13.3fs %7.2fx  (target <= 0.50x: %s)\n", "  CPU of the client per fetch", k_client,
         p_client, client, verdict(client <= 0.5));
  msqlClose(sock);
  pq.finish(conn);
  return 0;
}
