#pragma once
// The libcurl settings every transfer of the program shares: only http:// and https:// are
// fetched (also after a redirect), and no signals are used, so transfers may run on any thread.
#include "http/curl_lazy.h"

namespace tunova {

inline void setCommonOptions(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

} // namespace tunova
