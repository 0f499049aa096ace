// AudioFileSink: blocks of samples written to an audio file.
#include <algorithm>
#include <iostream>
#include <memory>
#include <stdexcept>
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

AudioFileSink::AudioFileSink(std::string nodeName, FD::ParameterSet params)
    : ToolboxNode(nodeName, params, kAudioFileSinkType),
      inputID(port("INPUT")),
      samplesID(port("SAMPLES")),
      outputID(port("OUTPUT")),
      path(values.stringValue("FILENAME")),
      sampleRate(values.intValue("SAMPLING_RATE")),
      format(app::sampleFormatNamed(values.stringValue("SAMPLE_FORMAT"))) {
  if (path == "-")
    fail("FILENAME - (standard output) is the host's own output; give a file or a FIFO");
  try {
    app::checkWritable(path, 1, format, app::StreamContainer::Auto);
  } catch (const std::runtime_error& e) {
    fail(std::string("FILENAME: ") + e.what());
  }
  // The signals belong to the host: a temporary file left by one is named *.partial-PID.
  app::setSignalCleanup(false);
}

AudioFileSink::~AudioFileSink() = default;

void AudioFileSink::start(int blockChannels) {
  writer.reset();
  file.reset();
  try {
    file = std::make_unique<app::OutputFile>(path);
    writer = std::make_unique<app::AudioWriter>(*file, blockChannels, sampleRate, format,
                                                app::StreamContainer::Auto);
  } catch (const std::runtime_error& e) {
    writer.reset();
    file.reset();
    fail(std::string("FILENAME: ") + e.what());
  }
  channels = blockChannels;
  written = 0;
  finished = false;
}

void AudioFileSink::complete() {
  try {
    writer->close();
    file->finish();
    file->commit();
  } catch (const std::runtime_error& e) {
    fail(e.what());
  }
  if (writer->clipped() > 0)
    std::cerr << kAudioFileSinkType.name << " '" << getName() << "': warning: " << writer->clipped()
              << " samples lay outside [-1, 1]"
              << (format == app::SampleFormat::Pcm16 ? " and were clipped" : "") << std::endl;
  finished = true;
}

void AudioFileSink::calculate(int, int count, FD::Buffer& out) {
  FD::RCPtr<RealFrame> block = inputFrame<RealFrame>(inputID, count);
  const int total = inputValue<int>(samplesID, count);
  const int rows = static_cast<int>(block->nrows()), cols = static_cast<int>(block->ncols());
  if (rows < 1) fail("input INPUT frame has no rows; a block has one row per channel");
  if (total < 0) fail("input SAMPLES is " + std::to_string(total) + "; it must be at least 0");
  if (count != 0 && count != next)
    fail("block " + std::to_string(count) + " came out of order; block " + std::to_string(next) +
         " is next");
  if (count != 0 && rows != channels)
    fail("input INPUT frame has " + std::to_string(rows) + " rows; the file has " +
         std::to_string(channels) + " channels");
  requireFrameValues(inputID, *block, rows, cols);

  FD::ObjectRef& done = out[count];  // a count the buffer refuses fails before anything is written
  if (count == 0) start(rows);
  const long take = finished ? 0 : std::min<long>(cols, total - written);
  if (take > 0) {
    interleaved.resize(static_cast<size_t>(take * rows));
    for (long n = 0; n < take; ++n)
      for (int c = 0; c < rows; ++c)
        interleaved[static_cast<size_t>(n * rows + c)] =
            (*block)(static_cast<size_t>(c), static_cast<size_t>(n));
    try {
      writer->write(interleaved.data(), take);
    } catch (const std::runtime_error& e) {
      fail(e.what());
    }
    written += take;
  }
  if (!finished && written == total) complete();
  next = count + 1;
  done = FD::ObjectRef(FD::Int::alloc(static_cast<int>(written)));
}

namespace {

const int audioFileSinkRegistered = registerNodeType<AudioFileSink>(kAudioFileSinkType);

}  // namespace
}  // namespace nimbusdale
