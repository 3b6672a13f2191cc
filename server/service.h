#pragma once
// tunova-catalogue's HTTP service: the search and collection endpoints the program reads, and
// the media files they point to. It serves only indexed files (a request path never reaches the
// filesystem), answers bad or missing parameters with an empty "data", and is served by a few
// threads under limits that bound what every client may cost (see HttpServer).
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "server/http_server.h"
#include "server/library.h"

namespace tunova::catalogue {

// The JSON answer for one page; media addresses start with `publicUrl` ("http://host:port").
std::string pageJson(const Page& page, const std::string& publicUrl);

// What a Range header asks of a file of `size` bytes. Anything but one well-formed byte range
// is served as the whole file; a range that starts past the end cannot be served.
struct ByteRange {
  enum Kind { Whole, Part, Unsatisfiable } kind = Whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0; // inclusive
};
ByteRange parseRange(const std::string& header, std::uint64_t size);

// The value of query parameter `name` in `query` (undecoded, as after '?'), with %XX and '+'
// decoded; `found` tells an absent parameter from an empty one.
std::string queryParam(const std::string& query, const std::string& name, bool* found = nullptr);

// "http://HOST:PORT" for a listening address; an IPv6 host is bracketed.
std::string defaultPublicUrl(const std::string& host, int port);
// Whether `url` may be used as the public address: http:// or https://, a host of letters,
// digits, dots, dashes, colons and brackets, nothing after it but an optional path.
bool validPublicUrl(const std::string& url);

class Service {
public:
  explicit Service(Library& library, HttpLimits limits = {});
  ~Service();
  // Binds `address` ("127.0.0.1:8960", "[::1]:8960"); port 0 picks a free one. False when it
  // cannot bind.
  bool bind(const std::string& address);
  int port() const;
  // The bound address as HOST:PORT ([V6]:PORT).
  std::string address() const;
  // Where clients reach the service, for the media addresses of the answers. Without it the
  // listening address is used.
  void setPublicUrl(const std::string& url);
  const std::string& publicUrl() const;
  // The answer to one request (the server's handler).
  HttpResponse handle(const HttpRequest& request);
  // Serves until stop(), which a signal handler may call.
  void run();
  void stop();

private:
  // Whether a whole song sent to `peer` counts as a play: the first in an hour.
  bool firstPlayThisHour(const std::string& peer, long long song);

  Library& library_;
  HttpServer server_;
  std::string publicUrl_;
  std::string address_;
  std::mutex playsMutex_;
  std::map<std::pair<std::string, long long>, std::chrono::steady_clock::time_point> lastPlays_;
};

} // namespace tunova::catalogue
