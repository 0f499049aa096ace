#include "Enhancer.h"
#include "common.h"
#include "options.h"

#include <pybind11/stl.h>

namespace nimbusdale::python {

void init_enhance(py::module_& m) {
  const auto run = [](const py::object& signal, int sampleRate, const app::EnhanceOptions& o) {
    auto x = requireArray<float>(signal, "signal", 2, "(samples, channels)");
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
  };
  // Kept for the life of the process, as pybind11's docstrings must be.
  static const std::string doc =
      R"doc(Enhance a multichannel recording into mono, as `nimbusdale enhance` does.

signal: float32 array (samples, channels), full scale 1.0 (magnitudes up to 1e12 accepted).
sample_rate: Hz.
integrator: "median", "poisson-gamma" or "mask" (SparseMaskIntegrator).
length, hop: STFT frame length and hop in samples (1 <= hop <= length // 2, length <= 16384).
threads: OpenMP threads of this call (0: the runtime's default). seed: srand() seed of the
estimators' starting points, so the same call gives the same output, also from several threads
at once. The other options feed node parameters, with their defaults and limits:
)doc" +
      nodeOptionLines() +
      R"doc(
It runs the same cores as the plug-in's nodes, linked into this module, with the GIL released;
calls on several threads run in parallel and give the serial results bit for bit.

Returns a float32 array of `samples` values. Raises TypeError for a wrong dtype, ValueError for
a wrong shape, non-finite or too loud samples or a refused option (NodeError when a node refuses
it).)doc";
  withOptionArgs([&](auto... options) {
    m.def("enhance", takingOptions<const py::object&, int>(run), py::arg("signal"),
          py::arg("sample_rate"), options..., doc.c_str());
  });
}

}  // namespace nimbusdale::python
