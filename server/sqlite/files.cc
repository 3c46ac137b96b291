// Database files: which file serves a database name, opening one with the
// server's settings, and creating, dropping, copying and moving whole
// databases. A database is one SQLite file in the data directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "msql/protocol.h"
#include "server/sqlite/sqlite.h"

const char *const kDbSuffixes[5] = {"", ".db", ".sqlite", ".sqlite3", ".db3"};

namespace {

// First bytes of every SQLite database file.
const char kSqliteMagic[] = "SQLite format 3";

void RemoveFiles(const std::string &path) {
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  unlink((path + "-journal").c_str());
}

// A regular file that begins with the SQLite header. The header is read
// through SQLite's own file layer, never with open() and close(): SQLite's
// locks are POSIX locks, which belong to the process, and closing any
// descriptor of a file drops every one the process holds on it, those of
// the connections that have it open included. Another program that opened
// the file then would take itself for its only user, fold the write-ahead
// log into the file and remove it on closing, and every change committed
// after that would go to a log nobody reads again. SQLite's layer keeps
// such a descriptor open until the process holds no lock on the file.
bool IsSqliteFile(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
  if (!vfs) return false;
  std::string full((size_t)vfs->mxPathname + 1, '\0');
  if (vfs->xFullPathname(vfs, path.c_str(), (int)full.size(), &full[0]) != SQLITE_OK) return false;
  // The file record of the layer, of its own size, suitably aligned.
  std::unique_ptr<sqlite3_int64[]> space(new sqlite3_int64[(size_t)vfs->szOsFile / sizeof(sqlite3_int64) + 1]());
  sqlite3_file *file = (sqlite3_file *)space.get();
  int opened = 0;
  int rc = vfs->xOpen(vfs, full.c_str(), file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &opened);
  char head[sizeof kSqliteMagic] = "";
  if (rc == SQLITE_OK) rc = file->pMethods->xRead(file, head, (int)sizeof head, 0);
  if (file->pMethods) file->pMethods->xClose(file);
  return rc == SQLITE_OK && memcmp(head, kSqliteMagic, sizeof head) == 0;
}

bool FileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The file serving database `name`, or empty.
std::string FindDbFile(const std::string &data_dir, const std::string &name) {
  for (const char *suffix : kDbSuffixes) {
    std::string path = data_dir + "/" + name + suffix;
    if (IsSqliteFile(path)) return path;
  }
  return "";
}

// The suffix of the file serving `name` (for copy and move, whose new file
// keeps it).
std::string DbSuffix(const std::string &data_dir, const std::string &name) {
  std::string path = FindDbFile(data_dir, name);
  return path.substr(std::min(path.size(), data_dir.size() + 1 + name.size()));
}

}  // namespace

bool Exec(sqlite3 *db, const char *sql, std::string *error) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    *error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

std::string DbPath(const std::string &data_dir, const std::string &name) {
  std::string path = FindDbFile(data_dir, name);
  return path.empty() ? data_dir + "/" + name : path;
}

bool DbExists(const std::string &data_dir, const std::string &name) {
  return !FindDbFile(data_dir, name).empty();
}

namespace {

// A file name as an SQLite URI ("file:" and the path, its '%', '?' and '#'
// escaped).
std::string FileUri(const std::string &path, const char *query) {
  std::string uri = "file:";
  char hex[4];
  for (char ch : path) {
    if (ch == '%' || ch == '?' || ch == '#') {
      snprintf(hex, sizeof hex, "%%%02X", (unsigned char)ch);
      uri += hex;
    } else {
      uri += ch;
    }
  }
  return uri + "?" + query;
}

}  // namespace

sqlite3 *DbOpen(const std::string &path, bool create, bool read_only, std::string *error) {
  sqlite3 *db = nullptr;
  // Read-only, the file is opened so: nothing, not even its journal mode,
  // is written to it.
  int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0)) |
              SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, DB_BUSY_TIMEOUT_MS);
  // A WAL file is read through its shared-memory file, which cannot be made
  // in a directory the server may not write: there, and only there, such a
  // file is read as it stands (no writer can make its -wal file there
  // either). Elsewhere a failure is a failure, a busy writer included.
  if (read_only && sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
    int code = sqlite3_errcode(db);
    std::string dir = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
    if ((code != SQLITE_CANTOPEN && code != SQLITE_READONLY) || access(dir.empty() ? "." : dir.c_str(), W_OK) == 0) {
      *error = sqlite3_errmsg(db);
      sqlite3_close(db);
      return nullptr;
    }
    sqlite3_close(db);
    db = nullptr;
    if (sqlite3_open_v2(FileUri(path, "immutable=1").c_str(), &db, flags | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
      *error = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, DB_BUSY_TIMEOUT_MS);
  }
  DbDefend(db);
  // WAL: readers never wait for the writer, and a committed transaction
  // survives the process being killed (synchronous NORMAL is enough for
  // that; it only gives way to a power failure).
  // Pages are read through a memory map rather than copied in by read().
  // The log is cut back to DB_WAL_LIMIT once a checkpoint has passed over
  // it; a reader that holds one off for good is a client that stopped
  // reading, which the write limit drops.
  if ((!read_only && (!Exec(db, "PRAGMA journal_mode=WAL", error) || !Exec(db, "PRAGMA synchronous=NORMAL", error))) ||
      !Exec(db, "PRAGMA mmap_size=" DB_MMAP_SIZE, error) ||
      !Exec(db, "PRAGMA journal_size_limit=" DB_WAL_LIMIT, error) ||
      !Exec(db, "PRAGMA wal_autocheckpoint=" DB_WAL_CHECKPOINT_PAGES, error)) {
    sqlite3_close(db);
    return nullptr;
  }
  DbAddFunctions(db, read_only);
  return db;
}

void DbClose(sqlite3 *db) { sqlite3_close_v2(db); }

size_t g_value_limit = MAX_PACKET;

// Files in the data directory may come from any program, and any client may
// send any statement: nothing in a file's schema or a statement may write
// the file's structures behind SQLite's back (DEFENSIVE: no writable
// schema, shadow tables read only, no journal_mode=OFF), hand a pointer to
// native code (the FTS3 tokenizer interface, whose two-argument
// fts3_tokenizer() installs a function pointer taken from a blob), or run a
// function with side effects from a view or trigger (trusted_schema off;
// the server's own functions say what they are in DbAddFunctions). No value
// may grow past what one reply packet carries, nor a statement's text past
// one request.
void DbDefend(sqlite3 *db) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, (int)std::min(g_value_limit, (size_t)MAX_PACKET));
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, MAX_PACKET);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
}

bool DbListDatabases(const std::string &data_dir, std::vector<std::string> *names, std::string *error) {
  DIR *dir = opendir(data_dir.c_str());
  if (!dir) {
    *error = "Cannot read the data directory: " + std::string(strerror(errno));
    return false;
  }
  // A database is an SQLite file named by a valid name and one of the
  // suffixes; "-wal" and "-shm" companions never have such a name. Of
  // several files giving one name, only the one that serves it is listed.
  while (struct dirent *e = readdir(dir)) {
    std::string file = e->d_name, name = file;
    for (const char *suffix : kDbSuffixes) {
      size_t n = strlen(suffix);
      if (n > 0 && file.size() > n && file.compare(file.size() - n, n, suffix) == 0) {
        name = file.substr(0, file.size() - n);
      }
    }
    if (ValidDatabaseName(name) && FindDbFile(data_dir, name) == data_dir + "/" + file) names->push_back(name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}


bool DbCreate(const std::string &data_dir, const std::string &name, std::string *error) {
  if (DbExists(data_dir, name)) {
    *error = "Database \"" + name + "\" already exists";
    return false;
  }
  std::string path = data_dir + "/" + name;
  if (FileExists(path)) {
    *error = "Cannot create database \"" + name + "\": a file of that name is in the way";
    return false;
  }
  RemoveFiles(path);  // leftovers of an earlier database of that name
  // A create that fails (a full disk) takes its file with it: an empty
  // file left behind would be in the way of the next create, and no
  // database to drop.
  sqlite3 *db = DbOpen(path, true, false, error);
  bool ok = db && DbEnsureSequenceTable(db, error);
  if (db) DbClose(db);
  if (!ok) {
    unlink(path.c_str());
    RemoveFiles(path);
  }
  return ok;
}

bool DbDrop(const std::string &data_dir, const std::string &name, std::string *error) {
  if (!DbExists(data_dir, name)) {
    *error = "Unknown database \"" + name + "\"";
    return false;
  }
  std::string path = DbPath(data_dir, name);
  if (unlink(path.c_str()) != 0) {
    *error = "Cannot remove database \"" + name + "\": " + strerror(errno);
    return false;
  }
  RemoveFiles(path);
  return true;
}

// Copy and move need an existing source and a free name to go to.
static bool CanTakeOver(const std::string &data_dir, const std::string &from, const std::string &to,
                        std::string *error) {
  if (!DbExists(data_dir, from)) {
    *error = "Unknown database \"" + from + "\"";
    return false;
  }
  if (DbExists(data_dir, to)) {
    *error = "Database \"" + to + "\" already exists";
    return false;
  }
  // The new file keeps the source's suffix; a file that is no database
  // must not be overwritten by it.
  if (FileExists(data_dir + "/" + to + DbSuffix(data_dir, from))) {
    *error = "Cannot create database \"" + to + "\": a file of that name is in the way";
    return false;
  }
  return true;
}

// Opens the source of a copy or move once CanTakeOver allows it; *to_path
// is the file it goes to, which keeps the source's suffix, cleared of the
// leftovers of an earlier database of that name.
static sqlite3 *OpenSource(const std::string &data_dir, const std::string &from, const std::string &to,
                           std::string *to_path, std::string *error) {
  if (!CanTakeOver(data_dir, from, to, error)) return nullptr;
  *to_path = data_dir + "/" + to + DbSuffix(data_dir, from);
  RemoveFiles(*to_path);
  return DbOpen(DbPath(data_dir, from), false, false, error);
}

bool DbCopy(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error) {
  std::string to_path;
  sqlite3 *src = OpenSource(data_dir, from, to, &to_path, error);
  if (!src) return false;
  sqlite3 *dst = DbOpen(to_path, true, false, error);
  if (!dst) {
    DbClose(src);
    unlink(to_path.c_str());
    RemoveFiles(to_path);
    return false;
  }
  bool ok = false;
  sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main");
  if (b) {
    int rc = sqlite3_backup_step(b, -1);
    sqlite3_backup_finish(b);
    ok = rc == SQLITE_DONE;
  }
  if (!ok) *error = "Copy failed: " + std::string(sqlite3_errmsg(dst));
  DbClose(dst);
  DbClose(src);
  if (!ok) {
    unlink(to_path.c_str());
    RemoveFiles(to_path);
  }
  return ok;
}

bool DbMove(const std::string &data_dir, const std::string &from, const std::string &to,
            std::string *error) {
  // Fold the write-ahead log into the file first, so that the file alone
  // holds the whole database when it takes its new name.
  std::string to_path;
  sqlite3 *db = OpenSource(data_dir, from, to, &to_path, error);
  if (!db) return false;
  bool ok = Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", error);
  DbClose(db);
  if (!ok) return false;
  std::string from_path = DbPath(data_dir, from);
  if (rename(from_path.c_str(), to_path.c_str()) != 0) {
    *error = "Cannot rename database: " + std::string(strerror(errno));
    return false;
  }
  RemoveFiles(from_path);
  return true;
}

