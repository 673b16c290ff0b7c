// Peripheral settings through the wire: the validity of tally outputs by group, the tally mode
// reaching the hardware and its accessor, the multiview told of group changes, and the restore.
#include <string>

#include "Main/bp.h"
#include "Main/multiview.h"
#include "Main/peripheral.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

using category::CategoryPeripheral;

namespace {

class PeripheralTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  static std::string zeros(int n) { return std::string(static_cast<std::size_t>(2 * n), '0'); }
  // Sends `send` (none when empty), takes it and runs the peripheral's update alone on a multiview with
  // nothing pending, then the rest of the field; `redraw` tells whether that update asked every
  // output to draw its tally borders again. The lines of the whole field come back.
  Lines fieldAskingRedraw(const std::string& send, bool& redraw) {
    if (!send.empty()) run({send.c_str()});
    lines.clear();
    BP::instance().receiveAll();
    auto& mv = category::CategoryMultiView::get();
    mv.initInternal();
    CategoryPeripheral::get().update();
    int asked = 0;
    for (int n = 0; n < category::CategoryMultiView::N_OUTPUTS; ++n) {
      const auto& out = mv.output(n);
      asked += out.redrawRequest == 1 && out.changeFlags == category::CategoryMultiView::TALLY_CHANGED ? 1 : 0;
    }
    EXPECT_TRUE(asked == 0 || asked == category::CategoryMultiView::N_OUTPUTS) << asked;
    redraw = asked != 0;
    Lines all = lines;
    const Lines rest = run({"field"});
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  }
};

}  // namespace

TEST(TallyOutputs, ValidityByGroup) {
  for (int group = 0; group < 4; ++group) {
    for (int code : {0, 1, 3, 4, 6, 13, 14, 17, 20, 21, 36}) EXPECT_TRUE(isValidTallyOutput(group, code)) << code;
    for (int code : {7, 8, 12, 37, -1, 0x7FFF}) EXPECT_FALSE(isValidTallyOutput(group, code)) << code;
    for (int code : {2, 5, 15, 16}) EXPECT_EQ(isValidTallyOutput(group, code), group != 0) << code;
  }
}

TEST_F(PeripheralTest, RecordIsCheckedFieldByFieldAndTheModeReachesTheHardware) {
  const std::string in = "00000005" + zeros(4) + "00" + "01" + "00" + "00" +       // spareFlag refused
                         "00000003" + "0002" + "0001" + zeros(12) + "0000" +         // preview in group 0
                         "00000001" + "0002" + zeros(14) + "0000" +                  // preview in group 1
                         "00000100" + zeros(16) + "04" + "00" +                      // colour 4
                         "00000200" + zeros(16) + "00" + "05";                       // indication off 5
  const std::string out = "00000004" + zeros(4) + "00" + "00" + "00" + "00" +
                          "00000002" + "0000" + "0001" + zeros(12) + "0000" +
                          "00000001" + "0002" + zeros(14) + "0000" +
                          "00000000" + zeros(16) + "00" + "00" +
                          "00000200" + zeros(16) + "00" + "01";
  bool redraw = false;
  const Lines lines = fieldAskingRedraw("send 28 " + in, redraw);
  EXPECT_EQ(only(lines, "msg 28"), Lines{"msg 28 " + out});
  EXPECT_EQ(only(lines, "drv setPeripheralTally"), Lines{"drv setPeripheralTally 0x11c0 1"});
  EXPECT_TRUE(redraw);
  const auto& p = CategoryPeripheral::get();
  EXPECT_EQ(p.tallyGroup(1).output[0], 2);
  EXPECT_EQ(p.tallyGroup(3).indicationOff, 1);
  EXPECT_EQ(p.tallyMode(), 0);

  // Mode 1 writes 0; mode 2 is refused and still echoed; external tally alone drives nothing.
  const std::string mode1 = "send 28 00000004" + zeros(4) + "00000001" + zeros(88);
  const std::string mode2 = "send 28 00000006" + zeros(4) + "00000102" + zeros(88);
  EXPECT_EQ(only(run({mode1.c_str(), "field"}), "drv setPeripheralTally"), Lines{"drv setPeripheralTally 0x11c0 0"});
  EXPECT_EQ(p.tallyMode(), 1);
  const Lines refused = run({mode2.c_str(), "field"});
  EXPECT_TRUE(only(refused, "drv setPeripheralTally").empty());
  EXPECT_EQ(only(refused, "msg").size(), 1u);
  EXPECT_EQ(p.tallyMode(), 1);
  EXPECT_TRUE(p.externalTally());
  EXPECT_TRUE(only(run({"field 2"}), "drv setPeripheralTally").empty());  // once per change, not every field
}

TEST_F(PeripheralTest, ResumeDrivesTheStoredModeAndSendsEveryField) {
  const std::string mode1 = "send 28 00000004" + zeros(4) + "00000001" + "00000001" + "0024" + zeros(82);
  run({mode1.c_str(), "field"});
  const Lines out = run({"restart", "field"});
  EXPECT_EQ(only(out, "drv setPeripheralTally"), Lines{"drv setPeripheralTally 0x11c0 0"});
  const auto sent = sentRecords<KzifPeripheral>(out);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].mask, 0x7u);
  EXPECT_EQ(sent[0].tallyGroup[0].mask, 0x3FFu);
  EXPECT_EQ(sent[0].tallyGroup[0].output[0], 36);
}

TEST_F(PeripheralTest, OnlyAGroupThatTakesAValueRedrawsTheMultiviewTallyAndOnlyOnce) {
  // Group masks: output 0 (bit 0), colour (bit 8). Group 0 takes no preview output (code 2).
  struct Case {
    const char* what;
    std::string body;
    bool redraw;
  };
  const std::string group = "00000000" + zeros(16) + "0000";
  const Case cases[] = {
      {"tally mode alone", "00000004" + zeros(4) + "00000000" + group + group + group + group, false},
      {"preview in group 0 refused", "00000000" + zeros(4) + "00000000" + "00000001" + "0002" + zeros(14) + "0000" +
                                         group + group + group, false},
      {"output in group 0", "00000000" + zeros(4) + "00000000" + "00000001" + "0001" + zeros(14) + "0000" + group +
                                group + group, true},
      {"colour of group 3", "00000000" + zeros(4) + "00000000" + group + group + group + "00000100" + zeros(16) +
                                "0200", true},
      {"colour 4 of group 3 refused", "00000000" + zeros(4) + "00000000" + group + group + group + "00000100" +
                                          zeros(16) + "0400", false},
  };
  for (const Case& c : cases) {
    bool redraw = !c.redraw;
    fieldAskingRedraw("send 28 " + c.body, redraw);
    EXPECT_EQ(redraw, c.redraw) << c.what;
    // Asked once: the next field asks nothing more.
    fieldAskingRedraw("", redraw);
    EXPECT_FALSE(redraw) << c.what;
  }
}
