// Show All and the choice of a table on a large table, as the user meets
// them, measured side by side in one run against the way the program did
// both before it read rows as they arrive: the record count stored the
// whole result to take its number of rows, and Show All read the whole
// reply, then stored it, then added the lines. The old ways are made here
// from the same calls the program made then, so that both sides share this
// build's client library and toolkit, and only what changed is compared.
// Prints, for the choice, its time and the peak memory it took over an
// empty table's; for Show All, the time to the first lines on screen, to
// the whole list, the peak memory per row and what is left after the list
// is closed. Runs in its own Xvfb; not a test.
//
//   show_all [ROWS] [--runs N]
//       its own korvid-server over SQLite (default 100,000 rows of 5
//       columns), without a statement time limit
//   show_all --server MSQL_CONF DATABASE TABLE EMPTY_TABLE [--runs N]
//       a korvid-server already running (bench/show_all.sh starts them, over
//       SQLite and over PostgreSQL, each without a statement time limit, so
//       that a fetch on a loaded machine is measured, not cancelled)
#include <X11/Xlib.h>
#include <ctype.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/services/fonts.h"
#include "app/mainform.h"
#include "msql/conf/config.h"
#include "tests/support/server_fixture.h"
#include "tests/support/xvfb.h"
#include "views/views.h"

namespace {

double Now(void) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t xvfb = -1;

void StopXvfb(void) { StopTestXvfb(xvfb); }

// A private Xvfb on a display it chooses itself; sets DISPLAY.
bool StartXvfb(void) {
  std::string display;
  xvfb = StartTestXvfb("", &display);
  if (xvfb < 0) return false;
  atexit(StopXvfb);
  setenv("DISPLAY", display.c_str(), 1);
  return true;
}

// The table: an Integer key, two Character columns, a Real and a Free text.
bool WriteScript(const std::string &path, int rows) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return false;
  fprintf(f,
          "CREATE TABLE big (id int not null, name char(20), city char(16), amount real, "
          "note text(30));\n"
          "CREATE UNIQUE INDEX big_id ON big (id);\n"
          "CREATE TABLE big_empty (id int not null, name char(20), city char(16), amount real, "
          "note text(30));\n"
          "CREATE UNIQUE INDEX big_empty_id ON big_empty (id);\n");
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

// The moment the list of Show All first has lines on screen: a timeout
// that the toolkit's loop runs while the rows arrive looks for them, and
// waits for the X server to have drawn them.
double first_lines = 0;
int look_timeout = 0;  // the pending look, 0 when none
void LookForLines(int, void *) {
  look_timeout = 0;
  for (ListForm *list : ListWindows())
    if (fl_get_browser_maxline(list->browser) > 0) {
      XSync(fl_get_display(), False);
      first_lines = Now();
      return;
    }
  look_timeout = fl_add_timeout(1, LookForLines, nullptr);
}

// The process's peak resident memory since the last ResetPeak, in KiB
// (VmHWM); -1 where the system cannot reset it, since a peak from before
// would then be read as this step's.
bool peak_resets = true;
void ResetPeak(void) {
  FILE *f = fopen("/proc/self/clear_refs", "w");
  if (!f || fputs("5", f) < 0 || fclose(f) != 0) peak_resets = false;
  if (f == nullptr) peak_resets = false;
}
long PeakKilobytes(void) {
  if (!peak_resets) return -1;
  long peak = -1;
  char line[256];
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmHWM: %ld", &peak) == 1) break;
  fclose(f);
  return peak;
}

// Gives back what a step left free, as closing a list does, so that the
// next step starts from the same memory.
void Settle(void) {
  msqlReleaseMemory();
  malloc_trim(0);
}

double Best(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

void PrintLoad(const char *when) {
  char load[128] = "";
  FILE *f = fopen("/proc/loadavg", "r");
  if (f) {
    if (!fgets(load, sizeof load, f)) load[0] = '\0';
    fclose(f);
  }
  load[strcspn(load, "\n")] = '\0';
  printf("load average %-6s %s\n", when, load);
}

// The record count the main window shows.
int ShownCount(MainForm *mainform) { return atoi(fl_get_object_label(mainform->records_count)); }

// Choosing the table as the user does, its record count included: the time
// until both counts are drawn and the peak resident memory it took, over an
// empty table of the same columns and over the big one; beside it the count
// as it was made before, by storing the whole result and taking its number
// of rows.
int ChooseBench(MainForm *mainform, const char *table, const char *empty, int runs) {
  std::vector<double> now, before;
  long now_peak = 0, empty_peak = 0, before_peak = 0;
  int rows = 0;
  for (int run = 0; run < runs; run++) {
    no_record_count = 0;
    Settle();
    long start_kb = ResidentKilobytes();
    ResetPeak();
    SelectTable(empty, mainform);
    Drain();
    empty_peak = std::max(empty_peak, PeakKilobytes() - start_kb);

    Settle();
    start_kb = ResidentKilobytes();
    ResetPeak();
    double start = Now();
    SelectTable(table, mainform);
    Drain();
    now.push_back(Now() - start);
    now_peak = std::max(now_peak, PeakKilobytes() - start_kb);
    rows = ShownCount(mainform);

    // Before: the same choice without the count, then the whole result
    // stored and its rows counted.
    Settle();
    start_kb = ResidentKilobytes();
    ResetPeak();
    no_record_count = 1;
    start = Now();
    SelectTable(table, mainform);
    int stored = 0;
    std::string statement = "SELECT * FROM " + QuoteName(table) + " ";
    if (mainform->info != nullptr && ExecuteQuery(mainform->info, statement.c_str()) == 0) {
      ResultHandle *res = msqlStoreResult();
      if (res != nullptr) stored = msqlNumRows(res);
      msqlFreeResult(res);
    }
    ShowCounts(mainform->info != nullptr ? mainform->info->nfields : 0, stored, mainform);
    Drain();
    before.push_back(Now() - start);
    before_peak = std::max(before_peak, PeakKilobytes() - start_kb);
    no_record_count = 0;
    if (mainform->info == nullptr || dialogs_shown || rows <= 0 || stored != rows) {
      fprintf(stderr, "show_all: choosing %s counted %d rows, stored %d\n", table, rows, stored);
      return -1;
    }
  }
  // The big table stays chosen, counted, for Show All.
  Settle();
  SelectTable(table, mainform);
  Drain();
  printf("choosing the table, %d rows (best of %d): now / before (whole result stored to count it)\n", rows, runs);
  printf("  time to both counts shown    %8.3f s / %.3f s  (%.2fx)\n", Best(now), Best(before),
         Best(now) / Best(before));
  printf("  peak memory taken            %8.1f MB / %.1f MB\n", now_peak / 1024.0, before_peak / 1024.0);
  printf("  over an empty table's        %8.1f MB  (empty table: %.1f MB; goal under 20 MB)\n",
         (now_peak - empty_peak) / 1024.0, empty_peak / 1024.0);
  return rows;
}

// Show All as it was before the list showed its rows while they arrive: the
// statement sent and its reply read whole, the window opened, the result
// stored and every line added with drawing suspended (the same calls the
// program made then).
void ShowAllBefore(MainForm *mainform) {
  Info *info = MainTable(mainform);
  std::string statement = "SELECT * FROM " + QuoteName(info->table) + " ORDER BY " +
                          QuoteName(info->fields[info->pkey].name) + " ";
  if (ExecuteQuery(info, statement.c_str()) != 0) return;
  ListForm *list = OpenShower(info, "Show All Records", SHOW_ALL);
  list->info->res = msqlStoreResult();
  if (list->info->res == nullptr) return;
  FillRecordLines(list);
}

struct ShowAllFigures {
  std::vector<double> total, first;
  long peak_kb = 0;  // the most any run took above where it started
  long left_kb = 0;  // the most any run left after its list was closed
};

// One Show All, now or before, from the button to the filled and drawn
// list, then closed; false when the list did not come whole.
bool ShowAllRun(MainForm *mainform, int rows, bool now, ShowAllFigures *f) {
  Settle();
  long start_kb = ResidentKilobytes();
  ResetPeak();
  first_lines = 0;
  look_timeout = fl_add_timeout(1, LookForLines, nullptr);
  double start = Now();
  if (now)
    ShowAllRecords(nullptr, reinterpret_cast<long>(mainform));
  else
    ShowAllBefore(mainform);
  Drain();
  double end = Now();
  if (look_timeout != 0) fl_remove_timeout(look_timeout);
  look_timeout = 0;
  f->total.push_back(end - start);
  f->first.push_back((first_lines > 0 ? first_lines : end) - start);
  f->peak_kb = std::max(f->peak_kb, PeakKilobytes() - start_kb);
  std::vector<ListForm *> lists = ListWindows();
  int lines = lists.size() == 1 ? fl_get_browser_maxline(lists[0]->browser) : -1;
  for (ListForm *list : lists) ShowerClose(nullptr, reinterpret_cast<long>(list));
  Drain();
  f->left_kb = std::max(f->left_kb, ResidentKilobytes() - start_kb);
  if (lines != rows || dialogs_shown) {
    fprintf(stderr, "show_all: Show All (%s) listed %d lines of %d\n", now ? "now" : "before", lines, rows);
    return false;
  }
  return true;
}

int ShowAllBench(MainForm *mainform, int rows, int runs) {
  ShowAllFigures now, before;
  // Alternated, and each pair begun by the other side each time, so that
  // the machine's load falls on both alike.
  for (int run = 0; run < runs; run++) {
    bool now_first = run % 2 == 0;
    if (!ShowAllRun(mainform, rows, now_first, now_first ? &now : &before)) return 1;
    if (!ShowAllRun(mainform, rows, !now_first, now_first ? &before : &now)) return 1;
  }
  double per_row_now = now.peak_kb * 1024.0 / rows, per_row_before = before.peak_kb * 1024.0 / rows;
  printf("Show All, %d rows (best of %d, side by side): now / before (reply read whole, then the lines)\n",
         rows, runs);
  printf("  first lines on screen        %8.3f s / %.3f s  (goal under 0.2 s)\n", Best(now.first),
         Best(before.first));
  printf("  whole list drawn             %8.3f s / %.3f s  (%.2fx; goal 1.20x)\n", Best(now.total),
         Best(before.total), Best(now.total) / Best(before.total));
  printf("  peak memory per row          %8.0f B / %.0f B  (%.2fx; goal 1.00x)\n", per_row_now, per_row_before,
         per_row_now / per_row_before);
  printf("  left after closing the list  %8.1f MB / %.1f MB  (goal under 10 MB)\n", now.left_kb / 1024.0,
         before.left_kb / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with the server's warnings
  int rows = 100000, runs = 3;
  const char *conf = nullptr, *database = "bench", *table = "big", *empty = "big_empty";
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--server" && i + 4 < argc) {
      conf = argv[++i];
      database = argv[++i];
      table = argv[++i];
      empty = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, atoi(argv[++i]));
    } else if (isdigit(static_cast<unsigned char>(a[0]))) {
      rows = std::max(1, atoi(a.c_str()));
    } else {
      fprintf(stderr,
              "usage: show_all [ROWS] [--runs N]\n"
              "       show_all --server MSQL_CONF DATABASE TABLE EMPTY_TABLE [--runs N]\n");
      return 2;
    }
  }
  ServerFixture *server = nullptr;
  if (conf != nullptr) {
    setenv("MSQL_CONF_FILE", conf, 1);
    if (msqlConfigLoad(conf) != 0) {
      fprintf(stderr, "show_all: cannot read %s\n", conf);
      return 1;
    }
  } else {
    char dir[] = "/tmp/korvid-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string script = std::string(dir) + "/big.sql";
    double t0 = Now();
    if (!WriteScript(script, rows)) return 1;
    ServerFixtureOptions options;
    options.databases.push_back({"bench", script});
    // No statement time limit: on a loaded machine a long fetch must be
    // measured, not cancelled.
    options.extra_system = "statement_timeout = 0";
    std::string error;
    server = ServerFixtureStart(options, &error);
    unlink(script.c_str());
    rmdir(dir);
    if (!server) {
      fprintf(stderr, "show_all: no server: %s\n", error.c_str());
      return 1;
    }
    fprintf(stderr, "loaded %d rows in %.1f s\n", rows, Now() - t0);
  }
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
  ConnectServer(nullptr, mainform);
  OpenDatabase(database, mainform);
  Drain();
  if (dialogs_shown) {
    fprintf(stderr, "show_all: cannot open database %s\n", database);
    return 1;
  }
  PrintLoad("before");
  int counted = ChooseBench(mainform, table, empty, runs);
  int status = counted > 0 ? ShowAllBench(mainform, counted, runs) : 1;
  PrintLoad("after");
  if (!peak_resets) printf("(peak memory not measured: /proc/self/clear_refs cannot be written)\n");
  ServerFixtureStop(server);
  return status;
}
