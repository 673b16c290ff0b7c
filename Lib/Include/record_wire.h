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
