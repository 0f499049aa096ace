// The enhancement pipeline shared by the command-line tool and the Python module: a
// multichannel signal in, the enhanced mono signal out, through the plug-in's nodes.
#ifndef NIMBUSDALE_APPS_ENHANCER_H
#define NIMBUSDALE_APPS_ENHANCER_H

#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <flowdesigner/BaseException.h>

#include "NodeOptions.h"
#include "StftNodes.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale::app {

/// A host exception (FD::BaseException) turned into a C++ exception carrying its message.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A node's own refusal (FD::NodeException): a parameter or frame it cannot work with.
class NodeError : public HostError {
 public:
  using HostError::HostError;
};

/// Runs `fn`, turning a host exception (thrown as a pointer, and deleted here) into a NodeError
/// or HostError with the same message.
template <class F>
auto hostCall(F&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (FD::BaseException* e) {
    std::unique_ptr<FD::BaseException> owned(e);
    if (dynamic_cast<FD::NodeException*>(e)) throw NodeError(owned->message());
    throw HostError(owned->message());
  }
}

using nimbusdale::checkSignal;
using nimbusdale::kMaxSampleMagnitude;
/// Largest frame length and basis size enhance() takes: beyond them a run crawls far below
/// real time without separating any better.
constexpr int kMaxLength = 16384;
constexpr int kMaxRank = 64;
/// Range of the separation's GLOBAL_SCALE enhance() takes: far below it the normalised
/// magnitudes sit under the sparsity threshold and the output is silent; far above it the
/// threshold no longer separates anything.
constexpr float kMinGlobalScale = 1e-4f;
constexpr float kMaxGlobalScale = 1e4f;
constexpr int kMaxThreads = 256;
/// Most channels a run takes (live input ports included): far beyond any microphone array, and
/// still within memory at the largest frame length and basis size.
constexpr int kMaxChannels = 256;

/// Throws std::invalid_argument unless 1 <= channels <= kMaxChannels.
void checkChannels(int channels);

/// The memory a run's nodes asked for is not there; what() says what was too large. A
/// std::bad_alloc, so callers that handle running out of memory handle it too (Python raises
/// MemoryError with the sentence).
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string what) : text(std::move(what)) {}
  const char* what() const noexcept override { return text.c_str(); }

 private:
  std::string text;
};

/// The integrator called `name` in kIntegrators ("median", "poisson-gamma", "mask").
/// @throws std::invalid_argument "integrator must be median, poisson-gamma or mask, not 'x'".
Integrator integratorNamed(const std::string& name);

/// Options of one enhancement run. The node parameters default to their typical values in the
/// node tables, the best mean SI-SDR improvement found on the example set.
struct EnhanceOptions {
  Integrator integrator = Integrator::Mask;
  NodeOptionValues nodes;  ///< every node parameter that is an option (NodeOptions.h)
  int threads = 0;    ///< threads of this run; 0: up to OpenMP's default, one where more is slower
  unsigned seed = 1;  ///< srand() seed for the estimators' starting points
  std::string toolbox;  ///< plug-in path; empty for defaultToolboxPath()

  /// Sets the option with Python keyword `keyword` ("length", "lambda_", ...).
  EnhanceOptions& set(std::string_view keyword, double value) {
    nodes.set(keyword, value);
    return *this;
  }
  int length() const { return nodes.intValue("length"); }  ///< STFT frame length, samples
  int hop() const { return nodes.intValue("hop"); }        ///< STFT hop, samples
  const char* integratorName() const { return nimbusdale::integratorName(integrator).name; }
  const NodeType& integratorType() const { return *nimbusdale::integratorName(integrator).type; }
  /// The separation's and the integrator's parameters for a `channels`-channel signal at
  /// `sampleRate` Hz. Unchecked: the nodes refuse what they cannot take.
  ParameterValues separationParameters(int channels, int sampleRate) const {
    return nodes.forSignal(kMultiRobustPCAType, channels, sampleRate);
  }
  ParameterValues integrationParameters(int channels) const {
    return nodes.forSignal(integratorType(), channels, 0);
  }

  /// Throws std::invalid_argument naming the option and value for anything the run refuses
  /// before the nodes see it (frame geometry, bounds above, threads).
  void validate() const;
  /// validate(), then the checks that need the signal's sample rate (the cut-off must leave
  /// bins for the robust PCA).
  void validate(int sampleRate) const;
};

/// What a run did, for the caller's summary.
struct EnhanceStats {
  long frames = 0;
  long estimatorUpdates = 0;  ///< frames x channels
  long notConverged = 0;      ///< "not converged" notices from the estimators
  long passes = -1;           ///< inner passes of those updates; -1 where the nodes do not say
  long slowestPasses = -1;    ///< each frame's most passes of one channel, summed; -1 likewise
  long diagnosticLines = 0;   ///< every line the nodes wrote to standard output
  bool silentOutput = false;  ///< every output sample is 0 although the input is not silent
};

/// Runs `build`, turning a std::bad_alloc into OutOfMemory naming the run's size.
template <class F>
auto withinMemory(int channels, const EnhanceOptions& options, F&& build) -> decltype(build()) {
  try {
    return build();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("not enough memory for a run of " + std::to_string(channels) +
                      " channels with frames of " + std::to_string(options.length()) +
                      " samples (--length) and " +
                      std::to_string(options.nodes.intValue("max_rank")) +
                      " basis vectors a channel (--max-rank)");
  }
}

/// Which implementation of the nodes a run drives.
enum class NodeImplementation {
  /// The plug-in, loaded through the host's toolbox loader and created by type name, as a host
  /// does. Its nodes write their diagnostic lines to std::cout, which the run redirects while it
  /// lasts: only for a process with no other thread that may write to std::cout meanwhile.
  Plugin,
  /// The host-free cores the plug-in's nodes are built on, linked into the caller, with the
  /// same numbers. Nothing process-wide is touched but the seeded draws (under
  /// randomDrawLock()), so runs may go on in several threads at once.
  LinkedCores,
};

/// Held while seeding std::rand and drawing the estimators' starting points, so that runs on
/// other threads neither disturb nor see each other's sequence.
std::mutex& randomDrawLock();

/// Called after each frame with (frames done, frames in all).
using ProgressFn = std::function<void(long, long)>;

/// The plug-in of the build tree for a program running on the build tree's host library, else
/// the plug-in installed with the host library it runs on (under whatever prefix).
std::string defaultToolboxPath();

/// Loads the plug-in at `path` (once per process). Throws HostError with the loader's message.
void loadToolbox(const std::string& path);

/// Enhances `samples` frames of an interleaved `channels`-channel signal at `sampleRate` Hz and
/// returns `samples` mono samples. The C library's random generator is seeded with
/// `options.seed` first (under randomDrawLock()), so a run gives the same output wherever, on
/// however many threads and however often it runs. The nodes' diagnostic lines are counted in
/// `stats` and, if `diagnostics` is given, copied there. Throws std::invalid_argument for refused
/// options, signal shapes or samples (checkSignal), before any node exists, and HostError for
/// any error the host or a node raises (NodeError for a node's refusal).
std::vector<float> enhance(const float* interleaved, long samples, int channels, int sampleRate,
                           const EnhanceOptions& options, EnhanceStats* stats = nullptr,
                           std::ostream* diagnostics = nullptr, const ProgressFn& progress = {},
                           NodeImplementation nodes = NodeImplementation::Plugin);

/// Channel 0 through the same analysis source and synthesis sink with nothing in between:
/// checks that framing, FFT and overlap-add give the input back.
std::vector<float> stftRoundTrip(const float* interleaved, long samples, int channels,
                                 StftGeometry geometry);

}  // namespace nimbusdale::app

#endif
