// (1) One full query (three 20-song pages) against a local tunova-catalogue, timed inside the
//     program, against the floor measured in the same run: the same three pages fetched
//     in-process with libcurl's easy interface and parsed with a native JSON parser, the same
//     four fields read from each song. Medians of alternating runs, with their spread.
// (2) Search latency p50/p99 on a synthetic index of 100,000 songs.
// (3) Requests per second under wrk with 64 connections for 10 s (when wrk is installed).
#include <curl/curl.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <vector>

#include "app/program.h"
#include "bench_support.h"
#include "catalogue/catalogue.h"
#include "cli/console_host.h"
#include "server/demo.h"
#include "server/library.h"
#include "server/service.h"
#include "text/codepage.h"

using namespace tunova;
using namespace tunova::bench;
using namespace tunova::catalogue;
namespace fs = std::filesystem;

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

// The floor: three fetches on one easy handle and a native parse; returns the rows read.
int floorQuery(CURL* easy, const std::string& base) {
  int rows = 0;
  for (int offset = 0; offset <= 40; offset += 20) {
    std::string body;
    const std::string url = base + std::to_string(offset);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L); // a connection per page, as the program
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(easy) != CURLE_OK) continue;
    const auto doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.contains("data") || !doc["data"].is_array()) continue;
    for (const auto& song : doc["data"]) {
      std::string cells = song.value("title", "") + song.value("author", "");
      cells += std::to_string(song.value("duration", 0));
      if (song.contains("play_url")) cells += song["play_url"]["url_list"][0].get<std::string>();
      rows += !cells.empty();
    }
  }
  return rows;
}

} // namespace

int main() {
  const fs::path work = fs::temp_directory_path() / "tunova-catalogue-bench";
  fs::remove_all(work);
  fs::create_directories(work);
  makeDemoLibrary((work / "library").string());

  // (1) the full query, through the program's own handler.
  {
    Library lib((work / "library").string(), (work / "demo.sqlite").string());
    Service service(lib);
    service.bind("127.0.0.1:0");
    std::thread serving([&service] { service.run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string host = "127.0.0.1:" + std::to_string(service.port());
    setenv("TUNOVA_CATALOGUE_HOST", host.c_str(), 1);
    ConsoleHost console;
    Program program(console);
    program.start();
    std::vector<double> query, floor;
    CURL* easy = curl_easy_init();
    const std::string base = catalogueBaseAddress("850", "");
    int floorRows = 0;
    for (int round = 0; round < 21; ++round) {
      double t0 = now();
      queryCatalogue(console, "850", "");
      query.push_back(now() - t0);
      t0 = now();
      floorRows = floorQuery(easy, base);
      floor.push_back(now() - t0);
    }
    curl_easy_cleanup(easy);
    const double q50 = percentile(query, 0.5), f50 = percentile(floor, 0.5);
    std::printf("(1) full query of 3 pages: median %.2f ms (p10 %.2f, p90 %.2f); floor (libcurl "
                "+ native JSON): median %.2f ms (p10 %.2f, p90 %.2f); ratio %.2f (rows %d / %d)\n",
                q50 * 1e3, percentile(query, 0.1) * 1e3, percentile(query, 0.9) * 1e3, f50 * 1e3,
                percentile(floor, 0.1) * 1e3, percentile(floor, 0.9) * 1e3, q50 / f50,
                console.rowCount(names().mainWindow, names().resultList), floorRows);
    console.finish();
    service.stop();
    serving.join();
  }

  // (2) and (3): a synthetic index of 100,000 songs.
  Library big("", (work / "synthetic.sqlite").string());
  const char* syllables[] = {"晴", "天", "月", "光", "风", "雨", "星", "海", "梦", "夜",
                             "花", "雪", "山", "河", "心", "春", "秋", "云", "歌", "你"};
  std::mt19937 rng(7);
  auto word = [&](int n) {
    std::string w;
    for (int i = 0; i < n; ++i)
      w += syllables[rng() % std::size(syllables)];
    return w;
  };
  std::vector<Song> songs;
  for (int i = 0; i < 100000; ++i) {
    Song s;
    s.title = word(2 + static_cast<int>(rng() % 4));
    s.artist = word(3);
    s.album = word(2);
    s.genre = i % 2 ? "Pop" : "Rock";
    s.duration = 120 + static_cast<int>(rng() % 200);
    songs.push_back(s);
  }
  big.addSynthetic(songs);
  std::vector<double> shortTerms, longTerms;
  for (int i = 0; i < 300; ++i) {
    const std::string shortTerm = word(2), longTerm = word(3);
    double t0 = now();
    big.search(shortTerm, 0, 20);
    shortTerms.push_back(now() - t0);
    t0 = now();
    big.search(longTerm, 0, 20);
    longTerms.push_back(now() - t0);
  }
  std::printf("(2) 100,000 songs: 2-character terms p50 %.2f ms p99 %.2f ms; "
              "3-character terms p50 %.2f ms p99 %.2f ms\n",
              percentile(shortTerms, 0.5) * 1e3, percentile(shortTerms, 0.99) * 1e3,
              percentile(longTerms, 0.5) * 1e3, percentile(longTerms, 0.99) * 1e3);

  Service service(big);
  service.bind("127.0.0.1:0");
  std::thread serving([&service] { service.run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string url = "http://127.0.0.1:" + std::to_string(service.port()) +
                          "/zamrilo/music/search/songs?query=" + urlEncode(gbk("晴天月")) +
                          "&count=20&offset=0";
  if (std::system("command -v wrk >/dev/null") == 0) {
    std::printf("(3) wrk -t2 -c64 -d10s on a 3-character search:\n");
    std::fflush(stdout);
    std::system(("wrk -t2 -c64 -d10s '" + url + "'").c_str());
  }
  service.stop();
  serving.join();
  fs::remove_all(work);
  return 0;
}
