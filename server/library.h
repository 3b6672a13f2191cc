#pragma once
// The catalogue's library index: the MP3 files under a folder, read with TagLib and kept in
// SQLite with an FTS5 trigram index so that Chinese substrings match. Opening rescans only the
// files whose size or modification time changed, and drops the ones that are gone.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tunova::catalogue {

struct Song {
  long long id = 0;
  std::string path;
  std::string title, artist, album, genre;
  int year = 0;
  int duration = 0; // whole seconds
};

struct Page {
  std::vector<Song> songs;
  bool hasMore = false;
};

// Collection ids and their genre keywords; 850 (热门) is by play count instead.
struct Collection {
  int id;
  std::vector<std::string> keywords;
};
std::vector<Collection> defaultCollections();
// Reads collections.ini from the library folder ([851] keywords=Rock,摇滚), else the defaults.
std::vector<Collection> loadCollections(const std::string& libraryFolder);

class Library {
public:
  // Opens (or creates) the index at `indexFile` and brings it up to date with `folder`.
  Library(const std::string& folder, const std::string& indexFile);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool ok() const { return db_ != nullptr; }
  int scanned() const { return scanned_; } // files (re)read at open
  long long size();

  Page search(const std::string& term, int offset, int count);
  Page collection(int id, int offset, int count);
  std::optional<Song> song(long long id);
  void countPlay(long long id);

  // Adds a song without a file (for synthetic indexes in benchmarks).
  void addSynthetic(const Song& song);
  void beginBulk();
  void endBulk();

private:
  void scan(const std::string& folder);
  Page query(const std::string& sql, const std::vector<std::string>& args, int offset, int count);

  sqlite3* db_ = nullptr;
  std::mutex mutex_;
  std::vector<Collection> collections_;
  int scanned_ = 0;
};

} // namespace tunova::catalogue
