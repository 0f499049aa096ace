// The plug-in's node types for NumPy, on the same host-free cores the plug-in's nodes run:
// the same numbers as a host, with no process-wide stream or setting touched. Each class takes
// its keyword arguments, their types and defaults, its attributes and the parameter part of its
// docstring from the node type's table, and refuses what the plug-in's node refuses.
#include <pybind11/stl.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <type_traits>
#include <utility>

#include "Enhancer.h"
#include "common.h"
#include "nimbusdale/Integrators.h"
#include "nimbusdale/SparseSeparation.h"

namespace nimbusdale::python {
namespace {

// Base of the node classes: parameters, shape, refusals named like the nodes', diagnostics, the
// lock that serialises each object's calls, and a frame count.
class PyNode {
 public:
  explicit PyNode(const ParameterValues& values)
      : values(values),
        type(values.type()),
        numChannel(values.intValue("NUM_CHANNEL")),
        length(values.intValue("LENGTH")) {}
  virtual ~PyNode() = default;

  int bins() const { return binsFromLength(length); }

  /// Parameter `index` as a Python int or float.
  py::object parameter(std::size_t index) const {
    if (values.spec(index).type == HostType::Int) return py::int_(values.intValue(index));
    return py::float_(values.floatValue(index));
  }

  std::string repr() {
    const long done = exclusively(lock, [&] { return frames; });
    std::ostringstream s;
    s << type.name << "(";
    for (std::size_t i = 0; i < values.size(); ++i)
      s << (i ? ", " : "") << pythonKeyword(values.spec(i)) << "=" << values.text(i);
    s << ") [" << done << " frames processed]";
    return s.str();
  }
  std::vector<std::string> diagnosticsCopy() {
    return exclusively(lock, [&] { return diagnostics; });
  }
  void clearDiagnostics() {
    exclusively(lock, [&] { diagnostics.clear(); });
  }

  const ParameterValues values;
  const NodeType& type;
  const int numChannel;
  const int length;

 protected:
  /// An app::NodeError "<Type>: <detail>", raised in Python as NodeError.
  [[noreturn]] void refuse(const std::string& detail) const {
    throw app::NodeError(nodeRefusal(type, "", detail));
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
    refuse(frameShapeRefusal(port, rows, cols, numChannel, bins()));
  }

  void addLines(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) diagnostics.push_back(line);
  }

  std::mutex lock;
  long frames = 0;
  std::vector<std::string> diagnostics;
};

class PyMultiRobustPCA : public PyNode {
 public:
  PyMultiRobustPCA(const ParameterValues& values, const py::object& seed)
      : PyNode(values), separation(construct(seed)) {}

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

 private:
  SparseSeparation construct(const py::object& seed) {
    const SeparationSettings settings =
        refusing([&] { return SeparationSettings::fromParameters(values); });
    const bool seeded = !seed.is_none();
    const unsigned value = seeded ? seed.cast<unsigned>() : 0u;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> draws(app::randomDrawLock());
    if (seeded) std::srand(value);
    return SparseSeparation(settings);
  }

  // One frame, lock held. A refused frame does not use up its count.
  void step(const cfloat* spec, float* out) {
    refusing([&] { separation.checkFrame(spec); });
    const SeparationSummary summary = separation.process(spec, frames == 0, out, nullptr);
    notConvergedCount += summary.notConverged;
    for (int i = 0; i < summary.notConverged; ++i) diagnostics.push_back("not converged");
    ++frames;
  }

  SparseSeparation separation;
  long notConvergedCount = 0;
};

// MedianIntegrator, PoissonGammaIntegrator and SparseMaskIntegrator: (spec, sparse) in, one
// spectrum row out, through the node type's integration core.
class PyIntegrator : public PyNode {
 public:
  explicit PyIntegrator(const ParameterValues& values)
      : PyNode(values), core(refusing([&] { return makeIntegration(values); })) {}

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

 private:
  // One frame, lock held; a refused frame changes nothing.
  void step(const cfloat* spec, const float* sparse, cfloat* out) {
    refusing([&] { core->checkInputs(sparse, spec); });
    std::ostringstream lines;
    refusing([&] { core->process(sparse, spec, out, &lines); });
    addLines(lines.str());
    ++frames;
  }

  std::unique_ptr<Integration> core;
};

// One Python class per integrator node type.
template <const NodeType& T>
class PyIntegratorOf : public PyIntegrator {
 public:
  static constexpr const NodeType& kType = T;
  using PyIntegrator::PyIntegrator;
};

// ------------------------------------------------------------------------------------------------
// Binding a node class from its table.

/// The C++ type of parameter I of T: int or float.
template <const NodeType& T, std::size_t I>
using HostValue = std::conditional_t<T.parameters[I].type == HostType::Int, int, float>;

/// Parameter I of T as a keyword argument: required if the signal fixes it, else defaulting to
/// its typical value.
template <const NodeType& T, std::size_t I>
auto keywordArgument() {
  constexpr const ParameterSpec& p = T.parameters[I];
  if constexpr (p.fromSignal)
    return py::arg(keywordOf(p));
  else if constexpr (p.type == HostType::Int)
    return py::arg_v(keywordOf(p), p.typicalInt());
  else
    return py::arg_v(keywordOf(p), p.typicalFloat());
}

template <class... Extra>
struct ExtraArguments {};

/// Defines `cls`'s constructor: one keyword-only argument per parameter of T, in the table's
/// order, then `extra` (of C++ types Extra...), all passed on to Node(values, extra...).
template <class Node, const NodeType& T, class Class, class... Extra, std::size_t... I,
          class... ExtraArgs>
void defineConstructor(Class& cls, ExtraArguments<Extra...>, std::index_sequence<I...>,
                       ExtraArgs&&... extra) {
  cls.def(py::init([](HostValue<T, I>... parameters, Extra... more) {
            ParameterValues values(T);
            (values.set(I, parameters), ...);
            return new Node(values, more...);
          }),
          py::kw_only(), keywordArgument<T, I>()..., std::forward<ExtraArgs>(extra)...);
}

/// "keyword (NAME, int, required): meaning; it must ..." for each parameter of `type`.
std::string parameterLines(const NodeType& type) {
  std::ostringstream s;
  for (const ParameterSpec* p = type.parameters; p != type.parametersEnd(); ++p) {
    s << "\n"
      << pythonKeyword(*p) << " (" << p->name << ", "
      << (p->type == HostType::Int ? "int" : "float") << ", ";
    if (p->fromSignal)
      s << "required";
    else
      s << "default " << typicalText(*p);
    s << "): " << describeParameter(*p) << ".";
  }
  return s.str();
}

/// The class docstring: the type's summary, `about`, then one line per parameter. Kept for the
/// life of the process.
const char* classDoc(const NodeType& type, const char* about) {
  static std::vector<std::unique_ptr<std::string>> docs;
  docs.push_back(std::make_unique<std::string>(
      std::string("\n") + type.summary + "\n" + about +
      "\n\nKeyword arguments, one per node parameter:" + parameterLines(type)));
  return docs.back()->c_str();
}

/// A read-only attribute per parameter of `type`, named by its keyword.
template <class Class>
void defineParameterAttributes(Class& cls, const NodeType& type) {
  for (std::size_t i = 0; i < type.parameterCount; ++i) {
    const ParameterSpec& p = type.parameters[i];
    cls.def_property_readonly(
        keywordOf(p), [i](const PyNode& node) { return node.parameter(i); },
        (std::string(p.name) + ": " + describeParameter(p)).c_str());
  }
}

/// The table of every node type, for callers that inspect them (and for the tests).
py::list nodeTypes() {
  py::list types;
  for (const NodeType* type : kNodeTypes) {
    py::list ports, parameters;
    for (const PortSpec* p = type->ports; p != type->portsEnd(); ++p) {
      py::dict port;
      port["name"] = p->name;
      port["kind"] = p->kind == PortKind::Input ? "input" : "output";
      port["frame_type"] = frameTypeName(p->frame);
      port["meaning"] = describePort(*p);
      ports.append(port);
    }
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p) {
      auto limit = [&](const Limit& l) -> py::object {
        if (l.kind == Limit::None) return py::none();
        return py::make_tuple(l.value, l.kind == Limit::Inclusive);
      };
      const bool isInt = p->type == HostType::Int;
      py::dict parameter;
      parameter["name"] = p->name;
      parameter["keyword"] = pythonKeyword(*p);
      parameter["type"] = isInt ? "int" : "float";
      parameter["typical"] =
          isInt ? py::object(py::int_(p->typicalInt())) : py::object(py::float_(p->typicalFloat()));
      parameter["required"] = p->fromSignal;
      parameter["lower"] = limit(p->rule.lower);
      parameter["upper"] = limit(p->rule.upper);
      parameter["finite"] = p->rule.finite;
      parameter["requirement"] = p->rule.requirement;
      parameter["meaning"] = p->meaning;
      parameter["unit"] = p->unit;
      parameters.append(parameter);
    }
    py::dict entry;
    entry["name"] = type->name;
    entry["summary"] = type->summary;
    entry["ports"] = ports;
    entry["parameters"] = parameters;
    types.append(entry);
  }
  return types;
}

}  // namespace

void init_nodes(py::module_& m) {
  m.def("node_types", &nodeTypes, R"doc(The plug-in's node types as the node classes take them.

A list of dicts, one per type in registration order: name, summary, ports (name, kind, frame_type,
meaning) and parameters (name, keyword, type "int" or "float", typical, required, lower and upper
as (value, inclusive) or None, finite, requirement, meaning, unit).)doc");

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

  py::class_<PyMultiRobustPCA, PyNode> rpca(m, kMultiRobustPCAType.name,
                                            classDoc(kMultiRobustPCAType, R"doc(
The node learns from every frame it processes; state carries over between calls. The
estimators' random starting points come from the C library's rand(); seed, when given, is
passed to srand() first (seeding and drawing hold a process-wide lock) so that two nodes built
with the same seed give the same output. Raises NodeError (a ValueError) for a refused parameter
or frame.)doc"));
  defineConstructor<PyMultiRobustPCA, kMultiRobustPCAType>(
      rpca, ExtraArguments<const py::object&>{},
      std::make_index_sequence<kMultiRobustPCAType.parameterCount>{}, py::arg("seed") = py::none());
  defineParameterAttributes(rpca, kMultiRobustPCAType);
  rpca.def("process", &PyMultiRobustPCA::process, py::arg("spec"),
           "One frame: complex64 (channels, bins) spectrum -> float32 (channels, bins) sparse "
           "magnitudes.")
      .def("process_stream", &PyMultiRobustPCA::processStream, py::arg("specs"),
           "Frames in order: complex64 (frames, channels, bins) -> float32 (frames, channels, "
           "bins).")
      .def_property_readonly("not_converged", &PyMultiRobustPCA::notConverged,
                             "estimator updates so far that hit the pass cap");

  const auto integrator = [&m](auto* tag, const NodeType& type, const char* about) {
    using Class = std::remove_pointer_t<decltype(tag)>;
    py::class_<Class, PyNode> cls(m, type.name, classDoc(type, about));
    defineConstructor<Class, Class::kType>(cls, ExtraArguments<>{},
                                           std::make_index_sequence<Class::kType.parameterCount>{});
    defineParameterAttributes(cls, type);
    cls.def("process", &PyIntegrator::process, py::arg("spec"), py::arg("sparse"),
            "One frame: complex64 (channels, bins) spectrum and float32 (channels, bins) sparse "
            "magnitudes -> complex64 (bins,).")
        .def("process_stream", &PyIntegrator::processStream, py::arg("specs"), py::arg("sparses"),
             "Frames in order: (frames, channels, bins) each -> complex64 (frames, bins).");
  };
  integrator(static_cast<PyIntegratorOf<kMedianIntegratorType>*>(nullptr), kMedianIntegratorType,
             R"doc(
Stateless. Raises NodeError (a ValueError) for a refused parameter, for non-finite sparse values
or for channel-0 spectrum values whose magnitude is not finite.)doc");
  integrator(static_cast<PyIntegratorOf<kPoissonGammaIntegratorType>*>(nullptr),
             kPoissonGammaIntegratorType, R"doc(
Its two diagnostic lines a frame are collected in `diagnostics`. Raises NodeError (a ValueError)
for a refused parameter or frame.)doc");
  integrator(static_cast<PyIntegratorOf<kSparseMaskIntegratorType>*>(nullptr),
             kSparseMaskIntegratorType, R"doc(
Keeps each channel's clean estimate from frame to frame, so frames go in order. Raises NodeError
(a ValueError) for a refused parameter, for sparse values that are negative or not finite, or for
spectrum values (of any channel) whose magnitude is not finite.)doc");
}

}  // namespace nimbusdale::python
