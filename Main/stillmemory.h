// The four still channels: the still settings (type id 23), the 85-entry still status table
// (type id 24) with the channels' capture locks, the capture command (type id 66) and the engine
// that captures a channel's picture into frame memory and keeps the still outputs set up.
#pragma once
#include <array>

#include "Common/lock.h"
#include "Lib/Include/shared_types.h"
#include "Main/category.h"
#include "Main/escaped_text.h"
#include "Main/media_command.h"

constexpr int N_STILL_CHANNELS = 4;
// A command for this channel means the current one (KzifStillMemory.channel).
constexpr int STILL_CURRENT_CHANNEL = 100;
constexpr int STILL_CAPTURE = 7;
// The status entry of still channel ch is ch + STILL_STATUS_FIRST_CHANNEL.
constexpr int STILL_STATUS_FIRST_CHANNEL = 81;

// Command results.
constexpr i16 STILL_RESULT_DONE = 0;
constexpr i16 STILL_RESULT_BAD_PARAMETER = -2;
constexpr i16 STILL_RESULT_CONFLICT = -6;
constexpr i16 STILL_RESULT_BUSY = -8;

struct StillRecMode {
  u32 mask;
  u8 option0;
  u8 option1;  // capture option, handed to the frame driver
  u8 monitor;  // 1: the current channel's still is shown at the frame driver
  u8 option3;
  u8 mode;     // handed to the frame driver when a capture starts
  u8 reserved[3];
  static constexpr auto wire() {
    using R = StillRecMode;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::option0, rec::range(0, 1)),
                     rec::field(1, &R::option1, rec::range(0, 1)), rec::field(2, &R::monitor, rec::range(0, 1)),
                     rec::field(3, &R::option3, rec::range(0, 1)), rec::field(4, &R::mode, rec::range(0, 1)));
  }
};

struct StillChannelMode {
  u32 mask;
  u8 mode[N_STILL_CHANNELS];  // given to the frame driver every field
  static constexpr auto wire() {
    using R = StillChannelMode;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::mode, rec::range(0, 1)));
  }
};

struct StillTexts {
  u32 mask;
  rec::Text<12> text1;  // 15 bytes and a byte of padding
  rec::Text<12> text2;
  static constexpr auto wire() {
    using R = StillTexts;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::text1, EscapedText{}), rec::field(1, &R::text2, EscapedText{}));
  }
};

// Stored layout (68 bytes, backed up):
//   0 mask | 4 channel | 8 recMode (mask, option0, option1, monitor, option3, mode) |
//   20 channelMode (mask, 4 flags) | 28 channel2 | 32 texts (mask, text1 at 36, text2 at 52)
// Wire body (33 + m + n bytes for texts of m and n characters): mask; channel (bit 0, 0..3);
// recMode; channelMode; channel2 (bit 1, 0..3); texts.
struct KzifStillMemory {
  static constexpr int TYPE_ID = 23;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifStillMemory";

  u32 mask;
  u8 channel;  // the current still channel
  u8 reserved0[3];
  StillRecMode recMode;
  StillChannelMode channelMode;
  u8 channel2;  // stored and reported only
  u8 reserved1[3];
  StillTexts texts;  // stored and reported only

  static constexpr auto wire() {
    using R = KzifStillMemory;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::channel, rec::range(0, N_STILL_CHANNELS - 1)),
                     rec::sub(&R::recMode), rec::sub(&R::channelMode),
                     rec::field(1, &R::channel2, rec::range(0, N_STILL_CHANNELS - 1)), rec::sub(&R::texts));
  }
};
static_assert(sizeof(KzifStillMemory) == 68);
static_assert(offsetof(KzifStillMemory, channel) == 4);
static_assert(offsetof(KzifStillMemory, recMode) + offsetof(StillRecMode, option0) == 12);
static_assert(offsetof(KzifStillMemory, recMode) + offsetof(StillRecMode, mode) == 16);
static_assert(offsetof(KzifStillMemory, channelMode) == 20);
static_assert(offsetof(KzifStillMemory, channelMode) + offsetof(StillChannelMode, mode) == 24);
static_assert(offsetof(KzifStillMemory, channel2) == 28);
static_assert(offsetof(KzifStillMemory, texts) == 32);
static_assert(offsetof(KzifStillMemory, texts) + offsetof(StillTexts, text1) == 36);
static_assert(offsetof(KzifStillMemory, texts) + offsetof(StillTexts, text2) == 52);

// One entry of the still status table (volatile). Wire body (30 + n bytes for a name of n
// characters): mask; index; name (bit 0); recorded (bit 1, 0..1); attribute (bit 2);
// timeStamp (bit 3); option1 (bit 4, 0..1); flag (bit 5, 0..1); code (bit 6, 0..9); extra (bit 7).
struct KzifStillStatus {
  static constexpr int TYPE_ID = 24;
  static constexpr int N_CHANNELS = 85;
  static constexpr const char* NAME = "KzifStillStatus";

  u32 mask;
  u16 index;  // entry number, always that of the entry it is held in
  rec::Text<32> name;
  u8 recorded;  // 1: the entry holds a captured still
  u32 attribute;
  TimeStamp timeStamp;
  u8 option1;  // the capture option the still was taken with
  u8 flag;
  u8 code;
  u8 extra;

  static constexpr auto wire() {
    using R = KzifStillStatus;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::index), rec::field(0, &R::name),
                     rec::field(1, &R::recorded, rec::range(0, 1)), rec::field(2, &R::attribute),
                     rec::field(3, &R::timeStamp), rec::field(4, &R::option1, rec::range(0, 1)),
                     rec::field(5, &R::flag, rec::range(0, 1)), rec::field(6, &R::code, rec::range(0, 9)),
                     rec::field(7, &R::extra));
  }
};
static_assert(sizeof(KzifStillStatus) == 64);

// The capture command (type id 66, no mask); the reply is the command sent back with its result.
// Wire body (16 + n bytes for a name of n characters): tag0, tag1, command, result; arg0;
// channel (0..3, or 100 for the current one); arg1; name (sent back as it came); arg2; arg3; arg4.
struct KzifStillMemoryCmd {
  static constexpr int TYPE_ID = 66;
  static constexpr const char* NAME = "KzifStillMemoryCmd";

  MediaCommandHeader header;
  u16 arg0;
  u8 channel;
  u8 arg1;
  MediaCommandName name;
  u8 arg2;
  u8 arg3;
  u8 arg4;

  static constexpr auto wire() {
    using R = KzifStillMemoryCmd;
    return rec::list(rec::plain(&R::header), rec::plain(&R::arg0), rec::plain(&R::channel), rec::plain(&R::arg1),
                     rec::plain(&R::name), rec::plain(&R::arg2), rec::plain(&R::arg3), rec::plain(&R::arg4));
  }
};

namespace category {

// The still status table; entries 81..84 are the channels, kept by the engine. Holds the capture
// lock of each channel (software lock ch, write mode).
class CategoryStillStatus : public CategoryCommon<KzifStillStatus> {
 public:
  // lockState values.
  static constexpr i32 IDLE = 0;
  static constexpr i32 CAPTURING = 2;

  ~CategoryStillStatus() override;

  std::size_t attachBackup(u8*) override { return attachInternal(table_.data()); }
  void initInternal() override;

  // 0 taken; 1 another still channel captures or a clip channel records; 2 this channel already
  // captures or the System Manager holds its lock.
  int takeCaptureLock(int ch);
  void releaseLock(int ch);
  void releaseAllLocks();
  // 1 while any still channel holds its capture lock.
  int isStillBusy() const;
  i32 lockState(int ch) const;

  // Every held lock released; the channel entries report no picture.
  void resetChannels();
  // The channel's entry reports a picture taken with `option`.
  void markCaptured(int ch, int option);

 private:
  std::array<KzifStillStatus, KzifStillStatus::N_CHANNELS> table_{};
  std::array<Lock, N_STILL_CHANNELS> lock_{};
  std::array<i32, N_STILL_CHANNELS> lockState_{};
};

// The still settings and the capture engine.
class CategoryStillMemory : public CategoryCommon<KzifStillMemory> {
 public:
  CategoryStillMemory();

  void initInternal() override;
  void restore(const u8* stored) override;
  void update() override;
  void receiveRouted(int typeId, RequestReceiver& rx) override;

  // 0 started; 1 or 2 refused (see CategoryStillStatus::takeCaptureLock).
  int startCapture(int ch);
  // A move to another format group: frame memory is cleared and a running capture abandoned,
  // without a reply.
  void resetStills();
  int channelModeOf(int i) const;

 private:
  // The settings as they stand, read without marking them for the send pass.
  const KzifStillMemory& current() const { return record(0); }
  void completeCapture();
  // The frame driver is told a still's mode and enable only when they differ from what it was
  // last given.
  void applyMode(int ch, int mode);
  void applyEnable(int ch, int enable);

  i32 captureCountdown_ = 0;
  i32 captureChannel_ = -1;
  u8 captureOption_ = 0;
  KzifStillMemoryCmd commandRecord_{};
  // The admitted capture command, kept for its completion reply: a command refused meanwhile
  // replies with its own identity and must not lend it to the capture's reply.
  KzifStillMemoryCmd captureRecord_{};
  u8 lastChannel_ = 0;
};

}  // namespace category

void initCategoryStillMemory();
void initCategoryStillStatus();
