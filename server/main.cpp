// tunova-catalogue: a small catalogue service to run Tunova against.
//
//   tunova-catalogue serve --library DIR [--listen 127.0.0.1:8960] [--index FILE]
//                          [--public-url http://HOST:PORT]
//   tunova-catalogue make-demo DIR [--short]     (--short: 3-5 s songs, for tests)
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "server/demo.h"
#include "server/library.h"
#include "server/service.h"

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
                       "       tunova-catalogue make-demo DIR [--short]\n");
  return 2;
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
