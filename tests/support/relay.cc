// The pass-through of the tests; see relay.h.
#include "tests/support/relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "msql/conf/config.h"

namespace {

int ConnectTo(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Writes all of it; false when the peer has gone.
bool SendAll(int fd, const char *bytes, size_t n) {
  while (n > 0) {
    ssize_t wrote = send(fd, bytes, n, MSG_NOSIGNAL);
    if (wrote <= 0) return false;
    bytes += wrote;
    n -= static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

bool Relay::Start(const std::string &server_socket) {
  target = server_socket;
  char name[] = "/tmp/korvid-relay-XXXXXX";
  if (mkdtemp(name) == nullptr) return false;
  dir = name;
  socketPath = dir + "/relay.sock";
  confPath = dir + "/msql.conf";
  listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0)
    return false;
  thread = std::thread(&Relay::Run, this);
  return true;
}

void Relay::Use() {
  std::ofstream conf(confPath);
  conf << "[general]\nunix_port = " << socketPath << "\n";
  conf.close();
  msqlConfigLoad(confPath.c_str());
}

void Relay::Hold(long bytes, int most_millis) {
  std::lock_guard<std::mutex> guard(lock);
  if (pairs.empty()) return;
  pairs.back().pass = bytes;
  pairs.back().until = std::chrono::steady_clock::now() + std::chrono::milliseconds(most_millis);
}

void Relay::Release() {
  std::lock_guard<std::mutex> guard(lock);
  for (Pair &pair : pairs) pair.pass = -1;
}

int Relay::Accepted() {
  std::lock_guard<std::mutex> guard(lock);
  return accepted;
}

void Relay::Run() {
  char buffer[65536];
  while (!stop) {
    std::vector<pollfd> watch = {{listener, POLLIN, 0}};
    {
      std::lock_guard<std::mutex> guard(lock);
      auto now = std::chrono::steady_clock::now();
      for (Pair &pair : pairs) {
        if (pair.pass >= 0 && now >= pair.until) pair.pass = -1;
        watch.push_back({pair.client, POLLIN, 0});
        // A held server is not read: its bytes wait in its socket.
        watch.push_back({pair.server, static_cast<short>(pair.pass == 0 ? 0 : POLLIN), 0});
      }
    }
    if (poll(watch.data(), watch.size(), 10) <= 0) continue;
    if (watch[0].revents & POLLIN) {
      int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      int server = client >= 0 ? ConnectTo(target) : -1;
      std::lock_guard<std::mutex> guard(lock);
      if (server >= 0) {
        pairs.push_back({client, server, -1, {}});
        accepted++;
      } else if (client >= 0) {
        close(client);
      }
      continue;
    }
    // Only this thread changes the list itself, so it reads it unlocked;
    // the lock covers `pass`, and no write happens under it: the test's
    // thread may be the one that must read before a write can end.
    for (size_t i = 0; i < pairs.size(); i++) {
      Pair &pair = pairs[i];
      short from_client = watch[1 + 2 * i].revents, from_server = watch[2 + 2 * i].revents;
      bool open = true;
      if (from_client & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(pair.client, buffer, sizeof buffer);
        open = n > 0 && SendAll(pair.server, buffer, static_cast<size_t>(n));
      }
      long pass;
      {
        std::lock_guard<std::mutex> guard(lock);
        pass = pair.pass;
      }
      if (open && pass != 0 && (from_server & (POLLIN | POLLHUP | POLLERR))) {
        size_t want = pass < 0 ? sizeof buffer : std::min(sizeof buffer, static_cast<size_t>(pass));
        ssize_t n = read(pair.server, buffer, want);
        if (n > 0 && pass > 0) {
          std::lock_guard<std::mutex> guard(lock);
          if (pair.pass > 0) pair.pass = std::max(0L, pair.pass - n);
        }
        open = n > 0 && SendAll(pair.client, buffer, static_cast<size_t>(n));
      }
      if (!open) {
        std::lock_guard<std::mutex> guard(lock);
        close(pair.client);
        close(pair.server);
        pairs.erase(pairs.begin() + static_cast<long>(i));
        // The rest of this turn's answers belong to other indexes now.
        break;
      }
    }
  }
}

void Relay::Stop() {
  stop = true;
  if (thread.joinable()) thread.join();
  for (const Pair &pair : pairs) {
    close(pair.client);
    close(pair.server);
  }
  pairs.clear();
  if (listener >= 0) close(listener);
  listener = -1;
  if (!dir.empty()) {
    unlink(socketPath.c_str());
    unlink(confPath.c_str());
    rmdir(dir.c_str());
    dir.clear();
  }
}

Relay::~Relay() { Stop(); }
