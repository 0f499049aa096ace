// nimbusdale.Enhancer: the enhancement run fed block by block, for live audio and recordings too
// long to hold in memory. Its output, concatenated, is nimbusdale.enhance on the whole signal.
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Enhancer.h"
#include "StreamEnhancer.h"
#include "common.h"
#include "options.h"

namespace nimbusdale::python {
namespace {

class PyEnhancer {
 public:
  PyEnhancer(int channels, int sampleRate, const app::EnhanceOptions& options)
      : options(options),
        core(channels, sampleRate, options, app::NodeImplementation::LinkedCores) {}

  // Builds the network without the GIL: seeding waits for the process-wide draw lock.
  static std::unique_ptr<PyEnhancer> create(int channels, int sampleRate,
                                            const app::EnhanceOptions& options) {
    py::gil_scoped_release release;
    return std::make_unique<PyEnhancer>(channels, sampleRate, options);
  }

  py::array process(const py::object& block) {
    // A mono stream also takes a 1-D block; anything else must be (samples, channels).
    const bool mono = core.channels() == 1 && py::isinstance<py::array>(block) &&
                      py::reinterpret_borrow<py::array>(block).ndim() == 1;
    auto x = requireArray<float>(block, "block", mono ? 1 : 2, "(samples, channels)");
    if (!mono && x.shape(1) != core.channels())
      throw py::value_error("block has " + std::to_string(x.shape(1)) +
                            " channels; this Enhancer takes " + std::to_string(core.channels()));
    const long samples = static_cast<long>(x.shape(0));
    std::vector<float> out;
    exclusively(lock, [&] {
      requireOpen("process");
      guarded([&] { core.push(x.data(), samples, out); });
    });
    return py::array_t<float>(static_cast<py::ssize_t>(out.size()), out.data());
  }

  py::array flush() {
    std::vector<float> out;
    exclusively(lock, [&] {
      requireOpen("flush");
      guarded([&] { core.finish(out); });
      flushed = true;
    });
    return py::array_t<float>(static_cast<py::ssize_t>(out.size()), out.data());
  }

  long samplesIn() {
    return exclusively(lock, [&] { return core.samplesIn(); });
  }
  long samplesOut() {
    return exclusively(lock, [&] { return core.samplesOut(); });
  }
  long frames() {
    return exclusively(lock, [&] { return core.frames(); });
  }
  long notConverged() {
    return exclusively(lock, [&] { return core.stats().notConverged; });
  }
  long passes() {
    return exclusively(lock, [&] { return core.stats().passes; });
  }
  long slowestPasses() {
    return exclusively(lock, [&] { return core.stats().slowestPasses; });
  }

  std::string repr() {
    std::ostringstream s;
    s << "Enhancer(channels=" << core.channels() << ", sample_rate=" << core.sampleRate()
      << ", integrator='" << options.integratorName() << "', length=" << options.length()
      << ", hop=" << options.hop() << ")";
    exclusively(lock, [&] {
      s << " [" << core.samplesIn() << " samples in, " << core.samplesOut() << " out";
      if (flushed) s << ", flushed";
      if (!error.empty()) s << ", stopped by an error";
      s << "]";
    });
    return s.str();
  }

  const app::EnhanceOptions options;
  app::StreamEnhancer core;

 private:
  // Lock held. Refuses a call on a stream that has ended, naming the Python call and the cause.
  void requireOpen(const char* call) const {
    if (flushed)
      throw std::logic_error(std::string("Enhancer.") + call +
                             ": the stream was flushed; make a new Enhancer for another stream");
    if (!error.empty())
      throw std::logic_error(std::string("Enhancer.") + call +
                             ": an earlier error ended the stream: " + error);
  }

  // Lock held. Runs a call on the core, remembering an error that ends the stream. A refused
  // block (std::invalid_argument) is checked before anything changes: the stream goes on.
  template <class F>
  void guarded(F&& fn) {
    try {
      fn();
    } catch (const std::invalid_argument&) {
      throw;
    } catch (const std::exception& e) {
      error = e.what();
      throw;
    }
  }

  std::mutex lock;
  bool flushed = false;
  std::string error;
};

}  // namespace

void init_stream(py::module_& m) {
  py::class_<PyEnhancer> cls(m, "Enhancer", R"doc(
The enhancement of nimbusdale.enhance, fed block by block with memory that does not grow with
the stream: for live audio, pipes, and recordings too long to hold.

Enhancer(channels, sample_rate, integrator="mask", *, length=..., hop=..., ...) takes the
options of nimbusdale.enhance with the same names and defaults.

process(block) takes any number of samples and returns the enhanced samples that became final;
flush() ends the stream and returns the rest. Whatever the block sizes, the returned arrays
concatenated equal nimbusdale.enhance on the whole signal bit for bit. A sample is returned at
most `latency_samples` input samples after it arrived.

Each object serialises its own calls and releases the GIL while it computes, so distinct
objects run in parallel on several threads.)doc");
  cls.def(py::init([](int channels, int sampleRate, const std::string& integrator,
                      const py::kwargs& options) {
            app::EnhanceOptions o = optionsFrom("Enhancer", options);
            o.integrator = app::integratorNamed(integrator);
            return PyEnhancer::create(channels, sampleRate, o);
          }),
          py::arg("channels"), py::arg("sample_rate"), py::arg("integrator") = "mask",
          "Raises ValueError for a refused option (NodeError when a node refuses it).");
  cls.def("process", &PyEnhancer::process, py::arg("block"),
          R"doc(Enhances the next block of the stream.

block: float32 array (samples, channels), any number of samples including none; a 1-D array
when the stream has one channel. Returns the float32 samples that became final (1-D, possibly
empty). Raises TypeError for a wrong dtype and ValueError for a wrong shape or channel count or
for non-finite or too loud samples (named by their place in the stream); a refused block is not
taken and the stream goes on. An error of a node ends the stream; later calls raise
RuntimeError.)doc")
      .def("flush", &PyEnhancer::flush,
           "Ends the stream and returns every enhanced sample not yet returned (float32, 1-D). "
           "Afterwards process() and flush() raise RuntimeError.")
      .def_property_readonly(
          "channels", [](const PyEnhancer& e) { return e.core.channels(); }, "input channels")
      .def_property_readonly(
          "sample_rate", [](const PyEnhancer& e) { return e.core.sampleRate(); }, "Hz")
      .def_property_readonly(
          "integrator", [](const PyEnhancer& e) { return e.options.integratorName(); },
          "\"mask\", \"median\" or \"poisson-gamma\"")
      .def_property_readonly(
          "length", [](const PyEnhancer& e) { return e.options.length(); },
          "STFT frame length, samples")
      .def_property_readonly(
          "hop", [](const PyEnhancer& e) { return e.options.hop(); }, "STFT hop, samples")
      .def_property_readonly(
          "latency_samples", [](const PyEnhancer& e) { return e.core.latencySamples(); },
          "input samples a sample waits for at most before it is returned: the frame length")
      .def_property_readonly("samples_in", &PyEnhancer::samplesIn, "samples taken so far")
      .def_property_readonly("samples_out", &PyEnhancer::samplesOut,
                             "enhanced samples returned so far")
      .def_property_readonly("frames", &PyEnhancer::frames, "STFT frames run so far")
      .def_property_readonly("passes", &PyEnhancer::passes,
                             "inner passes of the estimator updates so far (frames x channels "
                             "updates): their mean is the work an update took")
      .def_property_readonly("slowest_passes", &PyEnhancer::slowestPasses,
                             "inner passes of each frame's slowest channel, summed over frames: "
                             "what updating the channels in lockstep would take")
      .def_property_readonly("not_converged", &PyEnhancer::notConverged,
                             "estimator updates so far that hit the pass cap")
      .def("__repr__", &PyEnhancer::repr);
}

}  // namespace nimbusdale::python
