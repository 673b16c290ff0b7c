#include "Main/bus_status.h"

#include <array>
#include <cstring>

#include "Main/bp.h"
#include "Main/sourcelink.h"

KZ_SOURCE("Main/bus_status");

namespace {

// Which bus of a pair leads (0 the first, 1 the second): the source link's direction. Without a
// source link category the first bus leads.
int sourceLinkDirection() {
  const auto* link = BP::instance().find<category::CategorySourceLink>();
  return link ? link->direction() : 0;
}

}  // namespace

namespace category {

CategoryBusStatus& CategoryBusStatus::get(int me) {
  return BP::instance().require<CategoryBusStatus>(me);
}

void CategoryBusStatus::initIndex(int, int) {
  for (int p = 0; p < N_CHANNELS; ++p) rec::stamp(records_[p], me_, p);
}

// Runs on every start, warm or cold: the last received flag1 values do not survive a restart.
void CategoryBusStatus::initInternal() {
  CategoryCommon::initInternal();
  lastFlag1_.fill(0);
}

void CategoryBusStatus::assign(const KzifBusStatus& in, int panel) {
  if (panel < 0 || panel >= N_CHANNELS) return;  // no such panel: ignored, like its events
  KzifBusStatus copy = in;
  u8& last = lastFlag1_[static_cast<std::size_t>(panel)];
  // While the first bus of a pair leads, a second 1 in a row clears the state instead.
  if (sourceLinkDirection() == 0 && last == 1 && in.flag1 == 1) {
    copy.flag1 = 0;
    copy.mask |= 1u << 0;
  }
  last = in.flag1;
  CategoryCommon::assign(copy, panel);
}

namespace {
// Where flag1 and the mask byte of its bit lie in the wire body: after the mask, the M/E, the
// panel and the row buses.
constexpr std::size_t FLAG1_WIRE = 4 + 1 + 2 + rec::wireSizeOf<BusStatusRowBus>();
constexpr std::size_t FLAG1_MASK_BYTE = 3;
static_assert(FLAG1_WIRE == 16);
}  // namespace

void CategoryBusStatus::assignFromWire(const u8* body, int panel) {
  if (panel < 0 || panel >= N_CHANNELS) return;
  const u8 flag1 = body[FLAG1_WIRE];
  u8& last = lastFlag1_[static_cast<std::size_t>(panel)];
  const u8* wire = body;
  std::array<u8, rec::wireSizeOf<KzifBusStatus>()> copy;
  if (last == 1 && flag1 == 1 && sourceLinkDirection() == 0) {
    std::memcpy(copy.data(), body, copy.size());
    copy[FLAG1_WIRE] = 0;
    copy[FLAG1_MASK_BYTE] = static_cast<u8>(copy[FLAG1_MASK_BYTE] | 1u);
    wire = copy.data();
  }
  last = flag1;
  mergeFromWire(wire, panel);
}

int CategoryBusStatus::lastFlag1(int panel) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  return lastFlag1_[static_cast<std::size_t>(panel)];
}

int CategoryBusStatus::hasOddBusCode(const KzifBusStatus& channel) {
  for (int row = 0; row < 4; ++row) {
    switch (channel.rowBus.bus[row]) {
      case 3: case 5: case 7: case 9:        // key sources of keyers 1..4
      case 11:                               // utility 2
      case 17: case 19: case 21: case 23:    // key sources of downstream keys 1..4
      case 103: case 105: case 107: case 109:
        return 1;
      default:
        break;
    }
  }
  return 0;
}

}  // namespace category

void initCategoryBusStatus() { static category::CategoryBusStatus busStatus[N_ME]; }
