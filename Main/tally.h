// Tally: which sources and which buses are on air. Every field the source tally works out, for each
// of the four tally groups of the peripheral settings, the sources that feed the outputs the group
// names, and for group 1 which buses of each M/E feed them. The System Manager is told of changes;
// the multiview draws the marks on its labels.
#pragma once
#include <algorithm>
#include <array>
#include <iterator>

#include "Main/category.h"
#include "Main/peripheral.h"

// One M/E's bus tally (type id 52), computed from group 1 only.
// Stored (in memory, 112 bytes): 0 mask | 4 me | 8 changed[3] | 20 tally[89].
// Wire body (106 bytes): 0 u32 mask | 4 u8 me | 5 3 x u32 changed | 17 89 x u8 tally.
struct KzifBusTally {
  static constexpr int TYPE_ID = 52;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifBusTally";
  static constexpr int N_BUSES = 89;
  static constexpr int N_WORDS = (N_BUSES + 31) / 32;

  u32 mask;  // never set by the tally; sent as it stands
  u8 me;
  u8 reserved0[3];
  u32 changed[N_WORDS];  // bit b (word b / 32): tally[b] changed since the last send
  u8 tally[N_BUSES];     // 1: bus b feeds an output of tally group 1
  u8 reserved1[3];

  static constexpr auto wire() {
    using R = KzifBusTally;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::plain(&R::changed),
                     rec::plain(&R::tally, rec::boolean()));
  }
};
static_assert(sizeof(KzifBusTally) == 112);
static_assert(rec::wireSizeOf<KzifBusTally>() == 106);
static_assert(offsetof(KzifBusTally, me) == 4);
static_assert(offsetof(KzifBusTally, changed) == 8);
static_assert(offsetof(KzifBusTally, tally) == 20);

// One tally group's source tally (type id 53), one channel per group.
// Stored (in memory, 288 bytes): 0 mask | 4 row | 8 changed[8] | 40 tally[247].
// Wire body (285 bytes): 0 u32 mask | 4 u16 row | 6 8 x u32 changed | 38 247 x u8 tally.
struct KzifSourceTally {
  static constexpr int TYPE_ID = 53;
  static constexpr int N_CHANNELS = 4;
  static constexpr const char* NAME = "KzifSourceTally";
  static constexpr int N_SOURCES = 247;
  static constexpr int N_WORDS = 8;

  u32 mask;  // never set by the tally; sent as it stands
  u16 row;   // tally group 0..3
  u8 reserved0[2];
  u32 changed[N_WORDS];  // bit i (word i / 32): tally[i] changed since the last send
  u8 tally[N_SOURCES];   // 1: the source of tally index i feeds an output of the group
  u8 reserved1[1];

  static constexpr auto wire() {
    using R = KzifSourceTally;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::row), rec::plain(&R::changed),
                     rec::plain(&R::tally, rec::boolean()));
  }
};
static_assert(sizeof(KzifSourceTally) == 288);
static_assert(rec::wireSizeOf<KzifSourceTally>() == 285);
static_assert(offsetof(KzifSourceTally, row) == 4);
static_assert(offsetof(KzifSourceTally, changed) == 8);
static_assert(offsetof(KzifSourceTally, tally) == 40);

// The tally index of a source id (0..246), or -1 for a source that is never tallied.
int tallyIndexOf(int source);
// The root source an entry code of a tally group names (1..20 the M/E and DSK outputs, 21..68 the
// AUX buses), or -1.
int tallyEntrySource(int code);

namespace category {

class CategoryBusTally : public CategoryCommon<KzifBusTally> {
 public:
  CategoryBusTally();
  static CategoryBusTally& get(int me);

  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8*) override {}
  // Computed only: an incoming record just asks for the record to be sent again.
  void assign(const KzifBusTally& in, int idx) override;
  void sendChanges(AcknowledgeSender& tx) override;
  bool nothingToSend() const override;

  // 1 when bus b (0..88) feeds an output of tally group 1; 0 otherwise.
  int busTally(int bus) const {
    if (bus < 0 || bus >= KzifBusTally::N_BUSES) return 0;
    return record_.tally[bus];
  }
  // Takes the computed bytes of group 1: each byte that differs is copied and marked changed.
  // The computed record's changed words mark exactly its buses at 1, as the walk leaves them.
  void take(const KzifBusTally& computed);

 private:
  void sendRecord(AcknowledgeSender& tx);
  KzifBusTally record_{};
  // The buses at 1 in the record as the last take left it: the same marks again change nothing,
  // unless the record was written elsewhere since.
  std::array<u32, KzifBusTally::N_WORDS> takenBits_{};
  bool takenBitsValid_ = false;
};

class CategorySourceTally : public CategoryCommon<KzifSourceTally> {
 public:
  static constexpr int N_GROUPS = KzifSourceTally::N_CHANNELS;
  static constexpr int N_STATUS_WORDS = 10;
  static constexpr int N_DVE_SLOTS = 4;

  // What one group's walk fills in one pass: the source flags and the bus flags of each M/E.
  struct Tally {
    KzifSourceTally sources;
    std::array<KzifBusTally, N_ME> buses;
  };

  CategorySourceTally();
  static CategorySourceTally& get();

  UpdateClass updateClass() const override { return UpdateClass::SourceTally; }
  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8*) override {}
  void update() override;
  void sendChanges(AcknowledgeSender& tx) override;
  bool nothingToSend() const override;
  // Received rows are taken only while the peripheral settings ask for external tally.
  void assign(const KzifSourceTally& in, int idx) override;

  // The transition engine sets up a background DVE transition of the M/E of the current context.
  void countBkgdDveTrans();

  // The walk of one group's sources (tally_walk.cpp), and its background step: the background
  // buses of M/E me on program (preview 0) or preview (preview 1).
  class Walk;
  static void recurBkgd(Walk& walk, int me, int preview);
  // Walks the sources the entry codes of `group` name into `work`, in the hardware-status variant
  // (hardware true, from the latched status words) or the state variant.
  void walkGroup(Tally& work, const TallyGroup& group, bool hardware) const;

  // What the multiview draws: record channel `group`, and a count that moves whenever the tally
  // bytes of any record channel change.
  const KzifSourceTally& sourceTally(int group) const { return record(group); }
  u32 tallyRevision() const { return revision_; }
  // The row the next send pass sends for `group`.
  const KzifSourceTally& outgoingRow(int group) const;
  // The OR of the last two fields' latched status word i (0..9).
  u32 latchedStatus(int i) const;

 private:
  void latchStatus();
  // Every group's walk and take, in group order, through one walk.
  void walkAndTakeGroups(const CategoryPeripheral* peripheral, bool hardware);
  void takeGroup(int group, const Tally& work);

  std::array<KzifSourceTally, N_GROUPS> rows_{};  // the record, read by the multiview
  std::array<KzifSourceTally, N_GROUPS> outgoing_{};
  // The sources at 1 in each group's outgoing row and record row as the last take left them, in
  // the walk's marks (its changed words mark exactly the sources it set): a walk that marks the
  // same sources leaves the row as it is, and the row is not compared byte by byte. The record
  // row is compared again after anything else may have written it.
  struct TakenBits {
    std::array<u32, KzifSourceTally::N_WORDS> bits{};
    bool valid = false;
    bool same(const u32 (&marks)[KzifSourceTally::N_WORDS]) const {
      return valid && std::equal(bits.begin(), bits.end(), std::begin(marks));
    }
    void take(const u32 (&marks)[KzifSourceTally::N_WORDS]) {
      std::copy(std::begin(marks), std::end(marks), bits.begin());
      valid = true;
    }
  };
  std::array<TakenBits, N_GROUPS> outgoingBits_{};
  std::array<TakenBits, N_GROUPS> rowBits_{};
  std::array<std::array<u32, N_STATUS_WORDS>, 2> banks_{};
  u32 bank_ = 0;
  std::array<u32, N_STATUS_WORDS> statusOr_{};
  std::array<std::array<u8, N_ME>, N_DVE_SLOTS> bkgdDveTrans_{};
  int bkgdDveTransCnt_ = 0;
  u32 revision_ = 0;
};

}  // namespace category

void initCategoryBusTally();
void initCategorySourceTally();
