// The configuration menu lock (type id 35): five lock flags that the System Manager sets, kept
// across restarts and reported back.
#pragma once
#include "Main/category.h"

// Stored layout (12 bytes): 0 mask | 4 lock[5] | 9 padding. Wire body (9 bytes): mask, lock[5].
struct KzifConfigMenuLock {
  static constexpr int TYPE_ID = 35;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifConfigMenuLock";
  static constexpr int N_LOCKS = 5;

  u32 mask;
  u8 lock[N_LOCKS];  // 0 unlocked, 1 locked

  static constexpr auto wire() {
    using R = KzifConfigMenuLock;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::lock, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifConfigMenuLock) == 12);
static_assert(offsetof(KzifConfigMenuLock, lock) == 4);
static_assert(rec::wireSizeOf<KzifConfigMenuLock>() == 9);

namespace category {
class CategoryConfigMenuLock : public CategoryCommon<KzifConfigMenuLock> {};
}  // namespace category

void initCategoryConfigMenuLock();
