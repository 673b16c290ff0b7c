#include "Lib/Include/data_internal.h"

#include <array>

#include "Common/assert.h"
#include "Common/positions.h"

namespace {

struct CodeRun {
  int first;
  int last;
  int index;  // index of `first`
};

constexpr std::array<CodeRun, 18> ledRuns = {{
    {200, 207, 0},     {212, 215, 8},     {712, 715, 12},    {2400, 2410, 16},  {2200, 2231, 27},
    {2900, 2913, 59},  {2000, 2047, 73},  {2050, 2097, 121}, {2100, 2110, 169}, {2450, 2450, 180},
    {2500, 2508, 181}, {2600, 2608, 190}, {2700, 2708, 199}, {2800, 2804, 208}, {3000, 3018, 227},
    {700, 707, 246},   {3100, 3143, 254}, {3300, 3351, 298},
}};

constexpr std::array<CodeRun, 11> meLedRuns = {{
    {0, 47, 0},      {50, 97, 48},    {100, 147, 96},  {150, 197, 144}, {208, 211, 192}, {216, 230, 196},
    {450, 453, 211}, {250, 268, 215}, {300, 318, 234}, {350, 381, 253}, {400, 423, 285},
}};

template <std::size_t N>
int lookupRun(const std::array<CodeRun, N>& runs, int code, int line) {
  for (const CodeRun& r : runs)
    if (r.first <= code && code <= r.last) return r.index + (code - r.first);
  assert::fail(positions::LAMP_MAP_SOURCE, line, "NeverReachHere");
}

}  // namespace

int ledCodeToIndex(int code) { return lookupRun(ledRuns, code, positions::LAMP_MAP_UNMAPPED); }

int meLedCodeToIndex(int code) { return lookupRun(meLedRuns, code, 353); }
