#include "runtime/sound.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/sound_platform.h"

// Each sound plays on a worker of its own, synchronously there, so the caller never waits,
// overlapping sounds all play, and the bytes live as long as the playing.

namespace tunova {

namespace {

std::mutex g_mutex;
std::condition_variable g_idle;
int g_playing = 0;
std::atomic<int> g_started{0};
std::atomic<int> g_playedToEnd{0};

} // namespace

void playWaveAsync(const Bytes& wave) {
  if (wave.empty() || !soundPlayerReady()) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_playing;
  }
  std::thread([copy = wave]() {
    ++g_started;
    if (playWaveToEnd(copy)) ++g_playedToEnd;
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

} // namespace tunova
