// The network layer of the module beside the binary that holds this code, loaded on the first
// call. Without the module every request fails at once and every download fails as it starts.
#include "http/network.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace tunova {

namespace {

std::string folderOfThisCode() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&openExchange), &info) || !info.dli_fname) return ".";
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

const NetworkLayer* load() {
  const std::string path = folderOfThisCode() + "/" + kNetworkModuleFile;
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "tunova: no network: %s\n", dlerror());
    return nullptr;
  }
  using Export = const NetworkLayer* (*)();
  auto layer = reinterpret_cast<Export>(dlsym(module, kNetworkExport));
  return layer ? layer() : nullptr; // the module stays loaded for the life of the process
}

const NetworkLayer* layer() {
  static const NetworkLayer* loaded = load();
  return loaded;
}

// A transport for a program without its network module: every transfer fails as it opens.
class NoTransport : public Transport {
public:
  void open(const TransferRequest&, TransferSink* sink) override {
    sink->onEnd(TransferEnd{true, false, "the network module is missing", {}});
  }
  void stop() override {}
};

} // namespace

std::unique_ptr<Exchange> openExchange(const ExchangeSetup& setup) {
  return layer() ? layer()->openExchange(setup) : nullptr;
}

void forgetStoredCookies() {
  if (layer()) layer()->forgetCookies();
}

std::unique_ptr<Transport> openTransport() {
  return layer() ? layer()->openTransport() : std::make_unique<NoTransport>();
}

// libcurl's exchanges run on the caller's thread: none outlives its call.
void endAbandonedExchanges() {}

} // namespace tunova
