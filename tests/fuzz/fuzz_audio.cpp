// Fuzzes the tool's path from an audio file to the enhanced signal: the bytes after the first
// are read as an audio file (any container libsndfile knows) and, if small enough, enhanced with
// a small frame geometry chosen by the first byte.
//
// A file the reader refuses (std::runtime_error) and options or a signal the pipeline refuses
// (std::exception) are expected. Anything else is a finding: a crash, a sanitizer report, an
// exception of another type, an output of the wrong length, or a NaN or infinity in the output
// of a signal whose samples are all finite.
//
// First byte: bit 0 length 32 / 64, bit 1 hop 8 / 16, bits 2-3 max rank 1-4, bit 4 integrator
// poisson-gamma when set, else mask for the even ranks (bit 2 set) and median for the odd ones,
// bit 5 cut-off 100 Hz / 0 Hz, bits 6-7 scale update ratio.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "AudioFile.h"
#include "Enhancer.h"

namespace {

namespace app = nimbusdale::app;

// Bounds on what one input may ask for, so that one run stays well under a second.
constexpr int kMaxChannels = 8;
constexpr long kMaxFrames = 4000;

int memoryFile = -1;
std::string memoryFilePath;

[[noreturn]] void finding(const std::string& what, const app::Audio& audio,
                          const app::EnhanceOptions& options) {
  std::fprintf(stderr,
               "fuzz_audio finding: %s\n  %d channels, %ld frames at %d Hz; integrator %s, "
               "length %d, hop %d, max rank %d, cutoff %g, scale update ratio %g\n",
               what.c_str(), audio.channels, audio.frames(), audio.sampleRate,
               options.integratorName(), options.length(), options.hop(),
               options.nodes.intValue("max_rank"),
               static_cast<double>(options.nodes.floatValue("cutoff_freq")),
               static_cast<double>(options.nodes.floatValue("scale_update_ratio")));
  std::fflush(stderr);
  std::abort();
}

/// Puts `size` bytes in the in-memory file that memoryFilePath names.
void fillMemoryFile(const uint8_t* data, size_t size) {
  if (ftruncate(memoryFile, 0) != 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(memoryFile, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memoryFile = memfd_create("fuzz_audio", 0);
  if (memoryFile < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  memoryFilePath = "/proc/self/fd/" + std::to_string(memoryFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t config = data[0];
  fillMemoryFile(data + 1, size - 1);

  app::Audio audio;
  try {
    audio = app::readAudio(memoryFilePath);
  } catch (const std::runtime_error&) {
    return 0;  // not a file the reader takes
  }
  if (audio.channels > kMaxChannels || audio.frames() > kMaxFrames) return 0;

  app::EnhanceOptions options;
  options.set("length", config & 1 ? 64 : 32);
  options.set("hop", config & 2 ? 16 : 8);
  options.set("max_rank", 1 + ((config >> 2) & 3));
  options.integrator = app::integratorNamed(config & 16  ? "poisson-gamma"
                                            : config & 4 ? "mask"
                                                         : "median");
  options.set("cutoff_freq", config & 32 ? 0.0f : 100.0f);
  const float ratios[] = {0.002f, 0.0f, 0.5f, 1.0f};
  options.set("scale_update_ratio", ratios[config >> 6]);
  options.threads = 1;
  options.toolbox = NIMBUSDALE_PLUGIN_PATH;

  bool finiteInput = true;
  for (float x : audio.samples) finiteInput = finiteInput && std::isfinite(x);

  std::vector<float> out;
  try {
    out = app::enhance(audio.samples.data(), audio.frames(), audio.channels, audio.sampleRate,
                       options);
  } catch (const std::exception&) {
    return 0;  // refused: options, signal shape or a node's refusal, with a message
  } catch (...) {
    finding("enhance threw something other than a std::exception", audio, options);
  }

  if (static_cast<long>(out.size()) != audio.frames())
    finding("output has " + std::to_string(out.size()) + " samples, expected " +
                std::to_string(audio.frames()),
            audio, options);
  if (!finiteInput) return 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (std::isfinite(out[i])) continue;
    float peak = 0.0f;
    for (float x : audio.samples) peak = std::fmax(peak, std::fabs(x));
    finding("output sample " + std::to_string(i) + " is " + std::to_string(out[i]) +
                " from finite input (peak |sample| " + std::to_string(peak) + ")",
            audio, options);
  }
  return 0;
}
