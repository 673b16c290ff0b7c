// Host stand-in of the board: memory regions as static arrays, a simulated global timer and
// interrupts delivered as plain calls.
#include "Platform/host.h"

#include <array>
#include <cstring>

namespace {

alignas(8) std::array<u8, platform::SHARED_DDR_SIZE> sharedDdr{};
alignas(8) std::array<u8, platform::NV_SIZE> nvMemory{};
std::array<u32, 4> ocmWords{};  // boot mode, timing log 0, timing log 1, jump request
constexpr std::array<u32, 6> fpgaBases = {platform::FPGA_PS,   platform::FPGA_GLUE, platform::FPGA_ME1,
                                          platform::FPGA_ME2,  platform::FPGA_SDI1, platform::FPGA_SDI2};
std::array<std::array<u32, platform::FPGA_BLOCK_SIZE / 4>, 6> fpgaRegisters{};
std::array<bool, platform::N_HW_LOCKS> hwLocks{};
std::array<platform::InterruptHandler, 64> handlers{};
platform::HardwareInputs inputs{};
u64 timerTicks = 0;
u32 jumpAddress = 0;
int jumps = 0;

host::ConsoleSink consoleSink = nullptr;
void* consoleCtx = nullptr;
host::TraceSink traceSink = nullptr;
void* traceCtx = nullptr;
host::SignalSink signalSink = nullptr;
void* signalCtx = nullptr;

int ocmIndex(u32 addr) {
  switch (addr) {
    case platform::OCM_BOOT_MODE: return 0;
    case platform::OCM_TIMING_LOG0: return 1;
    case platform::OCM_TIMING_LOG1: return 2;
    case platform::OCM_JUMP_REQUEST: return 3;
    default: return -1;
  }
}

u32* fpgaRegister(u32 addr) {
  for (std::size_t b = 0; b < fpgaBases.size(); ++b) {
    if (addr >= fpgaBases[b] && addr - fpgaBases[b] < platform::FPGA_BLOCK_SIZE && (addr & 3) == 0)
      return &fpgaRegisters[b][(addr - fpgaBases[b]) / 4];
  }
  return nullptr;
}

}  // namespace

namespace platform {

u8* ddr(u32 addr, std::size_t len) {
  if (addr < SHARED_DDR_BASE) return nullptr;
  const u64 offset = addr - SHARED_DDR_BASE;
  if (offset + len > SHARED_DDR_SIZE) return nullptr;
  return sharedDdr.data() + offset;
}

volatile u32* ocmWord(u32 addr) {
  const int i = ocmIndex(addr);
  return i < 0 ? nullptr : &ocmWords[static_cast<std::size_t>(i)];
}

u8* nvWindow() { return nvMemory.data(); }

u32 readRegister(u32 addr) {
  const u32* r = fpgaRegister(addr);
  return r ? *r : 0;
}

void writeRegister(u32 addr, u32 value) {
  if (u32* r = fpgaRegister(addr)) *r = value;
}

u64 globalTimer() { return timerTicks; }
void waitTicks(u64 ticks) { timerTicks += ticks; }

void registerInterrupt(int irq, InterruptHandler handler) {
  if (irq >= 0 && static_cast<std::size_t>(irq) < handlers.size()) handlers[static_cast<std::size_t>(irq)] = handler;
}

void raiseInterrupt(int irq) {
  if (irq < 0 || static_cast<std::size_t>(irq) >= handlers.size()) return;
  if (InterruptHandler h = handlers[static_cast<std::size_t>(irq)]) h();
}

bool hwLockTry(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i < 0 || i >= N_HW_LOCKS || hwLocks[static_cast<std::size_t>(i)]) return false;
  hwLocks[static_cast<std::size_t>(i)] = true;
  return true;
}

void hwLockRelease(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i >= 0 && i < N_HW_LOCKS) hwLocks[static_cast<std::size_t>(i)] = false;
}

void consoleWrite(const u8* bytes, std::size_t len) {
  if (consoleSink) consoleSink(consoleCtx, reinterpret_cast<const char*>(bytes), len);
}

void dmaToNv(std::size_t offset, const u8* src, std::size_t len) {
  if (offset > NV_SIZE || len > NV_SIZE - offset) return;
  std::memcpy(nvMemory.data() + offset, src, len);
}

void signalOtherCore() {
  if (signalSink) signalSink(signalCtx);
}

void jumpTo(u32 addr) {
  jumpAddress = addr;
  ++jumps;
}

HardwareInputs& hardwareInputs() { return inputs; }

bool driverTraceEnabled() { return traceSink != nullptr; }
void driverTrace(const char* line) {
  if (traceSink) traceSink(traceCtx, line);
}

}  // namespace platform

namespace host {

void resetMachine(bool keepNv) {
  sharedDdr.fill(0);
  if (!keepNv) nvMemory.fill(0);
  ocmWords.fill(0);
  for (auto& block : fpgaRegisters) block.fill(0);
  hwLocks.fill(false);
  handlers.fill(nullptr);
  inputs = platform::HardwareInputs{};
  jumpAddress = 0;
  jumps = 0;
}

void advanceMicros(u64 micros) { timerTicks += micros * platform::TIMER_TICKS_PER_US; }

void setConsoleSink(ConsoleSink sink, void* ctx) {
  consoleSink = sink;
  consoleCtx = ctx;
}

void setTraceSink(TraceSink sink, void* ctx) {
  traceSink = sink;
  traceCtx = ctx;
}

void setSignalSink(SignalSink sink, void* ctx) {
  signalSink = sink;
  signalCtx = ctx;
}

u32 lastJumpAddress() { return jumpAddress; }
int jumpCount() { return jumps; }

}  // namespace host
