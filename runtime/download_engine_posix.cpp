#include "runtime/download_engine.h"

#include "http/curl_lazy.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "http/curl_handles.h"
#include "http/curl_options.h"
#include "http/headers.h"
#include "runtime/download_rules.h"
#include "runtime/rate_window.h"

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
constexpr std::size_t kHeadBytes = 16;

struct Transfer {
  int id = 0;
  DownloadTask task;
  std::string finalPath; // UTF-8
  std::string partPath;  // UTF-8
  int fd = -1;
  EasyHandle easy;
  curl_off_t written = 0;   // bytes in the partial file
  curl_off_t offset = 0;    // where this attempt started
  curl_off_t expected = -1; // total size the server announced, -1 unknown
  // The current answer, as its header lines say.
  long status = 0;
  curl_off_t rangeStart = -1; // first byte of a Content-Range, -1 none
  curl_off_t rangeTotal = -1; // total of a Content-Range, -1 none or unknown
  std::string contentType;
  std::string head; // the file's first bytes, to tell audio from a page
  bool checkedStart = false;
  bool restart = false;     // the answer cannot continue the file: start it again from zero
  bool writeFailed = false; // the disk refused a write
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

bool writeAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

} // namespace

struct PlatformDownloadEngine::Impl {
  explicit Impl(std::function<Clock::time_point()> clockFn) : now(std::move(clockFn)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi.reset(curl_multi_init());
  }

  ~Impl() { stop(); }

  std::function<Clock::time_point()> now;
  std::mutex mutex;
  std::condition_variable wake; // an idle worker waits here for work or the stop
  std::deque<std::unique_ptr<Transfer>> queued;
  std::vector<DownloadEnd> ended;
  std::set<std::string> destinations; // final paths of every task not yet ended
  std::thread worker;
  MultiHandle multi;
  std::atomic<bool> stopping{false};
  std::atomic<int> running{0};
  std::atomic<long long> totalBytes{0};
  int nextId = 1;
  RateWindow window;

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (multi) curl_multi_wakeup(multi.get());
    if (worker.joinable()) worker.join();
  }

  void finish(std::unique_ptr<Transfer> t, bool completed, std::string error) {
    if (t->fd >= 0) {
      if (::close(t->fd) != 0 && completed) {
        completed = false;
        error = "could not write the file";
      }
      t->fd = -1;
    }
    if (completed && std::rename(t->partPath.c_str(), t->finalPath.c_str()) != 0) {
      completed = false;
      error = "could not rename the finished file";
    }
    if (!completed) ::unlink(t->partPath.c_str());
    t->easy.reset();
    std::lock_guard<std::mutex> lock(mutex);
    destinations.erase(t->finalPath);
    ended.push_back(DownloadEnd{t->id, completed, std::move(error)});
    --running; // after the end is recorded: a count of 0 means every end can be taken
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new answer (after a redirect or an interim one): forget what the last one said.
      const std::size_t sp = line.find(' ');
      t->status = sp == std::string::npos ? 0 : std::atol(line.c_str() + sp + 1);
      t->expected = t->rangeStart = t->rangeTotal = -1;
      t->contentType.clear();
    } else if (findNoCase(line, "content-range:") == 0) {
      long long start = -1, total = -1;
      parseContentRange(line.substr(14), start, total);
      t->rangeStart = start;
      t->rangeTotal = total;
      if (t->status == 206) t->expected = t->rangeTotal;
    } else if (const long long length = contentLengthOf(line); length >= 0) {
      if (t->status == 200) t->expected = length;
    } else if (findNoCase(line, "content-type:") == 0) {
      t->contentType = trimSpaces(line.substr(13));
      while (!t->contentType.empty() &&
             (t->contentType.back() == '\r' || t->contentType.back() == '\n'))
        t->contentType.pop_back();
    }
    return n;
  }

  // Empties the partial file so the next attempt writes the whole song again.
  static bool truncate(Transfer& t) {
    if (::ftruncate(t.fd, 0) != 0 || ::lseek(t.fd, 0, SEEK_SET) != 0) return false;
    t.written = 0;
    t.head.clear();
    return true;
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->checkedStart) {
      t->checkedStart = true;
      if (t->status == 206 && t->rangeStart != t->offset) {
        // Another range than the one asked for: splicing it in would corrupt the file.
        t->restart = true;
        return 0;
      }
      if (t->offset > 0 && t->status != 206) {
        // The server ignored the range and sends the whole file: start it again from nothing.
        if (!truncate(*t)) {
          t->writeFailed = true;
          return 0;
        }
        t->offset = 0;
      }
    }
    if (!writeAll(t->fd, data, n)) {
      t->writeFailed = true;
      return 0;
    }
    if (t->head.size() < kHeadBytes) t->head.append(data, std::min(n, kHeadBytes - t->head.size()));
    t->written += static_cast<curl_off_t>(n);
    t->received->fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
    return n;
  }

  bool begin(Transfer& t) {
    t.easy.reset(curl_easy_init());
    if (!t.easy) return false;
    CURL* c = t.easy.get();
    const DownloadTask& task = t.task;
    const long buffer = std::clamp<long>(task.receiveBufferBytes, kMinBuffer, kMaxBuffer);
    const long connectMs = task.connectTimeoutMs > 0 ? task.connectTimeoutMs : kDefaultConnectMs;
    const long idleMs = task.receiveTimeoutMs > 0 ? task.receiveTimeoutMs : kDefaultIdleMs;
    curl_easy_setopt(c, CURLOPT_URL, task.url.c_str());
    setCommonOptions(c);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
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
    t.restart = false;
    t.status = 0;
    // A plain range request: unlike libcurl's resume option it accepts a server that answers
    // with the whole file, which onData then writes from the start.
    const std::string range = std::to_string(t.offset) + "-";
    if (t.offset > 0) curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
    return curl_multi_add_handle(multi.get(), c) == CURLM_OK;
  }

  // Opens a fresh partial file. One left by an earlier run that was killed is removed first,
  // whatever it is (a file, or a link somewhere else), so it neither blocks nor leaks into the
  // new download.
  static bool open(Transfer& t) {
    ::unlink(t.partPath.c_str());
    t.fd = ::open(t.partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return t.fd >= 0;
  }

  // What an ended attempt means: done (with its verdict) or to be tried again.
  struct Verdict {
    bool done = false;
    bool completed = false;
    std::string error;
    bool retryNow = false; // again at once from zero
  };

  Verdict judge(Transfer& t, CURLcode rc) {
    Verdict v;
    const bool canRetry = t.attempts < t.task.retries;
    if (t.writeFailed) {
      v.done = true;
      v.error = "could not write the file";
      return v;
    }
    // A 416 to a range request means the range starts at or past the end: when the total it
    // names is what is already on disk, the file is whole; otherwise the file is fetched anew.
    const bool unsatisfiable = rc == CURLE_HTTP_RETURNED_ERROR && t.status == 416 && t.offset > 0;
    if (unsatisfiable && t.rangeTotal == t.written) rc = CURLE_OK;
    if (rc == CURLE_OK) {
      v.done = true;
      if (t.written == 0) {
        v.error = "the server sent an empty file";
      } else if (plainlyNotAudio(t.contentType, t.head)) {
        v.error = "the server sent a page, not a song";
      } else if (!unsatisfiable && t.expected >= 0 && t.written != t.expected) {
        v.error = "size does not match the announced length";
      } else {
        v.completed = true;
      }
      return v;
    }
    if ((t.restart || unsatisfiable) && canRetry) {
      v.retryNow = true;
      return v;
    }
    if (!t.restart && isTransient(rc) && canRetry) return v; // again from where it stopped
    v.done = true;
    v.error = t.restart ? "the server answered another range" : curl_easy_strerror(rc);
    return v;
  }

  void run() {
    std::vector<std::unique_ptr<Transfer>> active; // owned here; curl holds raw pointers
    Clock::time_point lastSample{};
    for (;;) {
      // Take new tasks; with nothing to do, sleep until there is.
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (active.empty()) {
          wake.wait(lock, [this] { return stopping || !queued.empty(); });
        }
        if (stopping) break;
        fresh.swap(queued);
      }
      for (auto& t : fresh) {
        if (!allowedScheme(t->task.url)) {
          finish(std::move(t), false, "only http and https addresses are fetched");
          continue;
        }
        if (!open(*t)) {
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
      const auto at = now();
      for (auto& t : active) {
        if (t->waiting && at >= t->retryAt) {
          t->waiting = false;
          if (!begin(*t)) { // try again a little later
            t->waiting = true;
            t->retryAt = at + std::chrono::seconds(1);
          }
        }
      }

      int stillRunning = 0;
      curl_multi_perform(multi.get(), &stillRunning);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Transfer* raw = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
        const CURLcode rc = msg->data.result;
        curl_multi_remove_handle(multi.get(), msg->easy_handle);
        auto it = std::find_if(active.begin(), active.end(),
                               [raw](const auto& p) { return p.get() == raw; });
        if (it == active.end()) continue;
        Transfer& t = **it;
        t.easy.reset();
        Verdict v = judge(t, rc);
        if (!v.done) {
          ++t.attempts;
          if (v.retryNow && !truncate(t)) {
            v.done = true;
            v.error = "could not write the file";
          } else {
            t.waiting = true;
            t.retryAt = v.retryNow
                            ? now()
                            : now() + std::chrono::milliseconds(std::max(0, t.task.retryPauseMs));
          }
        }
        if (v.done) {
          std::unique_ptr<Transfer> owned = std::move(*it);
          active.erase(it);
          finish(std::move(owned), v.completed, std::move(v.error));
        }
      }
      if (now() - lastSample >= std::chrono::milliseconds(50)) {
        lastSample = now();
        std::lock_guard<std::mutex> lock(mutex);
        window.add(lastSample, totalBytes.load());
      }
      if (!active.empty()) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    // Shutting down: abandon every transfer cleanly.
    for (auto& t : active) {
      if (t->easy) curl_multi_remove_handle(multi.get(), t->easy.get());
      finish(std::move(t), false, "stopped");
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& t : queued) {
      destinations.erase(t->finalPath);
      ended.push_back(DownloadEnd{t->id, false, "stopped"});
      --running;
    }
    queued.clear();
  }
};

PlatformDownloadEngine::PlatformDownloadEngine(std::function<Clock::time_point()> clock)
    : impl_(std::make_unique<Impl>(clock ? std::move(clock) : [] { return Clock::now(); })) {}

PlatformDownloadEngine::~PlatformDownloadEngine() = default;

int PlatformDownloadEngine::start(const DownloadTask& task) {
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
    // Released engines take no more work, and one destination has one writer: such a task
    // ends at once as failed.
    const char* refusal = impl_->stopping                           ? "the engine was released"
                          : impl_->destinations.count(t->finalPath) ? "already being downloaded"
                                                                    : nullptr;
    if (refusal) {
      impl_->ended.push_back(DownloadEnd{id, false, refusal});
      return id;
    }
    impl_->destinations.insert(t->finalPath);
    impl_->queued.push_back(std::move(t));
    ++impl_->running;
    if (!impl_->worker.joinable()) impl_->worker = std::thread([this] { impl_->run(); });
  }
  impl_->wake.notify_all();
  curl_multi_wakeup(impl_->multi.get());
  return id;
}

std::int32_t PlatformDownloadEngine::currentRate() {
  if (impl_->running == 0) return 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->window.rate(impl_->now());
}

std::vector<DownloadEnd> PlatformDownloadEngine::takeEnded() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<DownloadEnd> out;
  out.swap(impl_->ended);
  return out;
}

int PlatformDownloadEngine::runningCount() {
  return impl_->running.load();
}

void PlatformDownloadEngine::release() {
  impl_->stop();
}

} // namespace tunova
