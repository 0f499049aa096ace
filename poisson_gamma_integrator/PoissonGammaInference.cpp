#include "nimbusdale/PoissonGammaInference.h"

#include "PoissonGammaKernels.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

#include <boost/math/special_functions/digamma.hpp>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace nimbusdale {
namespace {

// Keeps the share denominators non-zero when both weights underflow.
constexpr float kShareFloor = 1e-12f;

constexpr const char* kTooLarge =
    "runPoissonGammaFrame: sparse values too large for single precision; frame refused";

// The geometric means exp(E[ln x]) of `n` Gamma variables, with one ln(rate) each (logRateStep
// 1) or one for all (logRateStep 0).
void geometricMeans(PoissonGammaArithmetic arithmetic, const float* shape, const float* logRate,
                    size_t logRateStep, Eigen::Index n, float* out) {
  if (arithmetic == PoissonGammaArithmetic::Fast) {
    kernels::geometricMeans(shape, logRate, logRateStep, static_cast<size_t>(n), out);
    return;
  }
  for (Eigen::Index i = 0; i < n; ++i)
    out[i] = ::expf(boost::math::digamma<float>(shape[i]) -
                    logRate[static_cast<size_t>(i) * logRateStep]);
}

void binGeometricMeans(PoissonGammaArithmetic arithmetic, const PoissonGammaModel& m,
                       Eigen::VectorXf& logRates, Eigen::VectorXf& out) {
  if (arithmetic == PoissonGammaArithmetic::Fast)
    kernels::logarithms(m.binRate.data(), static_cast<size_t>(out.size()), logRates.data());
  else
    for (Eigen::Index f = 0; f < out.size(); ++f) logRates(f) = ::logf(m.binRate(f));
  geometricMeans(arithmetic, m.binShape.data(), logRates.data(), 1, out.size(), out.data());
}

void channelGeometricMeans(PoissonGammaArithmetic arithmetic, const PoissonGammaModel& m,
                           Eigen::VectorXf& out) {
  const float logRate = ::logf(m.channelRate);
  geometricMeans(arithmetic, m.channelShape.data(), &logRate, 0, out.size(), out.data());
}

// rankOneWeight(f, c) = binGeoMean(f) * channelGeoMean(c): the geometric mean of b_f * h_c.
void rankOneWeights(const Eigen::VectorXf& binGeo, const Eigen::VectorXf& channelGeo,
                    Eigen::MatrixXf& out) {
  for (Eigen::Index c = 0; c < out.cols(); ++c) out.col(c) = binGeo * channelGeo(c);
}

void requireShape(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(std::string("runPoissonGammaFrame: ") + what);
}

Eigen::Index stateSize(int count) {
  if (count < 0)
    throw std::invalid_argument("PoissonGammaModel: negative size " + std::to_string(count));
  return count;
}

bool allFinite(const PoissonGammaModel& m) {
  return m.binRatePrior.allFinite() && m.binShape.allFinite() && m.binRate.allFinite() &&
         m.channelShape.allFinite() && std::isfinite(m.channelRate) && m.elementShape.allFinite() &&
         std::isfinite(m.elementRate);
}

// Scratch of a frame's iterations, kept per thread so that a steady stream of same-sized frames
// allocates nothing.
struct IterationScratch {
  Eigen::VectorXf binGeoMean, channelGeoMean, binLogRate, binSums, channelSums, packedShapes;
  Eigen::MatrixXf elementGeoMean, rankOneWeight, rankOneShare, elementShare;

  void resize(Eigen::Index F, Eigen::Index C, PoissonGammaArithmetic arithmetic) {
    binGeoMean.resize(F);
    channelGeoMean.resize(C);
    binLogRate.resize(F);
    elementGeoMean.resize(F, C);
    if (arithmetic == PoissonGammaArithmetic::Fast) {
      binSums.resize(F);
      channelSums.resize(C);
      packedShapes.resize(
          static_cast<Eigen::Index>(kernels::sharedShapeScratch(static_cast<size_t>(F * C))));
    } else {
      rankOneWeight.resize(F, C);
      rankOneShare.resize(F, C);
      elementShare.resize(F, C);
    }
  }
};

// The frame's iterations on `m`; leaves the last iteration's bin means in `binMean`.
void iterate(PoissonGammaArithmetic arithmetic, PoissonGammaModel& m, float k,
             const SparseFrameView& sparse, Eigen::VectorXf& binMean, IterationScratch& s) {
  const Eigen::Index F = m.numBins();
  const Eigen::Index C = m.numChannels();
  const bool fast = arithmetic == PoissonGammaArithmetic::Fast;
  s.resize(F, C, arithmetic);
  binGeometricMeans(arithmetic, m, s.binLogRate, s.binGeoMean);
  channelGeometricMeans(arithmetic, m, s.channelGeoMean);

  for (int iteration = 0; iteration < kPoissonGammaIterations; ++iteration) {
    const float logElementRate = ::logf(m.elementRate);
    if (fast)
      kernels::sharedShapeGeometricMeans(m.elementShape.data(), m.elementShapePrior,
                                         logElementRate, static_cast<size_t>(F * C),
                                         s.elementGeoMean.data(), s.packedShapes.data());
    else
      geometricMeans(arithmetic, m.elementShape.data(), &logElementRate, 0, F * C,
                     s.elementGeoMean.data());

    // Split each count by the weights of the previous iteration's factors, then the bin
    // factors; their exposure is the channel means before this iteration's update.
    if (fast) {
      kernels::rankOneShareSums(sparse.data(), s.binGeoMean.data(), s.channelGeoMean.data(),
                                s.elementGeoMean.data(), static_cast<size_t>(F),
                                static_cast<size_t>(C), kShareFloor, s.binSums.data(),
                                s.channelSums.data());
      m.binShape = (s.binSums * k).array() + m.binShapePrior;
    } else {
      rankOneWeights(s.binGeoMean, s.channelGeoMean, s.rankOneWeight);
      s.rankOneShare = (sparse.array() * s.rankOneWeight.array()) /
                       ((s.rankOneWeight.array() + s.elementGeoMean.array()) + kShareFloor);
      m.binShape = (s.rankOneShare.rowwise().sum() * k).array() + m.binShapePrior;
    }
    const float exposure = m.channelShape.sum() / m.channelRate;
    m.binRate = m.binRatePrior.array() + exposure;
    binMean = m.binShape.cwiseQuotient(m.binRate);

    // Channel factors, exposed to the new bin means.
    if (fast)
      m.channelShape = (s.channelSums * k).array() + m.channelShapePrior;
    else
      m.channelShape =
          (s.rankOneShare.colwise().sum().transpose() * k).array() + m.channelShapePrior;
    m.channelRate = binMean.sum() + m.channelRatePrior;

    binGeometricMeans(arithmetic, m, s.binLogRate, s.binGeoMean);
    channelGeometricMeans(arithmetic, m, s.channelGeoMean);

    // Element terms take the rest of each count, weighed against the updated rank-one term
    // but with their own geometric means from the start of this iteration. Each has exposure 1.
    if (fast) {
      kernels::elementShapes(sparse.data(), s.binGeoMean.data(), s.channelGeoMean.data(),
                             s.elementGeoMean.data(), static_cast<size_t>(F),
                             static_cast<size_t>(C), kShareFloor, k, m.elementShapePrior,
                             m.elementShape.data());
    } else {
      rankOneWeights(s.binGeoMean, s.channelGeoMean, s.rankOneWeight);
      s.elementShare = (sparse.array() * s.elementGeoMean.array()) /
                       ((s.rankOneWeight.array() + s.elementGeoMean.array()) + kShareFloor);
      m.elementShape = (s.elementShare * k).array() + m.elementShapePrior;
    }
    m.elementRate = 1.0f + m.elementRatePrior;

    // Empirical Bayes: each bin's prior mean follows its posterior mean.
    m.binRatePrior = m.binShapePrior / binMean.array();
  }
}

}  // namespace

PoissonGammaModel::PoissonGammaModel(int numBins, int numChannels)
    : binShapePrior(0.1f),
      binRatePrior(Eigen::VectorXf::Ones(stateSize(numBins))),
      channelShapePrior(1.0f),
      channelRatePrior(1.0f),
      elementShapePrior(1.0f),
      elementRatePrior(1.0f),
      binShape(Eigen::VectorXf::Ones(numBins)),
      binRate(Eigen::VectorXf::Ones(numBins)),
      channelShape(Eigen::VectorXf::Ones(stateSize(numChannels))),
      channelRate(1.0f),
      elementShape(Eigen::MatrixXf::Ones(numBins, numChannels)),
      elementRate(1.0f) {}

namespace {

const PortSpec& sparsePort() {
  return kPoissonGammaIntegratorType.port("SPARSE");
}
const PortSpec& spectrumPort() {
  return kPoissonGammaIntegratorType.port("SPEC");
}

// The node's table gives the scale range; the inference's preconditions use the same constants.
constexpr const ParameterSpec& kScaleParameter =
    kPoissonGammaIntegratorType.parameter("GLOBAL_SCALE");
static_assert(kScaleParameter.rule.lower.kind == Limit::Inclusive &&
                  kScaleParameter.rule.lower.value == kMinPoissonGammaScale &&
                  kScaleParameter.rule.upper.kind == Limit::Inclusive &&
                  kScaleParameter.rule.upper.value == kMaxPoissonGammaScale,
              "GLOBAL_SCALE's range in the node table and the inference's constants differ");

}  // namespace

long firstInvalidSparseValue(const SparseFrameView& sparse) {
  return firstRefusedValue(sparsePort(), sparse.data(), static_cast<int>(sparse.cols()),
                           static_cast<int>(sparse.rows()));
}

long firstInvalidSpectrumValue(const SpectrumFrameView& spectrum) {
  return firstRefusedValue(spectrumPort(), spectrum.data(), static_cast<int>(spectrum.cols()),
                           static_cast<int>(spectrum.rows()));
}

void checkPoissonGammaInputs(const SparseFrameView& sparse, const SpectrumFrameView& spectrum) {
  checkFrameValues(sparsePort(), sparse.data(), static_cast<int>(sparse.cols()),
                   static_cast<int>(sparse.rows()));
  checkFrameValues(spectrumPort(), spectrum.data(), static_cast<int>(spectrum.cols()),
                   static_cast<int>(spectrum.rows()));
}

std::string tooLargeForTheModel(const SparseFrameView& sparse, float globalScale) {
  std::ostringstream detail;
  detail << "input SPARSE values up to " << sparse.maxCoeff() << " times GLOBAL_SCALE "
         << globalScale << " overflow the model's single-precision updates; frame refused";
  return detail.str();
}

void checkPoissonGammaScale(float globalScale) {
  if (admits(kScaleParameter.rule, globalScale)) return;
  throw std::invalid_argument(
      parameterRefusal(kScaleParameter.name, globalScale, kScaleParameter.rule.requirement));
}

void writeChannelMeans(std::ostream& out, const Eigen::VectorXf& channelShape, float channelRate) {
  const Eigen::RowVectorXf means = channelShape.transpose() / channelRate;
  out << means << std::endl;
}

void runPoissonGammaFrame(PoissonGammaModel& model, float globalScale,
                          const SparseFrameView& sparse, const SpectrumFrameView& spectrum,
                          OutputRowView output, std::ostream& diagnostics,
                          PoissonGammaArithmetic arithmetic) {
  const Eigen::Index F = model.numBins();
  const Eigen::Index C = model.numChannels();
  requireShape(model.elementShape.rows() == F && model.elementShape.cols() == C &&
                   model.binRate.size() == F && model.binRatePrior.size() == F,
               "model state arrays disagree in size");
  requireShape(sparse.rows() == F && sparse.cols() == C, "sparse frame is not bins x channels");
  requireShape(spectrum.rows() == F && spectrum.cols() == C,
               "spectrum frame is not bins x channels");
  requireShape(output.size() == F, "output does not hold one value per bin");
  requireShape(F >= 1 && C >= 1, "the model needs at least one bin and one channel");
  requireShape(globalScale >= kMinPoissonGammaScale && globalScale <= kMaxPoissonGammaScale,
               "global scale lies outside the range the updates can take");
  requireShape(firstInvalidSpectrumValue(spectrum) < 0,
               "channel 0 spectrum values must have a finite magnitude");
  requireShape(firstInvalidSparseValue(sparse) < 0,
               "sparse values must be finite and non-negative");

  const float k = globalScale;
  // F * C is formed wide so that no int product can overflow.
  const float cells = static_cast<float>(static_cast<long long>(F) * static_cast<long long>(C));
  const float meanCount = (sparse.sum() * k) / cells;

  // Counts near the top of the float range overflow inside the updates (digamma then raises
  // an error, or a shape turns infinite). Work on a copy so that such a frame loses nothing.
  // Per-thread scratch: the working copy of the model and the iterations' arrays keep their
  // storage from frame to frame (same-sized assignments do not reallocate).
  thread_local PoissonGammaModel next(0, 0);
  thread_local IterationScratch scratch;
  thread_local Eigen::VectorXf binMean;
  thread_local Eigen::VectorXcf result;
  next = model;
  binMean.resize(F);
  try {
    iterate(arithmetic, next, k, sparse, binMean, scratch);
  } catch (const std::domain_error&) {
    throw std::overflow_error(kTooLarge);
  } catch (const std::overflow_error&) {
    throw std::overflow_error(kTooLarge);
  }
  if (!allFinite(next)) throw std::overflow_error(kTooLarge);

  const float g = (next.channelShape(0) / next.channelRate) / k;
  result.resize(F);
  // This keeps its own rounding order rather than withPhaseOf(): the phase comes from cabsf and
  // a complex division, and the channel-0 factor g is applied after it.
  for (Eigen::Index f = 0; f < F; ++f) {
    const std::complex<float> z = spectrum(f, 0);
    const float magnitude = std::abs(z);
    if (magnitude == 0.0f) {
      // Silence has no phase; keep the magnitude rather than emit 0/0.
      result(f) = std::complex<float>(binMean(f) * g, 0.0f);
      continue;
    }
    std::complex<float> phased = (binMean(f) * z) / std::complex<float>(magnitude, 0.0f);
    // Near the top of the float range the product overflows; the unit phasor first does not.
    if (!std::isfinite(phased.real()) || !std::isfinite(phased.imag()))
      phased = binMean(f) * (z / std::complex<float>(magnitude, 0.0f));
    result(f) = std::complex<float>(phased.real() * g, phased.imag() * g);
  }
  if (!result.allFinite()) throw std::overflow_error(kTooLarge);

  // The lines go out only for a frame that succeeded; nothing else writes between them.
  diagnostics << static_cast<double>(meanCount) << std::endl;
  writeChannelMeans(diagnostics, next.channelShape, next.channelRate);
  output = result;
  std::swap(model, next);
}

PoissonGammaSettings PoissonGammaSettings::fromParameters(const ParameterValues& values) {
  values.check();
  PoissonGammaSettings s;
  s.numChannels = values.intValue("NUM_CHANNEL");
  s.numBins = binsFromLength(values.intValue("LENGTH"));
  s.globalScale = values.floatValue("GLOBAL_SCALE");
  return s;
}

void PoissonGammaSettings::validate() const {
  if (numChannels < 1)
    throw std::invalid_argument("numChannels is " + std::to_string(numChannels) +
                                "; it must be at least 1");
  if (numBins < 1)
    throw std::invalid_argument("numBins is " + std::to_string(numBins) +
                                "; it must be at least 1");
  checkPoissonGammaScale(globalScale);
}

PoissonGammaIntegration::PoissonGammaIntegration(const PoissonGammaSettings& settings)
    : config((settings.validate(), settings)), state(settings.numBins, settings.numChannels) {}

const NodeType& PoissonGammaIntegration::type() const {
  return kPoissonGammaIntegratorType;
}

void PoissonGammaIntegration::checkInputs(const float* sparse,
                                          const std::complex<float>* spectrum) const {
  checkPoissonGammaInputs(SparseFrameView(sparse, config.numBins, config.numChannels),
                          SpectrumFrameView(spectrum, config.numBins, config.numChannels));
}

IntegrationSummary PoissonGammaIntegration::process(const float* sparse,
                                                    const std::complex<float>* spectrum,
                                                    std::complex<float>* output,
                                                    std::ostream* diagnostics) {
  // The row-major C x F frames seen as column-major F x C: one column per channel.
  const SparseFrameView sparseView(sparse, config.numBins, config.numChannels);
  std::ostream discard(nullptr);
  try {
    runPoissonGammaFrame(state, config.globalScale, sparseView,
                         SpectrumFrameView(spectrum, config.numBins, config.numChannels),
                         OutputRowView(output, config.numBins),
                         diagnostics ? *diagnostics : discard);
  } catch (const std::overflow_error&) {
    throw std::invalid_argument(tooLargeForTheModel(sparseView, config.globalScale));
  }
  return {2};
}

}  // namespace nimbusdale
