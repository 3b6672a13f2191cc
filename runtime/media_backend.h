#pragma once
// The player control and the completion sound, which only a played song and a finished download
// need. They bring the toolkit's media library and GStreamer with them, so the Linux runtime
// keeps them in a module of their own (tunova-media.so beside it), loaded the first time a
// player window opens or a sound plays: the main window comes up without mapping them.
#include "host/host.h"
#include "host/windows.h"
#include "text/text.h"

class wxWindow;

namespace tunova {

// A player control as the module makes it: the window to place and the player interface (the
// runtime never names the module's own class, so it needs nothing of the module to link).
struct MadePlayer {
  wxWindow* window = nullptr;
  MediaPlayer* player = nullptr;
};

struct MediaBackend {
  MadePlayer (*makePlayer)(wxWindow* parent, const Control& definition);
  void (*playWave)(const Bytes& wave);
  void (*waitForSounds)(int timeoutMs);
};

// The backend linked into this binary (the module itself, and tests that link it directly).
const MediaBackend& linkedMediaBackend();

// The backend of the module beside the library or program that holds this code, loaded on the
// first call; nullptr when it cannot be loaded (then there is no player and no sound).
const MediaBackend* loadedMediaBackend();

// The module's one export: its backend.
inline constexpr const char* kMediaModuleFile = "tunova-media.so";
inline constexpr const char* kMediaBackendExport = "TunovaMediaBackend";

} // namespace tunova
