// The node types the plug-in registers are exactly what their tables declare: the ports, every
// parameter as required, of its host type, and admitted as its rule says. The catalog, the tool
// and the Python module are written from the same tables, so none of them can drift from the
// nodes unnoticed.
#include <cmath>
#include <limits>

#include "nimbusdale/NodeParameters.h"
#include "nimbusdale/NodeTypes.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;
using nimbusdale::HostType;
using nimbusdale::kNodeTypes;
using nimbusdale::Limit;
using nimbusdale::NodeType;
using nimbusdale::ParameterSpec;
using nimbusdale::PortKind;

FD::ObjectRef hostValue(const ParameterSpec& p, double value) {
  return p.type == HostType::Int ? intParam(static_cast<int>(value))
                                 : floatParam(static_cast<float>(value));
}

FD::ParameterSet typicalParams(const NodeType& type) {
  FD::ParameterSet params;
  for (const ParameterSpec* p = type.parameters; p != type.parametersEnd(); ++p)
    params.add(p->name, hostValue(*p, p->typical));
  return params;
}

FD::RCPtr<FD::Node> create(const NodeType& type, const FD::ParameterSet& params) {
  loadPlugin();
  return FD::registry::createNode(type.name, "checked", params);
}

/// The refusal of `value` for parameter `p` (the other parameters typical), or "" if the node is
/// built. A refusal of another parameter (a rule relating them) counts as built.
std::string refusalOf(const NodeType& type, const ParameterSpec& p, double value) {
  FD::ParameterSet params = typicalParams(type);
  params.add(p.name, hostValue(p, value));
  try {
    create(type, params);
  } catch (FD::BaseException* e) {
    std::unique_ptr<FD::BaseException> owned(e);
    const std::string message = e->message();
    if (message.find(std::string("parameter ") + p.name + " is ") == std::string::npos) return "";
    return message;
  }
  return "";
}

std::string expectedRefusal(const NodeType& type, const ParameterSpec& p, double value) {
  const std::string detail =
      p.type == HostType::Int
          ? nimbusdale::parameterRefusal(p.name, static_cast<int>(value), p.rule.requirement)
          : nimbusdale::parameterRefusal(p.name, static_cast<float>(value), p.rule.requirement);
  return std::string(type.name) + " 'checked': " + detail;
}

TEST(NodeTypes, ThePluginRegistersTheTablesTypesInOrder) {
  loadPlugin();
  const auto registered = FD::registry::nodeTypes();
  ASSERT_EQ(registered.size(), std::size(kNodeTypes));
  for (size_t i = 0; i < registered.size(); ++i) EXPECT_EQ(registered[i].name, kNodeTypes[i]->name);
}

TEST(NodeTypes, TypicalValuesBuildANodeWithTheTablesPorts) {
  for (const NodeType* type : kNodeTypes) {
    SCOPED_TRACE(type->name);
    FD::RCPtr<FD::Node> node = create(*type, typicalParams(*type));
    std::vector<std::string> inputs, outputs, declaredInputs;
    for (const auto* port = type->ports; port != type->portsEnd(); ++port)
      (port->kind == PortKind::Input ? inputs : outputs).push_back(port->name);
    for (const FD::NodeInput& input : node->getInputs()) declaredInputs.push_back(input.name);
    EXPECT_EQ(declaredInputs, inputs);
    EXPECT_EQ(node->getOutputNames(), outputs);
  }
}

TEST(NodeTypes, EveryParameterIsRequiredAndOfItsHostType) {
  for (const NodeType* type : kNodeTypes) {
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p) {
      SCOPED_TRACE(std::string(type->name) + " " + p->name);
      FD::ParameterSet params = typicalParams(*type);
      params.erase(p->name);
      const std::string missing =
          hostErrorMessage<FD::GeneralException>([&] { create(*type, params); });
      EXPECT_NE(missing.find(std::string("Missing parameter: ") + p->name), std::string::npos)
          << missing;

      params = typicalParams(*type);
      if (p->type == HostType::Int) {
        params.add(p->name, floatParam(p->typicalFloat()));
        EXPECT_TRUE(expectHostError<FD::CastException<int>>([&] { create(*type, params); }));
      } else {
        params.add(p->name, intParam(p->typicalInt()));
        EXPECT_TRUE(expectHostError<FD::CastException<float>>([&] { create(*type, params); }));
      }
    }
  }
}

// Each limit, inclusive or not, and each finiteness flag of every rule, through the nodes.
TEST(NodeTypes, EveryNodeAdmitsWhatItsRulesAdmit) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const NodeType* type : kNodeTypes) {
    for (const ParameterSpec* p = type->parameters; p != type->parametersEnd(); ++p) {
      SCOPED_TRACE(std::string(type->name) + " " + p->name);
      const bool isInt = p->type == HostType::Int;
      const nimbusdale::ParameterRule& rule = p->rule;
      // A value just outside a limit, in the host type.
      auto beyond = [&](double limit, double direction) {
        return isInt ? limit + direction
                     : double(std::nextafter(float(limit), float(direction * inf)));
      };
      auto refused = [&](double value) {
        const std::string message = refusalOf(*type, *p, value);
        if (rule.relatesParameters)  // completed by the node with the other parameters' values
          EXPECT_EQ(message.rfind(expectedRefusal(*type, *p, value), 0), 0u) << message;
        else
          EXPECT_EQ(message, expectedRefusal(*type, *p, value));
      };
      auto admitted = [&](double value) { EXPECT_EQ(refusalOf(*type, *p, value), "") << value; };

      admitted(p->typical);
      if (rule.lower.kind == Limit::Inclusive) admitted(rule.lower.value);
      if (rule.upper.kind == Limit::Inclusive) admitted(rule.upper.value);
      if (rule.lower.kind != Limit::None) {
        refused(beyond(rule.lower.value, -1));
        if (rule.lower.kind == Limit::Exclusive) refused(rule.lower.value);
      }
      if (rule.upper.kind != Limit::None) {
        refused(beyond(rule.upper.value, 1));
        if (rule.upper.kind == Limit::Exclusive) refused(rule.upper.value);
      }
      if (isInt) continue;
      refused(std::nan(""));
      if (rule.finite || rule.upper.kind != Limit::None) refused(inf);
      if (rule.finite || rule.lower.kind != Limit::None) refused(-inf);
      if (rule.finiteReciprocal) {
        refused(1e-40f);  // positive and finite, but 1 / 1e-40 overflows
        admitted(std::numeric_limits<float>::min());
      }
    }
  }
}

}  // namespace
