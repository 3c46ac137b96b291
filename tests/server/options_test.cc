// korvid-server's command line: usage, refused options, exit statuses, and
// a configuration that leaves nothing to listen on.
#include <gtest/gtest.h>

#include <pwd.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/server_fixture.h"

namespace {

struct RunResult {
  int status;
  std::string out, err;
};

std::string Drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  close(fd);
  return text;
}

// Runs korvid-server with arguments; its output is small enough for pipes.
RunResult RunServerBinary(const std::vector<std::string> &args) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {-1, "", ""};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    std::string binary = ServerBinaryPath();
    std::vector<char *> argv = {&binary[0]};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  RunResult r;
  r.out = Drain(out[0]);
  r.err = Drain(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(OptionsTest, UsageAndRefusals) {
  char dir[] = "/tmp/korvid-options-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string data = std::string(dir) + "/data";
  // Run as root, the server becomes msql_user: this one says to stay.
  std::string conf = std::string(dir) + "/msql.conf";
  FILE *f = fopen(conf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "[general]\nmsql_user = %s\npid_file = %s/pid\n", getpwuid(geteuid())->pw_name, dir);
  fclose(f);
  // A connection string longer than one line of the reader, on line 5.
  std::string cut = std::string(dir) + "/cut.conf";
  f = fopen(cut.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "[general]\nmsql_user = %s\npid_file = %s/pid\n[postgresql]\nconninfo = host=/tmp user=%s dbname=%s\n",
          getpwuid(geteuid())->pw_name, dir, std::string(60, 'u').c_str(), std::string(80, 'd').c_str());
  fclose(f);
  std::string cutRefused = "korvid-server: line 5 of " + cut + " is longer than 159 characters and cannot be read whole\n";
  struct {
    std::vector<std::string> args;
    int status;
    const char *err;  // expected at the start of standard error
  } cases[] = {
      {{"--help"}, 0, ""},
      {{"--bogus"}, 1, "korvid-server: unknown or incomplete option \"--bogus\""},
      {{"--port"}, 1, "korvid-server: unknown or incomplete option \"--port\""},
      {{"--port", "70000"}, 1, "korvid-server: bad port \"70000\""},
      {{"--port", "12x"}, 1, "korvid-server: bad port \"12x\""},
      {{"--conf", std::string(dir) + "/missing.conf"}, 1, "korvid-server: cannot read configuration file"},
      {{"--conf", conf, "--data", data, "--load", "../x", "/dev/null"}, 1,
       "korvid-server: bad database name \"../x\""},
      {{"--conf", conf, "--data", data, "--load", "x", std::string(dir) + "/none.sql"}, 1,
       "korvid-server: cannot read"},
      {{"--conf", conf, "--data", data, "--socket", "", "--port", "0"}, 1,
       "korvid-server: neither a UNIX socket nor a TCP port to listen on"},
      {{"--conf", conf, "--data", data, "--socket", std::string(200, 's'), "--port", "0"}, 1,
       "korvid-server: socket path too long"},
  };
  for (const auto &c : cases) {
    RunResult r = RunServerBinary(c.args);
    std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
    EXPECT_EQ(r.err.compare(0, strlen(c.err), c.err), 0) << shown << "\n" << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.out.compare(0, 21, "Usage: korvid-server "), 0) << r.out;
    }
  }
  // The reader reports the line's tail first, as an unknown element.
  RunResult r = RunServerBinary({"--conf", cut, "--data", data, "--port", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(cutRefused), std::string::npos) << r.err;
  // Started as root, it does not go on as root unless told so by name.
  if (geteuid() == 0) {
    f = fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "[general]\nmsql_user = korvid_no_such_user\npid_file = %s/pid\n", dir);
    fclose(f);
    r = RunServerBinary({"--conf", conf, "--data", data, "--socket", std::string(dir) + "/s", "--port", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvid-server: msql_user \"korvid_no_such_user\" does not exist: make that user, or name the "
                     "user to run as in msql.conf\n");
  }
  std::string cleanup = "rm -rf " + std::string(dir);
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace
