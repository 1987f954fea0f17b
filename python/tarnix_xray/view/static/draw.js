// Drawing the four panels of one frame on plain canvases, and the inverse
// mappings the hover read-outs need. Every scale is built from the frame
// itself, so a drawn frame never depends on the one before it.

export const MARGIN = { left: 64, right: 58, top: 10, bottom: 24 };
const BG = "#171a21", GRID = "#262b36", TEXT = "#8a93a6";
const BUY = "#43c59e", SELL = "#ef5f5f", LONG = "#ff5c8a", SHORT = "#7cd4ff", CLOSE = "#4fc3f7";

// A dark-to-bright ramp: navy, violet, orange, pale yellow.
const STOPS = [[0, [20, 24, 48]], [0.35, [92, 40, 140]], [0.7, [232, 110, 50]], [1, [252, 240, 160]]];
export const LUT = (() => {
  const lut = new Uint8ClampedArray(256 * 3);
  for (let i = 0; i < 256; i++) {
    const t = i / 255;
    let k = 0;
    while (k < STOPS.length - 2 && t > STOPS[k + 1][0]) k++;
    const [t0, c0] = STOPS[k], [t1, c1] = STOPS[k + 1];
    const u = (t - t0) / (t1 - t0);
    for (let c = 0; c < 3; c++) lut[i * 3 + c] = c0[c] + (c1[c] - c0[c]) * u;
  }
  return lut;
})();

export function utc(ms, withMs = false) {
  if (!Number.isFinite(ms)) return "–";
  const text = new Date(ms).toISOString().replace("T", " ");
  return withMs ? text.slice(0, 23) : text.slice(0, 19);
}

export function fmt(x, digits = 6) {
  if (x === null || x === undefined || !Number.isFinite(x)) return "–";
  return Math.abs(x) >= 1e6 || (x !== 0 && Math.abs(x) < 1e-4) ? x.toExponential(3) : String(+x.toPrecision(digits));
}

// Sizes the backing store to the element's CSS box; returns a context in CSS pixels.
export function prepare(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.fillStyle = BG;
  ctx.fillRect(0, 0, canvas.clientWidth, canvas.clientHeight);
  ctx.font = "11px system-ui, sans-serif";
  return { ctx, w: canvas.clientWidth, h: canvas.clientHeight };
}

export function linear(d0, d1, r0, r1) {
  const span = d1 - d0 || 1;
  const f = (v) => r0 + ((v - d0) / span) * (r1 - r0);
  f.invert = (p) => d0 + ((p - r0) / (r1 - r0)) * span;
  f.domain = [d0, d1];
  return f;
}

function niceStep(span, count) {
  const raw = span / Math.max(1, count);
  const power = 10 ** Math.floor(Math.log10(raw));
  return [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw);
}

const TIME_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 21600, 43200, 86400].map((s) => s * 1000);

export function timeAxis(ctx, x, y, top) {
  const [t0, t1] = x.domain;
  const step = TIME_STEPS.find((s) => (t1 - t0) / s <= 8) || 86400000;
  ctx.fillStyle = TEXT; ctx.strokeStyle = GRID; ctx.textAlign = "center"; ctx.textBaseline = "top";
  for (let t = Math.ceil(t0 / step) * step; t <= t1; t += step) {
    const px = Math.round(x(t)) + 0.5;
    ctx.beginPath(); ctx.moveTo(px, top); ctx.lineTo(px, y); ctx.stroke();
    ctx.fillText(utc(t).slice(11, step >= 60000 ? 16 : 19), px, y + 4);
  }
}

export function valueAxis(ctx, scale, left, right, count = 6, side = "left") {
  const [v0, v1] = scale.domain;
  const step = niceStep(Math.abs(v1 - v0), count);
  if (!Number.isFinite(step) || step <= 0) return;
  ctx.fillStyle = TEXT; ctx.strokeStyle = GRID; ctx.textBaseline = "middle";
  ctx.textAlign = side === "left" ? "right" : "left";
  for (let v = Math.ceil(Math.min(v0, v1) / step) * step; v <= Math.max(v0, v1); v += step) {
    const py = Math.round(scale(v)) + 0.5;
    ctx.beginPath(); ctx.moveTo(left, py); ctx.lineTo(right, py); ctx.stroke();
    ctx.fillText(fmt(v, 8), side === "left" ? left - 4 : right + 4, py);
  }
}

// The price range every price panel shares: the heatmap grid, the footprint
// bins and the liquidation prices, whichever are present.
export function priceRange(frame) {
  let lo = Infinity, hi = -Infinity;
  const take = (a, b) => { if (Number.isFinite(a)) lo = Math.min(lo, a); if (Number.isFinite(b)) hi = Math.max(hi, b); };
  const heat = frame.heatmap, fp = frame.footprint;
  if (heat && heat.price.length) take(heat.price[0], heat.price[heat.price.length - 1] + heat.priceBin);
  if (fp && fp.price_bins.length) take(fp.price_bins[0], fp.price_bins[fp.price_bins.length - 1] + fp.priceBin);
  for (const e of frame.liquidations ? frame.liquidations.events : []) take(e.price_bin, e.price_bin + (frame.liquidations.priceBin || 0));
  if (!(lo < hi)) return null;
  const pad = (hi - lo) * 0.02;
  return [lo - pad, hi + pad];
}

// 99th percentile of the positive cells (sampled): one bright wall should not flatten the rest.
function colourTop(rows) {
  const values = [];
  const total = rows.length * (rows[0] ? rows[0].length : 0);
  const stride = Math.max(1, Math.floor(total / 20000));
  let n = 0;
  for (const row of rows) for (const v of row) { if (n++ % stride === 0 && v > 0) values.push(v); }
  if (!values.length) return 0;
  values.sort((a, b) => a - b);
  return values[Math.min(values.length - 1, Math.floor(values.length * 0.99))];
}

function heatImage(heat, top) {
  const nT = heat.time.length, nP = heat.price.length;
  const image = new ImageData(nT, nP);
  const px = image.data;
  for (let k = 0; k < nT; k++) {
    const row = heat.intensity[k];
    for (let i = 0; i < nP; i++) {
      const v = row[i];
      const o = ((nP - 1 - i) * nT + k) * 4;
      if (v === null) continue;  // transparent: the engine had no finite number
      const t = top > 0 && v > 0 ? Math.sqrt(Math.min(v / top, 1)) : 0;
      const c = Math.round(t * 255) * 3;
      px[o] = LUT[c]; px[o + 1] = LUT[c + 1]; px[o + 2] = LUT[c + 2]; px[o + 3] = 255;
    }
  }
  const off = document.createElement("canvas");
  off.width = nT; off.height = nP;
  off.getContext("2d").putImageData(image, 0, 0);
  return off;
}

function legend(ctx, x, top, bottom, max) {
  const w = 10, h = bottom - top;
  for (let p = 0; p < h; p++) {
    const c = Math.round(Math.sqrt(1 - p / h) * 255) * 3;
    ctx.fillStyle = `rgb(${LUT[c]},${LUT[c + 1]},${LUT[c + 2]})`;
    ctx.fillRect(x, top + p, w, 1);
  }
  ctx.fillStyle = TEXT; ctx.textAlign = "left"; ctx.textBaseline = "top";
  ctx.fillText(fmt(max, 3), x - 2, bottom + 4);
  ctx.save(); ctx.translate(x + w + 12, (top + bottom) / 2); ctx.rotate(-Math.PI / 2);
  ctx.textAlign = "center"; ctx.fillText("resting qty (√ scale, 99th pct)", 0, 0); ctx.restore();
}

export function drawHeatmap(canvas, frame, x0, x1) {
  const { ctx, w, h } = prepare(canvas);
  const m = MARGIN, range = priceRange(frame);
  const x = linear(x0, x1, m.left, w - m.right);
  const layout = { x, y: null, top: 0 };
  if (!range) { empty(ctx, w, h, "no book, trades or liquidations in this window"); return layout; }
  const y = linear(range[0], range[1], h - m.bottom, m.top);
  layout.y = y;
  timeAxis(ctx, x, h - m.bottom, m.top);
  valueAxis(ctx, y, m.left, w - m.right);
  ctx.save();
  ctx.beginPath(); ctx.rect(m.left, m.top, w - m.left - m.right, h - m.top - m.bottom); ctx.clip();
  const heat = frame.heatmap;
  if (heat && heat.time.length) {
    layout.top = colourTop(heat.intensity);
    ctx.imageSmoothingEnabled = false;
    const left = x(heat.time[0]), right = x(heat.time[heat.time.length - 1] + heat.bucketMs);
    const low = y(heat.price[0]), high = y(heat.price[heat.price.length - 1] + heat.priceBin);
    ctx.drawImage(heatImage(heat, layout.top), left, high, right - left, low - high);
  }
  midLine(ctx, frame.series, x, y);
  bubbles(ctx, frame.liquidations, x, y);
  ctx.restore();
  if (heat && heat.time.length) legend(ctx, w - m.right + 14, m.top, h - m.bottom - 14, layout.top);
  return layout;
}

// The frame holds no mid price: the funding panel's price (the candle close, else
// the last trade) stands for it.
function midLine(ctx, series, x, y) {
  if (!series || !series.time.length) return;
  ctx.strokeStyle = CLOSE; ctx.lineWidth = 1.5; ctx.beginPath();
  let lastY = null;
  for (let k = 0; k < series.time.length; k++) {
    const p = series.price[k];
    if (!Number.isFinite(p)) { lastY = null; continue; }  // no candle nor trade yet
    const px = x(series.time[k]), py = y(p);
    if (lastY === null) ctx.moveTo(px, py); else { ctx.lineTo(px, lastY); ctx.lineTo(px, py); }
    lastY = py;
  }
  ctx.stroke(); ctx.lineWidth = 1;
}

export function bubbleRadius(qty, maxQty) {
  return 3 + 14 * Math.sqrt(Math.max(qty, 0) / (maxQty || 1));
}

function bubbles(ctx, liq, x, y) {
  if (!liq || !liq.events.length) return;
  const maxQty = Math.max(...liq.events.map((e) => e.qty || 0));
  for (const e of liq.events) {
    if (!Number.isFinite(e.price_bin)) continue;
    const r = bubbleRadius(e.qty || 0, maxQty);
    ctx.beginPath(); ctx.arc(x(e.ts), y(e.price_bin + liq.priceBin / 2), r, 0, 2 * Math.PI);
    ctx.fillStyle = e.side === "long" ? "rgba(255,92,138,0.45)" : "rgba(124,212,255,0.45)";
    ctx.strokeStyle = e.side === "long" ? LONG : SHORT;
    ctx.fill(); ctx.stroke();
  }
}

export function drawFootprint(canvas, frame, range) {
  const { ctx, w, h } = prepare(canvas);
  const m = MARGIN, fp = frame.footprint;
  const layout = { y: null, mid: w / 2, x: null };
  if (!fp) { empty(ctx, w, h, "no footprint panel in the spec"); return layout; }
  if (!range || !fp.price_bins.length) { empty(ctx, w, h, "no trades in this window"); return layout; }
  const y = linear(range[0], range[1], h - m.bottom, m.top);
  const mid = Math.round(w / 2), half = w / 2 - 8;
  let maxVol = 0;
  for (let i = 0; i < fp.price_bins.length; i++) maxVol = Math.max(maxVol, fp.buy_vol[i] || 0, fp.sell_vol[i] || 0);
  const x = (v) => (half * v) / (maxVol || 1);
  Object.assign(layout, { y, mid, x });
  let poc = 0;
  for (let i = 0; i < fp.price_bins.length; i++) {
    if ((fp.buy_vol[i] || 0) + (fp.sell_vol[i] || 0) > (fp.buy_vol[poc] || 0) + (fp.sell_vol[poc] || 0)) poc = i;
  }
  for (let i = 0; i < fp.price_bins.length; i++) {
    // Whole pixels: thin bars stay their own colour instead of blending.
    const top = Math.round(y(fp.price_bins[i] + fp.priceBin)), bottom = Math.round(y(fp.price_bins[i]));
    const bh = Math.max(1, bottom - top - 1);
    const sell = Math.round(x(fp.sell_vol[i] || 0)), buy = Math.round(x(fp.buy_vol[i] || 0));
    ctx.fillStyle = SELL; ctx.fillRect(mid - sell, top, sell, bh);
    ctx.fillStyle = BUY; ctx.fillRect(mid, top, buy, bh);
    if (i === poc) { ctx.strokeStyle = "#f5d76e"; ctx.strokeRect(4.5, top - 0.5, w - 9, bh + 1); }
  }
  ctx.strokeStyle = TEXT; ctx.beginPath(); ctx.moveTo(mid + 0.5, m.top); ctx.lineTo(mid + 0.5, h - m.bottom); ctx.stroke();
  ctx.fillStyle = TEXT; ctx.textBaseline = "top";
  ctx.textAlign = "left"; ctx.fillText("◀ sell", 6, h - m.bottom + 6);
  ctx.textAlign = "right"; ctx.fillText("buy ▶", w - 6, h - m.bottom + 6);
  return layout;
}

const STRIPS = [["price", "price", CLOSE], ["funding", "funding", "#f5d76e"], ["oi", "OI", "#b39ddb"]];

export function drawSeries(canvas, frame, x0, x1) {
  const { ctx, w, h } = prepare(canvas);
  const m = MARGIN, s = frame.series;
  const x = linear(x0, x1, m.left, w - m.right);
  const layout = { x, strips: [] };
  if (!s) { empty(ctx, w, h, "no funding_oi_divergence panel in the spec"); return layout; }
  if (!s.time.length) { empty(ctx, w, h, "no funding, open interest or candles in this window"); return layout; }
  const gap = 8, stripH = (h - m.top - m.bottom - 2 * gap) / 3;
  STRIPS.forEach(([key, label, colour], n) => {
    const top = m.top + n * (stripH + gap), bottom = top + stripH;
    // Missing values (null) are gaps, and take no part in the scale.
    const values = s[key].filter(Number.isFinite);
    let lo = Math.min(...values), hi = Math.max(...values);
    if (!values.length) { lo = 0; hi = 1; }
    if (lo === hi) { lo -= Math.abs(lo) * 0.01 || 1; hi += Math.abs(hi) * 0.01 || 1; }
    const y = linear(lo, hi, bottom, top);
    layout.strips.push({ key, label, top, bottom, y });
    valueAxis(ctx, y, m.left, w - m.right, 3);
    ctx.fillStyle = colour; ctx.textAlign = "left"; ctx.textBaseline = "top";
    ctx.fillText(label, w - m.right + 6, top);
    ctx.save(); ctx.beginPath(); ctx.rect(m.left, top, w - m.left - m.right, stripH); ctx.clip();
    ctx.strokeStyle = colour; ctx.lineWidth = 1.5; ctx.beginPath();
    // Steps: each value holds until the next bucket (the panel carries values forward).
    let lastY = null;
    for (let k = 0; k < s.time.length; k++) {
      const v = s[key][k];
      if (!Number.isFinite(v)) { lastY = null; continue; }
      const px = x(s.time[k]), py = y(v);
      if (lastY === null) ctx.moveTo(px, py); else { ctx.lineTo(px, lastY); ctx.lineTo(px, py); }
      lastY = py;
    }
    ctx.stroke(); ctx.restore();
  });
  timeAxis(ctx, x, h - m.bottom, m.top);
  return layout;
}

function empty(ctx, w, h, why) {
  ctx.fillStyle = TEXT; ctx.textAlign = "center"; ctx.textBaseline = "middle";
  ctx.fillText(why, w / 2, h / 2);
}
