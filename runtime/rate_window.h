#pragma once
// RateWindow: the receive rate over the last second, from samples of a running byte count.
//
// The engine adds (time, total bytes received so far) as it goes; rate(now) is the bytes that
// arrived within the second before `now`, per second. A window with no sample in that second
// (nothing added lately, or a stalled count) gives 0. Time comes from the caller, so the
// arithmetic is tested with a clock the test sets.
#include <chrono>
#include <cstdint>
#include <deque>

namespace tunova {

class RateWindow {
public:
  using Clock = std::chrono::steady_clock;
  explicit RateWindow(Clock::duration span = std::chrono::seconds(1)) : span_(span) {}

  void add(Clock::time_point now, std::int64_t totalBytes);
  // Bytes per second over the span before `now`, clamped to what an int32 holds.
  std::int32_t rate(Clock::time_point now) const;
  void clear() { samples_.clear(); }

private:
  struct Sample {
    Clock::time_point at;
    std::int64_t total;
  };
  Clock::duration span_;
  std::deque<Sample> samples_;
};

} // namespace tunova
