// korvid-server --load: a script of mSQL statements into an SQLite database,
// and the cutting of a script into its statements (which the tests use to
// send a script through a server statement by statement).
#ifndef KORVID_SERVER_SQLITE_LOAD_H
#define KORVID_SERVER_SQLITE_LOAD_H

#include <string>
#include <vector>

struct ServerConfig;

// Cuts a script into statements, each ended by ';' or "\g" outside quotes,
// and trims the blanks around each. A '#' before the first word of a
// statement starts a comment line; SQL comments ("-- " to the end of the
// line, "/* ... */") outside quotes are left out. Text after the last
// terminator counts as a statement when it is not blank.
std::vector<std::string> SplitScript(const std::string &text);

// Runs every statement of a script file into database `name` of the data
// directory, in one transaction, each the way a client's statement runs
// (the server's own tables are out of its reach too): the database holds
// all of the script or none of it. An existing database is emptied and
// refilled in place. Says what went wrong on stderr; false then.
bool LoadScript(const ServerConfig &cfg, const std::string &name, const std::string &file);

#endif
