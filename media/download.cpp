#include "media/download.h"

#include "media/chime.h"
#include "settings/settings.h"
#include "text/codepage.h"
#include "text/text.h"

namespace tunova {

void downloadStartup(DownloadState& state) {
  state.downloader.engine = nullptr;
  DownloadTask& t = state.downloadTask;
  t = DownloadTask{};
  t.receiveBufferBytes = 1;
  t.ftpUser = "anonymous";
  t.ftpPassword = "guest@tunova.invalid";
  t.retries = 1;
  t.field7 = 0;
  t.connectTimeoutMs = 20000;
  t.sendTimeoutMs = 20000;
  t.receiveTimeoutMs = 20000;
  t.retryPauseMs = 1000;
  t.field12 = 20480;
  t.field13 = 1024;
  t.field14 = 0;
  t.field15 = 0;
  t.field17 = 1;
  t.extensions = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";
  state.running.clear();
}

void downloadExit(DownloadState& state) {
  if (state.downloader.engine) state.downloader.engine->release();
  state.downloader.engine = nullptr;
  state.downloadTask = DownloadTask{};
  state.running.clear();
}

std::string safeFileName(const std::string& gbkName) {
  std::string utf8 = toUtf8(gbkName);
  for (char& c : utf8) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == '<' || c == '>' || c == ':' ||
        c == '"' || c == '|' || c == '?' || c == '*') {
      c = '_';
    }
  }
  if (!utf8.empty() && utf8[0] == '.') utf8[0] = '_';
  constexpr std::size_t kMaxName = 255 - 9; // room for ".mp3.part"
  if (utf8.size() > kMaxName) {
    std::size_t cut = kMaxName;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
      --cut;
    utf8.resize(cut);
  }
  if (utf8.empty()) utf8.assign(1, '_'); // (a literal here trips a false GCC 12 -Wrestrict)
  return fromUtf8(utf8);
}

std::string rateText(std::int32_t bytesPerSecond) {
  const double mb = roundTo(bytesPerSecond / 1024000.0, 2);
  return gbk("下载速度：") + numberToText(mb) + " MB";
}

void downloadSelected(Host& host, DownloadState& state) {
  const Names& n = names();
  const int row = host.selectedRow(n.mainWindow, n.resultList);
  if (row < 0) return; // nothing selected (keyboard, empty list)
  const std::string address = host.cell(n.mainWindow, n.resultList, row, 4);
  const std::string title = host.cell(n.mainWindow, n.resultList, row, 1);
  const std::string singer = host.cell(n.mainWindow, n.resultList, row, 2);
  startDownload(host, state, address, songFileName(title, singer), title + " - " + singer);
}

std::string songFileName(const std::string& title, const std::string& singer) {
  return safeFileName(title + "_" + singer);
}

std::string endNotice(const DownloadEnd& end) {
  // Another program receiving the song into the same file means under way, not lost.
  if (end.heldElsewhere) return gbk("  正在另一程序中下载");
  return end.completed ? gbk("  下载完成") : gbk("  下载失败");
}

bool startDownload(Host& host, DownloadState& state, const std::string& address,
                   const std::string& name, const std::string& song) {
  const std::string label = song.empty() ? name : song;
  DownloadTask& task = state.downloadTask;
  task.receiveBufferBytes = 4096;
  task.url = address;
  std::string folder;
  if (!lookupSaveFolder(host, folder)) {
    host.messageBox(gbk("请先设置保存目录"));
    return false;
  }
  const auto inFlight = [&state](const std::string& path) -> const RunningDownload* {
    for (const auto& [id, d] : state.running) {
      if (d.path == path) return &d;
    }
    return nullptr;
  };
  std::string path = folder + name + ".mp3";
  for (int n = 2; const RunningDownload* other = inFlight(path); ++n) {
    if (other->address == address) {
      host.setPaneText(names().mainWindow, names().statusBar, 2, label + gbk("  正在下载"));
      return false;
    }
    path = folder + name + " (" + numberToText(static_cast<long long>(n)) + ").mp3";
  }
  task.path = path;
  task.retries = 5;
  if (!state.downloader.engine) state.downloader.engine = &host.downloadEngine();
  const int id = state.downloader.engine->start(task);
  if (id > 0) state.running[id] = RunningDownload{label, address, path, folder};
  host.setTimerPeriod(names().mainWindow, names().timer, kWatchPeriodMs);
  return id > 0;
}

void onDownloadTimer(Host& host, DownloadState& state) {
  const Names& n = names();
  DownloadEngine* engine = state.downloader.engine;
  host.setPaneText(n.mainWindow, n.statusBar, 1, rateText(engine ? engine->currentRate() : 0));
  // The running count is read before the ended tasks are taken: a task that ends in between is
  // then still counted as running, so the timer keeps watching and the next tick announces it.
  const int running = engine ? engine->runningCount() : 0;
  if (engine) {
    for (const DownloadEnd& end : engine->takeEnded()) {
      const auto it = state.running.find(end.id);
      if (it == state.running.end()) continue;
      host.setPaneText(n.mainWindow, n.statusBar, 2, it->second.song + endNotice(end));
      if (end.heldElsewhere) {
        ++state.heldElsewhere;
        state.running.erase(it);
        continue;
      }
      if (end.completed) {
        host.playSound(completionSound());
        ++state.completed;
      } else {
        ++state.failed;
      }
      host.notifyDesktop(end.completed ? gbk("下载完成") : gbk("下载失败"), it->second.song,
                         it->second.folder);
      state.running.erase(it);
    }
  }
  if (running == 0) host.setTimerPeriod(n.mainWindow, n.timer, kIdlePeriodMs);
}

} // namespace tunova
