// The list window ("Shower"): all records of a table, a free query's rows or
// a table's field descriptions, one fixed-width line each. OpenShower builds
// and shows an empty window; the opener fills it. Start at ShowAllRecords.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/services/buttons.h"
#include "app/services/charset.h"
#include "app/mainform.h"
#include "records/records.h"
#include "views/views.h"

// Field-description windows still pointing at an Info of the main window;
// DetachFieldWindows cuts them loose before that Info is freed.
static std::vector<ListForm *> field_windows;

static ListForm *ListOf(long data) { return reinterpret_cast<ListForm *>(data); }

static int ShowerWindowClosed(FL_FORM *form, void *data);
static void ShowerStop(FL_OBJECT *, long data);

ListForm *CreateShower(void) {
  ListForm *list = new ListForm();
  long self = reinterpret_cast<long>(list);
  FL_OBJECT *obj;

  list->form = fl_bgn_form(FL_NO_BOX, 730, 320);
  fl_add_box(FL_UP_BOX, 0, 0, 730, 320, "");

  obj = fl_add_frame(FL_ENGRAVED_FRAME, 10, 35, 710, 35, "");
  fl_set_object_gravity(obj, FL_North, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_X);

  list->title = obj = fl_add_text(FL_NORMAL_TEXT, 110, 10, 400, 20, "");
  fl_set_object_lsize(obj, FL_MEDIUM_SIZE);
  fl_set_object_lalign(obj, FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
  fl_set_object_lstyle(obj, FL_EMBOSSED_STYLE);
  fl_set_object_gravity(obj, FL_North, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_X);

  // Every button answers to Alt and the underlined letter of its label, and
  // keeps its place and size when the window is resized. They are made in
  // two runs, around the counter, the list and the credit label, in the
  // order the window has always made its objects.
  const ButtonLook look = {80, 25, 0, true};
  const ButtonSpec left[] = {
      {"Close", 20, 40, "#c", ShowerClose},
      {"Print", 115, 40, "#p", ShowerPrint},
  };
  AddButtons(look, left, self);

  list->fontsize = obj = fl_add_counter(FL_SIMPLE_COUNTER, 600, 40, 90, 25, "Set FontSize");
  fl_set_object_lalign(obj, FL_ALIGN_LEFT);
  fl_set_object_gravity(obj, FL_NorthEast, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_callback(obj, ShowerFontSize, self);

  list->browser = obj = fl_add_browser(FL_HOLD_BROWSER, 10, 75, 710, 235, "");
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);

  obj = fl_add_text(FL_NORMAL_TEXT, 570, 10, 150, 20, "Korvid list");
  fl_set_object_lalign(obj, FL_ALIGN_INSIDE | FL_ALIGN_RIGHT);
  fl_set_object_gravity(obj, FL_NorthEast, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);

  const ButtonSpec right[] = {
      {"Write To File", 210, 40, "#w", ShowerWriteFile},
      {"Modify", 305, 40, "#m", ShowerModify, &list->modify},
      // Shown only while the rows of Show All arrive; Escape takes it too.
      {"Stop", 400, 40, "#s^[", ShowerStop, &list->stop},
  };
  AddButtons(look, right, self);
  fl_hide_object(list->stop);

  fl_end_form();
  list->form->u_vdata = list;
  // The window manager's close button acts as Close; without this the
  // toolkit would end the whole program.
  fl_set_form_atclose(list->form, ShowerWindowClosed, list);
  return list;
}

ListForm *OpenShower(Info *info, const char *title, int mode) {
  ListForm *list = CreateShower();
  list->info = CopyInfo(info);
  fl_set_object_label(list->title, title);

  fl_set_counter_value(list->fontsize, 12);
  fl_set_counter_bounds(list->fontsize, 6, 24);
  fl_set_counter_step(list->fontsize, 2, 0);
  fl_set_counter_precision(list->fontsize, 0);

  switch (mode) {
    case SHOW_ALL:
      fl_set_browser_dblclick_callback(list->browser, ShowerModify, reinterpret_cast<long>(list));
      fl_activate_object(list->modify);
      fl_set_object_lcol(list->modify, FL_BLACK);
      break;
    case SHOW_FIELDS:
      fl_set_browser_dblclick_callback(list->browser, SetPrimaryKey, reinterpret_cast<long>(list));
      list->origin = info;
      field_windows.push_back(list);
      /* fall through */
    case SHOW_FREE:
      fl_deactivate_object(list->modify);
      fl_set_object_lcol(list->modify, FL_INACTIVE);
      break;
    default:
      break;
  }
  // Record lists show every value as it is: a leading "@" must not be read
  // as a format code. The field descriptions keep their colour prefix.
  if (mode != SHOW_FIELDS) fl_set_browser_specialkey(list->browser, 0);

  fl_set_browser_fontsize(list->browser, 12);
  fl_set_browser_fontstyle(list->browser, FL_FIXEDBOLD_STYLE);
  fl_show_form(list->form, PlaceBesideMainWindow(list->form) | FL_FREE_SIZE, FL_FULLBORDER, "Shower");
  BringToFront(list->form);
  return list;
}

void DetachFieldWindows(const Info *origin) {
  for (ListForm *list : field_windows)
    if (list->origin == origin) list->origin = nullptr;
}

// Everything a list window owns, released; the form itself is left to the
// caller, which either frees it (Close) or lets the toolkit hide it.
static void ReleaseShower(ListForm *list) {
  field_windows.erase(std::remove(field_windows.begin(), field_windows.end(), list),
                      field_windows.end());
  if (list->info != nullptr) {
    if (list->info->res != nullptr) msqlFreeResult(list->info->res);
    FreeInfo(list->info);
    list->info = nullptr;
  }
  // The lines go too, and what the rows and lines of a long list took goes
  // back to the system rather than staying with the process.
  fl_clear_browser(list->browser);
  msqlReleaseMemory();
  malloc_trim(0);
}

void ShowerClose(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  // The fetch under way ends first; it closes the window then.
  if (list->fetching) {
    list->close_asked = true;
    return;
  }
  ReleaseShower(list);
  fl_hide_form(list->form);
  fl_free_form(list->form);
  delete list;
}

static void FreeClosedForm(int, void *form) { fl_free_form(static_cast<FL_FORM *>(form)); }

// The window manager's close button: the toolkit hides the form itself once
// this returns, so the form is freed a moment later, outside its handling.
static int ShowerWindowClosed(FL_FORM *form, void *data) {
  ListForm *list = static_cast<ListForm *>(data);
  if (list->fetching) {
    list->close_asked = true;
    return FL_IGNORE;
  }
  ReleaseShower(list);
  delete list;
  form->u_vdata = nullptr;
  fl_add_timeout(0, FreeClosedForm, form);
  return FL_OK;
}

// How the printing child's command ended, sent to the window in one write
// on a pipe (a pipe takes up to PIPE_BUF bytes in one piece).
enum PrintOutcome { PRINT_DONE, PRINT_NOT_STARTED, PRINT_EXITED, PRINT_SIGNALLED };
struct PrintReport {
  int outcome;  // a PrintOutcome
  int value;    // the errno, exit status or signal
  char said[240];  // the last line the command wrote to its standard error
};

// A Print whose command has not ended yet: the pipe its child reports on.
// It belongs to no window, so that a list closed meanwhile harms nothing.
struct PrintWatch {
  int fd;
  std::string command;  // as typed, in the toolkit's charset
  PrintReport report;
  size_t got;
  bool done;
};

static void PrintReported(int, void *data);

// Reports what the command did; outside the toolkit's handling of the pipe,
// which this ends, since the toolkit may still walk its list of them.
static void PrintAnswered(int, void *data) {
  PrintWatch *watch = static_cast<PrintWatch *>(data);
  fl_remove_io_callback(watch->fd, FL_READ, PrintReported);
  close(watch->fd);
  const PrintReport &r = watch->report;
  std::string text = "Printing failed: the command " + watch->command;
  char detail[64] = "";
  if (watch->got < sizeof r) {
    text = "Printing failed: the printing process ended before its command";
  } else if (r.outcome == PRINT_NOT_STARTED || (r.outcome == PRINT_EXITED && (r.value == 126 || r.value == 127))) {
    // The shell's own statuses for a command it cannot find or run.
    text += " cannot be started";
    if (r.outcome == PRINT_NOT_STARTED) snprintf(detail, sizeof detail, ": %s", strerror(r.value));
  } else if (r.outcome == PRINT_EXITED) {
    snprintf(detail, sizeof detail, " exited with status %d", r.value);
  } else if (r.outcome == PRINT_SIGNALLED) {
    snprintf(detail, sizeof detail, " was ended by signal %d", r.value);
  }
  bool failed = watch->got < sizeof r || r.outcome != PRINT_DONE;
  std::string said(r.said, strnlen(r.said, sizeof r.said));
  delete watch;
  if (!failed) return;
  text += detail;
  dialogs.alert(text.c_str(), "", ToToolkit(said.c_str()).c_str(), 1);
}

// The child's report, or the end of its pipe: the window never waits for
// the child, the toolkit's loop calls this when there is something to read.
static void PrintReported(int fd, void *data) {
  PrintWatch *watch = static_cast<PrintWatch *>(data);
  if (watch->done) return;
  char *into = reinterpret_cast<char *>(&watch->report) + watch->got;
  ssize_t n = read(fd, into, sizeof watch->report - watch->got);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) watch->got += static_cast<size_t>(n);
  if (n > 0 && watch->got < sizeof watch->report) return;
  watch->done = true;
  fl_add_timeout(0, PrintAnswered, watch);
}

// The child: writes the lines into the command and reports how it ended on
// fd. It must not touch the toolkit, whose state belongs to the parent's
// X connection.
[[noreturn]] static void PrintInChild(const std::string &command, const std::vector<std::string> &lines,
                                      int fd) {
  // pclose must be able to wait for the command, and a command that stops
  // reading ends the writing instead of the child.
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  // Neither the child nor the command keeps the X connection or the
  // server's socket open behind the parent's back; the report pipe becomes
  // descriptor 3, which the command does not inherit.
  if (fd != 3) dup2(fd, 3);
  fcntl(3, F_SETFD, FD_CLOEXEC);
  close_range(4, ~0U, 0);
  // The command's standard error goes into a file of its own, so that the
  // report can quote its last line; it is passed on to the program's own
  // standard error afterwards.
  int error_out = fcntl(2, F_DUPFD_CLOEXEC, 4);
  FILE *errors = tmpfile();
  if (errors != nullptr) {
    fcntl(fileno(errors), F_SETFD, FD_CLOEXEC);
    dup2(fileno(errors), 2);
  }
  PrintReport report = {};
  FILE *pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) {
    report.outcome = PRINT_NOT_STARTED;
    report.value = errno;
  } else {
    WriteLines(pipe, lines);
    int status = pclose(pipe);
    if (status == -1) {
      report.outcome = PRINT_NOT_STARTED;
      report.value = errno;
    } else if (WIFSIGNALED(status)) {
      report.outcome = PRINT_SIGNALLED;
      report.value = WTERMSIG(status);
    } else if (WEXITSTATUS(status) != 0) {
      report.outcome = PRINT_EXITED;
      report.value = WEXITSTATUS(status);
    }
  }
  if (errors != nullptr && error_out >= 0) {
    rewind(errors);
    char chunk[4096];
    std::string tail;
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, errors)) > 0) {
      if (write(error_out, chunk, n) < 0) break;
      tail.append(chunk, n);
      if (tail.size() > 2 * sizeof chunk) tail.erase(0, tail.size() - sizeof chunk);
    }
    while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) tail.pop_back();
    size_t start = tail.rfind('\n');
    tail = start == std::string::npos ? tail : tail.substr(start + 1);
    snprintf(report.said, sizeof report.said, "%s", tail.c_str());
  }
  if (write(3, &report, sizeof report) < 0) {
    // The window is gone: nobody to tell.
  }
  // _exit: no atexit handlers, no flushing of the parent's buffers, nothing
  // said on the X connection that the child shares with the parent.
  _exit(0);
}

void ShowerPrint(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  // The lines are taken before the fork: the child must not touch the
  // toolkit.
  std::vector<std::string> lines = ServerLines(list);
  const char *answer = dialogs.input("Printer command", "lpr");
  if (answer == nullptr || answer[0] == '\0') return;
  std::string shown = answer;  // the dialog's text dies with its next call
  std::string command = ToServer(answer);

  // The child reports how the command ended on a pipe that the toolkit's
  // loop watches: the window stays usable, and a command that fails is
  // told, however long it runs.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    dialogs.alert("Printing failed: no pipe for the printing process", "", strerror(errno), 1);
    return;
  }
  // Finished children are reaped by the system; nobody waits for them.
  // Set before the fork, so that a child quicker than its parent cannot be
  // left behind as a zombie.
  signal(SIGCHLD, SIG_IGN);
  pid_t pid = fork();
  if (pid < 0) {
    int error = errno;
    close(report[0]);
    close(report[1]);
    dialogs.alert("Printing failed: no printing process could be made", "", strerror(error), 1);
    return;
  }
  if (pid == 0) {
    close(report[0]);
    PrintInChild(command, lines, report[1]);
  }
  close(report[1]);
  PrintWatch *watch = new PrintWatch{report[0], shown, {}, 0, false};
  fl_add_io_callback(report[0], FL_READ, PrintReported, watch);
}

void ShowerWriteFile(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  const char *answer = dialogs.fselector("Set Outputfile", "", "*", "");
  if (answer == nullptr) return;
  // The selector's text goes with the next dialog: both kept first.
  std::string shown = answer;
  std::string path = ToServer(answer);
  // A file of the user's would be emptied by the writing: replaced only on
  // Yes, with No as the answer offered. A device or a pipe keeps nothing
  // to lose and is written without a question, as before.
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    std::string question = "The file " + shown + " exists. Replace it ?";
    if (dialogs.question(question.c_str(), 0) != 1) return;
  }
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) {
    ShowMessage("Can't open output file");
    return;
  }
  // A record list named *.csv is written from its result set, each value
  // whole; every other file, and the field descriptions, as the lines shown.
  int written = list->info->res != nullptr && IsCsvName(path.c_str())
                    ? WriteCsv(file, list->info->res, list->info)
                    : WriteLines(file, ServerLines(list));
  if (fclose(file) != 0) written = -1;
  // A full disk must not be reported as success.
  if (written != 0) {
    ShowMessage("Error writing output file");
    return;
  }
  ShowMessage("Browser contents written to file");
}

void ShowerFontSize(FL_OBJECT *counter, long data) {
  ListForm *list = ListOf(data);
  int size = static_cast<int>(fl_get_counter_value(counter) + 0.5);
  fl_freeze_form(list->form);
  fl_set_browser_fontsize(list->browser, size);
  fl_unfreeze_form(list->form);
}

void ShowerModify(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  int line = fl_get_browser(list->browser);
  if (line <= 0) return;
  if (list->info->res == nullptr) {
    ShowMessage("I->res is NULL !!");
    return;
  }
  if (CheckColumns(list->info, list->info->res) != 0) return;
  msqlDataSeek(list->info->res, line - 1);
  char **row = msqlFetchRow(list->info->res);
  if (row == nullptr) return;
  const char *key = row[list->info->pkey];
  // A record without a key value cannot be looked up by it.
  if (key == nullptr) {
    ShowMessage("The primary key of this record is NULL !");
    return;
  }
  ModifyRecord(key, list->info);
}

void FillRecordLines(ListForm *list) {
  ResultHandle *res = list->info->res;
  int rows = res != nullptr ? msqlNumRows(res) : 0;
  // Each line reads every field of the Info from its row.
  if (rows > 0 && CheckColumns(list->info, res) != 0) return;
  fl_freeze_form(list->form);
  for (int i = 0; i < rows; i++) {
    char **row = msqlFetchRow(res);
    if (row == nullptr) {
      ShowAlert("Error reading record !");
      break;
    }
    AddRecordLine(list->info, list->browser, row, msqlFetchLengths(res));
  }
  fl_unfreeze_form(list->form);
}

static void ShowerStop(FL_OBJECT *, long data) { ListOf(data)->stop_asked = true; }

namespace {

// A stopped fetch reads the rest of the reply and drops it while the server
// sends it; a server that has sent nothing for this long since the stop,
// or has not finished this long after it, is given up and the connection
// made again, so that a stop is always answered.
const long kStopSilenceMillis = 1000;
const long kStopWaitMillis = 10000;

// The count the main window shows for the table, which tells how many rows
// to expect; 0 when it is not known (not counted, or none).
int ExpectedRows(const Info *info) {
  if (info->mainform == nullptr || no_record_count) return 0;
  const char *shown = fl_get_object_label(info->mainform->records_count);
  return shown != nullptr ? atoi(shown) : 0;
}

void ShowProgress(ListForm *list, int kept, int expected) {
  std::string text = list->heading + ": " + std::to_string(kept);
  if (list->stop_asked || list->close_asked) {
    text += " rows, stopping";
  } else if (expected >= kept) {
    text += " of " + std::to_string(expected) + " rows";
  } else {
    text += " rows";
  }
  fl_set_object_label(list->title, text.c_str());
}

// Adding lines makes the toolkit walk every line of the list when it draws
// it again, so the drawing of a long list costs the more the longer it
// grows: drawn on every call of the watcher, a list of 1,000,000 rows was
// drawn over and over and the fetch took many times as long (and under
// the sanitizers, minutes). The lines are added, and the list drawn, at
// most once every kDrawSpacing times what the last drawing cost, so that
// drawing takes at most a ninth of the time however long the list; the
// window still answers (Stop, Escape, its close) and tells the progress at
// every call.
const double kDrawSpacing = 8;

double Seconds(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Adds the waiting lines; returns what drawing the list then cost, in
// seconds (the making of the lines, which costs as much whenever it is
// done, not counted).
double AddWaitingLines(ListFetch *fetch) {
  ListForm *list = fetch->list;
  int count = fetch->waiting_count;
  double cost = 0;
  if (count > 0 && !list->close_asked) {
    fl_freeze_form(list->form);
    for (const QueryDataRow *row = fetch->waiting; row != nullptr && count > 0; row = row->next, count--)
      AddRecordLine(list->info, list->browser, row->values, row->lengths);
    double start = Seconds();
    fl_unfreeze_form(list->form);
    cost = Seconds() - start;
  }
  fetch->waiting = nullptr;
  fetch->waiting_count = 0;
  return cost;
}

// The window while its rows arrive: of its own objects only Close and Stop
// answer; the others would read a result that is not there yet. The other
// windows take no input meanwhile (FetchList).
void BeginFetching(ListForm *list) {
  list->fetching = true;
  list->stop_asked = list->close_asked = false;
  list->modify_active = fl_object_is_active(list->modify);
  fl_activate_form(list->form);
  for (FL_OBJECT *obj = list->form->first; obj != nullptr; obj = obj->next)
    if (obj->objclass == FL_BUTTON && obj != list->stop && obj->object_callback != ShowerClose)
      fl_deactivate_object(obj);
  fl_deactivate_object(list->fontsize);
  fl_show_object(list->stop);
}

void EndFetching(ListForm *list) {
  fl_hide_object(list->stop);
  for (FL_OBJECT *obj = list->form->first; obj != nullptr; obj = obj->next)
    if (obj->objclass == FL_BUTTON && obj != list->stop && obj != list->modify) fl_activate_object(obj);
  // Modify keeps what its list mode gave it.
  if (list->modify_active) fl_activate_object(list->modify);
  fl_activate_object(list->fontsize);
  fl_deactivate_form(list->form);
  list->fetching = false;
  fl_set_object_label(list->title, list->heading.c_str());
}

// Called by the library while the rows arrive and while the server is
// silent: the window is opened once the reply has columns (if the opener
// left that to it), lines are added, the progress told, and the toolkit
// lets the windows draw and answer. A stop is answered as FetchList says.
int WatchList(const RowWatch *watch, void *data) {
  ListFetch *fetch = static_cast<ListFetch *>(data);
  if (fetch->list == nullptr && watch->columns > 0 && fetch->open != nullptr) {
    fetch->list = fetch->open(fetch);
    if (fetch->list != nullptr) BeginFetching(fetch->list);
  }
  ListForm *list = fetch->list;
  if (list != nullptr && fetch->lines) {
    // Rows of other columns than the Info's are not read here: the result's
    // check says so once it is whole, and the rest need not be kept.
    if (watch->rows != nullptr && watch->rows->columnCount != list->info->nfields) return WATCH_STOP;
    // The rows are the library's until the list takes them (a failed
    // query frees them): their lines wait for the next drawing.
    if (watch->count > 0) {
      if (fetch->waiting == nullptr) fetch->waiting = watch->rows;
      fetch->waiting_count += watch->count;
    }
    // Only lines waiting are drawn: a call without rows (the server silent)
    // must not set the spacing back to nothing.
    if (fetch->waiting_count > 0 && Seconds() >= fetch->next_draw) {
      double cost = AddWaitingLines(fetch);
      fetch->next_draw = Seconds() + kDrawSpacing * cost;
    }
  }
  if (list != nullptr) ShowProgress(list, watch->kept, fetch->expected);
  fl_check_forms();
  if (list == nullptr || !(list->stop_asked || list->close_asked)) return WATCH_GO_ON;
  long now = static_cast<long>(Seconds() * 1000);
  if (fetch->stopped_at == 0) fetch->stopped_at = now;
  long since = now - fetch->stopped_at;
  if (std::min(since, static_cast<long>(watch->silent)) >= kStopSilenceMillis || since >= kStopWaitMillis) {
    fetch->closing = true;
    return WATCH_CLOSE;
  }
  return WATCH_STOP;
}

}  // namespace

int FetchList(ListFetch *fetch, Info *info, const char *statement) {
  fetch->stopped_at = 0;
  fetch->closing = fetch->given_up = false;
  fetch->waiting = nullptr;
  fetch->waiting_count = 0;
  fetch->next_draw = 0;
  fl_deactivate_all_forms();
  if (fetch->list != nullptr) BeginFetching(fetch->list);
  msqlWatchRows(WatchList, fetch, row_ceiling);
  int result = ExecuteQuery(info, statement);
  msqlWatchRows(nullptr, nullptr, 0);
  // The lines still waiting go in while their rows are there: those of a
  // reply given up stay too.
  if (fetch->list != nullptr && (result == 0 || (fetch->closing && msqlReplyGivenUp()))) AddWaitingLines(fetch);
  if (fetch->list != nullptr) EndFetching(fetch->list);
  fl_activate_all_forms();
  if (result != 0 && fetch->closing && msqlReplyGivenUp()) {
    fetch->given_up = true;
    if (info->mainform != nullptr)
      LogMessage(info->mainform, "The server did not finish its reply after the stop: "
                                 "the connection was closed and made again");
    ConnectAgain();
  }
  return result;
}

std::string PartialHeading(const ListForm *list, int kept, const ListFetch *fetch) {
  int dropped = msqlRowsDropped();
  if (fetch->given_up) return list->heading + " (first " + std::to_string(kept) + " rows, stopped)";
  if (dropped <= 0) return list->heading;
  // A list that holds fewer rows than the reply says so, and why.
  std::string why = list->stop_asked || list->close_asked ? "stopped" : "row limit";
  return list->heading + " (first " + std::to_string(kept) + " of " + std::to_string(kept + dropped) +
         " rows, " + why + ")";
}

void ShowAllRecords(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  if (CheckTableSelected(mainform) != 0) return;
  Info *info = MainTable(mainform);
  char statement[STATEMENT_SIZE];
  int n = snprintf(statement, sizeof statement, "SELECT * FROM %s ORDER BY %s ", QuoteName(info->table).c_str(),
                   QuoteName(info->fields[info->pkey].name).c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof statement) {
    RefuseLongStatement();
    return;
  }
  // The window opens first, so that the rows show as they arrive.
  ListForm *list = OpenShower(info, "Show All Records", SHOW_ALL);
  list->heading = "Show All Records";
  ListFetch fetch = {};
  fetch.list = list;
  fetch.expected = ExpectedRows(info);
  fetch.lines = true;
  int failed = FetchList(&fetch, info, statement);
  if ((failed != 0 && !fetch.given_up) || list->close_asked) {
    if (ResultHandle *kept = msqlStoreResult()) msqlFreeResult(kept);
    ShowerClose(nullptr, reinterpret_cast<long>(list));
    return;
  }
  list->info->res = msqlStoreResult();
  if (fetch.given_up) {
    // The rows kept are the lines shown; their field descriptions never
    // came, and the window's own describe them.
    fl_set_object_label(list->title, PartialHeading(list, msqlNumRows(list->info->res), &fetch).c_str());
    return;
  }
  // A select always brings a result set, if only an empty one; none means
  // the rows were lost on the way, which must not look like an empty table.
  if (list->info->res == nullptr) {
    ShowAlert("Error reading record !");
    return;
  }
  if (CheckColumns(list->info, list->info->res) != 0) return;
  list->heading = PartialHeading(list, msqlNumRows(list->info->res), &fetch);
  fl_set_object_label(list->title, list->heading.c_str());
}
