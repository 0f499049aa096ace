// First registration the host sees when it loads the toolbox.
#include "Object.h"
#include "nimbusdale/Version.h"

namespace {

const int moduleVersionRegistered =
    FD::Object::setModuleVersion("NIMBUSDALE", "8895", NIMBUSDALE_VERSION);

}  // namespace
