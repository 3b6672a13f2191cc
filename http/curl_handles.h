#pragma once
// Owners for libcurl's handles (each cleaned up exactly once, when its owner goes) and the
// settings every transfer of the program shares.
#include <curl/curl.h>

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

// libcurl's global set-up, done once before the first handle (thread-safe).
inline void ensureCurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

// Only http:// and https:// are fetched, also after a redirect, and no signals are used, so
// transfers may run on any thread.
inline void setCommonOptions(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

} // namespace tunova
