// The enhancement pipeline fed block by block, with memory that does not grow with the stream:
// files read in blocks, pipes, live audio and Python callers all drive it the same way.
#ifndef NIMBUSDALE_APPS_STREAMENHANCER_H
#define NIMBUSDALE_APPS_STREAMENHANCER_H

#include <iosfwd>
#include <memory>
#include <vector>

#include "Enhancer.h"

namespace nimbusdale::app {

/// One enhancement run over a stream of interleaved multichannel samples.
///
/// push() takes any number of sample frames; each STFT frame runs through the network as soon
/// as its input is complete, and each enhanced sample is handed out as soon as no later frame
/// can change it. finish() marks the end of the input and hands out the rest. The samples handed
/// out, concatenated, equal enhance() on the whole signal bit for bit, whatever the block sizes.
///
/// A sample leaves at most `length` input samples after it arrived (latencySamples()), so with
/// blocks of one hop the delay from input to output is one frame length plus one hop.
///
/// Memory is bounded by the frame geometry and the block sizes, not by the stream's length.
/// Calls must not overlap; they may come from different threads one after another (the thread
/// count applies to each call). With NodeImplementation::Plugin, std::cout is redirected from
/// construction to destruction (see enhance()).
class StreamEnhancer {
 public:
  /// Validates the options and the stream's shape, seeds the estimators (as enhance() does) and
  /// builds the network. Throws std::invalid_argument for refused options or shapes, HostError
  /// (or NodeError) for anything the host or a node refuses.
  StreamEnhancer(int channels, int sampleRate, const EnhanceOptions& options,
                 NodeImplementation nodes = NodeImplementation::Plugin,
                 std::ostream* diagnostics = nullptr);
  ~StreamEnhancer();
  StreamEnhancer(const StreamEnhancer&) = delete;
  StreamEnhancer& operator=(const StreamEnhancer&) = delete;

  /// When push() hands out what its samples complete.
  enum class Handout {
    /// As soon as no later frame can change it: the latency stated above.
    Prompt,
    /// Up to a few blocks of frames later, for callers that push more anyway (files): with more
    /// than one thread the linked cores then go on separating ahead while the caller reads and
    /// writes between pushes, which they cannot do past the last sample they hold.
    Batched,
  };

  /// Takes `samples` frames of interleaved input and appends the enhanced samples that became
  /// final to `out` (with Handout::Batched, those of all but the last few frames). The block is
  /// checked first (checkSignal, numbering samples from the start of the stream); a refused
  /// block throws std::invalid_argument and changes nothing. A node's error throws
  /// HostError/NodeError and leaves the stream failed: later calls throw std::logic_error. Also
  /// std::logic_error after finish().
  void push(const float* interleaved, long samples, std::vector<float>& out,
            Handout handout = Handout::Prompt);

  /// Ends the input (zero-padding the last frames as enhance() does) and appends every sample
  /// not yet handed out. Afterwards samplesOut() == samplesIn().
  void finish(std::vector<float>& out);

  int channels() const;
  int sampleRate() const;
  long samplesIn() const;
  long samplesOut() const;
  /// STFT frames run so far.
  long frames() const;
  /// Counts so far: frames, estimator updates, not-converged notices, diagnostic lines.
  /// silentOutput is set by finish() only.
  EnhanceStats stats() const;
  /// Input samples a sample waits for before it leaves: the frame length.
  int latencySamples() const;

 private:
  struct State;
  std::unique_ptr<State> state;
};

}  // namespace nimbusdale::app

#endif
