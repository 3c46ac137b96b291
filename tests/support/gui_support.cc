// In-process GUI test support; see gui_support.h for the API. The private
// Xvfb picks its own free display (-displayfd), so tests running in parallel
// never collide, and it dies with the test process (PR_SET_PDEATHSIG).
#include "tests/support/gui_support.h"

#include <sqlite3.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "app/services/charset.h"
#include "app/services/fonts.h"
#include "tests/support/rows.h"
#include "tests/support/server_fixture.h"
#include "tests/support/xvfb.h"
#include "views/views.h"


namespace {

pid_t xvfb_pid = -1;
pid_t owner_pid = -1;  // only the process that started Xvfb stops it (death tests fork)
std::string display_name;
MainForm *main_form = nullptr;  // reachable for the whole run, like the program's own
FILE *toolkit_log = nullptr;
bool started = false;
ServerFixture *server = nullptr;

struct Answer {
  GuiDialogKind kind;
  int number;
  bool cancel;
  std::string text;
};
std::deque<Answer> answers;
std::vector<GuiDialog> shown;
bool allow_any = false;
std::string input_result;  // what the scripted input/fselector return, until the next one

void StopServer(void) {
  if (server && getpid() == owner_pid) ServerFixtureStop(server);
  server = nullptr;
}

void StopXvfb(void) {
  if (getpid() == owner_pid) StopTestXvfb(xvfb_pid);
  xvfb_pid = -1;
}

// Takes the next queued answer if it is of this kind; records the dialog.
bool NextAnswer(GuiDialog &dialog, Answer &answer) {
  bool ok = false;
  if (!answers.empty() && answers.front().kind == dialog.kind) {
    answer = answers.front();
    answers.pop_front();
    ok = true;
  } else if (!allow_any) {
    ADD_FAILURE() << "unexpected " << GuiDialogKindName(dialog.kind) << " dialog: \""
                  << GuiDialogText(dialog) << "\""
                  << (answers.empty() ? std::string(" (no answer queued)")
                                      : std::string(" (next answer is for a ") +
                                            GuiDialogKindName(answers.front().kind) + ")");
  }
  return ok;
}

const char *Text(const char *s) { return s ? s : ""; }

int ScriptedQuestion(const char *text, int default_answer) {
  GuiDialog d{GUI_QUESTION, {Text(text)}, default_answer, 0, ""};
  Answer a;
  int result = NextAnswer(d, a) ? a.number : 0;
  d.answer = result ? "1" : "0";
  shown.push_back(d);
  return result;
}

void ScriptedAlert(const char *title, const char *line2, const char *line3, int centered) {
  GuiDialog d{GUI_ALERT, {Text(title), Text(line2), Text(line3)}, centered, 0, ""};
  Answer a;
  NextAnswer(d, a);
  shown.push_back(d);
}

void ScriptedMessage(const char *line1, const char *line2, const char *line3) {
  GuiDialog d{GUI_MESSAGE, {Text(line1), Text(line2), Text(line3)}, 0, 0, ""};
  Answer a;
  NextAnswer(d, a);
  shown.push_back(d);
}

const char *ScriptedInput(const char *prompt, const char *default_text) {
  GuiDialog d{GUI_INPUT, {Text(prompt), Text(default_text)}, 0, 0, ""};
  Answer a;
  const char *result = nullptr;
  if (NextAnswer(d, a) && !a.cancel) {
    input_result = a.text;
    result = input_result.c_str();
  }
  d.answer = result ? result : "<cancel>";
  shown.push_back(d);
  return result;
}

int ScriptedChoices(const char *text, int count, const char *b1, const char *b2, const char *b3,
                    int default_button) {
  GuiDialog d{GUI_CHOICES, {Text(text), Text(b1), Text(b2), Text(b3)}, count, default_button, ""};
  Answer a;
  int result = NextAnswer(d, a) ? a.number : default_button;
  d.answer = std::to_string(result);
  shown.push_back(d);
  return result;
}

const char *ScriptedFselector(const char *prompt, const char *dir, const char *pattern,
                              const char *default_file) {
  GuiDialog d{GUI_FSELECTOR, {Text(prompt), Text(dir), Text(pattern), Text(default_file)}, 0, 0, ""};
  Answer a;
  const char *result = nullptr;
  if (NextAnswer(d, a) && !a.cancel) {
    input_result = a.text;
    result = input_result.c_str();
  }
  d.answer = result ? result : "<cancel>";
  shown.push_back(d);
  return result;
}

void Queue(GuiDialogKind kind, int number, const char *text) {
  answers.push_back(Answer{kind, number, text == nullptr, text ? text : ""});
}

}  // namespace

void GuiStartDisplay(void) {
  if (!display_name.empty()) return;
  std::string name;
  xvfb_pid = StartTestXvfb("", &name);
  ASSERT_GT(xvfb_pid, 0) << "cannot start Xvfb (is the xvfb package installed?)";
  owner_pid = getpid();
  atexit(StopXvfb);
  display_name = name;
  setenv("DISPLAY", display_name.c_str(), 1);
}

void GuiStart(void) {
  if (started) return;
  GuiStartDisplay();
  ASSERT_FALSE(display_name.empty());

  static char arg0[] = "korvid-test";
  static char *argv[] = {arg0, nullptr};
  int argc = 1;
  // As the program does before the toolkit starts. The server's charset is
  // then fixed whatever locale runs the tests; a test may set it otherwise.
  ASSERT_EQ(SetUpCharsets(), 0) << "no ISO 8859-1 locale for the toolkit (scripts/install-deps.sh)";
  server_charset = CHARSET_UTF8;
  // The windows' geometry was measured in these fonts; without them every
  // layout and pixel check fails for a reason no test names.
  ASSERT_EQ(AskForLayoutFonts(argc, argv), 0)
      << "the fonts of the layout are missing: install the Debian package " LAYOUT_FONT_PACKAGE
         " (scripts/install-deps.sh)";
  ASSERT_NE(fl_initialize(&argc, argv, nullptr, nullptr, 0), nullptr)
      << "cannot open display " << display_name;
  toolkit_log = tmpfile();
  if (toolkit_log) fl_set_error_logfp(toolkit_log);

  dialogs.question = ScriptedQuestion;
  dialogs.alert = ScriptedAlert;
  dialogs.message = ScriptedMessage;
  dialogs.input = ScriptedInput;
  dialogs.choices = ScriptedChoices;
  dialogs.fselector = ScriptedFselector;

  main_form = CreateMainForm();
  ASSERT_NE(main_form, nullptr);
  fl_show_form(main_form->form, FL_PLACE_CENTER, FL_FULLBORDER, "Korvid");
  GuiFlush();
  started = true;
}

std::string GuiDisplay(void) { return display_name; }

MainForm *GuiMainForm(void) { return main_form; }

void GuiFlush(void) {
  for (int i = 0; i < 5; i++) {
    XSync(fl_get_display(), False);
    fl_check_forms();
  }
}

std::string GuiToolkitWarnings(void) {
  std::string text;
  if (!toolkit_log) return text;
  fflush(toolkit_log);
  rewind(toolkit_log);
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, toolkit_log)) > 0) text.append(buffer, n);
  fseek(toolkit_log, 0, SEEK_END);
  return text;
}

const char *GuiDialogKindName(GuiDialogKind kind) {
  switch (kind) {
    case GUI_QUESTION: return "question";
    case GUI_ALERT: return "alert";
    case GUI_MESSAGE: return "message";
    case GUI_INPUT: return "input";
    case GUI_CHOICES: return "choices";
    case GUI_FSELECTOR: return "file selector";
  }
  return "?";
}

void GuiAnswerQuestion(int answer) { Queue(GUI_QUESTION, answer, ""); }
void GuiAnswerAlert(void) { Queue(GUI_ALERT, 0, ""); }
void GuiAnswerMessage(void) { Queue(GUI_MESSAGE, 0, ""); }
void GuiAnswerInput(const char *text) { Queue(GUI_INPUT, 0, text); }
void GuiAnswerChoice(int button) { Queue(GUI_CHOICES, button, ""); }
void GuiAnswerFileSelector(const char *path) { Queue(GUI_FSELECTOR, 0, path); }

const std::vector<GuiDialog> &GuiDialogsShown(void) { return shown; }

GuiDialog GuiLastDialog(void) {
  if (shown.empty()) {
    ADD_FAILURE() << "no dialog was shown";
    return GuiDialog{GUI_MESSAGE, {}, 0, 0, ""};
  }
  return shown.back();
}

std::string GuiDialogText(const GuiDialog &dialog) {
  std::string text;
  for (size_t i = 0; i < dialog.texts.size(); i++) {
    if (i) text += '\n';
    text += dialog.texts[i];
  }
  return text;
}

size_t GuiPendingAnswers(void) { return answers.size(); }

void GuiResetDialogs(void) {
  answers.clear();
  shown.clear();
}

void GuiAllowAnyDialog(bool allow) { allow_any = allow; }

void GuiClick(FL_OBJECT *object) {
  ASSERT_NE(object, nullptr);
  fl_call_object_callback(object);
}

void GuiTypeInput(FL_OBJECT *input, const char *text) {
  ASSERT_NE(input, nullptr);
  fl_set_input(input, text);
  fl_call_object_callback(input);
}

void GuiChoose(FL_OBJECT *choice, const char *text) {
  ASSERT_NE(choice, nullptr);
  int n = fl_get_choice_maxitems(choice);
  for (int i = 1; i <= n; i++) {
    const char *item = fl_get_choice_item_text(choice, i);
    if (item && strcmp(item, text) == 0) {
      fl_set_choice(choice, i);
      fl_call_object_callback(choice);
      return;
    }
  }
  ADD_FAILURE() << "choice has no item \"" << text << "\"";
}

std::vector<std::string> GuiChoiceItems(FL_OBJECT *choice) {
  std::vector<std::string> items;
  int n = fl_get_choice_maxitems(choice);
  for (int i = 1; i <= n; i++) items.push_back(Text(fl_get_choice_item_text(choice, i)));
  return items;
}

std::string GuiChoiceText(FL_OBJECT *choice) { return Text(fl_get_choice_text(choice)); }

// A label as drawn: a button's shortcut letter is underlined by a marker the
// toolkit puts into the label text, which is not part of what the user reads.
std::string GuiLabel(FL_OBJECT *object) {
  std::string label = Text(fl_get_object_label(object));
  size_t marker = label.find(fl_ul_magic_char[0]);
  if (marker != std::string::npos) label.erase(marker, 1);
  return label;
}

std::string GuiLabelFaults(FL_FORM *form) {
  std::string faults;
  for (FL_OBJECT *o = form->first; o; o = o->next) {
    std::string label = o->label ? GuiLabel(o) : "";
    if (label.empty() || label[0] == '@' || !o->visible) continue;
    // Special styles (embossed, shadow) are bits above the face's number.
    int style = o->lstyle & (FL_SHADOW_STYLE - 1);
    int width = 0;
    for (size_t start = 0; start <= label.size();) {
      size_t end = label.find('\n', start);
      if (end == std::string::npos) end = label.size();
      int w = fl_get_string_width(style, o->lsize, label.c_str() + start,
                                  static_cast<int>(end - start));
      if (w > width) width = w;
      start = end + 1;
    }
    int align = o->align & ~FL_ALIGN_INSIDE;
    bool inside = (o->align & FL_ALIGN_INSIDE) || align == FL_ALIGN_CENTER;
    int room;
    if (inside)
      room = o->w - 2 * (o->bw < 0 ? -o->bw : o->bw);
    else if (align == FL_ALIGN_LEFT)
      room = o->x;
    else if (align == FL_ALIGN_RIGHT)
      room = form->w - (o->x + o->w);
    else
      room = form->w;  // above or below, centred on the object
    if (width > room)
      faults += "\"" + label + "\" is " + std::to_string(width) + " pixels wide in a room of " +
                std::to_string(room) + "\n";
  }
  return faults;
}

FL_OBJECT *GuiFindObject(FL_FORM *form, const char *label) {
  for (FL_OBJECT *o = form->first; o; o = o->next)
    if (o->label && GuiLabel(o) == label) return o;
  return nullptr;
}

std::vector<GuiShortcut> GuiButtonShortcuts(FL_FORM *form) {
  std::vector<GuiShortcut> shortcuts;
  for (FL_OBJECT *o = form->first; o; o = o->next) {
    if (o->objclass != FL_BUTTON) continue;
    GuiShortcut s = {GuiLabel(o), 0, false};
    // The toolkit keeps Alt and a letter as FL_ALT_MASK plus the upper-case
    // letter, first in the list ended by 0; a key without Alt (Escape) may
    // follow it.
    const long *keys = o->shortcut;
    bool other_alt = false;
    for (const long *k = keys ? keys + 1 : nullptr; k && *k; k++) other_alt |= *k >= FL_ALT_MASK;
    if (keys && keys[0] > FL_ALT_MASK && keys[0] <= FL_ALT_MASK + 'Z' && !other_alt &&
        isupper(static_cast<int>(keys[0] - FL_ALT_MASK))) {
      s.letter = static_cast<char>(tolower(static_cast<int>(keys[0] - FL_ALT_MASK)));
      // The marker stands right behind the letter it underlines.
      const char *marker = o->label ? strchr(o->label, fl_ul_magic_char[0]) : nullptr;
      s.underlined = marker && marker > o->label && tolower(marker[-1]) == s.letter;
    }
    shortcuts.push_back(s);
  }
  return shortcuts;
}

std::string GuiShortcutFaults(const std::vector<GuiShortcut> &shortcuts) {
  std::string faults, letters;
  for (const GuiShortcut &k : shortcuts) {
    if (k.letter == 0 || !k.underlined) faults += k.label + " has no underlined Alt key\n";
    if (k.letter != 0 && letters.find(k.letter) != std::string::npos)
      faults += k.label + " shares its key\n";
    letters += k.letter;
  }
  return faults;
}

// Runs xdotool with one action on the private display; true when it worked.
static bool Xdotool(const char *action, const char *key) {
  bool ok = false;
  Xdotool(std::string(action) + " " + key, &ok);
  return ok;
}

void GuiPressAlt(FL_FORM *form, char letter) {
  GuiFlush();
  Display *display = fl_get_display();
  // The toolkit takes Alt from the keyboard's state when it handles the key,
  // not from the event: Alt is held down on the server itself (xdotool, by
  // the XTEST extension) while the letter's events are handled.
  if (!Xdotool("keydown", "Alt_L")) ADD_FAILURE() << "xdotool cannot hold Alt down";
  XEvent event = {};
  event.xkey.display = display;
  event.xkey.window = form->window;
  event.xkey.root = DefaultRootWindow(display);
  event.xkey.same_screen = True;
  event.xkey.state = Mod1Mask;
  char name[2] = {letter, '\0'};
  event.xkey.keycode = XKeysymToKeycode(display, XStringToKeysym(name));
  event.xkey.type = KeyPress;
  XSendEvent(display, form->window, True, KeyPressMask, &event);
  event.xkey.type = KeyRelease;
  XSendEvent(display, form->window, True, KeyReleaseMask, &event);
  GuiFlush();
  GuiFlush();
  Xdotool("keyup", "Alt_L");
  GuiFlush();
}

std::string GuiShotDir(void) {
  const char *env = getenv("KORVID_GUI_SHOTS");
  std::string dir = env && *env ? env : "/tmp/korvid-gui-shots-" + std::to_string(getuid());
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string GuiScreenshot(FL_FORM *form, const std::string &name) {
  GuiFlush();
  std::string path = GuiShotDir() + "/" + name + ".png";
  std::string command = "import -display " + display_name + " -window " +
                        std::to_string(form->window) + " '" + path + "' 2>/dev/null";
  return system(command.c_str()) == 0 ? path : "";
}

std::vector<FL_FORM *> GuiVisibleForms(const char *title) {
  std::vector<FL_FORM *> forms;
  Display *display = fl_get_display();
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  XSync(display, False);
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
    return forms;
  // Stacking order, bottom first: the newest window is mapped on top.
  for (unsigned int i = 0; i < count; i++) {
    FL_FORM *form = fl_win_to_form(children[i]);
    if (form && fl_form_is_visible(form) && form->label && strcmp(form->label, title) == 0)
      forms.push_back(form);
  }
  if (children) XFree(children);
  return forms;
}

static bool StartServer(void) {
  if (server) return true;
  ServerFixtureOptions options;
  options.databases.push_back({"sample", SampleSqlPath()});
  // No statement time limit: under the sanitizers on a busy machine a list of
  // 300,000 rows can take longer than the default, and the limits are tested
  // on their own.
  options.extra_system = "statement_timeout = 0";
  std::string error;
  server = ServerFixtureStart(options, &error);
  if (!server) {
    ADD_FAILURE() << "cannot start korvid-server: " << error;
    return false;
  }
  atexit(StopServer);
  return true;
}

MainForm *GuiConnectSample(const char *db, const char *table) {
  GuiStart();
  if (!StartServer()) return nullptr;
  ConnectServer(nullptr, main_form);
  if (db) OpenDatabase(db, main_form);
  if (table) SelectTable(table, main_form);
  return main_form;
}

bool GuiLoadDatabase(const char *name, const std::string &script) {
  GuiStart();
  if (!StartServer()) return false;
  std::string path = server->dir + "/" + name + ".script";
  FILE *f = fopen(path.c_str(), "w");
  if (!f) {
    ADD_FAILURE() << "cannot write " << path;
    return false;
  }
  fwrite(script.data(), 1, script.size(), f);
  fclose(f);
  std::string error;
  bool ok = ServerFixtureLoad(server, name, path, &error);
  EXPECT_TRUE(ok) << "loading " << name << ": " << error;
  unlink(path.c_str());
  return ok;
}

bool GuiReloadSample(void) {
  GuiStart();
  if (!StartServer()) return false;
  std::string error;
  bool ok = ServerFixtureLoad(server, "sample", SampleSqlPath(), &error);
  EXPECT_TRUE(ok) << "reloading sample: " << error;
  return ok;
}

std::string GuiServerSocket(void) { return StartServer() ? server->socket_path : ""; }
std::string GuiServerConf(void) { return StartServer() ? server->conf_path : ""; }

std::string GuiServerDataDir(void) {
  if (!StartServer()) return "";
  return server->data_dir;
}

int GuiOpenCheckConnection(const char *db) {
  if (!StartServer()) return -1;
  int check = msqlConnect(nullptr);
  if (check < 0) {
    ADD_FAILURE() << "check connection: " << msqlErrMsg;
    return -1;
  }
  if (db && msqlSelectDB(check, db) < 0) {
    ADD_FAILURE() << "check connection, database " << db << ": " << msqlErrMsg;
    msqlClose(check);
    return -1;
  }
  return check;
}

std::vector<std::string> GuiServerRows(const char *db, const char *statement) {
  std::vector<std::string> rows;
  int check = GuiOpenCheckConnection(db);
  if (check < 0) return rows;
  rows = ServerRows(check, statement);
  msqlClose(check);
  return rows;
}

void GuiTest::SetUp() {
  GuiStart();
  GuiResetDialogs();
  GuiAllowAnyDialog(false);
}

void GuiTest::TearDown() {
  EXPECT_EQ(GuiPendingAnswers(), 0u) << "queued dialog answers were not used";
  GuiResetDialogs();
  GuiAllowAnyDialog(false);
}

std::vector<std::string> GuiFileRows(const char *db, const std::string &statements) {
  std::vector<std::string> rows;
  if (!StartServer()) return rows;
  std::string path = server->data_dir + "/" + db;
  sqlite3 *file = nullptr;
  if (sqlite3_open_v2(path.c_str(), &file, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(file);
    sqlite3_close(file);
    return rows;
  }
  sqlite3_busy_timeout(file, 5000);
  // Closing must leave the server's write-ahead log alone: a checkpoint and
  // removal of it here would go behind the server's own handles.
  sqlite3_db_config(file, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  auto row = [](void *data, int columns, char **values, char **) {
    std::string line;
    for (int i = 0; i < columns; i++) {
      if (i) line += '|';
      line += values[i] ? values[i] : "NULL";
    }
    static_cast<std::vector<std::string> *>(data)->push_back(line);
    return 0;
  };
  char *error = nullptr;
  if (sqlite3_exec(file, statements.c_str(), row, &rows, &error) != SQLITE_OK) {
    ADD_FAILURE() << "\"" << statements << "\" on " << path << ": " << (error ? error : "");
    sqlite3_free(error);
  }
  sqlite3_close(file);
  return rows;
}

void GuiConfirm(FL_FORM *form, const char *label) {
  FL_OBJECT *button = GuiFindObject(form, label);
  ASSERT_NE(button, nullptr) << "no button " << label;
  GuiAnswerQuestion(1);
  GuiClick(button);
}

std::vector<std::string> GuiMessages(void) { return BrowserLines(GuiMainForm()->messages); }

std::string GuiLastMessage(void) {
  std::vector<std::string> lines = GuiMessages();
  return lines.empty() ? "" : lines.back();
}

bool GuiLogged(const std::string &line) {
  std::vector<std::string> lines = GuiMessages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
