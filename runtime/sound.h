#pragma once
// In-memory WAV playback through GStreamer (appsrc ! wavparse ! audioconvert ! autoaudiosink).
// A sound plays once on a worker of its own; the caller never waits. Without an audio device
// the sound is silently dropped.
#include "text/text.h"

namespace tunova {

void playWaveAsync(const Bytes& wave);

// Waits (up to `timeoutMs`) for sounds still playing; hosts call it before they exit.
void waitForSounds(int timeoutMs);

// Sounds started so far whose pipeline reached its end without an error (for tests).
int soundsPlayedToEnd();

} // namespace tunova
