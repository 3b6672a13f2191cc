// What the program really fetches: a search is three pages of about 10 KB, each over a fresh
// connection. httpRequest against libcurl's easy interface doing the same in this process (a new
// handle per page, the same request lines, the body into a vector), in alternating rounds;
// medians and spreads of the time for the three pages.
#include <curl/curl.h>

#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "http/http_request.h"

using namespace tunova;
using namespace tunova::bench;

namespace {

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::vector<char>*>(user);
  body->insert(body->end(), data, data + size * count);
  return size * count;
}

std::size_t curlPage(const std::string& url) {
  std::vector<char> body;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  // The lines httpRequest sends by default.
  curl_easy_setopt(c, CURLOPT_USERAGENT, kDefaultUserAgent);
  curl_slist* lines = curl_slist_append(nullptr, "Accept: */*");
  lines = curl_slist_append(lines, ("Referer: " + url).c_str());
  lines = curl_slist_append(lines, "Accept-Language: zh-cn");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, lines);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  const CURLcode rc = curl_easy_perform(c);
  curl_easy_cleanup(c);
  curl_slist_free_all(lines);
  return rc == CURLE_OK ? body.size() : 0;
}

} // namespace

int main() {
  constexpr std::size_t kPage = 10 * 1024;
  constexpr int kRounds = 201;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ChildServer server = startByteServer(kPage);
  if (!server.port) return 1;
  std::vector<std::string> pages;
  for (int page = 1; page <= 3; ++page)
    pages.push_back("http://127.0.0.1:" + std::to_string(server.port) +
                    "/data?page=" + std::to_string(page));
  httpRequest(pages[0]); // warm-up for both: the server's pages, our allocator, the library
  curlPage(pages[0]);
  std::vector<double> ours, theirs;
  for (int round = 0; round < kRounds; ++round) {
    double t0 = now();
    for (const std::string& url : pages) {
      if (httpRequest(url).size() != kPage) {
        std::fprintf(stderr, "httpRequest: short page\n");
        return 1;
      }
    }
    ours.push_back((now() - t0) * 1000);
    t0 = now();
    for (const std::string& url : pages) {
      if (curlPage(url) != kPage) {
        std::fprintf(stderr, "curl: short page\n");
        return 1;
      }
    }
    theirs.push_back((now() - t0) * 1000);
  }
  stopServer(server);
  const Summary a = Summary::of(ours), b = Summary::of(theirs);
  std::printf("httpRequest, 3 pages of 10 KB: %.2f ms median (%.2f-%.2f) over %d rounds\n",
              a.median, a.min, a.max, kRounds);
  std::printf("curl easy,   3 pages of 10 KB: %.2f ms median (%.2f-%.2f) over %d rounds\n",
              b.median, b.min, b.max, kRounds);
  std::printf("speed ratio httpRequest/curl (curl's time over ours, medians): %.2f\n",
              b.median / a.median);
  return 0;
}
