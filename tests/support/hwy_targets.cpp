// Prints the instruction sets this processor offers among those Highway compiles for, best first,
// the one run-time dispatch picks (as for the library's kernels, which are built the same way)
// and its vector width. scripts/cross-arm64.sh runs it under each qemu CPU it tests on.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "hwy_targets.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace probe {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
int64_t Target() { return HWY_TARGET; }
size_t VectorBits() { return hn::Lanes(hn::ScalableTag<uint8_t>()) * 8; }
}  // namespace HWY_NAMESPACE
}  // namespace probe
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <cstdio>

namespace probe {
HWY_EXPORT(Target);
HWY_EXPORT(VectorBits);
}  // namespace probe

int main() {
  std::printf("offered:");
  for (const int64_t target : hwy::SupportedAndGeneratedTargets())
    std::printf(" %s", hwy::TargetName(target));
  std::printf("\ndispatched: %s, %zu-bit vectors\n",
              hwy::TargetName(HWY_DYNAMIC_DISPATCH(probe::Target)()),
              HWY_DYNAMIC_DISPATCH(probe::VectorBits)());
  return 0;
}
#endif
