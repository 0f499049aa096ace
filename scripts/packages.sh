# Debian packages the project builds with, and an installer that fetches only what is missing.
BUILD_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libeigen3-dev libboost-math-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libfftw3-dev libsndfile1-dev libcli11-dev libstb-dev libhwy-dev nlohmann-json3-dev
  libxml2-dev perl  # FlowDesigner's own build, for the real-host tests
  pybind11-dev python3-dev python3-numpy python3-pytest python3-scipy sox
  python3-distributed python3-dask
  jackd2 libjack-jackd2-dev python3-jack-client
)
# The fuzzing flavour of scripts/test.sh: clang with libFuzzer and the sanitizer runtimes
# (libclang-rt-dev, only recommended by clang) and clang's OpenMP runtime (libomp-dev).
FUZZ_PACKAGES=(clang libclang-rt-dev libomp-dev)

install_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing Debian packages: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
# The arm64 cross flavour (scripts/cross-arm64.sh): the cross compiler, qemu-user to run its
# programs, the packaging tools, and the arm64 (multiarch) development packages of the libraries
# the C++ build links; Eigen, CLI11, nlohmann-json and Boost's headers serve both architectures.
CROSS_ARM64_PACKAGES=(
  cmake ninja-build pkg-config g++-aarch64-linux-gnu qemu-user
  libeigen3-dev libcli11-dev nlohmann-json3-dev
  libboost-dev:arm64 libfftw3-dev:arm64 libhwy-dev:arm64 libsndfile1-dev:arm64
  libstb-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
  dpkg-dev file lintian help2man
)
