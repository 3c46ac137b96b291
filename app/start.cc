// Start-up: the command line after the toolkit has taken its own options,
// the first connection, the remaining widget settings, and the database and
// table named on the command line.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "app/mainform.h"
#include "resources/logo.h"

void Usage(const char *program) {
  fprintf(stderr, "\nUsage  : %s [options] [<database> [<table>]]\n", program);
  fprintf(stderr, "Options: -h <host> : set remote database server\n");
  fprintf(stderr, "         -c        : disable record count display\n");
  exit(1);
}

// Takes a row ceiling written as a whole number from 0 up; false for any
// other text, the ceiling unchanged.
static bool ReadCeiling(const char *text) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 0 || value > INT_MAX) return false;
  row_ceiling = static_cast<int>(value);
  return true;
}

void ParseArguments(int argc, char **argv, MainForm *mainform) {
  const char *program = argc > 0 && argv[0] ? argv[0] : "korvid";
  // The environment's ceiling, which -m overrides; one that cannot be read
  // is said and left out.
  const char *ceiling = getenv("KORVID_MAX_ROWS");
  if (ceiling != nullptr && ceiling[0] != '\0' && !ReadCeiling(ceiling))
    fprintf(stderr, "KORVID_MAX_ROWS is not a number of rows: %s\n", ceiling);
  mainform->info = nullptr;
  bool host_given = false;

  // Options come first; only the character after '-' counts ("-hxyz" is
  // -h). The first argument without '-' ends them, even if more follow.
  int i = 1;
  while (i < argc && argv[i][0] == '-') {
    switch (argv[i][1]) {
      case 'c':
        no_record_count = 1;
        i++;
        break;
      case 'm':
        if (i + 1 >= argc || !ReadCeiling(argv[i + 1])) Usage(program);
        i += 2;
        break;
      case 'h':
        // "-h" last: no host, so the local server.
        ConnectServer(i + 1 < argc ? argv[i + 1] : nullptr, mainform);
        host_given = true;
        i += 2;
        break;
      default:
        Usage(program);
    }
  }
  int positional = argc > i ? argc - i : 0;
  if (positional > 2) Usage(program);

  if (!host_given) ConnectServer(nullptr, mainform);

  fl_set_pixmap_data(mainform->logo, const_cast<char **>(korvid_logo));
  fl_set_browser_hscrollbar(mainform->messages, FL_ON);
  fl_set_browser_vscrollbar(mainform->messages, FL_ON);
  fl_set_goodies_font(FL_NORMAL_STYLE, FL_NORMAL_SIZE);

  if (positional >= 1) OpenDatabase(argv[i], mainform);
  if (positional == 2) SelectTable(argv[i + 1], mainform);
}
