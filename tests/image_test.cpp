// The image effects through the wire and the backup image, their per-field filter calls, the A/B
// row swap under the panel buttons and lamps, and a damaged stored record.
#include <array>
#include <map>

#include "Driver/filter.h"
#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/image.h"
#include "Main/key.h"
#include "Main/led.h"
#include "Main/operate.h"
#include "Main/system.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

using category::CategoryImage;

namespace {

// mask 0x7ff, on, levelOn, levelY 3, levelC 4, flag4, flag5 0, monoOn, hue 1200, saturation 800,
// filterMode 1, amount 500: the wire puts filterMode after saturation.
const std::string FILTER_A = "000007ff" "01" "01" "0003" "0004" "01" "00" "01" "04b0" "0320" "01" "01f4";
// on, levelY 7, flag5, hue 3599, saturation 1000, filterMode 2, amount 1000, the rest 0.
const std::string FILTER_K = "000007ff" "01" "00" "0007" "0000" "00" "01" "00" "0e0f" "03e8" "02" "03e8";
const std::string NO_FILTER(40, '0');
// dveOn, dveFlag1, dveSize 60, dveFlag3, dveLevel 1000: the wire puts dveSize before dveFlag3.
const std::string DVE = "0000001f" "01" "01" "003c" "01" "03e8";
const std::string NO_DVE(22, '0');

ImageFilter filter(u8 on, u8 mode, i16 amount, i16 hue = 0, i16 saturation = 0) {
  return ImageFilter{0x7ff, on, 1, 2, 5, 0, 0, mode, 1, hue, saturation, amount};
}

std::string sendImage(const KzifImage& r) { return "send 3 " + hexOf(r); }


void setRows(int selectMode, int mode, int meMode) {
  KzifOperate op{};
  op.mask = 0x5;  // busRowMode, busRowModeSelect
  op.busRowMode = static_cast<u8>(mode);
  op.busRowModeSelect = static_cast<u8>(selectMode);
  op.busRowModeMe.mask = 0xf;
  for (int me = 0; me < N_ME; ++me) op.busRowModeMe.value[me] = static_cast<u8>(meMode);
  category::CategoryOperate::get().assign(op, 0);
}

internal::KzifButtonEvent button(int panel, int code, int state = 1) {  // on M/E 1
  return {.panel = static_cast<u8>(panel), .me = 1, .code = static_cast<i16>(code), .state = static_cast<u8>(state)};
}

// The image filter calls of a field, each group behind the context selection that opens it.
Lines filterCalls(const Lines& out) {
  Lines r;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i].rfind("drv setImage", 0) != 0) continue;
    if (i > 0 && out[i - 1].rfind("drv setMeContext", 0) == 0) r.push_back(out[i - 1]);
    r.push_back(out[i]);
  }
  return r;
}

Lines offCalls(const std::string& target) {
  return {"drv setImageFilterMode " + target + " 0x0 0", "drv setImageFilterLevel " + target + " 0 0 0",
          "drv setImageMonoColor " + target + " 0 512 512"};
}

// Lamps 227 and 228 of M/E me as last sent to each panel.
std::map<int, std::pair<int, int>> imageLamps(const Lines& out, int me) {
  std::map<int, std::pair<int, int>> lamps;
  for (const internal::KzifMeLed& r : sentRecords<internal::KzifMeLed>(out))
    if (r.me == me) lamps[r.panel] = {r.lamp[meLedCodeToIndex(227)], r.lamp[meLedCodeToIndex(228)]};
  return lamps;
}
std::map<int, std::pair<int, int>> onAllPanels(int lamp227, int lamp228) {
  return {{0, {lamp227, lamp228}}, {1, {lamp227, lamp228}}, {2, {lamp227, lamp228}}};
}

class ImageTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
};

}  // namespace

TEST_F(ImageTest, RecordIsEchoedInWireOrderAndStoredInMemoryOrder) {
  const std::string body =
      "00000001" "01" + NO_FILTER + FILTER_K + NO_FILTER + NO_FILTER + FILTER_A + NO_FILTER + "01" + DVE + NO_DVE;
  EXPECT_EQ(only(run({("send 3 " + body).c_str(), "field"}), "msg 3"), Lines{"msg 3 " + body});

  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifImage::TYPE_ID, 1);
  // Masks were cleared by the send before the save.
  const std::map<std::size_t, u8> named = {
      {4, 1},     {5, 1},                                                                 // me, imageFlag
      {32, 1},    {34, 7},   {39, 1},   {40, 2},   {42, 0x0f}, {43, 0x0e}, {44, 0xe8}, {45, 3}, {46, 0xe8}, {47, 3},
      {92, 1},    {93, 1},   {94, 3},   {96, 4},   {98, 1},    {100, 1},   {101, 1},   {102, 0xb0}, {103, 4},
      {104, 0x20}, {105, 3}, {106, 0xf4}, {107, 1},                                      // imageA
      {132, 1},   {133, 1},  {134, 1},  {136, 0xe8}, {137, 3},  {138, 60}};              // bkgdDveA
  for (std::size_t i = 0; i < sizeof(KzifImage); ++i) {
    const auto it = named.find(i);
    EXPECT_EQ(nv[i], it == named.end() ? 0 : it->second) << "stored byte " << i;
  }
}

TEST_F(ImageTest, OutOfRangeValuesAreDroppedSinglyAndABadMeDropsTheRecord) {
  // imageA: levelY, filterMode, amount and hue out of range; bkgdDveB: dveFlag1, dveLevel and dveSize.
  KzifImage in{.me = 2, .imageKey = {{}, {}, {}, filter(1, 1, 10)}, .imageA = filter(1, 3, 1001, 3600, 1000),
               .bkgdDveB = {0x1f, 1, 2, 1, 1001, 61}};
  in.imageA.levelY = 8;
  const std::vector<KzifImage> sent = sentRecords<KzifImage>(run({sendImage(in).c_str(), "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<u32>({sent[0].imageA.mask, sent[0].imageKey[3].mask, sent[0].bkgdDveB.mask}),
            std::vector<u32>({0x7ffu & ~(1u << 2 | 1u << 7 | 1u << 9 | 1u << 10), 0x7ff, 0x09}));
  const KzifImage& kept = CategoryImage::get(2).record(0);
  EXPECT_EQ(std::vector<int>({kept.imageA.levelY, kept.imageA.hue, kept.imageA.saturation, kept.bkgdDveB.dveLevel}),
            std::vector<int>({0, 0, 1000, 0}));

  in.me = 4;
  EXPECT_EQ(only(run({sendImage(in).c_str(), "field"}), "msg 3"), Lines{});
}

TEST_F(ImageTest, FiltersOfBothHardwareMesAreSetEveryFieldInTheirOrder) {
  // Key 1 has no saturation: no colour, whatever the hue; key 2 no filter, but levels and colour; no
  // filter hardware behind keys 3 and 4. B is off: whatever the rest holds.
  const KzifImage me1{.me = 1,
                      .imageKey = {filter(1, 2, 5, 1200, 0), filter(1, 0, 700), filter(1, 1, 100), filter(1, 1, 100)},
                      .imageA = filter(1, 1, 500, 1200, 800), .imageB = filter(0, 2, 300, 1200, 800)};
  const KzifImage me2{.me = 2, .imageA = filter(1, 1, 500)};
  run({sendImage(me1).c_str(), sendImage(me2).c_str(), "field"});

  Lines expected = {"drv setMeContext 0x3210"};
  const auto add = [&](const Lines& ls) { expected.insert(expected.end(), ls.begin(), ls.end()); };
  for (const char* t : {"0x1200", "0x1201", "0x1205", "0x1207"}) add(offCalls(t));
  add({"drv setMeContext 0x3211", "drv setImageFilterMode 0x1200 0x1701 50", "drv setImageFilterLevel 0x1200 1 2 5",
       "drv setImageMonoColor 0x1200 1 236 186"});
  add(offCalls("0x1201"));
  add({"drv setImageFilterMode 0x1205 0x1700 0.5", "drv setImageFilterLevel 0x1205 1 2 5",
       "drv setImageMonoColor 0x1205 1 512 512", "drv setImageFilterMode 0x1207 0x0 70",
       "drv setImageFilterLevel 0x1207 1 2 5", "drv setImageMonoColor 0x1207 1 512 512"});
  EXPECT_EQ(filterCalls(run({"field"})), expected);  // again in a field with no change

  // The keyer's wipe reads the "on" byte of the first two key filters.
  EXPECT_EQ(std::vector<int>({imageFilterOn(1, 0), imageFilterOn(1, 1), imageFilterOn(0, 0)}),
            std::vector<int>({1, 1, 0}));

  // Standard definition colours by its own matrix.
  EXPECT_EQ(only(run({"send 29 00000001 07 00 00 00 00", "field"}), "drv setImageMonoColor 0x1200"),
            (Lines{"drv setImageMonoColor 0x1200 0 512 512", "drv setImageMonoColor 0x1200 1 275 212"}));
}

TEST_F(ImageTest, ButtonsToggleTheBusUnderThemItsLampStaysUnderTheButtonAndRowModesSwapThem) {
  CategoryImage& image = CategoryImage::get(1);
  image.onButton(button(0, CategoryImage::BUTTON_A));
  const Lines out = run({"field"});
  const std::vector<KzifImage> sent = sentRecords<KzifImage>(out);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<u32>({sent[0].mask, sent[0].imageA.mask, sent[0].imageB.mask, sent[0].imageA.on}),
            std::vector<u32>({0, 1, 0, 1}));
  EXPECT_EQ(imageLamps(out, 1), onAllPanels(2, 0));

  // Rows swapped: the same button now holds the B bus, and the A bus lamp moves under the other.
  setRows(0, 2, 0);  // swapped while the flip is 0, as it stands
  image.onButton(button(2, CategoryImage::BUTTON_A));
  image.onButton(button(2, CategoryImage::BUTTON_B, 0));  // releases do nothing
  image.onButton(button(3, CategoryImage::BUTTON_B));     // no such panel
  const Lines swapped = run({"field"});
  EXPECT_EQ(std::vector<int>({image.record(0).imageA.on, image.record(0).imageB.on}), std::vector<int>({1, 1}));
  EXPECT_EQ(imageLamps(swapped, 1), onAllPanels(2, 2));

  // Through the panel event: BUTTON_B while swapped is the A bus, switched off; its lamp is 228.
  const Lines event = run({"send 92 0000 00 0000 00 01 00 0510 01 00", "field"});
  EXPECT_EQ(std::vector<int>({image.record(0).imageA.on, image.record(0).imageB.on}), std::vector<int>({0, 1}));
  EXPECT_EQ(imageLamps(event, 1), onAllPanels(2, 0));

  // The swap follows the row modes against the bus flip: select mode, row mode, M/E row mode, flip, swapped.
  const std::array<int, 5> cases[] = {{0, 0, 1, 1, 0}, {0, 0, 2, 0, 0}, {0, 1, 0, 0, 0}, {0, 1, 0, 1, 1},
                                      {0, 2, 0, 0, 1}, {0, 2, 0, 1, 0}, {1, 0, 1, 1, 1}, {1, 2, 0, 1, 0},
                                      {1, 1, 2, 0, 1}};
  for (const auto& [select, mode, meMode, flip, swapped] : cases) {
    setRows(select, mode, meMode);
    category::CategoryBus::get(3).setOption(flip);
    EXPECT_EQ(imageRowsSwapped(3), swapped) << select << mode << meMode << flip;
  }
}

// A stored value outside its range would fail a filter driver assertion in every field.
TEST_F(ImageTest, RestoreTakesStoredValuesOutOfRangeAsZero) {
  const KzifImage r{.imageA = filter(1, 1, 400)};
  run({sendImage(r).c_str(), "field"});
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifImage::TYPE_ID, 0);
  nv[88 + 6] = 9;     // imageA.levelY
  nv[88 + 12] = 7;    // imageA.filterMode
  nv[108 + 4] = 1;    // imageB.on
  nv[108 + 8] = 200;  // imageB.levelC
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = run({"restart resume", "field"});
  EXPECT_EQ(only(out, "log [ERR] Assertion"), Lines{});
  const Lines levels = only(filterCalls(out), "drv setImageFilterLevel");
  ASSERT_EQ(levels.size(), 8u);
  EXPECT_EQ(Lines(levels.begin(), levels.begin() + 2),
            (Lines{"drv setImageFilterLevel 0x1200 1 0 5", "drv setImageFilterLevel 0x1201 0 0 0"}));
  const std::vector<KzifImage> sent = sentRecords<KzifImage>(out);
  ASSERT_EQ(sent.size(), 2u);  // M/E 0 and 1 restored and sent whole
  EXPECT_EQ(std::vector<u32>({sent[0].imageA.mask, sent[0].bkgdDveB.mask, sent[0].mask}),
            std::vector<u32>({0x7ff, 0x1f, 1}));
  EXPECT_EQ(std::vector<int>({sent[0].imageA.filterMode, sent[0].imageA.amount, sent[0].imageB.levelC}),
            std::vector<int>({0, 400, 0}));
}

// Untraced, unchanged filters leave their setters alone; whatever else wrote or reset their
// registers in between, the next field brings them back, and a new video format recolours them.
TEST_F(SimTest, UntracedFiltersComeBackAfterTheirRegistersWereWrittenOrReset) {
  run({sendImage(KzifImage{.imageA = filter(1, 1, 500, 1200, 800)}).c_str(), "field", "field"});
  const auto busA = [] { return kz::filterImage(KZ_CONTEXT_ME1, KZ_ABUS); };
  const auto expectFilter = [&](u16 cb, u16 cr, const char* after) {
    EXPECT_EQ(std::vector<int>({busA().mode, busA().levelY, busA().monoOn, busA().cb, busA().cr}),
              std::vector<int>({KZ_IMAGE_MOSAIC, 2, 1, cb, cr}))
        << after;
  };
  expectFilter(236, 186, "the record");
  setMeContext(KZ_CONTEXT_ME1);
  setImageFilterMode(KZ_ABUS, 0, 0.0f);
  setImageFilterLevel(KZ_ABUS, 0, 0, 0);
  run({"field"});
  expectFilter(236, 186, "another writer");
  kzInitialize();
  run({"field"});
  expectFilter(236, 186, "a reset of the images");
  run({"send 29 00000001 07 00 00 00 00", "field"});
  expectFilter(275, 212, "a format change");
  // A format written in place, with nothing else moving in the field, recolours them too.
  category::CategorySystem::get().record(0).videoFormat = 0;
  run({"field"});
  expectFilter(236, 186, "a format written in place");
  category::CategorySystem::get().record(0).videoFormat = 7;
  run({"field"});
  expectFilter(275, 212, "the format written back in place");
  run({"restart resume", "field"});
  expectFilter(275, 212, "a warm start");
  CategoryImage::get(0).record(0).imageA.on = 0;
  run({"field"});
  EXPECT_EQ(busA(), kz::FilterImage{}) << "a record written in place";
}
