#include "runtime/download_engine.h"

#include "http/curl_lazy.h"

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
#include "http/request_parts.h"
#include "runtime/download_rules.h"
#include "runtime/part_file.h"
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
  explicit Transfer(const DownloadLimits& limits) : floor(limits) {}
  int id = 0;
  DownloadTask task;
  std::string url;       // where the next request goes (the task's, or where it was redirected)
  int hops = 0;          // redirects followed in a row
  std::string finalPath; // UTF-8
  PartFile part;         // claimed when the task starts
  PartRecord record;     // the version the partial file holds
  EasyHandle easy;
  HeaderList requestHeaders;
  curl_off_t written = 0;   // bytes in the partial file
  curl_off_t offset = 0;    // where this attempt started
  curl_off_t expected = -1; // total size the server announced, -1 unknown
  // The current answer, as its header lines say.
  long status = 0;
  curl_off_t rangeStart = -1; // first byte of a Content-Range, -1 none
  curl_off_t rangeTotal = -1; // total of a Content-Range, -1 none or unknown
  curl_off_t contentLength = -1;
  std::string contentType, etag, lastModified;
  std::string head;         // the file's first bytes, to tell audio from a page
  bool restart = false;     // the answer cannot continue the file: start it again from zero
  bool writeFailed = false; // the disk refused a write
  std::string refusal;      // why the answer was refused outright (no room, too large, too slow)
  int attempts = 0;
  Clock::time_point retryAt{};
  bool waiting = false;                       // paused before a retry
  std::atomic<long long>* received = nullptr; // the engine's count of every byte received
  long long receivedHere = 0;                 // bytes this transfer received, every attempt
  SpeedFloor floor;
  std::function<Clock::time_point()>* now = nullptr;
  long long maxBody = 0;
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

} // namespace

struct PlatformDownloadEngine::Impl {
  Impl(std::function<Clock::time_point()> clockFn, const DownloadLimits& l)
      : now(std::move(clockFn)), limits(l) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi.reset(curl_multi_init());
  }

  ~Impl() { stop(); }

  std::function<Clock::time_point()> now;
  DownloadLimits limits;
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

  // Ends a transfer: a complete one is put in place (its bytes on disk first); one stopped with
  // the engine keeps its partial file for a later run when that can be resumed; any other
  // failure removes it.
  void finish(std::unique_ptr<Transfer> t, bool completed, std::string error,
              bool stopped = false) {
    if (completed) {
      completed = t->part.commit(error);
    } else if (stopped && resumable(t->record, t->written)) {
      t->part.keep();
    } else {
      t->part.discard();
    }
    t->easy.reset();
    std::lock_guard<std::mutex> lock(mutex);
    destinations.erase(t->finalPath);
    ended.push_back(DownloadEnd{t->id, completed, std::move(error)});
    --running; // after the end is recorded: a count of 0 means every end can be taken
  }

  // Empties the partial file so the song is written again from its start.
  static bool truncate(Transfer& t) {
    if (!t.part.truncate()) return false;
    t.written = 0;
    t.record = PartRecord{};
    t.head.clear();
    return true;
  }

  // The head of an answer is complete: decide what its body means for the file.
  static bool onHeadEnd(Transfer& t) {
    if (t.status != 200 && t.status != 206) return true; // a redirect or an error: no body kept
    const Answer answer = judgeAnswer(t.offset, static_cast<int>(t.status), t.rangeStart,
                                      t.rangeTotal, validatorOf(t.etag, t.lastModified), t.record);
    if (answer == Answer::Restart) {
      t.restart = true; // another range or another version: splicing it in would corrupt it
      return false;
    }
    const long long total =
        announcedTotal(static_cast<int>(t.status), t.contentLength, t.rangeTotal);
    if (answer == Answer::FromZero) {
      // The whole song from its first byte (a server that ignored the range, or a new version).
      if ((t.written > 0 || t.offset > 0) && !truncate(t)) {
        t.writeFailed = true;
        return false;
      }
      t.offset = 0;
      t.record = PartRecord{validatorOf(t.etag, t.lastModified), total};
      if (!t.part.writeRecord(t.record)) {
        t.writeFailed = true;
        return false;
      }
    }
    if (total >= 0) {
      const long long free = t.part.freeSpace();
      if (free >= 0 && total - t.written > free) {
        t.refusal = "not enough free space on the disk for the song";
        return false;
      }
    }
    return true;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new answer (after a redirect or an interim one): forget what the last one said.
      const std::size_t sp = line.find(' ');
      t->status = sp == std::string::npos ? 0 : std::atol(line.c_str() + sp + 1);
      t->expected = t->rangeStart = t->rangeTotal = t->contentLength = -1;
      t->contentType.clear();
      t->etag.clear();
      t->lastModified.clear();
    } else if (line == "\r\n" || line == "\n") {
      if (t->status >= 200 && !onHeadEnd(*t)) return 0;
    } else if (findNoCase(line, "content-range:") == 0) {
      long long start = -1, total = -1;
      parseContentRange(line.substr(14), start, total);
      t->rangeStart = start;
      t->rangeTotal = total;
      if (t->status == 206) t->expected = t->rangeTotal;
    } else if (const long long length = contentLengthOf(line); length >= 0) {
      t->contentLength = length;
      if (t->status == 200) t->expected = length;
    } else if (findNoCase(line, "content-type:") == 0) {
      t->contentType = trimLine(line.substr(13));
    } else if (findNoCase(line, "etag:") == 0) {
      t->etag = trimLine(line.substr(5));
    } else if (findNoCase(line, "last-modified:") == 0) {
      t->lastModified = trimLine(line.substr(14));
    }
    return n;
  }

  static std::string trimLine(const std::string& value) {
    std::string out = trimSpaces(value);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n'))
      out.pop_back();
    return trimSpaces(out);
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->status != 200 && t->status != 206) return n; // a redirect's page: not the song
    if (t->expected < 0 && t->written + static_cast<curl_off_t>(n) > t->maxBody) {
      t->refusal = "the song has no length and passed the size limit";
      return 0;
    }
    if (!t->part.write(data, n)) {
      t->writeFailed = true;
      return 0;
    }
    if (t->head.size() < kHeadBytes) t->head.append(data, std::min(n, kHeadBytes - t->head.size()));
    t->written += static_cast<curl_off_t>(n);
    t->receivedHere += static_cast<long long>(n);
    t->received->fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
    return n;
  }

  // Called by libcurl at least once a second while a transfer runs: the speed floor.
  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (!t->floor.tooSlow((*t->now)(), t->receivedHere)) return 0;
    t->refusal = kTooSlow;
    return 1;
  }

  bool begin(Transfer& t) {
    t.easy.reset(curl_easy_init());
    if (!t.easy) return false;
    CURL* c = t.easy.get();
    const DownloadTask& task = t.task;
    const long buffer = std::clamp<long>(task.receiveBufferBytes, kMinBuffer, kMaxBuffer);
    const long connectMs = task.connectTimeoutMs > 0 ? task.connectTimeoutMs : kDefaultConnectMs;
    const long idleMs = task.receiveTimeoutMs > 0 ? task.receiveTimeoutMs : kDefaultIdleMs;
    curl_easy_setopt(c, CURLOPT_URL, t.url.c_str());
    setCommonOptions(c);
    // Redirects are followed by the engine, one at a time, under the program's own rules.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
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
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_PRIVATE, &t);
    if (t.written > 0 && !resumable(t.record, t.written) && !truncate(t)) return false;
    t.offset = t.written;
    t.restart = false;
    t.status = 0;
    t.requestHeaders.reset();
    // A plain range request: unlike libcurl's resume option it accepts a server that answers
    // with the whole file, which is then written from the start. If-Range asks for the whole
    // song when it is no longer the version the file holds.
    const std::string range = std::to_string(t.offset) + "-";
    if (t.offset > 0) {
      curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
      if (!t.record.validator.empty()) {
        t.requestHeaders.reset(
            curl_slist_append(nullptr, ("If-Range: " + t.record.validator).c_str()));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, t.requestHeaders.get());
      }
    }
    return curl_multi_add_handle(multi.get(), c) == CURLM_OK;
  }

  // What an ended attempt means: done (with its verdict) or to be tried again.
  struct Verdict {
    bool done = false;
    bool completed = false;
    std::string error;
    bool retryNow = false; // again at once from zero
    bool redirected = false;
  };

  Verdict judge(Transfer& t, CURLcode rc, const std::string& location) {
    Verdict v;
    const bool canRetry = t.attempts < t.task.retries;
    if (t.writeFailed) {
      v.done = true;
      v.error = "could not write the file";
      return v;
    }
    if (!t.refusal.empty()) {
      v.done = true;
      v.error = t.refusal;
      return v;
    }
    if (rc == CURLE_OK && isRedirectStatus(static_cast<int>(t.status))) {
      v.done = true;
      if (location.empty()) {
        v.error = "a redirect that names no address";
      } else if (t.hops >= kMaxRedirects) {
        v.error = "too many redirects";
      } else if (!redirectAllowed(asciiLower(t.url.substr(0, 8)) == "https://", location)) {
        v.error = "a redirect to an address that is not fetched";
      } else {
        ++t.hops;
        t.url = location;
        v.done = false;
        v.redirected = true;
      }
      return v;
    }
    t.hops = 0;
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
    v.error = t.restart                         ? "the server answered another range"
              : rc == CURLE_HTTP_RETURNED_ERROR ? "the server answered " + std::to_string(t.status)
                                                : curl_easy_strerror(rc);
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
        t->floor.tooSlow(now(), 0);
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
        char* next = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_REDIRECT_URL, &next);
        const std::string location = next ? next : "";
        curl_multi_remove_handle(multi.get(), msg->easy_handle);
        auto it = std::find_if(active.begin(), active.end(),
                               [raw](const auto& p) { return p.get() == raw; });
        if (it == active.end()) continue;
        Transfer& t = **it;
        t.easy.reset();
        Verdict v = judge(t, rc, location);
        if (!v.done) {
          if (!v.redirected) ++t.attempts;
          if (v.retryNow && !truncate(t)) {
            v.done = true;
            v.error = "could not write the file";
          } else {
            t.waiting = true;
            t.retryAt = v.retryNow || v.redirected
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
      // The speed floor also holds while a transfer waits between attempts.
      for (auto it = active.begin(); it != active.end();) {
        Transfer& t = **it;
        if (t.waiting && t.floor.tooSlow(now(), t.receivedHere)) {
          std::unique_ptr<Transfer> owned = std::move(*it);
          it = active.erase(it);
          finish(std::move(owned), false, kTooSlow);
        } else {
          ++it;
        }
      }
      if (now() - lastSample >= std::chrono::milliseconds(50)) {
        lastSample = now();
        std::lock_guard<std::mutex> lock(mutex);
        window.add(lastSample, totalBytes.load());
      }
      if (!active.empty()) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    // Shutting down: abandon every transfer cleanly, keeping what can be resumed later.
    for (auto& t : active) {
      if (t->easy) curl_multi_remove_handle(multi.get(), t->easy.get());
      finish(std::move(t), false, "stopped", true);
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& t : queued) {
      t->part.keep();
      destinations.erase(t->finalPath);
      ended.push_back(DownloadEnd{t->id, false, "stopped"});
      --running;
    }
    queued.clear();
  }
};

PlatformDownloadEngine::PlatformDownloadEngine(std::function<Clock::time_point()> clock,
                                               DownloadLimits limits)
    : impl_(std::make_unique<Impl>(
          clock ? std::move(clock) : [] { return Clock::now(); }, limits)) {}

PlatformDownloadEngine::~PlatformDownloadEngine() = default;

int PlatformDownloadEngine::start(const DownloadTask& task) {
  auto t = std::make_unique<Transfer>(impl_->limits);
  t->task = task;
  t->url = task.url;
  t->finalPath = nativePath(task.path);
  t->received = &impl_->totalBytes;
  t->now = &impl_->now;
  t->maxBody = impl_->limits.maxBodyBytes;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const int id = impl_->nextId++;
  t->id = id;
  DownloadEnd refused{id, false, {}};
  // Released engines take no more work, and one destination has one writer, in this program
  // and across programs: such a task ends at once as failed, touching nothing.
  if (impl_->stopping) {
    refused.error = "the engine was released";
  } else if (impl_->destinations.count(t->finalPath)) {
    refused.error = "already being downloaded";
  } else {
    const PartStart ready = startPart(t->part, task.url, t->finalPath);
    refused.error = ready.refusal;
    refused.heldElsewhere = ready.heldElsewhere;
    t->record = ready.record;
    t->written = ready.written;
  }
  if (!refused.error.empty()) {
    impl_->ended.push_back(refused);
    return id;
  }
  impl_->destinations.insert(t->finalPath);
  impl_->queued.push_back(std::move(t));
  ++impl_->running;
  if (!impl_->worker.joinable()) impl_->worker = std::thread([this] { impl_->run(); });
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
