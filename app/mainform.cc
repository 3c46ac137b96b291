// The main window: its widgets, the message list, the dialogs every window
// uses, the query executor, the table guard, and the callbacks of its own
// widgets. The six other buttons call into records/ and views/.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "records/records.h"
#include "views/views.h"

int sock = -1;
int no_record_count = 0;

namespace {

// The one text buffer that LogMessage, ShowAlert and ShowMessage format into.
// It holds "Executing: " and the longest statement the program builds
// (STATEMENT_SIZE); longer text is cut at its end. The toolkit copies the
// text, so nothing points into it after the call returns.
constexpr size_t MESSAGE_SIZE = sizeof("Executing: ") - 1 + STATEMENT_SIZE;
char message_text[MESSAGE_SIZE];

// The message list keeps its newest lines: past MESSAGE_LINES_MAX lines the
// MESSAGE_LINES_DROP oldest go at once.
constexpr int MESSAGE_LINES_MAX = 25;
constexpr int MESSAGE_LINES_DROP = 11;

void FormatMessage(const char *format, va_list args) {
  vsnprintf(message_text, sizeof message_text, format, args);
}

// Sets the label size, style and alignment of one widget; 0 leaves the
// toolkit's default.
void Label(FL_OBJECT *object, int size, int style, int align) {
  if (size) fl_set_object_lsize(object, size);
  if (style) fl_set_object_lstyle(object, style);
  if (align >= 0) fl_set_object_lalign(object, align);
}

FL_OBJECT *Button(FL_Coord x, FL_Coord y, const char *label, FL_CALLBACKPTR callback,
                  MainForm *mainform) {
  FL_OBJECT *object = fl_add_button(FL_NORMAL_BUTTON, x, y, 80, 20, label);
  fl_set_object_lsize(object, FL_NORMAL_SIZE);
  fl_set_object_callback(object, callback, reinterpret_cast<long>(mainform));
  return object;
}

}  // namespace

MainForm *CreateMainForm(void) {
  MainForm *mainform = static_cast<MainForm *>(calloc(1, sizeof(MainForm)));
  if (!mainform) return nullptr;
  long self = reinterpret_cast<long>(mainform);
  FL_OBJECT *object;

  mainform->form = fl_bgn_form(FL_NO_BOX, 435, 315);
  fl_add_box(FL_UP_BOX, 0, 0, 435, 315, "");
  fl_add_frame(FL_ENGRAVED_FRAME, 10, 230, 415, 75, "");
  fl_add_frame(FL_ENGRAVED_FRAME, 10, 50, 415, 55, "");
  object = fl_add_text(FL_NORMAL_TEXT, 150, 15, 110, 25, "Korvid");
  Label(object, FL_LARGE_SIZE, FL_EMBOSSED_STYLE, FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
  object = fl_add_text(FL_NORMAL_TEXT, 275, 15, 150, 20, "for mSQL servers");
  Label(object, 0, 0, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  mainform->messages = object = fl_add_browser(FL_NORMAL_BROWSER, 10, 125, 415, 100, "Messages");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  // Messages are plain text: a line that happens to begin with '@' must
  // show as written, not as the browser's format flags.
  fl_set_browser_specialkey(object, 0);

  // Each button answers to Alt and a letter of its label, shown underlined.
  mainform->commands = fl_bgn_group();
  fl_set_object_shortcut(Button(125, 55, "Search", SearchForm, mainform), "#s", 1);
  fl_set_object_shortcut(Button(325, 55, "Insert", InsertForm, mainform), "#i", 1);
  fl_set_object_shortcut(Button(25, 80, "Show All", ShowAllRecords, mainform), "#a", 1);
  fl_set_object_shortcut(Button(225, 55, "Modify", AskPrimaryKey, mainform), "#m", 1);
  fl_set_object_shortcut(Button(25, 55, "Exit", ExitProgram, mainform), "#x", 1);
  fl_set_object_shortcut(Button(125, 80, "Field Info", FieldInfo, mainform), "#f", 1);
  fl_set_object_shortcut(Button(225, 80, "SQL Query", FreeQuery, mainform), "#q", 1);
  fl_set_object_shortcut(Button(325, 80, "Info", ShowAbout, mainform), "#n", 1);
  fl_end_group();

  mainform->selection = fl_bgn_group();
  mainform->server = object = fl_add_input(FL_NORMAL_INPUT, 20, 265, 120, 25, "Sqlserver");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  fl_set_object_callback(object, ServerInput, self);
  mainform->table_choice = object =
      fl_add_choice(FL_NORMAL_CHOICE2, 290, 250, 120, 25, "Select table");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  fl_set_object_callback(object, ChooseTable, self);
  mainform->database_choice = object =
      fl_add_choice(FL_NORMAL_CHOICE2, 160, 250, 120, 25, "Select database");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  fl_set_object_callback(object, ChooseDatabase, self);
  object = fl_add_text(FL_NORMAL_TEXT, 145, 280, 105, 20, "Number of records :");
  Label(object, 0, 0, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  object = fl_add_text(FL_NORMAL_TEXT, 285, 280, 95, 20, "Number of fields :");
  Label(object, 0, 0, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  mainform->records_count = fl_add_box(FL_BORDER_BOX, 250, 280, 30, 20, "");
  mainform->fields_count = fl_add_box(FL_BORDER_BOX, 380, 280, 30, 20, "");
  fl_end_group();

  mainform->logo = fl_add_pixmap(FL_NORMAL_PIXMAP, 10, 10, 90, 35, "");
  fl_end_form();
  mainform->form->u_vdata = mainform;
  return mainform;
}

void LogMessage(MainForm *mainform, const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  fl_freeze_form(mainform->form);
  fl_addto_browser(mainform->messages, message_text);
  // One append can add several lines (the browser splits at newlines), so
  // drop in steps until the list is short enough again.
  while (fl_get_browser_maxline(mainform->messages) > MESSAGE_LINES_MAX) {
    for (int i = 0; i < MESSAGE_LINES_DROP; i++) fl_delete_browser_line(mainform->messages, 1);
  }
  fl_unfreeze_form(mainform->form);
}

void ShowAlert(const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  dialogs.alert(message_text, "", msqlErrMsg, 1);
}

void ShowMessage(const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  dialogs.message("", message_text, "");
}

int ExecuteQuery(Info *info, const char *statement, int *status) {
  if (info && EnterDatabase(info) != 0) return -1;
  if (info && info->mainform) LogMessage(info->mainform, "Executing: %s", statement);
  int result = msqlQuery(sock, statement);
  if (result < 0) {
    ForgetLostConnection();
    ShowAlert("Query failed");
    LeaveDatabase();
    return -1;
  }
  // The rows of a select wait in the library; selecting a database does
  // not disturb them.
  LeaveDatabase();
  if (status) *status = result;
  return 0;
}

int CheckTableSelected(MainForm *mainform) {
  if (fl_get_choice(mainform->table_choice) <= 1 || !mainform->info ||
      mainform->info->nfields == 0) {
    dialogs.message("Select a table first !", "", "");
    return -1;
  }
  return 0;
}

void ExitProgram(FL_OBJECT *, long) {
  if (dialogs.question("Do you want to quit ?", 1) == 1) {
    msqlClose(sock);
    exit(0);
  }
}

void ShowAbout(FL_OBJECT *, long) {
  dialogs.message("Korvid: a powerful MiniSQL/MySQL frontend build using the Xforms library",
                  "Korvid version 1.0.0, for mSQL servers speaking protocol 23",
                  "MySQL compatibility kept from the original front end's design");
}

void ServerInput(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  // Copy: ConnectServer writes the host back into this very input.
  std::string host = fl_get_input(mainform->server);
  ConnectServer(host.c_str(), mainform);
}

void ChooseDatabase(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  const char *text = fl_get_choice_text(mainform->database_choice);
  std::string name = text ? text : "";
  OpenDatabase(name.c_str(), mainform);
}

void ChooseTable(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  const char *text = fl_get_choice_text(mainform->table_choice);
  std::string name = text ? text : "";
  SelectTable(name.c_str(), mainform);
}
