// Source helpers (edge editing, priority reordering, linked pairs, media source predicates), the
// input video and extended display settings, the multiview's label and tally state, the macro
// attach button and the shot memory status record.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "Main/bp.h"
#include "Main/inputvideo.h"
#include "Main/macro.h"
#include "Main/multiview.h"
#include "Main/shotmem.h"
#include "Main/sources.h"
#include "tests/sim_fixture.h"

using Lines = std::vector<std::string>;

namespace {

using Edges = std::array<i16, 4>;  // left, top, bottom, right

// Runs adjustCropEdges and returns {result, edges after}.
std::pair<int, Edges> adjust(int linked, Edges oldEdges, Edges newEdges) {
  const int r = adjustCropEdges(linked, oldEdges.data(), newEdges.data());
  return {r, newEdges};
}

LinkedPair pair(u32 mask, int first, int second, int linked) {
  return LinkedPair{mask, static_cast<u8>(first), static_cast<u8>(second), static_cast<u8>(linked), 0};
}

internal::KzifButtonEvent button(int panel, int me, int state, int code = internal::KzifButtonEvent::BTN_TR_MACRO_ATTCH) {
  internal::KzifButtonEvent e{};
  e.panel = static_cast<u8>(panel);
  e.me = static_cast<u8>(me);
  e.code = static_cast<i16>(code);
  e.state = static_cast<u8>(state);
  return e;
}

}  // namespace

TEST(AdjustCropEdges, UnlinkedChangedEdgePushesItsOppositeAlong) {
  const Edges old{-1000, 1000, -1000, 1000};
  // One edge outside -5000..5000 refuses the whole set, untouched, linked or not.
  for (int linked : {0, 1}) {
    EXPECT_EQ(adjust(linked, old, {-200, 1000, -1000, 5001}), std::make_pair(0, Edges{-200, 1000, -1000, 5001}));
    EXPECT_EQ(adjust(linked, old, {-5000, 5000, -5000, 5000}).first, 1);
  }
  EXPECT_EQ(adjust(0, old, {2000, 1000, -1000, 1000}).second, (Edges{2000, 1000, -1000, 2000}));
  EXPECT_EQ(adjust(0, old, {-1000, -2000, -1000, 1000}).second, (Edges{-1000, -2000, -2000, 1000}));
  EXPECT_EQ(adjust(0, old, {-1000, 1000, 3000, 1000}).second, (Edges{-1000, 3000, 3000, 1000}));
  EXPECT_EQ(adjust(0, old, {-1000, 1000, -1000, -3000}).second, (Edges{-3000, 1000, -1000, -3000}));
  // Both of a pair moved across each other: left and top win.
  EXPECT_EQ(adjust(0, old, {500, -500, 400, -600}).second, (Edges{500, -500, -500, 500}));
  // An unchanged pair already crossed stays as given.
  EXPECT_EQ(adjust(0, {800, 1000, -1000, 100}, {800, 900, -1000, 100}).second, (Edges{800, 900, -1000, 100}));
}

TEST(AdjustCropEdges, LinkedChangeIsMirroredThenKeptOnItsSide) {
  const Edges old{-1000, 1000, -1000, 1000};
  EXPECT_EQ(adjust(1, old, {-2500, 1000, -1000, 1000}).second, (Edges{-2500, 1000, -1000, 2500}));
  EXPECT_EQ(adjust(1, old, {-1000, 1000, -1000, 4000}).second, (Edges{-4000, 1000, -1000, 4000}));
  EXPECT_EQ(adjust(1, old, {-1000, 1000, -3000, 1000}).second, (Edges{-1000, 3000, -3000, 1000}));
  // A left edge past the centre mirrors to a right edge before it: both held at the centre.
  EXPECT_EQ(adjust(1, old, {300, 1000, -1000, 1000}).second, (Edges{0, 1000, -1000, 0}));
  // Both of a pair changed: left and top are mirrored.
  EXPECT_EQ(adjust(1, old, {-200, 1500, -300, 4000}).second, (Edges{-200, 1500, -1500, 200}));
  // Unchanged edges on the wrong side are still held.
  EXPECT_EQ(adjust(1, {100, -100, 100, -100}, {100, -100, 100, -100}).second, (Edges{0, 0, 0, 0}));
}

TEST(ReorderPriority, EveryMoveKeepsAPermutationAndTheOthersOrder) {
  std::array<int, 4> start{0, 1, 2, 3};
  do {
    for (int moved = 0; moved < 4; ++moved)
      for (int target = 0; target < 4; ++target) {
        std::array<int, 4> after{};
        for (int i = 0; i < 4; ++i) after[i] = reorderPriority(target, start[moved], start[i], moved, i);
        std::array<int, 4> sorted = after;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, (std::array<int, 4>{0, 1, 2, 3})) << "moved " << moved << " to " << target;
        EXPECT_EQ(after[moved], target);
        EXPECT_EQ(reorderPriority(4, start[moved], start[0], moved, 0), start[0]);  // no such priority
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j)
            if (i != moved && j != moved && start[i] < start[j]) {
              EXPECT_LT(after[i], after[j]);
            }
      }
  } while (std::next_permutation(start.begin(), start.end()));
}

TEST(SyncLinkedPairKey, WhileLinkedAChangeIsCopiedIntoTheOther) {
  const LinkedPair live = pair(0, 1, 1, 1);
  LinkedPair change = pair(LinkedPair::FIRST, 3, 0, 0);
  syncLinkedPairKey(pair(LinkedPair::FIRST, 3, 0, 0), live, change);
  EXPECT_EQ(change.mask, LinkedPair::FIRST | LinkedPair::SECOND);
  EXPECT_EQ(change.second, 3);

  change = pair(LinkedPair::SECOND, 0, 2, 0);
  syncLinkedPairKey(pair(LinkedPair::SECOND | LinkedPair::FIRST, 9, 2, 0), live, change);  // first dropped
  EXPECT_EQ(change.first, 2);
  EXPECT_EQ(change.mask, LinkedPair::FIRST | LinkedPair::SECOND);

  // Both sent: the one that differs from the live value is the change.
  change = pair(LinkedPair::FIRST | LinkedPair::SECOND, 1, 2, 0);
  syncLinkedPairKey(change, live, change);
  EXPECT_EQ(change.first, 2);

  // The change's link state wins over the live one.
  change = pair(LinkedPair::FIRST | LinkedPair::LINKED, 2, 0, 1);
  syncLinkedPairKey(change, pair(0, 1, 0, 0), change);
  EXPECT_EQ(change.second, 2);

  change = pair(LinkedPair::FIRST | LinkedPair::LINKED, 2, 0, 0);
  syncLinkedPairKey(change, pair(0, 1, 1, 1), change);
  EXPECT_EQ(change.mask, LinkedPair::FIRST | LinkedPair::LINKED);
  EXPECT_EQ(change.second, 0);
}

TEST(MediaSources, KindOfEveryStillAndClipSource) {
  for (int s = 0; s < 300; ++s) {
    int expected = -1;
    for (int n = 0; n < 4; ++n) {
      if (s == 181 + 3 * n || s == 201 + 3 * n) expected = 13;
      if (s == 182 + 3 * n || s == 202 + 3 * n) expected = 14;
    }
    EXPECT_EQ(mediaSourceKind(s), expected) << s;
  }
}

TEST(MediaSources, NothingSelectedWhileNoStillOrClipRecordIsRegistered) {
  ASSERT_TRUE(BP::instance().own(23, 0) == nullptr && BP::instance().own(11, 0) == nullptr);
  for (int s = 170; s < 220; ++s) {
    EXPECT_EQ(isStillSourceSelected(s), 0);
    EXPECT_EQ(isClipSourceSelected(s), 0);
  }
}

TEST(InputVideo, ConversionAndTallyExcludeByChannel) {
  auto& video = category::CategoryInputVideo::get();
  video.clear();
  for (int ch : {0, 31, 32}) video.setConverted(ch, 1);
  video.setConverted(5, 2);  // out of range: dropped
  EXPECT_NE(video.isConverted(10), 0);
  EXPECT_NE(video.isConverted(41), 0);
  EXPECT_EQ(video.isConverted(42), 0);  // channel 32 is converted but is no bus source
  EXPECT_EQ(video.isConverted(15), 0);

  video.setTallyExcluded(127, 1);
  video.setTallyExcluded(128, 1);  // no such channel: ignored
  video.setTallyExcluded(3, 256);  // would wrap to 0 in a byte: dropped, not taken as "off"
  video.setTallyExcluded(3, 1);
  video.setTallyExcluded(3, 256);
  EXPECT_EQ(video.isTallyExcluded(127), 1);
  EXPECT_EQ(video.isTallyExcluded(3), 1);
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
  macro.clear();
  macro.onButton(button(1, 3, 1));
  EXPECT_EQ(macro.attached(1, 3), 1);
  EXPECT_EQ(macro.record().mask, 1u << 11);
  macro.onButton(button(1, 3, 0));  // release
  EXPECT_EQ(macro.attached(1, 3), 1);
  macro.onButton(button(1, 3, 1));
  EXPECT_EQ(macro.attached(1, 3), 0);
  macro.onButton(button(2, 7, 1));
  EXPECT_EQ(macro.record().mask, (1u << 11) | (1u << 23));

  const KzifMacro before = macro.record();
  macro.onButton(button(3, 0, 1));  // no such panel
  macro.onButton(button(0, 8, 1));  // M/E byte beyond the group
  EXPECT_EQ(std::memcmp(&before, &macro.record(), sizeof before), 0);

  EXPECT_THROW(macro.onButton(button(0, 0, 1, 1602)), assert::AssertException);
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
  EXPECT_EQ(status.isStored(81), 1);
  EXPECT_EQ(status.isStored(80), 0);
  // Out of range: dropped, the channel is still reported. Channel 161: no such channel.
  EXPECT_EQ(only(run({"send 22 00000001 0051 02", "send 22 00000001 00a1 01", "send 22 00000001 00a0 01", "field"}),
                 "msg"),
            (Lines{"msg 22 00000000005101", "msg 22 0000000100a001"}));
  EXPECT_EQ(status.isStored(81), 1);
  EXPECT_EQ(status.isStored(160), 1);
  EXPECT_EQ(status.isStored(161), 0);
  // Not kept across a power cycle.
  run({"restart resume"});
  EXPECT_TRUE(BP::instance().resumed());
  EXPECT_EQ(status.isStored(81), 0);
}

TEST_F(SourcesSimTest, MultiViewLabelsTallyAndLevels) {
  ASSERT_NE(dynamic_cast<category::CategoryMultiView*>(BP::instance().get(40, 0)), nullptr);
  auto& mv = category::CategoryMultiView::get();
  mv.setSourceName(174, "A very long label");
  mv.setSourceName(249, "none");
  mv.setSourceName(-1, "none");
  for (int n = 0; n < category::CategoryMultiView::N_OUTPUTS; ++n) {
    const auto& label = mv.output(n).labels[174];
    EXPECT_EQ(std::string(label.text.chars), "A very long ");
    EXPECT_EQ(label.text.length, 12);
    EXPECT_EQ(label.redraw, 1);
    EXPECT_EQ(mv.output(n).labels[173].redraw, 0);
  }
  mv.setSourceName(174, nullptr);
  EXPECT_EQ(mv.output(7).labels[174].text.length, 0);

  mv.invalidateTally();
  for (int n = 0; n < category::CategoryMultiView::N_OUTPUTS; ++n) {
    EXPECT_EQ(mv.output(n).redrawRequest, 1);
    EXPECT_EQ(mv.output(n).changeFlags, 0x80);
  }

  mv.setSourceLevel(204, 0.25f, 0.5f);
  mv.setSourceLevel(202, 0.75f, 0.75f);  // a key source carries no audio
  EXPECT_EQ(mv.sourceLevel(204, 0), 0.25f);
  EXPECT_EQ(mv.sourceLevel(204, 1), 0.5f);
  EXPECT_EQ(mv.sourceLevel(202, 0), 0.0f);

  // Its messages are taken silently, and the next message is read as usual.
  const Lines out = run({"send 40 00000001 02 03", "send 29 00000001 05 00 00 00 00", "field"});
  EXPECT_EQ(only(out, "msg"), Lines{"msg 29 000000010500000000"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
}
