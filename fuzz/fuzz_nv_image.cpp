// Non-volatile image fuzz target: the back-end resumes an arbitrary backup image, then runs field
// cycles and takes records. The image carries the right magic and layout version, so every share
// is restored whatever it holds. Nothing restored may crash or hang the back-end, nor raise an
// assertion: a stored value out of range must be met as the record's own checks meet it on the
// wire. After every resume, every value a category holds must pass its record's checks.
//
// The commit records are dropped, so that copy A is taken as it stands, as an image saved before
// they were kept; with bit 2 they stay and the patches land anywhere in the window, commit records
// and the second copy included, and whether anything is resumed is up to the back-end.
//
// Input:
//   byte 0     bit 0: the image starts blank instead of as the back-end saves it after an
//              initialisation; bit 1: a second resume of what the run saved, at the end; bit 2:
//              the window keeps its commit records
//   byte 1     number of patches (0..15), each: a byte choosing the share (bits 0..6; with
//              bit 2 above, bit 6 counts the offset from the window's end) and the kind (bit 7),
//              the offset in the share u16, then for bytes a length u8 and the
//              bytes, for a run its length u16 and the value
//   then       steps until the input ends (see step())
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "Common/storage.h"
#include "Main/bp.h"
#include "Main/bus_status.h"
#include "Main/buttoninhibit.h"
#include "Main/chrkey.h"
#include "Main/clip.h"
#include "Main/cp_config.h"
#include "Main/dsk.h"
#include "Main/gpi.h"
#include "Main/image.h"
#include "Main/key.h"
#include "Main/keypreset.h"
#include "Main/maintenance.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/plugin.h"
#include "Main/shotmem.h"
#include "Main/sourcename.h"
#include "Main/stillmemory.h"
#include "Main/testmode.h"
#include "Main/usk.h"
#include "Platform/host.h"
#include "Platform/platform.h"
#include "fuzz/fuzz_support.h"

namespace {

fuzz::Console console;
fuzz::SnapshotRunner machine([](const std::string& line) { console.take(line); }, false);
std::vector<std::uint8_t> savedAfterInit;
// States after the resume and first field of an image, kept for the images that come again.
constexpr std::size_t KEPT_IMAGES = 64;

// Whether a category's values pass their checks is a function of its records' bytes alone: records
// that hold the same bytes as after resuming the unpatched image (walked whole once, at the start)
// pass as those did, and only the records an input changed are walked value by value, channel by
// channel. Most patches touch one or two shares, a few channels of them, and the walk over every
// record took a fifth of an input's time.
struct Verified {
  const category::CategoryInterface* object = nullptr;  // nullptr: always walked
  const std::uint8_t* (*records)(const category::CategoryInterface&) = nullptr;
  // The values refused in the channels whose bytes differ from those after the unpatched resume.
  int (*refusedInChanged)(const category::CategoryInterface&, const std::uint8_t* unpatched) = nullptr;
  std::size_t size = 0;
  std::vector<std::uint8_t> bytes;
};
std::array<std::array<Verified, N_ME>, N_TYPES> verified{};

// The record types whose walk costs the most; the others are always walked.
template <class... T>
struct Remembered {
  static void take(int id, int me) { (takeOne<T>(id, me), ...); }
  template <class R>
  static void takeOne(int id, int me) {
    if (id != R::TYPE_ID) return;
    const category::CategoryInterface* object = BP::instance().own(id, me);
    if (dynamic_cast<const category::CategoryCommon<R>*>(object) == nullptr) return;
    Verified& v = verified[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)];
    v.object = object;
    v.records = [](const category::CategoryInterface& c) {
      return reinterpret_cast<const std::uint8_t*>(&static_cast<const category::CategoryCommon<R>&>(c).record(0));
    };
    // What CategoryCommon<R>::refusedValues adds up, over the changed channels only.
    v.refusedInChanged = [](const category::CategoryInterface& c, const std::uint8_t* unpatched) {
      const auto& common = static_cast<const category::CategoryCommon<R>&>(c);
      int refused = 0;
      for (int ch = 0; ch < R::N_CHANNELS; ++ch) {
        const R& record = common.record(ch);
        if (!host::sameBytes(&record, unpatched + sizeof(R) * static_cast<std::size_t>(ch), sizeof(R)))
          refused += rec::refusedValues(record);
      }
      return refused;
    };
    v.size = sizeof(R) * R::N_CHANNELS;
    v.bytes.assign(v.records(*object), v.records(*object) + v.size);
  }
};
using Walked = Remembered<KzifKey, KzifClipStatus, KzifButtonInhibit, KzifSourceName, KzifStillStatus, KzifGpiInOut,
                          KzifControlPanelConfig, KzifDsk, KzifMaintenance, KzifOperate, KzifImage,
                          KzifShotMemoryStatus, KzifChromaKey, KzifUpStreamKeyAssign, KzifBusStatus, KzifTest,
                          KzifMainframeConfig, KzifPluginStatus, KzifUpStreamKey, KzifPeripheral, KzifKeyPreset,
                          KzifClipPlay>;

void checkRestoredValues() {
  BP::instance().forEachRegistered(BP::Order::ByTypeId, [](category::CategoryInterface& c, int id, int me) {
    const Verified& v = verified[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)];
    int refused = 0;
    if (v.object != &c) {
      refused = c.refusedValues();
    } else if (!host::sameBytes(v.records(c), v.bytes.data(), v.size)) {
      refused = v.refusedInChanged(c, v.bytes.data());
    }
    if (refused != 0)
      fuzz::fail("a restored value fails its record's check",
                 std::string(c.typeName()) + " M/E " + std::to_string(me) + ": " + std::to_string(refused) + " values");
  });
}

void step(sim::Runner& runner, fuzz::InputReader& in) {
  const std::uint8_t op = in.u8();
  switch (op & 3) {
    case 0:
      runner.field(1 + (op >> 2 & 3));
      break;
    case 1: {  // one record: type id, body length, body
      const unsigned type = in.u8();
      runner.send(type, in.bytes(in.u16() % 4096));
      runner.field(1);
      break;
    }
    case 2:
      runner.tick(1);
      break;
    case 3:
      runner.restart("resume");  // what the run saved is restored in turn
      checkRestoredValues();
      break;
  }
}

// Patches land inside one category's share, so that a short input reaches every share.
struct Share {
  std::size_t offset;
  std::size_t size;
};
std::vector<Share> shares;

void writeImage(fuzz::InputReader& in, bool blank, bool keepCommitRecords) {
  std::uint8_t* nv = platform::nvWindow();
  if (blank) std::memset(nv, 0, platform::NV_SIZE);
  else std::memcpy(nv, savedAfterInit.data(), platform::NV_SIZE);
  if (!keepCommitRecords) std::memset(nv + storage::COMMIT_AREA, 0, storage::NV_SIZE - storage::COMMIT_AREA);
  static const Share wholeWindow{0, platform::NV_SIZE};
  const int patches = in.u8() % 16;
  for (int i = 0; i < patches; ++i) {
    const std::uint8_t how = in.u8();
    const Share& share = keepCommitRecords ? wholeWindow : shares[how % shares.size()];
    std::size_t at = in.u16() % share.size;
    if (keepCommitRecords && (how & 0x40)) at = share.size - 1 - at;  // from the end: copy B, commit records
    const std::size_t room = share.size - at;
    if (how & 0x80) {  // a run of one value: out-of-range values come in runs of 0xFF
      const std::size_t n = std::min<std::size_t>(in.u16(), room);
      std::memset(nv + share.offset + at, in.u8(), n);
    } else {
      const std::vector<std::uint8_t> bytes = in.bytes(in.u8());
      std::copy_n(bytes.begin(), std::min(bytes.size(), room), nv + share.offset + at);
    }
  }
  if (keepCommitRecords) return;
  const std::uint32_t header[2] = {BACKUP_MAGIC, BACKUP_LAYOUT_VERSION};
  std::memcpy(nv, header, sizeof header);
}

// The image goes into the window of the snapshot (the back-end initialised and one field saved),
// and the restart that resumes it is the input's first step. The resume and the first field are
// a function of the window's bytes and of whether the commit records are kept: mutations of the
// steps keep the image, and the state after that field is kept for the next input with the same
// image (see fuzz::SnapshotRunner::memoized).
void resumeImage(sim::Runner& runner, fuzz::InputReader in) {
  const std::uint8_t control = in.u8();
  writeImage(in, control & 1, control & 4);
  console.clear();
  static std::vector<std::uint8_t> key(1 + platform::NV_SIZE);
  key[0] = control & 4;
  std::memcpy(key.data() + 1, platform::nvWindow(), platform::NV_SIZE);
  machine.memoized(key, [&](sim::Runner&) {
    runner.restart("resume");
    if (!(control & 4) && !BP::instance().resumed()) fuzz::fail("the image was not taken", "");
    checkRestoredValues();
    runner.field(1);
  });
  for (int steps = 0; !in.empty() && steps < 64; ++steps) step(runner, in);
  if (control & 2) {
    runner.restart("resume");
    checkRestoredValues();
    runner.field(1);
  }
  if (!console.assertions.empty()) fuzz::fail("assertion after resuming an image", console.assertions.front());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  machine.start("init", [](sim::Runner& runner) { runner.field(1); }, KEPT_IMAGES);
  savedAfterInit.assign(platform::nvWindow(), platform::nvWindow() + platform::NV_SIZE);
  const BP& bp = BP::instance();
  for (int id = 0; id < N_TYPES; ++id)
    for (int me = 0; me < 2; ++me)
      if (bp.own(id, me) && bp.shareOffset(id, me) != 0) shares.push_back({bp.shareOffset(id, me), 0});
  std::sort(shares.begin(), shares.end(), [](const Share& a, const Share& b) { return a.offset < b.offset; });
  for (std::size_t i = 0; i < shares.size(); ++i)
    shares[i].size = (i + 1 < shares.size() ? shares[i + 1].offset : bp.backupSize()) - shares[i].offset;
  std::erase_if(shares, [](const Share& s) { return s.size == 0; });

  // The reference: the unpatched image resumed and every value walked. The next input starts
  // from the snapshot again.
  fuzz::InputReader noPatches(nullptr, 0);
  writeImage(noPatches, false, false);
  console.clear();
  machine.runner().restart("resume");
  if (!bp.resumed()) fuzz::fail("the unpatched image was not taken", "");
  checkRestoredValues();
  if (!console.assertions.empty()) fuzz::fail("assertion resuming the unpatched image", console.assertions.front());
  console.clear();
  for (int id = 0; id < N_TYPES; ++id)
    for (int me = 0; me < N_ME; ++me)
      if (bp.own(id, me) != nullptr) Walked::take(id, me);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  machine.run([&](sim::Runner& runner) { resumeImage(runner, fuzz::InputReader(data, size)); });
  return 0;
}
