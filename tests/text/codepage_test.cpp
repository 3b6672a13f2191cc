#include "text/codepage.h"

#include <gtest/gtest.h>

using namespace tunova;

TEST(CodePage, WideSequencesCarryTheirTerminator) {
  EXPECT_EQ(toWide(""), (Bytes{0, 0}));
  EXPECT_EQ(toWide("A"), (Bytes{'A', 0, 0, 0}));
  EXPECT_EQ(toWide("\xD6\xD0", kCodePageGbk), (Bytes{0x2D, 0x4E, 0, 0})); // U+4E2D
  EXPECT_TRUE(toWide("x", 1252).empty());
  EXPECT_EQ(fromWide(Bytes{}, kCodePageGbk), "");
  EXPECT_EQ(fromWide(Bytes{'a', 0, 0, 0, 'b', 0}, kCodePageUtf8), "a");
}

TEST(CodePage, RoundTripsEveryGbkText) {
  const std::string gbkText = "\xD6\xD0\xCE\xC4 abc \xC3\xF1\xD7\xE5\xB7\xE7 \x80"; // 中文 民族风 €
  EXPECT_EQ(toUtf8(gbkText), "\xE4\xB8\xAD\xE6\x96\x87 abc \xE6\xB0\x91\xE6\x97\x8F\xE9\xA3\x8E "
                             "\xE2\x82\xAC");
  EXPECT_EQ(fromUtf8(toUtf8(gbkText)), gbkText);
  EXPECT_EQ(gbk("中文"), "\xD6\xD0\xCE\xC4");
}

TEST(CodePage, UnrepresentableBecomesQuestionMark) {
  // "a😀b" and "a한b": neither the emoji nor the Hangul syllable is in GBK.
#ifdef _WIN32
  // The platform's converter writes one default character for each half of the surrogate pair.
  const std::string emoji = "a??b";
#else
  const std::string emoji = "a?b";
#endif
  EXPECT_EQ(fromUtf8("a\xF0\x9F\x98\x80"
                     "b"),
            emoji);
  EXPECT_EQ(fromUtf8("\xED\x95\x9C\xE4\xB8\xAD"), "?\xD6\xD0");
}

TEST(CodePage, MalformedInputIsReplacedNeverAnError) {
  // A lone continuation byte, a truncated sequence and an overlong form.
  EXPECT_EQ(fromUtf8("a\x80"
                     "b"),
            "a?b");
  EXPECT_EQ(fromUtf8("a\xE4\xB8"), "a?");
  EXPECT_EQ(fromUtf8("\xC0\xAF"
                     "x"),
            "??x");
  // A GBK lead byte without its trail.
#ifdef _WIN32
  // The platform's code page 936 turns it into its default character.
  EXPECT_EQ(toUtf8("a\xD6"), "a?");
#else
  EXPECT_EQ(toUtf8("a\xD6"), "a\xEF\xBF\xBD");
#endif
  // Text stops at its first zero byte.
  EXPECT_EQ(toUtf8(std::string("ab\0cd", 5)), "ab");
}

TEST(UrlEncode, EscapesEveryUtf8Byte) {
  EXPECT_EQ(urlEncode(""), "");
  EXPECT_EQ(urlEncode("abc"), "%61%62%63");
  EXPECT_EQ(urlEncode(" "), "%20");
  EXPECT_EQ(urlEncode("\t"), "%09");
  EXPECT_EQ(urlEncode("\xD6\xD0"), "%E4%B8%AD");
  EXPECT_EQ(urlEncode("-._~").size(), 12u);
}
