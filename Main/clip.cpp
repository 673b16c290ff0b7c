#include "Main/clip.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "Driver/clip.h"
#include "Main/bp.h"
#include "Main/system.h"
#include "Platform/platform.h"

KZ_SOURCE("Main/clip");

namespace {

constexpr u32 REC_MODE_MONITOR_BIT = 1u << 1;
constexpr u32 REC_MODE_LENGTH_BIT = 1u << 5;
constexpr u32 STATUS_STATE_BIT = 1u << 6;

// The refusals the System Manager's operator reads on the console, as plain lines.
void consoleLine(const char* text) {
  platform::consoleWrite(reinterpret_cast<const u8*>(text), std::strlen(text));
  platform::consoleWrite(reinterpret_cast<const u8*>("\n"), 1);
}

category::CategoryClipStatus& clipStatus() { return BP::instance().require<category::CategoryClipStatus>(); }

// Admission of a play command by code and state; the fifth column is used for a channel that
// follows the lever. 0 refuse, 1 admit and change, 2 admit without a change.
constexpr u8 PLAY_TABLE[9][5] = {
    {1, 0, 2, 1, 2},  // 10 play
    {2, 0, 1, 2, 2},  // 11 pause
    {1, 2, 1, 1, 2},  // 12 stop
    {1, 0, 1, 1, 2},  // 13 jog
    {1, 0, 1, 1, 1},  // 14 in point here
    {1, 0, 1, 1, 1},  // 15 out point here
    {1, 0, 1, 1, 1},  // 16 clear the trim
    {1, 0, 1, 1, 1},  // 17 in point to the start
    {1, 0, 1, 1, 1},  // 18 out point to the end
};
constexpr u8 REC_TABLE_RECORD[4] = {1, 2, 0, 1};
constexpr u8 REC_TABLE_STOP[4] = {2, 1, 2, 0};

u8 playAdmission(int cmd, int state, bool followsLever) {
  if (cmd < CLIP_PLAY || cmd > CLIP_OUT_END) return 0;
  if (followsLever) return PLAY_TABLE[cmd - CLIP_PLAY][4];
  if (state > CLIP_PAUSED) return 0;
  return PLAY_TABLE[cmd - CLIP_PLAY][state];
}

u8 recordAdmission(int cmd, int state) {
  if (state > CLIP_PAUSED) return 0;
  if (cmd == CLIP_RECORD) return REC_TABLE_RECORD[state];
  if (cmd == CLIP_STOP) return REC_TABLE_STOP[state];
  return 0;
}

}  // namespace

namespace category {

// ---- clip play --------------------------------------------------------------------------------

CategoryClipPlay::CategoryClipPlay() {
  setRoute<KzifClipPlayCmd>(IndexOf<KzifClipPlay>::value);
}

void CategoryClipPlay::initIndex(int, int) {
  for (int ch = 0; ch < N_CHANNELS; ++ch) records_[ch].channel = static_cast<u16>(ch);
}

bool CategoryClipPlay::followsMe(int me, int ch) const {
  if (ch < 0 || ch >= N_CHANNELS) return false;
  const KzifClipPlay& r = record(ch);
  return r.trigger == TRIGGER_LEVER && r.me == me;
}

int CategoryClipPlay::execute(int cmd, int ch, int arg) {
  if (ch < 0 || ch >= N_CHANNELS) return CLIP_RESULT_BAD_PARAMETER;
  CategoryClipStatus& status = clipStatus();
  if (status.entry(ch).recorded == 0) return CLIP_RESULT_BAD_PARAMETER;
  const KzifClipPlay& play = std::as_const(*this).record(ch);
  const bool followsLever = play.trigger == TRIGGER_LEVER;
  ClipChannelLocks& locks = status.locks();
  bool tookLock = false;
  if (cmd == CLIP_PLAY && !followsLever) {
    const bool held = locks.lockState(ch) == ClipChannelLocks::READING;
    if (locks.takeReadLock(ch) != 0) {
      consoleLine("REPLY_LOCKED_READ_CHANNEL");
      return CLIP_RESULT_READ_LOCKED;
    }
    tookLock = !held;
  }
  const u8 admission = playAdmission(cmd, status.stateOf(ch), followsLever);
  if (admission == 2) return CLIP_RESULT_DONE;
  if (admission == 0) {
    // Only a lock this command took goes: a recording channel keeps its write lock.
    if (tookLock) locks.releaseLock(ch);
    return CLIP_RESULT_BAD_PARAMETER;
  }
  status.noteCommand(ch, cmd, arg, false);
  const int c = clipId(ch);
  switch (cmd) {
    case CLIP_PLAY:
      status.changeState(ch, CLIP_PLAYING);
      if (play.playMode.audio == 1 && !followsLever && play.playMode.reverse == 0 && play.playMode.speed == 0)
        requestClipUpdate(c);
      else
        stopClipRecord(c);
      break;
    case CLIP_PAUSE: status.changeState(ch, CLIP_PAUSED); break;
    case CLIP_STOP: status.changeState(ch, CLIP_STOPPED); break;
    case CLIP_JOG: status.changeState(ch, CLIP_PLAYING); break;
    default: status.markChanged(CategoryClipStatus::channelIndex(ch)); break;
  }
  return CLIP_RESULT_DONE;
}

void CategoryClipPlay::receiveRouted(int typeId, RequestReceiver& rx) {
  assert::checkEqual(kzSourceName, __LINE__, "id", static_cast<long>(typeId), "IndexOf<KzifClipPlayCmd>::value",
                     static_cast<long>(IndexOf<KzifClipPlayCmd>::value));
  KzifClipPlayCmd cmd{};
  const bool whole = rec::decode(rx.reader(), cmd);
  rx.consume();
  if (!whole) return;
  replyToMediaCommand(cmd, static_cast<i16>(execute(cmd.header.command, cmd.channel, cmd.argument)));
}

// ---- clip record -------------------------------------------------------------------------------

CategoryClipRec::CategoryClipRec() { setRoute<KzifClipRecCmd>(IndexOf<KzifClipRec>::value); }

void CategoryClipRec::initInternal() {
  CategoryCommon::initInternal();
  lastChannel_ = std::as_const(*this).record(0).channel;
}

void CategoryClipRec::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  lastChannel_ = records_[0].channel;
}

// The format is one of the system's codes: its merge and its restore both keep it in 0..11.
int CategoryClipRec::maxLength(int videoFormat, bool longClip) {
  static constexpr std::array<int, VIDEO_FORMAT_LAST + 1> SHORT = {900, 750, 720, 720, 1800, 1500,
                                                                    900, 750, 900, 750, 900, 750};
  const int frames = SHORT[static_cast<std::size_t>(videoFormat)];
  return longClip ? 2 * frames : frames;
}

void CategoryClipRec::dropMonitorOf(int ch) {
  const KzifClipRec& settings = std::as_const(*this).record(0);
  if (settings.channel != ch || settings.recMode.monitor != 1) return;
  setClipEnable(clipId(ch), 0);
  KzifClipRec& live = record(0);
  live.recMode.monitor = 0;
  live.recMode.mask |= REC_MODE_MONITOR_BIT;
}

void CategoryClipRec::update() {
  // Read without marking the record for the send pass; only a correction marks it.
  const KzifClipRec& settings = std::as_const(*this).record(0);
  const int length = static_cast<i16>(settings.recMode.length);
  const int max = maxLength(CategorySystem::get().videoFormat(), settings.recMode.longClip != 0);
  if (length < 1 || length > max) {
    KzifClipRec& live = record(0);
    live.recMode.length = static_cast<u16>(length < 1 ? 1 : max);
    live.recMode.mask |= REC_MODE_LENGTH_BIT;
  }
  if (settings.channel != lastChannel_ && settings.recMode.monitor == 1) {
    KzifClipRec& live = record(0);
    live.recMode.monitor = 0;
    live.recMode.mask |= REC_MODE_MONITOR_BIT;
  }
  for (int i = 0; i < N_CLIP_CHANNELS; ++i)
    setClipEnable(clipId(i), i == settings.channel && settings.recMode.monitor == 1 ? 1 : 0);
  lastChannel_ = settings.channel;
}

void CategoryClipRec::receiveRouted(int typeId, RequestReceiver& rx) {
  assert::checkEqual(kzSourceName, __LINE__, "id", static_cast<long>(typeId), "IndexOf<KzifClipRecCmd>::value",
                     static_cast<long>(IndexOf<KzifClipRecCmd>::value));
  KzifClipRecCmd cmd{};
  const bool whole = rec::decode(rx.reader(), cmd);
  rx.consume();
  if (!whole) return;
  const int ch = cmd.channel == CLIP_RECORD_CHANNEL ? std::as_const(*this).record(0).channel : cmd.channel;
  if (ch < 0 || ch >= N_CLIP_CHANNELS) {
    replyToMediaCommand(cmd, CLIP_RESULT_BAD_PARAMETER);
    return;
  }
  const int code = cmd.header.command;
  CategoryClipStatus& status = clipStatus();
  ClipChannelLocks& locks = status.locks();
  bool tookLock = false;
  if (code == CLIP_RECORD) {
    const int r = locks.takeRecordLock(ch);
    if (r == 1) {
      consoleLine("LOCK_ERROR_REC_CONFLICT");
      replyToMediaCommand(cmd, CLIP_RESULT_CONFLICT);
      return;
    }
    if (r == 2) {
      consoleLine("LOCK_ERROR_CH_CONFLICT");
      replyToMediaCommand(cmd, CLIP_RESULT_BUSY);
      return;
    }
    tookLock = true;
  }
  const u8 admission = recordAdmission(code, status.stateOf(ch));
  if (admission != 1) {
    // A lock taken for a command that changes nothing would be held with nothing to end it.
    if (tookLock) locks.releaseLock(ch);
    replyToMediaCommand(cmd, admission == 2 ? CLIP_RESULT_DONE : CLIP_RESULT_BAD_PARAMETER);
    return;
  }
  status.noteCommand(ch, code, 0, true);
  status.changeState(ch, code == CLIP_RECORD ? CLIP_RECORDING : CLIP_STOPPED);
  replyToMediaCommand(cmd, CLIP_RESULT_DONE);
}

// ---- clip register -----------------------------------------------------------------------------

CategoryClipRegister::CategoryClipRegister() {
  setRoute<KzifClipRegisterCmd>(IndexOf<KzifClipRegister>::value);
}

void CategoryClipRegister::receiveRouted(int typeId, RequestReceiver& rx) {
  assert::checkEqual(kzSourceName, __LINE__, "id", static_cast<long>(typeId), "IndexOf<KzifClipRegisterCmd>::value",
                     static_cast<long>(IndexOf<KzifClipRegisterCmd>::value));
  KzifClipRegisterCmd cmd{};
  const bool whole = rec::decode(rx.reader(), cmd);
  rx.consume();
  if (!whole) return;
  replyToMediaCommand(cmd, CLIP_RESULT_DONE);
}

// ---- clip status: the command side ----------------------------------------------------------------

void CategoryClipStatus::noteCommand(int ch, int cmd, int arg, bool recordCommand) {
  Channel& c = chan(ch);
  c.lastCommand = c.activeCommand;
  if (!recordCommand) c.lastArgument = c.activeArgument;
  c.activeCommand = static_cast<u16>(recordCommand ? RECORD_COMMAND_BASE + cmd : cmd);
  if (!recordCommand) c.activeArgument = static_cast<u8>(arg);
  c.commandPending = 1;
}

void CategoryClipStatus::changeState(int ch, u8 state) {
  chan(ch).previousState = stateOf(ch);
  reportState(ch, state);
}

void CategoryClipStatus::reportState(int ch, u8 state) {
  KzifClipStatus change{};
  change.mask = STATUS_STATE_BIT;
  change.state = state;
  report(ch, change);
}

void CategoryClipStatus::onButton(const internal::KzifButtonEvent& event) {
  if (event.code == CLIP_START_BUTTON && event.state == 1 && event.me < N_ME) meStart_[event.me] = 1;
}

}  // namespace category

void initCategoryClipPlay() { static category::CategoryClipPlay clipPlay; }
void initCategoryClipRec() { static category::CategoryClipRec clipRec; }
void initCategoryClipRegister() { static category::CategoryClipRegister clipRegister; }
void initCategoryClipStatus() { static category::CategoryClipStatus clipStatus; }
