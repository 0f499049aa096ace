#!/usr/bin/env bash
# Finds a real FlowDesigner host and prints its install prefix (holding lib/libflow.so,
# bin/batchflow, include/flowdesigner and lib/flowdesigner/toolbox/LIBFLOW):
#   1. $FLOWDESIGNER_PREFIX, if set;
#   2. else the source beside the repository (../shared/hosts/flowdesigner-*.tar.gz), built once
#      into build/flowdesigner (cmake, make install into a staging folder; about 2 minutes on
#      2 cores) and reused while the archive is unchanged;
#   3. else an installed batchflow on PATH.
# With none of these it says so on one line (stderr) and exits 3. Build output goes to
# build/flowdesigner/build.log and is shown only if the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${FLOWDESIGNER_PREFIX:-}" ]; then
  echo "$FLOWDESIGNER_PREFIX"
  exit 0
fi

archive=$(ls ../shared/hosts/flowdesigner-*.tar.gz 2>/dev/null | head -n 1 || true)
if [ -n "$archive" ]; then
  work=build/flowdesigner
  prefix=$PWD/$work/stage/usr/local
  stamp=$(sha256sum "$archive" | cut -d' ' -f1)
  if [ "$(cat "$work/built-from" 2>/dev/null)" != "$stamp" ] || [ ! -x "$prefix/bin/batchflow" ]; then
    rm -rf "$work"
    mkdir -p "$work/src"
    tar -xzf "$archive" -C "$work/src"
    src=$(ls -d "$work"/src/*/ | head -n 1)
    # The host's CMakeLists fixes its prefix at /usr/local; the install is staged with DESTDIR.
    if ! { cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
           cmake --build "$work/build" &&
           DESTDIR=$PWD/$work/stage cmake --install "$work/build"; } >"$work/build.log" 2>&1; then
      tail -n 40 "$work/build.log" >&2
      echo "flowdesigner.sh: building FlowDesigner from $archive failed (see $work/build.log)" >&2
      exit 1
    fi
    echo "$stamp" >"$work/built-from"
  fi
  echo "$prefix"
  exit 0
fi

if batchflow=$(command -v batchflow); then
  dirname "$(dirname "$(readlink -f "$batchflow")")"
  exit 0
fi

echo "flowdesigner.sh: no FlowDesigner found (no \$FLOWDESIGNER_PREFIX, no ../shared/hosts/flowdesigner-*.tar.gz, no batchflow on PATH)" >&2
exit 3
