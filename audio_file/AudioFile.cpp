#include "AudioFile.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "Sndfile.h"

namespace nimbusdale::app {

SampleFormat sampleFormatNamed(const std::string& name) {
  for (int i = 0; i < 2; ++i)
    if (name == kSampleFormatNames[i]) return static_cast<SampleFormat>(i);
  throw std::invalid_argument("format must be float or pcm16, not '" + name + "'");
}

namespace {

constexpr size_t kReadBuffer = size_t{64} << 10;

std::FILE* stream(void* user) {
  return static_cast<std::FILE*>(user);
}

SF_VIRTUAL_IO bufferedFileIO() {
  SF_VIRTUAL_IO io{};
  io.get_filelen = [](void* user) -> sf_count_t {
    struct stat status {};
    return ::fstat(fileno(stream(user)), &status) == 0 ? status.st_size : -1;
  };
  io.seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
    return ::fseeko(stream(user), offset, whence) == 0 ? ::ftello(stream(user)) : -1;
  };
  io.read = [](void* to, sf_count_t bytes, void* user) -> sf_count_t {
    return static_cast<sf_count_t>(std::fread(to, 1, static_cast<size_t>(bytes), stream(user)));
  };
  io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
  io.tell = [](void* user) -> sf_count_t { return ::ftello(stream(user)); };
  return io;
}

}  // namespace

SndfileReader::SndfileReader(const std::string& path, SF_INFO& info) {
  stream_ = std::fopen(path.c_str(), "rbe");
  if (!stream_) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  buffer_ = std::make_unique<char[]>(kReadBuffer);
  std::setvbuf(stream_, buffer_.get(), _IOFBF, kReadBuffer);
  static SF_VIRTUAL_IO io = bufferedFileIO();
  file_ = sf_open_virtual(&io, SFM_READ, &info, stream_);
  if (!file_) {
    std::fclose(stream_);
    throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
  }
}

SndfileReader::~SndfileReader() {
  sf_close(file_);
  std::fclose(stream_);
}

std::string extensionOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext;
}

namespace {

// libsndfile's major format whose usual extension is `ext`, or 0.
int majorFormatFor(const std::string& ext) {
  if (ext == "aif") return SF_FORMAT_AIFF;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof(info));
    if (info.extension && ext == info.extension) return info.format;
  }
  return 0;
}

}  // namespace

SF_INFO outputInfo(const std::string& path, int channels, int sampleRate, SampleFormat format) {
  const std::string ext = extensionOf(path);
  const int major = majorFormatFor(ext);
  if (!major)
    throw std::runtime_error("cannot write " + path + ": unsupported output format '" + ext +
                             "' (use .wav, .flac, .aiff, ...)");
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = major | (format == SampleFormat::Float ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
  if (!sf_format_check(&info))
    throw std::runtime_error(
        "cannot write " + path + ": the ." + ext + " format cannot hold " +
        (format == SampleFormat::Float ? "float samples; use --format pcm16" : "16-bit samples"));
  return info;
}

namespace {

// Bytes a sample takes in encodings of fixed size, else 0.
int bytesPerSample(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
      return 1;
    case SF_FORMAT_PCM_16:
      return 2;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    case SF_FORMAT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

// libsndfile quietly shortens the frame count to the data present and notes it in its log of the
// header, on the audio chunk's line: "data : CLAIMED (should be PRESENT)" (WAV and its kin),
// "SSND : ..." (AIFF, whose chunk starts with 8 bytes of offset and block size) or
// "Data Size : ..." (AU), sizes in bytes.
long claimedFrames(SNDFILE* file, const SF_INFO& info) {
  const long long frameBytes = static_cast<long long>(bytesPerSample(info.format)) * info.channels;
  if (frameBytes <= 0) return 0;
  std::vector<char> log(1 << 16, '\0');
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size() - 1));
  static const std::regex chunkLine(R"(^\s*(data|SSND|Data Size)\s*:\s*(\d+)\s*\(should be \d+\))");
  std::istringstream lines(log.data());
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, chunkLine)) continue;
    const long long claimed = std::stoll(m[2].str());
    if (claimed == 0xFFFFFFFFLL || claimed == 0x7FFFFFFFLL) return 0;
    const long long frames = (claimed - (m[1] == "SSND" ? 8 : 0)) / frameBytes;
    return frames > info.frames ? static_cast<long>(frames) : 0;
  }
  return 0;
}

long streamHeaderFrames(const SF_INFO& info) {
  const long long frameBytes = static_cast<long long>(bytesPerSample(info.format)) * info.channels;
  if (frameBytes <= 0 || info.frames <= 0) return -1;
  const long long bytes = static_cast<long long>(info.frames) * frameBytes;
  for (long long open : {0xFFFFFFFFLL, 0x7FFFFFFFLL})
    if (bytes <= open && bytes + frameBytes > open) return -1;
  return static_cast<long>(info.frames);
}

Audio readAudio(const std::string& path) {
  SF_INFO info{};
  const SndfileReader reader(path, info);
  SNDFILE* file = reader.file();
  if (info.channels < 1 || info.samplerate < 1)
    throw std::runtime_error("cannot read " + path + ": no channels or no sample rate");
  Audio audio;
  audio.sampleRate = info.samplerate;
  audio.channels = info.channels;
  // Read block by block rather than trusting the header's frame count with one allocation: a
  // damaged header may claim far more audio than the file holds.
  constexpr sf_count_t kBlockFrames = 1 << 16;
  const size_t channels = static_cast<size_t>(info.channels);
  sf_count_t got = 0;
  for (;;) {
    const sf_count_t want = std::min(kBlockFrames, std::max<sf_count_t>(info.frames - got, 0));
    if (want == 0) break;
    audio.samples.resize(static_cast<size_t>(got + want) * channels);
    const sf_count_t read =
        sf_readf_float(file, audio.samples.data() + static_cast<size_t>(got) * channels, want);
    got += std::max<sf_count_t>(read, 0);
    if (read < want) break;
  }
  audio.samples.resize(static_cast<size_t>(got) * channels);
  const bool failed = sf_error(file) != SF_ERR_NO_ERROR;
  const std::string why = sf_strerror(file);
  audio.claimedFrames = claimedFrames(file, info);
  if (got != info.frames)
    throw std::runtime_error("cannot read " + path + ": " +
                             (failed ? why + " (read " + std::to_string(got) + " of " +
                                           std::to_string(info.frames) + " frames)"
                                     : "its header claims " + std::to_string(info.frames) +
                                           " frames, but only " + std::to_string(got) +
                                           " could be decoded"));
  return audio;
}

}  // namespace nimbusdale::app
