// The clip engine: recording, playback, trim and lever follow of the four clip channels, run in
// the field hook of the clip status category.
#include <algorithm>
#include <cmath>

#include "Driver/clip.h"
#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/custominfo.h"
#include "Main/faderevent.h"
#include "Main/key.h"
#include "Main/multiview.h"
#include "Main/system.h"

KZ_SOURCE("Main/clip_engine");

namespace {

constexpr u32 STATUS_RECORDED_BIT = 1u << 1;
constexpr u32 STATUS_OPTION0_BIT = 1u << 4;
constexpr u32 STATUS_STATE_BIT = 1u << 6;
constexpr u32 STATUS_OPTION6_BIT = 1u << 9;
constexpr u16 RECORD_STOP_COMMAND = category::CategoryClipStatus::RECORD_COMMAND_BASE + CLIP_STOP;    // 268
constexpr u16 RECORD_START_COMMAND = category::CategoryClipStatus::RECORD_COMMAND_BASE + CLIP_RECORD;  // 263
constexpr int LEVEL_MAX = 16777215;
constexpr int CLIP_LEVEL_SOURCE_FIRST = 201;
constexpr int N_ME_SIDES = 8;
// The custom information's type of an M/E side that the start button and the lever act on.
constexpr int ME_ASSIGNED = 1;

struct ClipInfo {
  int count = 0, width = 0, height = 0, option0 = 0, option6 = 0;
};
ClipInfo readInfo(int c) {
  ClipInfo i;
  getClipInfo(c, i.count, i.width, i.height, i.option0, i.option6);
  return i;
}

category::CategoryClipPlay& clipPlay() { return BP::instance().require<category::CategoryClipPlay>(); }
category::CategoryClipRec& clipRec() { return BP::instance().require<category::CategoryClipRec>(); }
const KzifClipPlay& playOf(int ch) { return std::as_const(clipPlay()).record(ch); }
const KzifClipRec& recSettings() { return std::as_const(clipRec()).record(0); }

}  // namespace

namespace category {

void CategoryClipStatus::initIndex(int, int) {
  for (int i = 0; i < N_CHANNELS; ++i) records_[i].index = static_cast<u16>(i);
}

void CategoryClipStatus::initInternal() {
  CategoryCommon::initInternal();
  // A resume restores nothing into this volatile table: its entry numbers are stamped at every start.
  for (int i = 0; i < N_CHANNELS; ++i) records_[i].index = static_cast<u16>(i);
  const auto* system = BP::instance().find<CategorySystem>();
  videoFormat_ = system != nullptr ? static_cast<u32>(system->videoFormat()) : 0;
  locks_.releaseAllLocks();
  for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) chan(ch) = Channel{};
  recordedAssigned_.fill(0);
  trimReceived_.fill(0);
  meStart_.fill(0);
  resetRequest_ = 1;
}

namespace {
// Whether two trims give the same play window: with the trim off, its points do not count.
bool sameWindow(const ClipTrim& a, const ClipTrim& b) {
  if (a.enabled != b.enabled) return false;
  return a.enabled == 0 || (a.inPoint == b.inPoint && a.outPoint == b.outPoint);
}
}  // namespace

void CategoryClipStatus::assign(const KzifClipStatus& in, int idx) {
  checkChannel(idx);
  const ClipTrim before = records_[idx].trim;
  merge(in, idx);
  const int ch = idx - CLIP_STATUS_FIRST_CHANNEL;
  if (0 <= ch && ch < N_CLIP_CHANNELS && !sameWindow(before, records_[idx].trim))
    trimReceived_[static_cast<std::size_t>(ch)] = 1;
}

void CategoryClipStatus::merge(const KzifClipStatus& in, int idx) {
  CategoryCommon::assign(in, idx);
  const int ch = idx - CLIP_STATUS_FIRST_CHANNEL;
  if (0 <= ch && ch < N_CLIP_CHANNELS && (in.mask & STATUS_RECORDED_BIT))
    recordedAssigned_[static_cast<std::size_t>(ch)] = 1;
}

bool CategoryClipStatus::slowOrReverse(int ch) const {
  const ClipPlayMode& m = playOf(ch).playMode;
  return (4 <= m.speed && m.speed <= 6) || m.reverse == 1;
}

bool CategoryClipStatus::fieldMode(int ch) const {
  return playOf(ch).playMode.frameMode == 1 || frameCounting() || slowOrReverse(ch) || videoFormat_ == 10 ||
         videoFormat_ == 11;
}

bool CategoryClipStatus::recordAccepted(int ch) const {
  const Channel& c = channel(ch);
  return c.commandPending != 0 && c.activeCommand == RECORD_START_COMMAND;
}

// The play range as the trim gives it, when nothing has set it yet.
void CategoryClipStatus::deriveRange(int ch) {
  Channel& c = chan(ch);
  const ClipTrim& trim = entry(ch).trim;
  if (c.inPoint < 0) c.inPoint = trim.enabled ? trimUnits(trim.inPoint) : 0;
  if (c.outPoint < 0)
    c.outPoint = trim.enabled ? trimUnits(trim.outPoint) : getClipFrameCount(clipId(ch)) - 1;
}

void CategoryClipStatus::reportCurrent(int ch, int x) {
  KzifClipStatus change{};
  change.position.mask = ClipPosition::CURRENT_BIT;
  change.position.current = toReported(x);
  report(ch, change);
}

void CategoryClipStatus::reportInfo(int ch, int count, int option0, int option6) {
  KzifClipStatus change{};
  change.mask = STATUS_OPTION0_BIT | STATUS_OPTION6_BIT;
  change.option0 = static_cast<u8>(option0);
  change.option6 = static_cast<u8>(option6);
  change.position.mask = ClipPosition::LENGTH_BIT | ClipPosition::CURRENT_BIT;
  change.position.length = static_cast<u32>(frameCounting() ? count : count / 2);
  change.position.current = 1;
  report(ch, change);
}

void CategoryClipStatus::releaseReadLock(int ch) {
  if (locks_.lockState(ch) == ClipChannelLocks::READING) locks_.releaseLock(ch);
}

void CategoryClipStatus::finishCommand(int ch) {
  Channel& c = chan(ch);
  c.lastCommand = c.activeCommand;
  c.lastArgument = c.activeArgument;
  c.activeCommand = NO_COMMAND;
  c.activeArgument = NO_ARGUMENT;
  c.commandPending = 1;
}

// ---- the field hook ----------------------------------------------------------------------------

void CategoryClipStatus::update() {
  if (CategorySystem::get().formatChanged()) onFormatChange();
  const bool resetting = resetRequest_ != 0;
  if (resetting) {
    reset();
    resetRequest_ = 0;
  } else {
    // Before anything plays or cues in this field. A recording clip has no window to set; its
    // record start brings a trim of its own.
    for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch)
      if (trimReceived_[static_cast<std::size_t>(ch)] && stateOf(ch) != CLIP_RECORDING) followTrim(ch);
    triggerPass();
    for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) {
      Channel& c = chan(ch);
      switch (stateOf(ch)) {
        case CLIP_STOPPED:
          if (c.commandPending) {
            if (c.activeCommand == RECORD_STOP_COMMAND) recordFinish(ch);
            if (c.activeCommand == CLIP_STOP) stopAndCue(ch);
          }
          break;
        case CLIP_RECORDING: recordStep(ch); break;
        case CLIP_PLAYING: {
          const bool restart = c.commandPending == 1 && c.activeCommand == CLIP_PLAY && c.previousState != CLIP_PAUSED &&
                               !(c.lastCommand == CLIP_JOG && (c.lastArgument == 1 || c.lastArgument == 2));
          if (restart) {
            c.atEnd = 0;
            c.restartPending = 1;
            c.secondStep = 0;
            c.position = 0;
          }
          if (playGate(ch)) playStep(ch);
          break;
        }
        case CLIP_PAUSED:
          if (c.commandPending) {
            stopClipRecord(clipId(ch));
            releaseReadLock(ch);
          }
          if (recordedAssigned_[static_cast<std::size_t>(ch)]) reportState(ch, CLIP_STOPPED);
          break;
        default: break;
      }
      if (c.commandPending) rangeCommand(ch);
    }
    for (Channel& c : channels_) c.commandPending = 0;
  }
  if (!resetting) audioMeters();
  recordedAssigned_.fill(0);
}

void CategoryClipStatus::onFormatChange() {
  videoFormat_ = static_cast<u32>(CategorySystem::get().videoFormat());
  for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) {
    Channel& c = chan(ch);
    if (isClipPlaying(clipId(ch)) && stateOf(ch) == CLIP_RECORDING) {
      c.lastCommand = c.activeCommand;
      c.activeCommand = RECORD_STOP_COMMAND;
      c.commandPending = 1;
      reportState(ch, CLIP_STOPPED);
    }
    if (stateOf(ch) == CLIP_PLAYING) {
      c.lastCommand = c.activeCommand;
      c.lastArgument = c.activeArgument;
      c.activeCommand = CLIP_STOP;
      c.activeArgument = NO_ARGUMENT;
      c.commandPending = 1;
      reportState(ch, CLIP_STOPPED);
    }
  }
}

void CategoryClipStatus::reset() {
  // Locks first, so that none is kept past the reset or taken twice after it.
  locks_.releaseAllLocks();
  for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) resetChannel(ch);
  trimReceived_.fill(0);  // the clips are empty: there is no window to follow a trim
}

void CategoryClipStatus::resetChannel(int ch) {
  const int c = clipId(ch);
  if (isClipPlaying(c)) startClipPlay(c, 0, 0);
  clearClip(c);
  KzifClipStatus change{};
  change.mask = STATUS_RECORDED_BIT | STATUS_STATE_BIT | STATUS_OPTION0_BIT | STATUS_OPTION6_BIT;
  report(ch, change);
  chan(ch) = Channel{};
}

void CategoryClipStatus::triggerPass() {
  bool recordStarted = false;
  for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) recordStarted = recordStarted || recordAccepted(ch);
  for (int ch = 0; ch < N_CLIP_CHANNELS; ++ch) {
    Channel& c = chan(ch);
    const KzifClipPlay& play = playOf(ch);
    if (play.trigger == TRIGGER_COMMANDS) {
      c.triggerSeen = 1;
      continue;
    }
    if (play.me >= N_ME_SIDES || entry(ch).recorded == 0) continue;
    if (stateOf(ch) == CLIP_RECORDING) {
      c.triggerSeen = 1;
      continue;
    }
    if (play.trigger == TRIGGER_START_BUTTON) {
      if (CategoryCustomInfo::get().getAssignType(play.me) == ME_ASSIGNED) {
        if (play.me < N_ME && meStart_[play.me]) clipPlay().execute(CLIP_PLAY, ch, 255);
        c.triggerSeen = 1;
      }
    } else if (TRIGGER_KEY_1 <= play.trigger && play.trigger <= TRIGGER_KEY_4) {
      // Only the A sides have keys to watch.
      if (play.me < N_ME) {
        const u8 on = CategoryKey::get(play.me).data(play.trigger - TRIGGER_KEY_1).keyOn;
        if (on != c.triggerSeen && on != 0) clipPlay().execute(CLIP_PLAY, ch, 255);
        c.triggerSeen = on;
      }
    } else if (play.trigger == TRIGGER_ANY_RECORD) {
      if (recordStarted) clipPlay().execute(CLIP_PLAY, ch, 255);
      c.triggerSeen = 1;
    } else if (play.trigger == TRIGGER_LEVER) {
      if (CategoryCustomInfo::get().getAssignType(play.me) == ME_ASSIGNED) followStep(ch);
      c.triggerSeen = 1;
    }
  }
  meStart_.fill(0);
}

void CategoryClipStatus::audioMeters() {
  auto& multiview = CategoryMultiView::get();
  for (int i = 0; i < N_CLIP_CHANNELS; ++i) {
    std::array<int, 2> levels{};
    getClipPosition(clipId(i), levels);
    AudioMeter& m = meters_[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < 2; ++k) {
      const int level = std::clamp(levels[k], 0, LEVEL_MAX);
      if (level == m.levels[k]) continue;
      m.levels[k] = level;
      m.reading[k] = static_cast<f32>(std::log10(1.0 + static_cast<double>(level) / LEVEL_MAX * 280.8383) / 2.45);
    }
    multiview.setSourceLevel(CLIP_LEVEL_SOURCE_FIRST + 3 * i, m.reading[0], m.reading[1]);
  }
}

// ---- recording ---------------------------------------------------------------------------------

void CategoryClipStatus::recordStep(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  clipRec().dropMonitorOf(ch);
  const ClipRecMode& mode = recSettings().recMode;
  if (recordAccepted(ch)) {
    if (isClipPlaying(id)) {
      ++c.position;
      reportCurrent(ch, c.position);
      return;
    }
    c.recordLength = toUnits(mode.length);
    const int flags = (mode.longClip == 0 ? 1 : 0) | (mode.option0 == 1 ? 4 : 0) | (mode.option6 == 1 ? 8 : 0);
    c.endless = mode.endless;
    clearClip(id);
    startClipPlay(id, c.endless ? -1 : c.recordLength, flags);
    c.position = c.lastFrame = c.inPoint = c.outPoint = 0;
    trimReceived_[static_cast<std::size_t>(ch)] = 0;  // the new clip is untrimmed, its window whole
    KzifClipStatus change{};
    change.mask = STATUS_RECORDED_BIT | STATUS_OPTION0_BIT | STATUS_OPTION6_BIT;
    change.recorded = 1;
    change.option0 = mode.option0 == 1 ? 1 : 0;
    change.option6 = mode.option6 == 1 ? 1 : 0;
    change.position = {ClipPosition::LENGTH_BIT | ClipPosition::CURRENT_BIT, mode.length, 1};
    change.trim = {ClipTrim::ENABLED_BIT | ClipTrim::IN_BIT | ClipTrim::OUT_BIT, 0, 1, 1};
    report(ch, change);
    return;
  }
  if (isClipPlaying(id)) {
    ++c.position;
    if (c.endless && c.position > c.recordLength - 1) c.position = c.recordLength - 1;
    reportCurrent(ch, c.position);
    if (c.endless && mode.endless == 0) {
      reportState(ch, CLIP_STOPPED);
      recordFinish(ch);
    }
    return;
  }
  startClipPlay(id, 0, 0);
  reportState(ch, CLIP_STOPPED);
  ClipInfo info = readInfo(id);
  if (c.endless && info.count > c.recordLength) {
    setClipRangeTimed(id, info.count - c.recordLength, c.recordLength);
    info = readInfo(id);
  }
  c.lastFrame = c.outPoint = info.count - 1;
  reportInfo(ch, info.count, info.option0, info.option6);
  locks_.releaseLock(ch);
}

void CategoryClipStatus::recordFinish(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  if (!isClipPlaying(id)) {
    locks_.releaseLock(ch);
    return;
  }
  startClipPlay(id, 0, 0);
  ClipInfo info = readInfo(id);
  if (c.endless && info.count > c.recordLength) {
    setClipRangeTimed(id, info.count - c.recordLength, c.recordLength);
    info = readInfo(id);
  }
  reportInfo(ch, info.count, info.option0, info.option6);
  c.position = 0;
  locks_.releaseLock(ch);
}

}  // namespace category
