"""Timestamps of any common form to int64 milliseconds since the epoch (UTC)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from ..errors import DatasetError
from .checks import at, show

UNITS = {"s": 1000.0, "ms": 1.0, "us": 1e-3, "ns": 1e-6}
_UNIT_WORDS = {"s": "seconds", "ms": "milliseconds", "us": "microseconds", "ns": "nanoseconds"}
# Integer epoch times from 2001-09-09 on (1e9 s) have a magnitude that tells
# their unit; smaller values are taken as milliseconds (synthetic or test data).
_DECADES = ((1e9, 1e11, "s"), (1e11, 1e14, "ms"), (1e14, 1e17, "us"), (1e17, np.inf, "ns"))
TELLING = 1e9

Warn = Callable[[str, str], None]


def unit_of(value: float) -> str | None:
    """The unit an epoch time of this magnitude is written in; None when too small to tell."""
    magnitude = abs(value)
    for low, high, unit in _DECADES:
        if low <= magnitude < high:
            return unit
    return None


def to_ms(values: Any, where: str, ts_unit: str | None, warn: Warn) -> npt.NDArray[np.int64]:
    """`values` (numpy array or pandas Series) as int64 ms; `where` names the list and column."""
    if ts_unit is not None and ts_unit not in UNITS:
        raise DatasetError(f"ts_unit must be one of s, ms, us, ns, not {ts_unit!r}")
    array = _datetimes_as_array(values)
    if array.dtype.kind == "M":
        return _from_datetime64(array, where)
    if array.dtype.kind == "O":
        array = _typed_objects(array)
    if array.dtype.kind in "OUST":
        return _from_text(array, where)
    if array.dtype.kind == "b" or array.dtype.kind not in "iuf":
        raise DatasetError(f"{where} holds {array.dtype} values, not timestamps")
    if array.dtype.kind == "f":
        bad = ~np.isfinite(array)
        if bad.any():
            row = int(np.argmax(bad))
            raise DatasetError(f"{at(where, row)}: {show(array[row])} is not a timestamp")
    unit = ts_unit or _infer_unit(array, where, warn)
    _check_one_unit(array, unit, where, explicit=ts_unit is not None)
    if array.dtype.kind == "f":
        return np.rint(array * UNITS[unit]).astype(np.int64)
    ints = array.astype(np.int64, copy=False)
    if unit == "s":
        return ints * 1000
    if unit == "ms":
        return ints
    # Integer division rounds toward minus infinity, like the engine's bucket grid.
    return ints // (1000 if unit == "us" else 1_000_000)


def _datetimes_as_array(values: Any) -> np.ndarray[Any, Any]:
    dtype = getattr(values, "dtype", None)
    if dtype is not None and getattr(dtype, "tz", None) is not None:
        # tz-aware pandas column: the same instants in UTC.
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)
    if hasattr(values, "to_numpy"):
        return values.to_numpy()  # type: ignore[no-any-return]
    return np.asarray(values)


def _typed_objects(array: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    import pandas as pd

    inferred = pd.api.types.infer_dtype(array, skipna=False)
    if inferred == "integer":
        return array.astype(np.int64)
    if inferred in ("floating", "mixed-integer-float"):
        return array.astype(np.float64)
    if inferred in ("datetime", "datetime64"):
        return pd.to_datetime(array, utc=True).tz_localize(None).to_numpy()
    return array


def _from_datetime64(array: np.ndarray[Any, Any], where: str) -> npt.NDArray[np.int64]:
    missing = np.isnat(array)
    if missing.any():
        raise DatasetError(f"{at(where, int(np.argmax(missing)))}: missing timestamp (NaT)")
    unit, _ = np.datetime_data(array.dtype)
    ticks = array.view(np.int64)
    per_ms = {"s": -1000, "ms": 1, "us": 1000, "ns": 1_000_000}.get(unit)
    if per_ms is None:
        return array.astype("datetime64[ms]").view(np.int64)
    if per_ms < 0:
        return ticks * 1000
    return ticks // per_ms if per_ms > 1 else ticks.astype(np.int64, copy=False)


def _from_text(array: np.ndarray[Any, Any], where: str) -> npt.NDArray[np.int64]:
    import pandas as pd

    try:
        parsed = pd.to_datetime(pd.Series(array), utc=True, format="ISO8601")
    except (ValueError, TypeError):
        for row, value in enumerate(array):
            try:
                pd.to_datetime(value, utc=True, format="ISO8601")
            except (ValueError, TypeError):
                raise DatasetError(f"{at(where, row)}: {show(value)} is not a timestamp") from None
        raise
    return _from_datetime64(_datetimes_as_array(parsed), where)


def _infer_unit(array: np.ndarray[Any, Any], where: str, warn: Warn) -> str:
    if len(array) == 0:
        return "ms"
    largest = float(np.max(np.abs(array)))
    unit = unit_of(largest) or "ms"
    if unit != "ms":
        warn(
            f"unit:{where}:{unit}",
            f"{where}: integers read as {_UNIT_WORDS[unit]} from their magnitude "
            f"(e.g. {largest:.0f}); pass ts_unit={unit!r} to say so",
        )
    return unit


def _check_one_unit(array: np.ndarray[Any, Any], unit: str, where: str, explicit: bool) -> None:
    """The first row whose magnitude tells another unit than `unit` is an error."""
    low, high = next((lo, hi) for lo, hi, u in _DECADES if u == unit)
    magnitude = np.abs(array)
    wrong = (magnitude >= TELLING) & ((magnitude < low) | (magnitude >= high))
    if wrong.any():
        row = int(np.argmax(wrong))
        value = array[row]
        seen = unit_of(float(value))
        assert seen is not None
        reason = f"ts_unit={unit!r} says" if explicit else "the column's other values read as"
        raise DatasetError(
            f"{at(where, row)}: {show(value)} looks like {_UNIT_WORDS[seen]}, "
            f"but {reason} {_UNIT_WORDS[unit]}"
        )
