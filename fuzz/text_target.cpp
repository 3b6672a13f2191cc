#include <string>

#include "fuzz/targets.h"
#include "text/codepage.h"
#include "text/text.h"

namespace tunova::fuzz {

int text(const std::uint8_t* data, std::size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  // The first half is the text, the second a needle or separator.
  const std::string a = in.substr(0, size / 2), b = in.substr(size / 2, 8);
  (void)findNoCase(a, b);
  (void)containsText(a, b);
  FUZZ_CHECK(asciiLower(a).size() == a.size());
  const std::string trimmed = trimSpaces(a);
  FUZZ_CHECK(trimmed.size() <= a.size());
  if (!b.empty()) {
    FUZZ_CHECK(replaceAll(a, b, b) == a);
    const std::vector<std::string> pieces = splitText(a, b);
    std::size_t total = 0;
    for (const std::string& p : pieces)
      total += p.size();
    FUZZ_CHECK(total <= a.size());
  }
  (void)replaceAllNoCase(a, b, "x");
  (void)textToInt(a);
  (void)numberToText(static_cast<long long>(textToInt(a)));
  (void)textOfBytes(bytesOfText(a));

  // Code pages: every conversion accepts any bytes; GBK that came from UTF-8 goes back to the
  // same UTF-8 when the UTF-8 was valid.
  const std::string utf8 = toUtf8(a);
  const std::string back = fromUtf8(utf8);
  FUZZ_CHECK(toUtf8(back) == utf8 || utf8.find('?') != std::string::npos ||
             back.find('?') != std::string::npos);
  for (int codePage : {kCodePageUtf8, kCodePageGbk}) {
    const Bytes wide = toWide(a, codePage);
    FUZZ_CHECK(wide.size() % 2 == 0);
    (void)fromWide(wide, codePage);
  }
  Bytes raw(data, data + size);
  if (raw.size() % 2) raw.pop_back();
  (void)fromWide(raw, kCodePageGbk);
  (void)fromWide(raw, kCodePageUtf8);
  return 0;
}

} // namespace tunova::fuzz
