// Macros: the macro attach flags that the macro attach button toggles, one group of eight per
// control panel. The macro record has no type id yet, so this is a plain single object, not
// registered with BP and not on the wire.
#pragma once
#include "Lib/Include/kz_types.h"
#include "Main/button_event_record.h"

// Layout (28 bytes): 0 u32 mask | 4 u8 attach[3][8]. Bit 8 * panel + flag of the mask marks
// attach flag [panel][flag] changed since the marks were last cleared.
struct KzifMacro {
  static constexpr int N_GROUPS = 3;
  static constexpr int N_FLAGS = 8;

  u32 mask;
  u8 attach[N_GROUPS][N_FLAGS];

  static constexpr u32 changeBit(int group, int flag) { return 1u << (N_FLAGS * group + flag); }
};
static_assert(sizeof(KzifMacro) == 28);

namespace category {

class CategoryMacro {
 public:
  static CategoryMacro& get();

  // Macro attach button (code 1603 only, asserted): a press toggles attach flag [panel][M/E byte]
  // and marks it changed; releases, panels above 2 and M/E bytes of 8 and above change nothing.
  void onButton(const internal::KzifButtonEvent& event);

  const KzifMacro& record() const { return record_; }
  int attached(int group, int flag) const;
  // No flag attached and nothing marked changed, as at start-up.
  void clear();

 private:
  CategoryMacro() = default;
  KzifMacro record_{};
};

}  // namespace category
