#include "Main/testmode.h"

#include "Driver/effects.h"
#include "Driver/kz.h"

namespace {

constexpr int KEYS[4] = {KZ_KEY1, KZ_KEY1 + 2, KZ_KEY1 + 4, KZ_KEY4};

// The merge keeps whatever arrives; each value is brought into its driver's range only here, so
// that no received value can fail a driver assertion.
int clampTo(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
f32 hundredths(int v, int lo, int hi) { return static_cast<f32>(clampTo(v, lo, hi)) / 100.0f; }

}  // namespace

namespace category {

void CategoryTest::initIndex(int, int) {
  for (int ch = 0; ch < N_CHANNELS; ++ch) rec::stamp(records_[ch], me_, ch);
}

void CategoryTest::update() {
  setMeContext(KZ_CONTEXT_ME1 + me_);
  if (me_ != TEST_ME) return;  // only this object's channel 0 drives anything
  const i16* v = records_[0].value;
  if (v[0] != KzifTest::WIPE_NOISE_FILTER_SHAPE && v[0] != KzifTest::WIPE_MODULATION) return;
  if (v[0] == KzifTest::WIPE_NOISE_FILTER_SHAPE) {
    runWipeNoiseFilterShape(v);
  } else {
    runWipeModulation(v);
  }
}

void CategoryTest::runWipeNoiseFilterShape(const i16* v) const {
  const int n = clampTo(v[1], 0, 3);
  f32 size = 1.0f;
  for (int i = 0; i < n; ++i) size *= 0.5f;
  for (int me = 0; me < N_ME; ++me) {
    setMeContext(KZ_CONTEXT_ME1 + me);
    setWipeSize(KZ_BKGD, size, size, n, n);
    for (int key : KEYS) setWipeSize(key, size, size, n, n);
    const int dust = clampTo(v[3], 0, 15);
    setFilterDust(KZ_BKGD, v[2] != 0, hundredths(v[2], 0, 100), dust);
    setFilterDust(KZ_KEY1, v[2] != 0, hundredths(v[2], 0, 100), dust);
    setTestFilterGain(KZ_ABUS, v[4] != 0, hundredths(v[4], 0, 100));
    setTestFilterGain(KZ_BBUS, v[4] != 0, hundredths(v[4], 0, 100));
    for (int key : KEYS)
      setKeyShape(key, static_cast<f32>(v[5]) / 100.0f, static_cast<f32>(v[6]) / 100.0f,
                  static_cast<f32>(v[7]) / 100.0f, static_cast<f32>(v[8]) / 100.0f, hundredths(v[9], 0, 100));
    setTestFilterMode(KZ_ABUS, v[10] != 0, v[10] & 1);
    setTestFilterMode(KZ_BBUS, v[11] != 0, v[11] & 1);
  }
}

void CategoryTest::runWipeModulation(const i16* v) const {
  const int patternX = v[5] == 0 ? KZ_TRANS_MOD_SINE : KZ_TRANS_MOD_DELTA;
  const int patternY = v[6] == 0 ? KZ_TRANS_MOD_SINE : KZ_TRANS_MOD_DELTA;
  const f32 ampX = hundredths(v[1], 0, 50), ampY = hundredths(v[2], 0, 50);
  const f32 freqX = static_cast<f32>(clampTo(v[3], 0, 100)), freqY = static_cast<f32>(clampTo(v[4], 0, 100));
  const f32 phaseX = hundredths(v[7], 0, 100), phaseY = hundredths(v[8], 0, 100);
  constexpr int TARGETS[5] = {KZ_KEY1, KZ_KEY1 + 2, KZ_KEY1 + 4, KZ_KEY4, KZ_BKGD};
  for (int me = 0; me < N_ME; ++me) {
    setMeContext(KZ_CONTEXT_ME1 + me);
    for (int target : TARGETS) {
      setWipeModulationPattern(target, KZ_TRANS_MOD_X, patternX);
      setWipeModulationPattern(target, KZ_TRANS_MOD_Y, patternY);
      setWipeModulation(target, KZ_TRANS_MOD_X, ampX, freqX, phaseX);
      setWipeModulation(target, KZ_TRANS_MOD_Y, ampY, freqY, phaseY);
    }
  }
}

}  // namespace category

void initCategoryTest() { static category::CategoryTest tests[N_ME]; }
