// One catalogue page of 20 songs read as the query reads it (parse, count("data"), then the four
// getText paths per song) against the same reads with a native JSON parser.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "bench_support.h"
#include "text/codepage.h"
#include "json/json_object.h"

using namespace tunova;
using namespace tunova::bench;

int main() {
  std::string page = "{\"status_code\":0,\"has_more\":true,\"data\":[";
  for (int i = 0; i < 20; ++i) {
    if (i) page += ",";
    page +=
        "{\"id\":" + std::to_string(1000 + i) + ",\"title\":\"晴天的第" + std::to_string(i) +
        "首歌\",\"author\":\"林晓岚\",\"album\":\"晚风\",\"duration\":" + std::to_string(180 + i) +
        ",\"play_url\":{\"url_list\":[\"http://127.0.0.1:8960/media/" + std::to_string(1000 + i) +
        ".mp3\"]}}";
  }
  page += "]}";
  const std::string gbkPage = fromUtf8(page);
  constexpr int kRounds = 200;
  std::size_t sink = 0;

  double t0 = now();
  JsonObject json;
  for (int r = 0; r < kRounds; ++r) {
    json.parse(gbkPage);
    const int m = json.count("data");
    for (int k = 0; k < m; ++k) {
      const std::string p = "data[" + std::to_string(k) + "]";
      sink += json.getText(p + ".title").size() + json.getText(p + ".author").size() +
              static_cast<std::size_t>(textToInt(json.getText(p + ".duration"))) +
              json.getText(p + ".play_url.url_list[0]").size();
    }
  }
  const double engine = (now() - t0) / kRounds;

  t0 = now();
  for (int r = 0; r < kRounds; ++r) {
    const auto doc = nlohmann::json::parse(toUtf8(gbkPage));
    for (const auto& song : doc["data"]) {
      sink += fromUtf8(song.value("title", "")).size() + fromUtf8(song.value("author", "")).size() +
              static_cast<std::size_t>(song.value("duration", 0)) +
              song["play_url"]["url_list"][0].get<std::string>().size();
    }
  }
  const double native = (now() - t0) / kRounds;
  std::printf("JsonObject (script engine): %.1f us per page\n", engine * 1e6);
  std::printf("nlohmann::json (native)   : %.1f us per page\n", native * 1e6);
  std::printf("ratio engine/native: %.1f  (checksum %zu)\n", engine / native, sink);

  // The 50 MB document of the sandbox test, for the record.
  std::string big = "{\"data\":[";
  for (int i = 0; i < 20; ++i) {
    big += (i ? "," : "") + std::string("{\"title\":\"t\",\"album\":\"") +
           std::string(2'500'000, 'a') + "\",\"duration\":1}";
  }
  big += "]}";
  t0 = now();
  const bool ok = json.parse(big);
  std::printf("parse of %.1f MB of JSON: %s in %.2f s\n", big.size() / 1e6, ok ? "true" : "false",
              now() - t0);
  return 0;
}
