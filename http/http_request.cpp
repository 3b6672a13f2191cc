#include "http/http_request.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "http/exchange.h"
#include "http/headers.h"
#include "http/request_parts.h"
#include "http/url.h"

// httpRequest itself: the header text, the flags, the checks an address passes before anything
// is sent, the redirect loop and its rules, the cookies an answer sets. Each platform carries
// only the exchange of one hop (exchange.h).

namespace tunova {

namespace {

std::atomic<long> g_connectMs{60000};
std::atomic<long> g_idleMs{30000};

} // namespace

// Bytes a request line cannot carry raw are percent-encoded; everything else passes unchanged.
std::string requestTarget(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
        c == '`' || c == '{' || c == '|' || c == '}') {
      out.push_back('%');
      appendHex(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool validHost(const std::string& host) {
  if (host.empty()) return false;
  if (host[0] == '[') { // an IPv6 literal: hex digits, colons and dots inside the brackets
    if (host.size() < 4 || host.back() != ']') return false;
    for (std::size_t i = 1; i + 1 < host.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(host[i]);
      if (!std::isxdigit(c) && c != ':' && c != '.') return false;
    }
    return true;
  }
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

CallTexts::CallTexts(const HttpOptions& o)
    : headers(o.headers ? *o.headers : ownHeaders_),
      returnedHeaders(o.returnedHeaders ? *o.returnedHeaders : ownReturnedHeaders_),
      returnedCookies(o.returnedCookies ? *o.returnedCookies : ownReturnedCookies_),
      postBytes(o.postBytes ? *o.postBytes : ownPostBytes_) {}

void CallTexts::handBack(const std::string& headerBlock, const HttpOptions& o) {
  // Callers size their handling for header blocks smaller than the platform's buffer.
  returnedHeaders = headerBlock.size() < kHeaderBufferSize ? headerBlock : std::string();
  returnedHeaders = replaceAllNoCase(returnedHeaders, "Set-Cookie", "Set-Cookie");
  returnedCookies = collectCookies(returnedHeaders);
  if (o.autoMergeCookies && o.sendCookies)
    returnedCookies = mergeCookies(*o.sendCookies, returnedCookies);
}

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

int methodAfterRedirect(int status, int method) {
  if (status == 303) return method == kHttpHead ? kHttpHead : kHttpGet;
  if ((status == 301 || status == 302) && method == kHttpPost) return kHttpGet;
  return method;
}

bool redirectAllowed(bool fromHttps, const std::string& location) {
  const std::string scheme = asciiLower(location.substr(0, 8));
  if (scheme.rfind("https://", 0) == 0) return true;
  return scheme.rfind("http://", 0) == 0 && !fromHttps;
}

std::string userAgentOf(const std::string& headers) {
  if (findNoCase(headers, "User-Agent:") == std::string::npos) return kDefaultUserAgent;
  std::string agent = trimSpaces(textBetween(headers + "\r\n", "User-Agent:", "\r\n"));
  if (agent.empty()) {
    // Another letter case: the value of that line, up to its end.
    const std::size_t at = findNoCase(headers, "User-Agent:") + 11;
    agent = trimSpaces(headers.substr(at, headers.find_first_of("\r\n", at) - at));
  }
  // An agent is one line: nothing after a line break reaches the User-Agent line.
  agent.resize(std::min(agent.size(), agent.find_first_of("\r\n")));
  agent = trimSpaces(agent);
  return agent.empty() ? std::string(kDefaultUserAgent) : agent;
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

bool BodyCollector::expect(long long length) {
  if (length < 0) return true;
  const auto announced = static_cast<unsigned long long>(length);
  if (max_ != kNoBodyLimit && announced > max_) {
    over_ = true;
    return false;
  }
  const std::size_t cap = max_ != kNoBodyLimit ? max_ : std::size_t{64} << 20;
  body_.reserve(static_cast<std::size_t>(std::min<unsigned long long>(announced, cap)));
  return true;
}

bool BodyCollector::add(const char* data, std::size_t n) {
  if (max_ != kNoBodyLimit && body_.size() + n > max_) {
    over_ = true;
    return false;
  }
  body_.insert(body_.end(), data, data + n);
  return true;
}

std::string hopAddress(const Hop& hop) {
  return std::string(hop.https ? "https://" : "http://") + hop.host + ":" +
         std::to_string(hop.port) + hop.target;
}

void clearCookieStore() {
  forgetStoredCookies();
}

void finishAbandonedRequests() {
  endAbandonedExchanges();
}

namespace {

// The address cut into a hop; false for one that names no usable host or port, or a scheme
// other than http and https.
bool hopOf(const std::string& address, int method, const Bytes& body, Hop& hop) {
  const std::string scheme = asciiLower(address.substr(0, 8));
  hop.https = scheme == "https://";
  if (!hop.https && scheme.rfind("http://", 0) != 0) return false;
  hop.host = splitUrl(address);
  hop.port = urlPort(address);
  if (!validHost(hop.host) || hop.port <= 0 || hop.port > 65535) return false;
  hop.target = requestTarget(urlPath(address));
  hop.method = method;
  hop.body = method != kHttpGet && method != kHttpHead ? &body : nullptr;
  return true;
}

} // namespace

Bytes httpRequest(const std::string& url, const HttpOptions& o) {
  using Clock = std::chrono::steady_clock;
  CallTexts texts(o);
  std::string& headerText = texts.headers;
  Bytes& body = texts.postBytes;
  const std::string* sendCookies = o.sendCookies;

  // An address that names no usable host ends the call before anything is changed.
  int method = o.method < 0 || o.method > 7 ? kHttpGet : o.method;
  Hop hop;
  if (!hopOf(url, method, body, hop)) return {};
  if (o.deadline != Clock::time_point::max() && Clock::now() >= o.deadline) return {};

  ExchangeSetup setup;
  setup.agent = userAgentOf(headerText);
  setup.proxy = o.proxy;
  setup.useCookieStore = sendCookies == nullptr;
  setup.maxBodyBytes = o.maxBodyBytes;
  const HttpTimeouts timeouts = httpTimeouts();
  setup.connectMs = std::max(1L, timeouts.connectMs);
  setup.idleMs = std::max(1L, timeouts.idleMs);
  setup.deadline = o.deadline;
  setup.whileWaiting = o.whileWaiting;
  setup.followRedirects = !o.noRedirect;

  // The header text, completed in place. GET never carries a body; the other methods send
  // postBytes, filled from postText when empty.
  completeHeaderText(headerText, url, method, sendCookies ? *sendCookies : std::string());
  setup.headerText = headerText;
  if (method != kHttpGet && body.empty()) body = bytesOfText(o.postText);

  // The exchange, and each redirect the answer asks for: one at a time, so the method and the
  // scheme follow our rules rather than a library's.
  const std::unique_ptr<Exchange> exchange = openExchange(setup);
  HopAnswer answer;
  bool failed = !exchange;
  for (int hops = 0; exchange; ++hops) {
    answer = exchange->send(hop);
    if (answer.failed) {
      failed = true;
      break;
    }
    if (!isRedirectStatus(answer.status) || answer.location.empty() || o.noRedirect) break;
    if (hops >= kMaxRedirects || !redirectAllowed(hop.https, answer.location) ||
        (o.deadline != Clock::time_point::max() && Clock::now() >= o.deadline)) {
      failed = true;
      break;
    }
    method = methodAfterRedirect(answer.status, method);
    if (!hopOf(answer.location, method, body, hop)) {
      failed = true;
      break;
    }
  }

  texts.handBack(answer.headerBlock, o);
  if (failed) return {};
  return std::move(answer.body);
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

Bytes httpRequest(const std::string& url, int method, const std::string& postText,
                  std::string* sendCookies, std::string* returnedCookies, std::string* headers,
                  std::string* returnedHeaders, bool noRedirect, Bytes* postBytes,
                  const std::string& proxy, bool autoMergeCookies) {
  HttpOptions o;
  o.method = method;
  o.postText = postText;
  o.sendCookies = sendCookies;
  o.returnedCookies = returnedCookies;
  o.headers = headers;
  o.returnedHeaders = returnedHeaders;
  o.noRedirect = noRedirect;
  o.postBytes = postBytes;
  o.proxy = proxy;
  o.autoMergeCookies = autoMergeCookies;
  return httpRequest(url, o);
}

} // namespace tunova
