// The per-frame work of the MultiRobustPCA node without the host: one RobustPCA per channel fed
// normalised magnitudes, and the positive sparse parts scaled back to magnitudes.
#ifndef NIMBUSDALE_SPARSE_SEPARATION_H
#define NIMBUSDALE_SPARSE_SEPARATION_H

#include <Eigen/Dense>

#include <atomic>
#include <complex>
#include <iosfwd>
#include <memory>
#include <string_view>
#include <vector>

#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/RobustPCA.h"

namespace nimbusdale {

class ChannelPool;
class TeamChooser;
class ParameterValues;

/// What a separation runs with. fromParameters() derives and checks them from the node's
/// parameters; the members may also be set directly and checked with validate(). Each member
/// that carries a node parameter admits what the parameter admits (the MultiRobustPCA node
/// table, NodeTypes.h); the derived ones need 1 <= numBins and 0 <= cutoffBins <= numBins.
struct SeparationSettings {
  // By default, the node table's typical values (fromParameters() of a fresh ParameterValues).
  int numChannels = typical("NUM_CHANNEL").typicalInt();         ///< C, channels per frame
  int numBins = binsFromLength(typical("LENGTH").typicalInt());  ///< F, bins per channel
  /// bins 0 .. cutoffBins - 1 are observed as 0
  int cutoffBins =
      static_cast<int>(static_cast<float>(numBins) * typical("CUTOFF_FREQ").typicalFloat() /
                       (static_cast<float>(typical("SAMPLING_RATE").typicalInt()) * 0.5f));
  /// level of the normalised magnitudes (GLOBAL_SCALE)
  float globalScale = typical("GLOBAL_SCALE").typicalFloat();
  /// sparsity weight; each estimator's lambda1 = lambda2 = lambda / sqrt(F)
  float lambda = typical("LAMBDA").typicalFloat();
  /// weight of the current frame in the running scale (SCALE_UPDATE_RATIO)
  float scaleUpdateRatio = typical("SCALE_UPDATE_RATIO").typicalFloat();
  int maxRank = typical("MAX_LANK").typicalInt();     ///< basis vectors per channel
  float epsilon = typical("EPSILON").typicalFloat();  ///< tolerance of the inner loop

  /// Settings for the node parameters NUM_CHANNEL, LENGTH (F = LENGTH / 2 + 1), CUTOFF_FREQ and
  /// SAMPLING_RATE (cutoffBins = trunc(F * CUTOFF_FREQ / (SAMPLING_RATE * 0.5)), in float),
  /// GLOBAL_SCALE, LAMBDA, SCALE_UPDATE_RATIO, MAX_LANK and EPSILON, held in `values` (a
  /// ParameterValues of the MultiRobustPCA node type, NodeParameters.h).
  /// @throws std::invalid_argument "parameter NAME is VALUE; it must ..." for the first value,
  /// in the table's order, that its own rule refuses, else for CUTOFF_FREQ beyond
  /// SAMPLING_RATE / 2.
  static SeparationSettings fromParameters(const ParameterValues& values);
  /// The same from the nine values, in the order above.
  static SeparationSettings fromParameters(int numChannel, int length, float cutoffFreq,
                                           int samplingRate, float globalScale, float lambda,
                                           float scaleUpdateRatio, int maxRank, float epsilon);

  /// @throws std::invalid_argument naming the first member out of its range.
  void validate() const;

 private:
  static constexpr const ParameterSpec& typical(std::string_view name) {
    return kMultiRobustPCAType.parameter(name);
  }
};

/// What one frame did.
struct SeparationSummary {
  int notConverged = 0;   ///< channels whose estimator update hit the pass cap
  long passes = 0;        ///< inner passes of the frame's estimator updates, summed over channels
  int slowestPasses = 0;  ///< the most inner passes any one channel's update ran
};

/// Per channel c, each frame: magnitudes m = |X(k, c)|; running scale s = m on the first frame
/// and in a bin whose scale is still exactly 0 (silent so far), else m r + s (1 - r);
/// observation (m / s) * globalScale, with bins whose quotient is not finite (a zero scale) and
/// the bins below the cut-off observed as 0; one estimator update; output
/// (max(sparse, 0) * s) * (1 / globalScale). An output value that is not finite (an estimator
/// driven out of range) is emitted as 0. Until a channel's observation is first not all zero
/// (digital silence at the start, a dead channel), its estimator is not updated (that would wipe
/// its starting basis) and its output row is 0.
///
/// Random numbers: the constructor draws every estimator's starting point from std::rand twice,
/// channels 0 .. C-1 and then again in the same order; callers that need reproducible output
/// seed the generator first and keep other threads from drawing meanwhile.
///
/// Threads: one call at a time per object. Each frame runs its channels on the calling thread and
/// on helper threads of its own, which sleep when idle; the caller waits only for channels a
/// helper has started, so a loaded machine never makes more threads slower than one. The output
/// does not depend on the number of threads.
class SparseSeparation {
 public:
  /// @throws std::invalid_argument as SeparationSettings::validate(), before any draw.
  explicit SparseSeparation(const SeparationSettings& settings);
  ~SparseSeparation();
  SparseSeparation(SparseSeparation&&) noexcept;
  SparseSeparation& operator=(SparseSeparation&&) noexcept;

  /// Refuses a row-major C x F spectrum that process() cannot take: one with a value whose
  /// magnitude is NaN or infinite, which would poison the running scale and the estimator for
  /// good. @throws std::invalid_argument "input INPUT holds V at channel c, bin k; ...".
  void checkFrame(const std::complex<float>* spectrum) const;

  /// One frame. `spectrum` and `output` are row-major C x F arrays (channel c at c * F), the
  /// first only read; the spectrum must have passed checkFrame(). `firstFrame` re-seeds the
  /// running scale from this frame. "not converged" lines go to `notices` (std::cout for the
  /// node; null for none). `threads` is the team size of this frame's region; 0, the default,
  /// times frames on one thread and on omp_get_max_threads() and keeps whichever is faster. Only
  /// std::bad_alloc can throw, and then the state may be partly updated.
  SeparationSummary process(const std::complex<float>* spectrum, bool firstFrame, float* output,
                            std::ostream* notices, int threads = 0);

  /// The magnitudes |X(k, c)| of a row-major C x F spectrum into `out` (C x F), as process()
  /// takes them: what processBlock() separates. Returns whether every one is finite, which is
  /// what checkFrame() requires, so that a spectrum needs no check of its own: only one this
  /// refuses is worth checkFrame()'s message.
  bool magnitudes(const std::complex<float>* spectrum, float* out) const;

  /// `frames` consecutive frames at once, the first of them frame 0 of the stream if
  /// `firstFrame`, in place: `frames` holds `count` row-major C x F arrays one after another,
  /// each frame's magnitudes() on entry and its output on return. Each thread takes a channel
  /// over a run of the block's frames (a channel's runs one after another), so the threads meet
  /// once a block instead of once a frame; the output is that of process() on each frame in
  /// turn, bit for bit. Writes no notices: frame t's summary is `summaries[t]`. `threads` as for
  /// process(). Taking magnitudes rather than spectra leaves the spectra to the thread that made
  /// them, and hands the helpers half the bytes.
  void processBlock(float* frames, int count, bool firstFrame, SeparationSummary* summaries,
                    int threads = 0);

  /// processBlock() in two halves, so that the caller can do other work while helper threads
  /// separate: startBlock() hands the block's channels to the helpers and returns at once;
  /// finishBlock() runs on the calling thread the channels no helper has taken, waits for the
  /// rest and fills `summaries`. In between, the caller must leave this object and the two
  /// arrays alone. finishBlock() with no block started does nothing; the destructor finishes a
  /// block still running.
  void startBlock(float* frames, int count, bool firstFrame, SeparationSummary* summaries,
                  int threads = 0);
  void finishBlock();
  /// Whether the block started last has been separated, so that finishBlock() returns at once;
  /// true with no block running.
  bool blockDone() const;

  const SeparationSettings& settings() const { return config; }
  const std::vector<RobustPCA>& estimators() const { return channelEstimators; }
  /// F x C running scale, column c for channel c.
  const Eigen::MatrixXf& magnitudeScale() const { return runningScale; }
  /// F x C observations the estimators were given in the last frame, column c for channel c.
  const Eigen::MatrixXf& observations() const { return normalizedMagnitude; }

 private:
  struct Frame {
    const std::complex<float>* spectrum;  // or null, and the output holds the magnitudes
    float* output;
    bool first;
    std::ostream* notices;
  };
  void separateChannel(int channel, const Frame& frame, UpdateSummary& update);

  SeparationSettings config;
  std::vector<RobustPCA> channelEstimators;
  Eigen::MatrixXf runningScale;               // F x C
  Eigen::MatrixXf normalizedMagnitude;        // F x C scratch: this frame's observations
  std::vector<UpdateSummary> channelUpdates;  // scratch: each update of the frame or block
  // Per channel: 1 once its estimator has had an observation that is not all zero (bytes, not
  // bits, as channels are written from several threads).
  std::vector<unsigned char> channelLearning;
  // The block between startBlock() and finishBlock().
  struct Block {
    float* frames = nullptr;
    SeparationSummary* summaries = nullptr;
    int count = 0;
    bool first = false;
    int runs = 1;  // runs of frames per channel
  };
  Block running;
  // Per channel, the runs of the running block done, or -1 after a run failed.
  std::unique_ptr<std::atomic<int>[]> runsDone;
  std::unique_ptr<ChannelPool> pool;
  std::unique_ptr<TeamChooser> teams;  // the team of frames run with the default team
};

}  // namespace nimbusdale

#endif
