// First registration the host sees when it loads the toolbox.
#include "Object.h"

namespace {

const int moduleVersionRegistered = FD::Object::setModuleVersion("NIMBUSDALE", "8895", "2.5.0");

}  // namespace
