#include "http/http_request.h"

#include "http/curl_lazy.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "http/curl_handles.h"
#include "http/curl_options.h"
#include "http/headers.h"
#include "http/request_parts.h"
#include "http/url.h"

// httpRequest on libcurl.

namespace tunova {

namespace {

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

void ensureCurl() {
  static CurlGlobal global;
}

// The process-wide cookie store: every request made without `sendCookies` reads and writes
// it, so cookies set by one answer go with the next request to that site.
class CookieStore {
public:
  CookieStore() {
    ensureCurl();
    share_.reset(curl_share_init());
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &CookieStore::lock);
    curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &CookieStore::unlock);
    curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this);
  }
  CURLSH* share() { return share_.get(); }
  void clear() {
    const EasyHandle easy(curl_easy_init());
    if (!easy) return;
    curl_easy_setopt(easy.get(), CURLOPT_SHARE, share_.get());
    curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, "ALL");
  }

private:
  static void lock(CURL*, curl_lock_data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->mutex_.lock();
  }
  static void unlock(CURL*, curl_lock_data, void* self) {
    static_cast<CookieStore*>(self)->mutex_.unlock();
  }
  ShareHandle share_;
  std::mutex mutex_;
};

CookieStore& cookieStore() {
  static CookieStore* store = new CookieStore(); // lives until the process ends
  return *store;
}

// One transfer of `c`. With a `whileWaiting` routine the transfer runs on a multi handle that
// polls the sockets in short slices, so the routine runs between them (tens of times a second
// whatever the network does); its false answer abandons the transfer.
CURLcode perform(CURL* c, const std::function<bool()>& whileWaiting) {
  if (!whileWaiting) return curl_easy_perform(c);
  MultiHandle multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) result = msg->data.result;
      }
      break;
    }
    if (!whileWaiting()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(multi.get(), nullptr, 0, 30, nullptr);
  }
  curl_multi_remove_handle(multi.get(), c);
  return result;
}

struct Exchange {
  Bytes body;
  std::string headerBlock;
  bool headersDone = false; // the blank line has come: what follows is trailers
  std::size_t maxBody = kNoBodyLimit;
  bool overLimit = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  const size_t n = size * count;
  if (ex->maxBody != kNoBodyLimit && ex->body.size() + n > ex->maxBody) {
    ex->overLimit = true;
    return 0; // aborts the transfer
  }
  ex->body.insert(ex->body.end(), data, data + n);
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  const size_t n = size * count;
  // A new status line starts the block of the next response (after an interim 100 answer):
  // only the final response's block is handed back. Lines after the blank line are chunked
  // trailers, not headers. Every line ends in CRLF, also when the server sent a bare LF.
  std::string_view line(data, n);
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    ex->headerBlock.clear();
    ex->headersDone = false;
  } else if (ex->headersDone) {
    return n;
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.empty()) ex->headersDone = true;
  ex->headerBlock.append(line);
  ex->headerBlock.append("\r\n");
  // Room for the announced body at once, so a large body is not copied while it grows. A
  // hostile length reserves no more than the limit (or 64 MiB without one).
  if (const long long announced = contentLengthOf(std::string_view(data, n)); announced >= 0) {
    const auto length = static_cast<std::size_t>(announced);
    const std::size_t cap = ex->maxBody != kNoBodyLimit ? ex->maxBody : std::size_t{64} << 20;
    ex->body.reserve(std::min(length, cap));
  }
  return n;
}

} // namespace

void clearCookieStore() {
  cookieStore().clear();
}

Bytes httpRequest(const std::string& url, const HttpOptions& o) {
  using Clock = std::chrono::steady_clock;
  ensureCurl();
  CallTexts texts(o);
  std::string& headerText = texts.headers;
  Bytes& body = texts.postBytes;
  std::string* sendCookies = o.sendCookies;

  // Defaults, scheme and agent.
  int method = o.method < 0 || o.method > 7 ? kHttpGet : o.method;
  const bool https = asciiLower(url.substr(0, 8)) == "https://";
  const std::string agent = userAgentOf(headerText);

  // One easy handle carries the whole exchange; an address that names no usable host ends the
  // call before anything is changed.
  EasyHandle easy(curl_easy_init());
  if (!easy) return {};
  const std::string host = splitUrl(url);
  const int port = urlPort(url);
  if (!validHost(host) || port <= 0 || port > 65535) return {};
  const std::uint32_t flags = requestFlags(sendCookies != nullptr, o.noRedirect, https);
  const std::string target = requestTarget(urlPath(url));
  std::string address =
      std::string(https ? "https://" : "http://") + host + ":" + std::to_string(port) + target;

  // The header text, completed in place.
  completeHeaderText(headerText, url, method, sendCookies ? *sendCookies : std::string());

  CURL* c = easy.get();
  Exchange ex;
  ex.maxBody = o.maxBodyBytes;
  setCommonOptions(c);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
  // Redirects are followed here, one at a time, so the method and the scheme follow our rules
  // (methodAfterRedirect, redirectAllowed) rather than the library's.
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (httpTimeouts().idleMs + 999) / 1000));
  curl_easy_setopt(c, CURLOPT_PROXY, o.proxy.c_str()); // empty: direct, whatever the environment
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &ex);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &ex);
  // Read in 64 KiB pieces: each is copied into the body while it is still in the cache.
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 64L * 1024);
  if (!(flags & kFlagNoCookies)) {
    curl_easy_setopt(c, CURLOPT_SHARE, cookieStore().share());
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
  }

  // The header text goes out as its own lines; curl adds only Host (and Content-Length for a
  // body). Its defaults for Expect and the form content type are switched off, so a PUT never
  // gets a content type the caller did not write.
  HeaderList lines;
  auto addLine = [&lines](const std::string& line) {
    curl_slist* next = curl_slist_append(lines.get(), line.c_str());
    if (next) {
      lines.release();
      lines.reset(next);
    }
  };
  for (const std::string& line : splitText(headerText, "\r\n")) {
    if (!line.empty()) addLine(line);
  }
  addLine("Expect:");
  if (findNoCase(headerText, "Content-Type:") == std::string::npos) addLine("Content-Type:");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, lines.get());

  // The send. GET never carries a body; the other methods send postBytes, filled from postText
  // when empty.
  const auto setMethod = [c, &body](int m) {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
    if (m == kHttpGet) {
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (m == kHttpHead) {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDS,
                       body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      if (m != kHttpPost) curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, httpVerb(m));
    }
  };
  if (method != kHttpGet && body.empty()) body = bytesOfText(o.postText);
  setMethod(method);

  // The exchange, and each redirect the answer asks for.
  bool failed = false;
  for (int hop = 0;; ++hop) {
    long remainingMs = 0;
    if (o.deadline != Clock::time_point::max()) {
      remainingMs = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(o.deadline - Clock::now()).count());
      if (remainingMs <= 0) {
        failed = true;
        break;
      }
    }
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, remainingMs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     remainingMs > 0 ? std::min(remainingMs, httpTimeouts().connectMs)
                                     : httpTimeouts().connectMs);
    curl_easy_setopt(c, CURLOPT_URL, address.c_str());
    ex.body.clear();
    ex.headerBlock.clear();
    ex.headersDone = false;
    const CURLcode rc = perform(c, o.whileWaiting);
    if (rc != CURLE_OK || ex.overLimit) {
      failed = true;
      break;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    char* next = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &next);
    const bool redirect =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (!redirect || !next || (flags & kFlagNoAutoRedirect)) break;
    const std::string location = next;
    const bool fromHttps = asciiLower(address.substr(0, 8)) == "https://";
    if (hop >= 20 || !redirectAllowed(fromHttps, location)) {
      failed = true;
      break;
    }
    if (const int after = methodAfterRedirect(static_cast<int>(status), method); after != method) {
      method = after;
      setMethod(method);
    }
    address = location;
  }

  // The header block and cookies; the handles close when `easy` and `lines` go out of scope.
  texts.handBack(ex.headerBlock, o);

  if (failed) return {};
  return std::move(ex.body);
}

} // namespace tunova
