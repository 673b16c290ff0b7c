// Cost of one VSYNC field cycle on the host build: with nothing to receive, with a busy field's
// burst of records that the back-end merges and echoes, with one crosspoint record, with every
// keyer and downstream key changed, with a burst of bus-row presses, and a memcpy of the busy
// field's bytes in and out as the yardstick the busy field is compared with.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/buttonevent.h"
#include "Main/buttoninhibit.h"
#include "Main/chrkey.h"
#include "Main/clip.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/gpi.h"
#include "Main/image.h"
#include "Main/key.h"
#include "Main/keypreset.h"
#include "Main/led.h"
#include "Main/maintenance.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/sourcename.h"
#include "Main/stillmemory.h"
#include "Main/stream.h"
#include "Main/system.h"
#include "Main/tally.h"
#include "Main/usk.h"
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

std::string hexBits(std::uint64_t bits) {
  char text[20];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(bits));
  return text;
}

// A benchmark input is valid: a value its declaration refuses would measure the refusal.
template <class R>
void requireValid(const R& record) {
  R merged{};
  const rec::MergeResult result = rec::merge(merged, record);
  if (!result.clean())
    throw std::logic_error(std::string("bench input: ") + std::to_string(result.droppedValues) + " values of " +
                           R::NAME + " out of range (mask bits 0x" + hexBits(result.droppedBits) + " of the record)");
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

// With ORVANE_BENCH_FIELDS set, every case runs exactly that many iterations in one run of its
// function: the instruction counts of two such runs (bench/callgrind_field.py) then differ only by
// the fields measured, the set-up (boot, warm-up, input checks) being done once in each.
void fixedFieldCount(benchmark::internal::Benchmark* b) {
  if (const char* n = std::getenv("ORVANE_BENCH_FIELDS")) b->Iterations(std::atoll(n));
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
BENCHMARK(BM_IdleField)->Apply(fixedFieldCount);

// Feeds alternating bursts, one per field. Handing the bytes to the receive ring is a copy; the
// field cycle is the work measured, with the System Manager's reading of the transmit ring.
void runBursts(benchmark::State& state, const std::vector<std::vector<std::uint8_t>>& bursts, MessageCounter& counter,
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
    which = (which + 1) % bursts.size();
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
  const std::vector<std::vector<std::uint8_t>> bursts = {makeBusyField(0, nullptr), makeBusyField(1, nullptr)};
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
BENCHMARK(BM_BusyField)->Apply(fixedFieldCount);

// ---- the whole system busy ---------------------------------------------------------------------

// The record the back-end holds for (me, channel) with every mask set: sent back as it stands, it
// is valid by construction, and the caller changes a few values of it.
template <class C>
typename C::Record heldRecord(int me = 0, int ch = 0) {
  typename C::Record r = std::as_const(BP::instance().require<C>(me)).record(ch);
  rec::setAllMasks(r);
  rec::stamp(r, me, ch);
  return r;
}

template <class Cmd>
Cmd mediaCommand(int command) {
  Cmd c{};
  c.header.tag0 = 0x11;
  c.header.tag1 = 0x22;
  c.header.command = static_cast<u16>(command);
  return c;
}

constexpr int WHOLE_SYSTEM_VARIANTS = 6;  // a clip recording and a still capture take turns
constexpr int WHOLE_SYSTEM_SOURCE_NAMES = 16;

struct WholeSystemField {
  std::vector<std::uint8_t> bytes;
  std::vector<int> types;  // of the records beyond the busy field and the keys, each to be echoed
  int records = 0;
  bool captures = false;  // a still capture, answered fields later
};

// The busy field, every keyer and downstream key, and one record of every other kind the System
// Manager sends: upstream keys and their assignment, chroma keys, image effects, key presets, the
// still and clip settings with their commands (a clip recorded and stopped, a recorded clip
// played and stopped, a still captured, over six fields), the panel configuration, custom information,
// maintenance, GPI, peripherals and a run of source names. Built from what the back-end holds
// after its start (so that every value is one it takes), with a few values changed by `variant`.
WholeSystemField makeWholeSystemField(int variant) {
  using namespace category;
  WholeSystemField f;
  f.bytes = makeBusyField(variant & 1, &f.records);
  const std::vector<std::uint8_t> keys = makeAllKeysField(variant);
  f.bytes.insert(f.bytes.end(), keys.begin(), keys.end());
  f.records += 16 + 4;
  auto add = [&f](const auto& r) {
    appendRecord(f.bytes, r);
    f.types.push_back(std::decay_t<decltype(r)>::TYPE_ID);
    ++f.records;
  };
  const i16 v = static_cast<i16>(variant & 1);
  for (int ch = 0; ch < N_USK; ++ch) {
    KzifUpStreamKey usk = heldRecord<CategoryUpStreamKey>(0, ch);
    usk.adjust.clip = static_cast<i16>(400 + 10 * ch + v);
    add(usk);
  }
  {
    KzifUpStreamKeyAssign assign = heldRecord<CategoryUpStreamKeyAssign>();
    for (int i = 0; i < N_USK_BUSES; ++i) assign.sources.uskSource[i] = static_cast<u8>(10 + (i + variant) % 32);
    add(assign);
  }
  for (int me = 0; me < 4; ++me)
    for (int ch = 0; ch < 4; ++ch) {
      KzifChromaKey chroma = heldRecord<CategoryChromaKey>(me, ch);
      chroma.levelOffset = static_cast<i16>(variant & 1 ? -7 + ch : 12 - ch);
      chroma.samplePosition[0] = static_cast<i16>(100 * ch + variant);
      chroma.sampleSize = static_cast<i16>(500 + variant);  // its cold start (0) is below its range
      add(chroma);
    }
  for (int me = 0; me < 4; ++me) {
    KzifImage image = heldRecord<CategoryImage>(me);
    add(image);
  }
  {
    KzifKeyPreset preset = heldRecord<CategoryKeyPreset>();
    preset.selectSlot = static_cast<u8>(variant % 4);
    add(preset);
  }
  {
    KzifStillMemory still = heldRecord<CategoryStillMemory>();
    still.channel2 = static_cast<u8>(variant % N_STILL_CHANNELS);
    add(still);
    KzifStillStatus status = heldRecord<CategoryStillStatus>(0, 10 + variant);
    status.name.set("Still");
    add(status);
  }
  {
    KzifClipPlay play = heldRecord<CategoryClipPlay>(0, 1);
    add(play);
    KzifClipRec record = heldRecord<CategoryClipRec>();
    add(record);
    KzifClipRegister reg = heldRecord<CategoryClipRegister>();
    reg.channel = static_cast<u8>(variant % N_CLIP_CHANNELS);
    add(reg);
    // Clip channel 1 holds a clip, so that it can be played.
    KzifClipStatus status = heldRecord<CategoryClipStatus>(0, CategoryClipStatus::channelIndex(1));
    status.recorded = 1;
    status.name.set("Clip");
    add(status);
  }
  {
    // Clip channel 0 recorded in the first field and stopped in the second, clip channel 1 played
    // in the second and stopped in the third, a still captured in the fourth (once the recording
    // has let go of the frame memory), done in the sixth.
    if (variant == 0 || variant == 1) {
      KzifClipRecCmd record = mediaCommand<KzifClipRecCmd>(variant == 0 ? CLIP_RECORD : CLIP_STOP);
      record.channel = 0;
      add(record);
    }
    if (variant == 1 || variant == 2) {
      KzifClipPlayCmd play = mediaCommand<KzifClipPlayCmd>(variant == 1 ? CLIP_PLAY : CLIP_STOP);
      play.channel = 1;
      add(play);
    }
    if (variant == 3) {
      KzifStillMemoryCmd capture = mediaCommand<KzifStillMemoryCmd>(STILL_CAPTURE);
      capture.channel = 2;
      appendRecord(f.bytes, capture);  // answered when the capture is done, fields later
      ++f.records;
      f.captures = true;
    }
    KzifClipRegisterCmd reg = mediaCommand<KzifClipRegisterCmd>(3);
    add(reg);
  }
  {
    // The panel settings start at 0, below the ranges the panels report in.
    KzifControlPanelConfig config = heldRecord<CategoryControlPanelConfig>();
    config.controlPanel.value0 = config.controlPanel.value2 = 6;
    config.controlPanel.value1 = 7;
    config.controlPanel.value3 = static_cast<i16>(variant);
    for (SubPanelSetting* sub : {&config.subControlPanel1, &config.subControlPanel2})
      sub->value0 = sub->value1 = sub->value2 = static_cast<i16>(10 + variant);
    config.optionBlockA.value0 = config.optionBlockA.value1 = config.optionBlockA.value2 = 1;
    for (auto& entry : config.optionBlockList) entry.value1 = entry.value2 = entry.value3 = 5;
    config.optionBlockB.value1 = config.optionBlockB.value2 = config.optionBlockB.value3 = 5;
    add(config);
  }
  {
    internal::KzifCustomInfo info = heldRecord<CategoryCustomInfo>();
    add(info);
  }
  {
    // Its dates and times start at 0, which is no date.
    KzifMaintenance maintenance = heldRecord<CategoryMaintenance>();
    const i16 date[3] = {2026, 12, 7};
    std::memcpy(maintenance.date5, date, sizeof date);
    maintenance.mvTime = TimeStamp{2026, 12, 7, 10, 30, static_cast<u16>(variant)};
    maintenance.mvLtc = maintenance.mvTime;
    add(maintenance);
  }
  {
    KzifGpiInOut gpi = heldRecord<CategoryGpiInOut>();
    add(gpi);
  }
  {
    KzifPeripheral peripheral = heldRecord<CategoryPeripheral>();
    peripheral.mask &= ~1u;  // the spare flag is never taken from a record
    add(peripheral);
  }
  for (int i = 0; i < WHOLE_SYSTEM_SOURCE_NAMES; ++i) {
    const int ch = 10 + i;
    KzifSourceName name = heldRecord<CategoryButtonSourceName>(0, ch);
    name.buttonNameMode = KzifSourceName::MODE_USER;
    char text[13];
    std::snprintf(text, sizeof text, "CAM %d%c", ch, variant & 1 ? 'b' : 'a');
    name.buttonName.set(text);
    add(name);
  }
  return f;
}

// What went wrong with a whole-system field when the back-end plays it: record kinds that came
// back with no echo and commands that were not done. Empty when every record was taken.
std::string wholeSystemProblems(const std::vector<WholeSystemField>& fields) {
  std::vector<std::string> lines;
  sim::Runner runner(sim::Runner::Options{}, [&lines](const std::string& line) { lines.push_back(line); });
  runner.field(2);
  std::string problems;
  bool captureAsked = false;
  bool captureDone = false;
  for (int round = 0; round < 2; ++round)
    for (std::size_t i = 0; i < fields.size(); ++i) {
      lines.clear();
      runner.raw(fields[i].bytes);
      runner.field(round == 1 && i + 1 == fields.size() ? 4 : 1);  // the capture's reply comes later
      if (round == 0) continue;
      captureAsked = captureAsked || fields[i].captures;
      for (int type : fields[i].types) {
        const std::string echo = "msg " + std::to_string(type) + " ";
        bool seen = false;
        for (const std::string& line : lines) seen = seen || line.starts_with(echo);
        if (!seen) problems += " no echo of type " + std::to_string(type) + " in field " + std::to_string(i) + ";";
      }
      for (const std::string& line : lines) {
        // A media command's reply: tags, command, then its result, 0 when done.
        for (const char* reply : {"msg 66 ", "msg 67 ", "msg 68 ", "msg 79 "})
          if (line.starts_with(reply) && line.compare(std::strlen(reply) + 8, 4, "0000") != 0)
            problems += " " + line.substr(0, std::strlen(reply) + 12) + " not done in field " + std::to_string(i) + ";";
        if (line.starts_with("log ")) problems += " " + line + ";";
        captureDone = captureDone || (line.starts_with("msg 66 ") && line.compare(7 + 8, 4, "0000") == 0);
      }
    }
  if (captureAsked && !captureDone) problems += " the still capture was not done;";
  return problems;
}

void BM_WholeSystemBusy(benchmark::State& state) {
  std::vector<WholeSystemField> fields;
  {
    sim::Runner cold(quiet(), [](const std::string&) {});
    for (int variant = 0; variant < WHOLE_SYSTEM_VARIANTS; ++variant) fields.push_back(makeWholeSystemField(variant));
  }
  const std::string problems = wholeSystemProblems(fields);
  if (!problems.empty()) std::fprintf(stderr, "BM_WholeSystemBusy: a record was not taken:%s\n", problems.c_str());
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  std::vector<std::vector<std::uint8_t>> bursts;
  for (const WholeSystemField& f : fields) bursts.push_back(f.bytes);
  runBursts(state, bursts, counter, runner);
  state.counters["recs_in/field"] = fields[1].records;
  state.counters["bytes_in"] = static_cast<double>(fields[1].bytes.size());
  state.counters["not_taken"] = problems.empty() ? 0 : 1;
}
BENCHMARK(BM_WholeSystemBusy)->Apply(fixedFieldCount);

void BM_OneXptRecord(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runBursts(state, {makeXptField(0), makeXptField(1)}, counter, runner);
}
BENCHMARK(BM_OneXptRecord)->Apply(fixedFieldCount);

void BM_AllKeysChanged(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  runBursts(state, {makeAllKeysField(0), makeAllKeysField(1)}, counter, runner);
}
BENCHMARK(BM_AllKeysChanged)->Apply(fixedFieldCount);

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
BENCHMARK(BM_TallyReentryChain)->Apply(fixedFieldCount);
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
BENCHMARK(BM_ImageEffectsOn)->Apply(fixedFieldCount);
void BM_BusRowPresses(benchmark::State& state) {
  MessageCounter counter(__func__);
  sim::Runner runner(quiet(), [&counter](const std::string& line) { counter(line); });
  std::vector<std::uint8_t> tables;
  for (int panel = 0; panel < 3; ++panel) appendRecord(tables, xptRecord(panel, 0));
  runner.raw(tables);
  runBursts(state, {makeBusRowField(0), makeBusRowField(1)}, counter, runner);
}
BENCHMARK(BM_BusRowPresses)->Apply(fixedFieldCount);
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
BENCHMARK(BM_ChromaKeysAndKeyMemory)->Apply(fixedFieldCount);

void BM_MemcpyBusyFieldBytes(benchmark::State& state) {
  const BusyFieldBytes& bytes = busyFieldBytes();
  std::vector<std::uint8_t> ring(bytes.in.size() + static_cast<std::size_t>(bytes.outBytes));
  std::vector<std::uint8_t> out(ring.size());
  for (auto _ : state) memcpyInAndOut(bytes.in, ring, out, static_cast<std::size_t>(bytes.outBytes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.in.size() + bytes.outBytes));
}
BENCHMARK(BM_MemcpyBusyFieldBytes)->Apply(fixedFieldCount);

}  // namespace
