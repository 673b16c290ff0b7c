// The fade keyer of the program output: how far the fade to black has covered the picture. The
// setter records the level and traces it; kzUpdate does not write it, as the register has no known
// place in the FPGA blocks of this board.
#pragma once
#include "Lib/Include/kz_types.h"

// Level 0.0 (clear) .. 1.0 (fully faded), kept as round(level × 1023) within 0..1023; anything
// below 0 (NaN too) is clear and anything above 1 fully faded.
void setOperateKeyLevel(f32 level);

namespace kz {

constexpr u16 OPERATE_KEY_LEVEL_MAX = 1023;

// The recorded fade keyer level, 0..1023.
u16 operateKeyLevel();
// Power-on state: clear.
void resetOperateKeyLevel();

}  // namespace kz
