#!/usr/bin/env bash
# Provides a CPython 3.14 virtual environment for building and testing.
#
# Prints the path of the environment's python on stdout.  An interpreter
# given in $PYTHON, or a python3.14 found on PATH, is used as it is; only
# when neither exists is CPython 3.14 unpacked from Debian's unstable
# binary packages into .toolchain/ (git-ignored) of the checkout.
#
# Idempotent: every step is skipped once its result is in place.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="$root/.toolchain"
venv="${VENV:-$root/.venv}"

fail() { echo "provision-python: $*" >&2; exit 1; }
step() { echo "provision-python: $*" >&2; }

pick_interpreter() {
    if [[ -n "${PYTHON:-}" ]]; then
        command -v "$PYTHON" >/dev/null 2>&1 || fail "PYTHON=$PYTHON is not an executable"
        command -v "$PYTHON"
        return
    fi
    if command -v python3.14 >/dev/null 2>&1; then
        command -v python3.14
        return
    fi
    unpack_debian_python
    echo "$cache/sid/usr/bin/python3.14"
}

unpack_debian_python() {
    local dir="$cache/sid" arch
    case "$(uname -m)" in
        x86_64) arch=x86_64-linux-gnu ;;
        aarch64) arch=aarch64-linux-gnu ;;
        *) fail "no CPython 3.14 recipe for machine type $(uname -m); set PYTHON= to a CPython 3.14 interpreter" ;;
    esac
    local loader
    if [[ $arch == x86_64-linux-gnu ]]; then loader=ld-linux-x86-64.so.2; else loader=ld-linux-aarch64.so.1; fi

    if [[ -x "$dir/usr/bin/python3.14" && -f "$dir/.ready" ]]; then
        return
    fi
    if ! command -v mmdebstrap >/dev/null 2>&1 || ! command -v patchelf >/dev/null 2>&1; then
        step "installing mmdebstrap and patchelf"
        if [[ $(id -u) -ne 0 ]]; then fail "mmdebstrap and patchelf are missing and this user cannot apt-get install them"; fi
        apt-get update -qq >&2 || fail "apt-get update failed"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap patchelf >&2 \
            || fail "apt-get install mmdebstrap patchelf failed"
    fi
    step "unpacking CPython 3.14 from Debian unstable into $dir"
    rm -rf "$dir"
    mkdir -p "$cache"
    mmdebstrap --variant=extract \
        --include=python3.14,python3.14-dev,python3.14-venv,libpython3.14-dev,python3-pip-whl,python3-setuptools-whl \
        --aptopt='Acquire::Check-Valid-Until "false"' sid "$dir" >&2 \
        || fail "mmdebstrap could not unpack CPython 3.14 from Debian unstable"
    [[ -x "$dir/usr/bin/python3.14" ]] || fail "the unpacked tree has no usr/bin/python3.14"
    patchelf --set-interpreter "$dir/usr/lib/$arch/$loader" --force-rpath \
        --set-rpath "$dir/usr/lib/$arch" "$dir/usr/bin/python3.14" \
        || fail "patchelf could not point python3.14 at its own C library"
    # The generic pyconfig.h only redirects to a multiarch path the host
    # compiler does not search.
    cp "$dir/usr/include/$arch/python3.14/pyconfig.h" "$dir/usr/include/python3.14/pyconfig.h" \
        || fail "could not install pyconfig.h"
    "$dir/usr/bin/python3.14" -c 'import sys; assert sys.version_info[:2] == (3, 14)' \
        || fail "the unpacked python3.14 does not run"
    touch "$dir/.ready"
}

make_venv() {
    local python="$1"
    if [[ -x "$venv/bin/python" ]] && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        return
    fi
    step "creating virtual environment $venv"
    rm -rf "$venv"
    "$python" -m venv --without-pip "$venv" || fail "could not create $venv"
    if "$python" -m ensurepip --version >/dev/null 2>&1 && [[ "$python" != "$cache"/* ]]; then
        "$venv/bin/python" -m ensurepip --upgrade >&2 || fail "ensurepip failed"
        return
    fi
    # Debian's own pip wheel: runs as a zip and installs itself.
    local whl
    whl=$(ls "$cache"/sid/usr/share/python-wheels/pip-*.whl 2>/dev/null | head -n1 || true)
    [[ -n "$whl" ]] || fail "no pip wheel found under $cache/sid/usr/share/python-wheels"
    "$venv/bin/python" "$whl/pip" install -q --no-index "$whl" >&2 || fail "installing pip from $whl failed"
}

python="$(pick_interpreter)"
make_venv "$python"
echo "$venv/bin/python"
