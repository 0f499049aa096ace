// PNG picture of two spectrograms, one above the other, with a colour map and labelled axes.
#ifndef NIMBUSDALE_APPS_SPECTROGRAM_H
#define NIMBUSDALE_APPS_SPECTROGRAM_H

#include <memory>
#include <string>
#include <vector>

#include "Stft.h"

namespace nimbusdale::app {

/// Spectrograms of several mono signals of equal length, built as their samples arrive: each
/// frame's dB spectrum (Hann frames of the geometry) becomes a column, and once there are twice
/// as many columns as a picture shows, neighbours are pooled (max) in pairs, so memory stays
/// bounded however long the signals run.
class SpectrogramBuilder {
 public:
  /// Throws std::invalid_argument for no titles, a sample rate below 1 or a bad geometry.
  SpectrogramBuilder(std::vector<std::string> titles, int sampleRate, StftGeometry geometry);
  ~SpectrogramBuilder();
  SpectrogramBuilder(const SpectrogramBuilder&) = delete;
  SpectrogramBuilder& operator=(const SpectrogramBuilder&) = delete;

  /// Appends `n` samples to signal `panel`.
  void add(int panel, const float* samples, long n);
  /// Appends every `stride`-th value of `samples` (one channel of interleaved frames).
  void addStrided(int panel, const float* samples, long n, int stride);
  /// The picture, panels one above the other, each titled, with time (s) and frequency (kHz, or
  /// Hz below 2 kHz sampling) axes and a colour bar of the shared 80 dB range in dB re full
  /// scale. The time axis takes 100 pixels a second, at least 480 and at most 1600. Every signal
  /// must have received the same number of samples. Throws std::runtime_error.
  std::vector<unsigned char> png();

 private:
  struct Panel;
  std::vector<std::unique_ptr<Panel>> panels;
  int sampleRate;
  StftGeometry geometry;
};

}  // namespace nimbusdale::app

#endif
