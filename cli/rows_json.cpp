#include "cli/rows_json.h"

#include "text/text.h"

namespace tunova {

std::string jsonString(const std::string& utf8) {
  std::string out;
  appendJsonString(out, utf8);
  return out;
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
