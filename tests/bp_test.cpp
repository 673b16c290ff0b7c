// The framework through a probe category: dispatch by M/E and channel, the order inside one
// field cycle, assertion containment, the VSYNC hold, and the backup image of per-M/E records.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Common/log.h"
#include "Common/storage.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/bus_status.h"
#include "Main/buttoninhibit.h"
#include "Main/chrkey.h"
#include "Main/clip.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/dsk.h"
#include "Main/gpi.h"
#include "Main/image.h"
#include "Main/initial_status.h"
#include "Main/key.h"
#include "Main/keypreset.h"
#include "Main/led.h"
#include "Main/maintenance.h"
#include "Main/menulock.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/plugin.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/sourcename.h"
#include "Main/stillmemory.h"
#include "Main/system.h"
#include "Platform/host.h"
#include "Main/tally.h"
#include "Main/testmode.h"
#include "Main/usk.h"
#include "Main/xpt.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

// A per-M/E record under a type id no feature uses.
struct KzifProbe {
  static constexpr int TYPE_ID = 9, N_CHANNELS = 2;
  static constexpr const char* NAME = "KzifProbe";
  u32 mask;
  u8 me, channel;
  u16 value;
  static constexpr auto wire() {
    using R = KzifProbe;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel),
                     rec::field(0, &R::value, rec::range(0, 1000)));
  }
};

Lines events;
bool throwInUpdate = false;
// The early probe below stays registered for the rest of the process once its test made it; it
// reports only while that test runs, so that other tests see the field cycle as without it.
bool earlyProbeReports = false;

class CategoryProbe : public category::CategoryCommon<KzifProbe> {
 public:
  CategoryProbe() : CategoryCommon(true) {}
  void assign(const KzifProbe& in, int idx) override {
    assert::check("tests/probe", 1, "in.value != 999", in.value != 999);
    events.push_back("assign " + std::to_string(me()) + "." + std::to_string(idx));
    CategoryCommon::assign(in, idx);
  }
  void update() override {
    events.push_back("update " + std::to_string(me()) +
                     (category::CategorySystem::get().formatChanged() ? " format" : ""));
    assert::check("tests/probe", 2, "!throwInUpdate", !(throwInUpdate && me() == 1));
  }
  void sendChanges(AcknowledgeSender& tx) override {
    events.push_back("send " + std::to_string(me()));
    CategoryCommon::sendChanges(tx);
  }
  void afterSend() override { events.push_back("after " + std::to_string(me())); }
};

CategoryProbe* probes() {
  static CategoryProbe p[N_ME];
  return p;
}

class ProbeTest : public SimTest {
 protected:
  void SetUp() override {
    probes();
    SimTest::SetUp();
    events.clear(), throwInUpdate = false, earlyProbeReports = false;
  }
  void TearDown() override { throwInUpdate = false, earlyProbeReports = false, SimTest::TearDown(); }  // the probes outlive the test
};

}  // namespace

TEST_F(ProbeTest, RecordGoesToTheObjectOfItsMeAndChannel) {
  EXPECT_EQ(only(run({"send 9 00000001 02 01 0064", "field"}), "msg"), Lines{"msg 9 0000000102010064"});
  EXPECT_EQ(std::pair(+probes()[2].record(1).value, +probes()[0].record(1).value), std::pair(100, 0));
  // M/E above 3 or channel beyond the record's: dropped whole, nothing echoed.
  EXPECT_EQ(only(run({"send 9 00000001 04 00 0001", "send 9 00000001 00 02 0001", "field"}), "msg"), Lines{});
  // A value out of range is dropped; the channel is still reported.
  EXPECT_EQ(only(run({"send 9 00000001 03 00 03e9", "field"}), "msg"), Lines{"msg 9 0000000003000000"});
}

TEST_F(ProbeTest, FieldCycleRunsItsPassesInOrder) {
  static Lines* log = &events;
  const BP::FieldStartHook previous = BP::instance().fieldStartHook();
  BP::instance().setFieldStartHook([] { log->push_back("start"); });
  run({"send 29 00000001 07 00 00 00 00", "send 9 00000001 01 00 0005", "field"});
  BP::instance().setFieldStartHook(previous);
  // System settings update first, so a later class sees this field's format change.
  // Only the object that took the record has anything to send.
  EXPECT_EQ(events, (Lines{"start", "assign 1.0", "update 0 format", "update 1 format", "update 2 format",
                           "update 3 format", "send 1", "after 0", "after 1", "after 2", "after 3"}));
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(9, 1);
  EXPECT_EQ(nv[6] | nv[7] << 8, 5);  // saved in the same field, as stored in memory
}

// The send pass passes an object by while it has nothing to send; one that may hold changes is
// visited in every field until they are out, a backlog on the transmit ring meanwhile keeping it.
TEST_F(ProbeTest, SendPassVisitsOnlyObjectsThatMayHoldChanges) {
  run({"field"});
  events.clear();
  run({"field"});
  EXPECT_EQ(only(events, "send"), Lines{});
  // A record written through the writable record, without a merge, counts too.
  probes()[2].record(1).value = 7;
  probes()[2].record(1).mask = 1;
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{"msg 9 0000000102010007"});
  EXPECT_EQ(only(events, "send"), Lines{"send 2"});
  run({"drain off"});
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  const std::vector<u8> filler(1000, 0);
  // Filled past the transmit ring, so that the backlog stands after the pass's flush too.
  for (tx.stream().flush(); !tx.backlogged(); tx.stream().flush())
    while (!tx.backlogged()) ASSERT_TRUE(tx.writeMessage(KzifSystem::TYPE_ID, filler));
  events.clear();
  run({"send 9 00000001 01 00 0005", "field 3"});
  EXPECT_EQ(only(events, "send"), (Lines{"send 1", "send 1", "send 1"}));
  const Lines out = run({"drain on", "field 3"});
  EXPECT_EQ(only(out, "msg 9"), Lines{"msg 9 0000000101000005"});
  events.clear();
  run({"field"});
  EXPECT_EQ(only(events, "send"), Lines{});
}

// Registered after the first start, under a higher type id than the probes, but of an earlier
// update class.
struct KzifEarlyProbe {
  static constexpr int TYPE_ID = 14, N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifEarlyProbe";
  u32 mask;
  static constexpr auto wire() { return rec::list(rec::mask(&KzifEarlyProbe::mask)); }
};

class CategoryEarlyProbe : public category::CategoryCommon<KzifEarlyProbe> {
 public:
  category::UpdateClass updateClass() const override { return category::UpdateClass::SourceTally; }
  void update() override {
    if (earlyProbeReports) events.push_back("early");
  }
};

TEST_F(ProbeTest, UpdatePassGoesByClassThenTypeIdAndTheRegistryChecksItsBounds) {
  static CategoryEarlyProbe early;
  earlyProbeReports = true;
  auto& bp = BP::instance();
  run({"restart", "field"});  // storage is laid out at start
  events.clear();
  run({"field"});
  EXPECT_EQ(Lines(events.begin(), events.begin() + 5),
            (Lines{"early", "update 0", "update 1", "update 2", "update 3"}));
  EXPECT_EQ(std::tuple(bp.updateClass(KzifEarlyProbe::TYPE_ID), bp.updateClass(KzifSystem::TYPE_ID),
                       bp.updateClass(KzifProbe::TYPE_ID)),
            std::tuple(2, 1, 9));
  // Exact (type, M/E): a single object serves no other M/E here, unlike get.
  EXPECT_EQ(bp.find<CategoryProbe>(3), &probes()[3]);
  EXPECT_EQ(bp.find<CategoryEarlyProbe>(1), nullptr);
  EXPECT_EQ(bp.find<CategoryProbe>(4), nullptr);
  EXPECT_THROW(bp.require<CategoryEarlyProbe>(2), assert::AssertException);
  EXPECT_EQ(bp.get(29, 3), bp.get(29, 0));  // single objects serve every M/E
  EXPECT_EQ(bp.get(9, 2), &probes()[2]);
  EXPECT_THROW(bp.get(9, 4), assert::AssertException);
  EXPECT_THROW(bp.get(102, 0), assert::AssertException);
  EXPECT_THROW(probes()[0].record(2), assert::AssertException);
  // A fifth probe, or a second single object, is refused at registration.
  EXPECT_THROW(CategoryProbe extra, assert::AssertException);
  EXPECT_THROW(category::CategoryMainframeConfig second, assert::AssertException);
}

TEST_F(ProbeTest, FailedAssertionAbandonsOnlyItsStep) {
  // The first message fails inside assign; the second one in the same field is still taken.
  const auto out = run({"send 9 00000001 00 00 03e7", "send 9 00000001 00 01 0007", "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] Assertion failed: tests/probe(1) in.value != 999"});
  EXPECT_EQ(only(out, "msg 9"), Lines{"msg 9 0000000100010007"});
  // An update that fails in one M/E leaves the others and the send pass running.
  throwInUpdate = true, events.clear();
  const auto out2 = run({"send 9 00000001 02 00 0008", "field"});
  EXPECT_EQ(only(out2, "log [ERR]"), Lines{"log [ERR] Assertion failed: tests/probe(2) !throwInUpdate"});
  EXPECT_EQ(only(out2, "msg 9"), Lines{"msg 9 0000000102000008"});
  EXPECT_NE(std::find(events.begin(), events.end(), "update 3"), events.end());
}

TEST_F(ProbeTest, VsyncHoldDefersTheFieldCycleUntilReleased) {
  run({"send 9 00000001 00 00 0001"});
  {
    VsyncHold hold;
    runner->field(1);
    EXPECT_TRUE(events.empty());
  }
  EXPECT_EQ(std::pair(events.front(), std::count(events.begin(), events.end(), "update 0")),
            std::pair(std::string("assign 0.0"), std::ptrdiff_t{1}));
}

TEST_F(ProbeTest, RestoreStampsAndMarksBackedUpMesOnly) {
  run({"send 9 00000001 01 01 0011", "send 9 00000001 03 01 0033", "field"});
  // M/E 0 and 1 come back whole with their masks set; M/E 2 and 3 start afresh.
  EXPECT_EQ(only(run({"restart", "field"}), "msg 9"), (Lines{"msg 9 0000000100000000", "msg 9 0000000100010000",
                                                             "msg 9 0000000101000000", "msg 9 0000000101010011"}));
  EXPECT_EQ(std::pair(+probes()[1].record(1).value, +probes()[3].record(1).value), std::pair(0x11, 0));
}

TEST_F(ProbeTest, SystemButtonsToggleOnPressOnly) {
  auto& sys = category::CategorySystem::get();
  // Press, held (no second toggle), release, press again; then presses in an M/E row and on panel 3.
  for (const auto& [panel, me, state, toggled] :
       {std::tuple(1, 9, 1, 1), {1, 9, 1, 1}, {1, 9, 0, 1}, {1, 9, 1, 0}, {1, 3, 1, 0}, {3, 8, 1, 0}}) {
    sys.onButton({.panel = static_cast<u8>(panel), .me = static_cast<u8>(me), .code = 2006,
                  .state = static_cast<u8>(state)});
    EXPECT_EQ(sys.record(0).toggle2006, toggled) << panel << " " << me << " " << state;
  }
  EXPECT_EQ(only(run({"field"}), "msg 29"), (Lines{"msg 29 000000040000000000"}));
}

TEST_F(ProbeTest, FieldParityAndFieldSelection) {
  auto& sys = category::CategorySystem::get();
  run({"send 29 00000001 02 00 00 00 00", "field"});  // interlaced
  sys.setFieldParity(1);
  EXPECT_EQ(std::tuple(sys.isField(1), sys.isField(0), sys.isSecondField()), std::tuple(true, false, true));
  run({"send 29 00000001 04 00 00 00 00", "field"});  // 720 lines, progressive
  sys.setFieldParity(0);
  EXPECT_EQ(std::pair(sys.isField(1), sys.isSecondField()), std::pair(true, true));
}

// ---- the backup image in the non-volatile window ------------------------------------------------

namespace {
// The bytes of the image that a resume would take now; empty when none is whole.
std::vector<u8> resumableImage() {
  const u8* p = storage::locateImage(platform::nvWindow()).image;
  return p ? std::vector<u8>(p, p + BP::instance().backupSize()) : std::vector<u8>{};
}
}  // namespace

TEST_F(ProbeTest, SaveWritesOnlyChangedSharesAndAnIdleFieldNothing) {
  run({"field 2"});
  u64 before = host::nvBytesWritten();
  run({"field 5"});
  EXPECT_EQ(host::nvBytesWritten() - before, 0u);
  // One record of M/E 1: its 16-byte share in each copy, each copy's commit record voided (one
  // word) before and written after.
  before = host::nvBytesWritten();
  run({"send 9 00000001 01 01 0011", "field"});
  EXPECT_EQ(host::nvBytesWritten() - before, 2 * (4 + 2 * sizeof(KzifProbe) + sizeof(storage::CommitRecord)));
  const storage::Found found = storage::locateImage(platform::nvWindow());
  EXPECT_EQ(found.wholeSize, (std::array<u32, 2>{static_cast<u32>(BP::instance().backupSize()),
                                                 static_cast<u32>(BP::instance().backupSize())}));
  EXPECT_EQ(std::pair(found.copy, resumableImage()),
            std::pair(storage::COPY_A, std::vector<u8>(BP::instance().backupImage(),
                                                       BP::instance().backupImage() + BP::instance().backupSize())));
}

// A change writes the units of the share it lies in, not the share: each copy in turn has its
// record voided, the changed units written (adjacent ones as one run) and its record written.
TEST_F(ProbeTest, SaveWritesOnlyTheChangedUnitsOfAShareCopyByCopy) {
  run({"field 2"});
  struct Write {
    std::size_t offset, len;
    bool operator==(const Write&) const = default;
  };
  std::vector<Write> writes;
  host::setNvWriteSink([](void* ctx, std::size_t offset, std::size_t len) {
    static_cast<std::vector<Write>*>(ctx)->push_back({offset, len});
  }, &writes);
  // Through the writable record, which marks only its channel: the crosspoint share holds three
  // panels of 420 bytes, so panel 1's buttons 100 and 150 lie in its units 10 and 11 (bytes
  // 640..767) and panel 2's button 0 in unit 13 (bytes 832..895).
  auto& xpt = category::CategoryXpt::get();
  xpt.record(1).source[100] = 7;
  xpt.record(1).source[150] = 8;
  xpt.record(2).source[0] = 9;
  run({"field"});
  host::setNvWriteSink(nullptr, nullptr);
  ASSERT_EQ(writes.size(), 8u);
  const std::size_t share = BP::instance().shareOffset(KzifXptAssign::TYPE_ID, 0);
  const int first = writes[0].offset == storage::COMMIT_OFFSET[storage::COPY_A] ? storage::COPY_A : storage::COPY_B;
  std::vector<Write> expected;
  for (const int copy : {first, 1 - first}) {
    const std::size_t at = storage::COPY_OFFSET[static_cast<std::size_t>(copy)] + share;
    const std::size_t commit = storage::COMMIT_OFFSET[static_cast<std::size_t>(copy)];
    expected.insert(expected.end(), {{commit, 4}, {at + 640, 128}, {at + 832, 64}, {commit, sizeof(storage::CommitRecord)}});
  }
  EXPECT_EQ(writes, expected);
  EXPECT_EQ(storage::locateImage(platform::nvWindow()).wholeSize,
            (std::array<u32, 2>{static_cast<u32>(BP::instance().backupSize()),
                                static_cast<u32>(BP::instance().backupSize())}));
  EXPECT_EQ(resumableImage(), std::vector<u8>(BP::instance().backupImage(),
                                              BP::instance().backupImage() + BP::instance().backupSize()));
}

// The writable record marks its own channel alone: a write through it into the next channel is a
// change the save would miss, and the check after each field names it.
TEST_F(ProbeTest, WriteBeyondTheHandedOutChannelIsReportedAsUnmarked) {
  Lines reported;
  boot({.unmarkedShare = [&](const std::string& share) { reported.push_back(share); }});
  settle();
  (&category::CategoryXpt::get().record(1))[1].source[100] = 9;  // beyond the units panel 1 touches
  run({"field"});
  EXPECT_EQ(reported, (Lines{"KzifXptAssign M/E 0 copy A", "KzifXptAssign M/E 0 copy B"}));
}

TEST_F(ProbeTest, PowerCutAtAnyByteOfASaveResumesTheOldImageOrTheNewOneWhole) {
  const std::vector<u8> base(platform::nvWindow(), platform::nvWindow() + platform::NV_SIZE);
  // Every cut starts from the same window: resumed, settled, then one field changes a record in
  // the share of M/E 0 and one in the share of M/E 1.
  auto resumeBase = [&] {
    std::copy(base.begin(), base.end(), platform::nvWindow());
    run({"restart resume", "field 2"});
  };
  const char* change[] = {"send 9 00000001 00 01 0123", "send 9 00000001 01 00 0345"};
  resumeBase();
  const std::vector<u8> oldImage = resumableImage();
  const u64 before = host::nvBytesWritten();
  run({change[0], change[1], "field"});
  const std::size_t saveBytes = host::nvBytesWritten() - before;
  const std::vector<u8> newImage = resumableImage();
  ASSERT_NE(oldImage, newImage);

  const std::size_t shares[] = {BP::instance().shareOffset(9, 0), BP::instance().shareOffset(9, 1)};
  int cuts = 0, mixes = 0, torn = 0;
  // Once the copy written first is committed (half the save's bytes: each copy takes the same
  // writes), the new image is whole there and every later cut resumes it, though the other copy
  // still holds the old one whole.
  int oldAfterNew = 0;
  std::size_t firstNew = 0;
  bool newSeen = false;
  for (std::size_t n = 0; n <= saveBytes; ++n) {
    resumeBase();
    const std::string cut = "cut " + std::to_string(n);
    run({change[0], change[1], cut.c_str(), "field"});
    ASSERT_TRUE(BP::instance().resumed()) << cut;
    const std::vector<u8> got = resumableImage();
    ++cuts;
    int newShares = 0;
    for (std::size_t at : shares) {
      auto same = [&](const std::vector<u8>& image) {
        return std::equal(got.begin() + at, got.begin() + at + 2 * sizeof(KzifProbe), image.begin() + at);
      };
      if (same(newImage)) ++newShares;
      else if (!same(oldImage)) ++torn;
    }
    if (newShares == 1) ++mixes;
    EXPECT_TRUE(got == oldImage || got == newImage) << cut;
    if (got == newImage && !newSeen) firstNew = n, newSeen = true;
    else if (got != newImage && newSeen) ++oldAfterNew;
  }
  EXPECT_EQ(std::tuple(newSeen, firstNew, oldAfterNew), std::tuple(true, saveBytes / 2, 0));
  // Before the commit records: most cuts resumed a mix of old and new records, many a torn one.
  std::printf("power cuts tried %d (every byte of a %zu-byte save), mixes %d, torn records %d\n", cuts, saveBytes,
              mixes, torn);
  EXPECT_EQ(std::tuple(cuts, mixes, torn), std::tuple(static_cast<int>(saveBytes) + 1, 0, 0));
  // A cut after the last byte is no cut: the new state came back and is reported.
  EXPECT_EQ(resumableImage(), newImage);
}

TEST_F(ProbeTest, ImageWithoutCommitRecordsResumesAsBeforeAndBecomesTwoCopies) {
  // Saved before the commit records were kept: the header and the shares at offset 0, nothing else.
  std::vector<u8> window(platform::NV_SIZE, 0);
  const u32 header[2] = {BACKUP_MAGIC, BACKUP_LAYOUT_VERSION};
  std::memcpy(window.data(), header, sizeof header);
  const KzifProbe stored{.mask = 0, .me = 1, .channel = 1, .value = 0x77};
  std::memcpy(window.data() + BP::instance().shareOffset(9, 1) + sizeof(KzifProbe), &stored, sizeof stored);
  boot({.nvImage = window});
  EXPECT_TRUE(runner->resumed());
  EXPECT_EQ(only(run({"field"}), "msg 9"), (Lines{"msg 9 0000000100000000", "msg 9 0000000100010000",
                                                  "msg 9 0000000101000000", "msg 9 0000000101010077"}));
  // The first save wrote copy B and then copy A, each with its commit record.
  const storage::Found found = storage::locateImage(platform::nvWindow());
  EXPECT_EQ(std::pair(found.commitRecords, found.wholeSize[0] == found.wholeSize[1] && found.wholeSize[0] != 0),
            std::pair(true, true));
  EXPECT_EQ(only(run({"restart", "field"}), "msg 9").back(), "msg 9 0000000101010077");
}

TEST_F(ProbeTest, DamagedCopyIsPassedOverAndNoWholeCopyLogsOnceAndInitialises) {
  run({"send 9 00000001 01 01 0011", "field"});
  const std::size_t value = BP::instance().shareOffset(9, 1) + sizeof(KzifProbe) + offsetof(KzifProbe, value);
  // Copy A damaged: copy B is resumed.
  platform::nvWindow()[storage::COPY_OFFSET[storage::COPY_A] + value] ^= 0xFF;
  EXPECT_EQ(only(run({"restart", "field"}), "msg 9").back(), "msg 9 0000000101010011");
  EXPECT_TRUE(runner->resumed());
  // The save after that resume made copy A whole again; now both copies are damaged.
  for (std::size_t copy : storage::COPY_OFFSET) platform::nvWindow()[copy + value] ^= 0xFF;
  const Lines out = run({"restart", "field"});
  EXPECT_EQ(only(out, "log [ERR] backup"), Lines{"log [ERR] backup image: no copy is whole, initialising"});
  EXPECT_EQ(only(out, "log [INFO] initializeAll()").size(), 1u);
  EXPECT_FALSE(runner->resumed());
  EXPECT_EQ(+probes()[1].record(1).value, 0);
}

namespace {

// Every status record the back-end keeps, to judge what it sends by the record's own checks.
template <class... R>
struct StatusRecords {
  // The values of one sent body that its record's checks refuse; -1 for a type not listed or a
  // body that is not one whole record.
  static int refusedIn(int type, const std::vector<u8>& body) {
    int refused = -1;
    ((type == R::TYPE_ID ? (refused = refusedAs<R>(body)) : 0), ...);
    return refused;
  }
  template <class T>
  static int refusedAs(const std::vector<u8>& body) {
    static T r;
    r = T{};
    rec::WireReader reader(body);
    if (!rec::decode(reader, r) || reader.remaining() != 0) return -1;
    return rec::refusedValues(r);
  }
};
using EveryStatusRecord =
    StatusRecords<KzifKey, KzifChromaKey, KzifBkgd, KzifImage, KzifDsk, KzifUpStreamKey, KzifUpStreamKeyAssign,
                  KzifProbe, KzifClipPlay, KzifClipRec, KzifClipRegister, KzifClipStatus, KzifKeyPreset,
                  KzifShotMemoryStatus, KzifStillMemory, KzifStillStatus, KzifControlPanelConfig, KzifMainframeConfig,
                  KzifMaintenance, KzifPeripheral, KzifSystem, KzifGpiInOut, internal::KzifCustomInfo,
                  KzifButtonInhibit, KzifConfigMenuLock, KzifOperate, KzifSourceLink, KzifXptAssign, KzifSourceName,
                  KzifPlugin, KzifPluginStatus, KzifBus, KzifBusStatus, internal::KzifLed, internal::KzifMeLed,
                  KzifBusTally, KzifSourceTally, internal::KzifInitialStatus, KzifTest>;

// A backup image of this layout whose every stored byte is 0xFF.
std::vector<u8> imageOfAllOnes() {
  std::vector<u8> nv(platform::NV_SIZE, 0xFF);
  const u32 header[2] = {BACKUP_MAGIC, BACKUP_LAYOUT_VERSION};
  std::memcpy(nv.data(), header, sizeof header);
  return nv;
}

}  // namespace

using RestoreTest = SimTest;

// Every stored byte 0xFF: what comes back has been through the records' checks. Nothing sent or
// held afterwards is a value they refuse, and each object that set values back says so once.
TEST_F(RestoreTest, AllOnesImageComesBackThroughTheRecordsChecks) {
  boot({.bootMode = "resume", .nvImage = imageOfAllOnes()});
  ASSERT_TRUE(runner->resumed());
  const Lines restoreLog = only(lines, "log [ERR] restore ");
  runner->field(1);
  int echoes = 0;
  for (const std::string& l : only(lines, "msg ")) {
    const std::size_t space = l.find(' ', 4);
    const int type = std::stoi(l.substr(4, space - 4));
    if (type >= FIRST_COMMAND_TYPE) continue;
    EXPECT_EQ(EveryStatusRecord::refusedIn(type, bytesOf(l.substr(space + 1))), 0) << l;
    ++echoes;
  }
  EXPECT_GT(echoes, 100);
  BP::instance().forEachRegistered(BP::Order::ByTypeId, [](category::CategoryInterface& c, int, int me) {
    EXPECT_EQ(c.refusedValues(), 0) << c.typeName() << " M/E " << me;
  });
  // A boolean comes back as the wire reader takes it.
  EXPECT_EQ(category::CategoryPeripheral::get().record(0).tallyGroup[3].indicationOff, 1);

  // One line per object that set values back; each name entry gives three (two modes and the
  // attribute: its texts, of a negative length, carry no characters).
  for (const char* l : {"log [ERR] restore KzifImage(ME:0) 77 values out of range reset",
                        "log [ERR] restore KzifImage(ME:1) 77 values out of range reset",
                        "log [ERR] restore KzifSourceName(ME:0) 384 values out of range reset"})
    EXPECT_EQ(std::count(restoreLog.begin(), restoreLog.end(), l), 1) << l;
  std::vector<std::string> objects;
  for (const std::string& l : restoreLog) objects.push_back(l.substr(0, l.find(')')));
  std::sort(objects.begin(), objects.end());
  EXPECT_EQ(std::adjacent_find(objects.begin(), objects.end()), objects.end());
  EXPECT_GT(objects.size(), 20u);
}

// An image saved after a cold start holds values some checks refuse (a sample size of 0): they
// are what a cold start gives, no damage, and come back without a word in the log.
TEST_F(RestoreTest, ColdStartImageComesBackSilently) {
  const Lines out = run({"restart resume", "field"});
  ASSERT_TRUE(runner->resumed());
  EXPECT_EQ(only(out, "log [ERR] restore "), Lines{});
}

namespace {
// Every share of the backup image as "type:M/E:size", in the order they lie, the test probes left
// out (they exist only in this test program, registered or not depending on the tests run before).
std::string backupLayout() {
  const BP& bp = BP::instance();
  std::vector<std::tuple<std::size_t, int, int>> shares;
  for (int id = 0; id < N_TYPES; ++id)
    for (int me : {0, 1})
      if (bp.hasShare(id, me)) shares.emplace_back(bp.shareOffset(id, me), id, me);
  std::sort(shares.begin(), shares.end());
  std::string layout;
  for (std::size_t i = 0; i < shares.size(); ++i) {
    const auto [offset, id, me] = shares[i];
    const std::size_t end = i + 1 < shares.size() ? std::get<0>(shares[i + 1]) : bp.backupSize();
    if (id == KzifProbe::TYPE_ID || id == KzifEarlyProbe::TYPE_ID) continue;
    layout += std::to_string(id) + ":" + std::to_string(me) + ":" + std::to_string(end - offset) + " ";
  }
  return layout;
}
}  // namespace

// A stored image is read back by this layout: whatever moves a share changes BACKUP_LAYOUT_VERSION
// with it, and this test's pinned layout.
TEST_F(SimTest, BackupLayoutIsPinnedToItsVersion) {
  EXPECT_EQ(std::pair(BACKUP_LAYOUT_VERSION, backupLayout()),
            std::pair(145u, std::string("0:0:1680 0:1:1680 1:0:9376 1:1:9376 2:0:152 2:1:152 3:0:152 3:1:152 5:0:576 "
                                        "7:0:368 8:0:1224 10:0:96 11:0:24 12:0:8 19:0:128 23:0:72 25:0:1664 26:0:416 "
                                        "27:0:1864 28:0:112 29:0:208 31:0:1096 34:0:5616 35:0:16 36:0:936 37:0:464 "
                                        "38:0:1264 39:0:5632 44:0:24 45:0:32 47:0:208 47:1:208 48:0:120 48:1:120 ")));
}

// The log names a type by its id: every id of the list at both ends, "Unknown" one past either.
TEST(TypeList, NamesTheFirstAndLastIdsAndNoneOutside) {
  EXPECT_EQ((std::vector<std::string>{typelist::typeName(-1), typelist::typeName(0), typelist::typeName(29),
                                      typelist::typeName(N_TYPES - 1), typelist::typeName(N_TYPES)}),
            (std::vector<std::string>{"Unknown", "KzifKey", "KzifSystem", "Type101", "Unknown"}));
}

TEST_F(SimTest, AccessorsByIndexRefuseAnIndexOutsideTheirArrays) {
  using namespace category;
  boot({});
  KzifOperate op{};
  const KzifOperate& constOp = op;
  ChromaKeyData data{};
  const std::pair<const char*, std::function<void()>> refused[] = {
      {"0 <= panel && panel < N_PANELS", [&] { op.panelMe(KzifOperate::N_PANELS); }},
      {"0 <= panel && panel < N_PANELS", [&] { constOp.panelMe(-1); }},
      {"0 <= group && group < N_GROUPS", [&] { op.entry(KzifOperate::N_GROUPS, 0); }},
      {"0 <= group && group < N_GROUPS", [&] { constOp.entry(-1, 0); }},
      {"0 <= index && index < N_ENTRIES_PER_GROUP", [&] { op.entry(0, KzifOperate::N_ENTRIES_PER_GROUP); }},
      {"0 <= idx && idx < N_CHANNELS", [] { CategoryKey::get(0).externalPosition(KzifKey::N_CHANNELS); }},
      {"0 <= idx && idx < N_CHANNELS", [] { CategoryKey::get(0).keyTransition(-1); }},
      {"0 <= idx && idx < N_CHANNELS", [&] { CategoryChromaKey::find(0)->readChannelData(-1, data); }},
      {"0 <= idx && idx < N_CHANNELS", [&] { CategoryChromaKey::find(0)->readChannelData(4, data); }},
      {"0 <= idx && idx < N_CHANNELS", [] { CategoryDsk::get().requestedKeyOn(4); }},
      {"0 <= idx && idx < N_CHANNELS", [] { CategoryDsk::get().view(-1); }},
      {"0 <= type && type < N_TYPES", [] { BP::instance().setBodyRule(-1, BodyRule{}); }},
      {"0 <= type && type < N_TYPES", [] { BP::instance().setBodyRule(N_TYPES, BodyRule{}); }},
  };
  for (const auto& [text, call] : refused) {
    lines.clear();
    EXPECT_THROW(call(), assert::AssertException) << text;
    const std::string logged = lines.size() == 1 ? lines[0] : "";
    EXPECT_TRUE(logged.starts_with("log [ERR] Assertion failed: ") && logged.ends_with(std::string(") ") + text))
        << text << ": " << testing::PrintToString(lines);
  }
  // A record for a channel the category does not have names the framework's position.
  lines.clear();
  EXPECT_THROW(CategoryControlPanelConfig::get().assign(KzifControlPanelConfig{}, 1), assert::AssertException);
  EXPECT_EQ(lines, Lines{"log [ERR] Assertion failed: Main/bp.h(424) 0 <= idx && idx < N_CHANNELS"});
  // The edges inside are taken.
  EXPECT_NO_THROW((op.panelMe(2), op.entry(7, 5), CategoryKey::get(0).externalPosition(3),
                   CategoryChromaKey::find(0)->readChannelData(3, data), CategoryDsk::get().view(3)));
}
