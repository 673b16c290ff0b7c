// The transition step and the fader event table: run lengths, end flags, cuts, the table index
// guards, the fader pick-up hold, link release, calibration reset and watched buttons.
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Main/autotrans.h"
#include "Main/faderevent.h"
#include "tests/sim_fixture.h"

using category::CategoryFaderEvent;

namespace {

// Steps a run until it stops: {steps taken, position, end flag}.
std::tuple<int, float, int> finish(AutoTransition& t) {
  int n = 0;
  for (; t.state == AutoTransition::STATE_RUNNING && n < 100000; ++n) t.step();
  return {n, t.position(), t.endFlag};
}

}  // namespace

// Rates whose 1/rate does not add up to exactly 1 (12, 19, 49) or back to 0 in float must not
// cost an extra field.
TEST(AutoTransitionTest, RunsTakeExactlyTheirRateAndOnlyForwardRunsFlipTheEndFlag) {
  for (int rate : {1, 2, 3, 12, 19, 30, 49, 299, 999}) {
    AutoTransition t;
    t.start(rate, 1);
    EXPECT_EQ(finish(t), std::tuple(rate, 0.0f, -1)) << rate;
  }
  AutoTransition t;
  t.start(0, 1), t.step(), t.start(0, 1);  // rate 0: done at the first step, back to +1 on the second run
  EXPECT_EQ(finish(t), std::tuple(1, 0.0f, 1));
  t.positionA = 0.5f;  // backwards from halfway: five fields of ten
  t.start(10, -1);
  EXPECT_EQ(finish(t), std::tuple(5, 0.0f, 1));
  t.returnMode = 1, t.start(4, 1);
  EXPECT_EQ(finish(t), std::tuple(4, 1.0f, 1));  // rests at the top
  AutoTransition fade;  // turned back after three fields of ten: three fields to return
  fade.start(10, 1), fade.step(), fade.step(), fade.step(), fade.reverse();
  EXPECT_EQ(finish(fade), std::tuple(3, 0.0f, 1));
  AutoTransition odd;  // a position written as NaN still lets the run end
  odd.positionA = std::nanf(""), odd.start(2, 1);
  EXPECT_EQ(std::get<0>(finish(odd)), 2);
}

TEST(AutoTransitionTest, OnlyRunningAndCutEntriesMove) {
  for (int state : {AutoTransition::STATE_IDLE, AutoTransition::STATE_PAUSED, AutoTransition::STATE_RAMP}) {
    AutoTransition t{.state = state, .positionA = 0.4f};
    t.step();
    EXPECT_EQ(std::pair(t.position(), t.state), std::pair(0.4f, state));
  }
  AutoTransition forward{.positionA = 0.4f}, backward{.direction = -1, .positionA = 0.4f};
  forward.cut(), backward.cut(), forward.step(), backward.step();  // as if 1.0 had been reached
  EXPECT_EQ(std::tuple(forward.state, forward.position(), forward.endFlag), std::tuple(0, 0.0f, -1));
  EXPECT_EQ(std::tuple(backward.state, backward.position(), backward.endFlag), std::tuple(0, 0.0f, 1));
  backward.start(-4, 1);
  EXPECT_EQ(std::pair(backward.rate, backward.direction), std::pair(0, 1));
}

class FaderEventTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryFaderEvent();
    SimTest::SetUp();
  }
  CategoryFaderEvent& fe = CategoryFaderEvent::get();
  void ownAll(i32 owner) {
    for (int i = 0; i < N_AUTO_TRANSITIONS; ++i) fe.link(i).owner = owner;
  }
};

TEST_F(FaderEventTest, TableIndexesAndTheirGuards) {
  EXPECT_EQ(std::tuple(keyTransIndex(0, 0), keyTransIndex(3, 3), keySubTransIndex(3, 3)), std::tuple(1, 19, 39));
  EXPECT_THROW(keyTransIndex(4, 0), assert::AssertException);
  EXPECT_THROW(keyTransIndex(0, -1), assert::AssertException);
  EXPECT_THROW(fe.transition(N_AUTO_TRANSITIONS), assert::AssertException);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "log [ERR] Assertion failed: Main/autotrans.h(186) 0 <= me && me < N_ME");
  EXPECT_EQ(lines[1], "log [ERR] Assertion failed: Main/autotrans.h(187) 0 <= ch && ch < KzifKey::N_CHANNELS");
}

TEST_F(FaderEventTest, EveryEntryStepsOncePerFieldAndTheMessageIsTaken) {
  fe.transition(bkgdTransIndex[1]).start(3, 1), fe.transition(keyTransIndex(2, 1)).start(3, 1);
  // The body is consumed whole: the record behind it is read in step.
  const Lines out = run({"send 93 0102030405", "send 29 00000001 04 00 00 00 00", "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
  EXPECT_EQ(only(out, "msg 29"), Lines{"msg 29 000000010400000000"});  // the keyer's own report aside
  for (int i : {5, 12}) EXPECT_FLOAT_EQ(fe.transition(i).position(), 1.0f / 3.0f) << i;
  EXPECT_EQ(fe.isBkgdTransAtEnd(1), 0);
  run({"field 2"});
  EXPECT_EQ(std::pair(fe.transition(5).endFlag, fe.isBkgdTransAtEnd(1)), std::pair(-1, 1));
  // Paused halfway or a cut pending at 0 is not at an end; nor is an M/E out of range.
  fe.transition(0).positionA = 0.5f, fe.transition(0).state = AutoTransition::STATE_PAUSED, fe.transition(10).cut();
  EXPECT_EQ(fe.isBkgdTransAtEnd(0) + fe.isBkgdTransAtEnd(2) + fe.isBkgdTransAtEnd(4) + fe.isBkgdTransAtEnd(-1), 0);
  EXPECT_EQ(fe.isBkgdTransAtEnd(3), 1);
}

TEST_F(FaderEventTest, ReleasedFaderIsHeldForSixteenTicksAndKeyReleaseSparesBackgrounds) {
  ownAll(7);
  EXPECT_FALSE(fe.releaseFader(3, 0) || fe.releaseFader(0, 4));
  EXPECT_EQ(lines, Lines{});  // refused without an assertion
  EXPECT_TRUE(fe.releaseFader(1, 1));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(fe.link(i).owner, i >= 5 && i <= 9 ? -1 : 7) << i;
  EXPECT_TRUE(fe.faderHeld(1) && !fe.faderHeld(0));
  for (const auto& [ticks, held] : {std::pair("tick 15", true), {"tick", false}})
    EXPECT_EQ((run({ticks}), fe.faderHeld(1)), held) << ticks;

  ownAll(7);
  fe.releaseKeyFaderLinks();
  for (int i = 0; i < N_AUTO_TRANSITIONS; ++i)  // keys (every entry of 1..19 but the backgrounds) and DSKs 20..23
    EXPECT_EQ(fe.link(i).owner, i < 24 && (i >= 20 || i % 5 != 0) ? -1 : 7) << i;
  // The system initial command frees every link, backgrounds included, whatever its body.
  fe.link(83).pickUpLevel = 0.5f;
  EXPECT_EQ(only(run({"send 72 01", "field"}), "log [ERR]"), Lines{});
  for (int i = 0; i < N_AUTO_TRANSITIONS; ++i) EXPECT_EQ(fe.link(i).owner, -1) << i;
  EXPECT_EQ(fe.link(83).pickUpLevel, 0.0f);
}

TEST_F(FaderEventTest, CalibrationResetTouchesOnlyItsPanel) {
  auto value = [&](int p, int k) { return std::pair(+fe.calibration(p, k).first, +fe.calibration(p, k).second); };
  for (int p = 0; p < 3; ++p)
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(value(p, k), std::pair(2555, 1533));
      fe.setCalibration(p, k, {static_cast<u16>(100 + k), 9});
    }
  EXPECT_FALSE(fe.resetCalibration(3, 0));
  EXPECT_TRUE(fe.resetCalibration(1, 2));
  for (int p = 0; p < 3; ++p)
    for (int k = 0; k < 4; ++k) EXPECT_EQ(value(p, k), p == 1 ? std::pair(2555, 1533) : std::pair(100 + k, 9));
}

TEST_F(FaderEventTest, PressMarksTheWatchEntriesOfItsMeOnly) {
  for (int me = 0; me < N_ME; ++me)
    for (int s = 0; s < CategoryFaderEvent::N_BUTTON_WATCHES; ++s) fe.watchButton(me, s, -1);
  EXPECT_TRUE(fe.watchButton(2, 0, 1700) && fe.watchButton(2, 5, 1700) && fe.watchButton(2, 1, 3100) &&
              fe.watchButton(1, 0, 1700));
  EXPECT_FALSE(fe.watchButton(4, 0, 1700));
  // A release marks nothing, nor a panel above 2; empty entries watch nothing.
  for (const auto& [panel, code, state] : {std::tuple(0, 3100, 0), {3, 3100, 1}, {2, 1700, 1}, {2, -1, 1}})
    fe.markButton({.panel = static_cast<u8>(panel), .me = 2, .code = static_cast<i16>(code),
                   .state = static_cast<u8>(state)});
  EXPECT_TRUE(fe.buttonPressed(2, 0) && fe.buttonPressed(2, 5));
  EXPECT_FALSE(fe.buttonPressed(2, 1) || fe.buttonPressed(1, 0) || fe.buttonPressed(2, 2));
  fe.clearButtonPress(2, 0);
  EXPECT_TRUE(!fe.buttonPressed(2, 0) && fe.buttonPressed(2, 5));
}
