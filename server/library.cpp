#include "server/library.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <unordered_map>

#include "text/text.h"

namespace fs = std::filesystem;

namespace tunova::catalogue {

namespace {

class Statement {
public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  // A statement the library keeps prepared: made ready for its next use, not finalized.
  explicit Statement(sqlite3_stmt* kept) : stmt_(kept), kept_(true) {}
  ~Statement() {
    if (kept_)
      reset();
    else
      sqlite3_finalize(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int i, long long v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  bool step() { return stmt_ && sqlite3_step(stmt_) == SQLITE_ROW; }
  void run() {
    if (stmt_) sqlite3_step(stmt_);
  }
  // Ready to run again with new values.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  long long integer(int c) { return sqlite3_column_int64(stmt_, c); }
  std::string text(int c) {
    const auto* t = sqlite3_column_text(stmt_, c);
    return t ? reinterpret_cast<const char*>(t) : "";
  }

private:
  sqlite3_stmt* stmt_ = nullptr;
  bool kept_ = false;
};

void exec(sqlite3* db, const char* sql) {
  sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

std::string likePattern(const std::string& term) {
  std::string p = "%";
  for (char c : term) {
    if (c == '%' || c == '_' || c == '\\') p += '\\';
    p += c;
  }
  return p + "%";
}

std::size_t utf8Length(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    n += (c & 0xC0) != 0x80;
  return n;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Whether `real` (a path with its links resolved) lies inside the folder `root`.
bool inside(const std::string& real, const std::string& root) {
  return !root.empty() && real.size() > root.size() + 1 &&
         real.compare(0, root.size(), root) == 0 && real[root.size()] == '/';
}

// Whether a file opens like MP3 audio: an ID3 tag, an MPEG frame sync, or the zero padding some
// encoders put before the first frame. A page, a text or random bytes do not; nor does an empty
// file.
bool looksLikeAudio(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char head[3] = {0, 0, 0};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  if (in.gcount() == 0) return false;
  return (head[0] == 'I' && head[1] == 'D' && head[2] == '3') ||
         (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0) || head[0] == 0;
}

// Every entry under `dir` that is not a folder, walked with one descriptor per folder so each
// file costs one short lookup: `visit(path, folderFd, name, isLink)`, the path being `dir`
// joined with the names as given. Links to folders are not followed; folders that cannot be
// read are skipped. False when `dir` itself cannot be read.
template <class Visit> bool walkFolder(const std::string& dir, Visit& visit) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = ::fdopendir(fd);
  if (!listing) {
    ::close(fd);
    return false;
  }
  const std::string prefix = !dir.empty() && dir.back() == '/' ? dir : dir + "/";
  while (const dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR)
      walkFolder(prefix + name, visit);
    else
      visit(prefix + name, fd, name, type == DT_LNK);
  }
  ::closedir(listing);
  return true;
}

bool endsWithMp3(const char* name) {
  const std::size_t n = std::strlen(name);
  if (n < 4) return false;
  const char* ext = name + n - 4;
  return ext[0] == '.' && std::tolower(static_cast<unsigned char>(ext[1])) == 'm' &&
         std::tolower(static_cast<unsigned char>(ext[2])) == 'p' && ext[3] == '3';
}

Song readSong(const fs::path& file) {
  Song s;
  s.path = file.string();
  TagLib::FileRef ref(file.c_str());
  if (!ref.isNull() && ref.tag()) {
    s.title = ref.tag()->title().to8Bit(true);
    s.artist = ref.tag()->artist().to8Bit(true);
    s.album = ref.tag()->album().to8Bit(true);
    s.genre = ref.tag()->genre().to8Bit(true);
    s.year = static_cast<int>(ref.tag()->year());
  }
  if (!ref.isNull() && ref.audioProperties()) {
    s.duration = ref.audioProperties()->lengthInSeconds();
  }
  if (s.title.empty() || s.artist.empty()) {
    // "Artist - Title.mp3"
    const std::string stem = validUtf8(file.stem().string()); // names in other encodings
    const auto dash = stem.find(" - ");
    if (dash != std::string::npos) {
      if (s.artist.empty()) s.artist = trim(stem.substr(0, dash));
      if (s.title.empty()) s.title = trim(stem.substr(dash + 3));
    } else if (s.title.empty()) {
      s.title = stem;
    }
  }
  return s;
}

// The tokenizer of the index for one- and two-character terms: every character and every pair
// of neighbouring characters of a text is a token, ASCII letters folded to lower case (as LIKE
// compares them). A query is one token: the term itself, folded the same way. So a term of one
// or two characters matches exactly the texts that contain it, as LIKE '%term%' would.
int shortCreate(void*, const char**, int, Fts5Tokenizer** out) {
  static int instance = 0;
  *out = reinterpret_cast<Fts5Tokenizer*>(&instance);
  return SQLITE_OK;
}

void shortDelete(Fts5Tokenizer*) {}

int shortTokenize(Fts5Tokenizer*, void* context, int flags, const char* text, int size,
                  int (*token)(void*, int, const char*, int, int, int)) {
  std::string folded(text, static_cast<std::size_t>(size));
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (flags & FTS5_TOKENIZE_QUERY) return token(context, 0, folded.data(), size, 0, size);
  std::vector<int> starts; // where each character begins
  for (int i = 0; i < size; ++i) {
    if ((static_cast<unsigned char>(folded[static_cast<std::size_t>(i)]) & 0xC0) != 0x80)
      starts.push_back(i);
  }
  starts.push_back(size);
  for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
    const int a = starts[k], b = starts[k + 1];
    int rc = token(context, 0, folded.data() + a, b - a, a, b);
    if (rc == SQLITE_OK && k + 2 < starts.size()) {
      const int c = starts[k + 2];
      rc = token(context, 0, folded.data() + a, c - a, a, c);
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

} // namespace

bool registerShortTermTokenizer(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &stmt, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_pointer(stmt, 1, reinterpret_cast<void*>(&api), "fts5_api_ptr", nullptr);
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (!api) return false;
  fts5_tokenizer tokenizer{shortCreate, shortDelete, shortTokenize};
  return api->xCreateTokenizer(api, "tunova_short", nullptr, &tokenizer, nullptr) == SQLITE_OK;
}

std::vector<Collection> defaultCollections() {
  return {{851, {"Rock", "摇滚", "飙演技", "Metal"}}, {853, {"Pop", "流行"}},
          {854, {"Folk", "民族", "民谣", "World"}},   {856, {"Romance", "浪漫", "情歌", "Love"}},
          {857, {"Sad", "伤感", "Blues", "Ballad"}},  {858, {"Oldies", "怀旧", "Classic", "经典"}}};
}

std::vector<Collection> loadCollections(const std::string& libraryFolder) {
  std::vector<Collection> result = defaultCollections();
  std::ifstream in(fs::path(libraryFolder) / "collections.ini");
  if (!in) return result;
  std::map<int, std::vector<std::string>> read;
  int current = 0;
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      current = std::atoi(line.substr(1, line.size() - 2).c_str());
    } else if (current && line.rfind("keywords=", 0) == 0) {
      std::string rest = line.substr(9);
      std::vector<std::string> words;
      std::size_t pos = 0;
      while (pos <= rest.size()) {
        const auto comma = rest.find(',', pos);
        const std::string w = trim(rest.substr(pos, comma - pos));
        if (!w.empty()) words.push_back(w);
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
      read[current] = words;
    }
  }
  for (Collection& c : result) {
    if (read.count(c.id)) c.keywords = read[c.id];
  }
  return result;
}

Library::Library(const std::string& folder, const std::string& indexFile) : indexFile_(indexFile) {
  if (sqlite3_open_v2(indexFile.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  exec(db_, "CREATE TABLE IF NOT EXISTS songs(id INTEGER PRIMARY KEY, path TEXT UNIQUE,"
            " mtime INTEGER, size INTEGER, title TEXT, artist TEXT, album TEXT, genre TEXT,"
            " year INTEGER, duration INTEGER, plays INTEGER DEFAULT 0);"
            "CREATE VIRTUAL TABLE IF NOT EXISTS songs_fts USING fts5(title, artist, album,"
            " tokenize='trigram');"
            // 热门's order, walked without sorting; each collection's songs in id order.
            "CREATE INDEX IF NOT EXISTS songs_hot ON songs(plays DESC, id);"
            "CREATE TABLE IF NOT EXISTS song_moods(mood INTEGER NOT NULL, song INTEGER NOT NULL,"
            " PRIMARY KEY(mood, song)) WITHOUT ROWID;"
            "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);");
  // Terms of one or two characters (most Chinese names are two) from an index of their own.
  registerShortTermTokenizer(db_);
  exec(db_, "CREATE VIRTUAL TABLE IF NOT EXISTS songs_short USING fts5(title, artist, album,"
            " tokenize='tunova_short', detail=none);");
  fillShortIndex();
  collections_ = loadCollections(folder);
  refreshAllMoods();
  if (!folder.empty()) {
    std::error_code ec;
    root_ = fs::canonical(folder, ec).string();
    if (ec) root_.clear();
    folder_ = folder;
    scan(folder);
  }
}

// A read-only connection to the index with the pages' statements kept prepared (few: one per
// collection, two for searches, one for a song; anything beyond is prepared each time).
struct Library::Reader {
  sqlite3* db = nullptr;
  std::map<std::string, sqlite3_stmt*> kept; // by SQL text
  ~Reader() {
    for (auto& [sql, stmt] : kept)
      sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  sqlite3_stmt* statement(const std::string& sql) {
    const auto found = kept.find(sql);
    if (found != kept.end()) return found->second;
    sqlite3_stmt* stmt = nullptr;
    if (kept.size() >= 32 || sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                                                &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return nullptr;
    }
    kept.emplace(sql, stmt);
    return stmt;
  }
};

Library::~Library() {
  readers_.clear();
  sqlite3_close(db_);
}

std::unique_ptr<Library::Reader> Library::takeReader() {
  {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (!readers_.empty()) {
      std::unique_ptr<Reader> reader = std::move(readers_.back());
      readers_.pop_back();
      return reader;
    }
  }
  // Readers see what was committed when they begin (the index is in WAL mode), so neither a
  // play being counted nor a rescan being written holds them up, nor they it.
  auto reader = std::make_unique<Reader>();
  if (sqlite3_open_v2(indexFile_.c_str(), &reader->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return nullptr;
  }
  sqlite3_busy_timeout(reader->db, 5000);
  registerShortTermTokenizer(reader->db);
  return reader;
}

void Library::giveReader(std::unique_ptr<Reader> reader) {
  std::lock_guard<std::mutex> lock(readersMutex_);
  readers_.push_back(std::move(reader));
}

void Library::scan(const std::string& folder) {
  // What the index holds, read under the lock; the folder is walked and the changed files'
  // tags read without it, so readers wait only while the changes are written.
  std::unordered_map<std::string, std::pair<long long, long long>> known; // path -> (mtime, size)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_, "SELECT path, mtime, size FROM songs WHERE path IS NOT NULL");
    while (q.step())
      known[q.text(0)] = {q.integer(1), q.integer(2)};
  }
  struct Changed {
    std::string path;
    long long mtime = 0, size = 0;
    Song song;
  };
  std::vector<Changed> changed;
  const auto visit = [&](const std::string& path, int folderFd, const char* name, bool link) {
    if (!endsWithMp3(name)) return;
    // Only the library's own files: a link is followed only when it leads to a file inside
    // the folder (the folders walked are never links, so other files are inside by their path).
    if (link) {
      std::error_code ec;
      const fs::path real = fs::canonical(path, ec);
      if (ec || !inside(real.string(), root_)) return; // one indexed before is dropped below
    }
    struct stat st {};
    if (::fstatat(folderFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) return;
    const long long size = static_cast<long long>(st.st_size);
    // The modification time as the file clock counts it (what the index has always stored).
    const auto modified =
        std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    const long long mtime = static_cast<long long>(modified.time_since_epoch().count());
    auto found = known.find(path);
    if (found != known.end() && found->second == std::make_pair(mtime, size)) {
      known.erase(found);
      return;
    }
    // A new or changed file is read only when it is audio; one that is not (an empty file, a
    // page named .mp3) is not indexed, and dropped below when it was.
    if (!looksLikeAudio(path)) return;
    if (found != known.end()) known.erase(found);
    changed.push_back(Changed{path, mtime, size, readSong(path)});
  };
  // A folder that cannot be read now (not mounted, removed) leaves the index as it is, rather
  // than dropping every song and its plays.
  if (!walkFolder(folder, visit)) return;
  if (changed.empty() && known.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  exec(db_, "BEGIN");
  for (const Changed& c : changed) {
    const Song& s = c.song;
    ++scanned_;
    long long id = 0;
    {
      Statement q(db_, "SELECT id FROM songs WHERE path=?");
      q.bind(1, c.path);
      if (q.step()) id = q.integer(0);
    }
    if (id) {
      Statement del(db_, "DELETE FROM songs_fts WHERE rowid=?");
      del.bind(1, id).run();
      Statement delShort(db_, "DELETE FROM songs_short WHERE rowid=?");
      delShort.bind(1, id).run();
      Statement up(db_, "UPDATE songs SET mtime=?, size=?, title=?, artist=?, album=?, genre=?,"
                        " year=?, duration=? WHERE id=?");
      up.bind(1, c.mtime).bind(2, c.size).bind(3, s.title).bind(4, s.artist).bind(5, s.album);
      up.bind(6, s.genre).bind(7, static_cast<long long>(s.year));
      up.bind(8, static_cast<long long>(s.duration)).bind(9, id).run();
    } else {
      Statement ins(db_, "INSERT INTO songs(path, mtime, size, title, artist, album, genre, year,"
                         " duration) VALUES(?,?,?,?,?,?,?,?,?)");
      ins.bind(1, c.path).bind(2, c.mtime).bind(3, c.size).bind(4, s.title).bind(5, s.artist);
      ins.bind(6, s.album).bind(7, s.genre).bind(8, static_cast<long long>(s.year));
      ins.bind(9, static_cast<long long>(s.duration)).run();
      id = sqlite3_last_insert_rowid(db_);
    }
    Statement fts(db_, "INSERT INTO songs_fts(rowid, title, artist, album) VALUES(?,?,?,?)");
    fts.bind(1, id).bind(2, s.title).bind(3, s.artist).bind(4, s.album).run();
    Statement shortFts(db_, "INSERT INTO songs_short(rowid, title, artist, album) VALUES(?,?,?,?)");
    shortFts.bind(1, id).bind(2, s.title).bind(3, s.artist).bind(4, s.album).run();
    refreshMoods(id);
  }
  for (const auto& [path, unused] : known) {
    Statement q(db_, "SELECT id FROM songs WHERE path=?");
    q.bind(1, path);
    if (!q.step()) continue;
    const long long id = q.integer(0);
    for (const char* sql :
         {"DELETE FROM songs_fts WHERE rowid=?", "DELETE FROM songs_short WHERE rowid=?",
          "DELETE FROM songs WHERE id=?"}) {
      Statement d(db_, sql);
      d.bind(1, id).run();
    }
    for (const Collection& c : collections_) {
      Statement d(db_, "DELETE FROM song_moods WHERE mood=? AND song=?");
      d.bind(1, static_cast<long long>(c.id)).bind(2, id).run();
    }
  }
  exec(db_, "COMMIT");
}

void Library::rescan() {
  if (!folder_.empty()) scan(folder_);
}

std::string Library::moodCondition(const Collection& c, std::vector<std::string>& args) {
  std::string where;
  for (const std::string& k : c.keywords) {
    if (!where.empty()) where += " OR ";
    where += "genre LIKE ? ESCAPE '\\'";
    args.push_back(likePattern(k));
  }
  return where;
}

void Library::refreshMoods(long long id) {
  for (const Collection& c : collections_) {
    Statement del(db_, "DELETE FROM song_moods WHERE mood=? AND song=?");
    del.bind(1, static_cast<long long>(c.id)).bind(2, id).run();
    if (c.keywords.empty()) continue;
    std::vector<std::string> args;
    const std::string where = moodCondition(c, args);
    // SQLite's own LIKE decides, so a collection holds exactly the songs its genre patterns
    // match.
    Statement ins(db_, "INSERT INTO song_moods(mood, song) SELECT ?, id FROM songs WHERE id=? AND"
                       " (" +
                           where + ")");
    ins.bind(1, static_cast<long long>(c.id)).bind(2, id);
    int i = 3;
    for (const std::string& a : args)
      ins.bind(i++, a);
    ins.run();
  }
}

void Library::fillShortIndex() {
  {
    Statement q(db_, "SELECT value FROM meta WHERE key='short'");
    if (q.step() && q.text(0) == "1") return;
  }
  // An index made before this one existed: every song is added once.
  std::lock_guard<std::mutex> lock(mutex_);
  exec(db_, "BEGIN");
  exec(db_, "DELETE FROM songs_short");
  exec(db_, "INSERT INTO songs_short(rowid, title, artist, album) SELECT id, title, artist, album"
            " FROM songs");
  exec(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('short', '1')");
  exec(db_, "COMMIT");
}

void Library::refreshAllMoods() {
  std::string signature;
  for (const Collection& c : collections_) {
    signature += std::to_string(c.id) + "=";
    for (const std::string& k : c.keywords)
      signature += k + "\x1f";
    signature += "\n";
  }
  {
    Statement q(db_, "SELECT value FROM meta WHERE key='moods'");
    if (q.step() && q.text(0) == signature) return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  exec(db_, "BEGIN");
  exec(db_, "DELETE FROM song_moods");
  for (const Collection& c : collections_) {
    if (c.keywords.empty()) continue;
    std::vector<std::string> args;
    const std::string where = moodCondition(c, args);
    Statement ins(db_, "INSERT INTO song_moods(mood, song) SELECT " + std::to_string(c.id) +
                           ", id FROM songs WHERE " + where);
    int i = 1;
    for (const std::string& a : args)
      ins.bind(i++, a);
    ins.run();
  }
  Statement put(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('moods', ?)");
  put.bind(1, signature).run();
  exec(db_, "COMMIT");
}

void Library::addSynthetic(const std::vector<Song>& songs) {
  if (songs.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  exec(db_, "BEGIN");
  Statement ins(db_, "INSERT INTO songs(title, artist, album, genre, year, duration, plays)"
                     " VALUES(?,?,?,?,?,?,?)");
  Statement fts(db_, "INSERT INTO songs_fts(rowid, title, artist, album) VALUES(?,?,?,?)");
  Statement shortFts(db_, "INSERT INTO songs_short(rowid, title, artist, album) VALUES(?,?,?,?)");
  long long first = 0, last = 0;
  for (const Song& s : songs) {
    ins.bind(1, s.title).bind(2, s.artist).bind(3, s.album).bind(4, s.genre);
    ins.bind(5, static_cast<long long>(s.year)).bind(6, static_cast<long long>(s.duration));
    ins.bind(7, s.plays).run();
    ins.reset();
    last = sqlite3_last_insert_rowid(db_);
    if (!first) first = last;
    fts.bind(1, last).bind(2, s.title).bind(3, s.artist).bind(4, s.album).run();
    fts.reset();
    shortFts.bind(1, last).bind(2, s.title).bind(3, s.artist).bind(4, s.album).run();
    shortFts.reset();
  }
  // The new songs' collections, in one pass over them per collection.
  for (const Collection& c : collections_) {
    if (c.keywords.empty()) continue;
    std::vector<std::string> args;
    const std::string where = moodCondition(c, args);
    Statement moods(db_, "INSERT INTO song_moods(mood, song) SELECT " + std::to_string(c.id) +
                             ", id FROM songs WHERE id BETWEEN ? AND ? AND (" + where + ")");
    moods.bind(1, first).bind(2, last);
    int i = 3;
    for (const std::string& a : args)
      moods.bind(i++, a);
    moods.run();
  }
  exec(db_, "COMMIT");
}

long long Library::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement q(db_, "SELECT count(*) FROM songs");
  return q.step() ? q.integer(0) : 0;
}

Page Library::query(const std::string& sql, const std::vector<std::string>& args, int offset,
                    int count) {
  Page page;
  std::unique_ptr<Reader> reader = takeReader();
  if (!reader) return page;
  // The page's LIMIT and OFFSET are the last two parameters, placed by the SQL itself when it
  // pages an inner index walk.
  const std::string paged =
      sql.find("LIMIT ?") == std::string::npos ? sql + " LIMIT ? OFFSET ?" : sql;
  sqlite3_stmt* stmt = reader->statement(paged);
  std::optional<Statement> made;
  if (stmt)
    made.emplace(stmt);
  else
    made.emplace(reader->db, paged);
  Statement& q = *made;
  if (!q.ok()) {
    made.reset();
    giveReader(std::move(reader));
    return page;
  }
  int i = 1;
  for (const std::string& a : args)
    q.bind(i++, a);
  q.bind(i++, static_cast<long long>(count) + 1);
  q.bind(i, static_cast<long long>(offset));
  while (q.step()) {
    if (static_cast<int>(page.songs.size()) == count) {
      page.hasMore = true;
      break;
    }
    Song s;
    s.id = q.integer(0);
    s.path = q.text(1);
    s.title = q.text(2);
    s.artist = q.text(3);
    s.album = q.text(4);
    s.genre = q.text(5);
    s.year = static_cast<int>(q.integer(6));
    s.duration = static_cast<int>(q.integer(7));
    s.plays = q.integer(8);
    page.songs.push_back(std::move(s));
  }
  made.reset();
  giveReader(std::move(reader));
  return page;
}

namespace {
const char* kColumns =
    "SELECT id, path, title, artist, album, genre, year, duration, plays FROM songs";

} // namespace

Page Library::search(const std::string& term, int offset, int count) {
  if (term.empty()) return {};
  if (utf8Length(term) >= 3) {
    // The trigram index matches any substring of three or more characters.
    std::string phrase = "\"";
    for (char c : term)
      phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
    phrase += "\"";
    // The index gives its matches in rowid order: the page is cut from them before any row of
    // the table is read.
    return query(std::string(kColumns) +
                     " WHERE id IN (SELECT rowid FROM songs_fts WHERE songs_fts MATCH ?"
                     " ORDER BY rowid LIMIT ? OFFSET ?) ORDER BY id",
                 {phrase}, offset, count);
  }
  // One or two characters (most Chinese names are two): their own index, the same rows a
  // substring match of the three fields gives, in id order.
  std::string token = "\"";
  for (char c : term)
    token += c == '"' ? std::string("\"\"") : std::string(1, c);
  token += "\"";
  return query(std::string(kColumns) +
                   " WHERE id IN (SELECT rowid FROM songs_short WHERE songs_short MATCH ?"
                   " ORDER BY rowid LIMIT ? OFFSET ?) ORDER BY id",
               {token}, offset, count);
}

Page Library::collection(int id, int offset, int count) {
  if (id == 850) {
    // Most played first (then by id): the page's ids come from walking the index.
    return query(std::string(kColumns) +
                     " WHERE id IN (SELECT id FROM songs INDEXED BY songs_hot"
                     " ORDER BY plays DESC, id LIMIT ? OFFSET ?) ORDER BY plays DESC, id",
                 {}, offset, count);
  }
  for (const Collection& c : collections_) {
    if (c.id != id) continue;
    if (c.keywords.empty()) return {};
    return query(std::string(kColumns) + " WHERE id IN (SELECT song FROM song_moods WHERE mood=" +
                     std::to_string(id) + " ORDER BY song LIMIT ? OFFSET ?) ORDER BY id",
                 {}, offset, count);
  }
  return {};
}

std::optional<Song> Library::song(long long id) {
  Page p = query(std::string(kColumns) + " WHERE id=?", {std::to_string(id)}, 0, 1);
  if (p.songs.empty()) return std::nullopt;
  return p.songs.front();
}

int Library::openMedia(const Song& song) const {
  if (song.path.empty() || root_.empty()) return -1;
  const int fd = ::open(song.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  // Where the opened file really is, whatever links led to it.
  char real[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), real, sizeof real - 1);
  struct stat st {};
  if (n <= 0 || !inside(std::string(real, static_cast<std::size_t>(n)), root_) ||
      ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void Library::countPlay(long long id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement up(db_, "UPDATE songs SET plays=plays+1 WHERE id=?");
  up.bind(1, id).run();
}

} // namespace tunova::catalogue
