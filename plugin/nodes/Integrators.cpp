// MedianIntegrator, PoissonGammaIntegrator and SparseMaskIntegrator: the integrator node shell
// over each integration core.
#include "nimbusdale/Integrators.h"
#include "IntegratorNode.h"

namespace nimbusdale {
namespace {

int registerIntegrators() {
  int added = registerNodeType<IntegratorNode<kMedianIntegratorType, MedianIntegration>>(
      kMedianIntegratorType);
  added += registerNodeType<IntegratorNode<kPoissonGammaIntegratorType, PoissonGammaIntegration>>(
      kPoissonGammaIntegratorType);
  return added + registerNodeType<IntegratorNode<kSparseMaskIntegratorType, SparseMaskIntegration>>(
                     kSparseMaskIntegratorType);
}

const int integratorsRegistered = registerIntegrators();

}  // namespace
}  // namespace nimbusdale
