#pragma once
// The completion sound: a RIFF/WAVE file of 138,492 bytes (PCM, 2 channels, 44,100 Hz, 16-bit;
// a 200-byte LIST/INFO chunk; 34,560 frames, about 0.78 s), a short two-note chime of our own,
// computed once.
#include "text/text.h"

namespace tunova {

const Bytes& completionSound();

} // namespace tunova
