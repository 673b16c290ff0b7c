// Picture filters of the M/E contexts: a mosaic or defocus filter with its amount, a luminance and
// chroma level reduction and a monochrome colouring, each set for the A bus, the B bus or one of
// the first two keys. Like every setter, these only record into the images of the current M/E
// context; the filter registers have no known place in the FPGA blocks of this board, so kzUpdate
// leaves them in their images.
#pragma once
#include <array>

#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

constexpr int KZ_IMAGE_DEFOCUS = 0x1700;
constexpr int KZ_IMAGE_MOSAIC = 0x1701;

// target KZ_ABUS, KZ_BBUS or KZ_KEY1 .. KZ_KEY_DVE_MAX; mode 0 (no filter), KZ_IMAGE_DEFOCUS or
// KZ_IMAGE_MOSAIC; amount as given.
inline void setImageFilterMode(int target, int mode, f32 amount);
// Level reduction on or off, luminance step y 0..7, chroma step c 0..7.
inline void setImageFilterLevel(int target, int on, int y, int c);
// Monochrome colouring on or off, in the colour cb, cr (10-bit, below 0x3ff each).
inline void setImageMonoColor(int target, int on, int cb, int cr);

namespace kz {

constexpr int N_FILTER_TARGETS = KZ_KEY_DVE_MAX - KZ_ABUS + 1;  // indexed by target - KZ_ABUS

struct FilterImage {
  u16 mode = 0;
  f32 amount = 0.0f;
  u8 levelOn = 0;
  u8 levelY = 0;
  u8 levelC = 0;
  u8 monoOn = 0;
  u16 cb = 512;
  u16 cr = 512;
  bool operator==(const FilterImage&) const = default;
};

// The filter of a target under a context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B); asserted.
const FilterImage& filterImage(int context, int target);
// Power-on state of every context: no filter, no level reduction, no colouring.
void resetFilterImages();

}  // namespace kz

namespace kz::detail {
void setImageFilterModeChanged(int target, int mode, f32 amount);
void setImageFilterLevelChanged(int target, int on, int y, int c);
void setImageMonoColorChanged(int target, int on, int cb, int cr);
}  // namespace kz::detail

namespace kz::memo {
inline PerContext<2, N_FILTER_TARGETS> filterMode{};
inline PerContext<3, N_FILTER_TARGETS> filterLevel{};
inline PerContext<3, N_FILTER_TARGETS> monoColor{};

// A target that is no filter target is never taken, so it always reaches the checks.
template <std::size_t N>
const Last<N>* filterOf(PerContext<N, N_FILTER_TARGETS>& table, int target) {
  const std::size_t i = static_cast<unsigned>(target - KZ_ABUS);
  return i < N_FILTER_TARGETS ? &ofContext(table, i) : nullptr;
}
}  // namespace kz::memo

inline void setImageFilterMode(int target, int mode, f32 amount) {
  const kz::memo::Last<2>* last = kz::memo::filterOf(kz::memo::filterMode, target);
  if (last != nullptr && last->same(mode, amount)) {
    trace::call("setImageFilterMode", trace::Id{target}, trace::Id{mode}, amount);
    return;
  }
  kz::detail::setImageFilterModeChanged(target, mode, amount);
}

inline void setImageFilterLevel(int target, int on, int y, int c) {
  const kz::memo::Last<3>* last = kz::memo::filterOf(kz::memo::filterLevel, target);
  if (last != nullptr && last->same(on, y, c)) {
    trace::call("setImageFilterLevel", trace::Id{target}, on, y, c);
    return;
  }
  kz::detail::setImageFilterLevelChanged(target, on, y, c);
}

inline void setImageMonoColor(int target, int on, int cb, int cr) {
  const kz::memo::Last<3>* last = kz::memo::filterOf(kz::memo::monoColor, target);
  if (last != nullptr && last->same(on, cb, cr)) {
    trace::call("setImageMonoColor", trace::Id{target}, on, cb, cr);
    return;
  }
  kz::detail::setImageMonoColorChanged(target, on, cb, cr);
}
