#include "Driver/filter.h"

#include <cstddef>

#include "Common/assert.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/filter");

namespace kz {
namespace {

std::array<std::array<FilterImage, N_FILTER_TARGETS>, N_ME_CONTEXTS> filters{};

bool filterTarget(int target) {
  return target == KZ_ABUS || target == KZ_BBUS || (KZ_KEY1 <= target && target <= KZ_KEY_DVE_MAX);
}

FilterImage& currentFilter(int target) {
  return filters[static_cast<std::size_t>(kz::image::currentContextIndex)][static_cast<std::size_t>(target - KZ_ABUS)];
}

}  // namespace

const FilterImage& filterImage(int context, int target) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(filterTarget(target));
  return filters[static_cast<std::size_t>(context - KZ_CONTEXT_ME1)][static_cast<std::size_t>(target - KZ_ABUS)];
}

void resetFilterImages() {
  for (auto& context : filters) context.fill(FilterImage{});
  memo::forget(memo::filterMode);
  memo::forget(memo::filterLevel);
  memo::forget(memo::monoColor);
}

}  // namespace kz

void kz::detail::setImageFilterModeChanged(int target, int mode, f32 amount) {
  KZ_CHECK(target == KZ_ABUS || target == KZ_BBUS || (KZ_KEY1 <= target && target <= KZ_KEY_DVE_MAX));
  KZ_CHECK(mode == 0 || mode == KZ_IMAGE_DEFOCUS || mode == KZ_IMAGE_MOSAIC);
  kz::FilterImage& f = kz::currentFilter(target);
  f.mode = static_cast<u16>(mode);
  f.amount = amount;
  kz::memo::ofContext(kz::memo::filterMode, static_cast<std::size_t>(target - KZ_ABUS)).take(mode, amount);
  trace::call("setImageFilterMode", trace::Id{target}, trace::Id{mode}, amount);
}

void kz::detail::setImageFilterLevelChanged(int target, int on, int y, int c) {
  KZ_CHECK(target == KZ_ABUS || target == KZ_BBUS || (KZ_KEY1 <= target && target <= KZ_KEY_DVE_MAX));
  KZ_CHECK(0 <= y && y <= 7);
  KZ_CHECK(0 <= c && c <= 7);
  kz::FilterImage& f = kz::currentFilter(target);
  f.levelOn = static_cast<u8>(on != 0);
  f.levelY = static_cast<u8>(y);
  f.levelC = static_cast<u8>(c);
  kz::memo::ofContext(kz::memo::filterLevel, static_cast<std::size_t>(target - KZ_ABUS)).take(on, y, c);
  trace::call("setImageFilterLevel", trace::Id{target}, on, y, c);
}

void kz::detail::setImageMonoColorChanged(int target, int on, int cb, int cr) {
  KZ_CHECK(target == KZ_ABUS || target == KZ_BBUS || (KZ_KEY1 <= target && target <= KZ_KEY_DVE_MAX));
  KZ_CHECK(0 <= cb && cb < 0x3ff);
  KZ_CHECK(0 <= cr && cr < 0x3ff);
  kz::FilterImage& f = kz::currentFilter(target);
  f.monoOn = static_cast<u8>(on != 0);
  f.cb = static_cast<u16>(cb);
  f.cr = static_cast<u16>(cr);
  kz::memo::ofContext(kz::memo::monoColor, static_cast<std::size_t>(target - KZ_ABUS)).take(on, cb, cr);
  trace::call("setImageMonoColor", trace::Id{target}, on, cb, cr);
}
