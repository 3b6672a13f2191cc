#include "json/json_object.h"

#include <gtest/gtest.h>

#include "text/text.h"

using namespace tunova;

TEST(JsonObject, FreshObject) {
  JsonObject j;
  EXPECT_TRUE(j.hasEngine());
  EXPECT_EQ(j.rootName(), "da");
  EXPECT_EQ(j.toJson(), "{}");
  EXPECT_EQ(j.count(), 0);
  EXPECT_EQ(j.valueType(), kJsonObject);
}

TEST(JsonObject, ParseResults) {
  JsonObject j;
  EXPECT_TRUE(j.parse("[1,2,3]"));
  EXPECT_EQ(j.valueType(), kJsonArray);
  EXPECT_EQ(j.count(), 3);
  EXPECT_FALSE(j.parse(""));
  EXPECT_EQ(j.count(), -2);
  EXPECT_FALSE(j.parse("null"));
  EXPECT_FALSE(j.parse("{not json"));
  EXPECT_EQ(j.count(), -2);
  EXPECT_EQ(j.count("data"), 0);
  EXPECT_TRUE(j.parse("5"));
  // Script object literals that are not strict JSON still load, as evaluation reads them.
  EXPECT_TRUE(j.parse("{a:1, 'b':[2,3,],}"));
  EXPECT_EQ(j.getText("a"), "1");
  EXPECT_EQ(j.count("b"), 2);
  // A lone string is evaluated a second time, as code.
  EXPECT_TRUE(j.parse("\"1+1\""));
  EXPECT_EQ(j.getText("toString()"), "2");
  EXPECT_FALSE(j.parse("\"noSuchName\""));
}

TEST(JsonObject, CatalogueReads) {
  JsonObject j;
  ASSERT_TRUE(j.parse(gbk(R"({"status_code":0,"data":[{"title":"晴天","author":"小林",)"
                          R"("duration":245,"play_url":{"url_list":["http://h/1.mp3"]}},)"
                          R"({"title":"x","duration":12.5}],"e":[],"o":{"a":1,"b":2,"c":3}})")));
  EXPECT_EQ(j.count("data"), 2);
  EXPECT_EQ(j.getText("data[0].title"), gbk("晴天"));
  EXPECT_EQ(j.getText("data[0].author"), gbk("小林"));
  EXPECT_EQ(j.getText("data[0].duration"), "245");
  EXPECT_EQ(j.getText("data[1].duration"), "12.5");
  EXPECT_EQ(j.getText("data[0].play_url.url_list[0]"), "http://h/1.mp3");
  EXPECT_EQ(j.getText("data[1].author"), "");
  EXPECT_EQ(j.getText("data[1].play_url.url_list[0]"), "");
  EXPECT_EQ(j.getText("data[5].title"), "");
  EXPECT_EQ(j.count("e"), 0);
  EXPECT_EQ(j.count("o"), 3);
  EXPECT_EQ(j.count("missing"), -2);
  EXPECT_EQ(j.getNumber("data[0].duration"), 245);
}

TEST(JsonObject, TypesAndPresence) {
  JsonObject j;
  ASSERT_TRUE(j.parse(R"({"n":null,"b":false,"z":0,"s":"","a":[1],"o":{},"f":1})"));
  EXPECT_EQ(j.valueType("n"), kJsonNull);
  EXPECT_EQ(j.valueType("missing"), kJsonNull);
  EXPECT_EQ(j.valueType("b"), kJsonBoolean);
  EXPECT_EQ(j.valueType("z"), kJsonNumber);
  EXPECT_EQ(j.valueType("s"), kJsonString);
  EXPECT_EQ(j.valueType("a"), kJsonArray);
  EXPECT_EQ(j.valueType("o"), kJsonObject);
  EXPECT_EQ(j.valueType("missing.deeper"), kJsonOther);
  EXPECT_EQ(j.valueType("[0]"), kJsonOther);
  EXPECT_FALSE(j.hasValue("n"));
  EXPECT_FALSE(j.hasValue("missing"));
  EXPECT_TRUE(j.hasValue("b"));
  EXPECT_TRUE(j.hasValue("z"));
  EXPECT_TRUE(j.hasValue("s"));
}

TEST(JsonObject, JsonTextsAndCopies) {
  JsonObject j;
  ASSERT_TRUE(j.parse(R"({"s":"q\"x","a":[1,{"k":"v"}],"o":{"x":1}})"));
  EXPECT_EQ(j.getText("s", true), R"("q\"x")");
  EXPECT_EQ(j.getText("a", true), R"([1,{"k":"v"}])");
  EXPECT_EQ(j.getJson("o"), R"({"x":1})");
  EXPECT_EQ(j.getText("", false), "");
  EXPECT_EQ(j.getElementText(1, "a", true), R"({"k":"v"})");
  EXPECT_EQ(j.getElementText(0, "a"), "1");

  JsonObject copy = j.getObject("o");
  copy.setNumber("x", 2);
  EXPECT_EQ(copy.toJson(), R"({"x":2})");
  EXPECT_EQ(j.getJson("o"), R"({"x":1})");
  JsonObject element = j.getElementObject(1, "a");
  EXPECT_EQ(element.getText("k"), "v");
  JsonObject failed = j.getObject("missing.deeper");
  EXPECT_FALSE(failed.hasValue("x"));
  EXPECT_EQ(failed.valueType(), kJsonNull);

  // A plain copy shares the engine and so the document.
  JsonObject shared = j;
  shared.setNumber("o.x", 7);
  EXPECT_EQ(j.getText("o.x"), "7");
}

TEST(JsonObject, ListMembersStripsTheLibraryNames) {
  JsonObject j;
  ASSERT_TRUE(j.parse(R"({"b":1,"a":2})"));
  std::vector<std::string> names{"old"};
  EXPECT_EQ(j.listMembers(names), 2);
  EXPECT_EQ(names, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(j.engine()->evalText("String(ary)"), "null");
}

TEST(JsonObjectLoad, ANumberPastTheDecodersRangeStillReads) {
  JsonObject j;
  ASSERT_TRUE(j.parse(R"({"data":[{"title":"big","duration":1e10000001,"small":-1e-10000001}]})"));
  EXPECT_EQ(j.getText("data[0].title"), "big");
  EXPECT_EQ(j.count("data"), 1);
}
