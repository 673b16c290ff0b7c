// Cost of one VSYNC field cycle on the host build: with nothing to receive, and with a burst of
// records arriving in one field that the back-end merges and echoes.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/mf_config.h"
#include "Main/system.h"
#include "Main/stream.h"
#include "Sim/runner.h"

namespace {

constexpr int SYSTEM_RECORDS_PER_BURST = 32;
constexpr int CONFIG_RECORDS_PER_BURST = 4;

// Counts what the back-end sends without keeping the lines.
struct MessageCounter {
  std::int64_t messages = 0;
  std::int64_t logLines = 0;
  void operator()(const std::string& line) {
    if (line.starts_with("msg ")) ++messages;
    else if (line.starts_with("log ")) ++logLines;
  }
};

void appendFrame(std::vector<std::uint8_t>& out, int type, std::span<const std::uint8_t> body) {
  const auto header =
      MessageHeader{static_cast<std::uint32_t>(body.size()), static_cast<std::uint16_t>(type)}.bytes();
  out.insert(out.end(), std::begin(header), std::end(header));
  out.insert(out.end(), body.begin(), body.end());
}

template <class R>
void appendRecord(std::vector<std::uint8_t>& out, const R& record) {
  std::array<std::uint8_t, 1024> body{};
  rec::WireWriter w(body);
  rec::encode(w, record);
  if (!w.ok()) throw std::logic_error("record does not fit the bench scratch buffer");
  appendFrame(out, R::TYPE_ID, std::span<const std::uint8_t>(body.data(), w.size()));
}

// One field's worth of traffic: system settings records stepping through the video formats and
// mainframe configuration records with every mask set. `variant` shifts the values so that two
// bursts in a row differ and every record is a real change.
std::vector<std::uint8_t> makeBurst(int variant) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < SYSTEM_RECORDS_PER_BURST; ++i) {
    KzifSystem sys{};
    rec::setAllMasks(sys);
    sys.videoFormat = static_cast<u8>((i + variant) % 12);
    sys.toggle2006 = static_cast<u8>((i + variant) & 1);
    sys.fieldSelect = static_cast<u8>(i + variant);
    appendRecord(bytes, sys);
  }
  for (int i = 0; i < CONFIG_RECORDS_PER_BURST; ++i) {
    KzifMainframeConfig cfg{};
    rec::setAllMasks(cfg);
    for (int me = 0; me < 8; ++me) {
      cfg.meConfig[me].cleanKey = static_cast<u8>((me + i + variant) % 4);
      cfg.meConfig[me].previewKey[0] = static_cast<u8>((i + variant) % 3);
    }
    cfg.dskConfig.meInput[0] = (i + variant) & 1 ? 8 : 1;
    cfg.sampleKeyer[(i + variant) % 96] = 1;
    cfg.selectedSampleKeyer = static_cast<u8>((i + variant) % 32);
    appendRecord(bytes, cfg);
  }
  return bytes;
}

void BM_IdleField(benchmark::State& state) {
  MessageCounter counter;
  sim::Runner runner({}, [&counter](const std::string& line) { counter(line); });
  runner.field(2);  // past the first-field bookkeeping
  counter = {};
  for (auto _ : state) runner.field(1);
  state.counters["msgs/field"] =
      benchmark::Counter(static_cast<double>(counter.messages), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_IdleField);

void BM_FieldWithRecordBurst(benchmark::State& state) {
  MessageCounter counter;
  sim::Runner runner({}, [&counter](const std::string& line) { counter(line); });
  const std::array<std::vector<std::uint8_t>, 2> bursts = {makeBurst(0), makeBurst(1)};
  runner.field(2);
  counter = {};
  std::size_t which = 0;
  for (auto _ : state) {
    // Handing the bytes to the receive ring is a copy; the field cycle is the work measured.
    runner.raw(bursts[which]);
    which ^= 1;
    runner.field(1);
  }
  constexpr int recordsPerField = SYSTEM_RECORDS_PER_BURST + CONFIG_RECORDS_PER_BURST;
  state.SetItemsProcessed(state.iterations() * recordsPerField);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bursts[0].size()));
  state.counters["recs_in/field"] = recordsPerField;
  state.counters["msgs/field"] =
      benchmark::Counter(static_cast<double>(counter.messages), benchmark::Counter::kAvgIterations);
  state.counters["logs/field"] =
      benchmark::Counter(static_cast<double>(counter.logLines), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FieldWithRecordBurst);

}  // namespace
