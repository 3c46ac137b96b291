// A private PostgreSQL server for tests: a cluster in a directory of its
// own, listening on a UNIX socket in that directory only (no TCP), with
// trust authentication for the user "korvid". PostgreSQL refuses to run as
// root, so a test run as root runs it as the unprivileged system user
// "korvidtest" (made when missing).
//
//   PgFixture *pg = PgFixtureStart(dir, &error);   // null on failure
//   pg->conninfo                                   // "host=... user=korvid dbname=template1"
//   PgFixtureSql(pg, "sample", "SELECT ...", &out) // through psql
//   PgFixtureStop(pg);
#ifndef KORVID_TESTS_SUPPORT_PG_FIXTURE_H
#define KORVID_TESTS_SUPPORT_PG_FIXTURE_H

#include <string>

struct PgFixture {
  std::string dir;       // holds data/, the socket and log
  std::string bin;       // PostgreSQL's programs
  std::string socket_dir;
  std::string conninfo;  // libpq connection string to database postgres
  std::string run_as;    // prefix that runs a command as the cluster's owner
  bool running = false;
};

// Makes and starts a cluster under `dir` (which must exist), with no
// database but the templates. Fails naming
// the Debian package when PostgreSQL is not installed.
PgFixture *PgFixtureStart(const std::string &dir, std::string *error);

// Stops the server at once (as a crash would) and starts it again.
bool PgFixtureHalt(PgFixture *pg);
bool PgFixtureResume(PgFixture *pg, std::string *error = nullptr);

// Runs SQL with psql in database `db`; *out gets the unaligned rows ('|'
// between fields). False with psql's message in *out on failure.
bool PgFixtureSql(PgFixture *pg, const std::string &db, const std::string &sql, std::string *out);

// Stops the server; the directory is the caller's. Accepts null.
void PgFixtureStop(PgFixture *pg);

#endif
