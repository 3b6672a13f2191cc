#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "http/headers.h"
#include "http/http_request.h"

namespace tunova::fuzz {

int headers(const std::uint8_t* data, std::size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  // Three parts split at the first two NUL bytes: a header text, a cookie list, another.
  std::vector<std::string> parts(3);
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t end = i < 2 ? in.find('\0', at) : std::string::npos;
    parts[i] = in.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  (void)textBetween(parts[0], "Set-Cookie:", "\r\n");
  (void)textBetween(parts[0], parts[1], parts[2]);
  (void)textAfterColon(parts[0]);
  std::string oldList = parts[1], newList = parts[2];
  const std::string merged = mergeCookies(oldList, newList);
  (void)cookieName(parts[1]);
  (void)removeDuplicateParts(parts[0], "; ");
  (void)indexOfText(std::vector<std::string>{parts[1], parts[2]}, parts[0]);
  (void)userAgentOf(parts[0]);
  std::string headerText = parts[0];
  completeHeaderText(headerText, "http://h/" + parts[2], kHttpPost, parts[1]);
  FUZZ_CHECK(headerText.size() >= parts[0].size());
  (void)redirectAllowed(true, parts[2]);
  (void)methodAfterRedirect(static_cast<int>(size), static_cast<int>(parts[0].size() % 9));
  return 0;
}

} // namespace tunova::fuzz
