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

/// The sample formats as users name them, in SampleFormat's order: "float", "pcm16".
inline constexpr const char* kSampleFormatNames[] = {"float", "pcm16"};
inline const char* sampleFormatName(SampleFormat format) {
  return kSampleFormatNames[static_cast<int>(format)];
}
/// The format called `name`. @throws std::invalid_argument "format must be float or pcm16, not
/// 'x'".
SampleFormat sampleFormatNamed(const std::string& name);

/// Reads any file libsndfile understands. Throws std::runtime_error naming the file and the
/// library's reason. A file shorter than its header says is read as far as it goes, with
/// `claimedFrames` set.
Audio readAudio(const std::string& path);

}  // namespace nimbusdale::app

#endif
