// Scenarios through the host runner: frames in, echoes and log lines out, the backup image
// across power cycles.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "Common/lock.h"
#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/main.h"
#include "Main/stillmemory.h"
#include "Platform/host.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

TEST_F(SimTest, BootLogsItsStartUpInOrder) {
  boot({});
  EXPECT_EQ(lines, (Lines{"log [INFO] Start Orvane Backend Process", "log [INFO] initializeAll()",
                          "log [INFO] Start Timer task"}));
}

TEST_F(SimTest, RecordIsEchoedInTheFieldItArrives) {
  EXPECT_EQ(run({"send 29 00000001 01 00 00 00 00"}), Lines{});
  // A new format resets the clip channels, whose entries report it.
  const std::string clipReset = "0000025200" + std::string(104, '0');
  EXPECT_EQ(run({"field"}), (Lines{"log [INFO] Connected from System Manager", "msg 13 " + clipReset.substr(0, 10) + "51" + clipReset.substr(12),
                                   "msg 13 " + clipReset.substr(0, 10) + "52" + clipReset.substr(12),
                                   "msg 13 " + clipReset.substr(0, 10) + "53" + clipReset.substr(12),
                                   "msg 13 " + clipReset.substr(0, 10) + "54" + clipReset.substr(12),
                                   "msg 29 000000010100000000"}));
  // Nothing changed: nothing sent.
  EXPECT_EQ(run({"field 3"}), Lines{});
  // An out-of-range value is dropped, the record still comes back.
  EXPECT_EQ(run({"send 29 00000011 0c 00 00 00 07", "field"}), (Lines{"msg 29 000000100100000007"}));
}

TEST_F(SimTest, StreamResynchronisesAfterGarbageBadHeadersAndBadBodies) {
  // Garbage before a frame is skipped. (Each new format also resets the clips: only the system
  // record is looked at here.)
  EXPECT_EQ(only(run({"raw 00 ff 5a 5a 00 81 81 5a", "send 29 00000001 02 00 00 00 00", "field"}), "msg 29"),
            (Lines{"msg 29 000000010200000000"}));
  // A truncated frame completes in a later field.
  EXPECT_EQ(only(run({"raw 5a 81 00 00 00 09 00 1d 00 00", "field 2"}), "msg 29"), Lines{});
  EXPECT_EQ(only(run({"raw 00 01 08 00 00 00 00", "field"}), "msg 29"), (Lines{"msg 29 000000010800000000"}));
  // A header whose body could never fit is noise.
  const Lines out = run({"raw 5a 81 7f ff ff ff 00 1d", "send 29 00000001 03 00 00 00 00", "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] receive frame too long: length 2147483647 type 29"});
  EXPECT_EQ(only(out, "msg 29"), (Lines{"msg 29 000000010300000000"}));
  // One byte short: dropped whole. Two bytes too long: applied, the rest skipped.
  const char* shortBody = "send 29 00000001 04 00 00 00";
  const char* longBody = "send 29 00000001 06 00 00 00 00 ee ee";
  EXPECT_EQ(only(run({shortBody, longBody, "send 29 00000001 09 00 00 00 00", "field"}), "msg 29"),
            (Lines{"msg 29 000000010900000000"}));
}

namespace {

// One frame in the runner's hex: its header with `length` (the body's own when negative), then
// the body.
std::string frameHex(unsigned type, const std::string& body, long length = -1) {
  const unsigned long n = length < 0 ? body.size() / 2 : static_cast<unsigned long>(length);
  return "5a81" + hexBytes(n, 4) + hexBytes(type, 2) + body;
}
// A source name record (type 39) giving channel ch the button name "N" and the channel in three
// digits: 19 bytes, echoed as it was sent.
std::string sourceNameBody(int ch) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", ch % 1000);
  std::string name = "4e";
  for (const char c : std::string(digits)) name += hexBytes(static_cast<unsigned char>(c), 1);
  return "00000002" + hexBytes(ch, 2) + "00" + "0004" + name + "00" + "00" + "00" + "000000";
}
// A background record (type 2, 14 bytes) setting the wipe pattern of M/E me to 0x40 + me.
std::string bkgdBody(int me) { return "00000010" + hexBytes(me, 1) + "00000000" + hexBytes(0x40 + me, 1) + "00000000"; }
std::string bkgdEcho(int me) { return "msg 2 " + bkgdBody(me); }

}  // namespace

// Frames with wrong lengths and bad bodies, after a first byte has put the link up.
class ReceiveTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    run({"raw 00", "field"});
  }
};

TEST_F(ReceiveTest, ALengthLargerThanTheRecordGivesBackTheFramesItCovered) {
  // A source name whose header says 4096 bytes ahead of one record for every channel: what the
  // first record leaves unread is searched for frames, so all 224 arrive in this field.
  std::string data = frameHex(39, sourceNameBody(5), 4096);
  for (int ch = 0; ch < 224; ++ch) data += frameHex(39, sourceNameBody(ch));
  const Lines out = run({("raw " + data).c_str(), "field"});
  EXPECT_EQ(only(out, "log [ERR]"),
            Lines{"log [ERR] receive KzifSourceName length mismatch: length 4096, record took 19"});
  Lines expected;
  for (int ch = 0; ch < 224; ++ch) expected.push_back("msg 39 " + sourceNameBody(ch));
  EXPECT_EQ(only(out, "msg 39"), expected);

  // The system record's layout is ours and may be followed by blocks of the System Manager's: the
  // rest of its body is skipped without a word, whatever it holds.
  const std::string system = "0000000105" + std::string(8, '0') + frameHex(2, bkgdBody(1));
  const Lines own = run({("raw " + frameHex(29, system)).c_str(), "field"});
  EXPECT_EQ(only(own, "msg 29"), Lines{"msg 29 000000010500000000"});
  EXPECT_EQ(only(own, "msg 2 "), Lines{});
  EXPECT_EQ(only(own, "log [ERR]"), Lines{});
}

TEST_F(ReceiveTest, AFixedSizeRecordWithAnotherLengthIsRefusedAtOnce) {
  // Shorter or longer than the 14 bytes of the record, or near the limit: the header alone is
  // refused and the frames right behind it arrive in the same field.
  for (const long length : {10L, 20L, 4096L, 0x3ff8L}) {
    const std::string data = frameHex(2, bkgdBody(0), length) + frameHex(2, bkgdBody(1)) + frameHex(2, bkgdBody(2));
    EXPECT_EQ(run({("raw " + data).c_str(), "field"}),
              (Lines{"log [ERR] receive KzifBkgd dropped: length " + std::to_string(length) + ", record takes 14",
                     bkgdEcho(1), bkgdEcho(2)}))
        << length;
  }
  // A fixed-size command likewise.
  EXPECT_EQ(run({("raw " + frameHex(74, std::string(30, '0'), 16) + frameHex(2, bkgdBody(3))).c_str(), "field"}),
            (Lines{"log [ERR] receive KzifKeyCmd dropped: length 16, record takes 15", bkgdEcho(3)}));
}

TEST_F(ReceiveTest, ADroppedRecordSaysWhyOncePerTypePerField) {
  // A body too short for its record, an M/E or a channel out of range: dropped whole, logged, and
  // the next frame is taken.
  const std::string cut = sourceNameBody(3).substr(0, 18);
  const std::string ch300 = "00000002012c00" + sourceNameBody(0).substr(14);
  EXPECT_EQ(run({("raw " + frameHex(39, cut) + frameHex(2, bkgdBody(7)) + frameHex(2, bkgdBody(1))).c_str(), "field"}),
            (Lines{"log [ERR] receive KzifSourceName dropped: body too short, length 9",
                   "log [ERR] receive KzifBkgd dropped: M/E 7 out of range", bkgdEcho(1)}));
  EXPECT_EQ(run({("raw " + frameHex(39, ch300) + frameHex(39, sourceNameBody(4))).c_str(), "field"}),
            (Lines{"log [ERR] receive KzifSourceName dropped: channel 300 out of range",
                   "msg 39 " + sourceNameBody(4)}));
  // However many faults of one type a field brings, it logs the first; the next field logs again.
  std::string noise;
  for (int i = 0; i < 50; ++i) noise += frameHex(2, bkgdBody(4 + i % 4), 13 + i % 3);
  EXPECT_EQ(run({("raw " + noise + frameHex(2, bkgdBody(7))).c_str(), "field"}),
            Lines{"log [ERR] receive KzifBkgd dropped: length 13, record takes 14"});
  EXPECT_EQ(run({("raw " + frameHex(2, bkgdBody(7))).c_str(), "field"}),
            Lines{"log [ERR] receive KzifBkgd dropped: M/E 7 out of range"});
}

TEST_F(SimTest, UnknownTypesAreLoggedByName) {
  EXPECT_EQ(only(run({"send 60 00", "send 200 00", "field"}), "log [ERR]"),
            (Lines{"log [ERR] receive undefined category KzifPluginStorage",
                   "log [ERR] receive undefined category Unknown"}));
  // Every id past the list, one a field, reaches no handler.
  for (int type = N_TYPES; type <= 255; ++type) {
    const std::string line = "send " + std::to_string(type) + " 00";
    ASSERT_EQ(only(run({line.c_str(), "field"}), "log"), Lines{"log [ERR] receive undefined category Unknown"}) << type;
  }
}

TEST_F(SimTest, RestartResumesFromTheBackupImage) {
  run({"send 29 00000005 08 00 01 00 00", "field"});
  // A warm start restores the record with every mask set and reports it in the first field.
  const Lines warm = run({"restart", "field"});
  EXPECT_EQ(only(warm, "log [INFO] initializeAll()"), Lines{});
  EXPECT_EQ(only(warm, "msg 29"), (Lines{"msg 29 0000001f0800010000"}));
  EXPECT_EQ(only(warm, "msg 26").size(), 1u);
  // A cold start asked for by the boot mode initialises, whatever the image holds.
  const Lines cold = run({"restart init", "field"});
  EXPECT_EQ(only(cold, "log [INFO] initializeAll()").size(), 1u);
  EXPECT_EQ(only(cold, "msg 29"), Lines{});
}

namespace {

// Whether every entry of a status table is blank but for its entry number.
template <class Category>
bool blankButIndexes(const Category& c) {
  using T = typename Category::Record;
  for (int i = 0; i < T::N_CHANNELS; ++i) {
    std::array<u8, sizeof(T)> bytes;
    std::memcpy(bytes.data(), &c.record(i), sizeof(T));
    if (c.record(i).index != i) return false;
    std::memset(bytes.data() + offsetof(T, index), 0, sizeof c.record(i).index);
    if (std::count(bytes.begin(), bytes.end(), 0) != static_cast<std::ptrdiff_t>(sizeof(T))) return false;
  }
  return true;
}

}  // namespace

TEST_F(SimTest, CategoriesWithoutAShareTakeNothingFromAResumedImage) {
  BP& bp = BP::instance();
  for (const char* start : {"restart resume", "restart init"}) {
    SCOPED_TRACE(start);
    // Every byte after the header is 0xa5: whatever reads the image outside its own share shows it.
    std::memset(platform::nvWindow() + BACKUP_HEADER_SIZE, 0xa5, platform::NV_SIZE - BACKUP_HEADER_SIZE);
    const Lines first = run({start, "field"});
    EXPECT_EQ(bp.resumed(), std::string(start) == "restart resume");
    EXPECT_TRUE(blankButIndexes(*bp.find<category::CategoryClipStatus>()));
    EXPECT_TRUE(blankButIndexes(*bp.find<category::CategoryStillStatus>()));
    // Of the two tables only the clip engine's start reset of its four channels is reported.
    Lines resets;
    for (const char* entry : {"51", "52", "53", "54"})
      resets.push_back("msg 13 0000025200" + std::string(entry) + std::string(102, '0'));
    EXPECT_EQ(only(first, "msg 13 "), resets);
    EXPECT_EQ(only(first, "msg 24 "), Lines{});
    const Lines next = run({"field"});
    EXPECT_EQ(only(next, "msg 13 ").size() + only(next, "msg 24 ").size(), 0u);
    // Nor does any other category without a share report a byte of the image.
    bp.forEachRegistered(BP::Order::ByTypeId, [&](category::CategoryInterface&, int id, int me) {
      if (me >= 2 || bp.hasShare(id, me)) return;
      for (const auto& l : only(first, "msg " + std::to_string(id) + " ")) EXPECT_EQ(l.find("a5a5"), std::string::npos) << l;
    });
  }
}

TEST_F(SimTest, ImageOfAnotherLayoutInitialises) {
  run({"send 29 00000001 05 00 00 00 00", "field"});
  platform::nvWindow()[4] = 144;  // layout version
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = run({"restart", "field"});
  EXPECT_EQ(only(out, "log [INFO] initializeAll()").size(), 1u);
  EXPECT_EQ(only(out, "msg 29"), Lines{});
  EXPECT_EQ(platform::nvWindow()[4], 145);  // the next save writes the current layout
}

TEST_F(SimTest, BackupImageHoldsHeaderAndRecordsAsStored) {
  run({"send 29 00000001 09 00 00 00 00", "field"});
  const u8* nv = platform::nvWindow();
  EXPECT_EQ(std::vector<int>(nv, nv + 8), (std::vector<int>{0x21, 0x54, 0x76, 0x08, 145, 0, 0, 0}));
  const std::size_t system = BP::instance().shareOffset(29, 0);
  ASSERT_NE(system, 0u);
  EXPECT_EQ(nv[system + 8], 9);  // video format at byte 8 of the stored record
  // With the no-backup boot bit, the image stays as it was.
  run({"hw boot_mode 0x4000", "send 29 00000001 0a 00 00 00 00", "field"});
  EXPECT_EQ(nv[system + 8], 9);
}

TEST_F(SimTest, StartupWaitsForTheSystemManagersLock) {
  // The System Manager holds its lock while the back-end boots.
  runner.reset();
  host::resetMachine(false);
  locks::remoteAcquire(orvane::STARTUP_LOCK, true);
  orvane::boot();
  orvane::mainLoopPass();
  EXPECT_FALSE(orvane::timerTaskStarted());
  locks::remoteRelease(orvane::STARTUP_LOCK, true);
  orvane::mainLoopPass();
  EXPECT_TRUE(orvane::timerTaskStarted());
  EXPECT_EQ(locks::word(orvane::STARTUP_LOCK), 0u);  // taken and released at once
}

TEST_F(SimTest, JumpRequestIsHonouredByTheLoop) {
  const int jumps = host::jumpCount();
  run({"tick"});
  EXPECT_EQ(host::jumpCount(), jumps);  // a zero word requests nothing
  run({"hw jump 0x100000", "tick"});
  EXPECT_EQ(std::pair(host::lastJumpAddress(), host::jumpCount()), std::pair(0x100000u, jumps + 1));
  EXPECT_EQ(*platform::ocmWord(platform::OCM_JUMP_REQUEST), 0u);
  // Taken once: the cleared word asks for no second jump.
  run({"tick", "tick"});
  EXPECT_EQ(host::jumpCount(), jumps + 1);
}

TEST_F(SimTest, LostVsyncIsLoggedOnceAndANewRateIsLearnt) {
  run({"field 3"});
  EXPECT_EQ(run({"hw vsync_period 33366", "field", "hw vsync_period 16683", "field 3"}),
            (Lines{"log [ERR] Lost VSYNC 33.366000 ms"}));
  // A lasting change of rate is taken as the new nominal period.
  EXPECT_EQ(run({"hw vsync_period 20000", "field 5"}), (Lines{"log [ERR] Lost VSYNC 20.000000 ms"}));
  // Within 1 ms of the nominal period is jitter; a microsecond more is a lost VSYNC.
  EXPECT_EQ(run({"hw vsync_period 21000", "field", "hw vsync_period 19000", "field", "hw vsync_period 20000", "field 2"}),
            Lines{});
  EXPECT_EQ(run({"hw vsync_period 21001", "field", "hw vsync_period 20000", "field 2"}),
            (Lines{"log [ERR] Lost VSYNC 21.001000 ms"}));
}

TEST_F(SimTest, BacklogHoldsChangesUntilTheSystemManagerReadsAgain) {
  run({"drain off"});
  // Each record differs from the last, so each field has a change to send.
  for (int i = 0; i < 600; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "send 29 00000010 00 00 00 00 %02x", i & 0xff);
    runner->execute(line);
    runner->execute("field");
  }
  EXPECT_EQ(only(lines, "log [ERR] send buffer full"), Lines{});
  const Lines out = run({"drain on", "send 29 00000010 00 00 00 00 fe", "field 4"});
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "msg 29 0000001000000000fe");
}
