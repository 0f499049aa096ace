#include "MultiRobustPCA.h"

#include <cmath>
#include <complex>
#include <exception>
#include <sstream>

namespace nimbusdale {
namespace {

std::string toText(float value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

}  // namespace

MultiRobustPCA::MultiRobustPCA(std::string nodeName, FD::ParameterSet params)
    : FD::BufferedNode(nodeName, params) {
  inputID = addInput("INPUT");
  outputID = addOutput("OUTPUT");

  // Every parameter is read and checked before any estimator exists: the estimators draw from
  // the process-wide rand(), and a refused node must leave that sequence alone.
  ParameterReader reader(*this, typeName, params);
  const int channels = reader.readInt("NUM_CHANNEL");
  reader.require(channels >= 0, "NUM_CHANNEL", channels, "be at least 0");
  const int length = reader.readInt("LENGTH");
  reader.require(binsFromLength(length) >= 1, "LENGTH", length,
                 "give LENGTH / 2 + 1 >= 1 bins (LENGTH >= -1)");
  const int bins = binsFromLength(length);

  const float cutoffFreq = reader.readFloat("CUTOFF_FREQ");
  const int samplingRate = reader.readInt("SAMPLING_RATE");
  reader.require(samplingRate >= 1, "SAMPLING_RATE", samplingRate, "be at least 1");
  // The bins up to half the sampling rate are taken as all `bins`, not bins - 1.
  const float halfRate = static_cast<float>(samplingRate) * 0.5f;
  reader.require(cutoffFreq >= 0.0f && cutoffFreq <= halfRate, "CUTOFF_FREQ", cutoffFreq,
                 "lie between 0 and SAMPLING_RATE / 2 = " + toText(halfRate));
  const float binsBelowCutoff = static_cast<float>(bins) * cutoffFreq;
  const int cutoff = static_cast<int>(binsBelowCutoff / halfRate);
  // Only float rounding of a huge bin count could get here.
  reader.require(cutoff <= bins, "CUTOFF_FREQ", cutoffFreq,
                 "leave at most " + std::to_string(bins) + " bins below the cut-off");

  const float scale = reader.readFloat("GLOBAL_SCALE");
  reader.require(std::isfinite(scale) && scale > 0.0f && std::isfinite(1.0f / scale),
                 "GLOBAL_SCALE", scale, "be positive and finite, with a finite reciprocal");
  const float lambda = reader.readFloat("LAMBDA");
  reader.require(std::isfinite(lambda) && lambda >= 0.0f, "LAMBDA", lambda,
                 "be finite and at least 0");
  const float ratio = reader.readFloat("SCALE_UPDATE_RATIO");
  reader.require(ratio >= 0.0f && ratio <= 1.0f, "SCALE_UPDATE_RATIO", ratio,
                 "lie between 0 and 1");
  const int maxRank = reader.readInt("MAX_LANK");
  reader.require(maxRank >= 1, "MAX_LANK", maxRank, "be at least 1");
  const float epsilon = reader.readFloat("EPSILON");
  reader.require(std::isfinite(epsilon) && epsilon >= 0.0f, "EPSILON", epsilon,
                 "be finite and at least 0");

  numChannels = channels;
  numBins = bins;
  cutoffBins = cutoff;
  globalScale = scale;
  scaleUpdateRatio = ratio;
  magnitudeScale = Eigen::MatrixXf::Zero(numBins, numChannels);

  // Each copy draws its own starting point as it is made (channels 0 .. C-1), and is then
  // initialised again in channel order, so the draws are reproducible from the seed.
  const RobustPCA prototype(numBins, maxRank);
  estimators.assign(static_cast<size_t>(numChannels), prototype);
  const float sparsity =
      static_cast<float>((1.0 / std::sqrt(static_cast<double>(numBins))) * double(lambda));
  for (RobustPCA& estimator : estimators) {
    estimator.initialize();
    estimator.lambda1 = sparsity;
    estimator.lambda2 = sparsity;
    estimator.epsilon = epsilon;
  }
  normalizedMagnitude = Eigen::MatrixXf::Zero(numBins, numChannels);

  // Eigen's process-wide settings are read here, on one thread, before any frame runs in
  // parallel.
  Eigen::initParallel();
}

MultiRobustPCA::~MultiRobustPCA() = default;

void MultiRobustPCA::requireUsableInput(const ComplexFrame& input) const {
  requireFrameShape(*this, typeName, "INPUT", input, numChannels, numBins);
  // A NaN or infinite magnitude would enter the running scale and the estimator for good.
  const std::complex<float>* values = frameData(input);
  for (long i = 0; i < input.size(); ++i) {
    if (std::isfinite(std::abs(values[i]))) continue;
    std::ostringstream detail;
    detail << "input INPUT holds " << values[i] << " at channel " << i / numBins << ", bin "
           << i % numBins << "; every value must have a finite magnitude";
    failNode(*this, typeName, detail.str());
  }
}

void MultiRobustPCA::calculate(int, int count, FD::Buffer&) {
  FD::RCPtr<ComplexFrame> input = getInput(inputID, count);
  requireUsableInput(*input);

  // Stored before it is filled; a count the buffer refuses frees it, with nothing yet changed.
  RealFrame* result = new RealFrame(numChannels, numBins);
  FD::ObjectRef stored(result);
  (*outputs[outputID].buffer)[count] = stored;

  // Row-major C x F frames seen as column-major F x C: one contiguous column per channel.
  using ComplexMatrix = Eigen::Matrix<std::complex<float>, Eigen::Dynamic, Eigen::Dynamic>;
  const Eigen::Map<const ComplexMatrix> spectrum(frameData(*input), numBins, numChannels);
  Eigen::Map<Eigen::MatrixXf> sparseMagnitude(frameData(*result), numBins, numChannels);
  const bool seedScale = count == 0;
  const float keep = 1.0f - scaleUpdateRatio;
  const float toMagnitude = 1.0f / globalScale;

  // Each thread touches only its own channels' columns, estimators and output rows.
  std::exception_ptr failure;
#pragma omp parallel for schedule(static)
  for (int c = 0; c < numChannels; ++c) {
    try {
      auto magnitude = normalizedMagnitude.col(c);
      auto scale = magnitudeScale.col(c);
      for (int k = 0; k < numBins; ++k) magnitude[k] = std::abs(spectrum(k, c));
      if (seedScale) {
        scale = magnitude;
      } else {
        for (int k = 0; k < numBins; ++k)
          scale[k] = magnitude[k] * scaleUpdateRatio + scale[k] * keep;
      }
      // A zero scale (silence in frame 0) gives 0/0 or x/0; feeding that on would poison the
      // estimator for the rest of the stream, so such bins are observed as 0.
      for (int k = 0; k < numBins; ++k) {
        const float normalized = (magnitude[k] / scale[k]) * globalScale;
        magnitude[k] = std::isfinite(normalized) ? normalized : 0.0f;
      }
      for (int k = 0; k < cutoffBins; ++k) magnitude[k] = 0.0f;

      RobustPCA& estimator = estimators[static_cast<size_t>(c)];
      estimator.update(magnitude);
      for (int k = 0; k < numBins; ++k) {
        const float s = estimator.sparse[k];
        const float positive = s > 0.0f ? s : 0.0f;  // NaN and -0 give +0
        sparseMagnitude(k, c) = (positive * scale[k]) * toMagnitude;
      }
    } catch (...) {
      // Only an allocation failure gets here; it must not escape the parallel region.
#pragma omp critical(nimbusdale_multi_robust_pca_failure)
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

namespace {

const int multiRobustPCARegistered = registerNodeType<MultiRobustPCA>("MultiRobustPCA");

}  // namespace
}  // namespace nimbusdale
