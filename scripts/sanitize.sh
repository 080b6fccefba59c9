#!/usr/bin/env bash
# Builds the core library and every native module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan, then runs the whole test suite
# on that tree.  Any sanitizer report fails the run.
#
#   scripts/sanitize.sh [PYTEST_ARGS...]
#
# PYTHON_BIN picks the interpreter (default: .venv/bin/python of the
# checkout; it needs the test requirements), BUILD_TYPE the CMake build type
# (default RelWithDebInfo), JOBS the build parallelism (default 2).
#
# The interpreter itself is not instrumented: libasan is preloaded (with
# libstdc++, without which the first C++ throw inside the runtime aborts),
# Python's own allocator is switched off so that every allocation goes
# through ASan, and faulthandler stays off so that ASan's report, not a
# Python traceback, describes a fault.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/asan"
python="${PYTHON_BIN:-$root/.venv/bin/python}"
if [[ ! -x "$python" ]]; then
    echo "sanitize: no Python at $python (set PYTHON_BIN)" >&2
    exit 2
fi

flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

libasan="$(gcc -print-file-name=libasan.so)"
libstdcxx="$(gcc -print-file-name=libstdc++.so)"
for lib in "$libasan" "$libstdcxx"; do
    if [[ ! -e "$lib" ]]; then
        echo "sanitize: $lib not found" >&2
        exit 2
    fi
done

# Reports go to files: pytest captures file descriptor 2 while a test runs,
# so a report written there would be lost with the aborted process.  Every
# process the tests start writes its own file (name.<pid>).
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
unset PYTHONFAULTHANDLER
status=0
(
    cd "$root"
    env LD_PRELOAD="$libasan:$libstdcxx" \
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$build/pkg" \
        "$python" -m pytest -p no:faulthandler tests "$@"
) || status=$?

# A report from a process the tests started (and whose failure a test may
# have expected) counts too.
if compgen -G "$reports/*" >/dev/null; then
    for f in "$reports"/*; do
        echo "== sanitizer report $f" >&2
        cat "$f" >&2
    done
    [[ $status -ne 0 ]] || status=1
fi
exit "$status"
