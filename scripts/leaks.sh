#!/usr/bin/env bash
# Reference-leak checks on a debug interpreter: `scripts/leaks.sh [MODULE...] [PYTEST_ARGS...]`.
#
# Unpacks Debian's debug build of CPython 3.14 (python3.14d, ABI tag 'd')
# into .toolchain/sid-dbg (the release toolchain in .toolchain/sid is left
# alone), makes the virtual environment .venv-dbg with the build and test
# requirements (msgspec is built from source for the debug ABI), builds the
# package into build/dbg with an importable tree in build/dbg/pkg, and runs
# scripts/leakcheck: the suite's in-process test modules under pytest, each
# test called once as the suite calls it, then N and 2N more times after a
# warm-up; a test fails when sys.gettotalrefcount() or
# sys.getallocatedblocks() grows with the run length.
#
# Idempotent: every step is skipped once its result is in place; the build
# is incremental.  Environment:
#   LEAKS_SCALE=0.1        scales every test's N (quick runs)
#   LEAKS_REPORT=PATH      where the per-test table goes (default build/dbg/leaks.txt)
#   JOBS=2                 parallel compile jobs
# Arguments: test modules (`url`, `test_url`, `tests/test_url.py`, node ids
# such as `tests/test_url.py::test_round_trip`; default: every in-process
# module), then, from the first argument that starts with `-`, pytest's own
# (`-k cookie`, `-x`).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="$root/.toolchain"
dir="$cache/sid-dbg"
venv="$root/.venv-dbg"
build="$root/build/dbg"

fail() { echo "leaks: $*" >&2; exit 1; }
step() { echo "leaks: $*" >&2; }

case "$(uname -m)" in
    x86_64) arch=x86_64-linux-gnu; loader=ld-linux-x86-64.so.2 ;;
    aarch64) arch=aarch64-linux-gnu; loader=ld-linux-aarch64.so.1 ;;
    *) fail "no debug CPython 3.14 recipe for machine type $(uname -m)" ;;
esac
python_d="$dir/usr/bin/python3.14d"

unpack_debug_python() {
    if [[ -x "$python_d" && -f "$dir/.ready" ]]; then
        return
    fi
    if ! command -v mmdebstrap >/dev/null 2>&1 || ! command -v patchelf >/dev/null 2>&1; then
        step "installing mmdebstrap and patchelf"
        if [[ $(id -u) -ne 0 ]]; then fail "mmdebstrap and patchelf are missing and this user cannot apt-get install them"; fi
        apt-get update -qq >&2 || fail "apt-get update failed"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap patchelf >&2 \
            || fail "apt-get install mmdebstrap patchelf failed"
    fi
    step "unpacking the debug build of CPython 3.14 from Debian unstable into $dir"
    rm -rf "$dir"
    mkdir -p "$cache"
    mmdebstrap --variant=extract \
        --include=python3.14-dbg,libpython3.14-dbg,python3.14-dev,libpython3.14-dev,python3.14-venv,python3-pip-whl,python3-setuptools-whl \
        --aptopt='Acquire::Check-Valid-Until "false"' sid "$dir" >&2 \
        || fail "mmdebstrap could not unpack the debug CPython 3.14 from Debian unstable"
    [[ -x "$python_d" ]] || fail "the unpacked tree has no usr/bin/python3.14d"
    patchelf --set-interpreter "$dir/usr/lib/$arch/$loader" --force-rpath \
        --set-rpath "$dir/usr/lib/$arch" "$python_d" \
        || fail "patchelf could not point python3.14d at its own C library"
    # usr/include/python3.14d holds symlinks into usr/include/python3.14 and a
    # pyconfig.h that redirects to a multiarch path the host compiler does not
    # search.  The compiler gets a real directory: the release headers copied
    # and the debug build's own pyconfig.h (Py_DEBUG, Py_REF_DEBUG) over them.
    local inc="$dir/usr/include/python3.14d"
    rm -rf "$inc"
    cp -rL "$dir/usr/include/python3.14" "$inc" || fail "could not copy the headers"
    cp "$dir/usr/include/$arch/python3.14d/pyconfig.h" "$inc/pyconfig.h" \
        || fail "could not install the debug pyconfig.h"
    grep -q '^#define Py_DEBUG' "$inc/pyconfig.h" || fail "$inc/pyconfig.h does not define Py_DEBUG"
    "$python_d" -c 'import sys; assert sys.version_info[:2] == (3, 14) and hasattr(sys, "gettotalrefcount")' \
        || fail "the unpacked python3.14d does not run or is not a debug build"
    touch "$dir/.ready"
}

make_venv() {
    if [[ -x "$venv/bin/python" ]] && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        return
    fi
    step "creating virtual environment $venv"
    rm -rf "$venv"
    "$python_d" -m venv --without-pip "$venv" || fail "could not create $venv"
    # Debian's own pip wheel: runs as a zip and installs itself.
    local whl
    whl=$(ls "$dir"/usr/share/python-wheels/pip-*.whl 2>/dev/null | head -n1 || true)
    [[ -n "$whl" ]] || fail "no pip wheel found under $dir/usr/share/python-wheels"
    "$venv/bin/python" "$whl/pip" install -q --no-index "$whl" >&2 || fail "installing pip from $whl failed"
}

install_requirements() {
    local stamp="$venv/.requirements" want
    want="$(sha256sum "$root/requirements-dev.txt" | cut -d' ' -f1)"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then
        return
    fi
    step "installing requirements-dev.txt into $venv (msgspec builds from source)"
    # The debug interpreter also accepts release-ABI wheels, but their
    # reference counting bypasses the debug build's totals, which then drift
    # with every call into them: msgspec is compiled here from its sources.
    CFLAGS="-I$dir/usr/include/python3.14d ${CFLAGS:-}" \
        PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --no-binary msgspec -r "$root/requirements-dev.txt" >&2 \
        || fail "installing requirements-dev.txt failed"
    "$venv/bin/python" -c '
import msgspec._core as c, msgspec.json as j
assert c.__file__.endswith(".cpython-314d-'"$arch"'.so"), c.__file__
j.decode(b"[1]")' || fail "msgspec is not built for the debug interpreter"
    echo "$want" >"$stamp"
}

build_package() {
    local py="$venv/bin/python" cmake_bin ninja_bin
    cmake_bin="$venv/bin/cmake"; [[ -x "$cmake_bin" ]] || cmake_bin=cmake
    ninja_bin="$venv/bin/ninja"; [[ -x "$ninja_bin" ]] || ninja_bin=ninja
    if [[ ! -f "$build/build.ninja" ]]; then
        step "configuring $build"
        # Debug interpreter, optimised extension code with assertions on: the
        # leaks of interest are in the code that ships.
        "$cmake_bin" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja_bin" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DPython_EXECUTABLE="$py" \
            -DPython_INCLUDE_DIR="$dir/usr/include/python3.14d" >&2 \
            || fail "cmake could not configure $build"
    fi
    "$cmake_bin" --build "$build" -j "${JOBS:-2}" >&2 || fail "building into $build failed"
    ls "$build"/pkg/brindlewick/messages.cpython-314d-*.so >/dev/null 2>&1 \
        || fail "the build made no cpython-314d modules"
}

start=$SECONDS
unpack_debug_python
make_venv
install_requirements
build_package
step "set-up done in $((SECONDS - start)) s"

cd "$root"
status=0
LEAKS_REPORT="${LEAKS_REPORT:-$build/leaks.txt}" PYTHONPATH="$build/pkg:$root/scripts" \
    "$venv/bin/python" -m leakcheck "$@" || status=$?
step "finished in $((SECONDS - start)) s"
exit $status
