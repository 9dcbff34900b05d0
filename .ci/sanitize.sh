#!/usr/bin/env bash
# Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer into a
# fresh virtual environment and runs the whole test suite against it; child
# interpreters started by the tests inherit the sanitizer settings.
#   .ci/sanitize.sh                          CPython 3.11, venv .venv/asan-3.11
#   .ci/sanitize.sh -k log                   extra arguments go to pytest
# Environment:
#   VQSDK_ASAN_PYTHON   interpreter version (default 3.11)
#   VQSDK_ASAN_VENV     virtual environment to (re)create (default .venv/asan-<version>)
#   VQSDK_JOBS          parallel compile jobs (default 2)
# Exits non-zero when the build fails, a test fails, or any process wrote a
# sanitizer report (all reports are printed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

v=${VQSDK_ASAN_PYTHON:-3.11}
venv=${VQSDK_ASAN_VENV:-.venv/asan-$v}
case "$venv" in /*) ;; *) venv=$PWD/$venv ;; esac
cxx=${CXX:-g++}

py=$(find_python "$v") || { echo "no CPython $v found" >&2; exit 1; }
echo "=== sanitizer build for $("$py" -c 'import sys; print(sys.version.split()[0])') in $venv"
new_venv "$py" "$v" "$venv"
vpy=$venv/bin/python
# shellcheck disable=SC2046
pip_quiet "$vpy" install $(test_packages "$v")
stage_source "$venv/source"
VQSDK_SANITIZE=1 VQSDK_JOBS=${VQSDK_JOBS:-2} pip_quiet "$vpy" install --no-cache-dir "$venv/source"

# Make sure what is installed really is the sanitizer build (found without importing it).
so=$("$vpy" -c 'import importlib.util as u; print(u.find_spec("vqspecapisdk").origin)')
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
grep -q '^libasan\.so' <<<"$needed" || { echo "$so is not linked with libasan" >&2; exit 1; }
grep -q '^libubsan\.so' <<<"$needed" || { echo "$so is not linked with libubsan" >&2; exit 1; }

# The interpreter is not instrumented: the ASan runtime must be loaded first.
preload=()
for lib in libasan.so libubsan.so; do
    p=$("$cxx" -print-file-name=$lib)
    [ -f "$p" ] || { echo "$cxx has no $lib ($p)" >&2; exit 1; }
    preload+=("$(readlink -f "$p")")
done
logs=$venv/sanitizer-logs
rm -rf "$logs"; mkdir -p "$logs"
export LD_PRELOAD
LD_PRELOAD=$(IFS=:; echo "${preload[*]}")${LD_PRELOAD:+:$LD_PRELOAD}
# detect_leaks=0: the interpreter itself does not free everything at exit.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
# Python objects from malloc rather than pymalloc's arenas, so that ASan sees
# overruns of buffers the module fills.
export PYTHONMALLOC=malloc

# The harness itself: an overrun in a child interpreter must stop it and leave a report.
"$vpy" -c 'import ctypes, vqspecapisdk; b = ctypes.create_string_buffer(64); ctypes.memset(b, 0, 65)' \
    >/dev/null 2>&1 && { echo "ASan did not stop a heap-buffer-overflow" >&2; exit 1; }
grep -qs "heap-buffer-overflow" "$logs"/asan.* || { echo "ASan wrote no report for a heap-buffer-overflow" >&2; exit 1; }
rm -f "$logs"/*

echo "=== test suite under ASan + UBSan (LD_PRELOAD=$LD_PRELOAD)"
status=0
start=$SECONDS
(cd tests && "$vpy" -m pytest -q -p no:cacheprovider "$@" .) || status=1
echo "=== test suite took $((SECONDS - start)) s"

unset LD_PRELOAD
reports=$(find "$logs" -type f | sort)
if [ -n "$reports" ]; then
    echo "=== sanitizer reports:" >&2
    for f in $reports; do echo "--- $f" >&2; cat "$f" >&2; done
    status=1
else
    echo "=== no sanitizer reports"
fi
exit $status
