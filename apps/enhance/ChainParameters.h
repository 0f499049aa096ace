// The node parameters of an enhancement run, from its options: the one place where the tool, the
// Python module, the tests and the benchmarks turn EnhanceOptions into the parameters of the
// chain's nodes, as host-free values or as the host's parameter set. Header-only, so that
// programs that do not link the enhancement pipeline can use it too.
#ifndef NIMBUSDALE_APPS_CHAIN_PARAMETERS_H
#define NIMBUSDALE_APPS_CHAIN_PARAMETERS_H

#include <stdexcept>
#include <string>

#include <flowdesigner/ParameterSet.h>
#include <flowdesigner/net_types.h>

#include "Enhancer.h"
#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale::app {

/// MultiRobustPCA's parameters for a `channels`-channel signal at `sampleRate` Hz. Unchecked:
/// the node, or SeparationSettings::fromParameters(), refuses what it cannot take.
inline ParameterValues separationParameters(const EnhanceOptions& options, int channels,
                                            int sampleRate) {
  ParameterValues values(kMultiRobustPCAType);
  values.set("NUM_CHANNEL", channels);
  values.set("LENGTH", options.length);
  values.set("CUTOFF_FREQ", options.cutoffFreq);
  values.set("SAMPLING_RATE", sampleRate);
  values.set("GLOBAL_SCALE", options.globalScale);
  values.set("LAMBDA", options.lambda);
  values.set("SCALE_UPDATE_RATIO", options.scaleUpdateRatio);
  values.set("MAX_LANK", options.maxRank);
  values.set("EPSILON", options.epsilon);
  return values;
}

/// The node type `options.integrator` names: "median", "poisson-gamma" or "mask".
inline const NodeType& integratorType(const EnhanceOptions& options) {
  if (options.integrator == "median") return kMedianIntegratorType;
  if (options.integrator == "poisson-gamma") return kPoissonGammaIntegratorType;
  if (options.integrator == "mask") return kSparseMaskIntegratorType;
  throw std::invalid_argument("integrator must be median, poisson-gamma or mask, not '" +
                              options.integrator + "'");
}

/// The integrator's parameters for a `channels`-channel signal. Unchecked, like the above.
inline ParameterValues integrationParameters(const EnhanceOptions& options, int channels) {
  ParameterValues values(integratorType(options));
  values.set("NUM_CHANNEL", channels);
  values.set("LENGTH", options.length);
  if (&values.type() == &kPoissonGammaIntegratorType)
    values.set("GLOBAL_SCALE", options.pgGlobalScale);
  if (&values.type() == &kSparseMaskIntegratorType) {
    values.set("SNR_SMOOTHING", options.snrSmoothing);
    values.set("NOISE_OVERESTIMATION", options.noiseOverestimation);
    values.set("GAIN_FLOOR", options.gainFloor);
    values.set("SPATIAL_WEIGHT", options.spatialWeight);
    values.set("SPATIAL_SMOOTHING", options.spatialSmoothing);
  }
  return values;
}

/// The host's parameter set holding `values`, each boxed as its host type.
inline FD::ParameterSet hostParameters(const ParameterValues& values) {
  FD::ParameterSet params;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const ParameterSpec& p = values.spec(i);
    if (p.type == HostType::Int)
      params.add(p.name, FD::ObjectRef(FD::Int::alloc(values.intValue(i))));
    else
      params.add(p.name, FD::ObjectRef(FD::Float::alloc(values.floatValue(i))));
  }
  return params;
}

}  // namespace nimbusdale::app

#endif
