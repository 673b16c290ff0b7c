// Tally: the sources and buses each tally group's outputs reach, in the state and the
// hardware-status modes, and the records that carry them on the wire.
#include <string>

#include "Driver/kz.h"
#include "Main/bkgd.h"
#include "Main/bus.h"
#include "Main/cp_config.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/inputvideo.h"
#include "Main/key.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/tally.h"
#include "Main/usk.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

using namespace category;

namespace {

class TallyTest : public SimTest {
 protected:
  // Tally group `group` names `codes` (written straight into the kept settings, so that codes no
  // record may carry, such as the M/E 3 outputs, can be named too).
  void group(int g, std::initializer_list<int> codes) {
    TallyGroup& tg = CategoryPeripheral::get().record(0).tallyGroup[g];
    int i = 0;
    for (auto& o : tg.output) o = 0;
    for (int c : codes) tg.output[i++] = static_cast<i16>(c);
  }
  void hardwareMode(bool on) { CategoryPeripheral::get().record(0).tallyMode = on ? 1 : 0; }
  static void bus(int me, int b, int source) { CategoryBus::get(me).record(0).code[b] = static_cast<u16>(1024 + source); }
  static AutoTransition& trans(int i) { return CategoryFaderEvent::get().transition(i); }
  static KzifKey& key(int me, int k) { return CategoryKey::get(me).record(k); }
  static auto& dsk(int side) { return CategoryDsk::get().record(side); }
  static MeConfig& meConfig(int me) { return CategoryMainframeConfig::get().record(0).meConfig[me]; }
  static DskConfig& dskConfig() { return CategoryMainframeConfig::get().record(0).dskConfig; }
  static int on(int g, int source) { return CategorySourceTally::get().outgoingRow(g).tally[tallyIndexOf(source)]; }
  static int busOn(int me, int b) { return CategoryBusTally::get(me).busTally(b); }
  // The sources of `candidates` that group g shows, in order.
  static std::vector<int> shown(int g, std::initializer_list<int> candidates) {
    std::vector<int> r;
    for (int s : candidates)
      if (on(g, s)) r.push_back(s);
    return r;
  }
  Lines field() { return run({"field"}); }
  // The same, after one more field.
  std::vector<int> shownNext(int g, std::initializer_list<int> candidates) {
    field();
    return shown(g, candidates);
  }
};

using V = std::vector<int>;

}  // namespace

TEST(TallyIndex, SourceIdsMapToTheirIndexAndOthersToNone) {
  const std::pair<int, int> cases[] = {{10, 0},    {137, 127}, {140, 128}, {141, 129}, {150, 130}, {165, 145}, {170, 146},
                                       {178, 154}, {180, 155}, {181, 155}, {182, 156}, {189, 161}, {191, 162}, {200, 163},
                                       {211, 170}, {220, 171}, {223, 174}, {230, 175}, {237, 182}, {240, 183}, {287, 230},
                                       {314, 231}, {329, 246}, {9, -1},    {138, -1},  {142, -1},  {166, -1},  {179, -1},
                                       {192, -1},  {224, -1},  {288, -1},  {313, -1},  {330, -1}};
  for (auto [source, index] : cases) EXPECT_EQ(tallyIndexOf(source), index) << source;
  for (auto [code, source] : {std::pair{12, 164}, {13, 170}, {68, 287}, {0, -1}, {69, -1}, {-1, -1}})
    EXPECT_EQ(tallyEntrySource(code), source) << code;
}

TEST_F(TallyTest, ProgramFollowsBackgroundTransitionAndKeysAndOnlyGroupOneMovesBusTally) {
  group(0, {1});
  bus(0, 0, 10), bus(0, 1, 11), bus(0, 2, 12), bus(0, 3, 13);
  EXPECT_EQ(shownNext(0, {150, 10, 11, 12, 13}), (V{150, 10}));
  EXPECT_EQ(std::tuple(busOn(0, 0), busOn(0, 1), busOn(0, 2)), std::tuple(1, 1, 0));
  // Mid-transition both background sources are on air; a key with a separate key signal adds both.
  trans(bkgdTransIndex[0]).positionA = 0.5f, trans(keyTransIndex(0, 0)).positionA = 0.2f;
  key(0, 0).style.keyType = 1, key(0, 0).style.styleFlag4 = 1;
  EXPECT_EQ(shownNext(0, {10, 11, 12, 13}), (V{10, 11, 12, 13}));
  // A wipe that brings in a utility bus, and a pattern family that takes the other one.
  // Taken anew after each field: a record written through a reference kept past the save would
  // change its share of the backup image unmarked.
  auto bk = [] () -> KzifBkgd& { return CategoryBkgd::get(0).record(0); };
  bk().transType = 1, bk().wipeUtility = 1, bk().transUtilityBus = 1, bk().utilityBus = 2;
  bk().wipeGroup = 0, bk().wipePattern = 22;
  bus(0, 10, 30), bus(0, 11, 31);
  EXPECT_EQ(shownNext(0, {30, 31}), (V{30}));
  bk().wipeGroup = 3, bk().wipePattern = 12;
  EXPECT_EQ(shownNext(0, {30, 31}), (V{31}));
  // {group, variant, pattern, takes the other utility bus}: each family's patterns at both ends
  // and one past, and the variants of group 1's patterns 16 and 18.
  bk().wipeUtility = 0;
  const std::array<int, 4> families[] = {{1, 2, 16, 1}, {1, 3, 18, 1}, {1, 1, 16, 0}, {1, 4, 18, 0}, {1, 2, 17, 0},
                                         {3, 0, 15, 1}, {3, 0, 11, 0}, {3, 0, 16, 0}, {1, 0, 20, 1}, {1, 0, 22, 1},
                                         {1, 0, 19, 0}, {1, 0, 23, 0}, {2, 0, 12, 0}};
  for (const auto& [g, variant, pattern, takes] : families) {
    bk().wipeGroup = static_cast<u8>(g), bk().wipeVariant = static_cast<u8>(variant), bk().wipePattern = static_cast<u8>(pattern);
    EXPECT_EQ(shownNext(0, {30, 31}), takes ? V{31} : V{}) << g << " " << variant << " " << pattern;
  }
  bk().wipeUtility = 1, bk().wipeVariant = 0;
  // Pattern 23 brings no utility bus in; a mix takes neither bus, whatever its wipe settings say.
  bk().wipeGroup = 0, bk().wipePattern = 23;
  EXPECT_EQ(shownNext(0, {30, 31}), V{});
  bk().transType = 0;
  for (auto [g, pattern] : {std::pair{0, 22}, {3, 12}}) {
    bk().wipeGroup = static_cast<u8>(g), bk().wipePattern = static_cast<u8>(pattern);
    EXPECT_EQ(shownNext(0, {30, 31}), V{}) << g;
  }
  // From the status words the wipe's utility bus is on air while the transition is, and only then.
  hardwareMode(true);
  run({"hw tally_me1 0x02"});
  bk().transType = 1, bk().wipeGroup = 0, bk().wipePattern = 22;
  EXPECT_EQ(shownNext(0, {10, 30, 31}), (V{10, 30}));
  trans(bkgdTransIndex[0]).positionA = 0.0f;
  EXPECT_EQ(shownNext(0, {10, 30, 31}), (V{10}));
  trans(bkgdTransIndex[0]).positionA = 0.5f;
  hardwareMode(false);
  // Key type 3: only the fill.
  bk().transType = 0, key(0, 0).style.keyType = 3, trans(bkgdTransIndex[0]).positionA = 0.0f;
  EXPECT_EQ(shownNext(0, {10, 11, 12, 13}), (V{10, 12}));
  EXPECT_EQ(busOn(0, 3), 0);
  // The same outputs in group 2 leave the bus tally as it stands.
  group(0, {}), group(1, {1});
  EXPECT_EQ(shownNext(1, {10, 12}), (V{10, 12}));
  EXPECT_EQ(std::tuple(busOn(0, 0), busOn(0, 2)), std::tuple(0, 0));
}

TEST_F(TallyTest, PreviewAndCleanOutputsFollowTheMainframeConfiguration) {
  group(1, {2, 3});
  bus(0, 0, 10), bus(0, 1, 11), bus(0, 4, 14), bus(0, 5, 15), bus(0, 6, 16);
  meConfig(0).previewBus = 1;  // preview shows the preview bus only
  meConfig(0).cleanMode = 1, meConfig(0).cleanKey = 1;
  trans(keyTransIndex(0, 1)).positionA = 1.0f;
  EXPECT_EQ(shownNext(1, {151, 152, 10, 11, 14, 15}), (V{151, 152, 11, 15}));
  // A preview key rule 2 puts the key on preview whatever its level.
  meConfig(0).previewKey[2] = 2;
  EXPECT_EQ(shownNext(1, {16}), V{16});
  // A clean key the configuration cannot hold names no key: the clean output adds nothing.
  meConfig(0).previewKey[2] = 0, meConfig(0).cleanKey = 7;
  EXPECT_EQ(shownNext(1, {152, 14, 15}), (V{152}));
  // Mode 0: background and the keys above the clean key, none of them when there is none.
  meConfig(0).cleanMode = 0;
  EXPECT_EQ(shownNext(1, {152, 10, 14, 15}), (V{152, 10}));
  meConfig(0).cleanKey = 0, key(0, 1).priority = 2;
  EXPECT_EQ(shownNext(1, {152, 10, 14, 15}), (V{152, 10, 14}));
  // From the status words, mode 1 adds the clean key's bus while that key is on air, and only then.
  hardwareMode(true);
  meConfig(0).cleanMode = 1, meConfig(0).cleanKey = 1;
  run({"hw tally_me1 0"});
  EXPECT_EQ(shownNext(1, {152, 10, 11, 14, 15}), (V{152, 14}));
  trans(keyTransIndex(0, 1)).positionA = 0.0f;
  EXPECT_EQ(shownNext(1, {152, 10, 11, 14, 15}), (V{152}));
  meConfig(0).cleanKey = 7;
  EXPECT_EQ(shownNext(1, {152, 10, 11, 14, 15}), (V{152}));
}

TEST_F(TallyTest, DskProgramFollowsItsMeInputAndKeysAndFadeToBlackHidesIt) {
  group(0, {13});
  dskConfig().meInput[0] = 1;  // DSK side 0 takes the M/E 2 program
  bus(1, 0, 20), bus(1, 16, 21), bus(1, 17, 22);
  trans(dskTransIndex(0)).positionA = 1.0f;
  dsk(0).style.keyType = 2, dsk(0).style.styleFlag4 = 1;
  EXPECT_EQ(shownNext(0, {170, 154, 20, 21, 22}), (V{170, 154, 20, 21, 22}));
  for (int me = 0; me < N_ME; ++me) EXPECT_EQ(std::tuple(busOn(me, 16), busOn(me, 17)), std::tuple(1, 1)) << me;
  // DSK 2 with a separate key flags its own pair, 18 and 19, on every M/E.
  trans(dskTransIndex(1)).positionA = 1.0f;
  dsk(1).style.keyType = 1, dsk(1).style.styleFlag4 = 1;
  field();
  for (int me = 0; me < N_ME; ++me)
    EXPECT_EQ(std::tuple(busOn(me, 17), busOn(me, 18), busOn(me, 19), busOn(me, 20)), std::tuple(1, 1, 1, 0)) << me;
  trans(dskTransIndex(1)).positionA = 0.0f;
  // DSK 1 assigned to program 2 leaves program 1.
  dskConfig().programAssign[0] = 1;
  EXPECT_EQ(shownNext(0, {170, 21}), (V{170}));
  // DSK preview 1 shows the M/E preview while the preview follows.
  group(1, {15});
  dskConfig().previewFollow = 1;
  EXPECT_EQ(shownNext(1, {172, 155, 154}), (V{172, 155}));
  // DSK program 2 takes the second side's M/E input while the sides are selected apart, else the first's.
  group(0, {14});
  dskConfig().meInput[1] = 9;
  dskConfig().sideSelect = 1;
  EXPECT_EQ(shownNext(0, {171, 154, 156}), (V{171, 156}));
  dskConfig().sideSelect = 0;
  EXPECT_EQ(shownNext(0, {171, 154, 156}), (V{171, 154}));
  group(0, {13});
  // DSK preview 2 on a selected DSK: the second side only while that DSK is on program 2 and the
  // sides are apart.
  group(1, {16});
  dskConfig().previewFollow = 0, dskConfig().previewSelect = 1;
  for (auto [sides, assigned, shown] : {std::tuple{1, 1, V{173, 156}}, {1, 0, V{173, 154}}, {0, 1, V{173, 154}}}) {
    dskConfig().sideSelect = static_cast<u8>(sides), dskConfig().programAssign[0] = static_cast<u8>(assigned);
    EXPECT_EQ(shownNext(1, {173, 154, 156}), shown) << sides << " " << assigned;
  }
  // With no DSK selected for it, DSK preview 2 shows the M/E program while a DSK is on program 2
  // and the preview does not follow, else the M/E preview.
  dskConfig().previewSelect = 0, dskConfig().sideSelect = 0;
  for (auto [follow, assigned, shown] : {std::tuple{0, 1, V{173, 154}}, {0, 0, V{173, 155}}, {1, 1, V{173, 155}}}) {
    dskConfig().previewFollow = static_cast<u8>(follow), dskConfig().programAssign[0] = static_cast<u8>(assigned);
    EXPECT_EQ(shownNext(1, {173, 154, 155}), shown) << follow << " " << assigned;
  }
  // A DSK clean output shows the M/E preview only while its own clean preview is on and the
  // preview follows.
  group(1, {17});
  for (auto [clean, shown] : {std::pair{1, V{174, 155}}, {0, V{174, 154}}}) {
    dskConfig().cleanPreview[0] = static_cast<u8>(clean);
    EXPECT_EQ(shownNext(1, {174, 154, 155}), shown) << clean;
  }
  dskConfig().programAssign[0] = 1;
  group(1, {15});
  dskConfig().previewFollow = 1, dskConfig().previewSelect = 0, dskConfig().sideSelect = 0;
  dskConfig().programAssign[0] = 0;
  const_cast<AutoTransition&>(CategoryOperate::get().fadeTransition()).positionA = 1.0f;
  EXPECT_EQ(shownNext(0, {170, 154, 20, 21}), V{});
}

TEST_F(TallyTest, AuxChainsUpstreamKeysAndExcludedInputs) {
  group(0, {21});
  bus(0, 24, 241);  // AUX 1 shows AUX 2 (seen by the tally pass, which runs before the bus pass)
  bus(0, 25, 10);
  auto& assign = CategoryUpStreamKeyAssign::get().record(0);
  assign.inputKey[0].key = 6;  // source 10 always through upstream keyer 1
  assign.sources.uskSource[2] = 30, assign.sources.uskSource[3] = 31;
  auto& usk = CategoryUpStreamKey::get().record(1);
  usk.style.keyType = 1, usk.style.styleFlag4 = 1;
  EXPECT_EQ(shownNext(0, {240, 241, 10, 30, 31}), (V{240, 241, 10, 30, 31}));
  for (int me = 0; me < N_ME; ++me) EXPECT_EQ(std::tuple(busOn(me, 24), busOn(me, 25)), std::tuple(1, 1)) << me;
  EXPECT_EQ(std::tuple(busOn(0, 74), busOn(0, 75), busOn(1, 74)), std::tuple(1, 1, 0));
  // An input kept out of tally hides itself and what it brings.
  CategoryInputVideo::get().setTallyExcluded(0, 1);
  bus(0, 24, 241);  // the bus pass of the field refuses it again, after the tally pass has run
  EXPECT_EQ(shownNext(0, {240, 241, 10, 30, 31}), (V{240, 241}));
  // The DVI inputs 140 and 141 are kept out by input channels 0 and 1.
  for (auto [source, excludeSecond, shown] : {std::tuple{140, 0, V{241}}, {141, 0, V{241, 141}}, {141, 1, V{241}}}) {
    CategoryInputVideo::get().setTallyExcluded(1, excludeSecond);
    bus(0, 24, 241), bus(0, 25, source);
    EXPECT_EQ(shownNext(0, {241, 140, 141}), shown) << source << " " << excludeSecond;
  }
}

// Each source reaches upstream keyer 1 through its own entry of the assignment table, at both ends
// of each run of entries: the neighbouring entry keeps it out.
TEST_F(TallyTest, EachSourceGoesThroughItsOwnEntryOfTheUpstreamKeyAssignment) {
  group(0, {21});
  // Handed out writable afresh for every write: the save and the walk see each one.
  const auto assign = []() -> KzifUpStreamKeyAssign& { return CategoryUpStreamKeyAssign::get().record(0); };
  assign().sources.uskSource[2] = 30, assign().sources.uskSource[3] = 31;
  auto& usk = CategoryUpStreamKey::get().record(1);
  usk.style.keyType = 1, usk.style.styleFlag4 = 1;
  const std::pair<int, int> entries[] = {{10, 0},    {41, 31},   {140, 128}, {141, 129}, {181, 130}, {182, 131},
                                         {190, 136}, {191, 137}, {201, 138}, {202, 139}, {210, 144}, {211, 145},
                                         {220, 146}, {223, 149}};
  for (const auto& [source, entry] : entries) {
    for (auto& e : assign().inputKey) e.key = 0;
    bus(0, 25, source);
    assign().inputKey[entry].key = 6;
    bus(0, 24, 241);  // refused again by each field's bus pass, after the tally pass
    EXPECT_EQ(shownNext(0, {source, 30, 31}), (V{source, 30, 31})) << source;
    assign().inputKey[entry].key = 0;
    assign().inputKey[entry % 2 == 0 ? entry + 1 : entry - 1].key = 6;
    bus(0, 24, 241);
    EXPECT_EQ(shownNext(0, {source, 30, 31}), V{source}) << source;
  }
}

TEST_F(TallyTest, MesFeedingEachOtherAreWalkedOnceEach) {
  group(0, {1, 7});
  bus(0, 0, 154), bus(1, 0, 150), bus(1, 2, 10);
  trans(keyTransIndex(1, 0)).positionA = 1.0f;
  EXPECT_EQ(shownNext(0, {150, 154, 10}), (V{150, 154, 10}));
  // The M/E 3 program (entry code 7) flags only itself.
  bus(2, 0, 11);
  EXPECT_EQ(shownNext(0, {158, 11}), (V{158}));
  hardwareMode(true);
  run({"hw tally_me1 0x02", "hw tally_me2 0x0a"});
  EXPECT_EQ(shownNext(0, {150, 154, 10}), (V{150, 154, 10}));
}

TEST_F(TallyTest, HardwareStatusHoldsOneFieldAndABackgroundDveWidensItThreeFieldsLater) {
  hardwareMode(true);
  group(0, {1});
  bus(0, 0, 10), bus(0, 1, 11);
  run({"hw tally_me1 0x02"});
  field();
  run({"hw tally_me1 0"});
  // Shown in that field and, as the other bank still holds it, the next; then gone.
  std::string held;
  for (int f = 0; f < 3; ++f) {
    if (f > 0) field();
    held += std::to_string(on(0, 10)) + std::to_string(on(0, 11));
  }
  EXPECT_EQ(held, "101000");
  // A background DVE transition counted now widens the A bus to both buses once its slot is the
  // oldest: in the fourth pass from here and, through the second bank, the fifth.
  run({"hw tally_me1 0x02"});
  setMeContext(KZ_CONTEXT_ME1);
  CategorySourceTally::get().countBkgdDveTrans();
  std::string seen;
  for (int f = 1; f <= 6; ++f) {
    field();
    seen += std::to_string(on(0, 11));
  }
  EXPECT_EQ(seen, "000110");
}

TEST_F(TallyTest, HardwareDskAndKeyLayersFromTheStatusWords) {
  hardwareMode(true);
  group(0, {13, 17});
  bus(0, 0, 10), bus(0, 4, 12), bus(0, 5, 13), bus(0, 11, 14);
  bus(1, 18, 20), bus(1, 19, 21);
  key(0, 1).style.keyType = 2, key(0, 1).style.styleFlag4 = 1;
  key(0, 1).edge.type = 1, key(0, 1).edge.fill = 2;
  dsk(1).style.keyType = 2, dsk(1).style.styleFlag4 = 1;  // separate key only for key type 1 here
  run({"hw tally_me1 0x12", "hw tally_dsk_pgm 0x05", "hw tally_dsk_cln 0"});
  EXPECT_EQ(shownNext(0, {170, 150, 10, 12, 13, 14, 20, 21, 174}), (V{170, 150, 10, 12, 13, 14, 20, 174}));
}

TEST_F(TallyTest, RowsGoOutWholeOnChangeAndNotAgainUntilTheNextChange) {
  group(0, {1});
  bus(0, 0, 10);
  const CategorySourceTally& sources = CategorySourceTally::get();
  const KzifSourceTally& row0 = sources.sourceTally(0);
  const u32 revision = sources.tallyRevision();
  Lines out = field();
  // The row kept for the group is taken whole too, and readers of the tally see a new revision.
  EXPECT_EQ(std::pair(row0.changed[0], row0.changed[7]), std::pair(0xFFFFFFFFu, 0x007FFFFFu));
  EXPECT_NE(sources.tallyRevision(), revision);
  const u32 taken = sources.tallyRevision();
  const std::string changed = std::string(56, 'f') + "007fffff";
  std::string tally(247 * 2, '0');
  tally[2 * 0 + 1] = '1', tally[2 * 130 + 1] = '1';
  EXPECT_EQ(only(out, "msg 53"), Lines{"msg 53 00000000" "0000" + changed + tally});
  std::string buses(89 * 2, '0');
  buses[1] = '1', buses[3] = '1';
  EXPECT_EQ(only(out, "msg 52"), Lines{"msg 52 00000000" "00" "00000003" "00000000" "00000000" + buses});
  out = field();
  EXPECT_EQ(only(out, "msg 52").size() + only(out, "msg 53").size(), 0u);
  EXPECT_EQ(std::pair(row0.changed[0], sources.tallyRevision()), std::pair(0u, taken));
  // A record from the System Manager only asks for a resend of the computed values.
  out = run({("send 52 " + hexOf(KzifBusTally{.me = 0, .tally = {0, 0, 1}})).c_str(), "field"});
  EXPECT_EQ(sentRecords<KzifBusTally>(out).at(0).tally[2], 0);
  EXPECT_EQ(only(run({("send 53 " + hexOf(KzifSourceTally{.row = 2})).c_str(), "field"}), "msg 53"),
            Lines{"msg 53 00000000" "0002" + std::string(64, '0') + std::string(247 * 2, '0')});
}

TEST_F(TallyTest, ExternalTallyTakesChangedBytesUpToTheLastIndexOnly) {
  CategoryPeripheral::get().record(0).externalTally = 1;
  KzifSourceTally in{.row = 1};
  for (u32& w : in.changed) w = 0xFFFFFFFFu;
  in.changed[0] = 0x5;  // bytes 0 and 2 of the first word
  in.tally[0] = 7, in.tally[1] = 1, in.tally[2] = 0, in.tally[246] = 1;
  const u32 revision = CategorySourceTally::get().tallyRevision();
  const Lines out = run({("send 53 " + hexOf(in)).c_str(), "field"});
  const KzifSourceTally& r = CategorySourceTally::get().sourceTally(1);
  EXPECT_EQ(std::tuple(+r.tally[0], +r.tally[1], +r.tally[2], +r.tally[246]), std::tuple(1, 0, 0, 1));
  EXPECT_EQ(r.changed[7], 0x007FFFFFu);
  EXPECT_NE(CategorySourceTally::get().tallyRevision(), revision);
  // The row sent is still the computed one, and goes out again when the computed one changes.
  EXPECT_EQ(sentRecords<KzifSourceTally>(out).at(0).tally[0], 0);
  group(0, {1});
  bus(0, 0, 10);
  const std::vector<KzifSourceTally> next = sentRecords<KzifSourceTally>(run({"field"}));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(std::pair(+next[0].row, +next[0].tally[0]), std::pair(0, 1));
}

TEST_F(TallyTest, ABackedUpTransmitRingHoldsTheRowsUntilItDrains) {
  run({"drain off"});
  const std::string filler = "send 25 " + hexOf(KzifControlPanelConfig{});
  for (int i = 0; i < 400 && !AcknowledgeSender::instance().backlogged(); ++i) run({filler.c_str(), "field"});
  ASSERT_TRUE(AcknowledgeSender::instance().backlogged());
  group(0, {1}), group(2, {1});
  bus(0, 0, 10);
  EXPECT_EQ(only(run({"field", "field"}), "msg 53"), Lines{});
  const Lines out = only(run({"drain on", "field", "field", "field"}), "msg 53");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ((Lines{out[0].substr(0, 19), out[1].substr(0, 19)}), (Lines{"msg 53 000000000000", "msg 53 000000000002"}));
  // A resend asked for while backed up, with nothing computed changed, is not forgotten either.
  run({"drain off"});
  for (int i = 0; i < 400 && !AcknowledgeSender::instance().backlogged(); ++i) run({filler.c_str(), "field"});
  ASSERT_TRUE(AcknowledgeSender::instance().backlogged());
  EXPECT_EQ(only(run({("send 52 " + hexOf(KzifBusTally{.me = 1})).c_str(), "field", "field"}), "msg 52"), Lines{});
  const std::vector<KzifBusTally> resent = sentRecords<KzifBusTally>(run({"drain on", "field", "field", "field"}));
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_EQ(+resent[0].me, 1);
}

TEST_F(TallyTest, RowsWrittenOutsideTheWalkAreTakenBackWhenTheWalkFindsTheSameAsBefore) {
  group(1, {1});
  bus(0, 0, 10);
  field();
  const int input1 = tallyIndexOf(10), input2 = tallyIndexOf(11);
  ASSERT_EQ(CategorySourceTally::get().sourceTally(1).tally[input1], 1);
  // The System Manager's rows stand while external tally is on; the walk's come back when it is off.
  CategoryPeripheral::get().record(0).externalTally = 1;
  KzifSourceTally in{.row = 1};
  in.changed[0] = (1u << input1) | (1u << input2);
  in.tally[input1] = 0, in.tally[input2] = 1;
  run({("send 53 " + hexOf(in)).c_str(), "field"});
  const KzifSourceTally& r = CategorySourceTally::get().sourceTally(1);
  ASSERT_EQ(std::pair(+r.tally[input1], +r.tally[input2]), std::pair(0, 1));
  CategoryPeripheral::get().record(0).externalTally = 0;
  const u32 revision = CategorySourceTally::get().tallyRevision();
  field();
  EXPECT_EQ(std::pair(+r.tally[input1], +r.tally[input2]), std::pair(1, 0));
  EXPECT_NE(CategorySourceTally::get().tallyRevision(), revision);
  // A bus tally byte written into the record is put right, and the correction goes out.
  group(0, {1});
  field();
  CategoryBusTally::get(0).record(0).tally[5] = 1;
  const std::vector<KzifBusTally> sent = sentRecords<KzifBusTally>(field());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::tuple(busOn(0, 5), +sent[0].tally[5], sent[0].changed[0]), std::tuple(0, 0, 1u << 5));
}
