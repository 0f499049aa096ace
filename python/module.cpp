#include "Enhancer.h"
#include "common.h"
#include "nimbusdale/Version.h"

namespace nimbusdale::python {

PYBIND11_MODULE(_nimbusdale, m) {
  // The package (python/nimbusdale/__init__.py) offers every name of this module: classes and
  // exceptions are named after it.
  m.attr("__name__") = "nimbusdale";
  m.doc() =
      "nimbusdale: online robust PCA and the NIMBUSDALE FlowDesigner nodes for NumPy.\n\n"
      "Spectra are complex64 arrays of shape (channels, bins), magnitudes float32 of the same\n"
      "shape, with bins = length // 2 + 1. The node classes run the host-free cores the plug-in's\n"
      "nodes are built on, so they give a host's numbers bit for bit, with no process-wide\n"
      "stream or setting touched.";
  m.attr("__version__") = NIMBUSDALE_VERSION;
  // Register the base first: pybind11 tries the most recently registered translator first.
  py::register_exception<app::HostError>(m, "HostError", PyExc_RuntimeError).doc() =
      "An error raised by the host framework, with the host's message.";
  py::register_exception<app::NodeError>(m, "NodeError", PyExc_ValueError).doc() =
      "A node refused a parameter or a frame; the message names node and value.";
  init_robust_pca(m);
  init_nodes(m);
  init_enhance(m);
  init_stream(m);
#if NIMBUSDALE_PYTHON_FILES
  init_batch(m);
#endif
}

}  // namespace nimbusdale::python
