// What the tool's audio readers and writers share about libsndfile's formats.
#ifndef NIMBUSDALE_APPS_SNDFILE_H
#define NIMBUSDALE_APPS_SNDFILE_H

#include <sndfile.h>

#include <cstdio>
#include <memory>
#include <string>

#include "AudioFile.h"

namespace nimbusdale::app {

/// A file libsndfile reads through a stdio stream with a 64 KB buffer, by its virtual I/O:
/// reading a file it opens itself, it makes a system call every 8 KB. Closes both when
/// destroyed.
class SndfileReader {
 public:
  /// Opens `path` and fills `info`. Throws std::runtime_error "cannot read PATH: why".
  SndfileReader(const std::string& path, SF_INFO& info);
  ~SndfileReader();
  SndfileReader(const SndfileReader&) = delete;
  SndfileReader& operator=(const SndfileReader&) = delete;

  SNDFILE* file() const { return file_; }

 private:
  std::FILE* stream_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  SNDFILE* file_ = nullptr;
};

/// The lower-case extension of the file name in `path`, or "".
std::string extensionOf(const std::string& path);

/// libsndfile's format for writing `path` (container from the extension). Throws
/// std::runtime_error saying why there is none.
SF_INFO outputInfo(const std::string& path, int channels, int sampleRate, SampleFormat format);

/// The frames a truncated file's header claims, or 0 (lengths left open by streaming writers, all
/// ones, are not claims).
long claimedFrames(SNDFILE* file, const SF_INFO& info);

/// The frames a stream's header says it holds, or -1 where that says nothing: a length left open
/// by a streaming writer (a data size of all ones, 32 or 31 bits) or an encoding of no fixed size.
long streamHeaderFrames(const SF_INFO& info);

}  // namespace nimbusdale::app

#endif
