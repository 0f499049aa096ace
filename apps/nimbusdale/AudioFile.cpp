#include "AudioFile.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace nimbusdale::app {
namespace {

std::string extensionOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext;
}

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

// The libsndfile format for `path`, or a std::runtime_error saying why there is none.
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

}  // namespace

void checkWritable(const std::string& path, int channels, SampleFormat format) {
  outputInfo(path, channels, 16000, format);
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (access(dir.c_str(), W_OK) != 0)
    throw std::runtime_error("cannot write " + path + ": folder " + dir +
                             " is missing or read-only");
}

Audio readAudio(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
  Audio audio;
  audio.sampleRate = info.samplerate;
  audio.channels = info.channels;
  audio.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t got = sf_readf_float(file, audio.samples.data(), info.frames);
  const std::string why = sf_strerror(file);
  sf_close(file);
  if (got != info.frames)
    throw std::runtime_error("cannot read " + path + ": " + why + " (read " + std::to_string(got) +
                             " of " + std::to_string(info.frames) + " frames)");
  if (audio.channels < 1 || audio.sampleRate < 1)
    throw std::runtime_error("cannot read " + path + ": no channels or no sample rate");
  return audio;
}

long writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int sampleRate, SampleFormat format) {
  SF_INFO info = outputInfo(path, channels, sampleRate, format);
  long clipped = 0;
  for (float x : interleaved)
    if (std::fabs(x) > 1.0f) ++clipped;

  const std::string partial = path + ".partial-" + std::to_string(getpid());
  SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
  if (format == SampleFormat::Pcm16) sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
  const sf_count_t wrote = sf_writef_float(file, interleaved.data(), frames);
  const std::string why = sf_strerror(file);
  const int closed = sf_close(file);
  if (wrote != frames || closed != 0) {
    std::remove(partial.c_str());
    throw std::runtime_error("cannot write " + path + ": " + why);
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    throw std::runtime_error("cannot write " + path + ": rename failed");
  }
  return clipped;
}

}  // namespace nimbusdale::app
