// End-to-end support: the built korvid (and korvid-server) as separate
// processes on a private Xvfb, driven with xdotool like a user would.
//
//   E2eDisplay display;                     // private Xvfb; DISPLAY set
//   E2eServer server;  E2eStartServer(server);   // sample database
//   pid_t korvid = E2eStartKorvid(server, {"sample", "people"});
//   std::string win = E2eWaitWindow("Korvid");   // xdotool window id
//   E2eClick(win, 25 + 40, 55 + 10);        // the Exit button
//   std::string q = E2eWaitWindow("Question");
//   E2eKey(q, "y");
//   EXPECT_EQ(E2eWaitExit(korvid, 10000), 0);
//
// Screenshots go to E2eShotDir() (the build tree's tests/e2e/shots, or
// $KORVID_E2E_SHOTS) so that they can be looked at after the run.
#ifndef KORVID_TESTS_E2E_SUPPORT_H
#define KORVID_TESTS_E2E_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/rows.h"
#include "tests/support/server_clients.h"
#include "tests/support/xvfb.h"

// A private Xvfb on a free display for the life of the object; sets DISPLAY.
struct E2eDisplay {
  E2eDisplay();
  ~E2eDisplay();
  pid_t pid = -1;
  std::string name;  // ":N", empty when Xvfb could not be started
};

// A korvid-server with the sample database on a private socket, and the
// msql.conf that names it (passed to korvid through MSQL_CONF_FILE).
struct E2eServer {
  ~E2eServer();
  std::string dir;       // temporary state directory
  std::string confPath;  // msql.conf for the clients
  void *fixture = nullptr;  // the server fixture, owned
};
// Starts the server on the sample database, or with the given options;
// false (and a test failure) when it cannot.
bool E2eStartServer(E2eServer &server);
struct ServerFixtureOptions;
bool E2eStartServer(E2eServer &server, const ServerFixtureOptions &options);

// What nearly every test begins with: a display, a server, korvid on its
// main window and a connection of the test's own to check the stored data.
// Ending it stops korvid (when still running), closes the connection, then
// the server and the display.
struct E2eSession {
  ~E2eSession();
  E2eDisplay display;
  E2eServer server;
  pid_t korvid = -1;
  std::string main_window;  // xdotool window id
  int check = -1;           // on database args[0]
};
// Starts the server on the sample database unless the test started one,
// connects `check` to database args[0], starts korvid with args and waits
// for its main window; a fatal failure (screenshot `shot`) when any of it
// fails, so call it under ASSERT_NO_FATAL_FAILURE.
void E2eLaunch(E2eSession &session, const std::vector<std::string> &args, const std::string &shot);

// Starts the built korvid with args (after the program name) on the
// current DISPLAY against the server; its stdout and stderr go to
// E2eShotDir()/korvid-<pid>.log. $KORVID_E2E_WRAPPER, when set, is a
// command (words split at blanks) that korvid is run under, e.g. valgrind.
pid_t E2eStartKorvid(const E2eServer &server, const std::vector<std::string> &args);
// Waits for korvid to end; its exit status, or -1 when it did not end in
// time (it is then killed).
int E2eWaitExit(pid_t pid, int timeout_ms);

// How many times longer than usual to wait for korvid: 4 under a
// KORVID_E2E_WRAPPER (the wait functions below apply it themselves), else 1.
int E2ePatience(void);

// Runs a shell command with the current environment; its standard output.
std::string E2eShell(const std::string &command);
// The id of the visible window whose title is exactly title; "" after
// timeout_ms without one.
std::string E2eWaitWindow(const std::string &title, int timeout_ms = 15000);
// True when no visible window has this title any more within timeout_ms.
bool E2eWaitGone(const std::string &title, int timeout_ms = 10000);
// Place and size of a window.
struct E2eGeometry {
  int x = 0, y = 0, w = 0, h = 0;
};
E2eGeometry E2eWindowGeometry(const std::string &window);
// A click at (x, y) inside the window (press, short pause, release).
void E2eClick(const std::string &window, int x, int y);
// Moves the pointer into the window, gives it the keyboard focus, then
// sends the keys (xdotool key names, e.g. "y", "Return", "ctrl+u").
void E2eKey(const std::string &window, const std::string &keys);
// Gives the window the keyboard focus and types text into it (into the
// input under the pointer or holding the toolkit's own focus).
void E2eType(const std::string &window, const std::string &text);
// A double click at (x, y) inside the window.
void E2eDoubleClick(const std::string &window, int x, int y);

// A record form: inputs 300 x 25 from x 90 at y = 35 i + 80; buttons at y
// 35, Close at x 20, then 100, 180, 260.
const int kE2eInputX = 240, kE2eButtonY = 45;
inline int E2eInputY(int i) { return 35 * i + 80 + 12; }
inline int E2eButtonX(int slot) { return slot == 0 ? 55 : 135 + 80 * (slot - 1); }
// Replaces the text of input i of a record form with text.
void E2eTypeInto(const std::string &window, int i, const std::string &text);
// Clicks Yes (the left button) on the question that comes up; false, with
// a test failure and a screenshot named after shot, when none comes or it
// stays.
bool E2eAnswerYes(const std::string &shot);
// The visible windows titled exactly title, oldest first by id.
std::vector<std::string> E2eWindows(const std::string &title);
// The window titled title that appeared since `before`; "" after a while.
std::string E2eWaitNew(const std::string &title, const std::vector<std::string> &before);
// Clicks at (x, y) in window and waits for the new window titled title
// that it opens; "" when none comes.
std::string E2eOpenByClick(const std::string &title, const std::string &window, int x, int y);
// True when window id (titled title) has gone within a while.
bool E2eWaitClosed(const std::string &title, const std::string &id);

// Saves a screenshot of the whole screen as E2eShotDir()/name.png; its path.
std::string E2eScreenshot(const std::string &name);
std::string E2eShotDir(void);

// The program shows its answer before the test can see the change on the
// server: polls ServerRows (tests/support/server_fixture.h) until it gives `expected` (five seconds, longer
// under a wrapper) and returns the last rows read.
std::vector<std::string> E2eRowsOnceEqual(int sock, const std::string &statement,
                                          const std::vector<std::string> &expected);
// What a failed wait should report: a screenshot saved as name, whether
// korvid still runs (or how it ended), the visible windows' titles and the
// end of korvid's log. For "<< E2eWhy(korvid, "views-no-main")".
std::string E2eWhy(pid_t korvid, const std::string &name);

#endif
