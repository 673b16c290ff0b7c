#include "Sim/runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Common/lock.h"
#include "Common/shared.h"
#include "Common/storage.h"
#include "Main/bp.h"
#include "Main/main.h"
#include "Main/stream.h"
#include "Platform/host.h"

namespace sim {

namespace {

Runner* active = nullptr;

// Upper bound of a field or tick count: far beyond any scenario, well inside an int.
constexpr std::uint64_t MAX_REPEAT = 100000000;

std::string hex(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

// A decimal or 0x-hex number; the reason in `why` when the token is not one.
bool parseNumber(const std::string& token, std::uint64_t& value, std::string& why) {
  const bool hexForm = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const std::string digits = hexForm ? token.substr(2) : token;
  const unsigned base = hexForm ? 16 : 10;
  // strtoull alone would take signs, blanks and a second 0x prefix.
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [&](char c) {
        return base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                          : std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    why = "'" + token + "' is not a number";
    return false;
  }
  errno = 0;
  value = std::strtoull(digits.c_str(), nullptr, static_cast<int>(base));
  if (errno == ERANGE) {
    why = "'" + token + "' does not fit 64 bits";
    return false;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex bytes, spaces allowed anywhere between digit pairs, a 0x prefix allowed on each token.
bool parseHex(const std::vector<std::string>& tokens, std::size_t from, std::vector<std::uint8_t>& bytes,
              std::string& why) {
  std::string digits;
  for (std::size_t i = from; i < tokens.size(); ++i) {
    std::string t = tokens[i];
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    for (const char c : t) {
      if (hexDigit(c) < 0) {
        why = std::string("'") + c + "' is not a hex digit";
        return false;
      }
    }
    digits += t;
  }
  if (digits.size() % 2) {
    why = "odd number of hex digits";
    return false;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(hexDigit(digits[i]) << 4 | hexDigit(digits[i + 1])));
  return true;
}

struct HwInput {
  const char* name;
  const char* help;
};

constexpr HwInput hwInputs[] = {
    {"tally_me1", "VALUE  on-air status word of M/E 1 (byte 0 program, 1 preview, 2 clean)"},
    {"tally_me2", "VALUE  on-air status word of M/E 2"},
    {"tally_dsk_pgm", "VALUE  DSK output word (DSK program 1, preview 1, program 2, preview 2)"},
    {"tally_dsk_cln", "VALUE  DSK clean word (DSK 1..4 clean)"},
    {"parity", "0|1  field parity of the next field (fields alternate after it)"},
    {"vsync_period", "US  time from one VSYNC to the next, in microseconds (default 16683)"},
    {"power", "VALUE  board power status: bit 0 power unit 1 present, bit 1 power unit 2 present"},
    {"alarm", "VALUE  alarm status word as the board reports it: bit 0 status input 0; 1, 2 first alarm\n"
              "                 input of power unit 1, 2; 3, 4 their second alarm input; 5 any temperature flag;\n"
              "                 6 further board input; 7..11 temperature of PS, ME1, ME2, SDI1, SDI2"},
    {"boot_mode", "VALUE  boot-mode word at 0xFFFF0000 (bit 0x0001 initialise, 0x4000 no backup save)"},
    {"jump", "ADDR  the System Manager posts a jump request at 0xFFFFFFF0"},
    {"audio", "CH LEFT RIGHT  the two audio levels of clip channel CH (0..3) as its driver reads them"},
};

}  // namespace

Runner::Runner(Options options, Output out) : options_(std::move(options)), out_(std::move(out)) {
  active = this;
  host::resetMachine(false);
  if (!options_.nvImage.empty()) {
    const std::size_t n = std::min(options_.nvImage.size(), static_cast<std::size_t>(platform::NV_SIZE));
    std::memcpy(platform::nvWindow(), options_.nvImage.data(), n);
  }
  host::setConsoleSink([](void* ctx, const char* b, std::size_t n) { static_cast<Runner*>(ctx)->onConsole(b, n); },
                       this);
  host::setSignalSink([](void* ctx) { static_cast<Runner*>(ctx)->readTransmit(); }, this);
  if (options_.trace)
    host::setTraceSink(
        [](void* ctx, const char* line) { static_cast<Runner*>(ctx)->out_(std::string("drv ") + line); }, this);
  applyBootMode(options_.bootMode);
  boot();
}

Runner::~Runner() {
  host::setConsoleSink(nullptr, nullptr);
  host::setSignalSink(nullptr, nullptr);
  host::setTraceSink(nullptr, nullptr);
  if (active == this) active = nullptr;
}

void Runner::applyBootMode(const std::string& mode) {
  volatile std::uint32_t* w = platform::ocmWord(platform::OCM_BOOT_MODE);
  if (mode == "init") *w = *w | BOOT_MODE_INITIALIZE;
  if (mode == "resume") *w = *w & ~BOOT_MODE_INITIALIZE;
}

void Runner::boot() {
  side_.pendingReceive.clear();
  side_.transmitBytes.clear();
  side_.consoleLine.clear();
  side_.draining = true;
  side_.nextParity = 0;
  orvane::boot();
}

bool Runner::saveSnapshot(bool watchWholeProcess) {
  if (!machine_) machine_ = std::make_unique<host::MachineSnapshot>();
  if (!machine_->includesFirmware()) {
    machine_.reset();
    return false;
  }
  if (watchWholeProcess) machine_->watchWholeProcess();
  machine_->save();
  savedSide_ = side_;
  return true;
}

void Runner::restoreSnapshot() {
  machine_->restore();
  side_ = savedSide_;
}

std::vector<std::string> Runner::changedSinceSnapshot() const {
  std::vector<std::string> changed = machine_->changedSinceSave();
  if (!(side_ == savedSide_)) changed.push_back("runner side");
  return changed;
}

class Runner::State {
 public:
  host::MachineSnapshot machine;
  Side side;
};

std::shared_ptr<Runner::State> Runner::newState() const { return std::make_shared<State>(); }

void Runner::saveState(State& state) const {
  state.machine.save();
  state.side = side_;
}

void Runner::restoreState(const State& state) {
  state.machine.restore();
  side_ = state.side;
}

void Runner::onConsole(const char* bytes, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      std::string line = side_.consoleLine;
      if (!line.empty() && line[0] == '\x1b') line.erase(0, 1);
      out_("log " + line);
      side_.consoleLine.clear();
    } else {
      side_.consoleLine.push_back(c);
    }
  }
}

void Runner::readTransmit() {
  if (!side_.draining) return;
  SystemManagerRing ring(platform::SM_TX_RING);
  std::uint8_t buf[4096];
  // The System Manager's end: it reads the transmit ring, so the ring's read index moves.
  for (;;) {
    const std::size_t n = ring.readable();
    if (n == 0) break;
    const std::size_t take = n < sizeof buf ? n : sizeof buf;
    // Read without the back-end's connection bookkeeping: copy and move the read index here.
    const std::uint32_t r = ring.readIndex();
    const std::uint8_t* data = platform::ddr(platform::SM_TX_RING + 8, SystemManagerRing::DATA_SIZE);
    const std::size_t first = std::min<std::size_t>(take, SystemManagerRing::DATA_SIZE - r);  // up to the wrap
    std::memcpy(buf, data + r, first);
    std::memcpy(buf + first, data, take - first);
    *reinterpret_cast<volatile std::uint32_t*>(platform::ddr(platform::SM_TX_RING + 4, 4)) =
        static_cast<std::uint32_t>((r + take) % SystemManagerRing::DATA_SIZE);
    side_.transmitBytes.insert(side_.transmitBytes.end(), buf, buf + take);
  }
  // Whole messages only, read with the back-end's own header layout; a message still being
  // written stays for the next signal.
  std::size_t pos = 0;
  for (;;) {
    while (pos + 1 < side_.transmitBytes.size() &&
           !(side_.transmitBytes[pos] == MessageHeader::SYNC0 && side_.transmitBytes[pos + 1] == MessageHeader::SYNC1))
      ++pos;
    if (pos + MessageHeader::SIZE > side_.transmitBytes.size()) break;
    const MessageHeader header = MessageHeader::parse([&](std::size_t i) { return side_.transmitBytes[pos + i]; });
    const std::size_t body = pos + MessageHeader::SIZE;
    if (header.length > side_.transmitBytes.size() - body) break;
    ++side_.messagesRead;
    side_.messageBytesRead += MessageHeader::SIZE + header.length;
    if (options_.onMessage)
      options_.onMessage(header.typeId, std::span<const std::uint8_t>(side_.transmitBytes.data() + body, header.length));
    if (options_.printMessages)
      out_("msg " + std::to_string(header.typeId) + " " + hex(side_.transmitBytes.data() + body, header.length));
    pos = body + header.length;
  }
  side_.transmitBytes.erase(side_.transmitBytes.begin(), side_.transmitBytes.begin() + static_cast<std::ptrdiff_t>(pos));
}

void Runner::pushReceive() {
  if (side_.pendingReceive.empty()) return;
  SystemManagerRing ring(platform::SM_RX_RING);
  const std::size_t put = ring.write(side_.pendingReceive.data(), side_.pendingReceive.size());
  side_.pendingReceive.erase(side_.pendingReceive.begin(), side_.pendingReceive.begin() + static_cast<std::ptrdiff_t>(put));
}

void Runner::send(unsigned type, const std::vector<std::uint8_t>& body) {
  const auto header =
      MessageHeader{static_cast<std::uint32_t>(body.size()), static_cast<std::uint16_t>(type)}.bytes();
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  frame.insert(frame.end(), body.begin(), body.end());
  raw(frame);
}

void Runner::raw(const std::vector<std::uint8_t>& bytes) {
  side_.pendingReceive.insert(side_.pendingReceive.end(), bytes.begin(), bytes.end());
  pushReceive();
}

void Runner::field(int n) {
  platform::HardwareInputs& in = platform::hardwareInputs();
  for (int i = 0; i < n; ++i) {
    pushReceive();
    host::advanceMicros(in.vsyncPeriodUs);
    in.fieldParity = side_.nextParity;
    side_.nextParity ^= 1;
    if (side_.pendingCut) {
      const std::uint64_t bytes = *side_.pendingCut;
      side_.pendingCut.reset();
      host::setNvWriteBudget(bytes < host::NO_NV_BUDGET ? static_cast<std::size_t>(bytes) : host::NO_NV_BUDGET - 1);
      platform::raiseInterrupt(platform::IRQ_VSYNC);
      host::setNvWriteBudget(host::NO_NV_BUDGET);
      restart("resume");
      continue;
    }
    platform::raiseInterrupt(platform::IRQ_VSYNC);
    if (options_.unmarkedShare) checkShareMarks();
    pushReceive();
  }
}

void Runner::cut(std::uint64_t bytes) { side_.pendingCut = bytes; }

void Runner::checkShareMarks() {
  // Once the save has written a field's changes, both copies hold the live image and no unit can
  // differ unmarked: one compare of the whole image instead of one per unit and copy.
  const BP& bp = BP::instance();
  if (std::all_of(storage::COPY_OFFSET.begin(), storage::COPY_OFFSET.end(), [&](std::size_t copy) {
        return host::sameBytes(bp.backupImage(), platform::nvWindow() + copy, bp.backupSize());
      }))
    return;
  bp.forEachUnmarkedShare([this](const char* name, int, int me, int copy) {
    options_.unmarkedShare(std::string(name) + " M/E " + std::to_string(me) + " copy " + (copy == 0 ? "A" : "B"));
  });
}

void Runner::tick(int n) {
  for (int i = 0; i < n; ++i) orvane::mainLoopPass();
}

void Runner::lock(int resource, bool on) {
  if (on) {
    locks::remoteAcquire(resource, true);
  } else {
    locks::remoteRelease(resource, true);
  }
}

void Runner::drain(bool on) {
  side_.draining = on;
  if (on) readTransmit();
}

void Runner::restart(const std::string& bootMode) {
  host::resetMachine(true);
  applyBootMode(bootMode);
  boot();
}

void Runner::restartWithBootMode(std::uint32_t word) {
  host::resetMachine(true);
  *platform::ocmWord(platform::OCM_BOOT_MODE) = word;
  boot();
}

bool Runner::hw(const std::string& name, const std::vector<std::uint64_t>& values) {
  const bool known = std::any_of(std::begin(hwInputs), std::end(hwInputs),
                                 [&](const HwInput& h) { return name == h.name; });
  if (!known) return fail("unknown hardware input '" + name + "' (orvane-sim --help lists them)");
  if (name == "audio") {
    if (values.size() != 3) return fail("hw audio takes a channel and two levels");
    if (values[0] > 3) return fail("hw audio channel must be 0..3");
    if (values[1] > 0xFFFFFFFFu || values[2] > 0xFFFFFFFFu) return fail("hw audio levels must fit 32 bits");
    auto& level = platform::hardwareInputs().clipAudio[values[0]];
    level[0] = static_cast<std::uint32_t>(values[1]);
    level[1] = static_cast<std::uint32_t>(values[2]);
    return true;
  }
  if (values.size() != 1) return fail("hw " + name + " takes one value");
  // Every input is one 32-bit word; a wider value would be cut silently.
  if (values[0] > 0xFFFFFFFFu) return fail("hw " + name + " value must fit 32 bits");
  if (name == "parity" && values[0] > 1) return fail("parity must be 0 or 1");
  const auto v = static_cast<std::uint32_t>(values[0]);
  platform::HardwareInputs& in = platform::hardwareInputs();
  if (name == "tally_me1") in.meTally[0] = v;
  else if (name == "tally_me2") in.meTally[1] = v;
  else if (name == "tally_dsk_pgm") in.dskOutput = v;
  else if (name == "tally_dsk_cln") in.dskClean = v;
  else if (name == "parity") side_.nextParity = v;
  else if (name == "vsync_period") in.vsyncPeriodUs = v;
  else if (name == "power") in.powerStatus = v;
  else if (name == "alarm") in.alarmStatus = v;
  else if (name == "boot_mode") *platform::ocmWord(platform::OCM_BOOT_MODE) = v;
  else if (name == "jump") *platform::ocmWord(platform::OCM_JUMP_REQUEST) = v;
  return true;
}

namespace {
// The bytes of shared memory at [offset, offset + length), or nullptr when that runs past its end.
std::uint8_t* sharedSpan(std::uint64_t offset, std::uint64_t length) {
  if (offset > platform::SHARED_DDR_SIZE || length > platform::SHARED_DDR_SIZE - offset) return nullptr;
  return platform::ddr(platform::SHARED_DDR_BASE + static_cast<std::uint32_t>(offset), static_cast<std::size_t>(length));
}

std::string hexOffset(std::uint64_t offset) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(offset));
  return buf;
}
}  // namespace

bool Runner::smem(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  std::uint8_t* p = sharedSpan(offset, bytes.size());
  if (p == nullptr) return fail("shared memory ends at " + hexOffset(platform::SHARED_DDR_SIZE));
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return true;
}

bool Runner::peek(std::uint64_t offset, std::uint64_t length) {
  const std::uint8_t* p = sharedSpan(offset, length);
  if (p == nullptr) return fail("shared memory ends at " + hexOffset(platform::SHARED_DDR_SIZE));
  out_("smem " + hexOffset(offset) + " " + hex(p, static_cast<std::size_t>(length)));
  return true;
}

bool Runner::fail(std::string why) {
  error_ = std::move(why);
  return false;
}

std::string Runner::hwHelp() {
  std::string s;
  for (const HwInput& h : hwInputs) s += std::string("  hw ") + h.name + " " + h.help + "\n";
  return s;
}

std::string Runner::nvImageProblem(const std::vector<std::uint8_t>& image) {
  if (image.empty()) return {};
  if (image.size() != storage::NV_SIZE)
    return "size " + std::to_string(image.size()) + ", a backup image has " + std::to_string(storage::NV_SIZE);
  // A window the back-end never saved into (a run without a field, or with saving off) is what
  // this runner writes back; it is as good as no image.
  if (std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0; })) return {};
  // The image is the copy the back-end would resume; a window whose commit records say that no
  // copy is whole is still this back-end's (it says so and initialises).
  const storage::Found found = storage::locateImage(image.data());
  if (found.image == nullptr) return {};
  // The header words lie as in the back-end's memory.
  std::uint32_t magic, version;
  std::memcpy(&magic, found.image, sizeof magic);
  std::memcpy(&version, found.image + sizeof magic, sizeof version);
  char why[96];
  if (magic != BACKUP_MAGIC) {
    std::snprintf(why, sizeof why, "magic 0x%08x, a backup image has 0x%08x", magic, BACKUP_MAGIC);
    return why;
  }
  if (version != BACKUP_LAYOUT_VERSION) {
    std::snprintf(why, sizeof why, "layout version %u, this back-end has %u", version, BACKUP_LAYOUT_VERSION);
    return why;
  }
  return {};
}

bool Runner::resumed() const { return BP::instance().resumed(); }

std::vector<std::uint8_t> Runner::nvImage() const {
  return std::vector<std::uint8_t>(platform::nvWindow(), platform::nvWindow() + platform::NV_SIZE);
}

bool Runner::execute(const std::string& rawLine) {
  error_.clear();
  std::string line = rawLine;
  if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
  std::istringstream in(line);
  std::vector<std::string> tokens;
  for (std::string t; in >> t;) tokens.push_back(t);
  if (tokens.empty()) return true;
  const std::string& cmd = tokens[0];
  std::string why;
  if (cmd == "send") {
    std::uint64_t type;
    std::vector<std::uint8_t> body;
    if (tokens.size() < 2) return fail("send needs a type id");
    if (!parseNumber(tokens[1], type, why)) return fail(why);
    if (type > 0xFFFF) return fail("type id must be at most 0xffff");
    if (!parseHex(tokens, 2, body, why)) return fail(why);
    send(static_cast<unsigned>(type), body);
  } else if (cmd == "raw") {
    std::vector<std::uint8_t> bytes;
    if (!parseHex(tokens, 1, bytes, why)) return fail(why);
    raw(bytes);
  } else if (cmd == "field" || cmd == "tick") {
    std::uint64_t n = 1;
    if (tokens.size() > 2) return fail(cmd + " takes at most one count");
    if (tokens.size() == 2 && !parseNumber(tokens[1], n, why)) return fail(why);
    if (n > MAX_REPEAT) return fail("count must be at most " + std::to_string(MAX_REPEAT));
    if (cmd == "field") field(static_cast<int>(n));
    else tick(static_cast<int>(n));
  } else if (cmd == "hw") {
    if (tokens.size() < 2) return fail("hw needs an input name (orvane-sim --help lists them)");
    std::vector<std::uint64_t> values;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
      std::uint64_t v;
      if (!parseNumber(tokens[i], v, why)) return fail(why);
      values.push_back(v);
    }
    if (!hw(tokens[1], values)) return false;
  } else if (cmd == "lock") {
    std::uint64_t n;
    if (tokens.size() != 3) return fail("lock takes a lock number and on or off");
    if (!parseNumber(tokens[1], n, why)) return fail(why);
    if (n >= static_cast<std::uint64_t>(platform::N_SW_LOCKS)) return fail("lock number must be below " + std::to_string(platform::N_SW_LOCKS));
    if (tokens[2] != "on" && tokens[2] != "off") return fail("lock state must be on or off");
    lock(static_cast<int>(n), tokens[2] == "on");
  } else if (cmd == "drain") {
    if (tokens.size() != 2 || (tokens[1] != "on" && tokens[1] != "off")) return fail("drain takes on or off");
    drain(tokens[1] == "on");
  } else if (cmd == "smem") {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
    if (tokens.size() < 2) return fail("smem needs an offset");
    if (!parseNumber(tokens[1], offset, why)) return fail(why);
    if (!parseHex(tokens, 2, bytes, why)) return fail(why);
    if (!smem(offset, bytes)) return false;
  } else if (cmd == "peek") {
    std::uint64_t offset, length;
    if (tokens.size() != 3) return fail("peek takes an offset and a length");
    if (!parseNumber(tokens[1], offset, why) || !parseNumber(tokens[2], length, why)) return fail(why);
    if (!peek(offset, length)) return false;
  } else if (cmd == "cut") {
    std::uint64_t n;
    if (tokens.size() != 2) return fail("cut takes a byte count");
    if (!parseNumber(tokens[1], n, why)) return fail(why);
    cut(n);
  } else if (cmd == "restart") {
    if (tokens.size() > 2 || (tokens.size() == 2 && tokens[1] != "init" && tokens[1] != "resume"))
      return fail("restart takes init, resume or nothing");
    restart(tokens.size() == 2 ? tokens[1] : std::string());
  } else {
    return fail("unknown command '" + cmd + "'");
  }
  return true;
}

}  // namespace sim
