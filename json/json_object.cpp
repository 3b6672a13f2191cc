#include "json/json_object.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "text/codepage.h"
#include "text/text.h"
#include "json/library_script.h"

namespace tunova {

namespace {

bool startsWithBracket(const std::string& p) {
  return !p.empty() && p[0] == '[';
}

int truncateToInt(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

std::string intText(int i) {
  return numberToText(static_cast<long long>(i));
}

} // namespace

bool isStrictJson(const std::string& s, bool* isString) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  std::vector<char> stack; // '{' or '['
  auto ws = [&] {
    while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r'))
      ++i;
  };
  auto literal = [&](const char* word) {
    std::size_t k = 0;
    while (word[k]) {
      if (i + k >= n || s[i + k] != word[k]) return false;
      ++k;
    }
    i += k;
    return true;
  };
  auto string = [&] {
    ++i; // opening quote
    while (i < n) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++i >= n) return false;
        const char e = s[i];
        if (e == 'u') {
          for (int k = 1; k <= 4; ++k) {
            if (i + k >= n || !std::isxdigit(static_cast<unsigned char>(s[i + k]))) return false;
          }
          i += 5;
          continue;
        }
        if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' &&
            e != 't') {
          return false;
        }
      }
      ++i;
    }
    return false;
  };
  auto digits = [&] {
    const std::size_t b = i;
    while (i < n && s[i] >= '0' && s[i] <= '9')
      ++i;
    return i > b;
  };
  auto number = [&] {
    if (s[i] == '-') ++i;
    if (i >= n) return false;
    if (s[i] == '0') {
      ++i;
    } else if (!digits()) {
      return false;
    }
    if (i < n && s[i] == '.') {
      ++i;
      if (!digits()) return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
      ++i;
      if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
      if (!digits()) return false;
    }
    return true;
  };

  ws();
  if (i >= n) return false;
  if (isString) *isString = s[i] == '"';
  // Parse values; after each complete value decide what may follow from the innermost container.
  while (true) {
    ws();
    if (i >= n) return false;
    const char c = s[i];
    if (c == '{' || c == '[') {
      stack.push_back(c);
      ++i;
      ws();
      if (i < n && s[i] == (c == '{' ? '}' : ']')) {
        ++i;
        stack.pop_back();
      } else {
        if (c == '{') {
          if (i >= n || s[i] != '"' || !string()) return false;
          ws();
          if (i >= n || s[i] != ':') return false;
          ++i;
        }
        continue; // a value must follow
      }
    } else if (c == '"') {
      if (!string()) return false;
    } else if (c == 't') {
      if (!literal("true")) return false;
    } else if (c == 'f') {
      if (!literal("false")) return false;
    } else if (c == 'n') {
      if (!literal("null")) return false;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      if (!number()) return false;
    } else {
      return false;
    }
    // A value is complete: close containers or move to the next element.
    while (true) {
      ws();
      if (stack.empty()) return i == n;
      if (i >= n) return false;
      const char top = stack.back();
      if (s[i] == ',') {
        ++i;
        if (top == '{') {
          ws();
          if (i >= n || s[i] != '"' || !string()) return false;
          ws();
          if (i >= n || s[i] != ':') return false;
          ++i;
        }
        break; // next value
      }
      if (s[i] == (top == '{' ? '}' : ']')) {
        ++i;
        stack.pop_back();
        continue;
      }
      return false;
    }
  }
}

std::string textBefore(const std::string& text, const std::string& marker, int start,
                       bool ignoreCase) {
  if (start < 1) start = 1;
  const std::size_t hit = findText(text, marker, static_cast<std::size_t>(start - 1), ignoreCase);
  if (hit == std::string::npos) return std::string();
  return text.substr(0, hit);
}

JsonObject::JsonObject() : rootName_("da") {
  setUpEngine();
}

JsonObject::~JsonObject() {
  engine_.release();
}

void JsonObject::setUpEngine() {
  engine_.create();
  if (engine_.isEmpty()) return;
  engine_->addCode(kJsonLibraryScript);
  if (whileRunning_) engine_->setWhileRunning(whileRunning_);
  // The counting routine is the program's, not the answer's: an answer that assigns another
  // one (to report two thousand million songs) changes nothing.
  evalIgnore("Object.defineProperty(this,'get__count',{writable:false,configurable:false})");
  evalIgnore("var " + rootName_ + "={}");
}

std::string JsonObject::dot(const std::string& p) const {
  return rootName_ + "." + p;
}

std::string JsonObject::bracket(const std::string& p) const {
  return startsWithBracket(p) ? rootName_ + p : rootName_ + "." + p;
}

std::string JsonObject::root(const std::string& p) const {
  return p.empty() ? rootName_ : rootName_ + "." + p;
}

std::string JsonObject::full(const std::string& p) const {
  if (p.empty()) return rootName_;
  return startsWithBracket(p) ? rootName_ + p : rootName_ + "." + p;
}

double JsonObject::evalNumber(const std::string& script) {
  return engine_.isEmpty() ? 0 : engine_->evalNumber(toUtf8(script));
}

namespace {

// The characters the JSON library script writes as \uXXXX escapes: invisible, format and
// special characters that a reader may drop or mangle. Escaping them also keeps the document
// whole in GBK text, which has none of them.
bool escapedInJsonText(std::uint32_t c) {
  return (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x600 && c <= 0x604) || c == 0x70F ||
         c == 0x17B4 || c == 0x17B5 || (c >= 0x200C && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
         (c >= 0xFFF0 && c <= 0xFFFF);
}

// Serialised JSON (UTF-8) with those characters escaped; everything else as it is.
std::string escapeJsonText(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const std::size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    std::uint32_t c = len == 1 ? b : b & (0x3F >> (len - 1));
    bool whole = i + len <= utf8.size();
    for (std::size_t k = 1; whole && k < len; ++k) {
      const auto t = static_cast<unsigned char>(utf8[i + k]);
      whole = (t & 0xC0) == 0x80;
      c = (c << 6) | (t & 0x3F);
    }
    if (whole && escapedInJsonText(c)) {
      out += "\\u";
      appendHex(out, static_cast<unsigned char>(c >> 8), true);
      appendHex(out, static_cast<unsigned char>(c & 0xFF), true);
    } else {
      out.append(utf8, i, whole ? len : 1);
    }
    i += whole ? len : 1;
  }
  return out;
}

// Strict JSON text with every exponent above the decoder's largest (10,000,000) written as that
// largest, sign kept. Outside strings an 'e' or 'E' right after a digit starts an exponent.
std::string clampExponents(const std::string& json) {
  constexpr long kMaxExponent = 10000000;
  std::string out;
  out.reserve(json.size());
  bool inString = false;
  for (std::size_t i = 0; i < json.size();) {
    const char c = json[i];
    if (inString) {
      out.push_back(c);
      if (c == '\\' && i + 1 < json.size())
        out.push_back(json[++i]);
      else if (c == '"')
        inString = false;
      ++i;
      continue;
    }
    if (c == '"') inString = true;
    out.push_back(c);
    ++i;
    if ((c != 'e' && c != 'E') || i < 2 || !std::isdigit(static_cast<unsigned char>(json[i - 2])))
      continue;
    if (i < json.size() && (json[i] == '+' || json[i] == '-')) out.push_back(json[i++]);
    long value = 0;
    std::size_t digits = i;
    while (digits < json.size() && std::isdigit(static_cast<unsigned char>(json[digits]))) {
      value = std::min(value * 10 + (json[digits] - '0'), kMaxExponent + 1);
      ++digits;
    }
    if (value > kMaxExponent) {
      out += std::to_string(kMaxExponent);
      i = digits;
    }
  }
  return out;
}

} // namespace

std::string JsonObject::evalJsonText(const std::string& script) {
  return engine_.isEmpty() ? std::string()
                           : fromUtf8(escapeJsonText(engine_->evalText(toUtf8(script))));
}

std::string JsonObject::evalText(const std::string& script) {
  return engine_.isEmpty() ? std::string() : fromUtf8(engine_->evalText(toUtf8(script)));
}

bool JsonObject::evalTruth(const std::string& script) {
  return !engine_.isEmpty() && engine_->evalTruth(toUtf8(script));
}

void JsonObject::evalIgnore(const std::string& script) {
  if (!engine_.isEmpty()) engine_->evalIgnore(toUtf8(script));
}

bool JsonObject::load(const std::string& text) {
  const std::string utf8 = toUtf8(text);
  bool isString = false;
  if (isStrictJson(utf8, &isString) && !isString) {
    // Strict JSON gives the same document through the decoder as through evaluation, without
    // running anything the server sent. The decoder refuses one thing the check accepts: an
    // exponent past its range (1e10000001). Such an exponent means the same as the largest one
    // it takes (the number is Infinity or 0 either way), so it is clamped and decoded again.
    return engine_->decodeJsonInto(rootName_, utf8) ||
           engine_->decodeJsonInto(rootName_, clampExponents(utf8));
  }
  // Anything else (including a lone string, which evaluation runs a second time as code) goes
  // through the bounded evaluation.
  return engine_->addCode("var " + rootName_ + "=eval(" + utf8 + ")");
}

bool JsonObject::parse(const std::string& text) {
  if (!engine_.isEmpty()) {
    engine_.release();
    setUpEngine();
  }
  if (engine_.isEmpty()) return false;
  evalIgnore("var " + rootName_ + "=null");
  load(text);
  return evalTruth("null !=" + rootName_);
}

std::string JsonObject::toJson() {
  return evalJsonText("JSON.stringify(" + rootName_ + ")");
}

namespace {

// A text as a script string literal that reads back as exactly that text: quotes, backslashes,
// line ends and other control characters are escaped, so no value is lost or runs as script.
// The escaping is done on the UTF-8 form, where no byte of a character can look like a quote or
// a backslash, then the literal is given back in the program's code page.
std::string scriptString(const std::string& value) {
  const std::string utf8 = toUtf8(value);
  std::string out = "'";
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\\' || c == '\'') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      static const char hex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else if (c == 0xE2 && i + 2 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
               (utf8[i + 2] == '\xA8' || utf8[i + 2] == '\xA9')) {
      out += utf8[i + 2] == '\xA8' ? "\\u2028" : "\\u2029"; // line ends inside a literal
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('\'');
  return fromUtf8(out);
}

} // namespace

void JsonObject::setMember(const std::string& path, const std::string& value, bool valueIsJson) {
  if (valueIsJson) {
    evalIgnore(dot(path) + "= eval(" + (value.empty() ? std::string("{}") : value) + ")");
  } else {
    evalIgnore(dot(path) + "=" + scriptString(value));
  }
}

void JsonObject::setMemberEval(const std::string& path, const std::string& expression) {
  evalIgnore(dot(path) + "= eval(" + expression + ")");
}

void JsonObject::setNumber(const std::string& path, double number) {
  evalIgnore(dot(path) + "=" + numberToText(number));
}

double JsonObject::getNumber(const std::string& path) {
  return evalNumber(dot(path));
}

std::string JsonObject::getJson(const std::string& path) {
  return evalJsonText("JSON.stringify(" + dot(path) + ")");
}

namespace {

// One read made of several evaluations is held to one evaluation's limit in all: the engine's
// shared deadline is narrowed for the read and put back afterwards.
class ReadScope {
public:
  explicit ReadScope(ScriptEngine* engine) : engine_(engine) {
    if (!engine_ || engine_->timeLimitMs() <= 0) return;
    saved_ = engine_->budgetEnd();
    const auto end = ScriptEngine::Clock::now() + std::chrono::milliseconds(engine_->timeLimitMs());
    engine_->setBudgetEnd(std::min(saved_, end));
    active_ = true;
  }
  ~ReadScope() {
    if (active_) engine_->setBudgetEnd(saved_);
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

private:
  ScriptEngine* engine_;
  ScriptEngine::Clock::time_point saved_{};
  bool active_ = false;
};

} // namespace

void JsonObject::setScriptBudgetEnd(ScriptEngine::Clock::time_point end) {
  if (!engine_.isEmpty()) engine_->setBudgetEnd(end);
}

void JsonObject::setWhileRunning(std::function<bool()> routine) {
  whileRunning_ = std::move(routine);
  if (!engine_.isEmpty()) engine_->setWhileRunning(whileRunning_);
}

bool JsonObject::scriptBudgetSpent() const {
  return !engine_.isEmpty() && ScriptEngine::Clock::now() >= engine_->budgetEnd();
}

std::string JsonObject::getText(const std::string& path, bool asJson) {
  ReadScope scope(engine_.get());
  const std::string separator = startsWithBracket(path) ? "" : ".";
  if (asJson) return evalJsonText("JSON.stringify(" + rootName_ + separator + path + ")");
  if (engine_.isEmpty()) return std::string();
  if (valueType(path) == kJsonNumber) return numberToText(getNumber(path));
  return evalText(rootName_ + separator + path);
}

JsonObject JsonObject::getObject(const std::string& path) {
  JsonObject copy;
  copy.parse(evalJsonText("JSON.stringify(" + bracket(path) + ")"));
  return copy;
}

int JsonObject::count(const std::string& path) {
  return truncateToInt(evalNumber("get__count(" + full(path) + ")"));
}

void JsonObject::pushValue(const std::string& value, const std::string& arrayPath,
                           bool valueIsRaw) {
  const std::string a = root(arrayPath);
  const std::string v = valueIsRaw ? value : scriptString(value);
  evalIgnore("if (Object.prototype.toString.call(" + a + ") != '[object Array]') { " + a +
             "=new Array();} " + a + ".push(" + v + ")");
}

JsonObject JsonObject::getElementObject(int index, const std::string& arrayPath) {
  JsonObject copy;
  copy.parse(evalJsonText("JSON.stringify(" + root(arrayPath) + "[" + intText(index) + "])"));
  return copy;
}

std::string JsonObject::getElementText(int index, const std::string& arrayPath, bool asJson) {
  const std::string element = root(arrayPath) + "[" + intText(index) + "]";
  return asJson ? evalJsonText("JSON.stringify(" + element + ")") : evalText(element);
}

void JsonObject::setElement(int index, const std::string& value, bool valueIsRaw) {
  evalIgnore(rootName_ + "[" + intText(index) + "]=" + (valueIsRaw ? value : scriptString(value)));
}

void JsonObject::removeElement(int index) {
  evalIgnore(rootName_ + ".splice(" + intText(index) + ",1)");
}

void JsonObject::removeAtPath(const std::string& path) {
  if (engine_.isEmpty()) return;
  JsonObject temporary;
  const std::string arrayPath = textBefore(path, "[");
  const std::string indexText = textBetween(path, "[", "]");
  temporary.parse(getText(arrayPath, true));
  temporary.removeElement(textToInt(indexText));
  setMemberEval(arrayPath, temporary.toJson());
}

void JsonObject::reset(int kind) {
  if (kind == kJsonNull || kind == kJsonObject) {
    evalIgnore("var " + rootName_ + "={}");
  } else if (kind == kJsonArray) {
    evalIgnore("var " + rootName_ + "=new Array()");
  }
}

void JsonObject::setRoot(const std::string& value, bool valueIsRaw) {
  evalTruth(rootName_ + "=" + (valueIsRaw ? value : scriptString(value)));
}

bool JsonObject::hasValue(const std::string& path) {
  return evalTruth(dot(path) + " !=null");
}

int JsonObject::listMembers(std::vector<std::string>& names, const std::string& path) {
  std::string s = evalText("var ary=''; for (var key in " + root(path) + ") {ary=ary+ key+','; }");
  s = replaceAll(s, "toJSONString,", "");
  s = replaceAll(s, "parseJSON,", "");
  evalIgnore("ary=null");
  names = splitText(s, ",");
  return static_cast<int>(names.size());
}

int JsonObject::valueType(const std::string& path) {
  const std::string e = root(path);
  if (evalTruth(e + "==null")) return kJsonNull;
  const std::string s = evalText("typeof (" + e + ")");
  if (s == "string") return kJsonString;
  if (s == "object") {
    const std::string json =
        path.empty() ? evalJsonText("JSON.stringify(" + rootName_ + ")") : getText(path, true);
    return !json.empty() && json[0] == '[' ? kJsonArray : kJsonObject;
  }
  if (s == "number") return kJsonNumber;
  if (s == "boolean") return kJsonBoolean;
  return kJsonOther;
}

void JsonObject::clear() {
  evalIgnore(rootName_ + "={}");
}

} // namespace tunova
