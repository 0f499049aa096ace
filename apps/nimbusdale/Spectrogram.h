// PNG picture of two spectrograms, one above the other, with a colour map and labelled axes.
#ifndef NIMBUSDALE_APPS_SPECTROGRAM_H
#define NIMBUSDALE_APPS_SPECTROGRAM_H

#include <string>
#include <vector>

#include "../enhance/Stft.h"

namespace nimbusdale::app {

struct SpectrogramPanel {
  std::string title;
  std::vector<float> signal;  ///< mono samples
};

/// The panels' spectrograms (Hann frames of `geometry`, in dB, one shared 80 dB colour range) as
/// the bytes of a PNG file. Throws std::runtime_error.
std::vector<unsigned char> renderSpectrogramPng(const std::vector<SpectrogramPanel>& panels,
                                                int sampleRate, StftGeometry geometry);

/// renderSpectrogramPng() written to `path` through an OutputFile. Throws std::runtime_error.
void writeSpectrogramPng(const std::string& path, const std::vector<SpectrogramPanel>& panels,
                         int sampleRate, StftGeometry geometry);

}  // namespace nimbusdale::app

#endif
