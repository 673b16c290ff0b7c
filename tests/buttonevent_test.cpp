// Panel button events through the wire: which fields may dispatch, the queue between them, the
// burst at 60, and the dispatch table's order.
#include <cstdio>

#include "Main/buttonevent.h"
#include "tests/sim_fixture.h"

namespace {

struct Call {
  int step;
  int me;
  int code;
  bool operator==(const Call&) const = default;
};
std::vector<Call> calls;

std::string event(int panel, int me, int code, int state) {
  char line[96];
  std::snprintf(line, sizeof line, "send 92 0000 00 0000 %02x %02x 00 %04x %02x 00", panel, me, code & 0xffff, state);
  return line;
}

class ButtonEventTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    calls.clear();
    category::CategoryButtonEvent::setDispatchObserver(
        [](int step, int me, const internal::KzifButtonEvent& e) { calls.push_back({step, me, e.code}); });
  }
  void TearDown() override {
    category::CategoryButtonEvent::setDispatchObserver(nullptr);
    SimTest::TearDown();
  }
  void press(int me, int code) { ASSERT_TRUE(runner->execute(event(0, me, code, 1))); }
  // Sets the video format and field selection, then runs a field of the given parity.
  void format(int f, int selection) {
    char line[64];
    std::snprintf(line, sizeof line, "send 29 00000011 %02x 00 00 00 %02x", f, selection);
    run({line, "field"});
  }
  void fieldOfParity(int parity) { run({parity ? "hw parity 1" : "hw parity 0", "field"}); }
};

}  // namespace

TEST_F(ButtonEventTest, FirstFieldHoldsEventsUntilTheNextOne) {
  boot({});
  press(0, 1100);
  run({"field"});
  EXPECT_TRUE(calls.empty());  // nothing may dispatch before the first field has decided
  run({"field"});
  EXPECT_EQ(calls, (std::vector<Call>{{4, 0, 1100}}));
}

TEST_F(ButtonEventTest, InterlacedFormatsDispatchOnlyAfterAFieldOfParityZero) {
  for (int f : {2, 3, 8, 9}) {
    format(f, 0);
    fieldOfParity(1);
    calls.clear();
    press(1, 1101);
    fieldOfParity(0);  // disabled after the parity-1 field: queued
    EXPECT_TRUE(calls.empty()) << f;
    fieldOfParity(1);  // the drain at its start hands it out
    EXPECT_EQ(calls, (std::vector<Call>{{4, 1, 1101}})) << f;
    fieldOfParity(0);
    calls.clear();
    press(1, 1102);
    fieldOfParity(1);  // enabled after the parity-0 field: at once
    EXPECT_EQ(calls.size(), 1u) << f;
  }
}

TEST_F(ButtonEventTest, FieldSelectionGovernsProgressiveFormats) {
  // 720-line formats dispatch in every field, whatever the selection.
  for (int f : {4, 5}) {
    format(f, 2);
    for (int parity : {0, 1}) {
      fieldOfParity(parity);
      calls.clear();
      press(0, 1100);
      run({"field"});
      EXPECT_EQ(calls.size(), 1u) << f << " " << parity;
    }
  }
  // Others: selection 0 every field, 1 after parity 0 only, any other value after parity 1 only.
  struct Case {
    int selection, parity;
    bool atOnce;
  };
  for (const Case c : {Case{0, 0, true}, Case{0, 1, true}, Case{1, 0, true}, Case{1, 1, false}, Case{2, 0, false},
                       Case{2, 1, true}, Case{7, 1, true}}) {
    format(0, c.selection);
    fieldOfParity(c.parity);
    calls.clear();
    press(0, 1100);
    run({"field"});
    EXPECT_EQ(!calls.empty(), c.atOnce) << c.selection << " " << c.parity;
    run({"field 2"});
  }
}

TEST_F(ButtonEventTest, BurstAtSixtyDispatchesEverythingAndLosesNothing) {
  format(2, 0);
  fieldOfParity(1);
  calls.clear();
  for (int i = 0; i < 61; ++i) press(0, 1100 + i);
  const auto out = run({"hw parity 0", "field"});
  EXPECT_EQ(only(out, "log [ERR]"), std::vector<std::string>{"log [ERR] button event buffer full"});
  ASSERT_EQ(calls.size(), 60u);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(calls[static_cast<std::size_t>(i)].code, 1100 + i);
  EXPECT_EQ(category::CategoryButtonEvent::get().queue().count(), 1);
  run({"hw parity 1", "field"});
  ASSERT_EQ(calls.size(), 61u);
  EXPECT_EQ(calls.back().code, 1160);
}

TEST_F(ButtonEventTest, DispatchTableOrderAndMeRules) {
  run({"field"});
  calls.clear();
  press(2, 1700);  // background row: steps 6 then 7
  press(7, 3000);  // every M/E, whatever the M/E byte
  press(4, 1100);  // no M/E row: nothing
  press(1, 2100);  // steps 6 and 7
  press(1, 2104);  // step 6 only
  press(0, 1603);  // step 6, then the macro attach
  press(3, -1);    // no range
  run({"field"});
  const std::vector<Call> expected = {{6, 2, 1700}, {7, 2, 1700}, {1, 0, 3000}, {1, 1, 3000}, {1, 2, 3000},
                                      {1, 3, 3000}, {6, 1, 2100}, {7, 1, 2100}, {6, 1, 2104}, {6, 0, 1603},
                                      {8, 0, 1603}};
  EXPECT_EQ(calls, expected);
}

TEST_F(ButtonEventTest, SystemButtonsReachTheSystemFromAnyRow) {
  run({"field"});
  const std::string a = event(1, 9, 2006, 1), b = event(1, 9, 2006, 0), c = event(2, 9, 2013, 1);
  const auto out = run({a.c_str(), "field", b.c_str(), c.c_str(), "field"});
  EXPECT_EQ(only(out, "msg 29"),
            (std::vector<std::string>{"msg 29 000000040000010000", "msg 29 000000080000010100"}));
}

TEST_F(ButtonEventTest, ShortBodyIsNoEvent) {
  run({"field"});
  calls.clear();
  run({"send 92 0000 00 0000 00 00 00 0454 01", "field"});
  EXPECT_TRUE(calls.empty());
}

TEST(ButtonLatchTest, PressHoldAndClearPerPanel) {
  ButtonLatch latch{2006, {0, 0, 0}, {0, 0, 0}};
  internal::KzifButtonEvent e{};
  e.code = 2006;
  e.panel = 1;
  e.state = 1;
  latch.update(e);
  EXPECT_EQ(latch.pressed[1] + latch.held[1], 2);
  e.state = 0;
  latch.update(e);
  EXPECT_EQ(latch.held[1], 0);
  EXPECT_EQ(latch.pressed[1], 1);
  latch.clear();
  EXPECT_EQ(latch.pressed[1], 0);
  e.state = 1;
  e.panel = 3;  // no such panel
  latch.update(e);
  e.panel = 0;
  e.code = 2013;  // another button
  latch.update(e);
  EXPECT_EQ(latch.pressed[0] + latch.held[0], 0);
}
