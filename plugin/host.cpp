#include "host.h"

namespace nimbusdale {

void failNode(const FD::Node& node, const char* typeName, const std::string& detail) {
  throw new FD::NodeException(&node, std::string(typeName) + " '" + node.getName() + "': " + detail,
                              __FILE__, __LINE__);
}

}  // namespace nimbusdale
