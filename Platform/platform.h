// The board as the firmware sees it: physical memory map, global timer, interrupts, hardware
// locks, console, DMA and the hardware status inputs. On the host these are ordinary memory and
// calls (Platform/host.cpp), on the Cortex-A9 the devices themselves (Platform/zynq/); this header
// itself includes no operating-system header.
#pragma once
#include <cstddef>

#include "Lib/Include/kz_types.h"

namespace platform {

// ---- physical memory map -------------------------------------------------------------------
// Shared DDR, the region both cores see. The System Manager rings and the software lock words
// lie at its top; the key source units and the chroma data blocks are addressed by their offset
// from its start, up to 0x8600000.
constexpr u32 SHARED_DDR_BASE = 0x37A00000;
constexpr u32 SHARED_DDR_SIZE = 0x08600000;
constexpr u32 SM_TX_RING = 0x3FF80000;  // back-end -> System Manager
constexpr u32 SM_RX_RING = 0x3FFA0000;  // System Manager -> back-end
constexpr u32 SM_RING_DATA_SIZE = 0x1FFF8;  // after the write index and the read index
constexpr u32 SW_LOCK_WORDS = 0x3FFC0000;   // 128 software lock words
constexpr int N_SW_LOCKS = 128;

// Hardware locks 0x4000 .. 0x4006 (0x4000 guards the software lock words).
constexpr int HW_LOCK_FIRST = 0x4000;
constexpr int N_HW_LOCKS = 7;

// On-chip memory control words.
constexpr u32 OCM_BOOT_MODE = 0xFFFF0000;
constexpr u32 OCM_TIMING_LOG0 = 0xFFFF0004;
constexpr u32 OCM_TIMING_LOG1 = 0xFFFF0010;
constexpr u32 OCM_JUMP_REQUEST = 0xFFFFFFF0;

// Non-volatile window holding the backup image.
constexpr u32 NV_WINDOW = 0x81800000;
constexpr u32 NV_SIZE = 0x20000;

// Programmable-logic register blocks of the video FPGAs.
constexpr u32 FPGA_PS = 0x40000000;
constexpr u32 FPGA_GLUE = 0x81000000;
constexpr u32 FPGA_ME1 = 0x82000000;
constexpr u32 FPGA_ME2 = 0x83000000;
constexpr u32 FPGA_SDI1 = 0x84000000;
constexpr u32 FPGA_SDI2 = 0x85000000;
constexpr u32 FPGA_BLOCK_SIZE = 0x10000;  // register bytes modelled per block

// Pointer to len bytes of shared DDR at physical address addr; nullptr when outside the region.
u8* ddr(u32 addr, std::size_t len);
// One on-chip memory word (only the four addresses above); nullptr for any other address.
volatile u32* ocmWord(u32 addr);
// The non-volatile window, NV_SIZE bytes.
u8* nvWindow();
// FPGA register access; addresses outside the blocks read 0 and ignore writes.
u32 readRegister(u32 addr);
void writeRegister(u32 addr, u32 value);

// ---- timer -----------------------------------------------------------------------------------
// The global timer's rate is the platform's: 333 MHz on the board, 100 MHz in the emulator.
#ifdef ORVANE_TIMER_TICKS_PER_US
constexpr u64 TIMER_TICKS_PER_US = ORVANE_TIMER_TICKS_PER_US;
#else
constexpr u64 TIMER_TICKS_PER_US = 333;
#endif
u64 globalTimer();            // free-running, TIMER_TICKS_PER_US ticks per microsecond
void waitTicks(u64 ticks);    // busy wait on the board; on the host the simulated clock moves on

// ---- interrupts --------------------------------------------------------------------------------
constexpr int IRQ_VSYNC = 31;
using InterruptHandler = void (*)();
void registerInterrupt(int irq, InterruptHandler handler);
// Host: deliver the interrupt now (runs the handler when one is registered).
void raiseInterrupt(int irq);

// ---- hardware locks ------------------------------------------------------------------------------
bool hwLockTry(int id);  // one try; id HW_LOCK_FIRST .. HW_LOCK_FIRST + N_HW_LOCKS - 1
void hwLockRelease(int id);

// ---- console and DMA -------------------------------------------------------------------------------
void consoleWrite(const u8* bytes, std::size_t len);
// Copies len bytes into the non-volatile window at offset (the backup save), in that order.
void dmaToNv(std::size_t offset, const u8* src, std::size_t len);

// Tells the other core that a ring it reads has new bytes.
void signalOtherCore();

// ---- jump request --------------------------------------------------------------------------------
// Hands control to the image at addr. On the host the request is only recorded.
void jumpTo(u32 addr);

// ---- hardware status inputs ------------------------------------------------------------------
// Status words the video hardware reports after each VSYNC. The host runner sets them.
struct HardwareInputs {
  u32 meTally[2] = {0, 0};   // on-air status word of M/E 1 and 2
  u32 dskOutput = 0;         // DSK program/preview word
  u32 dskClean = 0;          // DSK clean word
  u32 fieldParity = 0;       // parity of the field that just started (0 or 1)
  u32 vsyncPeriodUs = 16683; // host: simulated time between two VSYNCs
  u32 powerStatus = 0;       // board power-unit presence and alarm inputs
  u32 alarmStatus = 0;
  u32 clipAudio[4][2] = {};  // the two audio levels of each clip, as its driver reads them
};
HardwareInputs& hardwareInputs();

// ---- driver trace ------------------------------------------------------------------------------
// One line per driver setter call ("NAME ARG..."), delivered to the host when tracing is on.
// The flag is read by every setter call of every field, so it is a plain word, not a call.
extern bool driverTraceOn;
inline bool driverTraceEnabled() { return driverTraceOn; }
void driverTrace(const char* line);

}  // namespace platform
