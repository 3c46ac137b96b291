// Server, database and table selection and the command line's forms that
// go on running, against a real korvid-server with the sample database.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/gui_support.h"
#include "tests/views/gui_helpers.h"
#include "views/views.h"

namespace {

// Tables of our own: a unique index on a later field, an index whose field
// name begins with another field's name, an index that is not unique, and a
// table whose first column is the only one.
const char *kAppTestScript =
    "CREATE TABLE later (a int, b char(10), c text(50));\n"
    "CREATE UNIQUE INDEX later_b ON later (b);\n"
    "INSERT INTO later VALUES (1, 'x', 'first');\n"
    "CREATE TABLE prefix (id int, id2 int, name char(20));\n"
    "CREATE UNIQUE INDEX prefix_id2 ON prefix (id2);\n"
    "CREATE TABLE loose (x real, y char(5));\n"
    "CREATE INDEX loose_y ON loose (y);\n";

class SelectionTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    no_record_count = 0;
    static bool loaded = false;
    if (!loaded) loaded = GuiLoadDatabase("apptest", kAppTestScript);
    mf = GuiConnectSample();
    ASSERT_NE(mf, nullptr);
    ASSERT_GE(sock, 0);
    fl_clear_browser(mf->messages);
  }
  void TearDown() override {
    no_record_count = 0;
    GuiTest::TearDown();
  }
  std::vector<std::string> Lines() { return BrowserLines(mf->messages); }
  int Rows(const char *db, const char *table) {
    return static_cast<int>(GuiServerRows(db, ("SELECT * FROM " + std::string(table)).c_str()).size());
  }
  MainForm *mf = nullptr;
};

TEST_F(SelectionTest, ConnectListsDatabasesWithNoneSelected) {
  std::vector<std::string> databases = GuiChoiceItems(mf->database_choice);
  ASSERT_GE(databases.size(), 3u);
  EXPECT_EQ(databases[0], "None selected");
  EXPECT_NE(std::find(databases.begin(), databases.end(), "sample"), databases.end());
  EXPECT_NE(std::find(databases.begin(), databases.end(), "apptest"), databases.end());
  EXPECT_EQ(fl_get_choice(mf->database_choice), 1);
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), std::vector<std::string>{"None selected"});
  EXPECT_EQ(GuiLabel(mf->fields_count), "0");
  EXPECT_EQ(GuiLabel(mf->records_count), "0");
  EXPECT_TRUE(GuiDialogsShown().empty());
}

TEST_F(SelectionTest, ChoosingADatabaseListsItsTables) {
  GuiChoose(mf->database_choice, "sample");
  std::vector<std::string> tables = GuiChoiceItems(mf->table_choice);
  std::vector<std::string> expected = {"None selected", "events", "orders", "people", "products"};
  std::vector<std::string> sorted(tables.begin() + 1, tables.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.insert(sorted.begin(), tables[0]);
  EXPECT_EQ(sorted, expected);
  EXPECT_EQ(fl_get_choice(mf->table_choice), 1);
  EXPECT_EQ(GuiChoiceText(mf->database_choice), "sample");

  // "None selected" empties the table choice again and sends nothing.
  GuiChoose(mf->database_choice, "None selected");
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), std::vector<std::string>{"None selected"});
  EXPECT_TRUE(Lines().empty());
}

TEST_F(SelectionTest, ChoosingATableReadsFieldsKeyAndCount) {
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  ASSERT_NE(mf->info, nullptr);
  Info *info = mf->info;
  EXPECT_STREQ(info->table, "people");
  EXPECT_EQ(info->nfields, 8);
  EXPECT_EQ(info->nentries, 10);  // two indexes
  EXPECT_EQ(info->pkey, 0);
  EXPECT_EQ(info->mainform, mf);
  EXPECT_EQ(info->res, nullptr);
  // Only Character and Free text keep their length; the rest show 11.
  const struct {
    const char *name;
    int type, length;
  } fields[] = {{"id", INT_TYPE, 11},    {"name", CHAR_TYPE, 40}, {"email", CHAR_TYPE, 60},
                {"age", INT_TYPE, 11},   {"salary", MONEY_TYPE, 11}, {"born", DATE_TYPE, 11},
                {"phone", CHAR_TYPE, 20}, {"notes", TEXT_TYPE, 200}};
  for (int i = 0; i < 8; i++) {
    EXPECT_STREQ(info->fields[i].name, fields[i].name);
    EXPECT_EQ(info->fields[i].type, fields[i].type) << fields[i].name;
    EXPECT_EQ(info->fields[i].length, fields[i].length) << fields[i].name;
    EXPECT_EQ(info->fields[i].table, info->table);
  }
  EXPECT_EQ(info->fields[8].type, IDX_TYPE);
  EXPECT_EQ(info->fields[9].type, IDX_TYPE);
  EXPECT_EQ(GuiLabel(mf->fields_count), "8");
  EXPECT_EQ(GuiLabel(mf->records_count), std::to_string(Rows("sample", "people")));
  EXPECT_EQ(Lines(), std::vector<std::string>{"Executing: SELECT * FROM people "});
  EXPECT_TRUE(GuiDialogsShown().empty());

  // "None selected": no Info, counts 0, no request.
  GuiChoose(mf->table_choice, "None selected");
  EXPECT_EQ(mf->info, nullptr);
  EXPECT_EQ(GuiLabel(mf->fields_count), "0");
  EXPECT_EQ(GuiLabel(mf->records_count), "0");
  EXPECT_EQ(Lines().size(), 1u);
}

struct KeyCase {
  const char *db;
  const char *table;
  int nfields, nentries, pkey;
  const char *message;  // null: none
};

TEST_F(SelectionTest, PrimaryKeyIsTheFirstFieldOfTheFirstUniqueIndex) {
  const char *no_unique =
      "No unique indexes found for this table: using first field as the primary key.\n"
      "You can set the primary key in the Field Info window.";
  const KeyCase cases[] = {
      {"sample", "products", 6, 7, 0, nullptr},
      {"sample", "events", 3, 3, 0, no_unique},
      {"apptest", "later", 3, 4, 1, nullptr},
      // The whole name must match: "id" is not the key of an index on "id2".
      {"apptest", "prefix", 3, 4, 1, nullptr},
      {"apptest", "loose", 2, 3, 0, no_unique},
  };
  for (const KeyCase &c : cases) {
    SCOPED_TRACE(c.table);
    GuiResetDialogs();
    GuiChoose(mf->database_choice, c.db);
    if (c.message) GuiAnswerMessage();
    GuiChoose(mf->table_choice, c.table);
    ASSERT_NE(mf->info, nullptr);
    EXPECT_EQ(mf->info->nfields, c.nfields);
    EXPECT_EQ(mf->info->nentries, c.nentries);
    EXPECT_EQ(mf->info->pkey, c.pkey);
    EXPECT_EQ(GuiLabel(mf->fields_count), std::to_string(c.nfields));
    if (c.message) {
      ASSERT_EQ(GuiDialogsShown().size(), 1u);
      EXPECT_EQ(GuiDialogsShown()[0].texts[1], c.message);
    } else {
      EXPECT_TRUE(GuiDialogsShown().empty());
    }
  }
}

TEST_F(SelectionTest, WithoutCountingNoCountQueryIsSent) {
  no_record_count = 1;
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  EXPECT_EQ(GuiLabel(mf->fields_count), "8");
  EXPECT_EQ(GuiLabel(mf->records_count), "0");
  EXPECT_TRUE(Lines().empty());
}

TEST_F(SelectionTest, AnotherTableFreesThePreviousInfoButNotCopies) {
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  Info *copy = CopyInfo(mf->info);
  GuiChoose(mf->table_choice, "products");
  ASSERT_NE(mf->info, nullptr);
  EXPECT_STREQ(mf->info->table, "products");
  // The copy a window would hold is still whole (the sanitizer build checks).
  EXPECT_STREQ(copy->table, "people");
  EXPECT_STREQ(copy->fields[1].name, "name");
  FreeInfo(copy);
}

TEST_F(SelectionTest, AFailedFieldListLeavesNoTable) {
  ASSERT_TRUE(GuiLoadDatabase("scratch", "CREATE TABLE doomed (a int);\n"));
  GuiChoose(mf->database_choice, "None selected");
  ConnectServer(nullptr, mf);
  GuiChoose(mf->database_choice, "scratch");
  GuiAnswerMessage();  // no unique index
  GuiChoose(mf->table_choice, "doomed");
  ASSERT_NE(mf->info, nullptr);
  GuiServerRows("scratch", "DROP TABLE doomed");

  GuiResetDialogs();
  GuiAnswerAlert();
  GuiChoose(mf->table_choice, "doomed");
  ASSERT_EQ(GuiDialogsShown().size(), 1u);
  EXPECT_EQ(GuiDialogsShown()[0].texts[0], "Cannot fetch fieldnames for doomed");
  EXPECT_NE(GuiDialogsShown()[0].texts[2], "");  // the server's reason
  EXPECT_EQ(mf->info, nullptr);
  EXPECT_EQ(GuiLabel(mf->fields_count), "0");
  EXPECT_EQ(GuiLabel(mf->records_count), "0");
}

TEST_F(SelectionTest, FailedStatementIsLoggedAndAlerted) {
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  fl_clear_browser(mf->messages);
  GuiAnswerAlert();
  EXPECT_EQ(ExecuteQuery(mf->info, "SELECT nothing FROM nowhere"), -1);
  EXPECT_EQ(Lines(), std::vector<std::string>{"Executing: SELECT nothing FROM nowhere"});
  GuiDialog alert = GuiLastDialog();
  EXPECT_EQ(alert.texts[0], "Query failed");
  EXPECT_EQ(alert.texts[2], msqlErrMsg);
  EXPECT_NE(alert.texts[2], "");
}

TEST_F(SelectionTest, ConnectFailureEmptiesBothChoices) {
  GuiChoose(mf->database_choice, "sample");
  GuiAnswerAlert();
  GuiTypeInput(mf->server, "no-such-host.invalid");
  EXPECT_LT(sock, 0);
  EXPECT_EQ(GuiLastDialog().texts[0], "Error connecting to server");
  EXPECT_NE(GuiLastDialog().texts[2], "");
  EXPECT_EQ(GuiChoiceItems(mf->database_choice), std::vector<std::string>{"None selected"});
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), std::vector<std::string>{"None selected"});
  EXPECT_EQ(GuiLabel(mf->records_count), "0");

  // An empty server field means the local server again.
  GuiTypeInput(mf->server, "");
  EXPECT_GE(sock, 0);
  EXPECT_GT(GuiChoiceItems(mf->database_choice).size(), 1u);
}

TEST_F(SelectionTest, DatabaseThatCannotBeOpenedLeavesChoicesAlone) {
  ASSERT_TRUE(GuiLoadDatabase("vanishing", "CREATE TABLE t (a int);\n"));
  ConnectServer(nullptr, mf);
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  std::vector<std::string> tables = GuiChoiceItems(mf->table_choice);
  std::string records = GuiLabel(mf->records_count);
  int check = GuiOpenCheckConnection(nullptr);
  ASSERT_GE(check, 0);
  ASSERT_EQ(msqlDropDB(check, "vanishing"), 0) << msqlErrMsg;
  msqlClose(check);

  GuiAnswerAlert();
  GuiChoose(mf->database_choice, "vanishing");
  EXPECT_EQ(GuiLastDialog().texts[0], "Error opening database vanishing");
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), tables);
  EXPECT_EQ(GuiChoiceText(mf->table_choice), "people");
  EXPECT_EQ(GuiLabel(mf->records_count), records);
  EXPECT_EQ(GuiLabel(mf->fields_count), "8");
  // The database choice shows again the database those tables are of.
  EXPECT_EQ(GuiChoiceText(mf->database_choice), "sample");

  // With none chosen, it goes back to "None selected".
  GuiChoose(mf->database_choice, "None selected");
  GuiAnswerAlert();
  GuiChoose(mf->database_choice, "vanishing");
  EXPECT_EQ(GuiLastDialog().texts[0], "Error opening database vanishing");
  EXPECT_EQ(GuiChoiceText(mf->database_choice), "None selected");
}

// What the pop-up of a choice offered while it was open, entry by entry, and
// which entry the pointer then picked. Read from a timeout, which the pop-up
// handles while it waits for the pointer.
struct PopUpSeen {
  std::vector<std::string> entries;
  int pick = 0;  // the entry (1 first) to choose, by what it shows
};
PopUpSeen *seen = nullptr;

void ReadPopUp(int, void *) {
  int popup = fl_current_pup();
  if (popup < 0) return;
  for (int i = 1; i <= fl_getpup_items(popup); i++) {
    const char *text = fl_getpup_text(popup, i);
    seen->entries.push_back(text ? text : "");
    if (seen->entries.back() == "a_plain") seen->pick = i;
  }
  // The pointer, held down since the press, is released over the entry that
  // shows "a_plain" (entries 22 pixels apart below the title in the
  // layout's fonts); xdotool runs beside the pop-up's wait.
  std::vector<std::string> keys = {"xdotool", "search", "--name", "^Select table$", "mousemove",
                                   "--window", "%1", "60", std::to_string(38 + 22 * (seen->pick - 1)),
                                   "sleep", "0.2", "mouseup", "1"};
  if (fork() == 0) {
    std::vector<char *> argv;
    for (std::string &k : keys) argv.push_back(&k[0]);
    argv.push_back(nullptr);
    execvp("xdotool", argv.data());
    _exit(127);
  }
}

// Names made by other programs may hold '|' and '%': the pop-up shows them as
// they are, and the entry chosen by what it shows is the one chosen.
TEST_F(SelectionTest, ThePopUpShowsAndPicksNamesAsTheyAre) {
  ASSERT_TRUE(GuiLoadDatabase("oddnames", "CREATE TABLE a_plain (a int);\n"));
  GuiFileRows("oddnames", "CREATE TABLE \"50%_off|x\" (a int PRIMARY KEY);"
                          "CREATE TABLE \"zz%s%f\" (b int PRIMARY KEY)");
  ConnectServer(nullptr, mf);
  GuiChoose(mf->database_choice, "oddnames");
  std::vector<std::string> items = GuiChoiceItems(mf->table_choice);
  ASSERT_EQ(items.size(), 4u);
  GuiAnswerMessage();  // a_plain has no unique index
  PopUpSeen popup;
  seen = &popup;
  fl_add_timeout(300, ReadPopUp, nullptr);
  FL_Coord x, y, w, h;
  fl_get_object_geometry(mf->table_choice, &x, &y, &w, &h);
  // One xdotool run for the whole: the pop-up holds the toolkit until then.
  Xdotool({"mousemove", "--window", Number(mf->form->window), Number(x + w / 2),
           Number(y + h / 2), "mousedown", "1"});
  for (int i = 0; i < 200 && GuiChoiceText(mf->table_choice) == "None selected"; i++) Pump(10);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  seen = nullptr;
  EXPECT_EQ(popup.entries, items);
  EXPECT_EQ(GuiChoiceText(mf->table_choice), "a_plain");
  ASSERT_NE(mf->info, nullptr);
  EXPECT_STREQ(mf->info->table, "a_plain");
}

// A server with more databases than a choice holds: the first ones, in the
// server's order, are offered.
TEST_F(SelectionTest, ManyDatabasesFillTheChoiceToItsLimit) {
  int check = GuiOpenCheckConnection(nullptr);
  ASSERT_GE(check, 0);
  std::vector<std::string> made;
  for (int i = 0; i < FL_CHOICE_MAXITEMS + 2; i++) {
    char name[16];
    snprintf(name, sizeof name, "zz%03d", i);
    ASSERT_EQ(msqlCreateDB(check, name), 0) << name << ": " << msqlErrMsg;
    made.push_back(name);
  }
  std::vector<std::string> listed;
  if (ResultHandle *list = msqlListDBs(check)) {
    while (char **row = msqlFetchRow(list)) listed.push_back(row[0]);
    msqlFreeResult(list);
  }
  ConnectServer(nullptr, mf);
  for (const std::string &name : made) msqlDropDB(check, name.c_str());
  msqlClose(check);

  ASSERT_GT(listed.size(), static_cast<size_t>(FL_CHOICE_MAXITEMS));
  std::vector<std::string> expected = {"None selected"};
  expected.insert(expected.end(), listed.begin(), listed.begin() + FL_CHOICE_MAXITEMS - 1);
  EXPECT_EQ(GuiChoiceItems(mf->database_choice), expected);
  EXPECT_TRUE(GuiDialogsShown().empty());
  ConnectServer(nullptr, mf);
}

// Values written by QuoteValue reach the server as typed: quotes and
// backslashes inside a text, and an empty number as NULL.
TEST_F(SelectionTest, QuotedValuesAreStoredAsTyped) {
  GuiChoose(mf->database_choice, "apptest");
  GuiChoose(mf->table_choice, "later");
  ASSERT_NE(mf->info, nullptr);
  const struct {
    const char *a, *b, *c;
    const char *stored;
  } cases[] = {
      {"10", "O'Brien", "it's", "10|O'Brien|it's"},
      {"11", "back\\slash", "\\'", "11|back\\slash|\\'"},
      {"", "empty-a", "", "NULL|empty-a|"},
      {"12", "semi;colon", "a:b%c_d", "12|semi;colon|a:b%c_d"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.b);
    char a[64], b[64], text[64], statement[STATEMENT_SIZE];
    ASSERT_NE(QuoteValue(a, sizeof a, c.a, INT_TYPE), nullptr);
    ASSERT_NE(QuoteValue(b, sizeof b, c.b, CHAR_TYPE), nullptr);
    ASSERT_NE(QuoteValue(text, sizeof text, c.c, TEXT_TYPE), nullptr);
    snprintf(statement, sizeof statement, "INSERT INTO later VALUES (%s, %s, %s)", a, b, text);
    ASSERT_EQ(ExecuteQuery(mf->info, statement), 0) << statement << ": " << msqlErrMsg;
    char where[128];
    snprintf(where, sizeof where, "SELECT * FROM later WHERE b = %s", b);
    EXPECT_EQ(GuiServerRows("apptest", where), std::vector<std::string>{c.stored});
  }
}

// The command line forms that go on running, fed to ParseArguments itself.
struct ArgsCase {
  std::vector<const char *> args;  // after the program name
  int alerts;                      // "Error connecting to server" alerts
  const char *server;              // text of the server field afterwards
  const char *database, *table;    // current items afterwards
  bool counted;                    // record count shown (and its query logged)
};

// Table names beyond ASCII: the choice shows them in Latin-1
// ('?' where Latin-1 has no room) and open them by the server's name, even
// where two items look alike; the statements in the message list too.
TEST_F(SelectionTest, NamesBeyondAsciiAreShownInLatin1AndOpenedByTheirOwnName) {
  const std::string moscow = "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0";
  const std::string london = "\xd0\x9b\xd0\xbe\xd0\xbd\xd0\xb4\xd0\xbe\xd0\xbd";
  ASSERT_TRUE(GuiLoadDatabase("wide", "CREATE TABLE m\xc3\xbcnze (w char(4));\n"
                                             "INSERT INTO m\xc3\xbcnze VALUES ('1');\n"
                                             "CREATE TABLE " + moscow + " (w char(4));\n"
                                             "CREATE TABLE " + london + " (w char(4));\n"
                                             "INSERT INTO " + london + " VALUES ('a');\n"
                                             "INSERT INTO " + london + " VALUES ('b');\n"));
  mf = GuiConnectSample();
  ASSERT_NE(mf, nullptr);
  // (korvid-server takes database names of ASCII only.)
  GuiChoose(mf->database_choice, "wide");
  std::vector<std::string> tables = GuiChoiceItems(mf->table_choice);
  std::sort(tables.begin(), tables.end());
  EXPECT_EQ(tables, (std::vector<std::string>{"??????", "??????", "None selected", "m\xfcnze"}));

  fl_clear_browser(mf->messages);
  GuiAnswerMessage();  // no unique index: the first field is the key
  GuiChoose(mf->table_choice, "m\xfcnze");
  ASSERT_NE(mf->info, nullptr);
  EXPECT_EQ(std::string(mf->info->table), "m\xc3\xbcnze");
  EXPECT_EQ(GuiLabel(mf->records_count), "1");
  EXPECT_EQ(Lines().back(), "Executing: SELECT * FROM \"m\xfcnze\" ");

  // Each of the two "??????" items opens its own table: Moscow is empty,
  // London holds two rows.
  int n = fl_get_choice_maxitems(mf->table_choice);
  std::vector<std::string> opened;
  for (int i = 1; i <= n; i++) {
    if (std::string(fl_get_choice_item_text(mf->table_choice, i)) != "??????") continue;
    fl_set_choice(mf->table_choice, i);
    GuiAnswerMessage();
    GuiClick(mf->table_choice);
    ASSERT_NE(mf->info, nullptr);
    opened.push_back(std::string(mf->info->table) + " " + GuiLabel(mf->records_count));
  }
  std::sort(opened.begin(), opened.end());
  EXPECT_EQ(opened, (std::vector<std::string>{london + " 2", moscow + " 0"}));
}

TEST_F(SelectionTest, CommandLineFormsThatRun) {
  const ArgsCase cases[] = {
      {{}, 0, "", "None selected", "None selected", false},
      {{"-h", "127.0.0.1", "sample", "people"}, 0, "127.0.0.1", "sample", "people", true},
      {{"-c", "sample", "people"}, 0, "", "sample", "people", false},
      {{"-hxyz", "127.0.0.1"}, 0, "127.0.0.1", "None selected", "None selected", false},
      {{"-cxyz", "sample", "orders"}, 0, "", "sample", "orders", false},
      // Options end at the first positional argument: -c is a table name.
      {{"sample", "-c"}, 0, "", "sample", "None selected", false},
      // -h last: the local server, and only one connection.
      {{"-h"}, 0, "", "None selected", "None selected", false},
      // Two hosts: two connections in turn; the second is current.
      {{"-h", "no-such-host.invalid", "-h", "127.0.0.1", "sample"}, 1, "127.0.0.1", "sample",
       "None selected", false},
      {{"nodb", "people"}, 0, "", "None selected", "None selected", false},
  };
  for (const ArgsCase &c : cases) {
    std::string shown;
    for (const char *a : c.args) shown += std::string(a) + " ";
    SCOPED_TRACE(shown);
    no_record_count = 0;
    GuiResetDialogs();
    fl_set_input(mf->server, "");
    fl_clear_browser(mf->messages);
    // ParseArguments runs once in the program and starts with no Info.
    FreeInfo(mf->info);
    mf->info = nullptr;
    std::vector<char *> argv = {const_cast<char *>("korvid")};
    for (const char *a : c.args) argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    for (int i = 0; i < c.alerts; i++) GuiAnswerAlert();
    ParseArguments(static_cast<int>(argv.size()) - 1, argv.data(), mf);
    EXPECT_EQ(GuiPendingAnswers(), 0u);
    EXPECT_EQ(static_cast<int>(GuiDialogsShown().size()), c.alerts);
    EXPECT_GE(sock, 0);
    EXPECT_EQ(std::string(fl_get_input(mf->server)), c.server);
    EXPECT_EQ(GuiChoiceText(mf->database_choice), c.database);
    EXPECT_EQ(GuiChoiceText(mf->table_choice), c.table);
    bool table = std::string(c.table) != "None selected";
    EXPECT_EQ(mf->info != nullptr, table);
    if (table) {
      EXPECT_EQ(GuiLabel(mf->fields_count), std::to_string(mf->info->nfields));
      EXPECT_EQ(GuiLabel(mf->records_count),
                c.counted ? std::to_string(Rows("sample", c.table)) : "0");
    }
    bool logged = false;
    for (const std::string &line : Lines())
      if (line.rfind("Executing: ", 0) == 0) logged = true;
    EXPECT_EQ(logged, c.counted);
  }
  no_record_count = 0;
}

}  // namespace
