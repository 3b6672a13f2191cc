#pragma once
// httpRequest: the program's one general HTTP client call.
//
// It fetches an http:// or https:// address synchronously and returns the response body exactly
// as received (no content decoding), or an empty byte set on any failure. Around that exchange it
// completes the caller's header text with default lines, picks the user agent, follows redirects
// unless told not to (a 303, and a 301 or 302 answering a POST, go on as a GET without the body;
// an https address never follows a redirect to plain http), hands back the raw response header
// block (lines ending in CRLF, trailers left out) and collects the cookies the response sets.
// Optional in/out arguments are pointers: nullptr means "omitted", which for `sendCookies` is not
// the same as a supplied empty text (an omitted one lets the process-wide cookie store send and
// keep cookies; a supplied one switches that store off for the request).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "text/text.h"

namespace tunova {

// Request-method codes; any other value is GET.
enum HttpMethod : int {
  kHttpGet = 0,
  kHttpPost = 1,
  kHttpHead = 2,
  kHttpPut = 3,
  kHttpOptions = 4,
  kHttpDelete = 5,
  kHttpTrace = 6,
  kHttpConnect = 7,
};

inline constexpr const char* kDefaultUserAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// Request flags: which cookie store, redirect and security rules an exchange follows. The values
// are the widely published ones, so a flag set reads the same in logs of other tools.
inline constexpr std::uint32_t kFlagReload = 0x80000000u;
inline constexpr std::uint32_t kFlagNeedFile = 0x00000010u;
inline constexpr std::uint32_t kFlagNoCookies = 0x00080000u;
inline constexpr std::uint32_t kFlagNoAutoRedirect = 0x00200000u;
inline constexpr std::uint32_t kFlagSecure = 0x00800000u;
inline constexpr std::uint32_t kFlagIgnoreRedirectToHttps = 0x00004000u;

std::uint32_t requestFlags(bool cookiesSupplied, bool noRedirect, bool https);

// The verb sent for a method code, after clamping codes outside 0..7 to GET.
const char* httpVerb(int method);

// Completes the header text in place: Accept, Referer, Accept-Language, the form content type
// for POST and the Cookie line, in that order, each only where the text lacks it.
void completeHeaderText(std::string& headers, const std::string& url, int method,
                        const std::string& sendCookies);

// How redirects are taken: the method a redirect with `status` continues with (a
// 303 turns everything but HEAD into GET, a 301 or 302 turns a POST into GET, the rest keep
// theirs), and whether `location` may be followed from an address that was https or not (only
// to http:// or https://, never from https down to http).
int methodAfterRedirect(int status, int method);
bool redirectAllowed(bool fromHttps, const std::string& location);

// A redirect answer (301, 302, 303, 307, 308). Requests and downloads follow at most
// kMaxRedirects in a row.
bool isRedirectStatus(int status);
inline constexpr int kMaxRedirects = 20;

// The agent named by a User-Agent line of `headers`, or the default agent.
std::string userAgentOf(const std::string& headers);

// How long a request may wait. A server that accepts and never answers must not hold the window
// for ever: connecting may take `connectMs`, and a transfer that receives nothing for `idleMs`
// fails.
struct HttpTimeouts {
  long connectMs = 60000;
  long idleMs = 30000;
};
void setHttpTimeouts(const HttpTimeouts& timeouts);
HttpTimeouts httpTimeouts();

inline constexpr std::size_t kNoBodyLimit = 0;

// Everything a request may be given besides its address. The in/out texts are the caller's
// variables (nullptr: omitted). Beyond the classic arguments: a body larger than
// `maxBodyBytes` fails the request, and so does an exchange still unfinished at `deadline`
// (connecting, sending, redirects and a trickling body included).
struct HttpOptions {
  int method = kHttpGet;
  std::string postText;
  std::string* sendCookies = nullptr;
  std::string* returnedCookies = nullptr;
  std::string* headers = nullptr;
  std::string* returnedHeaders = nullptr;
  bool noRedirect = false;
  Bytes* postBytes = nullptr;
  std::string proxy;
  bool autoMergeCookies = true;
  std::size_t maxBodyBytes = kNoBodyLimit;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // Called tens of times a second while the exchange waits (connecting, sending, receiving);
  // returning false abandons the request, which then fails at once.
  std::function<bool()> whileWaiting;
};

Bytes httpRequest(const std::string& url, const HttpOptions& options);

// The classic positional form.
Bytes httpRequest(const std::string& url, int method = kHttpGet, const std::string& postText = {},
                  std::string* sendCookies = nullptr, std::string* returnedCookies = nullptr,
                  std::string* headers = nullptr, std::string* returnedHeaders = nullptr,
                  bool noRedirect = false, Bytes* postBytes = nullptr,
                  const std::string& proxy = {}, bool autoMergeCookies = true);

// Forgets every cookie of the process-wide store (for tests and a clean start).
void clearCookieStore();

// Waits for what requests given up at their deadline or by their waiting routine left running
// (on Windows a worker that ends soon after its handle was closed), so nothing of them outlives
// the program; hosts call it as the program ends.
void finishAbandonedRequests();

} // namespace tunova
