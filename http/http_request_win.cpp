#include "http/http_request.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "http/headers.h"
#include "http/request_parts.h"
#include "http/url.h"
#include "http/wininet_redirect.h"

// httpRequest on the platform's WinInet: one internet, connection and request handle per call,
// opened in that order and closed in reverse; the body read 1024 bytes at a time; the raw header
// block from HttpQueryInfoA; the platform's own cookie store unless the caller brings cookies.
// Redirects are followed here hop by hop (a connection and request per hop) under the same
// rules as on Linux: the platform itself drops a 307's body and would not say why a hop was
// refused. Beyond the platform's defaults: time-outs set on every handle, only http and https
// addresses, a byte limit, an overall deadline, and a waiting routine.
//
// With a deadline or a waiting routine the exchange runs on a worker thread while the caller's
// thread waits in slices: it calls the routine, watches the clock, and on either's verdict
// closes the request handle (which ends a blocking WinInet call) and returns at once. The worker
// owns everything it touches, so it may end after the caller has gone on.

namespace tunova {

namespace {

constexpr DWORD kReadSize = 1024;

struct Exchange {
  // What the worker is given.
  std::string agent;
  std::string proxyText; // empty: a direct connection
  std::string url;
  int method = kHttpGet;
  bool noRedirect = false;
  DWORD flags = 0;
  std::string headerText;
  Bytes body;
  std::size_t maxBody = kNoBodyLimit;
  DWORD connectMs = 60000;
  DWORD idleMs = 30000;

  // What it hands back.
  Bytes response;
  std::string headerBlock;
  bool failed = false;

  // Between the two threads.
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  HINTERNET request = nullptr;
  bool requestClosed = false;
};

bool abandoned(Exchange& ex) {
  std::lock_guard<std::mutex> lock(ex.mutex);
  return ex.abandoned;
}

void setTimeouts(HINTERNET handle, const Exchange& ex) {
  DWORD connect = ex.connectMs, idle = ex.idleMs;
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &idle, sizeof idle);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &idle, sizeof idle);
}

void readBody(HINTERNET request, Exchange& ex) {
  DWORD length = 0, size = sizeof length;
  if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                     nullptr)) {
    if (ex.maxBody != kNoBodyLimit && length > ex.maxBody) {
      ex.failed = true;
      return;
    }
    const std::size_t cap = ex.maxBody != kNoBodyLimit ? ex.maxBody : std::size_t{64} << 20;
    ex.response.reserve(std::min<std::size_t>(length, cap));
  }
  char buffer[kReadSize] = {};
  for (;;) {
    DWORD n = 0;
    const BOOL ok = InternetReadFile(request, buffer, kReadSize, &n);
    if (n == 0) {
      // The end, or a failure (a dropped connection, a time-out, an abandoned exchange): a
      // body cut short is not a body.
      if (!ok) ex.failed = true;
      return;
    }
    if (ex.maxBody != kNoBodyLimit && ex.response.size() + n > ex.maxBody) {
      ex.failed = true;
      return;
    }
    ex.response.insert(ex.response.end(), buffer, buffer + n);
    if (abandoned(ex)) return;
  }
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One hop: connection and request for `address`, sent; the request handle, or null.
HINTERNET sendHop(Exchange& ex, HINTERNET internet, const std::string& address, int method,
                  HINTERNET& connection) {
  const bool https = asciiLower(address.substr(0, 8)) == "https://";
  const std::string host = splitUrl(address);
  const int port = urlPort(address);
  if (!validHost(host) || port <= 0 || port > 65535) return nullptr;
  connection = InternetConnectA(internet, host.c_str(), static_cast<INTERNET_PORT>(port), "", "",
                                INTERNET_SERVICE_HTTP, 0, 0);
  if (!connection) return nullptr;
  setTimeouts(connection, ex);
  // Redirects are taken here, one at a time, so the method and the body follow our rules.
  const DWORD flags =
      (ex.flags & ~(INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS)) |
      requestFlags(false, true, https);
  const HINTERNET request =
      HttpOpenRequestA(connection, httpVerb(method), requestTarget(urlPath(address)).c_str(),
                       "HTTP/1.1", nullptr, nullptr, flags, 0);
  if (!request) return nullptr;
  setTimeouts(request, ex);
  {
    std::lock_guard<std::mutex> lock(ex.mutex);
    if (ex.abandoned) {
      InternetCloseHandle(request);
      return nullptr;
    }
    ex.request = request;
    ex.requestClosed = false;
  }
  const bool withBody = method != kHttpGet && method != kHttpHead;
  if (!HttpSendRequestA(request, ex.headerText.c_str(), static_cast<DWORD>(ex.headerText.size()),
                        withBody && !ex.body.empty() ? ex.body.data() : nullptr,
                        withBody ? static_cast<DWORD>(ex.body.size()) : 0)) {
    ex.failed = true;
  }
  return request;
}

void closeHop(Exchange& ex, HINTERNET& request, HINTERNET& connection) {
  {
    std::lock_guard<std::mutex> lock(ex.mutex);
    if (request && !ex.requestClosed) InternetCloseHandle(request);
    ex.requestClosed = true;
  }
  if (connection) InternetCloseHandle(connection);
  request = connection = nullptr;
}

void run(Exchange& ex) {
  const HINTERNET internet = InternetOpenA(
      ex.agent.c_str(), ex.proxyText.empty() ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PROXY,
      ex.proxyText.empty() ? nullptr : ex.proxyText.c_str(), nullptr, 0);
  if (!internet) {
    ex.failed = true;
    return;
  }
  setTimeouts(internet, ex);
  std::string address = ex.url;
  int method = ex.method;
  HINTERNET connection = nullptr, request = nullptr;
  for (int hop = 0;; ++hop) {
    request = sendHop(ex, internet, address, method, connection);
    if (!request || ex.failed || abandoned(ex)) {
      ex.failed = true;
      break;
    }
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    if (isRedirect(static_cast<int>(status)) && !ex.noRedirect) {
      const std::string next = redirectTarget(request, address);
      if (!next.empty()) {
        const bool fromHttps = asciiLower(address.substr(0, 8)) == "https://";
        if (hop >= 20 || !redirectAllowed(fromHttps, next)) {
          ex.failed = true;
          break;
        }
        method = methodAfterRedirect(static_cast<int>(status), method);
        address = next;
        closeHop(ex, request, connection);
        continue;
      }
    }
    readBody(request, ex);
    std::string block(kHeaderBufferSize, '\0');
    DWORD length = static_cast<DWORD>(block.size());
    if (HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, block.data(), &length, nullptr)) {
      block.resize(std::min<std::size_t>(length, block.size()));
      ex.headerBlock = block.substr(0, block.find('\0'));
    }
    break;
  }
  closeHop(ex, request, connection);
  InternetCloseHandle(internet);
}

// Abandons a running exchange: its blocking call on the request handle ends.
void abandon(Exchange& ex) {
  std::lock_guard<std::mutex> lock(ex.mutex);
  ex.abandoned = true;
  if (ex.request && !ex.requestClosed) {
    InternetCloseHandle(ex.request);
    ex.requestClosed = true;
  }
}

// Runs the exchange on a worker while this thread waits for it, calls `whileWaiting` every
// 30 ms and watches `deadline`; false when the exchange was abandoned.
bool runWatched(const std::shared_ptr<Exchange>& ex, const std::function<bool()>& whileWaiting,
                std::chrono::steady_clock::time_point deadline) {
  std::thread worker([ex] {
    run(*ex);
    std::lock_guard<std::mutex> lock(ex->mutex);
    ex->finished = true;
    ex->done.notify_all();
  });
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(ex->mutex);
      const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      ex->done.wait_until(lock, whileWaiting ? std::min(slice, deadline) : deadline,
                          [&ex] { return ex->finished; });
      if (ex->finished) break;
    }
    if (std::chrono::steady_clock::now() >= deadline || (whileWaiting && !whileWaiting())) {
      abandon(*ex);
      worker.detach(); // it ends by itself and frees what it owns
      return false;
    }
  }
  worker.join();
  return true;
}

} // namespace

void clearCookieStore() {
  // Ends the session: the platform forgets its session cookies.
  InternetSetOptionA(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
}

Bytes httpRequest(const std::string& url, const HttpOptions& o) {
  using Clock = std::chrono::steady_clock;
  CallTexts texts(o);
  std::string& headerText = texts.headers;
  Bytes& body = texts.postBytes;
  std::string* sendCookies = o.sendCookies;

  const int method = o.method < 0 || o.method > 7 ? kHttpGet : o.method;
  const std::string scheme = asciiLower(url.substr(0, 8));
  const bool https = scheme == "https://";
  if (!https && scheme.rfind("http://", 0) != 0) return {};
  const std::string host = splitUrl(url);
  const int port = urlPort(url);
  if (!validHost(host) || port <= 0 || port > 65535) return {};
  if (o.deadline != Clock::time_point::max() && Clock::now() >= o.deadline) return {};

  auto ex = std::make_shared<Exchange>();
  ex->agent = userAgentOf(headerText);
  if (!o.proxy.empty()) ex->proxyText = https ? o.proxy : "http=" + o.proxy;
  ex->url = url;
  ex->method = method;
  ex->noRedirect = o.noRedirect;
  ex->flags = requestFlags(sendCookies != nullptr, o.noRedirect, https);
  ex->maxBody = o.maxBodyBytes;
  const HttpTimeouts timeouts = httpTimeouts();
  ex->connectMs = static_cast<DWORD>(std::max(1L, timeouts.connectMs));
  ex->idleMs = static_cast<DWORD>(std::max(1L, timeouts.idleMs));

  completeHeaderText(headerText, url, method, sendCookies ? *sendCookies : std::string());
  ex->headerText = headerText;
  if (method != kHttpGet) {
    if (body.empty()) body = bytesOfText(o.postText);
    ex->body = body;
  }

  bool finished = true;
  if (o.whileWaiting || o.deadline != Clock::time_point::max()) {
    finished = runWatched(ex, o.whileWaiting, o.deadline);
  } else {
    run(*ex);
  }
  if (!finished) {
    // The worker still owns the exchange; nothing of it is read here.
    texts.handBack(std::string(), o);
    return {};
  }

  texts.handBack(ex->headerBlock, o);
  if (ex->failed) return {};
  return std::move(ex->response);
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
