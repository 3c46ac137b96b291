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

TEST(RecordsEndToEnd, ModifyInsertAndSearchAsAUserWould) {
  E2eSession s;
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "records-no-main"));
  const int check = s.check;
  const std::string &main_window = s.main_window;

  // Modify (225, 55): the key dialog, then the record's form.
  std::vector<std::string> before = E2eWindows("Record");
  E2eClick(main_window, 265, 65);
  std::string ask = E2eWaitWindow("Input");
  ASSERT_FALSE(ask.empty()) << E2eScreenshot("records-no-key-dialog");
  E2eKey(ask, "ctrl+u");
  E2eType(ask, "7");
  E2eKey(ask, "Return");
  std::string modify = E2eWaitNew("Record", before);
  ASSERT_FALSE(modify.empty()) << E2eScreenshot("records-no-modify-form");
  E2eGeometry g = E2eWindowGeometry(modify);
  EXPECT_EQ(g.w, 400);
  EXPECT_EQ(g.h, 35 * 8 + 90);  // people has 8 data fields
  // (Its NULL email and notes are not compared: an input cannot show NULL.)
  const std::string untouched = "SELECT age, salary, born FROM people WHERE id = 7";
  std::vector<std::string> old = ServerRows(check, untouched);
  ASSERT_EQ(old.size(), 1u);
  E2eTypeInto(modify, 1, "Xenia Edited");
  E2eTypeInto(modify, 6, "+49:1:2");
  E2eScreenshot("records-modify-form");
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("records-modify-question"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT id, name, phone FROM people WHERE id = 7",
                          {"7|Xenia Edited|+49:1:2"}),
            std::vector<std::string>{"7|Xenia Edited|+49:1:2"});
  // The fields not edited are stored as they were.
  EXPECT_EQ(ServerRows(check, untouched), old);
  E2eClick(modify, E2eButtonX(0), kE2eButtonY);  // Close
  ASSERT_TRUE(E2eWaitClosed("Record", modify));

  // Insert (325, 55): a new record with a quote in its name; empty inputs
  // give NULL for numbers and the empty text for texts.
  std::string insert = E2eOpenByClick("Record", main_window, 365, 65);
  ASSERT_FALSE(insert.empty()) << E2eScreenshot("records-no-insert-form");
  E2eTypeInto(insert, 0, "9001");
  E2eTypeInto(insert, 1, "Kit O'Hara");
  E2eTypeInto(insert, 5, "02-Mar-2000");
  E2eClick(insert, E2eButtonX(1), kE2eButtonY);  // Insert
  ASSERT_TRUE(E2eAnswerYes("records-insert-question"));
  const std::vector<std::string> inserted = {"9001|Kit O'Hara||NULL|NULL|02-Mar-2000||"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM people WHERE id = 9001", inserted), inserted);
  E2eClick(insert, E2eButtonX(0), kE2eButtonY);
  ASSERT_TRUE(E2eWaitClosed("Record", insert));

  // Search (125, 55) with a pattern, Next to the second row found, Change to
  // open it, and a change to it that must reach that very record.
  std::vector<std::string> found = ServerRows(check, "SELECT id FROM people  WHERE name LIKE 'Zoe O\\'%'");
  ASSERT_GE(found.size(), 2u);
  std::string search = E2eOpenByClick("Record", main_window, 165, 65);
  ASSERT_FALSE(search.empty()) << E2eScreenshot("records-no-search-form");
  E2eTypeInto(search, 1, "Zoe O'%");
  std::string show = E2eOpenByClick("Record", search, E2eButtonX(1), kE2eButtonY);  // Search
  ASSERT_FALSE(show.empty()) << E2eScreenshot("records-no-show-form");
  EXPECT_TRUE(E2eWaitClosed("Record", search));
  E2eClick(show, E2eButtonX(3), kE2eButtonY);  // Next
  E2eScreenshot("records-show-second");
  std::string change = E2eOpenByClick("Record", show, E2eButtonX(1), kE2eButtonY);  // Change
  ASSERT_FALSE(change.empty()) << E2eScreenshot("records-no-change-form");
  E2eTypeInto(change, 7, "seen second");
  E2eClick(change, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("records-change-question"));
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT id FROM people WHERE notes = 'seen second'", {found[1]}),
            std::vector<std::string>{found[1]});
}

}  // namespace
