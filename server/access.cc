// The access file of korvid-server: its reader and the decision it makes
// for one client and one database. See access.h for the file's form.
#include "server/access.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <sstream>

namespace {

std::string Trim(const std::string &s) {
  size_t begin = 0, end = s.size();
  while (begin < end && isspace((unsigned char)s[begin])) begin++;
  while (end > begin && isspace((unsigned char)s[end - 1])) end--;
  return s.substr(begin, end - begin);
}

bool MatchFrom(const char *p, const char *t, bool fold) {
  // Iterative, with one point to come back to: a '*' behind a later '*'
  // never needs the earlier one again, so the match is linear-ish and never
  // recursive however many stars a pattern holds.
  const char *star = nullptr, *resume = nullptr;
  while (*t) {
    if (*p == '*') {
      star = p++;
      resume = t;
    } else if (*p && (fold ? tolower((unsigned char)*p) == tolower((unsigned char)*t) : *p == *t)) {
      p++;
      t++;
    } else if (star) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') p++;
  return *p == '\0';
}

bool Matches(const AccessList &list, const std::string &name, bool fold) {
  bool allowed = false;
  for (const std::string &p : list.allow) allowed = allowed || AccessPatternMatch(p, name, fold);
  if (!allowed) return false;
  for (const std::string &p : list.deny) {
    if (AccessPatternMatch(p, name, fold)) return false;
  }
  return true;
}

// A list that admits every name: the only way it can admit a client whose
// name is not known. Its exclusions cannot be held against such a client.
bool AdmitsAnyone(const AccessList &list) {
  for (const std::string &p : list.allow) {
    if (p.find_first_not_of('*') == std::string::npos) return true;
  }
  return false;
}

bool ParseList(const std::string &value, AccessList *list, std::string *error) {
  std::stringstream in(value);
  std::string item;
  while (std::getline(in, item, ',')) {
    item = Trim(item);
    bool deny = !item.empty() && item[0] == '-';
    if (deny) item = Trim(item.substr(1));
    if (item.empty()) {
      *error = "empty name in the list \"" + value + "\"";
      return false;
    }
    (deny ? list->deny : list->allow).push_back(item);
  }
  if (list->allow.empty() && list->deny.empty()) {
    *error = "empty list";
    return false;
  }
  return true;
}

}  // namespace

bool AccessPatternMatch(const std::string &pattern, const std::string &text, bool fold) {
  return MatchFrom(pattern.c_str(), text.c_str(), fold);
}

bool AccessParse(const std::string &text, AccessRules *rules, std::string *error) {
  std::vector<AccessEntry> entries;
  AccessEntry entry;
  bool open = false, have_database = false;
  std::vector<std::string> seen;  // keys given in the open entry
  auto close_entry = [&]() -> bool {
    if (!open) return true;
    if (!have_database) {
      *error = "line " + std::to_string(entry.line) + ": entry without database=";
      return false;
    }
    entries.push_back(entry);
    entry = AccessEntry();
    open = have_database = false;
    seen.clear();
    return true;
  };
  std::stringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    number++;
    std::string line = Trim(raw);
    if (line.empty()) {
      if (!close_entry()) return false;
      continue;
    }
    if (line[0] == '#') continue;
    std::string where = "line " + std::to_string(number) + ": ";
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *error = where + "expected key=value, found \"" + line + "\"";
      return false;
    }
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    for (char &ch : key) ch = (char)tolower((unsigned char)ch);
    if (!open) {
      open = true;
      entry.line = number;
    }
    for (const std::string &k : seen) {
      if (k == key) {
        *error = where + key + "= given twice in one entry";
        return false;
      }
    }
    seen.push_back(key);
    std::string problem;
    bool ok = true;
    if (key == "database") {
      ok = ParseList(value, &entry.databases, &problem);
      have_database = true;
    } else if (key == "read") {
      ok = ParseList(value, &entry.read, &problem);
    } else if (key == "write") {
      ok = ParseList(value, &entry.write, &problem);
    } else if (key == "host") {
      ok = ParseList(value, &entry.hosts, &problem);
    } else if (key == "access") {
      AccessList kinds;
      ok = ParseList(value, &kinds, &problem);
      entry.local = entry.remote = false;
      for (const std::string &k : kinds.allow) {
        if (k == "local") {
          entry.local = true;
        } else if (k == "remote") {
          entry.remote = true;
        } else {
          ok = false;
          problem = "access= takes local and remote, not \"" + k + "\"";
        }
      }
      if (ok && !kinds.deny.empty()) {
        ok = false;
        problem = "access= takes local and remote, not \"-" + kinds.deny[0] + "\"";
      }
    } else {
      ok = false;
      problem = "unknown key \"" + key + "\" (database, read, write, host, access)";
    }
    if (!ok) {
      *error = where + problem;
      return false;
    }
  }
  if (!close_entry()) return false;
  rules->entries = entries;
  rules->from_file = true;
  return true;
}

bool AccessLoad(const std::string &path, bool remote_access, AccessRules *rules, std::string *error) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    if (errno == ENOENT) {
      *rules = AccessRules();
      rules->path = path;
      rules->remote_default = remote_access;
      return true;
    }
    *error = "cannot read access file " + path + ": " + strerror(errno);
    return false;
  }
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    *error = "cannot read access file " + path;
    return false;
  }
  AccessRules parsed;
  std::string problem;
  if (!AccessParse(text, &parsed, &problem)) {
    *error = "access file " + path + ", " + problem;
    return false;
  }
  parsed.path = path;
  *rules = parsed;
  return true;
}

AccessRight AccessDecide(const AccessRules &rules, const AccessClient &client, const std::string &database) {
  if (!rules.from_file) {
    return client.verified || rules.remote_default ? ACCESS_WRITE : ACCESS_NONE;
  }
  for (const AccessEntry &e : rules.entries) {
    if (!Matches(e.databases, database, false)) continue;
    if (client.verified) {
      if (!e.local) return ACCESS_NONE;
      if (Matches(e.write, client.user, false)) return ACCESS_WRITE;
      return Matches(e.read, client.user, false) ? ACCESS_READ : ACCESS_NONE;
    }
    if (!e.remote) return ACCESS_NONE;
    bool host_allowed = false;
    for (const std::string &h : client.hosts) {
      for (const std::string &p : e.hosts.deny) {
        if (AccessPatternMatch(p, h, true)) return ACCESS_NONE;
      }
      for (const std::string &p : e.hosts.allow) host_allowed = host_allowed || AccessPatternMatch(p, h, true);
    }
    if (!host_allowed) return ACCESS_NONE;
    if (AdmitsAnyone(e.write)) return ACCESS_WRITE;
    return AdmitsAnyone(e.read) ? ACCESS_READ : ACCESS_NONE;
  }
  return ACCESS_NONE;
}
