// Shared fixture of the client library tests: every test starts from the
// state of a fresh process and talks to a scripted fake server.
#ifndef KORVID_TESTS_MSQL_MSQL_TEST_H
#define KORVID_TESTS_MSQL_MSQL_TEST_H

#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "msql/msql.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"
#include "tests/support/capture.h"
#include "tests/support/fake_server.h"

class MsqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MSQL_DEBUG");
    unsetenv("MSQL_CONF_FILE");
    msqlResetForTests();
    signal(SIGPIPE, SIG_DFL);
  }
  void TearDown() override { msqlResetForTests(); }

  // Starts the server with the handshake followed by `steps`, and connects
  // over the UNIX socket (host null) or TCP.
  int Connect(const std::vector<FakeStep> &steps, const char *host = nullptr) {
    std::vector<FakeStep> all = Handshake();
    all.insert(all.end(), steps.begin(), steps.end());
    EXPECT_TRUE(server.Start(all));
    server.Use();
    return msqlConnect(host);
  }

  FakeServer server;
};

// A pseudo-terminal: requests on `tty` must be refused before sending.
struct Terminal {
  int master = -1;
  int tty = -1;
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
      tty = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
  }
  ~Terminal() {
    if (tty >= 0) close(tty);
    if (master >= 0) close(master);
  }
};

// True while fd is an open descriptor.
inline bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

#endif
