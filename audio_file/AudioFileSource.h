// AudioFileSource: a recording read from its file, frame by frame, for the STFT.
#ifndef NIMBUSDALE_AUDIO_FILE_SOURCE_H
#define NIMBUSDALE_AUDIO_FILE_SOURCE_H

#include <memory>
#include <string>
#include <vector>

#include "AudioStream.h"
#include "Stft.h"
#include "ToolboxNode.h"

namespace nimbusdale {

/// Ports and parameters as kAudioFileSourceType declares them. The file is opened and checked
/// (readable, of known length, NUM_CHANNEL channels at SAMPLING_RATE Hz, not empty) when the
/// node is built; frames are read as the counts ask for them, in increasing order as a host
/// asks (an earlier count reads the file again from the start). Each frame's samples must be
/// finite and within the analysis's range; the first that is not is refused by its sample and
/// channel.
class AudioFileSource : public ToolboxNode {
 public:
  AudioFileSource(std::string nodeName, FD::ParameterSet params);
  ~AudioFileSource() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  void open();
  /// Makes `held` cover samples [from, to) of the recording (to <= its length).
  void hold(long from, long to);

  const int outputID;
  const int notEofID;
  const int samplesID;
  const std::string path;
  const int numChannels;
  const int sampleRate;
  const StftGeometry geometry;
  std::unique_ptr<app::AudioReader> reader;
  long samples = 0;         // the recording's length
  long frames = 0;          // frames covering it
  std::vector<float> held;  // interleaved samples [heldFirst, heldFirst + held / channels)
  long heldFirst = 0;
  long readUpTo = 0;  // samples read from the file so far
  std::vector<float> block;
};

}  // namespace nimbusdale

#endif
