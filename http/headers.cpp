#include "http/headers.h"

#include "text/text.h"

namespace tunova {

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void dropTail(std::string& text, std::size_t n) {
  text.resize(text.size() > n ? text.size() - n : 0);
}

} // namespace

long long contentLengthOf(std::string_view line) {
  static constexpr std::string_view kName = "content-length:";
  if (findNoCase(line, kName) != 0) return -1;
  std::size_t at = kName.size();
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
    ++at;
  long long value = 0;
  std::size_t digits = 0;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 18; ++at, ++digits)
    value = value * 10 + (line[at] - '0');
  return digits == 0 ? -1 : value;
}

std::string textAfterColon(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::string();
  return trimSpaces(std::string_view(text).substr(colon + 1));
}

std::string cookieName(const std::string& entry) {
  const std::size_t eq = entry.find('=');
  return trimSpaces(eq == std::string::npos ? std::string_view(entry)
                                            : std::string_view(entry).substr(0, eq));
}

bool containsCookieName(const std::vector<std::string>& list, const std::string& name) {
  for (const std::string& entry : list) {
    if (cookieName(entry) == name) return true;
  }
  return false;
}

int indexOfText(const std::vector<std::string>& list, const std::string& text) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == text) return static_cast<int>(i) + 1;
  }
  return -1;
}

std::string removeDuplicateParts(const std::string& text, const std::string& separator) {
  std::vector<std::string> taken;
  std::string result;
  for (const std::string& piece : splitText(text, separator)) {
    if (indexOfText(taken, piece) == -1) {
      taken.push_back(piece);
      result += piece;
      result += separator;
    }
  }
  dropTail(result, separator.size());
  return result;
}

std::string mergeCookies(std::string& oldList, std::string& newList) {
  oldList = replaceAll(oldList, " ", "");
  newList = replaceAll(newList, " ", "");
  // Empty pieces (";;" or a leading ";") name no cookie, so they are not entries.
  auto entries = [](const std::string& list) {
    std::vector<std::string> out;
    for (std::string& piece : splitText(list, ";")) {
      if (!piece.empty()) out.push_back(std::move(piece));
    }
    return out;
  };
  const std::vector<std::string> a = entries(oldList);
  std::vector<std::string> b = entries(newList);
  for (const std::string& entry : a) {
    if (!containsCookieName(b, cookieName(entry))) b.push_back(entry);
  }
  oldList.clear();
  static const std::string deleted = "=deleted";
  for (const std::string& entry : b) {
    if (!endsWith(entry, deleted)) {
      oldList += entry;
      oldList += "; ";
    }
  }
  dropTail(oldList, 2);
  oldList = removeDuplicateParts(oldList, "; ");
  return oldList;
}

} // namespace tunova
