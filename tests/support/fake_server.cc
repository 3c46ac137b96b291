// The scripted fake mSQL server; see fake_server.h.
#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "msql/conf/config.h"
#include "msql/msql_internal.h"
#include "msql/testing.h"

namespace {

constexpr int kWaitMillis = 10000;  // longest wait for a client byte

const char *TesterName() { return "tester"; }

bool WaitReadable(int fd, int millis) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, millis) > 0;
}

}  // namespace

std::string Header(int length) {
  unsigned char h[PACKET_HEADER];
  msqlEncodeLength(h, length);
  return std::string(reinterpret_cast<char *>(h), PACKET_HEADER);
}

std::string Packet(const std::string &payload) {
  return Header(static_cast<int>(payload.size())) + payload;
}

FakeStep Expect(const std::string &bytes) { return {FakeStep::EXPECT, bytes, {}, 0}; }
FakeStep ExpectPacket(const std::string &payload) { return Expect(Packet(payload)); }
FakeStep Send(const std::string &bytes, std::vector<size_t> cuts) {
  return {FakeStep::SEND, bytes, std::move(cuts), 0};
}
FakeStep SendPacket(const std::string &payload, std::vector<size_t> cuts) {
  return Send(Packet(payload), std::move(cuts));
}
FakeStep CloseNow() { return {FakeStep::CLOSE, "", {}, 0}; }
FakeStep AcceptNext() { return {FakeStep::ACCEPT, "", {}, 0}; }
FakeStep ExpectEof() { return {FakeStep::EXPECT_EOF, "", {}, 0}; }
FakeStep Pause(int millis) { return {FakeStep::PAUSE, "", {}, millis}; }

std::vector<FakeStep> Handshake(const std::string &user) {
  return {SendPacket("0:23:fake mSQL server\n"), ExpectPacket(user + "\n"), SendPacket("-100:\n")};
}

std::vector<FakeStep> Script(std::initializer_list<std::vector<FakeStep>> parts) {
  std::vector<FakeStep> all;
  for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string Escaped(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// KORVID_FAKE_SPLIT delivers every reply of every test cut: "bytes" one
// byte per write, a number N cut after its N-th byte as well. The tests'
// expectations stay as they are: a reply must parse the same however the
// stream cuts it.
int FakeServer::SplitModeFromEnvironment() {
  const char *mode = getenv("KORVID_FAKE_SPLIT");
  if (mode == nullptr || *mode == '\0') return 0;
  if (strcmp(mode, "bytes") == 0) return kBytewise;
  return atoi(mode) > 0 ? atoi(mode) : 0;
}

std::vector<size_t> FakeServer::SplitCuts(const FakeStep &step) const {
  std::vector<size_t> cuts = step.cuts;
  if (splitMode == kBytewise) {
    // Past the first and last kBytewiseEdge bytes of a long reply a byte
    // per write only repeats itself, slowly.
    cuts.clear();
    size_t n = step.bytes.size();
    for (size_t at = 1; at < n; at++) {
      if (at <= kBytewiseEdge || at + kBytewiseEdge >= n) cuts.push_back(at);
    }
  } else if (splitMode > 0 && static_cast<size_t>(splitMode) < step.bytes.size()) {
    cuts.push_back(static_cast<size_t>(splitMode));
    std::sort(cuts.begin(), cuts.end());
  }
  return cuts;
}

bool FakeServer::Start(const std::vector<FakeStep> &script) {
  steps = script;
  splitMode = SplitModeFromEnvironment();
  char pattern[] = "/tmp/korvid-fake-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  dir = pattern;
  socketPath = dir + "/msql.sock";
  confPath = dir + "/msql.conf";

  unixListen = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un ua;
  memset(&ua, 0, sizeof ua);
  ua.sun_family = AF_UNIX;
  snprintf(ua.sun_path, sizeof ua.sun_path, "%s", socketPath.c_str());
  if (unixListen < 0 || bind(unixListen, reinterpret_cast<sockaddr *>(&ua), sizeof ua) < 0 ||
      listen(unixListen, 8) < 0) {
    return false;
  }
  tcpListen = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(tcpListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in ta;
  memset(&ta, 0, sizeof ta);
  ta.sin_family = AF_INET;
  ta.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ta.sin_port = 0;
  socklen_t len = sizeof ta;
  if (tcpListen < 0 || bind(tcpListen, reinterpret_cast<sockaddr *>(&ta), sizeof ta) < 0 ||
      listen(tcpListen, 8) < 0 || getsockname(tcpListen, reinterpret_cast<sockaddr *>(&ta), &len) < 0) {
    return false;
  }
  port = ntohs(ta.sin_port);
  thread = std::thread([this] { Run(); });
  return true;
}

void FakeServer::Use() {
  std::ofstream conf(confPath);
  conf << "[general]\nunix_port = " << socketPath << "\ntcp_port = " << port << "\n";
  conf.close();
  msqlConfigLoad(confPath.c_str());
  msqlPasswordName = TesterName;
}

void FakeServer::Fail(const std::string &why) {
  std::lock_guard<std::mutex> guard(lock);
  failures += why + "\n";
}

std::string FakeServer::Received() {
  std::lock_guard<std::mutex> guard(lock);
  return received;
}

int FakeServer::AcceptOne() {
  struct pollfd p[2] = {{unixListen, POLLIN, 0}, {tcpListen, POLLIN, 0}};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMillis);
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    if (poll(p, 2, 20) <= 0) continue;
    int listener = (p[0].revents & POLLIN) ? unixListen : tcpListen;
    int conn = accept(listener, nullptr, nullptr);
    if (conn >= 0 && listener == tcpListen) {
      int on = 1;
      setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return conn;
  }
  return -1;
}

void FakeServer::Run() {
  Play();
  // The thread ends only in Finish: the address sanitizer's runtime makes
  // a pipe as a thread ends, and that pipe could take the number of a
  // socket the client has just closed while the test checks it is closed.
  while (!stop) usleep(1000);
}

void FakeServer::Play() {
  int conn = -1;
  for (size_t i = 0; i < steps.size(); i++) {
    const FakeStep &step = steps[i];
    if (step.kind == FakeStep::ACCEPT || conn < 0) {
      if (conn >= 0) close(conn);
      conn = AcceptOne();
      if (conn < 0) {
        Fail("step " + std::to_string(i) + ": no connection came");
        return;
      }
      if (step.kind == FakeStep::ACCEPT) continue;
    }
    switch (step.kind) {
      case FakeStep::EXPECT: {
        std::string got;
        while (got.size() < step.bytes.size()) {
          char buf[4096];
          if (!WaitReadable(conn, kWaitMillis)) break;
          size_t want = std::min(sizeof buf, step.bytes.size() - got.size());
          ssize_t n = read(conn, buf, want);
          if (n <= 0) break;
          got.append(buf, static_cast<size_t>(n));
        }
        {
          std::lock_guard<std::mutex> guard(lock);
          received += got;
        }
        if (got != step.bytes) {
          Fail("step " + std::to_string(i) + ": expected \"" + Escaped(step.bytes) + "\" got \"" +
               Escaped(got) + "\"");
          close(conn);
          return;
        }
        break;
      }
      case FakeStep::SEND: {
        size_t at = 0;
        std::vector<size_t> cuts = SplitCuts(step);
        cuts.push_back(step.bytes.size());
        for (size_t cut : cuts) {
          if (cut < at || cut > step.bytes.size()) continue;
          while (at < cut) {
            ssize_t n = send(conn, step.bytes.data() + at, cut - at, MSG_NOSIGNAL);
            if (n <= 0 && splitMode != 0) {
              // Whole, these bytes would have sat unread in the socket's
              // buffer after the client gave up; cut, they meet its close.
              at = step.bytes.size();
              break;
            }
            if (n <= 0) {
              Fail("step " + std::to_string(i) + ": client went away while sending");
              close(conn);
              return;
            }
            at += static_cast<size_t>(n);
          }
          // Let the piece arrive on its own before the next one follows.
          if (at < step.bytes.size()) usleep(splitMode == kBytewise ? 300 : 3000);
        }
        break;
      }
      case FakeStep::CLOSE:
        close(conn);
        conn = -1;
        // The next step, if any, waits for a new connection.
        if (i + 1 == steps.size()) return;
        break;
      case FakeStep::EXPECT_EOF: {
        std::string extra;
        for (;;) {
          char buf[4096];
          if (!WaitReadable(conn, kWaitMillis)) {
            Fail("step " + std::to_string(i) + ": connection still open");
            break;
          }
          ssize_t n = read(conn, buf, sizeof buf);
          if (n <= 0) break;
          extra.append(buf, static_cast<size_t>(n));
        }
        if (!extra.empty()) {
          std::lock_guard<std::mutex> guard(lock);
          received += extra;
          failures += "step " + std::to_string(i) + ": unexpected bytes \"" + Escaped(extra) + "\"\n";
        }
        break;
      }
      case FakeStep::PAUSE:
        usleep(static_cast<useconds_t>(step.millis) * 1000);
        break;
      case FakeStep::ACCEPT:
        break;
    }
  }
  // After the script, anything the client still sends is unexpected.
  if (conn < 0) return;
  std::string extra;
  while (true) {
    bool last = stop;
    if (WaitReadable(conn, last ? 0 : 20)) {
      char buf[4096];
      ssize_t n = read(conn, buf, sizeof buf);
      if (n <= 0) break;
      extra.append(buf, static_cast<size_t>(n));
    } else if (last) {
      break;
    }
  }
  close(conn);
  if (!extra.empty()) {
    std::lock_guard<std::mutex> guard(lock);
    received += extra;
    failures += "after the script: unexpected bytes \"" + Escaped(extra) + "\"\n";
  }
}

std::string FakeServer::Finish() {
  if (!finished) {
    finished = true;
    stop = true;
    if (thread.joinable()) thread.join();
    if (unixListen >= 0) close(unixListen);
    if (tcpListen >= 0) close(tcpListen);
    unixListen = tcpListen = -1;
    if (!socketPath.empty()) unlink(socketPath.c_str());
    if (!confPath.empty()) unlink(confPath.c_str());
    if (!dir.empty()) rmdir(dir.c_str());
  }
  std::lock_guard<std::mutex> guard(lock);
  return failures;
}

FakeServer::~FakeServer() { Finish(); }
