// The storage behind korvid-server's requests: one record of functions per
// engine, chosen once at start-up (Server::engine). protocol.cc frames the
// requests and replies; an engine answers for the catalog, the statements
// and the whole-database changes of one connection, keeping what it needs in
// a session record of its own behind the connection. SQLite files are the
// default (kSqliteEngine, sqlite/engine.cc); kPostgresEngine
// (postgres/engine.cc) keeps one libpq connection per client connection.
#ifndef KORVID_SERVER_ENGINE_H
#define KORVID_SERVER_ENGINE_H

#include <string>
#include <vector>

#include "server/result.h"

struct Connection;
struct ServerConfig;

struct Engine {
  const char *name;
  // Once per process, as the user the server runs as, before anything else
  // of the engine runs; it may make the settings stricter (a data directory
  // it cannot write is served read-only). False with the reason when the
  // server cannot run. It may also lower cfg's limits to what the engine
  // can give (max_connections).
  bool (*start)(ServerConfig *cfg, std::string *error);
  bool (*list_databases)(Connection *c, std::vector<std::string> *names, std::string *error);
  // Makes `name` (validated) the connection's database, closing the one
  // before only once the new one is open.
  bool (*select_database)(Connection *c, const std::string &name, std::string *error);
  void (*close_database)(Connection *c);  // also when none is open
  bool (*list_tables)(Connection *c, std::vector<std::string> *names, std::string *error);
  bool (*list_fields)(Connection *c, const std::string &table, std::vector<FieldDesc> *fields,
                      std::string *error);
  bool (*list_index)(Connection *c, const std::string &table, const std::string &index,
                     std::vector<std::string> *rows, std::string *error);
  // Runs one client statement and writes the whole reply itself.
  void (*query)(Connection *c, const std::string &statement);
  bool (*sequence_info)(Connection *c, const std::string &table, long long *step, long long *value,
                        std::string *error);
  // Create, drop (a), copy, move (a to b); names validated, writes allowed.
  bool (*administer)(Connection *c, long code, const std::string &a, const std::string &b,
                     std::string *error);
  // The engine as the greeting names it, with its version ("SQLite 3.40.1").
  std::string (*version)();
  // The server report's lines on the engine and where its data is.
  void (*report)(Connection *c, std::vector<std::string> *lines);
  // Stops the connection's running statement, from another thread, with
  // Connection::session_mutex held; nothing when none runs.
  void (*interrupt)(Connection *c);
};

extern const Engine kSqliteEngine;
extern const Engine kPostgresEngine;

#endif
