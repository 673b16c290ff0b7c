// The bounded big-endian reader and writer of record bodies. A reader never reads past the bytes
// it was given and a writer never writes past its buffer: either turns not-ok at the first value
// that does not fit and stays so.
#pragma once
#include <bit>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

#include "Lib/Include/kz_types.h"

// Per-value steps of the codec and the merge that must stay inside their record's function.
#ifndef REC_ALWAYS_INLINE
#if defined(__GNUC__) || defined(__clang__)
#define REC_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define REC_ALWAYS_INLINE inline
#endif
#endif

namespace rec {

namespace detail {

// The unsigned integer as wide as a wire value (a float travels as its u32 bits).
template <class V>
using WireBits = std::make_unsigned_t<std::conditional_t<std::is_same_v<V, float>, u32, V>>;

// One load and one byte swap rather than a loop of shifts: every table decode runs this per value.
template <class U>
constexpr U swapToNative(U u) {
  if constexpr (sizeof(U) == 1 || std::endian::native == std::endian::big) {
    return u;
  } else if constexpr (sizeof(U) == 2) {
    return __builtin_bswap16(u);
  } else if constexpr (sizeof(U) == 4) {
    return __builtin_bswap32(u);
  } else {
    static_assert(sizeof(U) == 8, "wire values are 1, 2, 4 or 8 bytes wide");
    return __builtin_bswap64(u);
  }
}

}  // namespace detail

// A value's big-endian bytes at p, and back.
template <class V>
V loadBigEndian(const u8* p) {
  using U = detail::WireBits<V>;
  U u;
  std::memcpy(&u, p, sizeof u);
  return std::bit_cast<V>(detail::swapToNative(u));
}
template <class V>
void storeBigEndian(u8* p, V v) {
  using U = detail::WireBits<V>;
  const U u = detail::swapToNative(std::bit_cast<U>(v));
  std::memcpy(p, &u, sizeof u);
}

namespace detail {

// Two values of 2 or 4 bytes that lie side by side both on the wire and in memory swapped at
// once: one load of both, a byte swap of the pair (which also swaps the two) and a rotate that
// puts them back in their places. The same step turns either side into the other.
template <std::size_t WIDTH>
REC_ALWAYS_INLINE void swapPair(void* to, const void* from) {
  if constexpr (std::endian::native == std::endian::big) {
    std::memcpy(to, from, 2 * WIDTH);
  } else if constexpr (WIDTH == 2) {
    u32 u;
    std::memcpy(&u, from, sizeof u);
    u = std::rotl(__builtin_bswap32(u), 16);
    std::memcpy(to, &u, sizeof u);
  } else {
    static_assert(WIDTH == 4);
    u64 u;
    std::memcpy(&u, from, sizeof u);
    u = std::rotl(__builtin_bswap64(u), 32);
    std::memcpy(to, &u, sizeof u);
  }
}

// COUNT values of E (an integer other than bool, or a float) between their big-endian bytes and
// an array: bytes copied as they are, values of 2 or 4 bytes two at a time, a short run without
// a loop.
template <class E, std::size_t... K>
REC_ALWAYS_INLINE void swapPairs(u8* to, const u8* from, std::index_sequence<K...>) {
  (swapPair<sizeof(E)>(to + 2 * K * sizeof(E), from + 2 * K * sizeof(E)), ...);
}
template <class E, std::size_t COUNT>
REC_ALWAYS_INLINE void swapRun(void* toBytes, const void* fromBytes) {
  auto* to = static_cast<u8*>(toBytes);
  const auto* from = static_cast<const u8*>(fromBytes);
  if constexpr (sizeof(E) == 1 || std::endian::native == std::endian::big) {
    std::memcpy(to, from, COUNT * sizeof(E));
  } else if constexpr (sizeof(E) == 2 || sizeof(E) == 4) {
    constexpr std::size_t PAIRS = COUNT / 2;
    if constexpr (PAIRS <= 8) {
      swapPairs<E>(to, from, std::make_index_sequence<PAIRS>{});
    } else {
      for (std::size_t k = 0; k < PAIRS; ++k) swapPair<sizeof(E)>(to + 2 * k * sizeof(E), from + 2 * k * sizeof(E));
    }
    if constexpr (COUNT % 2 != 0) {
      using U = WireBits<E>;
      U u;
      std::memcpy(&u, from + (COUNT - 1) * sizeof(E), sizeof u);
      u = swapToNative(u);
      std::memcpy(to + (COUNT - 1) * sizeof(E), &u, sizeof u);
    }
  } else {
    for (std::size_t i = 0; i < COUNT; ++i) {
      using U = WireBits<E>;
      U u;
      std::memcpy(&u, from + i * sizeof(E), sizeof u);
      u = swapToNative(u);
      std::memcpy(to + i * sizeof(E), &u, sizeof u);
    }
  }
}

}  // namespace detail

class WireReader {
 public:
  explicit WireReader(std::span<const u8> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  template <class V>
  V get() {
    if (!need(sizeof(V))) return V{};
    const V v = loadBigEndian<V>(bytes_.data() + pos_);
    pos_ += sizeof(V);
    return v;
  }
  // Copies n bytes when they are there.
  bool bytes(u8* dst, std::size_t n) {
    if (!need(n)) return false;
    if (dst) std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool skip(std::size_t n) { return bytes(nullptr, n); }
  // The next n bytes at once, for a run of values whose size is known before they are read;
  // nullptr (and the reader not-ok) when they are not all there.
  const u8* take(std::size_t n) {
    if (!need(n)) return nullptr;
    const u8* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  // The next n bytes where they lie, without moving past them; nullptr when they are not all
  // there (the reader's state unchanged). advance() then moves past those of them that were read.
  const u8* peek(std::size_t n) const { return ok_ && n <= remaining() ? bytes_.data() + pos_ : nullptr; }
  void advance(std::size_t n) { pos_ += n; }

 private:
  bool need(std::size_t n) {
    if (!ok_ || n > remaining()) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<const u8> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

class WireWriter {
 public:
  explicit WireWriter(std::span<u8> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  std::size_t size() const { return pos_; }

  template <class V>
  void put(V v) {
    if (!need(sizeof(V))) return;
    storeBigEndian<V>(bytes_.data() + pos_, v);
    pos_ += sizeof(V);
  }
  void bytes(const u8* src, std::size_t n) {
    if (!need(n)) return;
    std::memcpy(bytes_.data() + pos_, src, n);
    pos_ += n;
  }
  void zeros(std::size_t n) {
    if (!need(n)) return;
    std::memset(bytes_.data() + pos_, 0, n);
    pos_ += n;
  }
  // Room for the next n bytes at once; nullptr (and the writer not-ok) when there is none.
  u8* take(std::size_t n) {
    if (!need(n)) return nullptr;
    u8* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  // Room for n bytes from the write position, without taking it; nullptr when there is less (the
  // writer's state unchanged). A writer may fill more of it than it then keeps: advance() moves
  // past the bytes kept, and the bytes after them are written again or never sent.
  u8* room(std::size_t n) { return ok_ && n <= bytes_.size() - pos_ ? bytes_.data() + pos_ : nullptr; }
  void advance(std::size_t n) { pos_ += n; }

 private:
  bool need(std::size_t n) {
    if (!ok_ || n > bytes_.size() - pos_) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<u8> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace rec
