#include "Spectrogram.h"

#include <stb_easy_font.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>

namespace nimbusdale::app {
namespace {

constexpr size_t kMaxColumns = 1200;
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

// One signal's frames as dB columns, each pooling `framesPerColumn` frames by their maximum.
struct SpectrogramBuilder::Panel {
  Panel(std::string title, StftGeometry g)
      : title(std::move(title)),
        geometry(g),
        window(hannWindow(g.length)),
        pending(static_cast<size_t>(g.length - g.hop), 0.0f),
        frame(static_cast<size_t>(g.length)),
        bins(static_cast<size_t>(g.bins())),
        fft(g.length) {}

  // Frames complete once `pending` holds a whole frame; `pending` starts with the zeros before
  // the signal.
  void add(const float* x, long n, int stride) {
    for (long i = 0; i < n; ++i) {
      pending.push_back(x[i * stride]);
      if (static_cast<long>(pending.size()) == geometry.length) {
        runFrame();
        pending.erase(pending.begin(), pending.begin() + geometry.hop);
      }
    }
    samples += n;
  }

  // The last frames, zero-padded, as the analysis of the whole signal has them.
  void finish() {
    const long frames = std::max(1L, geometry.frameCount(samples));
    while (framesDone < frames) {
      pending.resize(static_cast<size_t>(geometry.length), 0.0f);
      runFrame();
      pending.erase(pending.begin(), pending.begin() + geometry.hop);
    }
  }

  void runFrame() {
    for (int i = 0; i < geometry.length; ++i)
      frame[static_cast<size_t>(i)] =
          pending[static_cast<size_t>(i)] * window[static_cast<size_t>(i)];
    fft.forward(frame.data(), bins.data());
    if (framesDone % framesPerColumn == 0)
      columns.emplace_back(static_cast<size_t>(geometry.bins()), -1e9f);
    std::vector<float>& col = columns.back();
    for (int k = 0; k < geometry.bins(); ++k)
      col[static_cast<size_t>(k)] =
          std::max(col[static_cast<size_t>(k)],
                   20.0f * std::log10(std::abs(bins[static_cast<size_t>(k)]) + 1e-12f));
    ++framesDone;
    if (framesDone % framesPerColumn == 0 && columns.size() == 2 * kMaxColumns) {
      for (size_t c = 0; c < kMaxColumns; ++c) {
        std::vector<float>& merged = columns[c];
        merged = columns[2 * c];
        for (size_t k = 0; k < merged.size(); ++k)
          merged[k] = std::max(merged[k], columns[2 * c + 1][k]);
      }
      columns.resize(kMaxColumns);
      framesPerColumn *= 2;
    }
  }

  // The columns pooled down to at most kMaxColumns.
  std::vector<std::vector<float>> picture() const {
    const size_t have = columns.size();
    const size_t shown = std::min(have, kMaxColumns);
    std::vector<std::vector<float>> out(
        shown, std::vector<float>(static_cast<size_t>(geometry.bins()), -1e9f));
    for (size_t c = 0; c < have; ++c) {
      std::vector<float>& dst = out[c * shown / have];
      for (size_t k = 0; k < dst.size(); ++k) dst[k] = std::max(dst[k], columns[c][k]);
    }
    return out;
  }

  std::string title;
  StftGeometry geometry;
  std::vector<float> window, pending, frame;
  std::vector<std::complex<float>> bins;
  RealFft fft;
  std::vector<std::vector<float>> columns;
  long framesPerColumn = 1, framesDone = 0, samples = 0;
};

SpectrogramBuilder::SpectrogramBuilder(std::vector<std::string> titles, int sampleRate,
                                       StftGeometry geometry)
    : sampleRate(sampleRate), geometry(geometry) {
  geometry.validate();
  if (titles.empty()) throw std::invalid_argument("no spectrogram to draw");
  for (auto& title : titles) panels.push_back(std::make_unique<Panel>(std::move(title), geometry));
}

SpectrogramBuilder::~SpectrogramBuilder() = default;

void SpectrogramBuilder::add(int panel, const float* samples, long n) {
  addStrided(panel, samples, n, 1);
}

void SpectrogramBuilder::addStrided(int panel, const float* samples, long n, int stride) {
  panels.at(static_cast<size_t>(panel))->add(samples, n, stride);
}

std::vector<unsigned char> SpectrogramBuilder::png() {
  const long samples = panels.front()->samples;
  for (const auto& p : panels)
    if (p->samples != samples)
      throw std::runtime_error("spectrogram panels hold different lengths of signal");
  std::vector<std::vector<std::vector<float>>> spectra;
  float peak = -1e9f;
  for (const auto& panel : panels) {
    panel->finish();
    spectra.push_back(panel->picture());
    for (const auto& col : spectra.back())
      for (float v : col) peak = std::max(peak, v);
  }
  const int columns = static_cast<int>(spectra.front().size());
  const int rows = geometry.bins();
  const int panelHeight = kTitle + rows + kGap;
  Image img(kLeft + columns + kRight, static_cast<int>(panels.size()) * panelHeight + kBottom);

  const double nyquistKHz = sampleRate / 2000.0;
  const double freqStep = niceStep(nyquistKHz, 5);
  const double seconds = double(samples) / sampleRate;
  const double timeStep = niceStep(std::max(seconds, 1e-3), 8);
  for (size_t p = 0; p < panels.size(); ++p) {
    const int top = static_cast<int>(p) * panelHeight + kTitle;
    drawText(img, kLeft, top - 20,
             panels[p]->title + "  (dB, top " + numberLabel(kRangeDb) + " dB shown)", 2);
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

}  // namespace nimbusdale::app
