#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/codepage.h"
#include "text/text.h"
#include "json/json_object.h"

using namespace tunova;

TEST(JsonEditing, SetMember) {
  JsonObject j;
  j.setMember("a.b", "x");
  EXPECT_EQ(j.toJson(), "{}");
  j.setMember("e", "", true);
  j.setMember("v", "[1,true]", true);
  j.setMember("s", "12");
  EXPECT_EQ(j.toJson(), R"({"e":{},"v":[1,true],"s":"12"})");
  // A quote no longer ends the text early: the value is stored as given.
  j.setMember("quoted", "it's");
  EXPECT_EQ(j.getText("quoted"), "it's");
  j.setMemberEval("w", "2*3");
  EXPECT_EQ(j.getText("w"), "6");
  j.setNumber("n", 3);
  j.setNumber("f", 0.25);
  EXPECT_EQ(j.getJson("n"), "3");
  EXPECT_EQ(j.getJson("f"), "0.25");
}

// Every editing routine that quotes a value stores exactly the text it was given, and no value
// runs as script.
TEST(JsonEditing, QuotedValuesAreStoredExactly) {
  const std::vector<std::string> values = {"it's",
                                           "a\nb",
                                           "a\\b",
                                           "a\tb",
                                           "a\r\nb",
                                           "\\u0041",
                                           "'",
                                           "\\",
                                           "x'+(da.pwned=1)+'",
                                           "');da.pwned=1;('",
                                           gbk("月光\\光'"),
                                           std::string("a\x01b")};
  for (const std::string& v : values) {
    SCOPED_TRACE(v);
    JsonObject j;
    j.setMember("m", v);
    EXPECT_EQ(j.getText("m"), v);
    j.pushValue(v, "list");
    EXPECT_EQ(j.getText("list[0]"), v);
    EXPECT_FALSE(j.hasValue("pwned"));
    EXPECT_EQ(j.valueType("m"), kJsonString);
    JsonObject array;
    array.reset(kJsonArray);
    array.setElement(0, v);
    EXPECT_EQ(array.getElementText(0), v);
    JsonObject root;
    root.setRoot(v);
    EXPECT_EQ(root.valueType(""), kJsonString);
    EXPECT_EQ(root.toJson().size() >= v.size() + 2, true);
  }
  // Values the quoting always handled read back as before.
  JsonObject j;
  j.setMember("plain", gbk("普通 text 12"));
  EXPECT_EQ(j.getText("plain"), gbk("普通 text 12"));
  EXPECT_EQ(j.getJson("plain"), gbk("\"普通 text 12\""));
}

TEST(JsonEditing, PushValue) {
  JsonObject j;
  j.pushValue("x", "list");
  EXPECT_EQ(j.getJson("list"), R"(["x"])");
  j.setMember("obj", "{\"k\":1}", true);
  j.pushValue("1", "obj", true);
  EXPECT_EQ(j.getJson("obj"), "[1]");
  j.pushValue("true", "list", true);
  j.pushValue("true", "list");
  EXPECT_EQ(j.getJson("list"), R"(["x",true,"true"])");
  j.pushValue("r");
  EXPECT_EQ(j.toJson(), R"(["r"])");
}

TEST(JsonEditing, ElementsOfTheRoot) {
  JsonObject j;
  j.setElement(3, "v");
  EXPECT_EQ(j.toJson(), R"({"3":"v"})");
  j.removeElement(0);
  EXPECT_EQ(j.toJson(), R"({"3":"v"})");
  ASSERT_TRUE(j.parse("[1,2,3]"));
  j.setElement(1, "9", true);
  j.removeElement(0);
  EXPECT_EQ(j.toJson(), "[9,3]");
}

TEST(JsonEditing, RemoveAtPath) {
  JsonObject j;
  ASSERT_TRUE(j.parse(R"({"data":[0,1,2,3,4]})"));
  j.removeAtPath("data[3]");
  EXPECT_EQ(j.getJson("data"), "[0,1,2,4]");
  j.removeAtPath("data[9]");
  EXPECT_EQ(j.getJson("data"), "[0,1,2,4]");
  j.removeAtPath("data");
  j.removeAtPath("[0]");
  EXPECT_EQ(j.getJson("data"), "[0,1,2,4]");
  EXPECT_EQ(textBefore("a[1]", "["), "a");
  EXPECT_EQ(textBefore("abc", "["), "");
  EXPECT_EQ(textBefore("a[b[c", "[", 3), "a[b");
}

TEST(JsonEditing, ResetRootAndClear) {
  JsonObject j;
  j.reset(5);
  EXPECT_EQ(j.toJson(), "[]");
  j.reset(4);
  EXPECT_EQ(j.toJson(), "{}");
  j.reset(5);
  j.reset(0);
  EXPECT_EQ(j.toJson(), "{}");
  j.reset(5);
  j.reset(2);
  EXPECT_EQ(j.toJson(), "[]");
  j.setRoot("text");
  EXPECT_EQ(j.toJson(), "\"text\"");
  j.setRoot("[1]", true);
  EXPECT_EQ(j.toJson(), "[1]");
  j.clear();
  EXPECT_EQ(j.toJson(), "{}");
}

TEST(JsonText, EscapedCharactersSurviveSerialisingAndCopies) {
  JsonObject j;
  ASSERT_TRUE(j.parse(
      R"({"o":{"a":"x\u200dy\u2028z\u00adw\ufeffv\u0085\u206f\ufff9"},"b":"\ud800","c":"\u4e2d",)"
      R"("l":[1,"x\u200dy\u2028z\u00adw\ufeffv\u0085\u206f\ufff9"]})"));
  const std::string escaped = R"("x\u200dy\u2028z\u00adw\ufeffv\u0085\u206f\ufff9")";
  EXPECT_EQ(j.getJson("o.a"), escaped);
  EXPECT_EQ(j.getText("o.a", true), escaped);
  EXPECT_EQ(j.getObject("o").toJson(), "{\"a\":" + escaped + "}");
  EXPECT_EQ(j.getObject("o").getJson("a"), escaped);
  EXPECT_EQ(j.getJson("c"), "\"" + gbk("中") + "\"");
  // A lone surrogate cannot be written in any encoding: one "?".
  EXPECT_EQ(j.getJson("b"), "\"?\"");
  j.removeAtPath("l[0]");
  EXPECT_EQ(j.getJson("l"), "[" + escaped + "]");
}
