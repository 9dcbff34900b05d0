"""Run mypy's stubtest on vqspecapisdk against its stub package.

The module's methods (and __init__) are builtin functions whose __self__ is
the binding library's function record, or a capsule, rather than a module,
so inspect.signature() takes them for bound methods and drops the leading
"$self" of their text signature: every method would be reported as lacking
`self`.  Here that parameter is kept for exactly those functions; everything
else is checked as stubtest checks it.

    python .ci/stubtest.py [stubtest options]
"""
import inspect
import sys

from mypy import stubtest


def _is_record_bound(func):
    """A function of the module's classes: its __self__ is no instance, only its own data."""
    owner = getattr(func, "__self__", None)
    kind = type(owner).__name__
    return kind == "PyCapsule" or kind.startswith("pybind11_detail_function_record")


_from_builtin = inspect._signature_from_builtin  # fails loudly if inspect changes


def _signature_from_builtin(cls, func, skip_bound_arg=True):
    if _is_record_bound(func):
        skip_bound_arg = False
    return _from_builtin(cls, func, skip_bound_arg=skip_bound_arg)


inspect._signature_from_builtin = _signature_from_builtin

if __name__ == "__main__":
    sys.exit(stubtest.test_stubs(stubtest.parse_options(["vqspecapisdk"] + sys.argv[1:])))
