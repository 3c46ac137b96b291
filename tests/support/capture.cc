// Output capture for tests; see capture.h.
#include "tests/support/capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void Capture::Start(int which) {
  fflush(stdout);
  fflush(stderr);
  char path[] = "/tmp/korvid-capture-XXXXXX";
  file = mkstemp(path);
  unlink(path);
  fd = which;
  saved = dup(fd);
  dup2(file, fd);
}

std::string Capture::Stop() {
  if (fd < 0) return "";
  fflush(stdout);
  fflush(stderr);
  dup2(saved, fd);
  close(saved);
  std::string out;
  lseek(file, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(file, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(file);
  fd = saved = file = -1;
  return out;
}

Capture::~Capture() { Stop(); }
