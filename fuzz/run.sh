#!/usr/bin/env bash
# Coverage-guided fuzzing of the module's decoders with atheris, for CI and by hand.
#
#   fuzz/run.sh                        all targets, FUZZ_SECONDS each
#   FUZZ_SECONDS=300 fuzz/run.sh       longer runs
#   FUZZ_TARGETS="inbound decrypt" fuzz/run.sh
#
# Environment:
#   FUZZ_VENV      virtual environment to create or reuse (default .venv/fuzz)
#   FUZZ_PYTHON    interpreter for it (default: CPython 3.11 from pyenv or PATH)
#   FUZZ_SECONDS   fuzzing time per target (default 40)
#   FUZZ_TIMEOUT   seconds one input may take before it counts as a hang (default 10)
#   FUZZ_OUT       corpus, logs and crash files (default out/fuzz)
#   FUZZ_TARGETS   targets to run (default: all five)
#   FUZZ_NO_INSTALL=1  use the virtual environment as it is (no pip install)
#   FUZZ_NATIVE=1  fuzz a clang build of the module instead (see below)
#   FUZZ_NATIVE_DIR  where that build goes (default out/fuzz-native)
#
# Needs what the module's own build needs (a C++17 compiler and OpenSSL's
# headers: g++ and libssl-dev on Debian) and a binary wheel of atheris for
# the interpreter; nothing is compiled with clang on this path, so atheris
# sees the Python side only (the input reader and the reference models).
# Exits non-zero when a target finds a crash, a hang, a memory blow-up, an
# undocumented exception or a departure from the reference models.
#
# FUZZ_NATIVE=1 (needs clang, which brings the sanitizer and libFuzzer
# runtimes: apt-get install clang): the module is compiled with clang and
# -fsanitize=fuzzer-no-link,address,undefined from a copy of the sources in
# FUZZ_NATIVE_DIR, so libFuzzer also follows the C++ code's branches and
# comparisons, and AddressSanitizer/UBSan check every input.  The sanitizer
# runtime and libFuzzer are merged into one preloaded library, as atheris
# needs when the extension is instrumented; a run is about 20 times slower.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

VENV=${FUZZ_VENV:-.venv/fuzz}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-40}
HANG=${FUZZ_TIMEOUT:-10}
OUT=${FUZZ_OUT:-out/fuzz}
TARGETS=${FUZZ_TARGETS:-"inbound outbound decrypt secret_line debug_token"}
started=$(date +%s)

if [ -z "${FUZZ_NO_INSTALL:-}" ]; then
    if [ ! -x "$VENV/bin/python" ]; then
        py=${FUZZ_PYTHON:-$(find_python 3.11.7 || true)}
        [ -n "$py" ] || { echo "fuzz: no CPython 3.11 found; set FUZZ_PYTHON" >&2; exit 2; }
        echo "=== fuzz: virtual environment $VENV ($py)"
        "$py" -m venv "$VENV"
    fi
    VENV=$(cd "$VENV" && pwd)   # absolute: some steps run from another directory
    pip="$VENV/bin/python -m pip --disable-pip-version-check -q"
    # pip's own chatter about unusable local index entries is dropped.
    quiet() { grep -v "is ignored" || true; }
    $pip install -U pip >/dev/null 2>&1 || true   # an old pip still does
    echo "=== fuzz: installing atheris"
    if ! $pip install --only-binary=:all: atheris 2>&1 | quiet || ! "$VENV/bin/python" -c "import atheris" 2>/dev/null; then
        echo "fuzz: atheris could not be installed: no binary wheel for" \
             "$("$VENV/bin/python" -c 'import sys, platform; print("CPython %d.%d on %s" % (sys.version_info[:2] + (platform.machine(),)))')." \
             "Use an interpreter that atheris ships wheels for (FUZZ_PYTHON=...)," \
             "or build atheris from source, which needs clang and libFuzzer." >&2
        exit 3
    fi
    $pip install requests pycryptodome 2>&1 | quiet
    if [ -z "${FUZZ_NATIVE:-}" ]; then
        echo "=== fuzz: building and installing the module (pip install of a clean copy)"
        # A copy, so that the build neither reuses nor leaves objects in the
        # checkout's build/ (where a sanitizer build may have left its own).
        copy=$(mktemp -d)
        trap 'rm -rf "$copy"' EXIT
        cp -r setup.py pyproject.toml README.md src stubs "$copy/"
        # Whether the build worked is judged by importing what got installed:
        # pip has been seen to end with status 1 after "Successfully installed".
        VQSDK_JOBS=${VQSDK_JOBS:-2} $pip install "$copy" 2>&1 | quiet || true
        if ! (cd / && "$VENV/bin/python" -c "import vqspecapisdk") 2>/dev/null; then
            echo "fuzz: the module did not build; it needs a C++17 compiler and OpenSSL's headers (g++ libssl-dev)" >&2
            exit 2
        fi
    else
        $pip install pybind11 setuptools wheel 2>&1 | quiet
    fi
fi
[ -x "$VENV/bin/python" ] || { echo "fuzz: no virtual environment at $VENV" >&2; exit 2; }
PY="$(cd "$VENV" && pwd)/bin/python"
# Prefix of the fuzzing command: nothing, or the sanitizer set-up of the clang build.
RUN=(env)

if [ -n "${FUZZ_NATIVE:-}" ]; then
    NATIVE=$(mkdir -p "${FUZZ_NATIVE_DIR:-out/fuzz-native}" && cd "${FUZZ_NATIVE_DIR:-out/fuzz-native}" && pwd)
    command -v clang++ >/dev/null || { echo "fuzz: FUZZ_NATIVE needs clang (apt-get install clang)" >&2; exit 2; }
    rt="$(clang++ -print-resource-dir)/lib/linux"
    for a in asan asan_cxx fuzzer_no_main; do
        [ -f "$rt/libclang_rt.$a-x86_64.a" ] || { echo "fuzz: $rt/libclang_rt.$a-x86_64.a missing (apt-get install clang)" >&2; exit 2; }
    done
    echo "=== fuzz: clang build with native coverage and ASan/UBSan in $NATIVE"
    rm -rf "$NATIVE/src" && cp -r src setup.py pyproject.toml README.md "$NATIVE/"
    mkdir -p "$NATIVE/stubs" && cp -r stubs/. "$NATIVE/stubs/"
    flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
    # The sanitizer runtime is left out of the module on purpose: it comes from the preload below.
    (cd "$NATIVE" && CC=clang CXX=clang++ CFLAGS="$flags" LDFLAGS="$flags" VQSDK_JOBS=${VQSDK_JOBS:-2} \
        "$PY" setup.py -q build_ext --build-lib lib --build-temp tmp) >"$NATIVE/build.log" 2>&1 || {
        tail -30 "$NATIVE/build.log"; echo "fuzz: clang build failed" >&2; exit 2; }
    # ASan and libFuzzer in one library, libFuzzer's coverage hooks taking the
    # place of ASan's empty defaults; ASan's preinit part cannot go in a DSO.
    rm -rf "$NATIVE/rt" && mkdir -p "$NATIVE/rt"
    cp "$rt/libclang_rt.asan-x86_64.a" "$NATIVE/rt/asan.a"
    ar d "$NATIVE/rt/asan.a" asan_preinit.cpp.o
    clang++ -shared -o "$NATIVE/rt/asan_with_fuzzer.so" -Wl,--whole-archive "$NATIVE/rt/asan.a" \
        "$rt/libclang_rt.asan_cxx-x86_64.a" "$rt/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive \
        -lpthread -ldl -lrt -lm -lstdc++
    # A small quarantine and short allocation stacks keep the interpreter's
    # churn of small objects from growing the process past libFuzzer's memory limit.
    RUN=(env LD_PRELOAD="$NATIVE/rt/asan_with_fuzzer.so" PYTHONPATH="$NATIVE/lib"
         ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16:malloc_context_size=4:allocator_may_return_null=1
         UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
    "${RUN[@]}" "$PY" -c "import atheris, vqspecapisdk" || { echo "fuzz: the clang build does not load" >&2; exit 2; }
fi

rm -rf "$OUT"
mkdir -p "$OUT/logs" "$OUT/artifacts"
OUT=$(cd "$OUT" && pwd)
echo "=== fuzz: seed corpus"
# Run from fuzz/ so that the module is the installed one, never a build in the checkout.
(cd fuzz && "$PY" make_corpus.py "$OUT/corpus")

declare -A execs result
status=0
for t in $TARGETS; do
    echo "=== fuzz: $t for ${SECONDS_PER_TARGET}s"
    log="$OUT/logs/$t.log"
    rc=0
    (cd fuzz && timeout -k 10 $((SECONDS_PER_TARGET + 120)) "${RUN[@]}" "$PY" fuzz.py "$t" \
        -max_total_time="$SECONDS_PER_TARGET" -timeout="$HANG" -rss_limit_mb=2048 -max_len=8192 \
        -dict=vq.dict -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$t-" \
        "$OUT/corpus/$t") >"$log" 2>&1 || rc=$?
    execs[$t]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    execs[$t]=${execs[$t]:-?}
    if [ "$rc" -eq 0 ]; then
        result[$t]=ok
    else
        status=1
        case $rc in
            124|137) result[$t]="FAILED (run did not stop in time)" ;;
            70) result[$t]="FAILED (hang: one input ran over ${HANG}s)" ;;
            *) result[$t]="FAILED (exit $rc)" ;;
        esac
        echo "--- $t failed (exit $rc); end of $log:"
        grep -v '^#[0-9]' "$log" | tail -40
        for a in "$OUT/artifacts/$t-"*; do
            [ -e "$a" ] || continue
            echo "--- reproduce: (cd fuzz && ${RUN[*]} $PY fuzz.py $t $a)"
        done
    fi
done

echo "=== fuzz: summary"
printf '%-12s %12s  %s\n' target executions result
for t in $TARGETS; do
    printf '%-12s %12s  %s\n' "$t" "${execs[$t]}" "${result[$t]}"
done
echo "fuzz: total $(( $(date +%s) - started ))s"
exit $status
