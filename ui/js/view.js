// The live view: reads the simulation and the connection and draws them.
// It never changes either. Redraws are coalesced to at most one per animation
// frame, and none while the page is hidden: a hidden page is redrawn once when
// it shows again. A page opened with draw=0 counts as hidden for good (it
// draws only when asked to render).

import { fnName } from "./protocol.js";
import { Event, OrderType, Side, trailLevel } from "./sim.js";
import { State } from "./connection.js";

const COLORS = {
  page: "#0b0e13", bg: "#11151c", grid: "#232a35", text: "#aab4c3", dim: "#5d6776",
  up: "#26a69a", down: "#ef5350", buy: "#42a5f5", sell: "#ffa726",
  tp: "#66bb6a", sl: "#e57373", trail: "#ba68c8", price: "#cfd8dc",
  equity: "#4fc3f7", balance: "#ffd54f",
};

const CORNER_RADIUS = 6;

const EVENT_NAMES = Object.fromEntries(Object.entries(Event).map(([k, v]) => [v, k.toLowerCase().replaceAll("_", " ")]));

const fmt = (v, d = 2) => (Number.isFinite(v) ? v.toFixed(d) : "–");
const sideName = (s) => (s === Side.BUY ? "long" : "short");

export class View {
  constructor(doc, sim, connection, { draw = true } = {}) {
    this.doc = doc;
    this.draw = draw;
    this.sim = sim;
    this.conn = connection;
    this.el = (id) => doc.getElementById(id);
    this.scheduled = false;
    this.stale = false;  // something changed while the page was hidden
    this.renders = 0;
    this.written = new Map();  // element -> the markup or text it shows
    // Canvas sizes come from a ResizeObserver: reading clientWidth after the
    // panels changed would force a layout in the middle of every frame.
    this.sizes = new Map();
    this.canvases = [this.el("price-chart"), this.el("equity-chart")];
    if (typeof ResizeObserver === "function") {
      const observer = new ResizeObserver((entries) => {
        for (const e of entries) {
          this.sizes.set(e.target, { w: Math.round(e.contentRect.width), h: Math.round(e.contentRect.height) });
        }
        this.requestRender();
      });
      for (const c of this.canvases) observer.observe(c);
    }
    doc.addEventListener("visibilitychange", () => {
      if (!this.hidden && this.stale) {
        this.stale = false;
        this.requestRender();
      }
    });
  }

  get hidden() {
    return !this.draw || this.doc.hidden;
  }

  requestRender() {
    if (this.hidden) {
      this.stale = true;
      return;
    }
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => {
      this.scheduled = false;
      this.render();
    });
  }

  render() {
    this.renders += 1;
    const [price, equity] = this.canvases;
    this.drawPrice(price, this.sizeOf(price));
    this.drawEquity(equity, this.sizeOf(equity));
    this.renderConnection();
    this.renderPanels();
  }

  sizeOf(canvas) {
    return this.sizes.get(canvas) ?? { w: canvas.clientWidth, h: canvas.clientHeight };
  }

  // Only what changed is written: unchanged markup would still be parsed,
  // styled, laid out and painted again.
  setHtml(el, html) {
    if (this.written.get(el) === html) return;
    this.written.set(el, html);
    el.innerHTML = html;
  }

  setText(el, text) {
    if (this.written.get(el) === text) return;
    this.written.set(el, text);
    el.textContent = text;
  }

  // ------------------------------------------------------------ panels

  renderConnection() {
    const c = this.conn;
    const badge = this.el("conn-state");
    this.setText(badge, c.state);
    const look = c.state === State.CONNECTED ? "ok" : c.state === State.RETRYING ? "bad" : "wait";
    if (badge.dataset.state !== look) badge.dataset.state = look;
    this.setText(this.el("conn-detail"), c.detail);
    const s = c.stats;
    this.setText(this.el("conn-stats"),
      `requests ${s.requests} · errors ${s.errors} · last seq ${s.lastSeq ?? "–"} · first seq on this connection ${s.firstSeq ?? "–"}` +
      ` · connections ${s.connections} · drops ${s.drops} · refused ${s.refusals}`);
  }

  renderPanels() {
    const sim = this.sim;
    const ep = sim.ep;
    const { train, test } = sim.layout();
    const info = [];
    info.push(["candles", sim.rows ? `${sim.rows} (${train} train / ${test} test episodes)` : "none yet"]);
    info.push(["sync policy", sim.cfg.sync_policy]);
    if (ep) {
      info.push(["episode", `${ep.typeName} #${ep.index}${ep.ended ? " (ended)" : ep.done ? " (done)" : ""}`]);
      info.push(["step", `${ep.step} / ${ep.length} · candle ${ep.t}`]);
      const snap = sim.snapshot();
      info.push(["price", fmt(snap[2], 4)]);
      info.push(["balance", fmt(snap[3])]);
      info.push(["equity", fmt(snap[4])]);
      info.push(["unrealized", fmt(snap[5])]);
      info.push(["net units", fmt(snap[7], 2)]);
    }
    this.setHtml(this.el("account"), info.map(([k, v]) => `<tr><th>${k}</th><td>${v}</td></tr>`).join(""));

    const tickets = ep ? sim.ticketRows() : [];
    this.setHtml(this.el("tickets"), tickets.length
      ? tickets.map((r) => {
        const pending = r[1] === 0;
        const what = pending ? `${r[2] === Side.BUY ? "buy" : "sell"} ${r[3] === OrderType.LIMIT ? "limit" : "stop"}` : sideName(r[2]);
        return `<tr class="${pending ? "pending" : r[2] === Side.BUY ? "long" : "short"}"><td>#${r[0]}</td><td>${what}</td>` +
          `<td>${fmt(r[4])}</td><td>${fmt(r[5], 3)}</td><td>${fmt(r[6], 3)}</td><td>${fmt(r[7], 3)}</td>` +
          `<td>${pending ? "" : fmt(r[10])}</td></tr>`;
      }).join("")
      : `<tr><td colspan="7" class="dim">no orders or positions</td></tr>`);

    const events = ep ? ep.events.slice(-8).reverse() : [];
    this.setHtml(this.el("events"), events.map((e) =>
      `<li>step ${e[1]}: ${EVENT_NAMES[e[3]] ?? e[3]} ${e[4] ? `#${e[4]}` : ""}` +
      `${Number.isFinite(e[7]) ? ` @ ${fmt(e[7], 3)}` : ""}${e[8] ? ` pnl ${fmt(e[8])}` : ""}</li>`).join(""));

    this.setHtml(this.el("results"), sim.results.length
      ? sim.results.map((r) => `<tr><td>${r.type} #${r.index}</td><td>${r.steps}</td><td>${r.trades}</td>` +
        `<td>${fmt(r.pnl)}</td><td>${fmt(100 * r.ret, 2)}%</td></tr>`).join("")
      : `<tr><td colspan="5" class="dim">no episode ended yet</td></tr>`);

    this.setHtml(this.el("requests"), this.conn.recent.slice(-6).reverse().map((r) =>
      `<li class="${r.ok ? "" : "err"}">seq ${r.seq} ${fnName(r.fnId)}${r.ok ? "" : ` → err ${r.err}/${r.sub}: ${escapeHtml(r.message)}`}</li>`).join(""));
  }

  // ------------------------------------------------------------ charts

  drawPrice(canvas, size) {
    const g = setupCanvas(canvas, size);
    placedLabels = [];
    const { w, h } = g;
    const sim = this.sim;
    const ep = sim.ep;
    if (!ep) {
      message(g, sim.rows ? "candles loaded: waiting for reset_episode" : "waiting for candles (init_candles)");
      return;
    }
    const K = sim.cfg.window;
    const first = Math.max(0, ep.start - K + 1);
    const last = ep.start + ep.length;
    const bars = [];
    for (let t = first; t <= ep.t; t++) bars.push({ t, ...sim.candle(t) });

    const levels = [];
    for (const o of ep.orders.values()) levels.push(o.price);
    for (const p of ep.positions.values()) levels.push(p.entry, p.tp ?? NaN, p.sl ?? NaN, trailLevel(p));
    let lo = Math.min(...bars.map((b) => b.l));
    let hi = Math.max(...bars.map((b) => b.h));
    const span0 = hi - lo || hi * 0.01;
    for (const v of levels) {
      // Far-away levels would squash the candles; they are drawn at the edge instead.
      if (Number.isFinite(v) && v > lo - span0 && v < hi + span0) {
        lo = Math.min(lo, v);
        hi = Math.max(hi, v);
      }
    }
    const pad = (hi - lo) * 0.06 || 1;
    lo -= pad;
    hi += pad;

    const left = 10, right = 64, top = 10, bottom = 22;
    const plotW = w - left - right, plotH = h - top - bottom;
    const slot = plotW / (last - first + 1);
    const x = (t) => left + (t - first + 0.5) * slot;
    const y = (v) => top + (hi - Math.min(hi, Math.max(lo, v))) / (hi - lo) * plotH;
    const ctx = g.ctx;

    // grid and axes
    ctx.font = "11px sans-serif";
    ctx.fillStyle = COLORS.text;
    ctx.strokeStyle = COLORS.grid;
    ctx.lineWidth = 1;
    for (let i = 0; i <= 5; i++) {
      const v = lo + (hi - lo) * i / 5;
      const yy = Math.round(y(v)) + 0.5;
      line(ctx, left, yy, w - right, yy);
      ctx.fillText(fmt(v, 2), w - right + 6, yy + 4);
    }
    const stepLabel = Math.max(1, Math.ceil((last - first) / 8));
    for (let t = first; t <= last; t += stepLabel) ctx.fillText(String(t), x(t) - 8, h - 6);
    ctx.strokeStyle = COLORS.dim;
    ctx.setLineDash([4, 4]);
    line(ctx, x(ep.start), top, x(ep.start), top + plotH);
    ctx.setLineDash([]);
    ctx.fillStyle = COLORS.dim;
    ctx.fillText("episode start", x(ep.start) + 4, top + 12);

    // candles
    const bodyW = Math.max(1, slot * 0.6);
    for (const b of bars) {
      const color = b.c >= b.o ? COLORS.up : COLORS.down;
      ctx.strokeStyle = color;
      ctx.fillStyle = color;
      line(ctx, x(b.t), y(b.h), x(b.t), y(b.l));
      const yTop = y(Math.max(b.o, b.c));
      ctx.fillRect(x(b.t) - bodyW / 2, yTop, bodyW, Math.max(1, y(Math.min(b.o, b.c)) - yTop));
    }

    // current price
    const price = sim.price();
    ctx.strokeStyle = COLORS.price;
    ctx.setLineDash([2, 3]);
    line(ctx, left, y(price), w - right, y(price));
    ctx.setLineDash([]);
    tag(ctx, w - right + 2, y(price), fmt(price, 2), COLORS.price, "#000");

    // every close (partial or full) is a cross joined to the entry by a line
    // coloured by that close's result
    for (const p of ep.trades) {
      const xe = x(p.entryT);
      for (const c of p.closes) {
        ctx.strokeStyle = p.side * (c.price - p.entry) >= 0 ? COLORS.up : COLORS.down;
        ctx.setLineDash([3, 3]);
        line(ctx, xe, y(p.entry), x(c.t), y(c.price));
        ctx.setLineDash([]);
        cross(ctx, x(c.t), y(c.price), ctx.strokeStyle);
      }
      if (p.units === 0) marker(ctx, xe, y(p.entry), p.side === Side.BUY ? "up" : "down", p.side === Side.BUY ? COLORS.buy : COLORS.sell);
    }

    // open positions with their exits
    for (const p of ep.positions.values()) {
      const x0 = x(p.entryT);
      const color = p.side === Side.BUY ? COLORS.up : COLORS.down;
      ctx.strokeStyle = color;
      ctx.lineWidth = 2;
      line(ctx, x0, y(p.entry), w - right, y(p.entry));
      ctx.lineWidth = 1;
      marker(ctx, x0, y(p.entry), p.side === Side.BUY ? "up" : "down", p.side === Side.BUY ? COLORS.buy : COLORS.sell);
      const pnl = p.side * (price - p.entry) * p.units;
      label(ctx, x0 + 6, y(p.entry) - 4, `#${p.id} ${sideName(p.side)} ${fmt(p.units)} @ ${fmt(p.entry, 2)} (${pnl >= 0 ? "+" : ""}${fmt(pnl)})`, color);
      for (const [v, c, name] of [[p.tp, COLORS.tp, "TP"], [p.sl, COLORS.sl, "SL"], [trailLevel(p), COLORS.trail, "trail"]]) {
        if (v === null || !Number.isFinite(v)) continue;
        ctx.strokeStyle = c;
        ctx.setLineDash([1, 3]);
        line(ctx, x0, y(v), w - right, y(v));
        ctx.setLineDash([]);
        label(ctx, w - right - 80, y(v) - 3, `#${p.id} ${name} ${fmt(v, 2)}`, c);
      }
    }

    // pending orders
    for (const o of ep.orders.values()) {
      const color = o.side === Side.BUY ? COLORS.buy : COLORS.sell;
      ctx.strokeStyle = color;
      ctx.setLineDash([6, 4]);
      line(ctx, x(ep.start + o.placedStep), y(o.price), w - right, y(o.price));
      ctx.setLineDash([]);
      const kind = `${o.side === Side.BUY ? "BUY" : "SELL"} ${o.type === OrderType.LIMIT ? "LMT" : "STP"}`;
      const exp = o.expiryStep === null ? "" : ` until step ${o.expiryStep}`;
      label(ctx, x(ep.start + o.placedStep) + 6, y(o.price) + 12, `#${o.id} ${kind} ${fmt(o.units)} @ ${fmt(o.price, 2)}${exp}`, color);
    }

    ctx.fillStyle = COLORS.text;
    ctx.font = "12px sans-serif";
    ctx.fillText(`${ep.typeName} episode ${ep.index} · step ${ep.step}/${ep.length}`, left + 4, h - bottom - 6);
  }

  drawEquity(canvas, size) {
    const g = setupCanvas(canvas, size);
    const ep = this.sim.ep;
    if (!ep) {
      message(g, "equity appears once an episode runs");
      return;
    }
    const { ctx, w, h } = g;
    const initial = this.sim.cfg.initial_balance;
    const pts = ep.equity;
    const values = pts.flatMap((p) => [p.equity, p.balance]).concat([initial]);
    let lo = Math.min(...values), hi = Math.max(...values);
    const pad = (hi - lo) * 0.1 || Math.max(1, initial * 0.001);
    lo -= pad;
    hi += pad;
    const left = 10, right = 64, top = 16, bottom = 8;
    const x = (s) => left + s / ep.length * (w - left - right);
    const y = (v) => top + (hi - v) / (hi - lo) * (h - top - bottom);
    ctx.font = "11px sans-serif";
    ctx.strokeStyle = COLORS.dim;
    ctx.setLineDash([4, 4]);
    line(ctx, left, y(initial), w - right, y(initial));
    ctx.setLineDash([]);
    ctx.fillStyle = COLORS.dim;
    ctx.fillText(fmt(initial, 0), w - right + 6, y(initial) + 4);
    for (const [key, color] of [["balance", COLORS.balance], ["equity", COLORS.equity]]) {
      ctx.strokeStyle = color;
      ctx.lineWidth = key === "equity" ? 2 : 1;
      ctx.beginPath();
      pts.forEach((p, i) => (i ? ctx.lineTo(x(p.step), y(p[key])) : ctx.moveTo(x(p.step), y(p[key]))));
      ctx.stroke();
    }
    ctx.lineWidth = 1;
    const lastPt = pts[pts.length - 1];
    tag(ctx, w - right + 2, y(lastPt.equity), fmt(lastPt.equity, 0), COLORS.equity, "#000");
    ctx.fillStyle = COLORS.equity;
    ctx.fillText("equity", left + 4, 12);
    ctx.fillStyle = COLORS.balance;
    ctx.fillText("balance (realised)", left + 52, 12);
  }
}

function setupCanvas(canvas, { w, h }) {
  const dpr = window.devicePixelRatio || 1;
  labelRight = w - 68;
  if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) {
    canvas.width = Math.round(w * dpr);
    canvas.height = Math.round(h * dpr);
  }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  // The rounded corners are drawn here, on the page's own background: a CSS
  // border-radius would make the compositor mask the whole canvas every frame.
  ctx.fillStyle = COLORS.page;
  ctx.fillRect(0, 0, w, h);
  ctx.fillStyle = COLORS.bg;
  ctx.beginPath();
  ctx.roundRect(0, 0, w, h, CORNER_RADIUS);
  ctx.fill();
  return { ctx, w, h };
}

function message({ ctx, w, h }, text) {
  ctx.fillStyle = COLORS.dim;
  ctx.font = "14px sans-serif";
  ctx.textAlign = "center";
  ctx.fillText(text, w / 2, h / 2);
  ctx.textAlign = "left";
}

function line(ctx, x0, y0, x1, y1) {
  ctx.beginPath();
  ctx.moveTo(x0, y0);
  ctx.lineTo(x1, y1);
  ctx.stroke();
}

// Boxes of the labels drawn in the current frame; a label that would cover
// another is left out (its line is still drawn) so the text stays readable.
let placedLabels = [];
let labelRight = 0;  // labels end left of the price axis of the canvas being drawn

function label(ctx, x, y, text, color) {
  ctx.font = "11px sans-serif";
  const width = ctx.measureText(text).width;
  // Labels of late orders would run off the plot; pull them back inside.
  const x0 = Math.max(4, Math.min(x, labelRight - width));
  const box = { x0, x1: x0 + width, y0: y - 10, y1: y + 2 };
  if (placedLabels.some((b) => b.x0 < box.x1 && box.x0 < b.x1 && b.y0 < box.y1 && box.y0 < b.y1)) return;
  placedLabels.push(box);
  ctx.fillStyle = "rgba(17, 21, 28, 0.8)";
  ctx.fillRect(box.x0 - 2, box.y0, width + 4, 13);
  ctx.fillStyle = color;
  ctx.fillText(text, x0, y);
}

function tag(ctx, x, y, text, bg, fg) {
  ctx.font = "11px sans-serif";
  const tw = ctx.measureText(text).width + 8;
  ctx.fillStyle = bg;
  ctx.fillRect(x, y - 8, tw, 16);
  ctx.fillStyle = fg;
  ctx.fillText(text, x + 4, y + 4);
}

function marker(ctx, x, y, dir, color) {
  ctx.fillStyle = color;
  ctx.beginPath();
  const s = dir === "up" ? 1 : -1;
  ctx.moveTo(x, y);
  ctx.lineTo(x - 5, y + 9 * s);
  ctx.lineTo(x + 5, y + 9 * s);
  ctx.closePath();
  ctx.fill();
}

function cross(ctx, x, y, color) {
  ctx.strokeStyle = color;
  ctx.lineWidth = 2;
  line(ctx, x - 4, y - 4, x + 4, y + 4);
  line(ctx, x - 4, y + 4, x + 4, y - 4);
  ctx.lineWidth = 1;
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"]/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;" })[c]);
}

