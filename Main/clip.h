// The four clip channels: how each plays (type id 10), the recording settings (11), the channel
// named for registration (12), the 85-entry clip status table (13) whose entries 81..84 the clip
// engine keeps, the clip commands (67, 68, 79) and the engine that records, plays, trims and
// moves the clips with a transition lever.
#pragma once
#include <algorithm>
#include <array>

#include "Lib/Include/shared_types.h"
#include "Main/button_event_record.h"
#include "Main/category.h"
#include "Main/channel_locks.h"
#include "Main/media_command.h"

constexpr int N_CLIP_CHANNELS = 4;
// A record command for this channel means the record channel (KzifClipRec.channel).
constexpr int CLIP_RECORD_CHANNEL = 100;
// The status entry of clip channel ch is ch + CLIP_STATUS_FIRST_CHANNEL.
constexpr int CLIP_STATUS_FIRST_CHANNEL = 81;
// The M/E start button that starts the clips triggered by it.
constexpr int CLIP_START_BUTTON = 1616;

// Command codes.
constexpr int CLIP_RECORD = 7;
constexpr int CLIP_PLAY = 10;
constexpr int CLIP_PAUSE = 11;
constexpr int CLIP_STOP = 12;
constexpr int CLIP_JOG = 13;
constexpr int CLIP_IN_HERE = 14;
constexpr int CLIP_OUT_HERE = 15;
constexpr int CLIP_TRIM_CLEAR = 16;
constexpr int CLIP_IN_START = 17;
constexpr int CLIP_OUT_END = 18;

// Command results.
constexpr i16 CLIP_RESULT_DONE = 0;
constexpr i16 CLIP_RESULT_BAD_PARAMETER = -2;
constexpr i16 CLIP_RESULT_CONFLICT = -6;
constexpr i16 CLIP_RESULT_READ_LOCKED = -7;
constexpr i16 CLIP_RESULT_BUSY = -8;

// Channel states (KzifClipStatus.state).
constexpr u8 CLIP_STOPPED = 0;
constexpr u8 CLIP_RECORDING = 1;
constexpr u8 CLIP_PLAYING = 2;
constexpr u8 CLIP_PAUSED = 3;

// Triggers (KzifClipPlay.trigger).
constexpr u8 TRIGGER_COMMANDS = 0;
constexpr u8 TRIGGER_START_BUTTON = 1;
constexpr u8 TRIGGER_KEY_1 = 2;
constexpr u8 TRIGGER_KEY_4 = 5;
constexpr u8 TRIGGER_ANY_RECORD = 6;
constexpr u8 TRIGGER_LEVER = 7;

struct ClipPlayMode {
  u32 mask;
  u8 endAction;  // 0 back to the first frame and stop, 1 stop on the last, 2 loop
  u8 reverse;
  u8 speed;      // 0 x1, 1 x2, 2 x4, 3 x8, 4 x1/2, 5 x1/4, 6 x1/8, 7 hold
  u8 setting3;
  u8 frameMode;  // 1: in field counting the second field of a frame is shown too
  u8 audio;      // 1: the clip's audio runs while it plays forward at x1
  u8 reserved[2];
  static constexpr auto wire() {
    using R = ClipPlayMode;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::endAction, rec::range(0, 2)),
                     rec::field(1, &R::reverse, rec::range(0, 1)), rec::field(2, &R::speed, rec::range(0, 7)),
                     rec::field(3, &R::setting3, rec::range(0, 3)), rec::field(4, &R::frameMode, rec::range(0, 1)),
                     rec::field(5, &R::audio, rec::range(0, 1)));
  }
};

// Stored layout (24 bytes per channel, backed up):
//   0 mask | 4 channel | 8 playMode (mask, endAction .. audio at 12..17) | 20 trigger | 21 me
// Wire body (18 bytes): mask; channel; playMode; trigger (bit 0, 0..11); me (bit 1, 0..7).
struct KzifClipPlay {
  static constexpr int TYPE_ID = 10;
  static constexpr int N_CHANNELS = N_CLIP_CHANNELS;
  static constexpr const char* NAME = "KzifClipPlay";

  u32 mask;
  u16 channel;
  u8 reserved0[2];
  ClipPlayMode playMode;
  u8 trigger;
  u8 me;  // the M/E (0..3, B sides 4..7) the trigger watches
  u8 reserved1[2];

  static constexpr auto wire() {
    using R = KzifClipPlay;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel), rec::sub(&R::playMode),
                     rec::field(0, &R::trigger, rec::range(0, 11)), rec::field(1, &R::me, rec::range(0, 7)));
  }
};
static_assert(sizeof(KzifClipPlay) == 24);
static_assert(offsetof(KzifClipPlay, channel) == 4);
static_assert(offsetof(KzifClipPlay, playMode) == 8);
static_assert(offsetof(KzifClipPlay, playMode) + offsetof(ClipPlayMode, endAction) == 12);
static_assert(offsetof(KzifClipPlay, playMode) + offsetof(ClipPlayMode, audio) == 17);
static_assert(offsetof(KzifClipPlay, trigger) == 20);
static_assert(offsetof(KzifClipPlay, me) == 21);
static_assert(rec::wireSizeOf<KzifClipPlay>() == 18);

struct ClipRecMode {
  u32 mask;
  u8 option0;   // 1: record flag 4
  u8 monitor;   // 1: the record channel's clip output is enabled before recording
  u8 option2;
  u8 endless;   // 1: record until stopped, keeping the last `length` frames
  u8 longClip;  // the longer maximum length; 0: record flag 1
  u8 reserved0;
  u16 length;   // frames; held to 1..the maximum of the format
  u8 option6;   // 1: record flag 8
  u8 reserved1[3];
  static constexpr auto wire() {
    using R = ClipRecMode;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::option0, rec::range(0, 1)),
                     rec::field(1, &R::monitor, rec::range(0, 1)), rec::field(2, &R::option2, rec::range(0, 1)),
                     rec::field(3, &R::endless, rec::range(0, 1)), rec::field(4, &R::longClip, rec::range(0, 1)),
                     rec::field(5, &R::length), rec::field(6, &R::option6, rec::range(0, 1)));
  }
};

// Stored layout (24 bytes, backed up): 0 mask | 4 channel | 8 recMode (mask; option0 .. longClip
// at 12..16; length at 18; option6 at 20). Wire body (17 bytes): mask; channel (bit 0, 0..3);
// recMode.
struct KzifClipRec {
  static constexpr int TYPE_ID = 11;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifClipRec";

  u32 mask;
  u8 channel;  // the record channel
  u8 reserved[3];
  ClipRecMode recMode;

  static constexpr auto wire() {
    using R = KzifClipRec;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::channel, rec::range(0, N_CLIP_CHANNELS - 1)),
                     rec::sub(&R::recMode));
  }
};
static_assert(sizeof(KzifClipRec) == 24);
static_assert(offsetof(KzifClipRec, channel) == 4);
static_assert(offsetof(KzifClipRec, recMode) + offsetof(ClipRecMode, option0) == 12);
static_assert(offsetof(KzifClipRec, recMode) + offsetof(ClipRecMode, longClip) == 16);
static_assert(offsetof(KzifClipRec, recMode) + offsetof(ClipRecMode, length) == 18);
static_assert(offsetof(KzifClipRec, recMode) + offsetof(ClipRecMode, option6) == 20);
static_assert(rec::wireSizeOf<KzifClipRec>() == 17);

// Stored layout (8 bytes, backed up): 0 mask | 4 channel. Wire body (5 bytes).
struct KzifClipRegister {
  static constexpr int TYPE_ID = 12;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifClipRegister";

  u32 mask;
  u8 channel;
  u8 reserved[3];

  static constexpr auto wire() {
    using R = KzifClipRegister;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::channel, rec::range(0, N_CLIP_CHANNELS - 1)));
  }
};
static_assert(sizeof(KzifClipRegister) == 8);
static_assert(rec::wireSizeOf<KzifClipRegister>() == 5);

// The driver id of clip channel ch.
inline int clipId(int ch) { return KZ_CLIP_1 + 2 * ch; }

struct ClipPosition {
  static constexpr u32 LENGTH_BIT = 1u << 0;
  static constexpr u32 CURRENT_BIT = 1u << 1;
  u32 mask;
  u32 length;   // frames of the clip
  u32 current;  // the frame shown, counted from 1
  static constexpr auto wire() {
    using R = ClipPosition;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::length), rec::field(1, &R::current));
  }
};

struct ClipTrim {
  static constexpr u32 ENABLED_BIT = 1u << 0;
  static constexpr u32 IN_BIT = 1u << 1;
  static constexpr u32 OUT_BIT = 1u << 2;
  u32 mask;
  u8 enabled;    // 0: the whole clip plays
  u32 inPoint;   // frames counted from 1
  u32 outPoint;
  static constexpr auto wire() {
    using R = ClipTrim;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::enabled, rec::range(0, 1)), rec::field(1, &R::inPoint),
                     rec::field(2, &R::outPoint));
  }
};

// One entry of the clip status table (volatile). Wire body (57 + n bytes for a name of n
// characters): mask; index; name (bit 0); recorded (bit 1); attribute (bit 2); timeStamp (bit 3);
// option0 (bit 4); flag (bit 5); state (bit 6); position; trim; code (bit 7); extra (bit 8);
// option6 (bit 9).
struct KzifClipStatus {
  static constexpr int TYPE_ID = 13;
  static constexpr int N_CHANNELS = 85;
  static constexpr const char* NAME = "KzifClipStatus";

  u32 mask;
  u16 index;  // entry number, always that of the entry it is held in
  rec::Text<32> name;
  u8 recorded;  // 1: the entry holds a recorded clip
  u32 attribute;
  TimeStamp timeStamp;
  u8 option0;
  u8 flag;
  u8 state;  // CLIP_STOPPED .. CLIP_PAUSED
  ClipPosition position;
  ClipTrim trim;
  u8 code;
  u8 extra;
  u8 option6;

  static constexpr auto wire() {
    using R = KzifClipStatus;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::index), rec::field(0, &R::name),
                     rec::field(1, &R::recorded, rec::range(0, 1)), rec::field(2, &R::attribute),
                     rec::field(3, &R::timeStamp), rec::field(4, &R::option0, rec::range(0, 1)),
                     rec::field(5, &R::flag, rec::range(0, 1)), rec::field(6, &R::state, rec::range(0, 3)),
                     rec::sub(&R::position), rec::sub(&R::trim), rec::field(7, &R::code, rec::range(0, 9)),
                     rec::field(8, &R::extra), rec::field(9, &R::option6, rec::range(0, 1)));
  }
};

// The clip commands (no mask); each reply is the command sent back with its result.
struct KzifClipPlayCmd {
  static constexpr int TYPE_ID = 67;
  static constexpr const char* NAME = "KzifClipPlayCmd";
  MediaCommandHeader header;
  u8 channel;
  u8 argument;
  static constexpr auto wire() {
    using R = KzifClipPlayCmd;
    return rec::list(rec::plain(&R::header), rec::plain(&R::channel), rec::plain(&R::argument));
  }
};
static_assert(rec::wireSizeOf<KzifClipPlayCmd>() == 8);

struct KzifClipRecCmd {
  static constexpr int TYPE_ID = 68;
  static constexpr const char* NAME = "KzifClipRecCmd";
  MediaCommandHeader header;
  u8 channel;  // 0..3, or CLIP_RECORD_CHANNEL
  static constexpr auto wire() {
    using R = KzifClipRecCmd;
    return rec::list(rec::plain(&R::header), rec::plain(&R::channel));
  }
};
static_assert(rec::wireSizeOf<KzifClipRecCmd>() == 7);

// Wire body (14 + n bytes for a name of n characters). It is only acknowledged, with the name
// sent back as it came.
struct KzifClipRegisterCmd {
  static constexpr int TYPE_ID = 79;
  static constexpr const char* NAME = "KzifClipRegisterCmd";
  MediaCommandHeader header;
  u16 arg0;
  u8 arg1;
  MediaCommandName name;
  u8 arg2;
  u8 arg3;
  static constexpr auto wire() {
    using R = KzifClipRegisterCmd;
    return rec::list(rec::plain(&R::header), rec::plain(&R::arg0), rec::plain(&R::arg1), rec::plain(&R::name),
                     rec::plain(&R::arg2), rec::plain(&R::arg3));
  }
};

namespace category {

class CategoryClipPlay : public CategoryCommon<KzifClipPlay> {
 public:
  CategoryClipPlay();
  void initIndex(int, int) override;
  void receiveRouted(int typeId, RequestReceiver& rx) override;

  // The play command (codes 10..18) on channel ch; the result code.
  int execute(int cmd, int ch, int arg);
  // True when channel ch follows the transition lever of M/E me.
  bool followsMe(int me, int ch) const;
};

class CategoryClipRec : public CategoryCommon<KzifClipRec> {
 public:
  CategoryClipRec();
  void initInternal() override;
  void restore(const u8* stored) override;
  void update() override;
  void receiveRouted(int typeId, RequestReceiver& rx) override;

  // The longest record in frames for a video format code.
  static int maxLength(int videoFormat, bool longClip);
  // The record channel's clip output is switched off before it records or plays.
  void dropMonitorOf(int ch);

 private:
  u8 lastChannel_ = 0;
};

class CategoryClipRegister : public CategoryCommon<KzifClipRegister> {
 public:
  CategoryClipRegister();
  void receiveRouted(int typeId, RequestReceiver& rx) override;
};

// The clip status table and the clip engine.
class CategoryClipStatus : public CategoryCommon<KzifClipStatus> {
 public:
  static constexpr u16 NO_COMMAND = 65535;
  static constexpr u8 NO_ARGUMENT = 255;
  static constexpr u16 RECORD_COMMAND_BASE = 256;

  std::size_t attachBackup(u8*) override { return attachInternal(table_.data()); }
  void initIndex(int, int) override;
  void initInternal() override;
  void update() override;
  void assign(const KzifClipStatus& in, int idx) override;

  static int channelIndex(int ch) { return ch + CLIP_STATUS_FIRST_CHANNEL; }
  void requestReset() { resetRequest_ = 1; }
  void onButton(const internal::KzifButtonEvent& event);

  ClipChannelLocks& locks() { return locks_; }
  const ClipChannelLocks& locks() const { return locks_; }
  const KzifClipStatus& entry(int ch) const { return record(channelIndex(ch)); }
  u8 stateOf(int ch) const { return entry(ch).state; }

  // The command side: what an admitted play or record command notes for the engine.
  void noteCommand(int ch, int cmd, int arg, bool recordCommand);
  // The entry reports `state`; previousState keeps the one before.
  void changeState(int ch, u8 state);

  // Engine members of one channel.
  struct Channel {
    u16 activeCommand = NO_COMMAND;
    u8 activeArgument = NO_ARGUMENT;
    u16 lastCommand = NO_COMMAND;
    u8 lastArgument = NO_ARGUMENT;
    u32 commandPending = 0;
    u32 previousState = 0;
    u32 slowCounter = 0;
    u8 restartPending = 0;
    u8 atEnd = 0;
    u8 secondStep = 0;
    i32 position = 0;
    i32 lastFrame = 0;
    i32 inPoint = -1;
    i32 outPoint = -1;
    i32 recordLength = 0;
    u8 endless = 0;
    u8 triggerSeen = 255;
    u8 followMe = 0;
    // The lever position last applied, per followed M/E side (A sides 0..3, B sides 4..7);
    // below 0 when forgotten.
    std::array<f32, 8> leverPosition{};
  };
  const Channel& channel(int ch) const { return channels_[static_cast<std::size_t>(ch)]; }

 private:
  Channel& chan(int ch) { return channels_[static_cast<std::size_t>(ch)]; }
  bool frameCounting() const { return videoFormat_ == 4 || videoFormat_ == 5; }
  int toUnits(int frames) const { return frameCounting() ? frames : 2 * frames; }
  u32 toReported(int x) const { return static_cast<u32>(frameCounting() ? x + 1 : (x + 2) / 2); }
  int toEven(int x) const { return frameCounting() ? x : x - (x & 1); }
  // A trim point (a frame counted from 1, as the System Manager sent it) in engine units. Any
  // value comes off the wire; one beyond every clip length is held there so the arithmetic on it
  // cannot overflow.
  int trimUnits(u32 frame) const { return toUnits(static_cast<int>(std::min<u32>(frame, MAX_TRIM_FRAME)) - 1); }
  static constexpr u32 MAX_TRIM_FRAME = 65536;
  bool slowOrReverse(int ch) const;
  bool fieldMode(int ch) const;
  bool recordAccepted(int ch) const;
  void deriveRange(int ch);

  // The engine's own changes of an entry; a received record goes through assign, which also
  // notes a trim that the System Manager changed.
  void merge(const KzifClipStatus& in, int idx);
  void report(int ch, const KzifClipStatus& change) { merge(change, channelIndex(ch)); }
  void reportState(int ch, u8 state);
  void reportCurrent(int ch, int x);
  void reportInfo(int ch, int count, int option0, int option6);

  void onFormatChange();
  void reset();
  void resetChannel(int ch);
  void triggerPass();
  void audioMeters();

  void recordStep(int ch);
  void recordFinish(int ch);
  bool playGate(int ch);
  int stepCount(int ch);
  void playStep(int ch);
  void startPlay(int ch);
  void endAction(int ch);
  void jog(int ch);
  void stopAndCue(int ch);
  void rangeCommand(int ch);
  void followStep(int ch);
  void followTrim(int ch);
  void finishCommand(int ch);
  void releaseReadLock(int ch);

  std::array<KzifClipStatus, KzifClipStatus::N_CHANNELS> table_{};
  std::array<Channel, N_CLIP_CHANNELS> channels_{};
  // Entries whose `recorded` was assigned in this field.
  std::array<u8, N_CLIP_CHANNELS> recordedAssigned_{};
  // Channels whose trim the System Manager changed and whose window has not followed it yet.
  std::array<u8, N_CLIP_CHANNELS> trimReceived_{};
  std::array<u8, N_ME> meStart_{};
  u32 videoFormat_ = 0;
  u8 resetRequest_ = 1;
  ClipChannelLocks locks_;
  // Each channel's last audio levels (as clamped) and the meter readings worked out from them:
  // the levels rarely change from one field to the next, the logarithms cost more than the rest
  // of the field's clip work.
  struct AudioMeter {
    std::array<int, 2> levels{-1, -1};  // -1: nothing worked out yet
    std::array<f32, 2> reading{};
  };
  std::array<AudioMeter, N_CLIP_CHANNELS> meters_{};
};

}  // namespace category

void initCategoryClipPlay();
void initCategoryClipRec();
void initCategoryClipRegister();
void initCategoryClipStatus();
