// 热门, the six mood collections and searches of tunova-catalogue at a million songs.
//
// (1) A synthetic index of N songs (BENCH_SONGS, default 1,000,000) is made; its time is shown.
// (2) Per page, in-process: each collection's pages at offsets 0, 20 and 40 through the
//     library, p50/p99 over many rounds, against a floor measured in the same run: the same
//     SQL as a statement prepared once on a connection of its own, stepped and its columns read
//     (SQLite alone). Beside them, the page as the table-sorting queries of before would read it
//     (NOT INDEXED / genre patterns), for the record.
// (3) The deepest page of 热门, of the largest collection and of a common three-character
//     search.
// (4) Through the service under `wrk -t2 -c64 -d5s` over each collection's three pages: p99 and
//     socket errors, while a /ping is sent every 20 ms during the 热门 run (its slowest answer).
// (5) Searches of every kind of term (one CJK character, two, three; Latin letters and digits;
//     matching many songs, few or none), per page as in (2) against the floor, then a
//     two-character term that matches nothing under wrk, with /ping meanwhile; the peak
//     resident memory of the whole run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "server/library.h"
#include "server/service.h"
#include "server/synthetic.h"

using namespace tunova::bench;
using namespace tunova::catalogue;
namespace fs = std::filesystem;

namespace {

const int kCollections[] = {850, 851, 853, 854, 856, 857, 858};

// The SQL a collection's page runs, as the library writes it.
std::string pageSql(int id) {
  const std::string columns =
      "SELECT id, path, title, artist, album, genre, year, duration, plays FROM songs";
  if (id == 850)
    return columns + " WHERE id IN (SELECT id FROM songs INDEXED BY songs_hot ORDER BY plays "
                     "DESC, id LIMIT ? OFFSET ?) ORDER BY plays DESC, id";
  return columns + " WHERE id IN (SELECT song FROM song_moods WHERE mood=" + std::to_string(id) +
         " ORDER BY song LIMIT ? OFFSET ?) ORDER BY id";
}

// The SQL a search's page runs, as the library writes it, and its MATCH argument.
std::string searchSql(const std::string& term, std::string& match) {
  std::size_t characters = 0;
  for (unsigned char c : term)
    characters += (c & 0xC0) != 0x80;
  match = "\"" + term + "\"";
  return std::string("SELECT id, path, title, artist, album, genre, year, duration, plays FROM ") +
         "songs WHERE id IN (SELECT rowid FROM " + (characters >= 3 ? "songs_fts" : "songs_short") +
         " WHERE " + (characters >= 3 ? "songs_fts" : "songs_short") +
         " MATCH ?1 ORDER BY rowid LIMIT ?2 OFFSET ?3) ORDER BY id";
}

// The same page read as the queries of before did: sorting the table for 热门, the genre
// patterns for a mood.
std::string sortingSql(int id) {
  const std::string columns =
      "SELECT id, path, title, artist, album, genre, year, duration, plays FROM songs NOT INDEXED";
  if (id == 850) return columns + " ORDER BY plays DESC, id LIMIT ? OFFSET ?";
  std::string where;
  for (const Collection& c : defaultCollections()) {
    if (c.id != id) continue;
    for (const std::string& k : c.keywords)
      where += (where.empty() ? "" : " OR ") + std::string("genre LIKE '%") + k + "%'";
  }
  return columns + " WHERE " + where + " ORDER BY id LIMIT ? OFFSET ?";
}

// The floor: one prepared statement, stepped, every column read. Returns seconds per run.
std::vector<double> floorTimes(sqlite3* db, const std::string& sql, int rounds,
                               const std::string& match = {}) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  std::vector<double> times;
  const int first = match.empty() ? 1 : 2;
  for (int r = 0; r < rounds; ++r) {
    const int offset = (r % 3) * 20;
    const double t0 = now();
    if (!match.empty()) sqlite3_bind_text(stmt, 1, match.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, first, 21);
    sqlite3_bind_int(stmt, first + 1, offset);
    long long sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < 9; ++c) {
        const unsigned char* t = sqlite3_column_text(stmt, c);
        sum += t ? t[0] : 0;
      }
    }
    sqlite3_reset(stmt);
    times.push_back(now() - t0);
    if (sum < 0) std::puts("");
  }
  sqlite3_finalize(stmt);
  return times;
}

// GET /ping on a new connection; seconds until the answer ended (-1 on failure).
double ping(int port) {
  const double t0 = now();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  const char request[] = "GET /ping HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
  ::send(fd, request, sizeof request - 1, 0);
  char buffer[512];
  std::string answer;
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return answer.find(" 200 ") != std::string::npos ? now() - t0 : -1;
}

// Runs wrk over the three pages of `base` (a path ending in "offset="); prints its p99 and
// errors, and with `probe` the slowest /ping meanwhile.
void underWrk(int port, const std::string& label, const std::string& base, const fs::path& work,
              bool probe) {
  const fs::path script = work / "pages.lua";
  std::ofstream(script) << "local i = 0\nrequest = function()\n  i = i % 3\n  local p = '" << base
                        << "' .. (i * 20)\n  i = i + 1\n  return wrk.format('GET', p)\nend\n";
  const fs::path out = work / "wrk.txt";
  std::atomic<bool> running{true};
  double slowest = 0;
  int failed = 0, sent = 0;
  std::thread prober([&] {
    while (probe && running) {
      const double t = ping(port);
      if (t < 0)
        ++failed;
      else
        slowest = std::max(slowest, t);
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const std::string command = "wrk -t2 -c64 -d5s --latency -s " + script.string() +
                              " http://127.0.0.1:" + std::to_string(port) + "/ >" + out.string();
  const int rc = std::system(command.c_str());
  running = false;
  prober.join();
  std::ifstream in(out);
  std::string line, p99 = "?", requests = "?", errors = "no socket errors";
  while (std::getline(in, line)) {
    if (line.find(" 99%") != std::string::npos) p99 = line.substr(line.find("99%") + 3);
    if (line.find("requests in") != std::string::npos) requests = line.substr(0, line.find(" in"));
    if (line.find("Socket errors") != std::string::npos) errors = line;
    if (line.find("Non-2xx") != std::string::npos) errors += "; " + line;
  }
  p99.erase(0, p99.find_first_not_of(' '));
  requests.erase(0, requests.find_first_not_of(' '));
  std::printf("  %s: p99 %s, %s, %s%s\n", label.c_str(), p99.c_str(), requests.c_str(),
              errors.c_str(), rc ? " (wrk failed)" : "");
  if (probe)
    std::printf("      /ping meanwhile: %d sent, slowest %.1f ms, %d failed\n", sent, slowest * 1e3,
                failed);
}

} // namespace

int main() {
  const long long songs =
      std::getenv("BENCH_SONGS") ? std::atoll(std::getenv("BENCH_SONGS")) : 1000000;
  const fs::path work = fs::temp_directory_path() / "tunova-collections-bench";
  fs::remove_all(work);
  fs::create_directories(work / "empty");
  const std::string index = (work / "index.sqlite").string();

  double t0 = now();
  {
    Library made("", index);
    makeSynthetic(made, songs);
  }
  std::printf("(1) %lld synthetic songs indexed in %.1f s\n", songs, now() - t0);

  Library lib((work / "empty").string(), index);
  sqlite3* floorDb = nullptr;
  sqlite3_open_v2(index.c_str(), &floorDb, SQLITE_OPEN_READONLY, nullptr);
  std::printf("(2) per page (offsets 0, 20, 40), p50 / p99 in ms: library | SQLite floor | "
              "ratio of p50s | the sorting query of before (p50)\n");
  constexpr int kRounds = 300;
  for (int id : kCollections) {
    std::vector<double> times;
    std::size_t rows = 0;
    for (int r = 0; r < kRounds; ++r) {
      const double s = now();
      rows += lib.collection(id, (r % 3) * 20, 20).songs.size();
      times.push_back(now() - s);
    }
    const std::vector<double> floor = floorTimes(floorDb, pageSql(id), kRounds);
    const std::vector<double> before = floorTimes(floorDb, sortingSql(id), 9);
    std::printf("  %d: %.3f / %.3f | %.3f / %.3f | %.2f | %.1f  (%zu rows a page)\n", id,
                percentile(times, 0.5) * 1e3, percentile(times, 0.99) * 1e3,
                percentile(floor, 0.5) * 1e3, percentile(floor, 0.99) * 1e3,
                percentile(times, 0.5) / percentile(floor, 0.5), percentile(before, 0.5) * 1e3,
                rows / kRounds);
  }

  std::printf("(3) the deepest pages:\n");
  for (int id : {850, 853}) {
    long long total = 0;
    {
      sqlite3_stmt* count = nullptr;
      const std::string sql =
          id == 850 ? "SELECT count(*) FROM songs"
                    : "SELECT count(*) FROM song_moods WHERE mood=" + std::to_string(id);
      sqlite3_prepare_v2(floorDb, sql.c_str(), -1, &count, nullptr);
      if (sqlite3_step(count) == SQLITE_ROW) total = sqlite3_column_int64(count, 0);
      sqlite3_finalize(count);
    }
    const int offset = static_cast<int>(std::max(0LL, total - 20));
    const double s = now();
    const Page page = lib.collection(id, offset, 20);
    std::printf("  %d at offset %d of %lld: %.1f ms, %zu rows\n", id, offset, total,
                (now() - s) * 1e3, page.songs.size());
  }
  for (const std::string term : {"Moon", "晴天月"}) {
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(floorDb, "SELECT count(*) FROM songs_fts WHERE songs_fts MATCH ?", -1,
                       &count, nullptr);
    sqlite3_bind_text(count, 1, ("\"" + term + "\"").c_str(), -1, SQLITE_TRANSIENT);
    const long long total = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : 0;
    sqlite3_finalize(count);
    const int offset = static_cast<int>(std::max(0LL, total - 20));
    const double s = now();
    const Page page = lib.search(term, offset, 20);
    std::printf("  search %s at offset %d of %lld: %.1f ms, %zu rows\n", term.c_str(), offset,
                total, (now() - s) * 1e3, page.songs.size());
  }
  registerShortTermTokenizer(floorDb);
  std::printf("(5a) searches per page (offsets 0, 20, 40), p50 / p99 in ms: library | SQLite "
              "floor | rows of the first page\n");
  for (const std::string term : {"晴", "晴天", "龘龖", "晴天月", "梦夜花", "林", "王城", "Moon",
                                 "mo", "x", "Lights", "42", "zq", "Silver Wind"}) {
    std::vector<double> times;
    for (int r = 0; r < kRounds; ++r) {
      const double t = now();
      lib.search(term, (r % 3) * 20, 20);
      times.push_back(now() - t);
    }
    std::string match;
    const std::vector<double> floor = floorTimes(floorDb, searchSql(term, match), kRounds, match);
    // Before: a term under three characters was a substring scan of the table (longer ones
    // used the trigram index as now).
    std::size_t characters = 0;
    for (unsigned char c : term)
      characters += (c & 0xC0) != 0x80;
    const std::string like = "'%" + term + "%'";
    const std::vector<double> before =
        characters >= 3
            ? std::vector<double>{0.0}
            : floorTimes(
                  floorDb,
                  "SELECT id, path, title, artist, album, genre, year, duration, plays FROM songs "
                  "WHERE title LIKE " +
                      like + " OR artist LIKE " + like + " OR album LIKE " + like +
                      " ORDER BY id LIMIT ? OFFSET ?",
                  3);
    char was[32] = "the same index";
    if (characters < 3) std::snprintf(was, sizeof was, "%.1f", percentile(before, 0.5) * 1e3);
    std::printf("  %-12s %.3f / %.3f | %.3f / %.3f | %zu | before: %s\n", term.c_str(),
                percentile(times, 0.5) * 1e3, percentile(times, 0.99) * 1e3,
                percentile(floor, 0.5) * 1e3, percentile(floor, 0.99) * 1e3,
                lib.search(term, 0, 20).songs.size(), was);
  }
  sqlite3_close(floorDb);

  if (std::system("command -v wrk >/dev/null") == 0) {
    Service service(lib);
    service.bind("127.0.0.1:0");
    std::thread serving([&service] { service.run(); });
    while (ping(service.port()) < 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("(4) wrk -t2 -c64 -d5s over each collection's three pages:\n");
    std::fflush(stdout);
    for (int id : kCollections)
      underWrk(service.port(), std::to_string(id),
               "/zamrilo/music/collection/songs?id=" + std::to_string(id) + "&count=20&offset=",
               work, id == 850);
    std::printf("(5b) wrk -t2 -c64 -d5s over the three pages of a two-character search that "
                "matches nothing (龘龖):\n");
    std::fflush(stdout);
    underWrk(service.port(), "search",
             "/zamrilo/music/search/songs?query=%E9%BE%98%E9%BE%96&count=20&offset=", work, true);
    service.stop();
    serving.join();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory of the run: %.0f MiB\n", usage.ru_maxrss / 1024.0);
  fs::remove_all(work);
  return 0;
}
