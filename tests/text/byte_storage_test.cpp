#include "text/byte_storage.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace tunova;

namespace {

constexpr std::size_t kBig = kLargeByteBlock * 2;

// Whether every byte of `set` is `value` (memcmp: cheap also under the thread checker).
bool allAre(const Bytes& set, std::uint8_t value) {
  const std::string expected(set.size(), static_cast<char>(value));
  return std::memcmp(set.data(), expected.data(), set.size()) == 0;
}

} // namespace

TEST(ByteStorage, ALargeSetReusesTheStorageOfTheLastOneAndKeepsItsOwnBytes) {
  dropKeptByteBlock();
  const LargeBlockCounts before = largeByteBlockCounts();
  const std::uint8_t* first = nullptr;
  {
    Bytes a(kBig, 0xAB);
    first = a.data();
  }
  Bytes b;
  b.reserve(kBig - 4096); // smaller than the kept block: it fits
  EXPECT_EQ(b.data(), first);
  b.assign(kBig - 4096, 0x5A);
  EXPECT_TRUE(allAre(b, 0x5A));
  const LargeBlockCounts after = largeByteBlockCounts();
  EXPECT_EQ(after.fresh - before.fresh, 1u);
  EXPECT_EQ(after.reused - before.reused, 1u);

  // A larger set than the kept block gets fresh storage; small sets never touch the store.
  Bytes c(kBig * 2, 1);
  Bytes small(1000, 2);
  EXPECT_EQ(largeByteBlockCounts().fresh - before.fresh, 2u);
  EXPECT_EQ(c[kBig * 2 - 1], 1);
  EXPECT_EQ(small[999], 2);
}

TEST(ByteStorage, OnlyTheLargerOfTwoReleasedBlocksIsKept) {
  dropKeptByteBlock();
  const std::uint8_t* larger = nullptr;
  {
    Bytes a(kBig, 1);
    Bytes b(kBig * 2, 2);
    larger = b.data();
  } // both released: the larger stays
  Bytes c(kBig, 3);
  EXPECT_EQ(c.data(), larger);
  Bytes d(kBig, 4); // nothing kept now: fresh storage
  EXPECT_NE(d.data(), larger);
  dropKeptByteBlock();
}

TEST(ByteStorage, SetsMovedCopiedAndGrownAcrossThreadsKeepTheirContents) {
  // Several threads take and release large sets at once; every set must hold exactly what its
  // thread wrote (a block handed to two sets, or reset while in use, would show here).
  std::vector<std::thread> threads;
  std::vector<int> wrong(3, 0);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int round = 0; round < 3; ++round) {
        const auto value = static_cast<std::uint8_t>(t * 16 + round);
        Bytes set(kLargeByteBlock + static_cast<std::size_t>(round) * 4096, value);
        Bytes copy = set;
        Bytes moved = std::move(set);
        moved.push_back(value); // grows: new storage, old released
        if (!allAre(copy, value) || !allAre(moved, value)) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, std::vector<int>(3, 0));
  dropKeptByteBlock();
}
