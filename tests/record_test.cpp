// Record machinery: big-endian wire layout, bounded reading, text fields, the masked merge with its
// checks, mask bookkeeping, and the wire and stored layouts of the system and mainframe records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/buttonevent.h"
#include "Main/mf_config.h"
#include "Main/system.h"

namespace {

using Bytes = std::vector<u8>;

struct Part {
  u32 mask;
  u8 level;  // bit 0, 0..9
  u16 code;  // bit 1, any

  static constexpr auto wire() {
    using R = Part;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::level, rec::range(0, 9)), rec::field(1, &R::code));
  }
};

// Wire: mask, me, channel, level, angle, count, gain, steps[3], name, part, pair[2]; 44 bytes
// plus the text length.
struct Probe {
  u32 mask;
  u8 me;
  u8 channel;
  u8 level;       // bit 0, 0..100
  i16 angle;      // bit 1, -45..45
  u32 count;      // bit 2, 1, 2, 4 or 8
  float gain;     // bit 3, 0..2
  u8 steps[3];    // bit 4, each 0..9
  rec::Text<12> name;  // bit 5
  Part part;
  Part pair[2];

  static constexpr auto wire() {
    using R = Probe;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel),
                     rec::field(0, &R::level, rec::range(0, 100)), rec::field(1, &R::angle, rec::range(-45, 45)),
                     rec::field(2, &R::count, rec::oneOf(1, 2, 4, 8)), rec::field(3, &R::gain, rec::rangeF(0.0f, 2.0f)),
                     rec::field(4, &R::steps, rec::range(0, 9)), rec::field(5, &R::name), rec::sub(&R::part),
                     rec::sub(&R::pair));
  }
};
constexpr std::size_t PROBE_FIXED = 44;
static_assert(rec::declaredBits<Probe>() == 0x3F && rec::declaredBits<Part>() == 0x3);
static_assert(rec::hasMe<Probe>() && rec::hasChannel<Probe>() && !rec::hasMe<Part>());

Probe sampleProbe() {
  Probe p{};
  p.mask = 0x3F;
  p.me = 2;
  p.channel = 1;
  p.level = 100;
  p.angle = -2;
  p.count = 0x12345678;
  p.gain = 1.5f;
  p.steps[0] = 1, p.steps[1] = 2, p.steps[2] = 3;
  p.name.set("abc");
  p.part = {0x1, 5, 0xBEEF};
  p.pair[0] = {0x2, 0, 0x0102};
  p.pair[1] = {0x0, 9, 0xFFFF};
  return p;
}

const Bytes kSampleWire = {
    0x00, 0x00, 0x00, 0x3F, 0x02, 0x01, 0x64, 0xFF, 0xFE, 0x12, 0x34, 0x56, 0x78,  // mask me ch level angle count
    0x3F, 0xC0, 0x00, 0x00, 0x01, 0x02, 0x03,                                      // gain steps
    0x00, 0x03, 'a',  'b',  'c',  0x00,                                            // name
    0x00, 0x00, 0x00, 0x01, 0x05, 0xBE, 0xEF,                                      // part
    0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x09, 0xFF, 0xFF,  // pair
};

template <class R>
Bytes encodeToBytes(const R& r) {
  Bytes out(rec::wireSize(r));
  rec::WireWriter w(out);
  rec::encode(w, r);
  EXPECT_TRUE(w.ok());
  EXPECT_EQ(w.size(), out.size());
  return out;
}

template <class R>
bool decodeFrom(const Bytes& bytes, R& r, std::size_t* consumed = nullptr) {
  rec::WireReader reader(bytes);
  const bool ok = rec::decode(reader, r);
  if (consumed) *consumed = reader.position();
  return ok;
}

// The sample with its name field replaced by the given wire bytes (length word included).
Bytes sampleWithName(const Bytes& nameBytes) {
  Bytes b(kSampleWire.begin(), kSampleWire.begin() + 20);
  b.insert(b.end(), nameBytes.begin(), nameBytes.end());
  b.insert(b.end(), kSampleWire.begin() + 26, kSampleWire.end());
  return b;
}

void expectSampleParts(const Probe& p) {
  EXPECT_EQ(p.part.mask, 1u);
  EXPECT_EQ(p.part.code, 0xBEEF);
  EXPECT_EQ(p.pair[0].code, 0x0102);
  EXPECT_EQ(p.pair[1].level, 9);
  EXPECT_EQ(p.pair[1].code, 0xFFFF);
}

// ---- wire ----------------------------------------------------------------------------------------

TEST(RecordWire, EncodesBigEndianWithoutPadding) {
  const Probe p = sampleProbe();
  EXPECT_EQ(rec::wireSize(p), PROBE_FIXED + 3);
  EXPECT_EQ(encodeToBytes(p), kSampleWire);
}

TEST(RecordWire, DecodeRoundTrip) {
  Probe p{};
  std::size_t consumed = 0;
  ASSERT_TRUE(decodeFrom(kSampleWire, p, &consumed));
  EXPECT_EQ(consumed, kSampleWire.size());
  EXPECT_EQ(p.mask, 0x3Fu);
  EXPECT_EQ(p.me, 2);
  EXPECT_EQ(p.channel, 1);
  EXPECT_EQ(p.angle, -2);
  EXPECT_EQ(p.count, 0x12345678u);
  EXPECT_EQ(p.gain, 1.5f);
  EXPECT_EQ(p.steps[2], 3);
  EXPECT_STREQ(p.name.chars, "abc");
  EXPECT_EQ(p.name.length, 3);
  expectSampleParts(p);
  EXPECT_EQ(encodeToBytes(p), kSampleWire);
}

TEST(RecordWire, BodyOneByteShortIsRefused) {
  Probe p{};
  EXPECT_FALSE(decodeFrom(Bytes(kSampleWire.begin(), kSampleWire.end() - 1), p));
  EXPECT_FALSE(decodeFrom(Bytes(kSampleWire.begin(), kSampleWire.begin() + 3), p));
  // A text length that runs past the body.
  Probe q{};
  EXPECT_FALSE(decodeFrom(sampleWithName({0x7F, 0xFF, 'a', 'b', 0x00}), q));
}

TEST(RecordWire, WriterRefusesToOverrun) {
  Bytes out(PROBE_FIXED);  // three bytes too few for "abc"
  rec::WireWriter w(out);
  rec::encode(w, sampleProbe());
  EXPECT_FALSE(w.ok());
  EXPECT_LE(w.size(), out.size());
}

// ---- texts -----------------------------------------------------------------------------------------

TEST(RecordText, NegativeLengthCarriesNoCharacters) {
  for (const Bytes& length : {Bytes{0x80, 0x00}, Bytes{0xFF, 0xFF}}) {
    const Bytes wire = sampleWithName(length);
    Probe p{};
    p.name.set("old");
    std::size_t consumed = 0;
    ASSERT_TRUE(decodeFrom(wire, p, &consumed));
    EXPECT_EQ(consumed, wire.size());
    EXPECT_EQ(p.name.length, 0);
    EXPECT_EQ(p.name.chars[0], '\0');
    expectSampleParts(p);  // the reader went on with the field after the text
  }
}

TEST(RecordText, OversizeTextKeepsWhatFitsAndConsumesTheRest) {
  Bytes name = {0x00, 20};
  for (char c = 'A'; c < 'A' + 20; ++c) name.push_back(static_cast<u8>(c));
  name.push_back(0);
  const Bytes wire = sampleWithName(name);
  Probe p{};
  std::size_t consumed = 0;
  ASSERT_TRUE(decodeFrom(wire, p, &consumed));
  EXPECT_EQ(consumed, wire.size());
  EXPECT_STREQ(p.name.chars, "ABCDEFGHIJKL");
  EXPECT_EQ(p.name.length, 12);
  expectSampleParts(p);
  EXPECT_EQ(rec::wireSize(p), PROBE_FIXED + 12);
}

TEST(RecordText, WireSizeIsFixedPartPlusTextLength) {
  Probe p = sampleProbe();
  p.name.set("");
  EXPECT_EQ(rec::wireSize(p), PROBE_FIXED);
  EXPECT_EQ(encodeToBytes(p), sampleWithName({0x00, 0x00, 0x00}));
  p.name.set("0123456789abcdef");  // cut to the capacity
  EXPECT_EQ(p.name.length, 12);
  EXPECT_EQ(rec::wireSize(p), PROBE_FIXED + 12);
  EXPECT_EQ(encodeToBytes(p).size(), PROBE_FIXED + 12);
}

TEST(RecordText, MergeTakesCharactersUpToTheFirstZero) {
  Probe dst{}, src{};
  dst.name.set("longer name");
  src.mask = 1u << 5;
  std::memcpy(src.name.chars, "ab\0cd", 6);
  src.name.length = 5;
  rec::merge(dst, src);
  EXPECT_EQ(dst.name.length, 2);
  EXPECT_EQ(std::memcmp(dst.name.chars, "ab\0\0\0\0\0\0\0\0\0\0", 13), 0);

  std::memset(src.name.chars, 'x', sizeof src.name.chars);  // no zero at all
  rec::merge(dst, src);
  EXPECT_EQ(dst.name.length, 12);
  EXPECT_EQ(dst.name.chars[12], '\0');
  EXPECT_EQ(dst.mask, 1u << 5);
}

// ---- merge -----------------------------------------------------------------------------------------

TEST(RecordMerge, DropsOnlyTheValuesThatFailTheirChecks) {
  Probe dst = sampleProbe();
  dst.mask = 1u << 5;  // a change already pending stays pending
  dst.level = 7, dst.angle = 3, dst.count = 4, dst.gain = 0.5f;
  dst.steps[0] = dst.steps[1] = dst.steps[2] = 0;
  Probe src{};
  src.mask = 0x1F;
  src.me = 3, src.channel = 9;
  src.level = 101;                                          // out of range
  src.angle = -45;                                          // lowest accepted
  src.count = 3;                                            // not in the list
  src.gain = std::numeric_limits<float>::quiet_NaN();       // NaN fails every range
  src.steps[0] = 9, src.steps[1] = 10, src.steps[2] = 1;    // one element out of range
  src.name.set("unmasked");

  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(dst.level, 7);
  EXPECT_EQ(dst.angle, -45);
  EXPECT_EQ(dst.count, 4u);
  EXPECT_EQ(dst.gain, 0.5f);
  EXPECT_EQ(dst.steps[0], 9);
  EXPECT_EQ(dst.steps[1], 0);
  EXPECT_EQ(dst.steps[2], 1);
  EXPECT_STREQ(dst.name.chars, "abc");
  EXPECT_EQ(dst.me, 2);  // never merged
  EXPECT_EQ(dst.channel, 1);
  EXPECT_EQ(dst.mask, (1u << 5) | (1u << 1) | (1u << 4));
  EXPECT_EQ(r.droppedBits, (1u << 0) | (1u << 2) | (1u << 3) | (1u << 4));
  EXPECT_EQ(r.droppedValues, 4);
  EXPECT_FALSE(r.clean());
}

TEST(RecordMerge, AcceptsRangeEndsAndIgnoresUnmaskedBadValues) {
  Probe dst{};
  Probe src{};
  src.mask = (1u << 0) | (1u << 2) | (1u << 3);
  src.level = 100, src.count = 8, src.gain = 2.0f;
  src.angle = 46;  // unmasked: neither taken nor counted
  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_TRUE(r.clean());
  EXPECT_EQ(r.droppedBits, 0u);
  EXPECT_EQ(dst.level, 100);
  EXPECT_EQ(dst.count, 8u);
  EXPECT_EQ(dst.gain, 2.0f);
  EXPECT_EQ(dst.angle, 0);
  EXPECT_EQ(dst.mask, src.mask);

  src.mask = 1u << 3;
  for (float bad : {-0.01f, 2.01f, std::numeric_limits<float>::infinity()}) {
    src.gain = bad;
    EXPECT_EQ(rec::merge(dst, src).droppedBits, 1u << 3) << bad;
    EXPECT_EQ(dst.gain, 2.0f);
  }
}

TEST(RecordMerge, SubRecordsMergeByTheirOwnMasks) {
  Probe dst{};
  Probe src{};
  src.part = {1u << 1, 99, 0x4242};  // level bad but unmasked
  src.pair[0] = {0, 3, 0x1111};      // nothing masked
  src.pair[1] = {0x3, 10, 0x2222};   // level out of range, code taken
  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(dst.mask, 0u);
  EXPECT_EQ(dst.part.mask, 1u << 1);
  EXPECT_EQ(dst.part.code, 0x4242);
  EXPECT_EQ(dst.part.level, 0);
  EXPECT_EQ(dst.pair[0].mask, 0u);
  EXPECT_EQ(dst.pair[0].code, 0);
  EXPECT_EQ(dst.pair[1].mask, 1u << 1);
  EXPECT_EQ(dst.pair[1].level, 0);
  EXPECT_EQ(dst.pair[1].code, 0x2222);
  EXPECT_EQ(r.droppedValues, 1);
}

// ---- masks and stamp -------------------------------------------------------------------------------

TEST(RecordMasks, SetClearAndAnyReachEverySubRecord) {
  Probe p{};
  EXPECT_FALSE(rec::anyMask(p));
  rec::setAllMasks(p);
  EXPECT_EQ(p.mask, 0x3Fu);
  EXPECT_EQ(p.part.mask, 0x3u);
  EXPECT_EQ(p.pair[0].mask, 0x3u);
  EXPECT_EQ(p.pair[1].mask, 0x3u);
  rec::clearMasks(p);
  EXPECT_EQ(p.mask | p.part.mask | p.pair[0].mask | p.pair[1].mask, 0u);
  EXPECT_FALSE(rec::anyMask(p));
  p.pair[1].mask = 1;  // only the last element of a sub-record array
  EXPECT_TRUE(rec::anyMask(p));
}

TEST(RecordMasks, StampSetsOnlyMeAndChannel) {
  Probe p = sampleProbe();
  rec::stamp(p, 3, 0);
  EXPECT_EQ(rec::meOf(p), 3);
  EXPECT_EQ(rec::channelOf(p), 0);
  p.me = 2, p.channel = 1;
  EXPECT_EQ(encodeToBytes(p), kSampleWire);
}

// ---- records of the system -------------------------------------------------------------------------

TEST(RecordLayouts, SystemWireIsNineBytesInFieldOrder) {
  KzifSystem s{};
  s.mask = 0x1F;
  s.videoFormat = 11;
  s.linkSuppress = 1;
  s.toggle2006 = 0;
  s.toggle2013 = 1;
  s.fieldSelect = 0xAB;
  const Bytes golden = {0x00, 0x00, 0x00, 0x1F, 0x0B, 0x01, 0x00, 0x01, 0xAB};
  EXPECT_EQ(encodeToBytes(s), golden);

  KzifSystem in{};
  ASSERT_TRUE(decodeFrom(golden, in));
  const u8* stored = reinterpret_cast<const u8*>(&in);
  EXPECT_EQ(stored[0], 0x1F);
  EXPECT_EQ(stored[8], 11);
  EXPECT_EQ(stored[10], 1);
  EXPECT_EQ(stored[108], 0xAB);
  EXPECT_EQ(stored[204], 1);

  KzifSystem dst{};
  in.videoFormat = 12;
  in.linkSuppress = 2;
  EXPECT_EQ(rec::merge(dst, in).droppedBits, 0x3u);
  EXPECT_EQ(dst.mask, 0x1Cu);
}

TEST(RecordLayouts, MainframeConfigWireAndStoredPositions) {
  KzifMainframeConfig c{};
  c.mask = 0x3;
  c.meConfig[7].previewKey[3] = 2;
  c.dskConfig.mask = 0x7F;
  c.dskConfig.programAssign[2] = 1;
  c.dskConfig.previewSelect = 5;
  c.sampleKeyer[95] = 1;
  c.selectedSampleKeyer = 31;
  const Bytes wire = encodeToBytes(c);
  ASSERT_EQ(wire.size(), 223u);  // 4 + 8 x 13 + 18 + 96 + 1
  EXPECT_EQ(wire[4 + 7 * 13 + 4 + 4 + 3], 2);
  EXPECT_EQ(wire[108 + 3], 0x7F);   // the DSK mask, big-endian
  EXPECT_EQ(wire[108 + 4 + 2 + 1 + 2], 1);  // programAssign[2]
  EXPECT_EQ(wire[108 + 17], 5);
  EXPECT_EQ(wire[126 + 95], 1);
  EXPECT_EQ(wire[222], 31);
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0) + 7, static_cast<long>(wire.size()));

  KzifMainframeConfig in{};
  ASSERT_TRUE(decodeFrom(wire, in));
  u8 stored[sizeof in];
  std::memcpy(stored, &in, sizeof in);
  EXPECT_EQ(stored[4 + 7 * 32 + 24 + 3], 2);
  EXPECT_EQ(stored[260], 0x7F);  // little-endian in the backup image
  EXPECT_EQ(stored[274], 1);
  EXPECT_EQ(stored[300], 5);
  EXPECT_EQ(stored[312 + 95], 1);
  EXPECT_EQ(stored[412], 31);
}

TEST(RecordLayouts, ButtonEventCarriesPlainFieldsAndReadsFlagsAsBooleans) {
  const Bytes wire = {0x12, 0x34, 0x07, 0xAB, 0xCD, 0x02, 0x03, 0x58, 0x06, 0x43, 0x01, 0xFF};
  internal::KzifButtonEvent e{};
  std::size_t consumed = 0;
  ASSERT_TRUE(decodeFrom(wire, e, &consumed));
  EXPECT_EQ(consumed, 12u);
  EXPECT_EQ(e.carried0, 0x1234);
  EXPECT_EQ(e.flag0, 1);
  EXPECT_EQ(e.carried1, 0xABCD);
  EXPECT_EQ(e.panel, 2);
  EXPECT_EQ(e.getMe(), 3);
  EXPECT_EQ(e.bus, 88);
  EXPECT_EQ(e.getCode(), 1603);
  EXPECT_EQ(e.state, 1);
  EXPECT_EQ(e.flag1, 1);
}

}  // namespace
