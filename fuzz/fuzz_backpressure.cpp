// Back-pressure fuzz target: the System Manager's side stops and resumes reading the transmit
// ring and takes and releases software locks between field cycles, while records arrive. Changes
// made while the ring is backed up wait as send marks; once the side reads again and a few fields
// pass, what it has been sent must be the back-end's state: for every (type, M/E, channel) of the
// record types below, the last record on the wire equals what the back-end would send now.
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
#include <span>
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

template <class T>
struct Covered {
  static category::CategoryCommon<T>* object(int me) {
    return static_cast<category::CategoryCommon<T>*>(BP::instance().own(T::TYPE_ID, me));
  }
  // Every (M/E, channel) the back-end holds, as it would send it now.
  static void current(std::map<Key, Bytes>& out) {
    for (int me = 0; me < N_ME; ++me)
      if (auto* c = object(me))
        for (int ch = 0; ch < T::N_CHANNELS; ++ch) out[{T::TYPE_ID, me, ch}] = stateOf(c->record(ch), me, ch);
  }
  // A message of this type as the System Manager's side takes it.
  static bool take(unsigned type, const Bytes& body, std::map<Key, Bytes>& sent) {
    if (type != T::TYPE_ID) return false;
    T r{};
    rec::WireReader reader(std::span<const std::uint8_t>(body.data(), body.size()));
    if (!rec::decode(reader, r)) fuzz::fail("a record on the wire does not decode", std::to_string(type));
    const int me = rec::hasMe<T>() ? rec::meOf(r) : 0;
    const int ch = rec::hasChannel<T>() ? rec::channelOf(r) : 0;
    sent[{T::TYPE_ID, me, ch}] = stateOf(r, me, ch);
    return true;
  }
  // The record again with every mask set: it marks the channel changed, so it goes out again.
  static void echoAll(sim::Runner& runner) {
    for (int me = 0; me < N_ME; ++me)
      if (auto* c = object(me))
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
  static void current(std::map<Key, Bytes>& out) { (Covered<T>::current(out), ...); }
  static void take(unsigned type, const Bytes& body, std::map<Key, Bytes>& sent) {
    (Covered<T>::take(type, body, sent) || ...);
  }
  static void echoAll(sim::Runner& runner) { (Covered<T>::echoAll(runner), ...); }
  static constexpr int ids[] = {T::TYPE_ID...};
};
using All = CoveredList<KzifKey, KzifBkgd, KzifImage, KzifDsk, KzifUpStreamKey, KzifUpStreamKeyAssign, KzifKeyPreset,
                        KzifShotMemoryStatus, KzifMainframeConfig, KzifSystem, KzifButtonInhibit, KzifOperate,
                        KzifSourceLink, KzifXptAssign, KzifSourceName, KzifBus, KzifBusStatus>;

std::map<Key, Bytes> sent;  // the System Manager's side: the last record it read of each
bool tracking = false;
fuzz::Console console;

// The runner prints bodies in lowercase hex.
Bytes fromHex(const std::string& s, std::size_t from) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  Bytes b;
  b.reserve((s.size() - from) / 2);
  for (std::size_t i = from; i + 1 < s.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(nibble(s[i]) << 4 | nibble(s[i + 1])));
  return b;
}

void onLine(const std::string& line) {
  console.take(line);
  if (!tracking || line.rfind("msg ", 0) != 0) return;
  const std::size_t space = line.find(' ', 4);
  const unsigned type = static_cast<unsigned>(std::stoul(line.substr(4, space - 4)));
  All::take(type, fromHex(line, space + 1), sent);
}

fuzz::FreshRunner fresh(onLine);

void step(sim::Runner& runner, fuzz::InputReader& in) {
  const std::uint8_t op = in.u8();
  const int n = 1 + (op >> 3 & 3);
  switch (op & 7) {
    case 0:
      runner.field(n);
      break;
    case 1: {  // a record of a covered type (or any type id), its body from the input
      const std::uint8_t pick = in.u8();
      const unsigned type = pick & 0x80 ? pick & 0x7F : static_cast<unsigned>(All::ids[pick % std::size(All::ids)]);
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
    default:  // every record marked changed at once, n fields in a row: a backlog builds quickly
      for (int i = 0; i < n; ++i) {
        All::echoAll(runner);
        runner.field(1);
      }
      break;
  }
}

void compare(const char* when) {
  std::map<Key, Bytes> now;
  All::current(now);
  for (const auto& [key, state] : now) {
    const auto it = sent.find(key);
    if (it == sent.end() || it->second == state) continue;
    fuzz::fail(when, "type " + std::to_string(std::get<0>(key)) + " M/E " + std::to_string(std::get<1>(key)) +
                         " channel " + std::to_string(std::get<2>(key)) + ": the last record sent is not the state");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader in(data, size);
  tracking = false;
  sim::Runner& runner = fresh.get("init");
  runner.field(2);
  // Whatever the start-up sent is known to the System Manager; what it did not send is the state
  // the System Manager starts from too.
  sent.clear();
  All::current(sent);
  tracking = true;
  for (int steps = 0; !in.empty() && steps < 32; ++steps) step(runner, in);
  runner.drain(true);
  runner.field(4);
  if (AcknowledgeSender::instance().stream().unsent() != 0) fuzz::fail("still backed up after reading again", "");
  compare("after the backlog drained");
  return 0;
}
