#include "audio_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "OutputFile.h"
#include "Sndfile.h"

namespace nimbusdale::app {
namespace {

struct EncodedAudio {
  std::vector<unsigned char> bytes;  // the whole file
  long clipped = 0;                  // samples outside [-1, 1] (clipped for pcm16)
};

// A file in memory for libsndfile's virtual I/O: grows on write, seeks anywhere within.
struct MemoryFile {
  std::vector<unsigned char> bytes;
  sf_count_t position = 0;

  static MemoryFile& of(void* self) { return *static_cast<MemoryFile*>(self); }
  static sf_count_t length(void* self) { return static_cast<sf_count_t>(of(self).bytes.size()); }
  static sf_count_t seek(sf_count_t offset, int whence, void* self) {
    MemoryFile& f = of(self);
    const sf_count_t from = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? f.position
                                                 : static_cast<sf_count_t>(f.bytes.size());
    if (from + offset < 0) return -1;
    return f.position = from + offset;
  }
  static sf_count_t read(void* data, sf_count_t count, void* self) {
    MemoryFile& f = of(self);
    const sf_count_t size = static_cast<sf_count_t>(f.bytes.size());
    const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - f.position));
    if (n > 0) std::memcpy(data, f.bytes.data() + f.position, static_cast<size_t>(n));
    f.position += n;
    return n;
  }
  static sf_count_t write(const void* data, sf_count_t count, void* self) {
    MemoryFile& f = of(self);
    try {
      const size_t end = static_cast<size_t>(f.position + count);
      if (end > f.bytes.size()) f.bytes.resize(end);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    if (count > 0) std::memcpy(f.bytes.data() + f.position, data, static_cast<size_t>(count));
    f.position += count;
    return count;
  }
  static sf_count_t tell(void* self) { return of(self).position; }
};

// The file `path` names, encoded in memory.
EncodedAudio encodeAudio(const std::string& path, const std::vector<float>& interleaved,
                         int channels, int sampleRate, SampleFormat format) {
  SF_INFO info = outputInfo(path, channels, sampleRate, format);
  EncodedAudio encoded;
  for (float x : interleaved)
    if (std::fabs(x) > 1.0f) ++encoded.clipped;

  MemoryFile memory;
  SF_VIRTUAL_IO io{MemoryFile::length, MemoryFile::seek, MemoryFile::read, MemoryFile::write,
                   MemoryFile::tell};
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
  if (!file) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
  if (format == SampleFormat::Pcm16) sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
  const sf_count_t wrote = sf_writef_float(file, interleaved.data(), frames);
  const std::string why = sf_strerror(file);
  const int closed = sf_close(file);
  if (wrote != frames || closed != 0) throw std::runtime_error("cannot write " + path + ": " + why);
  encoded.bytes = std::move(memory.bytes);
  return encoded;
}

}  // namespace

long writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int sampleRate, SampleFormat format) {
  const EncodedAudio encoded = encodeAudio(path, interleaved, channels, sampleRate, format);
  OutputFile out(path);
  out.write(encoded.bytes.data(), encoded.bytes.size());
  out.commit();
  return encoded.clipped;
}

}  // namespace nimbusdale::app
