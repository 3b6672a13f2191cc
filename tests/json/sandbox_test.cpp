// The engine evaluates what a remote server sends, so every evaluation must end within its
// bounds and leave the object usable for the next answer. The time checks are generous upper
// bounds that only tell a bounded evaluation from a hang; speed is measured by the benchmark.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "json/json_object.h"

using namespace tunova;

namespace {

const char* kNormalAnswer = R"({"data":[{"title":"ok","duration":61}]})";

double secondsOf(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The processor time this thread spends in `f`. A machine busy with other work stretches the
// wall time of an evaluation, never the work done after its limit has passed, so bounds on how
// much work an answer may cause are checked in processor time.
double cpuSecondsOf(const std::function<void()>& f) {
  const auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
  };
  const double t0 = cpu();
  f();
  return cpu() - t0;
}

void expectRecovers(JsonObject& j) {
  ASSERT_TRUE(j.parse(kNormalAnswer));
  EXPECT_EQ(j.getText("data[0].title"), "ok");
  EXPECT_EQ(j.count("data"), 1);
}

} // namespace

TEST(Sandbox, EndlessLoopInAMemberIsStoppedByTheTimeLimit) {
  JsonObject j;
  bool result = true;
  const double s = secondsOf([&] { result = j.parse("{\"a\": (function(){while(true){}})()}"); });
  EXPECT_FALSE(result);
  EXPECT_LT(s, 20.0);
  EXPECT_GT(s, 1.0); // it was the time limit that ended it
  expectRecovers(j);
}

TEST(Sandbox, EndlessLoopInAReadIsStoppedToo) {
  JsonObject j;
  ASSERT_TRUE(j.parse(kNormalAnswer));
  const double s = secondsOf([&] { EXPECT_EQ(j.getText("data[0].title;for(;;){}"), ""); });
  EXPECT_LT(s, 20.0);
  EXPECT_EQ(j.getText("data[0].title"), "ok");
}

TEST(Sandbox, MemoryIsCapped) {
  JsonObject j;
  bool result = true;
  const double s = secondsOf([&] {
    result =
        j.parse("{\"a\": (function(){var s='x'; var k=[]; while(true){s=s+s; k.push(s);}})()}");
  });
  EXPECT_FALSE(result);
  EXPECT_LT(s, 20.0);
  EXPECT_LE(j.engine()->heapBytes(), engineLimits().heapCapBytes);
  expectRecovers(j);
}

TEST(Sandbox, DeepNestingCannotExhaustTheStack) {
  JsonObject j;
  const std::string open(100000, '['), close(100000, ']');
  EXPECT_FALSE(j.parse(open + close));             // strict JSON, too deep for the decoder
  EXPECT_FALSE(j.parse(open + "1" + close + ",")); // not JSON: evaluated, too deep to compile
  EXPECT_FALSE(j.parse(std::string(100000, '(') + "1"));
  EXPECT_FALSE(j.parse("(function f(){return f()})()"));
  expectRecovers(j);
}

TEST(Sandbox, LargeValidJsonLoads) {
  // About 50 MB: a catalogue page whose songs carry long album texts.
  std::string text = "{\"data\":[";
  const std::string album(2'500'000, 'a');
  for (int i = 0; i < 20; ++i) {
    if (i) text += ",";
    text += "{\"title\":\"t" + std::to_string(i) + "\",\"album\":\"" + album +
            "\",\"duration\":" + std::to_string(100 + i) + "}";
  }
  text += "]}";
  ASSERT_GT(text.size(), 50'000'000u);
  // This is about size: a machine busy with other work must not turn it into a time limit.
  const EngineLimits saved = engineLimits();
  setEngineLimits(EngineLimits{60000, saved.heapCapBytes});
  JsonObject j;
  EXPECT_TRUE(j.parse(text));
  EXPECT_EQ(j.count("data"), 20);
  EXPECT_EQ(j.getText("data[19].duration"), "119");
  expectRecovers(j);
  setEngineLimits(saved);
}

TEST(Sandbox, OnlyStandardBuiltIns) {
  JsonObject j;
  for (const char* name : {"print", "alert", "require", "Duktape", "CBOR", "module", "process",
                           "TextEncoder", "performance"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(j.engine()->evalText(std::string("typeof ") + name), "undefined");
  }
  EXPECT_EQ(j.engine()->evalText("typeof JSON.parse"), "function");
  EXPECT_EQ(j.engine()->evalText("typeof Math.max"), "function");
}

TEST(StrictJson, Validator) {
  bool isString = false;
  EXPECT_TRUE(isStrictJson(" {\"a\":[1,-2.5e3,true,false,null,\"x\\u00e9\\n\"],\"b\":{}} "));
  EXPECT_TRUE(isStrictJson("\"s\"", &isString));
  EXPECT_TRUE(isString);
  EXPECT_TRUE(isStrictJson("[]", &isString));
  EXPECT_FALSE(isString);
  for (const char* bad : {"", "{", "[1,]", "{a:1}", "{'a':1}", "01", "1.", "[1 2]", "{\"a\"1}",
                          "\"\x01\"", "\"\\x\"", "[1]]", "tru", "NaN", "{\"a\":1,}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(isStrictJson(bad));
  }
}

namespace {

// A short limit for the built-in cases, restored afterwards.
class ShortLimit : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = engineLimits();
    setEngineLimits(EngineLimits{kLimitMs, saved_.heapCapBytes});
  }
  void TearDown() override { setEngineLimits(saved_); }
  static constexpr long kLimitMs = 1000;
  // The limit plus a margin for a loaded machine and the sanitizers; well below what any of
  // these answers costs without a bound (5 s and more).
  static constexpr double kBoundSeconds = 1.7;

private:
  EngineLimits saved_;
};

} // namespace

TEST_F(ShortLimit, WorkInsideBuiltInsEndsWithinTheLimit) {
  const std::vector<std::pair<const char*, std::string>> answers = {
      {"catastrophic backtracking", "{\"a\": /(a+)+b/.test('" + std::string(40, 'a') + "')}"},
      {"a sort of 300,000 items",
       "{\"a\": (function(){var a=[]; for(var i=0;i<300000;i++) a.push(''+(i*7919%300000));"
       " a.sort(); a.sort(); a.sort(); return a.length})()}"},
      {"a stringify of a shared structure",
       "{\"a\": (function(){var o=[1]; for(var i=0;i<24;i++) o=[o,o];"
       " return JSON.stringify(o).length})()}"},
      {"a backtracking regex caught in a loop",
       "{\"a\": (function(){for(;;){try{/(x+x+)+y/.test('" + std::string(40, 'x') +
           "')}catch(e){}}})()}"},
  };
  for (const auto& [what, answer] : answers) {
    SCOPED_TRACE(what);
    JsonObject j;
    bool result = true;
    const double s = cpuSecondsOf([&] { result = j.parse(answer); });
    EXPECT_FALSE(result);
    EXPECT_LT(s, kBoundSeconds);
    expectRecovers(j);
  }
}

TEST_F(ShortLimit, OneReadIsOneLimitHoweverManyEvaluationsItTakes) {
  JsonObject j;
  ASSERT_TRUE(j.parse("(function(){Object.defineProperty(Object.prototype,'title',"
                      "{get:function(){for(;;){}}}); return {data:[{}]}})()"));
  std::string title = "unset";
  const double s = secondsOf([&] { title = j.getText("data[0].title"); });
  EXPECT_EQ(title, "");
  EXPECT_LT(s, kBoundSeconds); // a read is a type check and a value: two limits without a bound
  EXPECT_GT(s, 0.5);
}

TEST_F(ShortLimit, ASpentBudgetStopsEveryRead) {
  JsonObject j;
  ASSERT_TRUE(j.parse(kNormalAnswer));
  j.setScriptBudgetEnd(ScriptEngine::Clock::now() - std::chrono::milliseconds(1));
  EXPECT_TRUE(j.scriptBudgetSpent());
  EXPECT_EQ(j.getText("data[0].title"), "");
  EXPECT_EQ(j.count("data"), 0);
  j.setScriptBudgetEnd(ScriptEngine::Clock::time_point::max());
  EXPECT_EQ(j.getText("data[0].title"), "ok");
}
