// Test recordings written to files: the tests make their inputs and references with these; the
// tool and the nodes write through AudioWriter and OutputFile.
#ifndef NIMBUSDALE_TEST_AUDIO_WRITER_H
#define NIMBUSDALE_TEST_AUDIO_WRITER_H

#include <string>
#include <vector>

#include "AudioFile.h"

namespace nimbusdale::app {

/// Writes interleaved samples of `channels` channels to `path`, in the container its extension
/// names, through an OutputFile (a temporary file renamed over a regular file, so a failure
/// leaves no partial file). Returns how many samples lay outside [-1, 1] (clipped for pcm16).
/// Throws std::runtime_error naming `path` on failure.
long writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int sampleRate, SampleFormat format);

}  // namespace nimbusdale::app

#endif
