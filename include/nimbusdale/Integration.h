// What every integration core offers its callers (the plug-in's nodes, the tool's linked cores,
// the Python classes): one frame of the spectrum and its sparse magnitudes in, one spectrum row
// out, refusals as std::invalid_argument before anything changes.
#ifndef NIMBUSDALE_INTEGRATION_H
#define NIMBUSDALE_INTEGRATION_H

#include <complex>
#include <iosfwd>

#include "nimbusdale/NodeTypes.h"

namespace nimbusdale {

class ParameterValues;

/// What one frame of an integration did.
struct IntegrationSummary {
  int diagnosticLines = 0;  ///< lines the frame wrote (or would have written) as diagnostics
};

/// An integration core: the arithmetic of one integrator node type, with its state.
class Integration {
 public:
  virtual ~Integration() = default;

  /// The node type whose parameters and ports the core implements.
  virtual const NodeType& type() const = 0;

  /// Refuses a frame process() cannot take: `sparse` and `spectrum` row-major C x F, C and F
  /// those the core was built for. @throws std::invalid_argument "input PORT holds V at channel
  /// c, bin k; ...", naming the first value the port's rule in the node table refuses.
  virtual void checkInputs(const float* sparse, const std::complex<float>* spectrum) const = 0;

  /// One frame: inputs that passed checkInputs() in, F values written to `output`. Diagnostic
  /// lines go to `diagnostics` when it is given. @throws std::invalid_argument for a frame the
  /// arithmetic cannot take after all (values too large for single precision), with the state,
  /// `output` and `diagnostics` untouched.
  virtual IntegrationSummary process(const float* sparse, const std::complex<float>* spectrum,
                                     std::complex<float>* output,
                                     std::ostream* diagnostics = nullptr) = 0;
};

}  // namespace nimbusdale

#endif
