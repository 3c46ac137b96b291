// The checks of the PostgreSQL role korvid-server logs in as; see
// postgres_access.h.
#include "server/postgres/access.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

const char *const kLargeObjectWriters[10] = {
    "lo_create(oid)",         "lo_creat(integer)",          "lo_from_bytea(oid, bytea)",
    "lo_import(text)",        "lo_import(text, oid)",       "lo_put(oid, bigint, bytea)",
    "lowrite(integer, bytea)", "lo_truncate(integer, integer)", "lo_truncate64(integer, bigint)",
    "lo_unlink(oid)",
};

namespace {

std::string Field(PGresult *r, int column) { return PQgetisnull(r, 0, column) ? "" : PQgetvalue(r, 0, column); }

// A function as REVOKE can name it: without its argument types unless its
// name has several (lo_import), so that the statement fits in a client's
// error text.
std::string Shown(const std::string &signature) {
  std::string name = signature.substr(0, signature.find('('));
  int same = 0;
  for (const char *f : kLargeObjectWriters) same += std::string(f).compare(0, name.size() + 1, name + "(") == 0;
  return same > 1 ? signature : name;
}

}  // namespace

bool PgCheckRole(PGconn *conn, bool allow_file_access, bool read_only, std::string *error) {
  std::string functions = "ARRAY[";
  for (size_t i = 0; i < sizeof kLargeObjectWriters / sizeof kLargeObjectWriters[0]; i++) {
    functions += std::string(i ? ", " : "") + "'" + kLargeObjectWriters[i] + "'";
  }
  functions += "]";
  std::string sql =
      "SELECT current_user, rolsuper, "
      "pg_has_role(current_user, 'pg_read_server_files', 'MEMBER'), "
      "pg_has_role(current_user, 'pg_write_server_files', 'MEMBER'), "
      "pg_has_role(current_user, 'pg_execute_server_program', 'MEMBER'), "
      "(SELECT string_agg(f, ';') FROM unnest(" + functions + ") AS f "
      "WHERE has_function_privilege(f, 'EXECUTE')), current_database() "
      "FROM pg_roles WHERE rolname = current_user";
  PGresult *r = PQexec(conn, sql.c_str());
  if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1) {
    *error = "Cannot check the PostgreSQL role: " + std::string(PQerrorMessage(conn));
    while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
    PQclear(r);
    return false;
  }
  std::string role = Field(r, 0), writers = Field(r, 5), database = Field(r, 6);
  std::string danger;
  if (Field(r, 1) == "t") {
    danger = "is a superuser";
  } else if (Field(r, 2) == "t") {
    danger = "is a member of pg_read_server_files";
  } else if (Field(r, 3) == "t") {
    danger = "is a member of pg_write_server_files";
  } else if (Field(r, 4) == "t") {
    danger = "is a member of pg_execute_server_program";
  }
  PQclear(r);
  if (!danger.empty() && !allow_file_access) {
    *error = "PostgreSQL role \"" + role + "\" " + danger +
             ": any client could read or write the PostgreSQL server's files through it. Serve a role "
             "without these rights, or set allow_server_file_access = 1 in [postgresql] to accept the danger";
    return false;
  }
  if (read_only && !writers.empty()) {
    // The statement first: a client keeps only the first 199 characters.
    std::string names;
    size_t start = 0;
    while (start <= writers.size()) {
      size_t end = writers.find(';', start);
      if (end == std::string::npos) end = writers.size();
      names += (names.empty() ? "" : ", ") + Shown(writers.substr(start, end - start));
      start = end + 1;
    }
    *error = "REVOKE EXECUTE ON FUNCTION " + names + " FROM PUBLIC is needed, as a superuser in database \"" +
             database + "\": role \"" + role + "\" can change large objects, which read-only service cannot allow";
    return false;
  }
  return true;
}

bool PgReadRoleMap(const std::string &path, PgRoleMap *map, std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read role map " + path + ": " + strerror(errno);
    return false;
  }
  PgRoleMap read;
  read.configured = true;
  std::string line;
  for (int number = 1; std::getline(in, line); number++) {
    std::istringstream words(line);
    std::string user, role, more;
    if (!(words >> user) || user[0] == '#') continue;
    if (!(words >> role) || (words >> more && more[0] != '#')) {
      *error = "role map " + path + ", line " + std::to_string(number) + ": expected a user and a role";
      return false;
    }
    read.lines.push_back({user, role});
  }
  *map = read;
  return true;
}

std::string PgRoleOf(const PgRoleMap &map, const std::string &user) {
  for (const auto &line : map.lines) {
    if (line.first == "*" || line.first == user) return line.second == "*" ? user : line.second;
  }
  return "";
}
