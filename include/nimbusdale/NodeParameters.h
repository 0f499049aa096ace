// Parameter values and frame values checked against the node tables (NodeTypes.h), free of host
// types: the plug-in's nodes, the tool's linked cores and the Python module refuse the same
// values in the same words.
#ifndef NIMBUSDALE_NODE_PARAMETERS_H
#define NIMBUSDALE_NODE_PARAMETERS_H

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/SpectrumMagnitude.h"

namespace nimbusdale {

/// Whether `value` (an int or float parameter value, exact as a double) meets `rule`'s limits,
/// finiteness and reciprocal. Rules relating parameters are only checked for their own part.
inline bool admits(const ParameterRule& rule, double value) {
  if (rule.finite && !std::isfinite(value)) return false;
  if (rule.lower.kind == Limit::Inclusive && !(value >= rule.lower.value)) return false;
  if (rule.lower.kind == Limit::Exclusive && !(value > rule.lower.value)) return false;
  if (rule.upper.kind == Limit::Inclusive && !(value <= rule.upper.value)) return false;
  if (rule.upper.kind == Limit::Exclusive && !(value < rule.upper.value)) return false;
  if (rule.finiteReciprocal && !std::isfinite(1.0f / static_cast<float>(value))) return false;
  return true;
}

/// Whether a string parameter value meets `rule`: not empty and, if the rule has choices, one of
/// them.
inline bool admits(const ParameterRule& rule, std::string_view value) {
  if (value.empty()) return false;
  if (!rule.choices) return true;
  std::string_view words = rule.choices;
  while (!words.empty()) {
    const std::size_t space = words.find(' ');
    if (words.substr(0, space) == value) return true;
    words = space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
  }
  return false;
}

/// "parameter NAME is VALUE; it must REQUIREMENT", the value printed as the host holds it.
template <class V>
std::string parameterRefusal(std::string_view name, V value, std::string_view requirement) {
  std::ostringstream text;
  text << "parameter " << name << " is " << value << "; it must " << requirement;
  return text.str();
}

/// A node's refusal as every caller words it: "<Type> '<node name>': <detail>", or
/// "<Type>: <detail>" for a node without a name.
inline std::string nodeRefusal(const NodeType& type, std::string_view nodeName,
                               std::string_view detail) {
  std::string text = type.name;
  if (!nodeName.empty()) text += " '" + std::string(nodeName) + "'";
  return text + ": " + std::string(detail);
}

/// One value for each parameter of a node type, held as its host type, in the table's order.
class ParameterValues {
 public:
  /// Every parameter at its typical value.
  explicit ParameterValues(const NodeType& type) : nodeType(&type), values(type.parameterCount) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const ParameterSpec& p = type.parameters[i];
      if (p.type == HostType::Int)
        values[i].i = p.typicalInt();
      else if (p.type == HostType::Float)
        values[i].f = p.typicalFloat();
      else
        values[i].s = p.typicalString;
    }
  }

  const NodeType& type() const { return *nodeType; }
  std::size_t size() const { return values.size(); }
  const ParameterSpec& spec(std::size_t index) const { return nodeType->parameters[index]; }

  /// Sets parameter `index` (or `name`); std::logic_error if it is not of that host type.
  void set(std::size_t index, int value) { slot(index, HostType::Int).i = value; }
  void set(std::size_t index, float value) { slot(index, HostType::Float).f = value; }
  void set(std::size_t index, std::string value) {
    slot(index, HostType::String).s = std::move(value);
  }
  void set(std::string_view name, int value) { set(nodeType->parameterIndex(name), value); }
  void set(std::string_view name, float value) { set(nodeType->parameterIndex(name), value); }
  void set(std::string_view name, std::string value) {
    set(nodeType->parameterIndex(name), std::move(value));
  }

  int intValue(std::size_t index) const { return slot(index, HostType::Int).i; }
  float floatValue(std::size_t index) const { return slot(index, HostType::Float).f; }
  int intValue(std::string_view name) const { return intValue(nodeType->parameterIndex(name)); }
  float floatValue(std::string_view name) const {
    return floatValue(nodeType->parameterIndex(name));
  }
  const std::string& stringValue(std::size_t index) const {
    return slot(index, HostType::String).s;
  }
  const std::string& stringValue(std::string_view name) const {
    return stringValue(nodeType->parameterIndex(name));
  }

  /// A number's value as a double, exact for both host types (NaN for a string).
  double number(std::size_t index) const {
    switch (spec(index).type) {
      case HostType::Int:
        return double(values[index].i);
      case HostType::Float:
        return double(values[index].f);
      case HostType::String:
        break;
    }
    return std::nan("");
  }
  /// The value as the messages show it; a string in double quotes.
  std::string text(std::size_t index) const {
    std::ostringstream s;
    if (spec(index).type == HostType::Int)
      s << values[index].i;
    else if (spec(index).type == HostType::Float)
      s << values[index].f;
    else
      s << '"' << values[index].s << '"';
    return s.str();
  }

  /// The refusal of the first parameter, in the table's order, whose own rule does not admit
  /// its value, or "" if there is none. Rules relating parameters are left to the node's code.
  std::string firstRefusal() const {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const ParameterRule& rule = spec(i).rule;
      const bool admitted = spec(i).type == HostType::String
                                ? admits(rule, std::string_view(values[i].s))
                                : admits(rule, number(i));
      if (rule.relatesParameters || admitted) continue;
      return parameterRefusal(spec(i).name, text(i), rule.requirement);
    }
    return "";
  }

  /// @throws std::invalid_argument firstRefusal(), if there is a refusal.
  void check() const {
    const std::string refusal = firstRefusal();
    if (!refusal.empty()) throw std::invalid_argument(refusal);
  }

 private:
  struct Value {
    int i = 0;
    float f = 0.0f;
    std::string s;
  };
  const Value& slot(std::size_t index, HostType type) const {
    if (index >= values.size()) throw std::logic_error("parameter index out of range");
    if (spec(index).type != type)
      throw std::logic_error(std::string("parameter ") + spec(index).name + " of " +
                             nodeType->name + " is of host type " + hostTypeName(spec(index).type));
    return values[index];
  }
  Value& slot(std::size_t index, HostType type) {
    return const_cast<Value&>(static_cast<const ParameterValues&>(*this).slot(index, type));
  }

  const NodeType* nodeType;
  std::vector<Value> values;
};

/// Whether one frame value meets a port's requirement.
inline bool admitsValue(FrameValues rule, float v) {
  switch (rule) {
    case FrameValues::Any:
      return true;
    case FrameValues::FiniteNonNegative:
      return v >= 0.0f && std::isfinite(v);  // -0 is admitted, NaN is not
    case FrameValues::Finite:
    case FrameValues::FiniteMagnitude:
      return std::isfinite(v);
  }
  return false;
}
inline bool admitsValue(FrameValues rule, std::complex<float> v) {
  switch (rule) {
    case FrameValues::Any:
      return true;
    case FrameValues::Finite:
      return std::isfinite(v.real()) && std::isfinite(v.imag());
    case FrameValues::FiniteMagnitude:
      return std::isfinite(spectrumMagnitude(v));
    case FrameValues::FiniteNonNegative:
      break;
  }
  throw std::logic_error("a spectrum has no sign");
}

/// Whether each of `count` floats is at most `limit` in size (NaN is not). Branch-free, so the
/// compiler vectorises it; 32-bit counts over chunks keep the sweep in full-width vectors.
inline bool allWithin(const float* values, long count, float limit) {
  constexpr long kChunk = 1L << 20;
  for (long start = 0; start < count; start += kChunk) {
    const long end = std::min(count, start + kChunk);
    int outside = 0;
    for (long i = start; i < end; ++i) outside += !(std::fabs(values[i]) <= limit);
    if (outside) return false;
  }
  return true;
}

/// Whether each of `count` floats is at most FLT_MAX / 2 in size: a complex value of two such
/// parts has a finite magnitude.
inline bool allModerate(const float* values, long count) {
  return allWithin(values, count, FLT_MAX / 2);
}

/// Index, in a row-major channels x bins frame, of the first value `port` does not admit (only
/// channel 0 for a port that reads only it), or -1 if every value is admitted.
template <class T>
long firstRefusedValue(const PortSpec& port, const T* frame, int channels, int bins) {
  if (port.values == FrameValues::Any) return -1;
  const long rows = port.channelZeroOnly ? (channels > 0 ? 1 : 0) : channels;
  const long count = rows * static_cast<long>(bins);
  // A spectrum of moderate parts has finite parts and magnitudes; only a frame that fails this
  // quick sweep is looked at value by value.
  if constexpr (std::is_same_v<T, std::complex<float>>)
    if (port.values != FrameValues::FiniteNonNegative &&
        allModerate(reinterpret_cast<const float*>(frame), 2 * count))
      return -1;
  for (long i = 0; i < count; ++i)
    if (!admitsValue(port.values, frame[i])) return i;
  return -1;
}

/// "input P holds V at channel c, bin f; <the port's value requirement>".
template <class T>
std::string valueRefusal(const PortSpec& port, T value, long index, int bins) {
  std::ostringstream text;
  text << "input " << port.name << " holds " << value << " at channel " << index / bins << ", bin "
       << index % bins << "; " << port.valueRequirement;
  return text.str();
}

/// @throws std::invalid_argument valueRefusal() for the first value `port` does not admit.
template <class T>
void checkFrameValues(const PortSpec& port, const T* frame, int channels, int bins) {
  const long bad = firstRefusedValue(port, frame, channels, bins);
  if (bad >= 0) throw std::invalid_argument(valueRefusal(port, frame[bad], bad, bins));
}

/// "input P frame is R x C; expected NUM_CHANNEL x bins = r x c".
inline std::string frameShapeRefusal(std::string_view port, long rows, long cols, long expectedRows,
                                     long expectedCols) {
  std::ostringstream text;
  text << "input " << port << " frame is " << rows << " x " << cols
       << "; expected NUM_CHANNEL x bins = " << expectedRows << " x " << expectedCols;
  return text.str();
}

/// The Python keyword of a parameter: its own, else its name in lower case.
inline std::string pythonKeyword(const ParameterSpec& p) {
  if (p.keyword) return p.keyword;
  std::string keyword = p.name;
  for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return keyword;
}

/// A parameter's typical value as the host type prints it (a string as it is).
inline std::string typicalText(const ParameterSpec& p) {
  std::ostringstream s;
  if (p.type == HostType::Int)
    s << p.typicalInt();
  else if (p.type == HostType::Float)
    s << p.typicalFloat();
  else
    s << p.typicalString;
  return s.str();
}

/// "<meaning> [<unit>]; it must <requirement>", as the catalog and the docstrings show it.
inline std::string describeParameter(const ParameterSpec& p) {
  std::string text = p.meaning;
  if (*p.unit) text += std::string(" [") + p.unit + "]";
  return text + "; it must " + p.rule.requirement;
}

/// "<meaning>; <value requirement>", or the meaning alone for a port that takes any value.
inline std::string describePort(const PortSpec& p) {
  std::string text = p.meaning;
  if (p.values != FrameValues::Any) text += std::string("; ") + p.valueRequirement;
  return text;
}

}  // namespace nimbusdale

#endif
