#include "http/http_request.h"

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "http/headers.h"
#include "http/url.h"

namespace tunova {

namespace {

std::atomic<long> g_connectMs{60000};
std::atomic<long> g_idleMs{30000};

constexpr std::size_t kHeaderBufferSize = 5000;

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

void ensureCurl() {
  static CurlGlobal global;
}

// The process-wide cookie store that stands in for the platform's own: every request made
// without `sendCookies` reads and writes it.
class CookieStore {
public:
  CookieStore() {
    ensureCurl();
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CookieStore::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CookieStore::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  }
  CURLSH* share() { return share_; }
  void clear() {
    CURL* easy = curl_easy_init();
    if (!easy) return;
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, "ALL");
    curl_easy_cleanup(easy);
  }

private:
  static void lock(CURL*, curl_lock_data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->mutex_.lock();
  }
  static void unlock(CURL*, curl_lock_data, void* self) {
    static_cast<CookieStore*>(self)->mutex_.unlock();
  }
  CURLSH* share_ = nullptr;
  std::mutex mutex_;
};

CookieStore& cookieStore() {
  static CookieStore* store = new CookieStore(); // lives until the process ends
  return *store;
}

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Exchange {
  Bytes body;
  std::string headerBlock;
  std::size_t maxBody = kNoBodyLimit;
  bool overLimit = false;
};

// A large body is written into fresh memory; huge pages spare most of the page faults that
// writing it would otherwise cost (a hint only: without them nothing changes).
void adviseLargeBuffer(Bytes& body) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  if (body.capacity() < 4 * kHuge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(body.data());
  const std::uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (begin + body.capacity()) & ~(kHuge - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

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
  // A new status line starts the block of the next response (after a redirect or an interim
  // 100 answer): only the final response's block is handed back.
  if (n >= 5 && std::string_view(data, 5) == "HTTP/") ex->headerBlock.clear();
  ex->headerBlock.append(data, n);
  // Room for the announced body at once, so a large body is not copied while it grows. A
  // hostile length reserves no more than the limit (or 64 MiB without one).
  if (n > 15 && findNoCase(std::string_view(data, n), "content-length:") == 0) {
    std::size_t length = static_cast<std::size_t>(std::strtoull(data + 15, nullptr, 10));
    const std::size_t cap = ex->maxBody != kNoBodyLimit ? ex->maxBody : std::size_t{64} << 20;
    ex->body.reserve(std::min(length, cap));
    adviseLargeBuffer(ex->body);
  }
  return n;
}

// Bytes a request line cannot carry raw are percent-encoded; everything else passes unchanged.
std::string requestTarget(const std::string& path) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
        c == '`' || c == '{' || c == '|' || c == '}') {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool validHost(const std::string& host) {
  if (host.empty()) return false;
  for (unsigned char c : host) {
    if (c <= 0x20 || c >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\') {
      return false;
    }
  }
  return true;
}

std::string collectCookies(const std::string& returnedHeaders) {
  std::string cookies;
  for (const std::string& piece : splitText(returnedHeaders, "\r\n")) {
    if (piece.find("Set-Cookie") == std::string::npos) continue;
    std::string value;
    if (piece.find(';') != std::string::npos) {
      value = trimSpaces(textBetween(piece, "Set-Cookie:", ";"));
    } else {
      value = trimSpaces(replaceAllNoCase(piece, "Set-Cookie:", ""));
    }
    cookies += value;
    cookies += "; ";
  }
  cookies.resize(cookies.size() >= 2 ? cookies.size() - 2 : 0);
  return cookies;
}

} // namespace

std::uint32_t requestFlags(bool cookiesSupplied, bool noRedirect, bool https) {
  std::uint32_t flags = kFlagReload | kFlagNeedFile;
  if (cookiesSupplied) flags |= kFlagNoCookies;
  if (noRedirect) flags |= kFlagNoAutoRedirect;
  flags |= https ? kFlagSecure : kFlagIgnoreRedirectToHttps;
  return flags;
}

const char* httpVerb(int method) {
  static const char* const verbs[] = {"GET",     "POST",   "HEAD",  "PUT",
                                      "OPTIONS", "DELETE", "TRACE", "CONNECT"};
  if (method < 0 || method > 7) method = 0;
  return verbs[method];
}

std::string userAgentOf(const std::string& headers) {
  if (findNoCase(headers, "User-Agent:") == std::string::npos) return kDefaultUserAgent;
  std::string agent = trimSpaces(textBetween(headers + "\r\n", "User-Agent:", "\r\n"));
  if (agent.empty()) agent = textAfterColon(headers);
  return agent;
}

void completeHeaderText(std::string& headers, const std::string& url, int method,
                        const std::string& sendCookies) {
  if (headers.empty()) {
    headers = "Accept: */*";
  } else if (!containsText(headers, "Accept:")) {
    headers += "\r\nAccept: */*";
  }
  if (!containsText(headers, "Referer:")) headers += "\r\nReferer: " + url;
  if (!containsText(headers, "Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
  if (method == kHttpPost && !containsText(headers, "Content-Type:")) {
    headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  }
  if (!sendCookies.empty()) {
    if (!containsText(sendCookies, "Cookie:")) {
      headers += "\r\nCookie: " + sendCookies;
    } else {
      headers += "\r\n" + sendCookies;
    }
  }
}

void setHttpTimeouts(const HttpTimeouts& timeouts) {
  g_connectMs = timeouts.connectMs;
  g_idleMs = timeouts.idleMs;
}

HttpTimeouts httpTimeouts() {
  return HttpTimeouts{g_connectMs.load(), g_idleMs.load()};
}

void clearCookieStore() {
  cookieStore().clear();
}

Bytes httpRequest(const std::string& url, int method, const std::string& postText,
                  std::string* sendCookies, std::string* returnedCookies, std::string* headers,
                  std::string* returnedHeaders, bool noRedirect, Bytes* postBytes,
                  const std::string& proxy, bool autoMergeCookies, std::size_t maxBodyBytes) {
  ensureCurl();
  std::string localHeaders, localReturnedHeaders, localReturnedCookies;
  Bytes localPostBytes;
  std::string& headerText = headers ? *headers : localHeaders;
  std::string& responseHeaders = returnedHeaders ? *returnedHeaders : localReturnedHeaders;
  std::string& cookiesOut = returnedCookies ? *returnedCookies : localReturnedCookies;
  Bytes& body = postBytes ? *postBytes : localPostBytes;

  // 1-3: defaults, scheme and agent.
  if (method < 0 || method > 7) method = kHttpGet;
  const bool https = asciiLower(url.substr(0, 8)) == "https://";
  const std::string agent = userAgentOf(headerText);

  // 4-7: the platform opens a session, a connection and a request; here one easy handle stands
  // for the three, and a host we could not connect to ends the call before anything is changed.
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return {};
  const std::string host = splitUrl(url);
  const int port = urlPort(url);
  if (!validHost(host) || port <= 0 || port > 65535) return {};
  const std::uint32_t flags = requestFlags(sendCookies != nullptr, noRedirect, https);
  const std::string target = requestTarget(urlPath(url));
  const std::string address = std::string(https ? "https://" : "http://") +
                              (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(port) + target;

  // 8: the header text, completed in place.
  completeHeaderText(headerText, url, method, sendCookies ? *sendCookies : std::string());

  CURL* c = easy.get();
  Exchange ex;
  ex.maxBody = maxBodyBytes;
  curl_easy_setopt(c, CURLOPT_URL, address.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, (flags & kFlagNoAutoRedirect) ? 0L : 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, g_connectMs.load());
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (g_idleMs.load() + 999) / 1000));
  curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str()); // empty: direct, whatever the environment
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &ex);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &ex);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 1024L * 1024);
  if (!(flags & kFlagNoCookies)) {
    curl_easy_setopt(c, CURLOPT_SHARE, cookieStore().share());
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
  }

  // The header text goes out as its own lines; curl adds only Host (and Content-Length for a
  // body). Its defaults for Expect and the form content type are switched off, so a PUT never
  // gets a content type the caller did not write.
  std::unique_ptr<curl_slist, ListDeleter> lines;
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

  // 9: the send. GET never carries a body; the other methods send postBytes, filled from
  // postText when empty.
  if (method == kHttpGet) {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    if (body.empty()) body = bytesOfText(postText);
    if (method == kHttpHead) {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDS,
                       body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      if (method != kHttpPost) curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, httpVerb(method));
      // A redirect keeps the verb the caller asked for.
      curl_easy_setopt(c, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    }
  }

  // 10: the body.
  const CURLcode rc = curl_easy_perform(c);
  const bool failed = rc != CURLE_OK || ex.overLimit;

  // 11: the response header block, with the cookie header names normalised. A block the
  // platform's 5000-byte buffer could not hold gives an empty text.
  responseHeaders = ex.headerBlock.size() < kHeaderBufferSize ? ex.headerBlock : std::string();
  responseHeaders = replaceAllNoCase(responseHeaders, "Set-Cookie", "Set-Cookie");

  // 12: closing happens when `easy` and `lines` go out of scope.
  // 13-15: cookies.
  cookiesOut = collectCookies(responseHeaders);
  if (autoMergeCookies && sendCookies) cookiesOut = mergeCookies(*sendCookies, cookiesOut);

  // 16
  if (failed) return {};
  return std::move(ex.body);
}

} // namespace tunova
