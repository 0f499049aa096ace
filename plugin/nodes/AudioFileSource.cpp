// AudioFileSource: a recording read from its file, frame by frame, for the STFT.
#include <algorithm>
#include <climits>
#include <iostream>
#include <memory>
#include <stdexcept>
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

namespace {

// Samples a channel read at a time, so that a count far ahead needs no more memory than a frame.
constexpr long kReadFrames = 1 << 16;

}  // namespace

AudioFileSource::AudioFileSource(std::string nodeName, FD::ParameterSet params)
    : ToolboxNode(nodeName, params, kAudioFileSourceType),
      outputID(port("OUTPUT")),
      notEofID(port("NOT_EOF")),
      samplesID(port("SAMPLES")),
      path(values.stringValue("FILENAME")),
      numChannels(values.intValue("NUM_CHANNEL")),
      sampleRate(values.intValue("SAMPLING_RATE")),
      geometry(refusing([this] {
        return geometryOfParameters(values.intValue("LENGTH"), values.intValue("HOP"));
      })) {
  open();
  samples = reader->frames();
  if (reader->channels() != numChannels || reader->sampleRate() != sampleRate)
    fail("FILENAME " + path + " holds " + std::to_string(reader->channels()) + " channels at " +
         std::to_string(reader->sampleRate()) + " Hz; NUM_CHANNEL is " +
         std::to_string(numChannels) + " and SAMPLING_RATE " + std::to_string(sampleRate));
  if (samples < 0) fail("FILENAME " + path + " does not say how long it is (a pipe?); give a file");
  if (samples == 0) fail("FILENAME " + path + " holds no samples");
  if (samples > INT_MAX)
    fail("FILENAME " + path + " holds " + std::to_string(samples) +
         " samples a channel; the host's counts reach " + std::to_string(INT_MAX));
  if (reader->claimedFrames() > 0)
    std::cerr << kAudioFileSourceType.name << " '" << getName() << "': warning: " << path
              << " is truncated: its header claims " << reader->claimedFrames()
              << " frames, the file holds " << samples << std::endl;
  frames = geometry.frameCount(samples);
}

AudioFileSource::~AudioFileSource() = default;

void AudioFileSource::open() {
  try {
    reader = std::make_unique<app::AudioReader>(path);
  } catch (const std::runtime_error& e) {
    fail(std::string("FILENAME: ") + e.what());
  }
  held.clear();
  heldFirst = 0;
  readUpTo = 0;
}

void AudioFileSource::hold(long from, long to) {
  if (from < heldFirst) open();
  // Drop what no later frame needs, then read on to `to`.
  const long drop = std::min(from, readUpTo) - heldFirst;
  if (drop > 0) {
    held.erase(held.begin(), held.begin() + drop * numChannels);
    heldFirst += drop;
  }
  while (readUpTo < to) {
    long got = 0;
    try {
      got = reader->read(std::min(to - readUpTo, kReadFrames), block);
    } catch (const std::runtime_error& e) {
      fail(std::string("FILENAME: ") + e.what());
    }
    if (got == 0)
      fail("FILENAME " + path + " ended at sample " + std::to_string(readUpTo) + " of " +
           std::to_string(samples));
    refusing([&] { checkSignal(block.data(), got, numChannels, readUpTo); });
    if (readUpTo < from) {
      // Counts skipped ahead: what lies before `from` is not kept.
      const long skip = std::min(got, from - readUpTo);
      block.erase(block.begin(), block.begin() + skip * numChannels);
      heldFirst = readUpTo + skip;
    }
    held.insert(held.end(), block.begin(), block.end());
    readUpTo += got;
  }
}

void AudioFileSource::calculate(int, int count, FD::Buffer&) {
  const long start = geometry.frameStart(count);
  const bool inRecording = count < frames;
  FD::RCPtr<RealFrame> frame(
      new RealFrame(static_cast<size_t>(numChannels), static_cast<size_t>(geometry.length)));
  std::fill(frameData(*frame), frameData(*frame) + frame->size(), 0.0f);
  if (inRecording) {
    const long from = std::max(0L, start), to = std::min(start + geometry.length, samples);
    hold(from, to);
    for (long n = from; n < to; ++n)
      for (int c = 0; c < numChannels; ++c)
        (*frame)(static_cast<size_t>(c), static_cast<size_t>(n - start)) =
            held[static_cast<size_t>((n - heldFirst) * numChannels + c)];
  }
  outputBuffer(outputID)[count] = FD::ObjectRef(frame);
  outputBuffer(notEofID)[count] = FD::ObjectRef(FD::Bool::alloc(inRecording));
  outputBuffer(samplesID)[count] = FD::ObjectRef(FD::Int::alloc(static_cast<int>(samples)));
}

namespace {

const int audioFileSourceRegistered = registerNodeType<AudioFileSource>(kAudioFileSourceType);

}  // namespace
}  // namespace nimbusdale
