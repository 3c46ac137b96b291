// In-process GUI test support: a private Xvfb, the toolkit, Korvid's main
// window, a korvid-server with the sample database, and a scripted answer
// queue behind the dialog seam. Start with GuiStart() in a test's SetUp.
//
// Typical use:
//
//   class MyTest : public GuiTest {};      // SetUp: GuiStart + fresh queue
//   TEST_F(MyTest, Something) {
//     MainForm *mf = GuiConnectSample("db", "table");   // or GuiMainForm()
//     GuiAnswerQuestion(1);                  // the next dialog: a question, Yes
//     GuiClick(button);                      // fl_call_object_callback
//     EXPECT_EQ(GuiLastDialog().texts[0], "Do you want to quit ?");
//   }                                        // TearDown: unused answers fail
//
// Everything here is process-wide, like the toolkit itself: fl_initialize
// runs once, the main window is built once and lives until the process
// ends, and the server is started once per process. Run each GUI test
// executable as ONE ctest test (not gtest_discover_tests) so that the
// Xvfb and server start once.
#ifndef KORVID_TESTS_GUI_SUPPORT_H
#define KORVID_TESTS_GUI_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/mainform.h"

// ---- Display and toolkit -------------------------------------------------

// Starts a private Xvfb on a free display (always our own, whatever DISPLAY
// says, so that tests never draw on a user's screen), sets DISPLAY, runs
// fl_initialize, builds the main window with CreateMainForm and shows it,
// and installs the scripted dialogs into `dialogs`. It sets the toolkit's
// locale as the program does, and server_charset to UTF-8 whatever locale
// runs the tests (a test may set it otherwise). Idempotent. The toolkit's
// own warnings go to a file (GuiToolkitWarnings). Fails the test (fatal) when
// the display cannot be had.
void GuiStart(void);
// Only the first step of GuiStart: the private Xvfb, and DISPLAY naming it.
void GuiStartDisplay(void);

// The display string of the private Xvfb, e.g. ":5" (after GuiStart).
std::string GuiDisplay(void);

// The main window built by GuiStart (never freed: the program frees it never).
MainForm *GuiMainForm(void);

// Lets the toolkit handle pending X events (maps, exposes) for a moment.
void GuiFlush(void);

// Everything the toolkit wrote to its error log since GuiStart.
std::string GuiToolkitWarnings(void);

// ---- The server with the sample database -----------------------------------

// Starts, once per process, a korvid-server with the sample database on a
// private socket (its msql.conf passed through MSQL_CONF_FILE before the
// client library's first connect), then connects the main window to it
// (ConnectServer with no host) and, when given, opens db and selects table
// exactly as the command line would (OpenDatabase, SelectTable). Returns the
// main window, or null (with a test failure) when the server cannot start.
// Dialogs shown on the way go through the queue like any other; the sample
// tables have unique indexes, except "events", which shows a message.
MainForm *GuiConnectSample(const char *db = nullptr, const char *table = nullptr);

// Creates (or replaces) database `name` on the same server from a script of
// mSQL statements ended by ';' (for tables a test needs of its own). Also
// starts the server when needed. False (and a test failure) on error.
bool GuiLoadDatabase(const char *name, const std::string &script);
// Loads the sample database afresh (after a test changed it).
bool GuiReloadSample(void);

// The data directory of that server (started when needed), for database
// files that other programs write there.
std::string GuiServerDataDir(void);

// That server's UNIX socket and its msql.conf (started when needed): for a
// test that puts something between the program and the server, and points
// the client library back at the server afterwards (msqlConfigLoad).
std::string GuiServerSocket(void);
std::string GuiServerConf(void);

// A second, independent connection to the same server (for checking what
// is stored without disturbing the application's `sock`). Returns the
// handle or -1. Close it with msqlClose.
int GuiOpenCheckConnection(const char *db);

// Runs one statement on a fresh check connection and returns its rows, each
// row's columns joined by '|' ("NULL" for a NULL value). An empty vector when
// the statement failed (the test fails too).
std::vector<std::string> GuiServerRows(const char *db, const char *statement);

// Runs statements (joined by ';') straight on the SQLite file of database db,
// past the server: for what the server's own dialect cannot make, and to
// check what was stored. Returns the rows as GuiServerRows does; an error
// fails the test.
std::vector<std::string> GuiFileRows(const char *db, const std::string &statements);

// ---- Scripted dialogs --------------------------------------------------------

enum GuiDialogKind {
  GUI_QUESTION,
  GUI_ALERT,
  GUI_MESSAGE,
  GUI_INPUT,
  GUI_CHOICES,
  GUI_FSELECTOR,
};
const char *GuiDialogKindName(GuiDialogKind kind);

// One dialog as the program showed it.
//   question:  texts = {text}; number = default answer; answer "1"/"0"
//   alert:     texts = {title, line2, line3}; number = centered flag
//   message:   texts = {line1, line2, line3}
//   input:     texts = {prompt, default text}; answer = text, or "<cancel>"
//   choices:   texts = {text, b1, b2, b3}; number = count; answer = button
//   fselector: texts = {prompt, dir, pattern, default}; answer as input
struct GuiDialog {
  GuiDialogKind kind;
  std::vector<std::string> texts;
  int number;
  int default_button;  // choices only
  std::string answer;
};

// Queue the answer to the next dialog. Answers are consumed in order; a
// dialog of another kind than the next answer, or any dialog while the queue
// is empty, is a test failure (the dialog is still recorded and answered
// No / cancel / dismissed so that the code under test can go on).
void GuiAnswerQuestion(int answer);           // 1 Yes, 0 No
void GuiAnswerAlert(void);                     // dismiss
void GuiAnswerMessage(void);                   // dismiss
void GuiAnswerInput(const char *text);         // nullptr: cancel
void GuiAnswerChoice(int button);              // 1, 2 or 3
void GuiAnswerFileSelector(const char *path);  // nullptr: cancel

// Every dialog shown since the last GuiResetDialogs, in order.
const std::vector<GuiDialog> &GuiDialogsShown(void);
// The last one; fails the test (and returns an empty record) when none.
GuiDialog GuiLastDialog(void);
// The texts of one dialog joined with '\n' (handy for EXPECT_EQ).
std::string GuiDialogText(const GuiDialog &dialog);
// Number of answers still queued.
size_t GuiPendingAnswers(void);
// Forget shown dialogs and queued answers.
void GuiResetDialogs(void);
// Let any dialog through without failing (answering like GuiAnswer* would
// with defaults: question No, input/fselector cancel, choice default) until
// called again with false. For set-up code that does not care.
void GuiAllowAnyDialog(bool allow);

// ---- Widgets -------------------------------------------------------------------

// Fires the object's callback as the toolkit would (fl_call_object_callback).
void GuiClick(FL_OBJECT *object);
// Presses the form's button with this label and answers Yes to the question
// it asks.
void GuiConfirm(FL_FORM *form, const char *label);
// Sets an input's text and fires its callback.
void GuiTypeInput(FL_OBJECT *input, const char *text);
// Makes the item with exactly this text current and fires the callback; the
// test fails when no item has that text.
void GuiChoose(FL_OBJECT *choice, const char *text);
// All items of a choice, in order (item 1 first).
std::vector<std::string> GuiChoiceItems(FL_OBJECT *choice);
// The current item's text; "" when none is current.
std::string GuiChoiceText(FL_OBJECT *choice);
// An object's label as the user reads it ("" when none): without the marker
// that underlines a shortcut letter.
std::string GuiLabel(FL_OBJECT *object);
// The labels of a form that its layout cuts, one line each ("..." is N
// pixels wide in a room of M): a label inside its object wider than the
// object within its border, one to the left or right of it wider than the
// space beside it, one above or below it wider than the window.
std::string GuiLabelFaults(FL_FORM *form);
// The first object of the form whose label (as GuiLabel gives it) is exactly
// this text, or null.
FL_OBJECT *GuiFindObject(FL_FORM *form, const char *label);
// The keyboard shortcut of each button of a form, in creation order: the
// letter (lower case) that Alt takes it with, 0 when it has no shortcut or
// another one; and whether that letter is the one underlined in its label.
struct GuiShortcut {
  std::string label;  // as GuiLabel gives it
  char letter;
  bool underlined;
};
std::vector<GuiShortcut> GuiButtonShortcuts(FL_FORM *form);
// What is wrong with a window's shortcuts, one line per fault: a button
// without an Alt key of its own underlined in its label, or a key that two
// buttons share. Empty when every button has its own.
std::string GuiShortcutFaults(const std::vector<GuiShortcut> &shortcuts);
// Presses Alt and letter for the form's window, as the keyboard would (Alt
// held on the display through xdotool), and lets the toolkit handle them.
void GuiPressAlt(FL_FORM *form, char letter);
// Saves a picture of the form's window as name.png in GuiShotDir(), to be
// looked at after the run; its path, "" when it could not be taken.
std::string GuiScreenshot(FL_FORM *form, const std::string &name);
// $KORVID_GUI_SHOTS, else /tmp/korvid-gui-shots-<uid>; made when needed.
std::string GuiShotDir(void);
// The forms now visible whose window title is exactly title, newest last.
std::vector<FL_FORM *> GuiVisibleForms(const char *title);
// The lines of the main window's message list, the last of them ("" when
// none), and whether this line is among them.
std::vector<std::string> GuiMessages(void);
std::string GuiLastMessage(void);
bool GuiLogged(const std::string &line);

// Fixture: GuiStart in SetUp with a fresh dialog queue; TearDown fails when
// answers were queued but not used, and resets the queue.
class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

#endif
