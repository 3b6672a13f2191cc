#pragma once
// Downloading the selected song: the task record handed to the host's download engine, the
// request handlers and the once-a-second display of the rate and of each download's end.
#include <map>
#include <string>

#include "host/host.h"

namespace tunova {

// The engine object downloads are started through; its handle stays empty until the first
// download asks the host for its engine.
struct Downloader {
  DownloadEngine* engine = nullptr;
};

// A download started and not yet reported.
struct RunningDownload {
  std::string song;    // title + " - " + singer, for the notice whatever row is selected by then
  std::string address; // where it comes from
  std::string path;    // where it goes (GBK)
  std::string folder;  // the save folder it goes into (GBK)
};

struct DownloadState {
  Downloader downloader;
  DownloadTask downloadTask;
  std::map<int, RunningDownload> running; // by task id
  int completed = 0;                      // downloads announced as complete
  int failed = 0;                         // downloads announced as failed
  int heldElsewhere = 0;                  // refused: another program is downloading the song
};

inline constexpr int kWatchPeriodMs = 1000;
inline constexpr int kIdlePeriodMs = 1000000000;

// Fills the task record with its start-up values.
void downloadStartup(DownloadState& state);
// Releases the engine (if one was ever used) and clears the record.
void downloadExit(DownloadState& state);

void downloadSelected(Host& host, DownloadState& state);
// The name (GBK, without extension) a song is saved under: its title and singer, made safe.
std::string songFileName(const std::string& title, const std::string& singer);
// What pane 2 says after the song's name when its download ends: "  下载完成", "  下载失败" or
// "  正在另一程序中下载" (GBK).
std::string endNotice(const DownloadEnd& end);
// Starts downloading `address` into the save folder as `name` + ".mp3"; `song` names it in the
// status bar. A song already being downloaded to that name is not started again (pane 2 says
// it is under way); another song whose name collides with a download under way goes to
// `name` + " (2).mp3" (or the next free number) so neither overwrites the other. Returns false
// when nothing was started.
bool startDownload(Host& host, DownloadState& state, const std::string& address,
                   const std::string& name, const std::string& song = std::string());
// Once a second while downloads are watched: the rate in pane 1, each ended download's notice
// in pane 2 (and the chime for a completed one); when none is left running, the timer goes idle.
void onDownloadTimer(Host& host, DownloadState& state);

// "下载速度：" + rate / 1,024,000 rounded to two decimals + " MB" (zero written as 0).
std::string rateText(std::int32_t bytesPerSecond);

// A GBK file name (without extension) that is safe inside the save folder: characters a file
// name cannot hold (/ \ NUL, control characters and <>:"|?*) become '_', a leading '.' becomes
// '_', and the name is cut (never inside a character) so that name + ".mp3.part" fits in 255
// bytes of UTF-8.
std::string safeFileName(const std::string& gbkName);

} // namespace tunova
