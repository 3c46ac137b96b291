// Opens and closes every kind of record form and list window many times in
// one process, the way the buttons do, against korvid-server. Run under
// valgrind (ctest label valgrind): a window that leaves memory behind shows
// up as a definite or indirect leak, a freed form used again as an error.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "records/records.h"
#include "tests/support/gui_support.h"
#include "views/views.h"

namespace {

class WindowLoop : public GuiTest {};

// Closes the newest window with this title through its Close button.
void CloseNewest(const char *title) {
  std::vector<FL_FORM *> forms = GuiVisibleForms(title);
  ASSERT_FALSE(forms.empty()) << "no window " << title;
  FL_OBJECT *close = GuiFindObject(forms.back(), "Close");
  ASSERT_NE(close, nullptr);
  GuiClick(close);
  EXPECT_EQ(GuiVisibleForms(title).size(), forms.size() - 1);
}

TEST_F(WindowLoop, OpenAndCloseEveryWindowManyTimes) {
  std::string script =
      "CREATE TABLE t (id int not null, name char(20), note text(40), price money);\n"
      "CREATE UNIQUE INDEX t_id ON t (id);\n";
  for (int i = 1; i <= 30; i++)
    script += "INSERT INTO t VALUES (" + std::to_string(i) + ", 'name " + std::to_string(i) +
              "', 'a note that is longer than forty characters, cut in lists', " +
              std::to_string(i) + ".25);\n";
  ASSERT_TRUE(GuiLoadDatabase("loop", script));
  MainForm *mf = GuiConnectSample("loop", "t");
  ASSERT_NE(mf, nullptr);
  long main_data = reinterpret_cast<long>(mf);
  const char *env = getenv("KORVID_LOOP_COUNT");
  const int rounds = env && atoi(env) > 0 ? atoi(env) : 100;

  for (int round = 0; round < rounds; round++) {
    // Record forms: insert, modify (by key), search leading to a show form
    // that is stepped through.
    InsertForm(nullptr, main_data);
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Record"));
    ModifyRecord(std::to_string(round % 30 + 1).c_str(), mf->info);
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Record"));
    SearchForm(nullptr, main_data);
    std::vector<FL_FORM *> search = GuiVisibleForms("Record");
    ASSERT_FALSE(search.empty());
    FL_OBJECT *name = GuiFindObject(search.back(), "name");
    ASSERT_NE(name, nullptr);
    fl_set_input(name, "name 1%");
    GuiClick(GuiFindObject(search.back(), "Search"));
    std::vector<FL_FORM *> show = GuiVisibleForms("Record");
    ASSERT_EQ(show.size(), search.size());  // the search form gave way to the found set
    GuiClick(GuiFindObject(show.back(), "Next"));
    GuiClick(GuiFindObject(show.back(), "Previous"));
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Record"));

    // List windows: all records, field descriptions, a free query.
    ShowAllRecords(nullptr, main_data);
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Shower"));
    FieldInfo(nullptr, main_data);
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Shower"));
    GuiAnswerChoice(1);
    GuiAnswerInput("SELECT id, note FROM t WHERE id < 20");
    GuiAnswerMessage();
    FreeQuery(nullptr, main_data);
    ASSERT_NO_FATAL_FAILURE(CloseNewest("Shower"));
    ASSERT_EQ(GuiPendingAnswers(), 0u);
    GuiResetDialogs();
    GuiFlush();  // the events of the windows gone, as the main loop would
  }
  EXPECT_TRUE(GuiVisibleForms("Record").empty());
  EXPECT_TRUE(GuiVisibleForms("Shower").empty());
}

}  // namespace
