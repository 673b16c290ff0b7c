#include "Main/shotmem.h"

#include "Main/bp.h"

KZ_SOURCE("Main/shotmem");

namespace category {

CategoryShotMemoryStatus& CategoryShotMemoryStatus::get() {
  return BP::instance().require<CategoryShotMemoryStatus>();
}

int CategoryShotMemoryStatus::isStored(int s) const {
  if (s < 0 || s >= N_CHANNELS || records_ == nullptr) return 0;
  return records_[s].stored == 1 ? 1 : 0;
}

}  // namespace category

void initCategoryShotMemoryStatus() { static category::CategoryShotMemoryStatus status; }
