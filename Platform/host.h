// Host-only control of the stand-in board: power cycling, the simulated clock and the sinks that
// let the host runner and the tests see the console, the driver trace and the System Manager's
// side of the rings. Used by Sim/ and tests/ only.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "Platform/platform.h"

namespace host {

// Power cycle: every memory but the non-volatile window is cleared, handlers are unregistered.
// With keepNv false the non-volatile window is cleared too (a factory-fresh board).
void resetMachine(bool keepNv);

// The whole machine at one moment, to start again from exactly there instead of from a power cycle
// and a boot: the stand-in board (shared DDR, the non-volatile window, on-chip memory words, FPGA
// registers, timer, hardware inputs, locks, interrupt handlers) and, where the build gathers them
// in sections of their own (the fuzz preset), the back-end's statics. The sinks are left as they are.
class MachineSnapshot {
 public:
  MachineSnapshot();
  ~MachineSnapshot();
  MachineSnapshot(const MachineSnapshot&) = delete;
  MachineSnapshot& operator=(const MachineSnapshot&) = delete;

  void save();
  // Puts back what save() took; only after one.
  void restore() const;
  // Whether the back-end's statics are in it: without them a restore leaves the back-end as it
  // was, and only the board goes back.
  bool includesFirmware() const;
  // Bytes of the back-end's statics it holds (0 without them).
  std::size_t firmwareBytes() const;

  // A check of the snapshot itself, for fuzz targets: from now on save() also takes every
  // writable byte of the executable (the back-end's statics, the stand-in board's, the runner's,
  // and the fuzzer's and sanitizers' own), and changedSinceSave() names what differs from that:
  // objects by symbol (locals as FILE:NAME), "unnamed bytes", and "shared DDR" for the board's
  // shared memory. Right after a restore() only state the caller owns outside the machine may
  // show up.
  void watchWholeProcess();
  std::vector<std::string> changedSinceSave() const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

// Whether len bytes at a and at b are the same, compared without the address sanitizer's check of
// both ranges (the library's own compare): for the runner's checks over whole images after every
// field, where the ranges are the back-end's and the board's own memory.
bool sameBytes(const void* a, const void* b, std::size_t len);

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
