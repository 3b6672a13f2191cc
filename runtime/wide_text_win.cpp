#include "runtime/wide_text.h"

#include <cstring>

#include "text/codepage.h"

namespace tunova {

std::wstring wideOf(const std::string& gbkText) {
  const Bytes wide = toWide(gbkText, kCodePageGbk);
  std::wstring out(wide.size() / 2, L'\0');
  std::memcpy(out.data(), wide.data(), out.size() * 2);
  while (!out.empty() && out.back() == L'\0')
    out.pop_back();
  return out;
}

std::string gbkOf(const std::wstring& text) {
  Bytes wide((text.size() + 1) * 2, 0);
  std::memcpy(wide.data(), text.c_str(), text.size() * 2);
  return fromWide(wide, kCodePageGbk);
}

} // namespace tunova
