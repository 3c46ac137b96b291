// korvid-server --load: a script file into an SQLite database, in one
// transaction, each statement going the way a client's statement goes
// (translated, prepared through the authorizer and the statement cache,
// bound), so that a script can do nothing a client could not. Start with
// LoadScript().
#include "server/sqlite/load.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "server/server.h"
#include "server/sqlite/sqlite.h"

std::vector<std::string> SplitScript(const std::string &text) {
  std::vector<std::string> out;
  std::string current;
  size_t i = 0, n = text.size();
  const char *blank = " \t\r\n";
  auto finish = [&]() {
    size_t first = current.find_first_not_of(blank);
    if (first != std::string::npos) {
      size_t last = current.find_last_not_of(blank);
      out.push_back(current.substr(first, last - first + 1));
    }
    current.clear();
  };
  while (i < n) {
    char c = text[i];
    // '#' before any text of a statement starts a comment line.
    if (c == '#' && current.find_first_not_of(blank) == std::string::npos) {
      while (i < n && text[i] != '\n') i++;
      continue;
    }
    if (c == '\'' || c == '"') {
      char quote = c;
      current += c;
      i++;
      while (i < n) {
        char d = text[i];
        current += d;
        i++;
        if (quote == '\'' && d == '\\' && i < n) {
          current += text[i++];
        } else if (d == quote) {
          break;
        }
      }
      continue;
    }
    // A comment may hold a ';' that ends nothing; it is left out.
    if (size_t end = SqlCommentEnd(text, i)) {
      current += ' ';
      i = end;
      continue;
    }
    if (c == ';') {
      finish();
      i++;
      continue;
    }
    if (c == '\\' && i + 1 < n && text[i + 1] == 'g') {
      finish();
      i += 2;
      continue;
    }
    current += c;
    i++;
  }
  finish();
  return out;
}

namespace {

bool ReadFile(const std::string &file, std::string *text) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::stringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

// Opens database `name` for the load, making it when it is missing
// (*created says so), and empties it in a transaction that is left open:
// servers that have it open see the new content once it commits, and a
// failed load leaves the old one.
sqlite3 *OpenEmptied(const ServerConfig &cfg, const std::string &name, bool *created) {
  std::string error;
  *created = false;
  if (!DbExists(cfg.data_dir, name)) {
    if (!DbCreate(cfg.data_dir, name, &error)) {
      fprintf(stderr, "korvid-server: %s\n", error.c_str());
      return nullptr;
    }
    *created = true;
  }
  sqlite3 *db = DbOpen(DbPath(cfg.data_dir, name), false, false, &error);
  if (!db) {
    fprintf(stderr, "korvid-server: %s: %s\n", DbPath(cfg.data_dir, name).c_str(), error.c_str());
    return nullptr;
  }
  bool ok = Exec(db, "BEGIN IMMEDIATE", &error) && DbEmpty(db, &error);
  if (!ok) {
    fprintf(stderr, "korvid-server: cannot empty database %s: %s\n", name.c_str(), error.c_str());
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    DbClose(db);
    return nullptr;
  }
  return db;
}

// Runs the statements in the open transaction; statements of one shape
// (the INSERTs of a dump) share one prepared statement through the
// session's cache, only their values bound anew. False after saying which
// statement failed.
bool RunStatements(SqliteSession *s, const std::vector<std::string> &statements, const std::string &file) {
  size_t number = 0;
  for (const std::string &statement : statements) {
    number++;
    Translation t;
    std::string error;
    int changed = 0;
    if (!TranslateStatement(statement, &t, &error) || !SqliteRun(s, t, &changed, &error)) {
      fprintf(stderr, "korvid-server: %s: statement %zu: %s\n", file.c_str(), number, error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool LoadScript(const ServerConfig &cfg, const std::string &name, const std::string &file) {
  if (!ValidDatabaseName(name)) {
    fprintf(stderr, "korvid-server: bad database name \"%s\"\n", name.c_str());
    return false;
  }
  std::string text;
  if (!ReadFile(file, &text)) {
    fprintf(stderr, "korvid-server: cannot read %s\n", file.c_str());
    return false;
  }
  bool created = false;
  SqliteSession session;
  session.db = OpenEmptied(cfg, name, &created);
  std::vector<std::string> statements = SplitScript(text);
  bool ok = session.db && RunStatements(&session, statements, file);
  // Prepared statements are finalised before the end of the transaction.
  for (CachedStatement &entry : session.cache) sqlite3_finalize(entry.stmt);
  session.cache.clear();
  std::string error;
  if (ok && !Exec(session.db, "COMMIT", &error)) {
    fprintf(stderr, "korvid-server: %s: %s\n", file.c_str(), error.c_str());
    ok = false;
  }
  if (!ok && session.db) sqlite3_exec(session.db, "ROLLBACK", nullptr, nullptr, nullptr);
  SqliteSessionClose(&session);
  if (!ok) {
    if (created) DbDrop(cfg.data_dir, name, &error);
    return false;
  }
  printf("Loaded %zu statements into database %s (%s)\n", statements.size(), name.c_str(),
         DbPath(cfg.data_dir, name).c_str());
  return true;
}
