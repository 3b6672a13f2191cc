// httpRequest of a 64 MiB body over loopback against curl -s -o /dev/null of the same address.
#include <cstdio>

#include "bench_support.h"
#include "http/http_request.h"

using namespace tunova;
using namespace tunova::bench;

int main() {
  constexpr std::size_t kBytes = 64u << 20;
  ChildServer server = startByteServer(kBytes);
  if (!server.port) return 1;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/data";
  double best = 1e9, bestCurl = 1e9;
  for (int round = 0; round < 5; ++round) {
    const double t0 = now();
    const Bytes body = httpRequest(url);
    const double t = now() - t0;
    if (body.size() != kBytes) {
      std::fprintf(stderr, "short body: %zu\n", body.size());
      return 1;
    }
    best = std::min(best, t);
    const double c = timeCommand("curl -s -o /dev/null '" + url + "'");
    if (c > 0) bestCurl = std::min(bestCurl, c);
  }
  stopServer(server);
  const double mb = kBytes / 1048576.0;
  std::printf("httpRequest: %.0f MiB/s (best of 5, %.3f s)\n", mb / best, best);
  std::printf("curl       : %.0f MiB/s (best of 5, %.3f s)\n", mb / bestCurl, bestCurl);
  std::printf("throughput ratio httpRequest/curl: %.2f\n", bestCurl / best);
  return 0;
}
