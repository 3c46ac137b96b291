// A scripted mSQL peer for the tests: a real socket server on a temporary
// UNIX socket and a loopback TCP port that runs a list of steps (expect these
// bytes, send these bytes cut at these offsets, close, accept the next
// connection), records every byte it receives and fails on anything else.
// Start with FakeServer::Start, point the library at it with Use, and check
// Finish() == "" at the end of the test.
#ifndef KORVID_TESTS_SUPPORT_FAKE_SERVER_H
#define KORVID_TESTS_SUPPORT_FAKE_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeStep {
  enum Kind { EXPECT, SEND, CLOSE, ACCEPT, EXPECT_EOF, PAUSE };
  Kind kind;
  std::string bytes;          // EXPECT: exact bytes; SEND: bytes to write
  std::vector<size_t> cuts;   // SEND: offsets at which the bytes are split
  int millis = 0;             // PAUSE
};

// A packet on the wire: 4-byte little-endian length, then the payload.
std::string Packet(const std::string &payload);
// A header announcing `length` (any value) without a payload.
std::string Header(int length);

FakeStep Expect(const std::string &bytes);
FakeStep ExpectPacket(const std::string &payload);
FakeStep Send(const std::string &bytes, std::vector<size_t> cuts = {});
FakeStep SendPacket(const std::string &payload, std::vector<size_t> cuts = {});
FakeStep CloseNow();
FakeStep AcceptNext();
FakeStep ExpectEof();
FakeStep Pause(int millis);

// The server's side of a successful handshake for user `user`: greeting of
// protocol 23, the user name line, and an accepting reply.
std::vector<FakeStep> Handshake(const std::string &user = "tester");

// Steps joined in order.
std::vector<FakeStep> Script(std::initializer_list<std::vector<FakeStep>> parts);

struct FakeServer {
  std::string dir;         // temporary directory holding the socket
  std::string socketPath;  // the UNIX socket
  int port = 0;            // the loopback TCP port
  std::string confPath;    // msql.conf naming both, written by Use()

  // Listens on both transports and runs the steps on a thread of its own.
  // The first step that is not AcceptNext accepts the first connection.
  bool Start(const std::vector<FakeStep> &steps);
  // Loads a configuration naming this server into the client library and
  // makes the tests' login name "tester".
  void Use();
  // Stops, joins and cleans up; returns "" or what went wrong.
  std::string Finish();
  // Everything received so far, on every connection.
  std::string Received();
  ~FakeServer();

  // Internals.
  static constexpr int kBytewise = -1;
  static constexpr size_t kBytewiseEdge = 512;
  static int SplitModeFromEnvironment();
  std::vector<size_t> SplitCuts(const FakeStep &step) const;
  int splitMode = 0;
  void Run();
  void Play();
  int AcceptOne();
  void Fail(const std::string &why);
  int unixListen = -1;
  int tcpListen = -1;
  std::vector<FakeStep> steps;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string received;
  std::string failures;
  bool finished = false;
};

// Bytes shown printable, for failure messages.
std::string Escaped(const std::string &bytes);

#endif
