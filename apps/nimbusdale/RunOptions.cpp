#include "RunOptions.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "NodeOptions.h"
#include "nimbusdale/NodeTypes.h"

namespace nimbusdale::app {

const CLI::Validator kNonEmptyPath(
    [](const std::string& value) {
      return value.empty() ? std::string("give a file path, not an empty one") : std::string();
    },
    "PATH");

void addEnhanceOptions(CLI::App* cmd, EnhanceOptions& o, bool toolbox) {
  std::vector<std::string> names;
  std::string help = "integrator node:";
  for (const nimbusdale::IntegratorName& entry : nimbusdale::kIntegrators) {
    names.push_back(entry.name);
    help +=
        std::string(names.size() > 1 ? "," : "") + " " + entry.name + " (" + entry.type->name + ")";
  }
  cmd->add_option_function<std::string>(
         "--integrator",
         [&o](const std::string& name) { o.integrator = app::integratorNamed(name); }, help)
      ->check(CLI::IsMember(names))
      ->default_str(o.integratorName());
  for (const app::NodeOption& option : app::nodeOptions()) {
    const bool isInt = option.spec().type == nimbusdale::HostType::Int;
    CLI::Option* flag =
        isInt ? cmd->add_option_function<int>(
                    option.flag, [&o, &option](const int& v) { o.nodes.set(option, v); },
                    option.help())
              : cmd->add_option_function<float>(
                    option.flag, [&o, &option](const float& v) { o.nodes.set(option, v); },
                    option.help());
    flag->default_str(nimbusdale::typicalText(option.spec()));
  }
  cmd->add_option("--threads", o.threads,
                  "threads (0: up to OpenMP's default, one where more would be slower)")
      ->capture_default_str();
  cmd->add_option("--seed", o.seed, "seed of the estimators' random starting points")
      ->capture_default_str();
  if (toolbox)
    cmd->add_option("--toolbox", o.toolbox,
                    "plug-in library to load and drive as a host does (default: the nodes' cores "
                    "linked into the tool, the same samples)")
        ->check(kNonEmptyPath);
}

std::string toolboxFile(const std::string& option) {
  const bool bare = option.find('/') == std::string::npos;
  const std::string path = bare ? "./" + option : option;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    throw std::runtime_error("cannot load toolbox " + option + ": " + std::strerror(errno) +
                             (bare ? " (a name without a folder means " + path + ")" : ""));
  if (!S_ISREG(st.st_mode))
    throw std::runtime_error("cannot load toolbox " + option + ": not a file");
  return path;
}

}  // namespace nimbusdale::app
