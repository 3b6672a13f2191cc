#pragma once
// The network layer on Linux: libcurl behind httpRequest's exchange and the download engine's
// transport. Mapping libcurl and the two dozen libraries it pulls in (TLS, Kerberos, LDAP, SSH)
// added about 30 ms to the 110 ms the window takes to come up, so the program and the window
// runtime keep the layer in a module of its own (tunova-net.so beside them) and load it on the
// first request; tests and tunova-cli link it directly. Either way the calls below are the ones
// made.
#include <memory>

#include "http/exchange.h"
#include "http/transfer.h"

namespace tunova {

std::unique_ptr<Exchange> openCurlExchange(const ExchangeSetup& setup);
void forgetCurlCookies();
std::unique_ptr<Transport> openCurlTransport();

// The module's one export gives this table.
struct NetworkLayer {
  std::unique_ptr<Exchange> (*openExchange)(const ExchangeSetup& setup);
  void (*forgetCookies)();
  std::unique_ptr<Transport> (*openTransport)();
};

inline constexpr const char* kNetworkModuleFile = "tunova-net.so";
inline constexpr const char* kNetworkExport = "TunovaNetworkLayer";

} // namespace tunova
