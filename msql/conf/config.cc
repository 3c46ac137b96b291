// The configuration table, its loader and its lookups. Start at
// msqlConfigLoad; every stored value goes through msqlConfigSet.
#include "msql/conf/config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "msql/conf/config_internal.h"
#include "msql/format.h"

namespace {

// One directive as compiled in: its name, its type, its default, and how
// a file gives its value.
struct ConfigDefault {
  const char *section;
  const char *element;
  int type;
  const char *text_value;
  int int_value;
  bool may_be_null;
  // The whole rest of the line after the '=' is the value, blanks inside
  // included: a libpq connection string is several words ("host=...
  // user=..."). Other values are one word.
  bool rest_of_line;
};

// A directive as the table holds it: its compiled-in description and its
// current value.
struct ConfigEntry {
  const ConfigDefault *fixed;  // null ends the table
  const char *text_value;      // the default, or owned's text once set from a file
  int int_value;
  std::string owned;           // storage of a value read from a file
};

const ConfigDefault kDefaults[] = {
    {"general", "msql_user", CONF_TEXT, "msql", 0, false, false},
    {"general", "admin_user", CONF_TEXT, "root", 0, false, false},
    {"general", "pid_file", CONF_TEXT, "%I/msql2.pid", 0, false, false},
    {"general", "inst_dir", CONF_TEXT, MSQL_INST_DIR, 0, false, false},
    {"general", "db_dir", CONF_TEXT, "%I/msqldb", 0, false, false},
    {"general", "tcp_port", CONF_INT, nullptr, 1114, false, false},
    {"general", "unix_port", CONF_TEXT, "%I/msql2.sock", 0, false, false},
    {"general", "acl_file", CONF_TEXT, "%I/msql.acl", 0, false, false},
    {"system", "msync_timer", CONF_INT, nullptr, 120, false, false},
    {"system", "host_lookup", CONF_INT, nullptr, 1, false, false},
    {"system", "read_only", CONF_INT, nullptr, 0, false, false},
    {"system", "remote_access", CONF_INT, nullptr, 0, false, false},
    {"system", "local_access", CONF_INT, nullptr, 1, false, false},
    {"system", "query_log", CONF_INT, nullptr, 0, false, false},
    {"system", "query_log_file", CONF_TEXT, "%I/query.log", 0, false, false},
    {"system", "statement_timeout", CONF_INT, nullptr, 60, false, false},
    {"system", "idle_timeout", CONF_INT, nullptr, 28800, false, false},
    {"system", "login_timeout", CONF_INT, nullptr, 30, false, false},
    {"system", "write_timeout", CONF_INT, nullptr, 60, false, false},
    {"system", "value_limit", CONF_INT, nullptr, MAX_PACKET, false, false},
    {"postgresql", "conninfo", CONF_TEXT, nullptr, 0, true, true},
    {"postgresql", "allow_server_file_access", CONF_INT, nullptr, 0, false, false},
    {"postgresql", "role_map", CONF_TEXT, nullptr, 0, true, false},
    {"w3-msql", "auth_host", CONF_TEXT, nullptr, 0, true, false},
    {"w3-msql", "footer", CONF_INT, nullptr, 1, false, false},
    {"w3-msql", "force_private", CONF_INT, nullptr, 0, false, false},
    {"w3-msql", "force_suffix", CONF_TEXT, nullptr, 0, true, false},
    {nullptr, nullptr, 0, nullptr, 0, false, false},
};

constexpr int kEntries = sizeof(kDefaults) / sizeof(kDefaults[0]);

ConfigEntry configTable[kEntries];
bool tableReady = false;
int loadedFlag = 0;
int lineCounter = 0;
char expandBuffer[CONF_EXPAND_SIZE];
const char nullText[] = "NULL";

// Lines of the last load that were longer than one read takes, with the
// section each stood in.
struct CutLine {
  int line;
  std::string section;
};
std::vector<CutLine> cutLines;

void ResetTable() {
  for (int i = 0; i < kEntries; i++) {
    ConfigEntry &e = configTable[i];
    e.fixed = kDefaults[i].element != nullptr ? &kDefaults[i] : nullptr;
    e.text_value = kDefaults[i].text_value;
    e.int_value = kDefaults[i].int_value;
    e.owned.clear();
    e.owned.shrink_to_fit();
  }
  cutLines.clear();
  tableReady = true;
}

ConfigEntry *FindEntry(const char *section, const char *element) {
  if (!tableReady) ResetTable();
  if (section == nullptr || element == nullptr) return nullptr;
  for (ConfigEntry *e = configTable; e->fixed != nullptr; e++) {
    if (strcmp(e->fixed->section, section) == 0 && strcmp(e->fixed->element, element) == 0) return e;
  }
  return nullptr;
}

// Formats a candidate path; false when it does not fit, because a cut path
// could name some other file.
bool FormatPath(char *buffer, const char *format, const char *a, const char *b) {
  int n = b ? snprintf(buffer, CONF_PATH_SIZE, format, a, b)
            : snprintf(buffer, CONF_PATH_SIZE, format, a);
  return n >= 0 && n < CONF_PATH_SIZE;
}

bool AllDigits(const char *text) {
  for (const char *p = text; *p; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

// The next token of *cursor delimited by any of delims, strtok-fashion but
// without hidden state; null when only delimiters are left.
char *NextToken(char **cursor, const char *delims) {
  char *p = *cursor + strspn(*cursor, delims);
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char *end = p + strcspn(p, delims);
  if (*end != '\0') {
    *end = '\0';
    end++;
  }
  *cursor = end;
  return p;
}

// Handles one line of at most CONF_LINE_SIZE - 1 characters; section is the
// current section buffer, empty-and-unset until the first header.
void HandleLine(char *line, char *section, bool *haveSection) {
  char *p = line;
  while (*p == ' ' || *p == '\t') p++;
  if (*p == '#' || *p == '\n' || *p == '\r') return;
  if (*p == '[') {
    char *cursor = p + 1;
    char *name = NextToken(&cursor, " \t]");
    // A header with nothing between its brackets names the empty section,
    // which the table does not know: its directives are reported as unknown.
    msqlFormatInto(section, CONF_SECTION_SIZE, "%s", name ? name : "");
    *haveSection = true;
    return;
  }
  char *cursor = p;
  char *element = NextToken(&cursor, " \t=");
  if (element != nullptr) {
    for (char *c = element; *c; c++) *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
  }
  const ConfigEntry *entry = *haveSection ? FindEntry(section, element) : nullptr;
  char *value;
  if (entry != nullptr && entry->fixed->rest_of_line) {
    value = cursor + strspn(cursor, " \t=");
    size_t n = strlen(value);
    while (n > 0 && strchr(" \t\r\n", value[n - 1])) value[--n] = '\0';
    if (n == 0) value = nullptr;
  } else {
    value = NextToken(&cursor, " =\t\n\r");
  }
  if (!*haveSection) {
    msqlConfigError("Directive prior to section header");
    return;
  }
  if (element == nullptr) {
    // Only blanks and equals signs, without a line end: nothing to store.
    msqlConfigError("Invalid Value");
    return;
  }
  msqlConfigSet(section, element, value);
}

}  // namespace

int msqlConfigLoaded(void) { return loadedFlag; }

void msqlConfigError(const char *message) {
  fprintf(stderr, "\nConfig Error : %s at line %d\n", message, lineCounter);
}

int msqlConfigSet(const char *section, const char *element, const char *value) {
  if (value == nullptr) {
    msqlConfigError("Invalid Value");
    return -1;
  }
  ConfigEntry *entry = FindEntry(section, element);
  if (entry == nullptr) {
    char message[CONF_MESSAGE_SIZE];
    msqlFormatInto(message, sizeof message, "Unknown section '%s' or element '%s'",
               section ? section : "", element ? element : "");
    msqlConfigError(message);
    return -1;
  }
  if (entry->fixed->type == CONF_TEXT) {
    if (strcmp(value, "NULL") == 0) {
      entry->text_value = nullptr;
    } else {
      // A repeated directive replaces, and so releases, the text before it.
      entry->owned = value;
      entry->text_value = entry->owned.c_str();
    }
    return 0;
  }
  if (AllDigits(value)) {
    errno = 0;
    long number = strtol(value, nullptr, 10);
    // A number past the integer range would wrap into some other port or
    // timer; it is refused like any other bad value.
    if (errno == ERANGE || number > INT_MAX) {
      msqlConfigError("Invalid value");
    } else {
      entry->int_value = static_cast<int>(number);
    }
    return 0;
  }
  std::string lower(value);
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower == "true") {
    entry->int_value = 1;
  } else if (lower == "false") {
    entry->int_value = 0;
  } else {
    msqlConfigError("Invalid value");
  }
  return 0;
}

const char *msqlConfigExpand(const char *text) {
  if (text == nullptr) return nullptr;
  memset(expandBuffer, 0, sizeof expandBuffer);
  ConfigEntry *inst = FindEntry("general", "inst_dir");
  const char *instDir = inst->text_value ? inst->text_value : nullText;
  std::string out;
  for (const char *p = text; *p; p++) {
    if (p[0] == '%' && p[1] == 'I') {
      out += instDir;
      p++;
    } else {
      out += *p;
    }
    if (out.size() >= sizeof expandBuffer) break;
  }
  msqlFormatInto(expandBuffer, sizeof expandBuffer, "%s", out.c_str());
  return expandBuffer;
}

int msqlConfigGetInt(const char *section, const char *element) {
  ConfigEntry *entry = FindEntry(section, element);
  if (entry == nullptr) return -1;
  if (msqlConfigLookupSeen != nullptr) msqlConfigLookupSeen(section, element);
  return entry->int_value;
}

const char *msqlConfigGetString(const char *section, const char *element) {
  ConfigEntry *entry = FindEntry(section, element);
  if (entry == nullptr) return nullptr;
  if (msqlConfigLookupSeen != nullptr) msqlConfigLookupSeen(section, element);
  if (entry->text_value != nullptr) return msqlConfigExpand(entry->text_value);
  return entry->fixed->may_be_null ? nullptr : nullText;
}

void msqlConfigReadStream(FILE *file) {
  char line[CONF_LINE_SIZE];
  char section[CONF_SECTION_SIZE] = "";
  bool haveSection = false;
  // The loop runs while the last read did not reach end-of-file, so a last
  // line without a newline is read but not handled; the server reads the
  // file the same way, and both must agree on the ports.
  lineCounter++;
  char *got = fgets(line, sizeof line, file);
  while (!feof(file)) {
    if (got == nullptr) break;  // a read error: never handle a stale buffer
    // A full buffer without the line's end: the rest comes as the next line.
    size_t n = strlen(line);
    bool cut = n == sizeof line - 1 && line[n - 1] != '\n';
    HandleLine(line, section, &haveSection);
    if (cut) cutLines.push_back({lineCounter, haveSection ? section : ""});
    lineCounter++;
    got = fgets(line, sizeof line, file);
  }
}

int msqlConfigLoad(const char *file) {
  if (!tableReady) ResetTable();
  loadedFlag = 1;
  lineCounter = 0;
  cutLines.clear();
  FILE *fp = nullptr;
  char path[CONF_PATH_SIZE];
  if (file != nullptr) {
    if (FormatPath(path, "%s/%s", MSQL_INST_DIR, file)) fp = fopen(path, "r");
    if (fp == nullptr && FormatPath(path, "%s/%s.conf", MSQL_INST_DIR, file)) {
      fp = fopen(path, "r");
    }
    if (fp == nullptr && FormatPath(path, "%s", file, nullptr)) fp = fopen(path, "r");
    if (fp == nullptr) {
      printf("Load of %s failed\n", file);
      fflush(stdout);
      return -1;
    }
  } else {
    if (FormatPath(path, "%s/msql.conf", MSQL_INST_DIR, nullptr)) fp = fopen(path, "r");
    const char *fromEnv = getenv("MSQL_CONF_FILE");
    if (fp == nullptr && fromEnv != nullptr) fp = fopen(fromEnv, "r");
    if (fp == nullptr) return -1;
  }
  msqlConfigReadStream(fp);
  fclose(fp);
  return 0;
}

void msqlConfigReset(void) {
  ResetTable();
  loadedFlag = 0;
  lineCounter = 0;
  memset(expandBuffer, 0, sizeof expandBuffer);
}

int msqlConfigCutLine(const char *section) {
  for (const CutLine &cut : cutLines) {
    if (cut.section == section) return cut.line;
  }
  return 0;
}

void (*msqlConfigLookupSeen)(const char *section, const char *element) = nullptr;
