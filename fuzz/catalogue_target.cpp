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

} // namespace

int catalogueRequest(const std::uint8_t* data, std::size_t size) {
  const std::string head(reinterpret_cast<const char*>(data), size);
  catalogue::HttpRequest request;
  bool http10 = false;
  const int refusal = catalogue::parseRequestHead(head, request, http10);
  FUZZ_CHECK(refusal == 0 || refusal == 400 || refusal == 413 || refusal == 501 || refusal == 505);
  if (refusal != 0) return 0;
  FUZZ_CHECK(!request.target.empty() && request.target[0] == '/');
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
