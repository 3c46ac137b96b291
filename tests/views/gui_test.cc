// The list windows and the free query, in-process under Xvfb: widgets fired
// through their callbacks, real mouse clicks through xdotool where the toolkit
// itself must react (double-click, counter), dialogs answered by the queue,
// and what the server stores checked on a second connection.
// gtest before any X11 header, whose macros (None, Bool) clash with it.
#include "tests/support/gui_support.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/services/charset.h"

#include "records/records.h"
#include "views/views.h"
#include "tests/views/test_info.h"
#include "tests/support/server_clients.h"
#include "tests/support/xvfb.h"
#include "tests/views/gui_helpers.h"

namespace {

// ---- helpers ------------------------------------------------------------------

// A fresh directory for one test's files, removed afterwards.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/korvid-views-XXXXXX";
    if (mkdtemp(name)) path = name;
  }
  ~TempDir() {
    if (!path.empty()) {
      std::string command = "rm -rf '" + path + "'";
      if (system(command.c_str()) != 0) {
      }
    }
  }
  std::string File(const char *name) const { return path + "/" + name; }
};


// Lines as shown, as a file or a printer receives them: each in the
// server's charset, ended by a newline.
std::string Joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += ToServer(line.c_str()) + "\n";
  return text;
}

// A checksum of what the list shows in its top rows.
unsigned long ListPixels(ListForm *list) {
  Pump(100);
  FL_Coord bx, by, bw, bh;
  fl_get_object_geometry(list->browser, &bx, &by, &bw, &bh);
  XImage *image =
      XGetImage(fl_get_display(), list->form->window, bx + 4, by + 4, bw - 30, 40, AllPlanes, ZPixmap);
  if (image == nullptr) return 0;
  unsigned long sum = 0;
  for (int y = 0; y < 40; y++)
    for (int x = 0; x < bw - 30; x++) sum = sum * 31 + XGetPixel(image, x, y);
  XDestroyImage(image);
  return sum;
}

bool FormStillOpen(FL_FORM *form) {
  for (FL_FORM *f : GuiVisibleForms("Shower"))
    if (f == form) return true;
  return false;
}

class ShowerTest : public GuiTest {
 protected:
  void TearDown() override {
    for (ListForm *list : opened) ShowerClose(nullptr, reinterpret_cast<long>(list));
    opened.clear();
    GuiTest::TearDown();
  }
  ListForm *Open(TestInfo &t, const char *title, int mode) {
    ListForm *list = OpenShower(&t.info, title, mode);
    opened.push_back(list);
    Pump(50);
    return list;
  }
  void Closed(ListForm *list) {
    for (auto it = opened.begin(); it != opened.end(); ++it)
      if (*it == list) {
        opened.erase(it);
        return;
      }
  }
  std::vector<ListForm *> opened;
};

TestInfo People() {
  return TestInfo("people",
                  {Field("id", INT_TYPE, 11, FLAG_NOT_NULL | FLAG_UNIQUE_KEY),
                   Field("name", CHAR_TYPE, 10), Field("note", TEXT_TYPE, 6),
                   Field("people_id", IDX_TYPE, 11, FLAG_UNIQUE_KEY)},
                  3, 0, GuiMainForm());
}

// ---- the window without a server -------------------------------------------------

TEST_F(ShowerTest, ModesDecideModifyAndDoubleClick) {
  TestInfo t = People();
  const char *row1[] = {"1", "Ann", "x"};
  const char *row2[] = {"2", "Bob", "y"};

  // Free query: Modify greyed and inactive, a double-click does nothing
  // (no dialog, no form).
  ListForm *free_list = Open(t, "Show Free Query", SHOW_FREE);
  EXPECT_EQ(GuiLabel(free_list->title), "Show Free Query");
  EXPECT_FALSE(fl_object_is_active(free_list->modify));
  EXPECT_EQ(fl_get_object_lcol(free_list->modify), static_cast<FL_COLOR>(FL_INACTIVE));
  EXPECT_EQ(free_list->origin, nullptr);
  AddRecordLine(free_list->info, free_list->browser, const_cast<char **>(row1));
  AddRecordLine(free_list->info, free_list->browser, const_cast<char **>(row2));
  int x, y;
  LinePosition(free_list, 2, &x, &y);
  MouseClick(free_list->form, x, y, 2);
  EXPECT_EQ(fl_get_browser(free_list->browser), 2);  // the click reached the list
  EXPECT_TRUE(GuiDialogsShown().empty());
  EXPECT_TRUE(GuiVisibleForms("Record").empty());

  // All records: Modify active and black; the window keeps its own copy.
  ListForm *all = Open(t, "Show All Records", SHOW_ALL);
  EXPECT_TRUE(fl_object_is_active(all->modify));
  EXPECT_EQ(fl_get_object_lcol(all->modify), static_cast<FL_COLOR>(FL_BLACK));
  EXPECT_NE(all->info, &t.info);
  EXPECT_STREQ(all->info->table, "people");
  EXPECT_EQ(all->origin, nullptr);

  // Field descriptions: inactive Modify, origin is the caller's own Info.
  ListForm *fields = Open(t, "Field descriptions", SHOW_FIELDS);
  EXPECT_FALSE(fl_object_is_active(fields->modify));
  EXPECT_EQ(fields->origin, &t.info);

  std::vector<FL_FORM *> windows = GuiVisibleForms("Shower");
  EXPECT_EQ(windows.size(), 3u);
  EXPECT_EQ(fl_get_counter_value(all->fontsize), 12.0);
}

TEST_F(ShowerTest, ValuesAreShownLiterally) {
  TestInfo t = TestInfo("t", {Field("a", CHAR_TYPE, 8)}, 1, 0, GuiMainForm());
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  const char *row[] = {"@line"};
  AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  EXPECT_EQ(BrowserLines(list->browser), std::vector<std::string>{"@line     "});
  unsigned long shown = ListPixels(list);

  // The same list drawing "@@line" with format codes on shows one "@": that
  // is what the literal value must look like. A leading "@" read as a code
  // would draw "ine" in a large font instead.
  fl_clear_browser(list->browser);
  fl_set_browser_specialkey(list->browser, '@');
  fl_add_browser_line(list->browser, "@@line     ");
  EXPECT_EQ(ListPixels(list), shown);
  fl_clear_browser(list->browser);
  fl_add_browser_line(list->browser, "@line     ");
  EXPECT_NE(ListPixels(list), shown);
}

TEST_F(ShowerTest, CounterRunsFromSixToTwentyFourInStepsOfTwo) {
  TestInfo t = People();
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  const char *row[] = {"1", "Ann", "x"};
  for (int i = 0; i < 40; i++) AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  Pump(50);
  // The list's font size shows in how many lines fit in it.
  auto line_height = [&] { return 1000 / fl_get_browser_screenlines(list->browser); };
  // A press held longer than the counter's repeat delay (a busy machine)
  // would count twice; the test's presses are single steps.
  fl_set_counter_repeat(list->fontsize, 5000);
  FL_Coord cx, cy, cw, ch;
  fl_get_object_geometry(list->fontsize, &cx, &cy, &cw, &ch);
  int up_x = cx + cw - 6, down_x = cx + 6, mid_y = cy + ch / 2;

  int h12 = line_height();
  MouseClick(list->form, up_x, mid_y, 1);
  EXPECT_EQ(fl_get_counter_value(list->fontsize), 14.0);
  EXPECT_GT(line_height(), h12);  // the list's font followed the counter

  for (int i = 0; i < 6; i++) MouseClick(list->form, up_x, mid_y, 1);
  EXPECT_EQ(fl_get_counter_value(list->fontsize), 24.0);
  int h24 = line_height();
  MouseClick(list->form, up_x, mid_y, 1);
  EXPECT_EQ(fl_get_counter_value(list->fontsize), 24.0);
  EXPECT_EQ(line_height(), h24);

  for (int i = 0; i < 9; i++) MouseClick(list->form, down_x, mid_y, 1);
  EXPECT_EQ(fl_get_counter_value(list->fontsize), 6.0);
  EXPECT_LT(line_height(), h12);
}

// Every button answers to Alt and a letter of its label, shown underlined,
// no two alike; the key press fires the button.
TEST_F(ShowerTest, EveryButtonAnswersToItsOwnAltKey) {
  TestInfo t = People();
  ListForm *list = Open(t, "Show All Records", SHOW_ALL);
  std::vector<GuiShortcut> keys = GuiButtonShortcuts(list->form);
  EXPECT_EQ(keys.size(), 5u);  // Stop among them, shown while rows arrive
  EXPECT_EQ(GuiShortcutFaults(keys), "");

  GuiAnswerFileSelector(nullptr);
  GuiPressAlt(list->form, 'w');
  EXPECT_EQ(GuiLastDialog().kind, GUI_FSELECTOR);
  FL_FORM *form = list->form;
  GuiPressAlt(form, 'c');
  EXPECT_FALSE(FormStillOpen(form));
  Closed(list);
}

TEST_F(ShowerTest, WriteToFileWritesEveryLineAsShown) {
  TempDir dir;
  TestInfo t = People();
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  const char *rows[][3] = {{"1", "Ann", "a long note"}, {nullptr, "@x", nullptr}, {"3", "", "z"}};
  for (auto &row : rows) AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  std::vector<std::string> expected = {
      "1            Ann         a lon\xbb  ",
      "             @x                  ",
      "3                        z       ",
  };
  ASSERT_EQ(BrowserLines(list->browser), expected);

  FL_OBJECT *write = GuiFindObject(list->form, "Write To File");
  std::string path = dir.File("out.txt");
  GuiAnswerFileSelector(path.c_str());
  GuiAnswerMessage();
  GuiClick(write);
  EXPECT_EQ(GuiLastDialog().texts[1], "Browser contents written to file");
  EXPECT_EQ(GuiDialogsShown()[0].texts, (std::vector<std::string>{"Set Outputfile", "", "*", ""}));
  EXPECT_EQ(ReadFileText(path), Joined(expected));

  // An existing file is replaced only when the user says so; No (the
  // answer offered) leaves it as it was.
  GuiResetDialogs();
  fl_clear_browser(list->browser);
  AddRecordLine(list->info, list->browser, const_cast<char **>(rows[2]));
  GuiAnswerFileSelector(path.c_str());
  GuiAnswerQuestion(0);
  GuiClick(write);
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"The file " + path + " exists. Replace it ?"});
  EXPECT_EQ(GuiLastDialog().number, 0);
  EXPECT_EQ(ReadFileText(path), Joined(expected));
  GuiAnswerFileSelector(path.c_str());
  GuiAnswerQuestion(1);
  GuiAnswerMessage();
  GuiClick(write);
  EXPECT_EQ(GuiLastDialog().texts[1], "Browser contents written to file");
  EXPECT_EQ(ReadFileText(path), Joined({expected[2]}));

  // Cancelled: nothing at all.
  GuiResetDialogs();
  GuiAnswerFileSelector(nullptr);
  GuiClick(write);
  EXPECT_EQ(GuiDialogsShown().size(), 1u);

  // A file that cannot be opened, and one that cannot be written.
  struct Case {
    std::string path;
    const char *message;
  } cases[] = {{dir.File("no/such/dir"), "Can't open output file"},
               {"/dev/full", "Error writing output file"}};
  for (const Case &c : cases) {
    GuiResetDialogs();
    GuiAnswerFileSelector(c.path.c_str());
    GuiAnswerMessage();
    GuiClick(write);
    EXPECT_EQ(GuiLastDialog().texts[1], c.message) << c.path;
  }
}

// Waits until the file holds at least `size` bytes (the printing child runs
// on its own) and returns it.
std::string WaitForFile(const std::string &path, size_t size) {
  std::string text;
  for (int i = 0; i < 500; i++) {
    text = ReadFileText(path);
    if (text.size() >= size) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text;
}

TEST_F(ShowerTest, PrintPipesTheLinesIntoTheCommand) {
  TempDir dir;
  TestInfo t = People();
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  const char *rows[][3] = {{"1", "Ann", "a long note"}, {"2", "@Bob", nullptr}};
  for (auto &row : rows) AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  std::string expected = Joined(BrowserLines(list->browser));
  EXPECT_NE(expected.find("a lon\xc2\xbb  \n"), std::string::npos);
  FL_OBJECT *print = GuiFindObject(list->form, "Print");

  std::string out = dir.File("printed");
  std::string command = "cat > " + out + ".part && mv " + out + ".part " + out;
  GuiAnswerInput(command.c_str());
  GuiClick(print);
  EXPECT_EQ(GuiLastDialog().texts, (std::vector<std::string>{"Printer command", "lpr"}));
  EXPECT_EQ(WaitForFile(out, expected.size()), expected);

  // The default is "lpr" again, whatever was typed last time; a cancelled or
  // empty command prints nothing.
  GuiResetDialogs();
  GuiAnswerInput(nullptr);
  GuiClick(print);
  EXPECT_EQ(GuiLastDialog().texts[1], "lpr");
  GuiAnswerInput("");
  GuiClick(print);
  EXPECT_EQ(GuiLastDialog().texts[1], "lpr");

  // The window and the X connection are unharmed by the child.
  EXPECT_TRUE(FormStillOpen(list->form));
  EXPECT_EQ(GuiToolkitWarnings(), "");
  signal(SIGCHLD, SIG_DFL);
}

// A command that cannot be started or that fails is told in an alert once
// it has ended, with the last line it wrote to its standard error; one that
// succeeds says nothing. The window is usable all the while.
TEST_F(ShowerTest, APrinterCommandThatFailsIsTold) {
  TempDir dir;
  TestInfo t = People();
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  const char *row[] = {"1", "Ann", "a note"};
  AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  std::string done = dir.File("done");
  std::string missing = dir.File("no/such/lpr");
  struct Case {
    std::string command;
    std::string alert;  // empty: none
    std::string said;
  } cases[] = {
      {missing, "Printing failed: the command " + missing + " cannot be started", "not found"},
      {"cat > /dev/null; echo out of paper >&2; exit 3",
       "Printing failed: the command cat > /dev/null; echo out of paper >&2; exit 3 exited with status 3",
       "out of paper"},
      {dir.path, "Printing failed: the command " + dir.path + " cannot be started", "Permission denied"},
      {"kill -TERM $$", "Printing failed: the command kill -TERM $$ was ended by signal 15", ""},
      {"cat > /dev/null; touch " + done, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    GuiResetDialogs();
    GuiAnswerInput(c.command.c_str());
    bool fails = !c.alert.empty();
    if (fails) GuiAnswerAlert();
    GuiClick(GuiFindObject(list->form, "Print"));
    EXPECT_TRUE(FormStillOpen(list->form));
    for (int i = 0; i < 1000 && GuiDialogsShown().size() < 2 && (fails || access(done.c_str(), F_OK) != 0); i++)
      Pump(5);
    if (!fails) {
      Pump(200);  // time for an alert that must not come
      EXPECT_EQ(GuiDialogsShown().size(), 1u);
      continue;
    }
    ASSERT_EQ(GuiDialogsShown().size(), 2u) << "no alert";
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    EXPECT_EQ(GuiLastDialog().texts[0], c.alert);
    EXPECT_NE(GuiLastDialog().texts[2].find(c.said), std::string::npos) << GuiLastDialog().texts[2];
  }
  signal(SIGCHLD, SIG_DFL);
}

TEST_F(ShowerTest, ModifyNeedsASelectedLineAndAResult) {
  TestInfo t = People();
  ListForm *list = Open(t, "Show All Records", SHOW_ALL);
  const char *row[] = {"1", "Ann", "x"};
  AddRecordLine(list->info, list->browser, const_cast<char **>(row));
  // No line selected: nothing at all (any dialog would fail the test).
  GuiClick(list->modify);
  EXPECT_TRUE(GuiDialogsShown().empty());
  // A line, but no result set behind it.
  fl_select_browser_line(list->browser, 1);
  GuiAnswerMessage();
  GuiClick(list->modify);
  EXPECT_EQ(GuiLastDialog().texts[1], "I->res is NULL !!");
}

TEST_F(ShowerTest, WindowManagerCloseReleasesTheWindow) {
  TestInfo t = People();
  ListForm *list = OpenShower(&t.info, "Show Free Query", SHOW_FREE);
  Pump(50);
  FL_FORM *form = list->form;
  SendWmDelete(fl_get_display(), form->window);
  Pump(200);
  // The program goes on (the toolkit's default would have ended it), the
  // window is gone, and the sanitizer build sees nothing leaked.
  EXPECT_FALSE(FormStillOpen(form));
}

TEST_F(ShowerTest, FillStopsAtARowThatCannotBeFetched) {
  // A result set that promises three rows but holds two.
  TestInfo t("t", {Field("a", CHAR_TYPE, 3)}, 1, 0, GuiMainForm());
  char a[] = "one", b[] = "two";
  char *values1[] = {a}, *values2[] = {b};
  QueryDataRow row2 = {1, values2, nullptr, nullptr};
  QueryDataRow row1 = {1, values1, &row2, nullptr};
  ResultHandle res = {&row1, &row1, nullptr, nullptr, 3, 1, nullptr};
  ListForm *list = Open(t, "Show Free Query", SHOW_FREE);
  list->info->res = &res;
  GuiAnswerAlert();
  FillRecordLines(list);
  list->info->res = nullptr;  // not the window's to free
  EXPECT_EQ(GuiLastDialog().texts[0], "Error reading record !");
  EXPECT_EQ(BrowserLines(list->browser), (std::vector<std::string>{"one  ", "two  "}));
  // Drawing was resumed: the list shows its lines.
  EXPECT_FALSE(list->form->frozen);
}

TEST_F(ShowerTest, CloseButtonReallyClicked) {
  // Closing frees the form from inside the handling of its own button's
  // click; the sanitizer build checks that nothing touches it afterwards.
  TestInfo t = People();
  ListForm *list = OpenShower(&t.info, "Show All Records", SHOW_ALL);
  Pump(50);
  FL_FORM *form = list->form;
  MouseClick(form, 60, 52, 1);
  EXPECT_FALSE(FormStillOpen(form));
  // The toolkit goes on working.
  ListForm *other = Open(t, "Show All Records", SHOW_ALL);
  EXPECT_TRUE(FormStillOpen(other->form));
}

// ---- field descriptions ---------------------------------------------------------------

TEST_F(ShowerTest, FieldDescriptionsMarkTheKeyAndChangeIt) {
  TestInfo t = People();
  ListForm *list = Open(t, "Field descriptions", SHOW_FIELDS);
  FillFieldDescriptions(list, &t.info);
  std::vector<std::string> lines = BrowserLines(list->browser);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], FieldDescriptionHeader());
  for (int i = 0; i < 4; i++) EXPECT_EQ(lines[i + 1].substr(0, 3), i == 0 ? "@C1" : "@C0") << i;
  EXPECT_NE(lines[4].find("Index"), std::string::npos);

  auto double_click = [&](int line) {
    fl_select_browser_line(list->browser, line);
    SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  };
  // The header: nothing.
  double_click(1);
  EXPECT_EQ(t.info.pkey, 0);
  // The note field: it becomes the key and the only red line.
  double_click(4);
  EXPECT_EQ(t.info.pkey, 2);
  lines = BrowserLines(list->browser);
  ASSERT_EQ(lines.size(), 5u);
  for (int i = 0; i < 4; i++) EXPECT_EQ(lines[i + 1].substr(0, 3), i == 2 ? "@C1" : "@C0") << i;
  EXPECT_EQ(list->info->pkey, 0);  // the window's own copy keeps what it copied
  // The index: refused, nothing changes.
  GuiAnswerMessage();
  double_click(5);
  EXPECT_EQ(GuiLastDialog().texts[1], "Can't use an index as primary key !");
  EXPECT_EQ(t.info.pkey, 2);
  EXPECT_EQ(BrowserLines(list->browser), lines);
}

TEST_F(ShowerTest, FieldDescriptionsRealDoubleClick) {
  TestInfo t = People();
  ListForm *list = Open(t, "Field descriptions", SHOW_FIELDS);
  FillFieldDescriptions(list, &t.info);
  Pump(50);
  int x, y;
  LinePosition(list, 3, &x, &y);
  MouseClick(list->form, x, y, 2);
  EXPECT_EQ(t.info.pkey, 1);
  EXPECT_EQ(BrowserLines(list->browser)[2].substr(0, 3), "@C1");
}

TEST_F(ShowerTest, UnknownTypeIsReportedOncePerEntryAndFill) {
  TestInfo t("t", {Field("a", INT_TYPE, 11), Field("b", 77, 4), Field("c", 99, 4)},
              3, 0, GuiMainForm());
  ListForm *list = Open(t, "Field descriptions", SHOW_FIELDS);
  GuiAnswerMessage();
  GuiAnswerMessage();
  FillFieldDescriptions(list, &t.info);
  ASSERT_EQ(GuiDialogsShown().size(), 2u);
  for (const GuiDialog &d : GuiDialogsShown()) EXPECT_EQ(d.texts[1], "Unknown fieldtype detected !");
  std::vector<std::string> lines = BrowserLines(list->browser);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find("Unknown"), std::string::npos);
  // Choosing a key refills the list, and the messages come again.
  GuiAnswerMessage();
  GuiAnswerMessage();
  fl_select_browser_line(list->browser, 3);
  SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  EXPECT_EQ(GuiDialogsShown().size(), 4u);
  EXPECT_EQ(t.info.pkey, 1);
}

TEST_F(ShowerTest, DetachedFieldWindowNeverTouchesTheOldInfo) {
  // The Info lives on the heap and is freed after detaching, as the main
  // window does when it moves to another table: the sanitizer build would
  // catch any use of it.
  auto *t = new TestInfo(People());
  ListForm *list = Open(*t, "Field descriptions", SHOW_FIELDS);
  FillFieldDescriptions(list, &t->info);
  TestInfo other = People();
  ListForm *kept = Open(other, "Field descriptions", SHOW_FIELDS);
  DetachFieldWindows(&t->info);
  delete t;
  std::vector<std::string> before = BrowserLines(list->browser);

  GuiAnswerMessage();
  fl_select_browser_line(list->browser, 3);
  SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  EXPECT_EQ(GuiLastDialog().texts[1], "Info struct is NULL !!");
  EXPECT_EQ(BrowserLines(list->browser), before);

  // A window on another Info is not detached.
  EXPECT_EQ(kept->origin, &other.info);
  // And a closed window is forgotten: detaching afterwards is harmless.
  ShowerClose(nullptr, reinterpret_cast<long>(kept));
  Closed(kept);
  DetachFieldWindows(&other.info);
}

}  // namespace
