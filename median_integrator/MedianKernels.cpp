// Compiled once per instruction set by Highway's foreach_target; the last pass (HWY_ONCE) adds
// the dispatching entry points.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "MedianKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "MedianKernels.h"

HWY_BEFORE_NAMESPACE();
namespace nimbusdale::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using Tag = hn::ScalableTag<float>;

bool CopyOrderable(const float* HWY_RESTRICT in, float* HWY_RESTRICT out, size_t count) {
  const Tag d;
  const hn::RebindToUnsigned<Tag> du;
  const size_t N = hn::Lanes(d);
  const auto negativeZero = hn::Set(du, 0x80000000u);
  auto refused = hn::FirstN(d, 0);
  size_t i = 0;
  for (; i + N <= count; i += N) {
    const auto v = hn::LoadU(d, in + i);
    refused = hn::Or(refused, hn::Or(hn::Ne(v, v), hn::RebindMask(d, hn::Eq(hn::BitCast(du, v),
                                                                            negativeZero))));
    hn::StoreU(v, d, out + i);
  }
  bool ok = hn::AllFalse(d, refused);
  for (; i < count; ++i) {
    ok &= orderable(in[i]);
    out[i] = in[i];
  }
  return ok;
}

void SortColumns(float* HWY_RESTRICT rows, size_t channels, size_t n) {
  const Tag d;
  const size_t N = hn::Lanes(d);
  for (size_t round = 0; round < channels; ++round)
    for (size_t c = round % 2; c + 1 < channels; c += 2) {
      float* lower = rows + c * n;
      float* upper = lower + n;
      size_t k = 0;
      for (; k + N <= n; k += N) {
        const auto p = hn::LoadU(d, lower + k), q = hn::LoadU(d, upper + k);
        hn::StoreU(hn::Min(p, q), d, lower + k);
        hn::StoreU(hn::Max(p, q), d, upper + k);
      }
      compareExchangeBins(lower, upper, k, n);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace nimbusdale::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nimbusdale::kernels {

HWY_EXPORT(CopyOrderable);
HWY_EXPORT(SortColumns);

bool copyOrderable(const float* in, float* out, size_t count) {
  return HWY_DYNAMIC_DISPATCH(CopyOrderable)(in, out, count);
}

void sortColumns(float* rows, size_t channels, size_t n) {
  HWY_DYNAMIC_DISPATCH(SortColumns)(rows, channels, n);
}

}  // namespace nimbusdale::kernels
#endif
