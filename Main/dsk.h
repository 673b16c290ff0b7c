// The four downstream keys (type id 5), keyed over the programme output after the M/E banks: their
// settings from KzifDsk records, their on-air and transition state from the fader event table,
// and every field their sources, colours, key process, layering and mix level in the drivers.
#pragma once
#include <array>
#include <cstddef>

#include "Main/autotrans.h"
#include "Main/category.h"
#include "Main/key.h"
#include "Main/keyprocess.h"

// Key type (0 or 1 here) and four flags, as the keyer's style.
struct DskStyle {
  u32 mask;
  u8 keyType;
  u8 secondGain;
  u8 invertFlag;
  u8 styleFlag4;  // key signal from the key source bus; forced to 0 while the key type is 0
  u8 modeFlag;

  static constexpr auto wire() {
    using R = DskStyle;
    constexpr auto unit = rec::range(0, 1);
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::keyType, unit), rec::field(1, &R::secondGain, unit),
                     rec::field(2, &R::invertFlag, unit), rec::field(3, &R::styleFlag4, unit),
                     rec::field(4, &R::modeFlag, unit));
  }
};
static_assert(sizeof(DskStyle) == 12);

// The keyer's edge, with more fills: 0 the edge colour, 3 and 4 the colour backgrounds, 5..12
// stills 1..4 and clips 1..4; 1 and 2 leave the fill as it is.
struct DskEdge {
  static constexpr u8 FILL_COLOR = 0;
  static constexpr u8 FILL_CBGD1 = 3;
  static constexpr u8 FILL_CBGD2 = 4;
  static constexpr u8 FILL_FIRST_MEDIA = 5;
  u32 mask;
  u8 type;
  u8 width;
  u8 direction;
  u8 softness;
  u8 fill;

  static constexpr auto wire() {
    using R = DskEdge;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::type, rec::range(0, 4)),
                     rec::field(1, &R::width, rec::range(0, 4)), rec::field(2, &R::direction, rec::range(0, 7)),
                     rec::field(3, &R::softness, rec::range(0, 3)), rec::field(4, &R::fill, rec::range(0, 12)));
  }
};
static_assert(sizeof(DskEdge) == 12);

// Whether the DSK's auto take runs a timed transition of `rate` frames (1) or cuts (0).
struct DskTransSetting {
  static constexpr u32 TIMED = 1u << 0;
  static constexpr u32 TYPE = 1u << 1;
  static constexpr u32 RATE = 1u << 2;
  static constexpr u32 ALL = TIMED | TYPE | RATE;
  u32 mask;
  u8 timed;
  u8 type;  // only 0
  u16 rate;

  static constexpr auto wire() {
    using R = DskTransSetting;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::timed, rec::range(0, 1)),
                     rec::field(1, &R::type, rec::range(0, 0)), rec::field(2, &R::rate, rec::range(0, 999)));
  }
};
static_assert(sizeof(DskTransSetting) == 8);

// Stored layout: 144 bytes per DSK, natural alignment, the members below in this order (offsets
// pinned after the struct). Wire body: big-endian, in member order, 102 + L1 + L2 bytes (L1, L2
// the two name lengths).
struct KzifDsk {
  static constexpr int TYPE_ID = 5;
  static constexpr int N_CHANNELS = 4;
  static constexpr const char* NAME = "KzifDsk";

  static constexpr int BIT_MATTE_COLOR = 0;
  static constexpr int BIT_EDGE_COLOR = 1;
  static constexpr int BIT_BOX_EDGES = 2;
  static constexpr int BIT_TRANSITION_LINK = 3;
  static constexpr int BIT_REVERSE = 4;
  static constexpr int BIT_PRIORITY = 5;
  static constexpr int BIT_GANG = 6;
  static constexpr int BIT_KEY_ON = 7;
  static constexpr int BIT_TRANS_STOPPED = 8;
  static constexpr int BIT_IN_TRANSITION = 9;

  u32 mask;
  u16 channel;  // DSK 0..3
  DskStyle style;
  KeyAdjust adjust;
  Hsl matteColor;  // fill matte
  DskEdge edge;
  Hsl edgeColor;
  KeyMask boxMask;
  i16 boxEdges[4];  // left, top, bottom, right
  DskTransSetting transition;
  DskTransSetting reverseTransition;  // used while reverse is 1 and the link is off
  u8 transitionLink;
  u8 reverse;  // the transition runs in the negative direction; kept by the update
  u8 priority;  // layering 0..3
  u8 gang;      // ganged DSKs in the same state are cut together
  KeyFlags flags;
  u8 keyOn;
  u8 transStopped;
  u8 inTransition;
  KeyNamePair names;

  static constexpr auto wire() {
    using R = KzifDsk;
    using rec::range;
    constexpr auto hsl = rec::whole(rec::each(range(0, 3599), range(0, 1000), range(0, 1080)));
    constexpr auto unit = range(0, 1);
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel), rec::sub(&R::style), rec::sub(&R::adjust),
                     rec::field(BIT_MATTE_COLOR, &R::matteColor, hsl), rec::sub(&R::edge),
                     rec::field(BIT_EDGE_COLOR, &R::edgeColor, hsl), rec::sub(&R::boxMask),
                     rec::field(BIT_BOX_EDGES, &R::boxEdges, rec::whole(range(-5000, 5000))),
                     rec::sub(&R::transition), rec::sub(&R::reverseTransition),
                     rec::field(BIT_TRANSITION_LINK, &R::transitionLink, unit),
                     rec::field(BIT_REVERSE, &R::reverse, unit), rec::field(BIT_PRIORITY, &R::priority, range(0, 3)),
                     rec::field(BIT_GANG, &R::gang, unit), rec::sub(&R::flags), rec::field(BIT_KEY_ON, &R::keyOn, unit),
                     rec::field(BIT_TRANS_STOPPED, &R::transStopped, unit),
                     rec::field(BIT_IN_TRANSITION, &R::inTransition, unit), rec::sub(&R::names));
  }

  // Takes the masked fields of src as they are (checked when they came in) and sets their bits;
  // the channel is the holder's to stamp.
  static void merge(KzifDsk& dst, const KzifDsk& src) { rec::merge(dst, src, rec::Checks::Skip); }
  static void clear(KzifDsk& r) { r = KzifDsk{}; }
  static void clearMasks(KzifDsk& r) { rec::clearMasks(r); }

  bool has(int bit) const { return (mask & (1u << bit)) != 0; }
  void set(int bit) { mask |= 1u << bit; }
  void drop(int bit) { mask &= ~(1u << bit); }
};
static_assert(sizeof(KzifDsk) == 144);
static_assert(offsetof(KzifDsk, channel) == 4);
static_assert(offsetof(KzifDsk, style) == 8);
static_assert(offsetof(KzifDsk, adjust) == 20);
static_assert(offsetof(KzifDsk, matteColor) == 32);
static_assert(offsetof(KzifDsk, edge) == 40);
static_assert(offsetof(KzifDsk, edgeColor) == 52);
static_assert(offsetof(KzifDsk, boxMask) == 60);
static_assert(offsetof(KzifDsk, boxEdges) == 68);
static_assert(offsetof(KzifDsk, transition) == 76);
static_assert(offsetof(KzifDsk, reverseTransition) == 84);
static_assert(offsetof(KzifDsk, transitionLink) == 92);
static_assert(offsetof(KzifDsk, gang) == 95);
static_assert(offsetof(KzifDsk, flags) == 96);
static_assert(offsetof(KzifDsk, keyOn) == 104);
static_assert(offsetof(KzifDsk, inTransition) == 106);
static_assert(offsetof(KzifDsk, names) == 108);

namespace category {

class CategoryBus;

class CategoryDsk : public CategoryCommon<KzifDsk> {
 public:
  static constexpr int N_DSK = KzifDsk::N_CHANNELS;
  static constexpr i32 NO_REQUEST = -1;
  // The bus record that carries the DSK buses.
  static constexpr int BUS_ME = 1;

  static CategoryDsk& get();

  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void assign(const KzifDsk& in, int idx) override;
  void update() override;

  const KzifDsk& data(int n) const { return record(n); }

  // Hooks of the fader event table: write the byte and set its mask bit.
  void setKeyOn(int n, int v);
  void setTransStopped(int n, int v);
  void setInTransition(int n, int v);
  // The panel's DSK transition button: toggles `timed` of the setting in use (both while linked).
  void cycleTransSetting(int n);

  i32 requestedKeyOn(int n) const { return requestedKeyOn_[slot(n)]; }
  // What the record views hand the key process: DSK n's live record.
  const KzifDsk* view(int n) const { return views_[slot(n)]; }

 private:
  static std::size_t slot(int n) {
    checkChannel(n);
    return static_cast<std::size_t>(n);
  }
  // What the update hands the drivers for one DSK's colours and key process. Every field writes
  // it; it is worked out again only when the record may have been written, the video format
  // changed or the system asks for everything again.
  struct DriverSettings {
    i32 format = -1;  // -1: nothing worked out yet
    YCbCr10 fill{};
    YCbCr10 edge{};
    keyproc::KeyProcessSettings process;
    // The mattes, box mask and clip and gain went out from these under this context and setter
    // memo generation, untraced.
    bool held = false;
    i32 heldContext = 0;
    u32 heldGeneration = 0;
  };
  void applyLayering();
  void updateOne(int n, int videoFormat, bool reapply, CategoryBus* bus,
                 const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions);
  [[gnu::noinline]] void workOutDriverSettings(int n, int videoFormat, DriverSettings& s);
  void carryOutRequestedKeyOn(int n);

  std::array<const KzifDsk*, N_DSK> views_{};
  std::array<DriverSettings, N_DSK> settings_{};
  std::array<i32, N_DSK> requestedKeyOn_{NO_REQUEST, NO_REQUEST, NO_REQUEST, NO_REQUEST};
  std::array<keyproc::ColorCache, N_DSK> fillColors_{};
  std::array<keyproc::ColorCache, N_DSK> edgeColors_{};
};

}  // namespace category

// A downstream key's level from its transition: the position, or 1 - position once a completed run
// has flipped the end flag. The one rule for the mix, the fader hooks, lamps and tally.
float dskLevel(const AutoTransition& t);

// Brings the downstream keys' key-on, in-transition and transition-stopped fields in line with
// their entries of the fader event table (called by it every field, before its step).
void followDskTransitions(const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions);

// Called by the system settings every field: whether each downstream key is keyed picks the
// source of the DSK outputs.
void routeDskOutputs();

void initCategoryDsk();
