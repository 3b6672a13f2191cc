#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "json/json_object.h"
#include "json/script_engine.h"

namespace tunova::fuzz {

int json(const std::uint8_t* data, std::size_t size) {
  // Scripts that are not JSON run under short limits, so slow inputs stay cheap.
  static const bool limited = [] {
    EngineLimits limits = engineLimits();
    limits.timeLimitMs = 50;
    setEngineLimits(limits);
    return true;
  }();
  (void)limited;
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonObject doc;
  if (!doc.parse(text)) return 0;
  // What the catalogue query reads, and a walk over what is there.
  const int songs = doc.count("data");
  FUZZ_CHECK(songs >= -2); // the counting routine starts at -2
  for (const char* path : {"data[0].title", "data[0].author", "data[0].duration",
                           "data[0].play_url.url_list[0]", "status_code", ""}) {
    (void)doc.getText(path);
    (void)doc.valueType(path);
    (void)doc.hasValue(path);
  }
  std::vector<std::string> names;
  (void)doc.listMembers(names);
  for (std::size_t i = 0; i < names.size() && i < 8; ++i)
    (void)doc.getJson(names[i]);
  (void)doc.toJson();
  // Edits, then the document must still read back.
  doc.setMember("added", "v");
  doc.setNumber("n", 1.5);
  doc.pushValue("1", "list", true);
  doc.removeAtPath("data");
  (void)doc.getElementText(0, "list");
  doc.setRoot(text, true);
  (void)doc.toJson();
  return 0;
}

} // namespace tunova::fuzz
