#include "server/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// A connection as the watchdog sees it.
struct Watched {
  int fd = -1;
  std::string peer;
  bool waitingForHead = true; // a request head is owed by `deadline`
  bool answering = false;     // an answer is owed; it must move on by `deadline`
  bool cut = false;
  Clock::time_point deadline;
  std::atomic<std::uint64_t> progress{0}; // bytes of the answer read out since the deadline moved
  int served = 0;
};

// One request, from its first line to its end.
struct Exchange {
  std::string target;    // as sent, with the query
  bool headSeen = false; // the handler was called once: the head is complete
  bool answered = false;
  std::function<void()> onSent;
};

// A file body read out in blocks, so the watchdog sees how fast the client takes it.
struct FileBody {
  int fd = -1;
  off_t offset = 0;
  std::uint64_t length = 0;
  Watched* watched = nullptr;
};

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address && address->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
  else if (address && address->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                sizeof text);
  return text;
}

bool sameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && asciiLower(a) == asciiLower(b);
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

const char* HttpServer::reason(int status) {
  const char* phrase = MHD_get_reason_phrase_for(static_cast<unsigned>(status));
  return phrase && *phrase ? phrase : "Unknown";
}

struct HttpServer::State {
  HttpServer& server;
  std::mutex mutex; // guards `watched` and the fields of every entry but `progress`
  std::map<MHD_Connection*, std::unique_ptr<Watched>> watched;

  explicit State(HttpServer& s) : server(s) {}

  static void onConnection(void* self, MHD_Connection* connection, void** context,
                           MHD_ConnectionNotificationCode code) {
    auto& state = *static_cast<State*>(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      // Called before the socket is closed: the watchdog never touches a reused descriptor.
      state.watched.erase(connection);
      return;
    }
    auto w = std::make_unique<Watched>();
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* from =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    w->fd = fd ? fd->connect_fd : -1;
    w->peer = addressText(from ? from->client_addr : nullptr);
    w->deadline = Clock::now() + std::chrono::milliseconds(state.server.limits_.headMs);
    *context = w.get();
    state.watched[connection] = std::move(w);
  }

  static void* onUri(void*, const char* uri, MHD_Connection*) {
    auto* exchange = new Exchange;
    exchange->target = uri ? uri : "";
    return exchange;
  }

  static void onCompleted(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode how) {
    auto& state = *static_cast<State*>(self);
    auto* exchange = static_cast<Exchange*>(*context);
    *context = nullptr;
    if (exchange && how == MHD_REQUEST_TERMINATED_COMPLETED_OK && exchange->onSent)
      exchange->onSent();
    delete exchange;
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto it = state.watched.find(connection);
    if (it == state.watched.end()) return;
    Watched& w = *it->second;
    w.answering = false;
    w.waitingForHead = true;
    w.deadline = Clock::now() + std::chrono::milliseconds(state.server.limits_.headMs);
  }

  static ssize_t readFile(void* body, std::uint64_t position, char* buffer, std::size_t max) {
    auto& f = *static_cast<FileBody*>(body);
    if (position >= f.length) return MHD_CONTENT_READER_END_OF_STREAM;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(max, f.length - position));
    const ssize_t n = ::pread(f.fd, buffer, want, f.offset + static_cast<off_t>(position));
    if (n <= 0) return MHD_CONTENT_READER_END_WITH_ERROR; // the file shrank or failed
    f.watched->progress.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
    return n;
  }

  static void freeFile(void* body) {
    auto* f = static_cast<FileBody*>(body);
    ::close(f->fd);
    delete f;
  }

  // What a request that is refused before the handler hears it gets: 0 when it may go on.
  static int refusal(const HttpRequest& req) {
    if (req.target.empty() || req.target[0] != '/') return 400;
    for (unsigned char c : req.target)
      if (c <= 0x20 || c == 0x7F) return 400;
    if (req.headerCount("Host") > 1) return 400;
    if (!req.header("Transfer-Encoding").empty()) return 501;
    const std::string length = req.header("Content-Length");
    if (!length.empty() && length != "0") return 413;
    return 0;
  }

  static MHD_Result onRequest(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, std::size_t* uploadSize,
                              void** context) {
    auto& state = *static_cast<State*>(self);
    auto* exchange = static_cast<Exchange*>(*context);
    if (!exchange) return MHD_NO;
    if (exchange->answered) {
      *uploadSize = 0; // a body is not read: the answer refusing it is queued already
      return MHD_YES;
    }
    HttpRequest req;
    req.method = method ? method : "";
    req.target = exchange->target.empty() ? std::string(url ? url : "") : exchange->target;
    const std::size_t q = req.target.find('?');
    req.path = req.target.substr(0, q);
    req.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* list, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          static_cast<HttpRequest*>(list)->headers.emplace_back(key ? key : "", value ? value : "");
          return MHD_YES;
        },
        &req);
    const int refused = refusal(req);
    // The library keeps a connection open only for an answer queued after the head was taken
    // in full: the first call only notes it. A request refused for its body is answered at
    // once, and the connection then closes without reading the body.
    if (!exchange->headSeen && (!refused || refused == 400 || refused == 405)) {
      exchange->headSeen = true;
      return MHD_YES;
    }
    exchange->answered = true;
    Watched* w = nullptr;
    {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
      w = info ? static_cast<Watched*>(info->socket_context) : nullptr;
      std::lock_guard<std::mutex> lock(state.mutex);
      if (w) {
        req.peer = w->peer;
        w->waitingForHead = false;
        w->answering = true;
        w->progress = 0;
        w->deadline = Clock::now() + std::chrono::milliseconds(state.server.limits_.writeMs);
        ++w->served;
      }
    }
    HttpResponse answer;
    if (refused) {
      answer.status = refused;
      answer.headers.emplace_back("Content-Type", "text/plain");
      answer.body = std::string(reason(refused)) + "\n";
    } else {
      answer = state.server.handler_(req);
    }
    MHD_Response* response = nullptr;
    if (answer.fileFd >= 0 && w) {
      auto* body = new FileBody{answer.fileFd, answer.fileOffset, answer.fileLength, w};
      response = MHD_create_response_from_callback(answer.fileLength, 64 * 1024, &readFile, body,
                                                   &freeFile);
    } else {
      if (answer.fileFd >= 0) ::close(answer.fileFd);
      response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                 MHD_RESPMEM_MUST_COPY);
    }
    if (!response) return MHD_NO;
    for (const auto& [name, value] : answer.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    const bool lastOne = w && w->served >= state.server.limits_.maxRequests;
    if ((refused && refused != 405) || lastOne)
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    exchange->onSent = std::move(answer.onSent);
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  // Ends connections past their deadline: a head that did not come in time (however it
  // trickles), an idle keep-alive connection, a client taking its answer too slowly.
  void watch(const std::atomic<bool>& stopping) {
    const HttpLimits& limits = server.limits_;
    const std::uint64_t need = static_cast<std::uint64_t>(
        std::max(1LL, limits.minReadBytesPerSecond * limits.writeMs / 1000));
    while (!stopping.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& [connection, w] : watched) {
        if (w->cut || now < w->deadline || w->fd < 0) continue;
        if (w->answering && w->progress.load() >= need) {
          w->progress = 0;
          w->deadline = now + std::chrono::milliseconds(limits.writeMs);
          continue;
        }
        if (!w->answering && !w->waitingForHead) continue;
        if (w->answering) {
          // What the system still holds for a reader too slow is discarded (a reset).
          const linger abort{1, 0};
          ::setsockopt(w->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::shutdown(w->fd, SHUT_RDWR); // the library sees the end and closes the connection
        w->cut = true;
      }
    }
  }
};

HttpServer::HttpServer(Handler handler, HttpLimits limits)
    : handler_(std::move(handler)), limits_(limits) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

HttpServer::~HttpServer() {
  if (listenFd_ >= 0) ::close(listenFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
}

bool HttpServer::bind(const std::string& host, int port) {
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
  if (listenFd_ >= 0) ::close(listenFd_);
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
  if (listenFd_ < 0 || stopping_.load()) return;
  // Connections stop where descriptors would run out, a few kept for files and the index.
  unsigned limit = static_cast<unsigned>(std::max(1, limits_.maxConnections));
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    limit = static_cast<unsigned>(
        std::min<rlim_t>(limit, files.rlim_cur > 48 ? files.rlim_cur - 32 : 16));
  State state(*this);
  const unsigned threads = static_cast<unsigned>(std::max(1, limits_.loops));
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &State::onRequest,
      &state, MHD_OPTION_LISTEN_SOCKET, listenFd_, MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, limit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned>(std::max(1, limits_.perAddress)), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<std::size_t>(limits_.headBytes), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(std::max(limits_.headMs, limits_.writeMs) / 1000 + 2),
      MHD_OPTION_NOTIFY_CONNECTION, &State::onConnection, &state, MHD_OPTION_NOTIFY_COMPLETED,
      &State::onCompleted, &state, MHD_OPTION_URI_LOG_CALLBACK, &State::onUri, &state,
      MHD_OPTION_END);
  if (!daemon) return;
  std::atomic<bool> watching{false};
  std::thread watchdog([&state, &watching] { state.watch(watching); });
  while (!stopping_.load()) {
    pollfd wake{stopFd_, POLLIN, 0};
    ::poll(&wake, 1, 500);
  }
  MHD_stop_daemon(daemon); // closes every connection
  watching = true;
  watchdog.join();
  listenFd_ = -1; // the library closed it
}

} // namespace tunova::catalogue
