#include "EnhanceFile.h"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>

#include "Chain.h"
#include "OutputFile.h"
#include "Spectrogram.h"
#include "StreamEnhancer.h"

namespace nimbusdale::app {
namespace {

// Refuses an output that is the input, and two outputs that are the same file (a character
// device such as /dev/null may take several), whatever the spelling: links are followed.
void checkOutputsAreDistinct(const FileJob& job) {
  struct Named {
    std::string option, path;
    FileIdentity id;
  };
  std::vector<Named> outputs;
  for (const auto& [option, path] : {std::pair<std::string, std::string>{"-o", job.output},
                                     {"--spectrogram", job.spectrogram},
                                     {"--diagnostics", job.diagnostics}})
    if (!path.empty() && path != "-") outputs.push_back({option, path, identify(path)});
  if (job.input == "-") return;
  const FileIdentity input = identify(job.input);
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].id == input)
      throw std::runtime_error(outputs[i].option + " " + outputs[i].path + " is the input file " +
                               job.input + "; refusing to overwrite the recording");
    for (size_t j = 0; j < i; ++j)
      if (outputs[i].id == outputs[j].id && !outputs[i].id.characterDevice)
        throw std::runtime_error(outputs[i].option + " " + outputs[i].path +
                                 " is the same file as " + outputs[j].option + " " +
                                 outputs[j].path);
  }
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[1024];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// Channel 0 of a recording, read block by block; every channel must be finite. Warns of a
// recording shorter than its header says.
std::vector<float> channelZero(const std::string& path, int& sampleRate,
                               const std::function<void(const std::string&)>& warn) {
  AudioReader in(path);
  const std::string name = path == "-" ? "standard input" : path;
  sampleRate = in.sampleRate();
  std::vector<float> x, block;
  if (in.frames() > 0) x.reserve(static_cast<size_t>(in.frames()));
  const size_t channels = static_cast<size_t>(in.channels());
  for (long got; (got = in.read(1 << 16, block)) > 0;) {
    for (size_t i = 0; i < block.size(); ++i)
      if (!std::isfinite(block[i]))
        throw std::runtime_error("cannot score " + name + ": sample " +
                                 std::to_string(x.size() + i / channels) + " of channel " +
                                 std::to_string(i % channels) + " is " +
                                 format("%g", double(block[i])));
    for (size_t i = 0; i < static_cast<size_t>(got); ++i) x.push_back(block[i * channels]);
  }
  if (in.claimedFrames() > 0 && warn)
    warn(format("%s is truncated: its header claims %ld frames, %s %zu", name.c_str(),
                in.claimedFrames(), path == "-" ? "the stream held" : "the file holds", x.size()));
  return x;
}

}  // namespace

FileResult enhanceFile(const FileJob& job) {
  job.options.validate();
  const EnhanceOptions& options = job.options;
  checkWritable(job.output, 1, job.format, job.container);
  AudioReader in(job.input, job.raw ? &*job.raw : nullptr);
  FileResult result;
  result.channels = in.channels();
  result.sampleRate = in.sampleRate();
  const auto warn = [&](const std::string& text) {
    result.warnings.push_back(text);
    if (job.warn) job.warn(text);
  };
  if (in.claimedFrames() > 0) {
    result.claimedFrames = in.claimedFrames();
    warn(format("%s is truncated: its header claims %ld frames, the file holds %ld",
                job.input.c_str(), in.claimedFrames(), in.frames()));
  }

  // Every output is opened before the work starts and replaces its target only once all of them
  // are complete, so a failure anywhere leaves none of them behind.
  checkOutputsAreDistinct(job);
  OutputFile audioFile(job.output);
  std::optional<OutputFile> pictureFile, diagnosticsFile;
  if (!job.spectrogram.empty()) pictureFile.emplace(job.spectrogram, "spectrogram");
  if (!job.diagnostics.empty()) diagnosticsFile.emplace(job.diagnostics, "diagnostics");
  AudioWriter writer(audioFile, 1, in.sampleRate(), job.format, job.container);
  std::optional<SpectrogramBuilder> picture;
  if (pictureFile)
    picture.emplace(std::vector<std::string>{"input channel 0", "enhanced output"}, in.sampleRate(),
                    StftGeometry{options.length(), options.hop()});

  // The thread count holds for every implementation: the linked cores take it per frame, and
  // whatever else runs OpenMP regions on this thread sees it too.
  ThreadCountScope threads(options.threads);
  FileProgress progress;
  progress.totalFrames =
      in.frames() >= 0 ? StftGeometry{options.length(), options.hop()}.frameCount(in.frames()) : -1;
  progress.sampleRate = in.sampleRate();
  progress.hop = options.hop();
  const auto report = [&](const StreamEnhancer& stream, bool last) {
    if (!job.progress) return;
    progress.frames = stream.frames();
    progress.samples = stream.samplesIn();
    progress.last = last;
    job.progress(progress);
  };
  const auto started = std::chrono::steady_clock::now();
  StreamEnhancer stream(in.channels(), in.sampleRate(), options, job.nodes,
                        diagnosticsFile ? &diagnosticsFile->stream() : nullptr);
  std::vector<float> block, out;
  // A hop at a time from a pipe (so a sample waits at most one frame length plus one hop),
  // quarter seconds (at 16 kHz) from files: larger blocks gain nothing, and each fresh page of
  // their buffers costs a fault.
  const long blockFrames = in.frames() < 0 ? options.hop() : 4 * 1024;
  for (;;) {
    if (job.cancel && job.cancel->load()) throw Interrupted();
    const bool first = stream.samplesIn() == 0;
    const long got = in.read(blockFrames, block);
    if (first && !in.rawLooksLike().empty())
      warn(format("the raw input starts like a %s file; without --raw it would be read as one",
                  in.rawLooksLike().c_str()));
    if (got == 0) break;
    out.clear();
    stream.push(
        block.data(), got, out,
        in.frames() < 0 ? StreamEnhancer::Handout::Prompt : StreamEnhancer::Handout::Batched);
    if (picture) {
      picture->addStrided(0, block.data(), got, in.channels());
      picture->add(1, out.data(), static_cast<long>(out.size()));
    }
    writer.write(out.data(), static_cast<long>(out.size()));
    report(stream, false);
  }
  out.clear();
  stream.finish(out);
  if (picture) picture->add(1, out.data(), static_cast<long>(out.size()));
  writer.write(out.data(), static_cast<long>(out.size()));
  report(stream, true);
  result.stats = stream.stats();
  result.samples = stream.samplesIn();
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (in.claimedFrames() > 0 && result.claimedFrames == 0) {
    result.claimedFrames = in.claimedFrames();
    warn(format("standard input is truncated: its header claims %ld frames, the stream held %ld",
                in.claimedFrames(), result.samples));
  }
  if (in.droppedBytes() > 0) {
    result.droppedBytes = in.droppedBytes();
    warn(format("the raw input ended inside a frame; its last %ld bytes were dropped",
                in.droppedBytes()));
  }

  writer.close();
  if (picture) {
    const std::vector<unsigned char> png = picture->png();
    pictureFile->write(png.data(), png.size());
  }
  if (job.cancel && job.cancel->load()) throw Interrupted();
  std::vector<OutputFile*> files{&audioFile};
  if (pictureFile) files.push_back(&*pictureFile);
  if (diagnosticsFile) files.push_back(&*diagnosticsFile);
  for (OutputFile* file : files) file->finish();
  for (OutputFile* file : files) file->commit();

  result.clipped = writer.clipped();
  if (result.clipped > 0)
    result.warnings.push_back(format("%ld samples lay outside [-1, 1]%s", result.clipped,
                                     job.format == SampleFormat::Pcm16 ? " and were clipped" : ""));
  if (result.stats.silentOutput)
    result.warnings.push_back(
        format("the output is silent although the input is not: the sparsity threshold "
               "(--lambda %g) took every bin at the normalised level (--global-scale %g); try a "
               "smaller --lambda or a larger --global-scale",
               double(options.nodes.floatValue("lambda_")),
               double(options.nodes.floatValue("global_scale"))));
  return result;
}

void checkMaxLagMs(double maxLagMs) {
  if (!std::isfinite(maxLagMs) || maxLagMs < 0.0 || maxLagMs > kMaxLagMs)
    throw std::invalid_argument("--max-lag-ms " + format("%g", maxLagMs) +
                                ": give a number of milliseconds from 0 to " +
                                format("%g", kMaxLagMs));
}

ScoreResult scoreFiles(const std::string& reference, const std::string& estimate, double maxLagMs,
                       const std::function<void(const std::string&)>& warn) {
  checkMaxLagMs(maxLagMs);
  if (reference == "-" && estimate == "-")
    throw std::runtime_error("only one of the recordings can come from standard input");
  int referenceRate = 0, estimateRate = 0;
  const std::vector<float> r = channelZero(reference, referenceRate, warn);
  const std::vector<float> e = channelZero(estimate, estimateRate, warn);
  if (referenceRate != estimateRate)
    throw std::runtime_error("sample rates differ: " + std::to_string(referenceRate) + " Hz and " +
                             std::to_string(estimateRate) + " Hz");
  const long maxLag = static_cast<long>(maxLagMs * 1e-3 * referenceRate);
  try {
    ScoreResult result =
        score(r.data(), static_cast<long>(r.size()), e.data(), static_cast<long>(e.size()), maxLag);
    result.maxLag = maxLag;
    return result;
  } catch (const std::invalid_argument& error) {
    throw std::runtime_error("cannot score " + estimate + " against " + reference + ": " +
                             error.what());
  }
}

}  // namespace nimbusdale::app
