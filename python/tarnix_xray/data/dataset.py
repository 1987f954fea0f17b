"""A dataset as checked column arrays: what the engine loads, and what its "load" text is written from."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .._native import load_text
from .._schema import LISTS, LOAD_COLUMNS

# Column names of each list in the engine's buffer order.
WRITER_COLUMNS = LOAD_COLUMNS


@dataclass
class Dataset:
    """Column arrays per list, checked and in the writer's order (see WRITER_COLUMNS).

    Build one with `tarnix_xray.data.dataset(...)` or the readers; a Session
    loads it without further conversion.
    """

    lists: dict[str, tuple[np.ndarray[Any, Any], ...]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        unknown = set(self.lists) - set(LISTS)
        assert not unknown, f"not lists of a dataset: {unknown}"

    def count(self, name: str) -> int:
        """Records of one list (a book event counts once, whatever its levels)."""
        columns = self.lists.get(name)
        return 0 if columns is None else len(columns[0])

    @property
    def counts(self) -> dict[str, int]:
        return {name: self.count(name) for name in LISTS}

    def __len__(self) -> int:
        return sum(self.counts.values())

    def column(self, name: str, column: str) -> np.ndarray[Any, Any]:
        """One column of one list by its writer name, e.g. ("trades", "price")."""
        return self.lists[name][WRITER_COLUMNS[name].index(column)]

    def merged(self, other: Mapping[str, tuple[np.ndarray[Any, Any], ...]]) -> Dataset:
        """A dataset with `other`'s lists replacing or adding to these."""
        return Dataset({**self.lists, **other})

    def load_text(self, *, command: bool = True) -> str:
        """The "load" command text (or the bare dataset object with command=False)."""
        lists: dict[str, Any] = dict(self.lists)
        return str(load_text(command=command, **lists))

    def ts_span(self) -> tuple[int, int] | None:
        """(earliest, latest) ts over all lists; None without records."""
        spans = [(int(c[0].min()), int(c[0].max())) for c in self.lists.values() if len(c[0])]
        if not spans:
            return None
        return (min(s[0] for s in spans), max(s[1] for s in spans))

    def __repr__(self) -> str:
        parts = ", ".join(f"{n}={c}" for n, c in self.counts.items() if c)
        return f"Dataset({parts or 'empty'})"
