// Cost of one VSYNC field cycle on the host build: with nothing to receive, with a busy field's
// burst of records that the back-end merges and echoes, with one crosspoint record, with every
// keyer and downstream key changed, with a burst of bus-row presses, and a memcpy of the busy
// field's bytes in and out as the yardstick the busy field is compared with.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/bkgd.h"
#include "Main/bus.h"
#include "Main/buttonevent.h"
#include "Main/buttoninhibit.h"
#include "Main/chrkey.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/image.h"
#include "Main/key.h"
#include "Main/led.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/stream.h"
#include "Main/system.h"
#include "Main/tally.h"
#include "Main/xpt.h"
#include "Sim/runner.h"

namespace {

// The runner counts what the back-end sends without printing it: the field cycle is what is
// measured, not the formatting of its output. Console lines still come through, and a measured
// field writes none on its normal path: a refusal, a conflict or an overflow in the input would
// make the case measure an error path, so every case reports its error lines (err_lines, which
// must be 0) and the first one is shown on standard error.
struct MessageCounter {
  explicit MessageCounter(const char* caseName = "") : name(caseName) {}
  const char* name;
  std::int64_t logLines = 0;
  std::int64_t errorLines = 0;
  std::string firstError;
  std::uint64_t messagesBefore = 0;
  std::uint64_t bytesBefore = 0;
  void operator()(const std::string& line) {
    if (!line.starts_with("log ")) return;
    ++logLines;
    // Start-up announcements are the only plain information lines; anything else is a fault.
    if (line.starts_with("log [INFO] ") && line.find("Err") == std::string::npos) return;
    if (errorLines++ == 0) firstError = line;
  }
  // Counts from here on.
  void restart(const sim::Runner& runner) {
    logLines = 0;
    errorLines = 0;
    firstError.clear();
    messagesBefore = runner.messagesRead();
    bytesBefore = runner.messageBytesRead();
  }
  std::int64_t messages(const sim::Runner& runner) const {
    return static_cast<std::int64_t>(runner.messagesRead() - messagesBefore);
  }
  std::int64_t bytesOut(const sim::Runner& runner) const {
    return static_cast<std::int64_t>(runner.messageBytesRead() - bytesBefore);
  }
};

sim::Runner::Options quiet() {
  sim::Runner::Options o;
  o.printMessages = false;
  return o;
}

void appendFrame(std::vector<std::uint8_t>& out, int type, std::span<const std::uint8_t> body) {
  const auto header =
      MessageHeader{static_cast<std::uint32_t>(body.size()), static_cast<std::uint16_t>(type)}.bytes();
  out.insert(out.end(), std::begin(header), std::end(header));
  out.insert(out.end(), body.begin(), body.end());
}

// A benchmark input is valid: a value its declaration refuses would measure the refusal.
template <class R>
void requireValid(const R& record) {
  R merged{};
  if (!rec::merge(merged, record).clean())
    throw std::logic_error(std::string("bench input: a value of ") + R::NAME + " is out of range");
}

template <class R>
void appendRecord(std::vector<std::uint8_t>& out, const R& record) {
  requireValid(record);
  std::array<std::uint8_t, 4096> body{};
  rec::WireWriter w(body);
  rec::encode(w, record);
  if (!w.ok()) throw std::logic_error("record does not fit the bench scratch buffer");
  appendFrame(out, R::TYPE_ID, std::span<const std::uint8_t>(body.data(), w.size()));
}

u16 directCode(int source) { return static_cast<u16>(BUS_CODE_SOURCE_BASE + source); }
u16 xptCode(int panel, int button) { return static_cast<u16>(panel << 8 | button); }

// Every button of a panel reassigned; `variant` shifts the inputs so that each record changes them.
KzifXptAssign xptRecord(int panel, int variant) {
  KzifXptAssign x{};
  rec::setAllMasks(x);
  x.panel = static_cast<u16>(panel);
  for (int b = 0; b < KzifXptAssign::N_BUTTONS; ++b) {
    x.markButton(b);
    x.source[b] = static_cast<i16>(10 + (b + variant) % 32);
  }
  return x;
}

// One busy field as the System Manager sends it after a panel operation and a status sweep: every
// kind of record the back-end keeps, 129 in all. `variant` shifts the values so that two bursts
// in a row differ and every record is a real change.
constexpr int BUSY_FIELD_BUTTON_EVENTS = 48;
static_assert(BUSY_FIELD_BUTTON_EVENTS < ButtonEventQueue::FULL_AT);

std::vector<std::uint8_t> makeBusyField(int variant, int* recordCount) {
  std::vector<std::uint8_t> bytes;
  int n = 0;
  auto add = [&](const auto& r) {
    appendRecord(bytes, r);
    ++n;
  };
  for (int me = 0; me < 4; ++me) {
    KzifBus bus{};
    rec::setAllMasks(bus);
    bus.me = static_cast<u8>(me);
    for (int b = 0; b < N_BUSES; ++b) {
      bus.markBus(b);
      // A few buses hold crosspoint buttons, so that the reassignments below re-select them.
      bus.code[b] = b >= 2 && b < 10 ? xptCode(b % 3, b + variant) : directCode(10 + (b + variant + me) % 20);
    }
    bus.flip = static_cast<u8>(variant & 1);
    add(bus);
  }
  {
    KzifOperate op{};
    rec::setAllMasks(op);
    op.percentSetting.percent = 100;
    // Each panel's first two rows on two different M/Es: rows naming the same M/E conflict.
    for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel) {
      op.panelMe(panel).me[0] = static_cast<u8>((panel + variant) & 1);
      op.panelMe(panel).me[1] = static_cast<u8>((panel + variant + 1) & 1);
    }
    add(op);
  }
  for (int panel = 0; panel < 3; ++panel) add(xptRecord(panel, variant));
  {
    KzifSourceLink link{};
    rec::setAllMasks(link);
    for (u32& w : link.linkMask) w = 0xFFFFFFFFu;
    link.linkMask[KzifSourceLink::N_LINK_MASK_WORDS - 1] = (1u << (N_LINK_KEYS % 32)) - 1;
    for (int i = 0; i < N_LINK_KEYS; ++i) link.link[i] = linkKeyList[static_cast<std::size_t>((i + variant + 1) % N_LINK_KEYS)];
    link.direction = static_cast<u8>(variant & 1);
    add(link);
  }
  {
    KzifSystem sys{};
    rec::setAllMasks(sys);
    // A change of video format reconfigures the whole switcher (every label, every key raster):
    // not what an operator's busy field brings, so the format stays. So does the field that
    // panel events are handled in: the first, as in the interlaced formats, so that every other
    // field holds its events back until the next.
    sys.videoFormat = 0;
    sys.toggle2006 = static_cast<u8>(variant % 2);
    sys.fieldSelect = 1;
    add(sys);
  }
  {
    KzifMainframeConfig cfg{};
    rec::setAllMasks(cfg);
    for (int me = 0; me < 8; ++me) cfg.meConfig[me].cleanKey = static_cast<u8>((me + variant) % 4);
    cfg.selectedSampleKeyer = static_cast<u8>(variant % 32);
    add(cfg);
  }
  for (int me = 0; me < 4; ++me) {
    KzifBkgd bkgd{};
    rec::setAllMasks(bkgd);
    bkgd.me = static_cast<u8>(me);
    bkgd.flipEnable = static_cast<u8>(variant & 1);
    bkgd.wipePattern = static_cast<u8>(variant + me);
    add(bkgd);
  }
  for (int me = 0; me < 4; ++me)
    for (int panel = 0; panel < 3; ++panel) {
      KzifBusStatus status{};
      rec::setAllMasks(status);
      status.me = static_cast<u8>(me);
      status.panel = static_cast<u16>(panel);
      status.flag3 = static_cast<u8>(variant & 1);
      status.customItem = static_cast<u8>((variant + panel) % 48);
      add(status);
    }
  for (int panel = 0; panel < 3; ++panel) {
    KzifButtonInhibit inhibit{};
    rec::setAllMasks(inhibit);
    inhibit.panel = static_cast<u16>(panel);
    for (int e = 0; e < N_INHIBIT_ENTRIES; ++e) inhibit.entry[e].first = static_cast<u8>((e + variant) % 225);
    add(inhibit);
  }
  for (int panel = 0; panel < 3; ++panel) {
    internal::KzifLed led{};
    led.panel = static_cast<u16>(panel);
    add(led);
  }
  for (int i = 0; i < 8; ++i) {
    internal::KzifMeLed led{};
    led.me = static_cast<u8>(i % 4);
    led.panel = static_cast<u16>(i / 4);
    add(led);
  }
  for (int i = 0; i < 40; ++i) {
    KzifShotMemoryStatus shot{};
    rec::setAllMasks(shot);
    shot.channel = static_cast<u16>((i * 4 + variant) % KzifShotMemoryStatus::N_CHANNELS);
    shot.stored = static_cast<u8>((i + variant) & 1);
    add(shot);
  }
  // Presses and releases of the A and B bus rows of each M/E: 48, so that a field whose events
  // are held back stays within the event queue (60), as a panel's field of presses does.
  for (int i = 0; i < BUSY_FIELD_BUTTON_EVENTS; ++i) {
    internal::KzifButtonEvent event{};
    event.panel = static_cast<u8>(i % 3);
    event.me = static_cast<u8>((i / 2) % 4);
    event.bus = static_cast<u8>((i / 8) % 2);
    event.code = static_cast<i16>(1100 + (i / 2 + variant) % 24);
    event.state = static_cast<u8>(1 - i % 2);
    add(event);
  }
  if (recordCount) *recordCount = n;
  return bytes;
}

std::vector<std::uint8_t> makeXptField(int variant) {
  std::vector<std::uint8_t> bytes;
  appendRecord(bytes, xptRecord(1, variant));
  return bytes;
}

// Every keyer of the four M/Es and the four downstream keys changed in one field: colours, key
// process, edge, box, shape, and for half the keys a DVE move handed down a link to another key.
std::vector<std::uint8_t> makeAllKeysField(int variant) {
  std::vector<std::uint8_t> bytes;
  const i16 v = static_cast<i16>(variant & 1);
  for (int me = 0; me < 4; ++me)
    for (int ch = 0; ch < 4; ++ch) {
      KzifKey k{};
      rec::setAllMasks(k);
      k.me = static_cast<u8>(me);
      k.channel = static_cast<i16>(ch);
      k.style.keyType = static_cast<u8>((ch + variant) % 4);
      k.adjust.clip = static_cast<i16>(500 + v);
      k.adjust.gain = static_cast<i16>(1200 + v);
      k.adjust.density = 1000;
      k.edge.type = static_cast<u8>(1 + (ch + variant) % 4);
      k.edge.fill = static_cast<u8>(ch % 3);
      for (Hsl* c : {&k.matte1, &k.matte2, &k.matte3, &k.matte4}) {
        (*c)[0] = static_cast<i16>(100 * ch + v);
        (*c)[1] = 500;
        (*c)[2] = 600;
      }
      k.boxMask.mode = static_cast<u8>(1 + (ch + variant) % 2);
      const i16 box[4] = {-2000, 2000, -2000, 2000};
      std::memcpy(k.boxEdges, box, sizeof box);
      const i16 shape[4] = {static_cast<i16>(1000 * v), 0, 6000, 4000};
      std::memcpy(k.shape, shape, sizeof shape);
      k.transKind = static_cast<u8>(ch < 2 ? 1 : 0);
      k.dveLocation[0] = static_cast<i16>(100 * v + ch);
      k.dveSize = 10000;
      k.dveLinkKey = static_cast<u8>(ch == 0 ? 2 : 0);
      k.dveAspect.aspectA = k.dveAspect.aspectB = 10000;
      k.dveBorder.width = 1;
      k.priority = static_cast<u8>(ch);
      k.names.name1.set("Key");
      k.names.name2.set("");
      appendRecord(bytes, k);
    }
  for (int n = 0; n < 4; ++n) {
    KzifDsk d{};
    rec::setAllMasks(d);
    d.channel = static_cast<u16>(n);
    d.style.keyType = static_cast<u8>(variant & 1);
    d.adjust.clip = static_cast<i16>(300 + v);
    d.adjust.gain = 800;
    d.matteColor[0] = d.edgeColor[0] = static_cast<i16>(200 * n + v);
    d.edge.type = static_cast<u8>(1 + (n + variant) % 4);
    d.edge.fill = static_cast<u8>(5 + n);
    d.boxMask.mode = 2;
    const i16 box[4] = {-1000, 1000, -1000, 1000};
    std::memcpy(d.boxEdges, box, sizeof box);
    d.transition.rate = static_cast<u16>(30 + v);
    d.priority = static_cast<u8>(n);
    d.drop(KzifDsk::BIT_KEY_ON);  // the settings change, the DSKs stay where they are
    d.names.name1.set("Logo");
    d.names.name2.set("");
    appendRecord(bytes, d);
  }
  return bytes;
}

// A burst of bus-row presses: 96 presses and releases spread over the four M/Es, the three panels
// and the background, key, utility, AUX and upstream key rows, each press a new selection.
std::vector<std::uint8_t> makeBusRowField(int variant) {
  std::vector<std::uint8_t> bytes;
  constexpr std::uint8_t ROWS[] = {0, 1, 2, 10, 24, 72};
  for (int i = 0; i < 96; ++i) {
    internal::KzifButtonEvent event{};
    event.panel = static_cast<u8>(i % 3);
    event.me = static_cast<u8>((i / 3) % 4);
    event.bus = ROWS[(i / 12) % 6];
    event.code = static_cast<i16>(1100 + (i / 2 + 7 * variant) % 96);
    event.state = static_cast<u8>(1 - i % 2);
    appendRecord(bytes, event);
  }
  return bytes;
}

void reportCounters(benchmark::State& state, const MessageCounter& counter, const sim::Runner& runner) {
  state.counters["msgs/field"] =
      benchmark::Counter(static_cast<double>(counter.messages(runner)), benchmark::Counter::kAvgIterations);
  state.counters["logs/field"] =
      benchmark::Counter(static_cast<double>(counter.logLines), benchmark::Counter::kAvgIterations);
  state.counters["err_lines"] =
      benchmark::Counter(static_cast<double>(counter.errorLines), benchmark::Counter::kAvgIterations);
  if (counter.errorLines != 0)
    std::fprintf(stderr, "%s: %lld error lines in %lld fields, the first: %s\n", counter.name,
                 static_cast<long long>(counter.errorLines), static_cast<long long>(state.iterations()),
                 counter.firstError.c_str());
}

void BM_IdleField(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runner.field(2);  // past the first-field bookkeeping
  counter.restart(runner);
  for (auto _ : state) runner.field(1);
  reportCounters(state, counter, runner);
}
BENCHMARK(BM_IdleField);

// Feeds alternating bursts, one per field. Handing the bytes to the receive ring is a copy; the
// field cycle is the work measured, with the System Manager's reading of the transmit ring.
void runBursts(benchmark::State& state, const std::array<std::vector<std::uint8_t>, 2>& bursts, MessageCounter& counter,
               sim::Runner& runner) {
  runner.field(2);
  for (const auto& burst : bursts) {  // one round first, so that every later record is a change
    runner.raw(burst);
    runner.field(1);
  }
  counter.restart(runner);
  std::size_t which = 0;
  for (auto _ : state) {
    runner.raw(bursts[which]);
    which ^= 1;
    runner.field(1);
  }
  reportCounters(state, counter, runner);
}

// A memcpy of the busy field's bytes in and out: what the busy field is measured against.
struct BusyFieldBytes {
  std::vector<std::uint8_t> in;
  std::int64_t outBytes = 0;
  int records = 0;
};

const BusyFieldBytes& busyFieldBytes() {
  static const BusyFieldBytes bytes = [] {
    BusyFieldBytes b;
    b.in = makeBusyField(0, &b.records);
    MessageCounter counter(__func__);
    sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
    runner.field(2);
    runner.raw(makeBusyField(1, nullptr));
    runner.field(1);
    counter.restart(runner);
    runner.raw(b.in);
    runner.field(1);
    b.outBytes = counter.bytesOut(runner);
    return b;
  }();
  return bytes;
}

double memcpyInAndOut(std::span<const std::uint8_t> in, std::span<std::uint8_t> ring, std::span<std::uint8_t> out,
                      std::size_t outBytes) {
  std::memcpy(ring.data(), in.data(), in.size());
  benchmark::ClobberMemory();
  std::memcpy(out.data(), ring.data(), outBytes < ring.size() ? outBytes : ring.size());
  benchmark::ClobberMemory();
  return 0;
}

// Nanoseconds of one memcpy of the busy field's bytes in and out, averaged over many rounds.
double memcpyNanos(const BusyFieldBytes& bytes) {
  std::vector<std::uint8_t> ring(bytes.in.size() + static_cast<std::size_t>(bytes.outBytes));
  std::vector<std::uint8_t> out(ring.size());
  constexpr int ROUNDS = 20000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < ROUNDS; ++i) memcpyInAndOut(bytes.in, ring, out, static_cast<std::size_t>(bytes.outBytes));
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() / ROUNDS;
}

void BM_BusyField(benchmark::State& state) {
  const BusyFieldBytes& bytes = busyFieldBytes();
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  const std::array<std::vector<std::uint8_t>, 2> bursts = {makeBusyField(0, nullptr), makeBusyField(1, nullptr)};
  const auto start = std::chrono::steady_clock::now();
  runBursts(state, bursts, counter, runner);
  const auto end = std::chrono::steady_clock::now();
  const double fieldNanos =
      std::chrono::duration<double, std::nano>(end - start).count() / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * bytes.records);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bursts[0].size()));
  state.counters["recs_in/field"] = bytes.records;
  state.counters["bytes_in"] = static_cast<double>(bytes.in.size());
  state.counters["bytes_out"] = static_cast<double>(bytes.outBytes);
  // How many memcpys of the bytes in and out one busy field costs.
  state.counters["x_memcpy"] = fieldNanos / memcpyNanos(bytes);
}
BENCHMARK(BM_BusyField);

void BM_OneXptRecord(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runBursts(state, {makeXptField(0), makeXptField(1)}, counter, runner);
}
BENCHMARK(BM_OneXptRecord);

void BM_AllKeysChanged(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runBursts(state, {makeAllKeysField(0), makeAllKeysField(1)}, counter, runner);
}
BENCHMARK(BM_AllKeysChanged);

// The tally walk at its deepest: every group names eight outputs, the background buses and every
// key of each M/E carry the other M/Es' outputs (M/E 1 and 2 feed each other), every transition is
// under way and every key brings its key signal and a utility edge. Nothing changes between fields.
void setUpTallyReentryChain() {
  using namespace category;
  KzifPeripheral& p = CategoryPeripheral::get().record(0);
  p.tallyMode = 0;
  const i16 groups[4][8] = {{1, 3, 4, 6, 13, 14, 21, 22}, {2, 3, 5, 6, 13, 15, 17, 23},
                            {1, 2, 4, 5, 14, 16, 18, 24}, {3, 6, 13, 14, 19, 20, 25, 26}};
  for (int g = 0; g < 4; ++g) std::memcpy(p.tallyGroup[g].output, groups[g], sizeof groups[g]);
  auto bus = [](int me, int b, int source) { CategoryBus::get(me).record(0).code[b] = directCode(source); };
  for (int me = 0; me < 4; ++me) {
    const int other = 150 + 4 * (me ^ 1);  // M/E 1 <-> 2, M/E 3 <-> 4
    bus(me, 0, other);
    bus(me, 1, other + 1);
    for (int k = 0; k < 4; ++k) {
      bus(me, 2 + 2 * k, k % 2 == 0 ? other + 2 : 10 + 8 * me + k);
      bus(me, 3 + 2 * k, 14 + 8 * me + k);
      KzifKey& key = CategoryKey::get(me).record(k);
      key.style.keyType = 1;
      key.style.styleFlag4 = 1;
      key.edge.type = 1;
      key.edge.width = 1;
      key.edge.fill = static_cast<u8>(1 + k % 2);
      CategoryFaderEvent::get().transition(keyTransIndex(me, k)).positionA = 0.5f;
    }
    bus(me, 10, 150 + 4 * ((me + 2) % 4));
    bus(me, 11, 40 - me);
    CategoryFaderEvent::get().transition(bkgdTransIndex[static_cast<std::size_t>(me)]).positionA = 0.5f;
  }
  for (int n = 0; n < 4; ++n) {
    bus(1, 16 + 2 * n, 151 + n % 2);
    CategoryFaderEvent::get().transition(dskTransIndex(n)).positionA = 0.5f;
  }
  for (int a = 0; a < 8; ++a) bus(0, 24 + a, 150 + 4 * (a % 2) + a % 3);
}

void BM_TallyReentryChain(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  setUpTallyReentryChain();
  runner.field(3);  // the rows go out once; later fields walk the same chain and send nothing
  int tallied = 0;
  for (u8 t : category::CategorySourceTally::get().outgoingRow(0).tally) tallied += t;
  counter.restart(runner);
  for (auto _ : state) runner.field(1);
  reportCounters(state, counter, runner);
  state.counters["group1_sources"] = tallied;
}
BENCHMARK(BM_TallyReentryChain);
// Every image filter of the two filtered M/Es on, with levels and mono colour: their driver
// calls and colour conversions run in every field, changed or not.
void BM_ImageEffectsOn(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  std::vector<std::uint8_t> bytes;
  for (int me = 0; me < 2; ++me) {
    KzifImage image{};
    rec::setAllMasks(image);
    image.me = static_cast<u8>(me);
    for (ImageFilter* f : {&image.imageA, &image.imageB, &image.imageKey[0], &image.imageKey[1]}) {
      *f = ImageFilter{f->mask, 1, 1, 3, 4, 0, 0, ImageFilter::MODE_DEFOCUS, 1, 1200, 800, 500};
    }
    appendRecord(bytes, image);
  }
  runner.raw(bytes);
  runner.field(2);
  counter.restart(runner);
  for (auto _ : state) runner.field(1);
  reportCounters(state, counter, runner);
}
BENCHMARK(BM_ImageEffectsOn);
void BM_BusRowPresses(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  std::vector<std::uint8_t> tables;
  for (int panel = 0; panel < 3; ++panel) appendRecord(tables, xptRecord(panel, 0));
  runner.raw(tables);
  runBursts(state, {makeBusRowField(0), makeBusRowField(1)}, counter, runner);
}
BENCHMARK(BM_BusRowPresses);
// Chroma keys and key source memory at work: key source memory on, every keyer of M/E 1 and 2 a
// chroma keyer on a fill source that alternates between two, its clip and chroma level changed in
// one variant only, so that one field stores every keyer's settings and the next loads them back.
std::vector<std::uint8_t> makeChromaField(int variant) {
  std::vector<std::uint8_t> bytes;
  KzifOperate op{};
  op.keySourceMemory.mask = KzifOperate::KeySourceMemory::BIT_ENABLE;
  op.keySourceMemory.enable = 1;
  appendRecord(bytes, op);
  for (int me = 0; me < 2; ++me) {
    KzifBus bus{};
    bus.me = static_cast<u8>(me);
    for (int k = 0; k < 4; ++k) {
      bus.markBus(2 * (k + 1));
      bus.code[2 * (k + 1)] = directCode(10 + k + 4 * me + 8 * (variant & 1));
    }
    appendRecord(bytes, bus);
    for (int ch = 0; ch < 4; ++ch) {
      KzifKey k{};
      k.me = static_cast<u8>(me);
      k.channel = static_cast<i16>(ch);
      k.style.mask = 1;
      k.style.keyType = 2;
      if (variant & 1) {
        k.adjust.mask = 1;
        k.adjust.clip = static_cast<i16>(300 + 10 * ch + me);
      }
      appendRecord(bytes, k);
      KzifChromaKey c{};
      c.me = static_cast<u8>(me);
      c.channel = static_cast<u16>(ch);
      c.mask = (1u << KzifChromaKey::BIT_LEVEL_OFFSET) | (1u << KzifChromaKey::BIT_SAMPLE_POSITION);
      c.levelOffset = static_cast<i16>(variant & 1 ? -7 : 12);
      c.samplePosition[0] = static_cast<i16>(100 * ch + variant);
      appendRecord(bytes, c);
    }
  }
  return bytes;
}

void BM_ChromaKeysAndKeyMemory(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runBursts(state, {makeChromaField(0), makeChromaField(1)}, counter, runner);
}
BENCHMARK(BM_ChromaKeysAndKeyMemory);

void BM_MemcpyBusyFieldBytes(benchmark::State& state) {
  const BusyFieldBytes& bytes = busyFieldBytes();
  std::vector<std::uint8_t> ring(bytes.in.size() + static_cast<std::size_t>(bytes.outBytes));
  std::vector<std::uint8_t> out(ring.size());
  for (auto _ : state) memcpyInAndOut(bytes.in, ring, out, static_cast<std::size_t>(bytes.outBytes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.in.size() + bytes.outBytes));
}
BENCHMARK(BM_MemcpyBusyFieldBytes);

}  // namespace
