// The Poisson-Gamma inference on its own: model state, frames as Eigen views, diagnostics on a
// string stream.
#include <gtest/gtest.h>

#include <boost/math/special_functions/digamma.hpp>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbusdale/PoissonGammaInference.h"

namespace {

using nimbusdale::PoissonGammaModel;
using cfloat = std::complex<float>;

/// |actual - expected| <= rel * |expected|.
::testing::AssertionResult withinRelative(double actual, double expected, double rel) {
  if (std::abs(actual - expected) <= rel * std::abs(expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual << " is not within " << rel * 100 << "% of " << expected;
}

/// The rounding the worked figures are quoted to (three significant digits).
constexpr double kQuotedFigure = 5e-3;
/// Float rounding left over by a few single-precision operations.
constexpr double kFloatRounding = 1e-5;
/// Differences from summing in another order, carried through a few frames of iterations.
constexpr double kSummationOrder = 1e-4;

/// Both parts exactly equal and the same sign of zero where zero.
::testing::AssertionResult sameComplex(cfloat a, cfloat b) {
  if (a == b && std::signbit(a.imag()) == std::signbit(b.imag()))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " differs from " << b;
}

/// One frame of F bins x C channels, channel-major like the host frames: value (c, f) at c*F+f.
struct Frame {
  int bins, channels;
  std::vector<float> sparse;
  std::vector<cfloat> spec;

  Frame(int bins, int channels, float fill = 0.0f, cfloat specFill = cfloat(1, 0))
      : bins(bins),
        channels(channels),
        sparse(static_cast<size_t>(bins * channels), fill),
        spec(static_cast<size_t>(bins * channels), specFill) {}

  float& s(int c, int f) { return sparse[static_cast<size_t>(c * bins + f)]; }
  cfloat& z(int c, int f) { return spec[static_cast<size_t>(c * bins + f)]; }
};

struct Result {
  std::vector<cfloat> output;
  std::vector<std::string> lines;
};

Result run(PoissonGammaModel& model, const Frame& frame, float scale,
           std::ostringstream* stream = nullptr) {
  Result r;
  r.output.assign(static_cast<size_t>(frame.bins), cfloat(0, 0));
  std::ostringstream local;
  std::ostringstream& out = stream ? *stream : local;
  nimbusdale::runPoissonGammaFrame(
      model, scale, nimbusdale::SparseFrameView(frame.sparse.data(), frame.bins, frame.channels),
      nimbusdale::SpectrumFrameView(frame.spec.data(), frame.bins, frame.channels),
      nimbusdale::OutputRowView(r.output.data(), frame.bins), out);
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
  return r;
}

Frame randomFrame(int bins, int channels, unsigned seed) {
  std::mt19937 gen(seed);
  std::gamma_distribution<float> magnitude(0.5f, 2.0f);
  std::uniform_real_distribution<float> phase(-3.14159f, 3.14159f);
  Frame frame(bins, channels);
  for (float& v : frame.sparse) v = magnitude(gen);
  for (cfloat& z : frame.spec) z = std::polar(1.0f + magnitude(gen), phase(gen));
  return frame;
}

/// Every member of the model state, compared exactly.
void expectSameModel(const PoissonGammaModel& a, const PoissonGammaModel& b) {
  EXPECT_EQ(a.binShapePrior, b.binShapePrior);
  EXPECT_EQ(a.binRatePrior, b.binRatePrior);
  EXPECT_EQ(a.channelShapePrior, b.channelShapePrior);
  EXPECT_EQ(a.channelRatePrior, b.channelRatePrior);
  EXPECT_EQ(a.elementShapePrior, b.elementShapePrior);
  EXPECT_EQ(a.elementRatePrior, b.elementRatePrior);
  EXPECT_EQ(a.binShape, b.binShape);
  EXPECT_EQ(a.binRate, b.binRate);
  EXPECT_EQ(a.channelShape, b.channelShape);
  EXPECT_EQ(a.channelRate, b.channelRate);
  EXPECT_EQ(a.elementShape, b.elementShape);
  EXPECT_EQ(a.elementRate, b.elementRate);
}

TEST(PoissonGammaInference, WorkedCaseOneBinOneChannelOfSilence) {
  Frame silent(1, 1);
  PoissonGammaModel model(1, 1);
  Result first = run(model, silent, 1.0f);
  EXPECT_TRUE(withinRelative(first.output[0].real(), 0.00197, kQuotedFigure));
  EXPECT_EQ(first.output[0].imag(), 0.0f);
  EXPECT_TRUE(withinRelative(model.binRatePrior(0), 50.7, kQuotedFigure));
  EXPECT_GT(model.channelRate, 1.0f);
  EXPECT_LT(model.channelRate, 1.01f);
  EXPECT_EQ(model.elementRate, 2.0f);
  ASSERT_EQ(first.lines.size(), 2u);
  EXPECT_EQ(first.lines[0], "0");
  EXPECT_TRUE(withinRelative(std::stod(first.lines[1]), 0.998, kQuotedFigure));
  EXPECT_LT(std::stod(first.lines[1]), 1.0);
  // Nothing to share out: every shape is back at its prior.
  EXPECT_EQ(model.binShape(0), 0.1f);
  EXPECT_EQ(model.channelShape(0), 1.0f);
  EXPECT_EQ(model.elementShape(0, 0), 1.0f);

  Result second = run(model, silent, 1.0f);
  EXPECT_TRUE(withinRelative(second.output[0].real(), 0.000993, kQuotedFigure));

  PoissonGammaModel doubled(1, 1);
  Result scaled = run(doubled, silent, 2.0f);
  EXPECT_TRUE(withinRelative(scaled.output[0].real(), 0.000985, kQuotedFigure));
}

/// The iterations written out step by step with plain loops, one value at a time, as a check
/// on the order of the updates within an iteration (which shares, means and rates each step
/// sees). Only the summation order differs from the library.
void referenceIterations(PoissonGammaModel& m, const Frame& x, float k) {
  const int F = x.bins, C = x.channels;
  auto digamma = [](float v) { return boost::math::digamma<float>(v); };
  std::vector<float> bg(F), cg(C), bm(F), eg(F * C), share(F * C);
  auto geoMeans = [&] {
    for (int f = 0; f < F; ++f) bg[f] = expf(digamma(m.binShape(f)) - logf(m.binRate(f)));
    for (int c = 0; c < C; ++c) cg[c] = expf(digamma(m.channelShape(c)) - logf(m.channelRate));
  };
  geoMeans();
  Frame s = x;
  for (int it = 0; it < 50; ++it) {
    for (int c = 0; c < C; ++c)
      for (int f = 0; f < F; ++f)
        eg[c * F + f] = expf(digamma(m.elementShape(f, c)) - logf(m.elementRate));
    for (int c = 0; c < C; ++c)
      for (int f = 0; f < F; ++f) {
        const float w = bg[f] * cg[c];
        share[c * F + f] = (s.s(c, f) * w) / (w + eg[c * F + f] + 1e-12f);
      }
    float exposure = 0;
    for (int c = 0; c < C; ++c) exposure += m.channelShape(c);
    exposure /= m.channelRate;
    float binMeanSum = 0;
    for (int f = 0; f < F; ++f) {
      float sum = 0;
      for (int c = 0; c < C; ++c) sum += share[c * F + f];
      m.binShape(f) = sum * k + m.binShapePrior;
      m.binRate(f) = m.binRatePrior(f) + exposure;
      bm[f] = m.binShape(f) / m.binRate(f);
      binMeanSum += bm[f];
    }
    for (int c = 0; c < C; ++c) {
      float sum = 0;
      for (int f = 0; f < F; ++f) sum += share[c * F + f];
      m.channelShape(c) = sum * k + m.channelShapePrior;
    }
    m.channelRate = binMeanSum + m.channelRatePrior;
    geoMeans();
    for (int c = 0; c < C; ++c)
      for (int f = 0; f < F; ++f) {
        const float w = bg[f] * cg[c], e = eg[c * F + f];
        m.elementShape(f, c) = ((s.s(c, f) * e) / (w + e + 1e-12f)) * k + m.elementShapePrior;
      }
    m.elementRate = 1.0f + m.elementRatePrior;
    for (int f = 0; f < F; ++f) m.binRatePrior(f) = m.binShapePrior / bm[f];
  }
}

TEST(PoissonGammaInference, UpdatesFollowTheStepOrder) {
  PoissonGammaModel model(4, 3), reference(4, 3);
  for (unsigned seed = 31; seed <= 33; ++seed) {
    const Frame frame = randomFrame(4, 3, seed);
    run(model, frame, 1.7f);
    referenceIterations(reference, frame, 1.7f);
    SCOPED_TRACE(seed);
    for (int f = 0; f < 4; ++f) {
      EXPECT_TRUE(withinRelative(model.binShape(f), reference.binShape(f), kSummationOrder));
      EXPECT_TRUE(withinRelative(model.binRate(f), reference.binRate(f), kSummationOrder));
      EXPECT_TRUE(
          withinRelative(model.binRatePrior(f), reference.binRatePrior(f), kSummationOrder));
      for (int c = 0; c < 3; ++c)
        EXPECT_TRUE(withinRelative(model.elementShape(f, c), reference.elementShape(f, c),
                                   kSummationOrder));
    }
    for (int c = 0; c < 3; ++c)
      EXPECT_TRUE(
          withinRelative(model.channelShape(c), reference.channelShape(c), kSummationOrder));
    EXPECT_TRUE(withinRelative(model.channelRate, reference.channelRate, kSummationOrder));
  }
}

TEST(PoissonGammaInference, LineOneIsTheMeanScaledCount) {
  PoissonGammaModel ones(3, 2);
  EXPECT_EQ(run(ones, Frame(3, 2, 1.0f), 2.0f).lines.at(0), "2");

  // (2 * 1) / 6 in float, printed as a double with six significant digits.
  Frame single(3, 2);
  single.s(1, 2) = 2.0f;
  PoissonGammaModel model(3, 2);
  EXPECT_EQ(run(model, single, 1.0f).lines.at(0), "0.333333");

  // The stream's own format applies.
  PoissonGammaModel fixed(3, 2);
  std::ostringstream stream;
  stream << std::fixed;
  stream.precision(2);
  EXPECT_EQ(run(fixed, single, 1.0f, &stream).lines.at(0), "0.33");
}

TEST(PoissonGammaInference, LineTwoHoldsTheChannelMeansInEigenRowFormat) {
  std::ostringstream two;
  nimbusdale::writeChannelMeans(two, Eigen::Vector2f(1.0f, 25.0f), 2.0f);
  EXPECT_EQ(two.str(), " 0.5 12.5\n");

  const Frame frame = randomFrame(5, 4, 7);
  PoissonGammaModel model(5, 4);
  Result r = run(model, frame, 1.5f);
  ASSERT_EQ(r.lines.size(), 2u);
  std::istringstream values(r.lines[1]);
  for (int c = 0; c < 4; ++c) {
    double mean = 0;
    ASSERT_TRUE(values >> mean) << r.lines[1];
    EXPECT_TRUE(withinRelative(mean, model.channelShape(c) / model.channelRate, kFloatRounding));
  }
  double extra;
  EXPECT_FALSE(values >> extra) << "more than C values: " << r.lines[1];
}

TEST(PoissonGammaInference, BinPriorMeanFollowsThePosteriorAfterEveryFrame) {
  PoissonGammaModel model(6, 3);
  for (unsigned seed = 1; seed <= 4; ++seed) {
    run(model, randomFrame(6, 3, seed), 0.8f);
    for (int f = 0; f < 6; ++f) {
      const double binMean = model.binShape(f) / model.binRate(f);
      EXPECT_TRUE(withinRelative(model.binRatePrior(f) * binMean, 0.1, kFloatRounding))
          << "frame " << seed << ", bin " << f;
    }
    EXPECT_EQ(model.elementRate, 2.0f);
  }
}

TEST(PoissonGammaInference, OutputTakesItsPhaseFromChannelZeroOnly) {
  const Frame base = randomFrame(4, 3, 11);
  PoissonGammaModel baseModel(4, 3);
  const Result reference = run(baseModel, base, 1.0f);

  // Rotating bin f's channel-0 value by an angle rotates its output by the same angle;
  // stretching it by a positive factor or changing other channels changes nothing.
  Frame turned = base;
  const float angles[] = {0.5f, -2.0f, 3.0f, 1.25f};
  for (int f = 0; f < 4; ++f) turned.z(0, f) *= std::polar(3.5f, angles[f]);
  for (int f = 0; f < 4; ++f) turned.z(1, f) = turned.z(2, f) = cfloat(-7, 0.25f);
  PoissonGammaModel turnedModel(4, 3);
  const Result rotated = run(turnedModel, turned, 1.0f);
  expectSameModel(turnedModel, baseModel);
  for (int f = 0; f < 4; ++f) {
    SCOPED_TRACE(f);
    EXPECT_TRUE(
        withinRelative(std::abs(rotated.output[f]), std::abs(reference.output[f]), kFloatRounding));
    const float turn = std::arg(rotated.output[f] / reference.output[f]);
    EXPECT_NEAR(std::remainder(turn - angles[f], 6.2831853f), 0.0f, 1e-5f);
  }
}

TEST(PoissonGammaInference, SilentSpectrumBinKeepsTheModelMagnitude) {
  // All bins of a silent sparse frame share one state, so bin 1 (phase 0) shows what bin 0
  // must get: the model magnitude as a real value, not 0 / 0.
  Frame frame(2, 2);
  frame.z(0, 0) = cfloat(0, 0);
  frame.z(0, 1) = cfloat(4, 0);
  PoissonGammaModel model(2, 2);
  const Result r = run(model, frame, 1.0f);
  EXPECT_FALSE(std::isnan(r.output[0].real()));
  EXPECT_TRUE(sameComplex(r.output[0], r.output[1]));
  EXPECT_GT(r.output[0].real(), 0.0f);
}

TEST(PoissonGammaInference, CountsDependOnSparseTimesScaleOnly) {
  // Doubling SPARSE while halving the scale gives the same counts, exactly; the output is in
  // magnitude units, so it doubles.
  const Frame frame = randomFrame(5, 3, 3);
  Frame twice = frame;
  for (float& v : twice.sparse) v *= 2.0f;
  PoissonGammaModel a(5, 3), b(5, 3);
  for (int i = 0; i < 2; ++i) {
    const Result ra = run(a, frame, 3.0f);
    const Result rb = run(b, twice, 1.5f);
    expectSameModel(a, b);
    EXPECT_EQ(ra.lines, rb.lines);
    for (int f = 0; f < 5; ++f) EXPECT_TRUE(sameComplex(rb.output[f], 2.0f * ra.output[f]));
  }
}

TEST(PoissonGammaInference, StateCarriesOverFromFrameToFrame) {
  const Frame earlier = randomFrame(4, 2, 21), later = randomFrame(4, 2, 22);
  PoissonGammaModel seasoned(4, 2), fresh(4, 2);
  run(seasoned, earlier, 1.0f);
  const Result afterHistory = run(seasoned, later, 1.0f);
  const Result fromScratch = run(fresh, later, 1.0f);
  for (int f = 0; f < 4; ++f) EXPECT_NE(afterHistory.output[f], fromScratch.output[f]);

  // Replaying the same history reproduces the same state bit for bit.
  PoissonGammaModel replay(4, 2);
  run(replay, earlier, 1.0f);
  const Result again = run(replay, later, 1.0f);
  expectSameModel(replay, seasoned);
  EXPECT_EQ(again.output, afterHistory.output);
}

TEST(PoissonGammaInference, RefusedFrameChangesNothing) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  PoissonGammaModel model(3, 2);
  run(model, randomFrame(3, 2, 5), 1.0f);
  const PoissonGammaModel before = model;

  struct Case {
    float value;
    bool invalidArgument;  // else too large for the updates
  };
  for (const Case& c : {Case{-1.0f, true}, Case{nan, true}, Case{inf, true}, Case{-inf, true},
                        Case{1e20f, false}, Case{std::numeric_limits<float>::max(), false}}) {
    SCOPED_TRACE(c.value);
    Frame bad = randomFrame(3, 2, 6);
    bad.s(1, 2) = c.value;
    std::ostringstream stream;
    std::vector<cfloat> output(3, cfloat(9, 9));
    auto call = [&] {
      nimbusdale::runPoissonGammaFrame(model, 1.0f,
                                       nimbusdale::SparseFrameView(bad.sparse.data(), 3, 2),
                                       nimbusdale::SpectrumFrameView(bad.spec.data(), 3, 2),
                                       nimbusdale::OutputRowView(output.data(), 3), stream);
    };
    if (c.invalidArgument) {
      EXPECT_EQ(
          nimbusdale::firstInvalidSparseValue(nimbusdale::SparseFrameView(bad.sparse.data(), 3, 2)),
          5);
      EXPECT_THROW(call(), std::invalid_argument);
    } else {
      EXPECT_THROW(call(), std::overflow_error);
    }
    expectSameModel(model, before);
    EXPECT_EQ(stream.str(), "");
    EXPECT_EQ(output, std::vector<cfloat>(3, cfloat(9, 9)));
  }

  // Negative zero is a zero count.
  Frame zeros(3, 2, -0.0f);
  EXPECT_EQ(
      nimbusdale::firstInvalidSparseValue(nimbusdale::SparseFrameView(zeros.sparse.data(), 3, 2)),
      -1);
}

TEST(PoissonGammaInference, RefusesMismatchedViewsAndScales) {
  PoissonGammaModel model(3, 2);
  const PoissonGammaModel before = model;
  Frame frame(3, 2, 1.0f), small(2, 2, 1.0f);
  std::vector<cfloat> output(3);
  std::ostringstream stream;
  auto call = [&](const Frame& sparse, const Frame& spec, int outBins, float scale) {
    nimbusdale::runPoissonGammaFrame(
        model, scale,
        nimbusdale::SparseFrameView(sparse.sparse.data(), sparse.bins, sparse.channels),
        nimbusdale::SpectrumFrameView(spec.spec.data(), spec.bins, spec.channels),
        nimbusdale::OutputRowView(output.data(), outBins), stream);
  };
  EXPECT_THROW(call(small, frame, 3, 1.0f), std::invalid_argument);
  EXPECT_THROW(call(frame, small, 3, 1.0f), std::invalid_argument);
  EXPECT_THROW(call(frame, frame, 2, 1.0f), std::invalid_argument);
  for (float scale : {0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN()})
    EXPECT_THROW(call(frame, frame, 3, scale), std::invalid_argument) << scale;
  expectSameModel(model, before);
  EXPECT_EQ(stream.str(), "");

  EXPECT_THROW(PoissonGammaModel(-1, 2), std::invalid_argument);
  PoissonGammaModel empty(0, 0);
  EXPECT_THROW(
      nimbusdale::runPoissonGammaFrame(empty, 1.0f, nimbusdale::SparseFrameView(nullptr, 0, 0),
                                       nimbusdale::SpectrumFrameView(nullptr, 0, 0),
                                       nimbusdale::OutputRowView(nullptr, 0), stream),
      std::invalid_argument);
}

}  // namespace
