#pragma once
// In-memory WAV playback (GStreamer's appsrc ! wavparse ! audioconvert ! autoaudiosink on Linux,
// PlaySound on Windows). A sound plays once on a worker of its own; the caller never waits.
// Without an audio device the sound is silently dropped.
#include "text/text.h"

namespace tunova {

void playWaveAsync(const Bytes& wave);

// Waits (up to `timeoutMs`) for sounds still playing; hosts call it before they exit.
void waitForSounds(int timeoutMs);

// For tests: sounds handed to the platform's player so far, those of them that reached their
// end without an error, and whether there is a device to play them on.
int soundsStarted();
int soundsPlayedToEnd();
bool audioOutputAvailable();

} // namespace tunova
