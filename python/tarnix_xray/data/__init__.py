"""Datasets from pandas DataFrames, numpy arrays, records, CSV and Parquet files
(also .gz, .zip and folders of daily files, in the shapes of PRESETS).

Needs the `[data]` extra (numpy, pandas, pyarrow; tqdm for progress bars).
Every list is checked before anything reaches the engine: missing columns,
non-finite numbers, negative quantities, timestamps in the wrong unit and
unknown sides are errors naming the file, list, column, row and value;
columns no layout column takes are left out and named (errors with strict=True).
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

from .._extras import need

# Before the modules below, which import both at their top; pandas parses and hashes.
need("numpy", "tarnix_xray.data")
need("pandas", "tarnix_xray.data")

from ..errors import DatasetError, OnceWarner  # noqa: E402
from .book import events_from_records  # noqa: E402
from .dataset import WRITER_COLUMNS, Dataset  # noqa: E402
from .files import Layout, PathLike, TsUnit, merged_mapping, read_file, unit_for  # noqa: E402
from .layouts import LAYOUTS, mapping_for  # noqa: E402
from .presets import PRESETS, choose, presets_of  # noqa: E402
from .records import from_load_dict  # noqa: E402
from .tables import Columns, as_table, table_columns  # noqa: E402
from .timestamps import Warn  # noqa: E402
from .wide import level_columns, wide_events  # noqa: E402

__all__ = ["Dataset", "DatasetError", "LAYOUTS", "PRESETS", "WRITER_COLUMNS", "dataset", "read"]

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
    ts_unit: TsUnit = None,
    columns: Mapping[str, Any] | None = None,
    layout: Layout = None,
    strict: bool = False,
    progress: bool | None = None,
    warn: Warn | None = None,
    unknown_lists: bool = False,
) -> Dataset:
    """A checked dataset, ready to load.

    `data` is a dataset dict in the load form ({"trades": [{...}, ...]}), a
    Dataset, or file path(s) whose names say their list (trades.parquet).
    Each keyword takes a DataFrame, a dict of columns, a list of records or a
    file path. `columns` maps source column names to the layout's
    ({"Amount": "qty"}), for every list or per list ({"trades": {...}}).
    Integer ts are in `ts_unit` (s, ms, us, ns; or per list, {"book": "us"}),
    inferred from their magnitude when not given. `layout` names the presets
    of published file shapes (PRESETS) that files are in; a file's header
    often tells it without. Columns no layout column takes are left out and
    listed once (an info record of the "tarnix_xray" logger); strict=True
    refuses them. A load-form dict's unknown lists are errors unless
    `unknown_lists` (the engine skips them).
    """
    warn = warn or _default_warn
    given = {"candles": candles, "trades": trades, "book": book, "funding": funding, "oi": oi,
             "liquidations": liquidations}  # fmt: skip
    lists: dict[str, Columns] = {}
    options = _Options(ts_unit, columns, layout, strict, progress, warn)
    if data is not None:
        lists.update(_from_data(data, options, unknown_lists))
    for name, value in given.items():
        if value is None:
            continue
        if name in lists:
            raise DatasetError(f"{name} is given twice: in data and as {name}=")
        lists[name] = _one_list(name, value, options)
    return Dataset(lists)


def read(
    *paths: PathLike,
    ts_unit: TsUnit = None,
    columns: Mapping[str, Any] | None = None,
    layout: Layout = None,
    strict: bool = False,
    progress: bool | None = None,
) -> Dataset:
    """A dataset from CSV/Parquet files (.gz, .zip, folders of daily files), each file's list
    told by its name, its layout or its columns."""
    return dataset(list(paths), ts_unit=ts_unit, columns=columns, layout=layout, strict=strict, progress=progress)


class _Options(NamedTuple):
    ts_unit: TsUnit
    columns: Mapping[str, Any] | None
    layout: Layout
    strict: bool
    progress: bool | None
    warn: Warn

    def read(self, path: PathLike, list_: str | None) -> tuple[str, Columns]:
        return read_file(path, list_, ts_unit=self.ts_unit, columns=self.columns, layout=self.layout,
                         strict=self.strict, progress=self.progress, warn=self.warn)  # fmt: skip


def _from_data(data: Any, options: _Options, unknown_lists: bool) -> dict[str, Columns]:
    if isinstance(data, Dataset):
        return dict(data.lists)
    if isinstance(data, Mapping):
        return dict(from_load_dict(data, strict=not unknown_lists).lists)
    paths = [data] if isinstance(data, (str, os.PathLike)) else data
    if not isinstance(paths, Sequence) or not all(isinstance(p, (str, os.PathLike)) for p in paths):
        raise DatasetError(
            f"data is a dataset dict, a Dataset or file path(s), not {type(data).__name__}; "
            "give tables by keyword (trades=df)"
        )
    lists: dict[str, Columns] = {}
    for path in paths:
        name, cols = options.read(path, None)
        if name in lists:
            raise DatasetError(
                f"two files hold {name}: {os.fspath(path)!r} and one before it; load one file per list "
                "(or a folder of its daily files)"
            )
        lists[name] = cols
    return lists


def _one_list(name: str, value: Any, options: _Options) -> Columns:
    if isinstance(value, (str, os.PathLike)):
        return options.read(value, name)[1]
    if name == "book" and _is_event_records(value):
        return events_from_records(list(value), "book")
    table = as_table(name, value)
    present = [str(c) for c in table]
    preset, _ = choose(name, name, present, [], presets_of(options.layout))
    mapping = merged_mapping(preset.sources(present) if preset else {}, mapping_for(options.columns, name))
    unit = unit_for(options.ts_unit, name) or (preset.ts_unit if preset else None)
    if preset is not None and preset.wide:
        ts = next(s for s, c in (mapping or {}).items() if c == "ts")
        return wide_events(table, ts, level_columns(present), unit, options.warn)
    return table_columns(name, table, ts_unit=unit, mapping=mapping, strict=options.strict, warn=options.warn)


def _is_event_records(value: Any) -> bool:
    """Book events in the load form: records with bids and asks, not L2 rows."""
    if isinstance(value, Mapping) or not isinstance(value, Sequence) or not value:
        return False
    first = value[0]
    if isinstance(first, Mapping):
        return "bids" in first or "asks" in first
    return isinstance(first, (list, tuple)) and len(first) == 4 and isinstance(first[2], list)
