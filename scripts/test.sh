#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root), then builds and runs every test twice:
# a plain release build (SIMD kernels) and an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the scalar reference arithmetic. Between them, the toolbox is built against a real
# FlowDesigner (scripts/flowdesigner.sh builds it from ../shared/hosts/) and its network documents
# run in the host's batchflow, compared with the release build's tool and Python module. A third,
# clang build runs each libFuzzer harness (SIMD kernels, sanitized too) for a minute on a copy of
# its seed corpus. Then the Debian package is built, linted, installed, checked and removed
# (scripts/package.sh). Last, the release flavour is cross-built for arm64 and tested under qemu
# on NEON and SVE processors, and its arm64 package built and linted (scripts/cross-arm64.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"

run_flavour() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
}

run_flavour build/release -DCMAKE_BUILD_TYPE=Release -DNIMBUSDALE_BUILD_BENCHMARKS=ON \
  -DNIMBUSDALE_BUILD_PYTHON=ON
# The real host: skipped, on one line, where there is neither its source nor an installed one.
mkdir -p build
if flowdesigner=$(bash scripts/flowdesigner.sh 2>build/flowdesigner.err); then
  run_flavour build/host -DCMAKE_BUILD_TYPE=Release -DNIMBUSDALE_USE_INSTALLED_HOST=ON \
    -DCMAKE_PREFIX_PATH="$flowdesigner" -DNIMBUSDALE_STAND_IN_BUILD="$PWD/build/release"
elif [ $? -eq 3 ]; then
  echo "test.sh: real-host flavour skipped: no FlowDesigner in ../shared/hosts or installed"
else
  cat build/flowdesigner.err >&2
  exit 1
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_flavour build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBUSDALE_SANITIZE=ON \
  -DNIMBUSDALE_REFERENCE_ARITHMETIC=ON
# The fuzzers' CTest tests are the only tests of this build; any finding fails them.
CC=clang CXX=clang++ \
  run_flavour build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBUSDALE_BUILD_FUZZERS=ON \
  -DNIMBUSDALE_BUILD_TESTS=OFF -DNIMBUSDALE_BUILD_PYTHON=OFF -DNIMBUSDALE_BUILD_BENCHMARKS=OFF
# The Debian package: build, lintian, install, check the installed result, remove.
bash scripts/package.sh
# arm64, the robots' boards: cross build, tests under qemu-user, the arm64 package.
bash scripts/cross-arm64.sh
