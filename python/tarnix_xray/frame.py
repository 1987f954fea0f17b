"""Frames as numpy arrays: views of the engine's own frame, panel by panel.

A Session's frames come from the engine as arrays (no text in between);
`Frame.from_json` reads a frame text (from `run`, batch files or another
process) into the same arrays, bit for bit. numpy is imported on first use,
so `import tarnix_xray` works without it; `to_pandas()` needs pandas as well.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, ClassVar, Union

from ._extras import need
from ._suggest import hint
from .errors import XrayError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    FloatArray = npt.NDArray[np.float64]
    IntArray = npt.NDArray[np.int64]
    TimeArray = npt.NDArray[np.datetime64]

def _floats(values: list[Any]) -> FloatArray:
    # The engine writes non-finite numbers as null; NaN stands for them here,
    # as in the engine's own arrays.
    import numpy as np

    return np.array([np.nan if v is None else v for v in values], dtype=np.float64)


def _ints(values: list[int]) -> IntArray:
    import numpy as np

    return np.array(values, dtype=np.int64)


Columns = Mapping[str, Any]  # column name -> numpy array


def _times(ms: IntArray) -> TimeArray:
    return ms.astype("datetime64[ms]")


@dataclass(frozen=True, eq=False)
class FootprintPanel:
    """Buy and sell volume per price bin over the window, bins ascending."""

    kind: ClassVar[str] = "footprint"
    price_bins: FloatArray
    buy_vol: FloatArray
    sell_vol: FloatArray
    _vwap: float = field(default=float("nan"), repr=False)  # of the window's trades

    @classmethod
    def _parse(cls, obj: dict[str, Any]) -> Columns:
        return {k: _floats(obj[k]) for k in ("price_bins", "buy_vol", "sell_vol")}

    @classmethod
    def _from_columns(cls, c: Columns) -> FootprintPanel:
        return cls(c["price_bins"], c["buy_vol"], c["sell_vol"])

    @property
    def volume(self) -> FloatArray:
        return self.buy_vol + self.sell_vol

    @property
    def delta(self) -> FloatArray:
        """Buy minus sell volume per bin."""
        return self.buy_vol - self.sell_vol

    @property
    def total_delta(self) -> float:
        return float(self.delta.sum())

    def _poc_index(self) -> int | None:
        import numpy as np

        volume = self.volume
        if not np.isfinite(volume).any():
            return None
        # argmax returns the first maximum; bins ascend, so ties go to the lowest price.
        return int(np.argmax(np.where(np.isfinite(volume), volume, -np.inf)))

    @property
    def poc(self) -> float:
        """Point of control: the bin with the most volume (lowest on ties); NaN when empty."""
        i = self._poc_index()
        return float("nan") if i is None else float(self.price_bins[i])

    def value_area(self, fraction: float = 0.7) -> tuple[float, float]:
        """(lowest, highest) bin of the value area holding `fraction` of the volume.

        Starts at the point of control and adds, one bin at a time, whichever
        neighbouring listed bin (above or below) has more volume, until the
        area holds at least `fraction` of the total. On a tie it grows upward.
        (NaN, NaN) when the footprint is empty.
        """
        if not 0.0 < fraction <= 1.0:
            raise ValueError(f"value_area fraction must be in (0, 1], got {fraction!r}")
        import numpy as np

        i = self._poc_index()
        if i is None:
            return (float("nan"), float("nan"))
        volume = np.nan_to_num(self.volume, nan=0.0, posinf=0.0, neginf=0.0)
        target = fraction * float(volume.sum())
        lo = hi = i
        held = float(volume[i])
        while held < target and (lo > 0 or hi < len(volume) - 1):
            up = float(volume[hi + 1]) if hi < len(volume) - 1 else -1.0
            down = float(volume[lo - 1]) if lo > 0 else -1.0
            if up >= down:
                hi += 1
                held += up
            else:
                lo -= 1
                held += down
        return (float(self.price_bins[lo]), float(self.price_bins[hi]))

    @property
    def vwap(self) -> float:
        """sum(price x qty) / sum(qty) over the window's trades themselves, not the bins.

        Known for a Session's frames (it keeps the trades it loaded); NaN for a
        frame read from text, which holds bins only, and for a window without volume.
        """
        return self._vwap

    def to_pandas(self) -> pd.DataFrame:
        need("pandas", "to_pandas()")
        import pandas as pd

        index = pd.Index(self.price_bins, name="price_bin")
        columns = {"buy_vol": self.buy_vol, "sell_vol": self.sell_vol}
        columns |= {"volume": self.volume, "delta": self.delta}
        return pd.DataFrame(columns, index=index)


@dataclass(frozen=True, eq=False)
class BookHeatmapPanel:
    """Resting book quantity: one row per time bucket, one column per price level."""

    kind: ClassVar[str] = "book_heatmap"
    time: IntArray
    price: FloatArray
    intensity: FloatArray

    @classmethod
    def _parse(cls, obj: dict[str, Any]) -> Columns:
        import numpy as np

        time, price = _ints(obj["time"]), _floats(obj["price"])
        rows = obj["intensity"]
        try:
            intensity = np.array(rows, dtype=np.float64)
        except TypeError:  # a null cell somewhere
            intensity = np.array([_floats(r) for r in rows], dtype=np.float64)
        return {"time": time, "price": price, "intensity": intensity.reshape(len(time), len(price))}

    @classmethod
    def _from_columns(cls, c: Columns) -> BookHeatmapPanel:
        return cls(c["time"], c["price"], c["intensity"])

    @property
    def times(self) -> TimeArray:
        return _times(self.time)

    def to_pandas(self) -> pd.DataFrame:
        need("pandas", "to_pandas()")
        import pandas as pd

        index = pd.DatetimeIndex(self.times, name="time")
        return pd.DataFrame(self.intensity, index=index, columns=pd.Index(self.price, name="price"))


@dataclass(frozen=True, eq=False)
class LiquidationMapPanel:
    """Every liquidation of the window, price snapped to its bin."""

    kind: ClassVar[str] = "liquidation_map"
    events: Any  # structured array: ts i8, price_bin f8, qty f8, side U5

    @classmethod
    def _parse(cls, obj: dict[str, Any]) -> Columns:
        import numpy as np

        from ._schema import CODES

        rows = obj["events"]
        code = {word: i for i, word in enumerate(CODES["liquidations.side"])}
        return {"ts": _ints([e["ts"] for e in rows]),
                "price_bin": _floats([e["price_bin"] for e in rows]),
                "qty": _floats([e["qty"] for e in rows]),
                "side": np.array([code[e["side"]] for e in rows], dtype=np.uint8)}  # fmt: skip

    @classmethod
    def _from_columns(cls, c: Columns) -> LiquidationMapPanel:
        import numpy as np

        from ._schema import CODES

        dtype = [("ts", "i8"), ("price_bin", "f8"), ("qty", "f8"), ("side", "U5")]
        events = np.empty(len(c["ts"]), dtype=dtype)
        for name in ("ts", "price_bin", "qty"):
            events[name] = c[name]
        events["side"] = np.array(CODES["liquidations.side"])[c["side"]]
        return cls(events)

    @property
    def ts(self) -> IntArray:
        return self.events["ts"]  # type: ignore[no-any-return]

    @property
    def times(self) -> TimeArray:
        return _times(self.ts)

    @property
    def price_bin(self) -> FloatArray:
        return self.events["price_bin"]  # type: ignore[no-any-return]

    @property
    def qty(self) -> FloatArray:
        return self.events["qty"]  # type: ignore[no-any-return]

    @property
    def side(self) -> Any:
        """"long" or "short" per event (numpy unicode array)."""
        return self.events["side"]

    def to_pandas(self) -> pd.DataFrame:
        need("pandas", "to_pandas()")
        import pandas as pd

        columns = {"ts": self.ts, "price_bin": self.price_bin, "qty": self.qty, "side": self.side}
        return pd.DataFrame(columns, index=pd.DatetimeIndex(self.times, name="time"))


@dataclass(frozen=True, eq=False)
class FundingOiPanel:
    """Funding rate, open interest and candle close carried onto one time grid.

    In a Session's frames a series is NaN in the buckets before its first
    record in the window (the engine's text has 0.0 there), and `price` is
    the last candle close before the bucket's end, else the last trade's
    price before it, else NaN. A frame read from text has the text's values.
    """

    kind: ClassVar[str] = "funding_oi_divergence"
    time: IntArray
    funding: FloatArray
    oi: FloatArray
    price: FloatArray

    @classmethod
    def _parse(cls, obj: dict[str, Any]) -> Columns:
        return {"time": _ints(obj["time"])} | {k: _floats(obj[k]) for k in ("funding", "oi", "price")}

    @classmethod
    def _from_columns(cls, c: Columns) -> FundingOiPanel:
        return cls(c["time"], c["funding"], c["oi"], c["price"])

    @property
    def times(self) -> TimeArray:
        return _times(self.time)

    def to_pandas(self) -> pd.DataFrame:
        need("pandas", "to_pandas()")
        import pandas as pd

        columns = {"funding": self.funding, "oi": self.oi, "price": self.price}
        return pd.DataFrame(columns, index=pd.DatetimeIndex(self.times, name="time"))


Panel = Union[FootprintPanel, BookHeatmapPanel, LiquidationMapPanel, FundingOiPanel]

_PANELS: dict[str, type[Any]] = {
    p.kind: p for p in (FootprintPanel, BookHeatmapPanel, LiquidationMapPanel, FundingOiPanel)
}


@dataclass(frozen=True, eq=False)
class Frame:
    """One frame: its panels as arrays, in the spec's order, and the engine's text of it.

    The arrays of a Session's frame are read-only views of the engine's own
    memory; `text` is written on first use, byte for byte the "frame_at"
    command's answer.
    """

    symbol: str
    cursor_ts: int
    panels: tuple[Panel, ...]
    _source: Any = field(default=None, repr=False)  # the engine's frame, or the text read

    @classmethod
    def _from_native(cls, native: Any) -> Frame:
        need("numpy", "Frame")
        import numpy as np

        panels = tuple(
            _PANELS[kind]._from_columns({name: np.asarray(buffer) for name, buffer in columns.items()})
            for kind, columns in native.panels()
        )
        return cls(native.symbol, native.cursor_ts, panels, native)

    @classmethod
    def from_json(cls, text: str) -> Frame:
        """Read a frame text into arrays; an error response raises XrayError."""
        need("numpy", "Frame")
        error = XrayError.from_response(text)
        if error is not None:
            raise error
        obj = json.loads(text)
        if not isinstance(obj, dict) or not {"symbol", "cursor_ts", "panels"} <= obj.keys():
            raise ValueError(f"not a frame text: {text[:80]!r}")
        panels = []
        for i, p in enumerate(obj["panels"]):
            kind = p.get("kind")
            if kind not in _PANELS:
                raise ValueError(f"frame panel {i} has unknown kind {kind!r}{hint(str(kind), _PANELS)}")
            panels.append(_PANELS[kind]._from_columns(_PANELS[kind]._parse(p)))
        return cls(obj["symbol"], int(obj["cursor_ts"]), tuple(panels), text)

    @cached_property
    def text(self) -> str:
        """The frame's response text."""
        return self._source if isinstance(self._source, str) else str(self._source.text())

    @property
    def cursor_time(self) -> np.datetime64:
        import numpy as np

        return np.datetime64(self.cursor_ts, "ms")

    def panel(self, kind: str) -> Panel:
        """The first panel of `kind`; KeyError (with a did-you-mean) when there is none."""
        for p in self.panels:
            if p.kind == kind:
                return p
        present = ", ".join(sorted({p.kind for p in self.panels})) or "none"
        maybe = "" if kind in _PANELS else hint(kind, _PANELS)
        raise KeyError(f"frame has no {kind!r} panel (it has: {present}){maybe}")

    def _first(self, kind: str) -> Any:
        return next((p for p in self.panels if p.kind == kind), None)

    @property
    def footprint(self) -> FootprintPanel | None:
        return self._first(FootprintPanel.kind)  # type: ignore[no-any-return]

    @property
    def book_heatmap(self) -> BookHeatmapPanel | None:
        return self._first(BookHeatmapPanel.kind)  # type: ignore[no-any-return]

    @property
    def liquidation_map(self) -> LiquidationMapPanel | None:
        return self._first(LiquidationMapPanel.kind)  # type: ignore[no-any-return]

    @property
    def funding_oi(self) -> FundingOiPanel | None:
        return self._first(FundingOiPanel.kind)  # type: ignore[no-any-return]

    def to_pandas(self) -> list[pd.DataFrame]:
        """One DataFrame per panel, in the frame's order."""
        return [p.to_pandas() for p in self.panels]

    def __repr__(self) -> str:
        kinds = ", ".join(p.kind for p in self.panels)
        return f"Frame(symbol={self.symbol!r}, cursor_ts={self.cursor_ts}, panels=[{kinds}])"
