// The firmware's platform interface on a Zynq-7000 Cortex-A9 core, bare metal, MMU off: UART 0
// for the console, the global timer for time, the private timer through the GIC for the field
// interrupt, and DDR stand-ins for what the emulator lacks (the non-volatile window, the FPGA
// register blocks). Also the few system calls the C++ run-time needs.
#include "Platform/zynq/zynq.h"

#include "Platform/zynq/copy.h"

#include <cerrno>
#include <initializer_list>
#include <cstring>

namespace {

// ---- devices ---------------------------------------------------------------------------------
constexpr u32 UART0 = 0xE0000000;
constexpr u32 UART_CR = 0x00, UART_MR = 0x04, UART_BAUDGEN = 0x18, UART_SR = 0x2C, UART_FIFO = 0x30,
              UART_BAUDDIV = 0x34;
constexpr u32 UART_CR_RXRST = 1u << 0, UART_CR_TXRST = 1u << 1, UART_CR_RXEN = 1u << 2, UART_CR_TXEN = 1u << 4;
constexpr u32 UART_MR_NO_PARITY = 4u << 3;
constexpr u32 UART_SR_TXFULL = 1u << 4;

constexpr u32 GTIMER = 0xF8F00200;  // counter low, counter high, control
constexpr u32 GT_LOW = 0x00, GT_HIGH = 0x04, GT_CONTROL = 0x08;
constexpr u32 GT_ENABLE = 1u << 0;

constexpr u32 PTIMER = 0xF8F00600;  // load, counter, control, interrupt status
constexpr u32 PT_LOAD = 0x00, PT_COUNTER = 0x04, PT_CONTROL = 0x08, PT_STATUS = 0x0C;
constexpr u32 PT_ENABLE = 1u << 0, PT_AUTO_RELOAD = 1u << 1, PT_IRQ_ENABLE = 1u << 2;

constexpr u32 GIC_CPU = 0xF8F00100;
constexpr u32 GIC_DIST = 0xF8F01000;
constexpr u32 ICC_CTRL = 0x000, ICC_PMR = 0x004, ICC_IAR = 0x00C, ICC_EOIR = 0x010;
constexpr u32 ICD_CTRL = 0x000, ICD_ISENABLE = 0x100, ICD_ICENABLE = 0x180, ICD_PRIORITY = 0x400;
constexpr u32 GIC_SPURIOUS = 1023;

constexpr u32 IRQ_PRIVATE_TIMER = 29;
constexpr std::size_t N_IRQS = 96;

inline volatile u32& reg(u32 addr) { return *reinterpret_cast<volatile u32*>(addr); }

// ---- state -------------------------------------------------------------------------------------
platform::InterruptHandler handlers[N_IRQS] = {};
bool hwLocks[platform::N_HW_LOCKS] = {};
platform::HardwareInputs inputs{};
u32 nextParity = 0;
volatile u32 vsyncs = 0;
u32 jumpAddress = 0;
zynq::FieldCost cost{};

zynq::ConsoleHook consoleHook = nullptr;
zynq::TraceHook traceHook = nullptr;
zynq::SignalHook signalHook = nullptr;

u32 ptimerLoad(u32 periodUs) {
  const u64 ticks = u64{periodUs} * platform::TIMER_TICKS_PER_US;
  return ticks == 0 ? 0 : static_cast<u32>(ticks > 0xFFFFFFFFu ? 0xFFFFFFFFu : ticks - 1);
}

void gicEnable(u32 id, bool on) {
  reg(GIC_DIST + (on ? ICD_ISENABLE : ICD_ICENABLE) + 4 * (id / 32)) = 1u << (id % 32);
}

void startFieldTimer() {
  reg(PTIMER + PT_CONTROL) = 0;
  reg(PTIMER + PT_STATUS) = 1;
  const u32 load = ptimerLoad(inputs.vsyncPeriodUs);
  reg(PTIMER + PT_LOAD) = load;
  reg(PTIMER + PT_COUNTER) = load;
  reg(PTIMER + PT_CONTROL) = PT_ENABLE | PT_AUTO_RELOAD | PT_IRQ_ENABLE;
  gicEnable(IRQ_PRIVATE_TIMER, true);
}

void stopFieldTimer() {
  reg(PTIMER + PT_CONTROL) = 0;
  reg(PTIMER + PT_STATUS) = 1;
  gicEnable(IRQ_PRIVATE_TIMER, false);
}

u32 saveAndDisable() {
  u32 cpsr;
  asm volatile("mrs %0, cpsr\n\tcpsid i" : "=r"(cpsr)::"memory");
  return cpsr;
}
void restore(u32 cpsr) { asm volatile("msr cpsr_c, %0" ::"r"(cpsr) : "memory"); }

void uartInit() {
  reg(UART0 + UART_CR) = UART_CR_TXRST | UART_CR_RXRST;
  reg(UART0 + UART_MR) = UART_MR_NO_PARITY;  // 8 data bits, 1 stop bit
  reg(UART0 + UART_BAUDGEN) = 124;           // 115200 baud from the 100 MHz reference
  reg(UART0 + UART_BAUDDIV) = 6;
  reg(UART0 + UART_CR) = UART_CR_TXEN | UART_CR_RXEN;
}

void gicInit() {
  reg(GIC_DIST + ICD_CTRL) = 0;
  for (u32 i = 0; i < N_IRQS / 32; ++i) reg(GIC_DIST + ICD_ICENABLE + 4 * i) = 0xFFFFFFFFu;
  for (u32 i = 0; i < N_IRQS / 4; ++i) reg(GIC_DIST + ICD_PRIORITY + 4 * i) = 0xA0A0A0A0u;
  reg(GIC_DIST + ICD_CTRL) = 1;
  reg(GIC_CPU + ICC_PMR) = 0xF0;
  reg(GIC_CPU + ICC_CTRL) = 1;
}

// Stack high-water marks: the stacks are painted at start and the untouched words counted.
constexpr u32 STACK_PAINT = 0x57AC57ACu;

}  // namespace

extern "C" {
extern u32 __irq_stack_bottom[], __irq_stack_top[], __svc_stack_bottom[], __svc_stack_top[];
extern char __heap_start[], __heap_end[];
void __libc_init_array();
int zynq_main();

// The C++ run-time's view of the machine.
void* __dso_handle = nullptr;
void _init() {}
void _fini() {}

char* heapBreak = __heap_start;
char* heapHigh = __heap_start;

void* _sbrk(std::ptrdiff_t increment) {
  if (increment > __heap_end - heapBreak || increment < __heap_start - heapBreak) {
    errno = ENOMEM;
    return reinterpret_cast<void*>(-1);
  }
  char* old = heapBreak;
  heapBreak += increment;
  if (heapBreak > heapHigh) heapHigh = heapBreak;
  return old;
}

// The run-time's allocator serves the main loop and the field interrupt alike (formatted output
// of floating-point values allocates): while it works on its lists, the field interrupt waits.
struct _reent;
u32 mallocDepth = 0;
u32 mallocCpsr = 0;
void __malloc_lock(struct _reent*) {
  const u32 cpsr = saveAndDisable();
  if (mallocDepth++ == 0) mallocCpsr = cpsr;
}
void __malloc_unlock(struct _reent*) {
  if (mallocDepth > 0 && --mallocDepth == 0) restore(mallocCpsr);
}

int _write(int fd, const char* bytes, int len) {
  if (fd != 1 && fd != 2) {
    errno = EBADF;
    return -1;
  }
  zynq::uartWrite(bytes, static_cast<std::size_t>(len));
  return len;
}

[[noreturn]] void _exit(int status) { zynq::exit(status == 0); }

// The C library's memcpy moves a misaligned tail with unaligned word accesses, which fault here.
// The compiler must not turn the copy's loops back into a memcpy call.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(void* dst, const void* src,
                                                                           std::size_t n) {
  zynq::alignedCopy(dst, src, n);
  return dst;
}
void __aeabi_memcpy(void* dst, const void* src, std::size_t n) { memcpy(dst, src, n); }
void __aeabi_memcpy4(void* dst, const void* src, std::size_t n) { memcpy(dst, src, n); }
void __aeabi_memcpy8(void* dst, const void* src, std::size_t n) { memcpy(dst, src, n); }

[[noreturn]] void zynq_start() {
  {
    // Paint the main stack below what this frame uses, and the whole interrupt stack.
    u32* sp;
    asm volatile("mov %0, sp" : "=r"(sp));
    for (u32* p = __svc_stack_bottom; p < sp - 64; ++p) *p = STACK_PAINT;
    for (u32* p = __irq_stack_bottom; p < __irq_stack_top; ++p) *p = STACK_PAINT;
  }
  reg(GTIMER + GT_CONTROL) = GT_ENABLE;
  uartInit();
  gicInit();
  __libc_init_array();
  zynq::exit(zynq_main() == 0);
}

void zynq_irq_dispatch() {
  const u32 iar = reg(GIC_CPU + ICC_IAR);
  const u32 id = iar & 0x3FF;
  if (id == GIC_SPURIOUS) return;
  if (id == IRQ_PRIVATE_TIMER) {
    // The field interrupt: stands in for VSYNC, with the parity the video hardware would report.
    reg(PTIMER + PT_STATUS) = 1;
    inputs.fieldParity = nextParity;
    nextParity ^= 1;
    vsyncs = vsyncs + 1;
    if (platform::InterruptHandler h = handlers[platform::IRQ_VSYNC]) {
      const u64 begin = platform::globalTimer();
      h();
      const u64 spent = (platform::globalTimer() - begin) * 1000 / platform::TIMER_TICKS_PER_US;
      if (cost.count == 0 || spent < cost.min) cost.min = spent;
      if (spent > cost.max) cost.max = spent;
      cost.total += spent;
      ++cost.count;
    }
  } else if (id < N_IRQS && handlers[id]) {
    handlers[id]();
  }
  reg(GIC_CPU + ICC_EOIR) = iar;
}

[[noreturn]] void zynq_fault(u32 kind, u32 pc, u32 address, u32 status) {
  static const char* const kinds[] = {"undefined instruction", "supervisor call", "prefetch abort", "data abort",
                                      "fast interrupt"};
  auto hex = [](u32 v) {
    char s[11] = "0x";
    for (int i = 0; i < 8; ++i) s[2 + i] = "0123456789abcdef"[(v >> (28 - 4 * i)) & 15];
    s[10] = '\0';
    zynq::uartPuts(s);
  };
  zynq::uartPuts("\nfault: ");
  zynq::uartPuts(kind < 5 ? kinds[kind] : "unknown");
  zynq::uartPuts(" at pc ");
  hex(pc);
  zynq::uartPuts(" address ");
  hex(address);
  zynq::uartPuts(" status ");
  hex(status);
  zynq::uartPuts("\n");
  zynq::exit(false);
}
}  // extern "C"

namespace zynq {

void uartWrite(const char* bytes, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    while (reg(UART0 + UART_SR) & UART_SR_TXFULL) {
    }
    reg(UART0 + UART_FIFO) = static_cast<u8>(bytes[i]);
  }
}

void uartPuts(const char* text) { uartWrite(text, std::strlen(text)); }

void setConsoleHook(ConsoleHook hook) { consoleHook = hook; }
void setTraceHook(TraceHook hook) {
  traceHook = hook;
  platform::driverTraceOn = hook != nullptr;
}
void setSignalHook(SignalHook hook) { signalHook = hook; }

void disableInterrupts() { asm volatile("cpsid i" ::: "memory"); }
void enableInterrupts() { asm volatile("cpsie i" ::: "memory"); }
void waitForInterrupt() { asm volatile("dsb\n\twfi" ::: "memory"); }

u32 vsyncCount() { return vsyncs; }
void setNextParity(u32 parity) { nextParity = parity & 1; }

void setFieldPeriodUs(u32 us) {
  inputs.vsyncPeriodUs = us;
  if ((reg(PTIMER + PT_CONTROL) & PT_ENABLE) == 0) return;
  // The field under way keeps the time it has run; the new period counts from the last VSYNC.
  const u32 cpsr = saveAndDisable();
  const u32 oldLoad = reg(PTIMER + PT_LOAD);
  const u32 elapsed = oldLoad - reg(PTIMER + PT_COUNTER);
  const u32 load = ptimerLoad(us);
  reg(PTIMER + PT_LOAD) = load;
  reg(PTIMER + PT_COUNTER) = load > elapsed ? load - elapsed : 1;
  restore(cpsr);
}

FieldCost fieldCost() { return cost; }

namespace {
std::size_t stackUsed(const u32* bottom, const u32* top) {
  const u32* p = bottom;
  while (p < top && *p == STACK_PAINT) ++p;
  return static_cast<std::size_t>(top - p) * sizeof(u32);
}
}  // namespace

std::size_t irqStackUsed() { return stackUsed(__irq_stack_bottom, __irq_stack_top); }
std::size_t mainStackUsed() { return stackUsed(__svc_stack_bottom, __svc_stack_top); }
std::size_t heapUsed() { return static_cast<std::size_t>(heapHigh - __heap_start); }

void resetMachine() {
  const u32 cpsr = saveAndDisable();
  stopFieldTimer();
  std::memset(reinterpret_cast<void*>(platform::SHARED_DDR_BASE), 0, platform::SHARED_DDR_SIZE);
  std::memset(reinterpret_cast<void*>(FPGA_SHADOW), 0, 6 * platform::FPGA_BLOCK_SIZE);
  for (u32 addr : {platform::OCM_BOOT_MODE, platform::OCM_TIMING_LOG0, platform::OCM_TIMING_LOG1,
                   platform::OCM_JUMP_REQUEST})
    reg(addr) = 0;
  for (bool& l : hwLocks) l = false;
  for (auto& h : handlers) h = nullptr;
  inputs = platform::HardwareInputs{};
  nextParity = 0;
  jumpAddress = 0;
  restore(cpsr);
}

u32 lastJumpAddress() { return jumpAddress; }

[[noreturn]] void exit(bool success) {
  // Semihosting SYS_EXIT with ADP_Stopped_ApplicationExit (0) or ADP_Stopped_RunTimeErrorUnknown.
  register u32 op asm("r0") = 0x18;
  register u32 reason asm("r1") = success ? 0x20026u : 0x20023u;
  asm volatile("svc 0x123456" : "+r"(op) : "r"(reason) : "memory");
  for (;;) waitForInterrupt();
}

}  // namespace zynq

namespace platform {

u8* ddr(u32 addr, std::size_t len) {
  if (addr < SHARED_DDR_BASE) return nullptr;
  const u64 offset = addr - SHARED_DDR_BASE;
  if (offset + len > SHARED_DDR_SIZE) return nullptr;
  return reinterpret_cast<u8*>(addr);
}

volatile u32* ocmWord(u32 addr) {
  switch (addr) {
    case OCM_BOOT_MODE:
    case OCM_TIMING_LOG0:
    case OCM_TIMING_LOG1:
    case OCM_JUMP_REQUEST: return &reg(addr);
    default: return nullptr;
  }
}

u8* nvWindow() { return reinterpret_cast<u8*>(zynq::NV_STANDIN); }

namespace {
constexpr u32 fpgaBases[] = {FPGA_PS, FPGA_GLUE, FPGA_ME1, FPGA_ME2, FPGA_SDI1, FPGA_SDI2};

volatile u32* fpgaShadow(u32 addr) {
  if (addr & 3) return nullptr;
  for (u32 b = 0; b < 6; ++b)
    if (addr >= fpgaBases[b] && addr - fpgaBases[b] < FPGA_BLOCK_SIZE)
      return &reg(zynq::FPGA_SHADOW + b * FPGA_BLOCK_SIZE + (addr - fpgaBases[b]));
  return nullptr;
}
}  // namespace

u32 readRegister(u32 addr) {
  volatile u32* r = fpgaShadow(addr);
  return r ? *r : 0;
}

void writeRegister(u32 addr, u32 value) {
  if (volatile u32* r = fpgaShadow(addr)) *r = value;
}

u64 globalTimer() {
  // The high word is read on both sides of the low one, so that a carry between them is seen.
  for (;;) {
    const u32 high = reg(GTIMER + GT_HIGH);
    const u32 low = reg(GTIMER + GT_LOW);
    if (reg(GTIMER + GT_HIGH) == high) return u64{high} << 32 | low;
  }
}

void waitTicks(u64 ticks) {
  // A busy wait, as the interface has it; the field interrupt comes through meanwhile.
  const u64 until = globalTimer() + ticks;
  while (globalTimer() < until) {
  }
}

void registerInterrupt(int irq, InterruptHandler handler) {
  if (irq < 0 || static_cast<std::size_t>(irq) >= N_IRQS) return;
  const u32 cpsr = saveAndDisable();
  handlers[irq] = handler;
  if (irq == IRQ_VSYNC) {
    // Nothing drives VSYNC here: the private timer stands in for it at the field period.
    if (handler) startFieldTimer();
    else stopFieldTimer();
  } else {
    gicEnable(static_cast<u32>(irq), handler != nullptr);
  }
  restore(cpsr);
}

void raiseInterrupt(int irq) {
  if (irq < 0 || static_cast<std::size_t>(irq) >= N_IRQS) return;
  const u32 cpsr = saveAndDisable();
  if (InterruptHandler h = handlers[irq]) h();
  restore(cpsr);
}

bool hwLockTry(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i < 0 || i >= N_HW_LOCKS) return false;
  const u32 cpsr = saveAndDisable();
  const bool taken = !hwLocks[i];
  hwLocks[i] = true;
  restore(cpsr);
  return taken;
}

void hwLockRelease(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i >= 0 && i < N_HW_LOCKS) hwLocks[i] = false;
}

void consoleWrite(const u8* bytes, std::size_t len) {
  if (consoleHook) consoleHook(reinterpret_cast<const char*>(bytes), len);
  else zynq::uartWrite(reinterpret_cast<const char*>(bytes), len);
}

void dmaToNv(std::size_t offset, const u8* src, std::size_t len) {
  if (offset > NV_SIZE || len > NV_SIZE - offset) return;
  std::memcpy(nvWindow() + offset, src, len);
}

void signalOtherCore() {
  if (signalHook) signalHook();
  else asm volatile("dsb\n\tsev" ::: "memory");
}

void jumpTo(u32 addr) {
  // The hand-over itself belongs to the boot loader's protocol, which the emulated board lacks;
  // the request is recorded.
  jumpAddress = addr;
}

HardwareInputs& hardwareInputs() { return inputs; }

bool driverTraceOn = false;
void driverTrace(const char* line) {
  if (traceHook) traceHook(line);
}

}  // namespace platform
