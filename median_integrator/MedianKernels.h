// SIMD kernels of the median across channels, dispatched at run time to the best instruction set
// the processor has (Google Highway). Minimum and maximum round nothing, so each gives the bits
// of the scalar loop it replaces on every instruction set.
#ifndef NIMBUSDALE_MEDIAN_KERNELS_H
#define NIMBUSDALE_MEDIAN_KERNELS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nimbusdale::kernels {

/// Whether min and max order x as a sort does: not NaN, and not -0, which they may swap with +0.
inline bool orderable(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return !std::isnan(x) && bits != 0x80000000u;
}

/// Copies `count` values from `in` to `out`; returns whether every one is orderable().
bool copyOrderable(const float* in, float* out, size_t count);

/// lower[k], upper[k] = min, max of the two, from <= k < to, as the scalar path computes them.
inline void compareExchangeBins(float* lower, float* upper, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    const float p = lower[k], q = upper[k];
    lower[k] = q < p ? q : p;
    upper[k] = q < p ? p : q;
  }
}

/// Sorts each bin's column of `channels` rows (row c at c n) ascending, in place: odd-even
/// transposition over whole rows, `channels` rounds. Every value must be orderable().
void sortColumns(float* rows, size_t channels, size_t n);

/// sortColumns() as the scalar path computes it.
inline void sortColumnsBins(float* rows, size_t channels, size_t n) {
  for (size_t round = 0; round < channels; ++round)
    for (size_t c = round % 2; c + 1 < channels; c += 2)
      compareExchangeBins(rows + c * n, rows + (c + 1) * n, 0, n);
}

}  // namespace nimbusdale::kernels

#endif
