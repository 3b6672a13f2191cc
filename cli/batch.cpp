#include "cli/batch.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <utility>

#include "cli/progress.h"
#include "cli/terminal.h"
#include "host/address.h"
#include "http/headers.h"
#include "http/http_request.h"
#include "media/download.h"
#include "runtime/download_rules.h"
#include "runtime/ini_file.h"
#include "settings/settings.h"
#include "text/codepage.h"

namespace tunova {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int) {
  g_interrupted = 1;
  std::signal(SIGINT, SIG_DFL); // a second Ctrl-C ends the program at once
}

enum class Phase { Queued, Running, Done, Skipped, Failed, Elsewhere, SameAs };

struct Song {
  int row = 0;
  std::string label;    // "title - singer", UTF-8
  std::string labelGbk; // the same as the status bar names it
  std::string address;
  Phase phase = Phase::Queued;
  int task = 0;
  std::string path;   // GBK, where the program saves it
  std::string reason; // why it was not kept, UTF-8
  long long bytes = 0, total = -1;
  std::deque<std::pair<Clock::time_point, long long>> samples; // recent sizes, for the speed
  std::size_t sameAs = 0; // for SameAs: the song with this address already under way
};

// The length the server gives for `address` (a HEAD request), or -1 when it gives none.
long long serverLength(ConsoleHost& host, const std::string& address) {
  if (!fetchableAddress(address)) return -1;
  std::string head;
  HttpOptions request;
  request.method = kHttpHead;
  request.returnedHeaders = &head;
  request.deadline = Clock::now() + std::chrono::seconds(15);
  request.whileWaiting = [&host] { return host.keepAlive(); };
  httpRequest(address, request);
  if (head.rfind("HTTP/", 0) != 0 || head.find(" 200") != head.find(' ')) return -1;
  long long length = -1;
  for (const std::string& line : splitText(head, "\r\n")) {
    const long long n = contentLengthOf(line);
    if (n >= 0) length = n;
  }
  return length;
}

class Batch {
public:
  Batch(ConsoleHost& host, const BatchOptions& options)
      : host_(host), options_(options), terminal_(outputIsTerminal()) {}

  int run(const std::vector<int>& rows);

private:
  bool startNext();
  bool skipWhole(Song& song);
  void takeEnds();
  void follow(Song& song, Clock::time_point now);
  void ended(Song& song, Phase phase, const std::string& notice);
  void show(bool last);
  int report();
  int runningCount() const;

  ConsoleHost& host_;
  BatchOptions options_;
  bool terminal_;
  std::vector<Song> songs_;
  std::size_t next_ = 0;
  std::string folder_;               // GBK, with its separator; empty when none is set
  std::vector<std::string> lasting_; // lines of ended songs not yet written
  LiveBlock block_;
  long long keptBytes_ = 0; // bytes of the songs saved in this run
  Clock::time_point began_ = Clock::now();
  bool fatal_ = false; // the program refused the download (no save folder)
};

int Batch::runningCount() const {
  int n = 0;
  for (const Song& song : songs_)
    n += song.phase == Phase::Running ? 1 : 0;
  return n;
}

int Batch::run(const std::vector<int>& rows) {
  const Names& n = names();
  for (int row : rows) {
    Song song;
    song.row = row;
    const auto& cells = host_.rows[static_cast<std::size_t>(row - 1)];
    song.labelGbk = cells[1] + " - " + cells[2];
    song.label = toUtf8(song.labelGbk);
    song.address = cells[4];
    songs_.push_back(std::move(song));
  }
  if (!lookupSaveFolder(host_, folder_)) folder_.clear();
  g_interrupted = 0;
  host_.watchInterrupt(&g_interrupted);
  auto previous = std::signal(SIGINT, onInterrupt);
  auto nextTick = Clock::now() + std::chrono::milliseconds(kWatchPeriodMs);
  while (!g_interrupted && !fatal_) {
    while (!g_interrupted && runningCount() < options_.jobs && next_ < songs_.size() &&
           startNext()) {
    }
    if (fatal_ || (runningCount() == 0 && next_ == songs_.size())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The download timer's handler announces ended downloads: run it once a second, and at once
    // when one has ended, so the next song starts without waiting.
    if (host_.endWaiting() || Clock::now() >= nextTick) {
      host_.fire(n.mainWindow, n.timer, EventKind::Tick);
      nextTick = Clock::now() + std::chrono::milliseconds(kWatchPeriodMs);
      takeEnds();
    }
    const auto now = Clock::now();
    for (Song& song : songs_) {
      if (song.phase == Phase::Running) follow(song, now);
    }
    show(false);
  }
  std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
  host_.watchInterrupt(nullptr);
  if (!fatal_) show(true);
  return report();
}

// Starts the next queued song (or settles it without a transfer); false when the program
// refused it for a reason that holds for every song.
bool Batch::startNext() {
  Song& song = songs_[next_++];
  if (skipWhole(song)) return true;
  const std::size_t messages = host_.messages().size();
  const int before = host_.lastTaskId();
  host_.selected = song.row - 1;
  host_.choose(gbk("下载"));
  if (host_.messages().size() != messages) {
    fatal_ = true; // the program said why (no save folder)
    return false;
  }
  if (host_.lastTaskId() != before) {
    song.task = host_.lastTaskId();
    song.path = host_.tasks().at(song.task).path;
    song.phase = Phase::Running;
    return true;
  }
  // Not started: the same song (its address) is already under way in this batch.
  for (std::size_t i = 0; i + 1 < next_; ++i) {
    if (songs_[i].address == song.address && songs_[i].phase == Phase::Running) {
      song.phase = Phase::SameAs;
      song.sameAs = i;
      return true;
    }
  }
  song.reason = "the download could not be started";
  ended(song, Phase::Failed, gbk("  下载失败"));
  return true;
}

// A song whose file is already in the folder with the server's length is not fetched again.
bool Batch::skipWhole(Song& song) {
  if (options_.overwrite || folder_.empty()) return false;
  const auto& cells = host_.rows[static_cast<std::size_t>(song.row - 1)];
  const std::string path = folder_ + songFileName(cells[1], cells[2]) + ".mp3";
  const long long size = fileSizeAt(nativePath(path));
  if (size <= 0 || serverLength(host_, song.address) != size) return false;
  song.path = path;
  song.bytes = song.total = size;
  ended(song, Phase::Skipped, gbk("  已存在，跳过"));
  return true;
}

// What the handler took from the engine: each running song whose download ended.
void Batch::takeEnds() {
  for (Song& song : songs_) {
    if (song.phase != Phase::Running) continue;
    const TaskRecord& record = host_.tasks().at(song.task);
    if (!record.ended) continue;
    const DownloadEnd& end = record.end;
    if (end.heldElsewhere) {
      song.reason = "another program is downloading this song into the same folder; nothing "
                    "was changed";
      ended(song, Phase::Elsewhere, endNotice(end));
    } else if (end.completed) {
      song.bytes = fileSizeAt(nativePath(song.path));
      if (song.total < 0) song.total = song.bytes;
      keptBytes_ += song.bytes;
      ended(song, Phase::Done, endNotice(end));
    } else {
      song.reason = end.error.empty() ? "the download failed" : end.error;
      ended(song, Phase::Failed, endNotice(end));
    }
  }
}

void Batch::ended(Song& song, Phase phase, const std::string& notice) {
  song.phase = phase;
  lasting_.push_back(song.label + toUtf8(notice));
  // Rows of the same song follow it.
  for (Song& other : songs_) {
    if (other.phase == Phase::SameAs && &songs_[other.sameAs] == &song) {
      other.reason = song.reason;
      other.path = song.path;
      ended(other, phase, notice);
    }
  }
}

// The size of a running song's partial file, its whole length once its record names it, and
// its speed over the last two seconds.
void Batch::follow(Song& song, Clock::time_point now) {
  const long long size = fileSizeAt(nativePath(song.path + ".part"));
  if (size >= 0) song.bytes = size;
  if (song.total < 0) {
    std::string text;
    PartRecord record;
    if (readSmallFile(nativePath(song.path + ".part.info"), 4096, text) &&
        parseRecord(text, record))
      song.total = record.total;
  }
  song.samples.emplace_back(now, song.bytes);
  while (song.samples.size() > 2 && now - song.samples.front().first > std::chrono::seconds(2))
    song.samples.pop_front();
}

void Batch::show(bool last) {
  BatchCounts counts;
  counts.chosen = static_cast<int>(songs_.size());
  long long bytes = keptBytes_;
  std::vector<std::string> live;
  const int columns = terminalColumns();
  for (const Song& song : songs_) {
    counts.done += song.phase == Phase::Done ? 1 : 0;
    counts.skipped += song.phase == Phase::Skipped ? 1 : 0;
    counts.failed += song.phase == Phase::Failed || song.phase == Phase::Elsewhere ? 1 : 0;
    if (song.phase != Phase::Running) continue;
    ++counts.running;
    bytes += song.bytes;
    long long speed = 0;
    if (song.samples.size() > 1) {
      const auto& [t0, b0] = song.samples.front();
      const auto& [t1, b1] = song.samples.back();
      const double seconds = std::chrono::duration<double>(t1 - t0).count();
      speed = seconds > 0 ? static_cast<long long>((b1 - b0) / seconds) : 0;
    }
    if (!last) live.push_back(songLine(song.label, song.bytes, song.total, speed, columns));
  }
  // While songs arrive the rate is the engine's over the last second; at the end, the average.
  const double spent = std::chrono::duration<double>(Clock::now() - began_).count();
  const std::int32_t rate =
      last ? static_cast<std::int32_t>(spent > 0 ? keptBytes_ / spent : 0) : host_.currentRate();
  const std::string total = totalLine(counts, bytes, toUtf8(rateText(rate)));
  std::string out;
  if (terminal_) {
    live.push_back(total);
    out = block_.redraw(lasting_, live);
  } else {
    for (const std::string& line : lasting_)
      out += line + "\n";
    if (last) out += total + "\n";
  }
  lasting_.clear();
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

int Batch::report() {
  if (fatal_) return 1;
  std::vector<const Song*> missing;
  for (const Song& song : songs_) {
    if (song.phase != Phase::Done && song.phase != Phase::Skipped) missing.push_back(&song);
  }
  if (missing.empty()) return 0;
  if (g_interrupted) {
    std::fprintf(stderr,
                 "tunova-cli: interrupted; %zu of %zu songs are not complete, and their "
                 "partial files are kept for the next run\n",
                 missing.size(), songs_.size());
    return 130;
  }
  std::fprintf(stderr, "tunova-cli: %zu of %zu songs were not kept:\n", missing.size(),
               songs_.size());
  for (const Song* song : missing)
    std::fprintf(stderr, "  %d\t%s\t%s\n", song->row, song->label.c_str(), song->reason.c_str());
  return 1;
}

} // namespace

int downloadRows(ConsoleHost& host, const std::vector<int>& rows, const BatchOptions& options) {
  return Batch(host, options).run(rows);
}

} // namespace tunova
