# Type information for the orvane_keldra package: the classes of its native extension
# (orvane_keldra._native, re-exported here) and build_info(); py.typed marks the package as typed.
#
# Every argument may be passed positionally or by keyword.

from collections.abc import Iterator
from typing import Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

__all__ = ["Selection", "Typicality", "TwoDimEmbedding", "Similarity"]

_T_co = TypeVar("_T_co", covariant=True)

# The module sizes a list-like argument with len() and reads it by iterating; any sequence
# (list, tuple, NumPy array, array.array) qualifies. NumPy arrays are not registered as
# collections.abc.Sequence, and they yield NumPy scalars rather than float or int, hence a
# protocol over SupportsFloat / SupportsIndex elements instead of Sequence[float].
class _SequenceLike(Protocol[_T_co]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_Floats: TypeAlias = _SequenceLike[SupportsFloat]
_FloatRows: TypeAlias = _SequenceLike[_SequenceLike[SupportsFloat]]
_Indices: TypeAlias = _SequenceLike[SupportsIndex]
_IndexRows: TypeAlias = _SequenceLike[_SequenceLike[SupportsIndex]]

@final
class Similarity:
    def __new__(cls, key_embeddings: _FloatRows) -> Self: ...
    # score_k = -d_k / mean over keys of d, d_k the distance from key k to its nearest query
    # (every score -0.0 when all keys lie on queries)
    def calculate_similarity(self, query_embeddings: _FloatRows) -> list[float]: ...

@final
class Typicality:
    def __new__(cls, embeddings: _FloatRows) -> Self: ...
    # score_i = mean over its K nearest neighbours j of exp(-d_ij / mean of d over all N x K pairs)
    # (K capped at N - 1; every score 1.0 when the mean is 0)
    def calculate_typicality(self, num_nearest_neighbors: int) -> list[float]: ...

@final
class TwoDimEmbedding:
    def __new__(cls, embeddings: _FloatRows) -> Self: ...
    def calculate_2d_embedding(self) -> list[tuple[float, float]]: ...
    # each new point placed by its own values alone: the same place in any batch
    def extend_2d_embedding(
        self, layout: _FloatRows, new_embeddings: _FloatRows
    ) -> list[tuple[float, float]]: ...

@final
class Selection:
    def __new__(cls) -> Self: ...
    def add_weighting_strategy(self, weights: _Floats, strength: float) -> None: ...
    def add_diversifying_strategy(
        self,
        embeddings: _FloatRows,
        strength: float,
        stopping_condition_minimum_distance: float | None = None,
    ) -> None: ...
    def add_balancing_strategy(
        self, class_distributions: _FloatRows, target: _Floats, strength: float
    ) -> None: ...
    def add_subpart_diversifying_strategy(
        self,
        embeddings: _FloatRows,
        sample_to_subpart_indices: _IndexRows,
        strength: float,
        stopping_condition_minimum_distance: float | None = None,
    ) -> None: ...
    def add_subpart_similarity_strategy(
        self,
        key_embeddings: _FloatRows,
        query_embeddings: _FloatRows,
        sample_to_subpart_indices: _IndexRows,
        strength: float,
    ) -> None: ...
    def add_subpart_typicality_strategy(
        self,
        embeddings: _FloatRows,
        sample_to_subpart_indices: _IndexRows,
        strength: float,
        num_nearest_neighbors: int,
        stopping_condition_minimum_typicality: float | None = None,
    ) -> None: ...
    def run_selection(
        self, preselected_indices: _Indices, n_total_samples: int, n_samples_to_select: int
    ) -> list[int]: ...

def build_info() -> dict[str, object]: ...
