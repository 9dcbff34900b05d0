"""Build script for the vqspecapisdk extension module.

Environment knobs:
  VQSDK_SANITIZE=1   build with AddressSanitizer + UndefinedBehaviorSanitizer
  VQSDK_JOBS=N       parallel compile jobs (default: number of cores)
"""
import glob
import os

from setuptools import setup
from pybind11.setup_helpers import Pybind11Extension, ParallelCompile

HERE = os.path.dirname(os.path.abspath(__file__))
HEADERS = glob.glob(os.path.join(HERE, "src", "*", "*.hpp"))


def needs_recompile(obj, src):
    """Recompile when the source or any of the project's headers is newer."""
    if not os.path.exists(obj):
        return True
    built = os.stat(obj).st_mtime
    return any(os.stat(p).st_mtime >= built for p in [src] + HEADERS)


ParallelCompile("VQSDK_JOBS", needs_recompile=needs_recompile).install()
sources = sorted(
    os.path.relpath(p, HERE)
    for p in glob.glob(os.path.join(HERE, "src", "*", "*.cpp"))
)

extra_compile = ["-O2", "-fvisibility=hidden", "-Wall", "-Wextra", "-Wno-unused-parameter", "-Wno-missing-field-initializers"]
extra_link = []
if os.environ.get("VQSDK_SANITIZE") == "1":
    # float-cast-overflow is not part of GCC's "undefined" group; every check
    # stops the process at the first finding.
    san = ["-fsanitize=address,undefined,float-cast-overflow", "-fno-omit-frame-pointer",
           "-fno-sanitize-recover=all"]
    # -fstrict-overflow undoes the interpreter's -fwrapv (3.12 and older) or
    # -fno-strict-overflow (3.13), under which signed and pointer overflow are
    # defined and UBSan does not check them.
    extra_compile = ["-O1", "-g", "-fstrict-overflow"] + san + extra_compile[2:]
    extra_link += san

ext = Pybind11Extension(
    "vqspecapisdk",
    sources,
    include_dirs=[os.path.join(HERE, "src")],
    depends=[os.path.relpath(h, HERE) for h in HEADERS],
    libraries=["crypto"],
    cxx_std=17,
    extra_compile_args=extra_compile,
    extra_link_args=extra_link,
)

setup(
    name="vqspecapisdk",
    version="1.2.3",
    description="Client SDK for the spec environment's signed, encrypted HTTPS API",
    python_requires=">=3.6",
    install_requires=["requests", "pycryptodome"],
    ext_modules=[ext],
    # Optional: the Redis store of the web apps' replay protection.
    extras_require={"redis": ["redis"]},
    # PEP 561 stub-only package installed alongside the extension, and the
    # pure-Python WSGI/ASGI apps (typed inline, with their py.typed marker).
    packages=["vqspecapisdk-stubs", "vqspecapisdk_web"],
    package_dir={"vqspecapisdk-stubs": "stubs/vqspecapisdk-stubs", "vqspecapisdk_web": "src/web/vqspecapisdk_web"},
    package_data={"vqspecapisdk-stubs": ["__init__.pyi"], "vqspecapisdk_web": ["py.typed"]},
    zip_safe=False,
)
