// The initial status (type id 54, not backed up) relayed to the panels: stored unchecked and
// reported back, its first field a pulse that only one report carries.
#pragma once
#include "Main/category.h"

namespace internal {

// Wire body (19 bytes): mask; pulse (bit 0); byte1 (bit 1); byte2 (bit 2); blockHead and the five
// blockWords (bit 3, taken together); flag (bit 4, read as 0 or 1).
struct KzifInitialStatus {
  static constexpr int TYPE_ID = 54;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifInitialStatus";

  static constexpr int N_BLOCK_WORDS = 5;
  static constexpr int BIT_BLOCK = 3;

  u32 mask;
  u8 pulse;
  u8 byte1;
  u8 byte2;
  u8 blockHead;
  u16 blockWords[N_BLOCK_WORDS];  // taken with blockHead, under its bit
  u8 flag;

  static constexpr auto wire() {
    using R = KzifInitialStatus;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::pulse), rec::field(1, &R::byte1),
                     rec::field(2, &R::byte2), rec::field(BIT_BLOCK, &R::blockHead),
                     rec::plain(&R::blockWords), rec::field(4, &R::flag, rec::boolean()));
  }
};

}  // namespace internal

namespace category {

class CategoryInitialStatus : public CategoryCommon<internal::KzifInitialStatus> {
 public:
  std::size_t attachBackup(u8*) override { return attachInternal(&record_); }
  void initInternal() override;
  void restore(const u8*) override {}
  void assign(const internal::KzifInitialStatus& in, int idx) override;
  void sendChanges(AcknowledgeSender& tx) override;

 private:
  internal::KzifInitialStatus record_{};
};

}  // namespace category

void initCategoryInitialStatus();
