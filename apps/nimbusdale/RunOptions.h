// Options more than one command takes: the integrator and node options, the plug-in library and
// paths that must not be empty.
#ifndef NIMBUSDALE_APPS_RUNOPTIONS_H
#define NIMBUSDALE_APPS_RUNOPTIONS_H

#include <CLI/CLI.hpp>
#include <string>

#include "Enhancer.h"

namespace nimbusdale::app {

/// Refuses an empty value of an option that names a file, rather than taking it as "not given".
extern const CLI::Validator kNonEmptyPath;

/// The options shared by `enhance`, `live` and `batch`, stored into `o`: the integrator, one per
/// node parameter in the option table (its help the parameter's meaning, unit and rule in the
/// node tables), threads and seed; `toolbox`: --toolbox too (`live` and `batch` run the linked
/// cores and go without it).
void addEnhanceOptions(CLI::App* cmd, EnhanceOptions& o, bool toolbox = true);

/// The plug-in library --toolbox names, as a path to load: a bare name is a file in the current
/// folder, never a search of the loader's library path. Throws std::runtime_error naming the
/// option's value when the file is missing or not a file.
std::string toolboxFile(const std::string& option);

}  // namespace nimbusdale::app

#endif
