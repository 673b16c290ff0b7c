// Source helpers (edge editing, priority reordering, linked pairs, media source predicates), the
// input video and extended display settings, the multiview's label and tally state, the macro
// attach button and the shot memory status record.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Main/bp.h"
#include "Main/inputvideo.h"
#include "Main/macro.h"
#include "Main/multiview.h"
#include "Main/shotmem.h"
#include "Main/sources.h"
#include "tests/sim_fixture.h"

using Lines = std::vector<std::string>;
using Edges = std::array<i16, 4>;  // left, top, bottom, right

TEST(AdjustCropEdges, RangeRefusalPushAlongAndLinkedMirroring) {
  struct Case { int linked; Edges old, given, expected; int result; };
  const Edges o{-1000, 1000, -1000, 1000};
  const Case cases[] = {
      // One edge outside -5000..5000, even one that did not change, refuses the whole set,
      // untouched, linked or not.
      {0, o, {-200, 1000, -1000, 5001}, {-200, 1000, -1000, 5001}, 0},
      {1, o, {-200, 1000, -1000, 5001}, {-200, 1000, -1000, 5001}, 0},
      {0, {0, 0, -6000, 0}, {100, 0, -6000, 0}, {100, 0, -6000, 0}, 0},
      {0, o, {-5000, 5000, -5000, 5000}, {-5000, 5000, -5000, 5000}, 1},
      // Unlinked: a changed edge pushes its opposite along; of a pair crossed, left and top win.
      {0, o, {2000, 1000, -1000, 1000}, {2000, 1000, -1000, 2000}, 1},
      {0, o, {-1000, -2000, -1000, 1000}, {-1000, -2000, -2000, 1000}, 1},
      {0, o, {-1000, 1000, 3000, 1000}, {-1000, 3000, 3000, 1000}, 1},
      {0, o, {-1000, 1000, -1000, -3000}, {-3000, 1000, -1000, -3000}, 1},
      {0, o, {500, -500, 400, -600}, {500, -500, -500, 500}, 1},
      {0, {800, 1000, -1000, 100}, {800, 900, -1000, 100}, {800, 900, -1000, 100}, 1},  // unchanged pair stays
      // Linked: the change is mirrored (left and top when both moved), then held on its side.
      {1, o, {-2500, 1000, -1000, 1000}, {-2500, 1000, -1000, 2500}, 1},
      {1, o, {-1000, 1000, -1000, 4000}, {-4000, 1000, -1000, 4000}, 1},
      {1, o, {-1000, 1000, -3000, 1000}, {-1000, 3000, -3000, 1000}, 1},
      {1, o, {300, 1000, -1000, 1000}, {0, 1000, -1000, 0}, 1},
      {1, o, {-200, 1500, -300, 4000}, {-200, 1500, -1500, 200}, 1},
      {1, {100, -100, 100, -100}, {100, -100, 100, -100}, {0, 0, 0, 0}, 1},
  };
  for (const Case& c : cases) {
    Edges edges = c.given;
    EXPECT_EQ(adjustCropEdges(c.linked, c.old.data(), edges.data()), c.result) << "case " << &c - cases;
    EXPECT_EQ(edges, c.expected) << "case " << &c - cases;
  }
}

// A permutation in which one entry takes its target and the others keep their order is the only
// result, so checking those properties for every move of every permutation pins it down.
TEST(ReorderPriority, EveryMoveKeepsAPermutationAndTheOthersOrder) {
  std::array<int, 4> start{0, 1, 2, 3};  // priorities of entries 0..3
  do {
    for (int moved = 0; moved < 4; ++moved)
      for (int target = 0; target <= 4; ++target) {  // 4: no such priority, nothing moves
        std::array<int, 4> after{};
        for (int i = 0; i < 4; ++i) after[i] = reorderPriority(target, start[moved], start[i], moved, i);
        if (target == 4) {
          EXPECT_EQ(after, start);
          continue;
        }
        std::array<int, 4> sorted = after;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::array<int, 4>{0, 1, 2, 3}));
        EXPECT_EQ(after[moved], target);
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j)
            if (i != moved && j != moved) {
              EXPECT_EQ(start[i] < start[j], after[i] < after[j]);
            }
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
      {{F | S, 1, 2, 0}, {0, 1, 1, 1}, {F | S, 1, 2, 0}, {F | S, 2, 2, 0}},  // the one unlike the live wins
      // The change's link state wins over the live one.
      {{F | L, 2, 0, 1}, {0, 1, 0, 0}, {F | L, 2, 0, 1}, {F | S | L, 2, 2, 1}},
      {{F | L, 2, 0, 0}, {0, 1, 1, 1}, {F | L, 2, 0, 0}, {F | L, 2, 0, 0}},
  };
  const auto fields = [](const LinkedPair& p) { return std::tuple(p.mask, +p.first, +p.second, +p.linked); };
  for (const Case& c : cases) {
    LinkedPair change = c.change;
    syncLinkedPairKey(c.incoming, c.live, change);
    EXPECT_EQ(fields(change), fields(c.expected)) << "case " << &c - cases;
  }
}

TEST(MediaSources, KindAtTheEdgesOfEachRunAndNothingSelectedWithoutRecords) {
  const std::pair<int, int> kinds[] = {{180, -1}, {181, 13}, {182, 14}, {183, -1}, {190, 13}, {191, 14},
                                       {193, -1}, {194, -1}, {200, -1}, {201, 13}, {205, 14}, {210, 13},
                                       {211, 14}, {212, -1}, {213, -1}, {-1, -1}};
  for (const auto& [source, kind] : kinds) EXPECT_EQ(mediaSourceKind(source), kind) << source;
  ASSERT_TRUE(BP::instance().own(23, 0) == nullptr && BP::instance().own(11, 0) == nullptr);
  for (int s : {181, 182, 201, 202}) EXPECT_EQ(isStillSourceSelected(s) + isClipSourceSelected(s), 0) << s;
}

TEST(InputVideo, ConversionAndTallyExcludeByChannel) {
  auto& video = category::CategoryInputVideo::get();
  video.clear();
  for (int ch : {0, 31, 32}) video.setConverted(ch, 1);
  video.setConverted(5, 2);  // out of range: dropped
  EXPECT_TRUE(video.isConverted(10) && video.isConverted(41));
  EXPECT_FALSE(video.isConverted(42) || video.isConverted(15));  // channel 32 is converted but is no bus source

  video.setTallyExcluded(127, 1);
  video.setTallyExcluded(128, 1);  // no such channel: ignored
  video.setTallyExcluded(3, 1);
  video.setTallyExcluded(3, 256);  // would wrap to 0 in a byte: dropped, not taken as "off"
  EXPECT_EQ(video.isTallyExcluded(127) + video.isTallyExcluded(3), 2);
  EXPECT_EQ(video.isTallyExcluded(128), 0);
  EXPECT_EQ(reinterpret_cast<const u8*>(&video.record(3))[9], 1);
  video.clear();

  auto& display = category::CategoryExtendedDisplay::get();
  display.setEnable(5);
  EXPECT_TRUE(display.ownsOutput());
  display.setEnable(0);
  EXPECT_FALSE(display.ownsOutput());
}

TEST(MacroAttach, PressTogglesTheFlagOfItsPanelAndMe) {
  auto& macro = category::CategoryMacro::get();
  const auto button = [&](int panel, int me, int state, int code = internal::KzifButtonEvent::BTN_TR_MACRO_ATTCH) {
    macro.onButton({.panel = static_cast<u8>(panel), .me = static_cast<u8>(me), .code = static_cast<i16>(code),
                    .state = static_cast<u8>(state)});
  };
  macro.clear();
  button(1, 3, 1);
  button(1, 3, 0);  // a release toggles nothing
  EXPECT_EQ(std::pair(macro.attached(1, 3), macro.record().mask), std::pair(1, 1u << 11));
  button(1, 3, 1);
  EXPECT_EQ(macro.attached(1, 3), 0);
  button(2, 7, 1);
  EXPECT_EQ(macro.record().mask, (1u << 11) | (1u << 23));

  const KzifMacro before = macro.record();
  button(3, 0, 1);  // no such panel
  button(0, 8, 1);  // M/E byte beyond the group
  EXPECT_EQ(std::memcmp(&before, &macro.record(), sizeof before), 0);
  EXPECT_THROW(button(0, 0, 1, 1602), assert::AssertException);
  macro.clear();
}

class SourcesSimTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryShotMemoryStatus();
    initCategoryMultiView();
    SimTest::SetUp();
  }
};

TEST_F(SourcesSimTest, ShotMemoryStatusEchoesItsChannel) {
  auto& status = category::CategoryShotMemoryStatus::get();
  EXPECT_EQ(only(run({"send 22 00000001 0051 01", "field"}), "msg"), (Lines{"msg 22 00000001005101"}));
  EXPECT_EQ(status.isStored(80), 0);
  // Out of range: dropped, the channel is still reported. Channel 161: no such channel.
  EXPECT_EQ(only(run({"send 22 00000001 0051 02", "send 22 00000001 00a1 01", "send 22 00000001 00a0 01", "field"}),
                 "msg"),
            (Lines{"msg 22 00000000005101", "msg 22 0000000100a001"}));
  EXPECT_EQ(status.isStored(81) + status.isStored(160), 2);
  EXPECT_EQ(status.isStored(161), 0);
  run({"restart resume"});  // not kept across a power cycle
  EXPECT_TRUE(BP::instance().resumed());
  EXPECT_EQ(status.isStored(81), 0);
}

TEST_F(SourcesSimTest, MultiViewLabelsTallyAndLevels) {
  ASSERT_NE(dynamic_cast<category::CategoryMultiView*>(BP::instance().get(40, 0)), nullptr);
  auto& mv = category::CategoryMultiView::get();
  mv.setSourceName(174, "A very long label");
  mv.setSourceName(249, "none");
  mv.setSourceName(-1, "none");
  mv.invalidateTally();
  for (int n = 0; n < category::CategoryMultiView::N_OUTPUTS; ++n) {
    const auto& out = mv.output(n);
    const auto& label = out.labels[174];
    EXPECT_EQ(std::tuple(std::string(label.text.chars), +label.text.length, +label.redraw, +out.labels[173].redraw,
                         +out.redrawRequest, +out.changeFlags),
              std::tuple("A very long ", 12, 1, 0, 1, 0x80));
  }
  mv.setSourceName(174, nullptr);
  EXPECT_EQ(mv.output(7).labels[174].text.length, 0);

  mv.setSourceLevel(204, 0.25f, 0.5f);
  mv.setSourceLevel(202, 0.75f, 0.75f);  // a key source carries no audio
  EXPECT_EQ(std::tuple(mv.sourceLevel(204, 0), mv.sourceLevel(204, 1), mv.sourceLevel(202, 0)),
            std::tuple(0.25f, 0.5f, 0.0f));

  // Its messages are taken silently, and the next message is read as usual.
  const Lines out = run({"send 40 00000001 02 03", "send 29 00000001 05 00 00 00 00", "field"});
  EXPECT_EQ(only(out, "msg"), Lines{"msg 29 000000010500000000"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
}

TEST_F(SourcesSimTest, PowerCycleClearsTheSettingsKeptOutsideTheRegistry) {
  auto& macro = category::CategoryMacro::get();
  macro.clear();
  run({"send 92 0000 00 0000 01 02 00 0643 01 00", "field"});  // macro attach, panel 1, M/E byte 2
  category::CategoryInputVideo::get().setConverted(0, 1);
  category::CategoryExtendedDisplay::get().setEnable(1);
  ASSERT_EQ(macro.attached(1, 2), 1);
  run({"restart resume"});
  EXPECT_EQ(macro.attached(1, 2) + category::CategoryInputVideo::get().isConverted(10), 0);
  EXPECT_FALSE(category::CategoryExtendedDisplay::get().ownsOutput());
}
