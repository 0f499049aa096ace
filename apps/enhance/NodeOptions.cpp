#include "NodeOptions.h"

#include <stdexcept>

namespace nimbusdale::app {
namespace {

bool frameGeometry(const ParameterSpec& p) {
  return std::string_view(p.name) == "LENGTH" || std::string_view(p.name) == "HOP";
}

bool seen(const std::vector<NodeOption>& options, const std::string& keyword) {
  for (const NodeOption& option : options)
    if (option.keyword == keyword) return true;
  return false;
}

std::vector<NodeOption> listOptions() {
  std::vector<NodeOption> options;
  for (const ChainNode& node : kChainNodes) {
    for (std::size_t i = 0; i < node.type->parameterCount; ++i) {
      const ParameterSpec& p = node.type->parameters[i];
      if (p.fromSignal) continue;
      const std::string prefix = frameGeometry(p) ? "" : node.keywordPrefix;
      NodeOption option{node.type, i, prefix + pythonKeyword(p), ""};
      if (seen(options, option.keyword)) continue;  // geometry seen before
      std::string flag = option.keyword;
      while (!flag.empty() && flag.back() == '_') flag.pop_back();
      for (char& c : flag)
        if (c == '_') c = '-';
      option.flag = "--" + flag;
      options.push_back(std::move(option));
    }
  }
  return options;
}

}  // namespace

std::string NodeOption::help() const {
  const std::string owner = frameGeometry(spec()) ? "every node" : type->name;
  return std::string(spec().name) + " of " + owner + ": " + describeParameter(spec());
}

const std::vector<NodeOption>& nodeOptions() {
  static const std::vector<NodeOption> options = listOptions();
  return options;
}

const NodeOption* findNodeOption(std::string_view keyword) {
  for (const NodeOption& option : nodeOptions())
    if (option.keyword == keyword) return &option;
  return nullptr;
}

NodeOptionValues::NodeOptionValues() {
  for (const ChainNode& node : kChainNodes) nodes.emplace_back(*node.type);
}

void NodeOptionValues::set(const NodeOption& option, double value) {
  const ParameterSpec& spec = option.spec();
  const bool geometry = frameGeometry(spec);
  for (ParameterValues& values : nodes) {
    if (&values.type() != option.type && !geometry) continue;
    const NodeType& type = values.type();
    for (std::size_t i = 0; i < type.parameterCount; ++i) {
      if (std::string_view(type.parameters[i].name) != spec.name) continue;
      if (spec.type == HostType::Int)
        values.set(i, static_cast<int>(value));
      else
        values.set(i, static_cast<float>(value));
    }
  }
}

void NodeOptionValues::set(std::string_view keyword, double value) {
  const NodeOption* option = findNodeOption(keyword);
  if (!option) throw std::logic_error("no option " + std::string(keyword));
  set(*option, value);
}

double NodeOptionValues::number(const NodeOption& option) const {
  return of(*option.type).number(option.index);
}

int NodeOptionValues::intValue(std::string_view keyword) const {
  const NodeOption* option = findNodeOption(keyword);
  if (!option) throw std::logic_error("no option " + std::string(keyword));
  return of(*option->type).intValue(option->index);
}

float NodeOptionValues::floatValue(std::string_view keyword) const {
  const NodeOption* option = findNodeOption(keyword);
  if (!option) throw std::logic_error("no option " + std::string(keyword));
  return of(*option->type).floatValue(option->index);
}

ParameterValues NodeOptionValues::forSignal(const NodeType& type, int channels,
                                            int sampleRate) const {
  ParameterValues values = of(type);
  for (std::size_t i = 0; i < type.parameterCount; ++i) {
    const std::string_view name = type.parameters[i].name;
    if (name == "NUM_CHANNEL") values.set(i, channels);
    if (name == "SAMPLING_RATE") values.set(i, sampleRate);
  }
  return values;
}

const ParameterValues& NodeOptionValues::of(const NodeType& type) const {
  for (const ParameterValues& values : nodes)
    if (&values.type() == &type) return values;
  throw std::logic_error(std::string(type.name) + " is not a node of the chain");
}

ParameterValues& NodeOptionValues::of(const NodeType& type) {
  return const_cast<ParameterValues&>(static_cast<const NodeOptionValues&>(*this).of(type));
}

}  // namespace nimbusdale::app
