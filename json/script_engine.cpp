#include "json/script_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "duktape.h"
#include "text/codepage.h"
#include "json/platform.h"

namespace tunova {

namespace {

std::atomic<long> g_timeLimitMs{2000};
std::atomic<std::size_t> g_heapCap{64u << 20};

// Room left below the current stack pointer before the engine refuses to recurse further.
constexpr std::size_t kStackMargin = 512u << 10;

using Clock = std::chrono::steady_clock;

} // namespace

namespace {
// The evaluation running on this thread, whose deadline the native stack check also watches.
thread_local ScriptEngine::State* t_running = nullptr;
} // namespace

struct ScriptEngine::State {
  duk_context* ctx = nullptr;
  std::size_t used = 0;
  std::size_t cap = 0;
  long timeLimitMs = 0;
  Clock::time_point deadline{};
  bool timing = false;
  // A deadline shared by every evaluation until it is lifted (none: the time point's maximum).
  Clock::time_point budgetEnd = Clock::time_point::max();
  // The caller's routine while an evaluation runs, when it is next due, and its last answer.
  std::function<bool()> whileRunning;
  Clock::time_point nextCall{};
  bool stopped = false;

  // Whether the running evaluation must end now: its deadline passed, or the routine said so.
  bool mustEnd() {
    if (!timing && !whileRunning) return false;
    const Clock::time_point now = Clock::now();
    if (whileRunning && !stopped && now >= nextCall) {
      nextCall = now + std::chrono::milliseconds(25);
      stopped = !whileRunning();
    }
    return stopped || (timing && now > deadline);
  }
};

namespace {

// Every block carries its size in a header so the heap's total can be kept exact.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* engineAlloc(void* udata, duk_size_t size) {
  auto* st = static_cast<ScriptEngine::State*>(udata);
  if (size == 0) return nullptr;
  if (st->used + size > st->cap) return nullptr;
  auto* raw = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!raw) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  st->used += size;
  return raw + kHeader;
}

void engineFree(void* udata, void* ptr) {
  if (!ptr) return;
  auto* st = static_cast<ScriptEngine::State*>(udata);
  unsigned char* raw = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t size;
  std::memcpy(&size, raw, sizeof size);
  st->used -= size;
  std::free(raw);
}

void* engineRealloc(void* udata, void* ptr, duk_size_t size) {
  auto* st = static_cast<ScriptEngine::State*>(udata);
  if (!ptr) return engineAlloc(udata, size);
  if (size == 0) {
    engineFree(udata, ptr);
    return nullptr;
  }
  unsigned char* raw = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t old;
  std::memcpy(&old, raw, sizeof old);
  if (size > old && st->used + (size - old) > st->cap) return nullptr;
  auto* grown = static_cast<unsigned char*>(std::realloc(raw, size + kHeader));
  if (!grown) return nullptr;
  std::memcpy(grown, &size, sizeof size);
  st->used = st->used - old + size;
  return grown + kHeader;
}

[[noreturn]] void engineFatal(void*, const char* msg) {
  std::fprintf(stderr, "script engine: fatal error: %s\n", msg ? msg : "(none)");
  std::abort();
}

// Joins surrogate pairs that the engine hands out encoded one by one (CESU-8) into proper
// UTF-8, so that a character outside the BMP reaches the code-page conversion as one; a lone
// surrogate becomes '?'.
std::string toProperUtf8(const char* s, std::size_t n) {
  std::string out;
  out.reserve(n);
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  for (std::size_t i = 0; i < n;) {
    if (i + 5 < n && u[i] == 0xED && (u[i + 1] & 0xF0) == 0xA0 && u[i + 3] == 0xED &&
        (u[i + 4] & 0xF0) == 0xB0) {
      const std::uint32_t hi = ((u[i + 1] & 0x0F) << 6) | (u[i + 2] & 0x3F);
      const std::uint32_t lo = ((u[i + 4] & 0x0F) << 6) | (u[i + 5] & 0x3F);
      appendUtf8(out, 0x10000 + (hi << 10) + lo);
      i += 6;
    } else if (i + 2 < n && u[i] == 0xED && u[i + 1] >= 0xA0 && (u[i + 2] & 0xC0) == 0x80) {
      // A lone surrogate is no character in any encoding: one '?', as the code-page
      // conversion writes for what it cannot hold.
      out.push_back('?');
      i += 3;
    } else {
      out.push_back(s[i]);
      ++i;
    }
  }
  return out;
}

enum class Mode { Ignore, Number, Text, Truth, Code, Json };

struct Job {
  const char* src = nullptr;
  std::size_t len = 0;
  const char* name = nullptr;
  Mode mode = Mode::Ignore;
  double number = 0;
  const char* text = nullptr;
  std::size_t textLen = 0;
  bool truth = false;
};

// Runs inside a protected call: any error thrown here unwinds to duk_safe_call. Only trivially
// destructible values live in this frame.
duk_ret_t runJob(duk_context* ctx, void* udata) {
  auto* job = static_cast<Job*>(udata);
  if (job->mode == Mode::Json) {
    duk_push_lstring(ctx, job->src, job->len);
    duk_json_decode(ctx, -1);
    duk_put_global_string(ctx, job->name);
    return 0;
  }
  duk_push_lstring(ctx, job->src, job->len);
  duk_eval(ctx);
  switch (job->mode) {
  case Mode::Number:
    job->number = duk_to_number(ctx, -1);
    break;
  case Mode::Text:
    // As the host's value conversion does: undefined and null have no text.
    if (duk_is_null_or_undefined(ctx, -1)) return 0;
    job->text = duk_to_lstring(ctx, -1, &job->textLen);
    return 1; // keeps the string alive on the stack until the caller has copied it
  case Mode::Truth:
    job->truth = duk_to_boolean(ctx, -1) != 0;
    break;
  default:
    break;
  }
  return 0;
}

struct StackBounds {
  std::uintptr_t low = lowestStackAddressOfThread();
};

} // namespace

extern "C" int tunova_duk_exec_timeout_check(void* udata) {
  auto* st = static_cast<ScriptEngine::State*>(udata);
  return st && st->mustEnd() ? 1 : 0;
}

extern "C" int tunova_duk_native_stack_check(void) {
  if (t_running && t_running->mustEnd()) return 1;
  thread_local StackBounds bounds;
  if (bounds.low == 0) return 0;
  char here;
  const auto sp = reinterpret_cast<std::uintptr_t>(&here);
  return sp < bounds.low + kStackMargin ? 1 : 0;
}

void setEngineLimits(const EngineLimits& limits) {
  g_timeLimitMs = limits.timeLimitMs;
  g_heapCap = limits.heapCapBytes;
}

EngineLimits engineLimits() {
  return EngineLimits{g_timeLimitMs.load(), g_heapCap.load()};
}

ScriptEngine::ScriptEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

ScriptEngine::~ScriptEngine() {
  if (state_ && state_->ctx) duk_destroy_heap(state_->ctx);
}

std::unique_ptr<ScriptEngine> ScriptEngine::create() {
  auto state = std::make_unique<State>();
  state->cap = g_heapCap.load();
  state->timeLimitMs = g_timeLimitMs.load();
  state->ctx = duk_create_heap(engineAlloc, engineRealloc, engineFree, state.get(), engineFatal);
  if (!state->ctx) return nullptr;
  std::unique_ptr<ScriptEngine> engine(new ScriptEngine(std::move(state)));
  // Standard built-ins only: the engine's own extension objects go.
  engine->evalIgnore("delete this.Duktape; delete this.CBOR; delete this.TextEncoder;"
                     "delete this.TextDecoder; delete this.performance;");
  return engine;
}

template <typename Convert>
bool ScriptEngine::evaluate(const std::string& expression, Convert&& convert) {
  State& st = *state_;
  const Clock::time_point now = Clock::now();
  if (now >= st.budgetEnd || st.stopped) return false; // the budget is spent, or the caller left
  st.deadline = st.timeLimitMs > 0 ? now + std::chrono::milliseconds(st.timeLimitMs)
                                   : Clock::time_point::max();
  st.deadline = std::min(st.deadline, st.budgetEnd);
  st.timing = st.deadline != Clock::time_point::max();
  State* outer = t_running;
  t_running = &st;
  const duk_idx_t top = duk_get_top(st.ctx);
  Job job;
  job.src = expression.data();
  job.len = expression.size();
  convert(job, true);
  const duk_int_t rc = duk_safe_call(st.ctx, runJob, &job, 0, 1);
  st.timing = false;
  t_running = outer;
  if (rc == DUK_EXEC_SUCCESS) convert(job, false);
  duk_set_top(st.ctx, top);
  return rc == DUK_EXEC_SUCCESS;
}

bool ScriptEngine::addCode(const std::string& utf8Code) {
  return evaluate(utf8Code, [](Job& job, bool before) {
    if (before) job.mode = Mode::Code;
  });
}

double ScriptEngine::evalNumber(const std::string& utf8Expression) {
  double result = 0;
  evaluate(utf8Expression, [&](Job& job, bool before) {
    if (before)
      job.mode = Mode::Number;
    else
      result = job.number;
  });
  return result;
}

std::string ScriptEngine::evalText(const std::string& utf8Expression) {
  std::string result;
  evaluate(utf8Expression, [&](Job& job, bool before) {
    if (before)
      job.mode = Mode::Text;
    else if (job.text)
      result = toProperUtf8(job.text, job.textLen);
  });
  return result;
}

bool ScriptEngine::evalTruth(const std::string& utf8Expression) {
  bool result = false;
  evaluate(utf8Expression, [&](Job& job, bool before) {
    if (before)
      job.mode = Mode::Truth;
    else
      result = job.truth;
  });
  return result;
}

void ScriptEngine::evalIgnore(const std::string& utf8Expression) {
  evaluate(utf8Expression, [](Job& job, bool before) {
    if (before) job.mode = Mode::Ignore;
  });
}

bool ScriptEngine::decodeJsonInto(const std::string& name, const std::string& utf8Json) {
  return evaluate(utf8Json, [&](Job& job, bool before) {
    if (before) {
      job.mode = Mode::Json;
      job.name = name.c_str();
    }
  });
}

void ScriptEngine::setWhileRunning(std::function<bool()> routine) {
  state_->whileRunning = std::move(routine);
  state_->nextCall = Clock::now();
  state_->stopped = false;
}

Clock::time_point ScriptEngine::budgetEnd() const {
  return state_->budgetEnd;
}

void ScriptEngine::setBudgetEnd(Clock::time_point end) {
  state_->budgetEnd = end;
}

long ScriptEngine::timeLimitMs() const {
  return state_->timeLimitMs;
}

std::size_t ScriptEngine::heapBytes() const {
  return state_->used;
}

} // namespace tunova
