// Power-on sequence: board check, memory bring-up and loading of the FPGA configuration images.
#pragma once

namespace amp {
// Brings the video hardware up to the point where the drivers can program it.
void powerOn();
}  // namespace amp
