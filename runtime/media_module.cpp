// tunova-media.so: the player control and the completion sound, loaded by the runtime on first
// use.
#include "runtime/media_backend.h"
#include "runtime/player.h"
#include "runtime/sound.h"

namespace tunova {

const MediaBackend& linkedMediaBackend() {
  static const MediaBackend backend{
      [](wxWindow* parent, const Control& definition) {
        auto* player = new WxMediaPlayer(parent, definition);
        return MadePlayer{player, player};
      },
      [](const Bytes& wave) { playWaveAsync(wave); },
      [](int timeoutMs) { waitForSounds(timeoutMs); },
  };
  return backend;
}

} // namespace tunova

extern "C" __attribute__((visibility("default"))) const tunova::MediaBackend* TunovaMediaBackend() {
  return &tunova::linkedMediaBackend();
}
