#include "text/codepage.h"

// What both platforms share: UTF-8 encoding of one code point, the GBK/UTF-8 pair built on the
// wide conversions, and the percent-encoding.

namespace tunova {

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string toUtf8(const std::string& gbkText) {
  return fromWide(toWide(gbkText, kCodePageGbk), kCodePageUtf8);
}

std::string fromUtf8(const std::string& utf8Text) {
  return fromWide(toWide(utf8Text), kCodePageGbk);
}

std::string urlEncode(const std::string& gbkText) {
  if (gbkText.empty()) return std::string();
  const std::string utf8 = toUtf8(gbkText);
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    out.push_back('%');
    appendHex(out, c);
  }
  return out;
}

} // namespace tunova
