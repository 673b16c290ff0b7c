#include "Main/autotrans.h"

namespace {

// A position written from outside (a lever, a recall) may lie off the 0..1 scale or be NaN; a run
// must still end, so it starts from the nearest valid point.
float clampUnit(float p) {
  if (!(p > 0.0f)) return 0.0f;  // NaN as well
  return p < 1.0f ? p : 1.0f;
}

}  // namespace

void AutoTransition::step() {
  if (state == STATE_CUT_PENDING) {
    complete();
    return;
  }
  if (state != STATE_RUNNING) return;
  if (rate <= 0) {
    complete();
    return;
  }
  const float delta = 1.0f / static_cast<float>(rate);
  const float halfStep = 0.5f * delta;
  float p = clampUnit(positionA);
  if (forward()) {
    p += delta;
    if (p >= 1.0f - halfStep) {
      complete();
      return;
    }
  } else {
    p -= delta;
    if (p <= halfStep) {
      complete();
      return;
    }
  }
  positionA = p;
}

void AutoTransition::complete() {
  state = STATE_IDLE;
  if (!forward()) {
    positionA = 0.0f;  // back where the run started from: the end flag still names that end
    return;
  }
  if (returnMode != 0) {
    positionA = 1.0f;
    return;
  }
  positionA = 0.0f;
  endFlag = endFlag < 0 ? 1 : -1;
}
