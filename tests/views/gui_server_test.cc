// Show All, Field Info and the free query against a real korvid-server: the
// lines shown for the rows the server holds, the statements sent, and what
// the server stores afterwards. Each test works on tables of its own.
#include "tests/support/gui_support.h"

#include <X11/keysym.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/services/charset.h"
#include "records/records.h"
#include "msql/conf/config.h"
#include "tests/support/relay.h"
#include "tests/support/server_clients.h"
#include "tests/support/xvfb.h"
#include "tests/views/gui_helpers.h"
#include "views/views.h"

namespace {

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

// Every list window now open, newest last, with its record.
std::vector<ListForm *> OpenLists(void) {
  std::vector<ListForm *> lists;
  for (FL_FORM *form : GuiVisibleForms("Shower")) lists.push_back(static_cast<ListForm *>(form->u_vdata));
  return lists;
}

// The one open list window with this title; null when none or several.
// Windows are raised a moment after they open, so their stacking order can
// differ from the order they were opened in.
ListForm *ListTitled(const std::string &title) {
  ListForm *found = nullptr;
  for (ListForm *list : OpenLists()) {
    if (GuiLabel(list->title) != title) continue;
    if (found != nullptr) return nullptr;
    found = list;
  }
  return found;
}

// The one list window opened since `before` was taken; null when none or
// several.
ListForm *OpenedSince(const std::vector<ListForm *> &before) {
  ListForm *found = nullptr;
  for (ListForm *list : OpenLists()) {
    if (std::find(before.begin(), before.end(), list) != before.end()) continue;
    if (found != nullptr) return nullptr;
    found = list;
  }
  return found;
}



// A file of its own for one test, removed afterwards.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string &content) {
    char name[] = "/tmp/korvid-views-XXXXXX.sql";
    int fd = mkstemps(name, 4);
    if (fd < 0) return;
    path = name;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) path.clear();
    close(fd);
  }
  ~TempFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

// A table of the layout used throughout: an Integer key, a Character(10)
// and a Free text(6), three rows stored out of key order.
std::string LayoutTable(const std::string &t) {
  return "CREATE TABLE " + t + " (id int not null, name char(10), note text(6));\n" +
         "CREATE UNIQUE INDEX " + t + "_id ON " + t + " (id);\n" +
         "INSERT INTO " + t + " VALUES (2, 'Bob', 'a long note');\n" +
         "INSERT INTO " + t + " VALUES (1, '@Ann', NULL);\n" +
         "INSERT INTO " + t + " VALUES (3, NULL, 'x');\n";
}

// The database "views": one table per test, so that no test sees another's
// changes. Tables without a unique index take their first field as key.
std::string ViewsScript(void) {
  std::string script;
  for (const char *t : {"va", "vm", "vf", "vq", "vr", "vc", "vu"}) script += LayoutTable(t);
  script +=
      "CREATE TABLE ve (a int, b char(4));\n"
      "CREATE TABLE vg (a int);\n"
      "CREATE TABLE vn (a int, b char(4));\n"
      "INSERT INTO vn VALUES (NULL, 'x');\n"
      "CREATE TABLE vd (id int, name char(10));\n"
      "CREATE TABLE vo (x int);\n"
      "CREATE TABLE vbig (id int not null, name char(10));\n"
      "CREATE UNIQUE INDEX vbig_id ON vbig (id);\n";
  return script;
}

// Makes the main window's current table `table` of the database "views"
// (none when null), as a user would.
MainForm *Prepare(const char *table) {
  static bool loaded = false;
  GuiAllowAnyDialog(true);
  if (!loaded) loaded = GuiLoadDatabase("views", ViewsScript());
  MainForm *mainform = GuiConnectSample("views", table);
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  return mainform;
}

class ListServerTest : public GuiTest {
 protected:
  void TearDown() override {
    for (ListForm *list : OpenLists()) ShowerClose(nullptr, reinterpret_cast<long>(list));
    for (FL_FORM *form : GuiVisibleForms("Record"))
      fl_call_object_callback(static_cast<RecordForm *>(form->u_vdata)->close);
    GuiTest::TearDown();
  }
};


TEST_F(ListServerTest, ShowAllListsEveryRowInKeyOrder) {
  MainForm *mainform = Prepare("va");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  EXPECT_EQ(GuiLastMessage(), "Executing: SELECT * FROM va ORDER BY id ");
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  ListForm *list = lists[0];
  EXPECT_EQ(GuiLabel(list->title), "Show All Records");
  // Integer 11 + 2, Character(10) 10 + 2, Free text(6) 6 + 2; the free text
  // cut, NULL as blanks, the "@" kept.
  std::vector<std::string> expected = {
      "1" + Blanks(10) + "  @Ann" + Blanks(6) + "  " + Blanks(6) + "  ",
      "2" + Blanks(10) + "  Bob" + Blanks(7) + "  a lon\xbb  ",
      "3" + Blanks(10) + "  " + Blanks(10) + "  x" + Blanks(5) + "  ",
  };
  EXPECT_EQ(BrowserLines(list->browser), expected);
  // Written to a file as shown, without the mark of a cut value.
  expected[1] = "2" + Blanks(10) + "  Bob" + Blanks(7) + "  a long  ";
  char path[] = "/tmp/korvid-views-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  GuiAnswerFileSelector(path);
  GuiAnswerQuestion(1);  // the file made for it exists: replaced on Yes
  GuiAnswerMessage();
  GuiClick(GuiFindObject(list->form, "Write To File"));
  std::string written;
  for (const std::string &line : expected) written += line + "\n";
  EXPECT_EQ(ReadFileText(path), written);
  unlink(path);
}

// A value longer than its column ends there in a mark that the eye can
// tell from a value that ends at the column: 2,000 characters in a free
// text of length 255 show 254 of them and the mark.
TEST_F(ListServerTest, AValueCutToItsColumnEndsInAMark) {
  GuiAllowAnyDialog(true);
  ASSERT_TRUE(GuiLoadDatabase("longvalue",
      "CREATE TABLE notes (id int, body text(255), tag char(4));\n"
      "CREATE UNIQUE INDEX notes_id ON notes (id);\n"));
  std::string value;
  for (int i = 0; value.size() < 2000; i++) value += "word" + std::to_string(i % 10) + " ";
  value.resize(2000);
  GuiServerRows("longvalue", ("INSERT INTO notes VALUES (1, '" + value + "', 'abcd')").c_str());
  GuiServerRows("longvalue", ("INSERT INTO notes VALUES (2, '" + value.substr(0, 255) + "', 'ab')").c_str());
  MainForm *mainform = GuiConnectSample("longvalue", "notes");
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ASSERT_EQ(OpenLists().size(), 1u);
  ListForm *list = OpenLists()[0];
  // Cut: 254 characters and the mark. Exactly as long as the column, or a
  // value that fills its Character field: whole, no mark.
  std::vector<std::string> expected = {
      "1" + Blanks(10) + "  " + value.substr(0, 254) + "\xbb  abcd  ",
      "2" + Blanks(10) + "  " + value.substr(0, 255) + "  ab    ",
  };
  EXPECT_EQ(BrowserLines(list->browser), expected);
  // The end of the column brought into view, for the picture.
  fl_set_browser_xoffset(list->browser, fl_get_string_width(FL_FIXEDBOLD_STYLE, 12, expected[0].c_str(), 250));
  EXPECT_NE(GuiScreenshot(list->form, "list-cut-value"), "");
}

TEST_F(ListServerTest, ShowAllOnAnEmptyTableOpensAnEmptyWindow) {
  MainForm *mainform = Prepare("ve");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(GuiLabel(lists[0]->title), "Show All Records");
  EXPECT_EQ(fl_get_browser_maxline(lists[0]->browser), 0);
}

TEST_F(ListServerTest, ShowAllNeedsATableAndAnAcceptedQuery) {
  MainForm *mainform = Prepare(nullptr);
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  EXPECT_EQ(GuiLastDialog().texts[0], "Select a table first !");
  EXPECT_TRUE(OpenLists().empty());

  // The table goes away behind the main window's back: the query is refused
  // and no window opens.
  mainform = Prepare("vg");
  GuiServerRows("views", "DROP TABLE vg");
  GuiAnswerAlert();
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  EXPECT_EQ(GuiLastDialog().texts[0], "Query failed");
  EXPECT_TRUE(OpenLists().empty());
}

TEST_F(ListServerTest, DoubleClickAndModifyOpenTheSelectedRecord) {
  MainForm *mainform = Prepare("vm");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ListForm *list = OpenLists().at(0);
  Pump(100);

  // The record of each way in, looked up afresh by its key.
  auto opened = [&](const char *id, const char *name) {
    std::vector<FL_FORM *> forms = GuiVisibleForms("Record");
    ASSERT_EQ(forms.size(), 1u);
    RecordForm *record = static_cast<RecordForm *>(forms[0]->u_vdata);
    EXPECT_STREQ(fl_get_input(record->inputs[0]), id);
    EXPECT_STREQ(fl_get_input(record->inputs[1]), name);
    EXPECT_EQ(GuiLabel(record->title), "Modify Record");
    fl_call_object_callback(record->close);
  };
  // Modify with line 2 selected.
  fl_select_browser_line(list->browser, 2);
  GuiClick(list->modify);
  opened("2", "Bob");
  // A real double-click on line 1.
  int x, y;
  LinePosition(list, 1, &x, &y);
  MouseClick(list->form, x, y, 2);
  opened("1", "@Ann");
  // The list is left as it was.
  EXPECT_EQ(fl_get_browser_maxline(list->browser), 3);
}

// A list keeps to the database it was opened on: its Modify looks the
// record up there, and the form it opens changes it there, whatever the main
// window has chosen since.
TEST_F(ListServerTest, ModifyFromAListReachesTheListsDatabase) {
  for (const char *name : {"vw1", "vw2"}) {
    std::string n = name;
    ASSERT_TRUE(GuiLoadDatabase(name, "CREATE TABLE people (id int, name char(10));\n"
                                      "CREATE UNIQUE INDEX people_id ON people (id);\n"
                                      "INSERT INTO people VALUES (7, '" + n + "');\n"));
  }
  MainForm *mainform = GuiConnectSample("vw1", "people");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ListForm *list = OpenLists().at(0);
  GuiChoose(mainform->database_choice, "vw2");
  GuiChoose(mainform->table_choice, "people");

  fl_select_browser_line(list->browser, 1);
  GuiClick(list->modify);
  std::vector<FL_FORM *> forms = GuiVisibleForms("Record");
  ASSERT_EQ(forms.size(), 1u);
  RecordForm *record = static_cast<RecordForm *>(forms[0]->u_vdata);
  EXPECT_STREQ(fl_get_input(record->inputs[1]), "vw1");
  GuiConfirm(record->form, "Delete");
  EXPECT_EQ(GuiLastDialog().texts[0], "Delete this record from vw1.people ?");
  EXPECT_TRUE(GuiFileRows("vw1", "SELECT * FROM people").empty());
  EXPECT_EQ(GuiFileRows("vw2", "SELECT * FROM people"), std::vector<std::string>{"7|vw2"});
}

// The table is made again with fewer fields: a list opened before looks its
// record up and finds it has changed; Show All now lists nothing of it; both
// say that it must be chosen again.
TEST_F(ListServerTest, ATableMadeAgainWithOtherFieldsIsNotReadPast) {
  ASSERT_TRUE(GuiLoadDatabase("vremade", LayoutTable("people")));
  MainForm *mainform = GuiConnectSample("vremade", "people");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ListForm *before = OpenLists().at(0);
  GuiServerRows("vremade", "DROP TABLE people");
  GuiServerRows("vremade", "CREATE TABLE people (id int, name char(10))");
  GuiServerRows("vremade", "INSERT INTO people VALUES (1, 'Ann')");
  const char *changed = "The table vremade.people has changed: choose it again";

  fl_select_browser_line(before->browser, 1);
  GuiAnswerAlert();
  GuiClick(before->modify);
  EXPECT_EQ(GuiDialogText(GuiLastDialog()), std::string(changed) + "\n\n");
  EXPECT_TRUE(GuiVisibleForms("Record").empty());

  GuiAnswerAlert();
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  EXPECT_EQ(GuiLastDialog().texts.at(0), changed);
  ASSERT_EQ(OpenLists().size(), 2u);
  EXPECT_EQ(fl_get_browser_maxline(OpenLists().at(1)->browser), 0);
}

TEST_F(ListServerTest, ARecordWithoutKeyValueIsNotLookedUp) {
  MainForm *mainform = Prepare("vn");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ListForm *list = OpenLists().at(0);
  size_t before = GuiMessages().size();
  fl_select_browser_line(list->browser, 1);
  GuiAnswerMessage();
  GuiClick(list->modify);
  EXPECT_EQ(GuiLastDialog().texts[1], "The primary key of this record is NULL !");
  EXPECT_EQ(GuiMessages().size(), before);
  EXPECT_TRUE(GuiVisibleForms("Record").empty());
}

TEST_F(ListServerTest, PrinterCommandHoldsNoSocketOfTheProgram) {
  // Connected to the server: the command must not keep the program's
  // sockets (the server connection, the X connection) open; only its own
  // standard descriptors are listed.
  MainForm *mainform = Prepare("va");
  ASSERT_GE(sock, 0);
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ListForm *list = OpenLists().at(0);
  char dir[] = "/tmp/korvid-views-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string fds = std::string(dir) + "/fds";
  std::string command =
      "for f in /proc/$$/fd/*; do n=${f##*/}; [ $n -ge 3 ] && echo \"$n $(readlink $f)\"; done > " +
      fds + ".part; cat > /dev/null; mv " + fds + ".part " + fds;
  GuiAnswerInput(command.c_str());
  GuiClick(GuiFindObject(list->form, "Print"));
  for (int i = 0; i < 500 && access(fds.c_str(), F_OK) != 0; i++) usleep(10000);
  std::ifstream in(fds);
  std::stringstream listed;
  listed << in.rdbuf();
  EXPECT_EQ(listed.str().find("socket:"), std::string::npos) << listed.str();
  unlink(fds.c_str());
  rmdir(dir);
  signal(SIGCHLD, SIG_DFL);
}

// ---- field descriptions ----------------------------------------------------------------

TEST_F(ListServerTest, FieldInfoListsTheTableAndChoosesTheKey) {
  MainForm *mainform = Prepare("vf");
  GuiClick(GuiFindObject(mainform->form, "Field Info"));
  ListForm *list = OpenLists().at(0);
  EXPECT_EQ(GuiLabel(list->title), "Field descriptions");
  std::vector<std::string> lines = BrowserLines(list->browser);
  ASSERT_EQ(lines.size(), 5u);  // header, three fields, the index
  EXPECT_EQ(lines[1].substr(0, 60),
            "@C1" + Blanks(16) + "id" + Blanks(17) + "vf" + "     11   " + "   Integer");
  EXPECT_EQ(lines[1].substr(lines[1].size() - 1), "Y");  // not null
  EXPECT_EQ(lines[2].substr(0, 3), "@C0");
  EXPECT_NE(lines[4].find("Index"), std::string::npos);

  // The name field becomes the key: a following Show All orders by it.
  fl_select_browser_line(list->browser, 3);
  SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  EXPECT_EQ(mainform->info->pkey, 1);
  EXPECT_EQ(BrowserLines(list->browser)[2].substr(0, 3), "@C1");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  EXPECT_EQ(GuiLastMessage(), "Executing: SELECT * FROM vf ORDER BY name ");
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 2u);
  std::vector<std::string> shown = BrowserLines(lists[1]->browser);
  ASSERT_EQ(shown.size(), 3u);
  // The server's order of "name", whatever it does with NULL; the three rows
  // each once.
  std::vector<std::string> names = GuiServerRows("views", "SELECT id FROM vf ORDER BY name");
  ASSERT_EQ(names.size(), 3u);
  for (size_t i = 0; i < 3; i++) EXPECT_EQ(shown[i].substr(0, names[i].size()), names[i]) << i;

  // The index line is refused.
  GuiAnswerMessage();
  fl_select_browser_line(list->browser, 5);
  SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  EXPECT_EQ(GuiLastDialog().texts[1], "Can't use an index as primary key !");
  EXPECT_EQ(mainform->info->pkey, 1);
}

TEST_F(ListServerTest, FieldWindowLeftBehindByATableChangeIsDetached) {
  MainForm *mainform =
      Prepare("vd");
  GuiClick(GuiFindObject(mainform->form, "Field Info"));
  ListForm *list = OpenLists().at(0);
  EXPECT_EQ(list->origin, mainform->info);
  // Another table: the main window frees the Info this window pointed at.
  GuiAllowAnyDialog(true);
  GuiChoose(mainform->table_choice, "vo");
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  EXPECT_EQ(list->origin, nullptr);
  GuiAnswerMessage();
  fl_select_browser_line(list->browser, 3);
  SetPrimaryKey(list->browser, reinterpret_cast<long>(list));
  EXPECT_EQ(GuiLastDialog().texts[1], "Info struct is NULL !!");
  EXPECT_EQ(mainform->info->pkey, 0);
}

// ---- free query -------------------------------------------------------------------------

// Runs the free query typed by hand; `then` queues the answers to the
// dialogs that follow the typing.
void TypeQuery(MainForm *mainform, const std::string &statement, void (*then)(void) = nullptr) {
  GuiAnswerChoice(1);
  GuiAnswerInput(statement.c_str());
  if (then) then();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
}

const char kNotice[] =
    "Selection of records is disabled as it can have \nunpredictable side effects with free queries !";

TEST_F(ListServerTest, TypedQueryOpensAFreeQueryWindow) {
  MainForm *mainform = Prepare(nullptr);  // no table needed
  // The first free query of the run (this test comes first) starts from
  // "SELECT ".
  std::string proposed = QueryStore();
  EXPECT_EQ(proposed, "SELECT ");
  GuiAnswerChoice(1);
  GuiAnswerInput("SELECT name, id, note FROM vq WHERE id >= 2");
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  const std::vector<GuiDialog> &shown = GuiDialogsShown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].texts, (std::vector<std::string>{"Choose how to enter your query :", "Manual",
                                                      "Read file", "Cancel"}));
  EXPECT_EQ(shown[0].default_button, 1);
  EXPECT_EQ(shown[1].texts, (std::vector<std::string>{"Enter SQL Select statement :", proposed}));
  EXPECT_EQ(shown[2].texts[1], kNotice);
  EXPECT_EQ(GuiLastMessage(), "Executing: SELECT name, id, note FROM vq WHERE id >= 2");

  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  ListForm *list = lists[0];
  EXPECT_EQ(GuiLabel(list->title), "Show Free Query");
  EXPECT_FALSE(fl_object_is_active(list->modify));
  EXPECT_EQ(BrowserLines(list->browser),
            (std::vector<std::string>{"Bob" + Blanks(7) + "  2" + Blanks(10) + "  a lon\xbb  ",
                                      Blanks(10) + "  3" + Blanks(10) + "  x" + Blanks(5) + "  "}));

  // The next entry proposes the statement just run.
  GuiResetDialogs();
  GuiAnswerChoice(3);  // Cancel
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  GuiAnswerChoice(1);
  GuiAnswerInput(nullptr);
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiLastDialog().texts[1], "SELECT name, id, note FROM vq WHERE id >= 2");
  EXPECT_EQ(OpenLists().size(), 1u);
}

TEST_F(ListServerTest, QueryReadFromAFile) {
  MainForm *mainform = Prepare(nullptr);
  struct Case {
    const char *what;
    std::string content;
    std::string sent;
    std::string line;
  } cases[] = {
      {"trailing newline dropped", "SELECT id FROM vr WHERE id = 1\n",
       "SELECT id FROM vr WHERE id = 1", "1" + Blanks(10) + "  "},
      {"inner line breaks kept", "SELECT name\nFROM vr\nWHERE id = 2\n", "SELECT name\nFROM vr\nWHERE id = 2",
       "Bob" + Blanks(7) + "  "},
  };
  for (const Case &c : cases) {
    GuiResetDialogs();
    TempFile file(c.content);
    ASSERT_FALSE(file.path.empty());
    GuiAnswerChoice(2);
    GuiAnswerFileSelector(file.path.c_str());
    GuiAnswerMessage();
    GuiClick(GuiFindObject(mainform->form, "SQL Query"));
    EXPECT_EQ(GuiDialogsShown().at(1).texts,
              (std::vector<std::string>{"Set Inputfile", "", "*.sql", ""}))
        << c.what;
    EXPECT_EQ(std::string(QueryStore()), c.sent) << c.what;
    std::vector<ListForm *> lists = OpenLists();
    ASSERT_EQ(lists.size(), 1u) << c.what;
    EXPECT_EQ(BrowserLines(lists[0]->browser), std::vector<std::string>{c.line}) << c.what;
    ShowerClose(nullptr, reinterpret_cast<long>(lists[0]));
  }

  // The file read last is what "Manual" proposes next.
  GuiResetDialogs();
  GuiAnswerChoice(1);
  GuiAnswerInput(nullptr);
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiLastDialog().texts[1], "SELECT name\nFROM vr\nWHERE id = 2");

  // Cancelled, or a file that cannot be opened: nothing sent, store kept.
  size_t before = GuiMessages().size();
  GuiAnswerChoice(2);
  GuiAnswerFileSelector(nullptr);
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  GuiAnswerChoice(2);
  GuiAnswerFileSelector("/nonexistent/dir/q.sql");
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiLastDialog().texts[1], "Can't open input file");
  EXPECT_EQ(GuiMessages().size(), before);
  EXPECT_EQ(std::string(QueryStore()), "SELECT name\nFROM vr\nWHERE id = 2");
}

TEST_F(ListServerTest, StatementLongerThanTheStoreIsSentCutOnlyWhenAgreed) {
  MainForm *mainform = Prepare(nullptr);
  // The cut falls inside the padding: what is left selects one row, the
  // whole statement would select two.
  std::string head = "SELECT id FROM vc WHERE id = 1";
  std::string statement = head + std::string(STATEMENT_SIZE, ' ') + "OR id = 2";
  std::string cut = head + std::string(STATEMENT_SIZE - 1 - head.size(), ' ');
  // The statement typed replaces one of a single line: a statement of several
  // lines left by another test would make the line breaks lost, and ask.
  TempFile first(head + "\n");
  GuiAnswerChoice(2);
  GuiAnswerFileSelector(first.path.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  for (ListForm *list : OpenLists()) ShowerClose(nullptr, reinterpret_cast<long>(list));

  for (int from_file = 0; from_file < 2; from_file++) {
    TempFile file(statement + "\n");
    auto enter = [&] {
      if (from_file) {
        GuiAnswerChoice(2);
        GuiAnswerFileSelector(file.path.c_str());
      } else {
        GuiAnswerChoice(1);
        GuiAnswerInput(statement.c_str());
      }
    };
    // Declined: nothing sent.
    GuiResetDialogs();
    size_t before = GuiMessages().size();
    enter();
    GuiAnswerQuestion(0);
    GuiClick(GuiFindObject(mainform->form, "SQL Query"));
    EXPECT_NE(GuiLastDialog().texts[0].find(std::to_string(STATEMENT_SIZE - 1)), std::string::npos)
        << from_file;
    EXPECT_EQ(GuiLastDialog().number, 0) << "No is the default";
    EXPECT_EQ(GuiMessages().size(), before) << from_file;
    EXPECT_TRUE(OpenLists().empty());
    // Agreed: as much as the store holds goes out.
    enter();
    GuiAnswerQuestion(1);
    GuiAnswerMessage();
    GuiClick(GuiFindObject(mainform->form, "SQL Query"));
    EXPECT_EQ(std::string(QueryStore()), cut) << from_file;
    std::vector<ListForm *> lists = OpenLists();
    ASSERT_EQ(lists.size(), 1u) << from_file;
    EXPECT_EQ(fl_get_browser_maxline(lists[0]->browser), 1) << from_file;
    ShowerClose(nullptr, reinterpret_cast<long>(lists[0]));
  }

  // Exactly as much as the store holds: sent whole, without a question.
  std::string exact = head + std::string(STATEMENT_SIZE - 1 - head.size(), ' ');
  GuiResetDialogs();
  GuiAnswerChoice(1);
  GuiAnswerInput(exact.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiDialogsShown().size(), 3u);
  EXPECT_EQ(std::string(QueryStore()), exact);
}

TEST_F(ListServerTest, StatementsWithoutRowsOpenNothing) {
  MainForm *mainform = Prepare(nullptr);
  // Rows of an earlier query that nobody stored must not stand in for the
  // result of the UPDATE.
  ASSERT_GE(msqlQuery(sock, "SELECT * FROM vu"), 0);
  TypeQuery(mainform, "UPDATE vu SET note = 'z' WHERE id = 3");
  EXPECT_EQ(GuiDialogsShown().size(), 2u);  // the choice and the input only
  EXPECT_EQ(GuiLastMessage(), "Executing: UPDATE vu SET note = 'z' WHERE id = 3");
  EXPECT_TRUE(OpenLists().empty());
  EXPECT_EQ(GuiServerRows("views", "SELECT note FROM vu WHERE id = 3"),
            std::vector<std::string>{"z"});

  // A SELECT without rows: the notice, then an empty window.
  GuiResetDialogs();
  TypeQuery(mainform, "SELECT * FROM vu WHERE id = 99", GuiAnswerMessage);
  EXPECT_EQ(GuiLastDialog().texts[1], kNotice);
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(fl_get_browser_maxline(lists[0]->browser), 0);

  // A refused statement: the alert, no window, the store keeps it.
  GuiResetDialogs();
  TypeQuery(mainform, "SELEKT nothing", GuiAnswerAlert);
  EXPECT_EQ(GuiLastDialog().texts[0], "Query failed");
  EXPECT_EQ(OpenLists().size(), 1u);
  EXPECT_EQ(std::string(QueryStore()), "SELEKT nothing");
}


// ---- CSV ------------------------------------------------------------------------

// The rows of a CSV file as Python's csv module reads them, each field's bytes
// in hex, fields joined by ','. Latin-1 maps every byte to one character, so
// the bytes come back exactly; NULL and "" both read as an empty field.
std::vector<std::string> PythonCsvRows(const std::string &path) {
  std::string command =
      "python3 -c 'import csv, sys\n"
      "with open(sys.argv[1], newline=\"\", encoding=\"latin-1\") as f:\n"
      "    for row in csv.reader(f, strict=True):\n"
      "        print(\",\".join(v.encode(\"latin-1\").hex() for v in row))\n' " + path;
  std::vector<std::string> rows;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return rows;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string row = line;
    if (!row.empty() && row.back() == '\n') row.pop_back();
    rows.push_back(row);
  }
  EXPECT_EQ(pclose(pipe), 0) << "python3 could not read " << path;
  return rows;
}

std::string Hex(const std::vector<std::string> &fields) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < fields.size(); i++) {
    if (i) text += ',';
    for (unsigned char c : fields[i]) {
      text += digits[c >> 4];
      text += digits[c & 15];
    }
  }
  return text;
}

TEST_F(ListServerTest, WriteToFileNamedCsvWritesTheResultSetWhole) {
  // Values the fixed-width lines cannot hold: separators, quotes, line ends,
  // tabs, Latin-1 and UTF-8 bytes, text longer than its column, "" and NULL.
  const std::vector<std::vector<std::string>> values = {
      {"1", "a,b", "say \"hi\" twice"},
      {"2", "x\ry", "l1\nl2\r\n"},
      {"3", "Jos\xe9", "Jos\xc3\xa9\tz"},
      {"4", "", ""},  // name NULL, note empty
      {"5", "@at", ""},  // note NULL
  };
  GuiAllowAnyDialog(true);
  ASSERT_TRUE(GuiLoadDatabase("csv",
      "CREATE TABLE vcsv (id int, name char(10), note text(6));\n"
      "CREATE UNIQUE INDEX vcsv_id ON vcsv (id);\n"));
  for (const char *insert :
       {"INSERT INTO vcsv VALUES (1, 'a,b', 'say \"hi\" twice')",
        "INSERT INTO vcsv VALUES (2, 'x\ry', 'l1\nl2\r\n')",
        "INSERT INTO vcsv VALUES (3, 'Jos\xe9', 'Jos\xc3\xa9\tz')",
        "INSERT INTO vcsv VALUES (4, NULL, '')", "INSERT INTO vcsv VALUES (5, '@at', NULL)"})
    GuiServerRows("csv", insert);
  MainForm *mainform = GuiConnectSample("csv", "vcsv");
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  char dir[] = "/tmp/korvid-csv-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);

  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ASSERT_EQ(OpenLists().size(), 1u);
  ListForm *list = OpenLists()[0];
  std::vector<std::string> expected = {"6964,6e616d65,6e6f7465"};  // id,name,note
  for (const auto &row : values) expected.push_back(Hex(row));

  struct Case {
    const char *name;
    bool csv;
  } cases[] = {{"out.csv", true}, {"OUT.CsV", true}, {"out.csv.txt", false}, {"csv", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = std::string(dir) + "/" + c.name;
    GuiAnswerFileSelector(path.c_str());
    GuiAnswerMessage();
    GuiClick(GuiFindObject(list->form, "Write To File"));
    EXPECT_EQ(GuiLastDialog().texts[1], "Browser contents written to file");
    std::string written = ReadFileText(path);
    if (c.csv) {
      EXPECT_EQ(PythonCsvRows(path), expected);
      // What the reader cannot tell apart: NULL unquoted, "" for empty text;
      // and every line ends in CRLF.
      EXPECT_NE(written.find("\r\n4,,\"\"\r\n5,@at,\r\n"), std::string::npos) << written;
      EXPECT_EQ(written.substr(0, 14), "id,name,note\r\n");
    } else {
      // The lines as shown, but in the server's bytes: the list shows row 3
      // in Latin-1, "Jos?" for the broken UTF-8 and "Jos\xe9" for the good.
      EXPECT_EQ(BrowserLines(list->browser)[2], "3            Jos?        Jos\xe9 z  ");
      EXPECT_EQ(written,
                "1            a,b         say \"h  \n"
                "2            x y         l1 l2   \n"
                "3            Jos\xe9        Jos\xc3\xa9 z  \n"
                "4                                \n"
                "5            @at                 \n");
    }
    unlink(path.c_str());
  }
  // An existing CSV file is asked for as any other: No keeps it.
  std::string kept = std::string(dir) + "/kept.csv";
  std::ofstream(kept) << "keep me\n";
  GuiAnswerFileSelector(kept.c_str());
  GuiAnswerQuestion(0);
  GuiClick(GuiFindObject(list->form, "Write To File"));
  EXPECT_EQ(GuiLastDialog().kind, GUI_QUESTION);
  EXPECT_EQ(ReadFileText(kept), "keep me\n");
  unlink(kept.c_str());

  // A free query's own columns; the field descriptions are always lines.
  TypeQuery(mainform, "SELECT note, id FROM vcsv WHERE id > 3", GuiAnswerMessage);
  ASSERT_EQ(OpenLists().size(), 2u);
  GuiClick(GuiFindObject(mainform->form, "Field Info"));
  ASSERT_EQ(OpenLists().size(), 3u);
  ListForm *free = ListTitled("Show Free Query"), *fields = ListTitled("Field descriptions");
  ASSERT_NE(free, nullptr);
  ASSERT_NE(fields, nullptr);
  std::string descriptions;
  for (const std::string &line : BrowserLines(fields->browser)) descriptions += line + "\n";
  struct Written {
    ListForm *list;
    std::string file;
  } windows[] = {{free, "note,id\r\n\"\",4\r\n,5\r\n"}, {fields, descriptions}};
  for (const Written &w : windows) {
    std::string path = std::string(dir) + "/list.csv";
    GuiAnswerFileSelector(path.c_str());
    GuiAnswerMessage();
    GuiClick(GuiFindObject(w.list->form, "Write To File"));
    EXPECT_EQ(ReadFileText(path), w.file);
    unlink(path.c_str());
  }
  rmdir(dir);
}

// The free query's text is typed and shown in Latin-1 and sent in the
// server's charset; the statement offered again is the one sent, even where
// it shows a '?'.
TEST_F(ListServerTest, TheFreeQueryIsTypedInLatin1AndSentInTheServersCharset) {
  GuiAllowAnyDialog(true);
  ASSERT_TRUE(GuiLoadDatabase("freetext",
      "CREATE TABLE towns (id int, name char(20));\n"
      "INSERT INTO towns VALUES (1, 'M\xc3\xbcnchen');\n"
      "INSERT INTO towns VALUES (2, '\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0');\n"
      "INSERT INTO towns VALUES (3, '??????" "');\n"));
  MainForm *mainform = GuiConnectSample("freetext");
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  TypeQuery(mainform, "SELECT name FROM towns WHERE name LIKE 'M\xfcn%'", GuiAnswerMessage);
  ASSERT_EQ(OpenLists().size(), 1u);
  EXPECT_EQ(BrowserLines(OpenLists()[0]->browser),
            std::vector<std::string>{"M\xfcnchen" + Blanks(13) + "  "});
  EXPECT_EQ(GuiLastMessage(), "Executing: SELECT name FROM towns WHERE name LIKE 'M\xfcn%'");
  EXPECT_EQ(std::string(QueryStore()), "SELECT name FROM towns WHERE name LIKE 'M\xc3\xbcn%'");

  // A statement read from a file is the server's text as it is.
  TempFile file("SELECT id FROM towns WHERE name = '\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0'\n");
  ASSERT_FALSE(file.path.empty());
  GuiAnswerChoice(2);
  GuiAnswerFileSelector(file.path.c_str());
  GuiAnswerMessage();
  std::vector<ListForm *> before = OpenLists();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  ASSERT_EQ(OpenLists().size(), 2u);
  EXPECT_EQ(BrowserLines(OpenedSince(before)->browser), std::vector<std::string>{"2" + Blanks(10) + "  "});
  // Offered again in Latin-1 and given back unchanged: the Cyrillic goes
  // out as it was, not as the question marks shown.
  GuiAnswerChoice(1);
  GuiAnswerInput("SELECT id FROM towns WHERE name = '??????" "'");
  GuiAnswerMessage();
  before = OpenLists();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiDialogsShown()[GuiDialogsShown().size() - 2].texts[1],
            "SELECT id FROM towns WHERE name = '??????" "'");
  ASSERT_EQ(OpenLists().size(), 3u);
  EXPECT_EQ(BrowserLines(OpenedSince(before)->browser), std::vector<std::string>{"2" + Blanks(10) + "  "});

  // Edited after the shown '?': the Cyrillic before the edit goes out as it
  // was (written as typed it would find record 3, stored as "??????").
  GuiAnswerChoice(1);
  GuiAnswerInput("SELECT id FROM towns WHERE name = '??????" "' OR id = 1");
  GuiAnswerMessage();
  before = OpenLists();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(std::string(QueryStore()), "SELECT id FROM towns WHERE name = "
                                       "'\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0' OR id = 1");
  ASSERT_EQ(OpenLists().size(), 4u);
  std::vector<std::string> ids = BrowserLines(OpenedSince(before)->browser);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"1" + Blanks(10) + "  ", "2" + Blanks(10) + "  "}));

  // A '?' replaced loses the character it stood for: asked first, No sends
  // nothing and keeps the statement.
  size_t messages = GuiMessages().size();
  GuiAnswerChoice(1);
  GuiAnswerInput("SELECT id FROM towns WHERE name = '?????x' OR id = 1");
  GuiAnswerQuestion(0);
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(GuiLastDialog().texts[0],
            "Characters that could not be shown are lost from the edited part of the statement.\nSend it ?");
  EXPECT_EQ(GuiMessages().size(), messages);
  EXPECT_EQ(OpenLists().size(), 4u);

  // A statement of several lines, given back unchanged, keeps its line
  // breaks, which the dialog's input cannot hold.
  TempFile lines("SELECT id\nFROM towns\nWHERE id = 2\n");
  GuiAnswerChoice(2);
  GuiAnswerFileSelector(lines.path.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  GuiAnswerChoice(1);
  GuiAnswerInput("SELECT idFROM townsWHERE id = 1");
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mainform->form, "SQL Query"));
  EXPECT_EQ(std::string(QueryStore()), "SELECT id\nFROM towns\nWHERE id = 1");
  EXPECT_EQ(OpenLists().size(), 6u);
}

// ---- text beyond ASCII -------------------------------------------------------

// The list shows UTF-8 values in Latin-1, one cell per character, so that
// the columns line up; Write To File, CSV and Print give the server's bytes.
TEST_F(ListServerTest, AccentedValuesLineUpAndAreWrittenInTheServersBytes) {
  GuiAllowAnyDialog(true);
  ASSERT_TRUE(GuiLoadDatabase("accents",
      "CREATE TABLE places (id int, name text(8), note text(4));\n"
      "CREATE UNIQUE INDEX places_id ON places (id);\n"
      "INSERT INTO places VALUES (1, 'C\xc3\xb4te d\\'Ivoire', '\xc3\x86r\xc3\xb8');\n"
      "INSERT INTO places VALUES (2, 'S\xc3\xa3o Tom\xc3\xa9', 'M\xc3\xbcller');\n"
      "INSERT INTO places VALUES (3, 'ascii', '\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0');\n"
      "INSERT INTO places VALUES (4, '\xf0\x9f\x98\x80', NULL);\n"));
  MainForm *mainform = GuiConnectSample("accents", "places");
  GuiAllowAnyDialog(false);
  GuiResetDialogs();
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  ASSERT_EQ(OpenLists().size(), 1u);
  ListForm *list = OpenLists()[0];
  std::vector<std::string> shown = {
      "1" + Blanks(10) + "  C\xf4te d'\xbb  \xc6r\xf8 " + "  ",
      "2" + Blanks(10) + "  S\xe3o Tom\xe9  M\xfcl\xbb  ",
      "3" + Blanks(10) + "  ascii" + Blanks(3) + "  ???\xbb  ",
      "4" + Blanks(10) + "  ?" + Blanks(7) + "  " + Blanks(4) + "  ",
  };
  EXPECT_EQ(BrowserLines(list->browser), shown);
  std::string lines =
      "1" + Blanks(10) + "  C\xc3\xb4te d'I  \xc3\x86r\xc3\xb8 " + "  \n" +
      "2" + Blanks(10) + "  S\xc3\xa3o Tom\xc3\xa9  M\xc3\xbcll  \n" +
      "3" + Blanks(10) + "  ascii" + Blanks(3) + "  \xd0\x9c\xd0\xbe\xd1\x81\xd0\xba  \n" +
      "4" + Blanks(10) + "  \xf0\x9f\x98\x80" + Blanks(7) + "  " + Blanks(4) + "  \n";

  char dir[] = "/tmp/korvid-accents-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string text = std::string(dir) + "/list.txt";
  GuiAnswerFileSelector(text.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(list->form, "Write To File"));
  EXPECT_EQ(ReadFileText(text), lines);

  std::string csv = std::string(dir) + "/list.csv";
  GuiAnswerFileSelector(csv.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(list->form, "Write To File"));
  EXPECT_EQ(ReadFileText(csv),
            "id,name,note\r\n"
            "1,C\xc3\xb4te d'Ivoire,\xc3\x86r\xc3\xb8\r\n"
            "2,S\xc3\xa3o Tom\xc3\xa9,M\xc3\xbcller\r\n"
            "3,ascii,\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0\r\n"
            "4,\xf0\x9f\x98\x80,\r\n");

  std::string printed = std::string(dir) + "/printed";
  std::string command = "cat > " + printed + ".part; mv " + printed + ".part " + printed;
  GuiAnswerInput(command.c_str());
  GuiClick(GuiFindObject(list->form, "Print"));
  for (int i = 0; i < 500 && access(printed.c_str(), F_OK) != 0; i++) usleep(10000);
  EXPECT_EQ(ReadFileText(printed), lines);
  signal(SIGCHLD, SIG_DFL);
  unlink(text.c_str());
  unlink(csv.c_str());
  unlink(printed.c_str());
  rmdir(dir);
}

}  // namespace

namespace {

// The table vbig with kBigRows rows (id 0 up, name "r" and the id), filled
// past the server once: a script of that many INSERTs would take long.
// Under AddressSanitizer a list of n lines costs time in n squared: the
// toolkit grows its array of lines by one realloc per line, which glibc
// mostly grows in place but the sanitizer always copies whole. There the
// table is shorter; its rows still take seconds to arrive, long enough to
// be stopped midway, and the ceiling cuts it all the same.
#if defined(__SANITIZE_ADDRESS__)
const int kBigRows = 50000;
#else
const int kBigRows = 300000;
#endif
MainForm *PrepareBig(void) {
  MainForm *mainform = Prepare(nullptr);
  if (GuiFileRows("views", "SELECT COUNT(*) FROM vbig") != std::vector<std::string>{std::to_string(kBigRows)}) {
    GuiFileRows("views", "DELETE FROM vbig; WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                             std::to_string(kBigRows - 1) + ") INSERT INTO vbig SELECT i, 'r' || i FROM n");
  }
  GuiChoose(mainform->table_choice, "vbig");
  return mainform;
}

std::string BigLine(int id) {
  std::string key = std::to_string(id), name = "r" + key;
  return key + Blanks(11 - static_cast<int>(key.size())) + "  " + name + Blanks(10 - static_cast<int>(name.size())) + "  ";
}

// A korvid-server whose replies the test holds back: the program talks to
// it through a relay, which passes a reply's first bytes and then holds the
// rest until the test releases it. For the time of one test: the library
// and the main window go back to the server itself afterwards.
struct HeldServer {
  Relay relay;
  bool started = false;
  HeldServer() {
    started = relay.Start(GuiServerSocket());
    if (started) relay.Use();
  }
  ~HeldServer() {
    msqlConfigLoad(GuiServerConf().c_str());
    GuiConnectSample("views", nullptr);
    relay.Stop();
  }
};

// What a timeout saw and did while a list was reading its rows. It runs
// inside the toolkit's loop, which the list turns while rows arrive and
// while the server is silent: once the list has counted rows, it notes the
// progress and stops the fetch as the keyboard or the window manager would
// (or, with no `how`, lets it run); once the list has seen the stop, it
// lets the relay pass the rest, unless the server is to stay silent.
struct During {
  const char *how = nullptr;  // "Escape", "close", or null: no stop
  Relay *relay = nullptr;
  bool release = true;  // the rest of the reply comes after the stop
  size_t lines = 0;
  std::string title;
  bool main_deactivated = false;
  bool stopped = false;
  bool released = false;
  int timer = 0;  // the timeout pending, until released
};

void SendStop(ListForm *list, const char *how) {
  Display *display = fl_get_display();
  XEvent event = {};
  if (std::string(how) == "Escape") {
    event.xkey.display = display;
    event.xkey.window = list->form->window;
    event.xkey.root = DefaultRootWindow(display);
    event.xkey.same_screen = True;
    event.xkey.keycode = XKeysymToKeycode(display, XK_Escape);
    event.xkey.type = KeyPress;
    XSendEvent(display, list->form->window, True, KeyPressMask, &event);
    event.xkey.type = KeyRelease;
    XSendEvent(display, list->form->window, True, KeyReleaseMask, &event);
  } else {
    SendWmDelete(display, list->form->window);
  }
  XFlush(display);
}

// The rows a fetching list's title counts ("Heading: N ..."), 0 before any.
int CountedRows(ListForm *list) {
  std::string title = GuiLabel(list->title), lead = list->heading + ": ";
  return title.rfind(lead, 0) == 0 ? atoi(title.c_str() + lead.size()) : 0;
}

void WatchWhileRowsArrive(int, void *data) {
  During *during = static_cast<During *>(data);
  std::vector<ListForm *> lists = OpenLists();
  ListForm *list = lists.size() == 1 && lists[0]->fetching ? lists[0] : nullptr;
  if (list != nullptr && !during->stopped && CountedRows(list) > 0) {
    during->lines = static_cast<size_t>(fl_get_browser_maxline(list->browser));
    during->title = GuiLabel(list->title);
    during->main_deactivated = GuiMainForm()->form->deactivated > 0;
    during->stopped = true;
    if (during->how == nullptr) {
      during->relay->Release();
      during->released = true;
      return;
    }
    SendStop(list, during->how);
  } else if (list != nullptr && during->stopped && (list->stop_asked || list->close_asked)) {
    if (during->release) during->relay->Release();
    during->released = true;
    return;
  }
  during->timer = fl_add_timeout(10, WatchWhileRowsArrive, during);
}

// Presses button with the server's reply held after its first 64 KB, while
// WatchWhileRowsArrive looks at the list and stops it; whatever is still
// held is let go once the fetch has ended.
void FetchHeld(During *during, FL_OBJECT *button) {
  during->timer = fl_add_timeout(0, WatchWhileRowsArrive, during);
  during->relay->Hold(64 * 1024);
  GuiClick(button);
  if (!during->released) fl_remove_timeout(during->timer);
  during->relay->Release();
}

const char kGivenUp[] =
    "The server did not finish its reply after the stop: the connection was closed and made again";

// After a fetch: every window takes input again, and the next request
// reads its own reply: the whole small table.
void ExpectConnectionInOrder(MainForm *mainform) {
  EXPECT_EQ(mainform->form->deactivated, 0);
  GuiChoose(mainform->table_choice, "va");
  EXPECT_EQ(GuiLabel(mainform->records_count), "3");
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(BrowserLines(lists[0]->browser).size(), 3u);
  EXPECT_EQ(GuiLabel(lists[0]->title), "Show All Records");
  ShowerClose(nullptr, reinterpret_cast<long>(lists[0]));
}

}  // namespace

// Show All on a long table shows lines and its progress while the rows
// arrive, and can be stopped: Escape keeps the lines so far (line k is row
// k-1) and says the list is partial; the window's close closes it. The
// server holds the rest of its reply until the stop has been seen, so the
// stop always falls while rows are on their way. When the server then
// sends the rest, it is read and dropped; when it stays silent, the reply
// is given up and the connection made again, which the message list says.
// Either way the connection is in order for the next request.
TEST_F(ListServerTest, ShowAllCanBeStoppedWhileRowsArrive) {
  MainForm *mainform = PrepareBig();
  ASSERT_EQ(GuiLabel(mainform->records_count), std::to_string(kBigRows));
  HeldServer held;
  ASSERT_TRUE(held.started);
  struct Case {
    const char *how;
    bool release;
  } cases[] = {{"Escape", true}, {"close", true}, {"Escape", false}, {"close", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.how) + (c.release ? ", the rest sent" : ", the server silent"));
    GuiConnectSample("views", "vbig");
    During during;
    during.how = c.how;
    during.relay = &held.relay;
    during.release = c.release;
    FetchHeld(&during, GuiFindObject(mainform->form, "Show All"));
    ASSERT_TRUE(during.released) << "the fetch ended without the stop";
    // The lines may lag behind the rows counted: the list is drawn only
    // now and then.
    int counted = atoi(during.title.c_str() + strlen("Show All Records: "));
    EXPECT_GT(during.lines, 0u);
    EXPECT_LE(during.lines, static_cast<size_t>(counted));
    EXPECT_EQ(during.title, "Show All Records: " + std::to_string(counted) + " of " +
                                std::to_string(kBigRows) + " rows");
    EXPECT_TRUE(during.main_deactivated);
    std::string said = GuiLastMessage();
    EXPECT_EQ(said == kGivenUp, !c.release) << said;
    std::vector<ListForm *> lists = OpenLists();
    if (std::string(c.how) == "close") {
      EXPECT_TRUE(lists.empty());
    } else {
      ASSERT_EQ(lists.size(), 1u);
      ListForm *list = lists[0];
      EXPECT_FALSE(list->fetching);
      std::vector<std::string> lines = BrowserLines(list->browser);
      ASSERT_GE(lines.size(), during.lines);
      ASSERT_LT(lines.size(), static_cast<size_t>(kBigRows));
      EXPECT_EQ(lines.front(), BigLine(0));
      EXPECT_EQ(lines.back(), BigLine(static_cast<int>(lines.size()) - 1));
      EXPECT_EQ(msqlNumRows(list->info->res), static_cast<int>(lines.size()));
      std::string kept = std::to_string(lines.size());
      EXPECT_EQ(GuiLabel(list->title), c.release ? "Show All Records (first " + kept + " of " +
                                                       std::to_string(kBigRows) + " rows, stopped)"
                                                 : "Show All Records (first " + kept + " rows, stopped)");
      // Write To File gives the rows kept, as CSV with the table's field
      // names even when the reply's own descriptions never came.
      char path[] = "/tmp/korvid-stopped-XXXXXX.csv";
      int fd = mkstemps(path, 4);
      ASSERT_GE(fd, 0);
      close(fd);
      GuiAnswerFileSelector(path);
      GuiAnswerQuestion(1);
      GuiAnswerMessage();
      GuiClick(GuiFindObject(list->form, "Write To File"));
      std::string csv = ReadFileText(path);
      unlink(path);
      std::string last = std::to_string(lines.size() - 1);
      EXPECT_EQ(csv.substr(0, 15), "id,name\r\n0,r0\r\n");
      EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), static_cast<long>(lines.size()) + 1);
      EXPECT_EQ(csv.substr(csv.size() - 2 * last.size() - 4), last + ",r" + last + "\r\n");
      // The Stop button is gone and Modify opens a row kept, looked up
      // afresh on the connection as it is now.
      EXPECT_FALSE(fl_object_is_visible(list->stop));
      ASSERT_TRUE(fl_object_is_active(list->modify));
      fl_select_browser_line(list->browser, static_cast<int>(lines.size()));
      GuiClick(list->modify);
      std::vector<FL_FORM *> forms = GuiVisibleForms("Record");
      ASSERT_EQ(forms.size(), 1u);
      RecordForm *record = static_cast<RecordForm *>(forms[0]->u_vdata);
      EXPECT_EQ(std::string(fl_get_input(record->inputs[0])), std::to_string(lines.size() - 1));
      fl_call_object_callback(record->close);
      ShowerClose(nullptr, reinterpret_cast<long>(list));
    }
    ExpectConnectionInOrder(mainform);
  }
}

// The free query counts its rows in the window's title while they arrive
// (their number is not known beforehand) and lays them out once their
// field descriptions, which come after the rows, are read. A stop keeps the
// rows read, reads the rest of the reply, and shows the rows kept with the
// list saying it is partial; when the server stays silent after the stop,
// the rows cannot be laid out: the window goes and the message list says
// why. The connection is in order afterwards.
TEST_F(ListServerTest, FreeQueryShowsProgressAndCanBeStopped) {
  MainForm *mainform = PrepareBig();
  HeldServer held;
  ASSERT_TRUE(held.started);
  const int total = 20000;
  TempFile file("SELECT id, name FROM vbig WHERE id < " + std::to_string(total) + " ORDER BY id\n");
  ASSERT_FALSE(file.path.empty());
  struct Case {
    const char *how;
    bool release;
  } cases[] = {{nullptr, true}, {"Escape", true}, {"close", true}, {"Escape", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.how ? c.how : "no stop") + (c.release ? "" : ", the server silent"));
    GuiConnectSample("views", nullptr);
    During during;
    during.how = c.how;
    during.relay = &held.relay;
    during.release = c.release;
    // Read from a file: the statement typed before may hold characters
    // the prompt would ask about.
    GuiAnswerChoice(2);
    GuiAnswerFileSelector(file.path.c_str());
    GuiAnswerMessage();
    FetchHeld(&during, GuiFindObject(mainform->form, "SQL Query"));
    ASSERT_TRUE(during.released) << "the fetch ended before the program turned";
    // Rows counted, none laid out yet; the other windows take no input.
    EXPECT_EQ(during.lines, 0u);
    int counted = atoi(during.title.c_str() + strlen("Show Free Query: "));
    EXPECT_GT(counted, 0);
    EXPECT_EQ(during.title, "Show Free Query: " + std::to_string(counted) + " rows");
    EXPECT_TRUE(during.main_deactivated);
    EXPECT_EQ(GuiDialogsShown().back().texts[1], kNotice);
    std::vector<ListForm *> lists = OpenLists();
    std::vector<std::string> said = GuiMessages();
    if (c.how != nullptr && std::string(c.how) == "close") {
      EXPECT_TRUE(lists.empty());
    } else if (!c.release) {
      EXPECT_TRUE(lists.empty());
      ASSERT_GE(said.size(), 2u);
      EXPECT_EQ(said[said.size() - 2], kGivenUp);
      EXPECT_EQ(said.back().rfind("The ", 0), 0u) << said.back();
      EXPECT_NE(said.back().find(" rows read were not shown: their field descriptions had not come"),
                std::string::npos) << said.back();
    } else {
      ASSERT_EQ(lists.size(), 1u);
      ListForm *list = lists[0];
      std::vector<std::string> lines = BrowserLines(list->browser);
      ASSERT_GE(lines.size(), static_cast<size_t>(counted));
      EXPECT_EQ(lines.front(), BigLine(0));
      EXPECT_EQ(lines.back(), BigLine(static_cast<int>(lines.size()) - 1));
      EXPECT_FALSE(fl_object_is_visible(list->stop));
      EXPECT_FALSE(fl_object_is_active(list->modify));
      if (c.how == nullptr) {
        EXPECT_EQ(lines.size(), static_cast<size_t>(total));
        EXPECT_EQ(GuiLabel(list->title), "Show Free Query");
      } else {
        EXPECT_LT(lines.size(), static_cast<size_t>(total));
        EXPECT_EQ(GuiLabel(list->title), "Show Free Query (first " + std::to_string(lines.size()) + " of " +
                                             std::to_string(total) + " rows, stopped)");
      }
      ShowerClose(nullptr, reinterpret_cast<long>(list));
    }
    GuiResetDialogs();
    ExpectConnectionInOrder(mainform);
  }
}

// A row ceiling cuts the list there and says so; the connection stays in
// order, and without the ceiling the whole table is listed.
TEST_F(ListServerTest, ARowCeilingCutsTheListAndSaysSo) {
  MainForm *mainform = PrepareBig();
  struct Case {
    int ceiling;
    size_t lines;
    std::string title;
  } cases[] = {
      {1000, 1000, "Show All Records (first 1000 of " + std::to_string(kBigRows) + " rows, row limit)"},
      {0, kBigRows, "Show All Records"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ceiling);
    row_ceiling = c.ceiling;
    GuiClick(GuiFindObject(mainform->form, "Show All"));
    row_ceiling = 0;
    std::vector<ListForm *> lists = OpenLists();
    ASSERT_EQ(lists.size(), 1u);
    std::vector<std::string> lines = BrowserLines(lists[0]->browser);
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(lines.back(), BigLine(static_cast<int>(c.lines) - 1));
    EXPECT_EQ(GuiLabel(lists[0]->title), c.title);
    ShowerClose(nullptr, reinterpret_cast<long>(lists[0]));
  }
}

namespace {

// The time the list window's objects spend drawing themselves, counted
// through the toolkit's pre- and posthandlers, which see every FL_DRAW
// (outermost draws only: a list draws its parts inside its own draw).
struct DrawClock {
  double began = 0, spent = 0;
  int depth = 0;
  double hooked = 0;  // when the handlers were set
};
DrawClock draw_clock;

double Seconds(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int DrawBegins(FL_OBJECT *, int event, FL_Coord, FL_Coord, int, void *) {
  if (event == FL_DRAW && draw_clock.depth++ == 0) draw_clock.began = Seconds();
  return 0;
}

int DrawEnds(FL_OBJECT *, int event, FL_Coord, FL_Coord, int, void *) {
  if (event == FL_DRAW && draw_clock.depth > 0 && --draw_clock.depth == 0)
    draw_clock.spent += Seconds() - draw_clock.began;
  return 0;
}

// At the first turn of the window while the rows arrive: the clock is set
// on every object of the list.
void HookDraws(int, void *) {
  std::vector<ListForm *> lists = OpenLists();
  if (lists.size() != 1 || !lists[0]->fetching) return;
  for (FL_OBJECT *obj = lists[0]->form->first; obj != nullptr; obj = obj->next) {
    fl_set_object_prehandler(obj, DrawBegins);
    fl_set_object_posthandler(obj, DrawEnds);
  }
  draw_clock.hooked = Seconds();
}

}  // namespace

// Drawing a list makes the toolkit walk all its lines, so it costs the more
// the longer the list: drawn anew each time rows arrived, a long list took
// most of a Show All drawing itself over and over (minutes under the
// sanitizers). It is drawn seldom enough that drawing stays a small part
// of the whole, and the list still comes whole. (Under the sanitizers the
// list is too short to show the difference; the plain build shows it.)
TEST_F(ListServerTest, ShowAllSpendsLittleOfItsTimeDrawingTheList) {
  MainForm *mainform = PrepareBig();
  draw_clock = DrawClock();
  fl_add_timeout(0, HookDraws, nullptr);
  GuiClick(GuiFindObject(mainform->form, "Show All"));
  double whole = Seconds() - draw_clock.hooked;
  std::vector<ListForm *> lists = OpenLists();
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_GT(draw_clock.hooked, 0) << "the fetch ended before the toolkit's loop turned";
  EXPECT_EQ(fl_get_browser_maxline(lists[0]->browser), kBigRows);
  EXPECT_GT(draw_clock.spent, 0) << "no drawing seen";
  EXPECT_LT(draw_clock.spent, 0.2 * whole) << draw_clock.spent << " s of " << whole << " s drawing";
  ShowerClose(nullptr, reinterpret_cast<long>(lists[0]));
}
