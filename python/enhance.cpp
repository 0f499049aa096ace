#include "Enhancer.h"
#include "common.h"
#include "options.h"

#include <pybind11/stl.h>

namespace nimbusdale::python {

void init_enhance(py::module_& m) {
  const auto run = [](const py::object& signal, int sampleRate, const std::string& integrator,
                      const py::kwargs& options) {
    app::EnhanceOptions o = optionsFrom("enhance", options);
    o.integrator = app::integratorNamed(integrator);
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
The options, all keyword arguments but integrator, as the tool's (`nimbusdale enhance --help`)
with "_" for "-"; the same seed gives the same output, also from several threads at once:
)doc" +
      optionLines() +
      R"doc(
It runs the same cores as the plug-in's nodes, linked into this module, with the GIL released;
calls on several threads run in parallel and give the serial results bit for bit.

Returns a float32 array of `samples` values. Raises TypeError for a wrong dtype, ValueError for
a wrong shape, non-finite or too loud samples or a refused option (NodeError when a node refuses
it).)doc";
  m.def("enhance", run, py::arg("signal"), py::arg("sample_rate"), py::arg("integrator") = "mask",
        doc.c_str());
}

}  // namespace nimbusdale::python
