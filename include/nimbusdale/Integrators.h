// Every integration core, built by the node type its parameters belong to.
#ifndef NIMBUSDALE_INTEGRATORS_H
#define NIMBUSDALE_INTEGRATORS_H

#include <memory>
#include <stdexcept>

#include "nimbusdale/MedianIntegration.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/PoissonGammaInference.h"
#include "nimbusdale/SparseMaskIntegration.h"

namespace nimbusdale {

/// The core of `Core`'s node type built from `values`, checked against the table first.
template <class Core>
std::unique_ptr<Integration> makeCore(const ParameterValues& values) {
  return std::make_unique<Core>(Core::Settings::fromParameters(values));
}

/// The core of the integrator node type `values` belongs to (a ParameterValues of
/// MedianIntegrator, PoissonGammaIntegrator or SparseMaskIntegrator).
/// @throws std::invalid_argument "parameter NAME is VALUE; it must ..." for the first refused
/// value; std::logic_error for a node type that is not an integrator.
inline std::unique_ptr<Integration> makeIntegration(const ParameterValues& values) {
  const NodeType* type = &values.type();
  if (type == &kMedianIntegratorType) return makeCore<MedianIntegration>(values);
  if (type == &kPoissonGammaIntegratorType) return makeCore<PoissonGammaIntegration>(values);
  if (type == &kSparseMaskIntegratorType) return makeCore<SparseMaskIntegration>(values);
  throw std::logic_error(std::string(type->name) + " is not an integrator");
}

}  // namespace nimbusdale

#endif
