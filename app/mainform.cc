// The main window: its widgets and the callbacks of its own widgets. The six
// other buttons call into records/ and views/.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/services/buttons.h"
#include "app/services/charset.h"
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

void AddMessageLine(MainForm *mainform, const char *text) {
  fl_freeze_form(mainform->form);
  // Statements and names are the server's text; the list draws Latin-1.
  fl_addto_browser(mainform->messages, ToToolkit(text).c_str());
  // One append can add several lines (the browser splits at newlines), so
  // drop in steps until the list is short enough again.
  while (fl_get_browser_maxline(mainform->messages) > MESSAGE_LINES_MAX) {
    for (int i = 0; i < MESSAGE_LINES_DROP; i++) fl_delete_browser_line(mainform->messages, 1);
  }
  fl_unfreeze_form(mainform->form);
}

int TableSelected(MainForm *mainform) {
  if (fl_get_choice(mainform->table_choice) <= 1 || !mainform->info ||
      mainform->info->nfields == 0) {
    dialogs.message("Select a table first !", "", "");
    return -1;
  }
  return 0;
}

Info *CurrentTable(const MainForm *mainform) { return mainform->info; }

}  // namespace

MainForm *CreateMainForm(void) {
  MainForm *mainform = static_cast<MainForm *>(calloc(1, sizeof(MainForm)));
  if (!mainform) return nullptr;
  mainWindowCalls = {AddMessageLine, CurrentTable, TableSelected};
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

  // Two rows of four: Exit, Search, Modify, Insert; Show All, Field Info,
  // SQL Query, Info. Each answers to Alt and a letter of its label.
  const ButtonLook look = {80, 20, FL_NORMAL_SIZE, false};
  const ButtonSpec commands[] = {
      {"Search", 125, 55, "#s", SearchForm},
      {"Insert", 325, 55, "#i", InsertForm},
      {"Show All", 25, 80, "#a", ShowAllRecords},
      {"Modify", 225, 55, "#m", AskPrimaryKey},
      {"Exit", 25, 55, "#x", ExitProgram},
      {"Field Info", 125, 80, "#f", FieldInfo},
      {"SQL Query", 225, 80, "#q", FreeQuery},
      {"Info", 325, 80, "#n", ShowAbout},
  };
  mainform->commands = fl_bgn_group();
  AddButtons(look, commands, self);
  fl_end_group();

  mainform->selection = fl_bgn_group();
  mainform->server = object = fl_add_input(FL_NORMAL_INPUT, 20, 265, 120, 25, "Sqlserver");
  Label(object, FL_NORMAL_SIZE, FL_BOLD_STYLE, FL_ALIGN_TOP);
  fl_set_object_callback(object, ServerInput, self);
  // The toolkit calls back only when the text changed; Return on the same
  // text must connect again.
  fl_set_input_return(object, FL_RETURN_END);
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
  mainform->records_label = object = fl_add_text(FL_NORMAL_TEXT, 145, 280, 105, 20, "Number of records :");
  Label(object, 0, 0, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  object = fl_add_text(FL_NORMAL_TEXT, 285, 280, 95, 20, "Number of fields :");
  Label(object, 0, 0, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  mainform->records_count = fl_add_box(FL_BORDER_BOX, 250, 280, 30, 20, "");
  mainform->fields_count = fl_add_box(FL_BORDER_BOX, 380, 280, 30, 20, "");
  fl_end_group();

  mainform->logo = fl_add_pixmap(FL_NORMAL_PIXMAP, 10, 10, 90, 35, "");
  fl_end_form();
  mainform->form->u_vdata = mainform;
  // The window manager's close button asks as Exit does; without this the
  // toolkit would end the program at once, with every open form's typed
  // values.
  fl_set_form_atclose(mainform->form, MainWindowClosed, mainform);
  NoteMainWindow(mainform->form);
  return mainform;
}

// The records box is 30 pixels wide, room for five digits; the server may
// count to ten. A wider count takes the blank part of the text to its left,
// then, if that is not enough, that text is drawn smaller for more room, and
// last the count itself.
void FitRecordsCount(MainForm *mainform) {
  const int kBoxX = 250, kBoxW = 30, kLabelX = 145;
  // What a label drawn inside its object keeps clear on each side.
  const int kMargin = 3;
  FL_OBJECT *box = mainform->records_count;
  FL_OBJECT *label = mainform->records_label;
  const char *count = box->label ? box->label : "";
  const char *text = label->label ? label->label : "";
  struct Sizes {
    int label, count;
  } const tries[] = {{FL_DEFAULT_SIZE, FL_DEFAULT_SIZE},
                     {FL_TINY_SIZE, FL_DEFAULT_SIZE},
                     {FL_TINY_SIZE, FL_TINY_SIZE}};
  Sizes chosen = tries[0];
  int width = kBoxW, room = kBoxW;
  for (const Sizes &sizes : tries) {
    chosen = sizes;
    int need = fl_get_string_width(box->lstyle, sizes.count, count, static_cast<int>(strlen(count))) +
               2 * kMargin;
    int text_width = fl_get_string_width(label->lstyle, sizes.label, text, static_cast<int>(strlen(text)));
    room = kBoxX + kBoxW - (kLabelX + text_width + 2 * kMargin);
    width = need > kBoxW ? need : kBoxW;
    if (width <= room) break;
  }
  if (width > room) width = room;  // the smallest sizes and all the room there is
  fl_freeze_form(mainform->form);
  fl_set_object_lsize(label, chosen.label);
  fl_set_object_lsize(box, chosen.count);
  fl_set_object_geometry(box, kBoxX + kBoxW - width, box->y, width, box->h);
  fl_set_object_geometry(label, kLabelX, label->y, kBoxX + kBoxW - width - kLabelX, label->h);
  fl_unfreeze_form(mainform->form);
}

void ExitProgram(FL_OBJECT *, long) {
  if (dialogs.question("Do you want to quit ?", 1) == 1) {
    msqlClose(sock);
    exit(0);
  }
}

int MainWindowClosed(FL_FORM *, void *) {
  ExitProgram(nullptr, 0);  // ends the program on Yes
  return FL_IGNORE;         // No: the window and every form stay open
}

void ShowAbout(FL_OBJECT *, long) {
  dialogs.message("Korvid: a powerful MiniSQL/MySQL frontend build using the Xforms library",
                  "Korvid version 1.0.0, for mSQL servers speaking protocol 23",
                  "MySQL compatibility kept from the original front end's design");
}

// Called whenever the user is done with the field (see CreateMainForm):
// Return connects, also to the server already named, since that is how a
// server that went away is reached again; leaving the field connects only
// when its text was changed.
void ServerInput(FL_OBJECT *, long data) {
  MainForm *mainform = reinterpret_cast<MainForm *>(data);
  // Copy: ConnectServer writes the host back into this very input.
  std::string host = fl_get_input(mainform->server);
  const XEvent *event = fl_last_event();
  bool by_return = false;
  if (event != nullptr && event->type == KeyPress) {
    KeySym key = XLookupKeysym(const_cast<XKeyEvent *>(&event->xkey), 0);
    by_return = key == XK_Return || key == XK_KP_Enter;
  }
  if (!by_return && sock >= 0 && host == current_server.server) return;
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
