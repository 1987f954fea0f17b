"""A plain, literal model of frame evaluation, used to cross-check the module.

Everything here follows the described algorithms step by step (copy the
window, ordered maps, full scans) with no attempt at speed, so that the
optimised native code can be compared with it on random data.
"""

import math
import struct

H = 8.988465674311579e307


def bits(x):
    return struct.unpack("<q", struct.pack("<d", x))[0]


def total_order_key(x):
    b = bits(x)
    return b if b >= 0 else b ^ 0x7FFFFFFFFFFFFFFF


def round_half_away(x):
    if not math.isfinite(x) or abs(x) >= 2.0**52:
        return x
    f = math.floor(abs(x))
    r = f + 1.0 if abs(x) - f >= 0.5 else float(f)
    return math.copysign(r, x)


def round8(x):
    return round_half_away(x * 100000000.0) / 100000000.0


def bin_price(price, price_bin):
    q = price / price_bin
    f = math.floor(q) if math.isfinite(q) else q
    return round8(float(f) * price_bin)


def format_double(x):
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    # repr gives the shortest round-trip digits; only the layout differs
    r = repr(abs(x))
    if "e" in r:
        m, _, e = r.partition("e")
        e = int(e)
    else:
        m, e = r, None
    digits = m.replace(".", "")
    if e is None:
        int_part, _, frac = m.partition(".")
        if int_part != "0":
            e = len(int_part.lstrip("0")) - 1
        else:
            e = -(len(frac) - len(frac.lstrip("0")) + 1)
    digits = digits.lstrip("0").rstrip("0") or "0"
    n = len(digits)
    if -5 <= e <= 15:
        if e >= n - 1:
            body = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            body = digits[: e + 1] + "." + digits[e + 1:]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))
    return sign + body


def number(x):
    return format_double(x) if math.isfinite(x) else "null"


def json_string(s):
    out = ['"']
    for ch in s:
        o = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch in "\b\t\n\f\r":
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}[ch])
        elif o < 0x20:
            out.append("\\u%04x" % o)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def arr(values, fmt):
    return "[" + ",".join(fmt(v) for v in values) + "]"


def footprint(cfg, trades):
    acc = {}
    for t in trades:
        key = bin_price(t["price"], cfg["price_bin"])
        k = bits(key)
        if k not in acc:
            acc[k] = [key, 0.0, 0.0]
        acc[k][1 if t["side"] == "buy" else 2] += t["qty"]
    rows = sorted(acc.values(), key=lambda r: total_order_key(r[0]))
    return ('{"kind":"footprint","price_bins":' + arr([round8(r[0]) for r in rows], number)
            + ',"buy_vol":' + arr([round8(r[1]) for r in rows], number)
            + ',"sell_vol":' + arr([round8(r[2]) for r in rows], number) + "}")


def liquidation_map(cfg, liqs):
    events = [(l["ts"], bin_price(l["price"], cfg["price_bin"]), round8(l["qty"]), l["side"])
              for l in liqs]
    events.sort(key=lambda e: (e[0], total_order_key(e[1]), e[3] != "long"))
    return ('{"kind":"liquidation_map","events":[' + ",".join(
        '{"ts":%d,"price_bin":%s,"qty":%s,"side":"%s"}' % (e[0], number(e[1]), number(e[2]), e[3])
        for e in events) + "]}")


def apply_levels(side, levels):
    for p, q in levels:
        k = bits(p)
        if q == 0.0:
            side.pop(k, None)
        else:
            side[k] = (p, q)


def apply_book_event(state, ev):
    if ev["kind"] == "snapshot":
        state[0].clear()
        state[1].clear()
    apply_levels(state[0], ev["bids"])
    apply_levels(state[1], ev["asks"])


def book_heatmap(cfg, book):
    empty = '{"kind":"book_heatmap","time":[],"price":[],"intensity":[]}'
    if not book:
        return empty
    state = ({}, {})
    for ev in book:
        apply_book_event(state, ev)
    if not state[0] or not state[1]:
        return empty
    best_bid = max((v[0] for v in state[0].values()), key=total_order_key)
    best_ask = min((v[0] for v in state[1].values()), key=total_order_key)
    if abs(best_bid) <= H and abs(best_ask) <= H:
        mid = (best_bid + best_ask) * 0.5
    else:
        mid = best_bid * 0.5 + best_ask * 0.5
    pb, depth, bms = cfg["price_bin"], cfg["depth_levels"], cfg["bucket_ms"]
    centre = bin_price(mid, pb)
    half = depth // 2
    price = [round8(centre + float(i - half) * pb) for i in range(depth)]
    q0, q1 = book[0]["ts"] // bms, book[-1]["ts"] // bms
    state = ({}, {})
    cursor = 0
    times, rows = [], []
    for k in range(q1 - q0 + 1):
        t = q0 * bms + k * bms
        while cursor < len(book) and book[cursor]["ts"] < t + bms:
            apply_book_event(state, book[cursor])
            cursor += 1
        times.append(t)
        row = []
        for lo in price:
            hi = round8(pb + lo)
            sums = []
            for side in state:
                s = -0.0
                for p, q in sorted(side.values(), key=lambda v: total_order_key(v[0])):
                    if lo <= p < hi:
                        s += q
                sums.append(s)
            row.append(round8(sums[0] + sums[1]))
        rows.append(row)
    return ('{"kind":"book_heatmap","time":' + arr(times, str) + ',"price":' + arr(price, number)
            + ',"intensity":[' + ",".join(arr(r, number) for r in rows) + "]}")


def funding_oi(cfg, funding, oi, candles):
    series = [(funding, "rate"), (oi, "oi"), (candles, "close")]
    present = [s for s, _ in series if s]
    if not present:
        return '{"kind":"funding_oi_divergence","time":[],"funding":[],"oi":[],"price":[]}'
    start = min(s[0]["ts"] for s in present)
    end = max(s[-1]["ts"] for s in present)
    bms = cfg["bucket_ms"]
    q0, q1 = start // bms, end // bms
    cur = [0, 0, 0]
    val = [0.0, 0.0, 0.0]
    out = ([], [], [], [])
    for k in range(q1 - q0 + 1):
        t = q0 * bms + k * bms
        for j, (lst, field) in enumerate(series):
            while cur[j] < len(lst) and lst[cur[j]]["ts"] < t + bms:
                val[j] = lst[cur[j]][field]
                cur[j] += 1
        out[0].append(t)
        for j in range(3):
            out[j + 1].append(round8(val[j]))
    return ('{"kind":"funding_oi_divergence","time":' + arr(out[0], str)
            + ',"funding":' + arr(out[1], number) + ',"oi":' + arr(out[2], number)
            + ',"price":' + arr(out[3], number) + "}")


def frame(spec, dataset, cursor):
    """The frame text for a validated spec (dict form) and a dataset of dicts."""
    if spec.get("to_ts") is not None:
        cursor = min(cursor, spec["to_ts"])
    lower = spec.get("from_ts")

    def window(name):
        lst = [r for r in dataset.get(name, []) if (lower is None or r["ts"] >= lower)
               and r["ts"] <= cursor]
        return sorted(lst, key=lambda r: r["ts"])

    panels = []
    for p in spec["panels"]:
        kind = p["kind"]
        cfg = {"price_bin": float(p.get("price_bin", 1.0)), "bucket_ms": p.get("bucket_ms", 60000),
               "depth_levels": p.get("depth_levels", 40)}
        if kind == "footprint":
            panels.append(footprint(cfg, window("trades")))
        elif kind == "liquidation_map":
            panels.append(liquidation_map(cfg, window("liquidations")))
        elif kind == "book_heatmap":
            panels.append(book_heatmap(cfg, window("book")))
        else:
            panels.append(funding_oi(cfg, window("funding"), window("oi"), window("candles")))
    return ('{"symbol":' + json_string(spec["symbol"]) + ',"cursor_ts":' + str(cursor)
            + ',"panels":[' + ",".join(panels) + "]}")
