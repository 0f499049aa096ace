#!/usr/bin/env bash
# Cross-builds the release flavour (SIMD kernels) for arm64, the robots' boards (Raspberry Pi 4/5,
# Jetson), tests it under qemu-user and makes the arm64 Debian package from the same build. On a
# Debian 12 amd64 machine, as root:
#   1. adds the arm64 architecture to dpkg and installs the cross compiler, qemu-user and the
#      arm64 development packages (scripts/packages.sh, CROSS_ARM64_PACKAGES);
#   2. configures build/arm64 with cmake/aarch64-linux-gnu.cmake for /usr and builds it;
#   3. runs CTest under qemu on a Cortex-A72 (NEON), all but the tests labelled `native` (they
#      need programs built for this machine);
#   4. runs the SIMD kernel tests again for each SVE target qemu offers (SVE and SVE2 with
#      512-bit vectors, SVE_256, SVE2_128), and the bit-for-bit tests with SVE2 dispatched;
#   5. enhances the bundled example with the arm64 tool and scores it;
#   6. makes nimbusdale_<version>_arm64.deb (CPack), lints it, lists it, unpacks it and runs the
#      packaged tool, and asks apt whether its dependencies can be met on arm64.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
source scripts/packages.sh
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -q
fi
install_packages "${CROSS_ARM64_PACKAGES[@]}"

build=build/arm64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "cross-arm64.sh: left out of the arm64 build: the Python module, \`nimbusdale live\` (JACK)" \
  "and the benchmarks (a timing under qemu is no speed figure)"
cmake -S . -B "$build" -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DNIMBUSDALE_BUILD_PYTHON=OFF \
  -DNIMBUSDALE_WITH_JACK=OFF -DNIMBUSDALE_BUILD_BENCHMARKS=OFF -DNIMBUSDALE_BUILD_MAN_PAGE=ON
cmake --build "$build"
built=$SECONDS

# What Highway offers and dispatches on an emulated processor (qemu's -cpu), on one line.
targets() {
  qemu-aarch64 -cpu "$1" "$build/tests/hwy_targets" | paste -sd ';' | sed 's/;/; /'
}

echo "== CTest under qemu -cpu cortex-a72: $(targets cortex-a72)"
native=$(ctest --test-dir "$build" -N -L native | sed -n 's/^Total Tests: //p')
echo "Left out: the $native test(s) labelled native: install.consumer, which builds a project" \
  "for this machine against the arm64 install (the Python and JACK tests are not built here)." \
  "test_tool and test_batch start the arm64 tool through tests/nimbusdale-emulated (qemu)."
ctest --test-dir "$build" -LE native --output-on-failure -j2

# A test program on one emulated processor, only its cases whose names match the filter; fails
# when nothing matched, so a target that is not offered cannot pass unseen.
run_on() {
  local cpu=$1 filter=$2 program out
  shift 2
  for program in "$@"; do
    out=$(cd "$build/tests" &&
      qemu-aarch64 -cpu "$cpu" "./$program" --gtest_brief=1 --gtest_filter="$filter" 2>&1) ||
      { echo "$out"; echo "cross-arm64.sh: $program failed on -cpu $cpu" >&2; return 1; }
    grep -q '^\[  PASSED  \] [1-9]' <<<"$out" ||
      { echo "$out"; echo "cross-arm64.sh: $program ran no case for '$filter' on -cpu $cpu" >&2; return 1; }
    echo "  $program: $(grep '^\[  PASSED  \]' <<<"$out")"
  done
}
kernels=(test_robust_pca_kernels test_sparse_mask_kernels test_poisson_gamma_kernels
  test_median_kernels)
# The results that must not depend on thread counts or blocking, under SVE2 dispatch.
bitwise=(test_robust_pca test_multi_robust_pca test_sparse_separation test_enhancer
  test_stream_enhancer)

echo "== SVE kernels under qemu -cpu max: $(targets max)"
run_on max '*/SVE2:*/SVE' "${kernels[@]}"
echo "== bit-for-bit tests under qemu -cpu max (SVE2 dispatched)"
run_on max '*' "${bitwise[@]}"
for bytes in 32 16; do
  cpu=max,sve-default-vector-length=$bytes
  target=$([ "$bytes" = 32 ] && echo SVE_256 || echo SVE2_128)
  echo "== $target kernels under qemu -cpu $cpu: $(targets "$cpu")"
  run_on "$cpu" "*/$target" "${kernels[@]}"
done
tested=$SECONDS

echo "== the arm64 tool on the bundled example (qemu -cpu cortex-a72)"
tool=(qemu-aarch64 -cpu cortex-a72 "$build/apps/nimbusdale")
"${tool[@]}" enhance examples/demo/noisy.wav -o "$work/enhanced.wav" -q
enhanced=$("${tool[@]}" score --reference examples/demo/clean.wav "$work/enhanced.wav")
unprocessed=$("${tool[@]}" score --reference examples/demo/clean.wav examples/demo/noisy.wav)
echo "enhanced: $(head -1 <<<"$enhanced"); unprocessed channel 0: $(head -1 <<<"$unprocessed")"
awk -v a="$(awk '/^SI-SDR/ {print $2}' <<<"$enhanced")" \
  -v b="$(awk '/^SI-SDR/ {print $2}' <<<"$unprocessed")" 'BEGIN { exit !(a > b + 3) }' ||
  { echo "cross-arm64.sh: the arm64 tool does not enhance the example" >&2; exit 1; }

echo "== the arm64 package"
rm -f "$build"/nimbusdale_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/nimbusdale_*_arm64.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "== lintian"
lintian --fail-on error "$deb"
dpkg-deb -x "$deb" "$work/root"
foreign=$(find "$work/root" -type f -exec file {} + | grep ELF | grep -v 'ARM aarch64' || true)
[ -z "$foreign" ] || { echo "cross-arm64.sh: not arm64: $foreign" >&2; exit 1; }
echo "== the packaged tool, unpacked, under qemu"
info=$(qemu-aarch64 -cpu cortex-a72 "$work/root/usr/bin/nimbusdale" info)
grep "^toolbox $work/root/usr/lib/flowdesigner/toolbox/audio_blocks/libnimbusdale-" <<<"$info"
grep -q "^node MultiRobustPCA" <<<"$info"
echo "== its dependencies on arm64 (apt-get --simulate)"
apt-get install --simulate -q "./$deb" 2>/dev/null | grep '^Inst nimbusdale:arm64'

echo "cross-arm64.sh: $deb built, lintian clean of errors; the tests passed under qemu on NEON," \
  "SVE, SVE2, SVE_256 and SVE2_128; build $((built - start)) s, tests $((tested - built)) s," \
  "total $((SECONDS - start)) s"
