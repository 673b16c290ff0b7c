// The AUX mixer's pace in the field-counted formats and its channel bounds.
#include <gtest/gtest.h>

#include <vector>

#include "Main/aux_mix.h"

namespace {

// Positions of channel 0 over `fields` fields of a 2-frame mix from source 10 to 11, starting in
// field one.
std::vector<f32> positions(int format, int fields) {
  AuxMix mix;
  mix.update(0, 10, format, true);  // no duration: 10 cuts in
  mix.setDuration(0, 2);
  std::vector<f32> out;
  for (int f = 0; f < fields; ++f) {
    mix.update(0, 11, format, f % 2 == 0);
    out.push_back(mix.sources(0).position);
  }
  return out;
}

}  // namespace

TEST(AuxMix, InterlacedStepsInFieldOneOnlyAndOtherFormatsHalfAStepEveryField) {
  EXPECT_EQ(positions(2, 4), (std::vector<f32>{0.5f, 0.5f, 1.0f, 1.0f}));
  EXPECT_EQ(positions(0, 4), (std::vector<f32>{0.25f, 0.5f, 0.75f, 1.0f}));
  EXPECT_EQ(positions(10, 2), (std::vector<f32>{0.5f, 1.0f}));
  // Channels outside 0..15 are ignored rather than written beside the table.
  AuxMix mix;
  mix.setDuration(16, 5);
  mix.update(-1, 10, 0, true);
  EXPECT_EQ(mix.running(16), 0);
  EXPECT_EQ(mix.sources(16).from, -1);
}
