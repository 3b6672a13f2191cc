#pragma once
// The script engine a JsonObject keeps its document in, and the holder that shares it.
//
// An engine is one Duktape heap with the standard built-ins only (no print, alert, module
// loader, file or process access). Every evaluation is bounded: it fails, like any script error,
// after a time limit (also inside built-ins such as regular expressions, sorting and JSON), when
// the heap would grow past its cap, or when nesting would exhaust the native stack; the engine
// stays usable afterwards. Text crosses the boundary as UTF-8 (the
// caller converts to and from GBK).
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tunova {

struct EngineLimits {
  long timeLimitMs = 2000;
  std::size_t heapCapBytes = 64u << 20;
};

// Process-wide limits for engines created from now on (tests shorten them).
void setEngineLimits(const EngineLimits& limits);
EngineLimits engineLimits();

class ScriptEngine {
public:
  // A new engine, or nullptr when one cannot be created.
  static std::unique_ptr<ScriptEngine> create();
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Runs `code` at global scope; false on any script error.
  bool addCode(const std::string& utf8Code);

  // Evaluates `expression` and converts its value with the script's own ToNumber, ToString or
  // ToBoolean (undefined and null give empty text). A failed evaluation gives 0, empty text or
  // false.
  double evalNumber(const std::string& utf8Expression);
  std::string evalText(const std::string& utf8Expression);
  bool evalTruth(const std::string& utf8Expression);
  void evalIgnore(const std::string& utf8Expression);

  // Decodes `utf8Json` with the engine's native JSON decoder and stores it in the global
  // `name`; false (the global untouched) when the decoder rejects it.
  bool decodeJsonInto(const std::string& name, const std::string& utf8Json);

  // A deadline every evaluation shares besides its own limit: an evaluation ends at whichever
  // comes first, and once it has passed no evaluation runs (each fails at once). The default,
  // the time point's maximum, sets none.
  using Clock = std::chrono::steady_clock;
  Clock::time_point budgetEnd() const;
  void setBudgetEnd(Clock::time_point end);
  // The limit of one evaluation, in ms (0: none).
  long timeLimitMs() const;

  // Called every few tens of milliseconds while an evaluation runs (a window serviced while a
  // long answer is read); its false ends the evaluation at once, as a failure, and every later
  // one until a new routine is set. Empty: none.
  void setWhileRunning(std::function<bool()> routine);

  // Bytes the heap holds now (for tests and benchmarks).
  std::size_t heapBytes() const;

  struct State;

private:
  explicit ScriptEngine(std::unique_ptr<State> state);
  template <typename Convert> bool evaluate(const std::string& expression, Convert&& convert);
  std::unique_ptr<State> state_;
};

// Empty, or sharing one engine with every copy; the last holder frees it.
class EngineHolder {
public:
  void create() { engine_ = std::shared_ptr<ScriptEngine>(ScriptEngine::create()); }
  bool isEmpty() const { return engine_ == nullptr; }
  void release() { engine_.reset(); }
  ScriptEngine* get() const { return engine_.get(); }
  ScriptEngine* operator->() const { return engine_.get(); }

private:
  std::shared_ptr<ScriptEngine> engine_;
};

} // namespace tunova
