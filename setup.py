"""Build script for the vqspecapisdk extension module.

Environment knobs:
  VQSDK_SANITIZE=1   build with AddressSanitizer + UndefinedBehaviorSanitizer
  VQSDK_WERROR=1     every warning fails the build (CI sets it)
  VQSDK_OPENSSL=DIR  build against the libcrypto unpacked under DIR (DIR/usr/include,
                     DIR/usr/lib/<arch>) instead of the system's, found at run time by rpath
  VQSDK_PORTABLE=DIR link DIR/lib/libcrypto.a (a static libcrypto built by
                     .ci/portable.sh, with DIR/include and DIR/stamp) into the
                     module, exporting nothing but its init function
  VQSDK_JOBS=N       parallel compile jobs (default: number of cores)
  VQSDK_PROGRESS=F   append a line per step ("[k/n] compiling src/..."), to file F
                     (pip hides a build's output; ./demo and ./run-tests show F)

Objects are built under a folder of build_temp named by a hash of these
settings and of the compiler's, so a build with other settings never reuses
them, and the module is linked again whenever the settings changed.

The security layer (src/security/) is plain C++ over libcrypto: it is compiled
on its own, with the OpenSSL headers but without the interpreter's, so that it
cannot come to depend on the interpreter.
"""
import glob
import hashlib
import os
import sys
import sysconfig

import setuptools
from setuptools import setup
from pybind11.setup_helpers import Pybind11Extension, ParallelCompile, build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
HEADERS = glob.glob(os.path.join(HERE, "src", "*", "*.hpp"))


def needs_recompile(obj, src):
    """Recompile when the source or any of the project's headers is newer."""
    if not os.path.exists(obj):
        return True
    built = os.stat(obj).st_mtime
    return any(os.stat(p).st_mtime >= built for p in [src] + HEADERS)


ParallelCompile("VQSDK_JOBS", needs_recompile=needs_recompile).install()
# The package version: the only place it is written (the module's
# SDK_VERSION is made from it).
VERSION = "1.2.3"


def cpp_sources(pattern):
    return sorted(os.path.relpath(p, HERE) for p in glob.glob(os.path.join(HERE, "src", pattern, "*.cpp")))


security_sources = cpp_sources("security")
sources = [s for s in cpp_sources("*") if s not in security_sources]

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
if sys.platform.startswith("linux"):
    # A thread that glibc ends (pthread_exit: the interpreter ending a daemon
    # thread at exit) passes through our frames without their cleanups: see
    # src/module/forced_unwind.cpp.
    extra_compile.append("-DVQSDK_WRAP_PERSONALITY")
    extra_link.append("-Wl,--wrap=__gxx_personality_v0")
if os.environ.get("VQSDK_WERROR") == "1":
    extra_compile.append("-Werror")

# Another libcrypto than the system's: its headers before the system's (the
# architecture's folder holds opensslconf.h), its library by rpath.
openssl_include, openssl_lib = [], []
if os.environ.get("VQSDK_OPENSSL"):
    root = os.path.abspath(os.environ["VQSDK_OPENSSL"])
    arch = sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu"
    openssl_include = [os.path.join(root, "usr", "include", arch), os.path.join(root, "usr", "include")]
    openssl_lib = [os.path.join(root, "usr", "lib", arch)]
    for d in openssl_include + openssl_lib:
        if not os.path.isdir(d):
            raise SystemExit("VQSDK_OPENSSL: no folder %s" % d)

# A portable build: libcrypto statically linked, only PyInit_vqspecapisdk
# exported (a version script), so the module never binds to, nor exports, the
# libcrypto symbols of whatever libcrypto/libssl the process has loaded.
crypto_libraries, crypto_objects, portable_link = ["crypto"], [], []
if os.environ.get("VQSDK_PORTABLE"):
    if os.environ.get("VQSDK_OPENSSL"):
        raise SystemExit("VQSDK_PORTABLE and VQSDK_OPENSSL exclude each other")
    root = os.path.abspath(os.environ["VQSDK_PORTABLE"])
    archive = os.path.join(root, "lib", "libcrypto.a")
    # The library must be the one .ci/portable.sh built and checked: a
    # truncated or changed archive fails the build here, not the import.
    try:
        with open(os.path.join(root, "stamp")) as f:
            want = dict(line.rstrip("\n").split(" ", 1) for line in f if " " in line)["sha256"]
        with open(archive, "rb") as f:
            data = f.read()
    except (OSError, KeyError) as e:
        raise SystemExit("VQSDK_PORTABLE: no checked libcrypto.a in %s (%s)" % (root, e))
    if not data.startswith(b"!<arch>\n") or hashlib.sha256(data).hexdigest() != want:
        raise SystemExit("VQSDK_PORTABLE: %s is not the library its stamp records (corrupt or truncated)" % archive)
    openssl_include = [os.path.join(root, "include")]
    crypto_libraries, crypto_objects = [], [archive]
    exports = os.path.join(HERE, "src", "module", "exports.map")
    portable_link = ["-Wl,--version-script=" + exports, "-s", "-lpthread"]
    # Zig's glibc headers define _XOPEN_SOURCE before pyconfig.h does (same meaning for us).
    extra_compile.append("-Wno-macro-redefined")


def settings_key(compiler, link=False):
    """Hash of everything that decides what an object file holds (link=True:
    and what the linked module holds)."""
    parts = [sys.version, sorted((k, v) for k, v in os.environ.items()
                                 if k.startswith("VQSDK_") and k not in ("VQSDK_JOBS", "VQSDK_PROGRESS"))]
    parts += [getattr(compiler, "compiler_so", None), getattr(compiler, "compiler_cxx", None), extra_compile]
    if link:
        parts += [getattr(compiler, "linker_so", None), extra_link, portable_link]
    return hashlib.sha256(repr(parts).encode()).hexdigest()[:12]


class Progress(object):
    """Step k of n of the build, one line each, to the VQSDK_PROGRESS file."""

    def __init__(self, total):
        import threading
        self.path, self.total, self.done, self.lock = os.environ.get("VQSDK_PROGRESS"), total, 0, threading.Lock()

    def say(self, what):
        if not self.path:
            return
        with self.lock:
            self.done += 1
            with open(self.path, "a") as f:
                f.write("    [%d/%d] %s\n" % (self.done, self.total, what))

    def watch(self, compiler):
        """Counts each source the compiler compiles (ParallelCompile's threads too)."""
        compile_one = compiler._compile

        def _compile(obj, src, *args, **kwargs):
            self.say("compiling " + os.path.relpath(src, HERE))
            return compile_one(obj, src, *args, **kwargs)
        compiler._compile = _compile


class BuildExt(build_ext):
    """Compiles the security layer with a compiler of its own that has no
    interpreter include path (an include of the interpreter's headers there
    fails the build), then the module, which links its objects."""

    def get_libraries(self, ext):
        # An interpreter built with --enable-shared makes build_ext link its
        # libpython (3.6 and 3.7 do); a portable module must not need it
        # (manylinux: the interpreter that imports it provides those symbols).
        libraries = super().get_libraries(ext)
        if crypto_objects:
            libraries = [lib for lib in libraries if not lib.startswith("python")]
        return libraries

    def build_extensions(self):
        from distutils.ccompiler import new_compiler
        from distutils.sysconfig import customize_compiler
        key = settings_key(self.compiler)
        self.build_temp = os.path.join(self.build_temp, "settings-" + key)
        # The module in build_lib is linked again when it was built with other
        # settings (it is newer than the sources, so setuptools would keep it).
        record = os.path.join(self.build_temp, "linked-module")
        for e in self.extensions:
            built = self.get_ext_fullpath(e.name)
            try:
                with open(record) as f:
                    same = f.read() == "%s %s %s" % (settings_key(self.compiler, True), built, os.stat(built).st_mtime)
            except OSError:
                same = False
            if not same:
                self.force = self.compiler.force = True
        cc = new_compiler(compiler=self.compiler.compiler_type, force=self.force)
        customize_compiler(cc)
        progress = Progress(len(security_sources) + len(sources) + 1)
        progress.watch(cc)
        progress.watch(self.compiler)
        objects = cc.compile(security_sources, output_dir=self.build_temp,
                             include_dirs=[os.path.join(HERE, "src")] + openssl_include,
                             extra_postargs=["-std=c++17"] + extra_compile, debug=self.debug)
        for e in self.extensions:
            e.extra_objects = objects + crypto_objects
        super().build_extensions()
        progress.done = progress.total - 1
        progress.say("linked %s" % os.path.basename(self.get_ext_fullpath("vqspecapisdk")))
        for e in self.extensions:
            built = self.get_ext_fullpath(e.name)
            with open(record, "w") as f:
                f.write("%s %s %s" % (settings_key(self.compiler, True), built, os.stat(built).st_mtime))


ext = Pybind11Extension(
    "vqspecapisdk",
    sources,
    include_dirs=[os.path.join(HERE, "src")] + openssl_include,
    # the security layer's objects are linked in: a change there relinks
    depends=[os.path.relpath(h, HERE) for h in HEADERS] + security_sources,
    define_macros=[("VQSDK_VERSION", '"%s"' % VERSION)],
    libraries=crypto_libraries,
    library_dirs=openssl_lib,
    runtime_library_dirs=openssl_lib,
    cxx_std=17,
    extra_compile_args=extra_compile,
    extra_link_args=extra_link + portable_link,
)

# The licence as each setuptools writes it: an SPDX expression (License-Expression,
# setuptools 77 and later, which warn about licence classifiers), or the older
# License field and classifier (the setuptools that CPython 3.6 to 3.8 build with).
if int(setuptools.__version__.split(".")[0]) >= 77:
    LICENSE, LICENSE_CLASSIFIERS = {"license_expression": "LicenseRef-Proprietary"}, []
else:
    LICENSE, LICENSE_CLASSIFIERS = {"license": "Proprietary"}, ["License :: Other/Proprietary License"]

with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
    README = f.read()

setup(
    name="vqspecapisdk",
    version=VERSION,
    description="Client SDK for the spec environment's signed, encrypted HTTPS API",
    long_description=README,
    long_description_content_type="text/markdown",
    **LICENSE,
    url="https://vqplatform.invalid/vqspecapisdk",
    project_urls={
        "Documentation": "https://vqplatform.invalid/vqspecapisdk/README.md",
        "Design": "https://vqplatform.invalid/vqspecapisdk/docs/DESIGN.md",
    },
    classifiers=[
        "Development Status :: 5 - Production/Stable",
        "Intended Audience :: Developers",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3 :: Only",
    ] + ["Programming Language :: Python :: 3.%d" % minor for minor in range(6, 14)] + [
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Security :: Cryptography",
        "Typing :: Typed",
    ] + LICENSE_CLASSIFIERS,
    python_requires=">=3.6",
    # pip 18.1 (CPython 3.6's own) takes the newest requests whatever Python
    # it needs: the last line that runs on 3.6.
    install_requires=["requests<2.28; python_version < '3.7'", "requests; python_version >= '3.7'", "pycryptodome"],
    ext_modules=[ext],
    cmdclass={"build_ext": BuildExt},
    # Optional: the Redis store of the web apps' replay protection.
    extras_require={"redis": ["redis"], "async": ['aiohttp; python_version >= "3.8"']},
    # PEP 561 stub-only package installed alongside the extension, the
    # pure-Python WSGI/ASGI apps, asyncio client and bridge to the logging
    # module (typed inline, with their py.typed markers), and the module's
    # private helper for its HTTP client, which it imports.
    packages=["vqspecapisdk-stubs", "vqspecapisdk_web", "vqspecapisdk_async", "vqspecapisdk_logging",
              "_vqspecapisdk_http"],
    package_dir={"vqspecapisdk-stubs": "stubs/vqspecapisdk-stubs", "vqspecapisdk_web": "src/web/vqspecapisdk_web",
                 "vqspecapisdk_async": "src/aio/vqspecapisdk_async",
                 "vqspecapisdk_logging": "src/logbridge/vqspecapisdk_logging",
                 "_vqspecapisdk_http": "src/outbound/_vqspecapisdk_http"},
    package_data={"vqspecapisdk-stubs": ["__init__.pyi"], "vqspecapisdk_web": ["py.typed"],
                  "vqspecapisdk_async": ["py.typed"], "vqspecapisdk_logging": ["py.typed"]},
    zip_safe=False,
)
