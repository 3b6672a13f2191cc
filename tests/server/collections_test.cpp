// tunova-catalogue's lists read from indexes: 热门 by plays, the mood collections from the songs'
// stored moods, and search pages cut from the trigram index. Each is checked against the query
// that sorts or scans the table, run on the same index file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "server/library.h"
#include "server/synthetic.h"

using namespace tunova;
using namespace tunova::catalogue;

namespace {

// Every id a list gives, page by page (20 at a time) as the program asks for it.
std::vector<long long> allPages(const std::function<Page(int offset)>& page) {
  std::vector<long long> ids;
  for (int offset = 0;; offset += 20) {
    const Page p = page(offset);
    for (const Song& s : p.songs)
      ids.push_back(s.id);
    if (!p.hasMore) return ids;
    EXPECT_EQ(p.songs.size(), 20u);
  }
}

// The ids an SQL query gives on the index file.
std::vector<long long> reference(const std::string& index, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(index.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
  std::vector<long long> ids;
  while (sqlite3_step(stmt) == SQLITE_ROW)
    ids.push_back(sqlite3_column_int64(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return ids;
}

// The genre patterns of a collection, as a WHERE clause.
std::string patterns(const std::vector<std::string>& keywords) {
  std::string where;
  for (const std::string& k : keywords)
    where += (where.empty() ? "" : " OR ") + std::string("genre LIKE '%") + k + "%'";
  return where;
}

// Songs whose genres fall into no mood, one, two, differ in letter case, or hold LIKE's own
// wildcard characters.
std::vector<Song> mixedSongs(int count) {
  const char* genres[] = {"Pop",   "pop rock", "Folk Ballad", "Jazz", "",        "情歌",
                          "ROCK",  "Classic",  "Hip-Hop",     "经典", "100%",    "Love_Song",
                          "Blues", "民族风",   "Electronic",  "Sad",  "Romance", "oldies"};
  std::vector<Song> songs;
  for (int i = 0; i < count; ++i) {
    Song s;
    s.title = "歌" + std::to_string(i);
    s.artist = i % 3 ? "林晓岚" : "Zhou Yu";
    s.genre = genres[(i * 7) % std::size(genres)];
    s.duration = 60;
    s.plays = (i * 37) % 11; // many ties, broken by id
    songs.push_back(s);
  }
  return songs;
}

TEST(Collections, MoodsListTheSongsTheirGenresMatchInIdOrder) {
  test::Sandbox dir("tunova-moods");
  const std::string index = (dir / "index.sqlite").string();
  {
    Library lib("", index);
    lib.addSynthetic(mixedSongs(150));
    lib.addSynthetic(mixedSongs(37)); // a second batch: its own moods as well
  }
  Library lib("", index);
  for (const Collection& c : defaultCollections()) {
    const std::vector<long long> want =
        reference(index, "SELECT id FROM songs WHERE " + patterns(c.keywords) + " ORDER BY id");
    EXPECT_FALSE(want.empty()) << c.id;
    EXPECT_EQ(allPages([&](int offset) { return lib.collection(c.id, offset, 20); }), want) << c.id;
  }
  EXPECT_EQ(allPages([&](int offset) { return lib.collection(850, offset, 20); }),
            reference(index, "SELECT id FROM songs ORDER BY plays DESC, id"));
  // A song in two moods is in both lists.
  const std::vector<long long> rock = allPages([&](int o) { return lib.collection(851, o, 20); });
  const std::vector<long long> pop = allPages([&](int o) { return lib.collection(853, o, 20); });
  const auto both = std::find_if(rock.begin(), rock.end(), [&](long long id) {
    return std::find(pop.begin(), pop.end(), id) != pop.end();
  });
  EXPECT_NE(both, rock.end()) << "no pop-rock song in both 飙演技 and 流行";
  EXPECT_TRUE(lib.collection(852, 0, 20).songs.empty()); // not a collection
}

TEST(Collections, OtherKeywordsRefileEverySongWhenTheIndexIsOpened) {
  test::Sandbox dir("tunova-moods-ini");
  const std::string index = (dir / "index.sqlite").string();
  {
    Library lib(dir.path().string(), index);
    lib.addSynthetic(mixedSongs(60));
    EXPECT_TRUE(lib.collection(856, 0, 50).songs.size() > 0);
  }
  std::ofstream(dir / "collections.ini") << "[856]\nkeywords=Jazz, Electronic\n[857]\nkeywords=\n";
  Library lib(dir.path().string(), index);
  EXPECT_EQ(allPages([&](int offset) { return lib.collection(856, offset, 20); }),
            reference(index, "SELECT id FROM songs WHERE genre LIKE '%Jazz%' OR genre LIKE "
                             "'%Electronic%' ORDER BY id"));
  EXPECT_TRUE(lib.collection(857, 0, 20).songs.empty());
}

TEST(Collections, APlayCountedWhileOthersReadMovesTheSongUp) {
  test::Sandbox dir("tunova-hot");
  const std::string index = (dir / "index.sqlite").string();
  Library lib("", index);
  lib.addSynthetic(mixedSongs(200));
  const long long last = lib.collection(850, 199, 20).songs.at(0).id; // least played
  std::atomic<bool> reading{true};
  std::atomic<int> pages{0}, shortPages{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (reading) {
        const Page p = lib.collection(850, (pages % 3) * 20, 20);
        shortPages += p.songs.size() == 20 && p.hasMore ? 0 : 1;
        ++pages;
      }
    });
  }
  // One play more than any song has, each while the readers go on reading pages.
  for (int i = 0; i < 11; ++i) {
    const int before = pages;
    if (!test::waitFor([&] { return pages > before + 1; })) {
      ADD_FAILURE() << "the readers read no more pages";
      break;
    }
    lib.countPlay(last);
  }
  reading = false;
  for (std::thread& t : readers)
    t.join();
  EXPECT_GT(pages.load(), 0);
  EXPECT_EQ(shortPages.load(), 0);
  const Page top = lib.collection(850, 0, 20);
  ASSERT_FALSE(top.songs.empty());
  EXPECT_EQ(top.songs[0].id, last);
  EXPECT_EQ(top.songs[0].plays, 11);
  EXPECT_EQ(allPages([&](int offset) { return lib.collection(850, offset, 20); }),
            reference(index, "SELECT id FROM songs ORDER BY plays DESC, id"));
}

TEST(Collections, SearchPagesAreCutFromTheIndexInIdOrder) {
  test::Sandbox dir("tunova-search-pages");
  const std::string index = (dir / "index.sqlite").string();
  Library lib("", index);
  std::vector<Song> songs;
  for (long long n = 0; n < 3000; ++n)
    songs.push_back(syntheticSong(n));
  lib.addSynthetic(songs);
  // Three characters or more from the trigram index; one or two from the index of short terms,
  // with LIKE's letter case rules (ASCII letters only) and spaces as characters.
  for (const char* term : {"Moon", "ight", "周", "o", "MO", "n R", "晴天", "e", " "}) {
    const std::string like = std::string("'%") + term + "%'";
    const std::vector<long long> want =
        reference(index, "SELECT id FROM songs WHERE title LIKE " + like + " OR artist LIKE " +
                             like + " OR album LIKE " + like + " ORDER BY id");
    EXPECT_FALSE(want.empty()) << term;
    EXPECT_EQ(allPages([&](int offset) { return lib.search(term, offset, 20); }), want) << term;
  }
  // A short term with LIKE's own wildcards, or a quote, is matched as written.
  EXPECT_TRUE(lib.search("%", 0, 20).songs.empty());
  EXPECT_TRUE(lib.search("_", 0, 20).songs.empty());
  EXPECT_TRUE(lib.search("\"", 0, 20).songs.empty());
}

TEST(Collections, SyntheticLibrariesAreTheSameEveryTimeAndMixTheirGenres) {
  const Song a = syntheticSong(12345), b = syntheticSong(12345);
  EXPECT_EQ(a.title + a.artist + a.album + a.genre, b.title + b.artist + b.album + b.genre);
  EXPECT_EQ(a.plays, b.plays);
  int chinese = 0, none = 0, two = 0;
  for (long long n = 0; n < 2000; ++n) {
    const Song s = syntheticSong(n);
    chinese += static_cast<unsigned char>(s.title[0]) >= 0x80 ? 1 : 0;
    none += s.genre.empty() || s.genre == "Jazz" || s.genre == "Electronic" ? 1 : 0;
    two += s.genre == "Pop Rock" || s.genre == "Folk Ballad" ? 1 : 0;
  }
  EXPECT_GT(chinese, 1200);
  EXPECT_LT(chinese, 1600);
  EXPECT_GT(none, 100);
  EXPECT_GT(two, 40);
}

} // namespace
