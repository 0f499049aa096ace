// Loading toolbox libraries into the host.
#ifndef FLOWDESIGNER_TOOLBOX_H
#define FLOWDESIGNER_TOOLBOX_H

#include <string>

namespace FD {

class Toolbox {
 public:
  /// Opens the shared library at `path`, which runs its registrations. Loading the same library
  /// again is harmless. A failure throws a new GeneralException with the loader's message.
  /// Libraries stay loaded for the life of the process, since the registry holds their factories.
  static void load(const std::string& path);
};

}  // namespace FD

#endif
