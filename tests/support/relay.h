// A pass-through between the program and a real server for the tests: it
// listens on a UNIX socket of its own and passes each connection's bytes to
// the server and back, except that the server's bytes on a connection can
// be held back (Hold), so that to the program the server falls silent in the
// middle of a reply, with a real reply before and after the silence.
//
//   Relay relay;
//   relay.Start(server_socket_path);  // false on failure
//   relay.Use();                      // the client library now connects to it
//   relay.Hold(65536);                // the newest connection: 64 KB more, then silence
//   ...
//   relay.Release();                  // the rest flows
//
// Connections made after a Hold flow freely.
#ifndef KORVID_TESTS_SUPPORT_RELAY_H
#define KORVID_TESTS_SUPPORT_RELAY_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Relay {
  std::string dir;         // temporary directory holding the socket
  std::string socketPath;  // the relay's UNIX socket
  std::string confPath;    // msql.conf naming it, written by Use()
  std::string target;      // the server's UNIX socket

  // Listens and relays on a thread of its own.
  bool Start(const std::string &server_socket);
  // Loads a configuration naming the relay into the client library.
  void Use();
  // On the newest connection: passes `bytes` more of the server's bytes,
  // then holds the rest back until Release, or for at most `most_millis`
  // from now (so that a program that never asks for a release is not left
  // waiting for ever).
  void Hold(long bytes, int most_millis = 10000);
  void Release();
  // Connections accepted so far.
  int Accepted();
  // Stops and joins the thread, closes every connection, removes the
  // directory.
  void Stop();
  ~Relay();

  // Internals.
  struct Pair {
    int client;
    int server;
    long pass;  // server bytes still passed before holding; -1: no limit
    std::chrono::steady_clock::time_point until;  // the hold ends by itself then
  };
  void Run();
  int listener = -1;
  std::vector<Pair> pairs;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;  // guards pairs' `pass` against Hold and Release
  int accepted = 0;
};

#endif
