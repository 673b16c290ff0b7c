// Picture filters of the M/E contexts: a mosaic or defocus filter with its amount, a luminance and
// chroma level reduction and a monochrome colouring, each set for the A bus, the B bus or one of
// the first two keys. Like every setter, these only record into the images of the current M/E
// context; the filter registers have no known place in the FPGA blocks of this board, so kzUpdate
// leaves them in their images.
#pragma once
#include <array>

#include "Lib/Include/kz_types.h"

constexpr int KZ_IMAGE_DEFOCUS = 0x1700;
constexpr int KZ_IMAGE_MOSAIC = 0x1701;

// target KZ_ABUS, KZ_BBUS or KZ_KEY1 .. KZ_KEY_DVE_MAX; mode 0 (no filter), KZ_IMAGE_DEFOCUS or
// KZ_IMAGE_MOSAIC; amount as given.
void setImageFilterMode(int target, int mode, f32 amount);
// Level reduction on or off, luminance step y 0..7, chroma step c 0..7.
void setImageFilterLevel(int target, int on, int y, int c);
// Monochrome colouring on or off, in the colour cb, cr (10-bit, below 0x3ff each).
void setImageMonoColor(int target, int on, int cb, int cr);

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
