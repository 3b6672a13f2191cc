#include "runtime/rate_window.h"

#include <algorithm>

namespace tunova {

void RateWindow::add(Clock::time_point now, std::int64_t totalBytes) {
  samples_.push_back(Sample{now, totalBytes});
  // Keep one sample at or before the start of the span as the baseline, nothing older.
  while (samples_.size() > 2 && samples_[1].at <= now - span_)
    samples_.pop_front();
}

std::int32_t RateWindow::rate(Clock::time_point now) const {
  if (samples_.size() < 2) return 0;
  const Clock::time_point from = now - span_;
  // The baseline: the newest sample at or before the span's start, else the oldest there is.
  const Sample* base = &samples_.front();
  for (const Sample& s : samples_) {
    if (s.at > from) break;
    base = &s;
  }
  const Sample& last = samples_.back();
  if (last.at <= from || last.total <= base->total) return 0;
  const double seconds =
      std::chrono::duration<double>(std::max<Clock::duration>(last.at - base->at, span_)).count();
  const double bytes = static_cast<double>(last.total - base->total);
  return static_cast<std::int32_t>(std::min(bytes / seconds, 2147483647.0));
}

} // namespace tunova
