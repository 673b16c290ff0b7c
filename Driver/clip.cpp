#include "Driver/clip.h"

#include <algorithm>

#include "Common/assert.h"
#include "Driver/trace.h"
#include "Platform/platform.h"

KZ_SOURCE("Driver/clip");

namespace kz {
namespace {

constexpr int CLIP_WIDTH = 1920;
constexpr int CLIP_HEIGHT = 1080;
constexpr int FLAG_OPTION0 = 4;
constexpr int FLAG_OPTION6 = 8;

constexpr ClipImage powerOnClip() {
  ClipImage c{};
  c.shown = -1;
  return c;
}

std::array<ClipImage, N_CLIPS> clips = [] {
  std::array<ClipImage, N_CLIPS> a{};
  a.fill(powerOnClip());
  return a;
}();

int clipIndex(int clipId) {
  KZ_CHECK(clipId == KZ_CLIP_1 || clipId == KZ_CLIP_1 + 2 || clipId == KZ_CLIP_1 + 4 || clipId == KZ_CLIP_1 + 6);
  return (clipId - KZ_CLIP_1) / 2;
}

ClipImage& clipOf(int clipId) { return clips[static_cast<std::size_t>(clipIndex(clipId))]; }

int windowFirst(const ClipImage& c) { return c.rangeCount == 0 ? 0 : c.rangeFirst; }
int windowCount(const ClipImage& c) { return c.rangeCount == 0 ? c.frames : c.rangeCount; }

void setWindow(ClipImage& c, int first, int count) {
  if (first == 0 && count == 0) {
    c.rangeFirst = 0;
    c.rangeCount = 0;
    return;
  }
  c.rangeFirst = std::clamp(first, 0, c.frames);
  c.rangeCount = std::clamp(count, 0, c.frames - c.rangeFirst);
}

}  // namespace

const ClipImage& clipImage(int index) {
  KZ_CHECK(0 <= index && index < N_CLIPS);
  return clips[static_cast<std::size_t>(index)];
}

void resetClipImages() { clips.fill(powerOnClip()); }

void stepClipRecords() {
  for (ClipImage& c : clips) {
    if (!c.recording) continue;
    ++c.frames;
    if (c.recordLeft > 0 && --c.recordLeft == 0) c.recording = 0;
  }
}

}  // namespace kz

void clearClip(int clipId) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("clearClip", trace::Id{clipId});
  const u32 sequence = c.sequence + 1;
  c = kz::powerOnClip();
  c.sequence = sequence;
}

void getClipInfo(int clipId, int& count, int& width, int& height, int& option0, int& option6) {
  const kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("getClipInfo", trace::Id{clipId});
  const bool holds = c.frames > 0;
  count = holds ? kz::windowCount(c) : 0;
  width = holds ? kz::CLIP_WIDTH : 0;
  height = holds ? kz::CLIP_HEIGHT : 0;
  option0 = holds && (c.flags & kz::FLAG_OPTION0) ? 1 : 0;
  option6 = holds && (c.flags & kz::FLAG_OPTION6) ? 1 : 0;
}

int getClipFrameCount(int clipId) {
  const kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("getClipFrameCount", trace::Id{clipId});
  return c.frames;
}

void startClipPlay(int clipId, int count, int flags) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("startClipPlay", trace::Id{clipId}, count, flags);
  if (count == 0) {
    c.recording = 0;
    c.recordLeft = 0;
    return;
  }
  c.frames = 0;
  c.rangeFirst = 0;
  c.rangeCount = 0;
  c.recording = 1;
  c.recordLeft = count < 0 ? -1 : count;
  c.flags = static_cast<u8>(flags);
}

int isClipPlaying(int clipId) {
  const kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("isClipPlaying", trace::Id{clipId});
  return c.recording;
}

void cueClip(int clipId, int frame, int mode) {
  kz::ClipImage& c = kz::clipOf(clipId);
  KZ_CHECK(0 <= mode && mode <= 2);
  trace::call("cueClip", trace::Id{clipId}, frame, mode);
  c.recording = 0;
  if (frame < 0 || frame >= kz::windowCount(c)) return;
  c.shown = kz::windowFirst(c) + frame;
}

void setClipRange(int clipId, int first, int count) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("setClipRange", trace::Id{clipId}, first, count);
  kz::setWindow(c, first, count);
}

void setClipRangeTimed(int clipId, int first, int count) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("setClipRangeTimed", trace::Id{clipId}, first, count);
  kz::setWindow(c, first, count);
}

void setClipEnable(int clipId, int enable) {
  kz::ClipImage& c = kz::clipOf(clipId);
  KZ_CHECK(enable == 0 || enable == 1);
  trace::call("setClipEnable", trace::Id{clipId}, enable);
  c.enable = static_cast<u8>(enable);
}

void requestClipUpdate(int clipId) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("requestClipUpdate", trace::Id{clipId});
  c.audioRequest = 1;
}

void stopClipRecord(int clipId) {
  kz::ClipImage& c = kz::clipOf(clipId);
  trace::call("stopClipRecord", trace::Id{clipId});
  c.audioRequest = 0;
}

void getClipPosition(int clipId, std::array<int, 2>& levels) {
  const int i = kz::clipIndex(clipId);
  trace::call("getClipPosition", trace::Id{clipId});
  const auto& in = platform::hardwareInputs().clipAudio[i];
  // The words come as the hardware holds them; the meters hold them to the 24-bit level range.
  levels[0] = static_cast<int>(in[0]);
  levels[1] = static_cast<int>(in[1]);
}
