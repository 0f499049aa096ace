// One recording enhanced from its file (or pipe) to its output file: the work of `nimbusdale
// enhance`, of each file of `nimbusdale batch` and of the Python module's enhance_file(), so that
// all of them write the same samples.
#ifndef NIMBUSDALE_APPS_ENHANCEFILE_H
#define NIMBUSDALE_APPS_ENHANCEFILE_H

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "AudioStream.h"
#include "Enhancer.h"
#include "Score.h"

namespace nimbusdale::app {

/// Where a run stands, handed to FileJob::progress after every block and once at the end.
struct FileProgress {
  long frames = 0;       ///< STFT frames run so far
  long totalFrames = 0;  ///< STFT frames in all, or -1 when the input does not say (a pipe)
  long samples = 0;      ///< input sample frames read so far
  int sampleRate = 0;
  int hop = 0;
  bool last = false;  ///< the run is complete
};

/// One enhancement of one input into one mono output (plus, optionally, a spectrogram picture and
/// the nodes' diagnostic lines).
struct FileJob {
  std::string input;  ///< a file, or "-" for standard input
  std::string output;
  std::string spectrogram, diagnostics;  ///< empty: not written
  std::optional<RawInput> raw;           ///< the input is headerless samples
  SampleFormat format = SampleFormat::Float;
  StreamContainer container = StreamContainer::Auto;
  EnhanceOptions options;  ///< options.toolbox is used as it is (resolved by the caller)
  NodeImplementation nodes = NodeImplementation::Plugin;
  std::function<void(const FileProgress&)> progress;
  /// Told of the warnings that arise before the output is complete (a truncated input, a raw
  /// input ending inside a frame), as they arise. Every warning is also in FileResult.
  std::function<void(const std::string&)> warn;
  /// When set (from any thread), the run stops at the next block and throws Interrupted, leaving
  /// none of its outputs behind.
  const std::atomic<bool>* cancel = nullptr;
};

/// What a run did.
struct FileResult {
  int channels = 0;
  int sampleRate = 0;
  long samples = 0;      ///< input sample frames (the output has as many)
  double seconds = 0.0;  ///< wall time from building the network to the last sample out
  EnhanceStats stats;
  long claimedFrames = 0;  ///< a truncated input's header claim (else 0)
  long droppedBytes = 0;   ///< bytes of an incomplete last frame of raw input
  long clipped = 0;        ///< output samples outside [-1, 1]
  /// Every warning, worded for a person: truncation, dropped bytes, clipping, silent output.
  std::vector<std::string> warnings;

  double audioSeconds() const { return sampleRate > 0 ? double(samples) / sampleRate : 0.0; }
};

/// The run was stopped through FileJob::cancel; its outputs were removed.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

/// Validates the options, reads the input block by block through a StreamEnhancer and writes
/// the outputs through OutputFile, all of which replace their targets only once every one of them
/// is complete. Throws std::runtime_error (or std::invalid_argument, HostError, NodeError, as
/// the pipeline does) naming the problem; on any failure no output is left behind.
FileResult enhanceFile(const FileJob& job);

/// Largest alignment `scoreFiles` searches: 10 s, far beyond any a recording needs.
constexpr double kMaxLagMs = 10000.0;

/// @throws std::invalid_argument "--max-lag-ms X: give a number of milliseconds from 0 to
/// 10000" unless 0 <= maxLagMs <= kMaxLagMs.
void checkMaxLagMs(double maxLagMs);

/// SI-SDR and SDR of channel 0 of `estimate` against channel 0 of `reference`, aligned within
/// `maxLagMs`: the scoring of `nimbusdale score`, of `batch` and of the Python module. Reads both
/// recordings block by block (either may be "-", standard input, such as the tool's own WAV
/// stream), keeping one channel of each; `warn` is told of a recording shorter than its header
/// says. Throws std::runtime_error naming the file for unreadable recordings, a lag out of range,
/// different sample rates, a sample of any channel that is not finite, and undefined ratios.
ScoreResult scoreFiles(const std::string& reference, const std::string& estimate, double maxLagMs,
                       const std::function<void(const std::string&)>& warn = {});

}  // namespace nimbusdale::app

#endif
