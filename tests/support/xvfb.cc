// A private Xvfb for a test; see xvfb.h.
#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <cerrno>
#include <cstdio>

pid_t StartTestXvfb(const std::string &log_path, std::string *display) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close(fds[0]);
    int devnull = open("/dev/null", O_RDWR);
    int log = log_path.empty() ? -1 : open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
    }
    if (log >= 0 || devnull >= 0) dup2(log >= 0 ? log : devnull, 2);
    std::string fd = std::to_string(fds[1]);
    const char *font_path = getenv("KORVID_TEST_FONT_PATH");
    bool own_path = font_path && *font_path;
    // -noreset: the server would otherwise reset whenever its last client
    // leaves (each xdotool call is one), and a korvid connecting during that
    // reset is refused ("Can't open display").
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten",
           "tcp", "-noreset", own_path ? "-fp" : static_cast<char *>(nullptr), font_path,
           static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  struct pollfd p = {fds[0], POLLIN, 0};
  while (poll(&p, 1, 20000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    StopTestXvfb(pid);
    return -1;
  }
  *display = ":" + number;
  return pid;
}

void StopTestXvfb(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::string Xdotool(const std::string &arguments, bool *ok) {
  std::string out;
  std::string command = "xdotool " + arguments + " 2>/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (!p) {
    if (ok) *ok = false;
    return out;
  }
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int status = pclose(p);
  // A test that ignores SIGCHLD leaves nothing to wait for: take it as done.
  if (ok) *ok = (status == -1 && errno == ECHILD) || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return out;
}

bool SendWmDelete(Display *display, unsigned long window) {
  Display *own = display ? nullptr : XOpenDisplay(nullptr);
  Display *d = display ? display : own;
  if (!d) return false;
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, window, False, NoEventMask, &event);
  if (own) XCloseDisplay(own);
  return true;
}
