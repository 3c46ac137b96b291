// korvid-server's PostgreSQL engine (kPostgresEngine, at the end): every
// client connection that selects a database gets a libpq connection of its
// own to the PostgreSQL database of that name, made from the configured
// connection string, and closed when the client selects another database or
// leaves. The database list and administration go over a short connection
// of their own to the connection string's database.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "server/postgres/access.h"
#include "server/postgres/postgres.h"

// libpq's messages end in a newline and may hold several lines.
std::string PgMessage(const char *text) {
  std::string s = text ? text : "";
  while (!s.empty() && isspace((unsigned char)s.back())) s.pop_back();
  for (char &ch : s) {
    if (ch == '\n' || ch == '\t') ch = ' ';
  }
  return s.empty() ? "PostgreSQL gave no reason" : s;
}

void PgCancel(PgSession *s) {
  char ignored[256];
  if (s->cancel && !s->cancelled) PQcancel(s->cancel, ignored, sizeof ignored);
  s->cancelled = true;
}

std::string ResultMessage(PGresult *r, PGconn *conn) {
  const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return PgMessage(primary ? primary : PQerrorMessage(conn));
}

// Sets a new (or reset) connection up as the engine needs it: mSQL's
// day-month order for dates given as numbers; float4 and float8 in their
// shortest text that reads back as the same value (whatever the server's
// or the connection string's extra_float_digits), so that a value written
// back untouched is stored again bit for bit; and no changes at all on a
// read-only server.
static bool SetUp(PGconn *conn, const ServerConfig &cfg, std::string *error) {
  std::string setup = "SET DateStyle = 'ISO, DMY'; SET extra_float_digits = 1";
  if (cfg.read_only) setup += "; SET default_transaction_read_only = on";
  // PostgreSQL keeps the time limit itself too, a second later than the
  // server's own watch (which names the limit in its refusal): a statement
  // stops there even when this server can no longer cancel it.
  //
  // That limit is lifted while rows are sent (CopyRows, CursorRows), since
  // PostgreSQL would count the time they wait for a slow client; there a
  // statement that this server can no longer cancel because it is gone is
  // still stopped, by PostgreSQL looking now and then whether its client
  // (this server) is still there, where it can (PostgreSQL 14 on).
  if (cfg.statement_timeout > 0) {
    setup += "; SET statement_timeout = '" + std::to_string(cfg.statement_timeout + 1) + "s'";
    if (PQserverVersion(conn) >= 140000) setup += "; SET client_connection_check_interval = '1s'";
  }
  PGresult *r = PQexec(conn, setup.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!ok) *error = ResultMessage(r, conn);
  PQclear(r);
  return ok;
}

namespace {

// The role map, read once at start (PgStart) and only read after.
PgRoleMap g_role_map;

}  // namespace

// Opens a connection to `dbname` (empty: the connection string's own),
// set up as the engine needs it: mSQL's day-month order for dates given as
// numbers, and no changes at all on a read-only server. Its role is checked
// (PgCheckRole), `read_only` when it is to serve a client that may not
// change anything.
PGconn *PgOpen(const ServerConfig &cfg, const std::string &dbname, const std::string &role, bool read_only,
               std::string *error) {
  // The connection string's settings, with its database replaced.
  char *parse_error = nullptr;
  PQconninfoOption *options = PQconninfoParse(cfg.pg_conninfo.c_str(), &parse_error);
  if (!options) {
    *error = "Bad PostgreSQL connection string: " + PgMessage(parse_error ? parse_error : "out of memory");
    PQfreemem(parse_error);
    return nullptr;
  }
  std::vector<const char *> keys, values;
  for (PQconninfoOption *o = options; o->keyword; o++) {
    bool db = strcmp(o->keyword, "dbname") == 0 && !dbname.empty();
    bool user = strcmp(o->keyword, "user") == 0 && !role.empty();
    if (!o->val && !db && !user) continue;
    keys.push_back(o->keyword);
    values.push_back(db ? dbname.c_str() : user ? role.c_str() : o->val);
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn *conn = PQconnectdbParams(keys.data(), values.data(), 0);
  PQconninfoFree(options);
  if (!conn || PQstatus(conn) != CONNECTION_OK) {
    // Named as the manual names it, the connection string's own database too.
    const char *named = conn ? PQdb(conn) : nullptr;
    std::string shown = !dbname.empty() ? dbname : named ? named : "";
    *error = "Cannot connect to PostgreSQL database " + shown + ": " +
             PgMessage(conn ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return nullptr;
  }
  // PostgreSQL's notices (a shutdown announced, say) are not the
  // server's to print.
  PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
  if (!SetUp(conn, cfg, error)) {
    *error = "Cannot set up the PostgreSQL connection: " + *error;
    PQfinish(conn);
    return nullptr;
  }
  if (!PgCheckRole(conn, cfg.pg_allow_file_access, read_only, error)) {
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

// A connection that broke since the last request is made again; false with
// the reason when PostgreSQL still cannot be reached.
bool PgAlive(Connection *c, std::string *error) {
  PGconn *conn = c->pg->conn;
  if (PQstatus(conn) == CONNECTION_OK) return true;
  PQreset(conn);
  {
    // The new backend has a key of its own.
    std::lock_guard<std::mutex> lock(c->session_mutex);
    PQfreeCancel(c->pg->cancel);
    c->pg->cancel = PQgetCancel(conn);
  }
  c->pg->tables.clear();
  c->pg->statements.clear();  // prepared statements die with their connection
  if (PQstatus(conn) != CONNECTION_OK) {
    *error = "PostgreSQL cannot be reached: " + PgMessage(PQerrorMessage(conn));
    return false;
  }
  return SetUp(conn, c->server->config, error);
}

Result FetchAll(PGconn *conn, const char *sql, const std::vector<std::string> &params, std::string *error) {
  std::vector<const char *> values;
  for (const std::string &p : params) values.push_back(p.c_str());
  Result r(PQexecParams(conn, sql, (int)values.size(), nullptr, values.data(), nullptr, nullptr, 0), PQclear);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    *error = ResultMessage(r.get(), conn);
    return Result(nullptr, PQclear);
  }
  return r;
}

Result FetchAll(Connection *c, const char *sql, const std::vector<std::string> &params, std::string *error) {
  if (!PgAlive(c, error)) return Result(nullptr, PQclear);
  return FetchAll(c->pg->conn, sql, params, error);
}

bool Command(PGconn *conn, const std::string &sql, std::string *error, long long *changed) {
  PGresult *r = PQexec(conn, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
  if (!ok) *error = ResultMessage(r, conn);
  if (ok && changed) *changed = atoll(PQcmdTuples(r));
  PQclear(r);
  return ok;
}

namespace {

void PgClose(Connection *c) {
  std::lock_guard<std::mutex> lock(c->session_mutex);
  if (c->pg) {
    PQfreeCancel(c->pg->cancel);
    PQfinish(c->pg->conn);
    delete c->pg;
  }
  c->pg = nullptr;
  c->database.clear();
}

void PgInterrupt(Connection *c) {
  if (c->pg) PgCancel(c->pg);
}

// Databases that accept connections, templates left out, and only those
// whose names a client may select; over the session's connection, or
// before a database is selected over a connection of its own.
bool PgListDatabases(Connection *c, std::vector<std::string> *names, std::string *error) {
  static const char kList[] =
      "SELECT datname FROM pg_database WHERE datallowconn AND NOT datistemplate ORDER BY datname";
  Result r(nullptr, PQclear);
  if (c->pg) {
    r = FetchAll(c, kList, {}, error);
  } else {
    PGconn *conn = PgOpen(c->server->config, "", "", false, error);
    if (!conn) return false;
    r = FetchAll(conn, kList, {}, error);
    PQfinish(conn);
  }
  if (!r) return false;
  for (int i = 0; i < PQntuples(r.get()); i++) {
    const char *name = PQgetvalue(r.get(), i, 0);
    if (ValidDatabaseName(name)) names->push_back(name);
  }
  return true;
}

bool PgSelect(Connection *c, const std::string &name, std::string *error) {
  // Said as the SQLite engine says it rather than as a failed login.
  std::vector<std::string> names;
  if (!PgListDatabases(c, &names, error)) return false;
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    *error = "Unknown database \"" + name + "\"";
    return false;
  }
  // With a role map each client logs in as its own role; a remote
  // client, whose user is not known, has none.
  std::string role;
  if (g_role_map.configured) {
    role = c->verified ? PgRoleOf(g_role_map, c->user) : "";
    if (role.empty()) {
      *error = c->verified ? "No PostgreSQL role for user \"" + c->user + "\" in the role map"
                           : "No PostgreSQL role for a remote client: the role map names users of this machine";
      return false;
    }
  }
  PGconn *conn = PgOpen(c->server->config, name, role, ReadOnlyClient(c), error);
  if (!conn) return false;
  PgClose(c);
  std::lock_guard<std::mutex> lock(c->session_mutex);
  c->pg = new PgSession;
  c->pg->conn = conn;
  c->pg->cancel = PQgetCancel(conn);
  c->database = name;
  return true;
}

// Whole databases are PostgreSQL's: create, drop, copy (a new database
// made from the other as its template) and move (a rename), with
// PostgreSQL's own checks of rights and of databases in use. The client's
// own connection to a database it drops or moves is closed first.
bool PgAdminister(Connection *c, long code, const std::string &a, const std::string &b, std::string *error) {
  if ((code == REQ_DROP_DB || code == REQ_MOVE_DB) && c->database == a) PgClose(c);
  std::string sql;
  switch (code) {
    case REQ_CREATE_DB:
      sql = "CREATE DATABASE " + QuoteName(a);
      break;
    case REQ_DROP_DB:
      sql = "DROP DATABASE " + QuoteName(a);
      break;
    case REQ_COPY_DB:
      sql = "CREATE DATABASE " + QuoteName(b) + " TEMPLATE " + QuoteName(a);
      break;
    default:
      sql = "ALTER DATABASE " + QuoteName(a) + " RENAME TO " + QuoteName(b);
      break;
  }
  // A database cannot be dropped, copied or renamed over a connection to it.
  PGconn *conn = PgOpen(c->server->config, "", "", false, error);
  if (!conn) return false;
  bool ok = Command(conn, sql, error);
  PQfinish(conn);
  return ok;
}

// A PostgreSQL version number (150010) as it is written ("15.10").
std::string PgVersionText(int v) {
  if (v >= 100000) return std::to_string(v / 10000) + "." + std::to_string(v % 10000);
  return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
}

std::string PgVersion() { return "PostgreSQL, libpq " + PgVersionText(PQlibVersion()); }

// The connection string's settings, one keyword=value each (quoted where
// libpq would need it), passwords left out.
std::string PgConninfoShown(const std::string &conninfo) {
  char *parse_error = nullptr;
  PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), &parse_error);
  if (!options) {
    PQfreemem(parse_error);
    return "(not a valid connection string)";
  }
  std::string shown;
  for (PQconninfoOption *o = options; o->keyword; o++) {
    if (!o->val || strstr(o->keyword, "password")) continue;
    std::string value = o->val;
    bool quote = value.empty() || value.find_first_of(" \t\n\\'") != std::string::npos;
    if (quote) {
      std::string q = "'";
      for (char ch : value) {
        if (ch == '\\' || ch == '\'') q += '\\';
        q += ch;
      }
      value = q + "'";
    }
    shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + value;
  }
  PQconninfoFree(options);
  return shown;
}

void PgReport(Connection *c, std::vector<std::string> *lines) {
  lines->push_back("Engine: " + PgVersion());
  lines->push_back("PostgreSQL connection: " + PgConninfoShown(c->server->config.pg_conninfo));
  if (c->pg && PQstatus(c->pg->conn) == CONNECTION_OK) {
    lines->push_back("PostgreSQL server: " + PgVersionText(PQserverVersion(c->pg->conn)) + ", database " +
                     c->database);
  }
}

}  // namespace

// Connections are made when they are needed. The role is checked now
// when PostgreSQL answers, so that a dangerous one stops the server at once;
// each client connection checks it again in any case. The number of
// connections PostgreSQL can give is asked for too: each client holds one,
// and a list or an administration request one more for a moment, so the
// server takes no more than the role's limit (a superuser has none) and the
// server's slots less those reserved for superusers (so that an
// administrator can always get in), each less that one. When PostgreSQL
// does not answer yet, its default of 100 slots with 3 reserved is assumed.
bool PgStart(ServerConfig *cfg, std::string *error) {
  if (!cfg->pg_role_map.empty() && !PgReadRoleMap(cfg->pg_role_map, &g_role_map, error)) return false;
  int slots = 100 - 3;
  PGconn *conn = PQconnectdb(cfg->pg_conninfo.c_str());
  bool ok = true;
  if (PQstatus(conn) == CONNECTION_OK) {
    ok = PgCheckRole(conn, cfg->pg_allow_file_access, false, error);
    std::string failure;
    Result r = FetchAll(conn,
                        "SELECT current_setting('max_connections')::int - "
                        "current_setting('superuser_reserved_connections')::int, "
                        "CASE WHEN rolsuper THEN -1 ELSE rolconnlimit END "
                        "FROM pg_roles WHERE rolname = current_user",
                        {}, &failure);
    if (r && PQntuples(r.get()) == 1) {
      slots = atoi(PQgetvalue(r.get(), 0, 0));
      int role = atoi(PQgetvalue(r.get(), 0, 1));
      if (role >= 0 && role < slots) slots = role;
    }
  } else {
    fprintf(stderr,
            "korvid-server: warning: PostgreSQL does not answer yet, its role is checked later and %d "
            "connections assumed: %s\n",
            slots, PgMessage(PQerrorMessage(conn)).c_str());
  }
  PQfinish(conn);
  cfg->max_connections = std::max(1, std::min(cfg->max_connections, slots - 1));
  return ok;
}

const Engine kPostgresEngine = {
    "PostgreSQL", PgStart, PgListDatabases, PgSelect, PgClose,        PgListTables,
    PgListFields, PgListIndex,     PgQuery,  PgSequenceInfo, PgAdminister,
    PgVersion,    PgReport,        PgInterrupt,
};

