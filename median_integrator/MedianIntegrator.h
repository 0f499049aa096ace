// MedianIntegrator: per bin, the median across channels of the sparse magnitudes, carrying the
// phase of channel 0 of the spectrum.
#ifndef NIMBUSDALE_MEDIAN_INTEGRATOR_H
#define NIMBUSDALE_MEDIAN_INTEGRATOR_H

#include <string>
#include <vector>

#include "ToolboxNode.h"

namespace nimbusdale {

/// Ports and parameters as kMedianIntegratorType declares them: inputs SPEC and SPARSE
/// (NUM_CHANNEL x bins), output OUTPUT (1 x bins), bins = LENGTH / 2 + 1. Keeps no state
/// between frames.
class MedianIntegrator : public IntegratorNode {
 public:
  MedianIntegrator(std::string nodeName, FD::ParameterSet params);
  ~MedianIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  std::vector<float> scratch;  // one bin's channels, kept so a frame allocates nothing
};

}  // namespace nimbusdale

#endif
