#include "server/synthetic.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace tunova::catalogue {

namespace {

// A fixed hash of the song's number and a field: the same song is always the same.
std::uint64_t mix(std::uint64_t n, std::uint64_t field) {
  std::uint64_t x =
      n * 0x9E3779B97F4A7C15ULL + field * 0xD1B54A32D192ED03ULL + 0x632BE59BD9B4E019ULL;
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

const char* const kSyllables[] = {"晴", "天", "月", "光", "风", "雨", "星", "海", "梦", "夜",
                                  "花", "雪", "山", "河", "心", "春", "秋", "云", "歌", "你",
                                  "我", "爱", "远", "方", "城", "灯", "路", "时", "间", "火",
                                  "蓝", "白", "青", "红", "桥", "窗", "梅", "竹", "林", "溪"};
const char* const kSurnames[] = {"林", "周", "苏", "唐", "顾", "陈", "王", "李", "张", "刘",
                                 "许", "叶", "沈", "韩", "秦", "白", "江", "何", "宋", "萧"};
const char* const kWords[] = {"Moon",   "River", "Night", "Train",  "Summer", "Paper", "City",
                              "Lights", "Blue",  "Road",  "Heart",  "Rain",   "Star",  "Dream",
                              "Ocean",  "Fire",  "Home",  "Silver", "Golden", "Wind"};
const char* const kGiven[] = {"Anna",  "Leo",  "Mia",  "Kai",  "Zoe",
                              "Ethan", "Luna", "Noah", "Iris", "Owen"};
const char* const kFamily[] = {"Su",  "Zhang", "Chen",  "Lin",    "Wong",
                               "Lee", "Park",  "Smith", "Garcia", "Kim"};
// Genres and how often they occur (per 10,000 songs): in one mood, in two (a pop-rock song is
// both 飙演技 and 流行), or in none. Love songs are rare, so 浪漫 is a collection whose genres
// match few songs.
struct Genre {
  const char* name;
  int weight;
};
const Genre kGenres[] = {
    {"Pop", 1400},    {"Rock", 1000},      {"Folk", 600},     {"Sad", 500},
    {"Oldies", 500},  {"流行", 1200},      {"摇滚", 700},     {"民谣", 500},
    {"伤感", 500},    {"经典", 400},       {"Pop Rock", 300}, {"Folk Ballad", 200},
    {"Jazz", 500},    {"Electronic", 700}, {"Hip-Hop", 480},  {"", 300},
    {"Ambient", 200}, {"Romance", 8},      {"情歌", 7},       {"Classic Love", 5}};

const char* genreOf(std::uint64_t h) {
  int total = 0;
  for (const Genre& g : kGenres)
    total += g.weight;
  int at = static_cast<int>(h % static_cast<std::uint64_t>(total));
  for (const Genre& g : kGenres) {
    if (at < g.weight) return g.name;
    at -= g.weight;
  }
  return "";
}

template <std::size_t N> const char* pick(const char* const (&list)[N], std::uint64_t h) {
  return list[h % N];
}

std::string chinese(std::uint64_t h, int length) {
  std::string s;
  for (int i = 0; i < length; ++i)
    s += pick(kSyllables, mix(h, static_cast<std::uint64_t>(i)));
  return s;
}

std::string latin(std::uint64_t h, int words) {
  std::string s;
  for (int i = 0; i < words; ++i)
    s += std::string(i ? " " : "") + pick(kWords, mix(h, static_cast<std::uint64_t>(i) + 7));
  return s;
}

} // namespace

Song syntheticSong(long long n) {
  const auto u = static_cast<std::uint64_t>(n);
  Song s;
  const std::uint64_t kind = mix(u, 1) % 10; // seven in ten Chinese, like the demo library
  s.title = kind < 7 ? chinese(mix(u, 2), 2 + static_cast<int>(mix(u, 3) % 4))
                     : latin(mix(u, 2), 1 + static_cast<int>(mix(u, 3) % 3));
  // Singers repeat across songs, as they do: about one singer per 40 songs.
  const std::uint64_t singer = mix(u, 4) % (u / 40 + 50);
  s.artist = mix(singer, 5) % 10 < 7
                 ? std::string(pick(kSurnames, mix(singer, 6))) +
                       chinese(mix(singer, 7), 1 + static_cast<int>(mix(singer, 8) % 2))
                 : std::string(pick(kGiven, mix(singer, 6))) + " " + pick(kFamily, mix(singer, 7));
  s.album =
      kind < 7 ? chinese(mix(u, 9), 2 + static_cast<int>(mix(u, 10) % 3)) : latin(mix(u, 9), 2);
  s.genre = genreOf(mix(u, 11));
  s.year = 1960 + static_cast<int>(mix(u, 12) % 66);
  s.duration = 90 + static_cast<int>(mix(u, 13) % 300);
  // Plays: most songs a few or none, a few thousand very many.
  const std::uint64_t p = mix(u, 14);
  s.plays = p % 1000 == 0 ? static_cast<long long>(p % 100000) : static_cast<long long>(p % 8);
  return s;
}

void makeSynthetic(Library& library, long long count,
                   const std::function<void(long long)>& progress) {
  constexpr long long kChunk = 50000; // one transaction each
  std::vector<Song> chunk;
  for (long long n = 0; n < count;) {
    chunk.clear();
    for (long long end = std::min(count, n + kChunk); n < end; ++n)
      chunk.push_back(syntheticSong(n));
    library.addSynthetic(chunk);
    if (progress) progress(n);
  }
}

} // namespace tunova::catalogue
