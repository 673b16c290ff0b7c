// Source helpers shared by the keyers, the buses and tally: box and crop edge editing, key
// priority reordering, key pattern availability, the linked value pair of a keyer, and which
// still and clip sources are the ones being recorded.
#pragma once
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

// Edges are in 1/10000 of the picture from its centre, in the order left, top, bottom, right.
constexpr int EDGE_LEFT = 0;
constexpr int EDGE_TOP = 1;
constexpr int EDGE_BOTTOM = 2;
constexpr int EDGE_RIGHT = 3;
constexpr int EDGE_LIMIT = 5000;

// Takes a changed set of box or crop edges against the old ones. Returns 0, leaving newEdges as they
// are, when any edge of newEdges, changed or not, lies outside -5000..5000. Otherwise adjusts
// newEdges in place and returns 1:
//  - unlinked: an edge that changed pushes its opposite edge along when they would cross (left
//    before right; top before bottom);
//  - linked: a changed edge is mirrored (negated) into its partner, left before right and top
//    before bottom when both changed; then left and bottom are kept at or below 0 and top and
//    right at or above 0.
int adjustCropEdges(int linked, const i16 oldEdges[4], i16 newEdges[4]);

// The resulting priority (0..3) of channel i when channel `moved` goes from priority oldPriority to
// newPriority and the channels between shift by one towards the gap, so that four priorities that
// formed a permutation still do. A newPriority or oldPriority outside 0..3 moves nothing:
// currentPriorityOfI is returned.
int reorderPriority(int newPriority, int oldPriority, int currentPriorityOfI, int moved, int i);

// A wipe pattern of a key transition as the keyer record holds it.
struct KeyPattern {
  u8 number;
  u8 group;
};

// 1 when the pattern may be used by the key target. The pattern sets of the keyers are not
// told apart here: every pattern counts as available to the four key targets (KZ_KEY1 + 2k,
// 0x1205, 0x1207, 0x1209, 0x120B), and nothing is available to any other target. The keyer
// applies its own group rules before asking.
int isPatternValid(KeyPattern pattern, int target);

// Two values of a keyer that can be linked; while linked, a change of one is copied into the
// other. Stored as 8 bytes: 0 mask | 4 first | 5 second | 6 linked | 7 pad.
// Wire: u32 mask; u8 first (bit 0, 0..3); u8 second (bit 1, 0..3); u8 linked (bit 2, 0..1).
struct LinkedPair {
  static constexpr u32 FIRST = 1u << 0;
  static constexpr u32 SECOND = 1u << 1;
  static constexpr u32 LINKED = 1u << 2;

  u32 mask;
  u8 first;
  u8 second;
  u8 linked;
  u8 reserved;

  static constexpr auto wire() {
    using R = LinkedPair;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::first, rec::range(0, 3)),
                     rec::field(1, &R::second, rec::range(0, 3)), rec::field(2, &R::linked, rec::range(0, 1)));
  }
};
static_assert(sizeof(LinkedPair) == 8);
static_assert(rec::wireSizeOf<LinkedPair>() == 7);
static_assert(offsetof(LinkedPair, first) == 4);
static_assert(offsetof(LinkedPair, linked) == 6);

// Called by the keyer after it has put the accepted members of an incoming pair into its change
// record. While the pair is linked (the change's linked value when it carries one, else the live
// one), a value the sender changed is copied into the other member of the change record and that
// member's bit set. A member counts as changed when the incoming record asked for it and the
// change record accepted it; when both were, the one that differs from the live value wins, and
// the first member when both differ.
void syncLinkedPairKey(const LinkedPair& incoming, const LinkedPair& live, LinkedPair& change);

// Bus of the media recorder input a source feeds: 13 for the still and clip video (fill)
// sources 181, 184, 187, 190, 201, 204, 207, 210; 14 for their key sources 182, 185, 188, 191,
// 202, 205, 208, 211; else -1.
int mediaSourceKind(int source);

// 1 when the still memory monitors its current channel (recMode.monitor 1) and the source is
// that channel's video or key source (channel n: 181 + 3n, 182 + 3n); else 0, also while no
// still category is registered.
int isStillSourceSelected(int source);
// 1 when the clip recorder monitors its channel (recMode.monitor 1) and the source is that
// channel's video or key source (channel n: 201 + 3n, 202 + 3n); else 0, also while no clip
// record category is registered.
int isClipSourceSelected(int source);
