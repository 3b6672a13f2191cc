#pragma once
// The addresses the program fetches, plays or hands on: http:// and https:// (any letter case).
// Anything else (file://, ftp://, a bare path) could reach the user's own files or other
// services, so it is refused wherever an address from the catalogue is used.
#include <string>

#include "text/text.h"

namespace tunova {

inline bool fetchableAddress(const std::string& url) {
  const std::string lower = asciiLower(url.substr(0, 8));
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

} // namespace tunova
