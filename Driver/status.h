// Board status the maintenance reads (power units, alarm inputs) and the tally control register
// that the peripheral settings write outside the per-field register images.
#pragma once
#include "Lib/Include/kz_types.h"

// Presence of power unit 1 and 2 (bits 0 and 1 of the board status); returns the raw status.
u32 getPowerStatus(int& unit1Present, int& unit2Present);

// The alarm status word: bit 0 status input 0; bits 1, 2 the first alarm input of power unit 1, 2
// (each only while the unit is present); bits 3, 4 their second alarm input; bit 5 any of the
// temperature flags 7..11; bit 6 a further board input; bits 7..11 the temperature flags of the
// processing-system side, ME1, ME2, SDI1 and SDI2.
u32 checkPowerDown();

// Tally control register, written at once. The only target is KZ_DSK_PGM1.
void setPeripheralTally(int target, int value);

namespace kz {
// What the tally control register of a target last received (-1 before any write).
int peripheralTally(int target);
}  // namespace kz
