// The enhancement pipeline shared by the command-line tool and the Python module: a
// multichannel signal in, the enhanced mono signal out, through the plug-in's nodes.
#ifndef NIMBUSDALE_APPS_ENHANCER_H
#define NIMBUSDALE_APPS_ENHANCER_H

#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <flowdesigner/BaseException.h>

#include "Stft.h"

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

/// Options of one enhancement run. Each node option carries the node parameter it feeds. The
/// defaults are the best mean SI-SDR improvement found on the example set (see the README).
struct EnhanceOptions {
  std::string integrator = "median";  ///< "median" or "poisson-gamma"
  int length = 1024;                  ///< LENGTH: STFT frame length, samples
  int hop = 256;                      ///< STFT hop, samples
  float lambda = 1.0f;                ///< LAMBDA of MultiRobustPCA
  int maxRank = 10;                   ///< MAX_LANK of MultiRobustPCA
  float cutoffFreq = 100.0f;          ///< CUTOFF_FREQ of MultiRobustPCA, Hz
  float globalScale = 0.5f;           ///< GLOBAL_SCALE of MultiRobustPCA
  float pgGlobalScale = 1.0f;         ///< GLOBAL_SCALE of PoissonGammaIntegrator
  float scaleUpdateRatio = 0.002f;    ///< SCALE_UPDATE_RATIO of MultiRobustPCA
  float epsilon = 1e-3f;              ///< EPSILON of MultiRobustPCA
  int threads = 0;                    ///< OpenMP threads; 0 keeps the runtime's default
  unsigned seed = 1;                  ///< srand() seed for the estimators' starting points
  std::string toolbox;                ///< plug-in path; empty for defaultToolboxPath()

  /// Throws std::invalid_argument naming the option and value for anything the run refuses
  /// before the nodes see it (integrator name, frame geometry, threads).
  void validate() const;
};

/// What a run did, for the caller's summary.
struct EnhanceStats {
  long frames = 0;
  long estimatorUpdates = 0;  ///< frames x channels
  long notConverged = 0;      ///< "not converged" notices from the estimators
  long diagnosticLines = 0;   ///< every line the nodes wrote to standard output
};

/// Called after each frame with (frames done, frames in all).
using ProgressFn = std::function<void(long, long)>;

/// The plug-in in the build tree if it is there, else its installed path.
std::string defaultToolboxPath();

/// Loads the plug-in at `path` (once per process). Throws HostError with the loader's message.
void loadToolbox(const std::string& path);

/// Enhances `samples` frames of an interleaved `channels`-channel signal at `sampleRate` Hz and
/// returns `samples` mono samples. The C library's random generator is seeded with
/// `options.seed` first, so a run gives the same output wherever and however often it runs. The
/// nodes' standard-output lines are counted in `stats` and,
/// if `diagnostics` is given, copied there; standard output is restored afterwards. Throws
/// std::invalid_argument for refused options or signal shapes and HostError for any error the
/// host or a node raises.
std::vector<float> enhance(const float* interleaved, long samples, int channels, int sampleRate,
                           const EnhanceOptions& options, EnhanceStats* stats = nullptr,
                           std::ostream* diagnostics = nullptr, const ProgressFn& progress = {});

/// Channel 0 through the same analysis source and synthesis sink with nothing in between:
/// checks that framing, FFT and overlap-add give the input back.
std::vector<float> stftRoundTrip(const float* interleaved, long samples, int channels,
                                 StftGeometry geometry);

}  // namespace nimbusdale::app

#endif
