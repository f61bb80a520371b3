// The bulk copy of the Linux platform layer: exact bytes at every distance between source
// and destination within a page, including the distances it copies piece by piece.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform_internal.h"

namespace {

TEST(CopyBulk, CopiesExactlyAtEveryDistanceAndLength) {
  const size_t kMax = 65536 + 4096 + 200;
  lumox_platform::BulkBuffer from = lumox_platform::NewBulkBuffer(kMax + 4096);
  lumox_platform::BulkBuffer to = lumox_platform::NewBulkBuffer(kMax + 4096);
  ASSERT_TRUE(from && to);
  for (size_t i = 0; i < kMax + 4096; ++i) from[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  const size_t distances[] = {0, 1, 15, 16, 31, 32, 63, 64, 65, 4095};
  const size_t lengths[] = {0, 1, 1024, 4095, 4096, 4097, 65536, 65536 + 37};
  const size_t sourceOffsets[] = {0, 8, 3000};
  for (size_t source : sourceOffsets) {
    for (size_t distance : distances) {
      for (size_t length : lengths) {
        size_t target = (source + distance) % 4096;
        std::memset(to.get(), 0x5a, kMax + 4096);
        lumox_platform::CopyBulk(to.get() + target, from.get() + source, length);
        std::string what = "source " + std::to_string(source) + " distance " +
                           std::to_string(distance) + " length " + std::to_string(length);
        ASSERT_EQ(0, std::memcmp(to.get() + target, from.get() + source, length)) << what;
        for (size_t i = 0; i < target; ++i) ASSERT_EQ(0x5a, to[i]) << what << " before, at " << i;
        ASSERT_EQ(0x5a, to[target + length]) << what << " after";
      }
    }
  }
}

TEST(CopyBulk, BuffersStartOnAPage) {
  for (size_t size : {1u, 4096u, 131072u}) {
    lumox_platform::BulkBuffer b = lumox_platform::NewBulkBuffer(size);
    ASSERT_TRUE(b);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b.get()) % 4096) << size;
  }
}

}  // namespace
