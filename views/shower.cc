// The list window ("Shower"): all records of a table, a free query's rows or
// a table's field descriptions, one fixed-width line each. OpenShower builds
// and shows an empty window; the opener fills it. Start at ShowAllRecords.
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "app/charset.h"
#include "records/records.h"
#include "views/views.h"

// Field-description windows still pointing at an Info of the main window;
// DetachFieldWindows cuts them loose before that Info is freed.
static std::vector<ListForm *> field_windows;

static ListForm *ListOf(long data) { return reinterpret_cast<ListForm *>(data); }

static int ShowerWindowClosed(FL_FORM *form, void *data);

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

  // Every button answers to Alt and the underlined letter of its label.
  obj = fl_add_button(FL_NORMAL_BUTTON, 20, 40, 80, 25, "Close");
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_callback(obj, ShowerClose, self);
  fl_set_object_shortcut(obj, "#c", 1);

  obj = fl_add_button(FL_NORMAL_BUTTON, 115, 40, 80, 25, "Print");
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_callback(obj, ShowerPrint, self);
  fl_set_object_shortcut(obj, "#p", 1);

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

  obj = fl_add_button(FL_NORMAL_BUTTON, 210, 40, 80, 25, "Write To File");
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_callback(obj, ShowerWriteFile, self);
  fl_set_object_shortcut(obj, "#w", 1);

  list->modify = obj = fl_add_button(FL_NORMAL_BUTTON, 305, 40, 80, 25, "Modify");
  fl_set_object_gravity(obj, FL_NorthWest, FL_NoGravity);
  fl_set_object_resize(obj, FL_RESIZE_NONE);
  fl_set_object_callback(obj, ShowerModify, self);
  fl_set_object_shortcut(obj, "#m", 1);

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
  fl_show_form(list->form, FL_PLACE_MOUSE | FL_FREE_SIZE, FL_FULLBORDER, "Shower");
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
}

void ShowerClose(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
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
  ReleaseShower(list);
  delete list;
  form->u_vdata = nullptr;
  fl_add_timeout(0, FreeClosedForm, form);
  return FL_OK;
}

void ShowerPrint(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  // The lines are taken before the fork: the child must not touch the
  // toolkit, whose state belongs to the parent's X connection.
  std::vector<std::string> lines = ServerLines(list);
  const char *answer = dialogs.input("Printer command", "lpr");
  if (answer == nullptr || answer[0] == '\0') return;
  std::string command = ToServer(answer);  // the dialog's text dies with its next call

  // Finished children are reaped by the system; nobody waits for them.
  // Set before the fork, so that a child quicker than its parent cannot be
  // left behind as a zombie.
  signal(SIGCHLD, SIG_IGN);
  pid_t pid = fork();
  if (pid != 0) return;  // the parent, or no child could be made
  // The child: pclose must be able to wait for the command, and a command
  // that stops reading ends the writing instead of the child.
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  // Neither the child nor the command keeps the X connection or the
  // server's socket open behind the parent's back.
  close_range(3, ~0U, 0);
  FILE *pipe = popen(command.c_str(), "w");
  if (pipe != nullptr) {
    WriteLines(pipe, lines);
    pclose(pipe);
  }
  // _exit: no atexit handlers, no flushing of the parent's buffers, nothing
  // said on the X connection that the child shares with the parent.
  _exit(0);
}

void ShowerWriteFile(FL_OBJECT *, long data) {
  ListForm *list = ListOf(data);
  const char *answer = dialogs.fselector("Set Outputfile", "", "*", "");
  if (answer == nullptr) return;
  std::string path = ToServer(answer);
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) {
    ShowMessage("Can't open output file");
    return;
  }
  // A record list named *.csv is written from its result set, each value
  // whole; every other file, and the field descriptions, as the lines shown.
  int written = list->info->res != nullptr && IsCsvName(path.c_str())
                    ? WriteCsv(file, list->info->res)
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
  if (ExecuteQuery(info, statement) != 0) return;
  ListForm *list = OpenShower(info, "Show All Records", SHOW_ALL);
  list->info->res = msqlStoreResult();
  // A select always brings a result set, if only an empty one; none means
  // the rows were lost on the way, which must not look like an empty table.
  if (list->info->res == nullptr) {
    ShowAlert("Error reading record !");
    return;
  }
  FillRecordLines(list);
}
