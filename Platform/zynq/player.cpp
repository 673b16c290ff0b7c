// The System Manager's side for the emulated run: boots the back-end on the emulated board and
// plays a script of the host runner's commands (preloaded as text at zynq::PLAYER_SCRIPT), printing
// on UART 0 the same lines the host runner prints ("msg", "log", "smem", "drv"), then the
// non-volatile window ("nv" lines, 64 bytes each) and what the run cost ("stat" lines).
//
// The field cost is the back-end's alone: the player's own work inside the field handler (reading
// the transmit ring and printing what it finds, printing console and trace lines) belongs to the
// System Manager, which runs on the other core on the board, and is taken out of every field.
//
// Commands run with interrupts masked; `field` lets exactly one field interrupt in per field, so
// that what the back-end sees per field is what it sees under the host runner.
#include <cstring>

#include "Common/lock.h"
#include "Common/shared.h"
#include "Main/bp.h"
#include "Main/main.h"
#include "Main/stream.h"
#include "Platform/zynq/zynq.h"

namespace {

// Options word below the script (a loader sets it): bit 0 prints the driver trace.
constexpr u32 PLAYER_OPTIONS = zynq::PLAYER_SCRIPT - 0x10;
constexpr u32 OPTION_TRACE = 1u << 0;

// ---- output --------------------------------------------------------------------------------
void put(const char* s) { zynq::uartPuts(s); }
void putHex(const u8* p, std::size_t n) {
  char buf[128];
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    buf[k++] = "0123456789abcdef"[p[i] >> 4];
    buf[k++] = "0123456789abcdef"[p[i] & 15];
    if (k == sizeof buf) {
      zynq::uartWrite(buf, k);
      k = 0;
    }
  }
  zynq::uartWrite(buf, k);
}
void putDec(u64 v) {
  char buf[24];
  int k = sizeof buf;
  buf[--k] = '\0';
  do {
    buf[--k] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  put(buf + k);
}
void putHexNumber(u64 v) {
  char buf[20];
  int k = sizeof buf;
  buf[--k] = '\0';
  do {
    buf[--k] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v != 0);
  put("0x");
  put(buf + k);
}

// ---- what the back-end's fields cost --------------------------------------------------------
// Global timer ticks the player's hooks took; they run inside the field handler.
u64 playerTicks = 0;

// Times one hook call into playerTicks.
class PlayerTime {
 public:
  PlayerTime() : begin_(platform::globalTimer()) {}
  ~PlayerTime() { playerTicks += platform::globalTimer() - begin_; }
  PlayerTime(const PlayerTime&) = delete;
  PlayerTime& operator=(const PlayerTime&) = delete;

 private:
  u64 begin_;
};

struct BackEndCost {
  u64 fields = 0;
  u64 min = 0;
  u64 max = 0;
  u64 total = 0;
  u64 maxLine = 0;  // the script line whose field cost the most
};
BackEndCost backEnd;
u64 scriptLine = 0;

u64 nanos(u64 ticks) { return ticks * 1000 / platform::TIMER_TICKS_PER_US; }

void countField(const zynq::FieldCost& before, const zynq::FieldCost& after, u64 playerTicksBefore) {
  if (after.count == before.count) return;  // no handler ran (none registered)
  const u64 handler = after.total - before.total;
  const u64 player = nanos(playerTicks - playerTicksBefore);
  const u64 spent = handler > player ? handler - player : 0;
  if (backEnd.fields == 0 || spent < backEnd.min) backEnd.min = spent;
  if (spent > backEnd.max) {
    backEnd.max = spent;
    backEnd.maxLine = scriptLine;
  }
  backEnd.total += spent;
  ++backEnd.fields;
}

// ---- the System Manager's state ------------------------------------------------------------
constexpr std::size_t PENDING_MAX = 1u << 20;
constexpr std::size_t TRANSMIT_MAX = 2 * SystemManagerRing::DATA_SIZE;

u8 pendingReceive[PENDING_MAX];  // bytes waiting for room in the receive ring
std::size_t pendingLength = 0;
u8 transmitBytes[TRANSMIT_MAX];  // bytes of a message not yet read whole
std::size_t transmitLength = 0;
bool draining = true;
char consoleLine[512];
std::size_t consoleLength = 0;
int failures = 0;

void onConsole(const char* bytes, std::size_t len) {
  const PlayerTime time;
  for (std::size_t i = 0; i < len; ++i) {
    if (bytes[i] == '\n') {
      const char* line = consoleLine;
      std::size_t n = consoleLength;
      if (n > 0 && line[0] == '\x1b') {
        ++line;
        --n;
      }
      put("log ");
      zynq::uartWrite(line, n);
      put("\n");
      consoleLength = 0;
    } else if (consoleLength < sizeof consoleLine) {
      consoleLine[consoleLength++] = bytes[i];
    }
  }
}

void onTrace(const char* line) {
  const PlayerTime time;
  put("drv ");
  put(line);
  put("\n");
}

void readTransmit() {
  const PlayerTime time;
  if (!draining) return;
  SystemManagerRing ring(platform::SM_TX_RING);
  const u8* data = platform::ddr(platform::SM_TX_RING + 8, SystemManagerRing::DATA_SIZE);
  volatile u32* readIndex = reinterpret_cast<volatile u32*>(platform::ddr(platform::SM_TX_RING + 4, 4));
  for (;;) {
    std::size_t n = ring.readable();
    if (n == 0 || transmitLength == TRANSMIT_MAX) break;
    if (n > TRANSMIT_MAX - transmitLength) n = TRANSMIT_MAX - transmitLength;
    const u32 r = ring.readIndex();
    for (std::size_t i = 0; i < n; ++i) transmitBytes[transmitLength++] = data[(r + i) % SystemManagerRing::DATA_SIZE];
    *readIndex = static_cast<u32>((r + n) % SystemManagerRing::DATA_SIZE);
  }
  std::size_t pos = 0;
  for (;;) {
    while (pos + 1 < transmitLength &&
           !(transmitBytes[pos] == MessageHeader::SYNC0 && transmitBytes[pos + 1] == MessageHeader::SYNC1))
      ++pos;
    if (pos + MessageHeader::SIZE > transmitLength) break;
    const MessageHeader header = MessageHeader::parse([&](std::size_t i) { return transmitBytes[pos + i]; });
    const std::size_t body = pos + MessageHeader::SIZE;
    if (header.length > transmitLength - body) break;
    put("msg ");
    putDec(header.typeId);
    put(" ");
    putHex(transmitBytes + body, header.length);
    put("\n");
    pos = body + header.length;
  }
  std::memmove(transmitBytes, transmitBytes + pos, transmitLength - pos);
  transmitLength -= pos;
}

void pushReceive() {
  if (pendingLength == 0) return;
  SystemManagerRing ring(platform::SM_RX_RING);
  const std::size_t n = ring.write(pendingReceive, pendingLength);
  std::memmove(pendingReceive, pendingReceive + n, pendingLength - n);
  pendingLength -= n;
}

bool queue(const u8* bytes, std::size_t n) {
  if (n > PENDING_MAX - pendingLength) return false;
  std::memcpy(pendingReceive + pendingLength, bytes, n);
  pendingLength += n;
  pushReceive();
  return true;
}

void boot() {
  pendingLength = 0;
  transmitLength = 0;
  consoleLength = 0;
  draining = true;
  orvane::boot();
}

void applyBootMode(const char* mode) {
  volatile u32* w = platform::ocmWord(platform::OCM_BOOT_MODE);
  if (std::strcmp(mode, "init") == 0) *w = *w | BOOT_MODE_INITIALIZE;
  if (std::strcmp(mode, "resume") == 0) *w = *w & ~BOOT_MODE_INITIALIZE;
}

void field(u64 n) {
  for (u64 i = 0; i < n; ++i) {
    pushReceive();
    const u32 before = zynq::vsyncCount();
    const zynq::FieldCost costBefore = zynq::fieldCost();
    const u64 playerTicksBefore = playerTicks;
    while (zynq::vsyncCount() == before) {
      zynq::waitForInterrupt();
      zynq::enableInterrupts();
      zynq::disableInterrupts();
    }
    countField(costBefore, zynq::fieldCost(), playerTicksBefore);
    pushReceive();
  }
}

// ---- script ----------------------------------------------------------------------------------
constexpr std::size_t MAX_TOKENS = 4096;
constexpr std::size_t LINE_MAX = 1u << 16;

struct Line {
  char text[LINE_MAX];
  const char* tokens[MAX_TOKENS];
  std::size_t count = 0;
};
Line line;
u8 bytes[LINE_MAX / 2];

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHexPrefix(const char* t) { return t[0] == '0' && (t[1] == 'x' || t[1] == 'X') && t[2] != '\0'; }

bool number(const char* t, u64& value) {
  const bool hexForm = isHexPrefix(t);
  const char* p = hexForm ? t + 2 : t;
  if (*p == '\0') return false;
  value = 0;
  for (; *p; ++p) {
    const int d = hexForm ? hexDigit(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
    if (d < 0) return false;
    const u64 base = hexForm ? 16 : 10;
    if (value > (~u64{0} - static_cast<u64>(d)) / base) return false;
    value = value * base + static_cast<u64>(d);
  }
  return true;
}

// Hex bytes of tokens from `from` on, a 0x prefix allowed on each token.
bool hexBytes(std::size_t from, std::size_t& n) {
  n = 0;
  int high = -1;
  for (std::size_t i = from; i < line.count; ++i) {
    const char* t = line.tokens[i];
    if (isHexPrefix(t)) t += 2;
    for (; *t; ++t) {
      const int d = hexDigit(*t);
      if (d < 0 || n == sizeof bytes) return false;
      if (high < 0) {
        high = d;
      } else {
        bytes[n++] = static_cast<u8>(high << 4 | d);
        high = -1;
      }
    }
  }
  return high < 0;
}

bool hw(const char* name, const u64* v, std::size_t n) {
  platform::HardwareInputs& in = platform::hardwareInputs();
  if (std::strcmp(name, "audio") == 0) {
    if (n != 3 || v[0] > 3 || v[1] > 0xFFFFFFFFu || v[2] > 0xFFFFFFFFu) return false;
    in.clipAudio[v[0]][0] = static_cast<u32>(v[1]);
    in.clipAudio[v[0]][1] = static_cast<u32>(v[2]);
    return true;
  }
  if (n != 1 || v[0] > 0xFFFFFFFFu) return false;
  const u32 x = static_cast<u32>(v[0]);
  if (std::strcmp(name, "tally_me1") == 0) in.meTally[0] = x;
  else if (std::strcmp(name, "tally_me2") == 0) in.meTally[1] = x;
  else if (std::strcmp(name, "tally_dsk_pgm") == 0) in.dskOutput = x;
  else if (std::strcmp(name, "tally_dsk_cln") == 0) in.dskClean = x;
  else if (std::strcmp(name, "parity") == 0 && x <= 1) zynq::setNextParity(x);
  else if (std::strcmp(name, "vsync_period") == 0) zynq::setFieldPeriodUs(x);
  else if (std::strcmp(name, "power") == 0) in.powerStatus = x;
  else if (std::strcmp(name, "alarm") == 0) in.alarmStatus = x;
  else if (std::strcmp(name, "boot_mode") == 0) *platform::ocmWord(platform::OCM_BOOT_MODE) = x;
  else if (std::strcmp(name, "jump") == 0) *platform::ocmWord(platform::OCM_JUMP_REQUEST) = x;
  else return false;
  return true;
}

bool is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Runs the tokenised line; false when it is malformed.
bool execute() {
  if (line.count == 0) return true;
  const char* cmd = line.tokens[0];
  u64 a = 0, b = 0;
  std::size_t n = 0;
  if (is(cmd, "send")) {
    if (line.count < 2 || !number(line.tokens[1], a) || a > 0xFFFF || !hexBytes(2, n)) return false;
    const auto header = MessageHeader{static_cast<u32>(n), static_cast<u16>(a)}.bytes();
    return queue(header.data(), header.size()) && queue(bytes, n);
  }
  if (is(cmd, "raw")) return hexBytes(1, n) && queue(bytes, n);
  if (is(cmd, "field") || is(cmd, "tick")) {
    a = 1;
    if (line.count > 2 || (line.count == 2 && !number(line.tokens[1], a))) return false;
    if (is(cmd, "field")) field(a);
    else
      for (u64 i = 0; i < a; ++i) orvane::mainLoopPass();
    return true;
  }
  if (is(cmd, "hw")) {
    u64 values[4];
    if (line.count < 2 || line.count - 2 > 4) return false;
    for (std::size_t i = 2; i < line.count; ++i)
      if (!number(line.tokens[i], values[i - 2])) return false;
    return hw(line.tokens[1], values, line.count - 2);
  }
  if (is(cmd, "lock")) {
    if (line.count != 3 || !number(line.tokens[1], a) || a >= platform::N_SW_LOCKS) return false;
    if (is(line.tokens[2], "on")) locks::remoteAcquire(static_cast<int>(a), true);
    else if (is(line.tokens[2], "off")) locks::remoteRelease(static_cast<int>(a), true);
    else return false;
    return true;
  }
  if (is(cmd, "drain")) {
    if (line.count != 2 || !(is(line.tokens[1], "on") || is(line.tokens[1], "off"))) return false;
    draining = is(line.tokens[1], "on");
    if (draining) readTransmit();
    return true;
  }
  if (is(cmd, "smem")) {
    if (line.count < 2 || !number(line.tokens[1], a) || !hexBytes(2, n)) return false;
    if (a > platform::SHARED_DDR_SIZE || n > platform::SHARED_DDR_SIZE - a) return false;
    std::memcpy(platform::ddr(platform::SHARED_DDR_BASE + static_cast<u32>(a), n), bytes, n);
    return true;
  }
  if (is(cmd, "peek")) {
    if (line.count != 3 || !number(line.tokens[1], a) || !number(line.tokens[2], b)) return false;
    if (a > platform::SHARED_DDR_SIZE || b > platform::SHARED_DDR_SIZE - a) return false;
    put("smem ");
    putHexNumber(a);
    put(" ");
    putHex(platform::ddr(platform::SHARED_DDR_BASE + static_cast<u32>(a), b), b);
    put("\n");
    return true;
  }
  if (is(cmd, "align-probe")) {
    // Not a runner command: a word read at an odd address, which must fault while alignment
    // checking is on (the emulated run's check that it is).
    static u8 probe[8];
    volatile u32 word;
    asm volatile("ldr %0, [%1]" : "=r"(word) : "r"(probe + 1) : "memory");
    return true;
  }
  if (is(cmd, "restart")) {
    if (line.count > 2 || (line.count == 2 && !is(line.tokens[1], "init") && !is(line.tokens[1], "resume")))
      return false;
    zynq::resetMachine();
    applyBootMode(line.count == 2 ? line.tokens[1] : "");
    boot();
    return true;
  }
  return false;
}

// Splits the next script line (comment cut off) into line.tokens; false at the end of the script.
bool nextLine(const char*& p, const char* end) {
  if (p >= end || *p == '\0') return false;
  std::size_t k = 0;
  bool comment = false;
  while (p < end && *p != '\0' && *p != '\n') {
    if (*p == '#') comment = true;
    if (!comment && k + 1 < LINE_MAX) line.text[k++] = *p;
    ++p;
  }
  if (p < end && *p == '\n') ++p;
  line.text[k] = '\0';
  line.count = 0;
  for (char* c = line.text; *c;) {
    while (*c == ' ' || *c == '\t' || *c == '\r') *c++ = '\0';
    if (*c == '\0') break;
    if (line.count < MAX_TOKENS) line.tokens[line.count++] = c;
    while (*c && *c != ' ' && *c != '\t' && *c != '\r') ++c;
  }
  return true;
}

void report() {
  const u8* nv = platform::nvWindow();
  for (std::size_t off = 0; off < platform::NV_SIZE; off += 64) {
    put("nv ");
    putHex(nv + off, 64);
    put("\n");
  }
  // Nanoseconds of the emulated clock: instructions, at one per nanosecond.
  put("stat back-end field handler ");
  putDec(backEnd.fields);
  put(" fields, instructions min ");
  putDec(backEnd.min);
  put(" mean ");
  putDec(backEnd.fields ? backEnd.total / backEnd.fields : 0);
  put(" max ");
  putDec(backEnd.max);
  put(" at line ");
  putDec(backEnd.maxLine);
  put("\nstat stack irq ");
  putDec(zynq::irqStackUsed());
  put(" main ");
  putDec(zynq::mainStackUsed());
  put(" heap ");
  putDec(zynq::heapUsed());
  put("\n");
}

}  // namespace

extern "C" int zynq_main() {
  zynq::disableInterrupts();
  zynq::setConsoleHook(onConsole);
  zynq::setSignalHook(readTransmit);
  if (*reinterpret_cast<volatile u32*>(PLAYER_OPTIONS) & OPTION_TRACE) zynq::setTraceHook(onTrace);
  boot();
  const char* p = reinterpret_cast<const char*>(zynq::PLAYER_SCRIPT);
  const char* end = p + zynq::PLAYER_SCRIPT_SIZE;
  for (u64 number = 1; nextLine(p, end); ++number) {
    scriptLine = number;
    if (!execute()) {
      put("error line ");
      putDec(number);
      put("\n");
      ++failures;
    }
  }
  report();
  return failures == 0 ? 0 : 1;
}
