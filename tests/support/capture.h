// Captures what a test writes to a file descriptor (standard output or
// standard error) by pointing it at a temporary file for a while.
#ifndef KORVID_TESTS_SUPPORT_CAPTURE_H
#define KORVID_TESTS_SUPPORT_CAPTURE_H

#include <string>

struct Capture {
  int fd = -1;     // the descriptor being captured
  int saved = -1;  // its original, restored by Stop
  int file = -1;   // the temporary file receiving the output
  // Starts capturing fd (1 or 2); stdio buffers are flushed first.
  void Start(int which);
  // Restores fd and returns everything written meanwhile.
  std::string Stop();
  ~Capture();
};

#endif
