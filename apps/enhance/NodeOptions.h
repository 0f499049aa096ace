// The node parameters an enhancement run takes as options, generated from the node tables: the
// tool's flags, the Python keywords and a batch run's identity all come from here, so a new
// parameter in a table is a new option everywhere.
#ifndef NIMBUSDALE_APPS_NODE_OPTIONS_H
#define NIMBUSDALE_APPS_NODE_OPTIONS_H

#include <string>
#include <string_view>
#include <vector>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale::app {

/// A node type of a run's chain whose settings are options of the run. `keywordPrefix` keeps
/// apart parameters of the same name in two types (GLOBAL_SCALE).
struct ChainNode {
  const NodeType* type;
  const char* keywordPrefix;
};

/// The chain's node types in the order their options are listed. The frame geometry (LENGTH,
/// HOP) comes first, from the synthesis's table, and is one option for every node that has it.
inline constexpr ChainNode kChainNodes[] = {
    {&kOverlapAddSynthesisType, ""},       {&kMultiRobustPCAType, ""},
    {&kSparseMaskIntegratorType, ""},      {&kMedianIntegratorType, ""},
    {&kPoissonGammaIntegratorType, "pg_"},
};

/// One node parameter as an option of a run.
struct NodeOption {
  const NodeType* type;  ///< the table that describes it (the first chain node that has it)
  std::size_t index;     ///< in that table
  std::string keyword;   ///< Python keyword: the prefix and the parameter's keyword
  std::string flag;      ///< the tool's flag: "--" and the keyword, "-" for "_", no trailing "_"

  const ParameterSpec& spec() const { return type->parameters[index]; }
  /// "NAME of Type: meaning [unit]; it must requirement".
  std::string help() const;
};

/// Every option, in the order of kChainNodes and of each table; parameters fixed by the signal
/// (channels, sample rate) are not options.
const std::vector<NodeOption>& nodeOptions();
/// The option with Python keyword `keyword`; nullptr if there is none.
const NodeOption* findNodeOption(std::string_view keyword);

/// A value for every option, held as the chain's nodes receive it.
class NodeOptionValues {
 public:
  /// Every option at its typical value in the node tables.
  NodeOptionValues();

  /// Sets `option` (to an int or float value as its host type holds it) in every chain node
  /// that has it. Unchecked: the nodes refuse what they cannot take.
  void set(const NodeOption& option, double value);
  /// The same by keyword; std::logic_error for a keyword that is no option.
  void set(std::string_view keyword, double value);

  int intValue(std::string_view keyword) const;
  float floatValue(std::string_view keyword) const;
  /// An option's value as a double, exact for both host types.
  double number(const NodeOption& option) const;

  /// The parameters of chain node `type` for a `channels`-channel signal at `sampleRate` Hz.
  ParameterValues forSignal(const NodeType& type, int channels, int sampleRate) const;
  /// The options' values in node `type` (its signal parameters at their typical values).
  const ParameterValues& of(const NodeType& type) const;

 private:
  ParameterValues& of(const NodeType& type);
  std::vector<ParameterValues> nodes;  // one per kChainNodes entry
};

}  // namespace nimbusdale::app

#endif
