#pragma once
// Helpers for the benchmarks: a byte server in a child process (so its CPU time is not the
// client's), a wall clock and the CPU time of this process and its reaped children.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "test_server.h"

namespace tunova::bench {

// Median and spread of a set of measurements.
struct Summary {
  double median = 0, min = 0, max = 0;
  static Summary of(std::vector<double> values) {
    Summary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
  }
};

// The value below which a share `p` (0 to 1) of the measurements lie.
inline double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double cpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Serves `bytes` bytes of data at /data from a forked child; kill with stopServer.
struct ChildServer {
  pid_t pid = -1;
  int port = 0;
};

inline ChildServer startByteServer(std::size_t bytes) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string body(bytes, 'x');
    tunova::test::TestServer server(
        [&body](const tunova::test::Request&, tunova::test::Connection& c) { c.reply(200, body); });
    const int port = server.port();
    if (write(fds[1], &port, sizeof port) != sizeof port) _exit(1);
    close(fds[1]);
    pause();
    _exit(0);
  }
  close(fds[1]);
  ChildServer s;
  s.pid = pid;
  if (read(fds[0], &s.port, sizeof s.port) != sizeof s.port) s.port = 0;
  close(fds[0]);
  return s;
}

inline void stopServer(ChildServer& s) {
  if (s.pid > 0) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
  }
  s.pid = -1;
}

// Runs a shell command; returns its wall time in seconds (negative on failure).
inline double timeCommand(const std::string& cmd) {
  const double t0 = now();
  const int rc = std::system(cmd.c_str());
  return rc == 0 ? now() - t0 : -1;
}

} // namespace tunova::bench
