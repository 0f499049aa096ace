#include "AudioStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "Sndfile.h"

namespace nimbusdale::app {
namespace {

// Samples written to a file between two write-behind hints: a megabyte as floats.
constexpr size_t kWriteBehindSamples = size_t{1} << 18;

SNDFILE* sndfile(void* handle) {
  return static_cast<SNDFILE*>(handle);
}

// libsndfile's reason for a failure; a system error reads as the system's own message.
std::string reasonOf(SNDFILE* file) {
  std::string why = sf_strerror(file);
  const std::string system = "System error : ";
  if (why.compare(0, system.size(), system) == 0) {
    why.erase(0, system.size());
    if (!why.empty() && why.back() == '.') why.pop_back();
  }
  return why;
}

int bytesOf(RawEncoding e) {
  return e == RawEncoding::S16le ? 2 : 4;
}

// Little-endian bytes to the host's integers, on any host.
uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe16(std::vector<unsigned char>& out, uint16_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

void putLe32(std::vector<unsigned char>& out, uint32_t v) {
  putLe16(out, static_cast<uint16_t>(v));
  putLe16(out, static_cast<uint16_t>(v >> 16));
}

// A WAV header whose RIFF and data sizes are left open (all ones): readers take the data up to
// the end of the stream.
std::vector<unsigned char> openWavHeader(int channels, int sampleRate, SampleFormat format) {
  const bool isFloat = format == SampleFormat::Float;
  const uint16_t bytes = isFloat ? 4 : 2;
  std::vector<unsigned char> h;
  auto tag = [&](const char* t) { h.insert(h.end(), t, t + 4); };
  tag("RIFF");
  putLe32(h, 0xFFFFFFFFu);
  tag("WAVE");
  tag("fmt ");
  putLe32(h, isFloat ? 18 : 16);
  putLe16(h, isFloat ? 3 : 1);  // IEEE float or integer PCM
  putLe16(h, static_cast<uint16_t>(channels));
  putLe32(h, static_cast<uint32_t>(sampleRate));
  putLe32(h, static_cast<uint32_t>(sampleRate) * channels * bytes);
  putLe16(h, static_cast<uint16_t>(channels * bytes));
  putLe16(h, static_cast<uint16_t>(8 * bytes));
  if (isFloat) {
    putLe16(h, 0);  // no extension
    tag("fact");    // required for non-PCM data; the frame count is open too
    putLe32(h, 4);
    putLe32(h, 0xFFFFFFFFu);
  }
  tag("data");
  putLe32(h, 0xFFFFFFFFu);
  return h;
}

// Whether an output at `path` with this container is written as a stream of our own making
// (WAV with open sizes, or raw) rather than through libsndfile.
bool ownStream(const std::string& path, bool streaming, StreamContainer container) {
  return container != StreamContainer::Auto || streaming || path == "-";
}

}  // namespace

RawEncoding parseRawEncoding(const std::string& name) {
  if (name == "s16le") return RawEncoding::S16le;
  if (name == "s32le") return RawEncoding::S32le;
  if (name == "f32le") return RawEncoding::F32le;
  throw std::runtime_error("--raw " + name + ": the encodings are s16le, s32le and f32le");
}

AudioReader::AudioReader(const std::string& path, const RawInput* raw) : path_(path) {
  const bool standardInput = path == "-";
  if (raw) {
    if (raw->channels < 1 || raw->sampleRate < 1)
      throw std::runtime_error("raw input " + path +
                               " needs --channels and --rate, both at least 1");
    raw_ = *raw;
    channels_ = raw->channels;
    sampleRate_ = raw->sampleRate;
    if (standardInput) {
      fd_ = STDIN_FILENO;
    } else {
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
      ownsFd_ = true;
    }
    return;
  }
  SF_INFO info{};
  SNDFILE* file = nullptr;
  if (standardInput) {
    file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
    if (!file) throw std::runtime_error(std::string("cannot read standard input: ") +
                                        sf_strerror(nullptr));
  } else {
    named_ = std::make_unique<SndfileReader>(path, info);
    file = named_->file();
  }
  const std::string name = standardInput ? "standard input" : path;
  if (info.channels < 1 || info.samplerate < 1) {
    if (!named_) sf_close(file);
    throw std::runtime_error("cannot read " + name + ": no channels or no sample rate");
  }
  file_ = file;
  channels_ = info.channels;
  sampleRate_ = info.samplerate;
  // A pipe's header may claim any length (often all ones); only a file's count is known.
  const bool seekable = info.seekable && !standardInput;
  frames_ = seekable ? static_cast<long>(info.frames) : -1;
  if (seekable)
    claimed_ = app::claimedFrames(file, info);
  else
    headerFrames_ = streamHeaderFrames(info);
}

AudioReader::~AudioReader() {
  if (file_ && !named_) sf_close(sndfile(file_));
  if (ownsFd_) ::close(fd_);
}

long AudioReader::read(long frames, std::vector<float>& interleaved) {
  const size_t channels = static_cast<size_t>(channels_);
  interleaved.resize(static_cast<size_t>(frames) * channels);
  if (file_) {
    const sf_count_t got = sf_readf_float(sndfile(file_), interleaved.data(), frames);
    if (sf_error(sndfile(file_)) != SF_ERR_NO_ERROR)
      throw std::runtime_error("cannot read " + path_ + ": " + reasonOf(sndfile(file_)));
    got_ += got;
    if (got < frames && frames_ >= 0 && got_ < frames_)
      throw std::runtime_error("cannot read " + path_ + ": its header claims " +
                               std::to_string(frames_) + " frames, but only " +
                               std::to_string(got_) + " could be decoded");
    // A stream that ends before its header said: known only now.
    if (got < frames && headerFrames_ > got_) claimed_ = headerFrames_;
    interleaved.resize(static_cast<size_t>(got) * channels);
    return static_cast<long>(got);
  }

  const size_t sampleBytes = static_cast<size_t>(bytesOf(raw_.encoding));
  const size_t frameBytes = sampleBytes * channels;
  bytes_.resize(static_cast<size_t>(frames) * frameBytes);
  size_t have = pending_;
  // A pipe hands out what it has; read until the block is full or the input ends.
  while (have < bytes_.size()) {
    const ssize_t n = ::read(fd_, bytes_.data() + have, bytes_.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (got_ == 0 && pending_ == 0 && have >= 4) {
    // Headerless samples seldom start with a container's magic; a recording given as raw
    // usually does.
    static const std::pair<const char*, const char*> magic[] = {
        {"RIFF", "WAV"},  {"RF64", "WAV"}, {"RIFX", "WAV"}, {"FORM", "AIFF"},
        {"fLaC", "FLAC"}, {"OggS", "Ogg"}, {".snd", "AU"},  {"caff", "CAF"}};
    for (const auto& [tag, container] : magic)
      if (std::memcmp(bytes_.data(), tag, 4) == 0) looksLike_ = container;
  }
  const size_t whole = have / frameBytes;
  const bool ended = have < bytes_.size();
  for (size_t i = 0; i < whole * channels; ++i) {
    const unsigned char* p = bytes_.data() + i * sampleBytes;
    float x = 0.0f;
    switch (raw_.encoding) {
      case RawEncoding::S16le:
        x = static_cast<float>(static_cast<int16_t>(uint16_t(p[0]) | uint16_t(p[1]) << 8)) *
            (1.0f / 32768.0f);
        break;
      case RawEncoding::S32le:
        x = static_cast<float>(static_cast<int32_t>(le32(p))) * (1.0f / 2147483648.0f);
        break;
      case RawEncoding::F32le: {
        const uint32_t bits = le32(p);
        std::memcpy(&x, &bits, sizeof x);
        break;
      }
    }
    interleaved[i] = x;
  }
  pending_ = have - whole * frameBytes;
  if (ended) {
    // Kept across the calls that follow the end, which find nothing more.
    dropped_ += static_cast<long>(pending_);
    pending_ = 0;
  } else if (pending_) {
    std::memmove(bytes_.data(), bytes_.data() + whole * frameBytes, pending_);
  }
  interleaved.resize(whole * channels);
  got_ += static_cast<long>(whole);
  return static_cast<long>(whole);
}

void checkWritable(const std::string& path, int channels, SampleFormat format,
                   StreamContainer container) {
  if (container == StreamContainer::Raw) return;
  if (container == StreamContainer::Wav || path == "-") {
    if (channels < 1) throw std::runtime_error("cannot write " + path + ": no channels");
    return;
  }
  outputInfo(path, channels, 16000, format);
}

AudioWriter::AudioWriter(OutputFile& file, int channels, int sampleRate, SampleFormat format,
                         StreamContainer container)
    : file_(file), channels_(channels), format_(format) {
  const std::string& path = file.path();
  if (ownStream(path, file.streaming(), container)) {
    // A stream cannot be rewound to fill in a header's sizes: WAV with open sizes, or raw.
    StreamContainer chosen = container;
    if (chosen == StreamContainer::Auto) {
      const std::string ext = extensionOf(path);
      if (path == "-" || ext == "wav")
        chosen = StreamContainer::Wav;
      else if (ext == "raw")
        chosen = StreamContainer::Raw;
      else
        throw std::runtime_error("cannot write " + path +
                                 ": a pipe or device takes a WAV stream or raw samples; name it "
                                 ".wav or .raw, or give --output-format wav or raw");
    }
    raw_ = true;
    if (chosen == StreamContainer::Wav) {
      const std::vector<unsigned char> header = openWavHeader(channels, sampleRate, format);
      writeBytes(header.data(), header.size());
    }
    return;
  }
  SF_INFO info = outputInfo(path, channels, sampleRate, format);
  SNDFILE* out = sf_open_fd(file.descriptor(), SFM_WRITE, &info, SF_FALSE);
  if (!out) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
  if (format == SampleFormat::Pcm16) sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sndfile_ = out;
}

AudioWriter::~AudioWriter() {
  if (sndfile_) sf_close(sndfile(sndfile_));
}

void AudioWriter::writeBytes(const void* data, size_t size) {
  file_.write(data, size);
}

void AudioWriter::write(const float* interleaved, long frames) {
  const size_t values = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
  for (size_t i = 0; i < values; ++i)
    if (std::fabs(interleaved[i]) > 1.0f) ++clipped_;
  if (sndfile_) {
    if (sf_writef_float(sndfile(sndfile_), interleaved, frames) != frames)
      throw std::runtime_error("cannot write " + file_.path() + ": " + reasonOf(sndfile(sndfile_)));
    unsynced_ += values;
    if (unsynced_ >= kWriteBehindSamples) {
      file_.writeBehind();
      unsynced_ = 0;
    }
    return;
  }
  encoded_.clear();
  if (format_ == SampleFormat::Float) {
    for (size_t i = 0; i < values; ++i) {
      uint32_t bits;
      std::memcpy(&bits, &interleaved[i], sizeof bits);
      putLe32(encoded_, bits);
    }
  } else {
    // The conversion libsndfile makes with clipping on, so files and streams hold the same
    // samples: scaled by 32767, rounded to nearest, clipped to the 16-bit range.
    for (size_t i = 0; i < values; ++i) {
      const float scaled = 32767.0f * interleaved[i];
      const long v = scaled > 32767.0f    ? 32767L
                     : scaled < -32768.0f ? -32768L
                                          : std::lrintf(scaled);
      putLe16(encoded_, static_cast<uint16_t>(static_cast<int16_t>(v)));
    }
  }
  writeBytes(encoded_.data(), encoded_.size());
}

void AudioWriter::close() {
  if (!sndfile_) return;
  SNDFILE* out = sndfile(sndfile_);
  sndfile_ = nullptr;
  const std::string why = reasonOf(out);
  if (sf_close(out) != 0) throw std::runtime_error("cannot write " + file_.path() + ": " + why);
}

}  // namespace nimbusdale::app
