#pragma once
// Conversions between GBK (code page 936), UTF-16LE and UTF-8 (code page 65001), and the
// percent-encoding of query text.
//
// A character the target code page cannot hold becomes that page's default character ('?' for
// GBK), malformed input is replaced (U+FFFD on the way to UTF-16), and nothing is ever an
// error: text from a server or a file always converts. A wide sequence is a
// byte set of UTF-16LE code units that ends with one zero unit of its own.
#include <cstdint>
#include <string>

#include "text/text.h"

namespace tunova {

inline constexpr int kCodePageGbk = 936;
inline constexpr int kCodePageUtf8 = 65001;

// The text (up to its first zero byte) as a wide sequence, terminating zero unit included. An
// unknown code page gives an empty byte set.
Bytes toWide(const std::string& text, int codePage = kCodePageUtf8);

// The wide sequence (up to its first zero unit) in `codePage`; empty for an empty sequence.
std::string fromWide(const Bytes& wide, int codePage);

std::string toUtf8(const std::string& gbkText);
std::string fromUtf8(const std::string& utf8Text);

// Every UTF-8 byte of the text as "%" and two upper-case hexadecimal digits.
std::string urlEncode(const std::string& gbkText);

// Appends the UTF-8 encoding of the code point `cp` (at most U+10FFFF).
void appendUtf8(std::string& out, std::uint32_t cp);

} // namespace tunova
