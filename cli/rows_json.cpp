#include "cli/rows_json.h"

#include <cstdio>

namespace tunova {

namespace {

// The length of the valid UTF-8 sequence at `i`, or 0 when the bytes there are not one.
std::size_t sequenceAt(const std::string& s, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  char32_t cp;
  if (c < 0x80) return 1;
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
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  const char32_t least = n == 3 ? 0x800 : n == 4 ? 0x10000 : 0x80;
  if (cp < least || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

} // namespace

std::string jsonString(const std::string& utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t n = sequenceAt(utf8, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(utf8, i, n);
    }
    i += n;
  }
  return out + "\"";
}

long long durationSeconds(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 9 || text.size() != colon + 3) return -1;
  long long minutes = 0;
  for (std::size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    minutes = minutes * 10 + (text[i] - '0');
  }
  const char a = text[colon + 1], b = text[colon + 2];
  if (a < '0' || a > '5' || b < '0' || b > '9') return -1;
  return minutes * 60 + (a - '0') * 10 + (b - '0');
}

std::string rowsJson(const std::vector<std::vector<std::string>>& rows) {
  std::string out = "[";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<std::string>& row = rows[r];
    auto cell = [&row](std::size_t c) { return c < row.size() ? row[c] : std::string(); };
    const long long seconds = durationSeconds(cell(3));
    out += r ? ",\n " : "\n ";
    out += "{\"number\": " + std::to_string(r + 1) + ", \"title\": " + jsonString(cell(1)) +
           ", \"singer\": " + jsonString(cell(2)) +
           ", \"duration\": " + (seconds < 0 ? std::string("null") : std::to_string(seconds)) +
           ", \"duration_text\": " + jsonString(cell(3)) + ", \"address\": " + jsonString(cell(4)) +
           "}";
  }
  return out + (rows.empty() ? "]" : "\n]");
}

} // namespace tunova
