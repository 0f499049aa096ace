// SparseMaskIntegrator: channel 0 of the spectrum times a per-bin gain formed from every channel's
// sparse magnitudes and residuals, so that channel 0's phase and fine structure pass through.
#ifndef NIMBUSDALE_SPARSE_MASK_INTEGRATOR_H
#define NIMBUSDALE_SPARSE_MASK_INTEGRATOR_H

#include <string>

#include "ToolboxNode.h"
#include "nimbusdale/SparseMaskIntegration.h"

namespace nimbusdale {

/// Ports and parameters as kSparseMaskIntegratorType declares them: inputs SPEC and SPARSE
/// (NUM_CHANNEL x bins), output OUTPUT (1 x bins), bins = LENGTH / 2 + 1. The arithmetic is
/// SparseMaskIntegration's; its state (each channel's clean estimate) carries over from frame to
/// frame, and a host reset keeps it.
class SparseMaskIntegrator : public IntegratorNode {
 public:
  SparseMaskIntegrator(std::string nodeName, FD::ParameterSet params);
  ~SparseMaskIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  SparseMaskIntegration mask;
};

}  // namespace nimbusdale

#endif
