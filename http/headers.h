#pragma once
// Small text routines for header text and cookie lists.
//
// mergeCookies keeps a running cookie jar for a
// caller that passes the same cookie text on every request. All comparisons are exact bytes
// unless a routine says otherwise; "space" means the ASCII space.
#include <string>
#include <string_view>
#include <vector>

namespace tunova {

// The length a "Content-Length:" header line (any case) announces; -1 for any other line or a
// value that is not a number.
long long contentLengthOf(std::string_view line);

// Everything after the first ':' with spaces trimmed; empty without a colon.
std::string textAfterColon(const std::string& text);

// Merges the cookies a response set (`newList`) with those that were sent (`oldList`): the new
// entries in order, then the old ones whose names the new list lacks; "=deleted" entries vanish.
// Both arguments lose their spaces; `oldList` receives the merged text, which is also returned.
std::string mergeCookies(std::string& oldList, std::string& newList);

std::string cookieName(const std::string& entry);
bool containsCookieName(const std::vector<std::string>& list, const std::string& name);
std::string removeDuplicateParts(const std::string& text, const std::string& separator);

// 1-based index of the first element equal to `text`, or -1.
int indexOfText(const std::vector<std::string>& list, const std::string& text);

} // namespace tunova
