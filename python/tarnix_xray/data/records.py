"""The load form (a dict of lists of records, as JSON would hold it) to columns.

The fast path reads each field of every record in one comprehension; only when
that fails does a record-by-record scan find the first bad record and name its
list and index.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .._suggest import hint
from ..errors import DatasetError
from . import checks
from .book import events_from_records
from .dataset import Dataset
from .layouts import LAYOUTS, LISTS

# Words of the load form are exact, as the engine reads them.
_SIDES = {"trades": {"buy": 0, "sell": 1}, "liquidations": {"long": 0, "short": 1}}
_TYPES: dict[type, str] = {int: "an integer", float: "a number", str: "a string", list: "a list"}


def from_load_dict(dataset: Mapping[str, Any], *, strict: bool = True) -> Dataset:
    """A dataset dict in the load form to checked columns."""
    if not isinstance(dataset, Mapping):
        raise DatasetError(f"a dataset is a dict of lists, not {type(dataset).__name__}")
    lists: dict[str, tuple[np.ndarray[Any, Any], ...]] = {}
    for name, records in dataset.items():
        if name not in LISTS:
            if strict:
                raise DatasetError(f"dataset has no list {name!r}{hint(str(name), LISTS)}")
            continue
        if not isinstance(records, Sequence) or isinstance(records, (str, bytes)):
            raise DatasetError(f"dataset list {name!r} is not a list but {type(records).__name__}")
        lists[name] = list_columns(name, records)
    return Dataset(lists)


def list_columns(name: str, records: Sequence[Any]) -> tuple[np.ndarray[Any, Any], ...]:
    if name == "book":
        return events_from_records(list(records), name)
    fields = LAYOUTS[name].columns
    try:
        raw = _fast(records, fields)
    except (KeyError, IndexError, TypeError):
        raw = read_each(name, records)
    ts = np.array(raw[0]) if raw[0] else np.zeros(0, np.int64)
    if ts.dtype.kind != "i":  # floats, text, or integers beyond int64 somewhere
        raw = read_each(name, records)
        ts = np.array(raw[0], dtype=np.int64)
    out: list[np.ndarray[Any, Any]] = [ts.astype(np.int64)]
    for column, values in zip(fields[1:], raw[1:]):
        at = f"{name}[{{row}}] {column}"
        if column == "side":
            out.append(_sides(name, values))
            continue
        array = np.array(values) if values else np.zeros(0, np.float64)
        if array.dtype.kind not in "iuf":
            read_each(name, records)  # raises for the first record holding a non-number
        out.append(checks.numbers(array, at, quantity=column in LAYOUTS[name].quantities))
    return tuple(out)


def _fast(records: Sequence[Any], fields: tuple[str, ...]) -> list[list[Any]]:
    if records and isinstance(records[0], Mapping):
        return [[r[f] for r in records] for f in fields]
    if any(len(r) != len(fields) for r in records):
        raise IndexError
    return [[r[i] for r in records] for i in range(len(fields))]


def _sides(name: str, values: list[Any]) -> np.ndarray[Any, Any]:
    words = _SIDES[name]
    try:
        return np.array([words[v] for v in values], dtype=np.uint8)
    except (KeyError, TypeError):
        row = next(i for i, v in enumerate(values) if not isinstance(v, str) or v not in words)
        expected = " or ".join(repr(w) for w in words)
        maybe = hint(str(values[row]), words)
        raise DatasetError(f"{name}[{row}] side {values[row]!r} is not {expected}{maybe}") from None


def field(record: Any, position: int, names: tuple[str, ...], at: str, kind: type) -> Any:
    """One field of a record given as a dict or as an array in field order."""
    name = names[position]
    if isinstance(record, Mapping):
        if name not in record:
            others = [k for k in record if k not in names]
            raise DatasetError(f"{at} has no field {name!r}{hint(name, others) if others else ''}")
        value = record[name]
    elif isinstance(record, (list, tuple)):
        if len(record) != len(names):
            raise DatasetError(f"{at} has {len(record)} values, not {len(names)} ({', '.join(names)})")
        value = record[position]
    else:
        raise DatasetError(f"{at} is {type(record).__name__}, not a record (a dict or a list)")
    numeric = kind is float and isinstance(value, int)
    if isinstance(value, bool) or not (isinstance(value, kind) or numeric):
        raise DatasetError(f"{at} {name} is not {_TYPES[kind]}: {value!r}")
    if kind is int and not -(2**63) <= value < 2**63:
        raise DatasetError(f"{at} {name} is outside the signed 64-bit range: {value!r}")
    return value


def read_each(name: str, records: Sequence[Any]) -> list[list[Any]]:
    """Fields read record by record, checked: the first bad record raises, named by index."""
    fields = LAYOUTS[name].columns
    kinds: list[type] = [int] + [str if f == "side" else float for f in fields[1:]]
    raw: list[list[Any]] = [[] for _ in fields]
    for i, record in enumerate(records):
        for position, kind in enumerate(kinds):
            raw[position].append(field(record, position, fields, f"{name}[{i}]", kind))
    return raw
