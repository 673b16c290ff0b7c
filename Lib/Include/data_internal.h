// Lamp code maps: panel button codes to the lamp indexes of the panel lamp records.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/kz_types.h"

namespace lampmap {

struct CodeRun {
  int first;
  int last;
  int index;  // index of `first`
};

inline constexpr std::array<CodeRun, 18> LED_RUNS = {{
    {200, 207, 0},     {212, 215, 8},     {712, 715, 12},    {2400, 2410, 16},  {2200, 2231, 27},
    {2900, 2913, 59},  {2000, 2047, 73},  {2050, 2097, 121}, {2100, 2110, 169}, {2450, 2450, 180},
    {2500, 2508, 181}, {2600, 2608, 190}, {2700, 2708, 199}, {2800, 2804, 208}, {3000, 3018, 227},
    {700, 707, 246},   {3100, 3143, 254}, {3300, 3351, 298},
}};

inline constexpr std::array<CodeRun, 11> ME_LED_RUNS = {{
    {0, 47, 0},      {50, 97, 48},    {100, 147, 96},  {150, 197, 144}, {208, 211, 192}, {216, 230, 196},
    {450, 453, 211}, {250, 268, 215}, {300, 318, 234}, {350, 381, 253}, {400, 423, 285},
}};

// Code -> index as one table over the codes the runs span (-1: not a lamp), built at compile
// time and looked up inline: panels light a few hundred lamps every field.
template <std::size_t N>
constexpr int lastCode(const std::array<CodeRun, N>& runs) {
  int last = 0;
  for (const CodeRun& r : runs) last = r.last > last ? r.last : last;
  return last;
}

template <std::size_t N, std::size_t SIZE>
constexpr std::array<i16, SIZE> indexTable(const std::array<CodeRun, N>& runs) {
  std::array<i16, SIZE> table{};
  for (i16& e : table) e = -1;
  for (const CodeRun& r : runs)
    for (int c = r.first; c <= r.last; ++c) table[static_cast<std::size_t>(c)] = static_cast<i16>(r.index + c - r.first);
  return table;
}

inline constexpr auto LED_TABLE = indexTable<LED_RUNS.size(), lastCode(LED_RUNS) + 1>(LED_RUNS);
inline constexpr auto ME_LED_TABLE = indexTable<ME_LED_RUNS.size(), lastCode(ME_LED_RUNS) + 1>(ME_LED_RUNS);

// A code that names no lamp fails the assertion.
[[noreturn]] void ledCodeUnmapped();
[[noreturn]] void meLedCodeUnmapped();

}  // namespace lampmap

// Index of a button code's lamp in internal::KzifLed (lamps of no M/E row).
inline int ledCodeToIndex(int code) {
  if (0 <= code && static_cast<std::size_t>(code) < lampmap::LED_TABLE.size() &&
      lampmap::LED_TABLE[static_cast<std::size_t>(code)] >= 0)
    return lampmap::LED_TABLE[static_cast<std::size_t>(code)];
  lampmap::ledCodeUnmapped();
}
// Index of a button code's lamp in internal::KzifMeLed (lamps of an M/E row).
inline int meLedCodeToIndex(int code) {
  if (0 <= code && static_cast<std::size_t>(code) < lampmap::ME_LED_TABLE.size() &&
      lampmap::ME_LED_TABLE[static_cast<std::size_t>(code)] >= 0)
    return lampmap::ME_LED_TABLE[static_cast<std::size_t>(code)];
  lampmap::meLedCodeUnmapped();
}

constexpr int N_LED_INDEX = 350;
constexpr int N_ME_LED_INDEX = 309;
