#include "Main/buttoninhibit.h"

#include <bit>
#include <cstring>

#include "Main/bp.h"

KZ_SOURCE("Main/buttoninhibit");

namespace category {

CategoryButtonInhibit& CategoryButtonInhibit::get() {
  auto* inhibit = BP::instance().find<CategoryButtonInhibit>();
  KZ_CHECK(inhibit != nullptr);
  return *inhibit;
}

void CategoryButtonInhibit::initIndex(int, int) {
  for (int panel = 0; panel < N_CHANNELS; ++panel) rec::stamp(records_[panel], me_, panel);
}

namespace {

// Any entry but the common one, by the declaration's merge; kept out of the table's loop.
[[gnu::noinline]] void mergeEntryFromWire(InhibitEntry& e, const u8* p) { rec::mergeFromWire(e, p); }

constexpr std::size_t ENTRY_WIRE = rec::wireSizeOf<InhibitEntry>();
static_assert(ENTRY_WIRE == 7);
static_assert(offsetof(InhibitEntry, first) == 4 && offsetof(InhibitEntry, second) == 5 && offsetof(InhibitEntry, third) == 6);

// The eight bytes at p as a little-endian word: an entry's mask bytes lowest, its settings in
// bytes 4..6 and byte 7 whatever follows it.
u64 littleWord(const u8* p) {
  u64 w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// An entry of the common kind, every setting marked (mask bytes 00 00 00 07) and in range, found
// with one addition: after the mask bytes are turned into zeros, each byte gets what its limit
// leaves of 255, and a byte carries into the next one exactly when it is over its limit. The
// lowest byte over its limit sees no carry from below, so any byte over its limit shows as a
// carry somewhere; byte 7 is not judged (its carry out is lost).
constexpr u64 COMMON_MASK_BYTES = u64{InhibitEntry::ALL} << 24;
constexpr u64 headroom(const rec::Range& r, int byte) { return u64{255 - static_cast<u64>(r.hi)} << (8 * byte); }
static_assert(InhibitEntry::FIRST.lo == 0 && InhibitEntry::SECOND.lo == 0 && InhibitEntry::THIRD.lo == 0);
static_assert(InhibitEntry::FIRST.hi < 256 && InhibitEntry::SECOND.hi < 256 && InhibitEntry::THIRD.hi < 256);
constexpr u64 HEADROOM = 0xFFFFFFFFull | headroom(InhibitEntry::FIRST, 4) | headroom(InhibitEntry::SECOND, 5) |
                         headroom(InhibitEntry::THIRD, 6);
constexpr u64 CARRY_BITS = 0x0101010101010100ull;  // into bytes 1..7

}  // namespace

namespace {
// The carries that show a byte of an entry off the common kind (see isCommonEntry); none for a
// common entry.
inline u64 uncommonCarries(u64 w) {
  const u64 z = w ^ COMMON_MASK_BYTES;
  return (z ^ HEADROOM ^ (z + HEADROOM)) & CARRY_BITS;
}
}  // namespace

bool CategoryButtonInhibit::isCommonEntry(u64 w) { return uncommonCarries(w) == 0; }

void CategoryButtonInhibit::assignFromWire(const u8* body, int panel) {
  checkChannel(panel);
  KzifButtonInhibit& r = records_[panel];
  if ((rec::loadBigEndian<u32>(body) & 1u) != 0) {
    const u8 flag = body[6];
    if (KzifButtonInhibit::PANEL_FLAG.accept(flag)) {
      r.panelFlag = flag;
      r.mask |= 1u;
    }
  }
  const u8* p = body + KzifButtonInhibit::ENTRIES_WIRE_OFFSET;
  // A common entry's settings, taken whole.
  auto takeCommon = [](InhibitEntry& e, u64 w) {
    e.mask |= InhibitEntry::ALL;
    const u32 settings = static_cast<u32>(w >> 32);
    if constexpr (std::endian::native == std::endian::little) {
      // first and second as one halfword, as they lie in the entry
      const u16 pair = static_cast<u16>(settings);
      std::memcpy(&e.first, &pair, sizeof pair);
    } else {
      e.first = static_cast<u8>(settings);
      e.second = static_cast<u8>(settings >> 8);
    }
    e.third = static_cast<u8>(settings >> 16);
  };
  auto take = [&](InhibitEntry& e, const u8* at, u64 w) {
    if (isCommonEntry(w)) [[likely]] {
      takeCommon(e, w);
      return;
    }
    if (static_cast<u32>(w) != 0) mergeEntryFromWire(e, at);
  };
  // Eight bytes are read for each entry but the last, whose seven are the end of the body. The
  // entries go two at a time, both common (the usual table) found by one test.
  constexpr int LAST = N_INHIBIT_ENTRIES - 1;
  static_assert(LAST % 2 == 0);
  auto at = [&](int i) { return p + ENTRY_WIRE * static_cast<std::size_t>(i); };
#pragma GCC unroll 2
  for (int i = 0; i < LAST; i += 2) {
    const u64 w0 = littleWord(at(i));
    const u64 w1 = littleWord(at(i + 1));
    if ((uncommonCarries(w0) | uncommonCarries(w1)) == 0) [[likely]] {
      takeCommon(r.entry[i], w0);
      takeCommon(r.entry[i + 1], w1);
      continue;
    }
    take(r.entry[i], at(i), w0);
    take(r.entry[i + 1], at(i + 1), w1);
  }
  const u8* last = p + ENTRY_WIRE * LAST;
  u8 bytes[8] = {};
  std::memcpy(bytes, last, ENTRY_WIRE);
  take(r.entry[LAST], last, littleWord(bytes));
  rec::stamp(r, me_, panel);
  markChanged(panel);
}

}  // namespace category

void initCategoryButtonInhibit() { static category::CategoryButtonInhibit buttonInhibit; }
