// Back-pressure fuzz target: the System Manager's side stops and resumes reading the transmit
// ring and takes and releases software locks between field cycles, while records arrive. Changes
// made while the ring is backed up wait as send marks; once the side reads again, within four
// fields what it has been sent must be the back-end's state: for every (type, M/E, channel) of
// the record types below, the last record on the wire equals what the back-end would send now.
//
// Covered: keyers (0), background (2), image effects (3), downstream keys (5), upstream keys
// and their assignment (7, 8), key presets (19), shot memory status (22), mainframe configuration (26), system (29),
// button inhibit (34), operation (36), source link (37), crosspoint assignment (38), button source names (39),
// bus (47) and bus status (48), each compared as whole records with every mask word left out (masks are send
// marks, not state). The lamp records (49, 50) carry only the lamps changed since the last send,
// so they are not compared.
//
// Input: steps until the input ends (see step()); the side always reads again at the end.
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/dsk.h"
#include "Main/image.h"
#include "Main/key.h"
#include "Main/sourcename.h"
#include "Main/usk.h"
#include "Main/buttoninhibit.h"
#include "Main/main.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/keypreset.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/stream.h"
#include "Main/system.h"
#include "Main/xpt.h"
#include "fuzz/fuzz_support.h"

namespace {

using Key = std::tuple<int, int, int>;  // type id, M/E, channel
using Bytes = std::vector<std::uint8_t>;

template <class T>
Bytes encoded(const T& r) {
  static std::array<std::uint8_t, 16384> scratch;
  rec::WireWriter w(std::span<std::uint8_t>(scratch.data(), scratch.size()));
  rec::encode(w, r);
  return Bytes(scratch.data(), scratch.data() + w.size());
}

// A record as state: masks and per-item mask words cleared, stamped with where it belongs.
template <class T>
Bytes stateOf(T r, int me, int ch) {
  rec::clearMasks(r);
  if constexpr (std::is_same_v<T, KzifBus>) std::memset(r.busMask, 0, sizeof r.busMask);
  if constexpr (std::is_same_v<T, KzifXptAssign>) std::memset(r.buttonMask, 0, sizeof r.buttonMask);
  if constexpr (std::is_same_v<T, KzifSourceLink>) {
    r.recordMask = 0;
    std::memset(r.linkMask, 0, sizeof r.linkMask);
  }
  rec::stamp(r, me, ch);
  return encoded(r);
}

// The System Manager's side, for every (type, M/E, channel) covered: the record it knows.
struct Known {
  Bytes atStart;     // the state when the input began: what the start-up sent, or left unsent
  Bytes last;        // the body of the last record read during the input
  unsigned run = 0;  // the input `last` was read in
};
std::map<Key, Known> known;
unsigned run = 0;
bool tracking = false;

template <class T>
struct Covered {
  static category::CategoryCommon<T>* object(int me) {
    return static_cast<category::CategoryCommon<T>*>(BP::instance().own(T::TYPE_ID, me));
  }
  // Every (M/E, channel) the back-end holds, as it would send it now.
  static void current(std::map<Key, Known>& out) {
    for (int me = 0; me < N_ME; ++me)
      if (const auto* c = object(me))
        for (int ch = 0; ch < T::N_CHANNELS; ++ch) out[{T::TYPE_ID, me, ch}].atStart = stateOf(c->record(ch), me, ch);
  }
  static T decoded(std::span<const std::uint8_t> body) {
    T r{};
    rec::WireReader reader(body);
    if (!rec::decode(reader, r)) fuzz::fail("a record on the wire does not decode", std::to_string(T::TYPE_ID));
    return r;
  }
  // A message of this type as the System Manager's side takes it; it is compared at the end.
  static bool take(unsigned type, std::span<const std::uint8_t> body) {
    if (type != T::TYPE_ID) return false;
    int me, ch;
    if constexpr (rec::hasFixedWireSize<T>()) {
      // Without texts a body decodes exactly when it is long enough, and its M/E and channel lie
      // where the back-end's receive reads them.
      if (body.size() < rec::wireSizeOf<T>()) fuzz::fail("a record on the wire does not decode", std::to_string(T::TYPE_ID));
      me = rec::hasMe<T>() ? rec::meFromWire<T>(body.data()) : 0;
      ch = rec::hasChannel<T>() ? rec::channelFromWire<T>(body.data()) : 0;
    } else {
      const T r = decoded(body);
      me = rec::hasMe<T>() ? rec::meOf(r) : 0;
      ch = rec::hasChannel<T>() ? rec::channelOf(r) : 0;
    }
    const auto it = known.find({T::TYPE_ID, me, ch});
    if (it != known.end()) {
      it->second.last.assign(body.begin(), body.end());
      it->second.run = run;
    }
    return true;
  }
  // The first (M/E, channel) whose last record sent is not the state, or nothing.
  static std::optional<std::string> stale() {
    for (int me = 0; me < N_ME; ++me)
      if (const auto* c = object(me))
        for (int ch = 0; ch < T::N_CHANNELS; ++ch) {
          const Known& k = known.at({T::TYPE_ID, me, ch});
          const Bytes told = k.run == run ? stateOf(decoded(k.last), me, ch) : k.atStart;
          if (told != stateOf(c->record(ch), me, ch))
            return "type " + std::to_string(T::TYPE_ID) + " M/E " + std::to_string(me) + " channel " +
                   std::to_string(ch) + ": the last record sent is not the state";
        }
    return std::nullopt;
  }
  // Every record with every mask set and its channel marked changed, as a feature that rewrote
  // it all leaves it: everything goes out again.
  static void markAll() {
    for (int me = 0; me < N_ME; ++me)
      if (auto* c = object(me))
        for (int ch = 0; ch < T::N_CHANNELS; ++ch) {
          rec::setAllMasks(c->record(ch));
          c->markChanged(ch);
        }
  }
  // The records again through the wire with every mask set: each marks its channel changed.
  static void echoAll(sim::Runner& runner, unsigned type) {
    if (type != T::TYPE_ID) return;
    for (int me = 0; me < N_ME; ++me)
      if (const auto* c = object(me))
        for (int ch = 0; ch < T::N_CHANNELS; ++ch) {
          T r = c->record(ch);
          rec::setAllMasks(r);
          rec::stamp(r, me, ch);
          runner.send(T::TYPE_ID, encoded(r));
        }
  }
};

template <class... T>
struct CoveredList {
  static void current(std::map<Key, Known>& out) { (Covered<T>::current(out), ...); }
  static void take(unsigned type, std::span<const std::uint8_t> body) { (Covered<T>::take(type, body) || ...); }
  static std::optional<std::string> stale() {
    std::optional<std::string> first;
    ((first = Covered<T>::stale()).has_value() || ...);
    return first;
  }
  static void markAll() { (Covered<T>::markAll(), ...); }
  static void echoAll(sim::Runner& runner, unsigned type) { (Covered<T>::echoAll(runner, type), ...); }
  static constexpr unsigned ids[] = {T::TYPE_ID...};
};
using All = CoveredList<KzifKey, KzifBkgd, KzifImage, KzifDsk, KzifUpStreamKey, KzifUpStreamKeyAssign, KzifKeyPreset,
                        KzifShotMemoryStatus, KzifMainframeConfig, KzifSystem, KzifButtonInhibit, KzifOperate,
                        KzifSourceLink, KzifXptAssign, KzifSourceName, KzifBus, KzifBusStatus>;

fuzz::Console console;

constexpr int SETTLE_FIELDS = 4;

void onMessage(unsigned type, std::span<const std::uint8_t> body) {
  if (tracking) All::take(type, body);
}

fuzz::SnapshotRunner machine([](const std::string& line) { console.take(line); }, false, onMessage);

void step(sim::Runner& runner, fuzz::InputReader& in) {
  const std::uint8_t op = in.u8();
  const int n = 1 + (op >> 3 & 3);
  switch (op & 7) {
    case 0:
      runner.field(n);
      break;
    case 1: {  // a record of a covered type (or any type id), its body from the input
      const std::uint8_t pick = in.u8();
      const unsigned type = pick & 0x80 ? pick & 0x7F : All::ids[pick % std::size(All::ids)];
      runner.send(type, in.bytes(in.u16() % 2048));
      runner.field(1);
      break;
    }
    case 2:
      runner.drain(false);
      break;
    case 3:
      runner.drain(true);
      break;
    case 4: {  // a software lock; the start-up lock most of the time, since the back-end waits on it
      const std::uint8_t which = in.u8();
      runner.lock(which & 0x80 ? which & 0x7F : orvane::STARTUP_LOCK, op & 0x20);
      break;
    }
    case 5:
      runner.tick(n);
      break;
    case 6:  // every record marked changed at once, n fields in a row: a backlog builds quickly
      for (int i = 0; i < n; ++i) {
        All::markAll();
        runner.field(1);
      }
      break;
    case 7: {  // every record of one covered type echoed through the wire, n fields in a row
      const unsigned type = All::ids[in.u8() % std::size(All::ids)];
      for (int i = 0; i < n; ++i) {
        All::echoAll(runner, type);
        runner.field(1);
      }
      break;
    }
  }
}

void play(sim::Runner& runner, fuzz::InputReader in) {
  // Whatever the start-up sent is known to the System Manager; what it did not send is the state
  // the System Manager starts from too.
  ++run;
  tracking = true;
  for (int steps = 0; !in.empty() && steps < 32; ++steps) step(runner, in);
  runner.drain(true);
  // The side reads again: within SETTLE_FIELDS fields it must have been sent the state. Most
  // inputs are there after one, and the fields after that would only repeat the idle field.
  std::optional<std::string> stale;
  for (int i = 0; i < SETTLE_FIELDS; ++i) {
    runner.field(1);
    stale = All::stale();
    if (!stale && AcknowledgeSender::instance().stream().unsent() == 0) break;
  }
  tracking = false;
  if (AcknowledgeSender::instance().stream().unsent() != 0) fuzz::fail("still backed up after reading again", "");
  if (stale) fuzz::fail("after the backlog drained", *stale);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine.start("init", [](sim::Runner& runner) {
    runner.field(2);
    known.clear();
    All::current(known);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  machine.run([&](sim::Runner& runner) { play(runner, fuzz::InputReader(data, size)); });
  return 0;
}
