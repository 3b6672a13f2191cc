// tunova-net.so: the network layer, loaded by the program and the window runtime on first use.
#include "http/network.h"

extern "C" __attribute__((visibility("default"))) const tunova::NetworkLayer* TunovaNetworkLayer() {
  static const tunova::NetworkLayer layer{&tunova::openCurlExchange, &tunova::forgetCurlCookies,
                                          &tunova::openCurlTransport};
  return &layer;
}
