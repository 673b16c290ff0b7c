// The text field of records: one type for every capacity.
#pragma once
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "Lib/Include/kz_types.h"
#include "Lib/Include/record_wire.h"

namespace rec {

namespace detail {

// A word (4 or 8 bytes) as it lies in memory with only its first `keep` bytes kept, the others
// zero.
template <class Word>
inline Word keepLeadingBytes(Word word, std::size_t keep) {
  constexpr std::size_t W = sizeof(Word);
  if (keep >= W) return word;
  if constexpr (std::endian::native == std::endian::little) {
    return word & static_cast<Word>((Word{1} << (8 * keep)) - 1);
  } else {
    return word & static_cast<Word>(~(static_cast<Word>(~Word{0}) >> (8 * keep)));
  }
}

// Ways to cover S bytes with whole words of W bytes (a register's width, or 4 for fewer bytes):
// one at each multiple of W that fits, and a last one ending at byte S when S is not a multiple
// of W (it overlaps the one before it). The words are loaded before any is stored, so that the
// bytes between them may be read and written in place.
template <std::size_t S>
struct CharWords {
  using Word = std::conditional_t<(S >= sizeof(RegisterWord)), RegisterWord, u32>;
  static constexpr std::size_t W = sizeof(Word);
  static constexpr std::size_t FULL = S / W;
  static constexpr std::size_t COUNT = FULL + (S % W != 0 ? 1 : 0);
  static constexpr std::size_t offset(std::size_t k) { return k < FULL ? k * W : S - W; }

  Word word[COUNT];
  // The first n of the S bytes at src (n <= S), zeros after them.
  void load(const void* src, std::size_t n) {
    const auto* from = static_cast<const u8*>(src);
    for (std::size_t k = 0; k < COUNT; ++k) std::memcpy(&word[k], from + offset(k), W);
    keep(n, std::make_index_sequence<COUNT>{});
  }
  template <std::size_t... K>
  void keep(std::size_t n, std::index_sequence<K...>) {
    ((word[K] = keepLeadingBytes(word[K], n > offset(K) ? n - offset(K) : 0)), ...);
  }
  void store(void* dst) const {
    auto* to = static_cast<u8*>(dst);
    for (std::size_t k = 0; k < COUNT; ++k) std::memcpy(to + offset(k), &word[k], W);
  }
  bool operator==(const CharWords& o) const {
    Word differ = 0;
    for (std::size_t k = 0; k < COUNT; ++k) differ |= word[k] ^ o.word[k];
    return differ == 0;
  }
};

// Whether the S bytes of a text are best handled as whole words: only where a word is loaded and
// stored at any address in one instruction (a text's characters lie at any even address), and
// for a few words' worth.
template <std::size_t S>
constexpr bool charsInWords() {
  return WORDS_ANYWHERE && S >= 4 && S <= 64;
}

// dst[0, S) becomes src[0, n) followed by zeros (n <= S; dst and src may be the same): with
// WORDS, loads, masks and stores of whole words rather than a copy and a fill of variable length,
// which for the few bytes of a text cost more in their calls than in their work. WORDS is left
// to the core except in the tests, which hold either way to the other.
template <std::size_t S, bool WORDS = charsInWords<S>()>
inline void copyKept(void* dst, const void* src, std::size_t n) {
  if constexpr (WORDS) {
    CharWords<S> w;
    w.load(src, n);
    w.store(dst);
  } else {
    // dst is src itself or a text of its own, never a part of it.
    if (dst != src) std::memcpy(dst, src, n);
    std::memset(static_cast<u8*>(dst) + n, 0, S - n);
  }
}

// Whether the first n of the S bytes at a and at b are the same (n <= S).
template <std::size_t S, bool WORDS = charsInWords<S>()>
inline bool sameKept(const void* a, const void* b, std::size_t n) {
  if constexpr (WORDS) {
    CharWords<S> x, y;
    x.load(a, n);
    y.load(b, n);
    return x == y;
  } else {
    return std::memcmp(a, b, n) == 0;
  }
}

}  // namespace detail

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
    detail::copyKept<STORAGE>(chars, other.chars, n);
    length = static_cast<i16>(n);
  }
  // Brings a text of unknown origin (a stored image) back to the rule: the length within
  // 0..capacity and zeros after the characters it counts.
  void normalize() {
    const std::size_t n = usable();
    detail::copyKept<STORAGE>(chars, chars, n);
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
  bool operator==(const Text& o) const {
    const std::size_t n = usable();
    return n == o.usable() && detail::sameKept<STORAGE>(chars, o.chars, n);
  }
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
