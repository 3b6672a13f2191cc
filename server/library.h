#pragma once
// The catalogue's library index: the MP3 files under a folder, read with TagLib and kept in
// SQLite with an FTS5 trigram index so that Chinese substrings match. Opening rescans only the
// files whose size or modification time changed, and drops the ones that are gone. Only audio
// files whose real path lies inside the folder are indexed: a link to a file elsewhere, a page
// or an empty file named .mp3 are not songs.
//
// Every page is read from an index in its own order, never by sorting the table: 热门 from an
// index on (plays DESC, id), each mood collection from a table of (collection, song) pairs kept
// as songs are indexed (a genre can belong to several collections), searches of three or more
// characters from the trigram index in id order. A page far into a list skips index entries
// only, and only its own rows are read from the table.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tunova::catalogue {

struct Song {
  long long id = 0;
  std::string path;
  std::string title, artist, album, genre;
  int year = 0;
  int duration = 0; // whole seconds
  long long plays = 0;
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

// Registers the tokenizer of the index of one- and two-character terms on a connection, so that
// another connection to an index can query it; false without FTS5.
bool registerShortTermTokenizer(sqlite3* db);

class Library {
public:
  // Opens (or creates) the index at `indexFile` and brings it up to date with `folder`.
  Library(const std::string& folder, const std::string& indexFile);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool ok() const { return db_ != nullptr; }
  // Brings the index up to date with the folder again (files added, changed or removed since);
  // readers wait only while the changes are written.
  void rescan();
  const std::string& folder() const { return folder_; }
  int scanned() const { return scanned_; } // files (re)read at open
  long long size();

  Page search(const std::string& term, int offset, int count);
  Page collection(int id, int offset, int count);
  std::optional<Song> song(long long id);
  void countPlay(long long id);
  // Opens a song's file for reading: a descriptor, or -1 when the song has no file or the file
  // opened is not a plain file inside the library folder (a link swapped in since the scan
  // that points elsewhere).
  int openMedia(const Song& song) const;

  // Adds songs without files (synthetic indexes for load tests and benchmarks), in one
  // transaction.
  void addSynthetic(const std::vector<Song>& songs);
  void addSynthetic(const Song& song) { addSynthetic(std::vector<Song>{song}); }

private:
  void scan(const std::string& folder);
  Page query(const std::string& sql, const std::vector<std::string>& args, int offset, int count);
  // The collections a song belongs to, from its genre, stored for the song `id`.
  void refreshMoods(long long id);
  // Every song's collections again, when the collections' keywords are not those the index was
  // made with.
  void refreshAllMoods();
  // Puts every song in the index of short terms once, for an index made before it existed.
  void fillShortIndex();
  // "genre LIKE ? ESCAPE '\' OR ..." for a collection's keywords, and its arguments.
  static std::string moodCondition(const Collection& c, std::vector<std::string>& args);

  // Read-only connections for the pages, one per query under way, kept for the next.
  struct Reader;
  std::unique_ptr<Reader> takeReader();
  void giveReader(std::unique_ptr<Reader> reader);

  std::string folder_; // as given; empty for an index without a folder
  std::string root_;   // the library folder with its links resolved; empty without one
  sqlite3* db_ = nullptr;
  std::string indexFile_;
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Reader>> readers_;
  std::mutex mutex_;
  std::vector<Collection> collections_;
  int scanned_ = 0;
};

} // namespace tunova::catalogue
