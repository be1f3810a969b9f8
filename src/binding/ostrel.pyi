# Type stub for the ostrel extension module (an embedded vector database).

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["OstrelDB"]

# Anything PyFloat_AsDouble accepts: int, float, objects with __float__ or __index__.
_Real = SupportsFloat | SupportsIndex

class InternalError(BaseException):
    """A violated internal invariant of the engine (not a user error)."""

@final
class OstrelDB:
    """A database opened on a directory; only metadata.bin is persisted."""

    def __new__(cls, path: str) -> OstrelDB: ...
    def add(
        self,
        internal_id: SupportsIndex,
        vector: Sequence[_Real],
        metadata_json: str,
        ttl: SupportsIndex | None = None,
    ) -> None: ...
    def search(
        self,
        query: Sequence[_Real],
        k: SupportsIndex,
        filter_json: str | None = None,
        include_metadata: bool = True,
    ) -> list[tuple[int, float, str]]: ...
    def build_results(
        self,
        scored: Sequence[tuple[SupportsIndex, _Real]],
        include_metadata: bool,
    ) -> list[tuple[int, float, str]]: ...
    def delete(self, filter_json: str) -> int: ...
    def count(self) -> int: ...
    def clean_expired(self) -> None: ...
