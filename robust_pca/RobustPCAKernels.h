// SIMD kernels of the fast RobustPCA update, dispatched at run time to the best instruction set
// the processor has (Google Highway). Every sum is formed in a fixed order for a given
// instruction set, so results never depend on alignment or on the thread that runs them.
#ifndef NIMBUSDALE_ROBUST_PCA_KERNELS_H
#define NIMBUSDALE_ROBUST_PCA_KERNELS_H

#include <complex>
#include <cstddef>

namespace nimbusdale::kernels {

/// Sum of a[i] * b[i], i < n.
float dot(const float* a, const float* b, size_t n);

/// out[k] = sum over i < n of columns[k * stride + i] * x[i], for k < count. Several columns
/// share each load of x; a column's sum does not depend on `count` or on its place among them.
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

/// The inner alternation of one fast update: its buffers (each at least as long as stated) and
/// settings.
struct Alternation {
  const float* basis;    ///< L: `rank` columns of `dim`, `stride` apart
  size_t stride;         ///< at least `dim`
  const float* inverse;  ///< (L^T L + lambda1 I)^-1: `rank` columns of `padded`, `padded` apart
  size_t padded;         ///< `rank` rounded up to a whole number of vectors of any target
  const float* z;        ///< the observation (`dim`)
  float* sparse;         ///< e (`dim`): the warm start on entry, the last pass's on return
  float* residual;       ///< z - e (`dim`), likewise
  float* coef;           ///< r (`rank`), likewise
  float* projected;      ///< scratch: L^T (z - e) (`rank`)
  float* paddedCoef;     ///< scratch (`padded`)
  float* fitted;         ///< scratch: L r (`dim`)
  size_t dim, rank;
  float lambda2;    ///< the soft-threshold level
  float tolerance;  ///< the passes stop once both steps' norms are below it
  int maxIter;      ///< passes tested before giving up; one more runs
};

/// Passes of r = inverse (L^T (z - e)), then thresholdStep(z, L r, e, z - e, lambda2), until the
/// larger Euclidean norm of the steps of e and r is below the tolerance (a NaN step never is) or
/// maxIter + 1 passes have run. Returns the passes run: more than maxIter when not converged.
int alternate(const Alternation& a);

/// gram(i, j) = columns i and j against each other as dots() forms them, for i <= j < count,
/// and gram(j, i) = gram(i, j): `gram` is count x count, column-major.
void gram(const float* columns, size_t stride, size_t count, size_t n, float* gram);

/// n rounded up to a multiple of 16: whole vectors on every target up to 512 bits, and 64-byte
/// steps, so that rows this far apart from an aligned start stay aligned.
inline size_t paddedRows(size_t n) {
  return (n + 15) / 16 * 16;
}

/// Floats in a row of invertSymmetric()'s scratch: paddedRows(2n) (wider targets than 512 bits
/// finish a row in scalar code).
inline size_t eliminationWidth(size_t n) {
  return paddedRows(2 * n);
}

/// The inverse of the symmetric n x n matrix `a` (column-major) into `inverse`, column j at
/// inverse + j * stride and rows n to stride - 1 zero, by Gauss-Jordan elimination with partial
/// pivoting on the rows of [a | I] in `rows` (scratch of n * eliminationWidth(n) floats): for
/// the few columns of a basis, several times cheaper than a general LU and its triangular
/// solves. Every operation is rounded on its own. A singular `a` gives values that are not
/// finite.
void invertSymmetric(const float* a, size_t n, float* rows, float* inverse, size_t stride);

/// What an update learns from its decomposition, for a basis L of `rank` columns of `dim`,
/// `stride` apart (A and B column-major without gaps), and residual = z - e: A += r r^T and
/// B += residual r^T, element by element; then one sweep over the columns of L in order, column j
/// taking L(:, j) += (B(:, j) - L w) * (1 / w[j]) with w = A(:, j) + lambda1 e_j and the columns
/// before it already updated, sums over k ascending; then lowRank = L r as combine() forms it.
/// Each column, once updated, is also written to `copy` (column j at j dim, without gaps), so the
/// caller needs no pass of its own to take the basis out. `weights` is scratch of `rank`.
void learn(float* basis, size_t stride, float* copy, float* statA, float* statB,
           const float* residual, const float* coef, float lambda1, float* weights, float* lowRank,
           size_t dim, size_t rank);

/// m[i] = fastSpectrumMagnitude(x[i]), bit for bit. Returns whether every m[i] is finite.
bool magnitudes(const std::complex<float>* x, float* m, size_t n);

/// A channel's observation from its magnitudes, in place: the running scale becomes m where
/// `first` or where it is exactly 0, else m * ratio + scale * keep; then m becomes
/// (m / scale) * globalScale, or 0 where that is not finite. Every operation rounded on its own.
void observe(float* m, float* scale, bool first, float ratio, float keep, float globalScale,
             size_t n);

/// out[i] = (max(sparse[i], 0) * scale[i]) * toMagnitude, or 0 where that is not finite (a NaN
/// sparse value gives 0). Every operation rounded on its own.
void emit(const float* sparse, const float* scale, float toMagnitude, float* out, size_t n);

}  // namespace nimbusdale::kernels

#endif
