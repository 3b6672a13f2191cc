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

#include "http/http_request.h"
#include "http/url.h"
#include "http/wininet_redirect.h"
#include "runtime/download_rules.h"
#include "runtime/ini_file.h"
#include "runtime/part_file.h"
#include "runtime/rate_window.h"
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

std::string queryText(HINTERNET request, DWORD level) {
  std::string value(2048, '\0');
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
    explicit Transfer(const DownloadLimits& limits) : floor(limits) {}
    int id = 0;
    DownloadTask task;
    std::string url;       // where the next request goes (the task's, or where it was redirected)
    std::string finalPath; // GBK
    PartFile part;         // claimed when the task starts
    PartRecord record;     // the version the partial file holds
    SpeedFloor floor;
    long long receivedHere = 0; // bytes this transfer received, every attempt
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
    std::string redirect;       // where a redirect answer points
    std::string refusal;        // why the answer was refused outright (no room, too large, slow)
    int status = 0;
    std::string contentType;
    std::string error;
  };

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  Impl(std::function<Clock::time_point()> clockFn, const DownloadLimits& l)
      : now(std::move(clockFn)), limits(l) {}
  ~Impl() { stop(); }

  std::function<Clock::time_point()> now;
  DownloadLimits limits;
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

  // Ends a transfer: a complete one is put in place (its bytes on disk first); one stopped with
  // the engine keeps its partial file for a later run when that can be resumed; any other
  // failure removes it.
  void finish(Transfer& t, bool completed, std::string error, bool byStop = false) {
    if (completed) {
      completed = t.part.commit(error);
    } else if (byStop && resumable(t.record, t.written)) {
      t.part.keep();
    } else {
      t.part.discard();
    }
    std::lock_guard<std::mutex> lock(mutex);
    destinations.erase(t.finalPath);
    ended.push_back(DownloadEnd{t.id, completed, std::move(error)});
    --running;
  }

  static bool truncate(Transfer& t) {
    if (!t.part.truncate()) return false;
    t.written = 0;
    t.record = PartRecord{};
    t.head.clear();
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

    if (t.written > 0 && !resumable(t.record, t.written) && !truncate(t)) {
      a.writeFailed = true;
    }
    t.offset = t.written;
    // A plain range request: a server that answers with the whole file is written from the
    // start instead. If-Range asks for the whole song when it is no longer the version the
    // file holds.
    std::string range;
    if (t.offset > 0) {
      range = "Range: bytes=" + std::to_string(t.offset) + "-\r\n";
      if (!t.record.validator.empty()) range += "If-Range: " + t.record.validator + "\r\n";
    }
    // Redirects are followed by the engine, one at a time, under the program's own rules.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_AUTO_REDIRECT |
                        (asciiLower(t.url.substr(0, 8)) == "https://" ? INTERNET_FLAG_SECURE : 0);
    // Connection and request opened one by one (not InternetOpenUrl), so the time-outs are set
    // on the request before it is sent: the platform then bounds every wait of the exchange.
    const std::string host = splitUrl(t.url);
    const int port = urlPort(t.url);
    HINTERNET connection = nullptr, request = nullptr;
    if (!host.empty() && port > 0 && port <= 65535) {
      connection = InternetConnectA(session, host.c_str(), static_cast<INTERNET_PORT>(port), "", "",
                                    INTERNET_SERVICE_HTTP, 0, 0);
    }
    if (connection && !a.writeFailed) {
      request = HttpOpenRequestA(connection, "GET", urlPath(t.url).c_str(), "HTTP/1.1", nullptr,
                                 nullptr, flags, 0);
    }
    if (request) {
      InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
      InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &idleMs, sizeof idleMs);
      InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &idleMs, sizeof idleMs);
    }
    if (a.writeFailed) {
      a.error = "could not write the file";
    } else if (!request) {
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
    const long long contentLength = length.empty() ? -1 : std::atoll(length.c_str());
    const std::string validator = validatorOf(queryText(request, HTTP_QUERY_ETAG),
                                              queryText(request, HTTP_QUERY_LAST_MODIFIED));
    t.expected = announcedTotal(a.status, contentLength, t.rangeTotal);
    if (isRedirectStatus(a.status)) {
      a.redirect = redirectTarget(request, t.url);
      return;
    }
    if (a.status == 416 && t.offset > 0) {
      a.unsatisfiable = true;
      return;
    }
    if (a.status >= 400 || a.status < 200) {
      a.error = "the server answered " + std::to_string(a.status);
      return;
    }
    const Answer answer =
        judgeAnswer(t.offset, a.status, rangeStart, t.rangeTotal, validator, t.record);
    if (answer == Answer::Restart) {
      // Another range or another version: splicing it in would corrupt the file.
      a.restart = true;
      a.error = "the server answered another range";
      return;
    }
    if (answer == Answer::FromZero) {
      // The whole song from its first byte (a server that ignored the range, or a new version).
      if ((t.written > 0 || t.offset > 0) && !truncate(t)) {
        a.writeFailed = true;
        return;
      }
      t.offset = 0;
      t.record = PartRecord{validator, t.expected};
      if (!t.part.writeRecord(t.record)) {
        a.writeFailed = true;
        return;
      }
    }
    if (t.expected >= 0) {
      const long long free = t.part.freeSpace();
      if (free >= 0 && t.expected - t.written > free) {
        a.refusal = "not enough free space on the disk for the song";
        return;
      }
    }
    const DWORD size =
        static_cast<DWORD>(std::clamp<long>(t.task.receiveBufferBytes, kMinBuffer, kMaxBuffer));
    std::string buffer(size, '\0');
    for (;;) {
      // What has arrived is taken as it arrives (a read for a whole buffer would wait until the
      // buffer is full), so the watchdog and the speed floor see a slow body as it trickles.
      DWORD available = 0, n = 0;
      const BOOL ok = InternetQueryDataAvailable(request, &available, 0, 0) &&
                      (available == 0 ||
                       InternetReadFile(request, buffer.data(), std::min(available, size), &n));
      if (!ok) {
        a.transient = true;
        a.error = "the connection failed (error " + std::to_string(GetLastError()) + ")";
        return;
      }
      if (n == 0) break;
      if (t.expected < 0 && t.written + n > limits.maxBodyBytes) {
        a.refusal = "the song has no length and passed the size limit";
        return;
      }
      if (!t.part.write(buffer.data(), n)) {
        a.writeFailed = true;
        return;
      }
      if (t.head.size() < kHeadBytes)
        t.head.append(buffer.data(), std::min<std::size_t>(n, kHeadBytes - t.head.size()));
      t.written += n;
      t.receivedHere += n;
      totalBytes += n;
      if (t.floor.tooSlow(now(), t.receivedHere)) {
        a.refusal = kTooSlow;
        return;
      }
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
    t.floor.tooSlow(now(), 0);
    int hops = 0;
    for (;;) {
      Attempt a = attempt(t);
      if (isStopping()) {
        finish(t, false, "stopped", true);
        return;
      }
      if (a.writeFailed) {
        finish(t, false, "could not write the file");
        return;
      }
      if (!a.refusal.empty()) {
        finish(t, false, a.refusal);
        return;
      }
      if (isRedirectStatus(a.status)) {
        const bool fromHttps = asciiLower(t.url.substr(0, 8)) == "https://";
        if (a.redirect.empty()) {
          finish(t, false, "a redirect that names no address");
        } else if (hops >= kMaxRedirects) {
          finish(t, false, "too many redirects");
        } else if (!redirectAllowed(fromHttps, a.redirect)) {
          finish(t, false, "a redirect to an address that is not fetched");
        } else {
          ++hops;
          t.url = a.redirect;
          continue;
        }
        return;
      }
      hops = 0;
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
      // Pause before trying again from where it stopped; the speed floor holds meanwhile.
      const auto until = now() + std::chrono::milliseconds(std::max(0, t.task.retryPauseMs));
      {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping && now() < until)
          stopped.wait_for(lock, std::chrono::milliseconds(20));
      }
      if (t.floor.tooSlow(now(), t.receivedHere)) {
        finish(t, false, kTooSlow);
        return;
      }
    }
  }
};

PlatformDownloadEngine::PlatformDownloadEngine(std::function<Clock::time_point()> clock,
                                               DownloadLimits limits)
    : impl_(std::make_unique<Impl>(
          clock ? std::move(clock) : [] { return Clock::now(); }, limits)) {}

PlatformDownloadEngine::~PlatformDownloadEngine() = default;

int PlatformDownloadEngine::start(const DownloadTask& task) {
  auto t = std::make_shared<Impl::Transfer>(impl_->limits);
  t->task = task;
  t->url = task.url;
  t->finalPath = nativePath(task.path);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const int id = impl_->nextId++;
  t->id = id;
  DownloadEnd refused{id, false, {}};
  // Released engines take no more work, and one destination has one writer, in this program
  // and across programs: such a task ends at once as failed, touching nothing.
  if (impl_->stopping) {
    refused.error = "the engine was released";
  } else if (impl_->destinations.count(t->finalPath)) {
    refused.error = "already being downloaded";
  } else {
    const PartStart ready = startPart(t->part, task.url, t->finalPath);
    refused.error = ready.refusal;
    refused.heldElsewhere = ready.heldElsewhere;
    t->record = ready.record;
    t->written = ready.written;
  }
  if (!refused.error.empty()) {
    impl_->ended.push_back(refused);
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
