// Host stand-in of the board: memory regions as host memory, a simulated global timer and
// interrupts delivered as plain calls.
//
// A power cycle happens before every fuzz input, so it must cost what the last run touched, not
// what the board has: the shared DDR is an anonymous mapping whose pages the kernel hands out on
// first touch, and a reset clears only the pages the firmware was given a pointer into; the FPGA
// blocks clear only the register span that was written.
#include "Platform/host.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

// Shared DDR, lazily backed, with a bitmap of the granules handed out since the last reset.
class LazySharedMemory {
 public:
  static constexpr std::size_t GRANULE = 4096;
  static constexpr std::size_t N_GRANULES = (platform::SHARED_DDR_SIZE + GRANULE - 1) / GRANULE;
  // Runs this long are given back to the kernel instead of being cleared byte by byte: what was
  // handed out but never touched is then never faulted in.
  static constexpr std::size_t RELEASE_MIN = std::size_t{1} << 20;

  u8* base() {
    if (!base_) map();
    return base_;
  }

  void markHandedOut(std::size_t offset, std::size_t len) {
    if (len == 0) return;
    const std::size_t first = offset / GRANULE;
    const std::size_t last = (offset + len - 1) / GRANULE;
    if (first == last) {  // a header or a word: the common hand-out
      dirty_[first / 64] |= u64{1} << (first % 64);
      return;
    }
    // A word of granules at a time: the rings hand out their whole data area on every access.
    for (std::size_t g = first; g <= last;) {
      const std::size_t bit = g % 64;
      const std::size_t n = std::min<std::size_t>(64 - bit, last - g + 1);
      dirty_[g / 64] |= (n == 64 ? ~u64{0} : ((u64{1} << n) - 1) << bit);
      g += n;
    }
  }

  void clearHandedOut() {
    if (!base_) return;
    std::size_t g = 0;
    while (g < N_GRANULES) {
      if (!isDirty(g)) {
        // Whole clean words at once: most of a large region is never handed out.
        g = (g % 64 == 0 && dirty_[g / 64] == 0) ? g + 64 : g + 1;
        continue;
      }
      const std::size_t first = g;
      while (g < N_GRANULES && isDirty(g)) ++g;
      clearRun(first * GRANULE, g * GRANULE);
    }
    dirty_.fill(0);
  }

 private:
  bool isDirty(std::size_t g) const { return (dirty_[g / 64] >> (g % 64)) & 1u; }

  void map() {
    void* p = mmap(nullptr, platform::SHARED_DDR_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    if (p == MAP_FAILED) {
      std::perror("shared DDR stand-in: mmap");
      std::abort();
    }
    base_ = static_cast<u8*>(p);
    pageSize_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  }

  void clearRun(std::size_t from, std::size_t to) {
    if (to > platform::SHARED_DDR_SIZE) to = platform::SHARED_DDR_SIZE;
    const std::size_t pageFrom = (from + pageSize_ - 1) / pageSize_ * pageSize_;
    const std::size_t pageTo = to / pageSize_ * pageSize_;
    if (pageTo > pageFrom && pageTo - pageFrom >= RELEASE_MIN &&
        madvise(base_ + pageFrom, pageTo - pageFrom, MADV_DONTNEED) == 0) {
      // A private anonymous mapping reads as zeros after MADV_DONTNEED.
      std::memset(base_ + from, 0, pageFrom - from);
      std::memset(base_ + pageTo, 0, to - pageTo);
      return;
    }
    std::memset(base_ + from, 0, to - from);
  }

  u8* base_ = nullptr;
  std::size_t pageSize_ = GRANULE;
  std::array<u64, (N_GRANULES + 63) / 64> dirty_{};
};

// One FPGA register block and the span of it written since the last reset.
struct RegisterBlock {
  std::array<u32, platform::FPGA_BLOCK_SIZE / 4> words{};
  std::size_t writtenFrom = words.size();
  std::size_t writtenTo = 0;

  void write(std::size_t i, u32 value) {
    words[i] = value;
    if (i < writtenFrom) writtenFrom = i;
    if (i + 1 > writtenTo) writtenTo = i + 1;
  }
  void clearWritten() {
    if (writtenFrom < writtenTo) std::memset(&words[writtenFrom], 0, (writtenTo - writtenFrom) * sizeof(u32));
    writtenFrom = words.size();
    writtenTo = 0;
  }
};

// Categories release their software locks in their destructors at exit, through this memory: it
// must still be there then, whatever the order of destruction.
static_assert(std::is_trivially_destructible_v<LazySharedMemory>);
static_assert(std::is_trivially_destructible_v<std::array<bool, platform::N_HW_LOCKS>>);
LazySharedMemory sharedDdr;
alignas(8) std::array<u8, platform::NV_SIZE> nvMemory{};
std::array<u32, 4> ocmWords{};  // boot mode, timing log 0, timing log 1, jump request
constexpr std::array<u32, 6> fpgaBases = {platform::FPGA_PS,   platform::FPGA_GLUE, platform::FPGA_ME1,
                                          platform::FPGA_ME2,  platform::FPGA_SDI1, platform::FPGA_SDI2};
std::array<RegisterBlock, 6> fpgaRegisters{};
std::array<bool, platform::N_HW_LOCKS> hwLocks{};
std::array<platform::InterruptHandler, 64> handlers{};
platform::HardwareInputs inputs{};
u64 timerTicks = 0;
u32 jumpAddress = 0;
int jumps = 0;
std::size_t nvBudget = host::NO_NV_BUDGET;
u64 nvWritten = 0;
host::NvWriteSink nvWriteSink = nullptr;
void* nvWriteCtx = nullptr;

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

// Block and word index of a register address; false outside the blocks.
bool fpgaRegister(u32 addr, std::size_t& block, std::size_t& word) {
  for (std::size_t b = 0; b < fpgaBases.size(); ++b) {
    if (addr >= fpgaBases[b] && addr - fpgaBases[b] < platform::FPGA_BLOCK_SIZE && (addr & 3) == 0) {
      block = b;
      word = (addr - fpgaBases[b]) / 4;
      return true;
    }
  }
  return false;
}

}  // namespace

namespace platform {

u8* ddr(u32 addr, std::size_t len) {
  if (addr < SHARED_DDR_BASE) return nullptr;
  const u64 offset = addr - SHARED_DDR_BASE;
  if (offset + len > SHARED_DDR_SIZE) return nullptr;
  // Whoever holds the pointer may write through it: the span is cleared at the next reset.
  sharedDdr.markHandedOut(static_cast<std::size_t>(offset), len);
  return sharedDdr.base() + offset;
}

volatile u32* ocmWord(u32 addr) {
  const int i = ocmIndex(addr);
  return i < 0 ? nullptr : &ocmWords[static_cast<std::size_t>(i)];
}

u8* nvWindow() { return nvMemory.data(); }

u32 readRegister(u32 addr) {
  std::size_t block, word;
  return fpgaRegister(addr, block, word) ? fpgaRegisters[block].words[word] : 0;
}

void writeRegister(u32 addr, u32 value) {
  std::size_t block, word;
  if (fpgaRegister(addr, block, word)) fpgaRegisters[block].write(word, value);
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
  // Once the power is cut, what was not yet written never reaches the memory.
  const std::size_t n = len < nvBudget ? len : nvBudget;
  std::memcpy(nvMemory.data() + offset, src, n);
  if (nvBudget != host::NO_NV_BUDGET) nvBudget -= n;
  nvWritten += n;
  if (nvWriteSink) nvWriteSink(nvWriteCtx, offset, n);
}

void signalOtherCore() {
  if (signalSink) signalSink(signalCtx);
}

void jumpTo(u32 addr) {
  jumpAddress = addr;
  ++jumps;
}

HardwareInputs& hardwareInputs() { return inputs; }

bool driverTraceOn = false;
void driverTrace(const char* line) {
  if (traceSink) traceSink(traceCtx, line);
}

}  // namespace platform

namespace host {

void resetMachine(bool keepNv) {
  sharedDdr.clearHandedOut();
  if (!keepNv) nvMemory.fill(0);
  ocmWords.fill(0);
  for (auto& block : fpgaRegisters) block.clearWritten();
  hwLocks.fill(false);
  handlers.fill(nullptr);
  inputs = platform::HardwareInputs{};
  jumpAddress = 0;
  jumps = 0;
  nvBudget = NO_NV_BUDGET;
}

void advanceMicros(u64 micros) { timerTicks += micros * platform::TIMER_TICKS_PER_US; }

void setConsoleSink(ConsoleSink sink, void* ctx) {
  consoleSink = sink;
  consoleCtx = ctx;
}

void setTraceSink(TraceSink sink, void* ctx) {
  traceSink = sink;
  traceCtx = ctx;
  platform::driverTraceOn = sink != nullptr;
}

void setSignalSink(SignalSink sink, void* ctx) {
  signalSink = sink;
  signalCtx = ctx;
}

void setNvWriteBudget(std::size_t bytes) { nvBudget = bytes; }
void setNvWriteSink(NvWriteSink sink, void* ctx) {
  nvWriteSink = sink;
  nvWriteCtx = ctx;
}
u64 nvBytesWritten() { return nvWritten; }

u32 lastJumpAddress() { return jumpAddress; }
int jumpCount() { return jumps; }

}  // namespace host
