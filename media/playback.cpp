#include "media/playback.h"

#include "host/address.h"

namespace tunova {

void playSelected(Host& host, EventSink& sink, const WindowDefinition& playerWindow) {
  const Names& n = names();
  const int row = host.selectedRow(n.mainWindow, n.resultList);
  if (row < 0) return;
  const std::string address = host.cell(n.mainWindow, n.resultList, row, 4);
  if (!fetchableAddress(address)) return; // nothing but a song on the web is opened
  bool mayPlay = false;
  if (host.isWindowLoaded(n.playerWindow)) {
    host.showWindow(n.playerWindow, true);
    mayPlay = true;
  } else {
    mayPlay = host.loadWindow(playerWindow, sink);
  }
  if (!mayPlay) return;
  if (MediaPlayer* player = host.mediaPlayer(n.playerWindow, n.player)) {
    player->describeSong(host.cell(n.mainWindow, n.resultList, row, 1),
                         host.cell(n.mainWindow, n.resultList, row, 2));
    player->setUrl(address);
  }
}

void onResultListDoubleClick(Host& host, EventSink& sink, const WindowDefinition& playerWindow) {
  playSelected(host, sink, playerWindow);
}

bool onPlayerWindowCloseQuery(Host& host) {
  const Names& n = names();
  if (MediaPlayer* player = host.mediaPlayer(n.playerWindow, n.player)) player->stop();
  host.showWindow(n.playerWindow, false);
  return false;
}

void onMainWindowDestroying(Host& host) {
  if (host.isWindowLoaded(names().playerWindow)) host.destroyWindow(names().playerWindow);
}

void copySelectedAddress(Host& host) {
  const Names& n = names();
  const int row = host.selectedRow(n.mainWindow, n.resultList);
  if (row < 0) return;
  const std::string address = host.cell(n.mainWindow, n.resultList, row, 4);
  if (fetchableAddress(address)) host.setClipboardText(address);
}

} // namespace tunova
