#include "Main/sourcelink.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "Main/bp.h"
#include "Main/keymem.h"

KZ_SOURCE("Main/sourcelink");

namespace {

void setLinkBit(u32 (&words)[KzifSourceLink::N_LINK_MASK_WORDS], int i) { words[i / 32] |= 1u << (i % 32); }

// The key source memory is told of every record whose direction is taken, before the incoming
// direction is stored, and drops its stored key settings (unless it is disabled), since they were
// made under the old leading order.
void tellKeySourceMemory(const KzifSourceLink& incoming, int liveDirection) {
  if (KeyMemory* memory = findKeyMemory()) memory->onSourceLinkChanged(incoming.direction, liveDirection);
}

// Whether a link entry may hold each value: 0 (no link) or a source of the table. A record brings
// a whole table, each entry judged by one look-up; the last entry stands for every value past
// the table's sources, which it refuses.
constexpr int N_LINK_VALUES = source_ids_detail::LINK_KEY_TABLE_SIZE;
constexpr std::array<u8, N_LINK_VALUES + 1> buildLinkValueTakes() {
  std::array<u8, N_LINK_VALUES + 1> takes{};
  for (int v = 0; v < N_LINK_VALUES; ++v) takes[static_cast<std::size_t>(v)] = v == NO_LINK || linkKeyIndex(v) >= 0 ? 1 : 0;
  return takes;
}
constexpr auto LINK_VALUE_TAKES = buildLinkValueTakes();
static_assert(LINK_VALUE_TAKES[NO_LINK] == 1 && LINK_VALUE_TAKES[N_LINK_VALUES] == 0 && linkKeyIndex(N_LINK_VALUES) < 0);

}  // namespace

namespace category {

CategorySourceLink& CategorySourceLink::get() {
  auto* link = BP::instance().find<CategorySourceLink>();
  KZ_CHECK(link != nullptr);
  return *link;
}

void CategorySourceLink::assign(const KzifSourceLink& in, int idx) {
  checkChannel(idx);
  KzifSourceLink& r = record(idx);

  const bool takeDirection = (in.mask & KzifSourceLink::DIRECTION) && in.direction != r.direction &&
                             KzifSourceLink::ON_OFF.accept(in.direction);
  if (takeDirection) {
    tellKeySourceMemory(in, r.direction);
    r.direction = in.direction;
    r.mask |= KzifSourceLink::DIRECTION;
  }

  // The identity mode in force before this record decides how its links are read.
  const bool identity = r.identity == 1;
  // A mask word at a time: which of its links hold a value the table takes, then those of them
  // that are marked, copied at once when that is all of the word (a whole table is the common
  // record).
  for (int w = 0; w < KzifSourceLink::N_LINK_MASK_WORDS; ++w) {
    const u32 marks = in.linkMask[w];
    if (marks == 0) continue;
    const int first = 32 * w;
    const int count = N_LINK_KEYS - first < 32 ? N_LINK_KEYS - first : 32;
    const u16* candidates = identity ? &linkKeyList[static_cast<std::size_t>(first)] : &in.link[first];
    u32 valid = 0;
    for (int k = 0; k < count; ++k) {
      // 0 clears a link; any other value must itself be a source of the table.
      const unsigned candidate = std::min(static_cast<unsigned>(candidates[k]), static_cast<unsigned>(N_LINK_VALUES));
      valid |= static_cast<u32>(LINK_VALUE_TAKES[candidate]) << k;
    }
    const u32 every = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
    const u32 taken = marks & valid & every;
    if (taken == every) {
      std::memcpy(&r.link[first], candidates, sizeof(u16) * static_cast<std::size_t>(count));
    } else {
      for (u32 rest = taken; rest != 0; rest &= rest - 1) {
        const int k = std::countr_zero(rest);
        r.link[first + k] = candidates[k];
      }
    }
    r.linkMask[w] |= taken;
  }

  if ((in.mask & KzifSourceLink::IDENTITY) && KzifSourceLink::ON_OFF.accept(in.identity)) {
    r.identity = in.identity;
    r.mask |= KzifSourceLink::IDENTITY;
  }

  rec::merge(r.auxBusLink, in.auxBusLink);

  markChanged(idx);
}

void CategorySourceLink::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  KzifSourceLink& r = record(0);
  // Link marks are kept beside the declared masks: every link is reported, the record marks are not.
  r.recordMask = 0;
  std::memset(r.linkMask, 0, sizeof r.linkMask);
  for (int i = 0; i < N_LINK_KEYS; ++i) setLinkBit(r.linkMask, i);
}

bool CategorySourceLink::linkMarksPending() const {
  const KzifSourceLink& r = record(0);
  if (r.recordMask != 0) return true;
  for (u32 w : r.linkMask)
    if (w != 0) return true;
  return false;
}

void CategorySourceLink::clearLinkMarks() {
  KzifSourceLink& r = record(0);
  r.recordMask = 0;
  for (u32& w : r.linkMask) w = 0;
}

// The common send pass clears mask and the AUX mask; once it has taken the record (the changed
// flag is clear again) the link marks go with them.
void CategorySourceLink::sendChanges(AcknowledgeSender& tx) {
  if (linkMarksPending()) markChanged(0);
  CategoryCommon::sendChanges(tx);
  if (!changed(0) && linkMarksPending()) clearLinkMarks();
}

int CategorySourceLink::linkedSource(int source) const {
  const int i = linkKeyIndex(source);
  return i < 0 ? -1 : record(0).link[i];
}

bool CategorySourceLink::auxPairLinked(int pair) const {
  return pair >= 0 && pair < N_AUX_LINK_PAIRS && record(0).auxBusLink.flag[pair] == 1;
}

}  // namespace category

void initCategorySourceLink() { static category::CategorySourceLink sourceLink; }
