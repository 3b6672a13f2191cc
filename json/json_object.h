#pragma once
// JsonObject: one JSON document kept inside a script engine of its own.
//
// Loading lets the engine build the document and store it in the global variable named by
// `rootName` ("da"); every read or edit builds a short script text from the root's name and the
// caller's path ("data[0].title") and evaluates it. Copies share the engine, so a copy sees and
// changes the same document; the last copy frees the engine. All texts are GBK; failures show
// as empty results (0, empty text, false, -1), never as exceptions.
//
// Loading is confined: a text that is strict JSON (other than a lone string) is read by the
// engine's native JSON decoder without running any script; anything else is evaluated as the
// script expression it is, under the engine's time, memory and stack limits.
#include <functional>
#include <string>
#include <vector>

#include "json/platform.h"
#include "json/script_engine.h"

namespace tunova {

// Type codes of valueType (and of reset's argument).
enum JsonType : int {
  kJsonNull = 0,
  kJsonBoolean = 1,
  kJsonNumber = 2,
  kJsonObject = 4,
  kJsonArray = 5,
  kJsonString = 6,
  kJsonOther = -1,
};

class JsonObject {
public:
  JsonObject();
  ~JsonObject();
  JsonObject(const JsonObject&) = default;
  JsonObject& operator=(const JsonObject&) = default;

  void setUpEngine();
  bool parse(const std::string& text);
  std::string toJson();
  void setMember(const std::string& path, const std::string& value, bool valueIsJson = false);
  void setMemberEval(const std::string& path, const std::string& expression);
  void setNumber(const std::string& path, double number);
  double getNumber(const std::string& path);
  std::string getJson(const std::string& path);
  std::string getText(const std::string& path, bool asJson = false);
  JsonObject getObject(const std::string& path);
  int count(const std::string& path = std::string());
  void pushValue(const std::string& value, const std::string& arrayPath = std::string(),
                 bool valueIsRaw = false);
  JsonObject getElementObject(int index, const std::string& arrayPath = std::string());
  std::string getElementText(int index, const std::string& arrayPath = std::string(),
                             bool asJson = false);
  void setElement(int index, const std::string& value, bool valueIsRaw = false);
  void removeElement(int index);
  void removeAtPath(const std::string& path);
  void reset(int kind);
  void setRoot(const std::string& value, bool valueIsRaw = false);
  bool hasValue(const std::string& path);
  int listMembers(std::vector<std::string>& names, const std::string& path = std::string());
  int valueType(const std::string& path = std::string());
  void clear();

  // A deadline for every evaluation on this document from now on (a caller's budget for a
  // whole answer); once it has passed, reads give empty results at once. The time point's
  // maximum lifts it.
  void setScriptBudgetEnd(ScriptEngine::Clock::time_point end);
  bool scriptBudgetSpent() const;
  // A routine called every few tens of milliseconds while an evaluation on this document runs
  // (see ScriptEngine::setWhileRunning), also on the engines later parses make; its false ends
  // the evaluation, and every later read gives empty until the routine is set again.
  void setWhileRunning(std::function<bool()> routine);

  const std::string& rootName() const { return rootName_; }
  bool hasEngine() const { return !engine_.isEmpty(); }
  // The engine itself, for tests that look at its limits.
  ScriptEngine* engine() const { return engine_.get(); }

private:
  std::string dot(const std::string& p) const;
  std::string bracket(const std::string& p) const;
  std::string root(const std::string& p) const;
  std::string full(const std::string& p) const;

  double evalNumber(const std::string& script);
  std::string evalText(const std::string& script);
  // A serialised value, with the characters JSON text escapes written as \uXXXX.
  std::string evalJsonText(const std::string& script);
  bool evalTruth(const std::string& script);
  void evalIgnore(const std::string& script);
  bool load(const std::string& text);

  ComScope com_; // first: COM is up before the engine and down after it
  std::string rootName_;
  EngineHolder engine_;
  std::function<bool()> whileRunning_; // given to every engine this document makes
};

// The text before the first `marker` at or after the 1-based `start`; empty when there is none.
std::string textBefore(const std::string& text, const std::string& marker, int start = 1,
                       bool ignoreCase = false);

// Checks that `utf8` is one strict JSON value (RFC 8259) and tells whether it is a string.
// Iterative, so any depth is safe to check.
bool isStrictJson(const std::string& utf8, bool* isString = nullptr);

} // namespace tunova
