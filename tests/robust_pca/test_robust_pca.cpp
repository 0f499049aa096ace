// RobustPCA on its own: draws, copies, the inner alternation, rejected observations and recovery.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbusdale/RobustPCA.h"

namespace {

using Eigen::MatrixXf;
using Eigen::VectorXf;
using nimbusdale::RobustPCA;

/// Runs `fn` with std::cout going to a string, and returns what it wrote.
template <class F>
std::string captureCout(F&& fn) {
  std::ostringstream captured;
  std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
  try {
    fn();
  } catch (...) {
    std::cout.rdbuf(saved);
    throw;
  }
  std::cout.rdbuf(saved);
  return captured.str();
}

std::string repeatedLine(const std::string& line, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += line + "\n";
  return all;
}

/// The first `n` starting values after srand(seed): |R / 2^30 - 1| in float.
std::vector<float> startingValues(unsigned seed, int n) {
  std::srand(seed);
  std::vector<float> values;
  for (int i = 0; i < n; ++i)
    values.push_back(std::fabs(static_cast<float>(std::rand()) * 0x1p-30f - 1.0f));
  return values;
}

std::vector<float> flatten(const MatrixXf& m) {
  return {m.data(), m.data() + m.size()};
}
std::vector<float> slice(const std::vector<float>& v, size_t from, size_t n) {
  return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n)};
}

/// Every member, the last pass count included, is the same to the bit.
::testing::AssertionResult sameState(const RobustPCA& a, const RobustPCA& b) {
  auto same = [](const MatrixXf& x, const MatrixXf& y) {
    return x.rows() == y.rows() && x.cols() == y.cols() && flatten(x) == flatten(y);
  };
  if (a.dim != b.dim || a.rank != b.rank || a.maxIter != b.maxIter || a.lambda1 != b.lambda1 ||
      a.lambda2 != b.lambda2 || a.epsilon != b.epsilon || a.lastPasses() != b.lastPasses())
    return ::testing::AssertionFailure() << "scalar members differ";
  if (!same(a.basis, b.basis) || !same(a.coef, b.coef) || !same(a.lowRank, b.lowRank) ||
      !same(a.sparse, b.sparse) || !same(a.statA, b.statA) || !same(a.statB, b.statB))
    return ::testing::AssertionFailure() << "array members differ";
  return ::testing::AssertionSuccess();
}

/// max |a - b| <= tol over equally shaped arrays.
::testing::AssertionResult withinAbs(const MatrixXf& a, const MatrixXf& b, float tol) {
  if (a.rows() != b.rows() || a.cols() != b.cols())
    return ::testing::AssertionFailure() << "shapes differ";
  const float worst = (a - b).cwiseAbs().maxCoeff();
  if (worst <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "differ by " << worst << " > " << tol;
}

/// Initialises `est` right after srand(seed). (Helpers never return an estimator by value: a copy
/// construction would draw again.)
void initializeAfterSeed(RobustPCA& est, unsigned seed = 1) {
  std::srand(seed);
  est.initialize();
}

TEST(RobustPCAConstruction, DefaultsDrawNothingAndRefuseEmptyShapes) {
  std::srand(7);
  const int next = std::rand();
  std::srand(7);
  RobustPCA est(257, 10);
  EXPECT_EQ(std::rand(), next) << "construction must not draw";

  EXPECT_EQ(est.dim, 257);
  EXPECT_EQ(est.rank, 10);
  EXPECT_EQ(est.maxIter, 100);
  EXPECT_EQ(est.lambda1, static_cast<float>((1.0 / std::sqrt(257.0)) * 0.08));
  EXPECT_EQ(est.lambda2, est.lambda1);
  EXPECT_EQ(est.epsilon, 0.0001f);
  EXPECT_EQ(est.basis.size() + est.coef.size() + est.lowRank.size() + est.sparse.size() +
                est.statA.size() + est.statB.size(),
            0);
  EXPECT_THROW(est.update(VectorXf::Zero(257)), std::logic_error) << "update before initialize";

  for (auto [dim, rank] : {std::pair{0, 3}, {3, 0}, {-2, 3}}) {
    try {
      RobustPCA bad(dim, rank);
      ADD_FAILURE() << "accepted dim " << dim << ", rank " << rank;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("must be at least 1"), std::string::npos) << e.what();
    }
  }
  est.rank = 0;
  std::srand(7);
  EXPECT_THROW(est.initialize(), std::invalid_argument);
  EXPECT_EQ(std::rand(), next) << "a refused initialize must not draw";
}

TEST(RobustPCAInitialize, EstimatorsTakeConsecutiveStretchesOfRand) {
  // D = 3, K = 2: 6 basis values (column by column), 2 coefficients, 3 sparse values.
  const std::vector<float> values = startingValues(1, 33);
  std::srand(1);
  RobustPCA first(3, 2), second(3, 2);
  second.lowRank = VectorXf::Constant(3, 9.0f);
  first.initialize();
  second.initialize();
  for (auto [est, offset] : {std::pair{&first, 0}, {&second, 11}}) {
    EXPECT_EQ(flatten(est->basis), slice(values, offset, 6));
    EXPECT_EQ(flatten(est->coef), slice(values, offset + 6, 2));
    EXPECT_EQ(flatten(est->sparse), slice(values, offset + 8, 3));
    EXPECT_TRUE(est->statA.isZero(0.0f) && est->statA.rows() == 2 && est->statA.cols() == 2);
    EXPECT_TRUE(est->statB.isZero(0.0f) && est->statB.rows() == 3 && est->statB.cols() == 2);
  }
  EXPECT_EQ(flatten(second.lowRank), std::vector<float>(3, 9.0f)) << "initialize keeps lowRank";

  // Starting over draws everything again and clears the statistics, but keeps lowRank.
  captureCout([&] { first.update(Eigen::Vector3f(1, 2, 3)); });
  const VectorXf lowRank = first.lowRank;
  first.initialize();
  EXPECT_EQ(flatten(first.basis), slice(values, 22, 6));
  EXPECT_EQ(flatten(first.sparse), slice(values, 30, 3));
  EXPECT_TRUE(first.statA.isZero(0.0f));
  EXPECT_TRUE(first.statB.isZero(0.0f));
  EXPECT_EQ(flatten(first.lowRank), flatten(lowRank));
}

TEST(RobustPCACopy, ConstructionStartsFreshAndAssignmentCopiesEverything) {
  RobustPCA source(4, 2);
  initializeAfterSeed(source);
  source.maxIter = 7;
  source.lambda1 = 0.5f;
  source.lambda2 = 0.25f;
  source.epsilon = 0.125f;
  captureCout([&] { source.update(Eigen::Vector4f(1, 0, 2, 5)); });
  ASSERT_FALSE(source.statA.isZero(0.0f));

  const std::vector<float> values = startingValues(3, 4 * 2 + 2 + 4);
  std::srand(3);
  RobustPCA copy(source);
  EXPECT_EQ(copy.maxIter, 100);
  EXPECT_EQ(copy.lambda1, 0.5f);
  EXPECT_EQ(copy.lambda2, 0.25f);
  EXPECT_EQ(copy.epsilon, 0.125f);
  EXPECT_EQ(flatten(copy.lowRank), flatten(source.lowRank));
  EXPECT_EQ(flatten(copy.basis), slice(values, 0, 8));
  EXPECT_EQ(flatten(copy.sparse), slice(values, 10, 4));
  EXPECT_TRUE(copy.statA.isZero(0.0f));
  EXPECT_EQ(copy.lastPasses(), 0);

  RobustPCA assigned(9, 5);
  initializeAfterSeed(assigned);
  assigned = source;
  EXPECT_TRUE(sameState(assigned, source));

  // A container filled from one prototype: each element is a fresh copy, in element order.
  std::srand(3);
  std::vector<RobustPCA> channels;
  channels.assign(2, RobustPCA(4, 2));
  EXPECT_EQ(flatten(channels[0].basis), slice(values, 0, 8));
  EXPECT_EQ(flatten(channels[1].basis), slice(startingValues(3, 22), 14, 8))
      << "channel 1 must draw after channel 0";
}

TEST(RobustPCAUpdate, AllZeroObservationRunsTheCapAndSaysSoOnce) {
  RobustPCA est(5, 2);
  initializeAfterSeed(est);
  const std::string out = captureCout([&] { est.update(VectorXf::Zero(5)); });
  EXPECT_EQ(out, "not converged\n");
  EXPECT_EQ(est.lastPasses(), 101);
  // The last pass still feeds the statistics: A gains r r^T and B gains (0 - e) r^T.
  EXPECT_EQ(flatten(est.statA), flatten(est.coef * est.coef.transpose()));
  EXPECT_EQ(flatten(est.statB), flatten((-est.sparse) * est.coef.transpose()));
  EXPECT_EQ(est.lowRank.size(), 5);

  est.maxIter = 3;
  EXPECT_EQ(captureCout([&] { est.update(VectorXf::Zero(5)); }), "not converged\n");
  EXPECT_EQ(est.lastPasses(), 4);
}

TEST(RobustPCAUpdate, SummaryAndNoticeStreamTellTheSameAsStandardOutput) {
  RobustPCA quiet(5, 2), loud(5, 2);
  initializeAfterSeed(quiet);
  initializeAfterSeed(loud);
  VectorXf z(5);
  z << 1, 2, 0.5f, 4, 3;
  for (const VectorXf& observation : {VectorXf(VectorXf::Zero(5)), z}) {
    std::ostringstream notices;
    nimbusdale::UpdateSummary own, fromCout;
    const std::string printed = captureCout([&] {
      own = quiet.update(observation, &notices);
      fromCout = loud.update(observation);
    });
    EXPECT_EQ(notices.str(), printed) << "the same line, only elsewhere";
    EXPECT_EQ(own.converged, printed.empty());
    EXPECT_EQ(own.passes, quiet.lastPasses());
    EXPECT_EQ(fromCout.passes, own.passes);
    EXPECT_EQ(fromCout.converged, own.converged);
    EXPECT_TRUE(sameState(quiet, loud)) << "where the notice goes changes no number";
  }
  // A null stream keeps the notice off every stream; the summary still tells.
  EXPECT_EQ(captureCout([&] { EXPECT_FALSE(quiet.update(VectorXf::Zero(5), nullptr).converged); }),
            "");
}

TEST(RobustPCAUpdate, ConvergingOnTheFirstPassStillLearns) {
  RobustPCA est(6, 2);
  initializeAfterSeed(est);
  est.epsilon = 1e6f;
  const MatrixXf startBasis = est.basis;
  VectorXf z(6);
  z << 1, 2, 0.5f, 4, 3, 1;
  EXPECT_EQ(captureCout([&] { est.update(z); }), "");
  EXPECT_EQ(est.lastPasses(), 1);
  EXPECT_EQ(flatten(est.statA), flatten(est.coef * est.coef.transpose()));
  EXPECT_EQ(flatten(est.statB), flatten((z - est.sparse) * est.coef.transpose()));
  EXPECT_FALSE(withinAbs(est.basis, startBasis, 1e-3f)) << "the basis sweep must run";
  EXPECT_TRUE(withinAbs(est.lowRank, est.basis * est.coef, 1e-6f));
}

TEST(RobustPCAUpdate, SparsePartIsTheSoftThresholdOfWhatTheBasisMisses) {
  // With a zero basis the projection is zero, so r = 0 and e is z soft-thresholded at lambda2.
  RobustPCA est(6, 1);
  initializeAfterSeed(est);
  est.basis.setZero();
  const float t = est.lambda2;
  VectorXf z(6);
  z << t, -t, 3 * t, -0.5f * t, -4 * t, std::nextafter(t, 1.0f);
  captureCout([&] { est.update(z); });
  EXPECT_EQ(flatten(est.coef), std::vector<float>{0.0f});
  EXPECT_EQ(flatten(est.sparse),
            (std::vector<float>{0, 0, 3 * t - t, 0, -4 * t + t, std::nextafter(t, 1.0f) - t}));
  EXPECT_EQ(est.lastPasses(), 2) << "the second pass repeats the first exactly";
}

TEST(RobustPCAUpdate, ObservationIsReadInPlaceWhereverItLies) {
  // A column of a matrix at an odd offset and a vector of its own give the same bits.
  const int dim = 37;
  MatrixXf columns(dim, 2);
  for (int k = 0; k < dim; ++k) {
    columns(k, 0) = 0.0f;
    columns(k, 1) = 1.0f + 0.37f * std::sin(0.7f * k) + (k == 11 ? 5.0f : 0.0f);
  }
  const VectorXf own = columns.col(1);
  RobustPCA inPlace(dim, 3), copied(dim, 3);
  initializeAfterSeed(inPlace);
  initializeAfterSeed(copied);
  captureCout([&] {
    for (int i = 0; i < 5; ++i) {
      inPlace.update(columns.col(1));
      copied.update(own);
    }
  });
  EXPECT_TRUE(sameState(inPlace, copied));
}

TEST(RobustPCAUpdate, UntouchedBasisKeptBetweenUpdatesGivesTheSameBits) {
  // The kept copy of the basis serves only while it is the basis: a fresh start, by assignment
  // or by initialize(), is taken up.
  const int dim = 37;
  RobustPCA kept(dim, 3), plain(dim, 3), other(dim, 3);
  initializeAfterSeed(kept);
  initializeAfterSeed(plain);
  initializeAfterSeed(other, 5);
  std::ostringstream ignored;
  const auto both = [&](int frames) {
    for (int t = 0; t < frames; ++t) {
      VectorXf z(dim);
      for (int k = 0; k < dim; ++k) z[k] = 1.0f + 0.3f * std::sin(0.7f * k + 0.2f * t);
      kept.updateFinite(z.data(), &ignored, true);
      plain.updateFinite(z.data(), &ignored);
    }
  };
  both(6);
  EXPECT_TRUE(sameState(kept, plain));
  kept = other;
  plain = other;
  both(3);
  EXPECT_TRUE(sameState(kept, plain));
  initializeAfterSeed(kept, 9);
  initializeAfterSeed(plain, 9);
  both(3);
  EXPECT_TRUE(sameState(kept, plain));
}

TEST(RobustPCAUpdate, RejectsBadObservationsLeavingEverythingUnchanged) {
  RobustPCA est(4, 2);
  initializeAfterSeed(est);
  captureCout([&] { est.update(Eigen::Vector4f(1, 2, 3, 4)); });
  RobustPCA before(1, 1);
  before = est;
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    VectorXf z;
    const char* says;
  };
  std::vector<Case> cases = {
      {VectorXf::LinSpaced(3, 1, 3), "observation is 3 x 1; expected dim x 1 = 4 x 1"},
      {VectorXf::Ones(5), "observation is 5 x 1"},
      {Eigen::Vector4f(1, NAN, 3, 4), "entry 1 is nan"},
      {Eigen::Vector4f(1, 2, 3, inf), "entry 3 is inf"},
      {Eigen::Vector4f(-inf, 2, 3, 4), "entry 0 is -inf"},
  };
  for (const Case& c : cases) {
    const std::string out = captureCout([&] {
      try {
        est.update(c.z);
        ADD_FAILURE() << "accepted " << c.z.transpose();
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      }
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(sameState(est, before)) << c.says;
  }
  EXPECT_THROW(est.update(MatrixXf::Ones(4, 2)), std::invalid_argument);
  est.statB.resize(3, 2);
  EXPECT_THROW(est.update(VectorXf::Ones(4)), std::logic_error) << "inconsistent state";
}

TEST(RobustPCARecovery, SeparatesSpikesFromASlowlyVaryingLowRankStream) {
  // Three fixed spectral shapes with slowly varying weights, plus spikes of 3 and 2 at two known
  // bins every 7th frame. lambda = 2 / sqrt(D) = 0.25.
  const int dim = 64, frames = 400, warmUp = 200;
  std::vector<VectorXf> shapes;
  for (int j = 0; j < 3; ++j) {
    VectorXf shape(dim);
    for (int k = 0; k < dim; ++k) shape[k] = 0.5f + 0.5f * std::cos(0.3f * (j + 1) * k);
    shapes.push_back(shape);
  }
  RobustPCA est(dim, 3);
  initializeAfterSeed(est);
  est.lambda1 = est.lambda2 = 2.0f / std::sqrt(float(dim));

  double spikeEnergy = 0, sparseEnergy = 0, residualEnergy = 0, cleanEnergy = 0;
  double shortfallSum = 0;
  float worstShortfall = 0, smallestSpike = 1e9f, largestElsewhere = 0;
  int spikes = 0;
  long passes = 0;
  const std::string out = captureCout([&] {
    for (int t = 0; t < frames; ++t) {
      VectorXf clean = VectorXf::Zero(dim);
      for (int j = 0; j < 3; ++j)
        clean += (1.0f + 0.4f * std::sin(0.05f * t * (j + 1) + j)) * shapes[j];
      VectorXf z = clean;
      const bool spiky = t % 7 == 3;
      const int bin1 = (t * 13) % dim, bin2 = (t * 29 + 5) % dim;
      if (spiky) {
        z[bin1] += 3.0f;
        z[bin2] += 2.0f;
      }
      est.update(z);
      if (t < warmUp) continue;
      passes += est.lastPasses();
      for (int k = 0; k < dim; ++k) {
        const float e = est.sparse[k];
        sparseEnergy += double(e) * e;
        if (spiky && (k == bin1 || k == bin2)) {
          spikeEnergy += double(e) * e;
          smallestSpike = std::min(smallestSpike, e);
        } else {
          largestElsewhere = std::max(largestElsewhere, std::fabs(e));
        }
      }
      if (spiky) {
        for (float shortfall : {3.0f - est.sparse[bin1], 2.0f - est.sparse[bin2]}) {
          shortfallSum += shortfall;
          worstShortfall = std::max(worstShortfall, shortfall);
          ++spikes;
        }
      }
      residualEnergy += (clean - est.lowRank).squaredNorm();
      cleanEnergy += clean.squaredNorm();
    }
  });
  EXPECT_EQ(out, "") << "every update should converge on this stream";
  EXPECT_GT(spikeEnergy / sparseEnergy, 0.99) << "the sparse part must sit at the spikes";
  // Soft thresholding shrinks a spike by about lambda2.
  EXPECT_LT(shortfallSum / spikes, 0.3);
  EXPECT_LT(worstShortfall, 0.6f);
  EXPECT_GT(smallestSpike, 4 * largestElsewhere);
  EXPECT_LT(std::sqrt(residualEnergy / cleanEnergy), 0.05) << "low-rank part tracks the shapes";
  EXPECT_LT(double(passes) / (frames - warmUp), 5.0);
}

TEST(RobustPCAThreads, NotConvergedLinesStayWholeAcrossThreads) {
  std::vector<RobustPCA> estimators;
  std::srand(1);
  estimators.assign(8, RobustPCA(16, 3));
  const VectorXf silence = VectorXf::Zero(16);
  omp_set_num_threads(4);
  const std::string out = captureCout([&] {
#pragma omp parallel for schedule(static)
    for (int c = 0; c < 8; ++c)
      for (int i = 0; i < 20; ++i) estimators[static_cast<size_t>(c)].update(silence);
  });
  EXPECT_EQ(out, repeatedLine("not converged", 8 * 20));
}

}  // namespace
