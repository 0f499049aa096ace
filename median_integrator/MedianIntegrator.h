// MedianIntegrator: per bin, the median across channels of the sparse magnitudes, carrying the
// phase of channel 0 of the spectrum.
#ifndef NIMBUSDALE_MEDIAN_INTEGRATOR_H
#define NIMBUSDALE_MEDIAN_INTEGRATOR_H

#include <string>
#include <vector>

#include "host.h"

namespace nimbusdale {

/// Inputs SPEC (NUM_CHANNEL x bins complex) and SPARSE (NUM_CHANNEL x bins float); output
/// OUTPUT (1 x bins complex). Parameters NUM_CHANNEL (int, >= 1) and LENGTH (int, bins =
/// LENGTH / 2 + 1 >= 0). Keeps no state between frames.
class MedianIntegrator : public FD::BufferedNode {
 public:
  static constexpr const char* typeName = "MedianIntegrator";

  MedianIntegrator(std::string nodeName, FD::ParameterSet params);
  ~MedianIntegrator() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  int specID;
  int sparseID;
  int outputID;
  int numChannels;
  int numBins;
};

}  // namespace nimbusdale

#endif
