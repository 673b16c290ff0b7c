// Scenarios through the host runner: frames in, echoes and log lines out, the backup image
// across power cycles.
#include <cstdio>

#include "Common/lock.h"
#include "Main/bp.h"
#include "Main/main.h"
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

TEST_F(SimTest, UnknownTypesAreLoggedByName) {
  EXPECT_EQ(only(run({"send 60 00", "send 200 00", "field"}), "log [ERR]"),
            (Lines{"log [ERR] receive undefined category KzifPluginStorage",
                   "log [ERR] receive undefined category Unknown"}));
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
  run({"hw jump 0x100000", "tick"});
  EXPECT_EQ(host::lastJumpAddress(), 0x100000u);
  EXPECT_EQ(*platform::ocmWord(platform::OCM_JUMP_REQUEST), 0u);
}

TEST_F(SimTest, LostVsyncIsLoggedOnceAndANewRateIsLearnt) {
  run({"field 3"});
  EXPECT_EQ(run({"hw vsync_period 33366", "field", "hw vsync_period 16683", "field 3"}),
            (Lines{"log [ERR] Lost VSYNC 33.366000 ms"}));
  // A lasting change of rate is taken as the new nominal period.
  EXPECT_EQ(run({"hw vsync_period 20000", "field 5"}), (Lines{"log [ERR] Lost VSYNC 20.000000 ms"}));
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
