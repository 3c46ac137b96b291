// Real pointer input for the list windows' tests: xdotool runs beside the
// test while the toolkit goes on handling the events it makes.
#ifndef KORVID_TESTS_VIEWS_GUI_HELPERS_H
#define KORVID_TESTS_VIEWS_GUI_HELPERS_H

#include "tests/support/gui_support.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "views/views.h"

namespace {

// Lets the toolkit handle its events for about ms milliseconds.
inline void Pump(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    GuiFlush();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < end);
}

// Runs xdotool with these arguments while the toolkit goes on handling the
// events it generates; returns when xdotool has finished.
inline void Xdotool(const std::vector<std::string> &args) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("xdotool"));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp("xdotool", argv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; i++) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "xdotool failed";
      break;
    }
    if (done < 0) break;  // reaped by the system (SIGCHLD ignored)
    GuiFlush();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Pump(100);
}

inline std::string Number(long n) { return std::to_string(n); }

// A press and release at (x, y) of the form's window; twice for a double
// click. Each press is held a moment: an instant click may select a line
// without the toolkit seeing a click.
inline void MouseClick(FL_FORM *form, int x, int y, int clicks) {
  std::vector<std::string> args = {"mousemove", "--window", Number(form->window), Number(x),
                                   Number(y)};
  for (int i = 0; i < clicks; i++) {
    for (const char *a : {"mousedown", "1", "sleep", "0.03", "mouseup", "1", "sleep", "0.03"})
      args.push_back(a);
  }
  Xdotool(args);
}

// The middle of list line n (the list scrolled to its top), in the form's
// coordinates: lines are one character height apart, below a small margin.
inline void LinePosition(ListForm *list, int n, int *x, int *y) {
  FL_Coord bx, by, bw, bh;
  fl_get_object_geometry(list->browser, &bx, &by, &bw, &bh);
  int ascent, descent;
  int height = fl_get_char_height(FL_FIXEDBOLD_STYLE, static_cast<int>(fl_get_counter_value(list->fontsize)),
                                  &ascent, &descent);
  *x = bx + 40;
  *y = by + 3 + (n - 1) * height + height / 2;
}

}  // namespace

#endif
