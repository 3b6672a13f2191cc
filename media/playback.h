#pragma once
// Playing the selected song in PlayerWindow and copying its address. With no row selected the
// handlers do nothing.
#include "host/host.h"

namespace tunova {

// PlayerWindow is loaded from `playerWindow` the first time, and `sink` receives its events.
void playSelected(Host& host, EventSink& sink, const WindowDefinition& playerWindow);
void onResultListDoubleClick(Host& host, EventSink& sink, const WindowDefinition& playerWindow);
// Stops playback and hides the window instead of closing it; always answers "may not close".
bool onPlayerWindowCloseQuery(Host& host);
void onMainWindowDestroying(Host& host);
void copySelectedAddress(Host& host);

} // namespace tunova
