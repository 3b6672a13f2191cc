#pragma once
// The shared text helpers every module uses.
//
// Text is a byte string in GBK (code page 936) held in std::string; a byte set is a vector of
// bytes. Positions returned here are 0-based
// std::string positions with std::string::npos for "not found"; callers that need the
// 1-based/-1 convention convert at their edge. Searches compare bytes, so a match may straddle
// the two bytes of a GBK character, exactly as a plain byte search would.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tunova {

using Bytes = std::vector<std::uint8_t>;

// Finds `needle` in `text` from `start`, comparing ASCII letters without regard to case.
std::size_t findNoCase(std::string_view text, std::string_view needle, std::size_t start = 0);

// Finds `needle` from `start`, exactly or ignoring ASCII case.
std::size_t findText(std::string_view text, std::string_view needle, std::size_t start,
                     bool ignoreCase);

bool containsText(std::string_view text, std::string_view needle);

// Lower-cases the ASCII letters A to Z only; every other byte stays as it is.
std::string asciiLower(std::string_view text);

// Removes leading and trailing ASCII spaces (only 0x20: tabs and GBK full-width spaces stay).
std::string trimSpaces(std::string_view text);

// Replaces every occurrence of `from`, left to right, without rescanning what was put in.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);

// Replaces every occurrence of `from` in any ASCII letter case.
std::string replaceAllNoCase(std::string_view text, std::string_view from, std::string_view to);

// Splits at `separator`. An empty text gives no pieces; a separator at the very end gives no
// empty last piece; empty pieces inside the text are kept.
std::vector<std::string> splitText(std::string_view text, std::string_view separator);

// Integers, and doubles with an integral value, as plain decimal digits (0 -> "0", 20 -> "20");
// other doubles in their shortest form that reads back as the same number.
std::string numberToText(double value);
std::string numberToText(long long value);

// Reads an optional sign and the leading decimal digits after optional leading spaces; 0 for an
// empty or non-numeric text. Values beyond 32 bits saturate.
int textToInt(std::string_view text);

// Rounds to `decimals` places, halves away from zero.
double roundTo(double value, int decimals);

// The text up to (not including) its first zero byte.
std::string textOfBytes(const Bytes& bytes);
Bytes bytesOfText(std::string_view text);

// The GBK form of a UTF-8 literal. Source files are UTF-8; every GBK text constant of the
// program goes through this one helper.
std::string gbk(std::string_view utf8Literal);

// The bytes between the first `left` at or after the 1-based `start` (0: from the beginning) and
// the next `right` after it; empty when either is missing. A "#引号" in a marker stands for a
// double quote, so callers can write one inside a marker.
std::string textBetween(const std::string& text, const std::string& left, const std::string& right,
                        int start = 0, bool ignoreCase = false);

// Appends `byte` as two hexadecimal digits (upper case unless `lower`).
void appendHex(std::string& out, unsigned char byte, bool lower = false);

// The code point of the UTF-8 sequence at `i`, moving `i` past it. A byte that does not begin a
// well-formed sequence (a stray or cut byte, an overlong form, a surrogate, a value past
// U+10FFFF) reads as U+FFFD and is passed alone.
char32_t nextCodePoint(std::string_view utf8, std::size_t& i);

// `bytes` as valid UTF-8: every byte that does not begin a well-formed sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

// Appends `text` as a JSON string literal: quotes, backslashes and control characters escaped,
// bytes that are not UTF-8 written as U+FFFD, so the result is always valid JSON.
void appendJsonString(std::string& out, std::string_view text);

} // namespace tunova
