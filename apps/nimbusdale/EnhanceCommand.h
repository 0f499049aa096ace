// `nimbusdale enhance`: one recording (a file, a pipe or raw samples) into one mono output.
#ifndef NIMBUSDALE_APPS_ENHANCECOMMAND_H
#define NIMBUSDALE_APPS_ENHANCECOMMAND_H

#include <CLI/CLI.hpp>
#include <string>

#include "Enhancer.h"

namespace nimbusdale::app {

struct EnhanceCommand {
  std::string input, output, diagnostics, spectrogram, format = "float";
  std::string raw, outputFormat = "auto";
  int rawChannels = 0, rawRate = 0;
  bool quiet = false;
  EnhanceOptions options;
};

/// Every option of `enhance`, the integrator and node options among them, stored into `cmd`.
void addEnhanceCommandOptions(CLI::App* app, EnhanceCommand& cmd);

/// Runs the enhancement, with a progress line on a terminal and a summary unless quiet, and
/// returns 0. Throws std::runtime_error (or what the pipeline throws) naming the problem; no
/// output is left behind then. A signal ends the process as the output files' cleanup does:
/// their temporary files are removed and the process dies of that signal.
int runEnhance(const EnhanceCommand& cmd);

}  // namespace nimbusdale::app

#endif
