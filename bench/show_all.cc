// Show All on a large table, measured against its two floors: (a) the client
// library fetching and walking the same rows, (b) the toolkit filling a bare
// list with the same lines, (c) the whole "Show All" from the button's
// callback to the filled and drawn list. Prints the three and c/(a+b), the
// time to the first lines on screen, and the memory the list holds and
// leaves after it is closed.
// Runs its own Xvfb and korvid-server; not a test.
//
//   show_all [rows]             (default 100000 rows of 5 columns)
//   show_all --select [rows]    choosing the table, whose record count
//                               fetches it whole: time from the choice to
//                               the counts shown, and peak memory
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/services/fonts.h"
#include "app/mainform.h"
#include "tests/support/server_fixture.h"
#include "views/views.h"

namespace {

const int kRuns = 5;

double Now(void) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t xvfb = -1;

void StopXvfb(void) {
  if (xvfb > 0) {
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
  }
}

// A private Xvfb on a display it chooses itself; sets DISPLAY.
bool StartXvfb(void) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  xvfb = fork();
  if (xvfb < 0) return false;
  if (xvfb == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close(fds[0]);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    char fd[16];
    snprintf(fd, sizeof fd, "%d", fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
           (char *)nullptr);
    _exit(127);
  }
  close(fds[1]);
  atexit(StopXvfb);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) return false;
  setenv("DISPLAY", (":" + number).c_str(), 1);
  return true;
}

// The table: an Integer key, two Character columns, a Real and a Free text.
bool WriteScript(const std::string &path, int rows) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return false;
  fprintf(f,
          "CREATE TABLE big (id int not null, name char(20), city char(16), amount real, "
          "note text(30));\n"
          "CREATE UNIQUE INDEX big_id ON big (id);\n");
  static const char *cities[] = {"Berlin", "Hamburg", "Lisboa", "Dublin", "Warszawa", "Oslo"};
  for (int i = 1; i <= rows; i++)
    fprintf(f, "INSERT INTO big VALUES (%d, 'Name number %d', '%s', %d.%02d, 'note of row %d');\n", i,
            i, cities[i % 6], i % 10000, i % 100, i);
  return fclose(f) == 0;
}

// Answers every dialog at once; a dialog during a run spoils it, so each
// one is counted.
int dialogs_shown = 0;
int Question(const char *, int) { return dialogs_shown++, 0; }
void Alert(const char *t, const char *, const char *l3, int) {
  dialogs_shown++;
  fprintf(stderr, "alert: %s %s\n", t, l3);
}
void Message(const char *, const char *t, const char *) {
  dialogs_shown++;
  fprintf(stderr, "message: %s\n", t);
}
const char *Input(const char *, const char *) { return dialogs_shown++, nullptr; }
int Choices(const char *, int, const char *, const char *, const char *, int) { return dialogs_shown++, 3; }
const char *Fselector(const char *, const char *, const char *, const char *) {
  return dialogs_shown++, nullptr;
}

void Drain(void) {
  XSync(fl_get_display(), False);
  fl_check_forms();
  XSync(fl_get_display(), False);
}

long ResidentKilobytes(void) {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (f) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The list windows now shown, found through the X window tree.
std::vector<ListForm *> ListWindows(void) {
  std::vector<ListForm *> lists;
  Display *display = fl_get_display();
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
    return lists;
  for (unsigned int i = 0; i < count; i++) {
    FL_FORM *form = fl_win_to_form(children[i]);
    if (form && form->label && strcmp(form->label, "Shower") == 0 && form->u_vdata)
      lists.push_back(static_cast<ListForm *>(form->u_vdata));
  }
  if (children) XFree(children);
  return lists;
}

// The moment the list of Show All first has lines: a timeout that the
// toolkit's loop runs while the rows arrive looks for them.
double first_lines = 0;
int look_timeout = 0;  // the pending look, 0 when none
void LookForLines(int, void *) {
  look_timeout = 0;
  for (ListForm *list : ListWindows())
    if (fl_get_browser_maxline(list->browser) > 0) {
      first_lines = Now();
      return;
    }
  look_timeout = fl_add_timeout(1, LookForLines, nullptr);
}

long PeakKilobytes(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

// Choosing the table with its record count, as the table choice does: the
// time until both counts are drawn, best of the runs, and the process's
// peak resident memory before the first choice and after the last.
int SelectBench(MainForm *mainform, int rows) {
  no_record_count = 0;
  long peak_before = PeakKilobytes();
  double best = 1e9;
  for (int run = 0; run < kRuns; run++) {
    double start = Now();
    SelectTable("big", mainform);
    Drain();
    best = std::min(best, Now() - start);
    const char *shown = fl_get_object_label(mainform->records_count);
    if (mainform->info == nullptr || dialogs_shown || atoi(shown) != rows) {
      fprintf(stderr, "show_all: the choice showed %s records\n", shown);
      return 1;
    }
  }
  printf("choosing a table of %d rows x 5 columns, to the counts shown (best of %d)\n", rows, kRuns);
  printf("time                         %8.3f s\n", best);
  printf("peak memory before / after   %8ld / %ld KiB\n", peak_before, PeakKilobytes());
  return 0;
}

int main(int argc, char **argv) {
  bool select = argc > 1 && strcmp(argv[1], "--select") == 0;
  if (select) argv++, argc--;
  int rows = argc > 1 ? atoi(argv[1]) : 100000;
  if (rows <= 0) rows = 100000;
  char dir[] = "/tmp/korvid-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string script = std::string(dir) + "/big.sql";
  double t0 = Now();
  if (!WriteScript(script, rows)) return 1;
  ServerFixtureOptions options;
  options.databases.push_back({"bench", script});
  std::string error;
  ServerFixture *server = ServerFixtureStart(options, &error);
  unlink(script.c_str());
  rmdir(dir);
  if (!server) {
    fprintf(stderr, "show_all: no server: %s\n", error.c_str());
    return 1;
  }
  fprintf(stderr, "loaded %d rows in %.1f s\n", rows, Now() - t0);
  // Started only now: a display left idle through a long load was found
  // gone on a shared machine.
  if (!StartXvfb()) {
    fprintf(stderr, "show_all: cannot start Xvfb\n");
    return 1;
  }

  static char name[] = "show_all";
  static char *fake_argv[] = {name, nullptr};
  int fake_argc = 1;
  AskForLayoutFonts(fake_argc, fake_argv);
  if (!fl_initialize(&fake_argc, fake_argv, nullptr, nullptr, 0)) return 1;
  dialogs = DialogSeam{Question, Alert, Message, Input, Choices, Fselector};

  MainForm *mainform = CreateMainForm();
  fl_show_form(mainform->form, FL_PLACE_CENTER, FL_FULLBORDER, "Korvid");
  no_record_count = 1;  // choosing the table must not run a query of its own
  ConnectServer(nullptr, mainform);
  OpenDatabase("bench", mainform);
  SelectTable("big", mainform);
  if (mainform->info == nullptr || dialogs_shown) {
    fprintf(stderr, "show_all: cannot open the table\n");
    return 1;
  }
  if (select) {
    int status = SelectBench(mainform, rows);
    ServerFixtureStop(server);
    return status;
  }
  const char *statement = "SELECT * FROM big ORDER BY id ";
  std::vector<double> a, b, c, first;
  long window_kb = 0, left_kb = 0;

  // The lines themselves, for the bare list: exactly what Show All adds.
  std::vector<std::string> lines;
  lines.reserve(static_cast<size_t>(rows));

  for (int run = 0; run < kRuns; run++) {
    // (a) the library: send, receive, store, walk every value.
    double start = Now();
    if (msqlQuery(sock, statement) < 0) return 1;
    ResultHandle *res = msqlStoreResult();
    if (!res) return 1;
    size_t bytes = 0;
    while (char **row = msqlFetchRow(res))
      for (int i = 0; i < res->numFields; i++)
        if (row[i]) bytes += strlen(row[i]);
    a.push_back(Now() - start);
    if (run == 0) {
      msqlDataSeek(res, 0);
      while (char **row = msqlFetchRow(res)) lines.push_back(RecordLine(mainform->info, row));
      fprintf(stderr, "%d rows, %zu bytes of values, lines of %zu characters\n", res->numRows,
              bytes, lines.empty() ? 0 : lines[0].size());
    }
    msqlFreeResult(res);

    // (b) the toolkit: a bare list like the window's, frozen while filled.
    FL_FORM *form = fl_bgn_form(FL_NO_BOX, 730, 320);
    FL_OBJECT *browser = fl_add_browser(FL_HOLD_BROWSER, 10, 75, 710, 235, "");
    fl_end_form();
    fl_set_browser_specialkey(browser, 0);
    fl_set_browser_fontsize(browser, 12);
    fl_set_browser_fontstyle(browser, FL_FIXEDBOLD_STYLE);
    // Shown and filled at once, as the list window is: the toolkit's
    // cheapest way to a filled and drawn list.
    start = Now();
    fl_show_form(form, FL_PLACE_MOUSE | FL_FREE_SIZE, FL_FULLBORDER, "Bare");
    fl_freeze_form(form);
    for (const std::string &line : lines) fl_add_browser_line(browser, line.c_str());
    fl_unfreeze_form(form);
    Drain();
    b.push_back(Now() - start);
    fl_hide_form(form);
    fl_free_form(form);

    // (c) the whole Show All.
    long before_kb = ResidentKilobytes();
    first_lines = 0;
    look_timeout = fl_add_timeout(1, LookForLines, nullptr);
    start = Now();
    ShowAllRecords(nullptr, reinterpret_cast<long>(mainform));
    Drain();
    c.push_back(Now() - start);
    if (look_timeout != 0) fl_remove_timeout(look_timeout);
    look_timeout = 0;
    first.push_back(first_lines > 0 ? first_lines - start : Now() - start);
    if (run == 0) window_kb = ResidentKilobytes() - before_kb;
    for (ListForm *list : ListWindows()) ShowerClose(nullptr, reinterpret_cast<long>(list));
    Drain();
    if (run == 0) left_kb = ResidentKilobytes() - before_kb;
    if (dialogs_shown) {
      fprintf(stderr, "show_all: a dialog came up during the run\n");
      return 1;
    }
  }

  double best_a = *std::min_element(a.begin(), a.end());
  double best_b = *std::min_element(b.begin(), b.end());
  double best_c = *std::min_element(c.begin(), c.end());
  printf("Show All on %d rows x 5 columns (best of %d runs)\n", rows, kRuns);
  printf("(a) library fetch + walk     %8.3f s\n", best_a);
  printf("(b) bare list fill           %8.3f s\n", best_b);
  printf("(c) whole Show All           %8.3f s\n", best_c);
  printf("ratio c / (a + b)            %8.2f   (target <= 1.20)\n", best_c / (best_a + best_b));
  printf("(c) first lines on screen    %8.3f s\n", *std::min_element(first.begin(), first.end()));
  printf("list window of Show All      %8ld KiB resident\n", window_kb);
  printf("left after closing the list  %8ld KiB resident\n", left_kb);
  printf("peak memory of the process   %8ld KiB\n", PeakKilobytes());
  ServerFixtureStop(server);
  return 0;
}
