#include "text/text.h"

#include <gtest/gtest.h>

using namespace tunova;

TEST(TextHelpers, FindsForwardAndIgnoringAsciiCase) {
  EXPECT_EQ(findNoCase("Hello World", "WORLD"), 6u);
  EXPECT_EQ(findNoCase("abcABC", "abc", 1), 3u);
  EXPECT_EQ(findNoCase("abc", "abcd"), std::string::npos);
  EXPECT_EQ(findText("aXa", "x", 0, false), std::string::npos);
  EXPECT_EQ(findText("aXa", "x", 0, true), 1u);
  EXPECT_EQ(findText("abc", "c", 9, false), std::string::npos);
}

TEST(TextHelpers, LowerCasesAndTrimsOnlyAscii) {
  EXPECT_EQ(asciiLower("ABC\xC4\xE3z"), "abc\xC4\xE3z"); // GBK bytes stay
  EXPECT_EQ(trimSpaces("  a b  "), "a b");
  EXPECT_EQ(trimSpaces("\ta\t"), "\ta\t");
  EXPECT_EQ(trimSpaces("   "), "");
}

TEST(TextHelpers, ReplaceAllDoesNotRescan) {
  EXPECT_EQ(replaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(replaceAll("abab", "ab", "b"), "bb");
  EXPECT_EQ(replaceAll("x", "", "y"), "x");
  EXPECT_EQ(replaceAllNoCase("set-cookie: SET-COOKIE", "Set-Cookie", "Set-Cookie"),
            "Set-Cookie: Set-Cookie");
}

TEST(TextHelpers, SplitRules) {
  EXPECT_TRUE(splitText("", ",").empty());
  EXPECT_EQ(splitText("a,b,", ","), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(splitText("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(splitText("a\r\nb", "\r\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(splitText(",", ","), (std::vector<std::string>{""}));
}

TEST(TextHelpers, NumbersToText) {
  EXPECT_EQ(numberToText(0.0), "0");
  EXPECT_EQ(numberToText(-0.0), "0");
  EXPECT_EQ(numberToText(20.0), "20");
  EXPECT_EQ(numberToText(0.5), "0.5");
  EXPECT_EQ(numberToText(2.0), "2");
  EXPECT_EQ(numberToText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(numberToText(1e21), "1000000000000000000000");
  EXPECT_EQ(numberToText(-245.0), "-245");
  EXPECT_EQ(numberToText(static_cast<long long>(40)), "40");
}

TEST(TextHelpers, TextToIntReadsLeadingDigits) {
  EXPECT_EQ(textToInt(""), 0);
  EXPECT_EQ(textToInt("abc"), 0);
  EXPECT_EQ(textToInt("245"), 245);
  EXPECT_EQ(textToInt("245.7"), 245);
  EXPECT_EQ(textToInt("12ab"), 12);
  EXPECT_EQ(textToInt("-5"), -5);
  EXPECT_EQ(textToInt("99999999999"), 2147483647);
}

TEST(TextHelpers, RoundsToDecimals) {
  EXPECT_DOUBLE_EQ(roundTo(2048000 / 1024000.0, 2), 2.0);
  EXPECT_DOUBLE_EQ(roundTo(512000 / 1024000.0, 2), 0.5);
  EXPECT_DOUBLE_EQ(roundTo(5000 / 1024000.0, 2), 0.0);
  EXPECT_DOUBLE_EQ(roundTo(5120 / 1024000.0, 2), 0.01);
}

TEST(TextHelpers, BytesToTextStopsAtZero) {
  EXPECT_EQ(textOfBytes(Bytes{'a', 'b', 0, 'c'}), "ab");
  EXPECT_EQ(textOfBytes(Bytes{}), "");
}

TEST(TextHelpers, ValidUtf8ReplacesWhatIsNotUtf8) {
  EXPECT_EQ(validUtf8("月光 abc"), "月光 abc");
  EXPECT_EQ(validUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
  // A GBK name (月光: D4 C2 B9 E2, whose middle bytes happen to read as U+00B9), a cut sequence,
  // an overlong '/', a surrogate, a value past U+10FFFF.
  EXPECT_EQ(validUtf8("\xD4\xC2\xB9\xE2"), "\xEF\xBF\xBD\xC2\xB9\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8("x\xE6\x9C"), "x\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8("\xF0\x9F\x8E\xB5"), "\xF0\x9F\x8E\xB5"); // a four-byte character stays
}
