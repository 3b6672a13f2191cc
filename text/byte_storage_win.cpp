#include "text/byte_storage.h"

namespace tunova {

void adviseFreshBlock(void*, std::size_t) noexcept {}

// The heap's large blocks are not ours to reset page by page here: the kept block stays as it
// is until the next large set takes it or it is dropped.
void markPagesReclaimable(void*, std::size_t) noexcept {}

} // namespace tunova
