#include "Main/buttoninhibit.h"

#include "Main/bp.h"

KZ_SOURCE("Main/buttoninhibit");

namespace category {

CategoryButtonInhibit& CategoryButtonInhibit::get() {
  auto* inhibit = BP::instance().find<CategoryButtonInhibit>();
  KZ_CHECK(inhibit != nullptr);
  return *inhibit;
}

void CategoryButtonInhibit::initIndex(int, int) {
  for (int panel = 0; panel < N_CHANNELS; ++panel) rec::stamp(records_[panel], me_, panel);
}

}  // namespace category

void initCategoryButtonInhibit() { static category::CategoryButtonInhibit buttonInhibit; }
