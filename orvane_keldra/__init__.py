# The public surface is exactly that of the native extension, which lives beside this file under
# a private name so that the package can carry type information and pure-Python layers.
from orvane_keldra import _native
from orvane_keldra._native import Selection, Similarity, TwoDimEmbedding, Typicality

__doc__ = _native.__doc__
__all__ = list(_native.__all__)
