// SIMD kernels of the fast RobustPCA update, dispatched at run time to the best instruction set
// the processor has (Google Highway). Every sum is formed in a fixed order for a given
// instruction set, so results never depend on alignment or on the thread that runs them.
#ifndef NIMBUSDALE_ROBUST_PCA_KERNELS_H
#define NIMBUSDALE_ROBUST_PCA_KERNELS_H

#include <cstddef>

namespace nimbusdale::kernels {

/// Sum of a[i] * b[i], i < n.
float dot(const float* a, const float* b, size_t n);

/// out[k] = dot(columns + k * stride, x, n) for k < count, each bit for bit as dot() gives it;
/// two columns share each load of x.
void dots(const float* columns, size_t stride, size_t count, const float* x, size_t n, float* out);

/// out[i] = sum over j < count of columns[j * stride + i] * weights[j], j ascending, i < n:
/// a matrix (n rows, `count` columns `stride` apart) times a vector.
void combine(const float* columns, size_t stride, size_t count, const float* weights, size_t n,
             float* out);

/// One soft-threshold step: e = z - fitted, then e - t where e > t, e + t where e < -t, and 0
/// otherwise (NaN included). `sparse` holds the previous e on entry and the new one on return;
/// residual[i] = z[i] - new e[i]. Returns the sum of squared changes of e.
float thresholdStep(const float* z, const float* fitted, float* sparse, float* residual, float t,
                    size_t n);

/// y[i] += x[i] * a, i < n.
void addScaled(float* y, const float* x, float a, size_t n);

/// One column of the basis sweep, for rows i < n of a column-major basis (`rank` columns
/// `stride` apart): predicted = sum over k of basis(i, k) * weights[k], then
/// basis(i, column) += (target[i] - predicted) * gain.
void sweepColumn(float* basis, size_t stride, size_t rank, const float* weights,
                 const float* target, float gain, size_t column, size_t n);

}  // namespace nimbusdale::kernels

#endif
