#pragma once
// A small HTTP server for tests: binds 127.0.0.1 on a free port, records every request exactly
// as it arrived, and lets each test answer as it likes (whole answers, partial ones, silence).
// It stops by itself when destroyed.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tunova::test {

struct Request {
  std::string raw; // request line and header lines, as received
  std::string method;
  std::string target; // path and query
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The value of the first header named `name` (any case), or empty.
  std::string header(const std::string& name) const;
  int headerCount(const std::string& name) const;
};

class Connection {
public:
  explicit Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  bool send(const std::string& bytes);
  // A complete answer with Content-Length and Connection: close.
  void reply(int status, const std::string& body, const std::string& extraHeaders = {});
  // Waits until the server stops or `ms` have passed.
  void stall(int ms);

private:
  int fd_;
  const std::atomic<bool>& stopping_;
};

class TestServer {
public:
  using Handler = std::function<void(const Request&, Connection&)>;
  explicit TestServer(Handler handler);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path) const;
  std::vector<Request> requests() const;

private:
  void serve();
  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::thread> workers_;
};

// A port on 127.0.0.1 where nothing listens.
int closedPort();

} // namespace tunova::test
