// Receive-path fuzz target: arbitrary bytes from the System Manager's side go into the receive
// ring and the back-end runs its field cycles over them. Whatever arrives, the field cycle must
// neither crash, nor hang, nor grow memory.
//
// Input: byte 0 steers the run, the rest is what the System Manager "sends".
//   bits 0..1  the payload is handed over in 1..4 pieces, one field cycle after each piece
//   bit  2     one pass of the 30 ms loop after the pieces
//   bits 3..4  0..3 further field cycles at the end (the field after the last piece has already
//              updated, echoed and saved what it received), one more after bit 2 or bit 5
// Every input starts after the boot's first field (the cold start's reports), the same for all.
//   bit  5     a power cycle that resumes the backup image before those last field cycles, so
//              that what the received records left in it is restored too
//   bit  6     the payload is garbage ahead of one well-formed frame: every sync pair in it is
//              broken (its 0x81 made 0x00) and the frame is appended; once the last piece has had
//              its field cycle, that frame must have been applied
//   bit  7     with bit 6, the frame is a button source name (a body of varying size) instead of
//              a background record (a body of fixed size)
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/sourcename.h"
#include "Main/stream.h"
#include "Sim/runner.h"
#include "fuzz/fuzz_support.h"

namespace {

// Each piece goes to the receive ring in slices no larger than this, a field cycle after each.
// A field cycle empties the receive ring (the 16 KB input stream always either dispatches a
// frame or drops noise once full), so the runner's bytes waiting for room never pile up.
constexpr std::size_t SLICE_MAX = 0x10000;

// Every input starts from the back-end as an initialising boot on a blank window and its first
// field leave it: neither the records nor the backup image an earlier input left carry over, and
// any finding replays alone.
fuzz::SnapshotRunner machine([](const std::string&) {}, false);

void feed(sim::Runner& runner, const std::uint8_t* data, std::size_t size) {
  do {
    const std::size_t n = size < SLICE_MAX ? size : SLICE_MAX;
    runner.raw(std::vector<std::uint8_t>(data, data + n));
    runner.field(1);
    data += n;
    size -= n;
  } while (size > 0);
}

// The frame appended after the garbage, and whether the back-end's state shows that it was applied.
struct WellFormedFrame {
  bool sourceName;
  std::uint8_t mark;  // 1..250, from the input: where the frame goes and what it sets

  int me() const { return mark % 4; }
  int channel() const { return mark % 224; }
  std::string name() const {
    return {'Z', static_cast<char>('A' + mark % 26), static_cast<char>('A' + mark / 26 % 26), 'Q'};
  }
  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> body;
    if (sourceName) {
      // mask (button name), channel, name mode, the name, attribute, multiview mode, empty name
      body = {0, 0, 0, 2, 0, static_cast<std::uint8_t>(channel()), 0, 0, 4};
      for (char c : name()) body.push_back(static_cast<std::uint8_t>(c));
      body.insert(body.end(), {0, 0, 0, 0, 0, 0});
    } else {
      // mask (wipe pattern), M/E, four settings, the pattern, four settings
      body = {0, 0, 0, 0x10, static_cast<std::uint8_t>(me()), 0, 0, 0, 0, mark, 0, 0, 0, 0};
    }
    const auto header = MessageHeader{static_cast<u32>(body.size()), static_cast<u16>(sourceName ? 39 : 2)}.bytes();
    std::vector<std::uint8_t> frame(header.begin(), header.end());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
  }
  bool applied() const {
    if (!sourceName) return std::as_const(category::CategoryBkgd::get(me())).record(0).wipePattern == mark;
    const auto& text = category::CategoryButtonSourceName::get().data(channel()).buttonName;
    return text.length == 4 && std::string(text.chars, 4) == name();
  }
};

// The payload as garbage that holds no sync pair, followed by the frame.
std::vector<std::uint8_t> garbageThenFrame(const std::uint8_t* data, std::size_t size, const WellFormedFrame& frame) {
  std::vector<std::uint8_t> v(data, data + size);
  for (std::size_t i = 1; i < v.size(); ++i)
    if (v[i - 1] == MessageHeader::SYNC0 && v[i] == MessageHeader::SYNC1) v[i] = 0;
  const std::vector<std::uint8_t> f = frame.bytes();
  v.insert(v.end(), f.begin(), f.end());
  return v;
}

void receive(sim::Runner& runner, const std::uint8_t* data, std::size_t size) {
  const std::uint8_t control = data[0];
  const std::uint8_t* payload = data + 1;
  std::size_t payloadSize = size - 1;
  const bool oracle = (control & 64u) != 0;
  const WellFormedFrame frame{(control & 128u) != 0, static_cast<std::uint8_t>(1 + payloadSize % 250)};
  std::vector<std::uint8_t> withFrame;
  if (oracle) {
    withFrame = garbageThenFrame(payload, payloadSize, frame);
    payload = withFrame.data();
    payloadSize = withFrame.size();
  }

  const std::size_t pieces = (control & 3u) + 1;
  std::size_t from = 0;
  for (std::size_t k = 1; k <= pieces; ++k) {
    const std::size_t to = payloadSize * k / pieces;
    if (to > from || k == pieces) feed(runner, payload + from, to - from);  // an empty piece brings nothing
    from = to;
  }
  if (oracle && !frame.applied()) {
    fuzz::fail("a well-formed frame after garbage without sync bytes was not applied",
               std::string(frame.sourceName ? "source name, channel " + std::to_string(frame.channel())
                                             : "background, M/E " + std::to_string(frame.me())) +
                   ", garbage of " + std::to_string(payloadSize - frame.bytes().size()) + " bytes");
  }
  if (control & 4u) runner.tick(1);
  if (control & 32u) runner.restart("resume");
  runner.field(static_cast<int>((control >> 3) & 3u) + (control & 36u ? 1 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine.start("init", [](sim::Runner& runner) { runner.field(1); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  machine.run([&](sim::Runner& runner) { receive(runner, data, size); });
  return 0;
}
