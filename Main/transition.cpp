#include "Main/transition.h"

#include "Common/assert.h"
#include "Driver/kz.h"
#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Driver/transition.h"
#include "Main/aux_mix.h"

KZ_SOURCE("Main/transition");

namespace {

int checkedKey(int key) {
  KZ_CHECK(0 <= key && key < 4);
  return key;
}

}  // namespace

rec::MergeResult mergeModify(ModifySetting& dest, const ModifySetting& incoming) { return rec::merge(dest, incoming); }

rec::MergeResult mergeEnumTriple(EnumTriple& dest, const EnumTriple& incoming) { return rec::merge(dest, incoming); }

rec::MergeResult mergeRangePair(RangePair& dest, const RangePair& incoming) { return rec::merge(dest, incoming); }

namespace category {

CategoryTransitionStatus& CategoryTransitionStatus::get() {
  static CategoryTransitionStatus status;
  return status;
}

void CategoryTransitionStatus::update(const AuxMix& mixers) {
  for (int ch = 0; ch < N_AUX_MIX; ++ch) auxMix_[static_cast<std::size_t>(ch)] = mixers.running(ch) != 0 ? 1 : 0;
}

int CategoryTransitionStatus::auxMixStatus(int ch) const {
  KZ_CHECK(0 <= ch && ch < N_AUX_MIX);
  return auxMix_[static_cast<std::size_t>(ch)];
}

}  // namespace category

void TransitionUpdater::update(int me, f32 position) {
  // The same position again under the same context, with no setter having taken anything since:
  // untraced, the call would change nothing.
  if (held_ && heldGeneration_ == kz::memo::generation && me == me_ && kz::memo::word(position) == kz::memo::word(position_) &&
      getMeContext() == KZ_CONTEXT_ME1 + me && !trace::enabled())
    return;
  held_ = false;
  KZ_CHECK(0 <= me && me < N_ME);
  KZ_CHECK(0.0f <= position && position <= 1.0f);
  // The keyers have selected their M/E already; a caller that has not still renders into the
  // M/E it names.
  if (getMeContext() != KZ_CONTEXT_ME1 + me) setMeContext(KZ_CONTEXT_ME1 + me);
  setKeyTransition(target_, position);
  me_ = me;
  position_ = position;
  heldGeneration_ = kz::memo::generation;
  held_ = true;
}

KeyTransition::KeyTransition(int key) : TransitionUpdater(KZ_KEY1 + 2 * checkedKey(key)), key_(key) {}

void KeyTransition::setup(const KzifKey& key, const KzifSystem& system, f32 position) {
  keyRecord_ = &key;
  system_ = &system;
  preparedPosition_ = position;
}

void KeyTransition::setImageKey(int on) {
  imageKey_ = on != 0 ? 1 : 0;
  imageKeyFollower_ = 0;
}

KeyDveUpdater::KeyDveUpdater(int key) : key_(checkedKey(key)) {}

void KeyDveUpdater::setup(const KzifKey& key, const KzifSystem& system, int converted, f32 position) {
  keyRecord_ = &key;
  system_ = &system;
  converted_ = converted;
  preparedPosition_ = position;
}

void KeyDveUpdater::render(f32 position) { setKeyDve(target(), converted_, position); }
