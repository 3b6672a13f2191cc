#include "text/codepage.h"

// The wide conversions on Linux: UTF-8 decoded here, GBK through iconv.

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace tunova {

namespace {

std::size_t zeroTerminatedLength(const std::string& text) {
  const std::size_t n = std::strlen(text.c_str());
  return n < text.size() ? n : text.size();
}

void appendUnit(Bytes& out, std::uint32_t unit) {
  out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

void appendCodePoint(Bytes& out, std::uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    appendUnit(out, 0xD800 + (cp >> 10));
    appendUnit(out, 0xDC00 + (cp & 0x3FF));
  } else {
    appendUnit(out, cp);
  }
}

// Decodes UTF-8, each maximal ill-formed subpart becoming one U+FFFD (the Unicode standard's
// recommended practice).
void utf8ToWide(const unsigned char* s, std::size_t n, Bytes& out) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      appendUnit(out, c);
      ++i;
      continue;
    }
    int need = 0;
    std::uint32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      appendUnit(out, 0xFFFD);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    int got = 0;
    while (got < need && j < n) {
      const unsigned char t = s[j];
      const unsigned char l = got == 0 ? lo : 0x80, h = got == 0 ? hi : 0xBF;
      if (t < l || t > h) break;
      cp = (cp << 6) | (t & 0x3F);
      ++j;
      ++got;
    }
    if (got == need) {
      appendCodePoint(out, cp);
    } else {
      appendUnit(out, 0xFFFD);
    }
    i = j;
  }
}

std::uint32_t unitAt(const Bytes& wide, std::size_t i) {
  return static_cast<std::uint32_t>(wide[2 * i]) |
         (static_cast<std::uint32_t>(wide[2 * i + 1]) << 8);
}

std::size_t unitCount(const Bytes& wide) {
  const std::size_t n = wide.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    if (unitAt(wide, i) == 0) return i;
  }
  return n;
}

// One converter per direction and thread: iconv_open is far dearer than a conversion.
class Iconv {
public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }

private:
  iconv_t cd_;
};

void gbkToWide(const char* s, std::size_t n, Bytes& out) {
  thread_local Iconv cv("UTF-16LE", "CP936");
  if (!cv.ok()) return;
  iconv_t cd = cv.get();
  char buf[4096];
  char* in = const_cast<char*>(s);
  std::size_t left = n;
  while (left > 0) {
    if (static_cast<unsigned char>(*in) < 0x80) { // ASCII maps one to one
      appendUnit(out, static_cast<unsigned char>(*in));
      ++in;
      --left;
      continue;
    }
    char* o = buf;
    std::size_t room = sizeof buf;
    const std::size_t r = iconv(cd, &in, &left, &o, &room);
    out.insert(out.end(), buf, o);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // A lead byte without its trail, or a pair GBK does not define: replace one byte.
      appendUnit(out, 0xFFFD);
      ++in;
      --left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

std::string wideToGbk(const Bytes& wide, std::size_t units) {
  thread_local Iconv cv("CP936", "UTF-16LE");
  std::string out;
  if (!cv.ok()) return out;
  iconv_t cd = cv.get();
  out.reserve(units);
  std::size_t i = 0;
  char buf[4096];
  while (i < units) {
    const std::uint32_t u = unitAt(wide, i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
      ++i;
      continue;
    }
    // Convert one character (a unit, or a surrogate pair) at a time so that an unrepresentable
    // one becomes exactly one default character.
    std::size_t len = 1;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const std::uint32_t v = unitAt(wide, i + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) len = 2;
    }
    char* in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(wide.data())) + 2 * i;
    std::size_t left = 2 * len;
    char* o = buf;
    std::size_t room = sizeof buf;
    const std::size_t r = iconv(cd, &in, &left, &o, &room);
    if (r == static_cast<std::size_t>(-1) || left != 0) {
      out.push_back('?');
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    } else {
      out.append(buf, o);
    }
    i += len;
  }
  return out;
}

std::string wideToUtf8(const Bytes& wide, std::size_t units) {
  std::string out;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unitAt(wide, i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const std::uint32_t v = unitAt(wide, i + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD; // a lone surrogate
    appendUtf8(out, u);
  }
  return out;
}

} // namespace

Bytes toWide(const std::string& text, int codePage) {
  Bytes out;
  if (codePage != kCodePageUtf8 && codePage != kCodePageGbk) return out;
  const std::size_t n = zeroTerminatedLength(text);
  out.reserve(2 * n + 2);
  if (codePage == kCodePageUtf8) {
    utf8ToWide(reinterpret_cast<const unsigned char*>(text.data()), n, out);
  } else {
    gbkToWide(text.data(), n, out);
  }
  appendUnit(out, 0);
  return out;
}

std::string fromWide(const Bytes& wide, int codePage) {
  if (wide.size() < 2) return std::string();
  const std::size_t units = unitCount(wide);
  if (codePage == kCodePageUtf8) return wideToUtf8(wide, units);
  if (codePage == kCodePageGbk) return wideToGbk(wide, units);
  return std::string();
}

} // namespace tunova
