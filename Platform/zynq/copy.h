// A byte copy that never makes an unaligned access: whole words only where both ends are
// word-aligned, single bytes otherwise. The Cortex-A9 faults on an unaligned access to strongly
// ordered memory (all of it while the MMU is off) and, with alignment checking on, anywhere.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zynq {

inline void alignedCopy(void* dst, const void* src, std::size_t n) {
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  if (((reinterpret_cast<std::uintptr_t>(d) | reinterpret_cast<std::uintptr_t>(s)) & 3) == 0) {
    for (; n >= 16; n -= 16, d += 16, s += 16) {
      const auto* from = reinterpret_cast<const std::uint32_t*>(s);
      auto* to = reinterpret_cast<std::uint32_t*>(d);
      const std::uint32_t a = from[0], b = from[1], c = from[2], e = from[3];
      to[0] = a;
      to[1] = b;
      to[2] = c;
      to[3] = e;
    }
    for (; n >= 4; n -= 4, d += 4, s += 4)
      *reinterpret_cast<std::uint32_t*>(d) = *reinterpret_cast<const std::uint32_t*>(s);
  }
  for (; n > 0; --n) *d++ = *s++;
}

}  // namespace zynq
