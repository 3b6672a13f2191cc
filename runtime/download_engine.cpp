#include "runtime/download_engine.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "runtime/ini_file.h"
#include "text/text.h"

namespace tunova {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kDefaultConnectMs = 20000;
constexpr long kDefaultIdleMs = 20000;
// Reads smaller than this cost throughput (measured on loopback: with 4 KiB reads the engine
// reached 0.85 of curl's rate, with 256 KiB about the same rate), so smaller settings are
// raised to it.
constexpr long kMinBuffer = 256 * 1024;
constexpr long kMaxBuffer = 512 * 1024;

struct Transfer {
  int id = 0;
  DownloadTask task;
  std::string finalPath; // UTF-8
  std::string partPath;  // UTF-8
  std::FILE* file = nullptr;
  CURL* easy = nullptr;
  curl_off_t written = 0;   // bytes in the .part file
  curl_off_t offset = 0;    // where this attempt started
  curl_off_t expected = -1; // total size the server announced, -1 unknown
  bool checkedStart = false;
  bool rangeMismatch = false;
  int attempts = 0;
  Clock::time_point retryAt{};
  bool waiting = false;                       // paused before a retry
  std::atomic<long long>* received = nullptr; // the engine's count of every byte received
};

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

bool allowedScheme(const std::string& url) {
  const std::string lower = asciiLower(url.substr(0, 8));
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

} // namespace

struct CurlDownloadEngine::Impl {
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> queued;
  std::vector<DownloadEnd> ended;
  std::thread worker;
  CURLM* multi = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<int> running{0};
  std::atomic<long long> totalBytes{0};
  int nextId = 1;
  // (time, total bytes) samples over the last moments, for the rate.
  std::deque<std::pair<Clock::time_point, long long>> samples;

  Impl() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi = curl_multi_init();
  }

  ~Impl() {
    stop();
    curl_multi_cleanup(multi);
  }

  void stop() {
    stopping = true;
    if (multi) curl_multi_wakeup(multi);
    if (worker.joinable()) worker.join();
  }

  void finish(std::unique_ptr<Transfer> t, bool completed, std::string error) {
    if (t->file) {
      std::fclose(t->file);
      t->file = nullptr;
    }
    if (completed) {
      if (std::rename(t->partPath.c_str(), t->finalPath.c_str()) != 0) {
        completed = false;
        error = "could not rename the finished file";
      }
    }
    if (!completed) ::unlink(t->partPath.c_str());
    if (t->easy) {
      curl_easy_cleanup(t->easy);
      t->easy = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ended.push_back(DownloadEnd{t->id, completed, std::move(error)});
    --running;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
      t->expected = -1;
    } else if (findNoCase(line, "content-range:") == 0) {
      // bytes START-END/TOTAL
      const std::size_t slash = line.find('/');
      if (slash != std::string::npos && line.compare(slash + 1, 1, "*") != 0) {
        t->expected = std::atoll(line.c_str() + slash + 1);
      }
    } else if (findNoCase(line, "content-length:") == 0) {
      long code = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
      if (code == 200) t->expected = std::atoll(line.c_str() + 15);
    }
    return n;
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->checkedStart) {
      t->checkedStart = true;
      long code = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
      if (t->offset > 0 && code == 200) {
        // The server ignored the range: start the file again from nothing.
        if (std::fflush(t->file) != 0 || ::ftruncate(fileno(t->file), 0) != 0) return 0;
        std::rewind(t->file);
        t->written = 0;
        t->offset = 0;
      } else if (t->offset > 0 && code == 206 && t->expected >= 0 && t->expected < t->written) {
        t->rangeMismatch = true;
        return 0;
      }
    }
    if (std::fwrite(data, 1, n, t->file) != n) return 0;
    t->written += static_cast<curl_off_t>(n);
    t->received->fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
    return n;
  }

  bool begin(Transfer& t) {
    t.easy = curl_easy_init();
    if (!t.easy) return false;
    CURL* c = t.easy;
    const DownloadTask& task = t.task;
    const long buffer = std::clamp<long>(task.receiveBufferBytes, kMinBuffer, kMaxBuffer);
    const long connectMs = task.connectTimeoutMs > 0 ? task.connectTimeoutMs : kDefaultConnectMs;
    const long idleMs = task.receiveTimeoutMs > 0 ? task.receiveTimeoutMs : kDefaultIdleMs;
    curl_easy_setopt(c, CURLOPT_URL, task.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Tunova");
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, buffer);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (idleMs + 999) / 1000));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::onData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_PRIVATE, &t);
    t.offset = t.written;
    t.checkedStart = false;
    t.rangeMismatch = false;
    // A plain range request: unlike libcurl's resume option it accepts a server that answers
    // with the whole file, which onData then writes from the start.
    const std::string range = std::to_string(t.offset) + "-";
    if (t.offset > 0) curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
    return curl_multi_add_handle(multi, c) == CURLM_OK;
  }

  void sample() {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    samples.emplace_back(now, totalBytes.load());
    while (samples.size() > 2 && now - samples[1].first >= std::chrono::milliseconds(1000)) {
      samples.pop_front();
    }
  }

  void run() {
    std::vector<std::unique_ptr<Transfer>> active; // owned here; curl holds raw pointers
    Clock::time_point lastSample{};
    while (!stopping) {
      // Take new tasks.
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard<std::mutex> lock(mutex);
        fresh.swap(queued);
      }
      for (auto& t : fresh) {
        if (!allowedScheme(t->task.url)) {
          finish(std::move(t), false, "only http and https addresses are fetched");
          continue;
        }
        t->file = std::fopen(t->partPath.c_str(), "wb");
        if (t->file) std::setvbuf(t->file, nullptr, _IOFBF, 1 << 20);
        if (!t->file) {
          finish(std::move(t), false, "cannot write the file");
          continue;
        }
        if (!begin(*t)) {
          finish(std::move(t), false, "cannot start the transfer");
          continue;
        }
        active.push_back(std::move(t));
      }
      // Restart transfers whose pause before a retry is over.
      const auto now = Clock::now();
      for (auto& t : active) {
        if (t->waiting && now >= t->retryAt) {
          t->waiting = false;
          if (!begin(*t)) { // try again a little later
            t->waiting = true;
            t->retryAt = now + std::chrono::seconds(1);
          }
        }
      }

      int stillRunning = 0;
      curl_multi_perform(multi, &stillRunning);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Transfer* raw = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
        const CURLcode rc = msg->data.result;
        curl_multi_remove_handle(multi, msg->easy_handle);
        auto it = std::find_if(active.begin(), active.end(),
                               [raw](const auto& p) { return p.get() == raw; });
        if (it == active.end()) continue;
        Transfer& t = **it;
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
        bool done = false, completed = false;
        std::string error;
        if (rc == CURLE_OK && !t.rangeMismatch) {
          std::fflush(t.file);
          if (t.expected >= 0 && t.written != t.expected) {
            error = "size does not match the announced length";
            done = true;
          } else {
            done = completed = true;
          }
        } else if (!t.rangeMismatch && isTransient(rc) && t.attempts < t.task.retries) {
          ++t.attempts;
          std::fflush(t.file);
          t.waiting = true;
          t.retryAt = Clock::now() + std::chrono::milliseconds(std::max(0, t.task.retryPauseMs));
        } else {
          error = t.rangeMismatch ? "the server answered another range" : curl_easy_strerror(rc);
          done = true;
        }
        if (done) {
          std::unique_ptr<Transfer> owned = std::move(*it);
          active.erase(it);
          finish(std::move(owned), completed, std::move(error));
        }
      }
      if (Clock::now() - lastSample >= std::chrono::milliseconds(50)) {
        lastSample = Clock::now();
        sample();
      }
      curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    // Shutting down: abandon every transfer cleanly.
    for (auto& t : active) {
      if (t->easy) curl_multi_remove_handle(multi, t->easy);
      finish(std::move(t), false, "stopped");
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& t : queued) {
      ended.push_back(DownloadEnd{t->id, false, "stopped"});
      --running;
    }
    queued.clear();
  }
};

CurlDownloadEngine::CurlDownloadEngine() : impl_(std::make_unique<Impl>()) {}

CurlDownloadEngine::~CurlDownloadEngine() = default;

int CurlDownloadEngine::start(const DownloadTask& task) {
  auto t = std::make_unique<Transfer>();
  t->task = task;
  t->finalPath = nativePath(task.path);
  t->partPath = t->finalPath + ".part";
  t->received = &impl_->totalBytes;
  int id;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    id = impl_->nextId++;
    t->id = id;
    impl_->queued.push_back(std::move(t));
    ++impl_->running;
    if (impl_->stopping) {
      // Released engines take no more work; the task ends at once.
      impl_->queued.pop_back();
      impl_->ended.push_back(DownloadEnd{id, false, "the engine was released"});
      --impl_->running;
      return id;
    }
    if (!impl_->worker.joinable()) impl_->worker = std::thread([this] { impl_->run(); });
  }
  curl_multi_wakeup(impl_->multi);
  return id;
}

std::int32_t CurlDownloadEngine::currentRate() {
  if (impl_->running == 0) return 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->samples.size() < 2) return 0;
  const auto& first = impl_->samples.front();
  const auto& last = impl_->samples.back();
  const double seconds = std::chrono::duration<double>(last.first - first.first).count();
  if (seconds <= 0) return 0;
  const double rate = static_cast<double>(last.second - first.second) / std::max(seconds, 1.0);
  return static_cast<std::int32_t>(std::min(rate, 2147483647.0));
}

std::vector<DownloadEnd> CurlDownloadEngine::takeEnded() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<DownloadEnd> out;
  out.swap(impl_->ended);
  return out;
}

int CurlDownloadEngine::runningCount() {
  return impl_->running.load();
}

void CurlDownloadEngine::release() {
  impl_->stop();
}

} // namespace tunova
