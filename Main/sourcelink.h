// Source link: keyers, downstream keys, upstream keys, the extended outputs and the AUX buses use
// buses in pairs (a fill and its key signal). For every source the link table names a linked
// source, so that when the leading bus of a pair changes the other one can be switched to the
// source linked to the incoming one. This category keeps the table, which member of a pair leads and
// which AUX pairs link; the buses do the following in their own per-field update.
#pragma once
#include <array>
#include <cstddef>

#include "Main/category.h"
#include "Main/source_ids.h"

constexpr int N_AUX_LINK_PAIRS = 24;
// A link entry that names no source.
constexpr int NO_LINK = 0;

// Which AUX pairs link. Stored 28 bytes: 0 mask | 4 flag[24].
// Wire: u32 mask (bit k marks flag[k]); u8 flag[24] (each 0..1).
struct AuxBusLink {
  u32 mask;
  u8 flag[N_AUX_LINK_PAIRS];  // 1: AUX pair k, buses 24 + 2k and 25 + 2k, links

  static constexpr auto wire() {
    using R = AuxBusLink;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::flag, rec::range(0, 1)));
  }
};
static_assert(sizeof(AuxBusLink) == 28);
static_assert(rec::wireSizeOf<AuxBusLink>() == 28);

// Stored layout (460 bytes, one record):
//   0 u32 recordMask | 4 u32 mask | 8 u32 linkMask[7] | 36 u16 link[195] | 426 u8 direction |
//   427 u8 identity | 428 auxBusLink (28) | 456 4 bytes kept zero
// Wire body (big-endian), in this order:
//   u32 recordMask (carried as held, never taken); u32 mask; u32 linkMask[7] (bit i % 32 of word
//   i / 32 marks link[i]); u16 link[195] (each a source of linkKeyList or 0, no link);
//   u8 direction (mask bit 0, 0..1); u8 identity (mask bit 1, 0..1); auxBusLink.
struct KzifSourceLink {
  static constexpr int TYPE_ID = 37;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifSourceLink";
  static constexpr u32 DIRECTION = 1u << 0;
  static constexpr u32 IDENTITY = 1u << 1;
  static constexpr int N_LINK_MASK_WORDS = 7;
  static constexpr rec::Range ON_OFF = rec::range(0, 1);  // direction and identity

  u32 recordMask;
  u32 mask;
  u32 linkMask[N_LINK_MASK_WORDS];
  u16 link[N_LINK_KEYS];
  u8 direction;  // 0: the first bus of a pair leads, the second follows; 1: the other way round
  u8 identity;   // 1: received link entries are replaced by the key source itself
  AuxBusLink auxBusLink;
  u8 reserved[4];

  static constexpr auto wire() {
    using R = KzifSourceLink;
    return rec::list(rec::plain(&R::recordMask), rec::mask(&R::mask), rec::plain(&R::linkMask),
                     rec::plain(&R::link), rec::field(0, &R::direction, ON_OFF),
                     rec::field(1, &R::identity, ON_OFF), rec::sub(&R::auxBusLink));
  }
};
static_assert(sizeof(KzifSourceLink) == 460);
static_assert(rec::wireSizeOf<KzifSourceLink>() == 456);
static_assert(offsetof(KzifSourceLink, linkMask) == 8);
static_assert(offsetof(KzifSourceLink, link) == 36);
static_assert(offsetof(KzifSourceLink, direction) == 426);
static_assert(offsetof(KzifSourceLink, identity) == 427);
static_assert(offsetof(KzifSourceLink, auxBusLink) == 428);

namespace category {

class CategorySourceLink : public CategoryCommon<KzifSourceLink> {
 public:
  static CategorySourceLink& get();

  void assign(const KzifSourceLink& in, int idx) override;
  void restore(const u8* stored) override;
  void sendChanges(AcknowledgeSender& tx) override;

  // The link entry of a source (NO_LINK when it has none); -1 when the source is not in
  // linkKeyList.
  int linkedSource(int source) const;
  // 0: the first bus of a pair leads; 1: the second one does.
  int direction() const { return record(0).direction; }
  // True while AUX pair k (buses 24 + 2k, 25 + 2k) links; false for a pair outside 0..23.
  bool auxPairLinked(int pair) const;

 private:
  // linkMask and recordMask are not field masks the common send test sees.
  bool linkMarksPending() const;
  void clearLinkMarks();
};

}  // namespace category

void initCategorySourceLink();
