// Start-up, the 30 ms loop and the VSYNC field cycle of the back-end.
#pragma once
#include "Lib/Include/kz_types.h"

namespace orvane {

// Software lock the System Manager holds until it is ready for the back-end.
constexpr int STARTUP_LOCK = 95;
constexpr u64 LOOP_PERIOD_US = 30000;
constexpr u64 VSYNC_TOLERANCE_US = 1000;

// Start-up up to the main loop: banner, categories in type id order, BP start, VSYNC handler,
// and the first try of the start-up lock.
void boot();
// One pass of the 30 ms loop without its wait: until the start-up lock has been taken once, only
// that try; then the jump request and the 30 ms hooks of every category.
void mainLoopPass();
bool timerTaskStarted();
// The VSYNC interrupt handler.
void vsyncInterrupt();
// The board's entry: boot, then the loop with its waits. Never returns.
[[noreturn]] void run();

}  // namespace orvane
