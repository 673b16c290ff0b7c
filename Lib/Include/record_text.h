// The text field of records: one type for every capacity.
#pragma once
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "Lib/Include/kz_types.h"

namespace rec {

// A 16-bit length and at most CAPACITY characters, held in STORAGE bytes (CAPACITY + 1 unless a
// stored layout gives the text more room). The length is the text: the characters it counts are
// the text whatever they hold, a zero included; the bytes after them stay zero, so that a text
// also reads as a C string up to its first zero. On the wire: the length n, then n characters and
// a terminator byte, which is never a character.
template <std::size_t CAPACITY, std::size_t STORAGE = CAPACITY + 1>
struct Text {
  static_assert(STORAGE > CAPACITY, "a text keeps room for its zero");
  static constexpr std::size_t capacity = CAPACITY;
  static constexpr std::size_t storage = STORAGE;
  // 0..CAPACITY once stored. A record just read may hold a negative length as sent: it carries no
  // characters, and a text check can refuse it.
  i16 length;
  char chars[STORAGE];

  // The number of characters of the text: its length, within 0..capacity.
  std::size_t usable() const {
    if (length <= 0) return 0;
    const auto n = static_cast<std::size_t>(length);
    return n < CAPACITY ? n : CAPACITY;
  }
  // Copies another text the way a merge takes it: its characters, zeros after them.
  void assignFrom(const Text& other) {
    const std::size_t n = other.usable();
    std::memmove(chars, other.chars, n);
    std::memset(chars + n, 0, STORAGE - n);
    length = static_cast<i16>(n);
  }
  // Brings a text of unknown origin (a stored image) back to the rule: the length within
  // 0..capacity and zeros after the characters it counts.
  void normalize() {
    const std::size_t n = usable();
    std::memset(chars + n, 0, STORAGE - n);
    length = static_cast<i16>(n);
  }
  // Sets the text from a C string, cut to the capacity.
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

// A text that a command carries back as it came: the length as sent and the first STORAGE of its
// characters (the rest read and dropped). Written back with the same length: the kept characters,
// zeros for the others, and a zero terminator. A negative length carries no bytes either way.
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
