#include "text/byte_storage.h"

#include <mutex>
#include <new>
#include <vector>

namespace tunova {

namespace {

struct Block {
  void* address = nullptr;
  std::size_t bytes = 0;
};

// The blocks handed out (their real sizes: a kept block may be larger than what was asked),
// and the one kept for the next request.
struct Store {
  std::mutex mutex;
  std::vector<Block> live;
  Block kept;
  LargeBlockCounts counts;
};

Store& store() {
  static Store* s = new Store(); // lives until the process ends: blocks may outlive statics
  return *s;
}

} // namespace

void* takeLargeByteBlock(std::size_t bytes) {
  Store& s = store();
  Block handed;
  Block unfit;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.kept.address && s.kept.bytes >= bytes) {
      handed = s.kept;
      ++s.counts.reused;
    } else {
      unfit = s.kept; // too small for this one: back to the system
      ++s.counts.fresh;
    }
    s.kept = {};
  }
  if (unfit.address) ::operator delete(unfit.address);
  if (!handed.address) {
    handed = {::operator new(bytes), bytes};
    adviseFreshBlock(handed.address, bytes);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.live.push_back(handed);
  return handed.address;
}

void releaseLargeByteBlock(void* address) noexcept {
  Store& s = store();
  Block released;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.live.begin(); it != s.live.end(); ++it) {
      if (it->address == address) {
        released = *it;
        s.live.erase(it);
        break;
      }
    }
  }
  if (!released.address) return; // not from this store: cannot happen through ByteStorage
  // Marked before it can be handed out again, so no new contents are ever discarded.
  markPagesReclaimable(released.address, released.bytes);
  Block dropped;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.kept.address || s.kept.bytes < released.bytes) {
      dropped = s.kept; // the larger of the two is kept
      s.kept = released;
    } else {
      dropped = released;
    }
  }
  if (dropped.address) ::operator delete(dropped.address);
}

LargeBlockCounts largeByteBlockCounts() {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.counts;
}

void dropKeptByteBlock() noexcept {
  Store& s = store();
  Block kept;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    kept = s.kept;
    s.kept = {};
  }
  if (kept.address) ::operator delete(kept.address);
}

} // namespace tunova
