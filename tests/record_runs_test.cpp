// Records whose values lie side by side are read, written and merged in runs; these cases hold the
// runs to what a value-by-value reading of the declaration gives: runs broken by padding and by
// a change of width, odd table lengths, signed values, and merges with every bit of a group marked
// or all but one.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
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

}  // namespace
