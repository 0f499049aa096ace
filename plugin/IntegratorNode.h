// The node shell every integrator shares: one template over an integration core.
#ifndef NIMBUSDALE_PLUGIN_INTEGRATOR_NODE_H
#define NIMBUSDALE_PLUGIN_INTEGRATOR_NODE_H

#include <iostream>
#include <stdexcept>
#include <string>

#include "ToolboxNode.h"

namespace nimbusdale {

/// Inputs SPEC and SPARSE (NUM_CHANNEL x bins), output OUTPUT (1 x bins), bins = LENGTH / 2 + 1,
/// as the table `Type` declares them, computed by `Core`: a class with a `Settings` type whose
/// `fromParameters(const ParameterValues&)` reads the table's parameters, built from those
/// settings, with `process(sparse, spectrum, output, std::ostream* diagnostics)` that may refuse
/// a frame with std::invalid_argument, leaving its state untouched. Both inputs are checked for
/// shape and then for values (SPARSE first) before the core sees them, so a refused frame leaves
/// the node as if it had never arrived. The core lasts as long as the node, a host reset
/// included; its diagnostic lines go to standard output.
template <const NodeType& Type, class Core>
class IntegratorNode : public ToolboxNode {
 public:
  IntegratorNode(std::string nodeName, FD::ParameterSet params)
      : ToolboxNode(nodeName, params, Type),
        specID(port("SPEC")),
        sparseID(port("SPARSE")),
        numChannels(values.intValue("NUM_CHANNEL")),
        numBins(binsFromLength(values.intValue("LENGTH"))),
        core(refusing([this] { return Core(Core::Settings::fromParameters(values)); })) {}

  void calculate(int, int count, FD::Buffer& out) override {
    FD::RCPtr<ComplexFrame> spec = inputFrame<ComplexFrame>(specID, count);
    FD::RCPtr<RealFrame> sparse = inputFrame<RealFrame>(sparseID, count);
    requireFrameShape(specID, *spec, numChannels, numBins);
    requireFrameShape(sparseID, *sparse, numChannels, numBins);
    requireFrameValues(sparseID, *sparse, numChannels, numBins);
    requireFrameValues(specID, *spec, numChannels, numBins);

    FD::RCPtr<ComplexFrame> result = storeNewFrame<ComplexFrame>(out, count, 1, numBins);
    try {
      core.process(frameData(*sparse), frameData(*spec), frameData(*result), &std::cout);
    } catch (const std::invalid_argument& e) {
      // The core refused the frame and kept its state; take back the unfinished frame too, so
      // that a later request for this count computes it instead of reading it as a result.
      withdrawFrame(out, count);
      fail(e.what());
    }
  }

 private:
  const int specID;
  const int sparseID;
  const int numChannels;
  const int numBins;
  Core core;
};

}  // namespace nimbusdale

#endif
