// Key presets through the wire: the record's bytes (echo, backup image, resume), panel buttons,
// the slot lamps through a store, read and recall reported by shot memory, the flash countdown
// per panel, custom-information remapping of rows, initialise-all, and the per-field order that
// lets a press's lamps leave in its own field.
#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Main/bp.h"
#include "Main/custominfo.h"
#include "Main/keypreset.h"
#include "Main/led.h"
#include "Main/shotmem.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

using category::CategoryKeyPreset;

namespace {

class KeyPresetTest : public SimTest {
 protected:
  static std::string press(int panel, int me, int code, int state = 1) {
    return "send 92 0000000000" + hexBytes(panel, 1) + hexBytes(me, 1) + "00" + hexBytes(code, 2) + hexBytes(state, 1) + "00";
  }
  Lines step(const std::string& line) { return run({line.c_str(), "field"}); }
  void markStored(int shot) { step("send 22 00000001" + hexBytes(shot, 2) + "01"); }
  static int lamp(int panel, int code) {
    return std::as_const(category::CategoryLed::get()).record(panel).lamp[ledCodeToIndex(code)];
  }
  static int meLamp(int me, int panel, int code) {
    return std::as_const(category::CategoryMeLed::get(me)).record(panel).lamp[meLedCodeToIndex(code)];
  }
  // The values of `read` after each of n fields.
  template <class F>
  std::vector<int> perField(int n, F read) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) {
      run({"field"});
      v.push_back(read());
    }
    return v;
  }
};

const std::string HEAD = "00000003" "00000003" "0403" "02" "00000007" "010001";  // masks, recall
const std::string PANEL_ZERO = "00000000" "00000000" "0000000000" "00000000" "00000000" "00000000" "00";
const std::string PANEL_ALL_MARKED = "00000000" "0000001f" "0000000000" "0000000f" "00000000" "00000001" "00";

TEST_F(KeyPresetTest, RecordBytesOnTheWireInTheImageAndAfterResume) {
  // Panel 0: outer mask set (dropped), meChannel[4] = 5 refused; panel 2: mirror 9 refused.
  const std::string in = HEAD + ("ffffffff" "0000001f" "0300010205" "0000000f" "01020304" "00000001" "04") +
                         PANEL_ZERO + ("00000000" "00000000" "0000000000" "00000000" "00000000" "00000001" "09") + "01";
  const std::string echo = HEAD + ("00000000" "0000000f" "0300010200" "0000000f" "01020304" "00000001" "04") +
                           PANEL_ZERO + PANEL_ZERO + "01";
  EXPECT_EQ(only(step("send 19 " + in), "msg 19"), Lines{"msg 19 " + echo});

  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifKeyPreset::TYPE_ID, 0);
  const std::string stored = std::string("00000000") + "00000000" "04030000" "02000000" "00000000" "01000100" +
                             ("00000000" "00000000" "0300010200000000" "00000000" "01020304" "00000000" "04000000") +
                             std::string(2 * 64, '0') + "01000000";
  std::string image;
  for (std::size_t i = 0; i < sizeof(KzifKeyPreset); ++i) image += hexBytes(nv[i], 1);
  EXPECT_EQ(image, stored);

  // A damaged image: a panel mask set and a selection of 9. The first send carries every field,
  // the panel masks 0; the selection of 9 is refused as a received one would be and comes back as
  // the 0 of a cold start, whose lamp its row lights.
  nv[24 + 32] = 0xff;
  nv[88 + 8] = 9;
  const std::string warm = HEAD + ("00000000" "0000001f" "0300010200" "0000000f" "01020304" "00000001" "04") +
                           PANEL_ALL_MARKED + PANEL_ALL_MARKED + "01";
  dropCommitRecords();  // the copy edited above is the one resumed
  EXPECT_EQ(only(run({"restart resume", "field"}), "msg 19"), Lines{"msg 19 " + warm});
  for (int j = 0; j < 4; ++j) EXPECT_EQ(meLamp(0, 2, 350 + j), j == 0 ? 2 : 0) << j;
  EXPECT_EQ(meLamp(0, 0, 353), 2);
}

TEST_F(KeyPresetTest, StoreReadAndRecallReportedByShotMemoryDriveTheSlotLamps) {
  step(press(0, 1, 1702));
  const int shot = keypreset::shotChannelOf(1, 2, 3);
  ASSERT_EQ(shot, 108);
  markStored(shot);
  const auto slots = [this] { return std::vector<int>{meLamp(1, 0, 358), meLamp(1, 0, 359), meLamp(1, 0, 360), meLamp(1, 0, 361)}; };

  reportKeyPresetShot(shot, ShotMemoryEvent::Stored);
  EXPECT_EQ(perField(6, [&] { return meLamp(1, 0, 361); }), (std::vector<int>{1, 1, 1, 1, 2, 2}));
  EXPECT_EQ(slots(), (std::vector<int>{0, 0, 0, 2}));
  EXPECT_EQ(meLamp(1, 1, 361), 0);  // panel 1 addresses channel 0

  reportKeyPresetShot(shot, ShotMemoryEvent::Read);  // clears the recording
  EXPECT_EQ(perField(6, [&] { return meLamp(1, 0, 361); }), (std::vector<int>{1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(CategoryKeyPreset::get().recordedSlot(1, 2), -1);

  reportKeyPresetShot(shot, ShotMemoryEvent::Recalled);  // no flash
  EXPECT_EQ(perField(1, [&] { return meLamp(1, 0, 361); }), std::vector<int>{2});

  reportKeyPresetShot(keypreset::shotChannelOf(1, 2, 1), ShotMemoryEvent::Recalled);  // not stored
  run({"field"});
  EXPECT_EQ(slots(), (std::vector<int>{0, 0, 0, 0}));
  reportKeyPresetShot(keypreset::shotChannelOf(1, 0, 0), ShotMemoryEvent::Stored);  // one channel per target
  EXPECT_EQ(CategoryKeyPreset::get().recordedSlot(1, 2), -1);
  for (int noPreset : {80, 161}) reportKeyPresetShot(noPreset, ShotMemoryEvent::Stored);
  EXPECT_EQ(CategoryKeyPreset::get().recordedSlot(1, 0), 0);
}

// A read leaves the channel pending: its recorded slot stays lit whether its preset is stored or
// not, up to the update after the flash has run out, which ends the pending mode.
TEST_F(KeyPresetTest, APendingReadEndsOneUpdateAfterItsFlash) {
  step(press(0, 1, 1702));
  const int recorded = keypreset::shotChannelOf(1, 2, 3);
  markStored(recorded);
  reportKeyPresetShot(recorded, ShotMemoryEvent::Stored);
  run({"field", "field", "field", "field", "field", "field"});
  step("send 22 00000001" + hexBytes(recorded, 2) + "00");  // no longer stored
  ASSERT_EQ(meLamp(1, 0, 361), 0);

  reportKeyPresetShot(keypreset::shotChannelOf(1, 2, 1), ShotMemoryEvent::Read);
  EXPECT_EQ(perField(7, [&] { return meLamp(1, 0, 359) * 10 + meLamp(1, 0, 361); }),
            (std::vector<int>{12, 12, 12, 12, 2, 0, 0}));
}

TEST_F(KeyPresetTest, FlashCountdownPerPanelOnTheDownstreamMirrorAndTarget2Lamps) {
  for (const std::string& p : {press(0, 0, 1801), press(1, 2, 1801), press(0, 0, 2101)}) step(p);
  for (int s : {keypreset::shotChannelOf(4, 1, 0), keypreset::shotChannelOf(2, 1, 1), keypreset::shotChannelOf(2, 1, 3)})
    markStored(s);

  reportKeyPresetShot(keypreset::shotChannelOf(4, 1, 0), ShotMemoryEvent::Stored);
  EXPECT_EQ(perField(6, [&] { return lamp(0, 2208) * 100 + lamp(1, 2208) * 10 + lamp(2, 2208); }),
            (std::vector<int>{110, 110, 110, 110, 220, 220}));
  EXPECT_EQ((std::vector<int>{lamp(0, 2201), lamp(1, 2201), lamp(2, 2200), lamp(2, 2201)}),
            (std::vector<int>{2, 2, 2, 0}));

  // Target 2: the panel-0 lamps follow slots 0..2 with the flash on their channel; slot 3 flashes
  // only the mirror row and leaves the panel-0 lamps on the earlier slot.
  reportKeyPresetShot(keypreset::shotChannelOf(2, 1, 1), ShotMemoryEvent::Stored);
  EXPECT_EQ(perField(5, [&] { return lamp(0, 3308) * 10 + lamp(0, 3336); }), (std::vector<int>{11, 11, 11, 11, 22}));
  EXPECT_EQ((std::vector<int>{lamp(0, 3306), lamp(0, 3334), lamp(0, 3300), lamp(0, 3133)}),
            (std::vector<int>{2, 2, 2, 2}));
  reportKeyPresetShot(keypreset::shotChannelOf(2, 1, 3), ShotMemoryEvent::Stored);
  EXPECT_EQ(perField(5, [&] { return lamp(0, 3135) * 10 + lamp(0, 3308); }), (std::vector<int>{12, 12, 12, 12, 22}));
  EXPECT_EQ(lamp(0, 3133) + lamp(1, 3135), 0);  // panel 1's mirror row addresses channel 0
  // Slot 0 moves both panel-0 sets of the channel to their first slot lamp.
  markStored(keypreset::shotChannelOf(2, 1, 0));
  reportKeyPresetShot(keypreset::shotChannelOf(2, 1, 0), ShotMemoryEvent::Stored);
  EXPECT_EQ(perField(5, [&] { return lamp(0, 3307) * 10 + lamp(0, 3335); }), (std::vector<int>{11, 11, 11, 11, 22}));
  std::vector<int> channel1;
  for (int code = 3306; code <= 3309; ++code) channel1.push_back(lamp(0, code));
  for (int code = 3334; code <= 3337; ++code) channel1.push_back(lamp(0, code));
  EXPECT_EQ(channel1, (std::vector<int>{2, 2, 0, 0, 2, 2, 0, 0}));
  // A read of another slot keeps the recorded one lit; a read of the recorded slot clears it.
  const auto channel1After = [&](int slot) {
    reportKeyPresetShot(keypreset::shotChannelOf(2, 1, slot), ShotMemoryEvent::Read);
    run({"field 5"});
    std::vector<int> r;
    for (int code : {3307, 3308, 3335, 3336}) r.push_back(lamp(0, code));
    return r;
  };
  EXPECT_EQ(channel1After(1), (std::vector<int>{2, 0, 2, 0}));
  EXPECT_EQ(channel1After(0), (std::vector<int>{0, 0, 0, 0}));
}

TEST_F(KeyPresetTest, CustomInfoMovesRowLampsOnlyToMesOneToFour) {
  internal::KzifCustomInfo custom{};
  const auto entry = [&](int k, const char* me) {
    custom.assignKind[k].set("KEY");
    custom.assignMe[k].set(me);
    custom.mask |= (1u << (1 + k)) | (1u << (9 + k));
  };
  entry(0, "ME3A");
  entry(1, "ME1B");  // a B side: the row stays on its own M/E
  step("send 33 " + hexOf(custom));
  const Lines out = step(press(0, 1, 1703));
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
  // Row 0, channel 0, on M/E 3's second set; the B-side row on M/E 1.
  EXPECT_EQ((std::vector<int>{meLamp(2, 0, 354), meLamp(1, 0, 353)}), (std::vector<int>{2, 2}));
}

// The lamps are worked out again only when what they show changes; a change made by another
// category while the lamps stand still must still reach them.
TEST_F(KeyPresetTest, SlotLampsFollowStoredStatusAndCustomInfoArrivingLater) {
  step(press(0, 1, 1702));
  const int shot = keypreset::shotChannelOf(1, 2, 3);
  reportKeyPresetShot(shot, ShotMemoryEvent::Recalled);  // recorded, but shot memory holds nothing there
  EXPECT_EQ(perField(3, [&] { return meLamp(1, 0, 361); }), (std::vector<int>{0, 0, 0}));
  markStored(shot);
  EXPECT_EQ(meLamp(1, 0, 361), 2);
  step("send 22 00000001" + hexBytes(shot, 2) + "00");  // no longer stored
  EXPECT_EQ(meLamp(1, 0, 361), 0);
  markStored(shot);

  internal::KzifCustomInfo custom{};
  custom.assignKind[1].set("KEY");
  custom.assignMe[1].set("ME3A");
  custom.mask |= (1u << 2) | (1u << 10);
  step("send 33 " + hexOf(custom));
  // Row 1 now lights M/E 3's second set: channel 2 and its recorded slot 3.
  EXPECT_EQ((std::vector<int>{meLamp(2, 0, 356), meLamp(2, 0, 365)}), (std::vector<int>{2, 2}));
}

TEST_F(KeyPresetTest, InitialiseAllKeepsRecallOptionsClearsSelectionsAndSlotLamps) {
  step("send 19 00000000 00000000 0000 00 00000005 010001" + PANEL_ZERO + PANEL_ZERO + PANEL_ZERO + "00");
  step(press(0, 0, 1801));
  markStored(keypreset::shotChannelOf(4, 1, 0));
  reportKeyPresetShot(keypreset::shotChannelOf(4, 1, 0), ShotMemoryEvent::Recalled);
  run({"field"});
  ASSERT_EQ(lamp(0, 2208), 2);
  const auto sent = sentRecords<KzifKeyPreset>(step("send 72"));
  ASSERT_EQ(sent.size(), 1u);
  // Recall mask, options 0 and 2, a selection, the flashing slot lamp and the slot-0 lamp.
  const KzifKeyPreset& r = sent[0];
  EXPECT_EQ((std::vector<int>{static_cast<int>(r.recall.mask), r.recall.recallOption[0], r.recall.recallOption[2],
                              r.panel[0].meChannel.channel[4], lamp(0, 2208), lamp(0, 2200)}),
            (std::vector<int>{7, 1, 1, 0, 0, 2}));

  CategoryKeyPreset::get().applyPanelSelect(1, KeyPresetPanel{});
  lines.clear();
  EXPECT_THROW(CategoryKeyPreset::get().applyPanelSelect(3, KeyPresetPanel{}), assert::AssertException);
  EXPECT_EQ(only(lines, "log [ERR]"), Lines{"log [ERR] Assertion failed: Main/keypreset(854) NeverReachHere"});
}

// Within an update class every category runs in type id, then M/E order, so the lamps of a press
// are stepped and sent in the press's own field, with the whole record.
TEST_F(KeyPresetTest, PressSelectsOnceAndItsLampsLeaveInTheSameField) {
  std::vector<std::tuple<int, int, int>> order;
  BP::instance().forEachRegistered(BP::Order::ByUpdateClass, [&](category::CategoryInterface& c, int id, int me) {
    order.emplace_back(static_cast<int>(c.updateClass()), id, me);
  });
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

  const Lines out = only(step(press(0, 1, 1702)), "msg");
  const std::string head = "msg 19 00000003" "00000003" "000000" "00000007" "000000" "00000000" "0000001f";
  ASSERT_EQ(only(out, "msg 19").size(), 1u);
  EXPECT_EQ(only(out, "msg 19")[0].substr(0, head.size()), head);
  EXPECT_EQ(only(out, "msg 50 0000000001000000").size(), 1u);  // M/E 1, panel 0
  EXPECT_EQ((std::vector<int>{meLamp(1, 0, 350), meLamp(1, 0, 351), meLamp(1, 0, 352), meLamp(1, 0, 353)}),
            (std::vector<int>{0, 0, 2, 0}));
  // Already selected, panel 3, M/E row 4, a code latched but never taken, a release.
  for (const std::string& p :
       {press(0, 1, 1702), press(3, 0, 1701), press(0, 4, 1701), press(0, 0, 1705), press(0, 0, 1701, 0)})
    EXPECT_EQ(only(step(p), "msg 19"), Lines{}) << p;
  EXPECT_EQ(std::as_const(CategoryKeyPreset::get()).record(0).panel[0].meChannel.channel[0], 0);
}

}  // namespace

// Unchanged lamps are not requested again, but one that another writer changed, or a reset of the
// lamp image, is put back by the next field.
TEST_F(KeyPresetTest, SlotLampComesBackAfterAnotherWriterOrAResetOfTheLampImage) {
  step(press(0, 1, 1702));
  const int shot = keypreset::shotChannelOf(1, 2, 3);
  reportKeyPresetShot(shot, ShotMemoryEvent::Recalled);
  markStored(shot);
  category::CategoryMeLed& leds = category::CategoryMeLed::get(1);
  const auto requested = [&] { return static_cast<int>(std::as_const(leds).led(0, 361)); };
  EXPECT_EQ(perField(2, requested), (std::vector<int>{2, 2}));
  leds.requestLamp(category::CategoryMeLed::lampOf(0, 361), 0);
  EXPECT_EQ(perField(2, requested), (std::vector<int>{2, 2}));
  EXPECT_EQ(meLamp(1, 0, 361), 2);
  leds.initInternal();
  EXPECT_EQ(perField(1, requested), (std::vector<int>{2}));
}
