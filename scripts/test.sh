#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root), then builds and runs every test twice:
# a plain release build (SIMD kernels) and an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the scalar reference arithmetic. A third, clang build runs each libFuzzer harness (SIMD
# kernels, sanitized too) for a minute on a copy of its seed corpus. Last, the Debian package is
# built, linted, installed, checked and removed (scripts/package.sh).
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
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_flavour build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBUSDALE_SANITIZE=ON \
  -DNIMBUSDALE_REFERENCE_ARITHMETIC=ON
# The fuzzers' CTest tests are the only tests of this build; any finding fails them.
CC=clang CXX=clang++ \
  run_flavour build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBUSDALE_BUILD_FUZZERS=ON \
  -DNIMBUSDALE_BUILD_TESTS=OFF -DNIMBUSDALE_BUILD_PYTHON=OFF -DNIMBUSDALE_BUILD_BENCHMARKS=OFF
# The Debian package: build, lintian, install, check the installed result, remove.
bash scripts/package.sh
