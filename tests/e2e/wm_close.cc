// Every kind of record form and list window closed the way a user closes it
// from its title bar: a real window manager (openbox) runs on the test
// display and wmctrl asks it to close the window, so the toolkit receives
// WM_DELETE_WINDOW. Run under valgrind in the plain build and under the
// sanitizers in theirs: a form the toolkit reads after it was freed is an
// invalid read there, a window that keeps its memory a leak.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "records/records.h"
#include "tests/support/gui_support.h"
#include "views/views.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define KORVID_LEAK_CHECK 1
#endif

namespace {

pid_t window_manager = -1;

bool WindowManagerRuns(void) {
  return system("wmctrl -m >/dev/null 2>&1") == 0;
}

// Starts openbox on the test display once per process and waits until it
// manages the screen.
bool StartWindowManager(void) {
  if (window_manager > 0) return true;
  window_manager = fork();
  if (window_manager == 0) {
    execlp("openbox", "openbox", "--sm-disable", static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200; i++) {
    if (WindowManagerRuns()) return true;
    int status;
    if (waitpid(window_manager, &status, WNOHANG) == window_manager) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void StopWindowManager(void) {
  if (window_manager <= 0) return;
  kill(window_manager, SIGTERM);
  waitpid(window_manager, nullptr, 0);
  window_manager = -1;
}

// The window manager reparents every window, so the forms are looked for
// through the whole window tree, not only among the root's children.
void CollectForms(Display *display, Window window, const char *title, std::vector<FL_FORM *> &forms) {
  FL_FORM *form = fl_win_to_form(window);
  if (form && fl_form_is_visible(form) && form->label && strcmp(form->label, title) == 0)
    forms.push_back(form);
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
  for (unsigned int i = 0; i < count; i++) CollectForms(display, children[i], title, forms);
  if (children) XFree(children);
}

// A window of the tree may be destroyed while it is walked (the window
// manager drops a frame): such a window has no forms, not an error.
int IgnoreGoneWindow(Display *, XErrorEvent *error) {
  if (error->error_code != BadWindow) ADD_FAILURE() << "X error " << int(error->error_code);
  return 0;
}

std::vector<FL_FORM *> Forms(const char *title) {
  std::vector<FL_FORM *> forms;
  Display *display = fl_get_display();
  XSync(display, False);
  XErrorHandler toolkit_handler = XSetErrorHandler(IgnoreGoneWindow);
  CollectForms(display, DefaultRootWindow(display), title, forms);
  XSync(display, False);
  XSetErrorHandler(toolkit_handler);
  return forms;
}

// The window the action opened with this title; 0 when none.
Window Opened(const char *title, const std::function<void()> &action) {
  std::vector<FL_FORM *> before = Forms(title);
  action();
  GuiFlush();
  for (FL_FORM *form : Forms(title))
    if (std::find(before.begin(), before.end(), form) == before.end()) return form->window;
  return 0;
}

bool Visible(Window window, const char *title) {
  for (FL_FORM *form : Forms(title))
    if (form->window == window) return true;
  return false;
}

class WindowManagerClose : public GuiTest {};

TEST_F(WindowManagerClose, EveryWindowClosesFromItsTitleBar) {
  ASSERT_TRUE(GuiLoadDatabase("wmclose",
                              "CREATE TABLE t (id int, name char(20));\n"
                              "CREATE UNIQUE INDEX t_id ON t (id);\n"
                              "INSERT INTO t VALUES (1, 'one');\n"
                              "INSERT INTO t VALUES (2, 'two');\n"));
  MainForm *mf = GuiConnectSample("wmclose", "t");
  ASSERT_NE(mf, nullptr);
  ASSERT_TRUE(StartWindowManager()) << "openbox could not be started (scripts/install-deps.sh installs it)";
  long main_data = reinterpret_cast<long>(mf);

  struct Case {
    const char *name;
    const char *title;
    std::function<void()> open;
  } cases[] = {
      {"Modify Record", "Record", [&] { ModifyRecord("1", mf->info); }},
      {"Insert Record", "Record", [&] { InsertForm(nullptr, main_data); }},
      {"Search Form", "Record", [&] { SearchForm(nullptr, main_data); }},
      {"Show Record", "Record",
       [&] {
         SearchForm(nullptr, main_data);
         std::vector<FL_FORM *> search = Forms("Record");
         ASSERT_FALSE(search.empty());
         GuiClick(GuiFindObject(search.back(), "Search"));
       }},
      {"Show All Records", "Shower", [&] { ShowAllRecords(nullptr, main_data); }},
      {"Field descriptions", "Shower", [&] { FieldInfo(nullptr, main_data); }},
      {"Show Free Query", "Shower",
       [&] {
         GuiAnswerChoice(1);
         GuiAnswerInput("SELECT name FROM t");
         GuiAnswerMessage();
         FreeQuery(nullptr, main_data);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = Forms(c.title).size();
    Window window = Opened(c.title, c.open);
    ASSERT_NE(window, 0u) << "no window opened";
    // Let the window manager take the window before it is asked to close it.
    for (int i = 0; i < 20; i++) GuiFlush();
    std::string command = "wmctrl -i -c " + std::to_string(window);
    ASSERT_EQ(system(command.c_str()), 0) << command;
    for (int i = 0; i < 400 && Visible(window, c.title); i++) {
      GuiFlush();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(Visible(window, c.title)) << "still open after the window manager's close";
    GuiFlush();  // the main loop goes on, as it would after the close
    EXPECT_EQ(Forms(c.title).size(), before);
    EXPECT_EQ(GuiPendingAnswers(), 0u);
  }
  EXPECT_EQ(Forms("Korvid").size(), 1u);  // the main window stays
#ifdef KORVID_LEAK_CHECK
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
  StopWindowManager();
}

// The main window's close button asks as Exit does; No keeps the program,
// and every form with what was typed into it.
TEST_F(WindowManagerClose, TheMainWindowAsksBeforeQuitting) {
  ASSERT_TRUE(GuiLoadDatabase("wmquit",
                              "CREATE TABLE t (id int, name char(20));\n"
                              "CREATE UNIQUE INDEX t_id ON t (id);\n"));
  MainForm *mf = GuiConnectSample("wmquit", "t");
  ASSERT_NE(mf, nullptr);
  ASSERT_TRUE(StartWindowManager()) << "openbox could not be started (scripts/install-deps.sh installs it)";
  Window window = Opened("Record", [&] { InsertForm(nullptr, reinterpret_cast<long>(mf)); });
  ASSERT_NE(window, 0u);
  RecordForm *insert = static_cast<RecordForm *>(fl_win_to_form(window)->u_vdata);
  fl_set_input(insert->inputs[0], "7");
  fl_set_input(insert->inputs[1], "typed, not yet inserted");
  for (int i = 0; i < 20; i++) GuiFlush();

  for (int attempt = 0; attempt < 2; attempt++) {
    SCOPED_TRACE(attempt);
    GuiResetDialogs();
    GuiAnswerQuestion(0);
    std::string command = "wmctrl -i -c " + std::to_string(mf->form->window);
    ASSERT_EQ(system(command.c_str()), 0) << command;
    for (int i = 0; i < 400 && GuiDialogsShown().empty(); i++) {
      GuiFlush();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(GuiDialogsShown().size(), 1u) << "no question";
    EXPECT_EQ(GuiLastDialog().kind, GUI_QUESTION);
    EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Do you want to quit ?"});
    EXPECT_EQ(GuiLastDialog().number, 1);
    for (int i = 0; i < 20; i++) GuiFlush();
    EXPECT_TRUE(Visible(mf->form->window, "Korvid"));
    EXPECT_TRUE(Visible(window, "Record"));
    EXPECT_STREQ(fl_get_input(insert->inputs[1]), "typed, not yet inserted");
  }
  fl_call_object_callback(insert->close);
  StopWindowManager();
}

}  // namespace
