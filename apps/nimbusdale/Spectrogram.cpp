#include "Spectrogram.h"

#include <stb_easy_font.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>

#include "OutputFile.h"

namespace nimbusdale::app {
namespace {

constexpr int kMaxColumns = 1200;
constexpr int kLeft = 70, kRight = 16, kTitle = 26, kBottom = 44, kGap = 10;
constexpr float kRangeDb = 80.0f;

struct Image {
  int width, height;
  std::vector<unsigned char> rgb;
  Image(int w, int h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 255) {}
  void set(int x, int y, std::array<unsigned char, 3> c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    p[0] = c[0];
    p[1] = c[1];
    p[2] = c[2];
  }
  void fill(int x0, int y0, int x1, int y1, std::array<unsigned char, 3> c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) set(x, y, c);
  }
};

const std::array<unsigned char, 3> kBlack{0, 0, 0};

// Text from stb_easy_font's quads, drawn `scale` pixels per font pixel.
int textWidth(const std::string& text, int scale) {
  return stb_easy_font_width(const_cast<char*>(text.c_str())) * scale;
}

void drawText(Image& img, int x, int y, const std::string& text, int scale) {
  static std::vector<char> buffer(1 << 16);
  const int quads = stb_easy_font_print(0, 0, const_cast<char*>(text.c_str()), nullptr,
                                        buffer.data(), static_cast<int>(buffer.size()));
  for (int q = 0; q < quads; ++q) {
    const float* v0 = reinterpret_cast<const float*>(buffer.data() + q * 64);
    const float* v2 = reinterpret_cast<const float*>(buffer.data() + q * 64 + 32);
    img.fill(x + int(v0[0]) * scale, y + int(v0[1]) * scale, x + int(v2[0]) * scale,
             y + int(v2[1]) * scale, kBlack);
  }
}

// A perceptually ordered dark-to-light map (black, purple, red, orange, pale yellow).
std::array<unsigned char, 3> colourFor(float t) {
  static const float stops[5][3] = {
      {0, 0, 4}, {81, 18, 124}, {183, 55, 121}, {252, 137, 97}, {252, 253, 191}};
  t = std::clamp(t, 0.0f, 1.0f) * 4.0f;
  const int i = std::min(3, static_cast<int>(t));
  const float f = t - i;
  std::array<unsigned char, 3> c{};
  for (int k = 0; k < 3; ++k)
    c[static_cast<size_t>(k)] =
        static_cast<unsigned char>(stops[i][k] + f * (stops[i + 1][k] - stops[i][k]) + 0.5f);
  return c;
}

// Column-wise dB spectrogram, pooled (max) down to at most kMaxColumns columns.
std::vector<std::vector<float>> spectrogramDb(const std::vector<float>& x, StftGeometry g,
                                              int columns) {
  const long frames = std::max(1L, g.frameCount(static_cast<long>(x.size())));
  const std::vector<float> window = hannWindow(g.length);
  RealFft fft(g.length);
  std::vector<float> frame(static_cast<size_t>(g.length));
  std::vector<std::complex<float>> bins(static_cast<size_t>(g.bins()));
  std::vector<std::vector<float>> db(static_cast<size_t>(columns),
                                     std::vector<float>(static_cast<size_t>(g.bins()), -1e9f));
  for (long t = 0; t < frames; ++t) {
    const long start = g.frameStart(t);
    for (int i = 0; i < g.length; ++i) {
      const long n = start + i;
      frame[static_cast<size_t>(i)] =
          (n >= 0 && n < static_cast<long>(x.size()))
              ? x[static_cast<size_t>(n)] * window[static_cast<size_t>(i)]
              : 0.0f;
    }
    fft.forward(frame.data(), bins.data());
    auto& col = db[static_cast<size_t>(t * columns / frames)];
    for (int k = 0; k < g.bins(); ++k)
      col[static_cast<size_t>(k)] =
          std::max(col[static_cast<size_t>(k)],
                   20.0f * std::log10(std::abs(bins[static_cast<size_t>(k)]) + 1e-12f));
  }
  return db;
}

double niceStep(double span, int maxTicks) {
  const double raw = span / maxTicks;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw) return m * p;
  return 10.0 * p;
}

std::string numberLabel(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", std::round(v * 1000.0) / 1000.0);
  return buf;
}

}  // namespace

std::vector<unsigned char> renderSpectrogramPng(const std::vector<SpectrogramPanel>& panels,
                                                int sampleRate, StftGeometry geometry) {
  geometry.validate();
  if (panels.empty()) throw std::invalid_argument("no spectrogram to draw");
  const long samples = static_cast<long>(panels.front().signal.size());
  const long frames = std::max(1L, geometry.frameCount(samples));
  const int columns = static_cast<int>(std::min<long>(frames, kMaxColumns));
  const int rows = geometry.bins();
  const int panelHeight = kTitle + rows + kGap;
  Image img(kLeft + columns + kRight, static_cast<int>(panels.size()) * panelHeight + kBottom);

  std::vector<std::vector<std::vector<float>>> spectra;
  float peak = -1e9f;
  for (const auto& panel : panels) {
    spectra.push_back(spectrogramDb(panel.signal, geometry, columns));
    for (const auto& col : spectra.back())
      for (float v : col) peak = std::max(peak, v);
  }

  const double nyquistKHz = sampleRate / 2000.0;
  const double freqStep = niceStep(nyquistKHz, 5);
  const double seconds = double(samples) / sampleRate;
  const double timeStep = niceStep(std::max(seconds, 1e-3), 8);
  for (size_t p = 0; p < panels.size(); ++p) {
    const int top = static_cast<int>(p) * panelHeight + kTitle;
    drawText(img, kLeft, top - 20,
             panels[p].title + "  (dB, top " + numberLabel(kRangeDb) + " dB shown)", 2);
    for (int c = 0; c < columns; ++c)
      for (int k = 0; k < rows; ++k) {
        const float level =
            (spectra[p][static_cast<size_t>(c)][static_cast<size_t>(k)] - (peak - kRangeDb)) /
            kRangeDb;
        img.set(kLeft + c, top + rows - 1 - k, colourFor(level));
      }
    img.fill(kLeft - 1, top, kLeft, top + rows, kBlack);
    img.fill(kLeft - 1, top + rows, kLeft + columns, top + rows + 1, kBlack);
    for (double f = 0; f <= nyquistKHz + 1e-9; f += freqStep) {
      const int y = top + rows - 1 - static_cast<int>(std::lround(f / nyquistKHz * (rows - 1)));
      img.fill(kLeft - 6, y, kLeft - 1, y + 1, kBlack);
      const std::string label = numberLabel(f);
      drawText(img, kLeft - 8 - textWidth(label, 1) * 1, y - 3, label, 1);
    }
    drawText(img, 4, top + rows / 2 - 4, "kHz", 2);
  }
  const int axisY = static_cast<int>(panels.size()) * panelHeight - kGap;
  for (double t = 0; t <= seconds + 1e-9; t += timeStep) {
    const int x =
        kLeft + static_cast<int>(std::lround(t / std::max(seconds, 1e-9) * (columns - 1)));
    img.fill(x, axisY + 1, x + 1, axisY + 6, kBlack);
    const std::string label = numberLabel(t);
    drawText(img, x - textWidth(label, 1) / 2, axisY + 9, label, 1);
  }
  drawText(img, kLeft + columns / 2 - textWidth("time (s)", 2) / 2, axisY + 22, "time (s)", 2);

  std::vector<unsigned char> png;
  const auto append = [](void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    const auto* first = static_cast<const unsigned char*>(data);
    bytes->insert(bytes->end(), first, first + size);
  };
  if (!stbi_write_png_to_func(append, &png, img.width, img.height, 3, img.rgb.data(),
                              img.width * 3))
    throw std::runtime_error("cannot encode the spectrogram picture");
  return png;
}

void writeSpectrogramPng(const std::string& path, const std::vector<SpectrogramPanel>& panels,
                         int sampleRate, StftGeometry geometry) {
  const std::vector<unsigned char> png = renderSpectrogramPng(panels, sampleRate, geometry);
  OutputFile out(path, "spectrogram");
  out.write(png.data(), png.size());
  out.commit();
}

}  // namespace nimbusdale::app
