// The Zynq-7000 platform as the emulated run drives it: where the emulator's stand-ins of the
// non-volatile window and the FPGA registers lie in DDR, and the hooks through which the
// target-side System Manager player sees the console, the driver trace and the ring signal.
// Used by Platform/zynq/ only.
#pragma once
#include <cstddef>

#include "Platform/platform.h"

namespace zynq {

// DDR regions below the shared area. On the board the non-volatile window and the FPGA blocks
// are their own devices; the emulator has neither, so DDR stands in for them (a loader can
// preload the window).
constexpr u32 PLAYER_SCRIPT = 0x36000000;  // the emulated run's script text, NUL-terminated
constexpr u32 PLAYER_SCRIPT_SIZE = 0x00F00000;
constexpr u32 NV_STANDIN = 0x37000000;
constexpr u32 FPGA_SHADOW = 0x37100000;  // one FPGA_BLOCK_SIZE block per register block
static_assert(NV_STANDIN + platform::NV_SIZE <= FPGA_SHADOW);
static_assert(FPGA_SHADOW + 6 * platform::FPGA_BLOCK_SIZE <= platform::SHARED_DDR_BASE);

// UART 0, polled.
void uartWrite(const char* bytes, std::size_t len);
void uartPuts(const char* text);

using ConsoleHook = void (*)(const char* bytes, std::size_t len);
using TraceHook = void (*)(const char* line);
using SignalHook = void (*)();
// With a console hook set, the console goes to it instead of UART 0; tracing is on while a trace
// hook is set; the signal hook runs whenever the back-end signals the other core.
void setConsoleHook(ConsoleHook hook);
void setTraceHook(TraceHook hook);
void setSignalHook(SignalHook hook);

// Interrupt masking of the current core (CPSR.I).
void disableInterrupts();
void enableInterrupts();
void waitForInterrupt();

// VSYNC stand-in: how many have been delivered since start, and the field parity the next one
// reports (fields alternate after it).
u32 vsyncCount();
void setNextParity(u32 parity);
// Moves the field interrupt to a new period from the last VSYNC on.
void setFieldPeriodUs(u32 us);

// Time the VSYNC handler took so far, in nanoseconds of the global timer. Under the emulator's
// `-icount shift=0` a nanosecond is one instruction: the counts are instruction counts (to the
// timer's resolution, 10 at 100 MHz).
struct FieldCost {
  u32 count = 0;
  u64 min = 0;
  u64 max = 0;
  u64 total = 0;
};
FieldCost fieldCost();
// Deepest use of the interrupt and main stacks so far, in bytes; heap the run-time took.
std::size_t irqStackUsed();
std::size_t mainStackUsed();
std::size_t heapUsed();

// Power cycle of the emulated board: shared DDR, on-chip words, FPGA shadow, locks, handlers and
// inputs start afresh; the non-volatile window is kept.
void resetMachine();
u32 lastJumpAddress();

// Stops the emulator (semihosting) with success or failure; spins where semihosting is off.
[[noreturn]] void exit(bool success);

}  // namespace zynq
