// The download engine fetching a 256 MiB file over loopback against curl -s -o FILE, with the
// CPU time of both.
#include <filesystem>
#include <thread>

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
  const std::string target = (dir / "tunova-bench.mp3").string();
  const std::string curlTarget = (dir / "tunova-bench-curl.mp3").string();
  double best = 1e9, bestCpu = 0, bestCurl = 1e9, bestCurlCpu = 0;
  for (int round = 0; round < 3; ++round) {
    CurlDownloadEngine engine;
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
    if (t < best) best = t, bestCpu = cpu;
    const double cc0 = cpuSeconds(RUSAGE_CHILDREN);
    const double ct = timeCommand("curl -s -o '" + curlTarget + "' '" + url + "'");
    const double ccpu = cpuSeconds(RUSAGE_CHILDREN) - cc0;
    if (ct > 0 && ct < bestCurl) bestCurl = ct, bestCurlCpu = ccpu;
  }
  stopServer(server);
  std::filesystem::remove(target);
  std::filesystem::remove(curlTarget);
  const double mb = kBytes / 1048576.0;
  std::printf("engine: %.0f MiB/s, %.3f s wall, %.3f s CPU (best of 3)\n", mb / best, best,
              bestCpu);
  std::printf("curl  : %.0f MiB/s, %.3f s wall, %.3f s CPU (best of 3)\n", mb / bestCurl, bestCurl,
              bestCurlCpu);
  std::printf("throughput ratio engine/curl: %.2f\n", bestCurl / best);
  return 0;
}
