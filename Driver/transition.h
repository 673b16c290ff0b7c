// Key transitions of the M/E contexts: how far each keyer's wipe and key DVE have run this field.
// Like every setter, these only record into the image of the current M/E context.
#pragma once
#include <array>

#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

// Wipe position (0..1) of key target KZ_KEY1 + 2k (k 0..3) in the current context.
inline void setKeyTransition(int keyTarget, f32 position);
// Key DVE of key target KZ_KEY1 + 2k: position 0..1, converted 1 when its fill is a converted input.
void setKeyDve(int keyTarget, int converted, f32 position);

namespace kz {

constexpr int N_KEYS = 4;

struct KeyTransitionImage {
  f32 wipePosition;
  f32 dvePosition;
  u8 dveConverted;
  bool operator==(const KeyTransitionImage&) const = default;
};

// What context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B) holds for key target KZ_KEY1 + 2k; asserted.
const KeyTransitionImage& keyTransitionImage(int context, int keyTarget);
// Power-on state of every context: nothing run, nothing converted.
void resetKeyTransitionImages();

}  // namespace kz

namespace kz::detail {
void setKeyTransitionChanged(int keyTarget, f32 position);
}
namespace kz::memo {
inline PerContext<1, N_KEYS> keyTransition{};
}

inline void setKeyTransition(int keyTarget, f32 position) {
  std::size_t k = 0;
  if (kz::memo::pairIndex(keyTarget, KZ_KEY1, k) && kz::memo::ofContext(kz::memo::keyTransition, k).same(position)) {
    trace::call("setKeyTransition", trace::Id{keyTarget}, position);
    return;
  }
  kz::detail::setKeyTransitionChanged(keyTarget, position);
}
