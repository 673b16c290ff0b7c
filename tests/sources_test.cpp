// Source helpers (edge editing, priority reordering, linked pairs, media source predicates), the
// input video and extended display settings, the multiview's label and tally state, the macro
// attach button and the shot memory status record.
#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "Main/aux_mix.h"
#include "Main/bp.h"
#include "Main/inputvideo.h"
#include "Main/macro.h"
#include "Main/multiview.h"
#include "Main/shotmem.h"
#include "Main/source_ids.h"
#include "Main/sources.h"
#include "Main/transition.h"
#include "tests/sim_fixture.h"

using Edges = std::array<i16, 4>;  // left, top, bottom, right

TEST(AdjustCropEdges, RangeRefusalPushAlongAndLinkedMirroring) {
  struct Case { int linked; Edges old, given, expected; int result; };
  const Edges o{-1000, 1000, -1000, 1000};
  const Case cases[] = {
      // One edge outside -5000..5000, even one that did not change, refuses the whole set untouched.
      {1, {0, 0, -5001, 0}, {100, 0, -5001, 0}, {100, 0, -5001, 0}, 0},
      {0, o, {-5000, 5000, -5000, 5000}, {-5000, 5000, -5000, 5000}, 1},
      // Unlinked: a changed edge pushes its opposite along; of a pair crossed, left and top win.
      {0, o, {2000, 1000, -1000, 1000}, {2000, 1000, -1000, 2000}, 1},
      {0, o, {500, -500, 400, -600}, {500, -500, -500, 500}, 1},
      // Linked: the change is mirrored (left and top when both moved), then held on its side.
      {1, o, {-1000, 1000, -3000, 1000}, {-1000, 3000, -3000, 1000}, 1},
      {1, o, {300, 1000, -1000, 1000}, {0, 1000, -1000, 0}, 1},
      {1, o, {-200, 1500, -300, 4000}, {-200, 1500, -1500, 200}, 1},
  };
  for (const Case& c : cases) {
    Edges edges = c.given;
    EXPECT_EQ(adjustCropEdges(c.linked, c.old.data(), edges.data()), c.result) << "case " << &c - cases;
    EXPECT_EQ(edges, c.expected) << "case " << &c - cases;
  }
}

// Unlinked edges given as they stood are left as they are, in range or not: the keyer passes
// such edges by without the adjustment.
TEST(AdjustCropEdges, UnlinkedEdgesGivenAsTheyStoodStayAsTheyAre) {
  const i16 values[] = {-5001, -5000, -4999, -1000, -1, 0, 1, 1000, 4999, 5000, 5001};
  for (i16 a : values)
    for (i16 b : values)
      for (i16 c : {i16{-5000}, i16{0}, i16{5001}})
        for (i16 d : {i16{-1}, i16{4999}}) {
          for (const Edges& old : {Edges{a, b, c, d}, Edges{c, d, a, b}, Edges{b, a, d, c}}) {
            Edges edges = old;
            adjustCropEdges(0, old.data(), edges.data());
            EXPECT_EQ(edges, old);
          }
        }
}

// A permutation in which one entry takes its target and the others keep their order is the only
// result, so checking those properties for every move of every permutation pins it down.
TEST(ReorderPriority, EveryMoveKeepsAPermutationAndTheOthersOrder) {
  std::array<int, 4> start{0, 1, 2, 3};  // priorities of entries 0..3
  do {
    for (int moved = 0; moved < 4; ++moved)
      for (int target = 0; target < 4; ++target) {
        std::array<int, 4> after{};
        for (int i = 0; i < 4; ++i) after[i] = reorderPriority(target, start[moved], start[i], moved, i);
        EXPECT_TRUE(std::is_permutation(after.begin(), after.end(), start.begin()) && after[moved] == target);
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j)
            EXPECT_TRUE(i == moved || j == moved || (start[i] < start[j]) == (after[i] < after[j]));
      }
  } while (std::next_permutation(start.begin(), start.end()));
  EXPECT_EQ(reorderPriority(0, -1, 2, 1, 3), 2);  // an old priority out of range moves nothing
}

TEST(SyncLinkedPairKey, WhileLinkedAChangeIsCopiedIntoTheOther) {
  constexpr u32 F = LinkedPair::FIRST, S = LinkedPair::SECOND, L = LinkedPair::LINKED;
  struct Case { LinkedPair incoming, live, change, expected; };
  const Case cases[] = {
      {{F, 3, 0, 0}, {0, 1, 1, 1}, {F, 3, 0, 0}, {F | S, 3, 3, 0}},
      {{F | S, 9, 2, 0}, {0, 1, 1, 1}, {S, 0, 2, 0}, {F | S, 2, 2, 0}},  // the first dropped by its range
      {{F | L, 2, 0, 0}, {0, 1, 1, 1}, {F | L, 2, 0, 0}, {F | L, 2, 0, 0}},  // the change's link state wins
      // Both asked and different: the first wins unless only the second moved from the live pair.
      {{F | S, 4, 5, 0}, {0, 1, 1, 1}, {F | S, 4, 5, 0}, {F | S, 4, 4, 0}},
      {{F | S, 1, 5, 0}, {0, 1, 1, 1}, {F | S, 1, 5, 0}, {F | S, 5, 5, 0}},
      {{F | S, 1, 2, 0}, {0, 1, 2, 1}, {F | S, 1, 2, 0}, {F | S, 1, 1, 0}},  // neither moved
      {{F | S, 6, 6, 0}, {0, 1, 2, 1}, {F | S, 6, 6, 0}, {F | S, 6, 6, 0}},
  };
  const auto fields = [](const LinkedPair& p) { return std::tuple(p.mask, +p.first, +p.second, +p.linked); };
  for (const Case& c : cases) {
    LinkedPair change = c.change;
    syncLinkedPairKey(c.incoming, c.live, change);
    EXPECT_EQ(fields(change), fields(c.expected)) << "case " << &c - cases;
  }
}

// The KZ id of each SourceId range at its edges and just outside them.
TEST(SourceIds, KzIdAtTheEdgesOfEveryRange) {
  const std::pair<int, int> kz[] = {
      {9, KZ_BLACK},    {10, 0x1100},     {41, 0x111F},  {42, KZ_BLACK},  {137, KZ_BLACK}, {140, 0x1120},
      {141, 0x1121},    {149, KZ_BLACK},  {150, 0x11A0}, {165, 0x11AF},  {166, KZ_BLACK}, {170, 0x11C0},
      {171, 0x11C2},    {172, 0x11C1},    {173, 0x11C3}, {174, 0x11C4},  {177, 0x11C7},   {178, 0x11CC},
      {180, KZ_BLACK},  {181, 0x1180},    {182, 0x1181}, {183, KZ_BLACK}, {184, 0x1182},  {191, 0x1187},
      {201, 0x1188},    {211, 0x118F},    {220, 0x1191}, {221, 0x1192},  {222, 0x1190},   {223, KZ_BLACK},
      {230, 0x11C8},    {237, 0x11CF},    {238, KZ_BLACK}, {240, KZ_BLACK}, {314, KZ_BLACK}, {-1, KZ_BLACK}};
  for (const auto& [source, id] : kz) EXPECT_EQ(sourceToKz(source), id) << source;
  static_assert(meOfOutput(149) == -1 && meOfOutput(150) == 0 && meOfOutput(153) == 0 && meOfOutput(154) == 1 &&
                meOfOutput(165) == 3 && meOfOutput(166) == -1);
  static_assert(!isCodableSource(9) && isCodableSource(10) && isCodableSource(302) && !isCodableSource(303) &&
                !isCodableSource(313) && isCodableSource(314) && isCodableSource(329) && !isCodableSource(330));
  static_assert(linkKeyIndex(10) == 0 && linkKeyIndex(183) == -1 && linkKeyIndex(233) == 178 && linkKeyIndex(234) == -1);
}

TEST(MediaSources, KindAtTheEdgesOfEachRun) {
  const std::pair<int, int> kinds[] = {{180, -1}, {181, 13}, {182, 14}, {183, -1}, {193, -1}, {201, 13}, {211, 14}};
  for (const auto& [source, kind] : kinds) EXPECT_EQ(mediaSourceKind(source), kind) << source;
}

TEST(InputVideo, ConversionAndTallyExcludeByChannel) {
  auto& video = category::CategoryInputVideo::get();
  video.clear();
  for (int ch : {31, 32}) video.setConverted(ch, 1);
  video.setConverted(5, 2);  // out of range: dropped
  EXPECT_TRUE(video.isConverted(41));
  EXPECT_FALSE(video.isConverted(42) || video.isConverted(15));  // channel 32 is converted but is no bus source
  // 256 would wrap to 0 in a byte: dropped, not taken as "off"; channel 128 does not exist: ignored.
  video.setTallyExcluded(3, 1), video.setTallyExcluded(3, 256), video.setTallyExcluded(128, 1);
  EXPECT_EQ(video.isTallyExcluded(3) + video.isTallyExcluded(128), 1);
  EXPECT_EQ(reinterpret_cast<const u8*>(&video.record(3))[9], 1);
  video.clear();
}

TEST(MacroAttach, PressTogglesTheFlagOfItsPanelAndMe) {
  auto& macro = category::CategoryMacro::get();
  const auto press = [&](int panel, int me, int state) {
    macro.onButton({.panel = static_cast<u8>(panel), .me = static_cast<u8>(me),
                    .code = internal::KzifButtonEvent::BTN_TR_MACRO_ATTCH, .state = static_cast<u8>(state)});
  };
  macro.clear();
  press(1, 3, 1), press(1, 3, 0), press(0, 8, 1);  // a release toggles nothing; M/E byte 8 is beyond the group
  EXPECT_EQ(std::pair(macro.attached(1, 3), macro.record().mask), std::pair(1, 1u << 11));
  press(1, 3, 1);
  EXPECT_EQ(macro.attached(1, 3), 0);
  macro.clear();
}

class SourcesSimTest : public SimTest {
 protected:
  void SetUp() override { initCategoryShotMemoryStatus(); initCategoryMultiView(); SimTest::SetUp(); }
};

// The still and clip records outlive a power cycle in this process, as they do on the board: a
// blank image must still leave every media source unselected.
TEST_F(SourcesSimTest, ColdStartSelectsNoMediaSourceWhateverWasMonitoredBefore) {
  run({"send 23 00000001 02 00000012 00 01 00 00 00 00000000 00000000 00 00000000 000000 000000", "field",
       "send 23 00000000 00 00000014 00 00 01 00 01 00000000 00000000 00 00000000 000000 000000", "field",
       "send 11 00000001 02 0000003a 00 00 00 00 00 0003 00", "field",
       "send 11 00000001 02 0000003a 00 01 00 00 00 0003 00", "field"});
  ASSERT_EQ(isStillSourceSelected(187) + isStillSourceSelected(188) + isClipSourceSelected(207), 3);
  boot({});
  settle();
  for (int s = 181; s <= 211; ++s) EXPECT_EQ(isStillSourceSelected(s) + isClipSourceSelected(s), 0) << s;
}

TEST_F(SourcesSimTest, MultiViewLabelsTallyAndLevels) {
  auto& mv = category::CategoryMultiView::get();
  mv.setSourceName(174, "A very long label");
  mv.invalidateTally();
  for (int n = 0; n < category::CategoryMultiView::N_OUTPUTS; ++n) {
    const auto& out = mv.output(n);
    EXPECT_EQ(std::tuple(std::string(out.labels[174].text.chars), +out.labels[174].text.length, +out.labels[174].redraw,
                         std::string(out.labels[173].text.chars), +out.redrawRequest, +out.changeFlags),
              std::tuple("A very long ", 12, 1, "CBAR", 1, 0x80));
  }
  mv.setSourceLevel(204, 0.25f, 0.5f);
  mv.setSourceLevel(202, 0.75f, 0.75f);  // a key source carries no audio
  EXPECT_EQ(std::tuple(mv.sourceLevel(204, 0), mv.sourceLevel(204, 1), mv.sourceLevel(202, 0)),
            std::tuple(0.25f, 0.5f, 0.0f));
  // The four clip fills 201, 204, 207 and 210 carry levels; the sources either side of them none.
  for (int source : {198, 201, 207, 210, 213}) mv.setSourceLevel(source, 0.125f, 0.375f);
  for (auto [source, a, b] : {std::tuple{198, 0.0f, 0.0f}, {201, 0.125f, 0.375f}, {210, 0.125f, 0.375f}, {213, 0.0f, 0.0f}})
    EXPECT_EQ(std::pair(mv.sourceLevel(source, 0), mv.sourceLevel(source, 1)), std::pair(a, b)) << source;

  // Its messages are taken silently, and the next message is read as usual.
  const Lines out = run({"send 40 00000001 02 03", "send 29 00000001 01 00 00 00 00", "field"});
  EXPECT_EQ(only(out, "msg 29"), Lines{"msg 29 000000010100000000"});
  EXPECT_EQ(only(out, "msg 40"), Lines{});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
}

TEST_F(SourcesSimTest, ShotMemoryStatusEchoesItsChannelAndAPowerCycleClearsTheSettingsKeptOutsideTheRegistry) {
  auto& macro = category::CategoryMacro::get();
  auto& display = category::CategoryExtendedDisplay::get();
  macro.clear();
  // A macro attach press (panel 1, M/E byte 2), then a shot memory status.
  const Lines out = run({"send 92 0000 00 0000 01 02 00 0643 01 00", "send 22 00000001 0051 01", "field"});
  EXPECT_EQ(only(out, "msg 22"), (Lines{"msg 22 00000001005101"}));
  // Out of range: dropped, the channel is still reported. Channel 161: no such channel.
  EXPECT_EQ(only(run({"send 22 00000001 0051 02", "send 22 00000001 00a1 01", "send 22 00000001 00a0 01", "field"}),
                 "msg"),
            (Lines{"msg 22 00000000005101", "msg 22 0000000100a001"}));
  category::CategoryInputVideo::get().setConverted(0, 1);
  display.setEnable(1);
  // AUX mix channel 0 reported running.
  AuxMix mix;
  mix.setDuration(0, 4);
  mix.update(0, 10, 2, true);
  mix.update(0, 11, 2, true);
  auto& transitions = category::CategoryTransitionStatus::get();
  transitions.update(mix);
  ASSERT_EQ(macro.attached(1, 2) + category::CategoryShotMemoryStatus::get().isStored(81) + display.ownsOutput() +
                transitions.auxMixStatus(0),
            4);
  run({"restart resume"});
  EXPECT_EQ(macro.attached(1, 2) + category::CategoryInputVideo::get().isConverted(10) +
                category::CategoryShotMemoryStatus::get().isStored(81) + display.ownsOutput() + transitions.auxMixStatus(0),
            0);
}
