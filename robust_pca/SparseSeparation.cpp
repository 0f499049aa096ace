#include "nimbusdale/SparseSeparation.h"

#include "ChannelPool.h"
#include "RobustPCAKernels.h"

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace nimbusdale {
namespace {

// A block's channels are split into runs of at least this many frames, and at most this many runs.
constexpr int kRunFrames = 8;
constexpr int kMostRuns = 4;

template <class V>
void require(bool ok, const char* name, V value, const std::string& requirement) {
  if (!ok) throw std::invalid_argument(parameterRefusal(name, value, requirement));
}

std::string toText(float value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Returns whether every magnitude is finite.
bool channelMagnitudes(const std::complex<float>* spectrum, float* out, int bins) {
#if NIMBUSDALE_REFERENCE_ARITHMETIC
  bool finite = true;
  for (int k = 0; k < bins; ++k) {
    out[k] = spectrumMagnitude(spectrum[k]);
    finite &= std::isfinite(out[k]);
  }
  return finite;
#else
  return kernels::magnitudes(spectrum, out, static_cast<size_t>(bins));
#endif
}

}  // namespace

SeparationSettings SeparationSettings::fromParameters(const ParameterValues& values) {
  if (&values.type() != &kMultiRobustPCAType)
    throw std::logic_error(std::string("separation settings from parameters of ") +
                           values.type().name);
  values.check();
  const int numChannel = values.intValue("NUM_CHANNEL");
  const int bins = binsFromLength(values.intValue("LENGTH"));
  const float cutoffFreq = values.floatValue("CUTOFF_FREQ");
  const int samplingRate = values.intValue("SAMPLING_RATE");

  // The bins up to half the sampling rate are taken as all `bins`, not bins - 1.
  const ParameterRule& cutoffRule = kMultiRobustPCAType.parameter("CUTOFF_FREQ").rule;
  const float halfRate = static_cast<float>(samplingRate) * 0.5f;
  require(admits(cutoffRule, cutoffFreq) && cutoffFreq <= halfRate, "CUTOFF_FREQ", cutoffFreq,
          std::string(cutoffRule.requirement) + " = " + toText(halfRate));
  const float binsBelowCutoff = static_cast<float>(bins) * cutoffFreq;
  const int cutoff = static_cast<int>(binsBelowCutoff / halfRate);
  // Only float rounding of a huge bin count could get here.
  require(cutoff <= bins, "CUTOFF_FREQ", cutoffFreq,
          "leave at most " + std::to_string(bins) + " bins below the cut-off");
  return SeparationSettings{numChannel,
                            bins,
                            cutoff,
                            values.floatValue("GLOBAL_SCALE"),
                            values.floatValue("LAMBDA"),
                            values.floatValue("SCALE_UPDATE_RATIO"),
                            values.intValue("MAX_LANK"),
                            values.floatValue("EPSILON")};
}

SeparationSettings SeparationSettings::fromParameters(int numChannel, int length, float cutoffFreq,
                                                      int samplingRate, float globalScale,
                                                      float lambda, float scaleUpdateRatio,
                                                      int maxRank, float epsilon) {
  ParameterValues values(kMultiRobustPCAType);
  values.set("NUM_CHANNEL", numChannel);
  values.set("LENGTH", length);
  values.set("CUTOFF_FREQ", cutoffFreq);
  values.set("SAMPLING_RATE", samplingRate);
  values.set("GLOBAL_SCALE", globalScale);
  values.set("LAMBDA", lambda);
  values.set("SCALE_UPDATE_RATIO", scaleUpdateRatio);
  values.set("MAX_LANK", maxRank);
  values.set("EPSILON", epsilon);
  return fromParameters(values);
}

void SeparationSettings::validate() const {
  auto fail = [](const char* what, const std::string& value) {
    throw std::invalid_argument(std::string("SparseSeparation: ") + what + " is " + value);
  };
  // Members that carry a node parameter admit what the parameter admits.
  auto requireAsParameter = [&](const char* member, const char* parameter, double value,
                                const std::string& text) {
    const ParameterRule& rule = kMultiRobustPCAType.parameter(parameter).rule;
    if (!admits(rule, value)) fail(member, text + "; it must " + rule.requirement);
  };
  requireAsParameter("numChannels", "NUM_CHANNEL", numChannels, std::to_string(numChannels));
  if (numBins < 1) fail("numBins", std::to_string(numBins) + "; it must be at least 1");
  if (cutoffBins < 0 || cutoffBins > numBins)
    fail("cutoffBins", std::to_string(cutoffBins) + "; it must lie between 0 and numBins");
  requireAsParameter("globalScale", "GLOBAL_SCALE", globalScale, toText(globalScale));
  requireAsParameter("lambda", "LAMBDA", lambda, toText(lambda));
  requireAsParameter("scaleUpdateRatio", "SCALE_UPDATE_RATIO", scaleUpdateRatio,
                     toText(scaleUpdateRatio));
  requireAsParameter("maxRank", "MAX_LANK", maxRank, std::to_string(maxRank));
  requireAsParameter("epsilon", "EPSILON", epsilon, toText(epsilon));
}

SparseSeparation::SparseSeparation(const SeparationSettings& settings) : config(settings) {
  config.validate();
  const int channels = config.numChannels, bins = config.numBins;
  runningScale = Eigen::MatrixXf::Zero(bins, channels);

  // Each copy draws its own starting point as it is made (channels 0 .. C-1), and is then
  // initialised again in channel order, so the draws are reproducible from the seed.
  const RobustPCA prototype(bins, config.maxRank);
  channelEstimators.assign(static_cast<size_t>(channels), prototype);
  const float sparsity =
      static_cast<float>((1.0 / std::sqrt(static_cast<double>(bins))) * double(config.lambda));
  for (RobustPCA& estimator : channelEstimators) {
    estimator.initialize();
    estimator.lambda1 = sparsity;
    estimator.lambda2 = sparsity;
    estimator.epsilon = config.epsilon;
  }
  normalizedMagnitude = Eigen::MatrixXf::Zero(bins, channels);
  channelUpdates.assign(static_cast<size_t>(channels), UpdateSummary{});
  channelLearning.assign(static_cast<size_t>(channels), 0);
  pool = std::make_unique<ChannelPool>();
  runsDone = std::make_unique<std::atomic<int>[]>(static_cast<size_t>(channels));
  teams = std::make_unique<TeamChooser>();
}

SparseSeparation::~SparseSeparation() {
  // Helpers may still be writing into the caller's arrays: let them end first.
  if (running.summaries) {
    try {
      finishBlock();
    } catch (...) {
    }
  }
}
SparseSeparation::SparseSeparation(SparseSeparation&&) noexcept = default;
SparseSeparation& SparseSeparation::operator=(SparseSeparation&&) noexcept = default;

void SparseSeparation::checkFrame(const std::complex<float>* spectrum) const {
  checkFrameValues(kMultiRobustPCAType.port("INPUT"), spectrum, config.numChannels, config.numBins);
}

bool SparseSeparation::magnitudes(const std::complex<float>* spectrum, float* out) const {
  const long bins = config.numBins;
  bool finite = true;
  for (long c = 0; c < config.numChannels; ++c)
    finite &= channelMagnitudes(spectrum + c * bins, out + c * bins, config.numBins);
  return finite;
}

void SparseSeparation::separateChannel(int c, const Frame& frame, UpdateSummary& update) {
  const int bins = config.numBins;
  const float ratio = config.scaleUpdateRatio;
  const float keep = 1.0f - ratio;
  const float globalScale = config.globalScale;
  const float toMagnitude = 1.0f / globalScale;
  float* output = frame.output + static_cast<long>(c) * bins;

  auto magnitude = normalizedMagnitude.col(c);
  float* scale = runningScale.col(c).data();
  if (frame.spectrum)
    channelMagnitudes(frame.spectrum + static_cast<long>(c) * bins, magnitude.data(), bins);
  else
    std::copy_n(output, bins, magnitude.data());
  // The scale starts at the first frame's magnitudes. A bin whose scale is still exactly 0 has
  // heard nothing but digital silence since (a recording that starts with zeros); blending into
  // that zero would leave the scale at ratio x m, so every magnitude would be observed 1 / ratio
  // times too loud, and count as sparse, for as many frames as the blend takes to catch up
  // (seconds). Such a bin is seeded from the first frame that reaches it instead. A zero scale
  // gives 0/0, which would poison the estimator for the rest of the stream, so bins whose
  // quotient is not finite are observed as 0.
  kernels::observe(magnitude.data(), scale, frame.first, ratio, keep, globalScale,
                   static_cast<size_t>(bins));
  for (int k = 0; k < config.cutoffBins; ++k) magnitude[k] = 0.0f;

  // An estimator that has learnt nothing yet must not be updated on an all-zero observation
  // (digital silence at the start, a dead channel): with empty statistics its basis sweep sets
  // every basis vector to 0, and a zero basis explains nothing ever after, so every later frame
  // would come out as sparse. Its decomposition is all zero anyway, so the frame emits 0.
  RobustPCA& estimator = channelEstimators[static_cast<size_t>(c)];
  unsigned char& learning = channelLearning[static_cast<size_t>(c)];
  if (!learning) {
    if ((magnitude.array() == 0.0f).all()) {
      update = UpdateSummary{0, true};
      std::fill(output, output + bins, 0.0f);
      return;
    }
    learning = 1;
  }
  // The observation is finite by construction, and the estimator was initialised with the
  // channel, so the per-entry check of update() would only repeat work; and nothing but its
  // updates writes its basis.
  update = estimator.updateFinite(magnitude.data(), frame.notices, true);
  kernels::emit(estimator.sparse.data(), scale, toMagnitude, output, static_cast<size_t>(bins));
}

SeparationSummary SparseSeparation::process(const std::complex<float>* spectrum, bool firstFrame,
                                            float* output, std::ostream* notices, int threads) {
  // Each channel touches only its own columns, estimator and output row, whichever thread runs
  // it; the row-major C x F frames hold one contiguous row per channel.
  const Frame frame{spectrum, output, firstFrame, notices};
  const int team = threads > 0 ? threads : teams->next(omp_get_max_threads());
  channelUpdates.resize(static_cast<size_t>(config.numChannels));
  const auto start = std::chrono::steady_clock::now();
  pool->run(config.numChannels, team, [this, &frame](int c) {
    separateChannel(c, frame, channelUpdates[static_cast<size_t>(c)]);
  });
  if (threads <= 0)
    teams->record(team,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

  SeparationSummary summary;
  for (const UpdateSummary& update : channelUpdates) {
    summary.notConverged += update.converged ? 0 : 1;
    summary.passes += update.passes;
    summary.slowestPasses = std::max(summary.slowestPasses, update.passes);
  }
  return summary;
}

void SparseSeparation::processBlock(float* frames, int count, bool firstFrame,
                                    SeparationSummary* summaries, int threads) {
  startBlock(frames, count, firstFrame, summaries, threads);
  finishBlock();
}

void SparseSeparation::startBlock(float* frames, int count, bool firstFrame,
                                  SeparationSummary* summaries, int threads) {
  finishBlock();
  const int channels = config.numChannels;
  const int team = threads > 0 ? threads : omp_get_max_threads();
  // Frame t's update of channel c at t * C + c: each channel writes only its own entries.
  channelUpdates.resize(static_cast<size_t>(count) * static_cast<size_t>(channels));
  // Several runs per channel, so that at the block's end no thread waits long for another's
  // last channel.
  const int runs = team > 1 ? std::clamp(count / kRunFrames, 1, kMostRuns) : 1;
  running = Block{frames, summaries, count, firstFrame, runs};
  for (int c = 0; c < channels; ++c) runsDone[static_cast<size_t>(c)].store(0);
  // Only `this` is captured, so the job fits std::function's own storage and allocates nothing.
  pool->start(channels * runs, team, [this](int task) {
    const int stride = config.numChannels;
    const int c = task % stride, run = task / stride;
    std::atomic<int>& done = runsDone[static_cast<size_t>(c)];
    // Run r of a channel follows its run r - 1, an earlier task that another thread is running.
    int seen;
    while ((seen = done.load(std::memory_order_acquire)) < run && seen >= 0)
      std::this_thread::yield();
    if (seen < 0) return;  // an earlier run of this channel failed, and the pool holds why
    const long frameSize = static_cast<long>(stride) * config.numBins;
    const int begin = run * running.count / running.runs;
    const int end = (run + 1) * running.count / running.runs;
    try {
      for (int t = begin; t < end; ++t) {
        const Frame frame{nullptr, running.frames + t * frameSize, running.first && t == 0,
                          nullptr};
        separateChannel(c, frame, channelUpdates[static_cast<size_t>(t) * stride + c]);
      }
    } catch (...) {
      done.store(-1, std::memory_order_release);
      throw;
    }
    done.store(run + 1, std::memory_order_release);
  });
}

bool SparseSeparation::blockDone() const {
  return !running.summaries || pool->done();
}

void SparseSeparation::finishBlock() {
  if (!running.summaries) return;
  const Block block = running;
  try {
    pool->finish();
  } catch (...) {
    running = Block{};
    throw;
  }
  running = Block{};
  const int channels = config.numChannels;
  for (int t = 0; t < block.count; ++t) {
    SeparationSummary& summary = block.summaries[t] = SeparationSummary{};
    for (int c = 0; c < channels; ++c) {
      const UpdateSummary& update = channelUpdates[static_cast<size_t>(t) * channels + c];
      summary.notConverged += update.converged ? 0 : 1;
      summary.passes += update.passes;
      summary.slowestPasses = std::max(summary.slowestPasses, update.passes);
    }
  }
}

}  // namespace nimbusdale
