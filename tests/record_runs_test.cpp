// Records whose values lie side by side are read, written and merged in runs; these cases hold the
// runs to what a value-by-value reading of the declaration gives: runs broken by padding and by
// a change of width, odd table lengths, signed values, and merges with every bit of a group marked
// or all but one. The bulk steps under them are held to the same reading whichever way the core
// takes them (values in pairs or one by one, text bytes by words or not), at every run length
// and every text length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "Lib/Include/record.h"

namespace {

using Bytes = std::vector<u8>;

struct Runs {
  u32 mask;
  u8 me, channel;
  u16 a;          // bit 0, any
  u16 b;          // bit 1, 0..1000
  i16 c;          // bit 2, -300..300
  u8 d;           // bit 3, 0..7 (padding follows)
  u32 e;          // bit 4, any
  i32 f;          // bit 5, -100000..100000
  u16 table[17];  // bit 6, each 0..500
  u16 g;          // bit 7, any
  u8 h;           // bit 8, 0..1 (padding follows)
  i16 signedRun[5];  // bit 9, any
  static constexpr auto wire() {
    using R = Runs;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel), rec::field(0, &R::a),
                     rec::field(1, &R::b, rec::range(0, 1000)), rec::field(2, &R::c, rec::range(-300, 300)),
                     rec::field(3, &R::d, rec::range(0, 7)), rec::field(4, &R::e),
                     rec::field(5, &R::f, rec::range(-100000, 100000)), rec::field(6, &R::table, rec::range(0, 500)),
                     rec::field(7, &R::g), rec::field(8, &R::h, rec::range(0, 1)), rec::field(9, &R::signedRun));
  }
};
static_assert(offsetof(Runs, e) == 16 && offsetof(Runs, table) == 24 && offsetof(Runs, signedRun) == 62);
constexpr std::size_t RUNS_WIRE = 4 + 1 + 1 + 2 + 2 + 2 + 1 + 4 + 4 + 34 + 2 + 1 + 10;

// The wire form written value by value, as the declaration orders it.
Bytes byHand(const Runs& r) {
  Bytes out;
  auto put = [&out](u64 v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<u8>(v >> (8 * i)));
  };
  put(r.mask, 4), put(r.me, 1), put(r.channel, 1), put(r.a, 2), put(r.b, 2), put(static_cast<u16>(r.c), 2);
  put(r.d, 1), put(r.e, 4), put(static_cast<u32>(r.f), 4);
  for (u16 v : r.table) put(v, 2);
  put(r.g, 2), put(r.h, 1);
  for (i16 v : r.signedRun) put(static_cast<u16>(v), 2);
  return out;
}

// The merge value by value: a marked value passing its check is taken and marks its bit; a
// table takes each element that passes.
struct Expected {
  Runs live;
  u64 droppedBits = 0;
  int droppedValues = 0;
};
Expected mergeByHand(Runs live, const Runs& in) {
  Expected x;
  auto take = [&](int bit, bool ok, auto& to, auto from) {
    if (!(in.mask >> bit & 1)) return;
    if (ok) to = from, live.mask |= 1u << bit;
    else x.droppedBits |= u64{1} << bit, ++x.droppedValues;
  };
  take(0, true, live.a, in.a);
  take(1, in.b <= 1000, live.b, in.b);
  take(2, in.c >= -300 && in.c <= 300, live.c, in.c);
  take(3, in.d <= 7, live.d, in.d);
  take(4, true, live.e, in.e);
  take(5, in.f >= -100000 && in.f <= 100000, live.f, in.f);
  for (int i = 0; i < 17; ++i) take(6, in.table[i] <= 500, live.table[i], in.table[i]);
  take(7, true, live.g, in.g);
  take(8, in.h <= 1, live.h, in.h);
  for (int i = 0; i < 5; ++i) take(9, true, live.signedRun[i], in.signedRun[i]);
  x.live = live;
  return x;
}

Runs randomRuns(std::mt19937& rng, bool mostlyValid) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  // Values near each edge, on both sides, as often as anywhere else.
  auto near = [&](int lo, int hi, int wideLo, int wideHi) {
    if (mostlyValid && pick(0, 7) != 0) return pick(lo, hi);
    switch (pick(0, 4)) {
      case 0: return lo + pick(-1, 0);
      case 1: return hi + pick(0, 1);
      default: return pick(wideLo, wideHi);
    }
  };
  Runs r{};
  r.mask = static_cast<u32>(pick(0, 3) == 0 ? 0x3FF : pick(0, 0x3FF));
  r.me = static_cast<u8>(pick(0, 255)), r.channel = static_cast<u8>(pick(0, 255));
  r.a = static_cast<u16>(pick(0, 0xFFFF)), r.b = static_cast<u16>(near(0, 1000, 0, 0xFFFF));
  r.c = static_cast<i16>(near(-300, 300, -32768, 32767)), r.d = static_cast<u8>(near(0, 7, 0, 255));
  r.e = static_cast<u32>(rng()), r.f = near(-100000, 100000, -200000, 200000);
  r.table[0] = static_cast<u16>(pick(0, 500));  // one element that always passes
  for (int i = 1; i < 17; ++i) r.table[i] = static_cast<u16>(near(0, 500, 0, 0xFFFF));
  r.g = static_cast<u16>(pick(0, 0xFFFF)), r.h = static_cast<u8>(near(0, 1, 0, 255));
  for (i16& v : r.signedRun) v = static_cast<i16>(pick(-32768, 32767));
  return r;
}

Bytes encoded(const Runs& r) {
  Bytes out(rec::wireSize(r));
  rec::WireWriter w(out);
  rec::encode(w, r);
  EXPECT_TRUE(w.ok());
  return out;
}

TEST(RecordRuns, WireFormIsTheValueByValueFormAcrossPaddingWidthsAndOddTables) {
  std::mt19937 rng(5);
  for (int n = 0; n < 500; ++n) {
    const Runs r = randomRuns(rng, false);
    const Bytes wire = byHand(r);
    ASSERT_EQ(wire.size(), RUNS_WIRE);
    ASSERT_EQ(encoded(r), wire) << n;
    Runs back{};
    rec::WireReader reader(wire);
    ASSERT_TRUE(rec::decode(reader, back));
    EXPECT_EQ(reader.position(), wire.size());
    EXPECT_EQ(encoded(back), wire) << n;
    // A body one byte short, at any length, is refused; a buffer one byte short fails.
    const std::size_t cut = static_cast<std::size_t>(n) % wire.size();
    Runs none{};
    rec::WireReader shortReader(std::span<const u8>(wire.data(), cut));
    EXPECT_FALSE(rec::decode(shortReader, none)) << cut;
    Bytes small(cut);
    rec::WireWriter w(small);
    rec::encode(w, r);
    EXPECT_FALSE(w.ok()) << cut;
  }
}

TEST(RecordRuns, MergesTakeWhatAValueByValueMergeTakesWhetherAGroupIsWhollyMarkedOrNot) {
  std::mt19937 rng(11);
  for (int n = 0; n < 2000; ++n) {
    const Runs live = randomRuns(rng, true);
    Runs in = randomRuns(rng, n % 2 == 0);
    if (n % 5 == 0) in.mask = 0x3FF & ~(1u << (n / 5 % 10));  // every bit but one
    const Expected x = mergeByHand(live, in);

    Runs merged = live;
    const rec::MergeResult r = rec::merge(merged, in);
    ASSERT_EQ(encoded(merged), encoded(x.live)) << n;
    EXPECT_EQ(std::pair(r.droppedBits, r.droppedValues), std::pair(x.droppedBits, x.droppedValues)) << n;

    Runs fromWire = live;
    const Bytes wire = byHand(in);
    const rec::MergeResult w = rec::mergeFromWire(fromWire, wire.data());
    ASSERT_EQ(encoded(fromWire), encoded(x.live)) << n;
    EXPECT_EQ(std::pair(w.droppedBits, w.droppedValues), std::pair(x.droppedBits, x.droppedValues)) << n;
  }
}

// ---- the bulk steps, each way the core may take them --------------------------------------------

template <class E>
E randomValue(std::mt19937& rng) {
  if constexpr (std::is_same_v<E, float>) {
    return static_cast<float>(std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
  } else {
    return static_cast<E>(std::uniform_int_distribution<u64>(0, ~u64{0})(rng));
  }
}

// COUNT values of E read from and written to the wire by runFromWire and runToWire, with PAIRS as
// given: the same bytes as value by value, big-endian, and the same values back.
template <class E, std::size_t COUNT, bool PAIRS>
void checkRun(std::mt19937& rng) {
  SCOPED_TRACE(::testing::Message() << "width " << sizeof(E) << " count " << COUNT << " pairs " << PAIRS);
  constexpr std::size_t BYTES = COUNT * sizeof(E);
  E values[COUNT];
  for (E& v : values) v = randomValue<E>(rng);
  u8 wire[BYTES];
  for (std::size_t k = 0; k < COUNT; ++k) {
    u64 bits = 0;
    std::memcpy(&bits, &values[k], sizeof(E));
    for (std::size_t i = 0; i < sizeof(E); ++i) wire[k * sizeof(E) + i] = static_cast<u8>(bits >> (8 * (sizeof(E) - 1 - i)));
  }
  u8 out[BYTES + 2];
  std::memset(out, 0xEE, sizeof out);
  rec::detail::runToWire<E, COUNT, PAIRS>(out + 1, values);
  EXPECT_EQ(std::memcmp(out + 1, wire, BYTES), 0);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(out[BYTES + 1], 0xEE);
  E back[COUNT + 1];
  std::memset(static_cast<void*>(back), 0x5A, sizeof back);
  rec::detail::runFromWire<E, COUNT, PAIRS>(back, wire);
  EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
  u8 after[sizeof(E)];
  std::memset(after, 0x5A, sizeof after);
  EXPECT_EQ(std::memcmp(&back[COUNT], after, sizeof(E)), 0);  // nothing written past the run
}

template <class E, std::size_t... COUNT>
void checkRuns(std::mt19937& rng, std::index_sequence<COUNT...>) {
  constexpr bool PAIRED = sizeof(E) == 2 || sizeof(E) == 4;
  (checkRun<E, COUNT + 1, false>(rng), ...);
  if constexpr (PAIRED) (checkRun<E, COUNT + 1, true>(rng), ...);
}

TEST(RecordRuns, RunsOfEveryWidthAndLengthGoAsValueByValueWhetherInPairsOrOneByOne) {
  std::mt19937 rng(23);
  for (int n = 0; n < 20; ++n) {
    // Lengths 1..34: odd and even, either side of the longest run written out in line (32) and of
    // the longest taken in pairs without a loop (16 values).
    checkRuns<u16>(rng, std::make_index_sequence<34>{});
    checkRuns<i16>(rng, std::make_index_sequence<34>{});
    checkRuns<u32>(rng, std::make_index_sequence<34>{});
    checkRuns<i32>(rng, std::make_index_sequence<5>{});
    checkRuns<float>(rng, std::make_index_sequence<5>{});
    checkRuns<u64>(rng, std::make_index_sequence<34>{});
    // Bytes: in line up to 64, one copy beyond.
    checkRun<u8, 1, false>(rng), checkRun<u8, 7, false>(rng), checkRun<u8, 64, false>(rng);
    checkRun<u8, 65, false>(rng), checkRun<u8, 200, false>(rng);
  }
}

// The long runs of 16-bit values that tables hold (a crosspoint table's 192 sources, a bus
// record's 89 codes), eight at a time where vectors take them: every length around a whole number
// of vectors, and random values.
TEST(RecordRuns, LongRunsOfSixteenBitValuesGoAsValueByValue) {
  std::mt19937 rng(31);
  for (int n = 0; n < 20; ++n) {
    checkRun<i16, 88, true>(rng), checkRun<i16, 89, true>(rng), checkRun<u16, 89, false>(rng);
    checkRun<i16, 191, true>(rng), checkRun<i16, 192, true>(rng), checkRun<i16, 193, true>(rng);
    checkRun<u16, 199, true>(rng), checkRun<u16, 200, true>(rng), checkRun<i16, 192, false>(rng);
  }
}

TEST(RecordRuns, ValuesPutTogetherFromTheirBytesAreTheValuesLoadedAndSwapped) {
  std::mt19937 rng(29);
  for (int n = 0; n < 200; ++n) {
    u8 bytes[9];
    for (u8& b : bytes) b = static_cast<u8>(rng());
    const u8* p = bytes + n % 2;  // either alignment
    auto swapped = [p](auto zero) {
      decltype(zero) u;
      std::memcpy(&u, p, sizeof u);
      return rec::detail::swapToNative(u);
    };
    EXPECT_EQ(rec::detail::fromBytes<u16>(p, std::make_index_sequence<2>{}), swapped(u16{}));
    EXPECT_EQ(rec::detail::fromBytes<u32>(p, std::make_index_sequence<4>{}), swapped(u32{}));
    EXPECT_EQ(rec::detail::fromBytes<u64>(p, std::make_index_sequence<8>{}), swapped(u64{}));
    u8 out[8];
    const u64 v = swapped(u64{});
    rec::detail::toBytes<u64>(out, v, std::make_index_sequence<8>{});
    EXPECT_EQ(std::memcmp(out, p, 8), 0);
    rec::detail::toBytes<u16>(out, static_cast<u16>(v >> 48), std::make_index_sequence<2>{});
    EXPECT_EQ(std::memcmp(out, p, 2), 0);
    rec::detail::toBytes<u32>(out, static_cast<u32>(v >> 32), std::make_index_sequence<4>{});
    EXPECT_EQ(std::memcmp(out, p, 4), 0);
  }
}

// copyKept and sameKept over S bytes, by words or not: every kept length 0..S, the source's bytes
// after it never taken, and in place.
template <std::size_t S, bool WORDS>
void checkKept(std::mt19937& rng) {
  SCOPED_TRACE(::testing::Message() << "storage " << S << " words " << WORDS);
  for (std::size_t n = 0; n <= S; ++n) {
    u8 src[S + 2], dst[S + 2], expected[S + 2];
    for (u8& b : src) b = static_cast<u8>(rng() | 1);  // no zeros, so that a missed fill shows
    for (u8& b : dst) b = static_cast<u8>(rng() | 1);
    std::memcpy(expected, dst, sizeof dst);
    std::memcpy(expected + 1, src + 1, n);
    std::memset(expected + 1 + n, 0, S - n);
    rec::detail::copyKept<S, WORDS>(dst + 1, src + 1, n);
    EXPECT_EQ(std::memcmp(dst, expected, sizeof dst), 0) << n;
    std::memcpy(dst, src, sizeof src);
    rec::detail::copyKept<S, WORDS>(dst + 1, dst + 1, n);
    std::memcpy(expected, src, sizeof src);
    std::memset(expected + 1 + n, 0, S - n);
    EXPECT_EQ(std::memcmp(dst, expected, sizeof dst), 0) << n;

    // Equal up to n whatever follows; a difference at the last kept byte, the first or none.
    std::memcpy(dst, src, sizeof src);
    for (std::size_t i = n; i < S; ++i) dst[1 + i] = static_cast<u8>(src[1 + i] ^ 0x40);
    EXPECT_TRUE((rec::detail::sameKept<S, WORDS>(dst + 1, src + 1, n))) << n;
    if (n > 0) {
      dst[n] ^= 0x01;
      EXPECT_FALSE((rec::detail::sameKept<S, WORDS>(dst + 1, src + 1, n))) << n;
      dst[n] ^= 0x01, dst[1] ^= 0x80;
      EXPECT_FALSE((rec::detail::sameKept<S, WORDS>(dst + 1, src + 1, n))) << n;
    }
  }
}

TEST(RecordRuns, TextsOfEveryLengthAreCopiedAndComparedAlikeByWordsOrNot) {
  std::mt19937 rng(31);
  checkKept<3, false>(rng), checkKept<6, false>(rng), checkKept<13, false>(rng), checkKept<65, false>(rng);
  checkKept<4, true>(rng), checkKept<6, true>(rng), checkKept<7, true>(rng), checkKept<8, true>(rng);
  checkKept<9, true>(rng), checkKept<13, true>(rng), checkKept<14, true>(rng), checkKept<16, true>(rng);
  checkKept<33, true>(rng), checkKept<64, true>(rng);
}

struct Named {
  u32 mask;
  rec::Text<12> name;     // bit 0
  rec::Text<12, 14> tag;  // bit 1, more room than the capacity
  u16 after;              // bit 2
  static constexpr auto wire() {
    using R = Named;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::name), rec::field(1, &R::tag), rec::field(2, &R::after));
  }
};

// The wire form of a text of length `length` holding `chars`: length, characters, terminator.
void putText(Bytes& out, int length, const char* chars) {
  out.push_back(static_cast<u8>(static_cast<u16>(length) >> 8)), out.push_back(static_cast<u8>(length));
  if (length < 0) return;
  for (int i = 0; i < length; ++i) out.push_back(static_cast<u8>(chars[i]));
  out.push_back(0);
}

TEST(RecordRuns, TextsOfEveryLengthTravelAsLengthCharactersAndTerminatorWhateverTheRoom) {
  const char letters[] = "abcdefghijklmnopqrstuvwxyz";
  for (int n = -1; n <= 16; ++n) {
    SCOPED_TRACE(n);
    // Sent: n characters (more than the capacity of 12 at times) in each text.
    Bytes wire{0, 0, 0, 7};
    putText(wire, n, letters);
    putText(wire, n, letters + 1);
    wire.push_back(0x12), wire.push_back(0x34);
    Named r{};
    std::memset(&r.name, 0x55, sizeof r.name);
    rec::WireReader reader(wire);
    ASSERT_TRUE(rec::decode(reader, r));
    EXPECT_EQ(reader.position(), wire.size());
    const int kept = n < 0 ? n : std::min(n, 12);
    EXPECT_EQ(r.name.length, kept);
    EXPECT_EQ(r.tag.length, kept);
    EXPECT_EQ(r.after, 0x1234);
    const std::size_t usable = static_cast<std::size_t>(std::max(kept, 0));
    EXPECT_EQ(std::memcmp(r.name.chars, letters, usable), 0);
    EXPECT_EQ(std::memcmp(r.tag.chars, letters + 1, usable), 0);
    for (std::size_t i = usable; i < sizeof r.name.chars; ++i) EXPECT_EQ(r.name.chars[i], 0) << i;
    for (std::size_t i = usable; i < sizeof r.tag.chars; ++i) EXPECT_EQ(r.tag.chars[i], 0) << i;

    // Written back: the characters kept, in a buffer with room to spare, of the exact size, and
    // one byte short.
    Bytes expected{0, 0, 0, 7};
    putText(expected, static_cast<int>(usable), letters);
    putText(expected, static_cast<int>(usable), letters + 1);
    expected.push_back(0x12), expected.push_back(0x34);
    ASSERT_EQ(rec::wireSize(r), expected.size());
    for (std::size_t room : {expected.size() + 40, expected.size()}) {
      Bytes out(room, 0xEE);
      rec::WireWriter w(out);
      rec::encode(w, r);
      EXPECT_TRUE(w.ok());
      EXPECT_EQ(w.size(), expected.size());
      EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected) << room;
    }
    for (std::size_t cut = 0; cut < expected.size(); ++cut) {
      Bytes out(cut);
      rec::WireWriter w(out);
      rec::encode(w, r);
      EXPECT_FALSE(w.ok()) << cut;
    }
  }
}


// ---- tables of entries that are a mask and a few bytes ------------------------------------------

// Entries of a mask and bytes: seven, six (two kept bytes after them) and eight wire bytes, and one
// of a mask and a 16-bit value, each in a table written as a record.
struct SevenByteEntry {
  u32 mask;
  u8 a, b, c;
  u8 kept;
  static constexpr auto wire() {
    using R = SevenByteEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::a), rec::field(1, &R::b, rec::range(0, 10)),
                     rec::field(2, &R::c));
  }
};
struct SixByteEntry {
  u32 mask;
  u8 a, b;
  u8 kept[2];
  static constexpr auto wire() {
    using R = SixByteEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::a), rec::field(1, &R::b));
  }
};
struct EightByteEntry {
  u32 mask;
  u8 v[4];
  static constexpr auto wire() {
    using R = EightByteEntry;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::v));
  }
};
struct HalfwordEntry {
  u32 mask;
  u16 v;
  u8 kept[2];
  static constexpr auto wire() {
    using R = HalfwordEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::v));
  }
};
template <class E, std::size_t N>
struct EntryTable {
  u32 mask;
  E entry[N];
  static constexpr auto wire() {
    using R = EntryTable;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::entry));
  }
};

// The table's wire form value by value: its mask, then each entry's mask and its values.
template <class E, std::size_t N>
Bytes tableByHand(const EntryTable<E, N>& t, std::size_t valueBytes) {
  Bytes out;
  auto put = [&out](u64 v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<u8>(v >> (8 * i)));
  };
  put(t.mask, 4);
  for (const E& e : t.entry) {
    put(e.mask, 4);
    const u8* values = reinterpret_cast<const u8*>(&e) + 4;
    if constexpr (std::is_same_v<E, HalfwordEntry>) {
      put(e.v, 2);
    } else {
      for (std::size_t k = 0; k < valueBytes; ++k) out.push_back(values[k]);
    }
  }
  return out;
}

template <class E, std::size_t N>
void checkTable(std::mt19937& rng, std::size_t valueBytes) {
  SCOPED_TRACE(::testing::Message() << "entry " << sizeof(E) << " values " << valueBytes << " count " << N);
  EntryTable<E, N> t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  auto* bytes = reinterpret_cast<u8*>(&t);
  for (std::size_t i = 0; i < sizeof t; ++i) bytes[i] = static_cast<u8>(rng());  // kept bytes too
  const Bytes want = tableByHand(t, valueBytes);
  ASSERT_EQ(rec::wireSize(t), want.size());
  std::vector<u8> out(want.size() + 16, 0xEE);
  rec::WireWriter w(std::span<u8>(out.data(), want.size()));
  rec::encode(w, t);
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want.size())), want);
  for (std::size_t i = want.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "written past the record at " << i;
  // One byte short: nothing written, the writer not-ok.
  std::vector<u8> shortOut(want.size(), 0xEE);
  rec::WireWriter shortWriter(std::span<u8>(shortOut.data(), want.size() - 1));
  rec::encode(shortWriter, t);
  EXPECT_FALSE(shortWriter.ok());
  EXPECT_EQ(shortOut, std::vector<u8>(want.size(), 0xEE));
}

TEST(RecordRuns, TablesOfMaskAndByteEntriesGoAsTheirValuesOneByOne) {
  static_assert(!rec::detail::entryGoesAsWord<HalfwordEntry>());
  std::mt19937 rng(37);
  for (int n = 0; n < 50; ++n) {
    checkTable<SevenByteEntry, 1>(rng, 3), checkTable<SevenByteEntry, 2>(rng, 3);
    checkTable<SevenByteEntry, 3>(rng, 3), checkTable<SevenByteEntry, 233>(rng, 3);
    checkTable<SixByteEntry, 1>(rng, 2), checkTable<SixByteEntry, 2>(rng, 2), checkTable<SixByteEntry, 96>(rng, 2);
    checkTable<EightByteEntry, 1>(rng, 4), checkTable<EightByteEntry, 5>(rng, 4);
    checkTable<HalfwordEntry, 1>(rng, 2), checkTable<HalfwordEntry, 9>(rng, 2);
  }
}

}  // namespace
