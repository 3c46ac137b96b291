// The private PostgreSQL of the tests: see pg_fixture.h.
#include "tests/support/pg_fixture.h"

#include <glob.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char kUser[] = "korvidtest";

// The newest installed server's bin directory, or empty.
std::string PgBin() {
  glob_t g;
  std::string found;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; i++) {
      std::string p = g.gl_pathv[i];
      std::string bin = p.substr(0, p.size() - 7);
      if (found.empty() || bin.size() > found.size() || (bin.size() == found.size() && bin > found)) found = bin;
    }
  }
  globfree(&g);
  return found;
}

int Run(const std::string &command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

PgFixture *PgFixtureStart(const std::string &dir, std::string *error) {
  std::string bin = PgBin();
  if (bin.empty()) {
    if (error) *error = "PostgreSQL is not installed: install Debian's package postgresql (scripts/install-deps.sh)";
    return nullptr;
  }
  PgFixture *pg = new PgFixture;
  pg->dir = dir + "/pg";
  pg->bin = bin;
  pg->socket_dir = pg->dir + "/sock";
  mkdir(pg->dir.c_str(), 0755);
  mkdir(pg->socket_dir.c_str(), 0755);
  chmod(dir.c_str(), 0755);
  if (geteuid() == 0) {
    std::string user = kUser;
    if (Run("id -u " + user + " >/dev/null 2>&1") != 0 &&
        Run("useradd --system --no-create-home --shell /usr/sbin/nologin " + user + " >/dev/null 2>&1") != 0 &&
        Run("id -u " + user + " >/dev/null 2>&1") != 0) {
      if (error) *error = "cannot make the unprivileged user " + user + " that PostgreSQL runs as";
      delete pg;
      return nullptr;
    }
    Run("chown " + user + " " + pg->dir + " " + pg->socket_dir);
    pg->run_as = "runuser -u " + user + " -- ";
  }
  std::string log = pg->dir + "/setup.log";
  if (Run(pg->run_as + bin + "/initdb -D " + pg->dir + "/data -U korvid --auth=trust -E UTF8 --locale=C >" + log +
          " 2>&1") != 0) {
    if (error) *error = "initdb failed: " + ReadFile(log);
    delete pg;
    return nullptr;
  }
  // The catalog connection goes to template1, and database postgres is
  // dropped, so that the databases listed are the test's own.
  pg->conninfo = "host=" + pg->socket_dir + " user=korvid dbname=template1";
  std::string out;
  if (!PgFixtureResume(pg, error) || !PgFixtureSql(pg, "template1", "DROP DATABASE postgres", &out)) {
    if (error && error->empty()) *error = out;
    PgFixtureStop(pg);
    return nullptr;
  }
  return pg;
}

bool PgFixtureResume(PgFixture *pg, std::string *error) {
  std::string log = pg->dir + "/setup.log";
  if (Run(pg->run_as + pg->bin + "/pg_ctl -D " + pg->dir + "/data -l " + pg->dir + "/server.log -w -o \"-k " +
          pg->socket_dir + " -c listen_addresses= -c fsync=off -c max_connections=60\" start >" + log + " 2>&1") != 0) {
    if (error) *error = "PostgreSQL did not start: " + ReadFile(pg->dir + "/server.log");
    return false;
  }
  pg->running = true;
  return true;
}

bool PgFixtureHalt(PgFixture *pg) {
  if (!pg->running) return true;
  pg->running = false;
  return Run(pg->run_as + pg->bin + "/pg_ctl -D " + pg->dir + "/data -m immediate -w stop >/dev/null 2>&1") == 0;
}

bool PgFixtureSql(PgFixture *pg, const std::string &db, const std::string &sql, std::string *out) {
  std::string input = pg->dir + "/input.sql", output = pg->dir + "/output.txt";
  {
    std::ofstream f(input);
    f << sql << "\n";
  }
  int status = Run(pg->bin + "/psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + pg->socket_dir + " -U korvid -d " + db +
                   " -f " + input + " >" + output + " 2>&1");
  *out = ReadFile(output);
  while (!out->empty() && out->back() == '\n') out->pop_back();
  return status == 0;
}

void PgFixtureStop(PgFixture *pg) {
  if (!pg) return;
  PgFixtureHalt(pg);
  delete pg;
}
