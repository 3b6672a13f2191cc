// Download transfers on libcurl's multi interface: one worker thread owns the multi handle and
// every transfer's easy handle; open() queues a transfer and wakes it. The worker sleeps while
// there is nothing to do.
#include "http/transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "http/curl_handles.h"
#include "http/network.h"

namespace tunova {

namespace {

bool isTransient(CURLcode rc) {
  switch (rc) {
  case CURLE_PARTIAL_FILE:
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
  case CURLE_GOT_NOTHING:
  case CURLE_OPERATION_TIMEDOUT:
  case CURLE_COULDNT_CONNECT:
  case CURLE_HTTP2_STREAM:
    return true;
  default:
    return false;
  }
}

// One transfer: its request, its handles, and the answer head being read.
struct Running {
  TransferRequest request;
  TransferSink* sink = nullptr;
  EasyHandle easy;
  HeaderList lines;
  int status = 0;
  std::string block;    // the head read so far
  bool stopped = false; // the sink stopped it

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Running*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
      // A new answer (after an interim one): forget what the last one said.
      const std::size_t sp = line.find(' ');
      r->status =
          sp == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(sp + 1, 4)).c_str());
      r->block.clear();
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.remove_suffix(1);
    r->block.append(line);
    r->block.append("\r\n");
    if (line.empty() && r->status >= 200 && !r->sink->onHead(r->status, r->block)) {
      r->stopped = true;
      return 0;
    }
    return n;
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Running*>(user);
    const size_t n = size * count;
    if (r->sink->onBody(data, n)) return n;
    r->stopped = true;
    return 0;
  }

  // Called by libcurl at least once a second while the transfer runs.
  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* r = static_cast<Running*>(user);
    if (r->sink->onTick()) return 0;
    r->stopped = true;
    return 1;
  }

  bool prepare() {
    easy.reset(curl_easy_init());
    if (!easy) return false;
    CURL* c = easy.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    setCommonOptions(c);
    // Redirects are followed by the engine, one at a time, under the program's own rules.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Tunova");
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, request.bufferBytes);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, request.connectMs);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (request.idleMs + 999) / 1000));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Running::onData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Running::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Running::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_PRIVATE, this);
    for (const std::string& line : request.headerLines) {
      curl_slist* next = curl_slist_append(lines.get(), line.c_str());
      if (!next) return false;
      lines.release();
      lines.reset(next);
    }
    if (lines) curl_easy_setopt(c, CURLOPT_HTTPHEADER, lines.get());
    return true;
  }
};

class CurlTransport : public Transport {
public:
  CurlTransport() {
    ensureCurlReady();
    multi_.reset(curl_multi_init());
  }
  ~CurlTransport() override { stop(); }

  void open(const TransferRequest& request, TransferSink* sink) override {
    auto r = std::make_unique<Running>();
    r->request = request;
    r->sink = sink;
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(r));
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    wake_.notify_all();
    if (multi_) curl_multi_wakeup(multi_.get());
  }

  void stop() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (multi_) curl_multi_wakeup(multi_.get());
    if (worker_.joinable()) worker_.join();
  }

private:
  void run() {
    std::vector<std::unique_ptr<Running>> active; // curl holds raw pointers to these
    for (;;) {
      std::deque<std::unique_ptr<Running>> fresh;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (active.empty()) wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (stopping_) break;
        fresh.swap(queued_);
      }
      for (auto& r : fresh) {
        if (!multi_ || !r->prepare() ||
            curl_multi_add_handle(multi_.get(), r->easy.get()) != CURLM_OK) {
          r->sink->onEnd(TransferEnd{true, true, "cannot start the transfer", {}});
          continue;
        }
        active.push_back(std::move(r));
      }
      int stillRunning = 0;
      curl_multi_perform(multi_.get(), &stillRunning);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        const CURLcode rc = msg->data.result;
        CURL* easy = msg->easy_handle;
        auto it = std::find_if(active.begin(), active.end(),
                               [easy](const auto& p) { return p->easy.get() == easy; });
        if (it == active.end()) continue;
        std::unique_ptr<Running> done = std::move(*it);
        active.erase(it);
        end(*done, rc);
      }
      if (!active.empty()) curl_multi_poll(multi_.get(), nullptr, 0, 100, nullptr);
    }
    // Stopping: every transfer is cut, and no sink hears of it.
    for (auto& r : active)
      curl_multi_remove_handle(multi_.get(), r->easy.get());
  }

  void end(Running& r, CURLcode rc) {
    TransferEnd e;
    e.failed = rc != CURLE_OK;
    e.transient = isTransient(rc);
    if (e.failed) e.error = curl_easy_strerror(rc);
    char* next = nullptr;
    curl_easy_getinfo(r.easy.get(), CURLINFO_REDIRECT_URL, &next);
    if (next) e.location = next;
    curl_multi_remove_handle(multi_.get(), r.easy.get());
    r.easy.reset();
    r.sink->onEnd(e);
  }

  MultiHandle multi_;
  std::mutex mutex_;
  std::condition_variable wake_; // an idle worker waits here for work or the stop
  std::deque<std::unique_ptr<Running>> queued_;
  std::thread worker_;
  bool stopping_ = false;
};

} // namespace

std::unique_ptr<Transport> openCurlTransport() {
  return std::make_unique<CurlTransport>();
}

} // namespace tunova
