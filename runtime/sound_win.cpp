#include "runtime/sound.h"

#include <windows.h>
// (after windows.h, which it needs)
#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// In-memory WAV playback through the platform's PlaySound. Each sound plays synchronously on a
// worker of its own (an asynchronous PlaySound would cut off the one before it, and the bytes
// must outlive the playing), so the caller never waits and overlapping sounds all play.

namespace tunova {

namespace {

std::mutex g_mutex;
std::condition_variable g_idle;
int g_playing = 0;
std::atomic<int> g_started{0};
std::atomic<int> g_playedToEnd{0};

} // namespace

void playWaveAsync(const Bytes& wave) {
  if (wave.empty()) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_playing;
  }
  std::thread([copy = wave]() {
    ++g_started;
    if (PlaySoundA(reinterpret_cast<LPCSTR>(copy.data()), nullptr,
                   SND_MEMORY | SND_SYNC | SND_NODEFAULT)) {
      ++g_playedToEnd;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    --g_playing;
    g_idle.notify_all();
  }).detach();
}

void waitForSounds(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_playing == 0; });
}

int soundsStarted() {
  return g_started.load();
}

int soundsPlayedToEnd() {
  return g_playedToEnd.load();
}

bool audioOutputAvailable() {
  return waveOutGetNumDevs() > 0;
}

} // namespace tunova
