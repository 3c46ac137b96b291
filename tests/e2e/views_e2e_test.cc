// The list window end to end: the built korvid against korvid-server on a
// private Xvfb, driven with xdotool. Show All on the sample's people table,
// the list written to a file and compared with the table's rows, then a
// double-clicked line opened, changed and checked in the database.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "tests/e2e/e2e_support.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // an unended last line
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The column widths of a table's data fields as the list uses them: the
// declared length of Character and Free text fields, 11 for the others.
std::vector<int> ColumnWidths(int sock, const char *table) {
  std::vector<int> widths;
  ResultHandle *fields = msqlListFields(sock, table);
  if (fields == nullptr) return widths;
  while (FieldListEntry *f = msqlFetchField(fields)) {
    if (f->type == IDX_TYPE) break;
    widths.push_back(f->type == CHAR_TYPE || f->type == TEXT_TYPE ? f->length : 11);
  }
  msqlFreeResult(fields);
  return widths;
}

// The rows of a statement, NULL kept apart from the empty text.
struct Value {
  bool null;
  std::string text;
};
std::vector<std::vector<Value>> Rows(int sock, const std::string &statement) {
  std::vector<std::vector<Value>> rows;
  if (msqlQuery(sock, statement.c_str()) < 0) return rows;
  ResultHandle *res = msqlStoreResult();
  if (res == nullptr) return rows;
  while (char **row = msqlFetchRow(res)) {
    std::vector<Value> values;
    for (int i = 0; i < res->numFields; i++)
      values.push_back(row[i] ? Value{false, row[i]} : Value{true, ""});
    rows.push_back(values);
  }
  msqlFreeResult(res);
  return rows;
}

TEST(ViewsEndToEnd, ShowAllWriteToFileAndModifyALine) {
  E2eSession s;
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "views-no-main"));
  const int check = s.check;
  const std::string &main_window = s.main_window;

  // Show All: the button at (25, 80), 80 x 20.
  E2eClick(main_window, 65, 90);
  std::string list = E2eWaitWindow("Shower");
  ASSERT_FALSE(list.empty()) << E2eScreenshot("views-no-shower");

  // Write To File (210, 40, 80 x 25), into a file of our own.
  char dir[] = "/tmp/korvid-e2e-views-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/people.txt";
  E2eClick(list, 250, 52);
  std::string selector = E2eWaitWindow("FileSelector");
  ASSERT_FALSE(selector.empty()) << E2eScreenshot("views-no-fselector");
  // Its file name input is at the bottom: click into it, type, Return.
  E2eGeometry g = E2eWindowGeometry(selector);
  E2eClick(selector, 140, g.h - 28);
  Xdotool("type --delay 20 '" + path + "'");
  Xdotool("key Return");
  std::string message = E2eWaitWindow("Message");
  ASSERT_FALSE(message.empty()) << E2eScreenshot("views-no-message");
  E2eKey(message, "Return");
  ASSERT_TRUE(E2eWaitGone("Message"));

  // The file holds one line per row of the table, in key order, each value
  // in its column: cut to the column's width, padded with blanks, NULL blank.
  std::vector<int> widths = ColumnWidths(check, "people");
  ASSERT_FALSE(widths.empty());
  std::vector<std::vector<Value>> rows = Rows(check, "SELECT * FROM people ORDER BY id");
  ASSERT_FALSE(rows.empty());
  std::string text = ReadFileText(path);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), rows.size());
  for (size_t r = 0; r < rows.size(); r++) {
    std::string expected;
    for (size_t i = 0; i < widths.size(); i++) {
      std::string value = rows[r][i].null ? "" : rows[r][i].text.substr(0, widths[i]);
      expected += value + std::string(widths[i] - value.size(), ' ') + "  ";
    }
    EXPECT_EQ(lines[r], expected) << "row " << r;
  }
  unlink(path.c_str());
  rmdir(dir);

  // Double-click the first line (id 1): a Modify Record form opens on it.
  E2eDoubleClick(list, 100, 87);
  std::string record = E2eWaitWindow("Record");
  ASSERT_FALSE(record.empty()) << E2eScreenshot("views-no-record");
  E2eTypeInto(record, 1, "Sven Changed");
  E2eClick(record, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("views-no-question"));

  std::vector<std::vector<Value>> changed = Rows(check, "SELECT name FROM people WHERE id = 1");
  bool stored = false;
  for (int i = 0; i < 50 && !stored; i++) {
    changed = Rows(check, "SELECT name FROM people WHERE id = 1");
    stored = changed.size() == 1 && changed[0][0].text == "Sven Changed";
    if (!stored) usleep(100000);
  }
  EXPECT_TRUE(stored) << E2eScreenshot("views-not-stored");
  // The rest of the row is as it was.
  std::vector<std::vector<Value>> after = Rows(check, "SELECT id, email, age FROM people WHERE id = 1");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0][0].text, rows[0][0].text);
  EXPECT_EQ(after[0][1].text, rows[0][2].text);
  EXPECT_EQ(after[0][2].text, rows[0][3].text);

}

}  // namespace
