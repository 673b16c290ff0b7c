// The four clips in frame memory (KZ_CLIP_1 + 2n, n 0..3): recording video into a clip, its header
// in shared memory, the playable window, the frame shown and the clip's audio. The setters record
// into the clip image and trace; kzUpdate advances a running record by one unit (a frame or a
// field, as the engine counts) per field. Nothing is written to the FPGA blocks: the frame-memory
// registers have no known place in them on this board.
#pragma once
#include <array>

#include "Lib/Include/kz_types.h"

// A fresh, empty header: the sequence number advances, every count is zero.
void clearClip(int clipId);
// The header's frame count (that of the playable window), the stored picture size and two flags
// (header option bits 4 and 8 of the record that made it); all 0 while the clip holds no frame.
void getClipInfo(int clipId, int& count, int& width, int& height, int& option0, int& option6);
// The frame count of the whole clip.
int getClipFrameCount(int clipId);
// count != 0: records the clip for count units (-1 without end) with the given flag bits;
// count 0 ends a running record.
void startClipPlay(int clipId, int count, int flags);
// 1 while a record of the clip runs.
int isClipPlaying(int clipId);
// Shows a frame of the window (mode 0..2, the field handling); a frame outside it shows nothing
// new. A running record is ended first.
void cueClip(int clipId, int frame, int mode);
// The playable window, clamped to the clip; (0, 0) is the whole clip.
void setClipRange(int clipId, int first, int count);
void setClipRangeTimed(int clipId, int first, int count);
void setClipEnable(int clipId, int enable);
// The one-shot request that starts the clip's audio.
void requestClipUpdate(int clipId);
// Ends the clip's audio and record transfer and writes its header back.
void stopClipRecord(int clipId);
// The clip's two audio levels as the hardware reports them.
void getClipPosition(int clipId, std::array<int, 2>& levels);

namespace kz {

constexpr int N_CLIPS = 4;

struct ClipImage {
  int frames;      // units recorded
  int rangeFirst;  // playable window; count 0 = the whole clip
  int rangeCount;
  int recordLeft;  // units still to record, -1 without end
  u8 recording;
  u8 flags;        // record flags of the clip's last record
  u8 enable;
  u8 audioRequest;
  int shown;       // the frame last cued, -1 none
  u32 sequence;
  bool operator==(const ClipImage&) const = default;
};

const ClipImage& clipImage(int index);
// Inside the driver layer: power-on state, and one field of every running record.
void resetClipImages();
void stepClipRecords();

}  // namespace kz
