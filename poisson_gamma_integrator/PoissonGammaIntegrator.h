// PoissonGammaIntegrator: fits a Poisson-Gamma model to the sparse magnitudes frame by frame and
// emits its rank-one magnitude for channel 0 with the phase of channel 0 of the spectrum.
#ifndef NIMBUSDALE_POISSON_GAMMA_INTEGRATOR_H
#define NIMBUSDALE_POISSON_GAMMA_INTEGRATOR_H

#include <string>

#include "host.h"
#include "nimbusdale/PoissonGammaInference.h"

namespace nimbusdale {

/// Inputs SPEC (NUM_CHANNEL x bins complex) and SPARSE (NUM_CHANNEL x bins float, finite and
/// non-negative); output OUTPUT (1 x bins complex). Parameters NUM_CHANNEL (int, >= 1), LENGTH
/// (int, >= 0, bins = LENGTH / 2 + 1) and GLOBAL_SCALE (float, positive and finite). The model
/// state carries over from frame to frame and is never reset; each frame prints two lines on
/// standard output.
class PoissonGammaIntegrator : public FD::BufferedNode {
 public:
  static constexpr const char* typeName = "PoissonGammaIntegrator";

  PoissonGammaIntegrator(std::string nodeName, FD::ParameterSet params);
  ~PoissonGammaIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  int specID;
  int sparseID;
  int outputID;
  int numChannels;
  int numBins;
  float globalScale;
  PoissonGammaModel model{0, 0};
};

}  // namespace nimbusdale

#endif
