"""Datasets from pandas DataFrames, numpy arrays, records, CSV and Parquet files.

Needs the `[data]` extra (numpy, pandas, pyarrow; tqdm for progress bars).
Every list is checked before anything reaches the engine: missing or unknown
columns, non-finite numbers, negative quantities, timestamps in the wrong
unit and unknown sides are errors naming the list, column, row and value.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

from .._extras import need

# Before the modules below, which import both at their top; pandas parses and hashes.
need("numpy", "tarnix_xray.data")
need("pandas", "tarnix_xray.data")

from ..errors import DatasetError, OnceWarner  # noqa: E402
from .book import events_from_records  # noqa: E402
from .dataset import WRITER_COLUMNS, Dataset  # noqa: E402
from .files import PathLike, read_file  # noqa: E402
from .layouts import LAYOUTS, mapping_for  # noqa: E402
from .records import from_load_dict  # noqa: E402
from .tables import Columns, table_columns  # noqa: E402
from .timestamps import Warn  # noqa: E402

__all__ = ["Dataset", "DatasetError", "LAYOUTS", "WRITER_COLUMNS", "dataset", "read"]

_default_warn = OnceWarner()


def dataset(
    data: Any = None,
    *,
    candles: Any = None,
    trades: Any = None,
    book: Any = None,
    funding: Any = None,
    oi: Any = None,
    liquidations: Any = None,
    ts_unit: str | None = None,
    columns: Mapping[str, Any] | None = None,
    strict: bool = True,
    progress: bool | None = None,
    warn: Warn | None = None,
) -> Dataset:
    """A checked dataset, ready to load.

    `data` is a dataset dict in the load form ({"trades": [{...}, ...]}), a
    Dataset, or file path(s) whose names say their list (trades.parquet).
    Each keyword takes a DataFrame, a dict of columns, a list of records or a
    file path. `columns` maps source column names to the layout's
    ({"Amount": "qty"}), for every list or per list ({"trades": {...}}).
    Integer ts are in `ts_unit` (s, ms, us, ns), inferred from their magnitude
    when not given. Unknown columns are errors unless strict=False.
    """
    warn = warn or _default_warn
    given = {"candles": candles, "trades": trades, "book": book, "funding": funding, "oi": oi,
             "liquidations": liquidations}  # fmt: skip
    lists: dict[str, Columns] = {}
    if data is not None:
        lists.update(_from_data(data, ts_unit, columns, strict, progress, warn))
    for name, value in given.items():
        if value is None:
            continue
        if name in lists:
            raise DatasetError(f"{name} is given twice: in data and as {name}=")
        lists[name] = _one_list(name, value, ts_unit, columns, strict, progress, warn)
    return Dataset(lists)


def read(
    *paths: PathLike,
    ts_unit: str | None = None,
    columns: Mapping[str, Any] | None = None,
    strict: bool = True,
    progress: bool | None = None,
) -> Dataset:
    """A dataset from CSV/Parquet files, each file's list told by its name or columns."""
    return dataset(list(paths), ts_unit=ts_unit, columns=columns, strict=strict, progress=progress)


def _from_data(
    data: Any, ts_unit: str | None, columns: Mapping[str, Any] | None, strict: bool,
    progress: bool | None, warn: Warn,
) -> dict[str, Columns]:  # fmt: skip
    if isinstance(data, Dataset):
        return dict(data.lists)
    if isinstance(data, Mapping):
        return dict(from_load_dict(data, strict=strict).lists)
    paths = [data] if isinstance(data, (str, os.PathLike)) else data
    if not isinstance(paths, Sequence) or not all(isinstance(p, (str, os.PathLike)) for p in paths):
        raise DatasetError(
            f"data is a dataset dict, a Dataset or file path(s), not {type(data).__name__}; "
            "give tables by keyword (trades=df)"
        )
    lists: dict[str, Columns] = {}
    for path in paths:
        name, cols = read_file(
            path, None, ts_unit=ts_unit, columns=columns, strict=strict, progress=progress, warn=warn
        )
        if name in lists:
            raise DatasetError(f"two files hold {name}; load one file per list")
        lists[name] = cols
    return lists


def _one_list(
    name: str, value: Any, ts_unit: str | None, columns: Mapping[str, Any] | None, strict: bool,
    progress: bool | None, warn: Warn,
) -> Columns:  # fmt: skip
    if isinstance(value, (str, os.PathLike)):
        return read_file(
            value, name, ts_unit=ts_unit, columns=columns, strict=strict, progress=progress, warn=warn
        )[1]
    if name == "book" and _is_event_records(value):
        return events_from_records(list(value), "book")
    mapping = mapping_for(columns, name)
    return table_columns(name, value, ts_unit=ts_unit, mapping=mapping, strict=strict, warn=warn)


def _is_event_records(value: Any) -> bool:
    """Book events in the load form: records with bids and asks, not L2 rows."""
    if isinstance(value, Mapping) or not isinstance(value, Sequence) or not value:
        return False
    first = value[0]
    if isinstance(first, Mapping):
        return "bids" in first or "asks" in first
    return isinstance(first, (list, tuple)) and len(first) == 4 and isinstance(first[2], list)
