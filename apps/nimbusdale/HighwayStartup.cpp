// Highway 1.0 measures its timer's resolution in a static initialiser of its benchmarking code:
// 65536 pairs of timer reads whenever libhwy loads, 3 to 4 ms of every start of this tool, which
// times nothing with that code. Later Highway measures on first use instead (google/highway
// pull request 2440). Until then the tool defines the function itself: the dynamic linker binds
// libhwy's call to the executable's definition, as for any symbol an executable defines. With
// a Highway that does not call it at load, or a libhwy that binds its own calls, this is unused.
#include <hwy/highway.h>

#if HWY_MAJOR == 1 && HWY_MINOR == 0
#include <hwy/nanobenchmark.h>

namespace hwy::platform {

// One tick: the finest resolution a timer can claim. Only Highway's benchmark functions read it.
__attribute__((visibility("default"))) uint64_t TimerResolution() {
  return 1;
}

}  // namespace hwy::platform
#endif
