// The background record through the wire and the backup image, its button latches and flip
// hooks, the shared sub-record merges, and the key transition renderers down to the driver trace.
#include <array>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Driver/kz.h"
#include "Driver/transition.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/system.h"
#include "Main/transition.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

using category::CategoryBkgd;

namespace {

class BkgdTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryBkgd();
    for (int me = 0; me < N_ME; ++me)
      for (int i = 0; i < CategoryBkgd::N_LATCHES; ++i) CategoryBkgd::get(me).watchButton(i, -1);
    SimTest::SetUp();
  }
};

internal::KzifButtonEvent press(int panel, int me, int code) {
  return {.panel = static_cast<u8>(panel), .me = static_cast<u8>(me), .code = static_cast<i16>(code), .state = 1};
}

void pressOnEveryMe(const internal::KzifButtonEvent& e) {
  for (int me = 0; me < N_ME; ++me) CategoryBkgd::get(me).onButton(e);
}

}  // namespace

TEST_F(BkgdTest, RecordIsEchoedAndStoredAtItsOffsets) {
  EXPECT_EQ(only(run({"send 2 000001ff 01 01 01 02 03 04 05 01 02 03", "field"}), "msg"),
            Lines{"msg 2 000001ff01010102030405010203"});
  const u8* nv = platform::nvWindow();
  const std::size_t share = BP::instance().shareOffset(KzifBkgd::TYPE_ID, 1);
  ASSERT_NE(share, 0u);
  const std::map<std::size_t, u8> named = {{4, 1}, {5, 1},  {6, 1},  {7, 2},   {28, 3},
                                           {68, 4}, {69, 5}, {76, 1}, {145, 2}, {146, 3}};
  for (std::size_t i = 0; i < sizeof(KzifBkgd); ++i) {
    const auto it = named.find(i);
    EXPECT_EQ(nv[share + i], it == named.end() ? 0 : it->second) << "stored byte " << i;
  }
}

TEST_F(BkgdTest, OutOfRangeValuesAreDroppedSinglyAndABadMeDropsTheRecord) {
  // flip 2, transition utility bus 3 and utility bus 3 refused; the rest applied.
  EXPECT_EQ(only(run({"send 2 000001ff 02 02 01 03 07 08 09 01 03 04", "field"}), "msg"),
            Lines{"msg 2 0000017a02000100070809010004"});
  EXPECT_EQ(only(run({"send 2 000001ff 04 01 01 01 01 01 01 01 01 01", "field"}), "msg"), Lines{});
  for (int me = 0; me < N_ME; ++me) EXPECT_EQ(CategoryBkgd::get(me).record(0).transUtilityBus, 0) << me;
}

TEST_F(BkgdTest, FlipFollowsOnlyWhileEnabledAndARequestEnablesItOnce) {
  run({"send 2 00000002 00 00 01 00 00 00 00 00 00 00", "field"});
  CategoryBkgd::get(0).flipHook();
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{"msg 2 0000000100010100000000000000"});
  CategoryBkgd::get(0).flipHook();
  CategoryBkgd::get(1).flipHook();  // not enabled: nothing changes, nothing is sent
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{"msg 2 0000000100000100000000000000"});

  CategoryBkgd& bkgd = CategoryBkgd::get(1);
  bkgd.requestFlip();
  EXPECT_TRUE(bkgd.takePendingFlip());
  EXPECT_FALSE(bkgd.takePendingFlip());
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{"msg 2 0000000201000100000000000000"});
  bkgd.requestFlip();
  run({"restart"});  // a request not yet taken is forgotten
  EXPECT_FALSE(bkgd.takePendingFlip());
}

TEST_F(BkgdTest, LatchesSeeOnlyTheirMesRowButtonsAndButton3000) {
  CategoryBkgd& bkgd = CategoryBkgd::get(2);
  const auto state = [&](int i, int p) { return std::pair(+bkgd.latch(i).pressed[p], +bkgd.latch(i).held[p]); };
  bkgd.watchButton(0, 1700);
  bkgd.watchButton(1, 3000);
  bkgd.watchButton(2, 1599);  // not a background-row button
  pressOnEveryMe(press(3, 2, 1700));  // panel 3
  pressOnEveryMe(press(0, 4, 1700));  // M/E byte 4
  bkgd.onButton(press(0, 3, 1700));   // another M/E's row
  pressOnEveryMe(press(0, 2, 1599));
  pressOnEveryMe(press(0, 2, -1));  // unwatched latches hold code -1
  for (int i = 0; i < CategoryBkgd::N_LATCHES; ++i)
    for (int p = 0; p < 3; ++p) EXPECT_EQ(state(i, p), std::pair(0, 0)) << i << "/" << p;

  pressOnEveryMe(press(1, 2, 1700));
  EXPECT_NO_THROW(pressOnEveryMe(press(2, 7, 3000)));  // every M/E, whatever its M/E byte
  EXPECT_EQ(state(0, 1), std::pair(1, 1));
  EXPECT_EQ(state(1, 1), std::pair(0, 0));  // a latch sees its own code only
  bkgd.clearLatches();  // presses go, held buttons stay
  EXPECT_EQ(state(0, 1), std::pair(0, 1));
  EXPECT_EQ(state(1, 2), std::pair(0, 1));

  // A restart forgets presses and held buttons but keeps what each latch watches.
  run({"restart"});
  EXPECT_EQ(std::pair(state(1, 2), +bkgd.latch(1).code), std::pair(std::pair(0, 0), 3000));
  EXPECT_THROW(bkgd.watchButton(CategoryBkgd::N_LATCHES, 1600), assert::AssertException);
  for (int i : {-1, CategoryBkgd::N_LATCHES}) EXPECT_THROW(bkgd.latch(i), assert::AssertException) << i;
}

TEST(SubRecordMerge, EachValueIsTakenByItsOwnBitAndRange) {
  ModifySetting modify{};
  EXPECT_EQ(mergeModify(modify, ModifySetting{0xf, 2, 500, 1001, -45}).droppedBits, 0x5u);
  EXPECT_EQ(mergeModify(modify, ModifySetting{0x9, 1, 0, 0, 46}).droppedBits, 0x8u);
  EXPECT_EQ(std::tuple(modify.mask, +modify.on, +modify.value1, +modify.value2, +modify.angle),
            std::tuple(0xbu, 1, 500, 0, -45));

  EnumTriple triple{};
  EXPECT_EQ(mergeEnumTriple(triple, EnumTriple{0x7, 3, 4, 2}).droppedBits, 0x6u);
  EXPECT_EQ(mergeEnumTriple(triple, EnumTriple{0x4, 0, 2, 1}).droppedBits, 0u);  // second not masked
  EXPECT_EQ(std::tuple(triple.mask, +triple.first, +triple.second, +triple.third), std::tuple(0x5u, 3, 0, 1));
  EXPECT_EQ(mergeEnumTriple(triple, EnumTriple{0x2, 0, 3, 0}).droppedBits, 0u);  // each at its highest
  EXPECT_EQ(mergeEnumTriple(triple, EnumTriple{0x7, 4, 4, 2}).droppedBits, 0x7u);
  EXPECT_EQ(std::tuple(triple.mask, +triple.first, +triple.second, +triple.third), std::tuple(0x7u, 3, 3, 1));

  RangePair range{};
  EXPECT_EQ(mergeRangePair(range, RangePair{0xf, 1, 10001, 10000, -51}).droppedBits, 0xau);
  EXPECT_EQ(mergeRangePair(range, RangePair{0x8, 0, 0, 0, 50}).droppedBits, 0u);
  EXPECT_EQ(std::tuple(range.mask, +range.on, +range.value1, +range.value2, +range.offset),
            std::tuple(0xdu, 1, 0, 10000, 50));
}

class KeyRendererTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    kz::resetKeyTransitionImages();
    lines.clear();
  }
};

TEST_F(KeyRendererTest, WipeAndDveReachTheDriversOfTheirKeyAndMe) {
  alignas(8) static const std::array<u8, 512> keyBytes{};
  const auto& key = *reinterpret_cast<const KzifKey*>(keyBytes.data());
  const KzifSystem& system = category::CategorySystem::get().record(0);

  setMeContext(KZ_CONTEXT_ME1 + 1);
  KeyTransition wipe(2);
  wipe.setup(key, system, 0.25f);
  wipe.update(1, 0.25f);
  KeyDveUpdater dve(3);
  dve.setup(key, system, 1, 0.5f);
  dve.render(0.5f);
  wipe.update(2, 0.75f);  // an M/E other than the current context's
  EXPECT_EQ(lines, (Lines{"drv setMeContext 0x3211", "drv setKeyTransition 0x1209 0.25",
                          "drv setKeyDve 0x120b 1 0.5", "drv setMeContext 0x3212",
                          "drv setKeyTransition 0x1209 0.75"}));
  EXPECT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1 + 1, 0x1209).wipePosition, 0.25f);
  EXPECT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1 + 2, 0x1209).wipePosition, 0.75f);
  EXPECT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1 + 1, 0x120B), (kz::KeyTransitionImage{0.0f, 0.5f, 1}));

  // Out-of-range values never reach an image.
  lines.clear();
  EXPECT_THROW(wipe.update(1, 1.5f), assert::AssertException);
  EXPECT_THROW(wipe.update(4, 0.5f), assert::AssertException);
  dve.setup(key, system, 2, 0.5f);
  EXPECT_THROW(dve.render(0.5f), assert::AssertException);
  EXPECT_THROW(setKeyTransition(0x1206, 0.5f), assert::AssertException);  // a fill, not a key
  EXPECT_THROW(KeyTransition{4}, assert::AssertException);
  EXPECT_EQ(only(lines, "drv"), Lines{});
  EXPECT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1 + 1, 0x1209).wipePosition, 0.25f);
}

// Untraced, the wipe renderer passes over only a repeat of the position it last rendered in the
// same M/E with nothing written since; every other position, both ends included, reaches the image.
TEST_F(SimTest, UntracedWipeRendersEveryNewPositionAndPassesOverOnlyARepeat) {
  alignas(8) static const std::array<u8, 512> keyBytes{};
  const auto& key = *reinterpret_cast<const KzifKey*>(keyBytes.data());
  KeyTransition wipe(1);
  wipe.setup(key, category::CategorySystem::get().record(0), 0.25f);
  const auto position = [](int context) { return kz::keyTransitionImage(context, KZ_KEY1 + 2).wipePosition; };
  setMeContext(KZ_CONTEXT_ME1);
  for (f32 p : {0.25f, 0.75f, 0.0f, 1.0f, 0.5f}) {
    wipe.update(0, p);
    EXPECT_EQ(position(KZ_CONTEXT_ME1), p);
  }
  setKeyTransition(KZ_KEY1 + 2, 0.125f);  // another writer: the same position is rendered again
  wipe.update(0, 0.5f);
  EXPECT_EQ(position(KZ_CONTEXT_ME1), 0.5f);
  wipe.update(1, 0.5f);  // the same position for another M/E
  EXPECT_EQ(position(KZ_CONTEXT_ME1 + 1), 0.5f);
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1 + 1);
}
