#include "text/codepage.h"

#include <windows.h>

#include <cstring>
#include <vector>

// The wide conversions on Windows: the platform's own MultiByteToWideChar and
// WideCharToMultiByte with flags 0, so unrepresentable characters become the code page's default
// character and malformed input is replaced, as the platform does it everywhere else.

namespace tunova {

Bytes toWide(const std::string& text, int codePage) {
  if (codePage != kCodePageUtf8 && codePage != kCodePageGbk) return {};
  const UINT cp = static_cast<UINT>(codePage);
  // Length -1: up to the first zero byte, the terminator counted.
  const int n = MultiByteToWideChar(cp, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::vector<wchar_t> units(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, text.c_str(), -1, units.data(), n);
  Bytes out(units.size() * 2);
  std::memcpy(out.data(), units.data(), out.size());
  return out;
}

std::string fromWide(const Bytes& wide, int codePage) {
  if (wide.size() < 2) return std::string();
  if (codePage != kCodePageUtf8 && codePage != kCodePageGbk) return std::string();
  // The units up to the first zero one, in an aligned buffer that is surely terminated (a
  // sequence from elsewhere may lack its zero unit).
  std::vector<wchar_t> units(wide.size() / 2 + 1, L'\0');
  std::memcpy(units.data(), wide.data(), (wide.size() / 2) * 2);
  const UINT cp = static_cast<UINT>(codePage);
  const int m = WideCharToMultiByte(cp, 0, units.data(), -1, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return std::string();
  std::string buffer(2 * static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(cp, 0, units.data(), -1, buffer.data(), 2 * m, nullptr, nullptr);
  return std::string(buffer.c_str());
}

} // namespace tunova
