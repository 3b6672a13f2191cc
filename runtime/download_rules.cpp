#include "runtime/download_rules.h"

#include <cctype>
#include <cstdlib>

#include "text/text.h"

namespace tunova {

bool allowedScheme(const std::string& url) {
  const std::string lower = asciiLower(url.substr(0, 8));
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

bool plainlyNotAudio(const std::string& contentType, const std::string& head) {
  const std::string type = asciiLower(contentType);
  if (type.rfind("text/", 0) == 0 || type.find("json") != std::string::npos ||
      type.find("html") != std::string::npos || type.find("xml") != std::string::npos) {
    return true;
  }
  for (char c : head) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    return c == '<' || c == '{' || c == '[';
  }
  return false;
}

void parseContentRange(const std::string& value, long long& start, long long& total) {
  start = total = -1;
  std::size_t i = findNoCase(value, "bytes");
  if (i == std::string::npos) return;
  i += 5;
  while (i < value.size() && value[i] == ' ')
    ++i;
  if (i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])))
    start = std::strtoll(value.c_str() + i, nullptr, 10);
  const std::size_t slash = value.find('/', i);
  if (slash != std::string::npos && slash + 1 < value.size() &&
      std::isdigit(static_cast<unsigned char>(value[slash + 1]))) {
    total = std::strtoll(value.c_str() + slash + 1, nullptr, 10);
  }
}

} // namespace tunova
