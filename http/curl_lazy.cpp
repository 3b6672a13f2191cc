#include "http/curl_lazy.h"

#include <dlfcn.h>

#include <cstdarg>

namespace {

// The library's entry points, looked up once (thread-safe: a function-local static).
struct Curl {
  bool ok = false;
  decltype(&::curl_global_init) globalInit = nullptr;
  decltype(&::curl_easy_init) easyInit = nullptr;
  decltype(&::curl_easy_setopt) easySetopt = nullptr;
  decltype(&::curl_easy_perform) easyPerform = nullptr;
  decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&::curl_easy_strerror) easyStrerror = nullptr;
  decltype(&::curl_multi_init) multiInit = nullptr;
  decltype(&::curl_multi_add_handle) multiAdd = nullptr;
  decltype(&::curl_multi_remove_handle) multiRemove = nullptr;
  decltype(&::curl_multi_perform) multiPerform = nullptr;
  decltype(&::curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&::curl_multi_poll) multiPoll = nullptr;
  decltype(&::curl_multi_wakeup) multiWakeup = nullptr;
  decltype(&::curl_multi_cleanup) multiCleanup = nullptr;
  decltype(&::curl_share_init) shareInit = nullptr;
  decltype(&::curl_share_setopt) shareSetopt = nullptr;
  decltype(&::curl_share_cleanup) shareCleanup = nullptr;
  decltype(&::curl_slist_append) slistAppend = nullptr;
  decltype(&::curl_slist_free_all) slistFreeAll = nullptr;

  template <typename F> bool find(void* library, const char* name, F& into) {
    into = reinterpret_cast<F>(dlsym(library, name));
    return into != nullptr;
  }

  Curl() {
    // The library stays loaded for the life of the process.
    void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!library) return;
    ok = find(library, "curl_global_init", globalInit) &&
         find(library, "curl_easy_init", easyInit) &&
         find(library, "curl_easy_setopt", easySetopt) &&
         find(library, "curl_easy_perform", easyPerform) &&
         find(library, "curl_easy_getinfo", easyGetinfo) &&
         find(library, "curl_easy_cleanup", easyCleanup) &&
         find(library, "curl_easy_strerror", easyStrerror) &&
         find(library, "curl_multi_init", multiInit) &&
         find(library, "curl_multi_add_handle", multiAdd) &&
         find(library, "curl_multi_remove_handle", multiRemove) &&
         find(library, "curl_multi_perform", multiPerform) &&
         find(library, "curl_multi_info_read", multiInfoRead) &&
         find(library, "curl_multi_poll", multiPoll) &&
         find(library, "curl_multi_wakeup", multiWakeup) &&
         find(library, "curl_multi_cleanup", multiCleanup) &&
         find(library, "curl_share_init", shareInit) &&
         find(library, "curl_share_setopt", shareSetopt) &&
         find(library, "curl_share_cleanup", shareCleanup) &&
         find(library, "curl_slist_append", slistAppend) &&
         find(library, "curl_slist_free_all", slistFreeAll);
  }
};

const Curl& curl() {
  static const Curl loaded;
  return loaded;
}

} // namespace

extern "C" {

CURLcode tunova_curl_global_init(long flags) {
  return curl().ok ? curl().globalInit(flags) : CURLE_FAILED_INIT;
}

CURL* tunova_curl_easy_init(void) {
  return curl().ok ? curl().easyInit() : nullptr;
}

// Every option takes one argument whose type its number tells (libcurl's own ranges).
CURLcode tunova_curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (!curl().ok || !handle) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, option);
  CURLcode rc;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    rc = curl().easySetopt(handle, option, va_arg(args, long));
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    rc = curl().easySetopt(handle, option, va_arg(args, void*));
  } else if (option < CURLOPTTYPE_OFF_T) {
    using Function = void (*)();
    rc = curl().easySetopt(handle, option, va_arg(args, Function));
  } else if (option < CURLOPTTYPE_BLOB) {
    rc = curl().easySetopt(handle, option, va_arg(args, curl_off_t));
  } else {
    rc = curl().easySetopt(handle, option, va_arg(args, void*));
  }
  va_end(args);
  return rc;
}

CURLcode tunova_curl_easy_perform(CURL* handle) {
  return curl().ok ? curl().easyPerform(handle) : CURLE_FAILED_INIT;
}

// Every piece of information is written through a pointer.
CURLcode tunova_curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  if (!curl().ok || !handle) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, info);
  void* out = va_arg(args, void*);
  va_end(args);
  return curl().easyGetinfo(handle, info, out);
}

void tunova_curl_easy_cleanup(CURL* handle) {
  if (curl().ok) curl().easyCleanup(handle);
}

const char* tunova_curl_easy_strerror(CURLcode code) {
  return curl().ok ? curl().easyStrerror(code) : "libcurl is not available";
}

CURLM* tunova_curl_multi_init(void) {
  return curl().ok ? curl().multiInit() : nullptr;
}

CURLMcode tunova_curl_multi_add_handle(CURLM* multi, CURL* handle) {
  return curl().ok ? curl().multiAdd(multi, handle) : CURLM_BAD_HANDLE;
}

CURLMcode tunova_curl_multi_remove_handle(CURLM* multi, CURL* handle) {
  return curl().ok ? curl().multiRemove(multi, handle) : CURLM_BAD_HANDLE;
}

CURLMcode tunova_curl_multi_perform(CURLM* multi, int* running) {
  return curl().ok ? curl().multiPerform(multi, running) : CURLM_BAD_HANDLE;
}

CURLMsg* tunova_curl_multi_info_read(CURLM* multi, int* left) {
  return curl().ok ? curl().multiInfoRead(multi, left) : nullptr;
}

CURLMcode tunova_curl_multi_poll(CURLM* multi, struct curl_waitfd extra[], unsigned int count,
                                 int timeoutMs, int* ready) {
  return curl().ok ? curl().multiPoll(multi, extra, count, timeoutMs, ready) : CURLM_BAD_HANDLE;
}

CURLMcode tunova_curl_multi_wakeup(CURLM* multi) {
  return curl().ok ? curl().multiWakeup(multi) : CURLM_BAD_HANDLE;
}

CURLMcode tunova_curl_multi_cleanup(CURLM* multi) {
  return curl().ok ? curl().multiCleanup(multi) : CURLM_BAD_HANDLE;
}

CURLSH* tunova_curl_share_init(void) {
  return curl().ok ? curl().shareInit() : nullptr;
}

// The data kinds to share are ints; the lock routines and the user data are pointers.
CURLSHcode tunova_curl_share_setopt(CURLSH* share, CURLSHoption option, ...) {
  if (!curl().ok || !share) return CURLSHE_INVALID;
  va_list args;
  va_start(args, option);
  CURLSHcode rc;
  if (option == CURLSHOPT_SHARE || option == CURLSHOPT_UNSHARE) {
    rc = curl().shareSetopt(share, option, va_arg(args, int));
  } else if (option == CURLSHOPT_LOCKFUNC || option == CURLSHOPT_UNLOCKFUNC) {
    using Function = void (*)();
    rc = curl().shareSetopt(share, option, va_arg(args, Function));
  } else {
    rc = curl().shareSetopt(share, option, va_arg(args, void*));
  }
  va_end(args);
  return rc;
}

CURLSHcode tunova_curl_share_cleanup(CURLSH* share) {
  return curl().ok ? curl().shareCleanup(share) : CURLSHE_INVALID;
}

struct curl_slist* tunova_curl_slist_append(struct curl_slist* list, const char* text) {
  return curl().ok ? curl().slistAppend(list, text) : nullptr;
}

void tunova_curl_slist_free_all(struct curl_slist* list) {
  if (curl().ok) curl().slistFreeAll(list);
}

} // extern "C"
