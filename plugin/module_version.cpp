// First registration the host sees when it loads the toolbox: the module version record. The
// host's entry point is a weak reference, checked here: FlowDesigner 0.10 has no version
// registry, and there the toolbox loads without a record instead of failing on an undefined
// symbol.
#include <string>

#include "nimbusdale/Version.h"

// FD::Object::setModuleVersion(std::string, std::string, std::string), a static member function,
// by its linkage name: it cannot be declared through the host's own header where the host
// lacks it.
extern int hostSetModuleVersion(std::string module, std::string build, std::string version) __asm__(
    "_ZN2FD6Object16setModuleVersionENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_S6_")
    __attribute__((weak, visibility("default")));

namespace {

int registerModuleVersion() {
  if (!hostSetModuleVersion) return -1;
  return hostSetModuleVersion("NIMBUSDALE", "8895", NIMBUSDALE_VERSION);
}

const int moduleVersionRegistered = registerModuleVersion();

}  // namespace
