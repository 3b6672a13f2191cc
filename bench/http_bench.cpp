// httpRequest of a 64 MiB body over loopback against curl -s -o /dev/null of the same address:
// 9 alternating runs each, medians and spreads. Each body is released before the next request,
// so from the second one on its storage is the block the previous body left (the count of
// fresh and reused blocks is printed).
#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "http/http_request.h"

using namespace tunova;
using namespace tunova::bench;

int main() {
  constexpr std::size_t kBytes = 64u << 20;
  constexpr int kRuns = 9;
  ChildServer server = startByteServer(kBytes);
  if (!server.port) return 1;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/data";
  const double mb = kBytes / 1048576.0;
  httpRequest(url); // warm-up: the server's pages and our allocator, for both
  std::vector<double> ours, theirs;
  for (int round = 0; round < kRuns; ++round) {
    const double t0 = now();
    const Bytes body = httpRequest(url);
    const double t = now() - t0;
    if (body.size() != kBytes) {
      std::fprintf(stderr, "short body: %zu\n", body.size());
      return 1;
    }
    ours.push_back(mb / t);
    const double c = timeCommand("curl -s -o /dev/null '" + url + "'");
    if (c > 0) theirs.push_back(mb / c);
  }
  stopServer(server);
  const Summary a = Summary::of(ours), b = Summary::of(theirs);
  std::printf("httpRequest: %.0f MiB/s median (%.0f-%.0f) over %d runs\n", a.median, a.min, a.max,
              kRuns);
  std::printf("curl       : %.0f MiB/s median (%.0f-%.0f) over %d runs\n", b.median, b.min, b.max,
              kRuns);
  std::printf("throughput ratio httpRequest/curl (medians): %.2f\n", a.median / b.median);
  const LargeBlockCounts blocks = largeByteBlockCounts();
  std::printf("body storage: %zu fresh blocks, %zu reused\n", blocks.fresh, blocks.reused);
  return 0;
}
