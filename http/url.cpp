#include "http/url.h"

#include "http/headers.h"
#include "text/text.h"

namespace tunova {

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
    const std::size_t colon = s.find(':');
    if (colon != std::string::npos) s.resize(colon);
  }
  return s;
}

int urlPort(const std::string& url) {
  const std::string h = splitUrl(url, true);
  const std::size_t colon = h.rfind(':');
  if (colon != std::string::npos) return textToInt(std::string_view(h).substr(colon + 1));
  return asciiLower(url.substr(0, 5)) == "https" ? 443 : 80;
}

std::string urlPath(const std::string& url) {
  const std::string h = splitUrl(url);
  // An empty host would match at the very start; search past the scheme's "//" instead, so
  // "http:///x" still gives "/x".
  std::size_t p1 = h.empty() ? std::string::npos : findNoCase(url, h, 0);
  if (p1 == std::string::npos) {
    const std::size_t scheme = url.find("://");
    p1 = scheme == std::string::npos ? 0 : scheme + 3;
  }
  const std::size_t p2 = url.find('/', p1);
  if (p2 != std::string::npos) return url.substr(p2);
  return "/";
}

} // namespace tunova
