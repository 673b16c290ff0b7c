// The system initial command (type id 72): brings the panel-facing state back to its start.
#pragma once
#include "Main/category.h"

// The command's body carries nothing that is read; any body is taken and the command carried out.
struct KzifInitialize {
  static constexpr int TYPE_ID = 72;
  static constexpr const char* NAME = "KzifInitialize";
};

namespace category {
class CategoryInitialize : public CategoryWithoutStatus<KzifInitialize> {
 public:
  void receiveRouted(int typeId, RequestReceiver& rx) override;
};
}  // namespace category

void initCategoryInitialize();
