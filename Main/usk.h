// The four upstream keyers, which sit in front of the M/E buses, and their assignment: which
// sources feed each keyer (mirrored with buses 72..79 of M/E 0), and onto which sources each keyer
// is keyed (told to the input router source by source).
#pragma once
#include <array>
#include <cstddef>

#include "Main/button_event_record.h"
#include "Main/category.h"
#include "Main/escaped_text.h"
#include "Main/key.h"
#include "Main/keyprocess.h"

// The keyer's two names, held to the text rule before they are taken.
struct UskNamePair {
  u32 mask;
  KeyName name1;
  KeyName name2;

  static constexpr auto wire() {
    using R = UskNamePair;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::name1, EscapedText{}),
                     rec::field(1, &R::name2, EscapedText{}));
  }
};
static_assert(sizeof(UskNamePair) == sizeof(KeyNamePair));

// Stored layout: 92 bytes per keyer, natural alignment, the members below in this order (offsets
// pinned after the struct). Wire body: big-endian, in member order, 57 + L1 + L2 bytes (L1, L2 the
// two name lengths).
struct KzifUpStreamKey {
  static constexpr int TYPE_ID = 7;
  static constexpr int N_CHANNELS = 4;
  static constexpr const char* NAME = "KzifUpStreamKey";

  static constexpr int BIT_MATTE_COLOR = 0;
  static constexpr int BIT_MASK_BOX = 1;

  u32 mask;
  u16 channel;  // keyer 0..3
  KeyStyle style;  // styleFlag4 is the separate key signal
  Hsl matteColor;
  KeyAdjust adjust;
  KeyMask keyMask;
  i16 maskBox[4];  // left, top, bottom, right
  UskNamePair names;

  static constexpr auto wire() {
    using R = KzifUpStreamKey;
    using rec::range;
    constexpr auto hsl = rec::whole(rec::each(range(0, 3599), range(0, 1000), range(0, 1080)));
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel), rec::sub(&R::style),
                     rec::field(BIT_MATTE_COLOR, &R::matteColor, hsl), rec::sub(&R::adjust), rec::sub(&R::keyMask),
                     rec::field(BIT_MASK_BOX, &R::maskBox, rec::whole(range(-5000, 5000))), rec::sub(&R::names));
  }

  bool has(int bit) const { return (mask & (1u << bit)) != 0; }
  void drop(int bit) { mask &= ~(1u << bit); }
};
static_assert(sizeof(KzifUpStreamKey) == 92);
static_assert(offsetof(KzifUpStreamKey, channel) == 4);
static_assert(offsetof(KzifUpStreamKey, style) == 8);
static_assert(offsetof(KzifUpStreamKey, matteColor) == 20);
static_assert(offsetof(KzifUpStreamKey, adjust) == 28);
static_assert(offsetof(KzifUpStreamKey, keyMask) == 40);
static_assert(offsetof(KzifUpStreamKey, maskBox) == 48);
static_assert(offsetof(KzifUpStreamKey, names) == 56);

constexpr int N_USK = KzifUpStreamKey::N_CHANNELS;
constexpr int N_USK_BUSES = 2 * N_USK;
constexpr int N_USK_ASSIGN_SOURCES = 150;

// The sources on the upstream key buses: 2k the fill and 2k + 1 the key of keyer k.
struct UskSources {
  u32 sourceMask;
  u8 uskSource[N_USK_BUSES];

  static constexpr auto wire() {
    using R = UskSources;
    return rec::list(rec::mask(&R::sourceMask), rec::elements(0, &R::uskSource, rec::range(10, 223)));
  }
};
static_assert(sizeof(UskSources) == 12);

// The keyer applied to one source: 0 none, 1..4 keyer key - 1 while its assign flag is on, 5..8
// keyer key - 5 always.
struct InputKeyEntry {
  u32 mask;
  u8 key;

  static constexpr auto wire() {
    using R = InputKeyEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::key, rec::range(0, 8)));
  }
};
static_assert(sizeof(InputKeyEntry) == 8);

struct UskAssignFlags {
  u32 assignMask;
  u8 assignFlag[N_USK];

  static constexpr auto wire() {
    using R = UskAssignFlags;
    return rec::list(rec::mask(&R::assignMask), rec::elements(0, &R::assignFlag, rec::range(0, 1)));
  }
};
static_assert(sizeof(UskAssignFlags) == 8);

// Stored layout: 1224 bytes, natural alignment, the members below in this order. Wire body:
// big-endian, in member order, 774 bytes. The record's own mask has no field: it stays 0.
struct KzifUpStreamKeyAssign {
  static constexpr int TYPE_ID = 8;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifUpStreamKeyAssign";

  u32 mask;
  UskSources sources;
  InputKeyEntry inputKey[N_USK_ASSIGN_SOURCES];  // by source index
  UskAssignFlags assignment;

  static constexpr auto wire() {
    using R = KzifUpStreamKeyAssign;
    return rec::list(rec::plain(&R::mask), rec::sub(&R::sources), rec::sub(&R::inputKey), rec::sub(&R::assignment));
  }
};
static_assert(sizeof(KzifUpStreamKeyAssign) == 1224);
static_assert(rec::wireSizeOf<KzifUpStreamKeyAssign>() == 774);
static_assert(offsetof(KzifUpStreamKeyAssign, sources) == 4);
static_assert(offsetof(KzifUpStreamKeyAssign, inputKey) == 16);
static_assert(offsetof(KzifUpStreamKeyAssign, assignment) == 1216);

// The router's id of a source (source index table), or -1 when the source is never routed through
// an upstream keyer.
int uskInputOfSource(int source);
// The router's id of the source at index i of the assignment table, or -1 (indexes 32..127).
int uskInputOfIndex(int index);

namespace category {

class CategoryUpStreamKey : public CategoryCommon<KzifUpStreamKey> {
 public:
  static CategoryUpStreamKey& get();

  void initIndex(int me, int flags) override;
  void initInternal() override;
  void assign(const KzifUpStreamKey& in, int idx) override;
  void update() override;

  const KzifUpStreamKey& data(int n) const { return record(n); }

 private:
  // What the update hands the drivers for one upstream key, worked out again only when the record
  // may have been written or the video format changed.
  struct DriverSettings {
    i32 format = -1;  // -1: nothing worked out yet
    YCbCr10 matte{};
    keyproc::KeyProcessSettings process;
    // The matte, box mask and clip and gain went out from these under this setter memo
    // generation, untraced.
    bool held = false;
    u32 heldGeneration = 0;
  };
  [[gnu::noinline]] void workOutDriverSettings(int n, int videoFormat, DriverSettings& s);

  std::array<const KzifUpStreamKey*, N_USK> views_{};
  std::array<keyproc::ColorCache, N_USK> colors_{};
  std::array<DriverSettings, N_USK> settings_{};
};

class CategoryUpStreamKeyAssign : public CategoryCommon<KzifUpStreamKeyAssign> {
 public:
  static CategoryUpStreamKeyAssign& get();

  void restore(const u8* stored) override;
  void assign(const KzifUpStreamKeyAssign& in, int idx) override;
  void update() override;

  // A source put on bus 72 + bus of M/E 0.
  void setSource(int source, int bus);
  // setSource(sources[n], n) for each bus n of the set (bit n), taken together.
  void setSources(const std::array<int, 8>& sources, u32 buses);
  void onButton(const internal::KzifButtonEvent& event);
  int isAssigned(int key) const;

  const KzifUpStreamKeyAssign& data() const { return record(0); }

 private:
  // Gives the bus engine the sources of these bus bits; a source it refuses is answered with the
  // one it keeps.
  void mirrorToBuses(u32 sourceBits);
  // The routing calls of one field, from the record and whether each upstream key has a key
  // signal of its own (bit n); worked out again only when either may have changed.
  [[gnu::noinline]] void workOutRouting(u32 keyed);

  struct InputCall {
    u16 input;
    u8 on;
    u16 usk;
  };
  std::array<i32, N_USK_BUSES> busInputs_{};  // -1: no keyer input
  std::array<InputCall, N_USK_ASSIGN_SOURCES> inputCalls_{};
  int nInputCalls_ = 0;
  u32 routedKeyed_ = ~0u;  // ~0: nothing worked out yet
  // The input calls above went out whole under this setter memo generation, untraced.
  bool inputCallsHeld_ = false;
  u32 inputCallsGeneration_ = 0;
};

}  // namespace category

void initCategoryUpStreamKey();
void initCategoryUpStreamKeyAssign();
