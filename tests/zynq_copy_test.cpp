// The Cortex-A9 image's memcpy: every pairing of source and destination alignment, lengths across
// the word and the 16-byte steps, and nothing written outside the destination.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "Platform/zynq/copy.h"

namespace {

TEST(AlignedCopy, EveryAlignmentAndLengthCopiesExactlyTheRange) {
  alignas(8) std::array<std::uint8_t, 96> src{};
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (std::size_t from = 0; from < 8; ++from)
    for (std::size_t to = 0; to < 8; ++to)
      for (std::size_t n = 0; n <= 40; ++n) {
        alignas(8) std::array<std::uint8_t, 96> dst;
        dst.fill(0xEE);
        zynq::alignedCopy(dst.data() + to, src.data() + from, n);
        for (std::size_t i = 0; i < dst.size(); ++i) {
          const bool inside = i >= to && i < to + n;
          const std::uint8_t want = inside ? src[from + (i - to)] : 0xEE;
          ASSERT_EQ(dst[i], want) << "from " << from << " to " << to << " n " << n << " byte " << i;
        }
      }
}

}  // namespace
