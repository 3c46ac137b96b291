// A private Xvfb for a test: it picks a free display itself (-displayfd), so
// tests running in parallel never collide, and it dies with the process that
// started it (PR_SET_PDEATHSIG).
#pragma once

#include <sys/types.h>

#include <string>

// Starts Xvfb, its standard error into log_path (nothing kept when empty),
// and waits until it takes clients. Returns its pid and sets *display to its
// name (":N"), or returns -1. KORVID_TEST_FONT_PATH, when set, replaces the
// server's font path, to show the windows as other fonts would draw them.
pid_t StartTestXvfb(const std::string &log_path, std::string *display);

// Stops an Xvfb that StartTestXvfb started.
void StopTestXvfb(pid_t pid);

// Runs xdotool on $DISPLAY with arguments (words as the shell reads them,
// quoted by the caller) and returns what it printed; its complaints are
// dropped. *ok, when given, tells whether it exited 0.
std::string Xdotool(const std::string &arguments, bool *ok = nullptr);

// Sends the window what a window manager sends when its close button is
// pressed (WM_DELETE_WINDOW), on `display` (an Xlib Display), or on a
// connection of its own to $DISPLAY when that is null; false when no
// display could be had.
struct _XDisplay;
bool SendWmDelete(struct _XDisplay *display, unsigned long window);
