// Who may do what to which database: korvid-server's access file, read into
// rules at start and on the reload request, and the decision for one client
// and one database. Plain functions over text; no socket, no engine.
//
// The file is a list of entries separated by blank lines; '#' starts a
// comment line. Each entry is lines of key=value:
//   database=sample,test_*      which databases the entry is for (required)
//   read=*,-guest               users who may read; "-name" excludes
//   write=alice,bob             users who may change (and so read)
//   host=*.example.com,-10.0.0.9  remote clients' names or addresses
//   access=local,remote         which kinds of client the entry admits
// Lists are separated by commas; '*' in a pattern stands for any run of
// characters. The first entry whose database list matches decides.
#ifndef KORVID_SERVER_ACCESS_H
#define KORVID_SERVER_ACCESS_H

#include <string>
#include <vector>

// What a client may do to a database.
enum AccessRight { ACCESS_NONE = 0, ACCESS_READ = 1, ACCESS_WRITE = 2 };

// A list of patterns, some of them exclusions ("-name").
struct AccessList {
  std::vector<std::string> allow;
  std::vector<std::string> deny;
};

struct AccessEntry {
  int line = 0;  // where the entry starts, for messages
  AccessList databases, read, write, hosts;
  bool local = true;   // access= absent: local clients only
  bool remote = false;
};

struct AccessRules {
  bool from_file = false;       // false: no file, the defaults hold
  bool remote_default = false;  // without a file: remote_access = 1
  std::string path;             // the file read (or looked for)
  std::vector<AccessEntry> entries;
};

// A client as far as the server knows it. A verified client's user is the
// kernel's (UNIX socket, or TCP from this machine); a remote client's
// claimed name cannot be checked, so it is not looked at.
struct AccessClient {
  bool verified = false;
  std::string user;                // verified clients only
  std::vector<std::string> hosts;  // remote clients: its address, and its name when known
};

// Whether `text` matches `pattern`, '*' standing for any run of characters;
// with fold, letters match regardless of case (host names).
bool AccessPatternMatch(const std::string &pattern, const std::string &text, bool fold = false);

// Parses the text of an access file. False with "line N: ..." on the first
// fault; *rules is then untouched.
bool AccessParse(const std::string &text, AccessRules *rules, std::string *error);

// Reads the access file at `path`. A file that does not exist gives the
// defaults (local clients everything, remote clients everything when
// remote_access, else nothing); one that cannot be read or parsed is a
// failure with the reason, and *rules is left as it was.
bool AccessLoad(const std::string &path, bool remote_access, AccessRules *rules, std::string *error);

// What `client` may do to `database` under `rules`.
AccessRight AccessDecide(const AccessRules &rules, const AccessClient &client, const std::string &database);

#endif
