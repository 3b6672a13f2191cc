#pragma once
// Which rows of a result list a download command means: a row number ("7"), a range ("10-12"),
// a list of either joined by commas ("1-3,5,10-12"), or "all".
#include <string>
#include <utility>
#include <vector>

namespace tunova {

struct Selection {
  bool all = false;
  std::vector<std::pair<int, int>> ranges; // first and last row, 1-based, first <= last
};

// Reads a selection as typed; false with `error` (UTF-8) for anything else ("0", "01", "2-",
// "3-1", "1,,2", "-1", ""). Spaces around the parts are allowed.
bool parseSelection(const std::string& text, Selection& selection, std::string& error);

// The rows a selection chooses from a list of `rowCount` rows: 1-based, ascending, each once.
// False with `error` when it names a row the list does not have.
bool chosenRows(const Selection& selection, int rowCount, std::vector<int>& rows,
                std::string& error);

} // namespace tunova
