// The plug-in's three node types, driven one frame at a time through the host stand-in.
#include <pybind11/stl.h>

#include <cstdlib>
#include <sstream>

#include <flowdesigner/Registry.h>
#include <flowdesigner/net_types.h>

#include "DiagnosticsCapture.h"
#include "Enhancer.h"
#include "common.h"

namespace nimbusdale::python {
namespace {

// Upstream stand-in for one input port: answers every request with the frame it was handed.
class Feeder : public FD::Node {
 public:
  explicit Feeder(const std::string& nodeName) : FD::Node(nodeName, FD::ParameterSet()) {
    addOutput("OUTPUT");
  }
  FD::ObjectRef getOutput(int, int) override { return frame; }
  FD::ObjectRef frame;
};

// One plug-in node with a feeder on each input. Frame counts advance by one per processed
// frame; a refused frame does not use up its count.
class NodeRunner {
 public:
  NodeRunner(const std::string& type, const FD::ParameterSet& params) {
    app::loadToolbox(app::defaultToolboxPath());
    node = app::hostCall([&] { return FD::registry::createNode(type, type, params); });
    for (const FD::NodeInput& in : node->getInputs()) {
      feeders.emplace_back(new Feeder(in.name));
      node->connectToNode(in.name, feeders.back().get(), "OUTPUT");
    }
  }

  // Runs one frame (GIL released); node output lines go to `lines`.
  FD::ObjectRef step(const std::vector<FD::ObjectRef>& inputs, std::vector<std::string>& lines) {
    std::ostringstream captured;
    FD::ObjectRef out;
    {
      app::DiagnosticsCapture capture(&captured);
      // The feeders let go of the caller's frames however the step ends.
      struct Release {
        std::vector<FD::RCPtr<Feeder>>& feeders;
        ~Release() {
          for (auto& f : feeders) f->frame = FD::ObjectRef();
        }
      } release{feeders};
      for (size_t i = 0; i < feeders.size(); ++i) feeders[i]->frame = inputs[i];
      out = app::hostCall([&] { return node->getOutput(0, count); });
    }
    ++count;
    std::istringstream text(captured.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return out;
  }

  int frames() const { return count; }

 private:
  FD::RCPtr<FD::Node> node;
  std::vector<FD::RCPtr<Feeder>> feeders;
  int count = 0;
};

// Base of the Python node classes: parameters, diagnostics and the runner.
class PyNode {
 public:
  PyNode(std::string type, int numChannel, int length)
      : type(std::move(type)), numChannel(numChannel), length(length) {}
  virtual ~PyNode() = default;

  int bins() const { return length / 2 + 1; }
  std::string repr() const {
    std::ostringstream s;
    s << type << "(num_channel=" << numChannel << ", length=" << length << extraRepr() << ") ["
      << (runner ? runner->frames() : 0) << " frames processed]";
    return s.str();
  }

  const std::string type;
  const int numChannel;
  const int length;
  std::vector<std::string> diagnostics;

 protected:
  virtual std::string extraRepr() const { return ""; }

  // Frames of one call (or one stream) for each input, built with the GIL held.
  template <class T>
  static FD::ObjectRef frameOf(const py::array_t<T, py::array::c_style>& a, py::ssize_t index) {
    const int rows = static_cast<int>(a.shape(a.ndim() - 2));
    const int cols = static_cast<int>(a.shape(a.ndim() - 1));
    T* data = const_cast<T*>(a.data()) + index * rows * cols;
    return FD::ObjectRef(new ArrayFrame<T>(rows, cols, data, a));
  }

  // Runs frames[i] (one vector of input frames per step) with the GIL released.
  std::vector<FD::ObjectRef> run(const std::vector<std::vector<FD::ObjectRef>>& frames) {
    std::vector<FD::ObjectRef> outputs;
    std::vector<std::string> lines;
    {
      py::gil_scoped_release release;
      try {
        for (const auto& step : frames) outputs.push_back(runner->step(step, lines));
      } catch (...) {
        py::gil_scoped_acquire gil;
        diagnostics.insert(diagnostics.end(), lines.begin(), lines.end());
        throw;
      }
    }
    diagnostics.insert(diagnostics.end(), lines.begin(), lines.end());
    return outputs;
  }

  std::unique_ptr<NodeRunner> runner;
};

FD::ParameterSet baseParams(int numChannel, int length) {
  FD::ParameterSet p;
  p.add("NUM_CHANNEL", FD::Int::alloc(numChannel));
  p.add("LENGTH", FD::Int::alloc(length));
  return p;
}

class PyMultiRobustPCA : public PyNode {
 public:
  PyMultiRobustPCA(int numChannel, int length, float cutoffFreq, int samplingRate,
                   float globalScale, float lambda, float scaleUpdateRatio, int maxRank,
                   float epsilon, const py::object& seed)
      : PyNode("MultiRobustPCA", numChannel, length),
        cutoffFreq(cutoffFreq),
        samplingRate(samplingRate),
        globalScale(globalScale),
        lambda(lambda),
        scaleUpdateRatio(scaleUpdateRatio),
        maxRank(maxRank),
        epsilon(epsilon) {
    FD::ParameterSet p = baseParams(numChannel, length);
    p.add("CUTOFF_FREQ", FD::Float::alloc(cutoffFreq));
    p.add("SAMPLING_RATE", FD::Int::alloc(samplingRate));
    p.add("GLOBAL_SCALE", FD::Float::alloc(globalScale));
    p.add("LAMBDA", FD::Float::alloc(lambda));
    p.add("SCALE_UPDATE_RATIO", FD::Float::alloc(scaleUpdateRatio));
    p.add("MAX_LANK", FD::Int::alloc(maxRank));
    p.add("EPSILON", FD::Float::alloc(epsilon));
    if (!seed.is_none()) std::srand(seed.cast<unsigned>());
    runner = std::make_unique<NodeRunner>(type, p);
  }

  py::array process(const py::object& spec) {
    auto s = requireArray<cfloat>(spec, "spec", 2, "(channels, bins)");
    auto out = run({{frameOf(s, 0)}});
    return frameArray<float>(out[0], {numChannel, bins()});
  }

  py::array processStream(const py::object& specs) {
    auto s = requireArray<cfloat>(specs, "specs", 3, "(frames, channels, bins)");
    std::vector<std::vector<FD::ObjectRef>> frames;
    for (py::ssize_t n = 0; n < s.shape(0); ++n) frames.push_back({frameOf(s, n)});
    auto outs = run(frames);
    py::array_t<float> result(
        {static_cast<py::ssize_t>(outs.size()), py::ssize_t(numChannel), py::ssize_t(bins())});
    float* dst = result.mutable_data();
    for (const auto& o : outs) {
      FD::RCPtr<FD::Matrix<float>> m = o;
      dst = std::copy((*m)[0], (*m)[0] + m->size(), dst);
    }
    return result;
  }

  long notConverged() const {
    return std::count(diagnostics.begin(), diagnostics.end(), std::string("not converged"));
  }

  const float cutoffFreq;
  const int samplingRate;
  const float globalScale, lambda, scaleUpdateRatio;
  const int maxRank;
  const float epsilon;

 private:
  std::string extraRepr() const override {
    std::ostringstream s;
    s << ", cutoff_freq=" << cutoffFreq << ", sampling_rate=" << samplingRate
      << ", global_scale=" << globalScale << ", lambda_=" << lambda
      << ", scale_update_ratio=" << scaleUpdateRatio << ", max_rank=" << maxRank
      << ", epsilon=" << epsilon;
    return s.str();
  }
};

// MedianIntegrator and PoissonGammaIntegrator: (spec, sparse) in, one spectrum row out.
class PyIntegrator : public PyNode {
 public:
  PyIntegrator(const std::string& type, int numChannel, int length, float globalScale)
      : PyNode(type, numChannel, length), globalScale(globalScale) {
    FD::ParameterSet p = baseParams(numChannel, length);
    if (type == "PoissonGammaIntegrator") p.add("GLOBAL_SCALE", FD::Float::alloc(globalScale));
    runner = std::make_unique<NodeRunner>(type, p);
  }

  py::array process(const py::object& spec, const py::object& sparse) {
    auto s = requireArray<cfloat>(spec, "spec", 2, "(channels, bins)");
    auto m = requireArray<float>(sparse, "sparse", 2, "(channels, bins)");
    auto out = run({{frameOf(s, 0), frameOf(m, 0)}});
    return frameArray<cfloat>(out[0], {bins()});
  }

  py::array processStream(const py::object& specs, const py::object& sparses) {
    auto s = requireArray<cfloat>(specs, "specs", 3, "(frames, channels, bins)");
    auto m = requireArray<float>(sparses, "sparses", 3, "(frames, channels, bins)");
    if (s.shape(0) != m.shape(0))
      throw py::value_error("specs has " + std::to_string(s.shape(0)) + " frames but sparses has " +
                            std::to_string(m.shape(0)));
    std::vector<std::vector<FD::ObjectRef>> frames;
    for (py::ssize_t n = 0; n < s.shape(0); ++n) frames.push_back({frameOf(s, n), frameOf(m, n)});
    auto outs = run(frames);
    py::array_t<cfloat> result({static_cast<py::ssize_t>(outs.size()), py::ssize_t(bins())});
    cfloat* dst = result.mutable_data();
    for (const auto& o : outs) {
      FD::RCPtr<FD::Matrix<cfloat>> row = o;
      dst = std::copy((*row)[0], (*row)[0] + row->size(), dst);
    }
    return result;
  }

  const float globalScale;

 private:
  std::string extraRepr() const override {
    if (type != "PoissonGammaIntegrator") return "";
    std::ostringstream s;
    s << ", global_scale=" << globalScale;
    return s.str();
  }
};

struct PyMedianIntegrator : PyIntegrator {
  PyMedianIntegrator(int numChannel, int length)
      : PyIntegrator("MedianIntegrator", numChannel, length, 0.0f) {}
};

struct PyPoissonGammaIntegrator : PyIntegrator {
  PyPoissonGammaIntegrator(int numChannel, int length, float globalScale)
      : PyIntegrator("PoissonGammaIntegrator", numChannel, length, globalScale) {}
};

}  // namespace

void init_nodes(py::module_& m) {
  const app::EnhanceOptions d;
  py::class_<PyNode>(m, "Node", "Base of the node classes.")
      .def_readonly("num_channel", &PyNode::numChannel, "NUM_CHANNEL: channels per frame")
      .def_readonly("length", &PyNode::length, "LENGTH: analysis frame length, samples")
      .def_property_readonly("bins", &PyNode::bins, "frequency bins per frame, length // 2 + 1")
      .def_readonly("diagnostics", &PyNode::diagnostics,
                    "lines the node wrote to standard output so far (a copy)")
      .def(
          "clear_diagnostics", [](PyNode& n) { n.diagnostics.clear(); },
          "forget the collected diagnostic lines")
      .def("__repr__", &PyNode::repr);

  py::class_<PyMultiRobustPCA, PyNode>(m, "MultiRobustPCA", R"doc(
Per-channel online robust PCA of magnitude spectra: emits each frame's sparse magnitudes.

Keyword arguments carry the node parameters: num_channel (NUM_CHANNEL), length (LENGTH,
samples), cutoff_freq (CUTOFF_FREQ, Hz), sampling_rate (SAMPLING_RATE, Hz), global_scale,
lambda_ (LAMBDA), scale_update_ratio, max_rank (MAX_LANK), epsilon. The node learns from every
frame it processes; state carries over between calls. The estimators' random starting points
come from the C library's rand(); seed, when given, is passed to srand() first so that two nodes
built with the same seed give the same output. Raises NodeError (a ValueError) for a refused
parameter.)doc")
      .def(py::init<int, int, float, int, float, float, float, int, float, const py::object&>(),
           py::kw_only(), py::arg("num_channel"), py::arg("length") = d.length,
           py::arg("cutoff_freq") = d.cutoffFreq, py::arg("sampling_rate"),
           py::arg("global_scale") = d.globalScale, py::arg("lambda_") = d.lambda,
           py::arg("scale_update_ratio") = d.scaleUpdateRatio, py::arg("max_rank") = d.maxRank,
           py::arg("epsilon") = d.epsilon, py::arg("seed") = py::none())
      .def("process", &PyMultiRobustPCA::process, py::arg("spec"),
           "One frame: complex64 (channels, bins) spectrum -> float32 (channels, bins) sparse "
           "magnitudes (a view of the node's output frame).")
      .def("process_stream", &PyMultiRobustPCA::processStream, py::arg("specs"),
           "Frames in order: complex64 (frames, channels, bins) -> float32 (frames, channels, "
           "bins).")
      .def_readonly("cutoff_freq", &PyMultiRobustPCA::cutoffFreq, "CUTOFF_FREQ, Hz")
      .def_readonly("sampling_rate", &PyMultiRobustPCA::samplingRate, "SAMPLING_RATE, Hz")
      .def_readonly("global_scale", &PyMultiRobustPCA::globalScale, "GLOBAL_SCALE")
      .def_readonly("lambda_", &PyMultiRobustPCA::lambda, "LAMBDA")
      .def_readonly("scale_update_ratio", &PyMultiRobustPCA::scaleUpdateRatio, "SCALE_UPDATE_RATIO")
      .def_readonly("max_rank", &PyMultiRobustPCA::maxRank, "MAX_LANK")
      .def_readonly("epsilon", &PyMultiRobustPCA::epsilon, "EPSILON")
      .def_property_readonly("not_converged", &PyMultiRobustPCA::notConverged,
                             "estimator updates so far that hit the pass cap");

  py::class_<PyMedianIntegrator, PyNode>(m, "MedianIntegrator", R"doc(
Median across channels of the sparse magnitudes, with the phase of channel 0 of the spectrum.

Keyword arguments: num_channel (NUM_CHANNEL), length (LENGTH, samples). Stateless.)doc")
      .def(py::init<int, int>(), py::kw_only(), py::arg("num_channel"),
           py::arg("length") = d.length)
      .def("process", &PyIntegrator::process, py::arg("spec"), py::arg("sparse"),
           "One frame: complex64 (channels, bins) spectrum and float32 (channels, bins) sparse "
           "magnitudes -> complex64 (bins,).")
      .def("process_stream", &PyIntegrator::processStream, py::arg("specs"), py::arg("sparses"),
           "Frames in order: (frames, channels, bins) each -> complex64 (frames, bins).");

  py::class_<PyPoissonGammaIntegrator, PyNode>(m, "PoissonGammaIntegrator", R"doc(
Poisson-Gamma variational Bayes rank-one model of the sparse magnitudes; 50 iterations a frame,
state carried over. Its two diagnostic lines a frame are collected in `diagnostics`.

Keyword arguments: num_channel (NUM_CHANNEL), length (LENGTH, samples), global_scale
(GLOBAL_SCALE: magnitudes to model counts, > 0).)doc")
      .def(py::init<int, int, float>(), py::kw_only(), py::arg("num_channel"),
           py::arg("length") = d.length, py::arg("global_scale") = d.pgGlobalScale)
      .def("process", &PyIntegrator::process, py::arg("spec"), py::arg("sparse"),
           "One frame: complex64 (channels, bins) spectrum and float32 (channels, bins) sparse "
           "magnitudes -> complex64 (bins,).")
      .def("process_stream", &PyIntegrator::processStream, py::arg("specs"), py::arg("sparses"),
           "Frames in order: (frames, channels, bins) each -> complex64 (frames, bins).")
      .def_readonly("global_scale", &PyIntegrator::globalScale, "GLOBAL_SCALE");
}

}  // namespace nimbusdale::python
