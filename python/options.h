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
                              float epsilon, int threads, unsigned seed) {
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
    o.threads = threads;
    o.seed = seed;
    return fn(std::forward<Leading>(leading)..., o);
  };
}

/// Calls `bind(args...)` with the argument names and defaults of the options, matching
/// takingOptions(): integrator (positional or keyword), then the rest keyword-only.
template <class Bind>
decltype(auto) withOptionArgs(Bind&& bind) {
  const app::EnhanceOptions d;
  return bind(py::arg("integrator") = d.integrator, py::kw_only(), py::arg("length") = d.length,
              py::arg("hop") = d.hop, py::arg("lambda_") = d.lambda,
              py::arg("max_rank") = d.maxRank, py::arg("cutoff_freq") = d.cutoffFreq,
              py::arg("global_scale") = d.globalScale, py::arg("pg_global_scale") = d.pgGlobalScale,
              py::arg("scale_update_ratio") = d.scaleUpdateRatio, py::arg("epsilon") = d.epsilon,
              py::arg("threads") = d.threads, py::arg("seed") = d.seed);
}

}  // namespace nimbusdale::python

#endif
