#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fuzz/targets.h"
#include "server/http_server.h"
#include "server/library.h"
#include "server/service.h"

namespace tunova::fuzz {

namespace {

// A library of a few songs without files, made once per process in a folder of its own.
catalogue::Service& service() {
  static const std::string folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tunova-fuzz-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (!made) std::abort();
    return std::string(made);
  }();
  static catalogue::Library library(folder, folder + "/index.sqlite");
  static const bool filled = [] {
    const char* titles[] = {"月光", "Paper Moon", "老街故事", "Hai Lang"};
    long long id = 1;
    for (const char* t : titles) {
      catalogue::Song s;
      s.id = id++;
      s.title = t;
      s.artist = "singer";
      s.genre = "Romance";
      s.duration = 30;
      library.addSynthetic(s);
    }
    return true;
  }();
  (void)filled;
  static catalogue::Service svc(library);
  return svc;
}

// A request as the HTTP library hands it over, read from the input: "METHOD TARGET" on the
// first line, then "Name: value" lines. The library has parsed and bounded the head by then;
// what is fuzzed here is everything the service does with what it was given.
catalogue::HttpRequest requestOf(const std::string& head) {
  catalogue::HttpRequest request;
  std::size_t at = 0;
  bool first = true;
  while (at <= head.size()) {
    std::size_t end = head.find('\n', at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = end + 1;
    if (first) {
      const std::size_t space = line.find(' ');
      request.method = line.substr(0, space);
      if (space != std::string::npos) request.target = line.substr(space + 1);
      first = false;
    } else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
      request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    }
  }
  const std::size_t q = request.target.find('?');
  request.path = request.target.substr(0, q);
  request.query = q == std::string::npos ? std::string() : request.target.substr(q + 1);
  request.peer = "127.0.0.1";
  return request;
}

} // namespace

int catalogueRequest(const std::uint8_t* data, std::size_t size) {
  const catalogue::HttpRequest request =
      requestOf(std::string(reinterpret_cast<const char*>(data), size));
  // The server refuses a target that is not a path before the service hears it.
  if (request.target.empty() || request.target[0] != '/') return 0;
  const catalogue::HttpResponse answer = service().handle(request);
  FUZZ_CHECK(answer.status >= 200 && answer.status < 600);
  if (answer.fileFd >= 0) ::close(answer.fileFd);
  // The parameter and range readers on their own, with the input as their text.
  (void)catalogue::queryParam(request.query, "query");
  for (std::uint64_t fileSize : {0ull, 1ull, 41877ull}) {
    const catalogue::ByteRange r = catalogue::parseRange(request.header("Range"), fileSize);
    if (r.kind == catalogue::ByteRange::Part) {
      FUZZ_CHECK(r.first <= r.last && r.last < fileSize);
    }
  }
  return 0;
}

} // namespace tunova::fuzz
