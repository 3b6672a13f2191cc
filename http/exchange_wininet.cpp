// The exchange of one hop on the platform's WinInet: an internet, connection and request handle
// per hop, opened in that order and closed in reverse; the body read 1024 bytes at a time; the
// raw header block from HttpQueryInfoA; the platform's own cookie store unless the caller brings
// cookies. Beyond the platform's defaults: time-outs set on every handle, a byte limit, an
// overall deadline and a waiting routine.
//
// With a deadline or a waiting routine the hop runs on a worker thread while the caller's
// thread waits in slices: it calls the routine, watches the clock, and on either's verdict
// closes the hop's root handle (which ends its blocking WinInet calls) and returns at once. The
// worker owns everything it touches; it is joined by the next call or, at the latest, when the
// program ends.
#include "http/exchange.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "http/http_request.h"
#include "http/request_parts.h"
#include "http/wininet_answer.h"

namespace tunova {

namespace {

constexpr DWORD kReadSize = 1024;

// One hop as the worker carries it.
struct HopRun {
  HopRun(const ExchangeSetup& s, const Hop& h) : setup(s), hop(h), body(s.maxBodyBytes) {
    if (h.body) {
      sent = *h.body;
      hop.body = &sent;
    }
  }
  const ExchangeSetup setup; // copies: the worker may outlive the call
  Hop hop;
  Bytes sent;
  BodyCollector body;
  HopAnswer answer;

  // Between the two threads.
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  HINTERNET internet = nullptr; // the hop's root handle; closing it closes the others too
  bool closed = false;
};

bool abandoned(HopRun& run) {
  std::lock_guard<std::mutex> lock(run.mutex);
  return run.abandoned;
}

void setTimeouts(HINTERNET handle, const ExchangeSetup& setup) {
  DWORD connect = static_cast<DWORD>(setup.connectMs), idle = static_cast<DWORD>(setup.idleMs);
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &idle, sizeof idle);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &idle, sizeof idle);
}

void readBody(HINTERNET request, HopRun& run) {
  DWORD length = 0, size = sizeof length;
  if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                     nullptr) &&
      !run.body.expect(length)) {
    run.answer.failed = true;
    return;
  }
  char buffer[kReadSize] = {};
  for (;;) {
    DWORD n = 0;
    const BOOL ok = InternetReadFile(request, buffer, kReadSize, &n);
    if (n == 0) {
      // The end, or a failure (a dropped connection, a time-out, an abandoned exchange): a
      // body cut short is not a body.
      if (!ok) run.answer.failed = true;
      return;
    }
    if (!run.body.add(buffer, n)) {
      run.answer.failed = true;
      return;
    }
    if (abandoned(run)) return;
  }
}

// Connection and request for the hop, sent and read; every handle closed again.
void carry(HopRun& run) {
  const ExchangeSetup& setup = run.setup;
  const Hop& hop = run.hop;
  HopAnswer& answer = run.answer;
  std::string proxy;
  if (!setup.proxy.empty()) proxy = hop.https ? setup.proxy : "http=" + setup.proxy;
  const HINTERNET internet = InternetOpenA(
      setup.agent.c_str(), proxy.empty() ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PROXY,
      proxy.empty() ? nullptr : proxy.c_str(), nullptr, 0);
  answer.failed = true;
  if (!internet) return;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.internet = internet;
    if (run.abandoned) {
      InternetCloseHandle(internet);
      run.closed = true;
      return;
    }
  }
  setTimeouts(internet, setup);
  const HINTERNET connection =
      InternetConnectA(internet, hop.host.c_str(), static_cast<INTERNET_PORT>(hop.port), "", "",
                       INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request = nullptr;
  if (connection) {
    setTimeouts(connection, setup);
    // Redirects are taken by httpRequest, one at a time, so the method and the body follow
    // its rules.
    const DWORD flags = requestFlags(!setup.useCookieStore, true, hop.https);
    request = HttpOpenRequestA(connection, httpVerb(hop.method), hop.target.c_str(), "HTTP/1.1",
                               nullptr, nullptr, flags, 0);
  }
  if (request) setTimeouts(request, setup);
  const Bytes* body = hop.body;
  if (request && !abandoned(run) &&
      HttpSendRequestA(request, setup.headerText.c_str(),
                       static_cast<DWORD>(setup.headerText.size()),
                       body && !body->empty() ? const_cast<std::uint8_t*>(body->data()) : nullptr,
                       body ? static_cast<DWORD>(body->size()) : 0) &&
      !abandoned(run)) {
    answer.failed = false;
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    answer.status = static_cast<int>(status);
    if (isRedirectStatus(answer.status)) answer.location = redirectTarget(request, hopAddress(hop));
    answer.headerBlock = rawHeaders(request);
    // A redirect that is followed needs no body; one that is not hands its body back.
    if (answer.location.empty() || !setup.followRedirects) {
      readBody(request, run);
      answer.body = run.body.take();
    }
  }
  std::lock_guard<std::mutex> lock(run.mutex);
  if (run.closed) return; // abandoned: closed with the root handle
  if (request) InternetCloseHandle(request);
  if (connection) InternetCloseHandle(connection);
  InternetCloseHandle(internet);
  run.closed = true;
}

// Abandons a running hop: closing its root handle ends its blocking calls.
void abandon(HopRun& run) {
  std::lock_guard<std::mutex> lock(run.mutex);
  run.abandoned = true;
  if (run.internet && !run.closed) {
    InternetCloseHandle(run.internet);
    run.closed = true;
  }
}

// Workers of abandoned hops. Closing a hop's handles ends its blocking calls on Windows, so
// each ends soon after it was given up; a finished one is joined by the next abandon, and the
// rest when the program ends. There they get a bounded wait (wine's WinInet does not end a call
// blocked in a handle that was closed: such a worker ends at its receive time-out, and one still
// waiting then is left to the process's end rather than holding the exit).
class AbandonedWorkers {
public:
  ~AbandonedWorkers() { joinAll(); }
  void joinAll() {
    std::list<Entry> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(workers_);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (Entry& e : all) {
      bool finished = false;
      {
        std::unique_lock<std::mutex> lock(e.run->mutex);
        finished = e.run->done.wait_until(lock, until, [&e] { return e.run->finished; });
      }
      if (finished) {
        e.thread.join();
      } else {
        e.thread.detach(); // owns what it touches (`run`), so it may end at any time after
      }
    }
  }
  void add(std::thread thread, std::shared_ptr<HopRun> run) {
    std::lock_guard<std::mutex> lock(mutex_);
    reap();
    workers_.push_back(Entry{std::move(thread), std::move(run)});
  }

private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<HopRun> run;
  };
  void reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      bool finished = false;
      {
        std::lock_guard<std::mutex> lock(it->run->mutex);
        finished = it->run->finished;
      }
      if (finished) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex mutex_;
  std::list<Entry> workers_;
};

AbandonedWorkers& abandonedWorkers() {
  static AbandonedWorkers workers;
  return workers;
}

// Runs the hop on a worker while this thread waits for it, calls the waiting routine every
// 30 ms and watches the deadline; false when the hop was abandoned.
bool runWatched(const std::shared_ptr<HopRun>& run) {
  const auto deadline = run->setup.deadline;
  const auto& whileWaiting = run->setup.whileWaiting;
  AbandonedWorkers& graveyard = abandonedWorkers(); // made before the worker, so it outlives it
  std::thread worker([run] {
    carry(*run);
    std::lock_guard<std::mutex> lock(run->mutex);
    run->finished = true;
    run->done.notify_all();
  });
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(run->mutex);
      const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      run->done.wait_until(lock, whileWaiting ? std::min(slice, deadline) : deadline,
                           [&run] { return run->finished; });
      if (run->finished) break;
    }
    if (std::chrono::steady_clock::now() >= deadline || (whileWaiting && !whileWaiting())) {
      abandon(*run);
      graveyard.add(std::move(worker), run);
      return false;
    }
  }
  worker.join();
  return true;
}

class WinInetExchange : public Exchange {
public:
  explicit WinInetExchange(const ExchangeSetup& setup) : setup_(setup) {}
  HopAnswer send(const Hop& hop) override {
    auto run = std::make_shared<HopRun>(setup_, hop);
    const bool watched =
        setup_.whileWaiting || setup_.deadline != std::chrono::steady_clock::time_point::max();
    if (!watched) {
      carry(*run);
    } else if (!runWatched(run)) {
      HopAnswer failed;
      failed.failed = true;
      return failed; // the worker still owns the hop; nothing of it is read here
    }
    return std::move(run->answer);
  }

private:
  ExchangeSetup setup_;
};

} // namespace

std::unique_ptr<Exchange> openExchange(const ExchangeSetup& setup) {
  return std::make_unique<WinInetExchange>(setup);
}

void endAbandonedExchanges() {
  abandonedWorkers().joinAll();
}

void forgetStoredCookies() {
  // Ends the session: the platform forgets its session cookies.
  InternetSetOptionA(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
}

std::string rawHeaders(void* request) {
  std::string block(kHeaderBufferSize, '\0');
  DWORD length = static_cast<DWORD>(block.size());
  if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block.data(), &length, nullptr))
    return std::string();
  block.resize(std::min<std::size_t>(length, block.size()));
  return block.substr(0, block.find('\0'));
}

std::string redirectTarget(void* request, const std::string& from) {
  std::string location(2048, '\0');
  DWORD size = static_cast<DWORD>(location.size());
  if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr)) return {};
  location.resize(std::min<std::size_t>(size, location.size()));
  std::string absolute(4096, '\0');
  DWORD length = static_cast<DWORD>(absolute.size());
  if (!InternetCombineUrlA(from.c_str(), location.c_str(), absolute.data(), &length,
                           ICU_NO_ENCODE)) {
    return {};
  }
  absolute.resize(std::min<std::size_t>(length, absolute.size()));
  return absolute;
}

} // namespace tunova
