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
  /// For a truncated file (its header claims more audio than it holds): the frames the header
  /// claims; `frames()` are those actually there. 0 otherwise.
  long claimedFrames = 0;
  long frames() const { return channels ? static_cast<long>(samples.size()) / channels : 0; }
};

enum class SampleFormat { Float, Pcm16 };

/// Reads any file libsndfile understands. Throws std::runtime_error naming the file and the
/// library's reason. A file shorter than its header says is read as far as it goes, with
/// `claimedFrames` set.
Audio readAudio(const std::string& path);

struct EncodedAudio {
  std::vector<unsigned char> bytes;  ///< the whole file
  long clipped = 0;                  ///< samples outside [-1, 1] (clipped for pcm16)
};

/// Encodes interleaved samples of `channels` channels in memory, in the container `path`'s
/// extension names. Throws std::runtime_error naming `path` on failure.
EncodedAudio encodeAudio(const std::string& path, const std::vector<float>& interleaved,
                         int channels, int sampleRate, SampleFormat format);

/// encodeAudio(), written to `path` through an OutputFile (a temporary file renamed over a
/// regular file, so a failure leaves no partial file). Returns how many samples lay outside
/// [-1, 1]. Throws std::runtime_error on failure.
long writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int sampleRate, SampleFormat format);

}  // namespace nimbusdale::app

#endif
