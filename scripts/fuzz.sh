#!/usr/bin/env bash
# Coverage-guided fuzzing of the native parsers and of the Python-visible
# surfaces, each target for SECONDS (default 60).  Any finding fails the run.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# Sets up what it needs: clang and its libFuzzer runtime (apt), atheris
# (pip, into the virtual environment), then builds every native module with
# clang, AddressSanitizer, UndefinedBehaviorSanitizer and coverage
# instrumentation into build/fuzz, with the libFuzzer targets of fuzz/.
# Each libFuzzer target runs on a scratch copy of its seed corpus in
# fuzz/corpus/<target>/; a crash, sanitizer report, broken property or
# timeout leaves its input in build/fuzz/findings/<target>/.
#
# PYTHON_BIN picks the interpreter (default: .venv/bin/python of the
# checkout, as made by scripts/test.sh), JOBS the build parallelism
# (default 2), FUZZ_JOBS how many fuzzers run at once (default: the number
# of CPUs; each fuzzer is single-threaded).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
seconds="${1:-60}"
shift || true
python="${PYTHON_BIN:-$root/.venv/bin/python}"
[[ "$python" == /* ]] || python="$PWD/$python"
if [[ ! -x "$python" ]]; then
    echo "fuzz: no Python at $python (run scripts/test.sh first, or set PYTHON_BIN)" >&2
    exit 2
fi
native_targets=(headers cookies url multipart forms charset rsgi_headers)
python_targets=(py_headers py_server)
if [[ $# -gt 0 ]]; then selected=("$@"); else selected=("${native_targets[@]}" "${python_targets[@]}"); fi

# The environment's own cmake and ninja (requirements-dev.txt) come first.
export PATH="$(dirname "$python"):$PATH"

step() { echo "fuzz: $*" >&2; }

apt_install() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "fuzz: $* missing and this user cannot apt-get install it" >&2
        exit 2
    fi
    step "installing $*"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >&2
}

# ---- clang with libFuzzer ------------------------------------------------------
links_fuzzer() {
    local probe
    probe="$(mktemp -d)"
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1
    local rc=$?
    rm -rf "$probe"
    return $rc
}
command -v clang++ >/dev/null 2>&1 || apt_install clang
if ! links_fuzzer; then
    major="$(clang++ -dumpversion | cut -d. -f1)"
    apt_install "libclang-rt-$major-dev"
    links_fuzzer || { echo "fuzz: clang++ cannot link a libFuzzer target" >&2; exit 2; }
fi

# ---- the interpreter to embed ---------------------------------------------------
# A relocated interpreter tree (provision-python.sh's) reports the paths it
# was built for, so its own prefix is searched first.
libpython="$("$python" - <<'PY'
import os, sys, sysconfig
name = sysconfig.get_config_var("INSTSONAME") or sysconfig.get_config_var("LDLIBRARY")
arch = sysconfig.get_config_var("MULTIARCH") or ""
for d in (os.path.join(sys.base_prefix, "lib", arch), os.path.join(sys.base_prefix, "lib"),
          sysconfig.get_config_var("LIBDIR") or ""):
    if d and name and os.path.isfile(os.path.join(d, name)):
        print(os.path.join(d, name))
        break
PY
)"
if [[ -z "$libpython" ]]; then
    echo "fuzz: $python has no shared libpython to embed" >&2
    exit 2
fi
libdir="$(dirname "$libpython")"
# When that tree brings its own C library, the targets must run on it too.
loader=""
for l in "$libdir"/ld-linux-*.so.*; do [[ -e "$l" ]] && loader="$l" && break; done
if [[ -n "$loader" ]] && ! command -v patchelf >/dev/null 2>&1; then apt_install patchelf; fi

# ---- build --------------------------------------------------------------------
# -fsanitize=function (clang only, not in gcc's set of sanitize.sh) is left
# out: every method table of the C API calls through a cast function pointer
# by design, and clang 14 cannot emit its check in coroutine frames that
# carry coverage instrumentation ("Cannot represent a difference across
# sections").
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g"
linkflags="-fsanitize=address,undefined"
if [[ ! -f "$build/build.ninja" ]]; then
    step "configuring $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ \
        -DPython_EXECUTABLE="$python" \
        -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$linkflags" \
        -DCMAKE_MODULE_LINKER_FLAGS="$linkflags" \
        -DBW_FUZZ=ON -DBW_FUZZ_LIBPYTHON="$libpython" >/dev/null
fi
step "building"
cmake --build "$build" -j "${JOBS:-2}" ${BW_FUZZ_BUILD_TARGETS:-}
if [[ -n "$loader" ]]; then
    for t in "${native_targets[@]}"; do
        patchelf --set-interpreter "$loader" --force-rpath --set-rpath "$libdir" "$build/fuzz/fuzz_$t"
    done
fi

# ---- runs ---------------------------------------------------------------------
# Reports go to files, one per process, so that none is lost to a captured
# stream; the run fails when any appears.
findings="$build/findings"
asan_rt="$(clang++ -print-file-name=libclang_rt.asan-"$(uname -m)".so)"
status=0
summary=()

run_native() {  # run_native TARGET: libFuzzer on a scratch corpus plus the seeds
    local t="$1" work="$build/work/$t" out="$findings/$t" log="$build/logs/$t.log"
    rm -rf "$work" "$out"
    mkdir -p "$work" "$out" "$(dirname "$log")"
    local dict=()
    [[ -f "$root/fuzz/dict/$t.dict" ]] && dict=(-dict="$root/fuzz/dict/$t.dict")
    step "$t: libFuzzer for ${seconds}s"
    local rc=0
    env ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$out/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$out/ubsan" \
        "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=0 \
        -print_final_stats=1 -artifact_prefix="$out/" "${dict[@]}" "$work" "$root/fuzz/corpus/$t" \
        >"$log" 2>&1 || rc=$?
    report "$t" "$rc" "$out" "$log"
}

run_python() {  # run_python TARGET: atheris on the fuzz build, the seeds as corpus
    local t="$1" work="$build/work/$t" out="$findings/$t" log="$build/logs/$t.log"
    rm -rf "$work" "$out"
    mkdir -p "$work" "$out" "$(dirname "$log")" "$root/fuzz/corpus/$t"
    step "$t: atheris for ${seconds}s"
    local rc=0
    (
        unset PYTHONFAULTHANDLER
        env LD_PRELOAD="$asan_rt" \
            ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$out/asan" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$out/ubsan" \
            PYTHONMALLOC=malloc PYTHONPATH="$build/pkg:$root/fuzz/python" \
            "$python" -X faulthandler=0 "$root/fuzz/python/run_atheris.py" "$t" \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -detect_leaks=0 \
            -print_final_stats=1 -artifact_prefix="$out/" "$work" "$root/fuzz/corpus/$t"
    ) >"$log" 2>&1 || rc=$?
    report "$t" "$rc" "$out" "$log"
}

report() {  # report TARGET RC FINDINGS LOG: the verdict goes to logs/TARGET.result
    local t="$1" rc="$2" out="$3" log="$4" runs result="$build/logs/$t.result"
    runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)"
    if [[ "$rc" -ne 0 ]] || compgen -G "$out/*" >/dev/null; then
        {
            echo "== $t: FAILED (exit $rc); log $log, findings in $out"
            tail -n 60 "$log"
            for f in "$out"/asan* "$out"/ubsan*; do [[ -e "$f" ]] && cat "$f"; done
        } >&2
        echo "FAILED $t: FAILED after ${runs:-?} inputs" >"$result"
    else
        echo "ok $t: ${runs:-?} inputs, nothing found" >"$result"
    fi
}

run_target() {
    case " ${native_targets[*]} " in
        *" $1 "*) run_native "$1" ;;
        *) run_python "$1" ;;
    esac
}

if [[ " ${selected[*]} " == *" py_"* ]]; then
    "$python" -m pip install -q --disable-pip-version-check -r "$root/fuzz/requirements.txt" \
        || { echo "fuzz: installing fuzz/requirements.txt failed" >&2; exit 2; }
fi
for t in "${selected[@]}"; do
    case " ${native_targets[*]} ${python_targets[*]} " in
        *" $t "*) ;;
        *) echo "fuzz: no target $t" >&2; exit 2 ;;
    esac
done
jobs_max="${FUZZ_JOBS:-$(nproc)}"
mkdir -p "$build/logs"
for t in "${selected[@]}"; do
    rm -f "$build/logs/$t.result"
    run_target "$t" &
    while (( $(jobs -rp | wc -l) >= jobs_max )); do wait -n || true; done
done
wait
for t in "${selected[@]}"; do
    line="$(cat "$build/logs/$t.result" 2>/dev/null || echo "FAILED $t: no verdict")"
    [[ "$line" == ok* ]] || status=1
    summary+=("${line#* }")
done
printf 'fuzz: %s\n' "${summary[@]}" >&2
exit "$status"
