// A real korvid-server for tests: a private temporary directory with its own
// msql.conf, data directory, UNIX socket and free TCP port, databases loaded
// from SQL scripts, and the server running as a child process.
//
//   ServerFixtureOptions options;
//   options.databases.push_back({"sample", SampleSqlPath()});
//   ServerFixture *server = ServerFixtureStart(options, &error);  // null on failure
//   int sock = msqlConnect(nullptr);         // the client now finds this server
//   ...
//   ServerFixtureStop(server);               // stops it, removes the directory
//
// Starting sets MSQL_CONF_FILE to the fixture's msql.conf (for child
// processes) and loads that file into the client library of this process
// (msqlConfigLoad), so msqlConnect(nullptr) uses the fixture's socket and
// msqlConnect("127.0.0.1") its TCP port. Only one fixture should be the
// client's target at a time; starting another one retargets the client.
#ifndef KORVID_TESTS_SUPPORT_SERVER_FIXTURE_H
#define KORVID_TESTS_SUPPORT_SERVER_FIXTURE_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ServerFixtureOptions {
  // Databases to create before the server starts: name and script file (mSQL
  // statements ended by ';' or "\g"; '#' comment lines).
  std::vector<std::pair<std::string, std::string>> databases;
  // Databases to create from script texts (name and text), written into
  // the fixture's directory first and loaded as the ones above.
  std::vector<std::pair<std::string, std::string>> database_scripts;
  std::string admin_user;    // empty: the user who runs the test
  bool tcp = true;           // also listen on a free loopback TCP port
  bool read_only = false;    // read_only = 1 in msql.conf
  bool query_log = false;    // query_log = 1, into query_log_file
  std::string extra_system;  // further lines for the [system] section
  std::string extra_general;  // further lines for the [general] section
  // The access file (dir/msql.acl) to write before the server starts;
  // empty: none, so the defaults hold.
  std::string access_file;
  // The user the server runs as when started by root (msql_user); empty:
  // the user who runs the test.
  std::string msql_user;
  // Serve a private PostgreSQL (pg_fixture.h) instead of SQLite files: the
  // databases are made in it and their scripts run through the server.
  bool postgresql = false;
  std::string pg_conninfo_extra;  // appended to the connection string served
  // The private PostgreSQL's own role is a superuser (it makes the
  // databases of the tests); the server is told to accept that unless a
  // test checks the refusal.
  bool pg_allow_file_access = true;
  std::string extra_postgresql;  // further lines for the [postgresql] section
};

struct PgFixture;

struct ServerFixture {
  std::string dir;             // the temporary directory holding all below
  std::string conf_path;       // dir/msql.conf
  std::string data_dir;        // dir/data: one SQLite file per database, named as it
  std::string socket_path;     // dir/msql.sock
  std::string pid_file;        // dir/msql.pid
  std::string query_log_file;  // dir/query.log
  std::string access_path;     // dir/msql.acl
  int tcp_port = 0;            // 0 when options.tcp is false
  pid_t pid = -1;              // the server process, -1 when not running
  PgFixture *pg = nullptr;     // with options.postgresql: the PostgreSQL served
  ServerFixtureOptions options;
};

// Path of the bundled sample script (resources/sample.sql) and of the
// korvid-server binary of this build tree.
std::string SampleSqlPath();
std::string ServerBinaryPath();

// Creates the directory, writes msql.conf, loads the databases, starts the
// server and waits until its socket accepts connections. Null with the
// reason in *error (when given) on failure; nothing is left behind then.
ServerFixture *ServerFixtureStart(const ServerFixtureOptions &options, std::string *error = nullptr);

// Loads a script into database `name` with the server's own loader, in one
// transaction: an existing database is emptied and refilled in place, so
// connections that have it open see the new content; a failing script
// leaves the old content. Works while the server runs. With PostgreSQL the
// database is made when missing and the statements are sent one by one
// through the running server, which must be the client's target. False
// with the reason on failure.
bool ServerFixtureLoad(ServerFixture *f, const std::string &name, const std::string &script,
                       std::string *error = nullptr);

// Sends a signal to the server and waits for it to end; returns its wait
// status (-1 when it was not running). SIGKILL simulates a crash.
int ServerFixtureKill(ServerFixture *f, int signal);

// Starts the server again on the same directory, ports and databases.
bool ServerFixtureRestart(ServerFixture *f, std::string *error = nullptr);

// Stops the server (SIGTERM, then SIGKILL after 5 s), removes the directory
// and frees the record. Accepts null.
void ServerFixtureStop(ServerFixture *f);

#endif
