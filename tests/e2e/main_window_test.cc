// The built korvid as a user meets it: started with a database and a table on
// its command line, its main window found by title, measured, photographed,
// and closed through Exit and the question that follows.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

// Places inside the main window (its layout is fixed).
const int kExitX = 25 + 40, kExitY = 55 + 10;

TEST(MainWindowE2e, OpensOnTheTableAndExitsWithStatusZero) {
  E2eDisplay display;
  ASSERT_FALSE(display.name.empty());
  E2eServer server;
  ASSERT_TRUE(E2eStartServer(server));

  pid_t korvid = E2eStartKorvid(server, {"sample", "people"});
  std::string window = E2eWaitWindow("Korvid");
  ASSERT_NE(window, "") << E2eWhy(korvid, "main-no-window");
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
  EXPECT_EQ(E2eWaitExit(korvid, 300), -1) << "korvid ended on No";
}

TEST(MainWindowE2e, ExitAnsweredYesEndsWithStatusZero) {
  E2eDisplay display;
  ASSERT_FALSE(display.name.empty());
  E2eServer server;
  ASSERT_TRUE(E2eStartServer(server));

  pid_t korvid = E2eStartKorvid(server, {"sample", "people"});
  std::string window = E2eWaitWindow("Korvid");
  ASSERT_NE(window, "") << E2eWhy(korvid, "main-no-window-2");
  E2eClick(window, kExitX, kExitY);
  std::string question = E2eWaitWindow("Question");
  ASSERT_NE(question, "");
  E2eKey(question, "y");
  EXPECT_EQ(E2eWaitExit(korvid, 10000), 0);
}

}  // namespace
