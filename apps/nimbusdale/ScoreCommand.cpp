#include "ScoreCommand.h"

#include <cstdio>

#include "EnhanceFile.h"

namespace nimbusdale::app {

void addScoreOptions(CLI::App* sc, ScoreCommand& cmd) {
  sc->add_option("--reference", cmd.reference, "clean reference recording")->required();
  sc->add_option("ESTIMATE", cmd.estimate, "estimate to score")->required();
  sc->add_option("--max-lag-ms", cmd.maxLagMs, "largest alignment lag tried, ms")
      ->capture_default_str();
}

int runScore(const ScoreCommand& cmd) {
  const auto warn = [](const std::string& text) {
    std::fprintf(stderr, "nimbusdale: warning: %s\n", text.c_str());
  };
  const ScoreResult s = scoreFiles(cmd.reference, cmd.estimate, cmd.maxLagMs, warn);
  std::printf("SI-SDR %.2f dB\nSDR %.2f dB\nlag %ld samples (max %ld)\n", s.siSdr, s.sdr, s.lag,
              s.maxLag);
  return 0;
}

}  // namespace nimbusdale::app
