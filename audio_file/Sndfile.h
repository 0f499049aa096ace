// What the tool's audio readers and writers share about libsndfile's formats.
#ifndef NIMBUSDALE_APPS_SNDFILE_H
#define NIMBUSDALE_APPS_SNDFILE_H

#include <sndfile.h>

#include <string>

#include "AudioFile.h"

namespace nimbusdale::app {

/// The lower-case extension of the file name in `path`, or "".
std::string extensionOf(const std::string& path);

/// libsndfile's format for writing `path` (container from the extension). Throws
/// std::runtime_error saying why there is none.
SF_INFO outputInfo(const std::string& path, int channels, int sampleRate, SampleFormat format);

/// The frames a truncated file's header claims, or 0 (lengths left open by streaming writers, all
/// ones, are not claims).
long claimedFrames(SNDFILE* file, const SF_INFO& info);

}  // namespace nimbusdale::app

#endif
