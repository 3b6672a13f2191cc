// Download transfers on WinInet: each runs on a worker thread of its own. A watchdog thread cuts
// transfers that receive nothing for their idle time; stop() cuts every transfer and waits for
// the workers. Cutting closes the transfer's internet handle, which ends its blocking calls.
#include "http/transfer.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "http/http_request.h"
#include "http/request_parts.h"
#include "http/url.h"
#include "http/wininet_answer.h"

namespace tunova {

namespace {

using Clock = std::chrono::steady_clock;

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

void setTimeouts(HINTERNET handle, DWORD connectMs, DWORD idleMs) {
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &idleMs, sizeof idleMs);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &idleMs, sizeof idleMs);
}

struct Running {
  TransferRequest request;
  TransferSink* sink = nullptr;
  HINTERNET session = nullptr; // under the transport's mutex
  Clock::time_point lastData{};
  bool timedOut = false;
  std::thread thread;
  std::atomic<bool> done{false};
};

class WinInetTransport : public Transport {
public:
  ~WinInetTransport() override { stop(); }

  void open(const TransferRequest& request, TransferSink* sink) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    // Workers that have ended are joined here, so the list stays short.
    for (auto it = running_.begin(); it != running_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = running_.erase(it);
      } else {
        ++it;
      }
    }
    if (!watchdog_.joinable()) watchdog_ = std::thread([this] { watch(); });
    auto r = std::make_unique<Running>();
    r->request = request;
    r->sink = sink;
    Running* raw = r.get();
    running_.push_back(std::move(r));
    raw->thread = std::thread([this, raw] {
      carry(*raw);
      raw->done = true;
    });
  }

  void stop() override {
    std::list<std::unique_ptr<Running>> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      for (auto& r : running_)
        cut(*r);
      all.swap(running_);
    }
    stopped_.notify_all();
    for (auto& r : all)
      if (r->thread.joinable()) r->thread.join();
    if (watchdog_.joinable()) watchdog_.join();
  }

private:
  // Closes a transfer's internet handle, which ends its blocking calls; under `mutex_`.
  static void cut(Running& r) {
    if (r.session) InternetCloseHandle(r.session);
    r.session = nullptr;
  }

  // A second bound besides the platform's receive time-out: a transfer that has received
  // nothing for its idle time is cut here.
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      stopped_.wait_for(lock, std::chrono::milliseconds(100));
      const auto at = Clock::now();
      for (auto& r : running_) {
        if (r->session && at - r->lastData > std::chrono::milliseconds(r->request.idleMs)) {
          r->timedOut = true;
          cut(*r);
        }
      }
    }
  }

  void touched(Running& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    r.lastData = Clock::now();
  }

  // One request, read to its end or its failure; the sink hears of its end unless the
  // transport stopped.
  void carry(Running& r) {
    TransferEnd end = attempt(r);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cut(r); // unless the watchdog or the stop has closed it already
      if (stopping_) return;
      if (r.timedOut) {
        end.failed = end.transient = true;
        end.error = "no data for " + std::to_string(r.request.idleMs) + " ms";
      }
    }
    r.sink->onEnd(end); // a stop waits for this thread, so it comes before the stop ends
  }

  HINTERNET session(Running& r) {
    const HINTERNET s = InternetOpenA("Tunova", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!s) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      InternetCloseHandle(s);
      return nullptr;
    }
    r.session = s;
    // Connecting has its own bound; the watchdog allows for it before the first byte.
    r.lastData = Clock::now() + std::chrono::milliseconds(r.request.connectMs);
    return s;
  }

  TransferEnd attempt(Running& r) {
    TransferEnd end;
    end.failed = end.transient = true;
    const DWORD connectMs = static_cast<DWORD>(r.request.connectMs);
    const DWORD idleMs = static_cast<DWORD>(r.request.idleMs);
    const HINTERNET s = session(r);
    if (!s) {
      end.error = "cannot start the transfer";
      return end;
    }
    setTimeouts(s, connectMs, idleMs);
    // Connection and request opened one by one (not InternetOpenUrl), so the time-outs are set
    // on the request before it is sent: the platform then bounds every wait of the exchange.
    const std::string& url = r.request.url;
    const bool https = asciiLower(url.substr(0, 8)) == "https://";
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_AUTO_REDIRECT | (https ? INTERNET_FLAG_SECURE : 0);
    const std::string host = splitUrl(url);
    const int port = urlPort(url);
    HINTERNET connection = nullptr, request = nullptr;
    if (!host.empty() && port > 0 && port <= 65535)
      connection = InternetConnectA(s, host.c_str(), static_cast<INTERNET_PORT>(port), "", "",
                                    INTERNET_SERVICE_HTTP, 0, 0);
    if (connection)
      request = HttpOpenRequestA(connection, "GET", urlPath(url).c_str(), "HTTP/1.1", nullptr,
                                 nullptr, flags, 0);
    std::string lines;
    for (const std::string& line : r.request.headerLines)
      lines += line + "\r\n";
    if (request) setTimeouts(request, connectMs, idleMs);
    if (!request) {
      end.transient = false;
      end.error = "not an address that can be fetched";
    } else if (!HttpSendRequestA(request, lines.empty() ? nullptr : lines.c_str(),
                                 static_cast<DWORD>(lines.size()), nullptr, 0)) {
      const DWORD error = GetLastError();
      end.transient = isTransient(error);
      end.error = "cannot reach the server (error " + std::to_string(error) + ")";
    } else {
      read(r, request, end);
    }
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    return end;
  }

  void read(Running& r, HINTERNET request, TransferEnd& end) {
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    if (isRedirectStatus(static_cast<int>(status)))
      end.location = redirectTarget(request, r.request.url);
    end.error = "stopped by the download";
    end.transient = false;
    if (!r.sink->onHead(static_cast<int>(status), rawHeaders(request))) return;
    if (status < 200 || status >= 300) { // a redirect or an error: its page is not needed
      end.failed = false;
      return;
    }
    const DWORD bufferSize = static_cast<DWORD>(r.request.bufferBytes);
    std::string buffer(bufferSize, '\0');
    for (;;) {
      // What has arrived is taken as it arrives (a read for a whole buffer would wait until the
      // buffer is full), so the watchdog and the speed floor see a slow body as it trickles.
      DWORD available = 0, n = 0;
      const BOOL ok = InternetQueryDataAvailable(request, &available, 0, 0) &&
                      (available == 0 || InternetReadFile(request, buffer.data(),
                                                          std::min(available, bufferSize), &n));
      if (!ok) {
        end.transient = true;
        end.error = "the connection failed (error " + std::to_string(GetLastError()) + ")";
        return;
      }
      if (n == 0) break;
      // The platform says nothing while a read waits, so the sink's tick comes with the data.
      if (!r.sink->onBody(buffer.data(), n) || !r.sink->onTick()) return;
      touched(r);
    }
    end.failed = false;
    end.error.clear();
  }

  // The transfers and the stop, guarded by the mutex.
  std::mutex mutex_;
  std::list<std::unique_ptr<Running>> running_;
  bool stopping_ = false;
  // The watchdog, woken early by the stop.
  std::thread watchdog_;
  std::condition_variable stopped_;
};

} // namespace

std::unique_ptr<Transport> openTransport() {
  return std::make_unique<WinInetTransport>();
}

} // namespace tunova
