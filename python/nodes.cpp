// The plug-in's three node types for NumPy, on the same host-free cores the plug-in's nodes run:
// the same numbers as a host, with no process-wide stream or setting touched.
#include <pybind11/stl.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "Enhancer.h"
#include "common.h"
#include "nimbusdale/MedianIntegration.h"
#include "nimbusdale/PoissonGammaInference.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale::python {
namespace {

// Base of the node classes: shape, refusals named like the nodes', diagnostics, the lock that
// serialises each object's calls, and a frame count.
class PyNode {
 public:
  PyNode(std::string type, int numChannel, int length)
      : type(std::move(type)), numChannel(numChannel), length(length) {}
  virtual ~PyNode() = default;

  int bins() const { return length / 2 + 1; }

  std::string repr() {
    const long done = exclusively(lock, [&] { return frames; });
    std::ostringstream s;
    s << type << "(num_channel=" << numChannel << ", length=" << length << extraRepr() << ") ["
      << done << " frames processed]";
    return s.str();
  }
  std::vector<std::string> diagnosticsCopy() {
    return exclusively(lock, [&] { return diagnostics; });
  }
  void clearDiagnostics() {
    exclusively(lock, [&] { diagnostics.clear(); });
  }

  const std::string type;
  const int numChannel;
  const int length;

 protected:
  virtual std::string extraRepr() const { return ""; }

  /// An app::NodeError "<Type>: <detail>", raised in Python as NodeError.
  [[noreturn]] void refuse(const std::string& detail) const {
    throw app::NodeError(type + ": " + detail);
  }
  /// Runs `fn`, refusing with its message if it throws std::invalid_argument.
  template <class F>
  auto refusing(F&& fn) const -> decltype(fn()) {
    try {
      return fn();
    } catch (const std::invalid_argument& e) {
      refuse(e.what());
    }
  }

  template <class T>
  void requireFrames(const py::array_t<T, py::array::c_style>& a, const char* port) const {
    const py::ssize_t rows = a.shape(a.ndim() - 2), cols = a.shape(a.ndim() - 1);
    if (rows == numChannel && cols == bins()) return;
    refuse(std::string("input ") + port + " frame is " + std::to_string(rows) + " x " +
           std::to_string(cols) + "; expected NUM_CHANNEL x bins = " + std::to_string(numChannel) +
           " x " + std::to_string(bins()));
  }

  void addLines(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) diagnostics.push_back(line);
  }

  std::mutex lock;
  long frames = 0;
  std::vector<std::string> diagnostics;
};

void requireAtLeast(const std::string& type, const char* name, int value, int least) {
  if (value < least)
    throw app::NodeError(type + ": parameter " + name + " is " + std::to_string(value) +
                         "; it must be at least " + std::to_string(least));
}

class PyMultiRobustPCA : public PyNode {
 public:
  PyMultiRobustPCA(int numChannel, int length, float cutoffFreq, int samplingRate,
                   float globalScale, float lambda, float scaleUpdateRatio, int maxRank,
                   float epsilon, const py::object& seed)
      : PyNode("MultiRobustPCA", numChannel, length),
        cutoff(cutoffFreq),
        rate(samplingRate),
        separation(construct(numChannel, length, cutoffFreq, samplingRate, globalScale, lambda,
                             scaleUpdateRatio, maxRank, epsilon, seed)) {}

  py::array process(const py::object& spec) {
    auto s = requireArray<cfloat>(spec, "spec", 2, "(channels, bins)");
    requireFrames(s, "INPUT");
    return filledArray<float>({numChannel, bins()}, lock, [&](float* out) { step(s.data(), out); });
  }

  py::array processStream(const py::object& specs) {
    auto s = requireArray<cfloat>(specs, "specs", 3, "(frames, channels, bins)");
    requireFrames(s, "INPUT");
    const py::ssize_t size = py::ssize_t(numChannel) * bins();
    return filledArray<float>({s.shape(0), py::ssize_t(numChannel), py::ssize_t(bins())}, lock,
                              [&](float* out) {
                                for (py::ssize_t n = 0; n < s.shape(0); ++n)
                                  step(s.data() + n * size, out + n * size);
                              });
  }

  long notConverged() {
    return exclusively(lock, [&] { return notConvergedCount; });
  }

  const SeparationSettings& settings() const { return separation.settings(); }
  float cutoffFreq() const { return cutoff; }
  int samplingRate() const { return rate; }

 private:
  SparseSeparation construct(int numChannel, int length, float cutoffFreq, int samplingRate,
                             float globalScale, float lambda, float scaleUpdateRatio, int maxRank,
                             float epsilon, const py::object& seed) {
    const SeparationSettings settings = refusing([&] {
      return SeparationSettings::fromParameters(numChannel, length, cutoffFreq, samplingRate,
                                                globalScale, lambda, scaleUpdateRatio, maxRank,
                                                epsilon);
    });
    const bool seeded = !seed.is_none();
    const unsigned value = seeded ? seed.cast<unsigned>() : 0u;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> draws(app::randomDrawLock());
    if (seeded) std::srand(value);
    return SparseSeparation(settings);
  }

  // One frame, lock held. A refused frame does not use up its count.
  void step(const cfloat* spec, float* out) {
    try {
      separation.checkFrame(spec);
    } catch (const std::invalid_argument& e) {
      refuse(e.what());
    }
    const SeparationSummary summary = separation.process(spec, frames == 0, out, nullptr);
    notConvergedCount += summary.notConverged;
    for (int i = 0; i < summary.notConverged; ++i) diagnostics.push_back("not converged");
    ++frames;
  }

  std::string extraRepr() const override {
    const SeparationSettings& s = separation.settings();
    std::ostringstream text;
    text << ", cutoff_freq=" << cutoff << ", sampling_rate=" << rate
         << ", global_scale=" << s.globalScale << ", lambda_=" << s.lambda
         << ", scale_update_ratio=" << s.scaleUpdateRatio << ", max_rank=" << s.maxRank
         << ", epsilon=" << s.epsilon;
    return text.str();
  }

  const float cutoff;
  const int rate;
  SparseSeparation separation;
  long notConvergedCount = 0;
};

// MedianIntegrator and PoissonGammaIntegrator: (spec, sparse) in, one spectrum row out.
class PyIntegrator : public PyNode {
 public:
  using PyNode::PyNode;

  py::array process(const py::object& spec, const py::object& sparse) {
    auto s = requireArray<cfloat>(spec, "spec", 2, "(channels, bins)");
    auto m = requireArray<float>(sparse, "sparse", 2, "(channels, bins)");
    requireFrames(s, "SPEC");
    requireFrames(m, "SPARSE");
    return filledArray<cfloat>({bins()}, lock, [&](cfloat* out) { step(s.data(), m.data(), out); });
  }

  py::array processStream(const py::object& specs, const py::object& sparses) {
    auto s = requireArray<cfloat>(specs, "specs", 3, "(frames, channels, bins)");
    auto m = requireArray<float>(sparses, "sparses", 3, "(frames, channels, bins)");
    if (s.shape(0) != m.shape(0))
      throw py::value_error("specs has " + std::to_string(s.shape(0)) + " frames but sparses has " +
                            std::to_string(m.shape(0)));
    requireFrames(s, "SPEC");
    requireFrames(m, "SPARSE");
    const py::ssize_t size = py::ssize_t(numChannel) * bins();
    return filledArray<cfloat>({s.shape(0), py::ssize_t(bins())}, lock, [&](cfloat* out) {
      for (py::ssize_t n = 0; n < s.shape(0); ++n)
        step(s.data() + n * size, m.data() + n * size, out + n * bins());
    });
  }

 protected:
  // One frame, lock held; a refused frame changes nothing.
  virtual void step(const cfloat* spec, const float* sparse, cfloat* out) = 0;
};

class PyMedianIntegrator : public PyIntegrator {
 public:
  PyMedianIntegrator(int numChannel, int length)
      : PyIntegrator("MedianIntegrator", numChannel, length) {
    requireAtLeast(type, "NUM_CHANNEL", numChannel, 1);
    if (bins() < 0)
      throw app::NodeError(type + ": parameter LENGTH is " + std::to_string(length) +
                           "; it must give LENGTH / 2 + 1 >= 0 bins (LENGTH >= -3)");
  }

 private:
  void step(const cfloat* spec, const float* sparse, cfloat* out) override {
    refusing([&] { checkMedianInputs(sparse, spec, numChannel, bins()); });
    integrateMedian(sparse, spec, numChannel, bins(), out, scratch);
    ++frames;
  }

  std::vector<float> scratch;
};

class PyPoissonGammaIntegrator : public PyIntegrator {
 public:
  PyPoissonGammaIntegrator(int numChannel, int length, float globalScale)
      : PyIntegrator("PoissonGammaIntegrator", numChannel, length), globalScale(globalScale) {
    requireAtLeast(type, "NUM_CHANNEL", numChannel, 1);
    requireAtLeast(type, "LENGTH", length, 0);
    refusing([&] { checkPoissonGammaScale(globalScale); });
    model = PoissonGammaModel(bins(), numChannel);
  }

  const float globalScale;

 private:
  void step(const cfloat* spec, const float* sparse, cfloat* out) override {
    const SparseFrameView sparseView(sparse, bins(), numChannel);
    const SpectrumFrameView specView(spec, bins(), numChannel);
    refusing([&] { checkPoissonGammaInputs(sparseView, specView); });
    std::ostringstream lines;
    try {
      runPoissonGammaFrame(model, globalScale, sparseView, specView, OutputRowView(out, bins()),
                           lines);
    } catch (const std::overflow_error&) {
      refuse(tooLargeForTheModel(sparseView, globalScale));
    }
    addLines(lines.str());
    ++frames;
  }

  std::string extraRepr() const override {
    std::ostringstream s;
    s << ", global_scale=" << globalScale;
    return s.str();
  }

  PoissonGammaModel model{0, 0};
};

}  // namespace

void init_nodes(py::module_& m) {
  const app::EnhanceOptions d;
  py::class_<PyNode>(m, "Node", R"doc(Base of the node classes.

Each object serialises its own calls and releases the GIL while it computes, so distinct
objects run in parallel on several threads.)doc")
      .def_readonly("num_channel", &PyNode::numChannel, "NUM_CHANNEL: channels per frame")
      .def_readonly("length", &PyNode::length, "LENGTH: analysis frame length, samples")
      .def_property_readonly("bins", &PyNode::bins, "frequency bins per frame, length // 2 + 1")
      .def_property_readonly("diagnostics", &PyNode::diagnosticsCopy,
                             "lines the node would have written to standard output so far (a "
                             "copy)")
      .def("clear_diagnostics", &PyNode::clearDiagnostics, "forget the collected diagnostic lines")
      .def("__repr__", &PyNode::repr);

  py::class_<PyMultiRobustPCA, PyNode>(m, "MultiRobustPCA", R"doc(
Per-channel online robust PCA of magnitude spectra: emits each frame's sparse magnitudes.

Keyword arguments carry the node parameters: num_channel (NUM_CHANNEL), length (LENGTH,
samples), cutoff_freq (CUTOFF_FREQ, Hz), sampling_rate (SAMPLING_RATE, Hz), global_scale,
lambda_ (LAMBDA), scale_update_ratio, max_rank (MAX_LANK), epsilon. The node learns from every
frame it processes; state carries over between calls. The estimators' random starting points
come from the C library's rand(); seed, when given, is passed to srand() first (seeding and
drawing hold a process-wide lock) so that two nodes built with the same seed give the same
output. Raises NodeError (a ValueError) for a refused parameter or frame.)doc")
      .def(py::init<int, int, float, int, float, float, float, int, float, const py::object&>(),
           py::kw_only(), py::arg("num_channel"), py::arg("length") = d.length,
           py::arg("cutoff_freq") = d.cutoffFreq, py::arg("sampling_rate"),
           py::arg("global_scale") = d.globalScale, py::arg("lambda_") = d.lambda,
           py::arg("scale_update_ratio") = d.scaleUpdateRatio, py::arg("max_rank") = d.maxRank,
           py::arg("epsilon") = d.epsilon, py::arg("seed") = py::none())
      .def("process", &PyMultiRobustPCA::process, py::arg("spec"),
           "One frame: complex64 (channels, bins) spectrum -> float32 (channels, bins) sparse "
           "magnitudes.")
      .def("process_stream", &PyMultiRobustPCA::processStream, py::arg("specs"),
           "Frames in order: complex64 (frames, channels, bins) -> float32 (frames, channels, "
           "bins).")
      .def_property_readonly("cutoff_freq", &PyMultiRobustPCA::cutoffFreq, "CUTOFF_FREQ, Hz")
      .def_property_readonly("sampling_rate", &PyMultiRobustPCA::samplingRate, "SAMPLING_RATE, Hz")
      .def_property_readonly(
          "global_scale", [](const PyMultiRobustPCA& n) { return n.settings().globalScale; },
          "GLOBAL_SCALE")
      .def_property_readonly(
          "lambda_", [](const PyMultiRobustPCA& n) { return n.settings().lambda; }, "LAMBDA")
      .def_property_readonly(
          "scale_update_ratio",
          [](const PyMultiRobustPCA& n) { return n.settings().scaleUpdateRatio; },
          "SCALE_UPDATE_RATIO")
      .def_property_readonly(
          "max_rank", [](const PyMultiRobustPCA& n) { return n.settings().maxRank; }, "MAX_LANK")
      .def_property_readonly(
          "epsilon", [](const PyMultiRobustPCA& n) { return n.settings().epsilon; }, "EPSILON")
      .def_property_readonly("not_converged", &PyMultiRobustPCA::notConverged,
                             "estimator updates so far that hit the pass cap");

  py::class_<PyMedianIntegrator, PyNode>(m, "MedianIntegrator", R"doc(
Median across channels of the sparse magnitudes, with the phase of channel 0 of the spectrum.

Keyword arguments: num_channel (NUM_CHANNEL), length (LENGTH, samples). Stateless. Raises
NodeError for non-finite sparse values or channel-0 spectrum values.)doc")
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
(GLOBAL_SCALE: magnitudes to model counts, 1e-30 to 1e30).)doc")
      .def(py::init<int, int, float>(), py::kw_only(), py::arg("num_channel"),
           py::arg("length") = d.length, py::arg("global_scale") = d.pgGlobalScale)
      .def("process", &PyIntegrator::process, py::arg("spec"), py::arg("sparse"),
           "One frame: complex64 (channels, bins) spectrum and float32 (channels, bins) sparse "
           "magnitudes -> complex64 (bins,).")
      .def("process_stream", &PyIntegrator::processStream, py::arg("specs"), py::arg("sparses"),
           "Frames in order: (frames, channels, bins) each -> complex64 (frames, bins).")
      .def_readonly("global_scale", &PyPoissonGammaIntegrator::globalScale, "GLOBAL_SCALE");
}

}  // namespace nimbusdale::python
