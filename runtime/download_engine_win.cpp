#include "runtime/download_engine.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "http/url.h"
#include "runtime/download_rules.h"
#include "runtime/ini_file.h"
#include "runtime/rate_window.h"
#include "text/codepage.h"
#include "text/text.h"

// The download engine on WinInet: each task runs on a worker thread of its own, with the same
// rules as everywhere (a partial file renamed only when whole, a resume only where it was asked
// for, honest completion, one writer per destination). A watchdog thread cuts attempts that
// receive nothing for their idle time; release() cuts every running attempt and waits for the
// workers. Cutting closes the attempt's internet handle, which ends its blocking calls.

namespace tunova {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kDefaultConnectMs = 20000;
constexpr DWORD kDefaultIdleMs = 20000;
constexpr long kMinBuffer = 256 * 1024;
constexpr long kMaxBuffer = 512 * 1024;
constexpr std::size_t kHeadBytes = 16;

// A GBK path as the wide text the file calls take, so any name works on any system locale.
std::wstring widePath(const std::string& gbkPath) {
  const Bytes wide = toWide(gbkPath, kCodePageGbk);
  std::wstring out(wide.size() / 2, L'\0');
  std::memcpy(out.data(), wide.data(), out.size() * 2);
  while (!out.empty() && out.back() == L'\0')
    out.pop_back();
  return out;
}

std::string queryText(HINTERNET request, DWORD level) {
  std::string value(256, '\0');
  DWORD size = static_cast<DWORD>(value.size());
  if (!HttpQueryInfoA(request, level, value.data(), &size, nullptr)) return std::string();
  value.resize(std::min<std::size_t>(size, value.size()));
  return value.substr(0, value.find('\0'));
}

// Failures that the next attempt may not meet: everything but a bad address.
bool isTransient(DWORD error) {
  switch (error) {
  case ERROR_INTERNET_NAME_NOT_RESOLVED:
  case ERROR_INTERNET_INVALID_URL:
  case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
  case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
  case ERROR_INTERNET_INVALID_CA:
  case ERROR_INTERNET_SEC_CERT_CN_INVALID:
  case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    return false;
  default:
    return true;
  }
}

} // namespace

struct PlatformDownloadEngine::Impl {
  struct Transfer {
    int id = 0;
    DownloadTask task;
    std::string finalPath; // GBK
    std::string partPath;  // GBK
    HANDLE file = INVALID_HANDLE_VALUE;
    long long written = 0;
    long long offset = 0;
    long long expected = -1;
    long long rangeTotal = -1;
    std::string head;
    int attempts = 0;
    // The running attempt's internet handle and when it last received data, for the watchdog.
    HINTERNET session = nullptr;
    Clock::time_point lastData{};
    DWORD idleMs = kDefaultIdleMs;
    bool timedOut = false;
  };

  // How one attempt ended.
  struct Attempt {
    bool finished = false;      // the answer was read to its end
    bool transient = false;     // a failure the next attempt may not meet
    bool restart = false;       // the answer cannot continue the file: start it again from zero
    bool writeFailed = false;   // the disk refused a write
    bool unsatisfiable = false; // 416 to a range request
    int status = 0;
    std::string contentType;
    std::string error;
  };

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  explicit Impl(std::function<Clock::time_point()> clockFn) : now(std::move(clockFn)) {}
  ~Impl() { stop(); }

  std::function<Clock::time_point()> now;
  std::mutex mutex;
  std::condition_variable stopped;
  std::vector<DownloadEnd> ended;
  std::set<std::string> destinations;
  std::set<Transfer*> attempts; // transfers with an attempt running
  std::list<Worker> workers;
  std::thread watchdog;
  bool stopping = false;
  std::atomic<int> running{0};
  std::atomic<long long> totalBytes{0};
  Clock::time_point lastSample{};
  int nextId = 1;
  RateWindow window;

  // Closes an attempt's internet handle, which ends its blocking calls; under `mutex`.
  static void cut(Transfer& t) {
    if (t.session) InternetCloseHandle(t.session);
    t.session = nullptr;
  }

  void stop() {
    std::list<Worker> all;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      for (Transfer* t : attempts)
        cut(*t);
      all.swap(workers);
    }
    stopped.notify_all();
    for (Worker& w : all)
      if (w.thread.joinable()) w.thread.join();
    if (watchdog.joinable()) watchdog.join();
  }

  // A second bound besides the platform's receive time-out: an attempt that has received
  // nothing for its idle time is cut here (closing its handle cancels a blocking call).
  void watch() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      stopped.wait_for(lock, std::chrono::milliseconds(100));
      const auto at = Clock::now();
      for (Transfer* t : attempts) {
        if (t->session && at - t->lastData > std::chrono::milliseconds(t->idleMs)) {
          t->timedOut = true;
          cut(*t);
        }
      }
    }
  }

  bool isStopping() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
  }

  void sample() {
    const auto at = now();
    std::lock_guard<std::mutex> lock(mutex);
    if (at - lastSample < std::chrono::milliseconds(50)) return;
    lastSample = at;
    window.add(at, totalBytes.load());
  }

  void finish(Transfer& t, bool completed, std::string error) {
    if (t.file != INVALID_HANDLE_VALUE) {
      if (!CloseHandle(t.file) && completed) {
        completed = false;
        error = "could not write the file";
      }
      t.file = INVALID_HANDLE_VALUE;
    }
    const std::wstring part = widePath(t.partPath);
    if (completed &&
        !MoveFileExW(part.c_str(), widePath(t.finalPath).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      completed = false;
      error = "could not rename the finished file";
    }
    if (!completed) DeleteFileW(part.c_str());
    std::lock_guard<std::mutex> lock(mutex);
    destinations.erase(t.finalPath);
    ended.push_back(DownloadEnd{t.id, completed, std::move(error)});
    --running;
  }

  static bool truncate(Transfer& t) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(t.file, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(t.file)) return false;
    t.written = 0;
    t.head.clear();
    return true;
  }

  static bool writeAll(HANDLE file, const char* data, DWORD n) {
    while (n > 0) {
      DWORD w = 0;
      if (!WriteFile(file, data, n, &w, nullptr) || w == 0) return false;
      data += w;
      n -= w;
    }
    return true;
  }

  // One request for the rest of the file, read to its end or its failure.
  Attempt attempt(Transfer& t) {
    Attempt a;
    const DownloadTask& task = t.task;
    const HINTERNET session =
        InternetOpenA("Tunova", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) {
      a.transient = true;
      a.error = "cannot start the transfer";
      return a;
    }
    DWORD connectMs = task.connectTimeoutMs > 0 ? task.connectTimeoutMs : kDefaultConnectMs;
    DWORD idleMs = task.receiveTimeoutMs > 0 ? task.receiveTimeoutMs : kDefaultIdleMs;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) {
        InternetCloseHandle(session);
        a.error = "stopped";
        return a;
      }
      t.session = session;
      // Connecting has its own bound; the watchdog allows for it before the first byte.
      t.lastData = Clock::now() + std::chrono::milliseconds(connectMs);
      t.idleMs = idleMs;
      t.timedOut = false;
      attempts.insert(&t);
    }
    InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
    InternetSetOptionA(session, INTERNET_OPTION_SEND_TIMEOUT, &idleMs, sizeof idleMs);
    InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &idleMs, sizeof idleMs);

    t.offset = t.written;
    // A plain range request: a server that answers with the whole file is written from the
    // start instead.
    const std::string range =
        t.offset > 0 ? "Range: bytes=" + std::to_string(t.offset) + "-\r\n" : std::string();
    const DWORD flags =
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
        INTERNET_FLAG_NO_UI |
        (asciiLower(task.url.substr(0, 8)) == "https://" ? INTERNET_FLAG_SECURE : 0);
    // Connection and request opened one by one (not InternetOpenUrl), so the time-outs are set
    // on the request before it is sent: the platform then bounds every wait of the exchange.
    const std::string host = splitUrl(task.url);
    const int port = urlPort(task.url);
    HINTERNET connection = nullptr, request = nullptr;
    if (!host.empty() && port > 0 && port <= 65535) {
      connection = InternetConnectA(session, host.c_str(), static_cast<INTERNET_PORT>(port), "", "",
                                    INTERNET_SERVICE_HTTP, 0, 0);
    }
    if (connection) {
      request = HttpOpenRequestA(connection, "GET", urlPath(task.url).c_str(), "HTTP/1.1", nullptr,
                                 nullptr, flags, 0);
    }
    if (request) {
      InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
      InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &idleMs, sizeof idleMs);
      InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &idleMs, sizeof idleMs);
    }
    if (!request) {
      a.error = "not an address that can be fetched";
    } else if (!HttpSendRequestA(request, range.empty() ? nullptr : range.c_str(),
                                 range.empty() ? 0 : static_cast<DWORD>(range.size()), nullptr,
                                 0)) {
      const DWORD error = GetLastError();
      a.transient = isTransient(error);
      a.error = "cannot reach the server (error " + std::to_string(error) + ")";
    } else {
      read(t, request, a);
    }
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    {
      std::lock_guard<std::mutex> lock(mutex);
      attempts.erase(&t);
      cut(t); // unless the watchdog or a stopping engine has closed it already
      if (t.timedOut) {
        a.finished = false;
        a.transient = true;
        a.error = "no data for " + std::to_string(idleMs) + " ms";
      }
    }
    return a;
  }

  void read(Transfer& t, HINTERNET request, Attempt& a) {
    a.status = std::atoi(queryText(request, HTTP_QUERY_STATUS_CODE).c_str());
    a.contentType = queryText(request, HTTP_QUERY_CONTENT_TYPE);
    long long rangeStart = -1;
    parseContentRange(queryText(request, HTTP_QUERY_CONTENT_RANGE), rangeStart, t.rangeTotal);
    const std::string length = queryText(request, HTTP_QUERY_CONTENT_LENGTH);
    t.expected = -1;
    if (a.status == 206) t.expected = t.rangeTotal;
    if (a.status == 200 && !length.empty()) t.expected = std::atoll(length.c_str());
    if (a.status == 416 && t.offset > 0) {
      a.unsatisfiable = true;
      return;
    }
    if (a.status >= 400 || a.status < 200) {
      a.error = "the server answered " + std::to_string(a.status);
      return;
    }
    if (a.status == 206 && rangeStart != t.offset) {
      // Another range than the one asked for: splicing it in would corrupt the file.
      a.restart = true;
      a.error = "the server answered another range";
      return;
    }
    if (t.offset > 0 && a.status != 206) {
      // The server ignored the range and sends the whole file: start it again from nothing.
      if (!truncate(t)) {
        a.writeFailed = true;
        return;
      }
      t.offset = 0;
    }
    const DWORD size =
        static_cast<DWORD>(std::clamp<long>(t.task.receiveBufferBytes, kMinBuffer, kMaxBuffer));
    std::string buffer(size, '\0');
    for (;;) {
      DWORD n = 0;
      const BOOL ok = InternetReadFile(request, buffer.data(), size, &n);
      if (!ok) {
        a.transient = true;
        a.error = "the connection failed (error " + std::to_string(GetLastError()) + ")";
        return;
      }
      if (n == 0) break;
      if (!writeAll(t.file, buffer.data(), n)) {
        a.writeFailed = true;
        return;
      }
      if (t.head.size() < kHeadBytes)
        t.head.append(buffer.data(), std::min<std::size_t>(n, kHeadBytes - t.head.size()));
      t.written += n;
      totalBytes += n;
      {
        std::lock_guard<std::mutex> lock(mutex);
        t.lastData = Clock::now();
      }
      sample();
    }
    if (t.expected >= 0 && t.written < t.expected) {
      // The connection ended before the announced length: a drop, resumed from here.
      a.transient = true;
      a.error = "the connection ended early";
      return;
    }
    a.finished = true;
  }

  void run(Transfer& t) {
    if (!allowedScheme(t.task.url)) {
      finish(t, false, "only http and https addresses are fetched");
      return;
    }
    // A partial file left by an earlier run that was killed is removed first, whatever it is.
    const std::wstring part = widePath(t.partPath);
    DeleteFileW(part.c_str());
    t.file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (t.file == INVALID_HANDLE_VALUE) {
      finish(t, false, "cannot write the file");
      return;
    }
    for (;;) {
      Attempt a = attempt(t);
      if (isStopping()) {
        finish(t, false, "stopped");
        return;
      }
      if (a.writeFailed) {
        finish(t, false, "could not write the file");
        return;
      }
      // A 416 naming exactly what is on disk: the file is whole.
      if (a.unsatisfiable && t.rangeTotal == t.written) a.finished = true;
      if (a.finished) {
        if (t.written == 0) {
          finish(t, false, "the server sent an empty file");
        } else if (plainlyNotAudio(a.contentType, t.head)) {
          finish(t, false, "the server sent a page, not a song");
        } else if (!a.unsatisfiable && t.expected >= 0 && t.written != t.expected) {
          finish(t, false, "size does not match the announced length");
        } else {
          finish(t, true, std::string());
        }
        return;
      }
      const bool canRetry = t.attempts < t.task.retries;
      const bool fromZero = a.restart || a.unsatisfiable;
      if (!canRetry || (!fromZero && !a.transient)) {
        finish(t, false, a.unsatisfiable ? "the server refused the range" : a.error);
        return;
      }
      ++t.attempts;
      if (fromZero) {
        if (!truncate(t)) {
          finish(t, false, "could not write the file");
          return;
        }
        continue;
      }
      // Pause before trying again from where it stopped.
      const auto until = now() + std::chrono::milliseconds(std::max(0, t.task.retryPauseMs));
      std::unique_lock<std::mutex> lock(mutex);
      while (!stopping && now() < until)
        stopped.wait_for(lock, std::chrono::milliseconds(20));
    }
  }
};

PlatformDownloadEngine::PlatformDownloadEngine(std::function<Clock::time_point()> clock)
    : impl_(std::make_unique<Impl>(clock ? std::move(clock) : [] { return Clock::now(); })) {}

PlatformDownloadEngine::~PlatformDownloadEngine() = default;

int PlatformDownloadEngine::start(const DownloadTask& task) {
  auto t = std::make_shared<Impl::Transfer>();
  t->task = task;
  t->finalPath = nativePath(task.path);
  t->partPath = t->finalPath + ".part";
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const int id = impl_->nextId++;
  t->id = id;
  const char* refusal = impl_->stopping                           ? "the engine was released"
                        : impl_->destinations.count(t->finalPath) ? "already being downloaded"
                                                                  : nullptr;
  if (refusal) {
    impl_->ended.push_back(DownloadEnd{id, false, refusal});
    return id;
  }
  impl_->destinations.insert(t->finalPath);
  ++impl_->running;
  // Workers that have ended are joined here, so the list stays short.
  for (auto it = impl_->workers.begin(); it != impl_->workers.end();) {
    if (it->done) {
      it->thread.join();
      it = impl_->workers.erase(it);
    } else {
      ++it;
    }
  }
  if (!impl_->watchdog.joinable()) impl_->watchdog = std::thread([this] { impl_->watch(); });
  Impl::Worker& worker = impl_->workers.emplace_back();
  Impl* impl = impl_.get();
  worker.thread = std::thread([impl, t, &worker] {
    impl->run(*t);
    worker.done = true;
  });
  return id;
}

std::int32_t PlatformDownloadEngine::currentRate() {
  if (impl_->running == 0) return 0;
  impl_->sample();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->window.rate(impl_->now());
}

std::vector<DownloadEnd> PlatformDownloadEngine::takeEnded() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<DownloadEnd> out;
  out.swap(impl_->ended);
  return out;
}

int PlatformDownloadEngine::runningCount() {
  return impl_->running.load();
}

void PlatformDownloadEngine::release() {
  impl_->stop();
}

} // namespace tunova
