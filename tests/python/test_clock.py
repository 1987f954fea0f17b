"""The one clock: every form of a time to int64 ms since the epoch, floored toward the past,
refused rather than wrapped; and durations."""

import calendar
import datetime as dt
import math
import re
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

from tarnix_xray._clock import column_to_ms, duration_ms, to_ms, unit_of  # noqa: E402
from tarnix_xray.errors import DatasetError  # noqa: E402

pytestmark = pytest.mark.filterwarnings("error")  # no numpy RuntimeWarning may leak
MIN, MAX = -(2**63), 2**63 - 1
NOON = calendar.timegm((2026, 3, 2, 12, 0, 0)) * 1000  # 2026-03-02T12:00Z
DAY = 86_400_000
WHERE = "trades column 'ts'"


def column(values, unit=None):
    return column_to_ms(values, WHERE, unit, lambda key, message: None).tolist()


SCALARS = [
    (1500, None, 1500), (-1, "s", -1000), (1999, "us", 1), (-1, "us", -1), (-1, "ns", -1), ("-1500", None, -1500),
    (MAX, None, MAX), (MIN, None, MIN), (np.uint64(MAX), None, MAX), (MAX // 1000, "s", MAX // 1000 * 1000),
    (1772443800123.75, None, 1772443800123), (-1000.25, None, -1001), (-0.0005, "s", -1),
    (1.001, "s", 1001),  # the double nearest to 1.001 s, a little below it, stands for 1001 ms
    (np.datetime64(-1, "ns"), None, -1), (np.datetime64("1969-12-31T23:59:59.9995", "us"), None, -1),
    (np.datetime64(MAX // 1000, "s"), None, MAX // 1000 * 1000), (np.datetime64("1969-11", "M"), None, -61 * DAY),
    (pd.Timestamp("2026-03-02T14:00:00.000999999+02:00"), None, NOON),
    (pd.Timestamp("1969-12-31T23:59:59.999999999"), None, -1),
    (dt.datetime(2026, 3, 2, 12), None, NOON), (dt.datetime(1969, 12, 31, 23, 59, 59, 999_999), None, -1),
    (dt.datetime(2026, 3, 2, 6, 30, tzinfo=dt.timezone(-dt.timedelta(hours=5, minutes=30))), None, NOON),
    (dt.date(1969, 12, 31), None, -DAY),
    ("1987-05-07T12:39:37.938", None, calendar.timegm((1987, 5, 7, 12, 39, 37)) * 1000 + 938),
    ("1969-12-31T23:59:59.9999999Z", None, -1), ("2026-03-02T14:00:00.123456789+02:00", None, NOON + 123),
    ("2026-03-02 06:30-0530", None, NOON), ("2026-03-02T12", None, NOON), ("2026-03-02", None, NOON - DAY // 2),
    ("+002026-03-02T12:00Z", None, NOON), ("2000-02-29T12:00Z", None, calendar.timegm((2000, 2, 29, 12, 0, 0)) * 1000),
    ("292278994-08-17T07:12:55.807Z", None, MAX), ("-292275055-05-16T16:47:04.192Z", None, MIN),
]  # fmt: skip

SCALARS_REFUSED = [
    (True, None, TypeError, "frame time True is not a timestamp"), (None, None, TypeError, "frame time None is not"),
    (dt.timedelta(1), None, TypeError, "is not a timestamp"),
    ("noon", None, ValueError, "frame time 'noon' is not a timestamp: give ms, a datetime or ISO 8601 text"),
    ("1.5", None, ValueError, "'1.5' is not a timestamp"), ("2026-03-02Z", None, ValueError, "is not a timestamp"),
    ("2100-02-29", None, ValueError, "'2100-02-29' is not a valid date and time"),
    ("2026-03-02T24:00", None, ValueError, "is not a valid date and time"),
    (math.nan, None, ValueError, "frame time nan is not a timestamp"), (-math.inf, None, ValueError, "-inf is not"),
    (np.datetime64("NaT"), None, ValueError, "'NaT' is not a timestamp"), (pd.NaT, None, ValueError, "NaT is not"),
    (MAX + 1, None, ValueError, "9223372036854775808 is outside int64 milliseconds"),
    (MIN - 1, None, ValueError, "is outside int64 milliseconds"),
    (MAX // 1000 + 1, "s", ValueError, "9223372036854776 in seconds is outside int64 milliseconds"),
    (1e25, "ns", ValueError, "1e+25 in nanoseconds is outside"),
    ("292278994-08-17T07:12:55.808Z", None, ValueError, "is outside"),
    ("-292275055-05-16T16:47:04.191Z", None, ValueError, "is outside"),
    (np.datetime64(300_000_000, "Y"), None, ValueError, "'300001970' is outside"),
    (5, "sec", ValueError, "the unit of frame time must be one of s, ms, us, ns, not 'sec'"),
]  # fmt: skip


@pytest.mark.parametrize("value, unit, ms", SCALARS)
def test_one_time(value, unit, ms):
    assert to_ms(value, unit) == ms


@pytest.mark.parametrize("value, unit, error, message", SCALARS_REFUSED)
def test_one_time_refused(value, unit, error, message):
    with pytest.raises(error, match=re.escape(message)):
        to_ms(value, unit)


COLUMNS = [
    (np.array([1772443800123.75, -1000.25]), None, [1772443800123, -1001]), (np.array([1.001, -0.0005]), "s", [1001, -1]),
    (np.array([MAX], dtype=np.uint64), "ns", [MAX // 10**6]), (np.array([MIN, MAX]), "ns", [MIN // 10**6, MAX // 10**6]),
    (np.array([MIN, 0]), None, [MIN // 10**6, 0]),  # |INT64_MIN| tells nanoseconds
    (np.array([1e19]), "ns", [10**13]),  # beyond int64 as ns, not as ms
    (np.array(["1969-12-31T23:59:59.9995", "2026-03-02T12:00"], "datetime64[us]"), None, [-1, NOON]),
    (np.array(["1969-11", "2026-03"], "datetime64[M]"), None, [-61 * DAY, NOON - DAY // 2 - DAY]),
    (pd.Series(pd.to_datetime(["2026-03-02T13:00:00.0009"])).dt.tz_localize("Europe/Berlin"), None, [NOON]),
    (pd.Series([pd.Timestamp("2026-03-02T12:00Z"), pd.Timestamp("2026-03-02T21:00:00.0015", tz="Asia/Tokyo")], dtype=object),
     None, [NOON, NOON + 1]),
    (pa.chunked_array([pa.array([NOON * 1000 + 999, -1], pa.timestamp("us", tz="UTC"))]), None, [NOON, -1]),
    (pa.array([NOON * 10**6], pa.timestamp("ns", tz="America/New_York")), None, [NOON]),
    (pd.Series(pd.arrays.ArrowExtensionArray(pa.array([NOON * 1000, -1], pa.timestamp("us", tz="UTC")))), None, [NOON, -1]),
    ([dt.datetime(2026, 3, 2, 12, tzinfo=dt.UTC), dt.datetime(1969, 12, 31, 23, 59, 59, 999_999)], None, [NOON, -1]),
    (["2026-03-02T14:00:00.000999999+02:00", "1969-12-31T23:59:59.9999999Z", "2026-03-02 12:00"], None, [NOON, -1, NOON]),
    (pd.Series([1_700_000_000, 1_700_000_001], dtype="Int64"), None, [1_700_000_000_000, 1_700_000_001_000]),
]  # fmt: skip

COLUMNS_REFUSED = [
    (np.array([0, 2**64 - 1], dtype=np.uint64), "ns", "row 1: 18446744073709551615 is outside int64 milliseconds"),
    (np.array([0, MIN]), "s", "row 1: -9223372036854775808 looks like nanoseconds, but ts_unit='s' says seconds"),
    (np.array([0.0, 1e25]), "ns", "row 1: 1e+25 in nanoseconds is outside int64 milliseconds"),
    (np.array([0, 9_467_280_000_000_000], dtype="datetime64[s]"), None, "row 1: '300008130-04-17T00:00:00' is outside"),
    (np.array([0, 300_000_000], dtype="datetime64[Y]"), None, "row 1: '300001970' is outside"),
    (np.array([0.0, math.nan]), None, "row 1: nan is not a timestamp"),
    (np.array([0, -math.inf]), "s", "row 1: -inf is not"),
    (np.array([0, "NaT"], "datetime64[ns]"), None, "row 1: missing timestamp (NaT)"),
    (pa.array([0, None], pa.timestamp("ms", tz="UTC")), None, "row 1: missing timestamp (null)"),
    (pd.Series([1, None], dtype="Int64"), None, "row 1: missing timestamp (<NA>)"),
    ([dt.datetime(2026, 1, 1), None], None, "row 1: missing timestamp (None)"),
    ([dt.datetime(2026, 1, 1), 5], None, "row 1: 5 is a number among times"),
    (["2026-02-28", "2026-02-29"], None, "row 1: '2026-02-29' is not a valid date and time"),
    (["2026-02-28", "1772452800000"], None, "row 1: '1772452800000' is not a timestamp"),
    (np.array([0, 2**70], dtype=object), None, "row 1: 1180591620717411303424 is outside"),
]  # fmt: skip


@pytest.mark.parametrize("values, unit, ms", COLUMNS)
def test_column(values, unit, ms):
    assert column(values, unit) == ms


@pytest.mark.parametrize("values, unit, message", COLUMNS_REFUSED)
def test_column_refused(values, unit, message):
    with pytest.raises(DatasetError, match=re.escape(f"{WHERE} {message}")):
        column(values, unit)


@pytest.mark.parametrize("value, ms", [("250", 250), (7, 7), (np.int64(7), 7), ("250ms", 250), ("90s", 90_000),
                                       (" 5 m ", 300_000), ("3min", 180_000), ("1.5h", 5_400_000), ("1.5s", 1500),
                                       ("1d", DAY)])  # fmt: skip
def test_duration(value, ms):
    assert duration_ms(value, "--window") == ms


@pytest.mark.parametrize("value, message", [
    ("0s", "must be positive"), (0, "must be positive"), (-5, "must be positive"), ("-1m", "is not a duration"),
    ("1w", "is not a duration"), ("m", "is not a duration"), ("", "is not a duration"), (True, "is not a duration"),
    (1.5, "is not a duration"), ("1.0005s", "is not a whole number of milliseconds"), (2**63, "longer than int64"),
])  # fmt: skip
def test_duration_refused(value, message):
    with pytest.raises(ValueError, match=f"^--window .*{message}"):
        duration_ms(value, "--window")


def _exact(x, unit):
    """A float in `unit` as ms by exact arithmetic: floor of its exact value, or the whole ms it is nearest to."""
    per_ms = {"s": Fraction(1000), "ms": Fraction(1), "us": Fraction(1, 1000), "ns": Fraction(1, 10**6)}[unit]
    floor = math.floor(Fraction(x) * per_ms)
    return floor + (float((floor + 1) / per_ms) == x)


@given(ns=st.integers(MIN + 10**14, MAX - 10**14), minutes=st.integers(-23 * 60 - 59, 23 * 60 + 59),
       x=st.floats(-1e13, 1e13), unit=st.sampled_from(["s", "ms", "us", "ns"]),
       k=st.integers(-(10**14), 10**14))  # fmt: skip
def test_every_route_floors_the_exact_instant(ns, minutes, x, unit, k):
    local = np.datetime64(ns + minutes * 60 * 10**9, "ns")
    text = f"{local}{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02}:{abs(minutes) % 60:02}"
    stamp = np.datetime64(ns, "ns")
    assert to_ms(stamp) == to_ms(text) == to_ms(pd.Timestamp(ns, unit="ns", tz="UTC")) == ns // 10**6
    assert column([stamp, stamp]) == column([text, text]) == column([f"{stamp}Z"]) * 2 == [ns // 10**6] * 2
    for value, in_unit, ms in ((x, unit, _exact(x, unit)), (k / 1000, "s", k), (float(k * 10**6), "ns", k)):
        assert to_ms(value, in_unit) == ms
        if unit_of(value) in (None, in_unit):  # else the column refuses it as written in another unit
            assert column(np.array([value]), in_unit) == [ms]
