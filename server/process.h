// korvid-server's process around the protocol: giving up root for
// msql_user, the locked pid file, the query log, and the files it makes,
// all opened without following a link someone else may have planted.
#ifndef KORVID_SERVER_PROCESS_H
#define KORVID_SERVER_PROCESS_H

#include <cstdio>
#include <string>

// Mode of the database files and folders the server makes: its user's only.
#define SERVER_UMASK 077

// Started as root, becomes `user` (its groups too). Root itself only when
// `user` is "root", with a warning in *warning. Not root: nothing changes.
// False with the reason when the user does not exist or cannot be taken.
bool DropPrivileges(const std::string &user, std::string *warning, std::string *error);

// Opens and locks the pid file and writes this process's id in it; the
// descriptor stays open (and the lock held) until the process ends. -1
// with the reason when it is a link or not a regular file, or another
// server holds it; PID_FILE_UNWRITABLE when it cannot be made where it is
// named (the server then runs without one, as it always has).
#define PID_FILE_UNWRITABLE (-2)
int OpenPidFile(const std::string &path, std::string *error);

// Opens the query log for appending, never through a link, made 0600 when
// new. Null with the reason.
FILE *OpenQueryLog(const std::string &path, std::string *error);

// Whether something other than a socket stands at `path` (which is then
// never removed).
bool NotASocket(const std::string &path);

#endif
