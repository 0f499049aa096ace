// `nimbusdale live`: the enhancement chain as a JACK client, N input ports in, one enhanced port
// out, at the server's sample rate.
#ifndef NIMBUSDALE_APPS_LIVE_H
#define NIMBUSDALE_APPS_LIVE_H

#include <string>
#include <vector>

#include "Enhancer.h"

namespace CLI {
class App;
}

namespace nimbusdale::app {

/// Options of one live run.
struct LiveCommand {
  EnhanceOptions options;  ///< the integrator and node options of `enhance`
  int channels = 0;        ///< input ports in_1 .. in_N (required, >= 1)
  std::string clientName = "nimbusdale";
  std::string serverName;              ///< empty: the default server
  std::vector<std::string> connectIn;  ///< ports connected to in_1, in_2, ... in order
  std::string connectOut;              ///< port connected to out; empty: none
  double seconds = 0;                  ///< stop after this much audio; 0: at SIGINT/SIGTERM
  double bufferSeconds = 2.0;          ///< capacity of the input ring, seconds of audio
  bool quiet = false;                  ///< no status line and no summary
};

/// Adds the live-only options (--channels, --client-name, --server, --connect-in,
/// --connect-out, --duration, --buffer, -q/--quiet) to `cmd`, storing into `live`. The
/// enhancement options are the caller's to add, into `live.options`.
void addLiveOptions(CLI::App* cmd, LiveCommand& live);

/// Runs the chain as a JACK client until `live.seconds` of audio have gone through (then the
/// tail is played out too) or SIGINT/SIGTERM arrives, and returns 0.
///
/// The stream starts in the first period in which every input port is connected, so that the
/// estimators never start on the silence of an unconnected port; `live.seconds` counts from
/// there. Output sample t of the enhanced stream leaves port `out` exactly latency samples after
/// input sample t arrived (frame length + hop + period, announced at start and in the summary);
/// an underrun plays silence and the late samples are skipped, so the delay stays fixed.
/// Input samples that are not finite or exceed kMaxSampleMagnitude are replaced by 0 and counted.
///
/// Throws std::invalid_argument for refused options (--toolbox among them: a live run drives the
/// linked cores), std::runtime_error naming the server or port when the server cannot be
/// reached, a port cannot be connected or the server shuts down during the run, and
/// HostError/NodeError if the chain fails. The JACK client is closed in every case.
int runLive(const LiveCommand& live);

}  // namespace nimbusdale::app

#endif
