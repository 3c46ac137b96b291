// The main window: its widgets and the callbacks of its own widgets. The six
// other buttons call into records/ and views/.
#include <cstdlib>
#include <string>

#include "app/mainform.h"
#include "records/records.h"
#include "views/views.h"

namespace {

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
  KeepChoiceTextsLiteral(object);
  mainform->database_choice = object =
      fl_add_choice(FL_NORMAL_CHOICE2, 160, 250, 120, 25, "Select database");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  fl_set_object_callback(object, ChooseDatabase, self);
  KeepChoiceTextsLiteral(object);
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
  std::string name = ChoiceName(mainform->database_choice);
  OpenDatabase(name.c_str(), mainform);
}

void ChooseTable(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  std::string name = ChoiceName(mainform->table_choice);
  SelectTable(name.c_str(), mainform);
}
