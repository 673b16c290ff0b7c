// The bounded big-endian reader and writer of record bodies. A reader never reads past the bytes
// it was given and a writer never writes past its buffer: either turns not-ok at the first value
// that does not fit and stays so.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
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

// Whether the core loads and stores a word at any address in one instruction. Where it does not
// (a core built never to make an unaligned access, since it would fault), a word at an address
// not known to be aligned goes a byte at a time, and wire bytes lie at any address: there a
// value is best put together from its bytes in wire order, which also costs no byte swap, and
// stored whole at its aligned place in memory.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__ARM_FEATURE_UNALIGNED)
inline constexpr bool WORDS_ANYWHERE = true;
#else
inline constexpr bool WORDS_ANYWHERE = false;
#endif

// The widest unsigned integer the core holds in one register.
using RegisterWord = std::uintptr_t;

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

// A value put together from its big-endian bytes, and taken apart into them, a byte at a time:
// where words cannot be loaded at any address, the loads are bytes anyway, and this way there is
// no swap and no copy through memory (which the compiler may leave as a call).
template <class U, std::size_t... I>
REC_ALWAYS_INLINE U fromBytes(const u8* p, std::index_sequence<I...>) {
  return static_cast<U>((U{0} | ... | static_cast<U>(static_cast<U>(p[I]) << (8 * (sizeof(U) - 1 - I)))));
}
template <class U, std::size_t... I>
REC_ALWAYS_INLINE void toBytes(u8* p, U u, std::index_sequence<I...>) {
  ((p[I] = static_cast<u8>(u >> (8 * (sizeof(U) - 1 - I)))), ...);
}

}  // namespace detail

// A value's big-endian bytes at p, and back.
template <class V>
V loadBigEndian(const u8* p) {
  using U = detail::WireBits<V>;
  if constexpr (detail::WORDS_ANYWHERE || sizeof(U) == 1) {
    U u;
    std::memcpy(&u, p, sizeof u);
    return std::bit_cast<V>(detail::swapToNative(u));
  } else {
    return std::bit_cast<V>(detail::fromBytes<U>(p, std::make_index_sequence<sizeof(U)>{}));
  }
}
template <class V>
void storeBigEndian(u8* p, V v) {
  using U = detail::WireBits<V>;
  if constexpr (detail::WORDS_ANYWHERE || sizeof(U) == 1) {
    const U u = detail::swapToNative(std::bit_cast<U>(v));
    std::memcpy(p, &u, sizeof u);
  } else {
    detail::toBytes<U>(p, std::bit_cast<U>(v), std::make_index_sequence<sizeof(U)>{});
  }
}

namespace detail {

// Whether two neighbouring values of WIDTH bytes are best swapped at once, as one word: only with
// words at any address and a register that holds both (a pair of 32-bit values on a 32-bit core
// would take two registers and two swaps, and gain nothing).
template <std::size_t WIDTH>
constexpr bool pairsInRegister() {
  return WORDS_ANYWHERE && (WIDTH == 2 || WIDTH == 4) && 2 * WIDTH <= sizeof(RegisterWord);
}

// Two values of 2 or 4 bytes that lie side by side both on the wire and in memory swapped at
// once: one load of both, a byte swap of the pair (which also swaps the two) and a rotate that
// puts them back in their places. The same step turns either side into the other.
template <std::size_t WIDTH>
REC_ALWAYS_INLINE void swapPair(u8* to, const u8* from) {
  using Pair = std::conditional_t<WIDTH == 2, u32, u64>;
  static_assert(WIDTH == 2 || WIDTH == 4);
  Pair u;
  std::memcpy(&u, from, sizeof u);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (WIDTH == 2) {
      u = std::rotl(__builtin_bswap32(u), 16);
    } else {
      u = std::rotl(__builtin_bswap64(u), 32);
    }
  }
  std::memcpy(to, &u, sizeof u);
}
template <std::size_t WIDTH, std::size_t... K>
REC_ALWAYS_INLINE void swapPairs(u8* to, const u8* from, std::index_sequence<K...>) {
  (swapPair<WIDTH>(to + 2 * K * WIDTH, from + 2 * K * WIDTH), ...);
}

// Where the core also has 16-byte vector registers, 16-bit values go eight at a time: each lane's
// two bytes swapped by two shifts. The same step turns either side into the other. Only with words
// at any address (the vector's bytes are loaded and stored where they lie).
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__SSE2__) || defined(__ARM_NEON))
inline constexpr bool HALVES_IN_VECTORS = WORDS_ANYWHERE && std::endian::native == std::endian::little;
inline constexpr std::size_t HALVES_PER_VECTOR = 8;
REC_ALWAYS_INLINE void swapHalvesOfVector(u8* to, const u8* from) {
  using Lanes = u16 __attribute__((vector_size(16)));
  Lanes v;
  std::memcpy(&v, from, sizeof v);
  v = (v >> 8) | (v << 8);
  std::memcpy(to, &v, sizeof v);
}
#else
inline constexpr bool HALVES_IN_VECTORS = false;
inline constexpr std::size_t HALVES_PER_VECTOR = 8;
REC_ALWAYS_INLINE void swapHalvesOfVector(u8*, const u8*) {}
#endif

// COUNT bytes copied as they are: as one copy where words go anywhere (or the run is long), else
// byte by byte in line, since a copy between addresses not known to be aligned would be a call
// that goes a byte at a time too.
template <std::size_t... K>
REC_ALWAYS_INLINE void copyBytes(u8* to, const u8* from, std::index_sequence<K...>) {
  ((to[K] = from[K]), ...);
}
template <std::size_t COUNT>
REC_ALWAYS_INLINE void copyRun(u8* to, const u8* from) {
  if constexpr (WORDS_ANYWHERE || COUNT > 64) {
    std::memcpy(to, from, COUNT);
  } else {
    copyBytes(to, from, std::make_index_sequence<COUNT>{});
  }
}

// One value of E between its big-endian bytes on the wire and its place in memory.
template <class E>
REC_ALWAYS_INLINE void oneFromWire(u8* memory, const u8* wire) {
  const auto u = loadBigEndian<WireBits<E>>(wire);
  std::memcpy(memory, &u, sizeof u);
}
template <class E>
REC_ALWAYS_INLINE void oneToWire(u8* wire, const u8* memory) {
  WireBits<E> u;
  std::memcpy(&u, memory, sizeof u);
  storeBigEndian(wire, u);
}
// A short run of them value by value, in line.
template <class E, std::size_t... I>
REC_ALWAYS_INLINE void eachFromWire(u8* memory, const u8* wire, std::index_sequence<I...>) {
  (oneFromWire<E>(memory + I * sizeof(E), wire + I * sizeof(E)), ...);
}
template <class E, std::size_t... I>
REC_ALWAYS_INLINE void eachToWire(u8* wire, const u8* memory, std::index_sequence<I...>) {
  (oneToWire<E>(wire + I * sizeof(E), memory + I * sizeof(E)), ...);
}

// COUNT values of E (an integer other than bool, or a float) between their big-endian bytes on
// the wire and an array in memory, aligned as E is. Bytes are copied as they are; wider values
// two at a time where a register holds a pair (see pairsInRegister), 16-bit ones eight at a time
// where vectors take them (HALVES_IN_VECTORS), else one by one, each a load from one side and a
// store to the other. PAIRS is left to the core except in the tests, which hold either way to the
// other.
template <class E, std::size_t COUNT, bool PAIRS = pairsInRegister<sizeof(E)>()>
REC_ALWAYS_INLINE void runFromWire(void* memory, const u8* wire) {
  constexpr std::size_t W = sizeof(E);
  auto* to = static_cast<u8*>(__builtin_assume_aligned(memory, alignof(E)));
  if constexpr (W == 1) {
    copyRun<COUNT>(to, wire);
  } else if constexpr (std::endian::native == std::endian::big) {
    std::memcpy(to, wire, COUNT * W);
  } else if constexpr (PAIRS && W == 2 && HALVES_IN_VECTORS && COUNT >= HALVES_PER_VECTOR) {
    constexpr std::size_t V = COUNT / HALVES_PER_VECTOR;
    constexpr std::size_t VECTOR_BYTES = HALVES_PER_VECTOR * W;
    for (std::size_t k = 0; k < V; ++k) swapHalvesOfVector(to + k * VECTOR_BYTES, wire + k * VECTOR_BYTES);
    if constexpr (COUNT % HALVES_PER_VECTOR != 0)
      runFromWire<E, COUNT % HALVES_PER_VECTOR, PAIRS>(to + V * VECTOR_BYTES, wire + V * VECTOR_BYTES);
  } else if constexpr (PAIRS) {
    constexpr std::size_t N = COUNT / 2;
    if constexpr (N <= 8) {
      swapPairs<W>(to, wire, std::make_index_sequence<N>{});
    } else {
      for (std::size_t k = 0; k < N; ++k) swapPair<W>(to + 2 * k * W, wire + 2 * k * W);
    }
    if constexpr (COUNT % 2 != 0) oneFromWire<E>(to + (COUNT - 1) * W, wire + (COUNT - 1) * W);
  } else if constexpr (COUNT <= 32) {
    eachFromWire<E>(to, wire, std::make_index_sequence<COUNT>{});
  } else {
    for (std::size_t i = 0; i < COUNT; ++i) oneFromWire<E>(to + i * W, wire + i * W);
  }
}
template <class E, std::size_t COUNT, bool PAIRS = pairsInRegister<sizeof(E)>()>
REC_ALWAYS_INLINE void runToWire(u8* wire, const void* memory) {
  constexpr std::size_t W = sizeof(E);
  const auto* from = static_cast<const u8*>(__builtin_assume_aligned(memory, alignof(E)));
  if constexpr (W == 1) {
    copyRun<COUNT>(wire, from);
  } else if constexpr (std::endian::native == std::endian::big) {
    std::memcpy(wire, from, COUNT * W);
  } else if constexpr (PAIRS && W == 2 && HALVES_IN_VECTORS && COUNT >= HALVES_PER_VECTOR) {
    constexpr std::size_t V = COUNT / HALVES_PER_VECTOR;
    constexpr std::size_t VECTOR_BYTES = HALVES_PER_VECTOR * W;
    for (std::size_t k = 0; k < V; ++k) swapHalvesOfVector(wire + k * VECTOR_BYTES, from + k * VECTOR_BYTES);
    if constexpr (COUNT % HALVES_PER_VECTOR != 0)
      runToWire<E, COUNT % HALVES_PER_VECTOR, PAIRS>(wire + V * VECTOR_BYTES, from + V * VECTOR_BYTES);
  } else if constexpr (PAIRS) {
    constexpr std::size_t N = COUNT / 2;
    if constexpr (N <= 8) {
      swapPairs<W>(wire, from, std::make_index_sequence<N>{});
    } else {
      for (std::size_t k = 0; k < N; ++k) swapPair<W>(wire + 2 * k * W, from + 2 * k * W);
    }
    if constexpr (COUNT % 2 != 0) oneToWire<E>(wire + (COUNT - 1) * W, from + (COUNT - 1) * W);
  } else if constexpr (COUNT <= 32) {
    eachToWire<E>(wire, from, std::make_index_sequence<COUNT>{});
  } else {
    for (std::size_t i = 0; i < COUNT; ++i) oneToWire<E>(wire + i * W, from + i * W);
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
