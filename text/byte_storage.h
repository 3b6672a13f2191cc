#pragma once
// Where byte sets keep their bytes. Small sets use the ordinary heap. A large set (a response
// body of many megabytes) is costly to place in fresh memory: the system faults in and zeroes
// every page before the first byte lands. So the storage of the last large set released is kept
// for the next one instead of going back to the system; while it waits its pages are marked as
// reclaimable, so the system may still take them back when memory runs short. One block is
// kept at most.
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace tunova {

// From this size on a block goes through the kept-block store.
constexpr std::size_t kLargeByteBlock = std::size_t{8} << 20;

void* takeLargeByteBlock(std::size_t bytes);
void releaseLargeByteBlock(void* block) noexcept;

// How many large blocks came from the system and how many were served from the kept one
// (for tests and measurements).
struct LargeBlockCounts {
  std::size_t fresh = 0;
  std::size_t reused = 0;
};
LargeBlockCounts largeByteBlockCounts();

// Gives back the kept block, if any (its memory returns to the system).
void dropKeptByteBlock() noexcept;

template <class T> struct ByteStorage {
  using value_type = T;
  using is_always_equal = std::true_type;

  ByteStorage() noexcept = default;
  template <class U> ByteStorage(const ByteStorage<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= kLargeByteBlock) return static_cast<T*>(takeLargeByteBlock(bytes));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= kLargeByteBlock) {
      releaseLargeByteBlock(p);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <class U> bool operator==(const ByteStorage<U>&) const noexcept { return true; }
  template <class U> bool operator!=(const ByteStorage<U>&) const noexcept { return false; }
};

// Platform hints on a large block (whole pages inside [block, block + bytes) only). A fresh
// block asks for huge pages, which spare most of the page faults of filling it; a kept block's
// pages hold nothing of value: the system may reclaim them, and until it does they stay.
void adviseFreshBlock(void* block, std::size_t bytes) noexcept;
void markPagesReclaimable(void* block, std::size_t bytes) noexcept;

} // namespace tunova
