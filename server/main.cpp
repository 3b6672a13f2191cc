// tunova-catalogue: a small catalogue service to run Tunova against.
//
//   tunova-catalogue serve --library DIR [--listen 127.0.0.1:8960] [--index FILE]
//   tunova-catalogue make-demo DIR
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
  if (g_service) g_service->stop();
}

int usage() {
  std::fprintf(stderr, "usage: tunova-catalogue serve --library DIR [--listen HOST:PORT] "
                       "[--index FILE]\n       tunova-catalogue make-demo DIR\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "make-demo") {
    if (argc != 3) return usage();
    const int n = makeDemoLibrary(argv[2]);
    std::printf("wrote %d songs into %s\n", n, argv[2]);
    return n > 0 ? 0 : 1;
  }
  if (command != "serve") return usage();
  std::string library, listen = "127.0.0.1:8960", index;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    if (a == "--library")
      library = argv[++i];
    else if (a == "--listen")
      listen = argv[++i];
    else if (a == "--index")
      index = argv[++i];
    else
      return usage();
  }
  if (library.empty()) return usage();
  if (index.empty()) index = library + "/.tunova-index.sqlite";
  Library lib(library, index);
  if (!lib.ok()) {
    std::fprintf(stderr, "cannot open the index %s\n", index.c_str());
    return 1;
  }
  Service service(lib);
  if (!service.bind(listen)) {
    std::fprintf(stderr, "cannot listen on %s\n", listen.c_str());
    return 1;
  }
  const std::string host = listen.substr(0, listen.rfind(':'));
  std::printf("tunova-catalogue: %lld songs (%d read now), listening on %s:%d\n", lib.size(),
              lib.scanned(), host.c_str(), service.port());
  std::fflush(stdout);
  g_service = &service;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  service.run();
  return 0;
}
