// Endurance runs against a private korvid-server, printing their figures:
//
//   endurance soak CLIENTS OPERATIONS   clients in processes of their own, each
//     doing OPERATIONS mixed requests (70% selects, 20% inserts, 10% updates;
//     every insert carries its client, sequence number and a checksum under a
//     unique index). Afterwards the rows are exactly the acknowledged inserts
//     with their checksums, the server's resident memory grew by less than
//     2 MB after a warm-up round, and its descriptors are back to before.
//   endurance soak CLIENTS OPERATIONS postgresql   the same with korvid-server
//     over a private PostgreSQL (tests/support/pg_fixture.h).
//   endurance crash CYCLES   a client inserts while the server is killed
//     (SIGKILL) at a random moment, then restarted: each time the database
//     passes PRAGMA integrity_check and every acknowledged insert is there.
//
// Exit status 0 when every check held. The library keeps process-wide state,
// so each client is a process.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "msql/msql.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"
#include "tests/support/server_fixture.h"

namespace {

bool over_postgres = false;  // the soak's server serves a private PostgreSQL

long Checksum(int client, int seq) { return (client * 1000003L + seq * 7919L) % 1000000007L; }

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  }
  return -1;
}

int OpenFds(pid_t pid) {
  int n = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (int i = 0; i < 65536; i++) {
    if (access((dir + "/" + std::to_string(i)).c_str(), F_OK) == 0) n++;
  }
  return n;
}

ServerFixture *Start(const char *table) {
  char path[] = "/tmp/korvid-endurance-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return nullptr;
  close(fd);
  std::ofstream(path) << "CREATE TABLE " << table
                      << " (client INT NOT NULL, seq INT NOT NULL, sum INT, note CHAR(40))\\g\n"
                      << "CREATE UNIQUE INDEX u ON " << table << " (client, seq)\\g\n";
  ServerFixtureOptions options;
  options.tcp = false;
  options.postgresql = over_postgres;
  options.databases.push_back({"e", path});
  std::string error;
  ServerFixture *server = ServerFixtureStart(options, &error);
  unlink(path);
  if (server == nullptr) fprintf(stderr, "server: %s\n", error.c_str());
  return server;
}

int Connect() {
  int sock = msqlConnect(nullptr);
  if (sock >= 0 && msqlSelectDB(sock, "e") < 0) {
    msqlClose(sock);
    return -1;
  }
  return sock;
}

// One soak client: returns through its pipe the number of inserts the server
// acknowledged, then the number of failed requests.
void SoakClient(int client, int operations, int firstSeq, int out) {
  msqlResetForTests();
  int sock = Connect();
  int acked = 0, failed = 0;
  std::mt19937 random(static_cast<unsigned>(client * 7 + firstSeq));
  char statement[256];
  int seq = firstSeq;
  for (int i = 0; i < operations && sock >= 0; i++) {
    int pick = static_cast<int>(random() % 10);
    if (pick < 7) {
      snprintf(statement, sizeof statement, "SELECT client, seq, sum FROM soak WHERE client = %d AND seq = %d",
               client, firstSeq + static_cast<int>(random() % (seq - firstSeq + 1)));
      if (msqlQuery(sock, statement) < 0) failed++;
      msqlFreeResult(msqlStoreResult());
    } else if (pick < 9) {
      snprintf(statement, sizeof statement, "INSERT INTO soak (client, seq, sum, note) VALUES (%d, %d, %ld, 'n')",
               client, seq, Checksum(client, seq));
      if (msqlQuery(sock, statement) >= 0) {
        acked++;
      } else {
        failed++;
      }
      seq++;
    } else {
      snprintf(statement, sizeof statement, "UPDATE soak SET note = 'u%d' WHERE client = %d AND seq = %d", i,
               client, firstSeq + static_cast<int>(random() % (seq - firstSeq + 1)));
      if (msqlQuery(sock, statement) < 0) failed++;
    }
  }
  if (sock < 0) failed = operations;
  else msqlClose(sock);
  int counts[2] = {acked, failed};
  if (write(out, counts, sizeof counts) != sizeof counts) _exit(2);
  _exit(0);
}

// Runs `clients` soak clients at once; adds up their acknowledgements.
bool SoakRound(int clients, int operations, int firstSeq, long *acked, long *failed) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  for (int c = 0; c < clients; c++) {
    if (fork() == 0) {
      close(fds[0]);
      SoakClient(c, operations, firstSeq, fds[1]);
    }
  }
  close(fds[1]);
  for (int c = 0; c < clients; c++) {
    int counts[2];
    if (read(fds[0], counts, sizeof counts) == sizeof counts) {
      *acked += counts[0];
      *failed += counts[1];
    }
  }
  close(fds[0]);
  bool ok = true;
  for (int c = 0; c < clients; c++) {
    int status = 0;
    wait(&status);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok;
}

int Soak(int clients, int operations) {
  ServerFixture *server = Start("soak");
  if (server == nullptr) return 1;
  // The accept loop closes finished connections (the fixture's probe, the
  // clients) when it next wakes, at least once a second.
  usleep(1100000);
  int fdsBefore = OpenFds(server->pid);
  auto settle = [&] {
    int fds = OpenFds(server->pid);
    for (int i = 0; i < 50 && fds != fdsBefore; i++) {
      usleep(100000);
      fds = OpenFds(server->pid);
    }
    return fds;
  };
  long acked = 0, failed = 0;
  // Warm-up: caches, prepared statements and the allocator settle.
  int warm = operations / 10 > 100 ? operations / 10 : 100;
  bool ok = SoakRound(clients, warm, 0, &acked, &failed);
  settle();
  long rssWarm = ResidentKb(server->pid);
  ok = SoakRound(clients, operations, 1000000, &acked, &failed) && ok;
  int fdsAfter = settle();
  long rssAfter = ResidentKb(server->pid);
  if (fdsAfter != fdsBefore) {
    std::string command = "ls -l /proc/" + std::to_string(server->pid) + "/fd >&2";
    if (system(command.c_str()) != 0) fprintf(stderr, "cannot list descriptors\n");
  }

  msqlResetForTests();
  int sock = Connect();
  long rows = 0, bad = 0;
  std::set<std::pair<long, long>> seen;
  if (sock >= 0 && msqlQuery(sock, "SELECT client, seq, sum FROM soak") >= 0) {
    ResultHandle *res = msqlStoreResult();
    for (char **row; res && (row = msqlFetchRow(res));) {
      rows++;
      int client = atoi(row[0]), seq = atoi(row[1]);
      if (!row[2] || atol(row[2]) != Checksum(client, seq) || !seen.insert({client, seq}).second) bad++;
    }
    msqlFreeResult(res);
  } else {
    ok = false;
  }
  if (sock >= 0) msqlClose(sock);
  ServerFixtureStop(server);

  long growth = rssAfter - rssWarm;
  printf("soak: %d clients x %d operations (+%d warm-up): %ld inserts acknowledged, %ld rows, %ld bad rows, "
         "%ld failed requests\n",
         clients, operations, warm, acked, rows, bad, failed);
  printf("soak: server resident %ld kB after warm-up, %ld kB after the run (%+ld kB); descriptors %d before, "
         "%d after\n",
         rssWarm, rssAfter, growth, fdsBefore, fdsAfter);
#if defined(__SANITIZE_ADDRESS__)
  // This tree's server is built with the address sanitizer too, whose
  // quarantine keeps freed memory resident: growth says nothing there.
  printf("soak: memory growth not checked under the address sanitizer\n");
  growth = 0;
#endif
  ok = ok && rows == acked && bad == 0 && failed == 0 && growth < 2048 && fdsAfter == fdsBefore;
  printf("soak: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

// Inserts until the server goes away, reporting each acknowledged sequence
// number through the pipe as soon as the server has acknowledged it.
void CrashClient(int firstSeq, int out) {
  msqlResetForTests();
  int sock = Connect();
  char statement[160];
  for (int seq = firstSeq; sock >= 0; seq++) {
    snprintf(statement, sizeof statement, "INSERT INTO crash (client, seq, sum) VALUES (1, %d, %ld)", seq,
             Checksum(1, seq));
    if (msqlQuery(sock, statement) < 0) break;
    if (write(out, &seq, sizeof seq) != sizeof seq) break;
  }
  _exit(0);
}

std::string IntegrityCheck(const std::string &path) {
  sqlite3 *db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

int Crash(int cycles) {
  ServerFixture *server = Start("crash");
  if (server == nullptr) return 1;
  std::mt19937 random(20261208);
  std::set<int> acked;
  int badCycles = 0, nextSeq = 0;
  for (int cycle = 0; cycle < cycles; cycle++) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      CrashClient(nextSeq, fds[1]);
    }
    close(fds[1]);
    usleep(5000 + static_cast<useconds_t>(random() % 40000));
    ServerFixtureKill(server, SIGKILL);
    for (int seq; read(fds[0], &seq, sizeof seq) == sizeof seq;) {
      acked.insert(seq);
      if (seq >= nextSeq) nextSeq = seq + 1;
    }
    close(fds[0]);
    waitpid(child, nullptr, 0);
    nextSeq += 1000;  // an insert in flight may have landed unacknowledged
    std::string check = IntegrityCheck(server->data_dir + "/e");
    std::string error;
    if (!ServerFixtureRestart(server, &error)) {
      printf("crash: cycle %d: restart failed: %s\n", cycle, error.c_str());
      badCycles++;
      break;
    }
    // Every insert acknowledged so far is there.
    msqlResetForTests();
    int sock = Connect();
    std::set<int> present;
    if (sock >= 0 && msqlQuery(sock, "SELECT seq, sum FROM crash") >= 0) {
      ResultHandle *res = msqlStoreResult();
      for (char **row; res && (row = msqlFetchRow(res));) {
        if (row[1] && atol(row[1]) == Checksum(1, atoi(row[0]))) present.insert(atoi(row[0]));
      }
      msqlFreeResult(res);
    }
    if (sock >= 0) msqlClose(sock);
    size_t missing = 0;
    for (int seq : acked) missing += present.count(seq) == 0;
    if (check != "ok" || missing > 0 || sock < 0) {
      printf("crash: cycle %d: integrity_check %s, %zu acknowledged inserts missing\n", cycle, check.c_str(),
             missing);
      badCycles++;
    }
  }
  ServerFixtureStop(server);
  printf("crash: %d cycles of kill -9 during inserts, %zu inserts acknowledged, %d cycles failed\n", cycles,
         acked.size(), badCycles);
  printf("crash: %s\n", badCycles == 0 ? "ok" : "FAILED");
  return badCycles == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "soak" && argc == 4) return Soak(atoi(argv[2]), atoi(argv[3]));
  if (mode == "soak" && argc == 5 && strcmp(argv[4], "postgresql") == 0) {
    over_postgres = true;
    return Soak(atoi(argv[2]), atoi(argv[3]));
  }
  if (mode == "crash" && argc == 3) return Crash(atoi(argv[2]));
  fprintf(stderr, "usage: %s soak CLIENTS OPERATIONS [postgresql] | crash CYCLES\n", argv[0]);
  return 2;
}
