// What a setter was last given, per target. Most setters are called every field with what they
// were given the field before; their inline part compares the arguments with these and, when
// they are the same, only traces the call: the out-of-line part (checks, conversion, the write
// into the register image) runs for a change only, and records the arguments once they passed.
// Each table is forgotten where the register image it stands for is reset.
#pragma once
#include <array>
#include <bit>
#include <cstddef>

#include "Lib/Include/kz_types.h"

namespace kz::image {
extern int currentContextIndex;
}

namespace kz::memo {

// Counts every change to any table: a caller that saw the same count after handing a block of
// setters its arguments knows that each of them still holds exactly those arguments. It steps by
// two from 1, so that it is never 0, the stamp of an entry that holds nothing, even once it wraps.
inline u32 generation = 1;
constexpr u32 GENERATION_STEP = 2;

constexpr std::size_t N_CONTEXTS = KZ_CONTEXT_ME4B - KZ_CONTEXT_ME1 + 1;
constexpr std::size_t N_KEYS = 4;

template <typename T>
constexpr u32 word(T value) {
  static_assert(sizeof(T) == sizeof(u32), "setter arguments are 32-bit integers or floats");
  return std::bit_cast<u32>(value);
}

// Bit patterns, not values: 0.0 and -0.0 stay apart, and the same NaN again gives the same result.
template <std::size_t N>
struct Last {
  std::array<u32, N> words{};
  // The generation the last take made (odd, as every generation is), 0 while nothing is held: an
  // entry taken again since, or forgotten, holds another.
  u32 stamp = 0;

  template <typename... A>
  bool same(A... args) const {
    static_assert(sizeof...(A) == N);
    std::size_t i = 0;
    return (stamp & 1u) != 0 && ((words[i++] == word(args)) && ...);  // held: an odd stamp
  }
  template <typename... A>
  void take(A... args) {
    static_assert(sizeof...(A) == N);
    words = {word(args)...};
    stamp = generation += GENERATION_STEP;
  }
};

template <std::size_t N, std::size_t Targets>
using PerContext = std::array<std::array<Last<N>, Targets>, N_CONTEXTS>;

template <std::size_t N, std::size_t Targets>
void forget(std::array<Last<N>, Targets>& table) {
  table.fill(Last<N>{});
  generation += GENERATION_STEP;
}
template <std::size_t N, std::size_t Targets>
void forget(PerContext<N, Targets>& table) {
  for (auto& context : table) forget(context);
}

template <std::size_t N, std::size_t Targets>
Last<N>& ofContext(PerContext<N, Targets>& table, std::size_t target) {
  return table[static_cast<std::size_t>(kz::image::currentContextIndex)][target];
}

// The count of the keyers of each context: every change to the entries of keyer k's colour mattes
// (KZ_COLOR_KEY_MATTE1..4 + k), clip and gain, invert and box mask counts here as well as in
// `generation`. A keyer that saw the same count of its own after handing those setters their
// arguments knows that each of them still holds exactly those arguments, whatever other setters
// took in between.
inline std::array<std::array<u32, N_KEYS>, N_CONTEXTS> keyerGeneration{};

inline void keyerTook(std::size_t key) {
  ++keyerGeneration[static_cast<std::size_t>(kz::image::currentContextIndex)][key];
}

// Index 0..3 of keyer target `first` + 2k, or none: one compare for the range and the pairing.
inline bool pairIndex(int target, int first, std::size_t& index) {
  const unsigned offset = static_cast<unsigned>(target - first);
  index = offset >> 1;
  return offset <= 2 * (N_KEYS - 1) && (offset & 1u) == 0;
}

}  // namespace kz::memo
