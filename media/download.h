#pragma once
// Downloading the selected song: the task record handed to the host's download engine, the
// request handlers and the once-a-second display of the rate and of each download's end.
#include <map>
#include <string>

#include "app/host.h"

namespace tunova {

// The engine object downloads are started through; its handle stays empty until the first
// download asks the host for its engine.
struct Downloader {
  DownloadEngine* engine = nullptr;
};

struct DownloadState {
  Downloader downloader;
  DownloadTask downloadTask;
  // Title + " - " + singer of every download started and not yet reported, by task id, so the
  // notice names the song that was downloaded whatever row is selected by then.
  std::map<int, std::string> running;
};

inline constexpr int kWatchPeriodMs = 1000;
inline constexpr int kIdlePeriodMs = 1000000000;

// Fills the task record with its start-up values.
void downloadStartup(DownloadState& state);
// Releases the engine (if one was ever used) and clears the record.
void downloadExit(DownloadState& state);

void downloadSelected(Host& host, DownloadState& state);
// Starts downloading `address` into the save folder as `name` + ".mp3"; `song` names it in the
// status bar. Returns false when refused (no bc.ini, or the engine refused the task).
bool startDownload(Host& host, DownloadState& state, const std::string& address,
                   const std::string& name, const std::string& song = std::string());
void onDownloadTimer(Host& host, DownloadState& state);

// "下载速度：" + rate / 1,024,000 rounded to two decimals + " MB" (zero written as 0).
std::string rateText(std::int32_t bytesPerSecond);

// A GBK file name (without extension) that is safe inside the save folder: characters a file
// name cannot hold (/ \ NUL, control characters and <>:"|?*) become '_', a leading '.' becomes
// '_', and the name is cut (never inside a character) so that name + ".mp3.part" fits in 255
// bytes of UTF-8.
std::string safeFileName(const std::string& gbkName);

} // namespace tunova
