"""A checked session around the engine: data in from tables and files, frames out as arrays.

The Session owns the package's only engine instance (`_native.Engine`, the
core behind `Xray`): datasets go in as column buffers, frames come out as
arrays, and every other part of the package (CLI, viewer, batch, examples)
goes through it.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _clock
from ._native import Engine, format_double, read_double
from ._native import frame_window as _frame_window
from ._frame_checks import FrameChecks, param
from ._schema import PANEL_PARAMETERS, PANEL_TAG, SPEC_KEYS
from ._suggest import hint
from .errors import DatasetError, OnceWarner, SpecError, XrayError
from .frame import Frame

if TYPE_CHECKING:
    from ._loaded import Loaded
    from .data import Dataset
    from .order_flow import BookSides, FootprintBars, LargePrints, VolumeProfile


class Bounds(NamedTuple):
    """Earliest and latest ts (ms) over all loaded records, and their count."""

    from_ts: int
    to_ts: int
    count: int  # type: ignore[assignment]  # the record count, over tuple.count


class Session:
    """The engine with checks: `load`, `set_spec`, `frame`, `frame_text`, `bounds`, `reset`.

    With strict=True, spec and dataset keys the engine would skip silently are
    errors with a did-you-mean. Engine refusals raise XrayError. Like Xray, a
    session belongs to the thread that created it.

    Frames with `window` cover the trailing `window` ms up to the cursor:
    from max(cursor - window + 1, from_ts) to the cursor, both included, the
    cursor clamped to the spec's to_ts as every frame's is.
    """

    def __init__(self, spec: Mapping[str, Any] | str, *, strict: bool = True) -> None:
        self.strict = strict
        self._thread = threading.get_ident()
        self._warn = OnceWarner()
        self._spec = _checked_spec(spec, strict)
        self._engine: Any = Engine(_spec_text(spec))
        self._loaded: Loaded | None = None  # what a frame's figures and checks read of the dataset
        self._checks = FrameChecks(self._warn)

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
        ts_unit: str | Mapping[str, str] | None = None,
        columns: Mapping[str, Any] | None = None,
        layout: str | Sequence[str] | Mapping[str, str] | None = None,
        strict: bool = False,
        progress: bool | None = None,
    ) -> int:
        """Replace the dataset; returns the number of records loaded.

        `data`: a dataset dict in the load form, a `tarnix_xray.data.Dataset`, or
        file path(s). Keywords: DataFrames, dicts of arrays, lists of records or
        file paths, one per list. `ts_unit` for all lists or per list,
        `layout` a preset's name, `strict=True` refuses extra columns: see
        `tarnix_xray.data.dataset`. The checked columns go to the engine as
        they are: no text in between.
        """
        self._own_thread()
        from . import data as data_layer

        dataset = data_layer.dataset(
            data, candles=candles, trades=trades, book=book, funding=funding, oi=oi,
            liquidations=liquidations, ts_unit=ts_unit, columns=columns, layout=layout, strict=strict,
            progress=progress, warn=self._warn, unknown_lists=not self.strict,
        )  # fmt: skip
        if isinstance(data, Mapping):
            self._warn_seconds(dataset)
        try:
            loaded = int(self._engine.load_columns(**dataset.lists))
        except MemoryError:
            raise DatasetError(f"out of memory while the engine took {len(dataset):,} records") from None
        self._kept(dataset)
        return loaded

    def load_json(self, text: str, *, command: bool = False) -> int:
        """Load a dataset written as JSON: its dataset object, or (command=True) a whole "load" command.

        The text goes to the engine as written (its own number reading);
        returns the number of records loaded.
        """
        self._own_thread()
        whole = text if command else '{"cmd":"load","dataset":' + text + "}"
        loaded = int(json.loads(self._command(whole))["loaded"])
        self._kept(None)
        return loaded

    def set_spec(self, spec: Mapping[str, Any] | str) -> None:
        self._own_thread()
        checked = _checked_spec(spec, self.strict)
        self._command('{"cmd":"set_spec","spec":' + _spec_text(spec) + "}")
        self._spec = checked
        self._checks.reset()

    def frame(self, at: Any = None, *, window: Any = None) -> Frame:
        """The frame at `at` (ms, datetime, numpy/pandas timestamp or ISO text), or at the end.

        `window` (ms, or a duration text such as "5m") makes it the frame of
        the trailing window up to the cursor.
        """
        window_ms = None if window is None else _clock.duration_ms(window, "window")
        ms = None if at is None else _clock.to_ms(at)
        frame = Frame._from_native(self._native_frame(ms, window_ms))
        panels = self._panels()
        from_ts = self._spec.get("from_ts") if isinstance(self._spec, dict) else None
        low = _frame_window(frame.cursor_ts, window_ms=window_ms,
                            from_ts=from_ts if isinstance(from_ts, int) else None)[0]
        if ms is not None:
            self._checks.cursor(ms, self._engine.bounds(), window_ms)
        self._checks.frame(frame, panels, self._loaded, low)
        if self._loaded is None or len(panels) != len(frame.panels):
            return frame
        from ._loaded import completed

        widths = [param(p, "bucket_ms") if p.get(PANEL_TAG) == "funding_oi_divergence" else None
                  for p in panels]  # fmt: skip
        return completed(frame, self._loaded, widths, low)

    def suggest_spec(self, *, symbol: str | None = None, dataset_ref: str | None = None) -> dict[str, Any]:
        """A spec sized to the loaded data, as `synthetic.demo_spec` sizes the demo's.

        A panel for each kind of list loaded: about 50 footprint bins over the
        traded range (liquidations binned alike), the heatmap on the book's own
        price step over about 240 time buckets, reaching every price the book
        quoted around the final price, funding buckets of a minute or more.
        `symbol` and `dataset_ref` default to the session spec's. Needs a
        dataset loaded from tables or files (`load`, not `load_json`).
        """
        self._own_thread()
        if self._loaded is None or not any(self._loaded.counts.values()):
            raise XrayError("data: no dataset loaded from tables or files to size a spec to")
        from ._loaded import suggested_panels

        first, last, _ = self.bounds()
        spec = self._spec if isinstance(self._spec, dict) else {}
        return {"dataset_ref": dataset_ref or spec.get("dataset_ref", "suggested"),
                "symbol": symbol or spec.get("symbol", "SYMBOL"),
                "panels": suggested_panels(self._loaded, last - first + 1)}

    def frame_text(self, at: Any = None, *, window: Any = None) -> str:
        """The engine's text of `frame(at, window=window)`: the "frame_at" answer, byte for byte."""
        window_ms = None if window is None else _clock.duration_ms(window, "window")
        return str(self._native_frame(None if at is None else _clock.to_ms(at), window_ms).text())

    def bounds(self) -> Bounds:
        """Earliest and latest ts and the record count; XrayError without a dataset."""
        self._own_thread()
        found = self._engine.bounds()
        if found is None:
            raise XrayError("data: no dataset")
        return Bounds(*found)

    def reset(self) -> None:
        self._own_thread()
        self._command('{"cmd":"reset"}')
        self._kept(None)

    def command(self, text: str) -> str:
        """The engine's answer to one JSON command, as is (an error is an answer, not raised)."""
        self._own_thread()
        return str(self._engine.command(text))

    def close(self) -> None:
        """Drop the engine now, on this thread (the only one that may release it)."""
        self._own_thread()
        self._engine = None

    # -- helpers ----------------------------------------------------------

    def _native_frame(self, ms: int | None, window_ms: int | None) -> Any:
        self._own_thread()
        return self._engine.frame(ms, window_ms=window_ms)

    def _kept(self, dataset: Dataset | None) -> None:
        """Keep what frames' figures and checks read of a new dataset (nothing of a JSON one)."""
        self._checks.reset()
        self._loaded = None
        if dataset is not None:
            from ._loaded import Loaded

            self._loaded = Loaded.of(dataset)
            self._checks.loaded(self._loaded)

    def _panels(self) -> list[Any]:
        panels = self._spec.get("panels", []) if isinstance(self._spec, dict) else []
        return [p if isinstance(p, dict) else {} for p in panels] if isinstance(panels, list) else []

    def _command(self, text: str) -> str:
        response = str(self._engine.command(text))
        error = XrayError.from_response(response)
        if error is not None:
            raise error
        return response

    def _own_thread(self) -> None:
        if threading.get_ident() != self._thread:
            raise RuntimeError("a Session belongs to the thread that created it; create one per thread")
        if self._engine is None:
            raise RuntimeError("this Session is closed")

    def _warn_seconds(self, dataset: Dataset) -> None:
        # Load-form ts are milliseconds; epoch seconds there date the data to 1970.
        for name, columns in dataset.lists.items():
            if len(columns[0]) and _clock.unit_of(float(abs(columns[0]).max())) == "s":
                self._warn(
                    f"seconds:{name}",
                    f"{name} ts look like seconds (e.g. {int(columns[0].max())}), but the engine reads "
                    f"milliseconds; load a table with ts_unit='s', or multiply by 1000",
                )

    # -- order flow: tarnix_xray.order_flow has the rules -----------------

    def footprint_bars(self, bar_ms: Any, tick: Any = None, ratio: float = 3.0, min_volume: float = 0.0,
                       stacked: int = 3, at: Any = None, window: Any = None,
                       developing: bool = False) -> FootprintBars:  # fmt: skip
        """Footprint bars of bar_ms (ms or "1m") over the frame's window at `at`: cells, bars and
        stacked runs; `tick` is inferred from the trades when None; `developing` adds the
        developing POC and value area per bar."""
        from .order_flow import footprint_bars

        return footprint_bars(self, bar_ms, tick=tick, ratio=ratio, min_volume=min_volume,
                              stacked=stacked, at=at, window=window, developing=developing)  # fmt: skip

    def volume_profile(self, tick: Any = None, at: Any = None, window: Any = None,
                       value_area: float = 0.7) -> VolumeProfile:  # fmt: skip
        """The volume profile of the frame's window, with its POC and value area."""
        from .order_flow import volume_profile

        return volume_profile(self, tick=tick, at=at, window=window, value_area=value_area)

    def large_prints(self, min_qty: float | None = None, quantile: float | None = None,
                     at: Any = None, window: Any = None) -> LargePrints:  # fmt: skip
        """The window's trades of at least min_qty (or the quantity quantile, e.g. 0.99)."""
        from .order_flow import large_prints

        return large_prints(self, min_qty=min_qty, quantile=quantile, at=at, window=window)

    def book_sides(self, at: Any = None, window: Any = None, panel: int = 0) -> BookSides:
        """The spec's book_heatmap panel (the panel'th one) split into bids and asks, and the
        best bid and ask at the end of each bucket."""
        from .order_flow import book_sides

        return book_sides(self, at=at, window=window, panel=panel)


def frame_window(
    cursor: int, window: Any = None, *, from_ts: int | None = None, to_ts: int | None = None
) -> tuple[int | None, int]:
    """(first ms or None, cursor) of the frame at `cursor`: the engine's one window rule.

    The cursor is clamped to to_ts; with `window` (ms or a duration text) the
    frame holds the trailing window ms up to it: from max(cursor - window + 1,
    from_ts). For planning which records frames need before loading them.
    """
    window_ms = None if window is None else _clock.duration_ms(window, "window")
    return _frame_window(cursor, window_ms=window_ms, from_ts=from_ts, to_ts=to_ts)  # type: ignore[no-any-return]


def to_ms(at: Any) -> int:
    """A point in time as int ms (kept for callers of earlier versions; see `_clock.to_ms`)."""
    return _clock.to_ms(at)


def read_spec(text: str) -> Any:
    """A spec's JSON text as Python values, its numbers read as the engine reads them.

    Python's own float reading differs from the engine's for some texts
    (`9.366242679970327`): a spec read with it and written back would reach
    the engine as another double.
    """
    return json.loads(text, parse_float=read_double)


def _checked_spec(spec: Mapping[str, Any] | str, strict: bool) -> Any:
    """The spec as a Python value; with `strict`, keys the engine would skip are errors."""
    if isinstance(spec, str):
        try:
            value = read_spec(spec) if spec.strip() not in ("", "{}") else {}
        except ValueError:
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
        kind = panel.get(PANEL_TAG)
        if not isinstance(kind, str):
            continue  # the engine names a missing or wrong tag
        if kind not in PANEL_PARAMETERS:
            raise SpecError(f"panel {i} has unknown kind {kind!r}{hint(kind, PANEL_PARAMETERS)}")
        for key in panel:
            if key != PANEL_TAG and key not in PANEL_PARAMETERS[kind]:
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
    return str(format_double(x))
