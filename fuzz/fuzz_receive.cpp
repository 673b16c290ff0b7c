// Receive-path fuzz target: arbitrary bytes from the System Manager's side go into the receive
// ring and the back-end runs its field cycles over them. Whatever arrives, the field cycle must
// neither crash, nor hang, nor grow memory.
//
// Input: byte 0 steers the run, the rest is what the System Manager "sends".
//   bits 0..1  the payload is handed over in 1..4 pieces, one field cycle after each piece
//   bit  2     one pass of the 30 ms loop after the pieces
//   bits 3..4  1..4 further field cycles at the end, so that what was received is also updated,
//              echoed and saved
//   bit  5     a power cycle that resumes the backup image before those last field cycles, so
//              that what the received records left in it is restored too
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Sim/runner.h"
#include "fuzz/fuzz_support.h"

namespace {

// Each piece goes to the receive ring in slices no larger than this, a field cycle after each.
// A field cycle empties the receive ring (the 16 KB input stream always either dispatches a
// frame or drops noise once full), so the runner's bytes waiting for room never pile up.
constexpr std::size_t SLICE_MAX = 0x10000;

// A power cycle with initialisation before every input: each input runs against the same freshly
// booted back-end, neither its records nor the backup image the last input saved carry over, and
// any finding replays alone.
sim::Runner& freshRunner() {
  static std::unique_ptr<sim::Runner> runner;
  if (!runner) {
    runner = std::make_unique<sim::Runner>(sim::Runner::Options{.bootMode = "init", .printMessages = false,
                                                                        .unmarkedShare = fuzz::failOnUnmarkedShare}, [](const std::string&) {});
  } else {
    runner->restart("init");
  }
  return *runner;
}

void feed(sim::Runner& runner, const std::uint8_t* data, std::size_t size) {
  do {
    const std::size_t n = size < SLICE_MAX ? size : SLICE_MAX;
    runner.raw(std::vector<std::uint8_t>(data, data + n));
    runner.field(1);
    data += n;
    size -= n;
  } while (size > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  const std::uint8_t* payload = data + 1;
  const std::size_t payloadSize = size - 1;

  sim::Runner& runner = freshRunner();

  const std::size_t pieces = (control & 3u) + 1;
  std::size_t from = 0;
  for (std::size_t k = 1; k <= pieces; ++k) {
    const std::size_t to = payloadSize * k / pieces;
    feed(runner, payload + from, to - from);
    from = to;
  }
  if (control & 4u) runner.tick(1);
  if (control & 32u) runner.restart("resume");
  runner.field(static_cast<int>((control >> 3) & 3u) + 1);
  return 0;
}
