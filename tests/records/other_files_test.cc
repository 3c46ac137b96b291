// Korvid's windows on a database that Python's sqlite3 module and the sqlite3
// shell wrote, served by korvid-server: Show All, Field Info, Modify, Search
// and Write To File, and the file checked with the sqlite3 shell afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/services/charset.h"
#include "records/records.h"
#include "tests/support/gui_support.h"
#include "tests/support/other_programs.h"
#include "tests/support/server_clients.h"
#include "views/views.h"

namespace {

std::string Blanks(size_t n) { return std::string(n, ' '); }

// value (UTF-8) in a column of `width` characters, and the two blanks after
// it, as the line is written; the list shows it in Latin-1 (ToToolkit).
std::string Cell(const std::string &value, size_t width) {
  size_t bytes = ServerPrefixBytes(value.c_str(), value.size(), width, CHARSET_UTF8);
  size_t characters = ServerCharacters(value.c_str(), bytes, CHARSET_UTF8);
  return value.substr(0, bytes) + Blanks(width - characters) + "  ";
}

std::vector<std::string> Shown(const std::vector<std::string> &lines) {
  std::vector<std::string> shown;
  for (const std::string &line : lines) shown.push_back(ToToolkit(line.c_str(), CHARSET_UTF8));
  return shown;
}


std::vector<ListForm *> OpenLists(void) {
  std::vector<ListForm *> lists;
  for (FL_FORM *form : GuiVisibleForms("Shower")) lists.push_back(static_cast<ListForm *>(form->u_vdata));
  return lists;
}

std::vector<FL_FORM *> RecordWindows(void) { return GuiVisibleForms("Record"); }

RecordForm *Opened(void (*action)(MainForm *), MainForm *mf) {
  std::vector<FL_FORM *> before = RecordWindows();
  action(mf);
  for (FL_FORM *f : RecordWindows())
    if (std::find(before.begin(), before.end(), f) == before.end()) return static_cast<RecordForm *>(f->u_vdata);
  return nullptr;
}

// The list that Show All opened for the current table: the one that was not
// open before, since the newest is not always on top of the others yet when
// the stacking is read.
ListForm *ShowAll(MainForm *mf) {
  std::vector<ListForm *> before = OpenLists();
  GuiClick(GuiFindObject(mf->form, "Show All"));
  std::vector<ListForm *> lists = OpenLists();
  EXPECT_EQ(lists.size(), before.size() + 1);
  if (lists.size() != before.size() + 1) return nullptr;
  for (ListForm *list : lists)
    if (std::find(before.begin(), before.end(), list) == before.end()) return list;
  return nullptr;
}


class OtherFilesTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    path_ = GuiServerDataDir() + "/world.db";
    std::string error;
    unlink(path_.c_str());
    ASSERT_TRUE(WriteWorldWithPython(path_, &error)) << error;
  }
  void TearDown() override {
    for (ListForm *list : OpenLists()) ShowerClose(nullptr, reinterpret_cast<long>(list));
    for (FL_FORM *f : RecordWindows()) fl_call_object_callback(static_cast<RecordForm *>(f->u_vdata)->close);
    GuiTest::TearDown();
  }
  std::string path_;
};

// The line of one countries row: Integer 11, the codes 2 and 3, name 14,
// official_name 29, flag 3, added 19 (the longest values, in bytes), each
// and two blanks.
std::string CountryLine(int row, const std::string &flag) {
  const char *const *c = kWorldCountries[row];
  return Cell(c[0], 11) + Cell(c[1], 2) + Cell(c[2], 3) + Cell(c[3], 14) + Cell(c[4], 29) + Cell(flag, 3) +
         Cell(kWorldAdded[row], 19);
}

TEST_F(OtherFilesTest, ShowAllFieldInfoAndWriteToFileShowEveryColumn) {
  MainForm *mf = GuiConnectSample("world", "countries");
  ASSERT_NE(mf, nullptr);
  ASSERT_NE(mf->info, nullptr);
  // Listed under its file's name; its key found without a message.
  std::vector<std::string> databases = GuiChoiceItems(mf->database_choice);
  EXPECT_NE(std::find(databases.begin(), databases.end(), "world"), databases.end());
  EXPECT_EQ(GuiDialogsShown().size(), 0u);
  EXPECT_EQ(mf->info->nfields, 7);
  EXPECT_EQ(mf->info->pkey, 0);

  ListForm *list = ShowAll(mf);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM countries ORDER BY id "));
  // The flag, whose bytes are no text, shown as the start of its
  // description, cut to its column; DE's flag "DEU" whole. Written to a file
  // in the server's bytes (the zero and control bytes as blanks).
  std::vector<std::string> expected = {CountryLine(0, " \xff "), CountryLine(1, ""), CountryLine(2, "DEU")};
  std::vector<std::string> shown = expected;
  shown[0] = CountryLine(0, "(b\xc2\xbb");
  EXPECT_EQ(BrowserLines(list->browser), Shown(shown));
  EXPECT_EQ(BrowserLines(list->browser)[0].substr(13 + 4 + 5, 16 + 31), "C\xf4te d'Ivoire   R\xe9publique de C\xf4te d'Ivoire    ");

  char dir[] = "/tmp/korvid-world-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/countries.txt";
  GuiAnswerFileSelector(file.c_str());
  GuiAnswerMessage();
  GuiClick(GuiFindObject(list->form, "Write To File"));
  EXPECT_EQ(ReadFileText(file), expected[0] + "\n" + expected[1] + "\n" + expected[2] + "\n");
  unlink(file.c_str());
  rmdir(dir);

  GuiClick(GuiFindObject(mf->form, "Field Info"));
  ListForm *fields = OpenLists().back();
  std::vector<std::string> lines = BrowserLines(fields->browser);
  ASSERT_EQ(lines.size(), 11u);  // header, seven fields, three indexes
  struct {
    const char *name, *type;
    int length;
  } want[] = {{"id", "Integer", 11},        {"alpha_2", "Free text", 2},        {"alpha_3", "Free text", 3},
              {"name", "Free text", 14},    {"official_name", "Free text", 29}, {"flag", "Free text", 3},
              {"added", "Free text", 19}};
  for (int i = 0; i < 7; i++) {
    char line[160];
    snprintf(line, sizeof line, "@C%c%18s %18s %6d   %10s", i == 0 ? '1' : '0', want[i].name, "countries",
             want[i].length, want[i].type);
    EXPECT_EQ(lines[1 + i].substr(0, strlen(line)), line);
  }
  EXPECT_NE(lines[8].find("primary_key"), std::string::npos);
  EXPECT_NE(lines[9].find("unique_alpha_2"), std::string::npos);
}

TEST_F(OtherFilesTest, ModifyOfOneFieldLeavesEveryOtherByteOfTheRow) {
  MainForm *mf = GuiConnectSample("world", "countries");
  ASSERT_NE(mf, nullptr);
  const std::string row = "SELECT * FROM countries WHERE id = 1";
  std::string before = ShellQuery(path_, row);
  ASSERT_NE(before.find("X'00ff10'"), std::string::npos) << before;

  GuiAnswerInput("1");
  GuiAnswerMessage();
  RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  // The accented names show in Latin-1; the flag's bytes cannot.
  EXPECT_EQ(GuiLastDialog().texts[1], "Not shown exactly, kept as stored unless edited: flag");
  EXPECT_EQ(std::string(fl_get_input(r->inputs[1])), "CI");
  fl_set_input(r->inputs[6], "2025-02-02 12:00:00");
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(GuiMessages().back(), "Record updated");
  // The flag, which no statement can carry, is left out; the rest goes back
  // as found.
  EXPECT_TRUE(GuiLogged("Executing: UPDATE countries SET alpha_2='CI',alpha_3='CIV',name='C\xf4te d\\'Ivoire',"
                     "official_name='R\xe9publique de C\xf4te d\\'Ivoire',added='2025-02-02 12:00:00' "
                     "WHERE id = 1"));
  std::string after = before;
  size_t at = after.find("'2024-01-05 10:00:00'");
  ASSERT_NE(at, std::string::npos);
  after.replace(at, 21, "'2025-02-02 12:00:00'");
  EXPECT_EQ(ShellQuery(path_, row), after);

  // Confirmed again without any edit: nothing of the row changes.
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(ShellQuery(path_, row), after);
  EXPECT_EQ(ShellQuery(path_, "SELECT typeof(flag), hex(flag) FROM countries WHERE id = 1"), "'blob','00FF10'\n");
}

TEST_F(OtherFilesTest, AModifyWithNothingToWriteSendsNothing) {
  // Every field but the key holds a zero byte: none can be written back.
  ShellQuery(path_, "CREATE TABLE flags (id INTEGER PRIMARY KEY, flag BLOB, mark BLOB);"
                    "INSERT INTO flags VALUES (1, x'00ff10', x'610062')");
  ASSERT_EQ(ShellQuery(path_, "SELECT count(*) FROM flags"), "1\n");
  MainForm *mf = GuiConnectSample("world", "flags");
  ASSERT_NE(mf, nullptr);
  GuiAnswerInput("1");
  GuiAnswerMessage();
  RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GuiLastDialog().texts[1], "Not shown exactly, kept as stored unless edited: flag, mark");
  EXPECT_EQ(std::string(fl_get_input(r->inputs[1])), "(binary, 3 bytes, not editable as text: 00 ff 10)");
  EXPECT_EQ(std::string(fl_get_input(r->inputs[2])), "(binary, 3 bytes, not editable as text: 61 00 62)");
  GuiAnswerMessage();
  GuiClick(GuiFindObject(r->form, "Modify"));
  EXPECT_EQ(GuiLastDialog().texts[1], "Nothing to update: the fields left are kept as stored");
  for (const std::string &line : GuiMessages()) EXPECT_EQ(line.find("UPDATE flags"), std::string::npos) << line;
  // An edited field is written; the other one stays as it was.
  fl_set_input(r->inputs[2], "typed");
  GuiConfirm(r->form, "Modify");
  EXPECT_TRUE(GuiLogged("Executing: UPDATE flags SET mark='typed' WHERE id = 1"));
  EXPECT_EQ(ShellQuery(path_, "SELECT * FROM flags"), "1,X'00ff10','typed'\n");
}

// Values that are not text (a blob starting with a zero byte, compressed
// data without one) show as a description of themselves; the form says they
// cannot be edited as text and keeps them as stored, type and bytes, unless
// the user types a value instead.
TEST_F(OtherFilesTest, BinaryValuesAreDescribedAndKeptAsStored) {
  ShellQuery(path_, "CREATE TABLE blobs (id INTEGER PRIMARY KEY, content BLOB, note TEXT);"
                    "INSERT INTO blobs VALUES (1, x'789c01ff1b02fe0a41', 'n1'), (2, x'00616263', 'n2')");
  const std::string stored = "SELECT id, typeof(content), hex(content), note FROM blobs ORDER BY id";
  ASSERT_EQ(ShellQuery(path_, stored), "1,'blob','789C01FF1B02FE0A41','n1'\n2,'blob','00616263','n2'\n");
  MainForm *mf = GuiConnectSample("world", "blobs");
  ASSERT_NE(mf, nullptr);
  ListForm *list = ShowAll(mf);
  ASSERT_NE(list, nullptr);
  // The column is as wide as the longest value, 9 bytes.
  std::vector<std::string> lines = BrowserLines(list->browser);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(13, 11), "(binary,\xbb  ");
  EXPECT_EQ(lines[1].substr(13, 11), "(binary,\xbb  ");

  GuiAnswerInput("1");
  GuiAnswerMessage();
  RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GuiLastDialog().texts[1], "Not shown exactly, kept as stored unless edited: content");
  EXPECT_EQ(std::string(fl_get_input(r->inputs[1])),
            "(binary, 9 bytes, not editable as text: 78 9c 01 ff 1b 02 fe 0a ...)");
  EXPECT_NE(GuiScreenshot(r->form, "binary-value"), "");
  fl_set_input(r->inputs[2], "changed");
  GuiConfirm(r->form, "Modify");
  EXPECT_TRUE(GuiLogged("Executing: UPDATE blobs SET note='changed' WHERE id = 1"));
  EXPECT_EQ(ShellQuery(path_, stored), "1,'blob','789C01FF1B02FE0A41','changed'\n2,'blob','00616263','n2'\n");
  // Replaced by what the user types.
  fl_set_input(r->inputs[1], "plain");
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(ShellQuery(path_, "SELECT content FROM blobs WHERE id = 1"), "'plain'\n");
}

// Rows written as Debian's iso-codes were loaded, with Python's sqlite3
// module: a typographic quote and dashes, and a text of 2,000 characters.
// Editing a name keeps what the user did not touch; the long text does not
// stop a change of another field, and goes back whole.
TEST_F(OtherFilesTest, AnEditOnAPythonFileKeepsWhatItDidNotTouch) {
  FILE *python = popen(("python3 - '" + path_ + "'").c_str(), "w");
  ASSERT_NE(python, nullptr);
  fputs("import sqlite3, sys\n"
        "db = sqlite3.connect(sys.argv[1])\n"
        "db.execute('CREATE TABLE languages (id INTEGER PRIMARY KEY, name TEXT, essay TEXT)')\n"
        "db.execute('INSERT INTO languages VALUES (1, ?, ?)',\n"
        "           ('Alaba-K\\u2019abeena', 'x' * 1990 + '\\u2013' * 10))\n"
        "db.execute('INSERT INTO languages VALUES (2, ?, NULL)', ('Kosovo \\u2013 Kosova',))\n"
        "db.commit()\n",
        python);
  ASSERT_EQ(pclose(python), 0);
  MainForm *mf = GuiConnectSample("world", "languages");
  ASSERT_NE(mf, nullptr);
  struct Case {
    const char *key;
    const char *edited;  // the name input
  } cases[] = {{"1", "Alaba-K?abeena (ET)"}, {"2", "Kosovo ? Kosov\xeb"}};
  for (const Case &c : cases) {
    GuiAnswerInput(c.key);
    GuiAnswerMessage();  // not shown exactly
    RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
    ASSERT_NE(r, nullptr);
    fl_set_input(r->inputs[1], c.edited);
    GuiConfirm(r->form, "Modify");
    EXPECT_EQ(GuiMessages().back(), "Record updated");
    EXPECT_EQ(GuiLastDialog().texts[0], "Update this record in world.languages ?");
    fl_call_object_callback(r->close);
  }
  std::string dashes;
  for (int i = 0; i < 10; i++) dashes += "\xe2\x80\x93";
  EXPECT_EQ(ShellQuery(path_, "SELECT id, name, essay = '" + std::string(1990, 'x') + dashes +
                                  "', length(essay) FROM languages ORDER BY id"),
            "1,'Alaba-K\xe2\x80\x99" "abeena (ET)',1,2000\n2,'Kosovo \xe2\x80\x93 Kosov\xc3\xab',NULL,NULL\n");
}

// A file whose number columns check nothing: what is typed must still be a
// number, a pattern with % or _ matches as text, and a value found that is
// no number goes back as the text it was.
TEST_F(OtherFilesTest, NumbersOnAFileThatChecksNoTypes) {
  ShellQuery(path_, "CREATE TABLE nums (id INTEGER PRIMARY KEY, n INTEGER, r REAL);"
                    "INSERT INTO nums VALUES (4, 4, 4.5), (41, 41, 0.25), (45, 45, 2461383.160081019),"
                    " (7, 'abc', 1)");
  const std::string all = "SELECT id, typeof(n), n, r FROM nums ORDER BY id";
  std::string stored = ShellQuery(path_, all);
  MainForm *mf = GuiConnectSample("world", "nums");
  ASSERT_NE(mf, nullptr);

  GuiAnswerInput("41");
  RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  fl_set_input(r->inputs[1], "1,id=99");
  GuiAnswerAlert();
  GuiClick(GuiFindObject(r->form, "Modify"));
  EXPECT_EQ(GuiLastDialog().texts[0], "The value of n is not an integer: nothing was sent");
  EXPECT_EQ(ShellQuery(path_, all), stored);
  fl_call_object_callback(r->close);

  GuiAnswerInput("7");
  r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(fl_get_input(r->inputs[1])), "abc");
  fl_set_input(r->inputs[2], "2");
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(GuiMessages().back(), "Record updated");
  EXPECT_EQ(ShellQuery(path_, "SELECT typeof(n), n, r FROM nums WHERE id = 7"), "'text','abc',2.0\n");
  fl_call_object_callback(r->close);

  RecordForm *search = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Search")); }, mf);
  ASSERT_NE(search, nullptr);
  fl_set_input(search->inputs[0], "4_");
  GuiClick(GuiFindObject(search->form, "Search"));
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM nums  WHERE id LIKE '4_'"));
  EXPECT_EQ(GuiMessages().back(), "2 Records found");
}

TEST_F(OtherFilesTest, NamesWithBlanksViewsAndImportedTablesThroughTheWindows) {
  MainForm *mf = GuiConnectSample("world", "Order Details");
  ASSERT_NE(mf, nullptr);
  ASSERT_NE(mf->info, nullptr);
  EXPECT_EQ(mf->info->pkey, 0);  // "Order ID", the first of the primary key
  ListForm *list = ShowAll(mf);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM \"Order Details\" ORDER BY \"Order ID\" "));
  EXPECT_EQ(BrowserLines(list->browser).size(), 2u);

  RecordForm *search = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Search")); }, mf);
  ASSERT_NE(search, nullptr);
  fl_set_input(search->inputs[1], "T%");
  std::vector<FL_FORM *> before = RecordWindows();
  GuiClick(GuiFindObject(search->form, "Search"));
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM \"Order Details\"  WHERE Product LIKE 'T%'"));
  std::vector<FL_FORM *> now = RecordWindows();
  ASSERT_EQ(now.size(), 1u);
  RecordForm *show = static_cast<RecordForm *>(now[0]->u_vdata);
  EXPECT_EQ(std::string(fl_get_input(show->inputs[1])), "Tofu");
  EXPECT_EQ(std::string(fl_get_input(show->inputs[2])), "23.25");

  // A view: listed, shown, and a change refused with the server's reason.
  GuiAnswerMessage();  // no unique index: the first field is the key
  mf = GuiConnectSample("world", "big_orders");
  ASSERT_NE(mf->info, nullptr);
  list = ShowAll(mf);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(BrowserLines(list->browser).size(), 1u);
  GuiAnswerInput("10248");
  RecordForm *r = Opened([](MainForm *m) { GuiClick(GuiFindObject(m->form, "Modify")); }, mf);
  ASSERT_NE(r, nullptr);
  fl_set_input(r->inputs[2], "13");
  GuiAnswerQuestion(1);
  GuiAnswerAlert();
  GuiClick(GuiFindObject(r->form, "Modify"));
  EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
  EXPECT_EQ(GuiLastDialog().texts.back(), "cannot modify big_orders because it is a view");

  // A table the sqlite3 shell imported, every column TEXT.
  std::string error;
  ASSERT_TRUE(ImportWithShell(path_, "capitals",
                              "country,capital\nRU,\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0\nCI,Yamoussoukro\n",
                              &error))
      << error;
  GuiAnswerMessage();
  mf = GuiConnectSample("world", "capitals");
  ASSERT_NE(mf->info, nullptr);
  list = ShowAll(mf);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(BrowserLines(list->browser),
            (std::vector<std::string>{"CI  Yamoussoukro  ", "RU  ??????" + Blanks(6) + "  "}));
}

}  // namespace
