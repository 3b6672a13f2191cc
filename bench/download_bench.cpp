// The download engine fetching a 256 MiB file over loopback against curl -s -o FILE, with the
// CPU time of both: 9 alternating runs each, medians and spreads. Each run saves to a new file,
// as a download of a new song does, and the files are removed outside the timed part (writing
// over the last run's file would time the file system's flush of the file it replaces).
// The engine flushes a finished song to disk before it announces it; curl does not, so the time
// `sync FILE` then takes on curl's file is measured as well: what putting 256 MiB on disk costs,
// and the ratio against curl with that flush.
#include <filesystem>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "runtime/download_engine.h"
#include "text/codepage.h"

using namespace tunova;
using namespace tunova::bench;

int main() {
  constexpr std::size_t kBytes = 256u << 20;
  ChildServer server = startByteServer(kBytes);
  if (!server.port) return 1;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/data";
  const auto dir = std::filesystem::temp_directory_path();
  constexpr int kRuns = 9;
  std::vector<double> rate, cpuTime, curlRate, curlCpuTime, flushTime, curlFlushedRate;
  for (int round = 0; round < kRuns; ++round) {
    const std::string n = std::to_string(round);
    const std::string target = (dir / ("tunova-bench-" + n + ".mp3")).string();
    const std::string curlTarget = (dir / ("tunova-bench-curl-" + n + ".mp3")).string();
    std::filesystem::remove(target);
    std::filesystem::remove(curlTarget);
    PlatformDownloadEngine engine;
    DownloadTask task;
    task.url = url;
    task.path = fromUtf8(target);
    task.receiveBufferBytes = 4096;
    task.retries = 0;
    const double c0 = cpuSeconds(RUSAGE_SELF), t0 = now();
    const int id = engine.start(task);
    bool done = false, ok = false;
    while (!done) {
      for (const DownloadEnd& e : engine.takeEnded()) {
        if (e.id == id) done = true, ok = e.completed;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double t = now() - t0, cpu = cpuSeconds(RUSAGE_SELF) - c0;
    if (!ok || std::filesystem::file_size(target) != kBytes) return 1;
    rate.push_back(kBytes / 1048576.0 / t);
    cpuTime.push_back(cpu);
    const double cc0 = cpuSeconds(RUSAGE_CHILDREN);
    const double ct = timeCommand("curl -s -o '" + curlTarget + "' '" + url + "'");
    const double ccpu = cpuSeconds(RUSAGE_CHILDREN) - cc0;
    const double st = timeCommand("sync '" + curlTarget + "'");
    if (ct > 0) {
      curlRate.push_back(kBytes / 1048576.0 / ct);
      curlCpuTime.push_back(ccpu);
    }
    if (ct > 0 && st >= 0) {
      flushTime.push_back(st);
      curlFlushedRate.push_back(kBytes / 1048576.0 / (ct + st));
    }
    std::filesystem::remove(target);
    std::filesystem::remove(curlTarget);
  }
  stopServer(server);
  const Summary r = Summary::of(rate), c = Summary::of(cpuTime);
  const Summary cr = Summary::of(curlRate), cc = Summary::of(curlCpuTime);
  std::printf("engine: %.0f MiB/s median (%.0f-%.0f), %.3f s CPU median\n", r.median, r.min, r.max,
              c.median);
  std::printf("curl  : %.0f MiB/s median (%.0f-%.0f), %.3f s CPU median\n", cr.median, cr.min,
              cr.max, cc.median);
  std::printf("throughput ratio engine/curl (medians of %d runs): %.2f\n", kRuns,
              r.median / cr.median);
  const Summary f = Summary::of(flushTime), cf = Summary::of(curlFlushedRate);
  std::printf("flush of 256 MiB after curl: %.3f s median (%.3f-%.3f)\n", f.median, f.min, f.max);
  std::printf("throughput ratio engine/(curl + flush): %.2f\n", r.median / cf.median);
  return 0;
}
