// The fade keyer of the program output: how far the fade to black has covered the picture. Like
// every setter, this only records into the glue image; the pipeline writes it at the next VSYNC.
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
