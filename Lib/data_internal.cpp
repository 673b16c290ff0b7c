#include "Lib/Include/data_internal.h"

#include "Common/assert.h"
#include "Common/positions.h"

namespace lampmap {

void ledCodeUnmapped() { assert::fail(positions::LAMP_MAP_SOURCE, positions::LAMP_MAP_UNMAPPED, "NeverReachHere"); }

void meLedCodeUnmapped() { assert::fail(positions::LAMP_MAP_SOURCE, 353, "NeverReachHere"); }

}  // namespace lampmap
