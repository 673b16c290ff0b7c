// Host-only control of the stand-in board: power cycling, the simulated clock and the sinks that
// let the host runner and the tests see the console, the driver trace and the System Manager's
// side of the rings. Used by Sim/ and tests/ only.
#pragma once
#include <cstddef>

#include "Platform/platform.h"

namespace host {

// Power cycle: every memory but the non-volatile window is cleared, handlers are unregistered.
// With keepNv false the non-volatile window is cleared too (a factory-fresh board).
void resetMachine(bool keepNv);

// Moves the simulated global timer on.
void advanceMicros(u64 micros);

using ConsoleSink = void (*)(void* ctx, const char* bytes, std::size_t len);
void setConsoleSink(ConsoleSink sink, void* ctx);

using TraceSink = void (*)(void* ctx, const char* line);
// Tracing is on while a sink is set.
void setTraceSink(TraceSink sink, void* ctx);

// Called whenever the firmware signals the other core (after it wrote into a ring).
using SignalSink = void (*)(void* ctx);
void setSignalSink(SignalSink sink, void* ctx);

// A power cut in the middle of a backup save: after `bytes` more bytes have reached the
// non-volatile window, in the order platform::dmaToNv is given them, nothing more is written.
// NO_NV_BUDGET (also after resetMachine) lifts the limit.
constexpr std::size_t NO_NV_BUDGET = static_cast<std::size_t>(-1);
void setNvWriteBudget(std::size_t bytes);
// Bytes that have reached the non-volatile window through platform::dmaToNv since the host started.
u64 nvBytesWritten();
// Called for every platform::dmaToNv with where it wrote and how many bytes reached the window.
using NvWriteSink = void (*)(void* ctx, std::size_t offset, std::size_t len);
void setNvWriteSink(NvWriteSink sink, void* ctx);

// Last address handed to platform::jumpTo (0 when none) and how many jumps were requested.
u32 lastJumpAddress();
int jumpCount();

}  // namespace host
