#!/usr/bin/env bash
# Incremental development build: `scripts/dev-build.sh [BUILD_DIR [TARGET...]]`.
# Builds the modules (all, or the named CMake targets such as bw_url) into
# BUILD_DIR (default build/dev) and assembles an importable tree in
# BUILD_DIR/pkg: run tests with PYTHONPATH=BUILD_DIR/pkg.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/dev}"
shift || true
python="${PYTHON_BIN:-$root/.venv/bin/python}"
# CMake resolves a relative interpreter path against its own directory.
[[ "$python" == /* ]] || python="$PWD/$python"
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
        -DPython_EXECUTABLE="$python" >/dev/null
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
if [[ ${#targets[@]} -gt 0 ]]; then targets+=(--target bw_devtree_sources); fi
cmake --build "$build" -j "${JOBS:-2}" "${targets[@]}"
echo "importable tree: $build/pkg"
