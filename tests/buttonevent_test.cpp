// Panel button events through the wire: which fields may dispatch, the queue between them, the
// burst at 60, and the dispatch table's order.
#include <array>
#include <cstdio>
#include <tuple>

#include "Main/buttonevent.h"
#include "tests/sim_fixture.h"

namespace {

using Call = std::tuple<int, int, int>;  // dispatch step, M/E, code
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
  // 720-line formats (4, 5) dispatch in every field, whatever the selection; others: selection 0
  // every field, 1 after parity 0 only, any other value after parity 1 only.
  struct Case { int format, selection, parity; bool atOnce; };
  for (const Case c : {Case{4, 2, 0, true}, Case{4, 2, 1, true}, Case{5, 1, 1, true}, Case{0, 0, 0, true},
                       Case{0, 0, 1, true}, Case{0, 1, 0, true}, Case{0, 1, 1, false}, Case{0, 2, 0, false},
                       Case{0, 2, 1, true}, Case{0, 7, 1, true}}) {
    format(c.format, c.selection);
    fieldOfParity(c.parity);
    calls.clear();
    press(0, 1100);
    run({"field"});
    EXPECT_EQ(!calls.empty(), c.atOnce) << c.format << " " << c.selection << " " << c.parity;
    run({"field 2"});
  }
}

TEST_F(ButtonEventTest, BurstAtSixtyDispatchesEverythingAndLosesNothing) {
  format(2, 0);
  fieldOfParity(1);
  calls.clear();
  std::vector<Call> pressed;
  for (int i = 0; i < 61; ++i) {
    press(0, 1100 + i);
    pressed.emplace_back(4, 0, 1100 + i);
  }
  const auto out = run({"hw parity 0", "field"});
  EXPECT_EQ(only(out, "log [ERR]"), std::vector<std::string>{"log [ERR] button event buffer full"});
  EXPECT_EQ(calls, std::vector<Call>(pressed.begin(), pressed.end() - 1));
  EXPECT_EQ(category::CategoryButtonEvent::get().queue().count(), 1);
  run({"hw parity 1", "field"});
  EXPECT_EQ(calls, pressed);
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
  // The edges of the other ranges, each against its first outside neighbour.
  for (int code : {1099, 1291, 1292, 1296, 1297, 1807, 1808, 1839, 1840, 2049, 2053, 2054, 3101, 3102}) press(3, code);
  run({"send 92 0000 00 0000 00 00 00 0454 01"});  // a body cut short is no event
  run({"field"});
  const std::vector<Call> expected = {{6, 2, 1700}, {7, 2, 1700},  {1, 0, 3000},  {1, 1, 3000}, {1, 2, 3000},
                                      {1, 3, 3000}, {6, 1, 2100},  {7, 1, 2100},  {6, 1, 2104}, {6, 0, 1603},
                                      {8, 0, 1603}, {4, 3, 1291},  {5, 3, 1296},  {6, 3, 1807}, {7, 3, 1807},
                                      {6, 3, 1808}, {6, 3, 1839},  {10, 3, 2053}, {9, 3, 3101}};
  EXPECT_EQ(calls, expected);

  // And the other side of each edge: the first code in, or the last one out.
  calls.clear();
  for (int code : {1100, 1294, 1295, 1599, 1600, 1699, 1707, 1708, 1799, 1800, 2099, 2103, 2139, 2140, 2050, 3099, 3100})
    press(3, code);
  run({"field"});
  const std::vector<Call> inside = {{4, 3, 1100}, {5, 3, 1295}, {6, 3, 1600}, {6, 3, 1699}, {6, 3, 1707},
                                    {7, 3, 1707}, {6, 3, 1708}, {6, 3, 1799}, {6, 3, 1800}, {7, 3, 1800},
                                    {6, 3, 2103}, {7, 3, 2103}, {6, 3, 2139}, {10, 3, 2050}, {9, 3, 3100}};
  EXPECT_EQ(calls, inside);
}

TEST_F(ButtonEventTest, SystemButtonsReachTheSystemFromAnyRow) {
  run({"field"});
  const std::string a = event(1, 9, 2006, 1), b = event(1, 9, 2006, 0), c = event(2, 9, 2013, 1);
  const auto out = run({a.c_str(), "field", b.c_str(), c.c_str(), "field"});
  EXPECT_EQ(only(out, "msg 29"),
            (std::vector<std::string>{"msg 29 000000040000010000", "msg 29 000000080000010100"}));
}

TEST(ButtonLatchTest, PressHoldAndClearPerPanelForItsCodeOnly) {
  ButtonLatch latch{2006, {0, 0, 0}, {0, 0, 0}};
  const auto update = [&](int panel, int code, int state) {
    latch.update({.panel = static_cast<u8>(panel), .code = static_cast<i16>(code), .state = static_cast<u8>(state)});
  };
  update(1, 2006, 1);
  update(2, 2006, 1);
  update(1, 2006, 0);  // release: held goes, the press stays until cleared
  update(3, 2006, 1);  // no such panel
  update(0, 2013, 1);  // another button
  EXPECT_EQ(std::to_array(latch.pressed), (std::array<u8, 3>{0, 1, 1}));
  EXPECT_EQ(std::to_array(latch.held), (std::array<u8, 3>{0, 0, 1}));
  latch.clear();
  EXPECT_EQ(std::to_array(latch.pressed), (std::array<u8, 3>{0, 0, 0}));
  EXPECT_EQ(std::to_array(latch.held), (std::array<u8, 3>{0, 0, 1}));
}
