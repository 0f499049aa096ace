#include "nimbusdale/RobustPCA.h"

#include "RobustPCAKernels.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbusdale {
namespace {

int requireAtLeastOne(int value, const char* name) {
  if (value < 1)
    throw std::invalid_argument(std::string("RobustPCA: ") + name + " is " + std::to_string(value) +
                                "; it must be at least 1");
  return value;
}

/// One starting value in [0, 1]: |2 R 2^-31 - 1| for R = rand(), every step in float.
float draw() {
  const float r = static_cast<float>(std::rand());
  float v = r * 2.0f;
  v = v * 0x1p-31f;
  v = v - 1.0f;
  return std::fabs(v);
}

// Floats an arena holds beyond what it uses, so that its first 64-byte boundary is in it.
constexpr size_t kArenaSlack = 16;

float* alignedStart(float* arena) {
  const auto address = reinterpret_cast<std::uintptr_t>(arena);
  return arena + ((64 - address % 64) % 64) / sizeof(float);
}

// Keeps the lines of estimators updated on different threads apart.
std::mutex& noticeLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

RobustPCA::RobustPCA(int dim, int rank)
    : dim(requireAtLeastOne(dim, "dim")),
      rank(requireAtLeastOne(rank, "rank")),
      maxIter(100),
      lambda1(static_cast<float>((1.0 / std::sqrt(static_cast<double>(dim))) * 0.08)),
      lambda2(lambda1),
      epsilon(0.0001f) {}

RobustPCA::RobustPCA(const RobustPCA& other)
    : dim(other.dim),
      rank(other.rank),
      maxIter(100),
      lambda1(other.lambda1),
      lambda2(other.lambda2),
      epsilon(other.epsilon),
      lowRank(other.lowRank) {
  initialize();
}

RobustPCA& RobustPCA::operator=(const RobustPCA& other) = default;

RobustPCA::~RobustPCA() = default;

void RobustPCA::initialize() {
  requireAtLeastOne(dim, "dim");
  requireAtLeastOne(rank, "rank");
  Eigen::MatrixXf newBasis(dim, rank);
  for (Index i = 0; i < newBasis.size(); ++i) newBasis.data()[i] = draw();
  Eigen::VectorXf newCoef(rank);
  for (Index i = 0; i < rank; ++i) newCoef[i] = draw();
  Eigen::VectorXf newSparse(dim);
  for (Index i = 0; i < dim; ++i) newSparse[i] = draw();
  Eigen::MatrixXf newStatA = Eigen::MatrixXf::Zero(rank, rank);
  Eigen::MatrixXf newStatB = Eigen::MatrixXf::Zero(dim, rank);

  basis.swap(newBasis);
  work.basisHeld.arenaLength = 0;
  coef.swap(newCoef);
  sparse.swap(newSparse);
  statA.swap(newStatA);
  statB.swap(newStatB);
}

UpdateSummary RobustPCA::updateReference(const float* zData, std::ostream* notices) {
  const Eigen::Map<const Eigen::VectorXf> z(zData, dim);
  // Sums in index order, so the result does not depend on where z lies in memory.
  float squaredNorm = 0.0f;
  for (Index i = 0; i < dim; ++i) squaredNorm += z[i] * z[i];
  const float tolerance = epsilon * std::sqrt(squaredNorm);

  const Eigen::MatrixXf projection = projectionMatrix();
  Eigen::VectorXf previousCoef;
  Eigen::VectorXf previousSparse;
  Eigen::VectorXf fitted(dim);
  int passes = 0;
  bool converged = false;
  for (;;) {
    previousCoef = coef;
    previousSparse = sparse;
    coef.noalias() = projection * (z - sparse);
    // L r is rounded on its own before the subtraction (Eigen would otherwise fold z into the
    // product's accumulator).
    fitted.noalias() = basis * coef;
    sparse = z - fitted;
    softThreshold();
    ++passes;
    if (passes > maxIter) {
      reportNotConverged(notices);
      break;
    }
    const float sparseStep = distance(sparse, previousSparse);
    const float coefStep = distance(coef, previousCoef);
    // A NaN step never converges: the first comparison yields coefStep, the second fails.
    const float step = sparseStep > coefStep ? sparseStep : coefStep;
    if (step < tolerance) {
      converged = true;
      break;
    }
  }

  statA.noalias() += coef * coef.transpose();
  statB.noalias() += (z - sparse) * coef.transpose();
  sweepBasis();
  work.basisHeld.arenaLength = 0;
  passesOfLastUpdate = passes;
  return UpdateSummary{passes, converged};
}

UpdateSummary RobustPCA::updateFast(const float* observation, std::ostream* notices,
                                    bool basisUntouched) {
  const size_t D = static_cast<size_t>(dim), K = static_cast<size_t>(rank);
  const size_t stride = kernels::paddedRows(D), padded = kernels::paddedRows(K);
  const size_t width = kernels::eliminationWidth(K);
  Workspace& w = work;
  w.gram.resize(rank, rank);
  w.weights.resize(rank);
  w.projected.resize(rank);
  const size_t used = stride * K + 4 * stride + padded * K + K * width + padded;
  const bool held = basisUntouched && w.basisHeld.arenaLength == used + kArenaSlack;
  w.arena.resize(used + kArenaSlack);
  float* const L = alignedStart(w.arena.data());
  float* const z = L + stride * K;
  float* const e = z + stride;
  float* const residual = e + stride;
  float* const fitted = residual + stride;
  float* const inverse = fitted + stride;
  float* const elimination = inverse + padded * K;
  float* const paddedCoef = elimination + K * width;
  if (!held)
    for (size_t j = 0; j < K; ++j) std::copy_n(basis.data() + j * D, D, L + j * stride);
  std::copy_n(observation, D, z);
  std::copy_n(sparse.data(), D, e);

  const float tolerance = epsilon * std::sqrt(kernels::dot(z, z, D));

  // r = P (z - e) with P = (L^T L + lambda1 I)^-1 L^T is taken as G^-1 (L^T (z - e)): the K x K
  // inverse from the basis on entry, and K dot products a pass, so P itself is never formed.
  kernels::gram(L, stride, K, D, w.gram.data());
  for (Index j = 0; j < rank; ++j) w.gram(j, j) += lambda1;
  kernels::invertSymmetric(w.gram.data(), K, elimination, inverse, padded);

  for (size_t i = 0; i < D; ++i) residual[i] = z[i] - e[i];
  const int passes = kernels::alternate({L, stride, inverse, padded, z, e, residual, coef.data(),
                                         w.projected.data(), paddedCoef, fitted, D, K, lambda2,
                                         tolerance, maxIter});
  const bool converged = passes <= maxIter;
  if (!converged) reportNotConverged(notices);

  // The residual holds z - e of the last pass.
  lowRank.resize(dim);
  kernels::learn(L, stride, basis.data(), statA.data(), statB.data(), residual, coef.data(),
                 lambda1, w.weights.data(), lowRank.data(), D, K);
  std::copy_n(e, D, sparse.data());
  w.basisHeld.arenaLength = w.arena.size();
  passesOfLastUpdate = passes;
  return UpdateSummary{passes, converged};
}

void RobustPCA::requireReady() const {
  const bool ready = dim >= 1 && rank >= 1 && basis.rows() == dim && basis.cols() == rank &&
                     coef.size() == rank && sparse.size() == dim && statA.rows() == rank &&
                     statA.cols() == rank && statB.rows() == dim && statB.cols() == rank;
  if (!ready)
    throw std::logic_error("RobustPCA::update: the estimator is not initialised for dim " +
                           std::to_string(dim) + ", rank " + std::to_string(rank) +
                           "; call initialize() first");
}

void RobustPCA::rejectShape(Index rows, Index cols) const {
  throw std::invalid_argument("RobustPCA::update: observation is " + std::to_string(rows) + " x " +
                              std::to_string(cols) + "; expected dim x 1 = " + std::to_string(dim) +
                              " x 1");
}

void RobustPCA::rejectEntry(Index index, float value) {
  std::ostringstream msg;
  msg << "RobustPCA::update: observation entry " << index << " is " << value
      << "; every entry must be finite";
  throw std::invalid_argument(msg.str());
}

Eigen::MatrixXf RobustPCA::projectionMatrix() const {
  Eigen::MatrixXf gram = basis.transpose() * basis;
  for (Index j = 0; j < rank; ++j) gram(j, j) += lambda1;
  const Eigen::MatrixXf inverse = gram.partialPivLu().inverse();
  return inverse * basis.transpose();
}

void RobustPCA::softThreshold() {
  // Entries within [-lambda2, lambda2], and NaNs, become 0.
  for (Index i = 0; i < sparse.size(); ++i) {
    const float v = sparse[i];
    if (v > lambda2) {
      sparse[i] = v - lambda2;
    } else if (v < -lambda2) {
      sparse[i] = v + lambda2;
    } else {
      sparse[i] = 0.0f;
    }
  }
}

void RobustPCA::sweepBasis() {
  Eigen::MatrixXf regularized = statA;
  for (Index j = 0; j < rank; ++j) regularized(j, j) += lambda1;
  // Columns in order; column j sees the columns before it already updated.
  for (Index j = 0; j < rank; ++j) {
    const float gain = 1.0f / regularized(j, j);
    const Eigen::VectorXf predicted = basis * regularized.col(j);
    basis.col(j) += (statB.col(j) - predicted) * gain;
  }
  lowRank = basis * coef;
}

float RobustPCA::distance(const Eigen::VectorXf& a, const Eigen::VectorXf& b) {
  float sum = 0.0f;
  for (Index i = 0; i < a.size(); ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return std::sqrt(sum);
}

std::ostream* RobustPCA::standardOutput() {
  return &std::cout;
}

void RobustPCA::reportNotConverged(std::ostream* notices) {
  if (!notices) return;
  std::lock_guard<std::mutex> guard(noticeLock());
  *notices << "not converged" << std::endl;
}

}  // namespace nimbusdale
