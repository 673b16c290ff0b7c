#include "Driver/transition.h"

#include <cstddef>

#include "Common/assert.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/transition");

namespace kz {
namespace {

using ContextKeys = std::array<KeyTransitionImage, N_KEYS>;
std::array<ContextKeys, N_ME_CONTEXTS> keyImages{};

bool isKeyTarget(int keyTarget) {
  return KZ_KEY1 <= keyTarget && keyTarget <= KZ_KEY4 && (keyTarget - KZ_KEY1) % 2 == 0;
}

std::size_t keyIndex(int keyTarget) { return static_cast<std::size_t>((keyTarget - KZ_KEY1) / 2); }

KeyTransitionImage& current(int keyTarget) {
  return keyImages[static_cast<std::size_t>(kz::image::currentContextIndex)][keyIndex(keyTarget)];
}

}  // namespace

const KeyTransitionImage& keyTransitionImage(int context, int keyTarget) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(isKeyTarget(keyTarget));
  return keyImages[static_cast<std::size_t>(context - KZ_CONTEXT_ME1)][keyIndex(keyTarget)];
}

void resetKeyTransitionImages() {
  keyImages = {};
  memo::forget(memo::keyTransition);
}

}  // namespace kz

void kz::detail::setKeyTransitionChanged(int keyTarget, f32 position) {
  KZ_CHECK(kz::isKeyTarget(keyTarget));
  KZ_CHECK(0.0f <= position && position <= 1.0f);
  kz::current(keyTarget).wipePosition = position;
  kz::memo::ofContext(kz::memo::keyTransition, kz::keyIndex(keyTarget)).take(position);
  trace::call("setKeyTransition", trace::Id{keyTarget}, position);
}

void setKeyDve(int keyTarget, int converted, f32 position) {
  KZ_CHECK(kz::isKeyTarget(keyTarget));
  KZ_CHECK(converted == 0 || converted == 1);
  KZ_CHECK(0.0f <= position && position <= 1.0f);
  kz::KeyTransitionImage& image = kz::current(keyTarget);
  image.dvePosition = position;
  image.dveConverted = static_cast<u8>(converted);
  trace::call("setKeyDve", trace::Id{keyTarget}, converted, position);
}
