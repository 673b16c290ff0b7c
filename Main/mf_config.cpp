#include "Main/mf_config.h"

#include "Main/bp.h"

namespace category {
CategoryMainframeConfig& CategoryMainframeConfig::get() {
  return BP::instance().require<CategoryMainframeConfig>();
}
}  // namespace category

void initCategoryMainframeConfig() { static category::CategoryMainframeConfig config; }
