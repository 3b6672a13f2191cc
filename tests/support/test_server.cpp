#include "test_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>

#include "text/text.h"

namespace tunova::test {

namespace {

// The few socket calls whose names or types differ between the two platforms.
#ifdef _WIN32
using SendSize = int;
constexpr int kNoSignal = 0;
constexpr int kShutBoth = SD_BOTH;
void closeSocket(int fd) {
  ::closesocket(static_cast<SOCKET>(fd));
}
int pollOne(int fd, int ms) {
  WSAPOLLFD p{static_cast<SOCKET>(fd), POLLRDNORM, 0};
  return ::WSAPoll(&p, 1, ms);
}
int openSocket() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
#else
using SendSize = ssize_t;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutBoth = SHUT_RDWR;
void closeSocket(int fd) {
  ::close(fd);
}
int pollOne(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms);
}
int openSocket() {
  return ::socket(AF_INET, SOCK_STREAM, 0);
}
#endif

} // namespace

std::string Request::header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (asciiLower(k) == asciiLower(name)) return v;
  }
  return {};
}

int Request::headerCount(const std::string& name) const {
  int n = 0;
  for (const auto& [k, v] : headers)
    n += asciiLower(k) == asciiLower(name);
  return n;
}

bool Connection::send(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    const SendSize n =
        ::send(fd_, bytes.data() + off, static_cast<int>(bytes.size() - off), kNoSignal);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void Connection::reply(int status, const std::string& body, const std::string& extraHeaders) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " Test\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
  head += extraHeaders;
  head += "\r\n";
  send(head + body);
}

void Connection::stall(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_ && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TestServer::TestServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = openSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 64);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { serve(); });
}

TestServer::~TestServer() {
  stopping_ = true;
  ::shutdown(listenFd_, kShutBoth);
  closeSocket(listenFd_);
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& w : workers)
    w.join();
}

std::string TestServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<Request> TestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

namespace {

bool readRequest(int fd, Request& req, const std::atomic<bool>& stopping) {
  std::string data;
  char buf[4096];
  std::size_t headerEnd = std::string::npos;
  auto readSome = [&]() {
    while (!stopping) {
      const int r = pollOne(fd, 50);
      if (r > 0) break;
      if (r < 0) return false;
    }
    if (stopping) return false;
    const auto n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    data.append(buf, static_cast<std::size_t>(n));
    return true;
  };
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (!readSome()) return false;
  }
  req.raw = data.substr(0, headerEnd + 4);
  const std::size_t lineEnd = req.raw.find("\r\n");
  const std::string line = req.raw.substr(0, lineEnd);
  const std::size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  req.method = line.substr(0, sp1);
  req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::size_t pos = lineEnd + 2;
  while (pos < headerEnd) {
    const std::size_t e = req.raw.find("\r\n", pos);
    const std::string h = req.raw.substr(pos, e - pos);
    const std::size_t colon = h.find(':');
    if (colon != std::string::npos) {
      req.headers.emplace_back(h.substr(0, colon), trimSpaces(h.substr(colon + 1)));
    }
    pos = e + 2;
  }
  const std::size_t length = static_cast<std::size_t>(textToInt(req.header("Content-Length")));
  req.body = data.substr(headerEnd + 4);
  while (req.body.size() < length) {
    const std::size_t before = data.size();
    if (!readSome()) break;
    req.body += data.substr(before);
  }
  return true;
}

} // namespace

void TestServer::serve() {
  while (!stopping_) {
    const int fd = static_cast<int>(::accept(listenFd_, nullptr, nullptr));
    if (fd < 0) {
      if (stopping_) break;
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, fd] {
      Request req;
      if (readRequest(fd, req, stopping_)) {
        {
          std::lock_guard<std::mutex> recording(mutex_);
          requests_.push_back(req);
        }
        Connection conn(fd, stopping_);
        handler_(req, conn);
      }
      ::shutdown(fd, kShutBoth);
      closeSocket(fd);
    });
  }
}

int closedPort() {
  const int fd = openSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  closeSocket(fd);
  return ntohs(addr.sin_port);
}

} // namespace tunova::test
