// The exchange of one hop on libcurl's easy interface. One easy handle carries every hop of a
// call, so a redirect to the same server goes over the same connection.
#include "http/exchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "http/curl_handles.h"
#include "http/headers.h"
#include "http/http_request.h"
#include "http/network.h"

namespace tunova {

namespace {

// The process-wide cookie store: every request made without its own cookies reads and writes
// it, so cookies set by one answer go with the next request to that site.
class CookieStore {
public:
  CookieStore() {
    share_.reset(curl_share_init());
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &CookieStore::lock);
    curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &CookieStore::unlock);
    curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this);
  }
  CURLSH* share() { return share_.get(); }
  void clear() {
    const EasyHandle easy(curl_easy_init());
    if (!easy) return;
    curl_easy_setopt(easy.get(), CURLOPT_SHARE, share_.get());
    curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, "ALL");
  }

private:
  static void lock(CURL*, curl_lock_data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->mutex_.lock();
  }
  static void unlock(CURL*, curl_lock_data, void* self) {
    static_cast<CookieStore*>(self)->mutex_.unlock();
  }
  ShareHandle share_;
  std::mutex mutex_;
};

CookieStore& cookieStore() {
  ensureCurlReady();
  static CookieStore* store = new CookieStore(); // lives until the process ends
  return *store;
}

// One transfer of `c`. With a waiting routine it runs on a multi handle that polls the sockets
// in short slices, so the routine runs between them (tens of times a second whatever the
// network does); its false answer abandons the transfer.
CURLcode perform(CURL* c, const std::function<bool()>& whileWaiting) {
  if (!whileWaiting) return curl_easy_perform(c);
  MultiHandle multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) result = msg->data.result;
      }
      break;
    }
    if (!whileWaiting()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(multi.get(), nullptr, 0, 30, nullptr);
  }
  curl_multi_remove_handle(multi.get(), c);
  return result;
}

class CurlExchange : public Exchange {
public:
  explicit CurlExchange(const ExchangeSetup& setup) : setup_(setup), body_(setup.maxBodyBytes) {
    ensureCurlReady();
    easy_.reset(curl_easy_init());
    if (easy_) configure();
  }
  bool ready() const { return easy_ != nullptr; }

  HopAnswer send(const Hop& hop) override {
    using Clock = std::chrono::steady_clock;
    HopAnswer answer;
    CURL* c = easy_.get();
    setMethod(hop);
    long remainingMs = 0; // 0: no overall bound
    if (setup_.deadline != Clock::time_point::max()) {
      remainingMs = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(setup_.deadline - Clock::now())
              .count());
      if (remainingMs <= 0) {
        answer.failed = true;
        return answer;
      }
    }
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, remainingMs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     remainingMs > 0 ? std::min(remainingMs, setup_.connectMs) : setup_.connectMs);
    curl_easy_setopt(c, CURLOPT_URL, hopAddress(hop).c_str());
    body_.clear();
    headerBlock_.clear();
    headersDone_ = false;
    const CURLcode rc = perform(c, setup_.whileWaiting);
    answer.headerBlock = std::move(headerBlock_);
    answer.failed = rc != CURLE_OK || body_.overLimit();
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    char* next = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &next);
    if (next) answer.location = next;
    answer.body = body_.take();
    return answer;
  }

private:
  void configure() {
    CURL* c = easy_.get();
    setCommonOptions(c);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_USERAGENT, setup_.agent.c_str());
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L); // httpRequest follows them itself
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (setup_.idleMs + 999) / 1000));
    curl_easy_setopt(c, CURLOPT_PROXY, setup_.proxy.c_str()); // empty: direct
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlExchange::onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlExchange::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    // Read in 64 KiB pieces: each is copied into the body while it is still in the cache.
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 64L * 1024);
    if (setup_.useCookieStore) {
      curl_easy_setopt(c, CURLOPT_SHARE, cookieStore().share());
      curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
    }
    // The header text goes out as its own lines; curl adds only Host (and Content-Length for a
    // body). Its defaults for Expect and the form content type are switched off, so a PUT never
    // gets a content type the caller did not write.
    for (const std::string& line : splitText(setup_.headerText, "\r\n")) {
      if (!line.empty()) addLine(line);
    }
    addLine("Expect:");
    if (findNoCase(setup_.headerText, "Content-Type:") == std::string::npos)
      addLine("Content-Type:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, lines_.get());
  }

  void addLine(const std::string& line) {
    curl_slist* next = curl_slist_append(lines_.get(), line.c_str());
    if (next) {
      lines_.release();
      lines_.reset(next);
    }
  }

  void setMethod(const Hop& hop) {
    CURL* c = easy_.get();
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
    if (hop.method == kHttpGet) {
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (hop.method == kHttpHead) {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
      static const char kNothing[] = "";
      const Bytes* body = hop.body;
      curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDS,
                       !body || body->empty() ? kNothing
                                              : reinterpret_cast<const char*>(body->data()));
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(body ? body->size() : 0));
      if (hop.method != kHttpPost) curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, httpVerb(hop.method));
    }
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlExchange*>(user);
    const size_t n = size * count;
    return self->body_.add(data, n) ? n : 0; // 0 aborts the transfer
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlExchange*>(user);
    const size_t n = size * count;
    // A new status line starts the block of the next response (after an interim 100 answer):
    // only the final response's block is handed back. Lines after the blank line are chunked
    // trailers, not headers. Every line ends in CRLF, also when the server sent a bare LF.
    std::string_view line(data, n);
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
      self->headerBlock_.clear();
      self->headersDone_ = false;
    } else if (self->headersDone_) {
      return n;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.remove_suffix(1);
    if (line.empty()) self->headersDone_ = true;
    self->headerBlock_.append(line);
    self->headerBlock_.append("\r\n");
    // Room for the announced body at once, so a large body is not copied while it grows.
    if (!self->body_.expect(contentLengthOf(std::string_view(data, n)))) return 0;
    return n;
  }

  ExchangeSetup setup_;
  EasyHandle easy_;
  HeaderList lines_;
  BodyCollector body_;
  std::string headerBlock_;
  bool headersDone_ = false;
};

} // namespace

std::unique_ptr<Exchange> openCurlExchange(const ExchangeSetup& setup) {
  auto exchange = std::make_unique<CurlExchange>(setup);
  if (!exchange->ready()) return nullptr;
  return exchange;
}

void forgetCurlCookies() {
  cookieStore().clear();
}

} // namespace tunova
