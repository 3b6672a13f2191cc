#pragma once
// The catalogue's HTTP/1.1 server, on libmicrohttpd (epoll, a pool of `loops` threads, limits
// on connections in all and per client address, the size of a request head).
//
// Every connection must deliver a complete request head (request line and headers, at most
// `headBytes`) within `headMs` of becoming ready for a request, sends no request body, and is
// closed after `maxRequests` answers or when, while an answer is owed, it takes fewer than
// `minReadBytesPerSecond` of it over `writeMs` (a watchdog ends such connections, which the
// library's own time-out, one of inactivity, would keep while they trickle). One client address
// holds at most `perAddress` connections, and all of them together `maxConnections`, no more
// than the descriptors allow; beyond that new clients are turned away and the connections open
// go on being served. stop() may be called from a signal handler.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tunova::catalogue {

struct HttpRequest {
  std::string method;
  std::string target; // as sent: path and query
  std::string path;   // the target up to '?'
  std::string query;  // after '?', undecoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string peer; // the client's address ("127.0.0.1", "::1")
  // The value of the first header called `name` (any case); empty when there is none.
  std::string header(const std::string& name) const;
  int headerCount(const std::string& name) const;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers; // besides length and connection
  std::string body;
  // A file body instead of `body`: `fileLength` bytes of the open descriptor `fileFd` from
  // `fileOffset`. The server closes the descriptor.
  int fileFd = -1;
  off_t fileOffset = 0;
  std::uint64_t fileLength = 0;
  bool headOnly = false; // a HEAD: the head with the body's length, no body
  // Runs once the whole body has been handed to the client's connection.
  std::function<void()> onSent;
};

struct HttpLimits {
  std::size_t headBytes = 16 * 1024;
  int headMs = 5000;
  int writeMs = 30000;
  int maxRequests = 1000;
  int maxConnections = 4000;
  int perAddress = 1000; // a quarter of maxConnections: one address cannot take them all
  long long minReadBytesPerSecond = 1024;
  int loops = 2; // threads serving connections
};

class HttpServer {
public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  HttpServer(Handler handler, HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on `host` (a numeric IPv4 or IPv6 address) and `port` (0: a free one).
  bool bind(const std::string& host, int port);
  int port() const { return port_; }
  // Serves until stop(); the connections still open are closed on the way out.
  void run();
  void stop();

  // The reason phrase of a status code.
  static const char* reason(int status);

  struct State;

private:
  Handler handler_;
  HttpLimits limits_;
  int listenFd_ = -1;
  int stopFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
};

} // namespace tunova::catalogue
