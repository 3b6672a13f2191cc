#pragma once
// tunova-catalogue's HTTP service: the search and collection endpoints the program reads, and
// the media files they point to. It serves only indexed files (a request path never reaches the
// filesystem), answers bad or missing parameters with an empty "data", bounds request sizes and
// works on a thread pool.
#include <memory>
#include <string>

#include "server/library.h"

namespace tunova::catalogue {

// The JSON answer for one page; `host` is the Host header the client sent.
std::string pageJson(const Page& page, const std::string& host);

class Service {
public:
  explicit Service(Library& library);
  ~Service();
  // Binds `address` ("127.0.0.1:8960"); port 0 picks a free one. False when it cannot bind.
  bool bind(const std::string& address);
  int port() const { return port_; }
  // Serves until stop().
  void run();
  void stop();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

} // namespace tunova::catalogue
