#include "text/byte_storage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tunova {

void adviseFreshBlock(void* block, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (begin + bytes) & ~(kHuge - 1);
  // A hint only: without huge pages nothing changes.
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void markPagesReclaimable(void* block, std::size_t bytes) noexcept {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t from = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t to = (begin + bytes) & ~(page - 1);
  // The pages stay mapped with their contents until the system needs them; a write makes a page
  // ours again. Without MADV_FREE (older kernels) the hint is simply not given.
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_FREE);
}

} // namespace tunova
