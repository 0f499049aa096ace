#include "EnhanceCommand.h"

#include <signal.h>

#include <cstdio>
#include <stdexcept>

#include "EnhanceFile.h"
#include "ProgressLine.h"
#include "RunOptions.h"
#include "SignalScope.h"

namespace nimbusdale::app {
namespace {

StreamContainer containerOption(const std::string& name) {
  if (name == "wav") return StreamContainer::Wav;
  if (name == "raw") return StreamContainer::Raw;
  return StreamContainer::Auto;
}

// Frames done (of the total, when the input says), speed as a multiple of real time and, with a
// total, the time left.
std::string progressText(const FileProgress& p, double elapsed) {
  const double secondsPerFrame = double(p.hop) / p.sampleRate;
  const double speed = elapsed > 0 ? p.frames * secondsPerFrame / elapsed : 0.0;
  char text[256];
  if (p.totalFrames >= 0) {
    const double part = p.totalFrames ? double(p.frames) / p.totalFrames : 1.0;
    std::snprintf(text, sizeof text, "%s %ld/%ld frames, %.1fx real time, %s left",
                  progressBar(part, 30).c_str(), p.frames, p.totalFrames, speed,
                  timeLeft(double(p.frames), double(p.totalFrames), elapsed).c_str());
  } else {
    std::snprintf(text, sizeof text, "%ld frames (%.1f s of audio), %.1fx real time", p.frames,
                  p.frames * secondsPerFrame, speed);
  }
  return text;
}

}  // namespace

void addEnhanceCommandOptions(CLI::App* enh, EnhanceCommand& enhance) {
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
  addEnhanceOptions(enh, enhance.options);
  enh->add_option("--diagnostics", enhance.diagnostics, "keep every diagnostic line in FILE");
  enh->add_option("--spectrogram", enhance.spectrogram,
                  "write input and output spectrograms to FILE.png");
  enh->add_option("--format", enhance.format, "output samples: float or pcm16")
      ->check(CLI::IsMember(
          std::vector<std::string>(std::begin(kSampleFormatNames), std::end(kSampleFormatNames))))
      ->capture_default_str();
  enh->add_flag("-q,--quiet", enhance.quiet, "no progress bar and no summary");
}

int runEnhance(const EnhanceCommand& cmd) {
  cmd.options.validate();
  FileJob job;
  job.input = cmd.input;
  job.output = cmd.output;
  job.spectrogram = cmd.spectrogram;
  job.diagnostics = cmd.diagnostics;
  job.options = cmd.options;
  // The cores linked into the tool separate the frames the input already holds a block at a
  // time, across threads; a toolbox named on the command line is loaded and driven as a host
  // drives it, a frame at a time. Both give the same samples.
  job.nodes = NodeImplementation::LinkedCores;
  if (!job.options.toolbox.empty()) {
    job.options.toolbox = toolboxFile(job.options.toolbox);
    job.nodes = NodeImplementation::Plugin;
  }
  job.format = sampleFormatNamed(cmd.format);
  job.container = containerOption(cmd.outputFormat);
  if (!cmd.raw.empty()) {
    if (cmd.rawChannels < 1 || cmd.rawChannels > kMaxChannels)
      throw std::runtime_error("--channels " + std::to_string(cmd.rawChannels) + ": give 1 to " +
                               std::to_string(kMaxChannels) + " channels");
    job.raw = RawInput{parseRawEncoding(cmd.raw), cmd.rawChannels, cmd.rawRate};
  } else if (cmd.rawChannels || cmd.rawRate)
    throw std::runtime_error("--channels and --rate describe raw input; give --raw too");
  job.warn = [](const std::string& text) {
    std::fprintf(stderr, "nimbusdale: warning: %s\n", text.c_str());
  };
  // Its clock starts with the run, as the summary's does.
  ProgressLine progress(!cmd.quiet);
  if (progress.shown())
    job.progress = [&](const FileProgress& p) {
      progress.draw(progressText(p, progress.elapsed()), p.last);
      if (p.last) progress.end();
    };

  // A signal stops the run at once: the output files' cleanup removes their temporary files and
  // the process dies of it.
  const SignalScope signals({SIGINT, SIGTERM, SIGHUP}, 1);
  const FileResult result = enhanceFile(job);
  const EnhanceStats& stats = result.stats;
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
                 job.format == SampleFormat::Pcm16 ? " and were clipped" : "");
  if (stats.silentOutput)
    std::fprintf(stderr,
                 "nimbusdale: warning: the output is silent although the input is not: the "
                 "sparsity threshold (--lambda %g) took every bin at the normalised level "
                 "(--global-scale %g); try a smaller --lambda or a larger --global-scale\n",
                 job.options.nodes.floatValue("lambda_"),
                 job.options.nodes.floatValue("global_scale"));
  return 0;
}

}  // namespace nimbusdale::app
