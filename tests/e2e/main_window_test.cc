// The built korvid as a user meets it: started with a database and a table on
// its command line, its main window found by title, measured, photographed,
// and closed through Exit (or the window manager's close button) and the
// question that follows.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/e2e_support.h"
#include "tests/support/xvfb.h"

namespace {

// Places inside the main window (its layout is fixed).
const int kExitX = 25 + 40, kExitY = 55 + 10;

TEST(MainWindowE2e, OpensOnTheTableAndExitsWithStatusZero) {
  E2eSession s;
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "main-no-window"));
  const std::string &window = s.main_window;
  E2eGeometry g = E2eWindowGeometry(window);
  EXPECT_EQ(g.w, 435);
  EXPECT_EQ(g.h, 315);
  // Centred on the 1280 x 1024 screen (there is no window manager).
  EXPECT_NEAR(g.x, (1280 - 435) / 2, 2);
  EXPECT_NEAR(g.y, (1024 - 315) / 2, 2);
  E2eScreenshot("main-window-sample-people");

  // Exit answered No: the program goes on.
  E2eClick(window, kExitX, kExitY);
  std::string question = E2eWaitWindow("Question");
  ASSERT_NE(question, "");
  E2eScreenshot("exit-question");
  E2eKey(question, "BackSpace");  // this toolkit's No
  EXPECT_TRUE(E2eWaitGone("Question"));
  EXPECT_EQ(E2eWaitExit(s.korvid, 300), -1) << "korvid ended on No";
}

TEST(MainWindowE2e, ExitAnsweredYesEndsWithStatusZero) {
  E2eSession s;
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "main-no-window-2"));
  const std::string &window = s.main_window;
  E2eClick(window, kExitX, kExitY);
  std::string question = E2eWaitWindow("Question");
  ASSERT_NE(question, "");
  E2eKey(question, "y");
  EXPECT_EQ(E2eWaitExit(s.korvid, 10000), 0);
}

TEST(MainWindowE2e, ClosingTheMainWindowAsksAsExitDoes) {
  E2eSession s;
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "main-no-window-3"));
  const std::string &window = s.main_window;
  ASSERT_TRUE(SendWmDelete(nullptr, std::stoul(window)));  // the title bar's close
  std::string question = E2eWaitWindow("Question");
  ASSERT_NE(question, "") << E2eWhy(s.korvid, "close-no-question");
  E2eKey(question, "BackSpace");  // No
  EXPECT_TRUE(E2eWaitGone("Question"));
  usleep(300000);
  ASSERT_EQ(waitpid(s.korvid, nullptr, WNOHANG), 0) << "korvid ended on No";
  ASSERT_EQ(E2eWaitWindow("Korvid"), window);

  ASSERT_TRUE(SendWmDelete(nullptr, std::stoul(window)));  // the title bar's close
  question = E2eWaitWindow("Question");
  ASSERT_NE(question, "") << E2eWhy(s.korvid, "close-no-question-2");
  E2eKey(question, "y");
  EXPECT_EQ(E2eWaitExit(s.korvid, 10000), 0);
}

}  // namespace
