#include "runtime/sound.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "runtime/sound_platform.h"

// Each sound plays on a worker of its own, synchronously there, so the caller never waits,
// overlapping sounds all play, and the bytes live as long as the playing. The workers are owned
// here: a finished one is joined when the next sound starts or the host waits for its sounds,
// and any still playing when the program ends are joined before this file's state goes.

namespace tunova {

namespace {

class SoundWorkers {
public:
  ~SoundWorkers() {
    std::list<Worker> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(workers_);
    }
    for (Worker& w : all)
      w.thread.join();
  }

  void play(const Bytes& wave) {
    std::lock_guard<std::mutex> lock(mutex_);
    reapLocked();
    Worker& w = workers_.emplace_back();
    w.thread = std::thread([this, &w, copy = wave]() {
      ++started_;
      if (playWaveToEnd(copy)) ++playedToEnd_;
      std::lock_guard<std::mutex> done(mutex_);
      w.done = true;
      idle_.notify_all();
    });
  }

  void wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
      for (const Worker& w : workers_)
        if (!w.done) return false;
      return true;
    });
    reapLocked();
  }

  std::atomic<int> started_{0};
  std::atomic<int> playedToEnd_{0};

private:
  struct Worker {
    std::thread thread;
    bool done = false;
  };
  // Joins the workers whose sound has ended (each has only its last lines left to run).
  void reapLocked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->done) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex mutex_;
  std::condition_variable idle_;
  std::list<Worker> workers_;
};

SoundWorkers& soundWorkers() {
  static SoundWorkers workers;
  return workers;
}

} // namespace

void playWaveAsync(const Bytes& wave) {
  if (wave.empty() || !soundPlayerReady()) return;
  soundWorkers().play(wave);
}

void waitForSounds(int timeoutMs) {
  soundWorkers().wait(timeoutMs);
}

int soundsStarted() {
  return soundWorkers().started_.load();
}

int soundsPlayedToEnd() {
  return soundWorkers().playedToEnd_.load();
}

} // namespace tunova
