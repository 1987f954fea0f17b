"""A checked session around one Xray: data in from tables and files, frames out as arrays."""

from __future__ import annotations

import datetime as _dt
import importlib
import json
import threading
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

from ._suggest import hint
from ._tarnix_xray import Xray
from .errors import OnceWarner, SpecError, XrayError
from .frame import Frame

if TYPE_CHECKING:
    from .data import Dataset

SPEC_KEYS = ("dataset_ref", "symbol", "from_ts", "to_ts", "panels")
PANEL_PARAMETERS = {
    "footprint": ("price_bin", "bucket_ms"),
    "book_heatmap": ("price_bin", "bucket_ms", "depth_levels"),
    "liquidation_map": ("price_bin",),
    "funding_oi_divergence": ("bucket_ms",),
}
# The engine's panel defaults, for the warnings that look at the grid.
_DEFAULT_PRICE_BIN, _DEFAULT_DEPTH = 1.0, 40


class Bounds(NamedTuple):
    """Earliest and latest ts (ms) over all loaded records, and their count."""

    from_ts: int
    to_ts: int
    count: int  # type: ignore[assignment]  # the record count, over tuple.count


class Session:
    """One Xray with checks: `load`, `set_spec`, `frame`, `bounds`, `reset`.

    With strict=True, spec and dataset keys the engine would skip silently are
    errors with a did-you-mean. Engine refusals raise XrayError. Like Xray, a
    session belongs to the thread that created it.
    """

    def __init__(self, spec: Mapping[str, Any] | str, *, strict: bool = True) -> None:
        self.strict = strict
        self._thread = threading.get_ident()
        self._warn = OnceWarner()
        self._spec = _checked_spec(spec, strict)
        try:
            self.xray = Xray(_spec_text(spec))
        except ValueError as e:
            raise XrayError(str(e)) from None
        self._counts: dict[str, int] = {}
        self._trades: tuple[Any, Any] | None = None  # (ts, price) of the loaded trades

    # -- commands ---------------------------------------------------------

    def load(
        self,
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
        progress: bool | None = None,
    ) -> int:
        """Replace the dataset; returns the number of records loaded.

        `data`: a dataset dict in the load form, a `tarnix_xray.data.Dataset`, or
        file path(s). Keywords: DataFrames, dicts of arrays, lists of records or
        file paths, one per list. See `tarnix_xray.data.dataset`.
        """
        self._own_thread()
        from . import data as data_layer

        dataset = data_layer.dataset(
            data, candles=candles, trades=trades, book=book, funding=funding, oi=oi,
            liquidations=liquidations, ts_unit=ts_unit, columns=columns, strict=self.strict,
            progress=progress, warn=self._warn,
        )  # fmt: skip
        if isinstance(data, Mapping):
            self._warn_seconds(dataset)
        loaded = self._load(dataset)
        self._counts = dataset.counts
        self._trades = None
        if dataset.count("trades"):
            self._trades = (dataset.column("trades", "ts"), dataset.column("trades", "price"))
        return loaded

    def _load(self, dataset: Dataset) -> int:
        response = self.xray.command(dataset.load_text())
        error = XrayError.from_response(response)
        if error is not None:
            raise error
        return int(json.loads(response)["loaded"])

    def set_spec(self, spec: Mapping[str, Any] | str) -> None:
        self._own_thread()
        checked = _checked_spec(spec, self.strict)
        self._command('{"cmd":"set_spec","spec":' + _spec_text(spec) + "}")
        self._spec = checked

    def frame(self, at: Any = None) -> Frame:
        """The frame at `at` (ms, datetime, numpy/pandas timestamp or ISO text), or at the end."""
        self._own_thread()
        command = '{"cmd":"frame"}' if at is None else f'{{"cmd":"frame_at","ts":{to_ms(at)}}}'
        frame = Frame.from_json(self._command(command))
        self._warn_frame(frame)
        return frame

    def bounds(self) -> Bounds:
        self._own_thread()
        obj = json.loads(self._command('{"cmd":"bounds"}'))
        return Bounds(int(obj["from_ts"]), int(obj["to_ts"]), int(obj["count"]))

    def reset(self) -> None:
        self._own_thread()
        self._command('{"cmd":"reset"}')
        self._counts, self._trades = {}, None

    # -- helpers ----------------------------------------------------------

    def _command(self, text: str) -> str:
        response = self.xray.command(text)
        error = XrayError.from_response(response)
        if error is not None:
            raise error
        return response

    def _own_thread(self) -> None:
        if threading.get_ident() != self._thread:
            raise RuntimeError("a Session belongs to the thread that created it; create one per thread")

    def _warn_seconds(self, dataset: Dataset) -> None:
        # Load-form ts are milliseconds; epoch seconds there date the data to 1970.
        from .data.timestamps import unit_of

        for name, columns in dataset.lists.items():
            if len(columns[0]) and unit_of(float(abs(columns[0]).max())) == "s":
                self._warn(
                    f"seconds:{name}",
                    f"{name} ts look like seconds (e.g. {int(columns[0].max())}), but the engine reads "
                    f"milliseconds; load a table with ts_unit='s', or multiply by 1000",
                )

    def _warn_frame(self, frame: Frame) -> None:
        panels = self._spec.get("panels", []) if isinstance(self._spec, dict) else []
        kinds = {p.get("kind") for p in panels if isinstance(p, dict)}
        if "funding_oi_divergence" in kinds and self._counts and not self._counts.get("candles"):
            self._warn(
                "no candles",
                "the funding_oi_divergence panel has no candles to take its price from, so its "
                "price series is all 0.0; load candles as well",
            )
        for spec in panels:
            if isinstance(spec, dict) and spec.get("kind") == "book_heatmap":
                self._warn_heatmap_grid(spec, frame.cursor_ts)

    def _warn_heatmap_grid(self, panel: Mapping[str, Any], cursor_ts: int) -> None:
        if self._trades is None:
            return
        price_bin = float(panel.get("price_bin", _DEFAULT_PRICE_BIN))
        grid = price_bin * int(panel.get("depth_levels", _DEFAULT_DEPTH))
        ts, price = self._trades
        low = self._spec.get("from_ts") if isinstance(self._spec, dict) else None
        inside = ts <= cursor_ts
        if low is not None:
            inside &= ts >= low
        if not inside.any():
            return
        traded = float(price[inside].max() - price[inside].min())
        if grid * 10 < traded:
            self._warn(
                "heatmap grid",
                f"the book_heatmap grid (depth_levels x price_bin = {grid:g}) covers less than a "
                f"tenth of the window's traded price range ({traded:g}); raise price_bin or depth_levels",
            )


def to_ms(at: Any) -> int:
    """A point in time as int ms: int ms, datetime (naive = UTC), numpy/pandas timestamp, ISO text."""
    if isinstance(at, bool):
        raise TypeError(f"a frame time is ms, a datetime or ISO text, not {at!r}")
    if isinstance(at, int):
        return at
    if isinstance(at, str):
        try:
            at = _dt.datetime.fromisoformat(at)
        except ValueError:
            raise ValueError(f"frame time {at!r} is not ISO 8601 text, e.g. '2026-12-06T17:00:00Z'") from None
    if hasattr(at, "to_datetime64") and hasattr(at, "tz"):  # pandas Timestamp: its UTC instant
        at = at.to_datetime64()
    if type(at).__module__.startswith("numpy"):
        import numpy as np

        if isinstance(at, np.integer):
            return int(at)
        if isinstance(at, np.datetime64):
            if np.isnat(at):
                raise ValueError("frame time is NaT")
            return int(at.astype("datetime64[ms]").astype(np.int64))
    if isinstance(at, _dt.datetime):
        aware = at if at.tzinfo is not None else at.replace(tzinfo=_dt.timezone.utc)
        delta = aware - _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
        return (delta.days * 86_400 + delta.seconds) * 1000 + delta.microseconds // 1000
    raise TypeError(f"a frame time is ms, a datetime or ISO text, not {type(at).__name__}")


def _checked_spec(spec: Mapping[str, Any] | str, strict: bool) -> Any:
    """The spec as a Python value; with `strict`, keys the engine would skip are errors."""
    if isinstance(spec, str):
        try:
            value = json.loads(spec) if spec.strip() not in ("", "{}") else {}
        except json.JSONDecodeError:
            return {}  # the engine reports bad text with its position
    elif isinstance(spec, Mapping):
        value = spec
    else:
        raise TypeError(f"a spec is a dict or JSON text, not {type(spec).__name__}")
    if strict and isinstance(value, Mapping):
        _check_spec_keys(value)
    return dict(value) if isinstance(value, Mapping) else value


def _check_spec_keys(spec: Mapping[str, Any]) -> None:
    for key in spec:
        if key not in SPEC_KEYS:
            raise SpecError(f"spec has no key {key!r}{hint(str(key), SPEC_KEYS)}")
    panels = spec.get("panels")
    if not isinstance(panels, list):
        return
    for i, panel in enumerate(panels):
        if not isinstance(panel, Mapping):
            continue
        kind = panel.get("kind")
        if kind not in PANEL_PARAMETERS:
            if isinstance(kind, str):
                raise SpecError(f"panel {i} has unknown kind {kind!r}{hint(kind, PANEL_PARAMETERS)}")
            continue
        for key in panel:
            if key != "kind" and key not in PANEL_PARAMETERS[kind]:
                raise SpecError(f"{kind} has no parameter {key!r}{hint(str(key), PANEL_PARAMETERS[kind])}")


def _spec_text(spec: Mapping[str, Any] | str) -> str:
    if isinstance(spec, str):
        return spec
    return _json(spec)


def _json(value: Any) -> str:
    """JSON text of a spec; floats by the engine's own number text, so they read back exactly."""
    if isinstance(value, float):
        return _format_double(value)
    if isinstance(value, Mapping):
        return "{" + ",".join(f"{json.dumps(str(k))}:{_json(v)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(_json(v) for v in value) + "]"
    if type(value).__module__.startswith("numpy") and hasattr(value, "item"):
        return _json(value.item())
    return json.dumps(value, ensure_ascii=False)


def _format_double(x: float) -> str:
    try:
        columns = importlib.import_module("._columns", __package__)
    except ImportError:  # a build without the column writer: shortest repr
        return json.dumps(x)
    return str(columns.format_double(x))
