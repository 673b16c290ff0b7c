// Input video settings of the SDI inputs and the extended display: what tally and the keyers need
// of them (an input kept out of tally, an input taken through format conversion, the extended
// display owning the third extended output). Neither has a type id of its own yet, so both are
// plain single objects, not registered with BP and not on the wire.
#pragma once
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"
#include "Main/source_ids.h"

// One SDI input. Stored layout (12 bytes; bytes not named are kept zero for the settings that the
// input video feature adds):
//   0 u32 mask | 4 u16 channel | 9 u8 tallyExclude | 10 u8 converted
// Field list in this order: u32 mask; u16 channel; u8 tallyExclude (bit 3, 0..1);
// u8 converted (bit 4, 0..1).
struct KzifInputVideo {
  static constexpr int N_CHANNELS = 128;
  static constexpr const char* NAME = "KzifInputVideo";
  static constexpr u32 TALLY_EXCLUDE = 1u << 3;
  static constexpr u32 CONVERTED = 1u << 4;

  u32 mask;
  u16 channel;
  u8 reserved0[3];
  u8 tallyExclude;  // 1 keeps the input, and everything behind it, out of tally
  u8 converted;     // 1 the input is taken through format conversion
  u8 reserved1;

  static constexpr auto wire() {
    using R = KzifInputVideo;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel),
                     rec::field(3, &R::tallyExclude, rec::range(0, 1)),
                     rec::field(4, &R::converted, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifInputVideo) == 12);
static_assert(offsetof(KzifInputVideo, tallyExclude) == 9);
static_assert(offsetof(KzifInputVideo, converted) == 10);

// Stored layout (8 bytes): 0 u32 mask | 4 u8 enable. Field list: u32 mask; u8 enable (bit 0, any).
struct KzifExtendedDisplay {
  static constexpr const char* NAME = "KzifExtendedDisplay";
  static constexpr u32 ENABLE = 1u << 0;

  u32 mask;
  u8 enable;  // non-zero: the extended display drives output 0x1292, so bus 15 is not routed
  u8 reserved[3];

  static constexpr auto wire() {
    using R = KzifExtendedDisplay;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::enable));
  }
};
static_assert(sizeof(KzifExtendedDisplay) == 8);
static_assert(offsetof(KzifExtendedDisplay, enable) == 4);

namespace category {

class CategoryInputVideo {
 public:
  static constexpr int N_CHANNELS = KzifInputVideo::N_CHANNELS;
  // SDI inputs 1..32 as bus sources.
  static constexpr int FIRST_SDI_SOURCE = SOURCE_SDI_FIRST;
  static constexpr int LAST_SDI_SOURCE = SOURCE_SDI_ROUTED_LAST;

  static CategoryInputVideo& get();

  // Non-zero when the source is an SDI input (10..41) whose channel is taken through format
  // conversion.
  int isConverted(int source) const;
  // 1 when input channel 0..127 is kept out of tally; 0 for any other channel.
  int isTallyExcluded(int channel) const;

  const KzifInputVideo& record(int channel) const;
  // Merges the masked fields that pass their checks into channel 0..127 (others ignored).
  void assign(const KzifInputVideo& in, int channel);
  void setTallyExcluded(int channel, int exclude);
  void setConverted(int channel, int converted);
  // Every channel back to zero, as at start-up.
  void clear();

 private:
  CategoryInputVideo();
  KzifInputVideo records_[N_CHANNELS];
};

class CategoryExtendedDisplay {
 public:
  static CategoryExtendedDisplay& get();

  // True while the extended display drives output 0x1292 (bus 15 is then not routed to it).
  bool ownsOutput() const { return record_.enable != 0; }
  const KzifExtendedDisplay& record() const { return record_; }
  void assign(const KzifExtendedDisplay& in);
  void setEnable(int enable);
  // Off, nothing pending, as at start-up.
  void clear() { record_ = KzifExtendedDisplay{}; }

 private:
  CategoryExtendedDisplay() = default;
  KzifExtendedDisplay record_{};
};

}  // namespace category
