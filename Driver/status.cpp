#include "Driver/status.h"

#include "Common/assert.h"
#include "Driver/trace.h"
#include "Platform/platform.h"

KZ_SOURCE("Driver/status");

namespace {
// The register has no known place in the FPGA blocks: the value is kept and traced.
int dskTallyControl = -1;
}  // namespace

u32 getPowerStatus(int& unit1Present, int& unit2Present) {
  const u32 status = platform::hardwareInputs().powerStatus;
  unit1Present = static_cast<int>(status & 1u);
  unit2Present = static_cast<int>((status >> 1) & 1u);
  return status;
}

u32 checkPowerDown() { return platform::hardwareInputs().alarmStatus; }

void setPeripheralTally(int target, int value) {
  trace::call("setPeripheralTally", trace::Id{target}, value);
  if (target == KZ_DSK_PGM1) dskTallyControl = value;
}

namespace kz {
int peripheralTally(int target) { return target == KZ_DSK_PGM1 ? dskTallyControl : -1; }
}  // namespace kz
