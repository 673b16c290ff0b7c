// Which channels of a many-channel category may hold send marks, so that the send pass looks only
// at those rather than at every mask of every channel each field. A bit is set wherever marks can
// appear (a record, a restore, a start) and cleared once the channel has been looked at and sent;
// it is a superset of the marked channels, never a "changed in this field" flag.
#pragma once
#include <array>
#include <bit>
#include <cstddef>

#include "Lib/Include/kz_types.h"

template <int N>
class MarkedChannels {
 public:
  // Channels are never negative: unsigned arithmetic spares the rounding of a signed division.
  void mark(int ch) { words_[word(ch)] |= bit(ch); }
  void unmark(int ch) { words_[word(ch)] &= ~bit(ch); }
  void markAll() {
    words_.fill(0xFFFFFFFFu);
    if (N % 32 != 0) words_.back() = (1u << (N % 32)) - 1;
  }
  bool marked(int ch) const { return (words_[word(ch)] & bit(ch)) != 0; }
  bool none() const {
    u32 any = 0;
    for (u32 w : words_) any |= w;
    return any == 0;
  }
  // The first marked channel from `from` on, as the marks stand now; N when there is none.
  int nextMarked(int from) const {
    for (std::size_t w = static_cast<std::size_t>(from / 32); w < WORDS; ++w) {
      u32 bits = words_[w];
      if (w == static_cast<std::size_t>(from / 32)) bits &= ~0u << (from % 32);
      if (bits != 0) return static_cast<int>(w * 32) + std::countr_zero(bits);
    }
    return N;
  }

  // Calls visit(ch) for the marked channels in ascending order while it returns true; it may
  // unmark the channel it is given.
  template <class Visit>
  void visit(Visit visit) const {
    for (std::size_t w = 0; w < WORDS; ++w)
      for (u32 bits = words_[w]; bits != 0; bits &= bits - 1)
        if (!visit(static_cast<int>(w * 32) + std::countr_zero(bits))) return;
  }

 private:
  static constexpr std::size_t WORDS = (N + 31) / 32;
  static std::size_t word(int ch) { return static_cast<unsigned>(ch) / 32; }
  static u32 bit(int ch) { return 1u << (static_cast<unsigned>(ch) % 32); }
  std::array<u32, WORDS> words_{};
};
