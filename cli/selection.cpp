#include "cli/selection.h"

#include <algorithm>
#include <cstdlib>

namespace tunova {

namespace {

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A row number: digits only, from 1 up, no leading zero; 0 for anything else.
int rowNumber(const std::string& text) {
  if (text.empty() || text.size() > 6 || text[0] == '0') return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  return std::atoi(text.c_str());
}

} // namespace

bool parseSelection(const std::string& text, Selection& selection, std::string& error) {
  selection = Selection{};
  if (trimmed(text) == "all") {
    selection.all = true;
    return true;
  }
  std::size_t at = 0;
  while (true) {
    const std::size_t comma = text.find(',', at);
    const std::string part =
        trimmed(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    const std::size_t dash = part.find('-');
    const int first = rowNumber(dash == std::string::npos ? part : part.substr(0, dash));
    const int last = dash == std::string::npos ? first : rowNumber(trimmed(part.substr(dash + 1)));
    if (first < 1 || last < 1) {
      error = "\"" + text +
              "\" is not a selection of rows (a row number as 1, 2, 3, ..., a range "
              "as 1-3, a list of them as 1-3,5,10-12, or all)";
      return false;
    }
    if (last < first) {
      error = "the range " + part + " runs backwards; write it as " + std::to_string(last) + "-" +
              std::to_string(first);
      return false;
    }
    selection.ranges.emplace_back(first, last);
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

bool chosenRows(const Selection& selection, int rowCount, std::vector<int>& rows,
                std::string& error) {
  rows.clear();
  if (selection.all) {
    for (int r = 1; r <= rowCount; ++r)
      rows.push_back(r);
    return true;
  }
  for (const auto& [first, last] : selection.ranges) {
    if (last > rowCount) {
      error = "no row " + std::to_string(first > rowCount ? first : last) + ": the query gave " +
              std::to_string(rowCount) + " rows";
      return false;
    }
    for (int r = first; r <= last; ++r)
      rows.push_back(r);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return true;
}

} // namespace tunova
