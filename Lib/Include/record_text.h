// The text field of records: one type for every capacity.
#pragma once
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "Lib/Include/kz_types.h"

namespace rec {

// A 16-bit length and at most CAPACITY characters ending with a zero byte, held in STORAGE bytes
// (CAPACITY + 1 unless a stored layout gives the text more room; the bytes past the capacity stay
// zero). On the wire: the length n, then n + 1 bytes (the characters and a zero).
template <std::size_t CAPACITY, std::size_t STORAGE = CAPACITY + 1>
struct Text {
  static_assert(STORAGE > CAPACITY, "a text keeps room for its zero");
  static constexpr std::size_t capacity = CAPACITY;
  static constexpr std::size_t storage = STORAGE;
  i16 length;
  char chars[STORAGE];

  // The characters up to the first zero, at most the capacity.
  std::size_t usable() const {
    std::size_t n = 0;
    while (n < CAPACITY && chars[n] != '\0') ++n;
    return n;
  }
  // Copies another text the way a merge takes it: up to its first zero, at most the capacity.
  void assignFrom(const Text& other) {
    const std::size_t n = other.usable();
    std::memcpy(chars, other.chars, n);
    std::memset(chars + n, 0, STORAGE - n);
    length = static_cast<i16>(n);
  }
  // Brings a text of unknown origin (a stored image) back to the rule: its characters up to the
  // first zero, at most the capacity, zeros after them and the length that counts them.
  void normalize() {
    const std::size_t n = usable();
    std::memset(chars + n, 0, STORAGE - n);
    length = static_cast<i16>(n);
  }
  void set(const char* text) {
    std::size_t n = 0;
    // GCC 12 at -O3 unrolls this loop over a literal shorter than the capacity and warns about
    // the reads past its zero, which the loop never reaches.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
    while (n < CAPACITY && text[n] != '\0') ++n;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    std::memcpy(chars, text, n);
    std::memset(chars + n, 0, STORAGE - n);
    length = static_cast<i16>(n);
  }
  bool operator==(const Text& o) const { return usable() == o.usable() && std::memcmp(chars, o.chars, usable()) == 0; }
};

// A text that a command carries back as it came: the length as sent and, of its n + 1 bytes, the
// first STORAGE (the rest read and dropped). Written back with the same length: the kept bytes,
// then zeros. A negative length carries no bytes either way.
template <std::size_t STORAGE>
struct EchoText {
  i16 length;
  char kept[STORAGE];
};

template <class T>
struct IsEchoText : std::false_type {};
template <std::size_t S>
struct IsEchoText<EchoText<S>> : std::true_type {};

template <class T>
struct IsText : std::false_type {};
template <std::size_t N, std::size_t S>
struct IsText<Text<N, S>> : std::true_type {};

}  // namespace rec
