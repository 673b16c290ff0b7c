// Plug-in settings (type id 44) and the plug-in status table (type id 45) that the System Manager
// keeps in the mainframe. Of the status only each channel's flag survives a restart, through a
// 30-byte share of the backup image of its own.
#pragma once
#include <array>

#include "Main/category.h"

// Stored as it lies in memory (20 bytes); wire body 20 bytes. Nothing is checked.
struct KzifPlugin {
  static constexpr int TYPE_ID = 44;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifPlugin";

  u32 mask;
  u32 value[4];  // bits 0..3

  static constexpr auto wire() {
    using R = KzifPlugin;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::value));
  }
};
static_assert(sizeof(KzifPlugin) == 20);
static_assert(rec::wireSizeOf<KzifPlugin>() == 20);

// One status channel, held in the category. Wire body: 23 bytes plus the two text lengths.
struct KzifPluginStatus {
  static constexpr int TYPE_ID = 45;
  static constexpr int N_CHANNELS = 30;
  static constexpr const char* NAME = "KzifPluginStatus";
  static constexpr int BIT_FLAG = 2;

  u32 mask;
  u16 index;  // the channel, 0..29
  rec::Text<32> text1;
  rec::Text<32> text2;
  u8 flag;
  i32 value1;
  i32 value2;
  u8 value3;
  u8 option;

  static constexpr auto wire() {
    using R = KzifPluginStatus;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::index), rec::field(0, &R::text1), rec::field(1, &R::text2),
                     rec::field(BIT_FLAG, &R::flag, rec::range(0, 1)), rec::field(3, &R::value1, rec::range(0, 65536)),
                     rec::field(4, &R::value2, rec::range(0, 32768)), rec::field(5, &R::value3, rec::range(0, 6)),
                     rec::field(6, &R::option, rec::oneOf(0, 1)));
  }
};

namespace category {

class CategoryPlugin : public CategoryCommon<KzifPlugin> {};

class CategoryPluginStatus : public CategoryCommon<KzifPluginStatus> {
 public:
  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void restore(const u8* stored) override;
  void afterSend() override;

 private:
  std::array<KzifPluginStatus, N_CHANNELS> channels_{};
  u8* flagShare_ = nullptr;
};

}  // namespace category

void initCategoryPlugin();
void initCategoryPluginStatus();
