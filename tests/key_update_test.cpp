// The keyers' per-field update through the driver trace and the wire: what a cold start sets, each
// key setting with its converted values, layering, the edge written only on change, the DVE link
// to follower keys and the converted-input flag of the key DVE.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Driver/key.h"
#include "Driver/kz.h"
#include "Driver/transition.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"
#include "Main/inputvideo.h"
#include "Main/key.h"
#include "Main/keyprocess.h"
#include "Main/system.h"
#include "Platform/platform.h"
#include "tests/key_body.h"
#include "tests/sim_fixture.h"

using category::CategoryKey;

namespace {

using Args = std::vector<std::string>;

float real(const std::string& s) { return std::strtof(s.c_str(), nullptr); }

class KeyUpdateTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  Lines field(const KeyBody& r) { return run({("send 0 " + r.hex()).c_str(), "field"}); }
  // The calls of `name` made under context `context` for target `target` (any target when empty).
  static std::vector<Args> calls(const Lines& out, const std::string& name, const std::string& context = "0x3210",
                                 const std::string& target = "") {
    std::vector<Args> r;
    std::string current;
    for (const auto& l : out) {
      std::istringstream in(l);
      std::string drv, n, a;
      in >> drv >> n;
      if (drv != "drv") continue;
      Args args;
      while (in >> a) args.push_back(a);
      if (n == "setMeContext") current = args.at(0);
      if (n == name && current == context && (target.empty() || args.at(0) == target)) r.push_back(args);
    }
    return r;
  }
  static KzifKey& live(int me, int ch) { return CategoryKey::get(me).record(ch); }
  static void expectNear(const Args& got, std::size_t from, const std::vector<float>& want) {
    ASSERT_GE(got.size(), from + want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(real(got[from + i]), want[i], 1e-4) << i;
  }
};

}  // namespace

TEST_F(KeyUpdateTest, ColdStartSetsEveryKeyInItsOrderInTheFirstField) {
  boot({.trace = true});
  Lines out = run({"field"});
  const auto first = std::find(out.begin(), out.end(), "drv setKeyPriority 0x120b 0x1207 0x1209");
  ASSERT_NE(first, out.end());
  // All four at priority 0: key 4 takes level 1, levels 2 and 3 keep keys 2 and 3. No edge change
  // is pending, so neither the edge nor its fill is written.
  EXPECT_EQ(Lines(first, first + 12), (Lines{"drv setKeyPriority 0x120b 0x1207 0x1209", "drv setMeContext 0x3210",
                                             "drv setMeInput 0x1204 0x1193", "drv setMeInput 0x1205 0x1193",
                                             "drv setMatteColor 0x2105 64 512 512", "drv setMatteColor 0x2109 64 512 512",
                                             "drv setKeyBoxMask 0x1205 0 0 1 1 0 0", "drv setKeyClipGain 0x1205 0 64 0 0 0",
                                             "drv setKeyInvert 0x1205 0", "drv setMatteColor 0x210d 64 512 512",
                                             "drv setKeyShape 0x1205 0.5 0.5 0 0 0", "drv setKeyTransition 0x1205 0"}));
  for (const char* context : {"0x3210", "0x3211", "0x3212", "0x3213"})
    for (const char* key : {"0x1205", "0x1207", "0x1209", "0x120b"}) {
      EXPECT_EQ(calls(out, "setKeyEdge", context, key).size(), 0u) << context << key;
      EXPECT_EQ(calls(out, "setKeyFillSource", context, key).size(), 0u) << context << key;
      EXPECT_EQ(calls(out, "setKeyShape", context, key).size(), 1u) << context << key;
    }
  // A changed edge is written in the field it arrives, and not again while nothing changes it.
  KeyBody r(0, 0);
  r.put(37, 0x1, 4).put(41, 0x01, 1);
  EXPECT_EQ(calls(field(r), "setKeyEdge", "0x3210", "0x1205"), (std::vector<Args>{{"0x1205", "0x2000", "0", "0", "0.25"}}));
  out = run({"field"});
  EXPECT_EQ(calls(out, "setKeyEdge", "0x3210", "0x1205").size(), 0u);
  EXPECT_EQ(calls(out, "setKeyClipGain", "0x3210", "0x1205").size(), 1u);
}

TEST_F(KeyUpdateTest, WarmStartWritesEachStoredEdgeOnce) {
  KeyBody r(1, 2);
  r.put(37, 0x1f, 4).put(41, 0x0202050102, 5);  // edge type 2, width 2, direction 5, softness 1, fill 2
  field(r);
  Lines out = run({"restart resume", "field"});
  // Every key of the backed-up M/Es once, with its fill; M/E 2 and 3 start afresh, with nothing pending.
  for (const char* context : {"0x3210", "0x3211", "0x3212", "0x3213"})
    for (const char* key : {"0x1205", "0x1207", "0x1209", "0x120b"}) {
      const std::size_t once = context == std::string("0x3210") || context == std::string("0x3211") ? 1u : 0u;
      EXPECT_EQ(calls(out, "setKeyEdge", context, key).size(), once) << context << key;
      EXPECT_EQ(calls(out, "setKeyFillSource", context, key).size(), once) << context << key;
    }
  EXPECT_EQ(calls(out, "setKeyEdge", "0x3211", "0x1209"), (std::vector<Args>{{"0x1209", "0x2001", "2", "225", "0.5"}}));
  EXPECT_EQ(calls(out, "setKeyFillSource", "0x3211", "0x1209"), (std::vector<Args>{{"0x1209", "0x1203"}}));
  out = run({"field"});
  EXPECT_EQ(only(out, "drv setKeyEdge ").size() + only(out, "drv setKeyFillSource ").size(), 0u);
}

TEST_F(KeyUpdateTest, EachSettingReachesItsSetterConverted) {
  KeyBody r(0, 1);
  r.put(11, 0x1f, 4).put(15, 0x0001010101, 5);                                        // type 0, second gain, invert, flag 4, mode
  r.put(20, 0xf, 4).put(24, 1000, 2).put(26, 1001, 2).put(28, 500, 2).put(30, 1, 1);  // adjust
  r.field(0, 31, {1200, 500, 700}, 2);
  r.put(37, 0x1f, 4).put(41, 0x0304070301, 5);  // edge type 3, width 4, direction 7, softness 3, fill 1
  r.put(52, 0x7, 4).put(56, 0x020100, 3).field(2, 59, {2000, 1000, -3000, -2000}, 2);
  r.field(3, 67, {1}, 1).field(4, 68, {400}, 2).field(6, 76, {2000, 0, 10000, 4000}, 2);
  r.field(1, 46, {600, 300, 400}, 2).field(5, 70, {2400, 800, 900}, 2);  // mattes 2 and 3
  const Lines out = field(r);
  const auto keyer = [&](const Lines& o, const char* name) { return calls(o, name, "0x3210", "0x1207").at(0); };
  const auto one = [&](const char* name) { return keyer(out, name); };
  // Green at half saturation, level 70 %: Y 64 + 876 × 0.7, Cb 339.33, Cr 308.54.
  EXPECT_EQ(calls(out, "setMatteColor", "0x3210", "0x2106").at(0), (Args{"0x2106", "677", "339", "309"}));
  // Each other matte at its own target.
  for (const auto& [id, hsl] : {std::pair{"0x210a", std::array{600, 300, 400}}, std::pair{"0x210e", std::array{2400, 800, 900}}}) {
    const YCbCr10 m = hslToYCbCr(0, hsl[0], hsl[1], hsl[2]);
    EXPECT_EQ(calls(out, "setMatteColor", "0x3210", id).at(0),
              (Args{id, std::to_string(m.y), std::to_string(m.cb), std::to_string(m.cr)}));
  }
  // Type 0 gives up its separate key signal, and says so.
  EXPECT_EQ(live(0, 1).style.styleFlag4, 0);
  EXPECT_EQ(one("setKeyClipGain").at(1), "3");
  expectNear(one("setKeyClipGain"), 2, {1000 * 876 / 1000.0f + 64, keyproc::keyGain(1001) * 1024 / 876, 1.001f, 0.5f});
  EXPECT_EQ(one("setKeyInvert"), (Args{"0x1207", "1"}));
  EXPECT_EQ(one("setKeyEdge"), (Args{"0x1207", "0x2002", "4", "315", "1"}));
  EXPECT_EQ(one("setKeyFillSource"), (Args{"0x1207", "0x1202"}));
  // Left 2000 / right -2000 is drawn as left -2000, right 2000; flag A goes inverted.
  const Args box = one("setKeyBoxMask");
  expectNear(box, 1, {0.3f, 0.4f, 0.4f, 0.4f});
  EXPECT_EQ(Args(box.begin() + 5, box.end()), (Args{"0", "0"}));
  // Width 10000 centred at X 2000 is cut at the right edge.
  expectNear(one("setKeyShape"), 1, {0.2f, 0.3f, 0.8f, 0.4f, 0.4f});

  // A chroma keyer passes clip 0 and gain 1 whatever its adjust; type 3 clips at -1023.
  const Lines type2 = field(KeyBody(0, 1).put(11, 0x1, 4).put(15, 2, 1));
  expectNear(keyer(type2, "setKeyClipGain"), 2, {0.0f, 1.0f});
  EXPECT_EQ(keyer(type2, "setKeyInvert").at(1), "0");
  const Args type3 = keyer(field(KeyBody(0, 1).put(11, 0x1, 4).put(15, 3, 1)), "setKeyClipGain");
  EXPECT_EQ(type3.at(1), "7");
  expectNear(type3, 2, {-1023.0f, 1.0f});
}

TEST_F(KeyUpdateTest, SettingsFollowTheVideoFormatAndRecordsWrittenStraightIn) {
  // Key 1: preset box (mode 1), a coloured matte 1.
  KeyBody r(0, 0);
  r.field(0, 31, {1200, 500, 700}, 2).put(52, 0x7, 4).put(56, 0x010000, 3);
  field(r);
  run({"field"});
  const auto expectFormat = [&](int format) {
    const Lines out = run({"field"});
    const keyproc::PresetBox& b = keyproc::presetBox(format);
    expectNear(calls(out, "setKeyBoxMask", "0x3210", "0x1205").at(0), 1,
               {b.left + 0.5f, 0.5f - b.top, b.right - b.left, b.top - b.bottom});
    const YCbCr10 m = hslToYCbCr(format, 1200, 500, 700);
    EXPECT_EQ(calls(out, "setMatteColor", "0x3210", "0x2105").at(0),
              (Args{"0x2105", std::to_string(m.y), std::to_string(m.cb), std::to_string(m.cr)}))
        << format;
  };
  expectFormat(0);
  // Only the video format changes (BT.601 and another 4:3 frame), then changes back.
  // The writable record is taken for each write: that is what marks its share for the save.
  category::CategorySystem::get().record(0).videoFormat = 6;
  expectFormat(6);
  category::CategorySystem::get().record(0).videoFormat = 0;
  expectFormat(0);
  // A record written without a merge is taken in the next field all the same.
  live(0, 0).shape[2] = 4000;
  expectNear(calls(run({"field"}), "setKeyShape", "0x3210", "0x1205").at(0), 1, {0.3f, 0.5f, 0.4f, 0.0f, 0.0f});
  // A resume works them out from the stored record, whatever was worked out before.
  live(0, 0).shape[2] = 2000;
  run({"field"});
  expectNear(calls(run({"restart resume", "field"}), "setKeyShape", "0x3210", "0x1205").at(0), 1,
             {0.4f, 0.5f, 0.2f, 0.0f, 0.0f});
}

TEST_F(KeyUpdateTest, LaterKeyOfAPriorityWinsItsLevel) {
  const int priorities[] = {0, 0, 1, 3};
  for (int k = 0; k < 4; ++k) live(2, k).priority = static_cast<u8>(priorities[k]);
  EXPECT_EQ(calls(run({"field"}), "setKeyPriority", "0x3212"), (std::vector<Args>{{"0x1207", "0x1209", "0x1209"}}));
}

TEST_F(KeyUpdateTest, DveLinkCopiesGeometryToTheFollowerUnderItsOwnChannel) {
  // Key 2 follows key 1 and key 1 follows key 2; key 2 keeps its own depth.
  field(KeyBody(1, 1).field(22, 163, {1}, 1).field(12, 103, {0, 0, 77}, 2));
  KeyBody lead(1, 0);
  lead.field(7, 84, {1}, 1).field(12, 103, {1000, 2000, 300}, 2).field(13, 109, {30000}, 4);
  lead.field(16, 123, {100, 200, 300}, 2).field(22, 163, {2}, 1).field(23, 164, {1}, 1);
  const Lines out = only(field(lead), "msg 0");
  ASSERT_EQ(out.size(), 2u);
  // Mirrored horizontally (mode 1) once, and reported as key 2 of M/E 1.
  EXPECT_EQ(out[1].substr(6, 26), "00013000" "00000000" "01" "0001" "0000");
  const KzifKey& f = live(1, 1);
  EXPECT_EQ(std::vector<int>({f.dveLocation[0], f.dveLocation[1], f.dveLocation[2]}), std::vector<int>({-1000, 2000, 77}));
  EXPECT_EQ(std::vector<int>({f.dveRotation[0], f.dveRotation[1], f.dveRotation[2]}), std::vector<int>({-100, 200, -300}));
  EXPECT_EQ(f.dveSize, 30000u);
  EXPECT_EQ(live(1, 0).dveLocation[0], 1000);  // the chain stopped at the key it started from
  EXPECT_TRUE(only(run({"field"}), "msg 0").empty());
}

// Every link mode, to a key that takes any size and to one that takes at most 10000 (a size at its
// limit and one past it): the follower holds byte for byte what a merge of a change record with
// just its location, rotation and size gives, its pending marks kept.
TEST_F(KeyUpdateTest, DveLinkCopyWritesWhatAMergeOfTheGeometryGives) {
  struct Want {
    i16 location[3];
    i16 rotation[3];
  };
  // Lead location {1000, -2000, 300}, rotation {100, -200, 30}; the follower's own depth is 77.
  const Want byMode[4] = {{{1000, 2000, 77}, {100, 200, -30}},
                          {{-1000, -2000, 77}, {-100, -200, -30}},
                          {{-1000, 2000, 77}, {-100, 200, -30}},
                          {{1000, -2000, 300}, {100, -200, 30}}};
  for (int mode = 0; mode < 4; ++mode)
    for (int follower : {1, 2})
      for (u32 size : {10000u, 10001u}) {
        SCOPED_TRACE("mode " + std::to_string(mode) + " follower " + std::to_string(follower) + " size " +
                     std::to_string(size));
        boot({});
        settle();
        CategoryKey& keys = CategoryKey::get(3);
        CategoryKey& twin = CategoryKey::get(2);
        KzifKey& f = keys.record(follower);
        f.dveLocation[2] = 77;
        f.dveRotation[2] = 5;
        f.set(KzifKey::BIT_PRIORITY);  // a change not yet sent
        keys.update();                 // whatever the update settles of the follower by itself
        KzifKey before = keys.record(follower);
        before.me = 2;
        twin.record(follower) = before;

        KzifKey lead{};
        lead.transKind = 1;
        lead.dveLinkKey = static_cast<u8>(follower + 1);
        lead.dveLinkMode = static_cast<u8>(mode);
        const i16 location[3] = {1000, -2000, 300}, rotation[3] = {100, -200, 30};
        std::memcpy(lead.dveLocation, location, sizeof location);
        std::memcpy(lead.dveRotation, rotation, sizeof rotation);
        lead.dveSize = size;
        for (int bit : {KzifKey::BIT_TRANS_KIND, KzifKey::BIT_DVE_LINK_KEY, KzifKey::BIT_DVE_LINK_MODE,
                        KzifKey::BIT_DVE_LOCATION, KzifKey::BIT_DVE_ROTATION, KzifKey::BIT_DVE_SIZE})
          lead.set(bit);
        keys.assign(lead, 0);
        keys.update();

        KzifKey change{};
        std::memcpy(change.dveLocation, byMode[mode].location, sizeof change.dveLocation);
        std::memcpy(change.dveRotation, byMode[mode].rotation, sizeof change.dveRotation);
        change.dveSize = follower == 2 && size > 10000 ? 10000 : size;
        for (int bit : {KzifKey::BIT_DVE_LOCATION, KzifKey::BIT_DVE_ROTATION, KzifKey::BIT_DVE_SIZE}) change.set(bit);
        twin.mergeInto(follower, change);

        KzifKey got = std::as_const(keys).record(follower);
        EXPECT_EQ(got.me, 3);
        EXPECT_EQ(got.channel, follower);
        EXPECT_TRUE(got.has(KzifKey::BIT_PRIORITY));
        got.me = 2;
        EXPECT_EQ(std::memcmp(&got, &std::as_const(twin).record(follower), sizeof got), 0);
        EXPECT_EQ(got.dveSize, change.dveSize);
        EXPECT_EQ(got.dveLocation[0], byMode[mode].location[0]);
        EXPECT_EQ(got.dveRotation[2], byMode[mode].rotation[2]);
      }
}

TEST_F(KeyUpdateTest, OnlyAConvertedSdiFillMarksTheKeyDveConverted) {
  category::CategoryBus& bus = category::CategoryBus::get(0);
  category::CategoryInputVideo::get().setConverted(4, 1);  // input 5, source 14
  field(KeyBody(0, 2).field(7, 84, {1}, 1));
  const auto dve = [&] { return calls(run({"field"}), "setKeyDve", "0x3210", "0x1209").at(0).at(1); };
  // Source 14, then a still, then an input taken as it is.
  for (const auto& [source, converted] : std::vector<std::pair<int, std::string>>{{14, "1"}, {181, "0"}, {15, "0"}}) {
    ASSERT_TRUE(bus.selectSource(6, source));
    EXPECT_EQ(dve(), converted) << source;
  }
}

TEST(KeyProcess, PresetBoxOfAnUnknownFormatIsThe1080Row) {
  const auto box = [](int format) {
    const keyproc::PresetBox& b = keyproc::presetBox(format);
    return std::vector<float>{b.left, b.right, b.top, b.bottom};
  };
  for (int unknown : {-1, 12}) EXPECT_EQ(box(unknown), box(0)) << unknown;
  EXPECT_EQ(box(11), box(1));
  EXPECT_NE(box(6), box(0));
}

// The box and the edge softness are kept within 0..1 by compares: for every box edge a record or a
// damaged image can hold around each bound (mode 2), every preset (mode 1) and every softness, the
// settings are those the library's fmin and fmax give.
TEST(KeyProcess, BoxAndSoftnessStayWithinTheirRangeAsFminAndFmaxKeepThem) {
  const auto unit = [](float v) { return std::fmin(std::fmax(v, 0.0f), 1.0f); };
  const auto expectBox = [&](const KzifKey& r, int format) {
    keyproc::KeyProcessSettings s;
    keyproc::boxMaskSettings(r, format, s);
    keyproc::PresetBox b = keyproc::presetBox(format);
    if (r.boxMask.mode == 2) b = {r.boxEdges[0] / 10000.0f, r.boxEdges[3] / 10000.0f, r.boxEdges[1] / 10000.0f, r.boxEdges[2] / 10000.0f};
    if (b.left > b.right) std::swap(b.left, b.right);
    if (b.top < b.bottom) std::swap(b.top, b.bottom);
    const std::vector<float> want{unit(b.left + 0.5f), unit(0.5f - b.top), unit(b.right - b.left), unit(b.top - b.bottom)};
    EXPECT_EQ((std::vector<float>{s.boxX, s.boxY, s.boxWidth, s.boxHeight}), want)
        << r.boxEdges[0] << " " << r.boxEdges[1] << " " << r.boxEdges[2] << " " << r.boxEdges[3] << " format " << format;
  };
  KzifKey r{};
  r.boxMask.mode = 1;
  for (int format = -1; format <= 12; ++format) expectBox(r, format);
  r.boxMask.mode = 2;
  const i16 edges[] = {-32768, -10001, -10000, -5001, -5000, -4999, -1, 0, 1, 4999, 5000, 5001, 10000, 32767};
  for (i16 left : edges)
    for (i16 top : edges)
      for (i16 bottom : edges)
        for (i16 right : edges) {
          const i16 box[4] = {left, top, bottom, right};
          std::memcpy(r.boxEdges, box, sizeof box);
          expectBox(r, 0);
        }
  for (int softness = 0; softness <= 255; ++softness) {
    r.edge.type = 1;
    r.edge.softness = static_cast<u8>(softness);
    keyproc::applyEdge(KZ_DSK1, r, keyproc::NO_FILL_SOURCE);
    EXPECT_EQ(kz::dskSettings(KZ_DSK1).edgeSoftness, std::fmin(1.0f, (static_cast<float>(softness) + 1.0f) * 0.25f))
        << softness;
  }
}

TEST_F(KeyUpdateTest, KeySettersRefuseWhatNoKeyHasAndRecordTheRest) {
  const auto refused = [&](auto call, const std::string& text) {
    lines.clear();
    EXPECT_THROW(call(), assert::AssertException) << text;
    ASSERT_EQ(only(lines, "log [ERR]").size(), 1u) << text;
    EXPECT_NE(lines.back().find(text), std::string::npos) << lines.back();
  };
  refused([] { setKeyClipGain(KZ_KEY1_F, 0, 0, 1, 0, 0); }, "isKey || isDsk || isUsk");
  refused([] { setKeyEdge(KZ_KEY1, KZ_KEY_EDGE_NONE, 5, 0, 0); }, "0 <= width && width <= 4");
  refused([] { setKeyEdge(KZ_DSK1, KZ_KEY_EDGE_NONE, 0, 360, 0); }, "0 <= dir && dir < 360");
  // A downstream key takes the fills a keyer has no use for: a still, a clip, a colour background.
  setKeyFillSource(KZ_DSK1 + 6, KZ_CLIP_1 + 6);
  setKeyInvert(KZ_DSK1 + 6, 1);
  setKeyClipGain(KZ_DSK1 + 6, 5, -1023, 300, 300, 2);
  const kz::KeySettings& s = kz::dskSettings(KZ_DSK1 + 6);
  EXPECT_EQ(std::tuple(s.fillSource, s.invert, s.clip, s.gain, s.secondGain, s.density),
            std::tuple(u16{KZ_CLIP_1 + 6}, u8{1}, 1023, kz::KEY_GAIN_MAX, kz::KEY_GAIN_MAX, kz::KEY_DENSITY_MAX));
}

TEST_F(KeyUpdateTest, DamagedStoredBoxStaysInsideThePicture) {
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifKey::TYPE_ID, 0);
  nv[offsetof(KzifKey, boxMask) + offsetof(KeyMask, mode)] = 2;
  const i16 edges[4] = {-30000, 30000, -30000, 30000};
  std::memcpy(nv + offsetof(KzifKey, boxEdges), edges, sizeof edges);
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = run({"restart resume", "field"});
  EXPECT_EQ(only(out, "log [ERR] Assertion"), Lines{});
  // The edges, out of range, come back as the zeros of a cold start: an empty box at the centre.
  EXPECT_EQ(calls(out, "setKeyBoxMask", "0x3210", "0x1205").at(0), (Args{"0x1205", "0.5", "0.5", "0", "0", "0", "1"}));
}

TEST_F(KeyUpdateTest, ColourBlockHoldsWhatTheKeyProcessLastWrote) {
  const auto ycbcr = [](std::initializer_list<int> hsl1, std::initializer_list<int> hsl2) {
    const auto a = hsl1.begin();
    const auto b = hsl2.begin();
    const YCbCr10 m1 = hslToYCbCr(0, a[0], a[1], a[2]);
    const YCbCr10 m2 = hslToYCbCr(0, b[0], b[1], b[2]);
    return std::array<u16, 6>{static_cast<u16>(m1.y), static_cast<u16>(m1.cb), static_cast<u16>(m1.cr),
                              static_cast<u16>(m2.y), static_cast<u16>(m2.cb), static_cast<u16>(m2.cr)};
  };
  const auto block = [] { return CategoryKey::get(0).colorBlock(3).ycbcr; };
  field(KeyBody(0, 3).field(0, 31, {1200, 500, 700}, 2).field(1, 46, {2400, 1000, 300}, 2));
  EXPECT_EQ(block(), ycbcr({1200, 500, 700}, {2400, 1000, 300}));
  // With the DVE matte the key process does not run: a new matte 1 waits, and arrives with it.
  field(KeyBody(0, 3).field(7, 84, {1}, 1).field(8, 85, {1}, 1).field(0, 31, {600, 800, 900}, 2));
  run({"field"});
  EXPECT_EQ(block(), ycbcr({1200, 500, 700}, {2400, 1000, 300}));
  field(KeyBody(0, 3).field(8, 85, {0}, 1));
  EXPECT_EQ(block(), ycbcr({600, 800, 900}, {2400, 1000, 300}));
  // Only matte 2 changes.
  field(KeyBody(0, 3).field(1, 46, {0, 0, 1080}, 2));
  EXPECT_EQ(block(), ycbcr({600, 800, 900}, {0, 0, 1080}));
}

// Untraced, an unchanged key leaves its setters alone; whatever else wrote or reset their
// registers in between, the next field brings the key's settings back.
TEST_F(SimTest, UntracedKeySettingsComeBackAfterTheirRegistersWereWrittenOrReset) {
  KeyBody r(0, 0);
  r.field(0, 31, {1200, 500, 700}, 2).put(52, 0x7, 4).put(56, 0x020100, 3).field(2, 59, {2000, 1000, -3000, -2000}, 2);
  r.field(6, 76, {2000, 0, 4000, 4000}, 2);
  run({("send 0 " + r.hex()).c_str(), "field", "field"});
  const YCbCr10 m = hslToYCbCr(0, 1200, 500, 700);
  const kz::Matte matte1{static_cast<u16>(m.y), static_cast<u16>(m.cb), static_cast<u16>(m.cr)};
  const kz::BoxMask box = kz::keySettings(KZ_CONTEXT_ME1, KZ_KEY1).boxMask;
  const auto expectKeySettings = [&](const char* after) {
    EXPECT_EQ(kz::matte(KZ_CONTEXT_ME1, KZ_COLOR_KEY_MATTE1), matte1) << after;
    EXPECT_EQ(kz::keySettings(KZ_CONTEXT_ME1, KZ_KEY1).boxMask, box) << after;
    EXPECT_FLOAT_EQ(kz::keyShapeImage(KZ_CONTEXT_ME1, KZ_KEY1).width, 0.4f) << after;
  };
  expectKeySettings("the record");
  EXPECT_FLOAT_EQ(box.width, 0.4f);

  setMeContext(KZ_CONTEXT_ME1);
  setMatteColor(KZ_COLOR_KEY_MATTE1, 1, 2, 3);
  setKeyBoxMask(KZ_KEY1, 0.0f, 0.0f, 1.0f, 1.0f, 0, 0);
  setKeyShape(KZ_KEY1, 0.0f, 0.0f, 1.0f, 1.0f, 0.0f);
  run({"field"});
  expectKeySettings("another writer");
  kz::resetKeyImages();
  kz::resetEffectImages();
  run({"field"});
  expectKeySettings("a reset of the images");
  // The DVE matte leaves matte 1 to the key process; back on the wipe, the key writes it again.
  run({("send 0 " + KeyBody(0, 0).field(7, 84, {1}, 1).field(8, 85, {1}, 1).hex()).c_str(), "field"});
  setMatteColor(KZ_COLOR_KEY_MATTE1, 1, 2, 3);
  run({"field", ("send 0 " + KeyBody(0, 0).field(7, 84, {0}, 1).hex()).c_str(), "field"});
  expectKeySettings("the DVE matte and back");
}

// Untraced, an unchanged keyer leaves its input and wipe setters alone; whatever else wrote or
// reset their registers in between, the next field brings the routes and the wipe position back.
TEST_F(SimTest, UntracedKeyRoutesAndWipeComeBackAfterTheirRegistersWereWrittenOrReset) {
  ASSERT_TRUE(category::CategoryBus::get(0).selectSource(BUS_KEY1_FILL, SOURCE_SDI_FIRST + 3));
  category::CategoryFaderEvent::get().transition(keyTransIndex(0, 0)).positionA = 0.25f;
  run({"field", "field"});
  const int fill = sourceToKz(SOURCE_SDI_FIRST + 3);
  const auto expectKey = [&](const char* after) {
    const kz::MeImage& me = kz::meImage(KZ_CONTEXT_ME1);
    EXPECT_EQ(me.input[KZ_KEY1_F - KZ_ABUS], fill) << after;
    EXPECT_EQ(me.input[KZ_KEY1_F + 1 - KZ_ABUS], fill) << after;
    EXPECT_FLOAT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1, KZ_KEY1).wipePosition, 0.25f) << after;
  };
  expectKey("the selection");
  setMeContext(KZ_CONTEXT_ME1);
  setMeInput(KZ_KEY1_F, KZ_BLACK);
  setMeInput(KZ_KEY1_F + 1, KZ_BLACK);
  setKeyTransition(KZ_KEY1, 1.0f);
  run({"field"});
  expectKey("another writer");
  // Another M/E's context left current: the same values, but not where they would land.
  setMeContext(KZ_CONTEXT_ME1 + 2);
  run({"field"});
  expectKey("another context");
  kzInitialize();
  run({"field"});
  expectKey("a reset of the images");
  // A position that moves is rendered in its field.
  category::CategoryFaderEvent::get().transition(keyTransIndex(0, 0)).positionA = 0.5f;
  run({"field"});
  EXPECT_FLOAT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1, KZ_KEY1).wipePosition, 0.5f);
}

// Each matte is converted where its setter is written: a matte the key's path leaves out (matte 4
// of the key process, mattes 1 and 2 of the DVE matte) comes out, once its path is taken, in the
// colour and the video format of that field, whatever changed while it was left out.
TEST_F(KeyUpdateTest, EachMatteComesOutInTheColourAndFormatOfTheFieldItIsWrittenIn) {
  const auto written = [](const Lines& out, int id) {
    char target[16];
    std::snprintf(target, sizeof target, "0x%x", id);
    return calls(out, "setMatteColor", "0x3210", target);
  };
  const auto converted = [](int format, int h, int s, int l) {
    const YCbCr10 m = hslToYCbCr(format, h, s, l);
    return Args{"", std::to_string(m.y), std::to_string(m.cb), std::to_string(m.cr)};
  };
  const auto expectWritten = [&](const Lines& out, int id, const Args& want) {
    const auto got = written(out, id);
    ASSERT_EQ(got.size(), 1u) << id;
    EXPECT_EQ(Args(got[0].begin() + 1, got[0].end()), Args(want.begin() + 1, want.end())) << id;
  };
  const int matte1 = KZ_COLOR_KEY_MATTE1 + 2, matte4 = KZ_COLOR_KEY_MATTE4 + 2;
  Lines out = field(KeyBody(0, 2).field(11, 97, {1200, 500, 700}, 2));
  EXPECT_TRUE(written(out, matte4).empty());
  category::CategorySystem::get().record(0).videoFormat = 6;
  run({"field"});
  // The DVE matte: matte 4 as received, in the format of now.
  out = field(KeyBody(0, 2).field(7, 84, {1}, 1).field(8, 85, {1}, 1).field(0, 31, {2400, 1000, 300}, 2));
  expectWritten(out, matte4, converted(6, 1200, 500, 700));
  EXPECT_TRUE(written(out, matte1).empty());
  category::CategorySystem::get().record(0).videoFormat = 0;
  expectWritten(run({"field"}), matte4, converted(0, 1200, 500, 700));
  expectWritten(field(KeyBody(0, 2).field(11, 97, {600, 800, 900}, 2)), matte4, converted(0, 600, 800, 900));
  // Back on the key process: matte 1 as received while it was left out; matte 4 changes meanwhile
  // and changes back, and the DVE matte takes it as it stands.
  category::CategorySystem::get().record(0).videoFormat = 7;
  out = field(KeyBody(0, 2).field(8, 85, {0}, 1).field(11, 97, {0, 0, 1080}, 2));
  expectWritten(out, matte1, converted(7, 2400, 1000, 300));
  EXPECT_TRUE(written(out, matte4).empty());
  field(KeyBody(0, 2).field(11, 97, {600, 800, 900}, 2));
  expectWritten(field(KeyBody(0, 2).field(8, 85, {1}, 1)), matte4, converted(7, 600, 800, 900));
}

namespace {

// What the keyers' setter blocks leave in the register images of the four M/E contexts: the key
// settings, the keyers' colour mattes and the key shapes.
struct KeyImages {
  std::array<kz::KeyContextImage, 4> contexts{};
  std::array<std::array<kz::KeyShapeImage, 4>, 4> shapes{};

  static KeyImages now() {
    KeyImages i;
    for (int me = 0; me < 4; ++me) {
      const auto m = static_cast<std::size_t>(me);
      i.contexts[m] = kz::keyContextImage(KZ_CONTEXT_ME1 + me);
      for (int k = 0; k < 4; ++k) i.shapes[m][static_cast<std::size_t>(k)] = kz::keyShapeImage(KZ_CONTEXT_ME1 + me, KZ_KEY1 + 2 * k);
    }
    return i;
  }
  // The first difference from `other`, or empty.
  std::string differenceFrom(const KeyImages& other) const {
    for (std::size_t me = 0; me < 4; ++me) {
      const kz::KeyContextImage& a = contexts[me];
      const kz::KeyContextImage& b = other.contexts[me];
      for (std::size_t k = 0; k < 4; ++k) {
        if (!(a.keys[k] == b.keys[k])) return "M/E " + std::to_string(me) + " key " + std::to_string(k) + " settings";
        const kz::KeyShapeImage& s = shapes[me][k];
        const kz::KeyShapeImage& t = other.shapes[me][k];
        if (s.left != t.left || s.top != t.top || s.width != t.width || s.height != t.height || s.shape != t.shape)
          return "M/E " + std::to_string(me) + " key " + std::to_string(k) + " shape";
      }
      for (int id = KZ_COLOR_KEY_MATTE4; id < KZ_COLOR_KEY_MATTE3 + 4; ++id) {
        const auto n = static_cast<std::size_t>(id - KZ_COLOR_BKGD_BORDER);
        if (!(a.mattes[n] == b.mattes[n])) return "M/E " + std::to_string(me) + " matte " + std::to_string(id);
      }
      if (a.priority != b.priority) return "M/E " + std::to_string(me) + " priority";
    }
    return "";
  }
};

// Another writer's call to one of the setters of keyer k's block under the current context.
void writeKeyerSetter(int which, int k, u32 v) {
  const int target = KZ_KEY1 + 2 * k;
  const f32 f = static_cast<f32>(v % 100) / 100.0f;
  const int c = static_cast<int>(v % 1024);
  switch (which) {
    case 0: setMatteColor(KZ_COLOR_KEY_MATTE1 + k, c, 1023 - c, 512); break;
    case 1: setMatteColor(KZ_COLOR_KEY_MATTE2 + k, c, 1023 - c, 512); break;
    case 2: setMatteColor(KZ_COLOR_KEY_MATTE3 + k, c, 1023 - c, 512); break;
    case 3: setMatteColor(KZ_COLOR_KEY_MATTE4 + k, c, 1023 - c, 512); break;
    case 4: setKeyClipGain(target, static_cast<int>(v % 8), f * 100.0f, f, f / 2.0f, f); break;
    case 5: setKeyInvert(target, static_cast<int>(v % 2)); break;
    case 6: setKeyBoxMask(target, f / 2.0f, f / 4.0f, f / 2.0f, f / 3.0f, static_cast<int>(v % 2), 1); break;
    default: setKeyShape(target, f / 2.0f, f / 4.0f, f / 2.0f, f / 3.0f, f); break;
  }
}

// Setters of other things than the keyers' blocks: the background border matte, a downstream
// key's clip and gain and box mask, a matte of the downstream keys.
void writeOtherSetter(u32 v) {
  const f32 f = static_cast<f32>(v % 100) / 100.0f;
  const int c = static_cast<int>(v % 1024);
  setMatteColor(KZ_COLOR_BKGD_BORDER, c, 512, 512);
  setMatteColor(KZ_COLOR_DSK_FILL, 512, c, 512);
  setKeyClipGain(KZ_DSK1 + 2 * static_cast<int>(v % 4), 0, f * 10.0f, f, 0.0f, f);
  setKeyBoxMask(KZ_DSK1, f / 2.0f, 0.0f, 0.5f, 0.5f, 1, 0);
}

}  // namespace

// Untraced, each setter of a keyer's block that another writer changed comes back in the next
// field, in a field where the setters of the other keys, of the downstream keys and of the
// background change too: one setter at a time, each of the four keys, under each M/E's context.
// (The key process leaves matte 4 alone, the DVE matte mattes 1 and 2, the clip and gain, the
// invert and the box mask.)
TEST_F(SimTest, UntracedKeySetterWrittenElsewhereComesBackWhileOtherSettersChange) {
  for (int me = 0; me < 4; ++me)
    for (int k = 0; k < 4; ++k) {
      KzifKey& r = CategoryKey::get(me).record(k);
      const i16 colour[3] = {static_cast<i16>(300 * k + 100 * me), 700, 600};
      std::memcpy(r.matte1, colour, sizeof colour);
      std::memcpy(r.matte2, colour, sizeof colour);
      std::memcpy(r.matte3, colour, sizeof colour);
      std::memcpy(r.matte4, colour, sizeof colour);
      r.adjust.clip = static_cast<i16>(100 + k);
      r.adjust.gain = 0;
      r.style.invertFlag = 1;
      r.style.keyType = 1;
      r.boxMask.mode = 2;
      const i16 shape[4] = {static_cast<i16>(100 * k), 0, 5000, 3000};
      std::memcpy(r.shape, shape, sizeof shape);
      // Keys 3 of M/Es 2 and 4 take the DVE matte: matte 4 and the shape.
      r.transKind = k == 2 && me % 2 == 1 ? 1 : 0;
      r.dveMatte = r.transKind;
    }
  run({"field", "field"});
  const KeyImages want = KeyImages::now();
  u32 v = 1;
  for (int which = 0; which < 8; ++which)
    for (int me = 0; me < 4; ++me)
      for (int k = 0; k < 4; ++k) {
        const bool dveMatte = CategoryKey::get(me).data(k).dveMatte == 1;
        if (dveMatte ? which != 2 && which != 3 && which != 7 : which == 3) continue;
        setMeContext(KZ_CONTEXT_ME1 + me);
        writeKeyerSetter(which, k, v += 37);
        writeOtherSetter(v);
        // Another key of the M/E changes its setters in the same field.
        CategoryKey::get(me).record((k + 1) % 4).adjust.gain = static_cast<i16>(v % 1000);
        run({"field"});
        CategoryKey::get(me).record((k + 1) % 4).adjust.gain = 0;
        run({"field"});
        const std::string difference = KeyImages::now().differenceFrom(want);
        EXPECT_EQ(difference, "") << "setter " << which << " of M/E " << me << " key " << k;
      }
}

// Untraced, over random fields, the keyers leave the register images as a traced field (which
// hands every setter its arguments) leaves them: each field changes a few of what the key settings
// are worked out from (a record written straight in, the video format, a transition position),
// has other writers change setters of the keyers' blocks, of the downstream keys and of the
// background, and leaves any M/E's context current before the update.
TEST_F(SimTest, UntracedKeyFieldsLeaveWhatATracedFieldLeavesOverRandomChanges) {
  std::uint32_t seed = 2026;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  const auto pick = [&next](u32 n) { return static_cast<int>(next() % n); };
  int differences = 0;
  for (int round = 0; round < 400 && differences < 5; ++round) {
    const int changes = pick(4);
    for (int c = 0; c < changes; ++c) {
      const int me = pick(4), k = pick(4);
      KzifKey& r = CategoryKey::get(me).record(k);
      switch (pick(9)) {
        case 0: r.matte1[0] = static_cast<i16>(pick(3600)); break;
        case 1: r.matte2[1] = static_cast<i16>(pick(1001)); break;
        case 2: r.matte3[2] = static_cast<i16>(pick(1081)); break;
        case 3: r.matte4[0] = static_cast<i16>(pick(3600)); break;
        case 4:
          r.adjust.clip = static_cast<i16>(pick(1081));
          r.adjust.gain = static_cast<i16>(pick(2001));
          break;
        case 5:
          r.style.keyType = static_cast<u8>(pick(4));
          r.style.invertFlag = static_cast<u8>(pick(2));
          break;
        case 6:
          r.boxMask.mode = static_cast<u8>(pick(3));
          r.boxEdges[0] = static_cast<i16>(pick(10001) - 5000);
          break;
        case 7:
          r.shape[0] = static_cast<i16>(pick(10001) - 5000);
          r.shapeOn = static_cast<u8>(pick(2));
          r.shapeSoftness = static_cast<i16>(pick(1001));
          break;
        default:
          r.transKind = static_cast<u8>(pick(2));
          r.dveMatte = static_cast<u8>(pick(2));
          break;
      }
    }
    if (pick(8) == 0) category::CategorySystem::get().record(0).videoFormat = static_cast<u8>(pick(12));
    if (pick(4) == 0) category::CategoryFaderEvent::get().transition(keyTransIndex(pick(4), pick(4))).positionA = static_cast<f32>(pick(5)) / 4.0f;
    const int writes = pick(4);
    for (int w = 0; w < writes; ++w) {
      setMeContext(KZ_CONTEXT_ME1 + pick(4));
      writeKeyerSetter(pick(8), pick(4), next());
    }
    if (pick(2) == 0) writeOtherSetter(next());
    setMeContext(KZ_CONTEXT_ME1 + pick(8));
    run({"field"});
    const KeyImages untraced = KeyImages::now();
    platform::driverTraceOn = true;
    run({"field"});
    platform::driverTraceOn = false;
    const std::string difference = untraced.differenceFrom(KeyImages::now());
    if (!difference.empty()) ++differences;
    EXPECT_EQ(difference, "") << "round " << round;
  }
}

// A setter's memo entry holds nothing until it takes arguments; each take stamps it anew with a
// stamp never 0, also once the count wraps round; a forgotten entry holds nothing again.
TEST(SetterMemo, EachTakeStampsTheEntryAnewAndAForgottenEntryHoldsNothing) {
  std::array<kz::memo::Last<2>, 1> table{};
  kz::memo::Last<2>& e = table[0];
  EXPECT_FALSE(e.same(1, 2.0f));
  const u32 saved = kz::memo::generation;
  kz::memo::generation = 0xFFFFFFFFu - 2;  // two takes from wrapping round
  u32 last = 0;
  for (int i = 0; i < 4; ++i) {
    e.take(i, 2.0f);
    EXPECT_NE(e.stamp, 0u) << i;
    EXPECT_NE(e.stamp, last) << i;
    EXPECT_TRUE(e.same(i, 2.0f));
    EXPECT_FALSE(e.same(i, -2.0f));
    last = e.stamp;
  }
  kz::memo::forget(table);
  EXPECT_FALSE(e.same(3, 2.0f));
  EXPECT_EQ(e.stamp, 0u);
  kz::memo::generation = saved;
}

// A matte's cache converts again when the video format or any one of hue, saturation and
// luminance differs from its last conversion, and gives the conversion of what it was asked.
TEST(KeyProcess, MatteCacheConvertsAgainWhenAnyComponentOrTheFormatChanges) {
  keyproc::ColorCache cache;
  const auto expectConverted = [&cache](int format, i16 h, i16 s, i16 l) {
    const i16 hsl[3] = {h, s, l};
    const YCbCr10 want = hslToYCbCr(format, h, s, l);
    const YCbCr10& got = keyproc::convertMatte(hsl, format, cache);
    EXPECT_EQ(std::tuple(got.y, got.cb, got.cr), std::tuple(want.y, want.cb, want.cr)) << format << " " << h << " " << s << " " << l;
    EXPECT_EQ(std::tuple(cache.hsl[0], cache.hsl[1], cache.hsl[2], cache.format), std::tuple(h, s, l, static_cast<i16>(format)));
  };
  expectConverted(0, 0, 0, 0);
  expectConverted(0, 1200, 0, 0);
  expectConverted(0, 1200, 800, 0);
  expectConverted(0, 1200, 800, 700);
  expectConverted(6, 1200, 800, 700);
  expectConverted(6, 1200, 800, 700);
  expectConverted(6, 3599, 800, 700);
  expectConverted(6, 3599, 1000, 700);
  expectConverted(6, 3599, 1000, 1080);
  expectConverted(0, 3599, 1000, 1080);
}

// The clip a key or downstream key records is the asked clip kept within 16 bits as fmin and fmax
// keep it, negated and rounded, for every kind of value: NaN, infinities, zeros of either sign,
// the ends and just past them, halves, and values of every size.
TEST(KeySetters, ClipIsKeptWithinItsBitsAsFminAndFmaxKeepIt) {
  const auto reference = [](f32 clip) {
    const f32 c = std::isnan(clip) ? 0.0f : std::fmin(std::fmax(clip, -65535.0f), 65535.0f);
    return c >= 0.0f ? -static_cast<i32>(c + 0.5f) : static_cast<i32>(-c + 0.5f);
  };
  std::vector<f32> values = {std::nanf(""), -INFINITY, INFINITY, -0.0f, 0.0f, 0.49f, -0.49f, 0.5f, -0.5f, 1.5f, -1.5f,
                             65534.5f, -65534.5f, 65535.0f, -65535.0f, 65535.5f, -65535.5f, 65536.0f, -65536.0f, 1e9f, -1e9f};
  std::uint32_t seed = 77;
  for (int i = 0; i < 300; ++i) {
    seed = seed * 1664525u + 1013904223u;
    values.push_back(static_cast<f32>(static_cast<i32>(seed >> 1) % 140000 - 70000) / static_cast<f32>(1 + (seed & 7)));
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    const f32 v = values[i];
    const int target = i % 2 == 0 ? KZ_DSK1 + 2 : KZ_KEY1 + 4;
    setKeyClipGain(target, 0, v, 1.0f, 0.0f, 0.0f);
    const kz::KeySettings& s = target == KZ_DSK1 + 2 ? kz::dskSettings(target) : kz::keySettings(KZ_CONTEXT_ME1 + kz::image::currentContextIndex, target);
    EXPECT_EQ(s.clip, reference(v)) << v;
  }
}
