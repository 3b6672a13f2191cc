#include "http/url.h"

#include "http/headers.h"
#include "text/text.h"

namespace tunova {

namespace {

// The colon that starts the port in "host:port": the first one, or for a bracketed IPv6
// literal ("[::1]:8960") the first one after the closing bracket.
std::size_t portColon(const std::string& hostAndPort) {
  std::size_t from = 0;
  if (!hostAndPort.empty() && hostAndPort[0] == '[') {
    from = hostAndPort.find(']');
    if (from == std::string::npos) return std::string::npos;
  }
  return hostAndPort.find(':', from);
}

} // namespace

std::string splitUrl(const std::string& url, bool keepPort) {
  std::string s = asciiLower(url);
  if (s.empty() || s.back() != '/') s += '/';
  if (s.compare(0, 8, "https://") == 0) {
    s = textBetween(s, "https://", "/");
  } else {
    if (s.find("http://") == std::string::npos) s = "http://" + s;
    s = textBetween(s, "http://", "/");
  }
  if (!keepPort) {
    const std::size_t colon = portColon(s);
    if (colon != std::string::npos) s.resize(colon);
  }
  return s;
}

int urlPort(const std::string& url) {
  const std::string h = splitUrl(url, true);
  // The port follows the last colon; in a bracketed IPv6 literal only one after the bracket.
  std::size_t colon = h.rfind(':');
  if (!h.empty() && h[0] == '[') {
    const std::size_t bracket = h.find(']');
    if (bracket == std::string::npos || colon < bracket) colon = std::string::npos;
  }
  if (colon != std::string::npos) return textToInt(std::string_view(h).substr(colon + 1));
  return asciiLower(url.substr(0, 5)) == "https" ? 443 : 80;
}

std::string urlPath(const std::string& url) {
  const std::string h = splitUrl(url);
  // The host is looked for after the scheme's "//", so a host whose text also occurs in the
  // scheme ("h", "tp", "http") is not found there; an empty host starts the search right there,
  // so "http:///x" still gives "/x".
  const std::size_t scheme = url.find("://");
  const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t p1 = h.empty() ? std::string::npos : findNoCase(url, h, start);
  if (p1 == std::string::npos) p1 = start;
  const std::size_t p2 = url.find('/', p1);
  if (p2 != std::string::npos) return url.substr(p2);
  return "/";
}

} // namespace tunova
