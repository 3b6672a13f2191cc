// The download engine's rules, on top of the platform's transport (http/transfer.h): the task
// table, one writer per destination, the partial file and its record, what each answer means
// for it, redirects, retries and their pauses, the verdicts, the rate and the speed floor.
//
// Threads: the transport's own threads call a transfer's sink; one scheduler thread of the
// engine (re)opens transfers when their pause is over, applies the speed floor to transfers
// waiting between attempts and samples the rate. A transfer is touched by one thread at a time:
// by the transport while an attempt runs, else under the engine's mutex.
#include "runtime/download_engine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "http/headers.h"
#include "http/http_request.h"
#include "http/transfer.h"
#include "runtime/download_rules.h"
#include "runtime/ini_file.h"
#include "runtime/part_file.h"
#include "runtime/rate_window.h"
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
constexpr auto kSampleEvery = std::chrono::milliseconds(50);

// What an answer's head says, as far as a download cares.
struct AnswerHead {
  int status = 0;
  long long rangeStart = -1, rangeTotal = -1, contentLength = -1;
  std::string contentType, validator;
};

AnswerHead readHead(int status, const std::string& block) {
  AnswerHead h;
  h.status = status;
  std::string etag, lastModified;
  for (const std::string& line : splitText(block, "\r\n")) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = asciiLower(trimSpaces(line.substr(0, colon)));
    const std::string value = trimSpaces(line.substr(colon + 1));
    if (name == "content-range") {
      parseContentRange(value, h.rangeStart, h.rangeTotal);
    } else if (name == "content-length") {
      h.contentLength = contentLengthOf(line);
    } else if (name == "content-type") {
      h.contentType = value;
    } else if (name == "etag") {
      etag = value;
    } else if (name == "last-modified") {
      lastModified = value;
    }
  }
  h.validator = validatorOf(etag, lastModified);
  return h;
}

// What an ended attempt means: done (with its verdict) or to be tried again.
struct Verdict {
  bool done = false;
  bool completed = false;
  std::string error;
  bool fromZero = false;   // again at once, the file emptied
  bool redirected = false; // again at once, at the redirect's target
};

} // namespace

struct PlatformDownloadEngine::Impl {
  struct Transfer;

  Impl(std::function<Clock::time_point()> clockFn, const DownloadLimits& l,
       std::unique_ptr<Transport> t)
      : now(std::move(clockFn)), limits(l), transport(std::move(t)) {}
  ~Impl() { stop(); }

  std::function<Clock::time_point()> now;
  DownloadLimits limits;
  std::unique_ptr<Transport> transport;
  std::mutex mutex;
  std::condition_variable wake; // the scheduler waits here for work, a due retry or the stop
  std::map<int, std::unique_ptr<Transfer>> transfers; // every task not yet ended
  std::vector<DownloadEnd> ended;
  std::set<std::string> destinations; // final paths of every task not yet ended
  std::thread scheduler;
  bool stopping = false;
  std::atomic<int> running{0};
  std::atomic<long long> totalBytes{0};
  int nextId = 1;
  RateWindow window;
  Clock::time_point lastSample{};

  void stop();
  void schedule();
  void sampleLocked(Clock::time_point at) {
    if (at - lastSample < kSampleEvery) return;
    lastSample = at;
    window.add(at, totalBytes.load());
  }
  void finish(Transfer& t, bool completed, std::string error);
  void retry(Transfer& t, Verdict v);
  bool begin(Transfer& t);
};

struct PlatformDownloadEngine::Impl::Transfer : TransferSink {
  Transfer(Impl& e, const DownloadTask& t) : engine(e), task(t), url(t.url), floor(e.limits) {}

  Impl& engine;
  int id = 0;
  DownloadTask task;
  std::string url;       // where the next request goes (the task's, or where it was redirected)
  int hops = 0;          // redirects followed in a row
  std::string finalPath; // native
  PartFile part;         // claimed when the task starts
  PartRecord record;     // the version the partial file holds
  long long written = 0; // bytes in the partial file
  long long offset = 0;  // where this attempt started
  long long expected = -1;
  AnswerHead answer;        // the current answer's head
  std::string head;         // the file's first bytes, to tell audio from a page
  bool restart = false;     // the answer cannot continue the file: start it again from zero
  bool writeFailed = false; // the disk refused a write
  std::string refusal;      // why the answer was refused outright (no room, too large, too slow)
  int attempts = 0;
  bool begun = false;  // an attempt was ever opened
  bool waiting = true; // between attempts (under the engine's mutex)
  Clock::time_point retryAt{};
  long long receivedHere = 0; // bytes this transfer received, every attempt
  SpeedFloor floor;

  bool truncate() {
    if (!part.truncate()) return false;
    written = 0;
    record = PartRecord{};
    head.clear();
    return true;
  }

  bool onHead(int status, const std::string& block) override {
    answer = readHead(status, block);
    if (status >= 400) return false;                 // judged by its status; its page is not needed
    if (status != 200 && status != 206) return true; // a redirect: no body kept
    const Answer what =
        judgeAnswer(offset, status, answer.rangeStart, answer.rangeTotal, answer.validator, record);
    if (what == Answer::Restart) {
      restart = true; // another range or another version: splicing it in would corrupt it
      return false;
    }
    expected = announcedTotal(status, answer.contentLength, answer.rangeTotal);
    if (what == Answer::FromZero) {
      // The whole song from its first byte (a server that ignored the range, or a new version).
      if ((written > 0 || offset > 0) && !truncate()) return !(writeFailed = true);
      offset = 0;
      record = PartRecord{answer.validator, expected};
      if (!part.writeRecord(record)) return !(writeFailed = true);
    }
    if (expected >= 0) {
      const long long free = part.freeSpace();
      if (free >= 0 && expected - written > free) {
        refusal = "not enough free space on the disk for the song";
        return false;
      }
    }
    return true;
  }

  bool onBody(const char* data, std::size_t n) override {
    if (answer.status != 200 && answer.status != 206) return true; // a redirect's page
    if (expected < 0 && written + static_cast<long long>(n) > engine.limits.maxBodyBytes) {
      refusal = "the song has no length and passed the size limit";
      return false;
    }
    if (!part.write(data, n)) return !(writeFailed = true);
    if (head.size() < kHeadBytes) head.append(data, std::min(n, kHeadBytes - head.size()));
    written += static_cast<long long>(n);
    receivedHere += static_cast<long long>(n);
    engine.totalBytes.fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
    return true;
  }

  bool onTick() override {
    if (!floor.tooSlow(engine.now(), receivedHere)) return true;
    refusal = kTooSlow;
    return false;
  }

  void onEnd(const TransferEnd& end) override {
    Verdict v = judge(end);
    if (v.done) {
      engine.finish(*this, v.completed, std::move(v.error)); // `this` is gone after this
    } else {
      engine.retry(*this, std::move(v));
    }
  }

  Verdict redirect(const std::string& location) {
    Verdict v;
    v.done = true;
    if (location.empty()) {
      v.error = "a redirect that names no address";
    } else if (hops >= kMaxRedirects) {
      v.error = "too many redirects";
    } else if (!redirectAllowed(asciiLower(url.substr(0, 8)) == "https://", location)) {
      v.error = "a redirect to an address that is not fetched";
    } else {
      ++hops;
      url = location;
      v.done = false;
      v.redirected = true;
    }
    return v;
  }

  // The verdict on whole answers: the song, or why it is not one.
  Verdict whole(bool unsatisfiable) {
    Verdict v;
    v.done = true;
    if (written == 0) {
      v.error = "the server sent an empty file";
    } else if (plainlyNotAudio(answer.contentType, head)) {
      v.error = "the server sent a page, not a song";
    } else if (!unsatisfiable && expected >= 0 && written != expected) {
      v.error = "size does not match the announced length";
    } else {
      v.completed = true;
    }
    return v;
  }

  Verdict judge(const TransferEnd& end) {
    Verdict v;
    if (writeFailed || !refusal.empty()) {
      v.done = true;
      v.error = writeFailed ? "could not write the file" : refusal;
      return v;
    }
    const int status = answer.status;
    if (!end.failed && isRedirectStatus(status)) return redirect(end.location);
    hops = 0;
    // A 416 to a range request means the range starts at or past the end: when the total it
    // names is what is already on disk, the file is whole; otherwise it is fetched anew.
    const bool unsatisfiable = status == 416 && offset > 0;
    if (unsatisfiable && answer.rangeTotal == written) return whole(true);
    const bool received = !end.failed && (status == 200 || status == 206);
    // An answer that ended before its announced length is a drop, resumed from where it stops.
    const bool cutShort = received && expected >= 0 && written < expected;
    if (received && !cutShort) return whole(false);
    const bool canRetry = attempts < task.retries;
    if ((restart || unsatisfiable) && canRetry) {
      v.fromZero = true;
      return v;
    }
    const bool transient = cutShort || (end.failed && end.transient && status < 400);
    if (!restart && transient && canRetry) return v; // again from where it stopped
    v.done = true;
    if (restart) {
      v.error = "the server answered another range";
    } else if (status >= 300 && !cutShort) {
      v.error = "the server answered " + std::to_string(status);
    } else {
      v.error = cutShort ? "the connection ended early" : end.error;
    }
    return v;
  }
};

// Ends a transfer: a complete one is put in place (its bytes on disk first); any other failure
// removes its partial file.
void PlatformDownloadEngine::Impl::finish(Transfer& t, bool completed, std::string error) {
  if (completed) {
    completed = t.part.commit(error);
  } else {
    t.part.discard();
  }
  std::unique_ptr<Transfer> owned;
  std::lock_guard<std::mutex> lock(mutex);
  destinations.erase(t.finalPath);
  ended.push_back(DownloadEnd{t.id, completed, std::move(error)});
  owned = std::move(transfers[t.id]);
  transfers.erase(t.id);
  --running; // after the end is recorded: a count of 0 means every end can be taken
}

// Sets a transfer to wait for its next attempt: at once after a redirect or to start again
// from zero, after the task's pause to go on from where it stopped.
void PlatformDownloadEngine::Impl::retry(Transfer& t, Verdict v) {
  if (!v.redirected) ++t.attempts;
  if (v.fromZero && !t.truncate()) {
    finish(t, false, "could not write the file");
    return;
  }
  const auto pause = v.fromZero || v.redirected ? std::chrono::milliseconds(0)
                                                : std::chrono::milliseconds(t.task.retryPauseMs);
  std::lock_guard<std::mutex> lock(mutex);
  t.retryAt = now() + std::max(pause, std::chrono::milliseconds(0));
  t.waiting = true;
  wake.notify_all();
}

// Opens the transfer's next attempt: a plain range request from what is on disk (unlike a
// library's resume option it accepts a server that answers with the whole file, which is then
// written from the start); If-Range asks for the whole song when it is no longer the version the
// file holds.
bool PlatformDownloadEngine::Impl::begin(Transfer& t) {
  if (t.written > 0 && !resumable(t.record, t.written) && !t.truncate()) return false;
  t.offset = t.written;
  t.restart = false;
  t.answer = AnswerHead{};
  t.expected = -1;
  TransferRequest request;
  request.url = t.url;
  if (t.offset > 0) {
    request.headerLines.push_back("Range: bytes=" + std::to_string(t.offset) + "-");
    if (!t.record.validator.empty())
      request.headerLines.push_back("If-Range: " + t.record.validator);
  }
  request.bufferBytes = std::clamp<long>(t.task.receiveBufferBytes, kMinBuffer, kMaxBuffer);
  request.connectMs = t.task.connectTimeoutMs > 0 ? t.task.connectTimeoutMs : kDefaultConnectMs;
  request.idleMs = t.task.receiveTimeoutMs > 0 ? t.task.receiveTimeoutMs : kDefaultIdleMs;
  t.begun = true;
  transport->open(request, &t);
  return true;
}

// The scheduler: opens the attempts that are due, fails waiting transfers under the speed floor
// and samples the rate, until the engine stops.
void PlatformDownloadEngine::Impl::schedule() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    const auto at = now();
    sampleLocked(at);
    std::vector<Transfer*> due, slow;
    for (auto& [id, t] : transfers) {
      if (!t->waiting) continue;
      if (t->begun && t->floor.tooSlow(at, t->receivedHere)) {
        t->waiting = false;
        slow.push_back(t.get());
      } else if (at >= t->retryAt) {
        t->waiting = false;
        due.push_back(t.get());
      }
    }
    lock.unlock();
    for (Transfer* t : slow)
      finish(*t, false, kTooSlow);
    for (Transfer* t : due) {
      if (!begin(*t)) finish(*t, false, "could not write the file");
    }
    lock.lock();
    if (transfers.empty()) {
      wake.wait(lock, [this] { return stopping || !transfers.empty(); });
    } else {
      wake.wait_for(lock, kSampleEvery);
    }
  }
}

// Stops the scheduler, then every transfer; a stopped transfer keeps its partial file for a
// later run when that can be resumed (and one never begun keeps what an earlier run left).
void PlatformDownloadEngine::Impl::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (scheduler.joinable()) scheduler.join();
  if (transport) transport->stop();
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& [id, t] : transfers) {
    if (!t->begun || resumable(t->record, t->written)) {
      t->part.keep();
    } else {
      t->part.discard();
    }
    destinations.erase(t->finalPath);
    ended.push_back(DownloadEnd{id, false, "stopped"});
    --running;
  }
  transfers.clear();
}

PlatformDownloadEngine::PlatformDownloadEngine(std::function<Clock::time_point()> clock,
                                               DownloadLimits limits,
                                               std::unique_ptr<Transport> transport)
    : impl_(std::make_unique<Impl>(
          clock ? std::move(clock) : [] { return Clock::now(); }, limits, std::move(transport))) {}

PlatformDownloadEngine::~PlatformDownloadEngine() = default;

int PlatformDownloadEngine::start(const DownloadTask& task) {
  auto t = std::make_unique<Impl::Transfer>(*impl_, task);
  t->finalPath = nativePath(task.path);
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
  if (!impl_->transport) impl_->transport = openTransport();
  t->retryAt = impl_->now();
  t->floor.tooSlow(t->retryAt, 0);
  impl_->destinations.insert(t->finalPath);
  impl_->transfers.emplace(id, std::move(t));
  ++impl_->running;
  if (!impl_->scheduler.joinable()) impl_->scheduler = std::thread([this] { impl_->schedule(); });
  impl_->wake.notify_all();
  return id;
}

std::int32_t PlatformDownloadEngine::currentRate() {
  if (impl_->running == 0) return 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto at = impl_->now();
  impl_->sampleLocked(at);
  return impl_->window.rate(at);
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
