// The clip channels through their records, commands and the driver trace: the records and their
// merge checks, recording with its lock (counted, endless, refused), playback with its end
// actions, jog and trims in frame and in field counting, refusals that keep a channel's lock, the
// lever follow, the reset on a format change and the panel and key triggers.
#include <array>
#include <cmath>
#include <string>

#include "Common/lock.h"
#include "Driver/clip.h"
#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/faderevent.h"
#include "Main/key.h"
#include "Main/multiview.h"
#include "Main/sources.h"
#include "Main/stillmemory.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

namespace {

using category::CategoryClipStatus;

// The record settings: channel `ch`, the given length, endless and monitor as given.
std::string recSettings(int ch, int length, int endless = 0, int monitor = 0) {
  return "send 11 00000001 " + hexBytes(ch, 1) + " 0000003a 00 " + hexBytes(monitor, 1) + " 00 " +
         hexBytes(endless, 1) + " 00 " + hexBytes(length, 2) + " 00";
}
std::string recCommand(int code, int ch) { return "send 68 11 22 " + hexBytes(code, 2) + " 0000 " + hexBytes(ch, 1); }
std::string recReply(int code, int ch, int result) {
  return "msg 68 1122" + hexBytes(code, 2) + hexBytes(result, 2) + hexBytes(ch, 1);
}
std::string playCommand(int code, int ch, int arg = 0) {
  return "send 67 33 44 " + hexBytes(code, 2) + " 0000 " + hexBytes(ch, 1) + " " + hexBytes(arg, 1);
}
std::string playReply(int code, int ch, int result, int arg = 0) {
  return "msg 67 3344" + hexBytes(code, 2) + hexBytes(result, 2) + hexBytes(ch, 1) + hexBytes(arg, 1);
}
// How channel ch plays: endAction, reverse, speed, frameMode; trigger and me.
std::string playSettings(int ch, int endAction, int reverse = 0, int speed = 0, int frameMode = 0, int trigger = 0,
                         int me = 0) {
  return "send 10 00000003 " + hexBytes(ch, 2) + " 0000001f " + hexBytes(endAction, 1) + hexBytes(reverse, 1) +
         hexBytes(speed, 1) + "00" + hexBytes(frameMode, 1) + "00 " + hexBytes(trigger, 1) + hexBytes(me, 1);
}
// A text of n copies of one character: its length word and its bytes.
std::string repeatedText(int n, const char* byte) {
  std::string s = hexBytes(n, 2);
  for (int i = 0; i < n; ++i) s += byte;
  return s;
}
// The cue calls of channel 0 for the given units, each on the given field.
Lines cues(std::initializer_list<int> units, int field = 1) {
  Lines r;
  for (int u : units) r.push_back("drv cueClip 0x1188 " + std::to_string(u) + " " + std::to_string(field));
  return r;
}
// A trim of the entry of channel ch, frames counted from 1.
std::string trimEntry(int ch, int enabled, int in, int out) {
  return "send 13 00000000 " + hexBytes(81 + ch, 2) + " 0000 00 00 00000000 " + std::string(24, '0') +
         " 00 00 00 00000000 00000000 00000000 00000007 " + hexBytes(enabled, 1) + hexBytes(in, 4) + hexBytes(out, 4) +
         " 00 00 00";
}

class ClipTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  void format(int code) { run({("send 29 00000001 " + hexBytes(code, 1) + " 00 00 00 00").c_str(), "field"}); }
  Lines exec(const std::string& line) {
    lines.clear();
    EXPECT_TRUE(runner->execute(line)) << line << ": " << runner->error();
    return lines;
  }
  Lines fields(int n) { return exec("field " + std::to_string(n)); }
  // Records `length` frames into channel ch and runs until the record is finished.
  void recordClip(int ch, int length) {
    exec(recSettings(ch, length));
    exec(recCommand(7, ch));
    fields(2 * length + 2);
  }
  // Runs one script line and a field; what it printed under `prefix`.
  Lines sent(const std::string& line, const std::string& prefix) { return only(run({line.c_str(), "field"}), prefix); }
  CategoryClipStatus& status() { return BP::instance().require<CategoryClipStatus>(); }
  const KzifClipStatus& entry(int ch) { return status().entry(ch); }
  std::pair<int, u32> stateAndLock(int ch) { return {entry(ch).state, status().locks().lockState(ch)}; }
  static Lines drv(const Lines& out, const std::string& name) { return only(out, "drv " + name); }
};

}  // namespace

TEST_F(ClipTest, RecordsKeepTheirChecksAndTheirStoredLayout) {
  // trigger 12 is dropped, me 3 taken: sent back with bit 1 only.
  EXPECT_EQ(only(exec("send 10 00000003 0001 00000000 000000000000 0c 03"), "msg"), Lines{});
  EXPECT_EQ(only(fields(1), "msg 10"), Lines{"msg 10 000000020001000000000000000000000003"});
  // length 0 becomes 1 within the field; on format 1 without longClip 5000 becomes 750.
  EXPECT_EQ(sent(recSettings(0, 0), "msg 11"), Lines{"msg 11 00000001000000003a0000000000000100"});
  format(1);
  EXPECT_EQ(sent(recSettings(0, 5000), "msg 11"), Lines{"msg 11 00000001000000003a000000000002ee00"});
  // A 40-character name keeps 32; entry 85 does not exist.
  const std::string name = repeatedText(40, "61");
  const std::string body = " 01 00000000 " + std::string(24, '0') + " 00 00 00 00000000 00000000 00000000 00000000 00 00000000 00000000 00 00 00";
  run({("send 13 00000001 0005 " + name + "00" + body).c_str(), ("send 13 00000001 0055 0000 00" + body).c_str(), "field"});
  EXPECT_EQ(status().record(5).name.length, 32);
  ASSERT_EQ(only(lines, "msg 13").size(), 1u);
  EXPECT_EQ(only(lines, "msg 13")[0].size(), 7 + 2 * (57 + 32u));
  // Stored little-endian as laid out: trigger at 20, me at 21 of channel 1; length at 18.
  const u8* nv = BP::instance().backupImage() + BP::instance().shareOffset(KzifClipPlay::TYPE_ID, 0);
  EXPECT_EQ((std::vector<int>{nv[24 + 4], nv[24 + 21]}), (std::vector<int>{1, 3}));
  const u8* rec = BP::instance().backupImage() + BP::instance().shareOffset(KzifClipRec::TYPE_ID, 0);
  EXPECT_EQ(rec[18] | rec[19] << 8, 750);
  // A resume reports the three stored records with every mask set.
  const Lines warm = run({"restart resume", "field"});
  EXPECT_EQ(only(warm, "msg 10 ").at(1), "msg 10 0000000300010000003f0000000000000003");
  EXPECT_EQ(only(warm, "msg 11"), Lines{"msg 11 00000001000000007f000000000002ee00"});
  EXPECT_EQ(only(warm, "msg 12"), Lines{"msg 12 0000000100"});
}

// Too long a record is cut to the longest of the running format, twice that for a long clip;
// one of no frames records one.
TEST_F(ClipTest, RecordLengthIsCutToTheLongestOfEachFormat) {
  const int longest[12] = {900, 750, 720, 720, 1800, 1500, 900, 750, 900, 750, 900, 750};
  for (int code = 0; code <= 11; ++code) {
    format(code);
    for (int longClip : {0, 1}) {
      const int max = longest[code] * (longClip + 1);
      for (const auto& [length, kept] : {std::pair(1, 1), {0, 1}, {max, max}, {max + 1, max}}) {
        const std::string line = "send 11 00000001 00 00000030 00 00 00 00 " + hexBytes(longClip, 1) + " " +
                                 hexBytes(length, 2) + " 00";
        run({line.c_str(), "field"});
        EXPECT_EQ(BP::instance().require<category::CategoryClipRec>().record(0).recMode.length, kept)
            << code << " " << longClip << " " << length;
        // Once held, the length is not corrected again: nothing more is sent.
        EXPECT_EQ(only(run({"field"}), "msg 11"), Lines{}) << code << " " << longClip << " " << length;
      }
    }
  }
}

TEST_F(ClipTest, RecordRunsFromCommandToFinishUnderItsWriteLockInFramesAndInFields) {
  // Codes 4 and 5 count frames, the others fields.
  for (int code : {4, 5, 0}) {
    format(code);
    const int units = code == 4 || code == 5 ? 3 : 6;
    exec(recSettings(1, 3));
    const Lines start = run({recCommand(7, 1).c_str(), "field"});
    EXPECT_EQ(only(start, "msg 68"), Lines{recReply(7, 1, 0)});
    EXPECT_EQ(drv(start, "startClipPlay"), Lines{"drv startClipPlay 0x118a " + std::to_string(units) + " 1"});
    EXPECT_EQ(stateAndLock(1), std::pair(+CLIP_RECORDING, ClipChannelLocks::WRITING));
    EXPECT_NE(locks::word(5), 0u);
    // The driver counts down one unit per field; the record ends in the field it has finished.
    fields(units - 1);
    EXPECT_EQ(std::pair(+entry(1).state, entry(1).position.current), std::pair(+CLIP_RECORDING, 3u));
    const Lines end = fields(1);
    EXPECT_EQ(drv(end, "startClipPlay"), Lines{"drv startClipPlay 0x118a 0 0"});
    // A counted record keeps every frame it recorded: no window is set.
    EXPECT_EQ(drv(end, "setClipRangeTimed"), Lines{});
    EXPECT_EQ(std::tuple(stateAndLock(1), entry(1).position.length, entry(1).position.current, +entry(1).recorded),
              std::tuple(std::pair(0, ClipChannelLocks::NONE), 3u, 1u, 1));
    EXPECT_EQ(locks::word(5), 0u);
    // A deferred send keeps the marks, and the finished record is not started again.
    run({"drain off"});
    EXPECT_EQ(drv(fields(3), "startClipPlay"), Lines{});
    run({"drain on"});
  }
  // A long clip records without flag 1; options 0 and 6 add flags 4 and 8.
  exec("send 11 00000000 00 00000051 01 00 00 00 01 0000 01");
  EXPECT_EQ(drv(run({recCommand(7, 1).c_str(), "field"}), "startClipPlay"), Lines{"drv startClipPlay 0x118a 6 12"});
}

TEST_F(ClipTest, MonitorShowsTheRecordChannelUntilItRecordsOrTheChannelChangesAndEndlessRecordsWrap) {
  format(4);
  Lines out = run({recSettings(2, 3).c_str(), "field", recSettings(2, 3, 0, 1).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipEnable").back(), "drv setClipEnable 0x118e 0");
  EXPECT_EQ(drv(out, "setClipEnable").at(6), "drv setClipEnable 0x118c 1");
  EXPECT_EQ(isClipSourceSelected(207), 1);
  out = run({recCommand(7, 2).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipEnable").back(), "drv setClipEnable 0x118c 0");
  EXPECT_EQ(only(out, "msg 11"), Lines{"msg 11 0000000002000000020000000000000300"});
  EXPECT_EQ(isClipSourceSelected(207), 0);
  // A change of channel turns the monitor off in the same field (also when sent with it).
  fields(4);
  EXPECT_EQ(only(run({recSettings(2, 3, 0, 1).c_str(), "field", recSettings(1, 3, 0, 1).c_str(), "field"}), "msg 11").back(),
            "msg 11 00000001010000003a0000000000000300");
  EXPECT_EQ(isClipSourceSelected(204), 0);

  // An endless record keeps the last frames until it is switched off.
  exec(recSettings(0, 2, 1));
  const Lines start = run({recCommand(7, 0).c_str(), "field"});
  EXPECT_EQ(drv(start, "startClipPlay"), Lines{"drv startClipPlay 0x1188 -1 1"});
  fields(5);
  EXPECT_EQ(std::pair(+entry(0).state, entry(0).position.current), std::pair(+CLIP_RECORDING, 2u));  // held at the length
  const Lines end = run({recSettings(0, 2, 0).c_str(), "field"});
  EXPECT_EQ(drv(end, "setClipRangeTimed"), Lines{"drv setClipRangeTimed 0x1188 4 2"});
  EXPECT_EQ(std::pair(stateAndLock(0), entry(0).position.length), std::pair(std::pair(0, ClipChannelLocks::NONE), 2u));
}

TEST_F(ClipTest, RecordRefusalsAnswerWithoutChangingTheChannel) {
  format(4);
  // A still being captured refuses every record.
  const Lines still = run({"send 66 11 22 0007 0000 3344 00 55 0003 616263 00 66 77 88", "field", recCommand(7, 2).c_str(), "field"});
  EXPECT_EQ(only(still, "msg 68"), Lines{recReply(7, 2, -6)});
  EXPECT_EQ(only(still, "log LOCK"), Lines{"log LOCK_ERROR_REC_CONFLICT"});
  fields(4);
  // Channel 100 is the record channel (1), and the reply keeps 100.
  exec(recSettings(1, 20));
  EXPECT_EQ(sent(recCommand(7, 100), "msg 68"), Lines{recReply(7, 100, 0)});
  EXPECT_EQ(entry(1).state, CLIP_RECORDING);
  EXPECT_EQ(sent(recCommand(7, 2), "msg 68"), Lines{recReply(7, 2, -6)});
  EXPECT_EQ(sent(recCommand(7, 1), "msg 68"), Lines{recReply(7, 1, -8)});
  EXPECT_EQ(only(lines, "log LOCK"), Lines{"log LOCK_ERROR_CH_CONFLICT"});
  // Play commands on the recording channel: refused, and its write lock stays; stop is admitted
  // without a change (the record goes on).
  const Lines play = run({playCommand(11, 1).c_str(), playCommand(13, 1, 2).c_str(), playCommand(12, 1).c_str(),
                          playCommand(14, 1).c_str(), playCommand(10, 1).c_str(), "field"});
  EXPECT_EQ(only(play, "msg 67"), (Lines{playReply(11, 1, -2), playReply(13, 1, -2, 2), playReply(12, 1, 0),
                                         playReply(14, 1, -2), playReply(10, 1, -7)}));
  EXPECT_EQ(only(play, "log REPLY"), Lines{"log REPLY_LOCKED_READ_CHANNEL"});
  EXPECT_EQ(stateAndLock(1), std::pair(+CLIP_RECORDING, ClipChannelLocks::WRITING));
  // No such channel: -2 and nothing moves, from the wire and from the event memory alike.
  EXPECT_EQ(only(run({recCommand(7, 4).c_str(), playCommand(10, 9).c_str(), "field"}), "msg 6"),
            (Lines{recReply(7, 4, -2), playReply(10, 9, -2)}));
  EXPECT_EQ(BP::instance().require<category::CategoryClipPlay>().execute(10, 4, 0), -2);
  // Stop through the record command finishes the record and frees the lock.
  EXPECT_EQ(sent(recCommand(12, 1), "msg 68"), Lines{recReply(12, 1, 0)});
  EXPECT_EQ(stateAndLock(1), std::pair(+CLIP_STOPPED, ClipChannelLocks::NONE));
  // Stop on a stopped channel: 0, nothing changes; play on a channel without a clip: -2.
  EXPECT_EQ(only(run({recCommand(12, 1).c_str(), playCommand(10, 3).c_str(), "field"}), "msg 6"),
            (Lines{recReply(12, 1, 0), playReply(10, 3, -2)}));
}

// The result codes of the channel locks as the commands tell them apart: 0 taken, 1 another
// channel records, 2 this channel is busy or the System Manager holds its resource.
TEST_F(ClipTest, ChannelLocksAnswerWithTheCodeOfWhatRefusedThem) {
  ClipChannelLocks set;
  EXPECT_EQ(set.takeReadLock(0), 0);
  EXPECT_EQ(set.takeReadLock(0), 0);  // a second read is no conflict
  EXPECT_EQ(set.takeRecordLock(0), 2);
  ASSERT_TRUE(locks::remoteAcquire(ClipChannelLocks::FIRST_RESOURCE + 1, true));
  EXPECT_EQ(set.takeReadLock(1), 2);
  EXPECT_EQ(set.takeRecordLock(1), 2);
  EXPECT_EQ(set.lockState(1), ClipChannelLocks::NONE);
  locks::remoteRelease(ClipChannelLocks::FIRST_RESOURCE + 1, true);
  EXPECT_EQ(set.takeRecordLock(2), 0);
  EXPECT_EQ(std::pair(set.lockState(2), set.isRecording()), std::pair(ClipChannelLocks::WRITING, 1));
  // The states as numbers: 0 none, 1 reading (playing), 2 writing (recording).
  EXPECT_EQ((std::array{set.lockState(0), set.lockState(1), set.lockState(2), set.lockState(3)}),
            (std::array<u32, 4>{1, 0, 2, 0}));
  EXPECT_EQ(set.takeRecordLock(3), 1);
  EXPECT_EQ(set.takeReadLock(2), 2);
  set.releaseAllLocks();
  EXPECT_EQ(std::tuple(locks::word(4), locks::word(5), locks::word(6), set.isRecording()), std::tuple(0u, 0u, 0u, 0));
}

TEST_F(ClipTest, PlayPauseJogLoopAndEndActionsInFrames) {
  format(4);
  recordClip(0, 5);
  // Back to the first frame at the end, the read lock released.
  exec(playSettings(0, 0));
  const Lines out = run({playCommand(10, 0).c_str(), "field"});
  EXPECT_EQ(only(out, "msg 67"), Lines{playReply(10, 0, 0)});
  EXPECT_EQ(drv(out, "cueClip"), cues({0}));
  EXPECT_EQ(status().locks().lockState(0), ClipChannelLocks::READING);
  EXPECT_EQ(drv(fields(5), "cueClip"), cues({1, 2, 3, 4, 0}));
  EXPECT_EQ(std::pair(stateAndLock(0), entry(0).position.current), std::pair(std::pair(0, ClipChannelLocks::NONE), 1u));
  // Loop: wraps to the first frame and keeps playing.
  exec(playSettings(0, 2));
  run({playCommand(10, 0).c_str(), "field"});
  EXPECT_EQ(drv(fields(5), "cueClip").back(), cues({0})[0]);
  EXPECT_EQ(entry(0).state, CLIP_PLAYING);
  // Play on a playing channel keeps its position; pause holds it, play goes on from there.
  EXPECT_EQ(sent(playCommand(10, 0), "drv cueClip"), cues({1}));
  EXPECT_EQ(sent(playCommand(11, 0), "drv stopClipRecord").size(), 1u);
  EXPECT_EQ(stateAndLock(0), std::pair(+CLIP_PAUSED, ClipChannelLocks::NONE));
  EXPECT_EQ(sent(playCommand(10, 0), "drv cueClip"), cues({2}));
  // Stop on the last frame.
  exec(playSettings(0, 1));
  EXPECT_EQ(sent(playCommand(12, 0), "drv cueClip"), cues({4}));
  EXPECT_EQ(std::tuple(+entry(0).state, entry(0).position.current), std::tuple(0, 5u));
  // A jog forward from the middle stays the active command: play continues from the jogged frame.
  exec(playSettings(0, 0));
  run({playCommand(12, 0).c_str(), "field"});
  EXPECT_EQ(sent(playCommand(13, 0, 2), "drv cueClip"), cues({1}));
  EXPECT_EQ(entry(0).state, CLIP_STOPPED);
  EXPECT_EQ(sent(playCommand(10, 0), "drv cueClip"), cues({2}));
  // Pause on a stopped channel: 0, nothing changes.
  run({playCommand(12, 0).c_str(), "field"});
  EXPECT_EQ(sent(playCommand(11, 0), "msg 13"), Lines{});
}

TEST_F(ClipTest, TrimsAreCountedFromOneAndRangeCommandsSetTheWindow) {
  format(4);
  recordClip(0, 20);
  exec(playSettings(0, 0));
  // In point 11, out point 20: play starts at clip frame 10, reported 11.
  Lines out = run({trimEntry(0, 1, 11, 20).c_str(), playCommand(10, 0).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipRange"), Lines{"drv setClipRange 0x1188 10 10"});
  EXPECT_EQ(drv(out, "cueClip"), cues({0}));
  EXPECT_EQ(entry(0).position.current, 11u);
  EXPECT_EQ(kz::clipImage(0).shown, 10);
  fields(2);
  // Out point here: the play step of the field moves first (clip frame 13, reported 14); the
  // playing channel then stops and is cued.
  out = run({playCommand(15, 0).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipRange"), Lines{"drv setClipRange 0x1188 10 4"});
  EXPECT_EQ(std::tuple(+entry(0).trim.enabled, entry(0).trim.inPoint, entry(0).trim.outPoint, stateAndLock(0)),
            std::tuple(1, 11u, 14u, std::pair(0, ClipChannelLocks::NONE)));
  // Out point to the end, clear, in point here (the clear took the in point back to the start),
  // in point to the start.
  for (const auto& [code, range, enabled, in] :
       {std::tuple{18, "10 10", 1, 11u}, {16, "0 0", 0, 1u}, {14, "0 20", 1, 1u}, {17, "0 20", 1, 1u}}) {
    EXPECT_EQ(drv(run({playCommand(code, 0).c_str(), "field"}), "setClipRange"),
              Lines{std::string("drv setClipRange 0x1188 ") + range});
    EXPECT_EQ(std::tuple(+entry(0).trim.enabled, entry(0).trim.inPoint, entry(0).trim.outPoint), std::tuple(enabled, in, 20u));
  }
  // Trim points from the wire beyond any clip are held, not overflowed: the window stays inside.
  out = run({trimEntry(0, 1, 0xffffffff, 0xfffffffe).c_str(), playCommand(10, 0).c_str(), playCommand(14, 0).c_str(), "field 2"});
  EXPECT_EQ(only(out, "log"), Lines{});
  EXPECT_LE(kz::clipImage(0).rangeFirst + kz::clipImage(0).rangeCount, 20);
  // Frames are counted here, so an even out point stays where the channel stands.
  run({playCommand(12, 0).c_str(), playCommand(16, 0).c_str(), "field"});
  out = run({playCommand(10, 0).c_str(), "field 4", playCommand(15, 0).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipRange"), Lines{"drv setClipRange 0x1188 0 5"});
  EXPECT_EQ(entry(0).trim.outPoint, 5u);
}

TEST_F(ClipTest, TrimsTheSystemManagerChangesMoveTheWindowSoFramesPlayedAndReportedAgree) {
  format(4);
  recordClip(0, 20);
  exec(playSettings(0, 0));
  run({trimEntry(0, 1, 11, 20).c_str(), playCommand(10, 0).c_str(), "field 3", playCommand(12, 0).c_str(), "field"});
  // Switched off: the window is the whole clip again, and play runs from clip frame 0, reported 1.
  EXPECT_EQ(drv(run({trimEntry(0, 0, 11, 20).c_str(), "field"}), "setClipRange"), Lines{"drv setClipRange 0x1188 0 0"});
  Lines out = run({playCommand(10, 0).c_str(), "field 3"});
  EXPECT_EQ(drv(out, "cueClip"), cues({0, 1, 2}));
  EXPECT_EQ(std::pair(kz::clipImage(0).shown, entry(0).position.current), std::pair(2, 3u));
  // Moved while playing (frames 5 to 8): the window follows, and the channel goes on inside it.
  out = run({trimEntry(0, 1, 5, 8).c_str(), "field"});
  EXPECT_EQ(drv(out, "setClipRange"), Lines{"drv setClipRange 0x1188 4 4"});
  EXPECT_EQ(std::pair(kz::clipImage(0).shown, entry(0).position.current), std::pair(5, 6u));
  // The same trim again moves nothing; the end of the new range ends play on its first frame.
  out = run({trimEntry(0, 1, 5, 8).c_str(), "field 4"});
  EXPECT_EQ(drv(out, "setClipRange"), Lines{});
  EXPECT_EQ(drv(out, "cueClip"), cues({2, 3, 0}));  // the last frame of the new window is its fourth
  EXPECT_EQ(std::tuple(+entry(0).state, kz::clipImage(0).shown, entry(0).position.current), std::tuple(0, 4, 5u));
}

// Speeds 1, 2 and 3 step 2, 4 and 8 frames a field, speed 7 holds the frame; looped over 20. The
// stop before each play rests on the first frame.
TEST_F(ClipTest, FastSpeedsStepTwoFourOrEightFramesAFieldAndHoldStaysPut) {
  format(4);
  recordClip(0, 20);
  const std::pair<int, Lines> speeds[] = {
      {1, cues({0, 0, 2, 4, 6})}, {2, cues({0, 0, 4, 8, 12})}, {3, cues({0, 0, 8, 16, 0})}, {7, cues({0, 0, 0, 0, 0})}};
  for (const auto& [speed, want] : speeds) {
    exec(playSettings(0, 2, 0, speed));
    EXPECT_EQ(drv(run({playCommand(12, 0).c_str(), "field", playCommand(10, 0).c_str(), "field 4"}), "cueClip"), want)
        << speed;
  }
}

TEST_F(ClipTest, FieldCountingPlaysOnTheFirstFieldOrOnBothInFieldModeAndEndsAndJogsOnWholeFrames) {
  format(0);
  recordClip(0, 4);  // 8 fields
  EXPECT_EQ(entry(0).position.length, 4u);
  // Without field mode: one frame (two fields) per first field, the second field rests.
  exec(playSettings(0, 2));
  Lines out = run({"hw parity 0", playCommand(10, 0).c_str(), "field 4"});
  EXPECT_EQ(drv(out, "cueClip"), cues({0, 2}, 0));
  EXPECT_EQ(entry(0).position.current, 2u);
  // Field mode: the second field shows the next field of the same frame.
  exec(playSettings(0, 2, 0, 0, 1));
  out = run({"hw parity 1", playCommand(12, 0).c_str(), "field", playCommand(10, 0).c_str(), "field 4"});
  EXPECT_EQ(drv(out, "cueClip"), cues({1, 0, 1, 2, 3}));
  // A play command in a second field waits for the first.
  out = run({"hw parity 1", playCommand(12, 0).c_str(), "field", "hw parity 1", playCommand(10, 0).c_str(), "field"});
  EXPECT_EQ(drv(out, "cueClip"), cues({1}));
  // Speed 1/4: every field runs, one field forward every fourth.
  exec(playSettings(0, 2, 0, 5));
  out = run({playCommand(12, 0).c_str(), "field", playCommand(10, 0).c_str(), "field 9"});
  EXPECT_EQ(drv(out, "cueClip"), cues({1, 0, 0, 0, 0, 0, 1, 1, 1, 1}));
  // The end action in field mode: both fields of the first frame again.
  run({playCommand(12, 0).c_str(), "field"});
  recordClip(0, 2);  // fields 0..3
  exec(playSettings(0, 0, 0, 0, 1));
  out = run({"hw parity 0", playCommand(10, 0).c_str(), "field 6"});
  // Start (0, then 1), frame 2 (2, 3), then the end: back to the first frame, both of its fields.
  EXPECT_EQ(drv(out, "cueClip"), cues({0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(std::pair(stateAndLock(0), entry(0).position.current), std::pair(std::pair(0, ClipChannelLocks::NONE), 1u));
  // A jog forward on a longer clip: the first field waits, the second shows the next frame's
  // second field; the jog stays active in the middle of the clip.
  recordClip(0, 4);  // fields 0..7
  out = run({"hw parity 1", playCommand(12, 0).c_str(), "field"});
  EXPECT_EQ(drv(out, "cueClip"), cues({1}));  // the stop rests on the first frame
  out = run({"hw parity 0", playCommand(13, 0, 2).c_str(), "field 2"});
  EXPECT_EQ(drv(out, "cueClip"), cues({3}));
  EXPECT_EQ(std::tuple(+entry(0).state, entry(0).position.current), std::tuple(0, 2u));
  EXPECT_EQ(status().channel(0).activeCommand, CLIP_JOG);
  // A jog to the last frame finishes the command.
  run({"hw parity 0", playCommand(13, 0, 3).c_str(), "field 2"});
  EXPECT_EQ(entry(0).position.current, 4u);
  EXPECT_EQ(status().channel(0).activeCommand, CategoryClipStatus::NO_COMMAND);
  // Reversed, every field is shown; the loop wraps from field 0 to the first field of the last
  // frame.
  exec(playSettings(0, 2, 1));
  out = run({"hw parity 0", playCommand(12, 0).c_str(), "field", "hw parity 0", playCommand(10, 0).c_str(), "field 10"});
  EXPECT_EQ(drv(out, "cueClip"), cues({1, 7, 6, 5, 4, 3, 2, 1, 0, 6, 5}));
  // An out point here: play then runs through the window the range command set, to its last field.
  exec(playSettings(0, 0, 0, 0, 1));
  run({"hw parity 0", playCommand(12, 0).c_str(), "field", "hw parity 0", playCommand(13, 0, 2).c_str(), "field 2",
       "hw parity 0", playCommand(13, 0, 2).c_str(), "field 2"});
  out = run({"hw parity 0", playCommand(15, 0).c_str(), "field", "hw parity 0", playCommand(10, 0).c_str(), "field 8"});
  // Fields 0..5 end the window at the out point; its count holds one field more, which play shows.
  EXPECT_EQ(drv(out, "setClipRange"), Lines{"drv setClipRange 0x1188 0 7"});
  EXPECT_EQ(drv(out, "cueClip"), cues({0, 1, 2, 3, 4, 5, 6, 6}, 1));
  run({playCommand(16, 0).c_str(), "field"});
  // Stop on the last frame: its first field without field mode, its second field with it.
  exec(playSettings(0, 1));
  EXPECT_EQ(drv(run({"hw parity 0", playCommand(12, 0).c_str(), "field"}), "cueClip"), cues({6}, 0));
  EXPECT_EQ(entry(0).position.current, 4u);
  exec(playSettings(0, 1, 0, 0, 1));
  EXPECT_EQ(drv(run({"hw parity 0", playCommand(12, 0).c_str(), "field"}), "cueClip"), cues({7}, 1));
}

TEST_F(ClipTest, LeverFollowOnAnMeAndOnABSide) {
  format(4);
  recordClip(2, 101);
  auto& fader = category::CategoryFaderEvent::get();
  // Any play code is admitted on a follower; 10 changes nothing.
  exec(playSettings(2, 0, 0, 0, 0, TRIGGER_LEVER, 0));
  EXPECT_EQ(sent(playCommand(10, 2), "msg 67"), Lines{playReply(10, 2, 0)});
  EXPECT_EQ(entry(2).state, CLIP_STOPPED);
  // Channels outside 0..3 follow nothing.
  const auto& play = BP::instance().require<category::CategoryClipPlay>();
  EXPECT_EQ((std::array{play.followsMe(0, 2), play.followsMe(1, 2), play.followsMe(0, 1), play.followsMe(0, -1),
                        play.followsMe(0, 4)}),
            (std::array{true, false, false, false, false}));
  fader.transition(keySubTransIndex(0, 2)).positionA = 0.5f;
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{"drv cueClip 0x118c 50 1"});
  EXPECT_EQ(entry(2).position.current, 51u);
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{});  // the lever did not move
  EXPECT_EQ(status().locks().lockState(2), ClipChannelLocks::NONE);
  exec(playSettings(2, 0, 1, 0, 0, TRIGGER_LEVER, 0));
  fader.transition(keySubTransIndex(0, 2)).positionA = 0.25f;
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{"drv cueClip 0x118c 75 1"});
  // At either end the lever shows the frame the end action names, not the one its travel reaches.
  exec(playSettings(2, 0, 0, 0, 0, TRIGGER_LEVER, 0));
  fader.transition(keySubTransIndex(0, 2)).positionA = 1.0f;
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{"drv cueClip 0x118c 0 1"});
  exec(playSettings(2, 1, 0, 0, 0, TRIGGER_LEVER, 0));
  fader.transition(keySubTransIndex(0, 2)).positionA = 0.0f;
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{"drv cueClip 0x118c 100 1"});
  // The B side of M/E 2 (index 5) has a lever entry of its own.
  exec(playSettings(2, 0, 0, 0, 0, TRIGGER_LEVER, 5));
  fader.transition(keySubTransIndex(5, 2)).positionA = 0.5f;
  EXPECT_EQ(drv(fields(1), "cueClip"), Lines{"drv cueClip 0x118c 50 1"});
  EXPECT_EQ(std::pair(play.followsMe(5, 2), play.followsMe(0, 2)), std::pair(true, false));
  // A range command pauses the lever's transition.
  run({playCommand(17, 2).c_str(), "field"});
  EXPECT_EQ(fader.transition(keySubTransIndex(5, 2)).state, AutoTransition::STATE_PAUSED);
}

TEST_F(ClipTest, FormatChangeFinishesAndResetReleasesEveryLock) {
  format(4);
  recordClip(0, 3);
  exec(playSettings(0, 2));
  exec(recSettings(1, 50));
  run({playCommand(10, 0).c_str(), recCommand(7, 1).c_str(), "field 2"});
  EXPECT_EQ(std::pair(status().locks().lockState(0), status().locks().lockState(1)),
            std::pair(ClipChannelLocks::READING, ClipChannelLocks::WRITING));
  const Lines out = run({"send 29 00000001 05 00 00 00 00", "field"});
  EXPECT_EQ(drv(out, "clearClip").size(), 4u);
  EXPECT_EQ(only(out, "msg 13").size(), 4u);
  for (int ch = 0; ch < 4; ++ch)
    EXPECT_EQ(std::tuple(stateAndLock(ch), +entry(ch).recorded, locks::word(4 + ch), status().channel(ch).activeCommand),
              std::tuple(std::pair(0, ClipChannelLocks::NONE), 0, 0u, CategoryClipStatus::NO_COMMAND))
        << ch;
  // The channel can record again at once.
  exec(recSettings(1, 2));
  EXPECT_EQ(sent(recCommand(7, 1), "msg 68"), Lines{recReply(7, 1, 0)});
}

TEST_F(ClipTest, PanelKeyAndRecordTriggersStartPlay) {
  format(4);
  for (int ch : {0, 1, 2}) recordClip(ch, 3);
  // The start button of M/E 1 starts channel 0.
  exec(playSettings(0, 0, 0, 0, 0, TRIGGER_START_BUTTON, 1));
  fields(1);
  EXPECT_EQ(sent("send 92 0000 00 0000 00 01 00 0650 01 00", "drv cueClip"), cues({0}));
  EXPECT_EQ(entry(0).state, CLIP_PLAYING);
  // One press starts one play: back at the first frame the channel stays stopped.
  EXPECT_EQ(drv(fields(3), "cueClip"), cues({1, 2, 0}));
  EXPECT_EQ(std::pair(+entry(0).state, drv(fields(2), "cueClip")), std::pair(+CLIP_STOPPED, Lines{}));
  // Key 2 of M/E 0 turning on starts channel 1; already on when set, it waits for the next edge.
  auto& keyLever = category::CategoryFaderEvent::get().transition(keyTransIndex(0, 1)).positionA;
  keyLever = 1.0f;
  fields(1);
  exec(playSettings(1, 1, 0, 0, 0, TRIGGER_KEY_1 + 1, 0));
  fields(2);
  EXPECT_EQ(category::CategoryKey::get(0).data(1).keyOn, 1);
  EXPECT_EQ(entry(1).state, CLIP_STOPPED);
  for (float level : {0.0f, 1.0f}) keyLever = level, fields(1);
  EXPECT_EQ(entry(1).state, CLIP_PLAYING);
  // A key trigger on a B side watches nothing.
  exec(playSettings(2, 1, 0, 0, 0, TRIGGER_KEY_1, 4));
  fields(1);
  EXPECT_EQ(entry(2).state, CLIP_STOPPED);
  // Channel 2 starts when any channel starts to record, once.
  exec(playSettings(2, 1, 0, 0, 0, TRIGGER_ANY_RECORD, 0));
  exec(recSettings(3, 5));
  run({recCommand(7, 3).c_str(), "field"});
  EXPECT_EQ(entry(2).state, CLIP_PLAYING);
  run({playCommand(12, 2).c_str(), "drain off", "field 3", "drain on", "field"});
  EXPECT_EQ(entry(2).state, CLIP_STOPPED);
}

TEST_F(ClipTest, AudioMetersAndTheRegistrationCommand) {
  // The driver's values are held to the 24-bit level range: above it full scale, below it none.
  run({"hw audio 1 20000000 4294967295", "field"});
  auto& mv = category::CategoryMultiView::get();
  EXPECT_NEAR(mv.sourceLevel(204, 0), 1.0f, 1e-3);
  EXPECT_EQ(mv.sourceLevel(204, 1), 0.0f);
  run({"hw audio 1 1677721 0", "field"});
  EXPECT_NEAR(mv.sourceLevel(204, 0), std::log10(1.0 + 0.1 * 280.8383) / 2.45, 1e-4);
  // One side changed alone: it follows, the other keeps its reading.
  run({"hw audio 1 1677721 16777215", "field"});
  EXPECT_NEAR(mv.sourceLevel(204, 0), std::log10(1.0 + 0.1 * 280.8383) / 2.45, 1e-4);
  EXPECT_NEAR(mv.sourceLevel(204, 1), 1.0f, 1e-3);
  run({"hw audio 1 0 16777215", "field"});
  EXPECT_EQ(mv.sourceLevel(204, 0), 0.0f);
  EXPECT_NEAR(mv.sourceLevel(204, 1), 1.0f, 1e-3);
  // Only acknowledged: a 40-character name goes back with its length, its first 33 bytes and zeros.
  const std::string back = repeatedText(40, "41").substr(0, 4 + 2 * 33) + std::string(16, '0');
  EXPECT_EQ(sent("send 79 01 02 0003 0000 0102 03 " + repeatedText(40, "41") + "00 04 05", "msg 79"),
            Lines{"msg 79 010200030000010203" + back + "0405"});
  // A negative length carries no bytes either way; a name running past the body gets no answer.
  EXPECT_EQ(only(run({"send 79 01 02 0003 0000 0102 03 8000 04 05", "send 79 01 02 0003 0000 0102 03 0010 4142 04 05", "field"}),
                 "msg 79"),
            Lines{"msg 79 0102000300000102038000" "0405"});
}


// The clip's audio runs only while it plays forward at x1; any other play ends it, both when the
// command starts play and in every field after.
TEST_F(ClipTest, AudioRunsOnlyWithForwardPlayAtNormalSpeed) {
  format(4);
  recordClip(0, 9);
  struct Case {
    int audio, reverse, speed;
    const char* call;
  };
  for (const Case& c : {Case{1, 0, 0, "requestClipUpdate"}, Case{0, 0, 0, "stopClipRecord"},
                        Case{1, 1, 0, "stopClipRecord"}, Case{1, 0, 1, "stopClipRecord"},
                        Case{1, 0, 4, "stopClipRecord"}}) {
    run({playCommand(12, 0).c_str(), "field"});
    exec("send 10 00000001 0000 0000003f 02 " + hexBytes(c.reverse, 1) + hexBytes(c.speed, 1) + " 00 00 " +
         hexBytes(c.audio, 1) + " 00 00");
    const std::string call = std::string("drv ") + c.call + " 0x1188";
    const auto audio = [](const Lines& out) {
      Lines r = drv(out, "requestClipUpdate");
      for (const auto& l : drv(out, "stopClipRecord")) r.push_back(l);
      return r;
    };
    EXPECT_EQ(audio(run({playCommand(10, 0).c_str(), "field"})), Lines{call}) << call;
    EXPECT_EQ(audio(fields(1)), Lines{call}) << call;
    EXPECT_EQ(entry(0).state, CLIP_PLAYING);
  }
}
