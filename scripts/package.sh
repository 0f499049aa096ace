#!/usr/bin/env bash
# Builds the Debian package and takes it through a round trip on this machine (as root):
#   1. configure build/package for /usr, build, and make nimbusdale_<version>_<arch>.deb (CPack);
#   2. lintian must report no errors;
#   3. dpkg -i, then check the installed result: `nimbusdale info`, the toolbox's .tlb links and
#      node descriptions, the manual page and
#      `--version`, `nimbusdale enhance` on the bundled example, `import nimbusdale` with
#      Debian's python3, and a user's project built against the installed headers (CMake package
#      and pkg-config);
#   4. dpkg -r, which must leave none of the package's files behind.
# A version of the package installed before the run is refused rather than replaced.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}" dpkg-dev file lintian help2man

build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DNIMBUSDALE_BUILD_PYTHON=ON -DNIMBUSDALE_BUILD_TESTS=OFF -DNIMBUSDALE_BUILD_BENCHMARKS=OFF \
  -DNIMBUSDALE_BUILD_MAN_PAGE=ON
cmake --build "$build"
rm -f "$build"/nimbusdale_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/nimbusdale_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
lintian --fail-on error "$deb"

if dpkg-query -W -f='${Status}' nimbusdale 2>/dev/null | grep -q "install ok installed"; then
  echo "package.sh: nimbusdale is already installed here; remove it first (dpkg -r nimbusdale)" >&2
  exit 1
fi
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg -r nimbusdale >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== dpkg -i"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|' | grep -v '/$')
dpkg -i "$deb"
installed=1

echo "== installed: nimbusdale info"
info=$(cd "$work" && nimbusdale info)
echo "$info"
grep -q "^toolbox /usr/lib/flowdesigner/toolbox/audio_blocks/libnimbusdale-" <<<"$info"
grep -q "^node MultiRobustPCA" <<<"$info"

echo "== installed: the toolbox as a FlowDesigner host finds it"
toolbox=/usr/lib/flowdesigner/toolbox/audio_blocks
for library in nimbusdale nimbusdale-audio; do
  [ "$(readlink "$toolbox/$library.tlb")" = "lib$library-${version%%-*}.so" ] ||
    { echo "package.sh: $toolbox/$library.tlb does not name lib$library" >&2; exit 1; }
done
for type in MultiRobustPCA SparseMaskIntegrator AudioFileSource AudioFileSink; do
  grep -q "<NodeClass name=\"$type\"" "$toolbox/nimbusdale.def" ||
    { echo "package.sh: nimbusdale.def does not describe $type" >&2; exit 1; }
done

echo "== installed: the manual page"
page=$(zcat /usr/share/man/man1/nimbusdale.1.gz)
for command in enhance live batch info score; do
  grep -q "^\.SS \"nimbusdale $command\"" <<<"$page" ||
    { echo "package.sh: the manual page has no section for nimbusdale $command" >&2; exit 1; }
done
[ "$(nimbusdale --version)" = "nimbusdale ${version%%-*}" ] ||
  { echo "package.sh: nimbusdale --version says '$(nimbusdale --version)'" >&2; exit 1; }

echo "== installed: nimbusdale enhance on the bundled example"
nimbusdale enhance examples/demo/noisy.wav -o "$work/enhanced.wav" -q
nimbusdale score --reference examples/demo/clean.wav "$work/enhanced.wav"

echo "== installed: Debian's python3"
(cd "$work" && PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c "
import nimbusdale, nimbusdale.distributed, numpy as np
assert nimbusdale.__file__.startswith('/usr/lib/python3/dist-packages/'), nimbusdale.__file__
x = np.random.default_rng(1).standard_normal((16000, 2)).astype(np.float32)
print('nimbusdale', nimbusdale.__version__, nimbusdale.enhance(x, 16000).shape)
")

echo "== installed: a user's project against /usr"
bash tests/consumer/run.sh /usr "$work/consumer"

echo "== dpkg -r"
dpkg -r nimbusdale
installed=0
left=0
while IFS= read -r f; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind: $f" >&2
    left=1
  fi
done <<<"$files"
for dir in /usr/lib/flowdesigner/toolbox/audio_blocks /usr/include/nimbusdale \
  "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/nimbusdale" \
  "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake/nimbusdale" /usr/share/doc/nimbusdale; do
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
    echo "left behind: $dir is not empty" >&2
    left=1
  fi
done
[ "$left" = 0 ]
echo "package.sh: $deb built, lintian clean of errors, installed, checked and removed"
