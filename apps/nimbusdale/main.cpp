// nimbusdale: enhance multichannel recordings with the plug-in's nodes, list the plug-in's node
// types, and score an estimate against a clean reference.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include <flowdesigner/Registry.h>

#include "../enhance/Enhancer.h"
#include "../enhance/NodeCatalog.h"
#include "../enhance/Score.h"
#include "AudioFile.h"
#include "Spectrogram.h"

namespace app = nimbusdale::app;

namespace {

std::vector<float> channelZero(const app::Audio& a) {
  std::vector<float> x(static_cast<size_t>(a.frames()));
  for (long n = 0; n < a.frames(); ++n)
    x[static_cast<size_t>(n)] = a.samples[static_cast<size_t>(n * a.channels)];
  return x;
}

struct EnhanceCommand {
  std::string input, output, diagnostics, spectrogram, format = "float";
  bool quiet = false;
  app::EnhanceOptions options;
};

struct ScoreCommand {
  std::string reference, estimate;
  double maxLagMs = 50.0;
};

// Progress on stderr: frames done, total, speed as a multiple of real time.
class ProgressBar {
 public:
  ProgressBar(bool enabled, double secondsPerFrame)
      : enabled(enabled), secondsPerFrame(secondsPerFrame), start(Clock::now()) {}
  void operator()(long done, long total) {
    if (!enabled) return;
    const auto now = Clock::now();
    if (done != total && now - lastDraw < std::chrono::milliseconds(100)) return;
    lastDraw = now;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double speed = elapsed > 0 ? done * secondsPerFrame / elapsed : 0.0;
    const int width = 30;
    const int filled = total ? static_cast<int>(width * done / total) : width;
    std::fprintf(stderr, "\r[%s%s] %ld/%ld frames, %.1fx real time",
                 std::string(filled, '#').c_str(), std::string(width - filled, '.').c_str(), done,
                 total, speed);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled;
  double secondsPerFrame;
  Clock::time_point start, lastDraw{};
};

int runEnhance(const EnhanceCommand& cmd) {
  cmd.options.validate();
  const app::SampleFormat format =
      cmd.format == "pcm16" ? app::SampleFormat::Pcm16 : app::SampleFormat::Float;
  app::checkWritable(cmd.output, 1, format);
  if (!cmd.spectrogram.empty() && cmd.spectrogram.find('/') != std::string::npos &&
      access(cmd.spectrogram.substr(0, cmd.spectrogram.find_last_of('/') + 1).c_str(), W_OK) != 0)
    throw std::runtime_error("cannot write spectrogram " + cmd.spectrogram +
                             ": its folder is missing or read-only");
  const app::Audio in = app::readAudio(cmd.input);

  std::unique_ptr<std::ofstream> diagnostics;
  if (!cmd.diagnostics.empty()) {
    diagnostics = std::make_unique<std::ofstream>(cmd.diagnostics);
    if (!*diagnostics) throw std::runtime_error("cannot write diagnostics to " + cmd.diagnostics);
  }
  ProgressBar progress(!cmd.quiet && isatty(STDERR_FILENO),
                       double(cmd.options.hop) / in.sampleRate);
  app::EnhanceStats stats;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<float> out =
      app::enhance(in.samples.data(), in.frames(), in.channels, in.sampleRate, cmd.options, &stats,
                   diagnostics.get(), std::ref(progress));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const long clipped = app::writeAudio(cmd.output, out, 1, in.sampleRate, format);
  if (!cmd.spectrogram.empty()) {
    app::writeSpectrogramPng(cmd.spectrogram,
                             {{"input channel 0", channelZero(in)}, {"enhanced output", out}},
                             in.sampleRate, {cmd.options.length, cmd.options.hop});
  }

  if (!cmd.quiet) {
    const double audioSeconds = double(in.frames()) / in.sampleRate;
    std::fprintf(stderr,
                 "nimbusdale: %ld frames of %d channels (%.2f s of audio) in %.2f s, %.1fx real "
                 "time\n",
                 stats.frames, in.channels, audioSeconds, elapsed,
                 elapsed > 0 ? audioSeconds / elapsed : 0.0);
    std::fprintf(stderr,
                 "nimbusdale: %ld of %ld estimator updates did not converge; the nodes wrote %ld "
                 "diagnostic lines%s\n",
                 stats.notConverged, stats.estimatorUpdates, stats.diagnosticLines,
                 cmd.diagnostics.empty() ? " (keep them with --diagnostics FILE)"
                                         : (" to " + cmd.diagnostics).c_str());
  }
  if (clipped > 0)
    std::fprintf(stderr, "nimbusdale: %ld samples lay outside [-1, 1]%s\n", clipped,
                 format == app::SampleFormat::Pcm16 ? " and were clipped" : "");
  return 0;
}

int runInfo(const std::string& toolboxOption) {
  const std::string toolbox = toolboxOption.empty() ? app::defaultToolboxPath() : toolboxOption;
  app::loadToolbox(toolbox);
  std::cout << "toolbox " << toolbox << "\n";
  for (const auto& v : FD::registry::moduleVersions())
    std::cout << "module " << v.module << " version " << v.version << " build " << v.build << "\n";
  std::vector<app::NodeEntry> catalog;
  try {
    catalog = app::readNodeCatalog(toolbox);
  } catch (const std::runtime_error& e) {
    std::cerr << "nimbusdale: " << e.what() << "; ports and parameters not shown\n";
  }
  for (const auto& type : FD::registry::nodeTypes()) {
    std::cout << "node " << type.name << "\n";
    for (const auto& entry : catalog) {
      if (entry.type != type.name) continue;
      for (const auto& p : entry.inputs)
        std::cout << "  input     " << p.name << " : " << p.frameType << " - " << p.meaning << "\n";
      for (const auto& p : entry.outputs)
        std::cout << "  output    " << p.name << " : " << p.frameType << " - " << p.meaning << "\n";
      for (const auto& p : entry.parameters)
        std::cout << "  parameter " << p.name << " : " << p.type << " (e.g. " << p.typical << ") - "
                  << p.meaning << "\n";
    }
  }
  return 0;
}

int runScore(const ScoreCommand& cmd) {
  const app::Audio ref = app::readAudio(cmd.reference);
  const app::Audio est = app::readAudio(cmd.estimate);
  if (ref.sampleRate != est.sampleRate)
    throw std::runtime_error("sample rates differ: " + std::to_string(ref.sampleRate) + " Hz and " +
                             std::to_string(est.sampleRate) + " Hz");
  const std::vector<float> r = channelZero(ref), e = channelZero(est);
  const long maxLag = static_cast<long>(cmd.maxLagMs * 1e-3 * ref.sampleRate);
  const app::ScoreResult s = app::score(r.data(), static_cast<long>(r.size()), e.data(),
                                        static_cast<long>(e.size()), maxLag);
  std::printf("SI-SDR %.2f dB\nSDR %.2f dB\nlag %ld samples (max %ld)\n", s.siSdr, s.sdr, s.lag,
              maxLag);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"nimbusdale: robust-PCA enhancement of multichannel recordings"};
  cli.require_subcommand(1);

  EnhanceCommand enhance;
  app::EnhanceOptions& o = enhance.options;
  CLI::App* enh = cli.add_subcommand("enhance", "enhance a multichannel recording into mono");
  enh->add_option("IN", enhance.input, "input recording (WAV, FLAC, ... any channel count)")
      ->required();
  enh->add_option("-o,--output", enhance.output, "enhanced mono output file")->required();
  enh->add_option("--integrator", o.integrator, "integrator node: median or poisson-gamma")
      ->check(CLI::IsMember({"median", "poisson-gamma"}))
      ->capture_default_str();
  enh->add_option("--length", o.length, "LENGTH: STFT frame length, samples")
      ->capture_default_str();
  enh->add_option("--hop", o.hop, "STFT hop, samples")->capture_default_str();
  enh->add_option("--lambda", o.lambda, "LAMBDA: sparsity weight of the robust PCA")
      ->capture_default_str();
  enh->add_option("--max-rank", o.maxRank, "MAX_LANK: basis vectors per channel")
      ->capture_default_str();
  enh->add_option("--cutoff-freq", o.cutoffFreq, "CUTOFF_FREQ: bins below it are ignored, Hz")
      ->capture_default_str();
  enh->add_option("--global-scale", o.globalScale, "GLOBAL_SCALE of MultiRobustPCA")
      ->capture_default_str();
  enh->add_option("--pg-global-scale", o.pgGlobalScale,
                  "GLOBAL_SCALE of PoissonGammaIntegrator: magnitudes to counts")
      ->capture_default_str();
  enh->add_option("--scale-update-ratio", o.scaleUpdateRatio,
                  "SCALE_UPDATE_RATIO: weight of each frame in the running scale")
      ->capture_default_str();
  enh->add_option("--epsilon", o.epsilon, "EPSILON: tolerance of the estimators' inner loop")
      ->capture_default_str();
  enh->add_option("--threads", o.threads, "OpenMP threads (0: the runtime's default)")
      ->capture_default_str();
  enh->add_option("--seed", o.seed, "seed of the estimators' random starting points")
      ->capture_default_str();
  enh->add_option("--toolbox", o.toolbox, "plug-in library to load");
  enh->add_option("--diagnostics", enhance.diagnostics, "keep every diagnostic line in FILE");
  enh->add_option("--spectrogram", enhance.spectrogram,
                  "write input and output spectrograms to FILE.png");
  enh->add_option("--format", enhance.format, "output samples: float or pcm16")
      ->check(CLI::IsMember({"float", "pcm16"}))
      ->capture_default_str();
  enh->add_flag("-q,--quiet", enhance.quiet, "no progress bar and no summary");

  std::string infoToolbox;
  CLI::App* info = cli.add_subcommand("info", "list module versions and node types");
  info->add_option("--toolbox", infoToolbox, "plug-in library to load");

  ScoreCommand scoreCmd;
  CLI::App* sc = cli.add_subcommand("score", "SI-SDR and SDR of an estimate against a reference");
  sc->add_option("--reference", scoreCmd.reference, "clean reference recording")->required();
  sc->add_option("ESTIMATE", scoreCmd.estimate, "estimate to score")->required();
  sc->add_option("--max-lag-ms", scoreCmd.maxLagMs, "largest alignment lag tried, ms")
      ->capture_default_str();

  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 2;
  }

  try {
    if (*enh) return runEnhance(enhance);
    if (*info) return runInfo(infoToolbox);
    return runScore(scoreCmd);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 1;
  }
}
