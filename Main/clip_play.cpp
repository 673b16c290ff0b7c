// The play side of the clip engine: the play step, start and end of play, jog, stop and cue, the
// range commands and the lever follow.
#include <algorithm>
#include <cmath>

#include "Driver/clip.h"
#include "Main/autotrans.h"
#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/faderevent.h"
#include "Main/system.h"

KZ_SOURCE("Main/clip_play");

namespace {

const KzifClipPlay& playOf(int ch) {
  return std::as_const(BP::instance().require<category::CategoryClipPlay>()).record(ch);
}
bool secondField() { return category::CategorySystem::get().isSecondField(); }

int windowCount(int c) {
  int count = 0, width = 0, height = 0, option0 = 0, option6 = 0;
  getClipInfo(c, count, width, height, option0, option6);
  return count;
}

}  // namespace

namespace category {

bool CategoryClipStatus::playGate(int ch) {
  if (frameCounting() || slowOrReverse(ch)) return true;
  Channel& c = chan(ch);
  if (secondField()) return fieldMode(ch) && c.secondStep;
  if (c.position & 1) --c.position;
  return true;
}

int CategoryClipStatus::stepCount(int ch) {
  Channel& c = chan(ch);
  switch (playOf(ch).playMode.speed) {
    case 1: return 2;
    case 2: return 4;
    case 3: return 8;
    case 7: return 0;
    case 4:
    case 5:
    case 6: {
      const u32 every = 1u << (playOf(ch).playMode.speed - 3);  // 2, 4, 8
      if (c.slowCounter < every) return 0;
      c.slowCounter = 0;
      return 1;
    }
    default: return 1;
  }
}

void CategoryClipStatus::playStep(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const ClipPlayMode& mode = playOf(ch).playMode;
  BP::instance().require<CategoryClipRec>().dropMonitorOf(ch);
  if (c.restartPending) {
    startPlay(ch);
    return;
  }
  if (c.atEnd) {
    endAction(ch);
    return;
  }
  if (c.activeCommand == CLIP_JOG) {
    jog(ch);
    return;
  }
  if (mode.audio == 1 && mode.reverse == 0 && mode.speed == 0)
    requestClipUpdate(id);
  else
    stopClipRecord(id);
  const int fm = fieldMode(ch) ? 1 : 0;
  int shown = c.position;
  if (frameCounting() || slowOrReverse(ch)) {
    const int steps = stepCount(ch);
    c.position += mode.reverse == 1 ? -steps : steps;
    ++c.slowCounter;
    shown = c.position;
  } else if (!secondField()) {
    c.position += 2 * stepCount(ch);
    if (fm) c.secondStep = 1;
    ++c.slowCounter;
    shown = c.position;
  } else {
    // The second field of the frame shown in the first.
    shown = c.position < c.lastFrame ? c.position + 1 : c.lastFrame;
    c.secondStep = 0;
  }
  if (c.position < 0 || c.position > c.lastFrame) {
    if (mode.endAction != 2) {
      endAction(ch);
      return;
    }
    c.position = mode.reverse == 1 ? c.lastFrame : 0;
    if (mode.reverse == 1 && !frameCounting() && (c.lastFrame & 1)) c.position = c.lastFrame - 1;
    cueClip(id, c.position, fm);
    reportCurrent(ch, c.inPoint + c.position);
    return;
  }
  cueClip(id, shown, fm);
  reportCurrent(ch, c.inPoint + c.position);
}

void CategoryClipStatus::startPlay(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const ClipTrim& trim = entry(ch).trim;
  const ClipPlayMode& mode = playOf(ch).playMode;
  c.inPoint = trim.enabled ? trimUnits(trim.inPoint) : 0;
  c.outPoint = trim.enabled ? trimUnits(trim.outPoint) : getClipFrameCount(id) - 1;
  // The window already follows the trim (followTrim and the range commands set it).
  const int count = windowCount(id);
  c.lastFrame = count - 1;
  c.position = mode.reverse == 1 ? count - 1 : 0;
  const int n = getClipFrameCount(id);
  KzifClipStatus change{};
  change.position = {ClipPosition::LENGTH_BIT | ClipPosition::CURRENT_BIT, static_cast<u32>(frameCounting() ? n : (n + 1) / 2),
                     toReported(c.inPoint + c.position)};
  report(ch, change);
  c.slowCounter = 0;
  if (frameCounting() || slowOrReverse(ch)) {
    cueClip(id, c.position, fieldMode(ch) ? 1 : 0);
    c.restartPending = 0;
  } else if (fieldMode(ch)) {
    if (!secondField()) {
      cueClip(id, c.position, 1);
      c.secondStep = 1;  // the second field starts again and shows the next field
    } else {
      cueClip(id, c.position + 1, 1);
      c.secondStep = 0;
      c.restartPending = 0;
    }
  } else {
    cueClip(id, c.position, 0);
    c.restartPending = 0;
  }
}

void CategoryClipStatus::endAction(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const int e = playOf(ch).playMode.endAction;
  const int fm = fieldMode(ch) ? 1 : 0;
  reportState(ch, CLIP_STOPPED);
  stopClipRecord(id);
  if (e == 0) c.position = 0;
  if (e == 1) c.position = toEven(c.lastFrame);
  reportCurrent(ch, c.inPoint + c.position);
  if (frameCounting() || slowOrReverse(ch)) {
    cueClip(id, c.position, fm);
    c.atEnd = 0;
  } else if (!secondField()) {
    cueClip(id, c.position, fm);
    if (fm) {
      c.atEnd = 1;
      c.secondStep = 1;
      reportState(ch, CLIP_PLAYING);
    } else {
      c.atEnd = 0;
    }
  } else {
    cueClip(id, c.position + 1, 1);
    c.atEnd = 0;
    c.secondStep = 0;
  }
  // A stopped channel holds no lock; only the second field still to come keeps it.
  if (!c.atEnd) releaseReadLock(ch);
}

void CategoryClipStatus::jog(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const ClipTrim& trim = entry(ch).trim;
  c.lastFrame = windowCount(id) - 1;
  c.inPoint = trim.enabled ? trimUnits(trim.inPoint) : 0;
  const int frame = frameCounting() ? 1 : 2;
  int next = 0;
  switch (c.activeArgument) {
    case 1: next = std::max<i32>(0, c.position - (!frameCounting() && (c.position & 1) ? 3 : frame)); break;
    // Not past the first field of the last frame, so that its second field still follows.
    case 2: next = std::min<i32>(toEven(c.lastFrame), c.position + frame); break;
    case 3: next = toEven(c.lastFrame); break;
    default: next = 0; break;
  }
  reportCurrent(ch, c.inPoint + next);
  const int fm = fieldMode(ch) ? 1 : 0;
  if (frameCounting()) {
    cueClip(id, next, fm);
    c.position = next;
  } else if (!secondField()) {
    if (fm) {
      c.secondStep = 1;  // the second field repeats the jog and shows it
      return;
    }
    cueClip(id, next, 0);
    c.position = next;
  } else {
    cueClip(id, next + 1, 1);
    c.position = next;
    c.secondStep = 0;
  }
  releaseReadLock(ch);
  stopClipRecord(id);
  reportState(ch, CLIP_STOPPED);
  if (next == 0 || next >= toEven(c.lastFrame)) finishCommand(ch);
}

void CategoryClipStatus::stopAndCue(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const ClipTrim& trim = entry(ch).trim;
  const int count = windowCount(id);
  c.lastFrame = count - 1;
  c.inPoint = trim.enabled ? trimUnits(trim.inPoint) : 0;
  stopClipRecord(id);
  const bool fm = fieldMode(ch);
  int rest = c.position;
  if (!isClipPlaying(id)) {
    if (playOf(ch).playMode.endAction == 1)
      rest = !frameCounting() && !fm && count % 2 == 0 ? count - 2 : count - 1;
    else
      rest = !frameCounting() && fm ? 1 : 0;
  }
  reportCurrent(ch, c.inPoint + rest);
  cueClip(id, rest, fm ? 1 : 0);
  c.position = toEven(rest);
  releaseReadLock(ch);
}

void CategoryClipStatus::rangeCommand(int ch) {
  Channel& c = chan(ch);
  if (c.activeCommand < CLIP_IN_HERE || c.activeCommand > CLIP_OUT_END) return;
  const int id = clipId(ch);
  deriveRange(ch);
  const int extra = frameCounting() ? 1 : 2;
  const int clipLast = getClipFrameCount(id) - 1;
  KzifClipStatus change{};
  switch (c.activeCommand) {
    case CLIP_IN_HERE: {
      const int in = toEven(c.inPoint + c.position);
      if (in < c.outPoint) {
        c.inPoint = in;
        setClipRange(id, c.inPoint, c.outPoint - c.inPoint + extra);
        c.position = 0;
        c.lastFrame = c.outPoint - c.inPoint;
        change.trim = {ClipTrim::ENABLED_BIT | ClipTrim::IN_BIT | ClipTrim::OUT_BIT, 1, toReported(c.inPoint), toReported(c.outPoint)};
      }
      break;
    }
    case CLIP_OUT_HERE: {
      int out = c.inPoint + c.position;
      if (!frameCounting() && (out & 1) == 0) out = std::min(out + 1, clipLast);
      if (out > c.inPoint) {
        c.outPoint = out;
        setClipRange(id, c.inPoint, c.outPoint - c.inPoint + extra);
        c.position = 0;
        c.lastFrame = c.outPoint - c.inPoint;
        change.trim = {ClipTrim::ENABLED_BIT | ClipTrim::IN_BIT | ClipTrim::OUT_BIT, 1, toReported(c.inPoint), toReported(c.outPoint)};
      }
      break;
    }
    case CLIP_TRIM_CLEAR:
      setClipRange(id, 0, 0);
      c.lastFrame = c.outPoint = clipLast;
      c.inPoint = c.position = 0;
      change.trim = {ClipTrim::ENABLED_BIT | ClipTrim::IN_BIT | ClipTrim::OUT_BIT, 0, 1, toReported(clipLast)};
      break;
    case CLIP_IN_START:
      c.inPoint = 0;
      if (!entry(ch).trim.enabled) c.outPoint = clipLast;
      setClipRange(id, 0, c.outPoint + extra);
      c.lastFrame = c.outPoint;
      c.position = 0;
      change.trim.mask = ClipTrim::IN_BIT;
      change.trim.inPoint = 1;
      break;
    case CLIP_OUT_END:
      if (!entry(ch).trim.enabled) c.inPoint = 0;
      c.outPoint = clipLast;
      setClipRange(id, c.inPoint, c.outPoint - c.inPoint + extra);
      c.lastFrame = c.outPoint - c.inPoint;
      c.position = 0;
      change.trim.mask = ClipTrim::OUT_BIT;
      change.trim.outPoint = toReported(c.outPoint);
      break;
    default: break;
  }
  if (change.trim.mask != 0) report(ch, change);
  if (stateOf(ch) == CLIP_PLAYING) {
    stopAndCue(ch);
    reportState(ch, CLIP_STOPPED);
  }
  const KzifClipPlay& play = playOf(ch);
  if (play.trigger == TRIGGER_LEVER)
    CategoryFaderEvent::get().transition(keySubTransIndex(play.me, ch)).state = AutoTransition::STATE_PAUSED;
  releaseReadLock(ch);
}

// The System Manager switched the trim off or moved it: the window becomes the whole clip or the
// new trim, so that the frames played and the positions reported keep to the same range. A
// channel goes on from the clip frame it was on, held inside the new window.
void CategoryClipStatus::followTrim(int ch) {
  trimReceived_[static_cast<std::size_t>(ch)] = 0;
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const ClipTrim& trim = entry(ch).trim;
  const int clipFrame = std::max<i32>(c.inPoint, 0) + c.position;
  c.inPoint = trim.enabled ? trimUnits(trim.inPoint) : 0;
  c.outPoint = trim.enabled ? trimUnits(trim.outPoint) : getClipFrameCount(id) - 1;
  if (trim.enabled)
    setClipRange(id, c.inPoint, c.outPoint - c.inPoint + (frameCounting() ? 1 : 2));
  else
    setClipRange(id, 0, 0);
  c.lastFrame = windowCount(id) - 1;
  c.position = std::clamp<i32>(clipFrame - c.inPoint, 0, std::max<i32>(c.lastFrame, 0));
}

void CategoryClipStatus::followStep(int ch) {
  Channel& c = chan(ch);
  const int id = clipId(ch);
  const KzifClipPlay& play = playOf(ch);
  const int me = play.me;
  auto& lever = c.leverPosition[static_cast<std::size_t>(me)];
  const f32 p = CategoryFaderEvent::get().transition(keySubTransIndex(me, ch)).position();
  if (stateOf(ch) == CLIP_PLAYING) {
    stopAndCue(ch);
    lever = -1.0f;
  }
  const bool moved = me != c.followMe ? p != 0.0f : p != lever;
  if (moved) {
    const int count = windowCount(id);
    const int last = count - 1;
    // An empty clip has no frame to show.
    if (count > 0) {
      // At either end of its travel the lever shows the end frame; between them, its share.
      const double q = play.playMode.reverse == 1 ? 1.0 - p : p;
      const int frame = p <= 0.0f || p >= 1.0f ? (play.playMode.endAction == 1 ? last : 0)
                                               : std::clamp(static_cast<int>(std::trunc(last * q)), 0, last);
      if (locks_.takeReadLock(ch) == 0) {
        deriveRange(ch);
        reportCurrent(ch, frame + c.inPoint);
        cueClip(id, frame, 1);
        locks_.releaseLock(ch);
        c.position = toEven(frame);
      }
    }
  }
  if (c.activeCommand == CLIP_PAUSE || c.activeCommand == CLIP_JOG) finishCommand(ch);
  if (stateOf(ch) == CLIP_PLAYING || stateOf(ch) == CLIP_PAUSED) reportState(ch, CLIP_STOPPED);
  c.followMe = static_cast<u8>(me);
  lever = p;
}

}  // namespace category
