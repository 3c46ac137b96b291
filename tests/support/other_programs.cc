// Databases made by other programs, through those programs themselves.
#include "tests/support/other_programs.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

const char *const kWorldCountries[3][5] = {
    {"1", "CI", "CIV", "C\xc3\xb4te d'Ivoire", "R\xc3\xa9publique de C\xc3\xb4te d'Ivoire"},
    {"2", "RU", "RUS", "Russia", "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0"},  // Москва
    {"3", "DE", "DEU", "Germany", "Federal Republic of Germany"},
};
const char *const kWorldAdded[3] = {"2024-01-05 10:00:00", "2023-12-31 23:59:59", "2022-06-01 08:30:00"};

namespace {

const char kWorldScript[] = R"PY(
import sqlite3, sys
con = sqlite3.connect(sys.argv[1])
con.executescript('''
CREATE TABLE countries (id INTEGER PRIMARY KEY, alpha_2 TEXT UNIQUE, alpha_3 TEXT UNIQUE,
  name TEXT NOT NULL, official_name TEXT, flag BLOB, added DATETIME);
CREATE TABLE "Order Details" ("Order ID" INTEGER, "Product" TEXT, "Unit Price" NUMERIC,
  "Quantity" SMALLINT, "Discount" REAL, "Shipped" BOOLEAN, PRIMARY KEY ("Order ID", "Product"));
CREATE VIEW big_orders AS SELECT "Order ID", "Product", "Quantity" FROM "Order Details"
  WHERE "Quantity" >= 10;
''')
con.executemany('INSERT INTO countries VALUES (?, ?, ?, ?, ?, ?, ?)', [
  (1, 'CI', 'CIV', "C\u00f4te d'Ivoire", "R\u00e9publique de C\u00f4te d'Ivoire", b'\x00\xff\x10',
   '2024-01-05 10:00:00'),
  (2, 'RU', 'RUS', 'Russia', '\u041c\u043e\u0441\u043a\u0432\u0430', None, '2023-12-31 23:59:59'),
  (3, 'DE', 'DEU', 'Germany', 'Federal Republic of Germany', b'DEU', '2022-06-01 08:30:00'),
])
con.executemany('INSERT INTO "Order Details" VALUES (?, ?, ?, ?, ?, ?)', [
  (10248, 'Queso Cabrales', 14, 12, 0.0, True),
  (10248, 'Tofu', 23.25, 5, 0.15, False),
])
con.commit()
con.close()
)PY";

// Runs argv with `input` on its standard input; true when it exits 0.
bool Run(const char *const argv[], const std::string &input, std::string *output) {
  char in_path[] = "/tmp/korvid-otherXXXXXX";
  int fd = mkstemp(in_path);
  if (fd < 0) return false;
  bool ok = write(fd, input.data(), input.size()) == (ssize_t)input.size();
  close(fd);
  int pipefd[2];
  if (!ok || pipe(pipefd) != 0) {
    unlink(in_path);
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    FILE *in = freopen(in_path, "r", stdin);
    (void)in;
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    close(pipefd[1]);
    execvp(argv[0], const_cast<char *const *>(argv));
    _exit(127);
  }
  close(pipefd[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) {
    if (output) output->append(buf, (size_t)n);
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  unlink(in_path);
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool WriteWorldWithPython(const std::string &path, std::string *error) {
  const char *argv[] = {"python3", "-", path.c_str(), nullptr};
  if (Run(argv, kWorldScript, nullptr)) return true;
  *error = "python3 could not write " + path;
  return false;
}

bool ImportWithShell(const std::string &path, const std::string &table, const std::string &csv,
                     std::string *error) {
  char csv_path[] = "/tmp/korvid-csvXXXXXX";
  int fd = mkstemp(csv_path);
  if (fd < 0 || write(fd, csv.data(), csv.size()) != (ssize_t)csv.size()) {
    if (fd >= 0) close(fd);
    *error = "cannot write the CSV file";
    return false;
  }
  close(fd);
  std::string commands = ".mode csv\n.import " + std::string(csv_path) + " \"" + table + "\"\n";
  const char *argv[] = {"sqlite3", "-bail", path.c_str(), nullptr};
  bool ok = Run(argv, commands, nullptr);
  unlink(csv_path);
  if (!ok) *error = "sqlite3 .import into " + path + " failed";
  return ok;
}

std::string ShellQuery(const std::string &path, const std::string &sql) {
  std::string out;
  const char *argv[] = {"sqlite3", "-bail", path.c_str(), nullptr};
  if (!Run(argv, ".mode quote\n" + sql + ";\n", &out)) return "";
  return out;
}
