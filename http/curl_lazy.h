#pragma once
// libcurl, loaded when it is first used rather than when the program starts: the window comes
// up without mapping libcurl and the two dozen libraries it pulls in (TLS, Kerberos, LDAP, SSH),
// and the first request pays for them once. Include this instead of <curl/curl.h>: the curl
// calls below then go through the loaded library. Without libcurl every call fails the way
// libcurl reports failures (no handle, an error code), so a request simply fails.
#ifndef CURL_DISABLE_TYPECHECK
#define CURL_DISABLE_TYPECHECK
#endif
#include <curl/curl.h>

extern "C" {
CURLcode tunova_curl_global_init(long flags);
CURL* tunova_curl_easy_init(void);
CURLcode tunova_curl_easy_setopt(CURL* curl, CURLoption option, ...);
CURLcode tunova_curl_easy_perform(CURL* curl);
CURLcode tunova_curl_easy_getinfo(CURL* curl, CURLINFO info, ...);
void tunova_curl_easy_cleanup(CURL* curl);
const char* tunova_curl_easy_strerror(CURLcode code);
CURLM* tunova_curl_multi_init(void);
CURLMcode tunova_curl_multi_add_handle(CURLM* multi, CURL* curl);
CURLMcode tunova_curl_multi_remove_handle(CURLM* multi, CURL* curl);
CURLMcode tunova_curl_multi_perform(CURLM* multi, int* running);
CURLMsg* tunova_curl_multi_info_read(CURLM* multi, int* left);
CURLMcode tunova_curl_multi_poll(CURLM* multi, struct curl_waitfd extra[], unsigned int count,
                                 int timeoutMs, int* ready);
CURLMcode tunova_curl_multi_wakeup(CURLM* multi);
CURLMcode tunova_curl_multi_cleanup(CURLM* multi);
CURLSH* tunova_curl_share_init(void);
CURLSHcode tunova_curl_share_setopt(CURLSH* share, CURLSHoption option, ...);
CURLSHcode tunova_curl_share_cleanup(CURLSH* share);
struct curl_slist* tunova_curl_slist_append(struct curl_slist* list, const char* text);
void tunova_curl_slist_free_all(struct curl_slist* list);
}

// curl.h keeps function-like macros for the variadic calls; ours replace them.
#undef curl_easy_setopt
#undef curl_easy_getinfo
#undef curl_share_setopt
#define curl_global_init tunova_curl_global_init
#define curl_easy_init tunova_curl_easy_init
#define curl_easy_setopt tunova_curl_easy_setopt
#define curl_easy_perform tunova_curl_easy_perform
#define curl_easy_getinfo tunova_curl_easy_getinfo
#define curl_easy_cleanup tunova_curl_easy_cleanup
#define curl_easy_strerror tunova_curl_easy_strerror
#define curl_multi_init tunova_curl_multi_init
#define curl_multi_add_handle tunova_curl_multi_add_handle
#define curl_multi_remove_handle tunova_curl_multi_remove_handle
#define curl_multi_perform tunova_curl_multi_perform
#define curl_multi_info_read tunova_curl_multi_info_read
#define curl_multi_poll tunova_curl_multi_poll
#define curl_multi_wakeup tunova_curl_multi_wakeup
#define curl_multi_cleanup tunova_curl_multi_cleanup
#define curl_share_init tunova_curl_share_init
#define curl_share_setopt tunova_curl_share_setopt
#define curl_share_cleanup tunova_curl_share_cleanup
#define curl_slist_append tunova_curl_slist_append
#define curl_slist_free_all tunova_curl_slist_free_all
