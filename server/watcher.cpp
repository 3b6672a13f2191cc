#include "server/watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

namespace fs = std::filesystem;

namespace tunova::catalogue {

namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;
constexpr auto kLongestWait = std::chrono::seconds(5); // a burst of changes waits no longer
constexpr auto kFallbackPeriod = std::chrono::seconds(5);

} // namespace

FolderWatcher::FolderWatcher(Library& library, std::chrono::milliseconds settle)
    : library_(library), settle_(settle) {
  if (library_.folder().empty()) return;
  stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  watching_ = inotify_ >= 0 && watchAll();
  thread_ = std::thread([this] { run(); });
}

FolderWatcher::~FolderWatcher() {
  if (stop_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (inotify_ >= 0) ::close(inotify_);
  if (stop_ >= 0) ::close(stop_);
}

bool FolderWatcher::watchAll() {
  const std::string& folder = library_.folder();
  bool all = ::inotify_add_watch(inotify_, folder.c_str(), kEvents) >= 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator
           it(folder, fs::directory_options::skip_permission_denied, ec),
       end;
       it != end; it.increment(ec)) {
    if (ec) break;
    if (it->is_directory(ec) && !it->is_symlink(ec))
      all = ::inotify_add_watch(inotify_, it->path().c_str(), kEvents) >= 0 && all;
  }
  return all;
}

void FolderWatcher::run() {
  using Clock = std::chrono::steady_clock;
  bool pending = false;
  Clock::time_point first{}, last{};
  auto nextFallback = Clock::now() + kFallbackPeriod;
  for (;;) {
    const auto now = Clock::now();
    Clock::time_point until = Clock::time_point::max();
    if (pending) until = std::min(last + settle_, first + kLongestWait);
    if (!watching_) until = std::min(until, nextFallback);
    const long long wait =
        until == Clock::time_point::max()
            ? -1
            : std::max<long long>(
                  0, std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
    pollfd fds[2] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    const int n = ::poll(fds, inotify_ >= 0 ? 2 : 1, static_cast<int>(wait));
    if (n > 0 && (fds[0].revents & POLLIN)) return;
    if (n > 0 && (fds[1].revents & POLLIN)) {
      alignas(inotify_event) char buffer[16384];
      while (::read(inotify_, buffer, sizeof buffer) > 0) {
      }
      last = Clock::now();
      if (!pending) first = last;
      pending = true;
      continue;
    }
    const auto at = Clock::now();
    if ((pending && (at >= last + settle_ || at >= first + kLongestWait)) ||
        (!watching_ && at >= nextFallback)) {
      pending = false;
      // Folders made since are watched first, so a file that arrives in one during the rescan
      // is either read by it or raises an event.
      if (inotify_ >= 0) watching_ = watchAll();
      library_.rescan();
      nextFallback = Clock::now() + kFallbackPeriod;
    }
  }
}

} // namespace tunova::catalogue
