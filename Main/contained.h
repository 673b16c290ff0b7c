// The field cycle's passes run each category's step through contained(): a failed assertion is
// logged where it was raised, and abandons that step alone, never the pass or the field cycle.
#pragma once
#include "Common/assert.h"

namespace bp_step {

template <class Fn>
void contained(Fn fn) {
  try {
    fn();
  } catch (const assert::AssertException&) {
    // Logged where it was raised; this step alone is abandoned.
  }
}

}  // namespace bp_step
