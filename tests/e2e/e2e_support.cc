// End-to-end support; see e2e_support.h.
#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "msql/msql.h"
#include "tests/support/server_fixture.h"
#include "tests/support/xvfb.h"
// Last: Xlib's macros (None, Bool) would break the test framework's headers.
#include "app/services/fonts.h"

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The display of the running test and where its Xvfb writes, for E2eWhy.
pid_t current_xvfb = -1;
std::string current_xvfb_log;

}  // namespace

E2eDisplay::E2eDisplay() {
  static int displays_started = 0;
  std::string log_path = E2eShotDir() + "/xvfb-" + std::to_string(getpid()) + "-" +
                         std::to_string(++displays_started) + ".log";
  std::string started;
  pid = StartTestXvfb(log_path, &started);
  if (pid < 0) {
    ADD_FAILURE() << "cannot start Xvfb";
    return;
  }
  // Every place clicked and every reference picture was measured in the
  // layout's fonts: without them the run would fail for no reason it names.
  Display *display = XOpenDisplay(started.c_str());
  int missing = display ? MissingLayoutFonts(display) : 0;
  if (display) XCloseDisplay(display);
  if (missing) {
    ADD_FAILURE() << "the fonts of the layout are missing: install the Debian package "
                  << LAYOUT_FONT_PACKAGE << " (scripts/install-deps.sh)";
    StopTestXvfb(pid);
    pid = -1;
    return;
  }
  name = started;
  setenv("DISPLAY", name.c_str(), 1);
  current_xvfb = pid;
  current_xvfb_log = log_path;
}

E2eDisplay::~E2eDisplay() {
  if (pid > 0) {
    current_xvfb = -1;
    StopTestXvfb(pid);
  }
}

pid_t E2eStartKorvid(const E2eServer &server, const std::vector<std::string> &args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string log = E2eShotDir() + "/korvid-" + std::to_string(getpid()) + ".log";
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    setenv("MSQL_CONF_FILE", server.confPath.c_str(), 1);
    // KORVID_E2E_WRAPPER runs korvid under another program (valgrind):
    // its words come first on the command line.
    std::vector<std::string> words;
    if (const char *wrapper = getenv("KORVID_E2E_WRAPPER")) {
      std::string word;
      for (const char *c = wrapper;; c++) {
        if (*c == ' ' || *c == '\0') {
          if (!word.empty()) words.push_back(word);
          word.clear();
          if (*c == '\0') break;
        } else {
          word += *c;
        }
      }
    }
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(const_cast<char *>(KORVID_PROGRAM));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int E2eWaitExit(pid_t pid, int timeout_ms) {
  int status = 0;
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Sleep(50);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

std::string E2eShell(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

int E2ePatience(void) {
  const char *wrapper = getenv("KORVID_E2E_WRAPPER");
  return wrapper && *wrapper ? 4 : 1;
}

std::string E2eWaitWindow(const std::string &title, int timeout_ms) {
  timeout_ms *= E2ePatience();
  std::string search = "search --onlyvisible --name " + Quote("^" + title + "$");
  for (int waited = 0; waited <= timeout_ms; waited += 100) {
    std::string found = Trim(Xdotool(search));
    std::string id = found.substr(found.find_last_of('\n') + 1);  // the newest
    if (!id.empty()) {
      Sleep(200);  // let the toolkit draw it and take input
      return id;
    }
    Sleep(100);
  }
  return "";
}

bool E2eWaitGone(const std::string &title, int timeout_ms) {
  timeout_ms *= E2ePatience();
  std::string search = "search --onlyvisible --name " + Quote("^" + title + "$");
  for (int waited = 0; waited <= timeout_ms; waited += 100) {
    if (Trim(Xdotool(search)).empty()) return true;
    Sleep(100);
  }
  return false;
}

E2eGeometry E2eWindowGeometry(const std::string &window) {
  E2eGeometry g;
  std::string out = Xdotool("getwindowgeometry --shell " + window);
  sscanf(out.c_str(), "WINDOW=%*d\nX=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &g.x, &g.y, &g.w, &g.h);
  return g;
}

void E2eClick(const std::string &window, int x, int y) {
  Xdotool("mousemove --window " + window + " " + std::to_string(x) + " " +
           std::to_string(y) + " sleep 0.1 mousedown 1 sleep 0.1 mouseup 1");
  Sleep(100);
}

// Keys go to the window holding the keyboard focus. Without a window
// manager nobody hands the focus to a new dialog (after a click it stays on
// the window clicked), so it is given explicitly, with the pointer inside.
void E2eKey(const std::string &window, const std::string &keys) {
  E2eGeometry g = E2eWindowGeometry(window);
  Xdotool("mousemove --window " + window + " " + std::to_string(g.w / 2) + " " +
           std::to_string(g.h / 2) + " sleep 0.1 windowfocus --sync " + window +
           " sleep 0.2 key " + keys);
  Sleep(100);
}

void E2eType(const std::string &window, const std::string &text) {
  Xdotool("windowfocus --sync " + window + " sleep 0.2 type --delay 20 " + Quote(text));
}

std::string E2eShotDir(void) {
  const char *dir = getenv("KORVID_E2E_SHOTS");
  std::string path = dir && *dir ? dir : KORVID_E2E_SHOT_DIR;
  mkdir(path.c_str(), 0755);
  return path;
}

std::string E2eScreenshot(const std::string &name) {
  std::string path = E2eShotDir() + "/" + name + ".png";
  E2eShell("import -window root " + Quote(path) + "");
  return path;
}

std::string E2eWhy(pid_t korvid, const std::string &name) {
  std::string why = "\nscreenshot: " + E2eScreenshot(name);
  int status = 0;
  pid_t done = waitpid(korvid, &status, WNOHANG);
  if (done == 0)
    why += "\nkorvid still runs";
  else if (done == korvid && WIFEXITED(status))
    why += "\nkorvid exited with status " + std::to_string(WEXITSTATUS(status));
  else if (done == korvid && WIFSIGNALED(status))
    why += "\nkorvid died of signal " + std::to_string(WTERMSIG(status));
  if (current_xvfb > 0) {
    // A dead Xvfb stays a zombie until the display object reaps it.
    std::string state = E2eShell("awk '{print $3}' /proc/" + std::to_string(current_xvfb) +
                                 "/stat");
    why += state.empty() || state[0] == 'Z' ? "\nXvfb has ended" : "\nXvfb still runs";
    why += " (DISPLAY " + std::string(getenv("DISPLAY") ? getenv("DISPLAY") : "unset") + ")";
    why += "; its log ends:\n" + E2eShell("tail -c 1500 " + Quote(current_xvfb_log));
  }
  why += "\nvisible windows:\n" +
         E2eShell("xdotool search --onlyvisible --name . getwindowname %@ 2>&1 | head -20");
  why += "korvid's log ends:\n" +
         E2eShell("tail -c 2000 " + Quote(E2eShotDir() + "/korvid-" + std::to_string(korvid) + ".log"));
  return why;
}

std::vector<std::string> E2eRowsOnceEqual(int sock, const std::string &statement,
                                          const std::vector<std::string> &expected) {
  std::vector<std::string> rows;
  for (int i = 0; i < 50 * E2ePatience(); i++) {
    rows = ServerRows(sock, statement);
    if (rows == expected) break;
    usleep(100000);
  }
  return rows;
}

bool E2eStartServer(E2eServer &server) {
  ServerFixtureOptions options;
  options.databases.push_back({"sample", SampleSqlPath()});
  return E2eStartServer(server, options);
}

bool E2eStartServer(E2eServer &server, const ServerFixtureOptions &options) {
  std::string error;
  ServerFixture *fixture = ServerFixtureStart(options, &error);
  if (!fixture) {
    ADD_FAILURE() << "cannot start korvid-server: " << error;
    return false;
  }
  server.fixture = fixture;
  server.dir = fixture->dir;
  server.confPath = fixture->conf_path;
  return true;
}

E2eServer::~E2eServer() { ServerFixtureStop(static_cast<ServerFixture *>(fixture)); }

E2eSession::~E2eSession() {
  int status;
  if (korvid > 0 && waitpid(korvid, &status, WNOHANG) == 0) {
    kill(korvid, SIGTERM);
    E2eWaitExit(korvid, 5000);
  }
  if (check >= 0) msqlClose(check);
}

void E2eLaunch(E2eSession &s, const std::vector<std::string> &args, const std::string &shot) {
  ASSERT_FALSE(s.display.name.empty());
  if (!s.server.fixture) {
    ASSERT_TRUE(E2eStartServer(s.server));
  }
  s.check = msqlConnect(nullptr);
  ASSERT_GE(s.check, 0) << msqlErrMsg;
  ASSERT_EQ(msqlSelectDB(s.check, args.at(0).c_str()), 0) << msqlErrMsg;
  s.korvid = E2eStartKorvid(s.server, args);
  s.main_window = E2eWaitWindow("Korvid");
  ASSERT_FALSE(s.main_window.empty()) << E2eWhy(s.korvid, shot);
}

void E2eDoubleClick(const std::string &window, int x, int y) {
  Xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
          " sleep 0.1 mousedown 1 sleep 0.05 mouseup 1 sleep 0.05 mousedown 1 sleep 0.05 mouseup 1");
}

void E2eTypeInto(const std::string &window, int i, const std::string &text) {
  E2eClick(window, kE2eInputX, E2eInputY(i));
  Xdotool("key --window " + window + " ctrl+u");
  if (!text.empty()) E2eType(window, text);
}

bool E2eAnswerYes(const std::string &shot) {
  std::string question = E2eWaitWindow("Question");
  EXPECT_FALSE(question.empty()) << E2eScreenshot(shot);
  if (question.empty()) return false;
  E2eGeometry q = E2eWindowGeometry(question);
  E2eClick(question, q.w * 27 / 100, q.h - 28);
  bool gone = E2eWaitGone("Question");
  EXPECT_TRUE(gone) << E2eScreenshot(shot + "-stays");
  return gone;
}

std::vector<std::string> E2eWindows(const std::string &title) {
  std::vector<std::string> ids;
  std::istringstream out(Xdotool("search --onlyvisible --name " + Quote("^" + title + "$")));
  for (std::string id; std::getline(out, id);)
    if (!id.empty()) ids.push_back(id);
  return ids;
}

std::string E2eWaitNew(const std::string &title, const std::vector<std::string> &before) {
  for (int i = 0; i < 150 * E2ePatience(); i++) {
    for (const std::string &id : E2eWindows(title))
      if (std::find(before.begin(), before.end(), id) == before.end()) {
        Sleep(200);  // let the toolkit draw it and take input
        return id;
      }
    Sleep(100);
  }
  return "";
}

std::string E2eOpenByClick(const std::string &title, const std::string &window, int x, int y) {
  std::vector<std::string> before = E2eWindows(title);
  E2eClick(window, x, y);
  return E2eWaitNew(title, before);
}

bool E2eWaitClosed(const std::string &title, const std::string &id) {
  for (int i = 0; i < 100 * E2ePatience(); i++) {
    std::vector<std::string> ids = E2eWindows(title);
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) return true;
    Sleep(100);
  }
  return false;
}
