// The still channels through their records and the wire: the settings and status records with
// their texts, the capture command field by field with its lock, refusals from clips and from the
// System Manager, the format-group reset, the status table after a resume, and the escaped-text
// rule.
#include <string>
#include <utility>

#include "Common/lock.h"
#include "Driver/still.h"
#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/escaped_text.h"
#include "Main/sources.h"
#include "Main/stillmemory.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

namespace {

std::string noSpaces(std::string s) {
  std::erase(s, ' ');
  return s;
}
std::string textWire(const std::string& t) {
  std::string s = hexBytes(t.size(), 2);
  for (char c : t) s += hexBytes(static_cast<unsigned char>(c), 1);
  return s + "00";
}

// A settings record with every field present: channel 2, option1 and mode 1, channel modes
// 1 0 1 0, channel2 3, and the two texts as given (wire bytes).
std::string fullSettings(const std::string& text1, const std::string& text2) {
  return "00000003 02 0000001f 00 01 00 00 01 0000000f 01 00 01 00 03 00000003 " + text1 + text2;
}

// Capture command: tags 11 22, arg0 3344, arg1 55, name "abc", args 66 77 88.
std::string captureCommand(int channel) {
  return "send 66 11 22 0007 0000 3344 " + hexBytes(channel, 1) + " 55 0003 616263 00 66 77 88";
}
// The status entry of a still channel after its capture (option1 as taken).
std::string capturedEntry(int ch, int option1) {
  return "msg 24 00000012" + hexBytes(81 + ch, 2) + "000000" + "01" + "00000000" + std::string(24, '0') +
         hexBytes(option1, 1) + "000000";
}

class StillTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  // Runs one script line and a field; what it printed under `prefix`.
  Lines sent(const std::string& line, const std::string& prefix) { return only(run({line.c_str(), "field"}), prefix); }
  category::CategoryStillStatus& status() { return BP::instance().require<category::CategoryStillStatus>(); }
};

}  // namespace

TEST_F(StillTest, SettingsRecordWireTextsAndBackupImage) {
  const std::string plain = noSpaces(fullSettings(textWire(""), textWire("")));
  EXPECT_EQ(sent("send 23 " + plain, "msg"), Lines{"msg 23 " + plain});
  // 12 characters are kept whole; of 20 the first 12 stay.
  const std::string twelve = textWire("ABCDEFGHIJKL");
  EXPECT_EQ(sent("send 23 " + fullSettings(twelve, textWire("ABCDEFGHIJKLMNOPQRST")), "msg"),
            Lines{"msg 23 " + noSpaces(fullSettings(twelve, twelve))});
  // A negative length breaks the text rule: only that text is dropped.
  const std::string x = textWire("x");
  EXPECT_EQ(sent("send 23 00000000 00 00000000 0000000000 00000000 00000000 00 00000003 8000 " + x, "msg"),
            Lines{"msg 23 " + noSpaces("00000000 02 00000000 0001000001 00000000 01000100 03 00000002 " + twelve + x)});
  // A text running past the body drops the record whole.
  EXPECT_EQ(sent("send 23 00000001 01 00000000 0000000000 00000000 00000000 00 00000001 0010 4142", "msg"), Lines{});
  // Out of range: channel 4 kept out, channel2 2 taken; channel mode 5 dropped, 1 taken.
  EXPECT_EQ(sent("send 23 00000003 04 00000000 0000000000 00000003 01 05 00 00 02 00000000 000000 000000", "msg"),
            Lines{"msg 23 " + noSpaces("00000002 02 00000000 0001000001 00000001 01000100 02 00000000 " + twelve + x)});
  // Stored as in memory, little-endian with padding: channel at 4, option1 at 13, mode at 16,
  // channel modes from 24, channel2 at 28, text1 length at 36 and characters from 38, text2 at 52.
  run({"field"});
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifStillMemory::TYPE_ID, 0);
  EXPECT_EQ((std::vector<int>{nv[4], nv[13], nv[16], nv[24], nv[26], nv[28], nv[36], nv[37], nv[38], nv[49], nv[50],
                              nv[52], nv[54], nv[55]}),
            (std::vector<int>{2, 1, 1, 1, 1, 2, 12, 0, 'A', 'L', 0, 1, 'x', 0}));
  // A resume reports the restored record with every mask bit.
  EXPECT_EQ(sent("restart resume", "msg 23"),
            Lines{"msg 23 " + noSpaces("00000003 02 0000001f 0001000001 0000000f 01000100 02 00000003 " + twelve + x)});
}

TEST_F(StillTest, StatusEntriesTakeTheirFieldsAndIgnoreEntriesPastTheTable) {
  const std::string forty(40, 'n');
  const std::string entry = " 00000003 0005 " + textWire(forty) + " 01";
  const std::string rest = " 00000000 000000000000000000000000 00 00 0a 00";
  // The name is cut to 32 characters; code 10 is dropped.
  EXPECT_EQ(sent("send 24 00000043 0005 " + textWire(forty) + " 01" + rest, "msg"),
            Lines{"msg 24 " + noSpaces("00000003 0005 " + textWire(std::string(32, 'n')) + " 01" + rest.substr(0, rest.size() - 5) +
                           " 00 00")});
  EXPECT_EQ(sent("send 24 00000040 0055 0000 00 00 00000000 000000000000000000000000 00 00 09 00", "msg"), Lines{});
  EXPECT_EQ(status().record(5).name.length, 32);
}

TEST_F(StillTest, CaptureRunsFromCommandToCompletionFieldByFieldUnderItsLock) {
  // Channel 2 current, then monitored: a channel change in the same record would clear monitor.
  run({"send 23 00000001 02 00000012 00 01 00 00 00 00000000 00000000 00 00000000 000000 000000", "field",
       "send 23 00000000 00 00000014 00 00 01 00 01 00000000 00000000 00 00000000 000000 000000", "field"});
  EXPECT_EQ(isStillSourceSelected(187) + isStillSourceSelected(188) + isStillSourceSelected(181), 2);
  // Field F: the current channel (100) is captured; its monitor goes off and is reported.
  const Lines f = run({captureCommand(100).c_str(), "field"});
  // The command starts the capture; the hook then sets up all four still outputs, as every field.
  EXPECT_EQ(only(f, "drv setStill"),
            (Lines{"drv setStillEnable 0x1184 0", "drv setStillMode 0x1184 1", "drv setStillCapture 0x1184 1",
                   "drv setStillMode 0x1180 0", "drv setStillEnable 0x1180 0", "drv setStillMode 0x1182 0",
                   "drv setStillEnable 0x1182 0", "drv setStillMode 0x1184 0", "drv setStillEnable 0x1184 0",
                   "drv setStillMode 0x1186 0", "drv setStillEnable 0x1186 0"}));
  EXPECT_EQ(only(f, "msg"), Lines{"msg 23 " + noSpaces("00000000 02 00000004 0001000001 00000000 00000000 00 00000000 000000 000000")});
  EXPECT_EQ(std::pair(locks::word(2), +status().isStillBusy()), std::pair(LOCK_WRITER, 1));
  // F + 1: nothing to say.
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{});
  // F + 2: the reply, with the command's own tags, arguments and name, and the entry of channel 2.
  EXPECT_EQ(only(run({"field"}), "msg"), (Lines{"msg 66 11220007000033440255000361626300667788", capturedEntry(2, 1)}));
  EXPECT_EQ(locks::word(2), 0u);
  EXPECT_EQ(kz::stillImage().holdsPicture[2], 0);  // the driver's own sequence ends a field later
  run({"field"});
  EXPECT_EQ(kz::stillImage().holdsPicture[2], 1);
}

TEST_F(StillTest, RefusalsReplyAtOnceAndLeaveTheRunningCaptureItsOwnReply) {
  EXPECT_EQ(sent("send 66 01 02 0008 0000 0000 00 00 0000 00 00 00 00", "msg"),
            Lines{"msg 66 01020008fffe00000000000000000000"});
  EXPECT_EQ(sent("send 66 01 02 0007 0000 0000 04 00 0000 00 00 00 00", "msg"),
            Lines{"msg 66 01020007fffe00000400000000000000"});
  run({captureCommand(0).c_str(), "field"});
  // Another channel: a conflict; the same channel: busy. Neither lends its identity.
  EXPECT_EQ(only(run({"send 66 aa bb 0007 0000 0000 01 00 0000 00 00 00 00", "send 66 aa bb 0007 0000 0000 00 00 8000 00 00 00",
                      "field"}),
                 "msg"),
            (Lines{"msg 66 aabb0007fffa00000100000000000000", "msg 66 aabb0007fff8000000008000000000"}));
  EXPECT_EQ(only(run({"field"}), "msg"), (Lines{"msg 66 11220007000033440055000361626300667788", capturedEntry(0, 0)}));
  // Free again.
  EXPECT_EQ(only(run({"send 66 01 02 0007 0000 0000 01 00 0000 00 00 00 00", "field 3"}), "msg 66"),
            Lines{"msg 66 01020007000000000100000000000000"});
}

TEST_F(StillTest, RepliesSendTheNameBackAsItCameAndFillTheRingWhenUnread) {
  // A 40-character name goes back with length 40, its first 33 bytes and zeros; a negative
  // length goes back as it came, with no bytes.
  const std::string forty = textWire(std::string(40, 'n'));
  std::string back = hexBytes(40, 2);
  for (int i = 0; i < 33; ++i) back += "6e";
  back += std::string(16, '0');
  EXPECT_EQ(only(run({("send 66 01 02 0008 0000 3344 00 55 " + forty + " 66 77 88").c_str(),
                      "send 66 01 02 0007 0000 3344 04 55 8000 66 77 88", "field"}),
                 "msg"),
            (Lines{"msg 66 01020008fffe33440055" + back + "667788", "msg 66 01020007fffe334404558000667788"}));
  // The capture's own reply keeps its long name through a refusal with a negative length.
  run({("send 66 aa bb 0007 0000 3344 01 55 " + forty + " 66 77 88").c_str(), "field",
       "send 66 01 02 0007 0000 3344 01 55 8000 66 77 88", "field"});
  EXPECT_EQ(only(run({"field"}), "msg 66"), Lines{"msg 66 aabb0007000033440155" + back + "667788"});

  // Unread, the replies to long names fill the transmit ring and the output ring behind it
  // (about 380 KB): 6300 of them, 64 bytes each, do; cut to 32 characters they would not.
  run({"drain off"});
  lines.clear();
  const std::string refused = "send 66 01 02 0008 0000 3344 00 55 " + forty + " 66 77 88";
  for (int batch = 0; batch < 7; ++batch) {
    for (int i = 0; i < 900; ++i) ASSERT_TRUE(runner->execute(refused));
    ASSERT_TRUE(runner->execute("field"));
  }
  EXPECT_FALSE(only(lines, "log [ERR] send buffer full").empty());
}

TEST_F(StillTest, CaptureAndClipRecordingExcludeEachOtherAndTheSystemManagerLockRefuses) {
  const auto& clips = BP::instance().require<category::CategoryClipStatus>().locks();
  // Clip channel 1 records 50 frames: a capture is refused, also after a stray set of clip locks
  // has come and gone.
  run({"send 29 00000001 04 00 00 00 00", "field", "send 11 00000001 01 0000003a 00 00 00 00 00 0032 00",
       "send 68 11 22 0007 0000 01", "field"});
  EXPECT_EQ(clips.lockState(1), ClipChannelLocks::WRITING);
  { const ClipChannelLocks stray; }
  EXPECT_EQ(sent(captureCommand(3), "msg 66"), Lines{"msg 66 11220007fffa33440355000361626300667788"});
  // Stopped, then played in a loop: a playing channel (read lock) does not block a capture.
  run({"send 68 11 22 000c 0000 01", "field", "send 10 00000003 0001 0000001f 02 00 00 00 00 00 00 00",
       "send 67 33 44 000a 0000 01 00", "field"});
  EXPECT_EQ(std::pair(clips.lockState(1), locks::word(5)), std::pair(ClipChannelLocks::READING, 1u));
  // While the capture runs, the clip engine refuses a recording.
  const Lines during = run({captureCommand(3).c_str(), "field", "send 68 11 22 0007 0000 02", "field"});
  EXPECT_EQ(only(during, "msg 6"), (Lines{"msg 68 11220007fffa02"}));
  EXPECT_EQ(only(during, "log LOCK"), Lines{"log LOCK_ERROR_REC_CONFLICT"});
  EXPECT_EQ(status().lockState(3), category::CategoryStillStatus::CAPTURING);
  EXPECT_EQ(clips.lockState(2), ClipChannelLocks::NONE);
  EXPECT_EQ(only(run({"field"}), "msg 66"), Lines{"msg 66 11220007000033440355000361626300667788"});
  // The System Manager holds resource 6 (clip 2) and resource 0 (still 0).
  run({"lock 6 on", "lock 0 on"});
  EXPECT_EQ(only(run({"send 68 11 22 0007 0000 02", "field"}), "msg 68"), Lines{"msg 68 11220007fff802"});
  EXPECT_EQ(clips.lockState(2), ClipChannelLocks::NONE);
  EXPECT_EQ(sent(captureCommand(0), "msg 66"), Lines{"msg 66 11220007fff833440055000361626300667788"});
  EXPECT_EQ(status().lockState(0), category::CategoryStillStatus::IDLE);
  run({"lock 0 off"});
  EXPECT_EQ(only(run({captureCommand(0).c_str(), "field 3"}), "msg 66"), Lines{"msg 66 11220007000033440055000361626300667788"});
  // A still channel outside 0..3 is a fault of the caller, on either side.
  for (int ch : {-1, N_STILL_CHANNELS}) {
    EXPECT_THROW(status().takeCaptureLock(ch), assert::AssertException) << ch;
    EXPECT_THROW(status().releaseLock(ch), assert::AssertException) << ch;
  }
}

TEST_F(StillTest, FormatGroupChangeAbandonsTheCaptureSilentlyAndStatusIndexesSurviveAResume) {
  run({captureCommand(1).c_str(), "field"});
  // Same group (0 to 2): nothing; another group (to 4): no reply ever, the lock free, no pictures.
  EXPECT_EQ(sent("send 29 00000001 02 00 00 00 00", "msg 24"), Lines{});
  const Lines out = run({"send 29 00000001 04 00 00 00 00", "field 4"});
  EXPECT_EQ(only(out, "msg 66"), Lines{});
  EXPECT_EQ(only(out, "msg 24").size(), 4u);
  EXPECT_EQ(only(out, "msg 24").at(3), "msg 24 000000020054000000" + std::string(42, '0'));
  EXPECT_EQ(locks::word(1), 0u);
  EXPECT_EQ(only(run({captureCommand(1).c_str(), "field 3"}), "msg 66"), Lines{"msg 66 11220007000033440155000361626300667788"});
  run({"restart resume", "field"});
  for (int i = 0; i < KzifStillStatus::N_CHANNELS; ++i) ASSERT_EQ(status().record(i).index, i);
  EXPECT_EQ(locks::word(1), 0u);
}

TEST(EscapedText, PrintableWithOnlyEscapedQuotesAndJudgedOnWhatIsHeld) {
  struct Case { const char* text; int length; std::size_t held; bool valid; };
  const Case cases[] = {
      {"", 0, 0, true},          {"", -1, 0, false},       {"a\\\\\"b", 5, 5, false}, {"a\\\"b", 4, 4, true},
      {"a\\'b\\\\", 6, 6, true}, {"a\\x", 3, 3, false},    {"ab\\", 3, 3, false},     {"a\"b", 3, 3, false},
      {"a\tb", 3, 3, false},     {"\x7f", 1, 1, false},
      // A longer text than the array: only what was kept is judged, and a kept prefix ending in a
      // lone backslash is refused.
      {"abcdefghijkl", 20, 12, true}, {"abcdefghijk\\", 20, 12, false},
  };
  for (const Case& c : cases) EXPECT_EQ(isValidEscapedText(c.length, c.text, c.held), c.valid) << c.text;
}

// The rule character by character, as it is written: the check passes plain characters over in a
// quicker loop and must judge every text as this does.
static bool escapedTextByTheRule(int length, const char* chars, std::size_t held) {
  if (length < 0) return false;
  const std::size_t n = static_cast<std::size_t>(length) < held ? static_cast<std::size_t>(length) : held;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(chars[i]);
    if (c < 0x20 || c > 0x7E || c == '"') return false;
    if (c != '\\') continue;
    if (i + 1 >= n) return false;
    const char next = chars[++i];
    if (next != '\'' && next != '\\' && next != '"') return false;
  }
  return true;
}

TEST(EscapedText, EveryTextIsJudgedAsTheRuleCharacterByCharacterJudgesIt) {
  // Every byte alone and after a backslash, at the start, the middle and the end of a text.
  for (int c = 0; c < 256; ++c)
    for (const char* frame : {"%s", "ab%s", "%sZ", "a\\%s", "\\%sx"}) {
      char text[16] = {};
      int n = 0;
      for (const char* f = frame; *f != '\0'; ++f) {
        if (*f == '%' && f[1] == 's') {
          text[n++] = static_cast<char>(c);
          ++f;
        } else {
          text[n++] = *f;
        }
      }
      for (int held = 0; held <= n; ++held)
        for (int length : {-1, 0, held, n, n + 3})
          ASSERT_EQ(isValidEscapedText(length, text, static_cast<std::size_t>(held)),
                    escapedTextByTheRule(length, text, static_cast<std::size_t>(held)))
              << c << " " << frame << " " << held << " " << length;
    }
  // Random texts drawn mostly from the bytes the rule turns on.
  const unsigned char edges[] = {' ', '~', 'a', 'Z', '\\', '"', '\'', 0x1F, 0x7F, 0x00, 0x80, 0xFF, '\r'};
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 20000; ++round) {
    char text[13] = {};
    const int n = static_cast<int>(next() % 13);
    for (int i = 0; i < n; ++i)
      text[i] = static_cast<char>(next() % 4 == 0 ? next() % 256 : edges[next() % sizeof edges]);
    const int length = static_cast<int>(next() % 16) - 1;
    const auto held = static_cast<std::size_t>(next() % 13);
    ASSERT_EQ(isValidEscapedText(length, text, held), escapedTextByTheRule(length, text, held)) << round;
  }
}

// A change of channel while the monitor is on turns it off, and the echo says so.
TEST_F(StillTest, ChannelChangeTurnsTheMonitorOffAndReportsIt) {
  run({"send 23 00000001 02 00000000 00 00 00 00 00 00000000 00000000 00 00000000 000000 000000", "field",
       "send 23 00000000 00 00000004 00 00 01 00 00 00000000 00000000 00 00000000 000000 000000", "field"});
  EXPECT_EQ(isStillSourceSelected(187) + isStillSourceSelected(188) + isStillSourceSelected(181), 2);
  EXPECT_EQ(sent("send 23 00000001 01 00000000 00 00 00 00 00 00000000 00000000 00 00000000 000000 000000", "msg"),
            Lines{"msg 23 " + noSpaces("00000001 01 00000004 0000000000 00000000 00000000 00 00000000 000000 000000")});
  EXPECT_EQ(isStillSourceSelected(187) + isStillSourceSelected(188) + isStillSourceSelected(181), 0);
}
