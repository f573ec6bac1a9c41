# The public surface is exactly that of the native extension, which lives beside this file under
# a private name so that the package can carry type information and pure-Python layers.
import ctypes as _ctypes
import importlib.util as _importlib_util
import os as _os
import sys as _sys

# The extension records OpenBLAS by soname only. Loading the library of whichever scipy_openblas32
# is importable satisfies that name, so the extension loads wherever the two packages were
# installed (site-packages, --target, PYTHONPATH, editable), not only side by side. The package is
# found, not imported: its import would also put every OpenBLAS symbol into the process-wide scope.
_openblas = _importlib_util.find_spec("scipy_openblas32")
_lib = ""
if _openblas is not None and _openblas.origin is not None:
    _lib = _os.path.join(_os.path.dirname(_openblas.origin), "lib")
    if _sys.platform == "win32":
        # Windows resolves the extension's DLL by name, from the folders added here among others;
        # the folder stays added while the handle lives, so the package keeps it.
        _openblas_dll_folder = _os.add_dll_directory(_lib)
    else:
        _lib = _os.path.join(
            _lib, "libscipy_openblas" + (".dylib" if _sys.platform == "darwin" else ".so")
        )
        if _os.path.exists(_lib) or _sys.platform != "darwin":
            _ctypes.CDLL(_lib)
elif _sys.platform != "darwin":  # macOS builds call Accelerate
    raise ModuleNotFoundError(
        "orvane_keldra needs the scipy-openblas32 package", name="scipy_openblas32"
    )


def _shadowing_source_tree() -> str | None:
    """The folder of this package when it is a source tree without a built extension."""
    import os as _os

    here = _os.path.dirname(_os.path.abspath(__file__))
    has_extension = any(
        name.startswith("_native.") and name.endswith((".so", ".pyd")) for name in _os.listdir(here)
    )
    in_source_tree = _os.path.exists(_os.path.join(here, "..", "pyproject.toml"))
    return here if in_source_tree and not has_extension else None


try:
    from orvane_keldra import _native  # noqa: E402
except ImportError as _error:
    _tree = _shadowing_source_tree()
    if _tree is None:
        raise
    raise ImportError(
        f"orvane_keldra was imported from the source tree at {_tree}, which holds no built "
        "extension and shadows the installed package: run Python from another directory, or "
        "set PYTHONSAFEPATH=1 (python -P) so that the current directory is not searched first",
        name="orvane_keldra",
    ) from _error
del _ctypes, _importlib_util, _os, _sys, _openblas, _lib, _shadowing_source_tree
from orvane_keldra._native import Selection, Similarity, TwoDimEmbedding, Typicality  # noqa: E402

__doc__ = _native.__doc__
__all__ = list(_native.__all__)


def build_info() -> dict:
    """What this build is and what it uses on this machine, for bug reports: version, platform,
    compiler, the vector-kernel level in use and those available (ORVANE_SIMD can lower it), the
    BLAS library and the kernels it picked, and the number of workers."""
    import importlib.metadata
    import platform

    try:
        version = importlib.metadata.version("orvane_keldra")
    except importlib.metadata.PackageNotFoundError:  # run from a build tree
        version = "unknown"
    native = _native._build_info()
    return {
        "version": version,
        "platform": platform.platform(),
        "python": platform.python_version(),
        **native,
    }
