// The viewer page: a cursor over the dataset's bounds, one frame request in
// flight at a time (a newer cursor replaces any waiting one, so dragging never
// queues stale frames), the four panels drawn from each frame, a spec form.
import { drawFootprint, drawHeatmap, drawSeries, fmt, priceRange, utc } from "./draw.js";

const PARAMS = {
  footprint: ["price_bin", "bucket_ms"],
  book_heatmap: ["price_bin", "bucket_ms", "depth_levels"],
  liquidation_map: ["price_bin"],
  funding_oi_divergence: ["bucket_ms"],
};
const $ = (id) => document.getElementById(id);

const state = { bounds: null, spec: null, windowMs: null, frame: null, layouts: {}, playing: false, nextStepAt: 0 };
// Figures the browser test and the benchmark read: what was asked and drawn, and when.
const stats = { asked: new Map(), drawn: 0, lastDrawnTs: null, lastCursorTs: null, latencies: [], fetches: [], draws: [], errors: [] };
window.xray = stats;

async function api(path, options) {
  const response = await fetch(path, options);
  const body = await response.json();
  if (!response.ok) throw Object.assign(new Error(body.error || response.statusText), { status: response.status });
  return body;
}

// ---- frames: one request in flight; the latest cursor wins ----------------

let wanted = null, inFlight = false;

function requestFrame(ts) {
  stats.asked.set(ts, performance.now());
  wanted = ts;
  if (!inFlight) pump();
}

async function pump() {
  inFlight = true;
  while (wanted !== null) {
    const ts = wanted;
    wanted = null;
    const started = performance.now();
    try {
      const answer = await api(`/api/view?ts=${ts}`);
      show(answer, ts, performance.now() - started);
    } catch (e) {
      if (e.status === 409) { if (wanted === null) wanted = ts; continue; }  // another tab's cursor replaced ours
      status(e.message, true);
      stats.errors.push(e.message);
    }
  }
  inFlight = false;
}

function panelOf(kind) {
  return (state.spec.panels || []).find((p) => p.kind === kind) || {};
}

// The series come as Frame reads them: null where a value is missing (before
// its series' first record), the price falling back to the last trade.
function normalise({ frame: raw, series }) {
  const first = (kind) => raw.panels.find((p) => p.kind === kind);
  const heat = first("book_heatmap"), fp = first("footprint"), liq = first("liquidation_map"), fo = first("funding_oi_divergence");
  return {
    symbol: raw.symbol,
    cursor: raw.cursor_ts,
    heatmap: heat && { ...heat, bucketMs: panelOf("book_heatmap").bucket_ms ?? 60000, priceBin: panelOf("book_heatmap").price_bin ?? 1 },
    footprint: fp && { ...fp, priceBin: panelOf("footprint").price_bin ?? 1 },
    liquidations: liq && { ...liq, priceBin: panelOf("liquidation_map").price_bin ?? 1 },
    series: fo && series && { ...fo, ...series },
  };
}

function windowStart(cursor) {
  if (state.windowMs) return cursor - state.windowMs;
  return Number.isInteger(state.spec.from_ts) ? state.spec.from_ts : state.bounds.from_ts;
}

function show(raw, askedTs, fetchMs) {
  const frame = normalise(raw);
  state.frame = frame;
  const drawStart = performance.now();
  draw();
  stats.draws.push(performance.now() - drawStart);
  stats.fetches.push(fetchMs);
  $("symbol").textContent = frame.symbol;
  $("cursor-time").textContent = utc(frame.cursor, true);
  $("cursor-time").dateTime = new Date(frame.cursor).toISOString();
  status(`frame ${fetchMs.toFixed(0)} ms`);
  const asked = stats.asked.get(askedTs);
  stats.asked.delete(askedTs);
  // Slider-to-pixels: from the input that asked for this cursor to the next paint.
  requestAnimationFrame(() => {
    stats.drawn += 1;
    stats.lastDrawnTs = askedTs;
    stats.lastCursorTs = frame.cursor;
    if (asked !== undefined) stats.latencies.push(performance.now() - asked);
  });
}

function draw() {
  const frame = state.frame;
  if (!frame) return;
  const x0 = windowStart(frame.cursor), x1 = frame.cursor;
  state.layouts.heatmap = drawHeatmap($("heatmap"), frame, x0, x1);
  state.layouts.footprint = drawFootprint($("footprint"), frame, priceRange(frame));
  state.layouts.series = drawSeries($("series"), frame, x0, x1);
}

function status(text, bad = false) {
  $("status").textContent = text;
  $("status").classList.toggle("bad", bad);
}

// ---- cursor: slider, steps, play ------------------------------------------

function stepMs() {
  return panelOf("book_heatmap").bucket_ms ?? panelOf("funding_oi_divergence").bucket_ms ?? 60000;
}

function setCursor(ts) {
  const slider = $("slider");
  const clamped = Math.min(state.bounds.to_ts, Math.max(state.bounds.from_ts, Math.round(ts)));
  slider.value = clamped;
  requestFrame(Number(slider.value));
}

function step(n) {
  setCursor(Number($("slider").value) + n * stepMs());
}

function setPlaying(on) {
  state.playing = on;
  $("play").textContent = on ? "❚❚ pause" : "▶ play";
  if (on) { state.nextStepAt = 0; requestAnimationFrame(tick); }
}

function tick(now) {
  if (!state.playing) return;
  if (Number($("slider").value) >= state.bounds.to_ts) { setPlaying(false); return; }
  // Step only when the last frame is in: playback never outruns the server.
  if (!inFlight && now >= state.nextStepAt) {
    step(1);
    state.nextStepAt = now + 1000 / Number($("speed").value);
  }
  requestAnimationFrame(tick);
}

function bindControls() {
  const slider = $("slider");
  slider.addEventListener("input", () => requestFrame(Number(slider.value)));
  $("back").addEventListener("click", () => step(-1));
  $("forward").addEventListener("click", () => step(1));
  $("play").addEventListener("click", () => setPlaying(!state.playing));
  document.addEventListener("keydown", (e) => {
    const typing = e.target instanceof HTMLInputElement && e.target.type !== "range";
    if (typing || e.target instanceof HTMLSelectElement) return;
    if (e.key === "ArrowLeft" || e.key === "ArrowRight") {
      e.preventDefault();  // the focused slider would step by its own amount as well
      step(e.key === "ArrowLeft" ? -1 : 1);
    } else if (e.key === " ") {
      e.preventDefault();
      setPlaying(!state.playing);
    }
  });
  window.addEventListener("resize", draw);
}

// ---- hover read-outs -------------------------------------------------------

function cellIndex(values, v, width) {
  // Bins ascend; the last bin whose lower edge is at or below v, if v is inside it.
  let lo = 0, hi = values.length - 1, found = -1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (values[mid] <= v) { found = mid; lo = mid + 1; } else hi = mid - 1;
  }
  return found >= 0 && v < values[found] + width ? found : -1;
}

function readout(parts) {
  $("readout").textContent = parts.filter(Boolean).join(" · ");
}

function hoverHeatmap(e) {
  const layout = state.layouts.heatmap, frame = state.frame;
  if (!layout || !layout.y || !frame) return;
  const t = layout.x.invert(e.offsetX), p = layout.y.invert(e.offsetY);
  const parts = [`time ${utc(t)} UTC`, `price ${fmt(p, 8)}`];
  const heat = frame.heatmap;
  if (heat && heat.time.length) {
    const k = cellIndex(heat.time, t, heat.bucketMs), i = cellIndex(heat.price, p, heat.priceBin);
    if (k >= 0 && i >= 0) parts.push(`resting qty ${fmt(heat.intensity[k][i])} at ${fmt(heat.price[i], 8)}`);
  }
  const liq = frame.liquidations;
  if (liq) {
    for (const ev of liq.events) {
      const dx = layout.x(ev.ts) - e.offsetX, dy = layout.y(ev.price_bin + liq.priceBin / 2) - e.offsetY;
      if (dx * dx + dy * dy < 64) { parts.push(`liquidation ${ev.side} qty ${fmt(ev.qty)} at ${fmt(ev.price_bin, 8)} (${utc(ev.ts)})`); break; }
    }
  }
  readout(parts);
}

function hoverFootprint(e) {
  const layout = state.layouts.footprint, fp = state.frame && state.frame.footprint;
  if (!layout || !layout.y || !fp) return;
  const p = layout.y.invert(e.offsetY);
  const i = cellIndex(fp.price_bins, p, fp.priceBin);
  readout([`price ${fmt(p, 8)}`, i >= 0 && `bin ${fmt(fp.price_bins[i], 8)}: buy ${fmt(fp.buy_vol[i])}, sell ${fmt(fp.sell_vol[i])}, delta ${fmt(fp.buy_vol[i] - fp.sell_vol[i])}`]);
}

function hoverSeries(e) {
  const layout = state.layouts.series, s = state.frame && state.frame.series;
  if (!layout || !s || !s.time.length) return;
  const t = layout.x.invert(e.offsetX);
  const k = cellIndex(s.time, t, Infinity);
  readout([`time ${utc(t)} UTC`, k >= 0 && `price ${fmt(s.price[k], 8)}, funding ${fmt(s.funding[k])}, open interest ${fmt(s.oi[k], 8)}`]);
}

// ---- spec form -------------------------------------------------------------

function buildForm() {
  const box = $("spec-fields");
  box.replaceChildren();
  state.spec.panels.forEach((panel, n) => {
    const set = document.createElement("fieldset");
    const legend = document.createElement("legend");
    legend.textContent = panel.kind;
    set.append(legend);
    for (const key of PARAMS[panel.kind] || []) {
      const label = document.createElement("label");
      const input = document.createElement("input");
      input.name = `${n}.${key}`;
      input.value = panel[key] ?? "";
      input.placeholder = "default";
      label.append(key, input);
      set.append(label);
    }
    box.append(set);
  });
  const form = $("spec-form");
  form.elements.window_ms.value = state.windowMs ?? "";
  form.elements.from_ts.value = Number.isInteger(state.spec.from_ts) ? utc(state.spec.from_ts) : "";
}

// A number typed as a number goes out as one; anything else goes out as text
// and comes back as the engine's own message.
function typed(text) {
  const t = text.trim();
  return /^-?\d+(\.\d+)?([eE][+-]?\d+)?$/.test(t) ? Number(t) : t;
}

function parseTime(text) {
  const t = text.trim();
  if (t === "") return null;
  if (/^-?\d+$/.test(t)) return Number(t);
  const ms = Date.parse(/[zZ]|[+-]\d\d:?\d\d$/.test(t) ? t : t.replace(" ", "T") + "Z");
  if (Number.isNaN(ms)) throw new Error(`from_ts: ${JSON.stringify(t)} is neither milliseconds nor an ISO time`);
  return ms;
}

async function applySpec(e) {
  e.preventDefault();
  const form = $("spec-form"), error = $("spec-error");
  const spec = structuredClone(state.spec);
  let windowMs;
  try {
    for (const input of $("spec-fields").querySelectorAll("input")) {
      const [n, key] = input.name.split(".");
      if (input.value.trim() === "") delete spec.panels[Number(n)][key];
      else spec.panels[Number(n)][key] = typed(input.value);
    }
    const from = parseTime(form.elements.from_ts.value);
    if (from === null) delete spec.from_ts; else spec.from_ts = from;
    const w = form.elements.window_ms.value.trim();
    windowMs = w === "" ? null : typed(w);
  } catch (err) {
    error.textContent = err.message;
    return;
  }
  try {
    const body = await api("/api/spec", { method: "PUT", headers: { "content-type": "application/json" }, body: JSON.stringify({ spec, window_ms: windowMs }) });
    error.textContent = "";
    state.spec = body.spec;
    state.windowMs = body.window_ms;
    buildForm();
    $("slider").step = stepMs();
    requestFrame(Number($("slider").value));
  } catch (err) {
    error.textContent = err.message;
  }
}

// ---- start -------------------------------------------------------------------

async function start() {
  bindControls();
  $("heatmap").addEventListener("mousemove", hoverHeatmap);
  $("footprint").addEventListener("mousemove", hoverFootprint);
  $("series").addEventListener("mousemove", hoverSeries);
  $("spec-form").addEventListener("submit", applySpec);
  try {
    const [bounds, spec] = await Promise.all([api("/api/bounds"), api("/api/spec")]);
    state.bounds = bounds;
    state.spec = spec.spec;
    state.windowMs = spec.window_ms;
  } catch (e) {
    status(e.message, true);
    return;
  }
  buildForm();
  const slider = $("slider");
  slider.min = state.bounds.from_ts;
  slider.max = state.bounds.to_ts;
  slider.step = stepMs();
  slider.value = state.bounds.to_ts;
  requestFrame(Number(slider.value));
}

start();
