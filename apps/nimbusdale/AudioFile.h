// Reading and writing audio files through libsndfile.
#ifndef NIMBUSDALE_APPS_AUDIOFILE_H
#define NIMBUSDALE_APPS_AUDIOFILE_H

#include <string>
#include <vector>

namespace nimbusdale::app {

struct Audio {
  int sampleRate = 0;
  int channels = 0;
  std::vector<float> samples;  ///< interleaved, full scale = 1.0
  long frames() const { return channels ? static_cast<long>(samples.size()) / channels : 0; }
};

enum class SampleFormat { Float, Pcm16 };

/// Reads any file libsndfile understands. Throws std::runtime_error naming the file and the
/// library's reason.
Audio readAudio(const std::string& path);

/// Checks, before any work is done, that `path` can take audio of this shape: a container
/// libsndfile knows from the extension, able to hold `format`, in an existing folder. Throws
/// std::runtime_error naming the problem.
void checkWritable(const std::string& path, int channels, SampleFormat format);

/// Writes interleaved samples of `channels` channels to `path`, choosing the container from its
/// extension. The data goes to a
/// temporary file beside `path` that is renamed over it at the end, so a failure leaves no
/// partial file. Returns how many samples lay outside [-1, 1] (clipped for pcm16). Throws
/// std::runtime_error on failure.
long writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int sampleRate, SampleFormat format);

}  // namespace nimbusdale::app

#endif
