#include "text/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "text/codepage.h"

namespace tunova {

namespace {

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::size_t findNoCase(std::string_view text, std::string_view needle, std::size_t start) {
  if (needle.size() > text.size() || start > text.size() - needle.size()) {
    return needle.empty() && start <= text.size() ? start : std::string::npos;
  }
  const std::size_t last = text.size() - needle.size();
  for (std::size_t i = start; i <= last; ++i) {
    std::size_t j = 0;
    while (j < needle.size() && lowerAscii(text[i + j]) == lowerAscii(needle[j]))
      ++j;
    if (j == needle.size()) return i;
  }
  return std::string::npos;
}

std::size_t findText(std::string_view text, std::string_view needle, std::size_t start,
                     bool ignoreCase) {
  if (ignoreCase) return findNoCase(text, needle, start);
  if (start > text.size()) return std::string::npos;
  return text.find(needle, start);
}

bool containsText(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = lowerAscii(c);
  return out;
}

std::string trimSpaces(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ')
    ++b;
  while (e > b && text[e - 1] == ' ')
    --e;
  return std::string(text.substr(b, e - b));
}

namespace {

std::string replaceImpl(std::string_view text, std::string_view from, std::string_view to,
                        bool ignoreCase) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = findText(text, from, pos, ignoreCase);
    if (hit == std::string::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

} // namespace

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
  return replaceImpl(text, from, to, false);
}

std::string replaceAllNoCase(std::string_view text, std::string_view from, std::string_view to) {
  return replaceImpl(text, from, to, true);
}

std::vector<std::string> splitText(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t hit = text.find(separator, pos);
    if (hit == std::string_view::npos) {
      pieces.emplace_back(text.substr(pos));
      break;
    }
    pieces.emplace_back(text.substr(pos, hit - pos));
    pos = hit + separator.size();
  }
  return pieces;
}

std::string numberToText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0"; // also -0
  if (std::floor(value) == value) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", value);
    return buf;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string numberToText(long long value) {
  return std::to_string(value);
}

int textToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<int>::max()) {
      return negative ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    }
    ++i;
  }
  return static_cast<int>(negative ? -value : value);
}

double roundTo(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::string textOfBytes(const Bytes& bytes) {
  std::size_t n = 0;
  while (n < bytes.size() && bytes[n] != 0)
    ++n;
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

Bytes bytesOfText(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::string gbk(std::string_view utf8Literal) {
  return fromUtf8(std::string(utf8Literal));
}

namespace {

const std::string& quoteMarker() {
  static const std::string marker = gbk("#引号");
  return marker;
}

} // namespace

std::string textBetween(const std::string& text, const std::string& left, const std::string& right,
                        int start, bool ignoreCase) {
  const std::string l = replaceAll(left, quoteMarker(), "\"");
  const std::string r = replaceAll(right, quoteMarker(), "\"");
  const std::size_t from = start > 0 ? static_cast<std::size_t>(start - 1) : 0;
  const std::size_t hit = findText(text, l, from, ignoreCase);
  if (hit == std::string::npos) return std::string();
  const std::size_t p = hit + l.size();
  const std::size_t end = findText(text, r, p, ignoreCase);
  if (end == std::string::npos) return std::string();
  return text.substr(p, end - p);
}

void appendHex(std::string& out, unsigned char byte, bool lower) {
  const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 15]);
}

char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  std::size_t n;
  char32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + n > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  const char32_t least = n == 3 ? 0x800 : n == 4 ? 0x10000 : 0x80;
  if (cp < least || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    ++i;
    return 0xFFFD;
  }
  i += n;
  return cp;
}

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t start = i;
    // A U+FFFD read from the text itself is kept as it is; a broken byte becomes one.
    if (nextCodePoint(bytes, i) == 0xFFFD && i == start + 1)
      out += "\xEF\xBF\xBD";
    else
      out.append(bytes.substr(start, i - start));
  }
  return out;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (char ch : validUtf8(text)) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        out += "\\u00";
        appendHex(out, c, true);
      } else {
        out += ch;
      }
    }
  }
  out += '"';
}

} // namespace tunova
