#include "Enhancer.h"
#include "common.h"

#include <pybind11/stl.h>

namespace nimbusdale::python {

void init_enhance(py::module_& m) {
  const app::EnhanceOptions d;
  m.def(
      "enhance",
      [](const py::object& signal, int sampleRate, const std::string& integrator, int length,
         int hop, float lambda, int maxRank, float cutoffFreq, float globalScale,
         float pgGlobalScale, float scaleUpdateRatio, float epsilon, int threads, unsigned seed) {
        auto x = requireArray<float>(signal, "signal", 2, "(samples, channels)");
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
        const long samples = static_cast<long>(x.shape(0));
        const int channels = static_cast<int>(x.shape(1));
        py::array_t<float> result(static_cast<py::ssize_t>(samples));
        float* dst = result.mutable_data();
        {
          py::gil_scoped_release release;
          const std::vector<float> out =
              app::enhance(x.data(), samples, channels, sampleRate, o, nullptr, nullptr, {},
                           app::NodeImplementation::LinkedCores);
          std::copy(out.begin(), out.end(), dst);
        }
        return result;
      },
      py::arg("signal"), py::arg("sample_rate"), py::arg("integrator") = "median", py::kw_only(),
      py::arg("length") = d.length, py::arg("hop") = d.hop, py::arg("lambda_") = d.lambda,
      py::arg("max_rank") = d.maxRank, py::arg("cutoff_freq") = d.cutoffFreq,
      py::arg("global_scale") = d.globalScale, py::arg("pg_global_scale") = d.pgGlobalScale,
      py::arg("scale_update_ratio") = d.scaleUpdateRatio, py::arg("epsilon") = d.epsilon,
      py::arg("threads") = 0, py::arg("seed") = d.seed,
      R"doc(Enhance a multichannel recording into mono, as `nimbusdale enhance` does.

signal: float32 array (samples, channels), full scale 1.0 (magnitudes up to 1e12 accepted).
sample_rate: Hz.
integrator: "median" or "poisson-gamma".
length, hop: STFT frame length and hop in samples (1 <= hop <= length // 2, length <= 16384).
lambda_, max_rank, cutoff_freq (Hz), global_scale, scale_update_ratio, epsilon: the
MultiRobustPCA parameters LAMBDA, MAX_LANK, CUTOFF_FREQ, GLOBAL_SCALE, SCALE_UPDATE_RATIO,
EPSILON. pg_global_scale: GLOBAL_SCALE of PoissonGammaIntegrator. threads: OpenMP threads of
this call (0: the runtime's default). seed: srand() seed of the estimators' starting points, so
the same call gives the same output, also from several threads at once.

It runs the same cores as the plug-in's nodes, linked into this module, with the GIL released;
calls on several threads run in parallel and give the serial results bit for bit.

Returns a float32 array of `samples` values. Raises TypeError for a wrong dtype, ValueError for
a wrong shape, non-finite or too loud samples or a refused option (NodeError when a node refuses
it).)doc");
}

}  // namespace nimbusdale::python
