// Joining the pending-change marks of two states of one record: for a feature that works a
// change out on a copy of the live record and then takes the copy whole.
#pragma once
#include <cstddef>
#include <type_traits>

#include "Lib/Include/record_ops.h"

namespace rec {

// Adds every mask bit of src (sub-records included) to dst's masks; no value is touched.
template <class R>
void addMasks(R& dst, const R& src) {
  if (u32* m = detail::maskWordsOf(dst)) {
    const u32* s = detail::maskWordsOf(src);
    for (std::size_t w = 0; w < detail::maskWords<R>(); ++w) m[w] |= s[w];
  }
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Sub)
      detail::forEachSubPair(dst.*(d.member), src.*(d.member),
                             [](auto& ds, const auto& ss) { addMasks(ds, ss); });
  });
}

}  // namespace rec
