#include <windows.h>
// (after windows.h, which it needs)
#include <mmsystem.h>

#include "runtime/sound.h"
#include "runtime/sound_platform.h"

// The platform part of the sound on Windows: PlaySound from memory, synchronously on the
// shared player's worker (an asynchronous PlaySound would cut off the sound before it).

namespace tunova {

bool soundPlayerReady() {
  return true;
}

bool playWaveToEnd(const Bytes& wave) {
  return PlaySoundA(reinterpret_cast<LPCSTR>(wave.data()), nullptr,
                    SND_MEMORY | SND_SYNC | SND_NODEFAULT) != FALSE;
}

bool audioOutputAvailable() {
  return waveOutGetNumDevs() > 0;
}

} // namespace tunova
