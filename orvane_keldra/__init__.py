# The public surface is exactly that of the native extension, which lives beside this file under
# a private name so that the package can carry type information and pure-Python layers.
import ctypes as _ctypes
import os as _os

import scipy_openblas32 as _openblas_package

# The extension records OpenBLAS by soname only. Loading the library of whichever scipy_openblas32
# is importable satisfies that name, so the extension loads wherever the two packages were
# installed (site-packages, --target, PYTHONPATH, editable), not only side by side.
_ctypes.CDLL(_os.path.join(_openblas_package.get_lib_dir(), "libscipy_openblas.so"),
             mode=_ctypes.RTLD_GLOBAL)
del _ctypes, _os, _openblas_package

from orvane_keldra import _native  # noqa: E402
from orvane_keldra._native import Selection, Similarity, TwoDimEmbedding, Typicality  # noqa: E402

__doc__ = _native.__doc__
__all__ = list(_native.__all__)
