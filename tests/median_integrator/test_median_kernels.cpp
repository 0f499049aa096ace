// The median integration's sort across channels on every instruction set compiled into the
// binary: the median each bin gets is the one a plain sort of its channels gives, bit for bit,
// with ties, negatives, zeros of both signs and more channels than the network takes.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nimbusdale/MedianIntegration.h"
#include "nimbusdale/SpectrumMagnitude.h"

namespace {

using cfloat = std::complex<float>;

class EveryTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

// The lower median of each bin's channels, by a stable sort, with channel 0's phase: of equal
// values (-0 and +0) the one from the lowest channel comes first.
std::vector<cfloat> sortedMedians(const std::vector<float>& sparse, const std::vector<cfloat>& spec,
                                  int channels, int bins) {
  std::vector<cfloat> out(static_cast<size_t>(bins));
  std::vector<float> column(static_cast<size_t>(channels));
  for (int k = 0; k < bins; ++k) {
    for (int c = 0; c < channels; ++c) column[size_t(c)] = sparse[size_t(c * bins + k)];
    std::stable_sort(column.begin(), column.end());
    out[size_t(k)] = nimbusdale::withPhaseOf(column[size_t((channels - 1) / 2)], spec[size_t(k)]);
  }
  return out;
}

TEST_P(EveryTarget, EveryBinGetsTheMedianOfASort) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> level(-3, 12);
  std::normal_distribution<float> part(0.0f, 1.0f);
  for (int channels : {1, 2, 3, 8, 9, 17, 64, 65}) {
    for (int bins : {1, 7, 257}) {
      SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(bins) + " bins");
      nimbusdale::MedianIntegration median(nimbusdale::MedianSettings{channels, bins});
      std::vector<cfloat> spec(size_t(channels) * size_t(bins));
      for (cfloat& s : spec) s = cfloat(part(rng), part(rng));
      // Few distinct values, so that ties are common; zeros and negatives among them.
      std::vector<float> sparse(spec.size());
      for (float& v : sparse) v = 0.25f * static_cast<float>(std::max(level(rng), -1));
      for (bool negativeZero : {false, true}) {
        // Bin 0 all zeros, the one of the median's channel -0: the sort keeps it in place.
        if (negativeZero)
          for (int c = 0; c < channels; ++c)
            sparse[size_t(c * bins)] = c == (channels - 1) / 2 ? -0.0f : 0.0f;
        std::vector<cfloat> out(static_cast<size_t>(bins));
        median.process(sparse.data(), spec.data(), out.data());
        const std::vector<cfloat> expected = sortedMedians(sparse, spec, channels, bins);
        // A selection among many channels is not stable: -0 and +0 may trade places there.
        if (negativeZero && channels > 16)
          EXPECT_EQ(out, expected);
        else
          EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(cfloat)), 0)
              << (negativeZero ? "with a -0" : "");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MedianKernels, EveryTarget,
                         ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return std::string(hwy::TargetName(info.param));
                         });

}  // namespace
