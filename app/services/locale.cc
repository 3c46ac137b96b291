// The locale the toolkit runs under. Its inputs keep a byte only when
// isprint() says so, and it never sets a locale itself: under C or a UTF-8
// locale every byte above 127 is dropped. So LC_CTYPE is set to an ISO 8859-1
// locale for the whole run, once the user's own has told the server's
// charset.
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/services/charset.h"

extern char **environ;

namespace {

// Tried in order. scripts/install-deps.sh makes the first; the others are
// what a desktop may already have.
const char *const kToolkitLocales[] = {"C.ISO-8859-1", "en_US.ISO-8859-1", "de_DE.ISO-8859-1",
                                       "fr_FR.ISO-8859-1", "en_GB.ISO-8859-1"};

bool UseLatin1Locale(const char *name) {
  if (setlocale(LC_CTYPE, name) == nullptr) return false;
  if (strcmp(nl_langinfo(CODESET), "ISO-8859-1") == 0) return true;
  setlocale(LC_CTYPE, "C");
  return false;
}

// The private directory for a locale made at run time.
std::string PrivateLocaleDir(void) {
  const char *cache = getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/korvid/locale";
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + "/.cache/korvid/locale";
}

bool MakeDirectories(const std::string &path) {
  for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// Builds C.ISO-8859-1 into dir with localedef (from the locales package),
// its output thrown away. A fraction of a second, once per user.
bool MakePrivateLocale(const std::string &dir) {
  if (!MakeDirectories(dir)) return false;
  std::string target = dir + "/C.ISO-8859-1";
  const char *argv[] = {"localedef", "-i", "C", "-f", "ISO-8859-1", "--no-archive",
                        target.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int failed = posix_spawnp(&pid, "localedef", &actions, nullptr, const_cast<char **>(argv),
                            environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  // localedef reports warnings in its status; the result is tried anyway.
  return true;
}

// Loads C.ISO-8859-1 from dir through LOCPATH, which is put back as it was
// afterwards so that the printer command and other children see the user's.
bool UsePrivateLocale(const std::string &dir) {
  const char *before = getenv("LOCPATH");
  std::string saved = before != nullptr ? before : "";
  setenv("LOCPATH", dir.c_str(), 1);
  bool ok = UseLatin1Locale("C.ISO-8859-1");
  if (before != nullptr)
    setenv("LOCPATH", saved.c_str(), 1);
  else
    unsetenv("LOCPATH");
  return ok;
}

}  // namespace

int SetUpCharsets(void) {
  const char *user = setlocale(LC_CTYPE, "");
  std::string codeset;
  if (user != nullptr) codeset = nl_langinfo(CODESET);
  const char *name = getenv("LC_ALL");
  if (name == nullptr || name[0] == '\0') name = getenv("LC_CTYPE");
  if (name == nullptr || name[0] == '\0') name = getenv("LANG");
  server_charset = ChooseServerCharset(getenv(CHARSET_VARIABLE),
                                       user != nullptr ? codeset.c_str() : nullptr, name);

  for (const char *candidate : kToolkitLocales)
    if (UseLatin1Locale(candidate)) return 0;
  std::string dir = PrivateLocaleDir();
  // Made first when missing: the C library remembers a locale it failed to
  // find, so it is looked for only once it is there.
  struct stat made;
  if (!dir.empty() &&
      (stat((dir + "/C.ISO-8859-1/LC_CTYPE").c_str(), &made) == 0 || MakePrivateLocale(dir)) &&
      UsePrivateLocale(dir))
    return 0;
  // Typed Latin-1 letters still arrive as single bytes under C, but the
  // inputs drop them when set: such fields are named as not shown exactly.
  setlocale(LC_CTYPE, "C");
  fprintf(stderr,
          "korvid: no ISO 8859-1 locale (C.ISO-8859-1): letters beyond ASCII cannot be "
          "shown in inputs; scripts/install-deps.sh makes it\n");
  return -1;
}
