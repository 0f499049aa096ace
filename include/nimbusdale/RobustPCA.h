// RobustPCA: online robust principal component analysis of a stream of real vectors. Plain Eigen
// code in single precision; it knows nothing of the host, of spectra or of channels.
#ifndef NIMBUSDALE_ROBUST_PCA_H
#define NIMBUSDALE_ROBUST_PCA_H

#include <Eigen/Dense>

#include <cmath>
#include <iosfwd>
#include <type_traits>
#include <vector>

#ifndef NIMBUSDALE_REFERENCE_ARITHMETIC
#define NIMBUSDALE_REFERENCE_ARITHMETIC 0  // the build system sets it; fast arithmetic otherwise
#endif

namespace nimbusdale {

/// What one RobustPCA::update did.
struct UpdateSummary {
  int passes = 0;          ///< inner passes run, 1 to maxIter + 1
  bool converged = false;  ///< false when the pass cap was reached
};

/// Online robust PCA. Each update() splits one observation z of `dim` floats into a low-rank part
/// L r, with L = `basis` (dim x rank) and r = `coef`, and a sparse part e = `sparse`, by
/// alternating exact minimisations of
///
///     1/2 |z - L r - e|^2 + lambda1/2 |r|^2 + lambda2 |e|_1
///
/// over r (a ridge projection) and e (a soft threshold at lambda2) until the iterates settle. It
/// then adds the decomposition to the running sums A = sum r r^T (`statA`) and
/// B = sum (z - e) r^T (`statB`) and refines the basis by one sweep of block-coordinate descent on
/// 1/2 tr(L^T (A + lambda1 I) L) - tr(L^T B). No past observation is stored.
///
/// Units: the entries of z, `sparse`, `lowRank`, lambda2 and the columns of `basis` share the
/// observation's unit; `coef` is dimensionless. lambda1 weighs squared coefficients.
///
/// Life cycle: construct, then initialize() (a copy construction includes it), then one update()
/// per observation. initialize() may run again at any time to start over. Every member is public:
/// an owner may change lambda1, lambda2, epsilon and maxIter between calls (they take effect at
/// the next update) and reads the results `sparse`, `coef`, `lowRank` after each update.
///
/// Random numbers: initialize() draws from the C library's std::rand, which is process-wide state;
/// the estimator never seeds it. Nothing else draws.
///
/// Threads: one thread at a time per estimator. Distinct estimators may be updated at the same
/// time (they share nothing but std::rand, used only by initialize(), and the stream their
/// "not converged" notices go to, where each line is written whole).
class RobustPCA {
 public:
  /// dim = observation length D and rank = basis size K, both at least 1; maxIter 100,
  /// lambda1 = lambda2 = 0.08 / sqrt(dim) (formed in double precision, rounded once), epsilon
  /// 1e-4. The arrays stay empty and nothing is drawn: call initialize() before update().
  /// @throws std::invalid_argument if dim or rank is below 1.
  RobustPCA(int dim, int rank);

  /// Takes dim, rank, lambda1, lambda2, epsilon and lowRank from `other`, sets maxIter to 100
  /// whatever `other` holds, and runs initialize(): the copy has fresh draws and zero
  /// statistics, and is ready for update(). There is no separate move: moving copies likewise.
  /// @throws std::invalid_argument as initialize() does.
  RobustPCA(const RobustPCA& other);

  /// Copies all twelve members, random starting state and statistics included, and the pass
  /// count of the last update.
  RobustPCA& operator=(const RobustPCA& other);

  ~RobustPCA();

  /// Draws a new starting point from std::rand, in this order: `basis` (dim x rank, column by
  /// column), `coef` (rank draws), `sparse` (dim draws), each draw |2 R 2^-31 - 1| in [0, 1] for
  /// R = rand(); then zeroes `statA` and `statB`. dim * rank + rank + dim draws in all.
  /// `lowRank` is left as it is.
  /// @throws std::invalid_argument, before drawing, if dim or rank is below 1.
  void initialize();

  /// Decomposes observation `z`, a column-vector expression of exactly `dim` finite floats that
  /// is only read (a column of a matrix is taken in place, without a copy). Warm-started from the
  /// previous `coef` and `sparse`. Afterwards `coef`, `sparse` and `lowRank` hold the
  /// decomposition of z, and `basis`, `statA` and `statB` the refined state.
  ///
  /// The inner alternation stops when the larger step of `sparse` and `coef` (Euclidean norms) is
  /// below epsilon * |z|. A call that reaches maxIter + 1 passes writes "not converged" on
  /// std::cout and keeps its last iterate as if it had converged; an all-zero z always does.
  /// Returns the passes run and whether the test passed.
  ///
  /// @throws std::invalid_argument if z is not dim x 1 or holds a NaN or an infinity.
  /// @throws std::logic_error if the arrays do not have the shapes initialize() gives them.
  /// Either way no member has changed. std::bad_alloc may leave a partial update.
  template <class Derived>
  UpdateSummary update(const Eigen::MatrixBase<Derived>& z) {
    return update(z, standardOutput());
  }

  /// As update(z), with the "not converged" line written to `notices` instead of std::cout, or
  /// nowhere when `notices` is null (the returned summary still tells). Lines from estimators
  /// on different threads never interleave.
  template <class Derived>
  UpdateSummary update(const Eigen::MatrixBase<Derived>& z, std::ostream* notices);

  /// The two arithmetic paths of update(), for `dim` finite values at `z` (not checked here):
  /// the reference rounds every operation on its own in the order the method is written, with
  /// Eigen's dense kernels; the fast one computes the same quantities with SIMD kernels that
  /// fuse multiply-adds and sum in a fixed order of their own, without allocating after the
  /// first call. update() takes the fast path unless the library is built with
  /// NIMBUSDALE_REFERENCE_ARITHMETIC. Both are deterministic and agree to rounding.
  UpdateSummary updateReference(const float* z, std::ostream* notices);
  UpdateSummary updateFast(const float* z, std::ostream* notices, bool basisUntouched = false);

  /// update(z, notices) without its checks, for callers that guarantee what they test: an
  /// initialised estimator and `dim` finite values at `z`. Takes the path update() would.
  /// `basisUntouched` is for an owner that never writes `basis` itself: the fast path then takes
  /// the basis from the padded copy its previous update left, when it left one, instead of
  /// copying it in again. Writing `basis` between such calls makes the results undefined.
  UpdateSummary updateFinite(const float* z, std::ostream* notices, bool basisUntouched = false) {
#if NIMBUSDALE_REFERENCE_ARITHMETIC
    (void)basisUntouched;
    return updateReference(z, notices);
#else
    return updateFast(z, notices, basisUntouched);
#endif
  }

  /// Inner passes run by the last update() (1 to maxIter + 1), or 0 before the first.
  int lastPasses() const { return passesOfLastUpdate; }

  int dim;                  ///< D, length of every observation.
  int rank;                 ///< K, number of basis vectors.
  int maxIter;              ///< Passes tested for convergence before giving up; one more runs.
  float lambda1;            ///< Ridge weight on the coefficients; also added to A's diagonal.
  float lambda2;            ///< Soft-threshold level of the sparse part.
  float epsilon;            ///< Relative tolerance of the inner alternation.
  Eigen::MatrixXf basis;    ///< L, D x K; column j is basis vector j (not normalised).
  Eigen::VectorXf coef;     ///< r, K coefficients of the latest observation.
  Eigen::VectorXf lowRank;  ///< L r after the latest update (D); empty until the first one.
  Eigen::VectorXf sparse;   ///< e, sparse part of the latest observation (D).
  Eigen::MatrixXf statA;    ///< A = sum r r^T since initialize() (K x K, symmetric).
  Eigen::MatrixXf statB;    ///< B = sum (z - e) r^T since initialize() (D x K).

 private:
  using Index = Eigen::Index;

  void requireReady() const;
  [[noreturn]] void rejectShape(Index rows, Index cols) const;
  [[noreturn]] static void rejectEntry(Index index, float value);
  /// P = (L^T L + lambda1 I)^-1 L^T, from the basis on entry.
  Eigen::MatrixXf projectionMatrix() const;
  void softThreshold();
  /// One block-coordinate sweep over the basis columns, then lowRank = L r.
  void sweepBasis();
  static float distance(const Eigen::VectorXf& a, const Eigen::VectorXf& b);
  static std::ostream* standardOutput();
  static void reportNotConverged(std::ostream* notices);

  int passesOfLastUpdate = 0;

  // Scratch of the fast path, sized on first use and kept, so updates do not allocate.
  struct Workspace {
    Eigen::MatrixXf gram;  // K x K
    // Copies of L, z and e and the vectors of the passes, each starting on a 64-byte boundary
    // (the arena has room to find the first): rows padded to whole vectors, so that no load of
    // a column straddles two cache lines.
    std::vector<float> arena;
    Eigen::VectorXf projected;  // L^T (z - sparse)
    Eigen::VectorXf weights;    // one column of A + lambda1 I
    // The arena length at which its copy of L equals `basis`, as the last fast update left
    // both; 0 for none. Never copied: a copied arena starts at another alignment.
    struct HeldFor {
      size_t arenaLength = 0;
      HeldFor() = default;
      HeldFor(const HeldFor&) {}
      HeldFor& operator=(const HeldFor&) {
        arenaLength = 0;
        return *this;
      }
    } basisHeld;
  };
  Workspace work;
};

template <class Derived>
UpdateSummary RobustPCA::update(const Eigen::MatrixBase<Derived>& z, std::ostream* notices) {
  static_assert(std::is_same<typename Derived::Scalar, float>::value,
                "RobustPCA::update takes float observations");
  static_assert(Derived::ColsAtCompileTime == 1 || Derived::ColsAtCompileTime == Eigen::Dynamic,
                "RobustPCA::update takes a column vector");

  // Everything is checked before anything changes: a rejected call leaves the estimator whole.
  requireReady();
  if (z.rows() != dim || z.cols() != 1) rejectShape(z.rows(), z.cols());
  // A column of a matrix or a map is used in place; any other expression is evaluated once.
  const Eigen::Ref<const Eigen::VectorXf> observation(z.derived());
  // A branch-free count first, so the common all-finite case vectorises.
  const float* values = observation.data();
  Index notFinite = 0;
  for (Index i = 0; i < dim; ++i) notFinite += !std::isfinite(values[i]);
  if (notFinite)
    for (Index i = 0; i < dim; ++i)
      if (!std::isfinite(observation[i])) rejectEntry(i, observation[i]);
  return updateFinite(observation.data(), notices);
}

}  // namespace nimbusdale

#endif
