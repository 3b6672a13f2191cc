#pragma once
// Owners for libcurl's handles: each is cleaned up exactly once, when its owner goes.
#include "http/curl_lazy.h"

#include <memory>

namespace tunova {

struct EasyCleanup {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiCleanup {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListCleanup {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct ShareCleanup {
  void operator()(CURLSH* s) const { curl_share_cleanup(s); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;
using ShareHandle = std::unique_ptr<CURLSH, ShareCleanup>;

} // namespace tunova
