#include "http/headers.h"

#include <gtest/gtest.h>

#include "text/text.h"

using namespace tunova;

TEST(TextBetween, MarkersAndQuotes) {
  EXPECT_EQ(textBetween("a[b]c", "[", "]"), "b");
  EXPECT_EQ(textBetween("a[b]c", "[", ")"), "");
  EXPECT_EQ(textBetween("a[b]c", "(", "]"), "");
  EXPECT_EQ(textBetween("k=\"v\"", gbk("=#引号"), gbk("#引号")), "v");
  EXPECT_EQ(textBetween("x;y", "x", ";"), "");
  EXPECT_EQ(textBetween("[a][b]", "[", "]", 4), "b");
  EXPECT_EQ(textBetween("X=1;", "x=", ";", 0, true), "1");
  EXPECT_EQ(textBetween("X=1;", "x=", ";"), "");
}

TEST(TextAfterColon, TrimsTheRest) {
  EXPECT_EQ(textAfterColon("user-agent:  Foo "), "Foo");
  EXPECT_EQ(textAfterColon("no colon"), "");
  EXPECT_EQ(textAfterColon("a:b:c"), "b:c");
}

TEST(MergeCookies, NewFirstThenOldOnesNotRenamed) {
  std::string oldList = "a=1; b=2", newList = "b=3; c=4";
  EXPECT_EQ(mergeCookies(oldList, newList), "b=3; c=4; a=1");
  EXPECT_EQ(oldList, "b=3; c=4; a=1");
  EXPECT_EQ(newList, "b=3;c=4");
}

TEST(MergeCookies, EdgeCases) {
  auto merge = [](std::string a, std::string b) { return mergeCookies(a, b); };
  EXPECT_EQ(merge("a=1; b=2", "a=deleted"), "b=2");
  EXPECT_EQ(merge("sid=x y", "z=1"), "z=1; sid=xy");
  EXPECT_EQ(merge("a=1; a=2", "c=3"), "c=3; a=1");
  EXPECT_EQ(merge("A=1", "a=2"), "a=2; A=1");
  EXPECT_EQ(merge("", ""), "");
  EXPECT_EQ(merge("a=1;;b=2", ""), "a=1; b=2");
  EXPECT_EQ(merge("x=deleted", "y=1"), "y=1");
  EXPECT_EQ(merge("a=1", "a=1"), "a=1");
}

TEST(CookieParts, NamesAndDuplicates) {
  EXPECT_EQ(cookieName(" a =1"), "a");
  EXPECT_EQ(cookieName("flag"), "flag");
  EXPECT_TRUE(containsCookieName({"x=1", "y=2"}, "y"));
  EXPECT_FALSE(containsCookieName({}, "y"));
  EXPECT_EQ(removeDuplicateParts("x; y; x", "; "), "x; y");
  EXPECT_EQ(removeDuplicateParts("", "; "), "");
  EXPECT_EQ(indexOfText({"a", "b", "a"}, "a"), 1);
  EXPECT_EQ(indexOfText({"a", "b"}, "c"), -1);
}

TEST(ContentLength, ReadFromItsHeaderLineOnly) {
  const std::pair<const char*, long long> cases[] = {
      {"Content-Length: 123\r\n", 123},
      {"content-length:0", 0},
      {"CONTENT-LENGTH:\t 42", 42},
      {"Content-Length: abc", -1},
      {"Content-Type: 5", -1},
      {"X-Content-Length: 5", -1},
      {"Content-Length: 12x", 12},
      {"Content-Length:", -1},
      {"", -1},
      {"Content-Length: 99999999999999999999999", 999999999999999999},
  };
  for (const auto& [line, length] : cases)
    EXPECT_EQ(contentLengthOf(line), length) << line;
}
