// Footprint bars beside the four panels: a toggle and a bar length in the
// controls, one canvas under the charts. It follows the cursor the page
// shows (the time in the header changes once a frame is drawn), with one
// request in flight and only the latest cursor asked for after it.
const $ = (id) => document.getElementById(id);
const BUY = "#43c59e", SELL = "#ef5f5f";
let on = false, wanted = null, busy = false, last = null;

function controls() {
  const label = document.createElement("label");
  label.innerHTML = '<input id="flow-on" type="checkbox"> footprint bars ' +
    '<select id="flow-bar"><option value="10000">10 s</option><option value="60000" selected>1 m</option>' +
    '<option value="300000">5 m</option></select>';
  $("controls").appendChild(label);
  const canvas = document.createElement("canvas");
  canvas.id = "flow";
  canvas.setAttribute("aria-label", "footprint bars");
  canvas.style.display = "none";
  document.querySelector(".charts").appendChild(canvas);
  $("flow-on").addEventListener("change", (e) => { on = e.target.checked; canvas.style.display = on ? "block" : "none"; follow(); });
  $("flow-bar").addEventListener("change", follow);
  new MutationObserver(follow).observe($("cursor-time"), { childList: true, characterData: true, subtree: true });
  window.addEventListener("resize", () => last && draw(last));
}

function follow() {
  if (!on) return;
  wanted = `/api/footprint_bars?ts=${$("slider").value}&bar_ms=${$("flow-bar").value}`;
  if (!busy) pump();
}

async function pump() {
  busy = true;
  while (wanted !== null) {
    const path = wanted;
    wanted = null;
    try {
      const response = await fetch(path);
      const body = await response.json();
      if (!response.ok) throw new Error(body.error || response.statusText);
      last = body;
      requestAnimationFrame(() => draw(body));  // once the canvas is laid out
    } catch (e) {
      $("status").textContent = `footprint bars: ${e.message}`;
    }
  }
  busy = false;
}

function draw(fb) {
  const canvas = $("flow"), ratio = window.devicePixelRatio || 1;
  canvas.width = canvas.clientWidth * ratio;
  canvas.height = canvas.clientHeight * ratio;
  const g = canvas.getContext("2d");
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  const w = canvas.clientWidth, h = canvas.clientHeight, pad = 40;
  g.clearRect(0, 0, w, h);
  g.fillStyle = "#8a93a6";
  g.font = "11px system-ui";
  if (!fb.price.length) { g.fillText("no trades in the window", w / 2 - 60, h / 2); return; }
  const lo = Math.min(...fb.price) - fb.tick, hi = Math.max(...fb.price) + fb.tick;
  const bars = fb.bar_ts.length, colW = (w - pad) / bars;
  const y = (p) => h - 16 - ((p - lo) / (hi - lo)) * (h - 24);
  const cellH = Math.max(1, y(lo) - y(lo + fb.tick));
  const reach = Math.max(...fb.price.map((_, i) => Math.abs(fb.ask_vol[i] - fb.bid_vol[i]))) || 1;
  for (let i = 0; i < fb.price.length; i++) {
    const x = pad + fb.bar[i] * colW, d = (fb.ask_vol[i] - fb.bid_vol[i]) / reach;
    g.globalAlpha = 0.25 + 0.75 * Math.abs(d);
    g.fillStyle = d >= 0 ? BUY : SELL;
    g.fillRect(x + 1, y(fb.price[i]) - cellH / 2, colW - 2, cellH);
    g.globalAlpha = 1;
    if (fb.buy_imbalance[i]) { g.fillStyle = BUY; g.fillRect(x + colW - 3, y(fb.price[i]) - cellH / 2, 2, cellH); }
    if (fb.sell_imbalance[i]) { g.fillStyle = SELL; g.fillRect(x + 1, y(fb.price[i]) - cellH / 2, 2, cellH); }
    if (cellH >= 11 && colW >= 70) {
      g.fillStyle = "#d8dee9";
      g.fillText(`${+fb.bid_vol[i].toFixed(3)} × ${+fb.ask_vol[i].toFixed(3)}`, x + 6, y(fb.price[i]) + 4);
    }
  }
  g.strokeStyle = "#f5d76e";
  fb.poc.forEach((p, b) => g.strokeRect(pad + b * colW + 1, y(p) - cellH / 2, colW - 2, cellH));
  g.fillStyle = "#8a93a6";
  g.fillText(hi.toFixed(2), 2, 12);
  g.fillText(lo.toFixed(2), 2, h - 4);
  g.fillText(`${bars} bars, tick ${fb.tick}`, pad + 60, 12);
}

controls();
