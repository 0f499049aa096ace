// PoissonGammaIntegrator: fits a Poisson-Gamma model to the sparse magnitudes frame by frame and
// emits its rank-one magnitude for channel 0 with the phase of channel 0 of the spectrum.
#ifndef NIMBUSDALE_POISSON_GAMMA_INTEGRATOR_H
#define NIMBUSDALE_POISSON_GAMMA_INTEGRATOR_H

#include <string>

#include "ToolboxNode.h"
#include "nimbusdale/PoissonGammaInference.h"

namespace nimbusdale {

/// Ports and parameters as kPoissonGammaIntegratorType declares them: inputs SPEC and SPARSE
/// (NUM_CHANNEL x bins), output OUTPUT (1 x bins), bins = LENGTH / 2 + 1. The model state
/// carries over from frame to frame and is never reset; each frame prints two lines on standard
/// output.
class PoissonGammaIntegrator : public IntegratorNode {
 public:
  PoissonGammaIntegrator(std::string nodeName, FD::ParameterSet params);
  ~PoissonGammaIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  const float globalScale;
  PoissonGammaModel model;
};

}  // namespace nimbusdale

#endif
