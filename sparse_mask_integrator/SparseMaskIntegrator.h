// SparseMaskIntegrator: channel 0 of the spectrum times a per-bin gain formed from every channel's
// sparse magnitudes and residuals, so that channel 0's phase and fine structure pass through.
#ifndef NIMBUSDALE_SPARSE_MASK_INTEGRATOR_H
#define NIMBUSDALE_SPARSE_MASK_INTEGRATOR_H

#include <string>

#include "host.h"
#include "nimbusdale/SparseMaskIntegration.h"

namespace nimbusdale {

/// Ports and parameters as kSparseMaskIntegratorType declares them: inputs SPEC and SPARSE
/// (NUM_CHANNEL x bins), output OUTPUT (1 x bins), bins = LENGTH / 2 + 1. The arithmetic is
/// SparseMaskIntegration's; its state (each channel's clean estimate) carries over from frame to
/// frame, and a host reset keeps it.
class SparseMaskIntegrator : public FD::BufferedNode {
 public:
  static constexpr const NodeType& nodeType = kSparseMaskIntegratorType;

  SparseMaskIntegrator(std::string nodeName, FD::ParameterSet params);
  ~SparseMaskIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  int specID;
  int sparseID;
  int outputID;
  int numChannels;
  int numBins;
  SparseMaskIntegration mask;
};

}  // namespace nimbusdale

#endif
