// Korvid's windows under a real window manager (openbox): a window that
// opens is in front with the keyboard, a list or record window does not
// cover the main window's buttons, and a dialog stays above a window the
// user clicks while the whole application waits for the dialog.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// openbox on the test display until the object goes.
struct WindowManager {
  pid_t pid = -1;
  WindowManager() {
    pid = fork();
    if (pid == 0) {
      execlp("openbox", "openbox", "--sm-disable", static_cast<char *>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && system("wmctrl -m >/dev/null 2>&1") != 0; i++) Sleep(50);
  }
  ~WindowManager() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// The client windows from bottom to top, as the window manager stacks them.
std::vector<unsigned long> Stacking(void) {
  std::string out = E2eShell("xprop -root _NET_CLIENT_LIST_STACKING");
  std::vector<unsigned long> windows;
  for (size_t at = out.find("0x"); at != std::string::npos; at = out.find("0x", at + 2))
    windows.push_back(std::stoul(out.substr(at), nullptr, 16));
  return windows;
}

unsigned long ActiveWindow(void) {
  std::string out = E2eShell("xprop -root _NET_ACTIVE_WINDOW");
  size_t at = out.find("0x");
  return at == std::string::npos ? 0 : std::stoul(out.substr(at), nullptr, 16);
}

// Waits until the window is the active one and the topmost; whether it
// became so.
bool InFront(const std::string &window) {
  unsigned long id = std::stoul(window);
  for (int i = 0; i < 30 * E2ePatience(); i++) {
    std::vector<unsigned long> stack = Stacking();
    if (ActiveWindow() == id && !stack.empty() && stack.back() == id) return true;
    Sleep(100);
  }
  return false;
}

bool Overlap(const E2eGeometry &a, int x, int y, int w, int h) {
  return a.x < x + w && x < a.x + a.w && a.y < y + h && y < a.y + a.h;
}

// Places inside the main window (its layout is fixed).
const int kSearchX = 125 + 40, kSearchY = 55 + 10;
const int kShowAllX = 25 + 40, kShowAllY = 80 + 10;
const int kInfoX = 325 + 40, kInfoY = 80 + 10;
const int kExitX = 25 + 40, kExitY = 55 + 10;
// Close in a record form.
const int kRecordCloseX = 20 + 35, kRecordCloseY = 35 + 10;

TEST(WindowsE2e, WindowsOpenInFrontBesideTheButtonsAndDialogsStayAbove) {
  E2eSession s;
  ASSERT_FALSE(s.display.name.empty());
  WindowManager wm;
  ASSERT_EQ(system("wmctrl -m >/dev/null 2>&1"), 0) << "openbox could not be started";
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"sample", "people"}, "windows-no-main"));
  const pid_t korvid = s.korvid;
  const std::string &main_window = s.main_window;
  E2eGeometry main = E2eWindowGeometry(main_window);
  // The two rows of buttons, on the screen.
  const int buttons_x = main.x + 25, buttons_y = main.y + 55, buttons_w = 380, buttons_h = 45;

  // The search form, a dozen times: each time in front, with the keyboard.
  for (int i = 0; i < 12; i++) {
    SCOPED_TRACE("search form " + std::to_string(i + 1));
    E2eClick(main_window, kSearchX, kSearchY);
    std::string record = E2eWaitWindow("Record");
    ASSERT_NE(record, "") << E2eWhy(korvid, "windows-no-search");
    EXPECT_TRUE(InFront(record)) << E2eWhy(korvid, "windows-search-behind");
    EXPECT_FALSE(Overlap(E2eWindowGeometry(record), buttons_x, buttons_y, buttons_w, buttons_h));
    E2eClick(record, kRecordCloseX, kRecordCloseY);
    ASSERT_TRUE(E2eWaitGone("Record"));
  }

  // The list window beside the buttons, not over them.
  E2eClick(main_window, kShowAllX, kShowAllY);
  std::string list = E2eWaitWindow("Shower");
  ASSERT_NE(list, "") << E2eWhy(korvid, "windows-no-list");
  EXPECT_TRUE(InFront(list));
  E2eGeometry shown = E2eWindowGeometry(list);
  EXPECT_FALSE(Overlap(shown, buttons_x, buttons_y, buttons_w, buttons_h))
      << "list at " << shown.x << "," << shown.y << " " << shown.w << "x" << shown.h;

  // A dialog of the main window stays above the list window clicked while
  // it is up.
  E2eClick(main_window, kInfoX, kInfoY);
  std::string message = E2eWaitWindow("Message");
  ASSERT_NE(message, "") << E2eWhy(korvid, "windows-no-message");
  E2eClick(list, shown.w / 2, shown.h / 2);
  Sleep(300);
  std::vector<unsigned long> stack = Stacking();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack.back(), std::stoul(message)) << E2eWhy(korvid, "windows-message-buried");
  E2eClick(main_window, 200, 20);
  Sleep(300);
  stack = Stacking();
  EXPECT_EQ(stack.back(), std::stoul(message)) << E2eWhy(korvid, "windows-message-buried-by-main");
  E2eScreenshot("windows-message-above");
  E2eKey(message, "Return");
  ASSERT_TRUE(E2eWaitGone("Message"));

  E2eClick(main_window, kExitX, kExitY);
  std::string question = E2eWaitWindow("Question");
  ASSERT_NE(question, "");
  E2eKey(question, "y");
  EXPECT_EQ(E2eWaitExit(korvid, 10000), 0);
}

}  // namespace
