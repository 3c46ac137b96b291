// Command lines that end the program with its usage text: run the built
// korvid on the test's private display and watch a socket where the local
// server would be, to see that no connection is attempted.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/gui_support.h"

namespace {

struct KorvidRun {
  int status;  // exit status, or -1 when it did not exit by itself
  std::string err;
};

// Runs korvid with args and the environment given; kills it after timeout.
KorvidRun RunKorvid(const std::vector<std::string> &args, const std::vector<std::string> &env,
              int timeout_ms = 20000) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    for (const std::string &e : env) putenv(strdup(e.c_str()));
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  KorvidRun run{-1, ""};
  struct pollfd p = {fds[0], POLLIN, 0};
  char buffer[512];
  while (poll(&p, 1, timeout_ms) > 0) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.err.append(buffer, n);
  }
  close(fds[0]);
  int status = 0;
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
      return run;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return run;
}

std::string UsageText(const std::string &program) {
  return "\nUsage  : " + program +
         " [options] [<database> [<table>]]\n"
         "Options: -h <host> : set remote database server\n"
         "         -c        : disable record count display\n";
}

class CommandLineTest : public GuiTest {};

TEST_F(CommandLineTest, BadFormsPrintUsageAndConnectNowhere) {
  char dir[] = "/tmp/korvid-cli-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string socket_path = std::string(dir) + "/msql2.sock";
  std::string conf = std::string(dir) + "/msql.conf";
  FILE *f = fopen(conf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "[general]\nunix_port = %s\ntcp_port = 1\n\n", socket_path.c_str());
  fclose(f);

  // A listener where the local server would be: a connection attempt shows up
  // as a pending connection on it.
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);

  const std::vector<std::vector<std::string>> forms = {
      {"a", "b", "c"},
      {"-c", "a", "b", "c"},
      {"-x"},
      {"-xyz", "db"},
      {"-c", "-x", "db", "table"},
      {"-", "db"},
      {"-m"},  // a row ceiling needs its number
      {"-m", "many", "db"},
      {"-m", "-1"},
  };
  std::string program = KORVID_PROGRAM;
  for (const auto &form : forms) {
    std::vector<std::string> args = {program};
    args.insert(args.end(), form.begin(), form.end());
    std::string shown;
    for (const auto &a : form) shown += a + " ";
    SCOPED_TRACE(shown);
    KorvidRun run = RunKorvid(args, {"MSQL_CONF_FILE=" + conf, "DISPLAY=" + GuiDisplay()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, UsageText(program));
    struct pollfd p = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "a connection was attempted";
  }
  close(listener);
  unlink(socket_path.c_str());
  unlink(conf.c_str());
  rmdir(dir);
}

}  // namespace
