# Type stub for the ostrel extension module (an embedded vector database).
# Editors show the docstrings below; at run time the module, the class and
# its methods carry empty docstrings.

from collections.abc import Iterator, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, final

__all__ = ["OstrelDB"]

# Anything PyFloat_AsDouble accepts: int, float, objects with __float__ or __index__.
_Real = SupportsFloat | SupportsIndex

class _Vector(Protocol):
    """A one-dimensional sequence of numbers.

    A list or tuple of numbers, a one-dimensional numpy array (C-contiguous
    float32 and float64 arrays are copied directly, others are read item by
    item), array.array or memoryview. Each number is rounded to float32. A
    str is refused, and so is a two-dimensional array (pass its rows).
    """

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Real: ...
    def __iter__(self) -> Iterator[_Real]: ...

class InternalError(BaseException):
    """A fault of the engine itself, never of the caller's input.

    Raised when an internal invariant is found broken, when the engine meets
    an unexpected C++ exception, or when the system clock reads earlier than
    the Unix epoch while expiry needs the time. It derives directly from
    BaseException, like KeyboardInterrupt, so that a plain `except Exception`
    around a call does not swallow it: the database may be inconsistent
    afterwards, and the program should stop using it (report the message).
    Bad input raises ValueError, TypeError or OverflowError instead, and a
    failed allocation MemoryError.
    """

@final
class OstrelDB:
    """An in-memory vector database whose metadata texts go to `path`/metadata.bin.

    Documents are (id, vector, metadata JSON, optional time-to-live). Only
    metadata.bin is written; vectors and indexes live in memory, so opening
    the same directory again starts an empty database, while metadata.bin
    keeps growing (remove the directory to start afresh).

    Vectors are kept as float32 until an add finds 5000 documents stored
    (deleted ones included); that add compresses them once and for good
    into product-quantization codes and writes "Activating quantization at
    5000 vectors..." to file descriptor 1 (not through sys.stdout).

    Calls on one instance run one at a time (the interpreter lock is held
    throughout). An add made from inside another call's argument conversion
    (an __index__ or __iter__ that uses the instance), or any call from
    inside an add's, raises RuntimeError. The class cannot be subclassed.
    """

    def __new__(cls, path: str) -> OstrelDB:
        """Opens an empty database on the directory `path`.

        Creates the directory and its missing parents; reads nothing from
        it. Raises ValueError with the system's message (ending in
        "(os error N)") when the directory cannot be created.
        """
    def add(
        self,
        internal_id: SupportsIndex,
        vector: _Vector,
        metadata_json: str,
        ttl: SupportsIndex | None = None,
    ) -> None:
        """Adds a document, or replaces the one stored under `internal_id`.

        Args:
            internal_id: any id in 0..4294967295 (dense, hashed or foreign).
                An id that was deleted or has expired stays hidden for the
                life of this object, even when added again: use a new id.
            vector: the document's vector (see _Vector). The first add fixes
                the dimension for every later add. Give it unit length
                (v / numpy.linalg.norm(v)): once quantized, scores are
                computed from Euclidean distances that assume it.
            metadata_json: a JSON text, appended to metadata.bin. The members
                of an object (numbers, strings, booleans; nested objects as
                dotted paths "a.b") become filterable; array elements do not.
            ttl: seconds to live, from now; a negative ttl is already
                expired. None keeps an earlier expiry of the id.

        Raises:
            ValueError: "Dimension mismatch: expected D, got L" (nothing is
                stored); an invalid metadata_json, reported after the
                document was stored: it is searchable, its fields are not
                indexed (negations such as $not still match it) and it never
                expires (check the text with json.loads first); an error
                writing metadata.bin.
            OverflowError: internal_id outside 0..4294967295.
            TypeError: an argument of the wrong type (named in the message).
        """
    def search(
        self,
        query: _Vector,
        k: SupportsIndex,
        filter_json: str | None = None,
        include_metadata: bool = True,
    ) -> list[tuple[int, float, str]]:
        """Returns up to k (id, score, metadata) triples, best score first.

        Purges expired documents first. The candidate index proposes the
        documents of about 20 hash buckets near the query; with k = 10 only
        those are scored, so the result is approximate even before
        quantization. When it proposes fewer than 2*k documents, or fewer
        than k of its proposals are live (and match the filter) while more
        such documents exist, every eligible document (every live one, or
        every live match of the filter) is scored instead, in id order. So
        a larger k (say 50 to 100, keeping the first ten) is the way to
        better recall.

        Args:
            query: a vector of the database's dimension. Its length is not
                checked: another length is scored on the common prefix (and,
                once quantized, components beyond the dimension count as
                distance). An empty query is not an error: every score is
                0.0 before quantization and 1.0 after.
            k: the number of results wanted; 0 returns [].
            filter_json: a filter (README, "Filter language"). Only the
                member with the smallest key of an object is used (combine
                conditions with "$and"), {"field": value} matches nothing
                (write {"field": {"$eq": value}}), unknown operators are
                skipped, and a filter that constrains nothing matches
                nothing.
            include_metadata: False returns "" as every metadata and reads
                no file.

        Returns:
            [(id, score, metadata), ...]. Scores are cosine similarities
            (-1..1) while vectors are raw, then 1 - min(sqrt(d) / 4, 1) of
            the squared distance d to the document's code (0..1; for unit
            vectors about 1 - sqrt(2 - 2 * cosine) / 4): thresholds set
            before the switch do not carry over.

        Raises:
            ValueError: filter_json is not valid JSON (the parser's message).
            OverflowError: k is negative.
        """
    def build_results(
        self,
        scored: Sequence[tuple[SupportsIndex, _Real]],
        include_metadata: bool,
    ) -> list[tuple[int, float, str]]:
        """Attaches metadata to (id, score) pairs scored by the caller.

        Keeps the given order and duplicates, and rounds scores to float32.
        With include_metadata True, each pair costs one read of
        metadata.bin, and ids never added are left out; deleted and expired
        ids still get their metadata (nothing is purged here). With False,
        every pair comes back with "".

        Raises:
            TypeError: an item that is not a tuple (a list [id, score] too).
            ValueError: a tuple that does not have exactly two items.
            OverflowError: an id outside 0..4294967295.
        """
    def delete(self, filter_json: str) -> int:
        """Deletes every document the filter matches; returns how many.

        A filter that matches nothing, or constrains nothing (such as
        {"field": value}), deletes nothing and returns 0. Deleting frees
        no memory and no disk space, and a deleted id never comes back
        (see add). Expired documents are not purged first.

        Raises:
            ValueError: filter_json is not valid JSON (the parser's message).
        """
    def count(self) -> int:
        """Returns one more than the highest id ever added, minus the deleted and expired ids.

        Purges expired documents first. This is the number of documents
        only when ids were given densely from 0: after adding ids 1 and 2
        and deleting one, count() is 2; after adding only id 4000000000, it
        is 4000000001.
        """
    def clean_expired(self) -> None:
        """Purges the documents whose time-to-live has run out.

        search and count do this themselves; call it to purge without
        searching. A purged document is deleted as by delete().
        """
