#!/usr/bin/env bash
# Type checks: the example programs (and the simulator they import), the
# web apps (src/web/vqspecapisdk_web), the asyncio client (src/aio/vqspecapisdk_async)
# and the logging bridge (src/logbridge/vqspecapisdk_logging) under mypy --strict
# against the installed module and its PEP 561 stubs, and the stubs against the
# module itself with mypy's stubtest.
#   .ci/typecheck.sh
# Environment:
#   VQSDK_TYPECHECK_PYTHON  interpreter version (default 3.11)
#   VQSDK_TYPECHECK_VENV    virtual environment to (re)create (default .venv/typecheck-<version>)
#   VQSDK_MYPY              mypy requirement (default mypy==2.4.1, the version these checks were written for)
#   VQSDK_JOBS              parallel compile jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

v=${VQSDK_TYPECHECK_PYTHON:-3.11}
venv=${VQSDK_TYPECHECK_VENV:-.venv/typecheck-$v}
case "$venv" in /*) ;; *) venv=$PWD/$venv ;; esac
py=$(find_python "$v") || { echo "no CPython $v found" >&2; exit 1; }
vpy=$venv/bin/python

echo "=== type checks with $("$py" -c 'import sys; print(sys.version.split()[0])') in $venv"
new_venv "$py" "$v" "$venv"
# aiohttp and requests' stubs for the asyncio client (src/aio/vqspecapisdk_async).
pip_quiet "$vpy" install "${VQSDK_MYPY:-mypy==2.4.1}" aiohttp types-requests
stage_source "$venv/source"
VQSDK_JOBS=${VQSDK_JOBS:-2} pip_quiet "$vpy" install --no-cache-dir "$venv/source"

status=0
# From the checkout's root, so that `simulator` is found as the examples import it.
echo "=== mypy --strict examples/ src/web/vqspecapisdk_web src/aio/vqspecapisdk_async src/logbridge/vqspecapisdk_logging"
MYPYPATH=src/web:src/aio:src/logbridge "$vpy" -m mypy --strict --cache-dir "$venv/mypy-cache" examples/ \
    src/web/vqspecapisdk_web src/aio/vqspecapisdk_async src/logbridge/vqspecapisdk_logging || status=1
echo "=== stubtest vqspecapisdk"
# From the venv, so that the module imported is the installed one.
(cd "$venv" && "$vpy" -m mypy.stubtest vqspecapisdk) || status=1
exit $status
