// Hardware test mode (type id 56, one object per M/E, volatile): the System Manager selects a test
// of the M/E video processing in channel 0 of M/E index 1, which then drives wipe, noise, bus
// filter and key shape test settings of all four M/E contexts every field.
#pragma once
#include <array>

#include "Main/category.h"

// Held in the category, not in the backup image. Wire body 51 bytes.
struct KzifTest {
  static constexpr int TYPE_ID = 56;
  static constexpr int N_CHANNELS = 16;
  static constexpr const char* NAME = "KzifTest";
  static constexpr int N_VALUES = 20;
  static constexpr i16 WIPE_NOISE_FILTER_SHAPE = 1;
  static constexpr i16 WIPE_MODULATION = 2;

  u32 mask;  // carried as it is; the test parameters have their own mask
  u8 me;
  u16 index;
  u32 valueMask;
  i16 value[N_VALUES];  // value[0] selects the test

  static constexpr auto wire() {
    using R = KzifTest;
    return rec::list(rec::plain(&R::mask), rec::me(&R::me), rec::channel(&R::index), rec::mask(&R::valueMask),
                     rec::elements(0, &R::value));
  }
};
static_assert(rec::wireSizeOf<KzifTest>() == 51);

namespace category {

class CategoryTest : public CategoryCommon<KzifTest> {
 public:
  static constexpr int TEST_ME = 1;  // the object whose channel 0 drives the tests
  CategoryTest() : CategoryCommon(true) {}

  std::size_t attachBackup(u8*) override { return attachInternal(channels_.data()); }
  void initIndex(int me, int flags) override;
  void restore(const u8*) override {}
  void update() override;

 private:
  void runWipeNoiseFilterShape(const i16* v) const;
  void runWipeModulation(const i16* v) const;

  std::array<KzifTest, N_CHANNELS> channels_{};
};

}  // namespace category

void initCategoryTest();
