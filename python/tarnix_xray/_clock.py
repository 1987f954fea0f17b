"""Every time the package reads, as int64 milliseconds since the epoch (UTC).

One rule for every form: the exact instant (a datetime64's ticks, every digit
of an ISO fraction, a float's exact binary value) scaled to milliseconds and
floored, toward the past also before 1970: 123.75 ms is 123, -1000.25 ms is
-1001. One exception keeps whole milliseconds whole: a float that is the
nearest double to a whole number of milliseconds in its unit stands for that
number (1.001 s is a double a little below 1.001, and is 1001 ms; so is
ms / 1000 read back as seconds). Results outside int64 milliseconds are
refused, never wrapped.

Scalars need nothing beyond CPython; numpy, pandas and pyarrow are imported
only for the columns that are theirs.
"""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Callable
from fractions import Fraction
from typing import TYPE_CHECKING, Any

from .errors import DatasetError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

MIN_MS, MAX_MS = -(2**63), 2**63 - 1
UNITS = ("s", "ms", "us", "ns")
_UNIT_WORDS = {"s": "seconds", "ms": "milliseconds", "us": "microseconds", "ns": "nanoseconds"}
# Milliseconds per tick as (multiplier, divisor), for numbers and datetime64 units.
_PER_TICK = {"W": (604_800_000, 1), "D": (86_400_000, 1), "h": (3_600_000, 1), "m": (60_000, 1),
             "s": (1000, 1), "ms": (1, 1), "us": (1, 1000), "ns": (1, 10**6), "ps": (1, 10**9),
             "fs": (1, 10**12), "as": (1, 10**15)}  # fmt: skip
# Integer epoch times from 2001-09-09 on (1e9 s) have a magnitude that tells
# their unit; smaller values are taken as milliseconds (synthetic or test data).
TELLING = 10**9
_DECADES = ((10**9, 10**11, "s"), (10**11, 10**14, "ms"), (10**14, 10**17, "us"), (10**17, None, "ns"))
_RANGE = "is outside int64 milliseconds (years -292275055 to 292278994)"
_NOT_A_TIME = "is not a timestamp"
_FORMS = "ms, a datetime or ISO 8601 text such as '2026-12-06T17:00:00Z'"

# Extended ISO 8601; a zone needs a time. Years may be signed and longer, as numpy writes them.
_ISO = re.compile(
    r"(?P<y>[+-]?\d{4,})-(?P<mo>\d\d)-(?P<d>\d\d)"
    r"(?:[Tt ](?P<h>\d\d)(?::(?P<mi>\d\d)(?::(?P<s>\d\d)(?:[.,](?P<f>\d+))?)?)?"
    r"(?P<z>[Zz]|(?P<zs>[+-])(?P<zh>\d\d)(?::?(?P<zm>\d\d))?)?)?",
    re.ASCII,
)
_INTEGER = re.compile(r"[+-]?\d+", re.ASCII)
_DURATION = re.compile(r"(\d+(?:\.\d+)?)\s*(ms|s|min|m|h|d)?", re.ASCII)
_DURATION_UNITS = {"ms": 1, "s": 1000, "m": 60_000, "min": 60_000, "h": 3_600_000, "d": 86_400_000, None: 1}

Warn = Callable[[str, str], None]


class _Refused(Exception):
    """Why a value is no time; callers add what and where."""

    def __init__(self, reason: str, *, wrong_type: bool = False, missing: bool = False) -> None:
        super().__init__(reason)
        self.reason, self.wrong_type, self.missing = reason, wrong_type, missing


# -- one point in time ---------------------------------------------------------


def to_ms(value: Any, unit: str | None = None, *, what: str = "frame time") -> int:
    """One point in time as int ms: a number in `unit` (default ms; integer text too), a
    datetime or date (naive = UTC), a numpy datetime64, a pandas Timestamp, or ISO 8601 text.

    ValueError (TypeError for a type that is no time) names `what` and the value.
    """
    if unit is not None and unit not in UNITS:
        raise ValueError(f"the unit of {what} must be one of s, ms, us, ns, not {unit!r}")
    try:
        return _scalar(value, unit or "ms", numbers=True)
    except _Refused as e:
        error = TypeError if e.wrong_type else ValueError
        raise error(f"{what} {_show(value)} {e.reason}") from None


def _scalar(value: Any, unit: str, *, numbers: bool) -> int:
    """`value` as ms; without `numbers` (a row among times) a number is refused, not read in a unit."""
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        raise _Refused(f"{_NOT_A_TIME}: give {_FORMS}", wrong_type=True)
    if isinstance(value, str):
        return _from_text(value, unit if numbers else None)
    module = type(value).__module__
    if module.startswith("pandas") and hasattr(value, "to_datetime64"):
        value = value.to_datetime64()  # a Timestamp's UTC instant, NaT as numpy's
        module = "numpy"
    if module == "numpy" and type(value).__name__.startswith("datetime64"):
        return _from_datetime64(value)
    if isinstance(value, _dt.datetime):
        return _from_datetime(value)
    if isinstance(value, _dt.date):
        return _checked((value.toordinal() - _EPOCH_ORDINAL) * 86_400_000)
    if hasattr(value, "__index__") or hasattr(value, "as_integer_ratio"):  # int, float, numpy numbers
        if not numbers:
            if value != value:
                raise _Refused(_NOT_A_TIME, missing=True)
            raise _Refused("is a number among times; give one kind of timestamp")
        return _from_number(value.__index__() if hasattr(value, "__index__") else value, unit)
    raise _Refused(f"{_NOT_A_TIME}: give {_FORMS}", wrong_type=True)


_EPOCH_ORDINAL = _dt.date(1970, 1, 1).toordinal()


def _checked(ms: int) -> int:
    if not MIN_MS <= ms <= MAX_MS:
        raise _Refused(_RANGE)
    return ms


def _from_number(value: Any, unit: str) -> int:
    try:
        top, bottom = value.as_integer_ratio()
    except (ValueError, OverflowError):  # NaN and infinities
        raise _Refused(_NOT_A_TIME, missing=value != value) from None
    mul, div = _PER_TICK[unit]
    ms: int = top * mul // (bottom * div)
    if isinstance(value, float) and unit != "ms" and float(Fraction((ms + 1) * div, mul)) == value:
        ms += 1  # the double nearest to ms + 1 stands for it
    if not MIN_MS <= ms <= MAX_MS:
        raise _Refused(_RANGE if unit == "ms" else f"in {_UNIT_WORDS[unit]} {_RANGE}")
    return ms


def _from_datetime(value: _dt.datetime) -> int:
    seconds = (value.toordinal() - _EPOCH_ORDINAL) * 86_400 + value.hour * 3600 + value.minute * 60 + value.second
    micros = seconds * 10**6 + value.microsecond
    offset = value.utcoffset()
    if offset is not None:
        micros -= (offset.days * 86_400 + offset.seconds) * 10**6 + offset.microseconds
    return _checked(micros // 1000)


def _from_datetime64(value: Any) -> int:
    import numpy as np

    if np.isnat(value):
        raise _Refused(_NOT_A_TIME, missing=True)
    unit, count = np.datetime_data(value.dtype)
    ticks = int(value.astype(np.int64)) * count
    if unit == "Y":
        return _checked(_days_from_civil(1970 + ticks, 1, 1) * 86_400_000)
    if unit == "M":
        year, month = divmod(ticks, 12)
        return _checked(_days_from_civil(1970 + year, month + 1, 1) * 86_400_000)
    mul, div = _PER_TICK[unit]
    return _checked(ticks * mul // div)


def _days_from_civil(year: Any, month: Any, day: Any) -> Any:
    """Days from 1970-01-01 to a proleptic Gregorian date, exact; ints or int64 arrays alike."""
    year = year - (month <= 2)
    era = year // 400
    year_of_era = year - era * 400
    day_of_year = (153 * ((month + 9) % 12) + 2) // 5 + day - 1
    day_of_era = year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year
    return era * 146_097 + day_of_era - 719_468


def _fields_to_ms(f: dict[str, Any], zone_sign: int) -> tuple[Any, Any]:
    """(valid, ms) of ISO fields (`f` holds ints, or int64 arrays for a column; "f" is the
    fraction's floor in ms). One piece of arithmetic for a text and a column of them."""
    year, month, day = f["y"], f["mo"], f["d"]
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    month_days = 30 + (month + month // 8) % 2 - (month == 2) * (2 - leap)
    valid = ((1 <= month) & (month <= 12) & (1 <= day) & (day <= month_days) & (f["h"] < 24) & (f["mi"] < 60)
             & (f["s"] < 60) & (f["zh"] < 24) & (f["zm"] < 60))  # fmt: skip
    seconds = _days_from_civil(year, month, day) * 86_400 + f["h"] * 3600 + f["mi"] * 60 + f["s"]
    seconds = seconds - zone_sign * (f["zh"] * 3600 + f["zm"] * 60)
    # The fraction adds to whole seconds, so its first three digits are its floor in ms.
    return valid, seconds * 1000 + f["f"]


_FIELDS = ("y", "mo", "d", "h", "mi", "s", "zh", "zm")


def _zone_sign(match: re.Match[str]) -> int:
    return {"+": 1, "-": -1}.get(match["zs"] or "", 0)


def _from_text(text: str, unit: str | None) -> int:
    """ISO 8601 text, or integer text in `unit` when `unit` is given; integer arithmetic only."""
    if unit is not None and _INTEGER.fullmatch(text):
        return _from_number(int(text), unit)
    match = _ISO.fullmatch(text)
    if match is None:
        raise _Refused(f"{_NOT_A_TIME}: give {_FORMS}" if unit is not None else _NOT_A_TIME)
    fields = {k: int(match[k] or 0) for k in _FIELDS}
    fields["f"] = int(((match["f"] or "") + "00")[:3])
    valid, ms = _fields_to_ms(fields, _zone_sign(match))
    if not valid:
        raise _Refused("is not a valid date and time")
    return _checked(ms)


def _show(value: Any) -> str:
    """A value as the user wrote it: 1.5, 'noon', '2026-03-02T00:00:00' for a datetime64."""
    if type(value).__module__ == "numpy":
        timelike = type(value).__name__.startswith(("datetime64", "timedelta64"))
        return repr(str(value)) if timelike else repr(value.item())
    return repr(value)


# -- durations -----------------------------------------------------------------


def duration_ms(value: Any, what: str = "duration") -> int:
    """A positive span as int ms: an integer (ms), integer text (ms), or a number with a unit
    ms, s, m (or min), h, d: "250ms", "90s", "5m", "1.5h", "1d". ValueError names `what`."""
    if isinstance(value, bool) or not (isinstance(value, str) or hasattr(value, "__index__")):
        raise ValueError(f"{what} {value!r} is not a duration: give ms (250) or text such as 90s, 5m, 1.5h, 1d")
    if isinstance(value, str):
        match = _DURATION.fullmatch(value.strip())
        if match is None:
            raise ValueError(f"{what} {value!r} is not a duration: give ms (250) or text such as 90s, 5m, 1.5h, 1d")
        exact = Fraction(match[1]) * _DURATION_UNITS[match[2]]
        if exact.denominator != 1:
            raise ValueError(f"{what} {value!r} is not a whole number of milliseconds")
        ms = int(exact)
    else:
        ms = value.__index__()
    if ms <= 0:
        raise ValueError(f"{what} must be positive, not {value!r}")
    if ms > MAX_MS:
        raise ValueError(f"{what} {value!r} is longer than int64 milliseconds")
    return ms


# -- units by magnitude --------------------------------------------------------


def unit_of(value: float) -> str | None:
    """The unit an epoch time of this magnitude is written in; None when too small to tell."""
    magnitude = abs(value)
    for low, high, unit in _DECADES:
        if low <= magnitude and (high is None or magnitude < high):
            return unit
    return None


# -- columns -------------------------------------------------------------------


def _at(where: str, row: int) -> str:
    """`where` names a column ("trades column 'qty'") or holds a {row} slot ("trades[{row}] qty")."""
    return where.format(row=row) if "{row}" in where else f"{where} row {row}"


def _row_error(where: str, row: int, value: Any, refused: _Refused) -> DatasetError:
    if refused.missing:
        return DatasetError(f"{_at(where, row)}: missing timestamp ({value})")
    return DatasetError(f"{_at(where, row)}: {_show(value)} {refused.reason}")


def column_to_ms(values: Any, where: str, ts_unit: str | None, warn: Warn) -> npt.NDArray[np.int64]:
    """A column of timestamps as int64 ms: numbers (in `ts_unit`, else told by their
    magnitude and stated through `warn`), datetime64 of any unit, tz-aware pandas and
    Arrow timestamps, datetimes, Timestamps or ISO text. `where` names the list and column;
    DatasetError names it, the row and the value."""
    import numpy as np

    if ts_unit is not None and ts_unit not in UNITS:
        raise DatasetError(f"ts_unit must be one of s, ms, us, ns, not {ts_unit!r}")
    array = _as_numpy(values, where)
    kind = array.dtype.kind
    if kind == "M":
        return _datetime64_column(array, where)
    if kind in "OUS":
        return _object_column(array, where, ts_unit, warn)
    if kind not in "iuf":
        raise DatasetError(f"{where} holds {array.dtype} values, not timestamps")
    if kind == "f":
        bad = ~np.isfinite(array)
        if bad.any():
            row = int(np.argmax(bad))
            raise DatasetError(f"{_at(where, row)}: {_show(array[row])} {_NOT_A_TIME}")
    elif kind == "u":
        _refuse_first(array > np.uint64(MAX_MS), array, where, _RANGE)
        array = array.astype(np.int64)
    unit = ts_unit or _infer_unit(array, where, warn)
    _check_one_unit(array, unit, where, explicit=ts_unit is not None)
    return _scaled(array, unit, where)


def _refuse_first(bad: Any, shown: Any, where: str, reason: str) -> None:
    import numpy as np

    if bad.any():
        row = int(np.argmax(bad))
        raise DatasetError(f"{_at(where, row)}: {_show(shown[row])} {reason}")


def _as_numpy(values: Any, where: str) -> np.ndarray[Any, Any]:
    import numpy as np

    if type(values).__module__.startswith("pyarrow"):
        return _from_arrow(values, where)
    dtype = getattr(values, "dtype", None)
    if dtype is not None and hasattr(dtype, "pyarrow_dtype"):  # a pandas column of Arrow values
        import pyarrow as pa

        return _from_arrow(pa.array(values.array), where)
    if dtype is not None and getattr(dtype, "tz", None) is not None:
        # tz-aware pandas times: the same instants in UTC, as datetime64.
        return np.asarray((values.dt if hasattr(values, "dt") else values).tz_convert(None))
    if hasattr(values, "to_numpy"):
        if dtype is not None and getattr(dtype, "kind", "") in "iuf" and hasattr(dtype, "na_value"):
            # Nullable pandas numbers: a missing one is named, the rest keep their exact values.
            missing = np.asarray(values.isna())
            if missing.any():
                raise DatasetError(f"{_at(where, int(np.argmax(missing)))}: missing timestamp ({dtype.na_value})")
            return values.to_numpy(dtype=dtype.numpy_dtype)  # type: ignore[no-any-return]
        return values.to_numpy()  # type: ignore[no-any-return]
    return np.asarray(values)


def _from_arrow(values: Any, where: str) -> np.ndarray[Any, Any]:
    import numpy as np
    import pyarrow as pa

    if values.null_count:
        missing = np.asarray(values.is_null().to_numpy(zero_copy_only=False))
        raise DatasetError(f"{_at(where, int(np.argmax(missing)))}: missing timestamp (null)")
    if pa.types.is_timestamp(values.type):
        # The stored ticks are UTC whatever the zone.
        ticks = np.asarray(values.cast(pa.int64()).to_numpy(zero_copy_only=False), dtype=np.int64)
        return ticks.view(f"datetime64[{values.type.unit}]")
    return np.asarray(values.to_numpy(zero_copy_only=False))


def _datetime64_column(array: np.ndarray[Any, Any], where: str) -> npt.NDArray[np.int64]:
    import numpy as np

    missing = np.isnat(array)
    if missing.any():
        raise DatasetError(f"{_at(where, int(np.argmax(missing)))}: missing timestamp (NaT)")
    unit, count = np.datetime_data(array.dtype)
    if unit in ("Y", "M") or count != 1:
        # Calendar units and multiples take the exact scalar path, a row at a time.
        return _each(array, where, _from_datetime64)
    return _ticks_to_ms(array.view(np.int64), *_PER_TICK[unit], array, where, _RANGE)


def _ticks_to_ms(ticks: Any, mul: int, div: int, shown: Any, where: str, reason: str) -> npt.NDArray[np.int64]:
    """floor(ticks * mul / div) for int64 ticks where mul or div is 1, refusing overflow."""
    import numpy as np

    if div > 1:
        return ticks // div  # type: ignore[no-any-return]
    if mul > 1:
        _refuse_first((ticks < -(2**63 // mul)) | (ticks > MAX_MS // mul), shown, where, reason)
        return ticks * mul  # type: ignore[no-any-return]
    return ticks.astype(np.int64, copy=False)  # type: ignore[no-any-return]


def _scaled(array: np.ndarray[Any, Any], unit: str, where: str) -> npt.NDArray[np.int64]:
    """Numbers in `unit` as ms, floored exactly: a float's exact value, not a rounded product."""
    import numpy as np

    mul, div = _PER_TICK[unit]
    reason = _RANGE if unit == "ms" else f"in {_UNIT_WORDS[unit]} {_RANGE}"
    if array.dtype.kind in "iu":
        return _ticks_to_ms(array.astype(np.int64, copy=False), mul, div, array, where, reason)
    x = array.astype(np.float64, copy=False)
    # Rows this large (beyond year 141000 in seconds, 4.6e18 in a smaller unit) take the
    # exact scalar path; below it every result is under 2**53, exact as a double.
    big = np.abs(x) >= (2.0**42 if mul > 1 else 2.0**62)
    small = np.where(big, 0.0, x)
    if mul == 1:
        # floor(x / div) == floor(floor(x) / div): no multiple of div lies in (floor(x), x].
        out = np.floor(small).astype(np.int64) // div
    else:
        # x == fraction * 2**exponent with a 53-bit integer fraction * 2**53, so x * 1000 floored
        # is that integer times 1000 shifted right (an arithmetic shift floors negatives too).
        fraction, exponent = np.frexp(small)
        shift = np.minimum(53 - exponent, 63).astype(np.int64)
        out = ((fraction * 2.0**53).astype(np.int64) * mul) >> shift
    if unit != "ms":
        # The double nearest to out + 1 stands for it; one rounding each, as in the scalar path.
        after = (out + 1).astype(np.float64)
        out += (after / mul if mul > 1 else after * div) == small
    for row in np.flatnonzero(big):
        try:
            out[row] = _from_number(float(x[row]), unit)
        except _Refused as e:
            raise _row_error(where, int(row), array[row], e) from None
    return out


def _object_column(array: np.ndarray[Any, Any], where: str, ts_unit: str | None, warn: Warn) -> npt.NDArray[np.int64]:
    """Python objects: all integers or all numbers (then units apply), else one time per row."""
    import numpy as np

    items = array.tolist()
    missing = next((row for row, v in enumerate(items) if v is None), None)
    if missing is not None:
        raise DatasetError(f"{_at(where, missing)}: missing timestamp (None)")
    if items and all(isinstance(v, str) for v in items):
        fast = _text_column(np.array(items, dtype=str))
        if fast is not None:
            return fast
    elif items and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in items):
        if all(isinstance(v, int) for v in items):
            outside = next((r for r, v in enumerate(items) if not MIN_MS <= v <= MAX_MS), None)
            if outside is not None:
                raise DatasetError(f"{_at(where, outside)}: {items[outside]!r} {_RANGE}")
            return column_to_ms(np.array(items, dtype=np.int64), where, ts_unit, warn)
        return column_to_ms(np.array(items, dtype=np.float64), where, ts_unit, warn)
    return _each(array, where, lambda v: _scalar(v, "ms", numbers=False))


def _text_column(strings: np.ndarray[Any, Any]) -> npt.NDArray[np.int64] | None:
    """ISO texts a block at a time: the texts of one length that share the first one's layout
    (its separators where it has them, digits where it has digits) share its fields' places,
    so the digits are read as columns. None when a block does not, or a value is no time:
    then the texts go one at a time, which names the row."""
    import numpy as np

    try:
        raw = strings.astype(f"S{max(1, strings.dtype.itemsize // 4)}")
    except UnicodeEncodeError:
        return None
    codes = raw.view(np.uint8).reshape(len(raw), -1)
    lengths = np.char.str_len(raw)
    out = np.empty(len(raw), dtype=np.int64)
    uniform = lengths.min() == lengths.max()
    for length in np.unique(lengths).tolist():
        rows = slice(None) if uniform else np.flatnonzero(lengths == length)
        block = codes[rows, :length]
        first = bytes(block[0]).decode()
        match = _ISO.fullmatch(first)
        if match is None or len(match["y"].lstrip("+-")) > 6:  # longer years: one at a time, exactly
            return None
        digit = np.array([c in "0123456789" for c in first])
        if not ((block[:, ~digit] == block[0, ~digit]).all() and (block[:, digit] - np.uint8(48) <= 9).all()):
            return None
        fields = {k: (_digits(block, *match.span(k)) if match[k] else 0) for k in _FIELDS[1:]}
        signed = match["y"][0] in "+-"
        fields["y"] = _digits(block, match.start("y") + signed, match.end("y")) * (-1 if match["y"][0] == "-" else 1)
        start, end = match.span("f")
        fields["f"] = _digits(block, start, min(end, start + 3)) * 10 ** max(0, start + 3 - end) if match["f"] else 0
        valid, ms = _fields_to_ms(fields, _zone_sign(match))
        if not np.all(valid):
            return None
        out[rows] = ms
    return out


def _digits(block: np.ndarray[Any, Any], start: int, end: int) -> Any:
    """The decimal number in columns start:end of every row of ASCII codes."""
    import numpy as np

    powers = 10 ** np.arange(end - start - 1, -1, -1, dtype=np.int64)
    return (block[:, start:end].astype(np.int64) - 48) @ powers


def _each(array: np.ndarray[Any, Any], where: str, convert: Callable[[Any], int]) -> npt.NDArray[np.int64]:
    import numpy as np

    out = np.empty(len(array), dtype=np.int64)
    for row, value in enumerate(array):
        try:
            out[row] = convert(value)
        except _Refused as e:
            raise _row_error(where, row, value, e) from None
    return out


def _magnitudes(array: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """|x| without overflow: uint64 for integers (|INT64_MIN| included), float64 otherwise."""
    import numpy as np

    if array.dtype.kind == "f":
        return np.abs(array)  # type: ignore[no-any-return]
    bits = array.astype(np.int64, copy=False).view(np.uint64)
    return np.where(array < 0, ~bits + np.uint64(1), bits)


def _extremes(array: np.ndarray[Any, Any]) -> tuple[Any, Any]:
    """The column's smallest and largest value as Python numbers (exact for int64)."""
    return array.min().item(), array.max().item()


def _infer_unit(array: np.ndarray[Any, Any], where: str, warn: Warn) -> str:
    if len(array) == 0:
        return "ms"
    low, high = _extremes(array)
    largest = max(abs(low), abs(high))
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
    import numpy as np

    low, high = next((lo, hi) for lo, hi, u in _DECADES if u == unit)
    if len(array) == 0:
        return
    smallest, largest = _extremes(array)
    # Every value in [smallest, largest]: the common case needs no pass over |x|.
    if smallest >= 0 and (high is None or largest < high) and (smallest >= low or largest < TELLING):
        return
    magnitude = _magnitudes(array)
    wrong = (magnitude >= TELLING) & (magnitude < low)
    if high is not None:
        wrong |= magnitude >= high
    if wrong.any():
        row = int(np.argmax(wrong))
        seen = unit_of(magnitude[row].item())
        assert seen is not None
        reason = f"ts_unit={unit!r} says" if explicit else "the column's other values read as"
        raise DatasetError(
            f"{_at(where, row)}: {_show(array[row])} looks like {_UNIT_WORDS[seen]}, "
            f"but {reason} {_UNIT_WORDS[unit]}"
        )
