// The record forms end to end: the built korvid against korvid-server with
// the sample database on a private Xvfb, driven with xdotool as a user would.
// Modify a record by its key, insert one with a quote in its name, search
// with a pattern and step with Next; every result is read back from the
// server on a connection of the test's own.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "msql/msql.h"
#include "tests/e2e/e2e_support.h"

namespace {

// Inputs of a record form: x 90, 300 x 25, at y = 35 i + 80.
int InputY(int i) { return 35 * i + 80 + 12; }
const int kInputX = 240;
// Buttons of a record form at y 35: Close 20, then 100, 180, 260.
const int kButtonY = 45;
int ButtonX(int slot) { return slot == 0 ? 55 : 135 + 80 * (slot - 1); }

// Visible "Record" windows, oldest first by id.
std::vector<std::string> RecordWindows(void) {
  std::vector<std::string> ids;
  std::istringstream out(Xdotool("search --onlyvisible --name '^Record$'"));
  for (std::string id; std::getline(out, id);)
    if (!id.empty()) ids.push_back(id);
  return ids;
}

// The Record window that appeared since `before`, or "" after a while.
std::string WaitNewRecord(const std::vector<std::string> &before) {
  for (int i = 0; i < 150; i++) {
    for (const std::string &id : RecordWindows())
      if (std::find(before.begin(), before.end(), id) == before.end()) return id;
    usleep(100000);
  }
  return "";
}

bool WaitRecordGone(const std::string &id) {
  for (int i = 0; i < 100; i++) {
    std::vector<std::string> ids = RecordWindows();
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) return true;
    usleep(100000);
  }
  return false;
}

// Replaces the text of input i of a record form with text.
void TypeInto(const std::string &window, int i, const std::string &text) {
  E2eClick(window, kInputX, InputY(i));
  Xdotool("key --window " + window + " ctrl+u");
  if (!text.empty()) E2eType(window, text);
}

// Answers the question that comes up with Yes (its left button).
bool AnswerYes(const std::string &shot) {
  std::string question = E2eWaitWindow("Question");
  EXPECT_FALSE(question.empty()) << E2eScreenshot(shot);
  if (question.empty()) return false;
  E2eGeometry q = E2eWindowGeometry(question);
  E2eClick(question, q.w * 27 / 100, q.h - 28);
  bool gone = E2eWaitGone("Question");
  EXPECT_TRUE(gone) << E2eScreenshot(shot + "-stays");
  return gone;
}

TEST(RecordsEndToEnd, ModifyInsertAndSearchAsAUserWould) {
  E2eDisplay display;
  ASSERT_FALSE(display.name.empty());
  E2eServer server;
  ASSERT_TRUE(E2eStartServer(server));
  int check = msqlConnect(nullptr);
  ASSERT_GE(check, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(check, "sample"), 0) << msqlErrMsg;

  pid_t korvid = E2eStartKorvid(server, {"sample", "people"});
  std::string main_window = E2eWaitWindow("Korvid");
  ASSERT_FALSE(main_window.empty()) << E2eWhy(korvid, "records-no-main");

  // Modify (225, 55): the key dialog, then the record's form.
  std::vector<std::string> before = RecordWindows();
  E2eClick(main_window, 265, 65);
  std::string ask = E2eWaitWindow("Input");
  ASSERT_FALSE(ask.empty()) << E2eScreenshot("records-no-key-dialog");
  E2eKey(ask, "ctrl+u");
  E2eType(ask, "7");
  E2eKey(ask, "Return");
  std::string modify = WaitNewRecord(before);
  ASSERT_FALSE(modify.empty()) << E2eScreenshot("records-no-modify-form");
  E2eGeometry g = E2eWindowGeometry(modify);
  EXPECT_EQ(g.w, 400);
  EXPECT_EQ(g.h, 35 * 8 + 90);  // people has 8 data fields
  // (Its NULL email and notes are not compared: an input cannot show NULL.)
  const std::string untouched = "SELECT age, salary, born FROM people WHERE id = 7";
  std::vector<std::string> old = ServerRows(check, untouched);
  ASSERT_EQ(old.size(), 1u);
  TypeInto(modify, 1, "Xenia Edited");
  TypeInto(modify, 6, "+49:1:2");
  E2eScreenshot("records-modify-form");
  E2eClick(modify, ButtonX(1), kButtonY);  // Modify
  ASSERT_TRUE(AnswerYes("records-modify-question"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT id, name, phone FROM people WHERE id = 7",
                          {"7|Xenia Edited|+49:1:2"}),
            std::vector<std::string>{"7|Xenia Edited|+49:1:2"});
  // The fields not edited are stored as they were.
  EXPECT_EQ(ServerRows(check, untouched), old);
  E2eClick(modify, ButtonX(0), kButtonY);  // Close
  ASSERT_TRUE(WaitRecordGone(modify));

  // Insert (325, 55): a new record with a quote in its name; empty inputs
  // give NULL for numbers and the empty text for texts.
  before = RecordWindows();
  E2eClick(main_window, 365, 65);
  std::string insert = WaitNewRecord(before);
  ASSERT_FALSE(insert.empty()) << E2eScreenshot("records-no-insert-form");
  TypeInto(insert, 0, "9001");
  TypeInto(insert, 1, "Kit O'Hara");
  TypeInto(insert, 5, "02-Mar-2000");
  E2eClick(insert, ButtonX(1), kButtonY);  // Insert
  ASSERT_TRUE(AnswerYes("records-insert-question"));
  const std::vector<std::string> inserted = {"9001|Kit O'Hara||NULL|NULL|02-Mar-2000||"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM people WHERE id = 9001", inserted), inserted);
  E2eClick(insert, ButtonX(0), kButtonY);
  ASSERT_TRUE(WaitRecordGone(insert));

  // Search (125, 55) with a pattern, Next to the second row found, Change to
  // open it, and a change to it that must reach that very record.
  std::vector<std::string> found = ServerRows(check, "SELECT id FROM people  WHERE name LIKE 'Zoe O\\'%'");
  ASSERT_GE(found.size(), 2u);
  before = RecordWindows();
  E2eClick(main_window, 165, 65);
  std::string search = WaitNewRecord(before);
  ASSERT_FALSE(search.empty()) << E2eScreenshot("records-no-search-form");
  TypeInto(search, 1, "Zoe O'%");
  before = RecordWindows();
  E2eClick(search, ButtonX(1), kButtonY);  // Search
  std::string show = WaitNewRecord(before);
  ASSERT_FALSE(show.empty()) << E2eScreenshot("records-no-show-form");
  EXPECT_TRUE(WaitRecordGone(search));
  E2eClick(show, ButtonX(3), kButtonY);  // Next
  E2eScreenshot("records-show-second");
  before = RecordWindows();
  E2eClick(show, ButtonX(1), kButtonY);  // Change
  std::string change = WaitNewRecord(before);
  ASSERT_FALSE(change.empty()) << E2eScreenshot("records-no-change-form");
  TypeInto(change, 7, "seen second");
  E2eClick(change, ButtonX(1), kButtonY);  // Modify
  ASSERT_TRUE(AnswerYes("records-change-question"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT id FROM people WHERE notes = 'seen second'", {found[1]}),
            std::vector<std::string>{found[1]});

  msqlClose(check);
  kill(korvid, SIGTERM);
  E2eWaitExit(korvid, 5000);
}

}  // namespace
