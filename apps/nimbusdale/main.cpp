// nimbusdale: enhance multichannel recordings with the plug-in's nodes, list the plug-in's node
// types, and score an estimate against a clean reference.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>

#include <flowdesigner/Registry.h>

#include "AudioFile.h"
#include "AudioStream.h"
#include "BatchCommand.h"
#include "EnhanceFile.h"
#include "Enhancer.h"
#include "NodeCatalog.h"
#include "Score.h"
#include "nimbusdale/NodeTypes.h"
#include "nimbusdale/Version.h"
#if NIMBUSDALE_WITH_JACK
#include "Live.h"
#endif

namespace app = nimbusdale::app;

namespace {

// A toolbox is named by its file path: a bare name is a file in the current folder, never a
// search of the loader's library path. A missing file is refused before anything is loaded.
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

struct EnhanceCommand {
  std::string input, output, diagnostics, spectrogram, format = "float";
  std::string raw, outputFormat = "auto";
  int rawChannels = 0, rawRate = 0;
  bool quiet = false;
  app::EnhanceOptions options;
};

struct ScoreCommand {
  std::string reference, estimate;
  double maxLagMs = 50.0;
};

// Progress on stderr: frames done (of the total, when the input says), speed as a multiple of
// real time.
class ProgressBar {
 public:
  ProgressBar(bool enabled, double secondsPerFrame)
      : enabled(enabled), secondsPerFrame(secondsPerFrame), start(Clock::now()) {}
  /// `total` < 0: not known (a pipe).
  void operator()(long done, long total, bool last = false) {
    if (!enabled) return;
    const auto now = Clock::now();
    if (!last && now - lastDraw < std::chrono::milliseconds(100)) return;
    lastDraw = now;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double speed = elapsed > 0 ? done * secondsPerFrame / elapsed : 0.0;
    if (total >= 0) {
      const int width = 30;
      const int filled = total ? static_cast<int>(width * std::min(done, total) / total) : width;
      std::fprintf(stderr, "\r[%s%s] %ld/%ld frames, %.1fx real time",
                   std::string(filled, '#').c_str(), std::string(width - filled, '.').c_str(), done,
                   total, speed);
    } else {
      std::fprintf(stderr, "\r%ld frames (%.1f s of audio), %.1fx real time", done,
                   done * secondsPerFrame, speed);
    }
    if (last) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled;
  double secondsPerFrame;
  Clock::time_point start, lastDraw{};
};

app::StreamContainer containerOption(const std::string& name) {
  if (name == "wav") return app::StreamContainer::Wav;
  if (name == "raw") return app::StreamContainer::Raw;
  return app::StreamContainer::Auto;
}

int runEnhance(const EnhanceCommand& cmd) {
  cmd.options.validate();
  app::FileJob job;
  job.input = cmd.input;
  job.output = cmd.output;
  job.spectrogram = cmd.spectrogram;
  job.diagnostics = cmd.diagnostics;
  job.options = cmd.options;
  if (!job.options.toolbox.empty()) job.options.toolbox = toolboxFile(job.options.toolbox);
  job.format = cmd.format == "pcm16" ? app::SampleFormat::Pcm16 : app::SampleFormat::Float;
  job.container = containerOption(cmd.outputFormat);
  if (!cmd.raw.empty()) {
    if (cmd.rawChannels < 1 || cmd.rawChannels > app::kMaxChannels)
      throw std::runtime_error("--channels " + std::to_string(cmd.rawChannels) + ": give 1 to " +
                               std::to_string(app::kMaxChannels) + " channels");
    job.raw = app::RawInput{app::parseRawEncoding(cmd.raw), cmd.rawChannels, cmd.rawRate};
  } else if (cmd.rawChannels || cmd.rawRate)
    throw std::runtime_error("--channels and --rate describe raw input; give --raw too");
  job.warn = [](const std::string& text) {
    std::fprintf(stderr, "nimbusdale: warning: %s\n", text.c_str());
  };
  std::optional<ProgressBar> progress;
  if (!cmd.quiet && isatty(STDERR_FILENO))
    job.progress = [&](const app::FileProgress& p) {
      if (!progress) progress.emplace(true, double(p.hop) / p.sampleRate);
      (*progress)(p.frames, p.totalFrames, p.last);
    };

  const app::FileResult result = app::enhanceFile(job);
  const app::EnhanceStats& stats = result.stats;
  if (!cmd.quiet) {
    std::fprintf(stderr,
                 "nimbusdale: %ld frames of %d channels (%.2f s of audio) in %.2f s, %.1fx real "
                 "time\n",
                 stats.frames, result.channels, result.audioSeconds(), result.seconds,
                 result.seconds > 0 ? result.audioSeconds() / result.seconds : 0.0);
    std::fprintf(stderr,
                 "nimbusdale: %ld of %ld estimator updates did not converge; the nodes wrote %ld "
                 "diagnostic lines%s\n",
                 stats.notConverged, stats.estimatorUpdates, stats.diagnosticLines,
                 cmd.diagnostics.empty() ? " (keep them with --diagnostics FILE)"
                                         : (" to " + cmd.diagnostics).c_str());
  }
  if (result.clipped > 0)
    std::fprintf(stderr, "nimbusdale: %ld samples lay outside [-1, 1]%s\n", result.clipped,
                 job.format == app::SampleFormat::Pcm16 ? " and were clipped" : "");
  if (stats.silentOutput)
    std::fprintf(stderr,
                 "nimbusdale: warning: the output is silent although the input is not: the "
                 "sparsity threshold (--lambda %g) took every bin at the normalised level "
                 "(--global-scale %g); try a smaller --lambda or a larger --global-scale\n",
                 job.options.nodes.floatValue("lambda_"),
                 job.options.nodes.floatValue("global_scale"));
  return 0;
}

int runInfo(const std::string& toolboxOption) {
  const std::string toolbox =
      toolboxOption.empty() ? app::defaultToolboxPath() : toolboxFile(toolboxOption);
  const size_t eventsBefore = FD::registry::events().size();
  app::loadToolbox(toolbox);
  bool versionRecord = false, nodeType = false;
  const std::vector<FD::RegistrationEvent> events = FD::registry::events();
  for (size_t i = eventsBefore; i < events.size(); ++i) {
    versionRecord |= events[i].kind == FD::RegistrationEvent::ModuleVersion;
    nodeType |= events[i].kind == FD::RegistrationEvent::Factory;
  }
  if (!versionRecord || !nodeType)
    throw std::runtime_error(toolbox + " registers " +
                             (!versionRecord && !nodeType
                                  ? "no module version record and no node type"
                              : versionRecord ? "no node type"
                                              : "no module version record") +
                             ": not a FlowDesigner toolbox");
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
        std::cout << "  parameter " << p.name << " : " << p.type
                  << (p.value.empty() ? std::string(" (no default)") : " = " + p.value) << " - "
                  << p.meaning << "\n";
    }
  }
  return 0;
}

int runScore(const ScoreCommand& cmd) {
  const auto warn = [](const std::string& text) {
    std::fprintf(stderr, "nimbusdale: warning: %s\n", text.c_str());
  };
  const app::ScoreResult s = app::scoreFiles(cmd.reference, cmd.estimate, cmd.maxLagMs, warn);
  std::printf("SI-SDR %.2f dB\nSDR %.2f dB\nlag %ld samples (max %ld)\n", s.siSdr, s.sdr, s.lag,
              s.maxLag);
  return 0;
}

// A path that must be given as one: an empty value is refused rather than taken as "not given".
const CLI::Validator kNonEmptyPath(
    [](const std::string& value) {
      return value.empty() ? std::string("give a file path, not an empty one") : std::string();
    },
    "PATH");

// The options shared by `enhance`, `live` and (without the toolbox, as it runs the linked
// cores) `batch`: the integrator, one per node parameter in the option table (its help the
// parameter's meaning, unit and rule in the node tables), threads and seed.
void addEnhanceOptions(CLI::App* cmd, app::EnhanceOptions& o, bool toolbox = true) {
  std::vector<std::string> names;
  std::string help = "integrator node:";
  for (const nimbusdale::IntegratorName& entry : nimbusdale::kIntegrators) {
    names.push_back(entry.name);
    help += std::string(names.size() > 1 ? "," : "") + " " + entry.name + " (" +
            entry.type->name + ")";
  }
  cmd->add_option_function<std::string>(
         "--integrator", [&o](const std::string& name) { o.integrator = app::integratorNamed(name); },
         help)
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
  cmd->add_option("--threads", o.threads, "OpenMP threads (0: the runtime's default)")
      ->capture_default_str();
  cmd->add_option("--seed", o.seed, "seed of the estimators' random starting points")
      ->capture_default_str();
  if (toolbox)
    cmd->add_option("--toolbox", o.toolbox, "plug-in library to load")->check(kNonEmptyPath);
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) then fails the write that crosses it ("File too large"),
  // which names the file and leaves the other files of a batch going, instead of killing the
  // process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // Named explicitly so that usage lines (and the manual page made from them) say "nimbusdale",
  // not the path the tool was started by.
  CLI::App cli{"nimbusdale: robust-PCA enhancement of multichannel recordings", "nimbusdale"};
  cli.set_version_flag("--version", std::string("nimbusdale ") + NIMBUSDALE_VERSION);
  cli.require_subcommand(1);

  EnhanceCommand enhance;
  app::EnhanceOptions& o = enhance.options;
  CLI::App* enh = cli.add_subcommand("enhance", "enhance a multichannel recording into mono");
  enh->add_option("IN", enhance.input,
                  "input recording (WAV, FLAC, ... any channel count); - reads standard input")
      ->required();
  enh->add_option("-o,--output", enhance.output,
                  "enhanced mono output file; - writes standard output")
      ->required();
  enh->add_option(
         "--raw", enhance.raw,
         "the input is headerless samples: s16le, s32le or f32le (with --channels, --rate)")
      ->check(CLI::IsMember({"s16le", "s32le", "f32le"}));
  enh->add_option("--channels", enhance.rawChannels, "channels of raw input");
  enh->add_option("--rate", enhance.rawRate, "sample rate of raw input, Hz");
  enh->add_option("--output-format", enhance.outputFormat,
                  "container: auto (from the extension; WAV on standard output), wav or raw")
      ->check(CLI::IsMember({"auto", "wav", "raw"}))
      ->capture_default_str();
  addEnhanceOptions(enh, o);
  enh->add_option("--diagnostics", enhance.diagnostics, "keep every diagnostic line in FILE");
  enh->add_option("--spectrogram", enhance.spectrogram,
                  "write input and output spectrograms to FILE.png");
  enh->add_option("--format", enhance.format, "output samples: float or pcm16")
      ->check(CLI::IsMember({"float", "pcm16"}))
      ->capture_default_str();
  enh->add_flag("-q,--quiet", enhance.quiet, "no progress bar and no summary");

#if NIMBUSDALE_WITH_JACK
  app::LiveCommand live;
  CLI::App* liveCmd =
      cli.add_subcommand("live", "enhance live audio as a JACK client: N ports in, one out");
  addEnhanceOptions(liveCmd, live.options, false);  // live runs the linked cores
  app::addLiveOptions(liveCmd, live);
#endif

  app::BatchCommand batch;
  CLI::App* batchCmd = cli.add_subcommand(
      "batch", "enhance every recording under a folder (or in a list) into a mirrored folder");
  addEnhanceOptions(batchCmd, batch.options, false);
  app::addBatchOptions(batchCmd, batch);

  std::string infoToolbox;
  CLI::App* info = cli.add_subcommand("info", "list module versions and node types");
  info->add_option("--toolbox", infoToolbox, "plug-in library to load")->check(kNonEmptyPath);

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
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 2;
  }

  try {
    if (*enh) return runEnhance(enhance);
    if (*batchCmd) return app::runBatch(batch);
    if (*info) return runInfo(infoToolbox);
#if NIMBUSDALE_WITH_JACK
    if (*liveCmd) return app::runLive(live);
#endif
    return runScore(scoreCmd);
  } catch (const app::OutOfMemory& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "nimbusdale: error: not enough memory for this run\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbusdale: error: %s\n", e.what());
    return 1;
  }
}
