// `nimbusdale score`: SI-SDR and SDR of an estimate against a clean reference.
#ifndef NIMBUSDALE_APPS_SCORECOMMAND_H
#define NIMBUSDALE_APPS_SCORECOMMAND_H

#include <CLI/CLI.hpp>
#include <string>

namespace nimbusdale::app {

struct ScoreCommand {
  std::string reference, estimate;
  double maxLagMs = 50.0;
};

/// The options of `score`, stored into `cmd`.
void addScoreOptions(CLI::App* app, ScoreCommand& cmd);

/// Scores as `batch` does (scoreFiles) and prints the scores and the lag on standard output.
/// Returns 0; throws std::runtime_error as scoreFiles does.
int runScore(const ScoreCommand& cmd);

}  // namespace nimbusdale::app

#endif
