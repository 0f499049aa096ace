// AudioFileSink: blocks of samples written to an audio file.
#ifndef NIMBUSDALE_AUDIO_FILE_SINK_H
#define NIMBUSDALE_AUDIO_FILE_SINK_H

#include <memory>
#include <string>
#include <vector>

#include "AudioStream.h"
#include "OutputFile.h"
#include "ToolboxNode.h"

namespace nimbusdale {

/// Ports and parameters as kAudioFileSinkType declares them. The destination is checked when
/// the node is built (a container libsndfile writes, able to hold the sample format); the file
/// is written from count 0 on as a temporary beside the target and renamed over it once SAMPLES
/// samples are written, so a run that stops before leaves nothing. Blocks beyond SAMPLES are
/// dropped; a count of 0 after others (the host starting an iterator over) starts the file again.
class AudioFileSink : public ToolboxNode {
 public:
  AudioFileSink(std::string nodeName, FD::ParameterSet params);
  ~AudioFileSink() override;

  void calculate(int output_id, int count, FD::Buffer& out) override;

 private:
  void start(int channels);
  void complete();

  const int inputID;
  const int samplesID;
  const int outputID;
  const std::string path;
  const int sampleRate;
  const app::SampleFormat format;
  std::unique_ptr<app::OutputFile> file;
  std::unique_ptr<app::AudioWriter> writer;
  int channels = 0;
  long written = 0;
  long next = 0;  // the count expected next
  bool finished = false;
  std::vector<float> interleaved;
};

}  // namespace nimbusdale

#endif
