// Hardware-input fuzz target: the status words the video hardware reports (tally, DSK output and
// clean words, power and alarm), the field parity, the time between VSYNCs (lost, doubled and
// changed rates), the boot-mode word at power-on and the jump request, set by the input between
// field cycles and passes of the 30 ms loop. Whatever the board reports, the back-end must neither
// crash, nor hang, nor raise an assertion.
//
// Input: byte 0 is the boot-mode word's low byte and byte 1 its high byte at the first power-on;
// then steps until the input ends (see step()), and one field cycle more when the last step was
// not one. Every input starts after the boot's first field, which is the same for all of them.
#include "Main/bp.h"
#include "Platform/platform.h"
#include "fuzz/fuzz_support.h"

namespace {

fuzz::Console console;
fuzz::SnapshotRunner machine([](const std::string& line) { console.take(line); }, false);

constexpr const char* WORD_INPUTS[] = {"tally_me1", "tally_me2", "tally_dsk_pgm", "tally_dsk_cln",
                                       "power",     "alarm",     "vsync_period",  "parity"};

// Whether the last step ran field cycles after what it set; if not, one more field takes it in.
bool seen = true;

void step(sim::Runner& runner, fuzz::InputReader& in) {
  const std::uint8_t op = in.u8();
  seen = (op & 7) <= 1 || (op & 7) == 3;
  const int n = 1 + (op >> 4 & 3);
  switch (op & 7) {
    case 0:
    case 1:
      runner.field(n);
      break;
    case 2: {  // one status word, any value
      const char* name = WORD_INPUTS[(op >> 3) % std::size(WORD_INPUTS)];
      runner.hw(name, {in.u32()});
      break;
    }
    case 3: {  // a VSYNC period near the nominal one, as a jittering or drifting rate gives
      const std::int32_t jitter = static_cast<std::int8_t>(in.u8()) * 16;
      runner.hw("vsync_period", {static_cast<std::uint64_t>(16683 + jitter)});
      runner.field(n);
      break;
    }
    case 4:
      runner.tick(n);
      break;
    case 5:
      runner.hw("jump", {in.u32()});
      break;
    case 6:  // a power cycle with a boot-mode word of the input's choosing
      runner.restartWithBootMode(in.u16() | (op & 8 ? BOOT_MODE_INITIALIZE : 0u));
      break;
    case 7:
      runner.lock(op & 8 ? in.u8() % 128 : 95, op & 0x10);
      break;
  }
}

void play(sim::Runner& runner, fuzz::InputReader in) {
  console.clear();
  // The System Manager wrote the input's word before the back-end started. On a blank window
  // the boot and its first field are the same whatever the word holds, so the snapshot of them
  // stands for it.
  const std::uint32_t low = in.u8();
  runner.hw("boot_mode", {low | static_cast<std::uint32_t>(in.u8()) << 8});
  seen = true;
  for (int steps = 0; !in.empty() && steps < 64; ++steps) step(runner, in);
  if (!seen) runner.field(1);
  if (!console.assertions.empty()) fuzz::fail("assertion from a hardware input", console.assertions.front());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine.start("", [](sim::Runner& runner) { runner.field(1); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  machine.run([&](sim::Runner& runner) { play(runner, fuzz::InputReader(data, size)); });
  return 0;
}
