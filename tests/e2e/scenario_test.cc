// A new user's whole day with Korvid, driven only through the display: the
// built korvid against korvid-server with two databases, every window
// reached by clicks at its fixed places, typing and dialog answers. Each
// change is read back from the server on a connection of the test's own;
// each window is photographed into the shot directory, and the main window
// right after start-up is compared with the committed reference picture.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/pg_fixture.h"
#include "tests/support/server_fixture.h"

namespace {

// Main window (435 x 315): button centres and the two choices.
struct Place {
  int x, y;
};
const Place kExit{65, 65}, kSearch{165, 65}, kModify{265, 65}, kInsert{365, 65};
const Place kShowAll{65, 90}, kFieldInfo{165, 90}, kSqlQuery{265, 90};
const int kChoiceY = 262, kDatabaseX = 220, kTableX = 350;
// List window (730 x 320): buttons at y 40, 25 high; list lines 13 apart
// (12-point Courier Bold at 75 dpi).
const Place kListClose{60, 52}, kListPrint{155, 52}, kListWrite{250, 52};
int ListLineY(int line) { return 82 + 13 * (line - 1); }

// Position (1-based, after "None selected") of name in a catalog list.
int ItemIndex(ResultHandle *list, const std::string &name) {
  int index = 0, found = -1;
  if (list == nullptr) return -1;
  while (char **row = msqlFetchRow(list)) {
    index++;
    if (found < 0 && name == row[0]) found = index + 1;
  }
  msqlFreeResult(list);
  return found;
}

// Saves a picture of one window as <shot dir>/day-<name>.png; its path.
std::string ShotWindow(const std::string &window, const std::string &name) {
  std::string path = E2eShotDir() + "/day-" + name + ".png";
  E2eShell("import -window " + window + " '" + path + "'");
  return path;
}

// A choice pops up its items in a window titled like its label: press on
// the choice, release over item `index` (item 1 is "None selected"). In the
// layout's 75 dpi fonts the items are 22 pixels apart below a title bar.
void Choose(const std::string &main_window, int x, const std::string &title, int index) {
  Xdotool("mousemove --window " + main_window + " " + std::to_string(x) + " " +
           std::to_string(kChoiceY) + " sleep 0.1 mousedown 1");
  std::string popup = E2eWaitWindow(title, 5000);
  ASSERT_FALSE(popup.empty()) << E2eScreenshot("day-no-popup");
  ShotWindow(popup, "popup-" + std::to_string(x));
  Xdotool("mousemove --window " + popup + " 60 " + std::to_string(38 + 22 * (index - 1)) +
           " sleep 0.2 mouseup 1");
  ASSERT_TRUE(E2eWaitGone(title));
  usleep(300000);
}

// Clicks the left (Yes) button of the question that comes up.
void AnswerYes(const std::string &shot) {
  std::string question = E2eWaitWindow("Question");
  ASSERT_FALSE(question.empty()) << E2eScreenshot("day-no-question-" + shot);
  ShotWindow(question, "question-" + shot);
  E2eGeometry q = E2eWindowGeometry(question);
  E2eClick(question, q.w * 27 / 100, q.h - 28);
  ASSERT_TRUE(E2eWaitGone("Question")) << E2eScreenshot("day-question-stays-" + shot);
}

// Replaces the text of an Input dialog and answers OK.
void AnswerInput(const std::string &text, const std::string &shot) {
  std::string input = E2eWaitWindow("Input");
  ASSERT_FALSE(input.empty()) << E2eScreenshot("day-no-input-" + shot);
  E2eKey(input, "ctrl+u");
  E2eType(input, text);
  ShotWindow(input, "input-" + shot);
  E2eKey(input, "Return");
  ASSERT_TRUE(E2eWaitGone("Input"));
}

void AnswerFileSelector(const std::string &path, const std::string &shot) {
  std::string selector = E2eWaitWindow("FileSelector");
  ASSERT_FALSE(selector.empty()) << E2eScreenshot("day-no-fselector-" + shot);
  E2eGeometry g = E2eWindowGeometry(selector);
  E2eClick(selector, 140, g.h - 28);
  Xdotool("type --delay 20 '" + path + "'");
  ShotWindow(selector, "fselector-" + shot);
  Xdotool("key Return");
  ASSERT_TRUE(E2eWaitGone("FileSelector"));
}

void DismissMessage(const std::string &shot) {
  std::string message = E2eWaitWindow("Message");
  ASSERT_FALSE(message.empty()) << E2eScreenshot("day-no-message-" + shot);
  ShotWindow(message, "message-" + shot);
  E2eKey(message, "Return");
  ASSERT_TRUE(E2eWaitGone("Message"));
}

// A list line as the list window writes it: each value cut or padded to its
// column's width, then two blanks.
std::string ListLine(const std::vector<std::pair<std::string, int>> &values) {
  std::string line;
  for (const auto &[value, width] : values)
    line += value.substr(0, width) + std::string(width - std::min<int>(width, value.size()), ' ') + "  ";
  return line;
}

// Differing pixels between a picture and its committed reference; -1 when
// either cannot be read.
long PixelsDiffering(const std::string &shot, const std::string &reference) {
  std::string out = E2eShell("compare -metric AE -fuzz 3% '" + shot + "' '" + reference +
                             "' null: 2>&1");
  char *end = nullptr;
  long n = strtol(out.c_str(), &end, 10);
  return end == out.c_str() ? -1 : n;
}

// The day runs once over SQLite files and once over a private PostgreSQL.
class ScenarioE2e : public ::testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(Engines, ScenarioE2e, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

TEST_P(ScenarioE2e, ANewUsersWholeDay) {
  E2eSession s;
  ASSERT_FALSE(s.display.name.empty());
  char dir[] = "/tmp/korvid-e2e-day-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string work = dir;
  ServerFixtureOptions options;
  options.postgresql = strcmp(GetParam(), "PostgreSQL") == 0;
  options.databases.push_back({"sample", SampleSqlPath()});
  options.database_scripts.push_back({"shop",
                                      "CREATE TABLE items (n int not null, label char(20), price money);\n"
                                      "CREATE UNIQUE INDEX items_n ON items (n);\n"
                                      "INSERT INTO items VALUES (1, 'one', 1.50);\n"
                                      "INSERT INTO items VALUES (2, 'two', 2.00);\n"
                                      "INSERT INTO items VALUES (3, 'O\\'Toole', 3.25);\n"});
  ASSERT_TRUE(E2eStartServer(s.server, options));
  const ServerFixture *fixture = static_cast<ServerFixture *>(s.server.fixture);
  // Morning: korvid opens on the database and table named on its command line.
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "day-no-main"));
  const int check = s.check;
  const pid_t korvid = s.korvid;
  const std::string main_window = s.main_window;
  const int shop_item = ItemIndex(msqlListDBs(check), "shop");
  const int sample_item = ItemIndex(msqlListDBs(check), "sample");
  ASSERT_EQ(msqlSelectDB(check, "shop"), 0) << msqlErrMsg;
  const int items_item = ItemIndex(msqlListTables(check), "items");
  ASSERT_EQ(msqlSelectDB(check, "sample"), 0) << msqlErrMsg;
  const int people_item = ItemIndex(msqlListTables(check), "people");
  ASSERT_TRUE(shop_item > 0 && sample_item > 0 && items_item > 0 && people_item > 0);

  usleep(500000);
  std::string start_shot = ShotWindow(main_window, "01-main-start");
  std::string reference = std::string(KORVID_SOURCE_DIR) + "/tests/e2e/reference/main-start.png";
  long differing = PixelsDiffering(start_shot, reference);
  EXPECT_GE(differing, 0) << "cannot compare " << start_shot << " with " << reference;
  EXPECT_LE(differing, 40) << start_shot << " differs from " << reference;

  // Another database and table through the two choices; there the label is
  // made the key in the field descriptions, the list (now by label) written
  // to a file, and a record opened from it with a double click and changed.
  Choose(main_window, kDatabaseX, "Select database", shop_item);
  Choose(main_window, kTableX, "Select table", items_item);
  ShotWindow(main_window, "02-main-shop-items");
  E2eClick(main_window, kFieldInfo.x, kFieldInfo.y);
  std::string fields = E2eWaitWindow("Shower");
  ASSERT_FALSE(fields.empty()) << E2eScreenshot("day-no-field-info");
  E2eDoubleClick(fields, 200, ListLineY(3));  // header, n, label
  usleep(500000);
  ShotWindow(fields, "03-field-info-label-key");
  E2eClick(fields, kListClose.x, kListClose.y);
  ASSERT_TRUE(E2eWaitClosed("Shower", fields));

  E2eClick(main_window, kShowAll.x, kShowAll.y);
  std::string list = E2eWaitWindow("Shower");
  ASSERT_FALSE(list.empty()) << E2eScreenshot("day-no-items-list");
  ShotWindow(list, "04-list-items-by-label");
  E2eClick(list, kListWrite.x, kListWrite.y);
  ASSERT_NO_FATAL_FAILURE(AnswerFileSelector(work + "/items.txt", "items"));
  ASSERT_NO_FATAL_FAILURE(DismissMessage("written"));
  EXPECT_EQ(ReadFileText(work + "/items.txt"),
            ListLine({{"3", 11}, {"O'Toole", 20}, {"3.25", 11}}) + "\n" +
                ListLine({{"1", 11}, {"one", 20}, {"1.50", 11}}) + "\n" +
                ListLine({{"2", 11}, {"two", 20}, {"2.00", 11}}) + "\n");
  std::vector<std::string> records = E2eWindows("Record");
  E2eDoubleClick(list, 200, ListLineY(1));  // O'Toole, looked up by its label
  std::string modify = E2eWaitNew("Record", records);
  ASSERT_FALSE(modify.empty()) << E2eScreenshot("day-no-modify-from-list");
  E2eTypeInto(modify, 2, "4.75");
  ShotWindow(modify, "05-modify-from-list");
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_NO_FATAL_FAILURE(AnswerYes("update"));
  ASSERT_EQ(msqlSelectDB(check, "shop"), 0) << msqlErrMsg;
  const std::vector<std::string> changed = {"1|one|1.50", "2|two|2.00", "3|O'Toole|4.75"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM items ORDER BY n", changed), changed);
  ASSERT_EQ(msqlSelectDB(check, "sample"), 0) << msqlErrMsg;
  E2eClick(modify, E2eButtonX(0), kE2eButtonY);
  ASSERT_TRUE(E2eWaitClosed("Record", modify));
  E2eClick(list, kListClose.x, kListClose.y);
  ASSERT_TRUE(E2eWaitClosed("Shower", list));

  // Back to the people (whose key is the id again).
  Choose(main_window, kDatabaseX, "Select database", sample_item);
  Choose(main_window, kTableX, "Select table", people_item);
  ShotWindow(main_window, "06-main-sample-people");

  // Two new records from one Insert form, one with a quote and a backslash.
  std::string insert = E2eOpenByClick("Record", main_window, kInsert.x, kInsert.y);
  ASSERT_FALSE(insert.empty()) << E2eScreenshot("day-no-insert");
  E2eTypeInto(insert, 0, "5001");
  E2eTypeInto(insert, 1, "Kvist O'Shea");
  E2eTypeInto(insert, 7, "C:\\temp\\q's");
  ShotWindow(insert, "07-insert-first");
  E2eClick(insert, E2eButtonX(1), kE2eButtonY);
  ASSERT_NO_FATAL_FAILURE(AnswerYes("insert-1"));
  E2eTypeInto(insert, 0, "5002");
  E2eTypeInto(insert, 1, "Kvist Moss");
  E2eTypeInto(insert, 7, "plain");
  E2eClick(insert, E2eButtonX(1), kE2eButtonY);
  ASSERT_NO_FATAL_FAILURE(AnswerYes("insert-2"));
  const std::string quinns = "SELECT id, name, notes FROM people WHERE id > 5000 ORDER BY id";
  const std::vector<std::string> inserted = {"5001|Kvist O'Shea|C:\\temp\\q's",
                                             "5002|Kvist Moss|plain"};
  EXPECT_EQ(E2eRowsOnceEqual(check, quinns, inserted), inserted);
  E2eClick(insert, E2eButtonX(0), kE2eButtonY);
  ASSERT_TRUE(E2eWaitClosed("Record", insert));

  // Search with both wildcards, Next to the second record found, Change it.
  std::vector<std::string> found = ServerRows(check, "SELECT id FROM people  WHERE name LIKE '_vist %'");
  ASSERT_EQ(found.size(), 2u);
  std::string search = E2eOpenByClick("Record", main_window, kSearch.x, kSearch.y);
  ASSERT_FALSE(search.empty()) << E2eScreenshot("day-no-search");
  E2eTypeInto(search, 1, "_vist %");
  ShotWindow(search, "08-search");
  std::string show = E2eOpenByClick("Record", search, E2eButtonX(1), kE2eButtonY);  // Search
  ASSERT_FALSE(show.empty()) << E2eScreenshot("day-no-show");
  EXPECT_TRUE(E2eWaitClosed("Record", search));
  E2eClick(show, E2eButtonX(3), kE2eButtonY);  // Next
  E2eClick(show, E2eButtonX(3), kE2eButtonY);  // Next past the end: greyed, stays
  ShotWindow(show, "09-show-second");
  std::string change = E2eOpenByClick("Record", show, E2eButtonX(1), kE2eButtonY);  // Change
  ASSERT_FALSE(change.empty()) << E2eScreenshot("day-no-change");
  E2eTypeInto(change, 6, "+1:555:0102");
  E2eClick(change, E2eButtonX(1), kE2eButtonY);
  ASSERT_NO_FATAL_FAILURE(AnswerYes("change"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT id FROM people WHERE phone = '+1:555:0102'", {found[1]}),
            std::vector<std::string>{found[1]});
  E2eClick(change, E2eButtonX(0), kE2eButtonY);
  E2eClick(show, E2eButtonX(0), kE2eButtonY);
  ASSERT_TRUE(E2eWaitClosed("Record", change));
  ASSERT_TRUE(E2eWaitClosed("Record", show));

  // Delete the record with the quote, asked for by its key.
  records = E2eWindows("Record");
  E2eClick(main_window, kModify.x, kModify.y);
  ASSERT_NO_FATAL_FAILURE(AnswerInput("5001", "key"));
  std::string doomed = E2eWaitNew("Record", records);
  ASSERT_FALSE(doomed.empty()) << E2eScreenshot("day-no-delete-form");
  ShotWindow(doomed, "10-delete");
  E2eClick(doomed, E2eButtonX(2), kE2eButtonY);  // Delete
  ASSERT_NO_FATAL_FAILURE(AnswerYes("delete"));
  EXPECT_TRUE(E2eWaitClosed("Record", doomed)) << "the form stays after a delete";
  EXPECT_EQ(E2eRowsOnceEqual(check, quinns, {inserted[1]}), std::vector<std::string>{inserted[1]});

  // A free query typed, its list printed through a command.
  E2eClick(main_window, kSqlQuery.x, kSqlQuery.y);
  std::string how = E2eWaitWindow("Choice");
  ASSERT_FALSE(how.empty()) << E2eScreenshot("day-no-choice");
  ShotWindow(how, "11-query-choice");
  E2eKey(how, "1");  // Manual
  ASSERT_NO_FATAL_FAILURE(AnswerInput("SELECT id, name FROM people WHERE id < 4 ORDER BY id", "query"));
  ASSERT_NO_FATAL_FAILURE(DismissMessage("selection-disabled"));
  list = E2eWaitWindow("Shower");
  ASSERT_FALSE(list.empty()) << E2eScreenshot("day-no-free-list");
  ShotWindow(list, "12-free-query");
  E2eClick(list, kListPrint.x, kListPrint.y);
  const std::string printed = work + "/printed.txt";
  ASSERT_NO_FATAL_FAILURE(AnswerInput("cat > " + printed, "print"));
  std::string expected;
  for (const std::string &row : ServerRows(check, "SELECT id, name FROM people WHERE id < 4 ORDER BY id"))
    expected += ListLine({{row.substr(0, row.find('|')), 11}, {row.substr(row.find('|') + 1), 40}}) + "\n";
  std::string text;
  for (int i = 0; i < 50 * E2ePatience() && text != expected; i++, usleep(100000)) text = ReadFileText(printed);
  EXPECT_EQ(text, expected);
  E2eClick(list, kListClose.x, kListClose.y);
  ASSERT_TRUE(E2eWaitClosed("Shower", list));

  // A free query read from a *.sql file: a change, no list.
  {
    std::ofstream sql(work + "/raise.sql");
    sql << "UPDATE people SET salary = 9999.5\nWHERE id = 2\n";
  }
  E2eClick(main_window, kSqlQuery.x, kSqlQuery.y);
  how = E2eWaitWindow("Choice");
  ASSERT_FALSE(how.empty());
  E2eKey(how, "2");  // Read file
  ASSERT_NO_FATAL_FAILURE(AnswerFileSelector(work + "/raise.sql", "query-file"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT salary FROM people WHERE id = 2", {"9999.50"}),
            std::vector<std::string>{"9999.50"});
  ShotWindow(main_window, "13-main-evening");

  // Over PostgreSQL the day's changes are read once more in PostgreSQL
  // itself, through psql rather than through the server they were made by.
  if (fixture->pg) {
    std::string out;
    EXPECT_TRUE(PgFixtureSql(fixture->pg, "shop", "SELECT n, label, price FROM items ORDER BY n", &out)) << out;
    EXPECT_EQ(out, "1|one|1.50\n2|two|2.00\n3|O'Toole|4.75");
    EXPECT_TRUE(PgFixtureSql(fixture->pg, "sample",
                             "SELECT id, name, notes FROM people WHERE id > 5000 ORDER BY id; "
                             "SELECT id FROM people WHERE phone = '+1:555:0102'; "
                             "SELECT salary FROM people WHERE id = 2",
                             &out))
        << out;
    EXPECT_EQ(out, inserted[1] + "\n" + found[1] + "\n9999.50");
  }

  // Evening: Exit, Yes.
  E2eClick(main_window, kExit.x, kExit.y);
  std::string question = E2eWaitWindow("Question");
  ASSERT_FALSE(question.empty());
  ShotWindow(question, "14-exit");
  E2eKey(question, "y");
  // (Under valgrind the exit status also tells of memory errors and leaks.)
  EXPECT_EQ(E2eWaitExit(korvid, 60000), 0) << "see the korvid log in " << E2eShotDir();
  E2eShell("rm -rf '" + work + "'");
}

}  // namespace
