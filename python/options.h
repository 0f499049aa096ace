// The options of an enhancement run as Python arguments, shared by nimbusdale.enhance and
// nimbusdale.Enhancer so that both take the same names, order and defaults.
#ifndef NIMBUSDALE_PYTHON_OPTIONS_H
#define NIMBUSDALE_PYTHON_OPTIONS_H

#include <string>
#include <utility>

#include "Enhancer.h"
#include "common.h"

namespace nimbusdale::python {

/// Wraps `fn(leading..., const app::EnhanceOptions&)` as a callable that takes the leading
/// arguments followed by each option as an argument of its own, in the order withOptionArgs()
/// names them.
template <class... Leading, class F>
auto takingOptions(F fn) {
  return [fn = std::move(fn)](Leading... leading, const std::string& integrator, int length,
                              int hop, float lambda, int maxRank, float cutoffFreq,
                              float globalScale, float pgGlobalScale, float scaleUpdateRatio,
                              float epsilon, float snrSmoothing, float noiseOverestimation,
                              float gainFloor, int spatialWeight, float spatialSmoothing,
                              int threads, unsigned seed) {
    app::EnhanceOptions o;
    o.integrator = integrator;
    o.length = length;
    o.hop = hop;
    o.lambda = lambda;
    o.maxRank = maxRank;
    o.cutoffFreq = cutoffFreq;
    o.globalScale = globalScale;
    o.pgGlobalScale = pgGlobalScale;
    o.scaleUpdateRatio = scaleUpdateRatio;
    o.epsilon = epsilon;
    o.snrSmoothing = snrSmoothing;
    o.noiseOverestimation = noiseOverestimation;
    o.gainFloor = gainFloor;
    o.spatialWeight = spatialWeight;
    o.spatialSmoothing = spatialSmoothing;
    o.threads = threads;
    o.seed = seed;
    return fn(std::forward<Leading>(leading)..., o);
  };
}

/// The keyword of parameter `name` of `type`, as its node class takes it.
inline const char* nodeKeyword(const NodeType& type, const char* name) {
  return keywordOf(type.parameter(name));
}

/// Calls `bind(args...)` with the argument names and defaults of the options, matching
/// takingOptions(): integrator (positional or keyword), then the rest keyword-only. An option that
/// feeds a node parameter takes the keyword of that parameter in the node classes.
template <class Bind>
decltype(auto) withOptionArgs(Bind&& bind) {
  const app::EnhanceOptions d;
  const NodeType& rpca = kMultiRobustPCAType;
  const NodeType& mask = kSparseMaskIntegratorType;
  return bind(py::arg("integrator") = d.integrator, py::kw_only(),
              py::arg(nodeKeyword(rpca, "LENGTH")) = d.length, py::arg("hop") = d.hop,
              py::arg(nodeKeyword(rpca, "LAMBDA")) = d.lambda,
              py::arg(nodeKeyword(rpca, "MAX_LANK")) = d.maxRank,
              py::arg(nodeKeyword(rpca, "CUTOFF_FREQ")) = d.cutoffFreq,
              py::arg(nodeKeyword(rpca, "GLOBAL_SCALE")) = d.globalScale,
              py::arg("pg_global_scale") = d.pgGlobalScale,
              py::arg(nodeKeyword(rpca, "SCALE_UPDATE_RATIO")) = d.scaleUpdateRatio,
              py::arg(nodeKeyword(rpca, "EPSILON")) = d.epsilon,
              py::arg(nodeKeyword(mask, "SNR_SMOOTHING")) = d.snrSmoothing,
              py::arg(nodeKeyword(mask, "NOISE_OVERESTIMATION")) = d.noiseOverestimation,
              py::arg(nodeKeyword(mask, "GAIN_FLOOR")) = d.gainFloor,
              py::arg(nodeKeyword(mask, "SPATIAL_WEIGHT")) = d.spatialWeight,
              py::arg(nodeKeyword(mask, "SPATIAL_SMOOTHING")) = d.spatialSmoothing,
              py::arg("threads") = d.threads, py::arg("seed") = d.seed);
}

/// One docstring line per option that feeds a node parameter: its keyword, the parameter and
/// what the parameter means and admits.
inline std::string nodeOptionLines() {
  struct Option {
    const char* keyword;  // null: the parameter's own
    const NodeType& type;
    const char* parameter;
  };
  const Option options[] = {
      {nullptr, kMultiRobustPCAType, "LENGTH"},
      {nullptr, kMultiRobustPCAType, "LAMBDA"},
      {nullptr, kMultiRobustPCAType, "MAX_LANK"},
      {nullptr, kMultiRobustPCAType, "CUTOFF_FREQ"},
      {nullptr, kMultiRobustPCAType, "GLOBAL_SCALE"},
      {"pg_global_scale", kPoissonGammaIntegratorType, "GLOBAL_SCALE"},
      {nullptr, kMultiRobustPCAType, "SCALE_UPDATE_RATIO"},
      {nullptr, kMultiRobustPCAType, "EPSILON"},
      {nullptr, kSparseMaskIntegratorType, "SNR_SMOOTHING"},
      {nullptr, kSparseMaskIntegratorType, "NOISE_OVERESTIMATION"},
      {nullptr, kSparseMaskIntegratorType, "GAIN_FLOOR"},
      {nullptr, kSparseMaskIntegratorType, "SPATIAL_WEIGHT"},
      {nullptr, kSparseMaskIntegratorType, "SPATIAL_SMOOTHING"},
  };
  std::string lines;
  for (const Option& o : options) {
    const ParameterSpec& p = o.type.parameter(o.parameter);
    lines += std::string(o.keyword ? o.keyword : keywordOf(p)) + ": " + p.name + " of " +
             o.type.name + ", " + describeParameter(p) + ".\n";
  }
  return lines;
}

}  // namespace nimbusdale::python

#endif
