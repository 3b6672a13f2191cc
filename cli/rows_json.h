#pragma once
// The rows of a result list as JSON for scripts: an array of objects with "number", "title",
// "singer", "duration" (seconds; null when the cell is not a time), "duration_text" (as the
// list shows it) and "address". UTF-8.
#include <string>
#include <vector>

namespace tunova {

// `rows` hold the list's five cells each, UTF-8.
std::string rowsJson(const std::vector<std::vector<std::string>>& rows);

// A text as a JSON string literal: quotes, backslashes and control characters escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& utf8);

// "MM:SS" (minutes may have more digits) as seconds; -1 for anything else.
long long durationSeconds(const std::string& text);

} // namespace tunova
