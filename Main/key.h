// The four keyers of each M/E (type id 0): their settings from KzifKey records and the key command,
// their key-on and transition state from the fader event table, and every change reported back.
#pragma once
#include <array>
#include <cstddef>

#include "Main/autotrans.h"
#include "Main/category.h"
#include "Main/keyprocess.h"
#include "Main/sources.h"
#include "Main/transition.h"

// ---- sub-records -------------------------------------------------------------------------------
// Each begins with its own mask; bit i is member i in the order of its wire() list.

// Key type (0..3; 2 = driven by the chroma key) and four flags.
struct KeyStyle {
  u32 mask;
  u8 keyType;
  u8 secondGain;  // key type 0 only
  u8 invertFlag;  // passed to setKeyInvert
  u8 styleFlag4;  // forced to 0 while the key type is 0
  u8 modeFlag;    // bit 1 of the driver key mode

  static constexpr auto wire() {
    using R = KeyStyle;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::keyType, rec::range(0, 3)),
                     rec::field(1, &R::secondGain, rec::range(0, 1)), rec::field(2, &R::invertFlag, rec::range(0, 1)),
                     rec::field(3, &R::styleFlag4, rec::range(0, 1)), rec::field(4, &R::modeFlag, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyStyle) == 12);

struct KeyAdjust {
  u32 mask;
  i16 clip;
  i16 gain;
  i16 density;
  u8 invert;  // bit 0 of the driver key mode

  static constexpr auto wire() {
    using R = KeyAdjust;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::clip, rec::range(0, 1080)),
                     rec::field(1, &R::gain, rec::range(0, 2000)), rec::field(2, &R::density, rec::range(0, 1000)),
                     rec::field(3, &R::invert, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyAdjust) == 12);

struct KeyEdge {
  u32 mask;
  u8 type;       // 0 none
  u8 width;
  u8 direction;  // steps of 45 degrees
  u8 softness;
  u8 fill;       // 0 matte colour 2, 1 utility bus 1, 2 utility bus 2

  static constexpr auto wire() {
    using R = KeyEdge;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::type, rec::range(0, 4)),
                     rec::field(1, &R::width, rec::range(0, 4)), rec::field(2, &R::direction, rec::range(0, 7)),
                     rec::field(3, &R::softness, rec::range(0, 3)), rec::field(4, &R::fill, rec::range(0, 2)));
  }
};
static_assert(sizeof(KeyEdge) == 12);

// The box mask's mode (0 off, 1 preset by video format, 2 the record's box edges) and flags.
struct KeyMask {
  u32 mask;
  u8 mode;
  u8 flagA;  // passed inverted to the driver
  u8 flagB;

  static constexpr auto wire() {
    using R = KeyMask;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::mode, rec::range(0, 2)),
                     rec::field(1, &R::flagA, rec::range(0, 1)), rec::field(2, &R::flagB, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyMask) == 8);

struct KeyDveBorder {
  u32 mask;
  u8 on;
  i16 width;
  i16 value;

  static constexpr auto wire() {
    using R = KeyDveBorder;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::on, rec::range(0, 1)),
                     rec::field(1, &R::width, rec::range(1, 1000)), rec::field(2, &R::value, rec::range(0, 1000)));
  }
};
static_assert(sizeof(KeyDveBorder) == 12);

// The DVE aspect pair, scale factors × 0.0001. A 0 stands for 10000; the keyer takes both members
// or neither (CategoryKey::assign).
struct KeyPair16 {
  static constexpr u32 A = 1u << 0;
  static constexpr u32 B = 1u << 1;
  static constexpr i16 UNSET = 0;
  static constexpr i16 FULL = 10000;
  u32 mask;
  i16 aspectA;
  i16 aspectB;

  static constexpr auto wire() {
    using R = KeyPair16;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::aspectA, rec::range(5000, 10000)),
                     rec::field(1, &R::aspectB, rec::range(5000, 10000)));
  }
};
static_assert(sizeof(KeyPair16) == 8);

struct KeyDveCrop {
  u32 mask;
  u8 mode;
  u8 link;  // the crop edges move in mirrored pairs

  static constexpr auto wire() {
    using R = KeyDveCrop;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::mode, rec::range(0, 2)),
                     rec::field(1, &R::link, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyDveCrop) == 8);

// Three DVE settings that come last on the wire but sit after the link mode in memory.
struct KeyDveTail {
  u32 mask;
  u8 value1;
  u8 value2;
  u8 value3;

  static constexpr auto wire() {
    using R = KeyDveTail;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::value1, rec::range(0, 1)),
                     rec::field(1, &R::value2, rec::range(0, 1)), rec::field(2, &R::value3, rec::range(0, 4)));
  }
};
static_assert(sizeof(KeyDveTail) == 8);

struct KeyDvePair {
  u32 mask;
  i16 value1;
  i16 value2;

  static constexpr auto wire() {
    using R = KeyDvePair;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::value1, rec::range(-999, 999)),
                     rec::field(1, &R::value2, rec::range(-999, 999)));
  }
};
static_assert(sizeof(KeyDvePair) == 8);

// One direction's transition setting: A takes the key in, B takes it out (A both ways while the
// transition link is 1).
struct KeyTransSetting {
  static constexpr u32 FLAG = 1u << 0;
  static constexpr u32 TYPE = 1u << 1;
  static constexpr u32 VALUE = 1u << 2;
  static constexpr u8 TYPE_EXTERNAL = 2;  // position from the external value; never from a record
  u32 mask;
  u8 flag;
  u8 type;
  i16 value;

  static constexpr auto wire() {
    using R = KeyTransSetting;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag, rec::range(0, 1)),
                     rec::field(1, &R::type, rec::range(0, 1)), rec::field(2, &R::value, rec::range(0, 999)));
  }
};
static_assert(sizeof(KeyTransSetting) == 8);

// Stored and reported as received.
struct KeyUnchecked {
  u32 mask;
  u8 value1;
  i16 value2;
  u8 value3;
  u8 value4;

  static constexpr auto wire() {
    using R = KeyUnchecked;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::value1), rec::field(1, &R::value2),
                     rec::field(2, &R::value3), rec::field(3, &R::value4));
  }
};
static_assert(sizeof(KeyUnchecked) == 12);

struct KeyFlags {
  u32 mask;
  u8 flag1;
  u8 flag2;
  u8 flag3;

  static constexpr auto wire() {
    using R = KeyFlags;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag1, rec::range(0, 1)),
                     rec::field(1, &R::flag2, rec::range(0, 1)), rec::field(2, &R::flag3, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyFlags) == 8);

// Two names of at most 12 characters, each with 14 bytes of room in the stored layout.
using KeyName = rec::Text<12, 14>;
struct KeyNamePair {
  u32 mask;
  KeyName name1;
  KeyName name2;

  static constexpr auto wire() {
    using R = KeyNamePair;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::name1), rec::field(1, &R::name2));
  }
};
static_assert(sizeof(KeyNamePair) == 36);
static_assert(offsetof(KeyNamePair, name2) == 20);

// ---- the keyer record --------------------------------------------------------------------------
// Stored layout: 420 bytes per key, natural alignment, the members below in this order (offsets
// pinned after the struct). Wire body: big-endian, no padding, in the order of wire(); every
// member in member order except `tail`, which is last on the wire (after the names) though it is
// stored after the link mode. 342 + L1 + L2 bytes, L1 and L2 the two name lengths.
// Mask word 0 bits 0..31 and word 1 bits 0..19 (record bits 32..51) as wire() lists them; a
// multi-value field is taken whole or not at all.
using Hsl = i16[3];  // hue 0..3599, saturation 0..1000, luminance in tenths 0..1080

struct KzifKey {
  static constexpr int TYPE_ID = 0;
  static constexpr int N_CHANNELS = 4;
  static constexpr const char* NAME = "KzifKey";

  // Record mask bits (word 1 bits from 32).
  static constexpr int BIT_MATTE1 = 0;
  static constexpr int BIT_MATTE2 = 1;
  static constexpr int BIT_BOX_EDGES = 2;
  static constexpr int BIT_SHAPE_ON = 3;
  static constexpr int BIT_SHAPE_SOFTNESS = 4;
  static constexpr int BIT_MATTE3 = 5;
  static constexpr int BIT_SHAPE = 6;
  static constexpr int BIT_TRANS_KIND = 7;
  static constexpr int BIT_DVE_MATTE = 8;
  static constexpr int BIT_DVE_MATTE_PATTERN = 9;
  static constexpr int BIT_DVE_FLAG1 = 10;
  static constexpr int BIT_MATTE4 = 11;
  static constexpr int BIT_DVE_LOCATION = 12;
  static constexpr int BIT_DVE_SIZE = 13;
  static constexpr int BIT_DVE_TRIPLE1 = 14;
  static constexpr int BIT_DVE_VALUE2 = 15;
  static constexpr int BIT_DVE_ROTATION = 16;
  static constexpr int BIT_DVE_TRIPLE2 = 17;
  static constexpr int BIT_DVE_VALUE3 = 18;
  static constexpr int BIT_DVE_VALUE4 = 19;
  static constexpr int BIT_DVE_VALUE5 = 20;
  static constexpr int BIT_CROP_EDGES = 21;
  static constexpr int BIT_DVE_LINK_KEY = 22;
  static constexpr int BIT_DVE_LINK_MODE = 23;
  static constexpr int BIT_DVE_TRIPLE3 = 24;
  static constexpr int BIT_DVE_VALUE6 = 25;
  static constexpr int BIT_DVE_TRIPLE4 = 26;
  static constexpr int BIT_DVE_TRIPLE5 = 27;
  static constexpr int BIT_TRANS_LINK = 28;
  static constexpr int BIT_SETTING_B_SELECTED = 29;
  static constexpr int BIT_PATTERN_A = 30;
  static constexpr int BIT_PATTERN_B = 31;
  static constexpr int BIT_AUX_FLAG1 = 32;
  static constexpr int BIT_DVE_TRANS_MODE = 33;
  static constexpr int BIT_FLY34_A = 34;
  static constexpr int BIT_FLY34_B = 35;
  static constexpr int BIT_FLY34_USE_A = 36;
  static constexpr int BIT_FLY12_A = 37;
  static constexpr int BIT_FLY12_B = 38;
  static constexpr int BIT_FLY12_USE_A = 39;
  static constexpr int BIT_DVE_TRIPLE6 = 40;
  static constexpr int BIT_DVE_TRIPLE7 = 41;
  static constexpr int BIT_DVE_TRIPLE8 = 42;
  static constexpr int BIT_AUX_FLAG2 = 43;
  static constexpr int BIT_DVE_TRIPLE9 = 44;
  static constexpr int BIT_PRIORITY = 45;
  static constexpr int BIT_GROUP = 46;
  static constexpr int BIT_AUX_VALUE = 47;
  static constexpr int BIT_KEY_ON = 48;
  static constexpr int BIT_STATE_FLAG = 49;
  static constexpr int BIT_TRANS_STOPPED = 50;
  static constexpr int BIT_IN_TRANSITION = 51;

  u32 mask[2];
  u8 me;
  i16 channel;  // key index 0..3
  KeyStyle style;
  KeyAdjust adjust;
  Hsl matte1;
  KeyEdge edge;
  Hsl matte2;  // edge matte
  KeyMask boxMask;
  i16 boxEdges[4];  // left, top, bottom, right; 1/10000 of the picture from its centre
  u8 shapeOn;
  i16 shapeSoftness;
  Hsl matte3;
  i16 shape[4];  // centre X, centre Y, width, height
  u8 transKind;  // 1 key DVE, 0 wipe
  u8 dveMatte;
  u8 dveMattePattern;
  KeyDveBorder dveBorder;
  u8 dveFlag1;
  Hsl matte4;  // DVE matte
  i16 dveLocation[3];
  u32 dveSize;  // keys 1-2 up to 40000, keys 3-4 up to 10000
  i16 dveTriple1[3];
  u32 dveValue2;
  i16 dveRotation[3];  // tenths of a degree
  KeyPair16 dveAspect;
  i16 dveTriple2[3];
  i16 dveValue3;
  i16 dveValue4;
  KeyDveCrop dveCrop;
  i16 dveValue5;
  i16 cropEdges[4];  // left, top, bottom, right
  u8 dveLinkKey;     // 0 none; n: key n follows this key's geometry
  u8 dveLinkMode;
  KeyDveTail tail;
  i16 dveTriple3[3];
  u32 dveValue6;
  i16 dveTriple4[3];
  KeyDvePair dvePair;
  i16 dveTriple5[3];
  KeyTransSetting settingA;  // key in (both ways while transLink is 1)
  KeyTransSetting settingB;  // key out
  u8 transLink;
  u8 settingBSelected;  // kept by the per-field update, never taken from a record
  u8 patternA[2];  // number, group
  u8 patternB[2];
  u8 auxFlag1;
  u8 dveTransMode;
  i16 fly34StartA[2];  // fly start X, Y of keys 3-4
  i16 fly34StartB[2];
  u8 fly34UseA;
  i16 fly12StartA[2];  // fly start X, Y of keys 1-2
  i16 fly12StartB[2];
  u8 fly12UseA;
  i16 dveTriple6[3];
  ModifySetting pageTurn;
  i16 dveTriple7[3];
  i16 dveTriple8[3];
  u8 auxFlag2;
  i16 dveTriple9[3];
  KeyUnchecked unchecked;
  LinkedPair linkedPair;
  RangePair range1;
  RangePair range2;
  u8 priority;  // layering level 0..3
  u8 group;     // keys in a group leave their transitions together
  u8 auxValue;
  KeyFlags flags;
  u8 keyOn;
  u8 stateFlag;
  u8 transStopped;
  u8 inTransition;
  KeyNamePair names;

  static constexpr auto wire() {
    using R = KzifKey;
    using rec::each;
    using rec::range;
    using rec::whole;
    constexpr auto hsl = whole(each(range(0, 3599), range(0, 1000), range(0, 1080)));
    constexpr auto edges = whole(range(-5000, 5000));
    constexpr auto unit = range(0, 1);
    return rec::list(
        rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel), rec::sub(&R::style), rec::sub(&R::adjust),
        rec::field(BIT_MATTE1, &R::matte1, hsl), rec::sub(&R::edge), rec::field(BIT_MATTE2, &R::matte2, hsl),
        rec::sub(&R::boxMask), rec::field(BIT_BOX_EDGES, &R::boxEdges, edges),
        rec::field(BIT_SHAPE_ON, &R::shapeOn, unit), rec::field(BIT_SHAPE_SOFTNESS, &R::shapeSoftness, range(0, 1000)),
        rec::field(BIT_MATTE3, &R::matte3, hsl),
        rec::field(BIT_SHAPE, &R::shape,
                   whole(each(range(-5000, 5000), range(-5000, 5000), range(0, 10000), range(0, 10000)))),
        rec::field(BIT_TRANS_KIND, &R::transKind, unit), rec::field(BIT_DVE_MATTE, &R::dveMatte, unit),
        rec::field(BIT_DVE_MATTE_PATTERN, &R::dveMattePattern, range(0, 4)), rec::sub(&R::dveBorder),
        rec::field(BIT_DVE_FLAG1, &R::dveFlag1, unit), rec::field(BIT_MATTE4, &R::matte4, hsl),
        rec::field(BIT_DVE_LOCATION, &R::dveLocation, whole(range(-10000, 10000))),
        rec::field(BIT_DVE_SIZE, &R::dveSize, range(0, 40000)),
        rec::field(BIT_DVE_TRIPLE1, &R::dveTriple1, whole(range(-5000, 5000))),
        rec::field(BIT_DVE_VALUE2, &R::dveValue2, range(0, 10000)),
        rec::field(BIT_DVE_ROTATION, &R::dveRotation, whole(range(-28800, 28800))), rec::sub(&R::dveAspect),
        rec::field(BIT_DVE_TRIPLE2, &R::dveTriple2, whole(range(-5000, 5000))),
        rec::field(BIT_DVE_VALUE3, &R::dveValue3, range(-100, 100)),
        rec::field(BIT_DVE_VALUE4, &R::dveValue4, range(0, 65)), rec::sub(&R::dveCrop),
        rec::field(BIT_DVE_VALUE5, &R::dveValue5, range(-5000, 5000)),
        rec::field(BIT_CROP_EDGES, &R::cropEdges, edges), rec::field(BIT_DVE_LINK_KEY, &R::dveLinkKey, range(0, 4)),
        rec::field(BIT_DVE_LINK_MODE, &R::dveLinkMode, range(0, 3)),
        rec::field(BIT_DVE_TRIPLE3, &R::dveTriple3, whole(range(-10000, 10000))),
        rec::field(BIT_DVE_VALUE6, &R::dveValue6, range(0, 40000)),
        rec::field(BIT_DVE_TRIPLE4, &R::dveTriple4, whole(range(-720, 720))), rec::sub(&R::dvePair),
        rec::field(BIT_DVE_TRIPLE5, &R::dveTriple5, whole(range(-5000, 5000))), rec::sub(&R::settingA),
        rec::sub(&R::settingB), rec::field(BIT_TRANS_LINK, &R::transLink, unit),
        rec::field(BIT_SETTING_B_SELECTED, &R::settingBSelected, unit),
        rec::field(BIT_PATTERN_A, &R::patternA), rec::field(BIT_PATTERN_B, &R::patternB),
        rec::field(BIT_AUX_FLAG1, &R::auxFlag1, unit), rec::field(BIT_DVE_TRANS_MODE, &R::dveTransMode, range(0, 2)),
        rec::field(BIT_FLY34_A, &R::fly34StartA, whole(range(-10000, 10000))),
        rec::field(BIT_FLY34_B, &R::fly34StartB, whole(range(-10000, 10000))),
        rec::field(BIT_FLY34_USE_A, &R::fly34UseA, unit),
        rec::field(BIT_FLY12_A, &R::fly12StartA, whole(range(-10000, 10000))),
        rec::field(BIT_FLY12_B, &R::fly12StartB, whole(range(-10000, 10000))),
        rec::field(BIT_FLY12_USE_A, &R::fly12UseA, unit),
        rec::field(BIT_DVE_TRIPLE6, &R::dveTriple6, whole(range(-40, 40))), rec::sub(&R::pageTurn),
        rec::field(BIT_DVE_TRIPLE7, &R::dveTriple7, whole(range(-40, 40))),
        rec::field(BIT_DVE_TRIPLE8, &R::dveTriple8, whole(range(-40, 40))),
        rec::field(BIT_AUX_FLAG2, &R::auxFlag2, unit),
        rec::field(BIT_DVE_TRIPLE9, &R::dveTriple9, whole(range(-500, 500))), rec::sub(&R::unchecked),
        rec::sub(&R::linkedPair), rec::sub(&R::range1), rec::sub(&R::range2),
        rec::field(BIT_PRIORITY, &R::priority, range(0, 3)), rec::field(BIT_GROUP, &R::group, unit),
        rec::field(BIT_AUX_VALUE, &R::auxValue, range(0, 32)), rec::sub(&R::flags),
        rec::field(BIT_KEY_ON, &R::keyOn, unit), rec::field(BIT_STATE_FLAG, &R::stateFlag, unit),
        rec::field(BIT_TRANS_STOPPED, &R::transStopped, unit), rec::field(BIT_IN_TRANSITION, &R::inTransition, unit),
        rec::sub(&R::names), rec::sub(&R::tail));
  }

  // Record operations of the other keyer code (commands, hooks, snapshots). merge takes the
  // masked fields of src as they are (they were checked when they came in) and sets their bits;
  // the M/E and channel are the holder's to stamp.
  static void merge(KzifKey& dst, const KzifKey& src) { rec::merge(dst, src, rec::Checks::Skip); }
  // Every field of src with every mask bit set; the names as the text rule has them.
  static void assignAll(KzifKey& dst, const KzifKey& src);
  static void clear(KzifKey& r) { r = KzifKey{}; }

  bool has(int bit) const { return (mask[bit / 32] & (1u << (bit % 32))) != 0; }
  void set(int bit) { mask[bit / 32] |= 1u << (bit % 32); }
  void drop(int bit) { mask[bit / 32] &= ~(1u << (bit % 32)); }
};
static_assert(sizeof(KzifKey) == 420);
static_assert(offsetof(KzifKey, me) == 8);
static_assert(offsetof(KzifKey, channel) == 10);
static_assert(offsetof(KzifKey, style) == 12);
static_assert(offsetof(KzifKey, adjust) == 24);
static_assert(offsetof(KzifKey, matte1) == 36);
static_assert(offsetof(KzifKey, edge) == 44);
static_assert(offsetof(KzifKey, matte2) == 56);
static_assert(offsetof(KzifKey, boxMask) == 64);
static_assert(offsetof(KzifKey, boxEdges) == 72);
static_assert(offsetof(KzifKey, shapeOn) == 80);
static_assert(offsetof(KzifKey, shapeSoftness) == 82);
static_assert(offsetof(KzifKey, matte3) == 84);
static_assert(offsetof(KzifKey, shape) == 90);
static_assert(offsetof(KzifKey, transKind) == 98);
static_assert(offsetof(KzifKey, dveBorder) == 104);
static_assert(offsetof(KzifKey, dveFlag1) == 116);
static_assert(offsetof(KzifKey, matte4) == 118);
static_assert(offsetof(KzifKey, dveLocation) == 124);
static_assert(offsetof(KzifKey, dveSize) == 132);
static_assert(offsetof(KzifKey, dveValue2) == 144);
static_assert(offsetof(KzifKey, dveRotation) == 148);
static_assert(offsetof(KzifKey, dveAspect) == 156);
static_assert(offsetof(KzifKey, dveTriple2) == 164);
static_assert(offsetof(KzifKey, dveCrop) == 176);
static_assert(offsetof(KzifKey, dveValue5) == 184);
static_assert(offsetof(KzifKey, cropEdges) == 186);
static_assert(offsetof(KzifKey, dveLinkKey) == 194);
static_assert(offsetof(KzifKey, dveLinkMode) == 195);
static_assert(offsetof(KzifKey, tail) == 196);
static_assert(offsetof(KzifKey, dveTriple3) == 204);
static_assert(offsetof(KzifKey, dveValue6) == 212);
static_assert(offsetof(KzifKey, dvePair) == 224);
static_assert(offsetof(KzifKey, settingA) == 240);
static_assert(offsetof(KzifKey, settingB) == 248);
static_assert(offsetof(KzifKey, transLink) == 256);
static_assert(offsetof(KzifKey, patternA) == 258);
static_assert(offsetof(KzifKey, fly34StartA) == 264);
static_assert(offsetof(KzifKey, fly12StartA) == 274);
static_assert(offsetof(KzifKey, dveTriple6) == 284);
static_assert(offsetof(KzifKey, pageTurn) == 292);
static_assert(offsetof(KzifKey, auxFlag2) == 316);
static_assert(offsetof(KzifKey, unchecked) == 324);
static_assert(offsetof(KzifKey, linkedPair) == 336);
static_assert(offsetof(KzifKey, range1) == 344);
static_assert(offsetof(KzifKey, range2) == 356);
static_assert(offsetof(KzifKey, priority) == 368);
static_assert(offsetof(KzifKey, flags) == 372);
static_assert(offsetof(KzifKey, keyOn) == 380);
static_assert(offsetof(KzifKey, inTransition) == 383);
static_assert(offsetof(KzifKey, names) == 384);

// ---- the key command ---------------------------------------------------------------------------
// Wire body (15 bytes): u8 byte1, u8 byte2 (echoed); u16 command (0 copies key DVE settings);
// i16 result (ignored when received; 0 or -2 in the answer); u8 target M/E; u32 mask of the codes
// (echoed, not tested); u8 source code per target key 1..4 (0 leaves the key alone). Answered by
// the same body with the result set.
struct KzifKeyCmd {
  static constexpr int TYPE_ID = 74;
  static constexpr const char* NAME = "KzifKeyCmd";
  static constexpr u16 COPY_DVE = 0;
  static constexpr i16 RESULT_OK = 0;
  static constexpr i16 RESULT_UNKNOWN_COMMAND = -2;

  u8 byte1;
  u8 byte2;
  u16 command;
  i16 result;
  u8 targetMe;
  u32 codeMask;
  u8 sourceCodes[4];

  static constexpr auto wire() {
    using R = KzifKeyCmd;
    return rec::list(rec::plain(&R::byte1), rec::plain(&R::byte2), rec::plain(&R::command), rec::plain(&R::result),
                     rec::plain(&R::targetMe), rec::plain(&R::codeMask), rec::plain(&R::sourceCodes));
  }
};
static_assert(rec::wireSizeOf<KzifKeyCmd>() == 15);

// The key a source code of the key command names: code c (1..32) is M/E (c-1)/8, plus 4 when
// (c-1) mod 8 is 4 or more, key (c-1) mod 4. `valid` only for M/E 0..3 (codes 1-4, 9-12, 17-20,
// 25-28).
struct KeyCode {
  bool valid = false;
  int me = 0;
  int key = 0;
};
KeyCode decodeKeyCode(int code);

namespace category {

class CategoryBus;

class CategoryKey : public CategoryCommon<KzifKey> {
 public:
  static constexpr int N_KEYS = KzifKey::N_CHANNELS;
  static constexpr i32 NO_REQUEST = -1;
  static constexpr i32 COLOR_SCALE = 10000;

  // What the per-field update keeps of a key's colours: the last converted Y, Cb, Cr of matte
  // colours 1 and 2.
  struct ColorBlock {
    KzifKey* record = nullptr;
    i32 scale = COLOR_SCALE;
    std::array<u16, 6> ycbcr{};
  };

  // The working object of one key command.
  struct KeyCopyRequest {
    i32 targetMe = -1;
    std::array<u8, N_KEYS> codes{};
    std::array<KzifKey, N_KEYS> changes{};
    void reset() {
      targetMe = -1;
      codes.fill(0);
      for (KzifKey& c : changes) KzifKey::clear(c);
    }
  };

  CategoryKey();
  // The keyers of M/E me (0..3).
  static CategoryKey& get(int me);

  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void receiveRouted(int id, RequestReceiver& rx) override;
  // A key record is merged from its wire body: the fields up to the names where they lie, the
  // names and what follows them decoded; as assign of the decoded record.
  void receive(RequestReceiver& rx) override;
  void assign(const KzifKey& in, int idx) override;
  // Per field, under the M/E's context: layering, then each key's routing, colours, key process,
  // shape, transition and DVE links, then the key state a record asked for.
  void update() override;

  // The live record of key ch.
  const KzifKey& data(int ch) const { return record(ch); }
  int keyType(int ch) const { return record(ch).style.keyType; }
  // Setting A while the transition link is 1, else B while setting B is selected, else A.
  const KeyTransSetting& activeTransSetting(int ch) const;
  int activeTransType(int ch) const { return activeTransSetting(ch).type; }

  // Hooks of the fader event table; each writes the live record and sets the field's mask bit.
  void setKeyOn(int ch, int v);
  void setInTransition(int ch, int v);
  void setTransStopped(int ch, int v);
  // The type of the active transition setting (both while linked); 2 takes the position from
  // the external value.
  void setTransType(int ch, int v);
  // Steps flag and type of the active setting: (0, any) -> (1, 0) -> (1, 1) -> (0, 0).
  void cycleTransSetting(int ch);
  void toggleTransKind(int ch);

  // Merges a change record into key ch (its fields as they are), stamps the M/E and the key and
  // marks it changed.
  void mergeInto(int ch, const KzifKey& change);

  // State kept for the per-field update.
  i32 requestedKeyState(int ch) const { return requested_[slot(ch)]; }
  void clearRequestedKeyState(int ch) { requested_[slot(ch)] = NO_REQUEST; }
  f32 externalPosition(int ch) const { return externalPosition_[slot(ch)]; }
  const ColorBlock& colorBlock(int ch) const { return colors_[slot(ch)]; }
  KeyTransition& keyTransition(int ch) { return transitions_[slot(ch)]; }
  KeyDveUpdater& keyDve(int ch) { return dves_[slot(ch)]; }

 private:
  static std::size_t slot(int ch) {
    checkChannel(ch);
    return static_cast<std::size_t>(ch);
  }
  // What the checks after a key record's merge read of the record as it came.
  struct Asked {
    u32 mask[2];
    bool touchesKeyMemory;
    KeyPair16 aspect;
    LinkedPair linkedPair;
    bool has(int bit) const { return (mask[bit / 32] & (1u << (bit % 32))) != 0; }
  };
  // The record as it came is `in`, or its wire body: `head` and the decoded `rest`.
  void assignAsked(int idx, const Asked& asked, const KzifKey* in, const u8* head, const KzifKey* rest);
  void copyKeyDve(const KzifKeyCmd& cmd);
  void applyPriority(int idx, int newPriority);
  void carryOutRequestedKeyState(int ch);
  void applyLayering();
  // What every key of one field's update reads alike.
  struct FieldInputs {
    const KzifSystem& system;
    bool reapply;
    CategoryBus* bus;  // routes the keys; none when no M/E has buses
    std::array<u8, 2> imageKey;  // image filters 1 and 2 keyed through keys 1 and 2
    const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions;
  };
  void updateKey(int ch, const FieldInputs& in);
  void propagateDveLink(int ch);
  void copyGeometryToFollower(const KzifKey& source, int follower);
  int convertedFill(int ch, int videoFormat, const CategoryBus* bus) const;

  // The setter blocks of a key's update.
  static constexpr u8 NOT_HELD = 0;
  static constexpr u8 PATH_KEY_PROCESS = 1;  // mattes 1-3, box mask, clip and gain, shape
  static constexpr u8 PATH_DVE_MATTE = 2;    // matte 4 and shape

  // What the update hands the drivers for one key's colours, key process and shape window. Every
  // field writes it; it is worked out again when the record may have been written, the video
  // format changed or the system asks for everything again; a matte colour only once its setter
  // is written.
  static constexpr u8 ALL_MATTES = 0xF;
  struct KeyDriverSettings {
    i32 format = -1;  // -1: nothing worked out yet
    std::array<YCbCr10, 4> matte{};  // matte colours 1..4
    u8 mattesDue = 0;                // bit n: matte colour n + 1 not yet converted since worked out
    keyproc::KeyProcessSettings process;
    f32 shapeX = 0.0f, shapeY = 0.0f, shapeWidth = 0.0f, shapeHeight = 0.0f, shapeSoftness = 0.0f;
    bool colorsToStore = false;  // mattes 1 and 2 not yet in the colour block
    // The setters of the key's block last took these settings along `heldPath` under this context,
    // with the keyer's own count of setter changes and the shape setter's entry as they were
    // then; while all of them hold and no call is traced, every one of them would find its
    // arguments again and change nothing (whatever setters of anything else took meanwhile).
    u8 heldPath = NOT_HELD;
    int heldContext = -1;
    u32 heldKeyer = 0;
    u32 heldShape = 0;
    const u32* keyerCount = nullptr;  // the count and the shape entry's stamp of that context
    const u32* shapeStamp = nullptr;
  };
  static bool settersHold(const KeyDriverSettings& s, u8 path);
  static void holdSetters(KeyDriverSettings& s, int ch, u8 path);
  // Inlined into the update: sixteen keys a field, and on the unchanged path little but setter
  // calls.
  [[gnu::always_inline]] inline KeyDriverSettings& driverSettings(int ch, int videoFormat, bool reapply);
  [[gnu::noinline]] void workOutDriverSettings(int ch, int videoFormat, KeyDriverSettings& s);
  [[gnu::always_inline]] inline const YCbCr10& matte(int ch, int n, int videoFormat, KeyDriverSettings& s);
  [[gnu::always_inline]] inline void applyKeyProcess(int ch, int videoFormat, KeyDriverSettings& s, bool reapply);
  [[gnu::always_inline]] inline void applyEdgeIfPending(int ch, bool reapply);
  [[gnu::always_inline]] inline void applyShapeWindow(int ch, int videoFormat, KeyDriverSettings& s);

  std::array<ColorBlock, N_KEYS> colors_{};
  std::array<KeyTransition, N_KEYS> transitions_{KeyTransition(0), KeyTransition(1), KeyTransition(2), KeyTransition(3)};
  std::array<KeyDveUpdater, N_KEYS> dves_{KeyDveUpdater(0), KeyDveUpdater(1), KeyDveUpdater(2), KeyDveUpdater(3)};
  std::array<u8, N_KEYS> dveGeometryChanged_{};
  // Matte colours 1..4 of each key as last converted.
  std::array<std::array<keyproc::ColorCache, 4>, N_KEYS> colorCaches_{};
  std::array<KeyDriverSettings, N_KEYS> driverSettings_{};
  std::array<f32, N_KEYS> externalPosition_{};
  std::array<i32, N_KEYS> requested_{NO_REQUEST, NO_REQUEST, NO_REQUEST, NO_REQUEST};
};

}  // namespace category

// Brings the keyers' key-on, in-transition and transition-stopped fields in line with their
// entries of the fader event table (called by it every field, before its step).
void followKeyTransitions(const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions);

// The "on" byte of image filter `filter` (0..1) of M/E `me`: 1 keys the image effect through the
// key's wipe. Kept by the image effects (Main/image.cpp).
int imageFilterOn(int me, int filter);

void initCategoryKey();
