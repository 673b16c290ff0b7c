// The network settings block that the control panel configuration and the system settings both
// carry: four texts under the escaped-text rule.
#pragma once
#include <cstddef>

#include "Lib/Include/record.h"
#include "Main/escaped_text.h"

// Stored layout (80 bytes): 0 mask | 4 text0 (length, 16 bytes) | 22 text1 | 40 text2 |
// 58 text3 (length, 18 bytes) | 78 padding.
struct NetworkSetting {
  u32 mask;
  rec::Text<15> text0;
  rec::Text<15> text1;
  rec::Text<15> text2;
  rec::Text<17> text3;

  static constexpr auto wire() {
    using R = NetworkSetting;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::text0, EscapedText{}), rec::field(1, &R::text1, EscapedText{}),
                     rec::field(2, &R::text2, EscapedText{}), rec::field(3, &R::text3, EscapedText{}));
  }
};
static_assert(sizeof(NetworkSetting) == 80);
static_assert(offsetof(NetworkSetting, text0) == 4);
static_assert(offsetof(NetworkSetting, text1) == 22);
static_assert(offsetof(NetworkSetting, text2) == 40);
static_assert(offsetof(NetworkSetting, text3) == 58);

// Copies every text of `from` (the characters its length counts, at most its capacity) and marks
// all four in `to`; the mask of `from` is not read (a stored image may hold anything there).
void copyNetworkSetting(NetworkSetting& to, const NetworkSetting& from);
