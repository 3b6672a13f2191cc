#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/targets.h"
#include "http/http_request.h"

namespace tunova::fuzz {

namespace {

// A server on 127.0.0.1 that answers each connection with the current input, then closes.
class ScriptedServer {
public:
  ScriptedServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
      std::abort();
    port_ = ntohs(a.sin_port);
    std::thread([this] { serve(); }).detach(); // lives as long as the process
  }
  int port() const { return port_; }
  void setAnswer(std::string answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }

private:
  void serve() {
    for (;;) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      // The request head, then the scripted bytes, then the end of the connection.
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = answer_;
      }
      for (std::size_t at = 0; at < answer.size();) {
        const ssize_t n = ::send(c, answer.data() + at, answer.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::shutdown(c, SHUT_RDWR);
      ::close(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string answer_;
};

} // namespace

int httpResponse(const std::uint8_t* data, std::size_t size) {
  static ScriptedServer* server = new ScriptedServer();
  server->setAnswer(std::string(reinterpret_cast<const char*>(data), size));
  clearCookieStore();
  HttpOptions o;
  std::string returnedHeaders, returnedCookies;
  o.returnedHeaders = &returnedHeaders;
  o.returnedCookies = &returnedCookies;
  o.noRedirect = true; // a redirect would lead to addresses outside this test
  o.maxBodyBytes = 1 << 20;
  o.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const Bytes body = httpRequest("http://127.0.0.1:" + std::to_string(server->port()) + "/f", o);
  FUZZ_CHECK(body.size() <= size);
  FUZZ_CHECK(returnedHeaders.empty() ||
             returnedHeaders.compare(returnedHeaders.size() - 2, 2, "\r\n") == 0);
  return 0;
}

} // namespace tunova::fuzz
