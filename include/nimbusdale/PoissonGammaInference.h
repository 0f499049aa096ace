// Variational Bayes inference of the Poisson-Gamma integration model, free of host types so that
// the node and other callers (bindings, benchmarks, tests) share one implementation.
//
// Each sparse magnitude S(f, c), times the global scale k, is a Poisson count whose rate is a
// rank-one term b_f * h_c plus an element term e_fc of its own; every factor and term is Gamma
// distributed. A frame refines the state with a fixed number of iterations and emits b_f * h_0
// in magnitude units with the phase of the spectrum's channel 0.
#ifndef NIMBUSDALE_POISSON_GAMMA_INFERENCE_H
#define NIMBUSDALE_POISSON_GAMMA_INFERENCE_H

#include <Eigen/Dense>
#include <complex>
#include <ostream>
#include <string>

#include "nimbusdale/Integration.h"
#include "nimbusdale/NodeTypes.h"

#ifndef NIMBUSDALE_REFERENCE_ARITHMETIC
#define NIMBUSDALE_REFERENCE_ARITHMETIC 0  // the build system sets it; fast arithmetic otherwise
#endif

namespace nimbusdale {

/// Iterations run on every frame; there is no convergence test.
constexpr int kPoissonGammaIterations = 50;

/// The global scales k the node accepts. Far below this range the counts S * k underflow and
/// the output's division by k overflows (below about 1e-38 every frame fails); far above it
/// ordinary magnitudes already overflow the updates.
constexpr float kMinPoissonGammaScale = 1e-30f;
constexpr float kMaxPoissonGammaScale = 1e30f;

/// How the geometric means exp(digamma(shape) - ln rate) are computed. Reference: Boost's
/// float digamma and the C library's expf, one rounding per operation. Fast: a SIMD kernel
/// (digamma in double precision, rounded to float, then a vector exponential), within 4 ulp of
/// the reference. Everything else is the same in both.
enum class PoissonGammaArithmetic { Reference, Fast };
/// The arithmetic of this build: Fast unless built with NIMBUSDALE_REFERENCE_ARITHMETIC.
constexpr PoissonGammaArithmetic kPoissonGammaArithmetic = NIMBUSDALE_REFERENCE_ARITHMETIC
                                                               ? PoissonGammaArithmetic::Reference
                                                               : PoissonGammaArithmetic::Fast;

/// Column-major F x C view of a row-major C x F sparse-magnitude frame: column c is channel c.
using SparseFrameView = Eigen::Map<const Eigen::MatrixXf>;
/// Column-major F x C view of a row-major C x F complex spectrum frame.
using SpectrumFrameView = Eigen::Map<const Eigen::MatrixXcf>;
/// The F output bins, written in place.
using OutputRowView = Eigen::Map<Eigen::VectorXcf>;

/// Model state carried from frame to frame. Shapes and rates are those of Gamma distributions.
/// A new state is the all-ones starting point (with the bin prior shape 0.1); it is never reset.
/// F = number of bins, C = number of channels.
struct PoissonGammaModel {
  /// Starting state for `numBins` x `numChannels` frames. A negative count throws
  /// std::invalid_argument; an empty state (0 x 0) is only a placeholder to assign a real one
  /// to, since a frame needs at least one bin and one channel.
  PoissonGammaModel(int numBins, int numChannels);

  int numBins() const { return static_cast<int>(binShape.size()); }
  int numChannels() const { return static_cast<int>(channelShape.size()); }

  float binShapePrior;           ///< prior shape of every bin factor b_f
  Eigen::VectorXf binRatePrior;  ///< F prior rates of b_f, re-estimated every iteration
  float channelShapePrior;       ///< prior shape of every channel factor h_c
  float channelRatePrior;        ///< prior rate of every h_c
  float elementShapePrior;       ///< prior shape of every element term e_fc
  float elementRatePrior;        ///< prior rate of every e_fc
  Eigen::VectorXf binShape;      ///< F posterior shapes of b_f
  Eigen::VectorXf binRate;       ///< F posterior rates of b_f
  Eigen::VectorXf channelShape;  ///< C posterior shapes of h_c
  float channelRate;             ///< posterior rate shared by every h_c
  Eigen::MatrixXf elementShape;  ///< F x C posterior shapes of e_fc
  float elementRate;             ///< posterior rate shared by every e_fc
};

/// Index of the first value of `sparse` that the model cannot take as a count (negative, NaN or
/// infinite), in column-major order, so also c * F + f in the host's row-major frame; -1 if the
/// whole frame is usable. -0 is accepted.
long firstInvalidSparseValue(const SparseFrameView& sparse);

/// Index f of the first bin of channel 0 of `spectrum` whose magnitude is NaN or infinite, or -1.
long firstInvalidSpectrumValue(const SpectrumFrameView& spectrum);

/// Refuses a frame the model cannot take: a SPARSE value that is negative, NaN or infinite, or a
/// channel-0 SPEC value whose magnitude is not finite, before anything is changed.
/// @throws std::invalid_argument "input SPARSE holds V at channel c, bin f; ..." or
/// "input SPEC holds V at channel 0, bin f; ...".
void checkPoissonGammaInputs(const SparseFrameView& sparse, const SpectrumFrameView& spectrum);

/// The refusal of a frame whose values runPoissonGammaFrame found too large for single
/// precision (its std::overflow_error): "input SPARSE values up to M times GLOBAL_SCALE k ...".
std::string tooLargeForTheModel(const SparseFrameView& sparse, float globalScale);

/// Refuses a global scale outside [kMinPoissonGammaScale, kMaxPoissonGammaScale] (NaN too).
/// @throws std::invalid_argument "parameter GLOBAL_SCALE is V; it must lie between ...".
void checkPoissonGammaScale(float globalScale);

/// Writes the channel means channelShape(c) / channelRate as one row in Eigen's default format
/// (values in the stream's precision, right-aligned to a common width, one space apart), then
/// std::endl. This is diagnostic line 2 of a frame.
void writeChannelMeans(std::ostream& out, const Eigen::VectorXf& channelShape, float channelRate);

/// Runs one frame of inference on `model` and writes its output bins.
///
/// Preconditions, checked before anything is changed or written (std::invalid_argument):
/// the model has F >= 1 bins and C >= 1 channels, `sparse` and `spectrum` are F x C, `output`
/// has F elements, checkPoissonGammaScale(globalScale) passes, and firstInvalidSparseValue(sparse)
/// and firstInvalidSpectrumValue(spectrum) are -1.
///
/// Effects, once the frame has succeeded:
/// - line 1 on `diagnostics`: the mean scaled count (sum of S times k, over F * C) as a double
///   in the stream's current format, then std::endl;
/// - kPoissonGammaIterations updates of `model` on `sparse`; the model is left as the start of
///   the next frame;
/// - line 2: the C channel means channelShape / channelRate as one Eigen row in its default
///   format, then std::endl;
/// - output(f) = binMean(f) * g with the phase of spectrum(f, 0), g being the channel-0 mean
///   divided by k. A bin whose spectrum value is exactly 0 has no phase and gets the real value
///   binMean(f) * g. Only column 0 of `spectrum` is read.
///
/// Throws std::overflow_error when the values are too large for the updates or the output to
/// stay within single precision (around 1e19 and above at k = 1); `model`, `output` and
/// `diagnostics` are then left untouched. Every output value of a frame that succeeds is
/// finite. With such values excluded every shape stays at or above its prior shape and no other
/// error arises.
void runPoissonGammaFrame(PoissonGammaModel& model, float globalScale,
                          const SparseFrameView& sparse, const SpectrumFrameView& spectrum,
                          OutputRowView output, std::ostream& diagnostics,
                          PoissonGammaArithmetic arithmetic = kPoissonGammaArithmetic);

/// What a Poisson-Gamma integration runs with (the PoissonGammaIntegrator table, NodeTypes.h).
struct PoissonGammaSettings {
  int numChannels = 1;  ///< C (NUM_CHANNEL), at least 1
  int numBins = 1;      ///< F = LENGTH / 2 + 1, at least 1
  /// k (GLOBAL_SCALE), from kMinPoissonGammaScale to kMaxPoissonGammaScale
  float globalScale = kPoissonGammaIntegratorType.parameter("GLOBAL_SCALE").typicalFloat();

  /// Settings from NUM_CHANNEL, LENGTH and GLOBAL_SCALE held in `values` (a ParameterValues of
  /// the PoissonGammaIntegrator type). @throws std::invalid_argument "parameter NAME is VALUE;
  /// it must ..." for the first value its rule refuses.
  static PoissonGammaSettings fromParameters(const ParameterValues& values);

  /// @throws std::invalid_argument naming the first member out of its range.
  void validate() const;
};

/// The PoissonGammaIntegrator node's arithmetic as a core: a PoissonGammaModel carried from
/// frame to frame, never reset, and runPoissonGammaFrame() on each frame with its two
/// diagnostic lines. A frame whose values are too large for single precision is refused with
/// the model untouched.
class PoissonGammaIntegration final : public Integration {
 public:
  using Settings = PoissonGammaSettings;

  /// @throws std::invalid_argument as PoissonGammaSettings::validate().
  explicit PoissonGammaIntegration(const PoissonGammaSettings& settings);

  const NodeType& type() const override;
  /// Refuses a SPARSE value that is negative, NaN or infinite, or a channel-0 SPEC value whose
  /// magnitude is not finite.
  void checkInputs(const float* sparse, const std::complex<float>* spectrum) const override;
  /// Two diagnostic lines a frame (see runPoissonGammaFrame()).
  IntegrationSummary process(const float* sparse, const std::complex<float>* spectrum,
                             std::complex<float>* output,
                             std::ostream* diagnostics = nullptr) override;

  const PoissonGammaSettings& settings() const { return config; }
  const PoissonGammaModel& model() const { return state; }

 private:
  PoissonGammaSettings config;
  PoissonGammaModel state;
};

}  // namespace nimbusdale

#endif
