#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "text/text.h"

namespace tunova::catalogue {

namespace {

using Clock = std::chrono::steady_clock;

bool sameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && asciiLower(a) == asciiLower(b);
}

bool tokenChar(unsigned char c) {
  return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string trimmed(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t'))
    ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t'))
    --b;
  return s.substr(a, b - a);
}

struct Connection {
  int fd = -1;
  std::string peer;
  std::string in;
  std::string out;
  std::size_t outPos = 0;
  int fileFd = -1;
  off_t fileOffset = 0;
  std::uint64_t fileLeft = 0;
  std::function<void()> onSent;
  bool closeAfter = false;
  int served = 0;
  Clock::time_point deadline;
  std::uint64_t windowBytes = 0; // of the answer, taken since the deadline was last moved
  bool writing() const { return outPos < out.size() || fileLeft > 0; }
  ~Connection() {
    if (fileFd >= 0) ::close(fileFd);
    if (fd >= 0) ::close(fd);
  }
};

std::atomic<int> g_connections{0};

// Connections open per client address, across the loops.
class AddressCounts {
public:
  bool take(const std::string& address, int limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    int& n = counts_[address];
    if (n >= limit) {
      if (n == 0) counts_.erase(address);
      return false;
    }
    ++n;
    return true;
  }
  void give(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(address);
    if (it != counts_.end() && --it->second <= 0) counts_.erase(it);
  }

private:
  std::mutex mutex_;
  std::map<std::string, int> counts_;
};
AddressCounts g_addresses;

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                sizeof text);
  else if (address.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                sizeof text);
  return text;
}

} // namespace

std::string HttpRequest::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (sameNoCase(k, name)) return v;
  return {};
}

int HttpRequest::headerCount(const std::string& name) const {
  int n = 0;
  for (const auto& [k, v] : headers)
    n += sameNoCase(k, name);
  return n;
}

int parseRequestHead(const std::string& head, HttpRequest& req, bool& http10) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.empty()) return 400;
  const std::string& first = lines[0];
  const std::size_t s1 = first.find(' ');
  const std::size_t s2 = s1 == std::string::npos ? s1 : first.find(' ', s1 + 1);
  if (s2 == std::string::npos || first.find(' ', s2 + 1) != std::string::npos) return 400;
  req.method = first.substr(0, s1);
  req.target = first.substr(s1 + 1, s2 - s1 - 1);
  const std::string version = first.substr(s2 + 1);
  if (req.method.empty() || req.target.empty()) return 400;
  for (unsigned char c : req.method)
    if (!tokenChar(c)) return 400;
  for (unsigned char c : req.target)
    if (c <= 0x20 || c == 0x7F) return 400;
  if (req.target[0] != '/') return 400;
  if (version == "HTTP/1.0") {
    http10 = true;
  } else if (version != "HTTP/1.1") {
    return version.rfind("HTTP/", 0) == 0 ? 505 : 400;
  }
  const std::size_t q = req.target.find('?');
  req.path = req.target.substr(0, q);
  req.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) return 400;
    if (line[0] == ' ' || line[0] == '\t') return 400; // folded lines are not accepted
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return 400;
    for (std::size_t k = 0; k < colon; ++k)
      if (!tokenChar(static_cast<unsigned char>(line[k]))) return 400;
    std::string value = trimmed(line.substr(colon + 1));
    for (unsigned char c : value)
      if ((c < 0x20 && c != '\t') || c == 0x7F) return 400;
    req.headers.emplace_back(line.substr(0, colon), std::move(value));
  }
  if (req.headerCount("Host") > 1) return 400;
  // Nothing served here takes a body.
  if (req.headerCount("Transfer-Encoding") > 0) return 501;
  const std::string length = req.header("Content-Length");
  if (req.headerCount("Content-Length") > 1 ||
      (!length.empty() && length.find_first_not_of('0') != std::string::npos)) {
    return 413;
  }
  return 0;
}

const char* HttpServer::reason(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 206:
    return "Partial Content";
  case 400:
    return "Bad Request";
  case 404:
    return "Not Found";
  case 405:
    return "Method Not Allowed";
  case 413:
    return "Content Too Large";
  case 416:
    return "Range Not Satisfiable";
  case 431:
    return "Request Header Fields Too Large";
  case 500:
    return "Internal Server Error";
  case 501:
    return "Not Implemented";
  case 505:
    return "HTTP Version Not Supported";
  default:
    return "Unknown";
  }
}

struct HttpServer::Loop {
  int epoll = -1;
  int spareFd = -1; // given up to accept (and drop) a client when descriptors run out
  std::map<int, std::unique_ptr<Connection>> connections;
  bool acceptPaused = false; // out of descriptors: the listening socket is not watched
  Clock::time_point acceptAgain;
  ~Loop() {
    connections.clear();
    if (spareFd >= 0) ::close(spareFd);
    if (epoll >= 0) ::close(epoll);
  }
};

HttpServer::HttpServer(Handler handler, HttpLimits limits)
    : handler_(std::move(handler)), limits_(limits) {
  stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

HttpServer::~HttpServer() {
  if (listenFd_ >= 0) ::close(listenFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
}

bool HttpServer::bind(const std::string& host, int port) {
  if (listenFd_ >= 0 || port < 0 || port > 65535) return false;
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof *v6;
  } else {
    return false;
  }
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // A burst of new clients waits in the kernel's queue instead of being refused.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    ::close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t boundSize = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize);
  port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  listenFd_ = fd;
  return true;
}

void HttpServer::stop() {
  // Only an atomic store and a write: safe in a signal handler.
  stopping_.store(true);
  const std::uint64_t one = 1;
  if (stopFd_ >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
  }
}

void HttpServer::run() {
  if (listenFd_ < 0) return;
  const int loops = std::max(1, limits_.loops);
  std::vector<std::unique_ptr<Loop>> state;
  for (int i = 0; i < loops; ++i)
    state.push_back(std::make_unique<Loop>());
  std::vector<std::thread> others;
  for (int i = 1; i < loops; ++i)
    others.emplace_back([this, &state, i] { serve(*state[i]); });
  serve(*state[0]);
  for (std::thread& t : others)
    t.join();
}

// Keeps SIGPIPE from the thread that serves: a client that goes away while sendfile writes
// to it must fail the write (EPIPE), not end the process. A SIGPIPE raised meanwhile is
// taken off the thread before its mask is restored.
class NoSigpipe {
public:
  NoSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~NoSigpipe() {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  NoSigpipe(const NoSigpipe&) = delete;
  NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
  sigset_t pipe_{};
  sigset_t old_{};
};

void HttpServer::serve(Loop& loop) {
  const NoSigpipe noSigpipe;
  loop.epoll = ::epoll_create1(EPOLL_CLOEXEC);
  loop.spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (loop.epoll < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLEXCLUSIVE;
  ev.data.fd = listenFd_;
  ::epoll_ctl(loop.epoll, EPOLL_CTL_ADD, listenFd_, &ev);
  ev.events = EPOLLIN;
  ev.data.fd = stopFd_;
  ::epoll_ctl(loop.epoll, EPOLL_CTL_ADD, stopFd_, &ev);

  const auto watch = [&loop](Connection& c, std::uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.fd = c.fd;
    ::epoll_ctl(loop.epoll, EPOLL_CTL_MOD, c.fd, &e);
  };
  const auto drop = [&loop](int fd) {
    const auto it = loop.connections.find(fd);
    if (it == loop.connections.end()) return;
    g_addresses.give(it->second->peer);
    loop.connections.erase(it);
    --g_connections;
  };
  // Whether the connection took enough of its answer to move its deadline on.
  const std::uint64_t windowNeed = static_cast<std::uint64_t>(
      std::max(1LL, limits_.minReadBytesPerSecond * limits_.writeMs / 1000));
  const auto took = [&](Connection& c, std::uint64_t n) {
    c.windowBytes += n;
    if (c.windowBytes < windowNeed) return;
    c.windowBytes = 0;
    c.deadline = Clock::now() + std::chrono::milliseconds(limits_.writeMs);
  };

  // Writes what the connection owes; false when it is to be closed.
  const auto flush = [&](Connection& c) -> bool {
    while (c.outPos < c.out.size()) {
      const ssize_t n =
          ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false;
      c.outPos += static_cast<std::size_t>(n);
      took(c, static_cast<std::uint64_t>(n));
    }
    while (c.fileLeft > 0) {
      const std::size_t chunk =
          static_cast<std::size_t>(std::min<std::uint64_t>(c.fileLeft, 1 << 20));
      const ssize_t n = ::sendfile(c.fd, c.fileFd, &c.fileOffset, chunk);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false; // an error, or the file shrank under us
      c.fileLeft -= static_cast<std::uint64_t>(n);
      took(c, static_cast<std::uint64_t>(n));
    }
    // Everything handed over.
    c.out.clear();
    c.outPos = 0;
    if (c.fileFd >= 0) {
      ::close(c.fileFd);
      c.fileFd = -1;
    }
    if (c.onSent) {
      auto sent = std::move(c.onSent);
      c.onSent = nullptr;
      sent();
    }
    if (c.closeAfter) return false;
    c.deadline = Clock::now() + std::chrono::milliseconds(limits_.headMs);
    return true;
  };

  // Queues the answer to one request.
  const auto answer = [&](Connection& c, HttpResponse r, bool close, bool http10) {
    ++c.served;
    if (c.served >= limits_.maxRequests) close = true;
    c.closeAfter = close;
    const std::uint64_t length = r.fileFd >= 0 ? r.fileLength : r.body.size();
    std::string& out = c.out;
    out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    for (const auto& [k, v] : r.headers)
      out += k + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(length) + "\r\n";
    if (close) {
      out += "Connection: close\r\n";
    } else if (http10) {
      out += "Connection: keep-alive\r\n";
    }
    out += "\r\n";
    c.outPos = 0;
    if (r.headOnly) {
      if (r.fileFd >= 0) ::close(r.fileFd);
    } else if (r.fileFd >= 0) {
      c.fileFd = r.fileFd;
      c.fileOffset = r.fileOffset;
      c.fileLeft = r.fileLength;
    } else {
      out += r.body; // head and body in one write
    }
    c.onSent = std::move(r.onSent);
    c.deadline = Clock::now() + std::chrono::milliseconds(limits_.writeMs);
    c.windowBytes = 0;
  };

  // Serves the requests complete in the connection's buffer, one at a time; false when the
  // connection is to be closed.
  const auto process = [&](Connection& c) -> bool {
    while (!c.writing()) {
      std::size_t skip = 0; // blank lines before a request are ignored
      while (skip < c.in.size() && (c.in[skip] == '\r' || c.in[skip] == '\n'))
        ++skip;
      if (skip) c.in.erase(0, skip);
      std::size_t end = c.in.find("\r\n\r\n");
      std::size_t after = end == std::string::npos ? end : end + 4;
      const std::size_t bare = c.in.find("\n\n");
      if (bare != std::string::npos && (end == std::string::npos || bare < end)) {
        end = bare;
        after = bare + 2;
      }
      if (end == std::string::npos) {
        if (c.in.size() <= limits_.headBytes) return true; // wait for the rest
        end = after = c.in.size();
      }
      HttpRequest req;
      bool http10 = false;
      int refusal =
          end > limits_.headBytes ? 431 : parseRequestHead(c.in.substr(0, end), req, http10);
      c.in.erase(0, after);
      if (refusal) {
        HttpResponse r;
        r.status = refusal;
        r.headers.emplace_back("Content-Type", "text/plain");
        r.body = std::string(reason(refusal)) + "\n";
        answer(c, std::move(r), true, http10);
      } else {
        const std::string connection = req.header("Connection");
        const bool close =
            http10 ? !sameNoCase(connection, "keep-alive") : sameNoCase(connection, "close");
        req.peer = c.peer;
        answer(c, handler_(req), close, http10);
      }
      if (!flush(c)) return false;
    }
    return true;
  };

  const auto pauseAccepting = [&] {
    ::epoll_ctl(loop.epoll, EPOLL_CTL_DEL, listenFd_, nullptr);
    loop.acceptPaused = true;
    loop.acceptAgain = Clock::now() + std::chrono::milliseconds(100);
  };
  const auto accept = [&] {
    for (;;) {
      sockaddr_storage from{};
      socklen_t fromSize = sizeof from;
      int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &fromSize,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
          // Out of descriptors: turn the waiting client away with the spare one, then stop
          // watching for clients a moment instead of waking for them again and again; the
          // connections already open go on being served and free descriptors as they end.
          if (loop.spareFd >= 0) {
            ::close(loop.spareFd);
            fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) ::close(fd);
            loop.spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
          }
          pauseAccepting();
        }
        return; // EAGAIN: another loop took it, or the queue is empty
      }
      const std::string peer = addressText(from);
      if (g_connections.load() >= limits_.maxConnections ||
          !g_addresses.take(peer, limits_.perAddress)) {
        ::close(fd);
        continue;
      }
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto c = std::make_unique<Connection>();
      c->fd = fd;
      c->peer = peer;
      c->deadline = Clock::now() + std::chrono::milliseconds(limits_.headMs);
      epoll_event e{};
      e.events = EPOLLIN | EPOLLRDHUP;
      e.data.fd = fd;
      if (::epoll_ctl(loop.epoll, EPOLL_CTL_ADD, fd, &e) != 0) {
        g_addresses.give(peer);
        continue; // c closes fd
      }
      loop.connections[fd] = std::move(c);
      ++g_connections;
    }
  };

  std::vector<epoll_event> events(256);
  auto nextSweep = Clock::now();
  while (!stopping_.load()) {
    const int n = ::epoll_wait(loop.epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int i = 0; i < n && !stopping_.load(); ++i) {
      const int fd = events[i].data.fd;
      const std::uint32_t what = events[i].events;
      if (fd == stopFd_) break;
      if (fd == listenFd_) {
        accept();
        continue;
      }
      auto it = loop.connections.find(fd);
      if (it == loop.connections.end()) continue;
      Connection& c = *it->second;
      bool keep = true;
      if (c.writing()) {
        keep = !(what & (EPOLLERR | EPOLLHUP)) && flush(c) && process(c);
      } else {
        char buffer[16 * 1024];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          c.in.append(buffer, static_cast<std::size_t>(got));
          keep = process(c);
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          keep = false;
        }
      }
      if (!keep) {
        drop(fd);
        continue;
      }
      watch(c, c.writing() ? EPOLLOUT : EPOLLIN | EPOLLRDHUP);
    }
    // Connections past their deadline: a head that did not come in time, an idle keep-alive
    // connection, or a client that stopped taking its answer.
    const auto now = Clock::now();
    if (now >= nextSweep) {
      nextSweep = now + std::chrono::milliseconds(100);
      for (auto it = loop.connections.begin(); it != loop.connections.end();) {
        if (it->second->deadline <= now) {
          if (it->second->writing()) {
            // A reader too slow is cut at once: what the system still holds for it is
            // discarded (a reset), not trickled out after the close.
            const linger abort{1, 0};
            ::setsockopt(it->first, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          }
          g_addresses.give(it->second->peer);
          it = loop.connections.erase(it);
          --g_connections;
        } else {
          ++it;
        }
      }
      if (loop.acceptPaused && now >= loop.acceptAgain) {
        loop.acceptPaused = false;
        epoll_event listen{};
        listen.events = EPOLLIN | EPOLLEXCLUSIVE;
        listen.data.fd = listenFd_;
        ::epoll_ctl(loop.epoll, EPOLL_CTL_ADD, listenFd_, &listen);
      }
    }
  }
  g_connections -= static_cast<int>(loop.connections.size());
  for (const auto& [fd, c] : loop.connections)
    g_addresses.give(c->peer);
  loop.connections.clear();
}

} // namespace tunova::catalogue
