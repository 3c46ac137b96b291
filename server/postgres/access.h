// What korvid-server asks of the PostgreSQL role it logs in as, apart from
// the engine's statements: a role that may read or write the server's files
// is refused unless the configuration accepts the danger by name, and a
// role that may change large objects cannot be given read-only service,
// since a read-only transaction does not stop those functions.
#ifndef KORVID_SERVER_POSTGRES_ACCESS_H
#define KORVID_SERVER_POSTGRES_ACCESS_H

#include <libpq-fe.h>

#include <string>
#include <utility>
#include <vector>

// The functions that change large objects and that PostgreSQL runs even
// inside a read-only transaction (measured on PostgreSQL 15), as
// has_function_privilege and REVOKE name them.
extern const char *const kLargeObjectWriters[10];

// Checks the role of a fresh connection. allow_file_access: a superuser or
// a member of pg_read_server_files, pg_write_server_files or
// pg_execute_server_program is accepted. read_only: the connection is to
// serve a client that may not change anything. False with the reason.
bool PgCheckRole(PGconn *conn, bool allow_file_access, bool read_only, std::string *error);

// The map from the users the kernel names to PostgreSQL roles, so that each
// client's connection logs in as its own role and PostgreSQL's GRANTs hold
// per user. A file of lines "user role" ('#' starts a comment): '*' as the
// user stands for any user, '*' as the role for the user's own name; the
// first line that names the user decides.
struct PgRoleMap {
  bool configured = false;
  std::vector<std::pair<std::string, std::string>> lines;
};

// Reads the map at `path`. False with "role map PATH, line N: ...".
bool PgReadRoleMap(const std::string &path, PgRoleMap *map, std::string *error);

// The role of a user, or empty when the map names none.
std::string PgRoleOf(const PgRoleMap &map, const std::string &user);

#endif
