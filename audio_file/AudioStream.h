// Audio read and written block by block: files through libsndfile, pipes as WAV streams or raw
// samples, so the tool never holds a whole recording.
#ifndef NIMBUSDALE_APPS_AUDIOSTREAM_H
#define NIMBUSDALE_APPS_AUDIOSTREAM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "OutputFile.h"

namespace nimbusdale::app {

class SndfileReader;

/// Encodings of headerless samples, little-endian and interleaved.
enum class RawEncoding { S16le, S32le, F32le };

/// Parses "s16le", "s32le" or "f32le"; throws std::runtime_error naming the value otherwise.
RawEncoding parseRawEncoding(const std::string& name);

/// How to read headerless samples: their encoding, channel count and rate.
struct RawInput {
  RawEncoding encoding = RawEncoding::F32le;
  int channels = 0;
  int sampleRate = 0;
};

/// A recording read block by block from a file or, for "-", from standard input: any file
/// libsndfile reads (WAV streams also from a pipe), or raw samples when `raw` is given.
/// Samples come as floats with full scale 1.0, the way libsndfile scales integers.
class AudioReader {
 public:
  /// Opens `path`. Throws std::runtime_error naming the file and the reason.
  AudioReader(const std::string& path, const RawInput* raw = nullptr);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int channels() const { return channels_; }
  int sampleRate() const { return sampleRate_; }
  /// Frames the source says it holds, or -1 when unknown (pipes, raw input).
  long frames() const { return frames_; }
  /// For a file shorter than its header says: the frames the header claims (else 0). For a
  /// stream, known once read() has met its end.
  long claimedFrames() const { return claimed_; }

  /// Reads up to `frames` frames into `interleaved` (resized to what was read) and returns how
  /// many; 0 at the end. Throws std::runtime_error on a read error.
  long read(long frames, std::vector<float>& interleaved);
  /// Bytes of an incomplete last frame of raw input that were dropped at the end.
  long droppedBytes() const { return dropped_; }
  /// The container raw input starts like ("WAV", "FLAC", ...), once read; "" for none.
  const std::string& rawLooksLike() const { return looksLike_; }

 private:
  std::string path_;
  int channels_ = 0, sampleRate_ = 0;
  long frames_ = -1, claimed_ = 0, got_ = 0, dropped_ = 0;
  long headerFrames_ = -1;  // what a stream's header says it holds, if anything
  std::string looksLike_;
  void* file_ = nullptr;                 // SNDFILE*, a named file's or standard input's
  std::unique_ptr<SndfileReader> named_;  // owns file_ for a named file
  int fd_ = -1;                           // raw input
  bool ownsFd_ = false;
  RawInput raw_;
  std::vector<unsigned char> bytes_;
  size_t pending_ = 0;  // bytes of a partial frame carried to the next read
};

/// Containers the tool writes to streams.
enum class StreamContainer { Auto, Wav, Raw };

/// Mono or multichannel audio written block by block to an OutputFile: regular files in any
/// container libsndfile writes (named by the extension); standard output, FIFOs and character
/// devices as a WAV stream whose length is left open (sizes of all ones, as streaming writers
/// do) or as raw little-endian samples.
class AudioWriter {
 public:
  /// `container` Auto takes the path's extension (a stream named "-" is WAV). Throws
  /// std::runtime_error when the destination cannot take the format, before anything is written.
  AudioWriter(OutputFile& file, int channels, int sampleRate, SampleFormat format,
              StreamContainer container = StreamContainer::Auto);
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  /// Writes `frames` interleaved frames. Throws std::runtime_error on failure.
  void write(const float* interleaved, long frames);
  /// Completes the container (libsndfile's header); the OutputFile is then finished by its owner.
  void close();
  /// Samples outside [-1, 1] so far (clipped when written as 16-bit).
  long clipped() const { return clipped_; }

 private:
  void writeBytes(const void* data, size_t size);

  OutputFile& file_;
  int channels_;
  SampleFormat format_;
  bool raw_ = false;
  void* sndfile_ = nullptr;  // SNDFILE*, for regular files
  long clipped_ = 0;
  size_t unsynced_ = 0;  // samples written since the last write-behind
  std::vector<unsigned char> encoded_;
};

/// Throws std::runtime_error unless `path` (or, with `container` Wav or Raw, a stream) can take
/// `channels` channels of `format`, as the AudioWriter for it will need; checked before work.
void checkWritable(const std::string& path, int channels, SampleFormat format,
                   StreamContainer container);

}  // namespace nimbusdale::app

#endif
