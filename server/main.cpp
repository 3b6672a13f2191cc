// tunova-catalogue: a small catalogue service to run Tunova against.
//
//   tunova-catalogue serve --library DIR [--listen 127.0.0.1:8960] [--index FILE]
//                          [--public-url http://HOST:PORT]
//   tunova-catalogue make-demo DIR [--short]     (--short: 3-5 s songs, for tests)
//   tunova-catalogue make-synthetic INDEX --songs N   (an index of N songs without media, for
//                                                      load tests: serve --library EMPTY_DIR
//                                                      --index INDEX)
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "server/demo.h"
#include "server/library.h"
#include "server/service.h"
#include "server/synthetic.h"
#include "server/watcher.h"

using namespace tunova::catalogue;

namespace {

Service* g_service = nullptr;

void onSignal(int) {
  if (g_service) g_service->stop(); // an atomic store and a write(): safe here
}

// Each client holds a descriptor while it is connected: allow as many as the system lets us.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int usage() {
  std::fprintf(stderr, "usage: tunova-catalogue serve --library DIR [--listen HOST:PORT] "
                       "[--index FILE] [--public-url URL]\n"
                       "       tunova-catalogue make-demo DIR [--short]\n"
                       "       tunova-catalogue make-synthetic INDEX --songs N\n");
  return 2;
}

// make-synthetic INDEX --songs N: a new index file of N generated songs.
int makeSyntheticIndex(int argc, char** argv) {
  if (argc != 5 || std::string(argv[3]) != "--songs") return usage();
  const std::string count = argv[4];
  if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != count.npos ||
      std::stoll(count) < 1) {
    std::fprintf(stderr, "--songs takes a number of songs from 1 to 999999999\n");
    return 2;
  }
  std::error_code ec;
  if (std::filesystem::exists(argv[2], ec)) {
    std::fprintf(stderr, "%s exists already; give a new file\n", argv[2]);
    return 1;
  }
  const auto t0 = std::chrono::steady_clock::now();
  Library lib("", argv[2]);
  if (!lib.ok()) {
    std::fprintf(stderr, "cannot create the index %s\n", argv[2]);
    return 1;
  }
  makeSynthetic(lib, std::stoll(count));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("wrote %lld songs into %s in %.1f s\n", lib.size(), argv[2], seconds);
  return lib.size() == std::stoll(count) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "make-demo") {
    const bool shortSongs = argc == 4 && std::string(argv[3]) == "--short";
    if (argc != 3 && !shortSongs) return usage();
    const int n = makeDemoLibrary(argv[2], shortSongs ? DemoLength::Short : DemoLength::Full);
    std::printf("wrote %d songs into %s\n", n, argv[2]);
    return n > 0 ? 0 : 1;
  }
  if (command == "make-synthetic") return makeSyntheticIndex(argc, argv);
  if (command != "serve") return usage();
  std::string library, listen = "127.0.0.1:8960", index, publicUrl;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    if (a == "--library")
      library = argv[++i];
    else if (a == "--listen")
      listen = argv[++i];
    else if (a == "--index")
      index = argv[++i];
    else if (a == "--public-url")
      publicUrl = argv[++i];
    else
      return usage();
  }
  if (library.empty()) return usage();
  if (!publicUrl.empty() && !validPublicUrl(publicUrl)) {
    std::fprintf(stderr, "not a usable public address: %s (http://HOST:PORT expected)\n",
                 publicUrl.c_str());
    return 2;
  }
  raiseDescriptorLimit();
  if (index.empty()) index = library + "/.tunova-index.sqlite";
  Library lib(library, index);
  if (!lib.ok()) {
    std::fprintf(stderr, "cannot open the index %s\n", index.c_str());
    return 1;
  }
  Service service(lib);
  if (!publicUrl.empty()) service.setPublicUrl(publicUrl);
  if (!service.bind(listen)) {
    std::fprintf(stderr, "cannot listen on %s\n", listen.c_str());
    return 1;
  }
  std::printf("tunova-catalogue: %lld songs (%d read now), listening on %s, media at %s\n",
              lib.size(), lib.scanned(), service.address().c_str(), service.publicUrl().c_str());
  std::fflush(stdout);
  // The library follows its folder while it is served.
  FolderWatcher watcher(lib);
  g_service = &service;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  service.run();
  return 0;
}
