#pragma once
// What each platform's sound file gives the shared player in sound.cpp.
#include "text/text.h"

namespace tunova {

// Whether sounds can be handed to the platform's player at all.
bool soundPlayerReady();

// Plays `wave` and returns when it has ended: true when it played to its end.
bool playWaveToEnd(const Bytes& wave);

} // namespace tunova
