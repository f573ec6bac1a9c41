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
# On macOS BLAS comes from the Accelerate framework, which the system loads by itself.
if _sys.platform != "darwin":
    _openblas = _importlib_util.find_spec("scipy_openblas32")
    if _openblas is None or _openblas.origin is None:
        raise ModuleNotFoundError("orvane_keldra needs the scipy-openblas32 package",
                                  name="scipy_openblas32")
    _ctypes.CDLL(_os.path.join(_os.path.dirname(_openblas.origin), "lib", "libscipy_openblas.so"))
    del _openblas
del _ctypes, _importlib_util, _os, _sys

from orvane_keldra import _native  # noqa: E402
from orvane_keldra._native import Selection, Similarity, TwoDimEmbedding, Typicality  # noqa: E402

__doc__ = _native.__doc__
__all__ = list(_native.__all__)
