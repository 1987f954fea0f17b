"""Order flow as traders read it: footprint bars, delta, imbalances, profiles, large prints.

Computed by the engine over the trades it holds, in a frame's window (the
same rule as `Session.frame`: `at` is the cursor, `window` the trailing span).
Prices are whole ticks: a trade at price p is level round(p / tick), halves
away from zero, so 100.3 at tick 0.1 is level 1003, and every price reported
is level x tick written with the tick's decimals. Without `tick` the engine
infers the largest step all the window's prices sit on, and states it.

Columns come as read-only numpy arrays (memoryviews without numpy);
`to_pandas()` needs pandas.

Rules (one place: the engine's order-flow code):
- cells are (bar, level) pairs with a trade; `bid_vol` is sell-aggressor
  quantity, `ask_vol` buy-aggressor quantity; bars with no trade are absent;
- `delta` = ask - bid per bar, `cvd` its running sum from the window's first bar;
- POC: the level of the largest cell volume, the lower price on a tie;
- value area: from the POC, of the next traded level above and the next
  below, the one with more volume joins (the lower on a tie) until the area
  holds at least 70% of the volume;
- buy imbalance at p: ask(p) >= ratio x bid(p - 1), ask(p) >= min_volume and
  ask(p) > 0; sell imbalance at p: bid(p) >= ratio x ask(p + 1), bid(p) >=
  min_volume and bid(p) > 0 (a level without trades counts as 0);
- stacked runs: at least `stacked` adjacent levels of one kind in a bar;
- unfinished auction: both sides traded at the bar's high (or low);
- naked POC: no later bar of the window trades at the bar's POC level;
- developing POC / value area (with developing=True): those of all trades
  from the window's start to the end of the bar.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _clock
from ._extras import need, optional

if TYPE_CHECKING:
    import pandas as pd

    from .session import Session

CELL_COLUMNS = ("bar_ts", "price", "bid_vol", "ask_vol", "trades", "buy_imbalance", "sell_imbalance")
BAR_COLUMNS = ("bar_ts", "open", "high", "low", "close", "volume", "delta", "cvd", "poc", "va_low", "va_high")
BAR_EXTRAS = ("bar_trades", "unfinished_high", "unfinished_low", "naked_poc",
              "developing_poc", "developing_va_low", "developing_va_high")  # fmt: skip
RUN_COLUMNS = ("bar_ts", "side", "low", "high", "levels")
_FLAGS = ("buy_imbalance", "sell_imbalance", "unfinished_high", "unfinished_low", "naked_poc")


def _arrays(native: dict[str, Any]) -> dict[str, Any]:
    """The engine's memoryviews as read-only numpy arrays (flags as bool), or as they are."""
    np = optional("numpy")
    out: dict[str, Any] = {}
    for name, value in native.items():
        if np is None or not isinstance(value, memoryview):
            out[name] = value
        elif name in _FLAGS:
            out[name] = np.asarray(value).view(np.bool_)
        else:
            out[name] = np.asarray(value)
    return out


class _Window:
    tick: float
    from_ts: int | None
    cursor_ts: int

    def _window(self, c: dict[str, Any]) -> None:
        self.from_ts, self.cursor_ts = c["from_ts"], c["cursor_ts"]


class FootprintBars(_Window):
    """Footprint bars of a window: `cells`, `bars` and `runs` as dicts of arrays.

    `tick` is the tick used (given or inferred). Cells run by bar, then by
    ascending price; `cells["bar"]` indexes `bars`.
    """

    def __init__(self, native: dict[str, Any], bar_ms: int) -> None:
        c = _arrays(native)
        self._window(c)
        self.bar_ms = bar_ms
        self.tick: float = c["tick"]
        self.cells = {"bar": c["cell_bar"], "level": c["level"],
                      **{k: c[k] for k in CELL_COLUMNS[1:]}}  # fmt: skip
        self.bars = {k: c[k] for k in BAR_COLUMNS + BAR_EXTRAS if len(c[k]) == len(c["bar_ts"])}
        self.bars["trades"] = self.bars.pop("bar_trades")
        self.runs = {"bar": c["run_bar"], "side": c["run_side"], "low": c["run_low"],
                     "high": c["run_high"], "levels": c["run_levels"]}  # fmt: skip

    def __len__(self) -> int:
        return len(self.bars["bar_ts"])

    def to_pandas(self) -> tuple[pd.DataFrame, pd.DataFrame]:
        """(cells, bars): cells with bar_ts, price, bid_vol, ask_vol, trades and the imbalance
        flags; bars with bar_ts, OHLC, volume, delta, cvd, poc, va_low, va_high and the rest."""
        pd = need("pandas", "FootprintBars.to_pandas")
        np = need("numpy", "FootprintBars.to_pandas")
        bar_ts = np.asarray(self.bars["bar_ts"])
        cells = pd.DataFrame({"bar_ts": _times(bar_ts[self.cells["bar"]]),
                              **{k: self.cells[k] for k in CELL_COLUMNS[1:]}})  # fmt: skip
        bars = pd.DataFrame({"bar_ts": _times(bar_ts), **{k: v for k, v in self.bars.items() if k != "bar_ts"}})
        return cells, bars

    def runs_to_pandas(self) -> pd.DataFrame:
        """Stacked imbalance runs: bar_ts, side ("buy"/"sell"), low, high, levels."""
        pd = need("pandas", "FootprintBars.runs_to_pandas")
        np = need("numpy", "FootprintBars.runs_to_pandas")
        bar_ts = np.asarray(self.bars["bar_ts"])[self.runs["bar"]]
        side = np.where(np.asarray(self.runs["side"]) == 0, "buy", "sell")
        return pd.DataFrame({"bar_ts": _times(bar_ts), "side": side, "low": self.runs["low"],
                             "high": self.runs["high"], "levels": self.runs["levels"]})  # fmt: skip

    def __repr__(self) -> str:
        return (f"FootprintBars({len(self)} bars, {len(self.cells['price'])} cells, "
                f"{len(self.runs['bar'])} stacked runs, tick {self.tick:g})")  # fmt: skip


class VolumeProfile(_Window):
    """The volume profile of a window: per price `bid_vol`, `ask_vol`, `volume`, `trades`;
    `poc`, `va_low`, `va_high` (see the module's rules)."""

    def __init__(self, native: dict[str, Any]) -> None:
        c = _arrays(native)
        self._window(c)
        self.tick = c["tick"]
        self.price, self.bid_vol, self.ask_vol, self.trades = c["price"], c["bid_vol"], c["ask_vol"], c["trades"]
        self.volume = need("numpy", "VolumeProfile").add(self.bid_vol, self.ask_vol)
        empty = len(c["poc"]) == 0
        self.poc, self.va_low, self.va_high = (
            (float("nan"),) * 3 if empty else (c["poc"][0], c["va_low"][0], c["va_high"][0])
        )

    def to_pandas(self) -> pd.DataFrame:
        pd = need("pandas", "VolumeProfile.to_pandas")
        return pd.DataFrame({"price": self.price, "bid_vol": self.bid_vol, "ask_vol": self.ask_vol,
                             "trades": self.trades})  # fmt: skip

    def __repr__(self) -> str:
        return f"VolumeProfile({len(self.price)} prices, poc {self.poc:g}, value area {self.va_low:g}..{self.va_high:g})"


class LargePrints(_Window):
    """Trades at or above `threshold`: `ts`, `price`, `qty`, `side` (0 buy, 1 sell aggressor)."""

    def __init__(self, native: dict[str, Any]) -> None:
        c = _arrays(native)
        self._window(c)
        self.threshold: float = c["threshold"]
        self.ts, self.price, self.qty, self.side = c["ts"], c["price"], c["qty"], c["side"]

    def __len__(self) -> int:
        return len(self.ts)

    def to_pandas(self) -> pd.DataFrame:
        pd = need("pandas", "LargePrints.to_pandas")
        np = need("numpy", "LargePrints.to_pandas")
        side = np.where(np.asarray(self.side) == 0, "buy", "sell")
        return pd.DataFrame({"ts": _times(np.asarray(self.ts)), "price": self.price, "qty": self.qty, "side": side})


class BookSides(_Window):
    """A book heatmap panel's cells split by side, on its grid and buckets.

    `bids` and `asks` are (time, price) matrices of each side's resting
    quantity per level at the end of each bucket, summed in ascending price
    order: the panel's cell (`intensity`) is round8(bids + asks), -0.0 where
    neither side holds any. `best_bid` and `best_ask` are the touch of the
    whole book at each bucket's end (NaN for an empty side).
    """

    def __init__(self, native: dict[str, Any]) -> None:
        c = _arrays(native)
        self._window(c)
        self.time, self.price = c["time"], c["price"]
        shape = (len(self.time), len(self.price))
        self.bids, self.asks, self.intensity = (c[k].reshape(shape) for k in ("bids", "asks", "intensity"))
        self.best_bid, self.best_ask = c["best_bid"], c["best_ask"]

    @property
    def times(self) -> Any:
        return _times(self.time)

    def __repr__(self) -> str:
        return f"BookSides({len(self.time)} buckets x {len(self.price)} levels)"


def _times(ms: Any) -> Any:
    return ms.astype("datetime64[ms]")


def _where(session: Session, at: Any, window: Any) -> tuple[int | None, int | None]:
    session._own_thread()
    ms = None if at is None else _clock.to_ms(at)
    return ms, None if window is None else _clock.duration_ms(window, "window")


def _tick(tick: Any) -> float | None:
    if tick is None:
        return None
    if isinstance(tick, bool) or not isinstance(tick, (int, float)) and not hasattr(tick, "__float__"):
        raise ValueError(f"tick {tick!r} is not a number: give the price step, e.g. 0.1")
    return float(tick)


def footprint_bars(session: Session, bar_ms: Any, *, tick: Any = None, ratio: float = 3.0,
                   min_volume: float = 0.0, stacked: int = 3, at: Any = None,
                   window: Any = None, developing: bool = False) -> FootprintBars:  # fmt: skip
    at_ms, window_ms = _where(session, at, window)
    bar = _clock.duration_ms(bar_ms, "bar_ms")
    native = session._engine.footprint_bars(at_ms, window_ms=window_ms, bar_ms=bar, tick=_tick(tick),
                                            ratio=float(ratio), min_volume=float(min_volume),
                                            stacked=_positive(stacked, "stacked"),
                                            developing=bool(developing))  # fmt: skip
    return FootprintBars(native, bar)


def volume_profile(session: Session, *, tick: Any = None, at: Any = None, window: Any = None,
                   value_area: float = 0.7) -> VolumeProfile:  # fmt: skip
    at_ms, window_ms = _where(session, at, window)
    native = session._engine.footprint_bars(at_ms, window_ms=window_ms, tick=_tick(tick),
                                            value_area=float(value_area))  # fmt: skip
    return VolumeProfile(native)


def large_prints(session: Session, *, min_qty: float | None = None, quantile: float | None = None,
                 at: Any = None, window: Any = None) -> LargePrints:  # fmt: skip
    at_ms, window_ms = _where(session, at, window)
    native = session._engine.large_prints(at_ms, window_ms=window_ms, min_qty=min_qty, quantile=quantile)
    return LargePrints(native)


def book_sides(session: Session, *, at: Any = None, window: Any = None, panel: int = 0) -> BookSides:
    at_ms, window_ms = _where(session, at, window)
    need("numpy", "Session.book_sides")
    return BookSides(session._engine.book_sides(at_ms, window_ms=window_ms, panel=panel))


def _positive(value: Any, what: str) -> int:
    if isinstance(value, bool) or not hasattr(value, "__index__") or value.__index__() < 1:
        raise ValueError(f"{what} must be a whole number of at least 1, not {value!r}")
    return int(value.__index__())
