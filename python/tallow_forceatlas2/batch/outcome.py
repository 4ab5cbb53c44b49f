"""What a batch hands back: every result in input order, and the failures by position."""

from __future__ import annotations

from typing import Generic, TypeVar

__all__ = ["BatchError", "Outcome"]

T = TypeVar("T")

# Failures spelled out in a BatchError message; the rest are counted.
MESSAGE_FAILURES = 3


class BatchError(Exception):
    """Some graphs of a batch failed; the others' results are kept.

    Raised once every graph has been tried, never in the middle of a batch.

    Attributes
    ----------
    failures : dict of int to BaseException
        The exception of every failed graph, keyed by its position in the
        input (0-based), in input order.
    results : list
        One entry per input graph in input order: its result, or None where
        it failed.
    labels : list of str or None
        What the message calls each position (file names for a directory),
        or None for "graph <position>".
    """

    def __init__(
        self,
        failures: dict[int, BaseException],
        results: list[object],
        labels: list[str] | None = None,
    ) -> None:
        self.failures = dict(sorted(failures.items()))
        self.results = results
        self.labels = labels
        shown = [
            f"{self._name(position)}: {type(error).__name__}: {error}"
            for position, error in list(self.failures.items())[:MESSAGE_FAILURES]
        ]
        more = len(self.failures) - len(shown)
        tail = f"; and {more} more (see .failures)" if more else ""
        super().__init__(
            f"{len(self.failures)} of {len(results)} graphs failed; the others' results "
            f"are in .results. " + "; ".join(shown) + tail
        )

    def __reduce__(self) -> tuple[type[BatchError], tuple[object, ...]]:
        # Rebuilt from its parts, so that it can cross processes like any exception.
        return (type(self), (self.failures, self.results, self.labels))

    def _name(self, position: int) -> str:
        if self.labels is not None:
            return self.labels[position]
        return f"graph {position}"


class Outcome(Generic[T]):
    """Results and failures collected as they arrive, in any order."""

    def __init__(self) -> None:
        self._results: dict[int, T] = {}
        self._failures: dict[int, BaseException] = {}
        self._count = 0

    def reserve(self, position: int) -> None:
        """Note that the batch has a graph at ``position``."""
        self._count = max(self._count, position + 1)

    def record(self, position: int, result: T | BaseException) -> None:
        """Keep a result or a failure of the graph at ``position``."""
        self.reserve(position)
        if isinstance(result, BaseException):
            self._failures[position] = result
        else:
            self._results[position] = result

    def results(self, labels: list[str] | None = None) -> list[T]:
        """Return every result in input order, or raise BatchError if any failed."""
        ordered = [self._results.get(position) for position in range(self._count)]
        if self._failures:
            raise BatchError(self._failures, list(ordered), labels)
        return ordered  # type: ignore[return-value]
