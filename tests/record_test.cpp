// Record machinery: big-endian wire layout, bounded reading, text fields, the masked merge with its
// checks, mask bookkeeping, and the wire and stored layouts of the system and mainframe records.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/button_event_record.h"
#include "Main/key.h"
#include "Main/mf_config.h"
#include "Main/system.h"

namespace {

using Bytes = std::vector<u8>;

struct Part {
  u32 mask;
  u8 level;  // bit 0, 0..9
  u16 code;  // bit 1, any
  static constexpr auto wire() {
    return rec::list(rec::mask(&Part::mask), rec::field(0, &Part::level, rec::range(0, 9)), rec::field(1, &Part::code));
  }
};

struct Probe {
  u32 mask;
  u8 me, channel;
  u8 level;       // bit 0, 0..100
  i16 angle;      // bit 1, -45..45
  u32 count;      // bit 2, 1, 2, 4 or 8
  float gain;     // bit 3, 0..2
  u8 steps[3];    // bit 4, each 0..9
  rec::Text<12> name;  // bit 5
  Part part, pair[2];
  static constexpr auto wire() {
    using R = Probe;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel),
                     rec::field(0, &R::level, rec::range(0, 100)), rec::field(1, &R::angle, rec::range(-45, 45)),
                     rec::field(2, &R::count, rec::oneOf(1, 2, 4, 8)), rec::field(3, &R::gain, rec::range(0, 2)),
                     rec::field(4, &R::steps, rec::range(0, 9)), rec::field(5, &R::name), rec::sub(&R::part),
                     rec::sub(&R::pair));
  }
};

const Probe kSample{0x3F, 2,  1, 100, -2, 0x12345678, 1.5f, {1, 2, 3}, {3, "abc"}, {0x1, 5, 0xBEEF},
                    {{0x2, 0, 0x0102}, {0x0, 9, 0xFFFF}}};

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

// False when the record is refused; a record that is read must use every byte.
template <class R>
bool decodeFrom(const Bytes& bytes, R& r) {
  rec::WireReader reader(bytes);
  const bool ok = rec::decode(reader, r);
  EXPECT_TRUE(!ok || reader.position() == bytes.size()) << reader.position() << " of " << bytes.size();
  return ok;
}

// The sample with its name field (length word included) replaced by the given wire bytes.
Bytes sampleWithName(const Bytes& nameBytes) {
  Bytes b(kSampleWire.begin(), kSampleWire.begin() + 20);
  b.insert(b.end(), nameBytes.begin(), nameBytes.end());
  b.insert(b.end(), kSampleWire.begin() + 26, kSampleWire.end());
  return b;
}

void expectBytesAt(const u8* bytes, std::initializer_list<std::pair<std::size_t, u8>> expected) {
  for (auto [offset, value] : expected) EXPECT_EQ(bytes[offset], value) << "offset " << offset;
}

TEST(RecordWire, BigEndianWithoutPaddingBothWaysAndShortBodiesOrBuffersRefused) {
  EXPECT_EQ(encodeToBytes(kSample), kSampleWire);
  Probe p{};
  ASSERT_TRUE(decodeFrom(kSampleWire, p));
  EXPECT_EQ(encodeToBytes(p), kSampleWire);
  EXPECT_FALSE(decodeFrom(Bytes(kSampleWire.begin(), kSampleWire.end() - 1), p));
  EXPECT_FALSE(decodeFrom(sampleWithName({0x7F, 0xFF, 'a', 'b', 0x00}), p));  // text runs past the body
  Bytes out(kSampleWire.size() - 1);
  rec::WireWriter w(out);
  EXPECT_FALSE((rec::encode(w, kSample), w.ok()));
}

// A record with a text is read and written in runs of fixed-size values around it: a body cut at
// any byte is refused, a buffer short by any number of bytes fails, and the mask words travel as
// they are, every bit or none.
TEST(RecordWire, RecordWithTextsIsRefusedAtEveryCutAndKeepsEveryMaskWord) {
  for (std::size_t n = 0; n < kSampleWire.size(); ++n) {
    Probe p{};
    EXPECT_FALSE(decodeFrom(Bytes(kSampleWire.begin(), kSampleWire.begin() + static_cast<long>(n)), p)) << n;
    Bytes out(n);
    rec::WireWriter w(out);
    rec::encode(w, kSample);
    EXPECT_FALSE(w.ok()) << n;
  }
  for (u32 mask : {0u, 0xFFFFFFFFu}) {
    Probe sent = kSample;
    sent.mask = mask;
    sent.part.mask = mask;
    Bytes expected = kSampleWire;
    for (std::size_t at : {std::size_t{0}, std::size_t{26}})
      for (std::size_t i = 0; i < 4; ++i) expected[at + i] = static_cast<u8>(mask >> (24 - 8 * i));
    EXPECT_EQ(encodeToBytes(sent), expected);
    Probe back{};
    ASSERT_TRUE(decodeFrom(expected, back));
    EXPECT_EQ(std::tuple(back.mask, back.part.mask, back.angle, back.name.length, back.pair[1].code),
              std::tuple(mask, mask, i16{-2}, i16{3}, u16{0xFFFF}));
  }
}

// A record without texts is read and written as one run of known size: the byte swaps of its
// tables must land every value where the list puts it, and the run is refused whole when the body
// is one byte short.
struct Table {
  u32 mask;
  i16 values[3];  // bit 0, each -100..100
  float gain;     // bit 1, any
  u8 on;          // carried, boolean
  Part entry[2];
  static constexpr auto wire() {
    using R = Table;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::values, rec::range(-100, 100)), rec::field(1, &R::gain),
                     rec::plain(&R::on, rec::boolean()), rec::sub(&R::entry));
  }
};
static_assert(rec::hasFixedWireSize<Table>() && rec::wireSizeOf<Table>() == 29);

TEST(RecordWire, FixedSizeTableSwapsEveryValueAndIsRefusedWholeWhenOneByteShort) {
  const Bytes wire = {0x00, 0x00, 0x00, 0x03, 0xFF, 0x9C, 0x00, 0x65, 0x00, 0x64,  // mask values
                      0xBF, 0xC0, 0x00, 0x00, 0x07,                                // gain on
                      0x00, 0x00, 0x00, 0x03, 0x0A, 0x12, 0x34,                    // entry 0
                      0x00, 0x00, 0x00, 0x01, 0x09, 0xAB, 0xCD};                   // entry 1
  Table t{};
  ASSERT_TRUE(decodeFrom(wire, t));
  EXPECT_EQ((std::array{t.values[0], t.values[1], t.values[2]}), (std::array<i16, 3>{-100, 101, 100}));
  EXPECT_EQ(t.gain, -1.5f);
  EXPECT_EQ(t.on, 1);
  EXPECT_EQ(t.entry[0].code, 0x1234);
  EXPECT_EQ(t.entry[1].level, 9);
  t.on = 0x07;  // what is stored goes out as it is
  EXPECT_EQ(encodeToBytes(t), wire);
  Table short_{};
  EXPECT_FALSE(decodeFrom(Bytes(wire.begin(), wire.end() - 1), short_));

  // The element out of range alone is refused, its neighbours and the other fields are taken; so
  // is the table entry's level of 10, while its code and the other entry go in.
  Table live{};
  const rec::MergeResult r = rec::merge(live, t);
  EXPECT_EQ((std::array{live.values[0], live.values[1], live.values[2]}), (std::array<i16, 3>{-100, 0, 100}));
  EXPECT_EQ(r.droppedValues, 2);
  EXPECT_EQ(r.droppedBits, 1u);
  EXPECT_EQ(live.mask, 0x3u);
  EXPECT_EQ(live.gain, -1.5f);
  EXPECT_TRUE(live.entry[0].level == 0 && live.entry[0].code == 0x1234 && live.entry[0].mask == 0x2);
  EXPECT_TRUE(live.entry[1].level == 9 && live.entry[1].mask == 0x1);
}

TEST(RecordText, NegativeLengthCarriesNothingOversizeKeepsWhatFitsAndMergeKeepsEveryCountedCharacter) {
  const Bytes oversize = {0x00, 20, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                          'K',  'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U'};
  // The length sent is the text: the terminator byte is never a character (X and C here), a zero
  // among the characters is one, and a negative length stays as sent so that a text check can
  // refuse it (it still writes as empty).
  const std::tuple<Bytes, std::string, int> cases[] = {{{0x80, 0x00}, "", -32768},
                                                       {oversize, "ABCDEFGHIJKL", 12},
                                                       {{0x00, 0x00, 'X'}, "", 0},
                                                       {{0x00, 0x02, 'A', 'B', 'C'}, "AB", 2},
                                                       {{0x00, 0x03, 'a', 0x00, 'b', 0x00}, std::string("a\0b", 3), 3}};
  for (const auto& [nameWire, kept, length] : cases) {
    Probe p{.name = {3, "old"}};
    ASSERT_TRUE(decodeFrom(sampleWithName(nameWire), p));  // reading goes on after the text
    EXPECT_EQ(std::string(p.name.chars, sizeof p.name.chars), kept + std::string(13 - kept.size(), '\0'));
    EXPECT_EQ(p.name.length, length);
    Bytes nameOut = {0x00, static_cast<u8>(kept.size())};
    nameOut.insert(nameOut.end(), kept.begin(), kept.end());
    nameOut.push_back(0x00);
    EXPECT_EQ(encodeToBytes(p), sampleWithName(nameOut));
  }
  Probe dst{.name = {11, "longer name"}}, src{.mask = 1u << 5, .name = {5, "ab\0cd"}};
  rec::merge(dst, src);
  EXPECT_TRUE(dst.name.length == 5 && std::memcmp(dst.name.chars, "ab\0cd\0\0\0\0\0\0\0\0", 13) == 0);
}

TEST(RecordText, EchoedTextKeepsItsLengthAndSendsAZeroTerminator) {
  struct Echo {
    rec::EchoText<4> text;
    u8 after;
    static constexpr auto wire() { return rec::list(rec::plain(&Echo::text), rec::plain(&Echo::after)); }
  };
  // Two characters and a C in the terminator byte; six characters of which four are kept; none.
  const std::pair<Bytes, Bytes> cases[] = {
      {{0x00, 0x02, 'A', 'B', 'C', 0x07}, {0x00, 0x02, 'A', 'B', 0x00, 0x07}},
      {{0x00, 0x06, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0x07}, {0x00, 0x06, 'a', 'b', 'c', 'd', 0x00, 0x00, 0x00, 0x07}},
      {{0xFF, 0xFF, 0x07}, {0xFF, 0xFF, 0x07}}};
  for (const auto& [in, out] : cases) {
    Echo e{};
    ASSERT_TRUE(decodeFrom(in, e));
    EXPECT_EQ(encodeToBytes(e), out);
  }
}

TEST(RecordMerge, DropsOnlyTheValuesThatFailTheirChecks) {
  Probe dst = kSample;
  dst.mask = 1u << 5;  // a change already pending stays pending
  // Level over its range, angle at its lowest, count not in the list, NaN gain, one step over; me,
  // channel and the unmasked name are never taken.
  Probe src{0x1F, 3, 9, 101, -45, 3, std::numeric_limits<float>::quiet_NaN(), {9, 10, 1}, {8, "unmasked"}};
  src.part = {1u << 1, 99, 0x4242};  // sub-records by their own masks: level bad but unmasked
  src.pair[1] = {0x3, 10, 0x2222};   // level out of range, code taken
  Probe expected = dst;
  expected.angle = -45, expected.steps[0] = 9, expected.steps[2] = 1;
  expected.mask = (1u << 5) | (1u << 1) | (1u << 4);
  expected.part = {0x1 | 1u << 1, 5, 0x4242}, expected.pair[1] = {1u << 1, 9, 0x2222};

  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(encodeToBytes(dst), encodeToBytes(expected));
  EXPECT_EQ(r.droppedBits, (1u << 0) | (1u << 2) | (1u << 3) | (1u << 4));
  EXPECT_EQ(r.droppedValues, 5);

  // A float range holds both its ends and nothing past either.
  const std::pair<float, bool> gains[] = {{std::nextafter(0.0f, -1.0f), false}, {0.0f, true}, {2.0f, true},
                                          {std::nextafter(2.0f, 3.0f), false}, {-1.5f, false}};
  for (const auto& [gain, taken] : gains) {
    Probe live = kSample, in{};
    in.mask = 1u << 3, in.gain = gain;
    const rec::MergeResult m = rec::merge(live, in);
    EXPECT_EQ(std::pair(live.gain, m.droppedValues), std::pair(taken ? gain : kSample.gain, taken ? 0 : 1)) << gain;
  }
}

TEST(RecordMerge, TableEntriesWithEveryFieldMarkedAreTakenWholeUnlessAValueFails) {
  // Entry 0 wholly marked and valid; entry 1 wholly marked with its level out of range; with a
  // bit no field has, entry 1 is merged field by field and the odd bit is not taken.
  Probe dst = kSample;
  dst.pair[0].mask = 1u << 1, dst.pair[1].mask = 0;
  Probe src{};
  src.pair[0] = {0x3, 9, 0x1111};
  src.pair[1] = {0x3, 10, 0x2222};
  Probe expected = dst;
  expected.pair[0] = {0x3, 9, 0x1111}, expected.pair[1] = {1u << 1, 9, 0x2222};
  EXPECT_EQ(rec::merge(dst, src).droppedValues, 1);
  EXPECT_EQ(encodeToBytes(dst), encodeToBytes(expected));

  src.pair[1] = {0x7, 4, 0x3333};
  expected.pair[1] = {0x3, 4, 0x3333};
  EXPECT_EQ(rec::merge(dst, src).droppedValues, 0);
  EXPECT_EQ(encodeToBytes(dst), encodeToBytes(expected));
  // Unchecked, the out-of-range level is taken as it is.
  src.pair[1] = {0x3, 10, 0x4444};
  expected.pair[1] = {0x3, 10, 0x4444};
  rec::merge(dst, src, rec::Checks::Skip);
  EXPECT_EQ(encodeToBytes(dst), encodeToBytes(expected));
}

// A triple checked element by element against ranges of its own, taken whole or not at all, and
// a text with more room than it may fill.
struct Colors {
  u32 mask;
  i16 hsl[3];    // bit 0, whole: 0..3599, 0..1000, 0..1080
  i16 pair[2];   // bit 1, each on its own: 0..9, 10..19
  rec::Text<4, 8> tag;  // bit 2
  static constexpr auto wire() {
    using R = Colors;
    return rec::list(rec::mask(&R::mask),
                     rec::field(0, &R::hsl, rec::whole(rec::each(rec::range(0, 3599), rec::range(0, 1000), rec::range(0, 1080)))),
                     rec::field(1, &R::pair, rec::each(rec::range(0, 9), rec::range(10, 19))), rec::field(2, &R::tag));
  }
};

TEST(RecordMerge, WholeArraysAllOrNothingEachElementItsOwnCheckAndUncheckedTakesAll) {
  Colors dst{};
  Colors src{0x3, {3599, 1001, 0}, {10, 10}, {}};
  rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(std::tuple(dst.mask, dst.hsl[0], dst.pair[0], dst.pair[1]), std::tuple(0x2u, i16{0}, i16{0}, i16{10}));
  EXPECT_EQ(std::pair(r.droppedBits, r.droppedValues), std::pair(u64{0x3}, 2));
  src.hsl[1] = 1000, rec::merge(dst, src);
  EXPECT_EQ(std::tuple(dst.hsl[0], dst.hsl[1], dst.hsl[2]), std::tuple(i16{3599}, i16{1000}, i16{0}));
  src.hsl[2] = -1;
  EXPECT_TRUE(rec::merge(dst, src, rec::Checks::Skip).clean());
  EXPECT_EQ(std::tuple(dst.hsl[2], dst.pair[0]), std::tuple(i16{-1}, i16{10}));

  // Four characters kept of nine, the other four bytes of room zero, and a stored text with no zero
  // brought back to the rule.
  Colors text{};
  ASSERT_TRUE(decodeFrom(Bytes{0, 0, 0, 4, 0, 3, 0, 5, 0, 5, 0, 1, 0, 2, 0, 9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0}, text));
  EXPECT_EQ(std::string(text.tag.chars, 8), std::string("abcd\0\0\0\0", 8));
  text.tag.length = 99, std::memset(text.tag.chars, 'z', 8);
  rec::normalizeTexts(text);
  EXPECT_EQ(std::pair(+text.tag.length, std::string(text.tag.chars)), std::pair(4, std::string("zzzz")));
}

// A record with every bit marked is taken without a test per field when every value passes; the
// outcome must be that of the field-by-field merge whatever value sits at or one past an edge.
TEST(RecordMerge, EveryBitMarkedTakesWhatAFieldByFieldMergeTakesAtEveryRangeEdge) {
  Probe base = kSample;
  base.mask = 0, base.part.mask = 0, base.pair[0].mask = 0, base.pair[1].mask = 1u << 1;
  Probe full = kSample;
  full.level = 7, full.angle = 3, full.count = 4, full.gain = 0.5f, full.steps[1] = 8, full.name.set("xy");
  full.part = {0x3, 6, 0x0A0A}, full.pair[0] = {0x3, 1, 0x0B0B}, full.pair[1] = {0x3, 2, 0x0C0C};
  full.mask = 0x3F;
  const std::vector<std::pair<const char*, void (*)(Probe&)>> edges = {
      {"all valid", [](Probe&) {}},
      {"level 100", [](Probe& p) { p.level = 100; }},
      {"level 101", [](Probe& p) { p.level = 101; }},
      {"angle -45", [](Probe& p) { p.angle = -45; }},
      {"angle -46", [](Probe& p) { p.angle = -46; }},
      {"angle 46", [](Probe& p) { p.angle = 46; }},
      {"count 3", [](Probe& p) { p.count = 3; }},
      {"gain 2.0001", [](Probe& p) { p.gain = 2.0001f; }},
      {"gain -0.0001", [](Probe& p) { p.gain = -0.0001f; }},
      {"steps 0 and 10", [](Probe& p) { p.steps[0] = 0, p.steps[2] = 10; }},
      {"sub level 10", [](Probe& p) { p.part.level = 10; }},
      {"extra mask bit", [](Probe& p) { p.mask |= 1u << 9; }},
  };
  for (const auto& [name, edit] : edges) {
    SCOPED_TRACE(name);
    Probe src = full;
    edit(src);
    for (rec::Checks checks : {rec::Checks::Apply, rec::Checks::Skip}) {
      Probe whole = base;
      const rec::MergeResult r = rec::merge(whole, src, checks);
      // The same values as two records, each leaving half the bits unmarked.
      Probe halves = base;
      Probe first = src, second = src;
      first.mask &= 0x7, second.mask &= ~0x7u;
      second.part.mask = 0, second.pair[0].mask = 0, second.pair[1].mask = 0;
      const rec::MergeResult r1 = rec::merge(halves, first, checks);
      const rec::MergeResult r2 = rec::merge(halves, second, checks);
      EXPECT_EQ(encodeToBytes(whole), encodeToBytes(halves));
      EXPECT_EQ(r.droppedBits, r1.droppedBits | r2.droppedBits);
      EXPECT_EQ(r.droppedValues, r1.droppedValues + r2.droppedValues);
    }
  }

  // One value out of range: the rest taken and marked, that one kept and refused alone.
  Probe dst = base;
  Probe src = full;
  src.angle = 46;
  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(std::tuple(dst.mask, dst.angle, dst.level, dst.name.length), std::tuple(0x3Du, kSample.angle, u8{7}, i16{2}));
  EXPECT_EQ(std::pair(r.droppedBits, r.droppedValues), std::pair(u64{1} << 1, 1));
  // Equal to the live record: nothing refused, no value moved, the marks set as by any merge.
  Probe same = dst;
  same.mask = 0x3F;
  const Bytes before = encodeToBytes(dst);
  EXPECT_TRUE(rec::merge(dst, same).clean());
  Bytes expected = before;
  expected[3] = 0x3F;
  EXPECT_EQ(encodeToBytes(dst), expected);
}

// The keyer record: two mask words and fourteen sub-records, every bit marked, with a value of
// word 1, of word 0 and of a sub-record one past its range in turn.
TEST(RecordMerge, KeyerRecordEveryBitMarkedRefusesOnlyTheValueOutOfRange) {
  KzifKey valid{};
  valid.dveBorder.width = 1;
  valid.dveAspect.aspectA = valid.dveAspect.aspectB = 5000;
  valid.names.name1.set("fill");
  rec::setAllMasks(valid);
  KzifKey live{};
  live.priority = 2, live.dveSize = 7, live.style.keyType = 1;
  const std::vector<std::pair<const char*, void (*)(KzifKey&)>> edges = {
      {"all valid", [](KzifKey&) {}},
      {"priority 4 (word 1)", [](KzifKey& k) { k.priority = 4; }},
      {"dve size 40001 (word 0)", [](KzifKey& k) { k.dveSize = 40001; }},
      {"matte hue 3600", [](KzifKey& k) { k.matte1[0] = 3600; }},
      {"key type 4 (sub-record)", [](KzifKey& k) { k.style.keyType = 4; }},
  };
  for (const auto& [name, edit] : edges) {
    SCOPED_TRACE(name);
    KzifKey src = valid;
    edit(src);
    KzifKey whole = live;
    const rec::MergeResult r = rec::merge(whole, src);
    KzifKey halves = live;
    KzifKey first = src, second = src;
    first.mask[1] = 0;
    rec::clearMasks(second);
    second.mask[1] = src.mask[1];
    const rec::MergeResult r1 = rec::merge(halves, first);
    const rec::MergeResult r2 = rec::merge(halves, second);
    EXPECT_EQ(encodeToBytes(whole), encodeToBytes(halves));
    EXPECT_EQ(std::memcmp(&whole, &halves, sizeof(KzifKey)), 0);
    EXPECT_EQ(r.droppedBits, r1.droppedBits | r2.droppedBits);
    EXPECT_EQ(r.droppedValues, r1.droppedValues + r2.droppedValues);
  }
  KzifKey fresh{};
  EXPECT_TRUE(rec::merge(fresh, valid).clean());
  KzifKey dst = live;
  KzifKey src = valid;
  src.priority = 4;
  const rec::MergeResult r = rec::merge(dst, src);
  EXPECT_EQ(std::pair(r.droppedBits, r.droppedValues), std::pair(u64{1} << KzifKey::BIT_PRIORITY, 1));
  EXPECT_EQ(std::tuple(dst.priority, dst.has(KzifKey::BIT_PRIORITY), dst.has(KzifKey::BIT_IN_TRANSITION), dst.mask[0]),
            std::tuple(u8{2}, false, true, ~0u));
  EXPECT_EQ(std::tuple(dst.dveSize, dst.style.keyType, std::string(dst.names.name1.chars)), std::tuple(0u, u8{0}, std::string("fill")));
}

TEST(RecordMasks, SetClearAndAnyReachEverySubRecordAndStampSetsOnlyMeAndChannel) {
  Probe p{};
  rec::setAllMasks(p);
  EXPECT_EQ(p.mask, 0x3Fu);
  for (const Part& part : {p.part, p.pair[0], p.pair[1]}) EXPECT_EQ(part.mask, 0x3u);
  rec::clearMasks(p);
  EXPECT_FALSE(rec::anyMask(p));
  p.pair[1].mask = 1;  // only the last element of a sub-record array
  EXPECT_TRUE(rec::anyMask(p));

  p = kSample, rec::stamp(p, 3, 0);
  EXPECT_EQ(std::pair(rec::meOf(p), rec::channelOf(p)), std::pair(3, 0));
  p.me = 2, p.channel = 1;
  EXPECT_EQ(encodeToBytes(p), kSampleWire);
}

// Elements with a bit each, only the first two taken; a second mask word; a trailing sub-record
// that the wire carries after a text but memory holds first; fields on the wire in bit order.
struct Tail {
  u32 mask;
  u8 low, high;  // bits 1 (0..1) and 0 (0..4)
  static constexpr auto wire() {
    return rec::list(rec::mask(&Tail::mask), rec::field(0, &Tail::high, rec::range(0, 4)),
                     rec::field(1, &Tail::low, rec::range(0, 1)));
  }
};

struct Reordered {
  u32 mask[2];
  Tail tail;
  u8 rows[4];   // bits 0..3, rows 0 and 1 only, 0..1
  u8 late;      // bit 33
  rec::Text<4> name;  // bit 32
  static constexpr auto wire() {
    using R = Reordered;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::rows, rec::onlyFirst(2, rec::range(0, 1))),
                     rec::field(33, &R::late), rec::field(32, &R::name), rec::sub(&R::tail));
  }
};

TEST(RecordDeclarationOrder, WireFollowsTheListAndElementsMergeOneByOne) {
  const Reordered r{{0x0000000F, 0x3}, {0x3, 1, 4}, {1, 0, 2, 3}, 0xAB, {2, "xy"}};
  const Bytes wire = {0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x03, 0x01, 0x00, 0x02, 0x03, 0xAB,
                      0x00, 0x02, 'x',  'y',  0x00, 0x00, 0x00, 0x00, 0x03, 0x04, 0x01};
  EXPECT_EQ(encodeToBytes(r), wire);
  Reordered back{};
  ASSERT_TRUE(decodeFrom(wire, back));
  EXPECT_EQ(encodeToBytes(back), wire);

  // Row 0 refused (2), row 1 taken, rows 2 and 3 never taken nor counted; the second word merges.
  Reordered dst{};
  const Reordered src{{0x0000000F, 0x2}, {0x1, 1, 5}, {2, 1, 1, 1}, 0x77, {2, "zz"}};
  const rec::MergeResult result = rec::merge(dst, src);
  EXPECT_EQ(std::tuple(dst.mask[0], dst.mask[1], +dst.rows[0], +dst.rows[1], +dst.rows[2], +dst.late, dst.tail.mask),
            std::tuple(0x2u, 0x2u, 0, 1, 0, 0x77, 0u));
  EXPECT_EQ(std::pair(result.droppedBits, result.droppedValues), std::pair(u64{0x1}, 2));  // and tail.high 5
  rec::setAllMasks(dst);
  EXPECT_EQ(std::tuple(dst.mask[0], dst.mask[1], dst.tail.mask), std::tuple(0xFu, 0x3u, 0x3u));
  rec::clearMasks(dst), dst.mask[1] = 1;
  EXPECT_TRUE(rec::anyMask(dst));
}

// A text under a check of its own: no digit among the characters it counts.
struct NoDigits {
  bool accept(const rec::Text<4>& t) const {
    for (std::size_t i = 0; i < t.usable(); ++i)
      if ('0' <= t.chars[i] && t.chars[i] <= '9') return false;
    return true;
  }
};
struct Labelled {
  u32 mask;
  rec::Text<4> label;  // bit 0
  static constexpr auto wire() {
    using R = Labelled;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::label, NoDigits{}));
  }
};

// A stored record taken into one that holds the cold-start values: what passes its check is taken
// whatever the masks say, what fails keeps the cold-start value, what no check judges (elements
// never taken, unchecked fields) comes as stored. The count leaves out a refused value that is
// stored as the cold start has it.
TEST(RecordRestore, RefusedValuesKeepTheColdStartValueAndTheRestComesAsStored) {
  Reordered r{};
  r.tail.high = 3;
  const Reordered stored{{0, 0}, {0, 1, 9}, {2, 1, 7, 8}, 0x77, {2, "zz"}};
  EXPECT_EQ(rec::restoreChecked(r, stored), 2);  // row 0 and tail.high
  EXPECT_EQ(std::tuple(+r.rows[0], +r.rows[1], +r.rows[2], +r.rows[3], +r.late, +r.tail.low, +r.tail.high),
            std::tuple(0, 1, 7, 8, 0x77, 1, 3));
  EXPECT_EQ(std::string(r.name.chars), "zz");

  // The triple refused whole (its third value is already the cold start's), the pair element by element.
  Colors c{};
  const Colors bad{0, {3599, 1001, 0}, {10, 10}, {}};
  EXPECT_EQ(std::pair(rec::refusedValues(bad), rec::restoreChecked(c, bad)), std::pair(3, 3));
  EXPECT_EQ(std::tuple(c.hsl[0], c.hsl[1], c.pair[0], c.pair[1]), std::tuple(i16{0}, i16{0}, i16{0}, i16{10}));
  EXPECT_EQ(rec::refusedValues(Colors{}), 0);  // pair[1] 0 is refused, but a fresh record holds it

  // A refused text counts when it differs from the cold start's in any counted character or in
  // its length, a shorter text matching the start of the longer one too.
  const std::tuple<const char*, const char*, int, const char*> texts[] = {
      {"ab", "a1", 1, "ab"}, {"ab", "ab1", 1, "ab"}, {"ab1", "ab", 0, "ab"}, {"a1", "a1", 0, "a1"}, {"ab", "cd", 0, "cd"}};
  for (const auto& [coldStart, stored, count, kept] : texts) {
    Labelled into{}, from{};
    into.label.set(coldStart), from.label.set(stored);
    EXPECT_EQ(rec::restoreChecked(into, from), count) << coldStart << " " << stored;
    EXPECT_EQ(std::string(into.label.chars), kept) << coldStart << " " << stored;
  }
}

TEST(RecordLayouts, SystemWireIsNineBytesInFieldOrder) {
  const Bytes golden = {0x00, 0x00, 0x00, 0x1F, 0x0B, 0x01, 0x00, 0x01, 0xAB};
  KzifSystem in{}, dst{};
  ASSERT_TRUE(decodeFrom(golden, in));
  EXPECT_EQ(encodeToBytes(in), golden);
  expectBytesAt(reinterpret_cast<const u8*>(&in), {{0, 0x1F}, {8, 11}, {10, 1}, {108, 0xAB}, {204, 1}});
  in.videoFormat = 12, in.linkSuppress = 2;  // first refused of each range
  EXPECT_EQ(rec::merge(dst, in).droppedBits, 0x3u);
  EXPECT_EQ(dst.mask, 0x1Cu);
}

TEST(RecordLayouts, MainframeConfigWireAndStoredPositions) {
  KzifMainframeConfig c{};
  c.mask = 0x3, c.meConfig[7].previewKey[3] = 2, c.selectedSampleKeyer = 31;
  c.dskConfig.mask = 0x7F, c.dskConfig.previewSelect = 5;
  const Bytes wire = encodeToBytes(c);
  expectBytesAt(wire.data(),
                {{4 + 7 * 13 + 4 + 4 + 3, 2}, {108 + 3, 0x7F}, {108 + 17, 5}, {222, 31}});
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0) + 5, static_cast<long>(wire.size()));

  KzifMainframeConfig in{};
  ASSERT_TRUE(decodeFrom(wire, in));
  // The backup image is little-endian.
  expectBytesAt(reinterpret_cast<const u8*>(&in),
                {{4 + 7 * 32 + 24 + 3, 2}, {260, 0x7F}, {300, 5}, {412, 31}});
}

TEST(RecordLayouts, ButtonEventCarriesPlainFieldsAndReadsFlagsAsBooleans) {
  internal::KzifButtonEvent e{};
  ASSERT_TRUE(decodeFrom({0x12, 0x34, 0x07, 0xAB, 0xCD, 0x02, 0x03, 0x58, 0x06, 0x43, 0x01, 0xFF}, e));
  EXPECT_EQ(std::tuple(e.getMe(), +e.bus, e.getCode()), std::tuple(3, 88, 1603));
  EXPECT_EQ(encodeToBytes(e), Bytes({0x12, 0x34, 0x01, 0xAB, 0xCD, 0x02, 0x03, 0x58, 0x06, 0x43, 0x01, 0x01}));
}

bool ascending(const std::array<i16, 3>& a) { return a[0] < a[1] && a[1] < a[2]; }

struct Labels {
  u32 mask;
  rec::Text<4> label[3];       // bits 0..2
  std::array<i16, 3> steps;    // bit 3, taken whole when ascending
  static constexpr auto wire() {
    using R = Labels;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::label), rec::field(3, &R::steps, rec::wholeIf(&ascending)));
  }
};

TEST(RecordMerge, TextElementsByTheirOwnBitsAndArraysJudgedWhole) {
  Labels in{}, dst{};
  in.mask = 0b1101, in.steps = {1, 5, 3};
  in.label[0].set("abcd"), in.label[1].set("skip");
  std::memcpy(in.label[2].chars, "w\0yz", 4), in.label[2].length = 4;  // the zero is one of its characters
  rec::merge(dst, in);
  EXPECT_EQ(std::tuple(dst.mask, +dst.label[2].length, +dst.label[1].length, +dst.steps[1]), std::tuple(0b101u, 4, 0, 0));
  EXPECT_EQ(std::string(dst.label[2].chars, 5), std::string("w\0yz\0", 5));
  in.steps = {1, 3, 5}, rec::merge(dst, in);
  EXPECT_EQ(dst.steps[2], 5);

  // A stored text element with a huge length and no zero in its room comes back to the rule.
  dst.label[1].length = 0x7FFF, std::memset(dst.label[1].chars, 'q', sizeof dst.label[1].chars);
  rec::normalizeTexts(dst);
  EXPECT_EQ(std::pair(+dst.label[1].length, dst.label[1].chars[4]), std::pair(4, '\0'));
}

// Every kind of field a fixed-size record holds, for the merge from wire bytes.
struct Deck {
  u32 mask;
  u8 me;
  i16 channel;
  u8 level;       // bit 0, 0..9
  i16 hsl[3];     // bit 1, whole: 0..3599, 0..1000, 0..1080
  u8 steps[4];    // bits 2..5, the first three taken, each 0..5
  float gain;     // bit 6, -1..1
  u8 on;          // carried, boolean
  Part entry[3];  // a table of flat entries
  static constexpr auto wire() {
    using R = Deck;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel),
                     rec::field(0, &R::level, rec::range(0, 9)),
                     rec::field(1, &R::hsl, rec::whole(rec::each(rec::range(0, 3599), rec::range(0, 1000), rec::range(0, 1080)))),
                     rec::elements(2, &R::steps, rec::onlyFirst(3, rec::range(0, 5))), rec::field(6, &R::gain, rec::range(-1, 1)),
                     rec::plain(&R::on, rec::boolean()), rec::sub(&R::entry));
  }
};

TEST(RecordMergeFromWire, SameRecordMarksAndRefusalsAsDecodeThenMergeAtEveryRangeEdge) {
  // Values on both sides of each range and masks from none to all, several bits no field has
  // among them; the wire bytes are drawn by a fixed generator.
  u32 state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u, state >> 8; };
  auto pick = [&next](std::initializer_list<int> values) { return values.begin()[next() % values.size()]; };
  const std::initializer_list<u32> masks = {0x0, 0x1, 0x3, 0x7F, 0xFF, 0x3C, 0x40, 0x80000001};
  const std::initializer_list<u32> entryMasks = {0x0, 0x1, 0x2, 0x3, 0x7};
  for (int round = 0; round < 400; ++round) {
    Deck in{};
    in.mask = masks.begin()[next() % masks.size()];
    in.me = static_cast<u8>(pick({0, 3, 255}));
    in.channel = static_cast<i16>(pick({-1, 0, 7}));
    in.level = static_cast<u8>(pick({0, 9, 10, 255}));
    in.hsl[0] = static_cast<i16>(pick({0, 3599, 3600, -1}));
    in.hsl[1] = static_cast<i16>(pick({0, 1000, 1001}));
    in.hsl[2] = static_cast<i16>(pick({1080, 1081}));
    for (u8& step : in.steps) step = static_cast<u8>(pick({0, 5, 6}));
    in.gain = static_cast<float>(pick({-2, -1, 0, 1, 2})) / (round % 3 == 0 ? 1.0f : 2.0f);
    in.on = static_cast<u8>(pick({0, 1, 7}));
    for (Part& e : in.entry) {
      e.mask = entryMasks.begin()[next() % entryMasks.size()];
      e.level = static_cast<u8>(pick({0, 9, 10}));
      e.code = static_cast<u16>(next());
    }
    const Bytes wire = encodeToBytes(in);
    ASSERT_EQ(wire.size(), rec::wireSizeOf<Deck>());

    Deck decoded{};
    ASSERT_TRUE(decodeFrom(wire, decoded));
    Deck viaDecode, viaWire;
    std::memset(static_cast<void*>(&viaDecode), 0x5A, sizeof viaDecode);  // a live record's old values and marks
    viaDecode.mask = 1u << 7;
    viaDecode.entry[1].mask = 0x1;
    std::memcpy(static_cast<void*>(&viaWire), &viaDecode, sizeof viaWire);
    for (const rec::Checks checks : {rec::Checks::Apply, rec::Checks::Skip}) {
      const rec::MergeResult a = rec::merge(viaDecode, decoded, checks);
      const rec::MergeResult b = rec::mergeFromWire(viaWire, wire.data(), checks);
      ASSERT_EQ(std::memcmp(&viaDecode, &viaWire, sizeof viaWire), 0) << "round " << round;
      ASSERT_EQ(std::pair(a.droppedBits, a.droppedValues), std::pair(b.droppedBits, b.droppedValues)) << "round " << round;
    }
    EXPECT_EQ(rec::meFromWire<Deck>(wire.data()), rec::meOf(decoded));
    EXPECT_EQ(rec::channelFromWire<Deck>(wire.data()), rec::channelOf(decoded));
  }
}

}  // namespace
