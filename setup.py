"""Build script for the vqspecapisdk extension module.

Environment knobs:
  VQSDK_SANITIZE=1   build with AddressSanitizer + UndefinedBehaviorSanitizer
  VQSDK_WERROR=1     every warning fails the build (CI sets it)
  VQSDK_OPENSSL=DIR  build against the libcrypto unpacked under DIR (DIR/usr/include,
                     DIR/usr/lib/<arch>) instead of the system's, found at run time by rpath
  VQSDK_JOBS=N       parallel compile jobs (default: number of cores)

The security layer (src/security/) is plain C++ over libcrypto: it is compiled
on its own, with the OpenSSL headers but without the interpreter's, so that it
cannot come to depend on the interpreter.
"""
import glob
import os
import sysconfig

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


class BuildExt(build_ext):
    """Compiles the security layer with a compiler of its own that has no
    interpreter include path (an include of the interpreter's headers there
    fails the build), then the module, which links its objects."""

    def build_extensions(self):
        from distutils.ccompiler import new_compiler
        from distutils.sysconfig import customize_compiler
        cc = new_compiler(compiler=self.compiler.compiler_type, force=self.force)
        customize_compiler(cc)
        objects = cc.compile(security_sources, output_dir=self.build_temp,
                             include_dirs=[os.path.join(HERE, "src")] + openssl_include,
                             extra_postargs=["-std=c++17"] + extra_compile, debug=self.debug)
        for e in self.extensions:
            e.extra_objects = objects
        super().build_extensions()


ext = Pybind11Extension(
    "vqspecapisdk",
    sources,
    include_dirs=[os.path.join(HERE, "src")] + openssl_include,
    # the security layer's objects are linked in: a change there relinks
    depends=[os.path.relpath(h, HERE) for h in HEADERS] + security_sources,
    define_macros=[("VQSDK_VERSION", '"%s"' % VERSION)],
    libraries=["crypto"],
    library_dirs=openssl_lib,
    runtime_library_dirs=openssl_lib,
    cxx_std=17,
    extra_compile_args=extra_compile,
    extra_link_args=extra_link,
)

setup(
    name="vqspecapisdk",
    version=VERSION,
    description="Client SDK for the spec environment's signed, encrypted HTTPS API",
    python_requires=">=3.6",
    install_requires=["requests", "pycryptodome"],
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
