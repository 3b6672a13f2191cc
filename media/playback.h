#pragma once
// Playing the selected song in PlayerWindow and copying its address. With no row selected the
// handlers do nothing.
#include "app/host.h"

namespace tunova {

// `sink` receives the events of PlayerWindow when it is loaded here.
void playSelected(Host& host, EventSink& sink);
void onResultListDoubleClick(Host& host, EventSink& sink);
// Stops playback and hides the window instead of closing it; always answers "may not close".
bool onPlayerWindowCloseQuery(Host& host);
void onMainWindowDestroying(Host& host);
void copySelectedAddress(Host& host);

} // namespace tunova
