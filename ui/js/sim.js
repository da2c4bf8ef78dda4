// The market simulation behind every request. Pure state and arithmetic:
// no DOM, no WebSocket, no bytes. The dispatcher (handlers.js) decodes the
// wire payloads into plain arguments and encodes what these methods return.
//
// Time: an episode starts at candle `start` (its close is the first price
// the agent sees) and every step moves to the next candle. Orders and
// positions are checked against the high/low of the new candle; a position
// is checked for exits from the candle after the one it opened on.

import { Err, Sub, SimError } from "./errors.js";

export const CANDLE_COLUMNS = ["open", "high", "low", "close", "volume"];
export const SNAPSHOT_FIELDS = [
  "step", "candle_index", "price", "balance", "equity", "unrealized_pnl", "realized_pnl",
  "net_units", "open_positions", "pending_orders", "closed_trades", "last_reward", "done",
];
export const WINDOW_COLUMNS = ["candle_index", "open", "high", "low", "close", "volume"];
export const TICKET_COLUMNS = [
  "id", "kind", "side", "order_type", "units", "price", "take_profit", "stop_loss",
  "trailing_stop", "expiry_step", "unrealized_pnl", "opened_step",
];
export const EVENT_COLUMNS = ["event_no", "step", "candle_index", "code", "id", "side", "units", "price", "pnl"];
export const CLOSE_COLUMNS = ["id", "action", "units", "price", "pnl", "remaining_units"];
export const SUMMARY_COLUMNS = [
  "position_id", "side", "units", "entry_step", "entry_price", "exit_step", "exit_price",
  "pnl", "exit_reason", "return",
];
export const PLACE_RESULT_FIELDS = ["id", "status", "price", "units", "side"];

export const Side = Object.freeze({ BUY: 1, SELL: -1 });
export const OrderType = Object.freeze({ LIMIT: 1, STOP: -1, MARKET: 0 });
export const TicketKind = Object.freeze({ PENDING_ORDER: 0, POSITION: 1 });
export const PlaceStatus = Object.freeze({ PENDING: 0, FILLED: 1 });
export const Action = Object.freeze({ CLOSE: 1, REDUCE: 2, CANCEL_ORDER: 3 });

export const Event = Object.freeze({
  ORDER_PLACED: 1,
  ORDER_FILLED: 2,
  ORDER_CANCELLED: 3,
  ORDER_EXPIRED: 4,
  TICKET_OPENED: 5,
  POSITION_REDUCED: 6,
  POSITION_CLOSED: 7,
  TAKE_PROFIT: 8,
  STOP_LOSS: 9,
  TRAILING_STOP: 10,
  SESSION_END_CLOSE: 11,
  EPISODE_RESET: 12,
  EPISODE_DONE: 13,
});

export const DEFAULT_CONFIG = Object.freeze({
  seed: 7,
  episode_length: 50,
  window: 20,
  initial_balance: 10000,
  test_fraction: 0.25,
  sync_policy: "eager",
});

// A remainder this small (relative to the opening size) after a reduce is
// rounding noise, not a position.
const DUST = 1e-9;

export class MarketSim {
  constructor(config = {}) {
    this.cfg = { ...DEFAULT_CONFIG, ...config };
    this.candles = null; // Float64Array, rows x 5, row-major
    this.rows = 0;
    this.ep = null;
    this.nextId = 1;
    this.results = []; // one entry per episode finished with end_session
    this.revision = 0; // bumped on every change; the view redraws on it
  }

  // ------------------------------------------------------------ session

  loadCandles(rows, cols, data) {
    const { window: K, episode_length: L } = this.cfg;
    if (cols !== 5) {
      throw new SimError(Err.CANDLES, Sub.COLUMNS,
        `candles need 5 columns (open, high, low, close, volume), got ${cols}`);
    }
    if (rows < K + L) {
      throw new SimError(Err.CANDLES, Sub.TOO_FEW_ROWS,
        `candles need at least ${K + L} rows (window ${K} + episode length ${L}), got ${rows}`);
    }
    for (let r = 0; r < rows; r++) {
      const [o, h, l, c, v] = data.subarray(r * 5, r * 5 + 5);
      if (![o, h, l, c, v].every(Number.isFinite)) {
        throw new SimError(Err.CANDLES, Sub.NOT_FINITE, `candle ${r} holds a value that is not finite`);
      }
      if (!(o > 0 && h > 0 && l > 0 && c > 0) || v < 0) {
        throw new SimError(Err.CANDLES, Sub.NEGATIVE, `candle ${r}: prices must be > 0 and volume >= 0`);
      }
      if (!(l <= Math.min(o, c) && Math.max(o, c) <= h)) {
        throw new SimError(Err.CANDLES, Sub.INCONSISTENT,
          `candle ${r}: low ${l} and high ${h} must enclose open ${o} and close ${c}`);
      }
    }
    this.candles = Float64Array.from(data);
    this.rows = rows;
    this.ep = null;
    this.results = [];
    this.nextId = 1;
    this.touch();
  }

  /** How the candles are cut into episodes: fixed windows, training first, test last. */
  layout() {
    const { window: K, episode_length: L, test_fraction } = this.cfg;
    const slots = this.rows >= K + L ? Math.floor((this.rows - K) / L) : 0;
    let test = slots >= 2 ? Math.max(1, Math.floor(slots * test_fraction)) : 0;
    if (test >= slots) test = Math.max(0, slots - 1);
    return { slots, train: slots - test, test };
  }

  /** First candle of an episode: slot k starts at (window - 1) + k * episode_length. */
  episodeStart(typeCode, index) {
    const { window: K, episode_length: L } = this.cfg;
    const slot = typeCode === 0 ? index : this.layout().train + index;
    return K - 1 + slot * L;
  }

  configObject() {
    const { train, test } = this.layout();
    return {
      ...this.cfg,
      candles: this.rows,
      train_episodes: train,
      test_episodes: test,
      candle_columns: CANDLE_COLUMNS,
      snapshot_fields: SNAPSHOT_FIELDS,
      window_columns: WINDOW_COLUMNS,
      ticket_columns: TICKET_COLUMNS,
      event_columns: EVENT_COLUMNS,
      close_columns: CLOSE_COLUMNS,
      summary_columns: SUMMARY_COLUMNS,
      place_result_fields: PLACE_RESULT_FIELDS,
      action_codes: { close: Action.CLOSE, reduce: Action.REDUCE, cancel_order: Action.CANCEL_ORDER },
      event_codes: Object.fromEntries(Object.entries(Event).map(([k, v]) => [k.toLowerCase(), v])),
    };
  }

  syncPolicyCode() {
    return this.cfg.sync_policy === "deferred" ? 0 : 1;
  }

  resetEpisode(index, typeCode) {
    if (typeCode !== 0 && typeCode !== 1) {
      throw new SimError(Err.REQUEST, Sub.BAD_FIELD, `episode type must be 0 (train) or 1 (test), got ${typeCode}`);
    }
    if (!this.candles) throw new SimError(Err.STATE, Sub.NO_CANDLES, "no candles loaded: call init_candles first");
    const typeName = typeCode === 0 ? "train" : "test";
    const count = typeCode === 0 ? this.layout().train : this.layout().test;
    if (count === 0) throw new SimError(Err.EPISODE, Sub.NO_SUCH_TYPE, `there are no ${typeName} episodes`);
    if (index >= count) {
      throw new SimError(Err.EPISODE, Sub.INDEX_RANGE,
        `${typeName} episode ${index} out of range: ${count} ${typeName} episodes`);
    }
    const start = this.episodeStart(typeCode, index);
    const balance = this.cfg.initial_balance;
    this.ep = {
      typeCode, typeName, index, start,
      t: start, step: 0, length: this.cfg.episode_length,
      balance, realized: 0, lastReward: 0,
      orders: new Map(), positions: new Map(), trades: [],
      events: [], eventCursor: 0, eventNo: 0,
      equity: [{ step: 0, t: start, equity: balance, balance }],
      done: false, ended: false,
    };
    this.event(Event.EPISODE_RESET, { id: index, side: typeCode, price: this.price() });
    this.touch();
    return start;
  }

  // ------------------------------------------------------------ stepping

  step() {
    const ep = this.requireEpisode();
    if (ep.done) {
      throw new SimError(Err.STATE, Sub.EPISODE_DONE,
        `episode has taken all its ${ep.length} steps: call end_session or reset_episode`);
    }
    const before = this.equity();
    ep.t += 1;
    ep.step += 1;
    const bar = this.candle(ep.t);
    for (const order of [...ep.orders.values()]) {
      const fill = fillPrice(order, bar);
      if (fill !== null) {
        ep.orders.delete(order.id);
        this.openPosition(order.id, order.side, order.units, fill, order.type, {
          tp: order.tp === null ? null : fill * (1 + order.side * order.tp),
          sl: order.sl === null ? null : fill * (1 - order.side * order.sl),
          trail: order.ts === null ? null : order.ts * fill,
        });
        this.event(Event.ORDER_FILLED, { id: order.id, side: order.side, units: order.units, price: fill });
      } else if (order.expiryStep !== null && ep.step >= order.expiryStep) {
        ep.orders.delete(order.id);
        this.event(Event.ORDER_EXPIRED, { id: order.id, side: order.side, units: order.units, price: order.price });
      }
    }
    for (const pos of [...ep.positions.values()]) {
      if (pos.entryStep < ep.step) this.checkExits(pos, bar);
    }
    const after = this.equity();
    ep.lastReward = after - before;
    ep.equity.push({ step: ep.step, t: ep.t, equity: after, balance: ep.balance });
    if (ep.step >= ep.length) {
      ep.done = true;
      this.event(Event.EPISODE_DONE, { id: ep.index, side: ep.typeCode, price: bar.c });
    }
    this.touch();
  }

  checkExits(pos, bar) {
    if (pos.side === Side.BUY) {
      const trail = pos.trail === null ? -Infinity : pos.best - pos.trail;
      const sl = pos.sl === null ? -Infinity : pos.sl;
      const stop = Math.max(trail, sl);
      // Stops are looked at before the take-profit: within one candle the
      // order of high and low is unknown, and assuming the worse is honest.
      if (stop > -Infinity && bar.l <= stop) {
        this.closeUnits(pos, pos.units, Math.min(stop, bar.o), sl >= trail ? Event.STOP_LOSS : Event.TRAILING_STOP);
      } else if (pos.tp !== null && bar.h >= pos.tp) {
        this.closeUnits(pos, pos.units, Math.max(pos.tp, bar.o), Event.TAKE_PROFIT);
      } else {
        pos.best = Math.max(pos.best, bar.h);
      }
    } else {
      const trail = pos.trail === null ? Infinity : pos.best + pos.trail;
      const sl = pos.sl === null ? Infinity : pos.sl;
      const stop = Math.min(trail, sl);
      if (stop < Infinity && bar.h >= stop) {
        this.closeUnits(pos, pos.units, Math.max(stop, bar.o), sl <= trail ? Event.STOP_LOSS : Event.TRAILING_STOP);
      } else if (pos.tp !== null && bar.l <= pos.tp) {
        this.closeUnits(pos, pos.units, Math.min(pos.tp, bar.o), Event.TAKE_PROFIT);
      } else {
        pos.best = Math.min(pos.best, bar.l);
      }
    }
  }

  // ------------------------------------------------------------ trading

  /** A limit or stop order; exits are fractions of the fill price. */
  placeOrder({ side, type, price, units, tp, sl, ts, timeLimit }) {
    const ep = this.requireEpisode();
    if (!(Number.isFinite(price) && price > 0)) {
      throw new SimError(Err.ORDER, Sub.BAD_PRICE, `order price must be finite and > 0, got ${price}`);
    }
    checkUnits(units);
    checkExitValues({ tp, sl, ts });
    if (timeLimit !== null && !(Number.isFinite(timeLimit) && timeLimit > 0)) {
      throw new SimError(Err.ORDER, Sub.BAD_TIME_LIMIT, `time limit must be finite and > 0 steps, got ${timeLimit}`);
    }
    const id = this.nextId++;
    ep.orders.set(id, {
      id, side, type, price, units, tp, sl, ts,
      placedStep: ep.step,
      expiryStep: timeLimit === null ? null : ep.step + Math.ceil(timeLimit),
    });
    this.event(Event.ORDER_PLACED, { id, side, units, price });
    this.touch();
    return [id, PlaceStatus.PENDING, price, units, side];
  }

  /** A market ticket, filled at once at the current close; exits are price distances. */
  placeTicket({ side, units, tp, sl, ts }) {
    this.requireEpisode();
    checkUnits(units);
    checkExitValues({ tp, sl, ts });
    const id = this.nextId++;
    const price = this.price();
    this.openPosition(id, side, units, price, OrderType.MARKET, {
      tp: tp === null ? null : price + side * tp,
      sl: sl === null ? null : price - side * sl,
      trail: ts,
    });
    this.event(Event.TICKET_OPENED, { id, side, units, price });
    this.touch();
    return [id, PlaceStatus.FILLED, price, units, side];
  }

  /**
   * Applies every entry or none: all entries are checked before the first
   * one takes effect, so a refused request leaves the book unchanged.
   */
  closePositions(ids, actions, ratios) {
    const ep = this.requireEpisode();
    const seen = new Set();
    for (let i = 0; i < ids.length; i++) {
      const id = ids[i];
      const action = actions[i];
      if (seen.has(id)) throw new SimError(Err.CLOSE, Sub.DUPLICATE_ID, `entry ${i}: id ${id} appears twice`);
      seen.add(id);
      if (action === Action.CLOSE || action === Action.REDUCE) {
        if (!ep.positions.has(id)) {
          if (ep.orders.has(id)) {
            throw new SimError(Err.CLOSE, Sub.WRONG_TARGET,
              `entry ${i}: ${id} is a pending order; use action 3 to cancel it`);
          }
          throw new SimError(Err.CLOSE, Sub.UNKNOWN_ID, `entry ${i}: no open position with id ${id}`);
        }
        if (action === Action.REDUCE && !(ratios[i] >= 0 && ratios[i] <= 1)) {
          throw new SimError(Err.CLOSE, Sub.BAD_RATIO, `entry ${i}: reduce ratio must lie in [0, 1], got ${ratios[i]}`);
        }
      } else if (action === Action.CANCEL_ORDER) {
        if (!ep.orders.has(id)) {
          if (ep.positions.has(id)) {
            throw new SimError(Err.CLOSE, Sub.WRONG_TARGET,
              `entry ${i}: ${id} is an open position; use action 1 or 2`);
          }
          throw new SimError(Err.CLOSE, Sub.UNKNOWN_ID, `entry ${i}: no pending order with id ${id}`);
        }
      } else {
        throw new SimError(Err.CLOSE, Sub.UNKNOWN_ACTION,
          `entry ${i}: unknown action ${action} (1 close, 2 reduce, 3 cancel order)`);
      }
    }
    const price = this.price();
    const rows = [];
    for (let i = 0; i < ids.length; i++) {
      const id = ids[i];
      const action = actions[i];
      if (action === Action.CANCEL_ORDER) {
        const order = ep.orders.get(id);
        ep.orders.delete(id);
        this.event(Event.ORDER_CANCELLED, { id, side: order.side, units: order.units, price: order.price });
        rows.push([id, action, order.units, order.price, 0, 0]);
        continue;
      }
      const pos = ep.positions.get(id);
      const units = action === Action.CLOSE ? pos.units : pos.units * ratios[i];
      const pnl = this.closeUnits(pos, units, price, Event.POSITION_CLOSED);
      rows.push([id, action, units, price, pnl, pos.units]);
    }
    this.touch();
    return rows;
  }

  endSession() {
    const ep = this.requireEpisode();
    const price = this.price();
    for (const pos of [...ep.positions.values()]) this.closeUnits(pos, pos.units, price, Event.SESSION_END_CLOSE);
    for (const order of [...ep.orders.values()]) {
      ep.orders.delete(order.id);
      this.event(Event.ORDER_CANCELLED, { id: order.id, side: order.side, units: order.units, price: order.price });
    }
    ep.ended = true;
    ep.equity[ep.equity.length - 1] = { step: ep.step, t: ep.t, equity: this.equity(), balance: ep.balance };
    const rows = ep.trades.map((p) => [
      p.id, p.side, p.initialUnits, p.entryStep, p.entry, p.exitStep, p.exitValue / p.closedUnits,
      p.realized, p.exitReason, p.realized / (p.entry * p.initialUnits),
    ]);
    const initial = this.cfg.initial_balance;
    this.results.push({
      type: ep.typeName, index: ep.index, start: ep.start, steps: ep.step, trades: rows.length,
      pnl: ep.balance - initial, ret: (ep.balance - initial) / initial,
    });
    this.touch();
    return rows;
  }

  // ------------------------------------------------------------ queries

  snapshot() {
    const ep = this.requireEpisode({ allowEnded: true });
    let net = 0;
    for (const p of ep.positions.values()) net += p.side * p.units;
    const closed = ep.trades.filter((p) => p.units === 0).length;
    return [
      ep.step, ep.t, this.price(), ep.balance, this.equity(), this.unrealized(), ep.realized,
      net, ep.positions.size, ep.orders.size, closed, ep.lastReward, ep.done ? 1 : 0,
    ];
  }

  /** The last `window` candles up to the current one, with their indices. */
  windowRows() {
    const ep = this.requireEpisode({ allowEnded: true });
    return this.candleRows(ep.t - this.cfg.window + 1, ep.t);
  }

  /** The episode's candles so far: its history window and every step taken. */
  ohlcRows() {
    const ep = this.requireEpisode({ allowEnded: true });
    return this.candleRows(ep.start - this.cfg.window + 1, ep.t);
  }

  ticketRows() {
    const ep = this.requireEpisode({ allowEnded: true });
    const rows = [];
    for (const o of ep.orders.values()) {
      rows.push([
        o.id, TicketKind.PENDING_ORDER, o.side, o.type, o.units, o.price,
        o.tp === null ? NaN : o.price * (1 + o.side * o.tp),
        o.sl === null ? NaN : o.price * (1 - o.side * o.sl),
        NaN, o.expiryStep === null ? NaN : o.expiryStep, 0, o.placedStep,
      ]);
    }
    const close = this.price();
    for (const p of ep.positions.values()) {
      rows.push([
        p.id, TicketKind.POSITION, p.side, p.orderType, p.units, p.entry,
        p.tp === null ? NaN : p.tp, p.sl === null ? NaN : p.sl, trailLevel(p),
        NaN, p.side * (close - p.entry) * p.units, p.entryStep,
      ]);
    }
    rows.sort((a, b) => a[0] - b[0]);
    return rows;
  }

  /** Events not fetched before, oldest first. */
  takeEvents() {
    const ep = this.requireEpisode({ allowEnded: true });
    const rows = ep.events.slice(ep.eventCursor);
    ep.eventCursor = ep.events.length;
    return rows;
  }

  // ------------------------------------------------------------ helpers

  requireEpisode({ allowEnded = false } = {}) {
    if (!this.candles) throw new SimError(Err.STATE, Sub.NO_CANDLES, "no candles loaded: call init_candles first");
    if (!this.ep) throw new SimError(Err.STATE, Sub.NO_EPISODE, "no episode: call reset_episode first");
    if (this.ep.ended && !allowEnded) {
      throw new SimError(Err.STATE, Sub.EPISODE_ENDED, "episode ended by end_session: call reset_episode");
    }
    return this.ep;
  }

  candle(t) {
    const c = this.candles;
    const i = t * 5;
    return { o: c[i], h: c[i + 1], l: c[i + 2], c: c[i + 3], v: c[i + 4] };
  }

  candleRows(from, to) {
    const rows = [];
    for (let t = Math.max(0, from); t <= to; t++) {
      const b = this.candle(t);
      rows.push([t, b.o, b.h, b.l, b.c, b.v]);
    }
    return rows;
  }

  price() {
    return this.candles[this.ep.t * 5 + 3];
  }

  unrealized() {
    const close = this.price();
    let sum = 0;
    for (const p of this.ep.positions.values()) sum += p.side * (close - p.entry) * p.units;
    return sum;
  }

  equity() {
    return this.ep.balance + this.unrealized();
  }

  openPosition(id, side, units, price, orderType, exits) {
    const ep = this.ep;
    const pos = {
      id, side, units, initialUnits: units, entry: price, entryStep: ep.step, entryT: ep.t, orderType,
      tp: exits.tp, sl: exits.sl, trail: exits.trail, best: price,
      closedUnits: 0, exitValue: 0, realized: 0, exitStep: NaN, exitT: NaN, exitReason: 0,
      closes: [], // every partial or full close: {t, price, units}
    };
    ep.positions.set(id, pos);
    ep.trades.push(pos);
    return pos;
  }

  /** Closes `units` of a position at `price`; returns the realised profit. */
  closeUnits(pos, units, price, reason) {
    const ep = this.ep;
    const pnl = pos.side * (price - pos.entry) * units;
    pos.units -= units;
    if (pos.units <= DUST * pos.initialUnits) pos.units = 0;
    pos.realized += pnl;
    pos.closedUnits += units;
    pos.exitValue += units * price;
    pos.closes.push({ t: ep.t, price, units });
    ep.balance += pnl;
    ep.realized += pnl;
    const code = pos.units === 0 ? reason : Event.POSITION_REDUCED;
    if (pos.units === 0) {
      ep.positions.delete(pos.id);
      pos.exitStep = ep.step;
      pos.exitT = ep.t;
      pos.exitReason = reason;
    }
    this.event(code, { id: pos.id, side: pos.side, units, price, pnl });
    return pnl;
  }

  event(code, { id = 0, side = 0, units = 0, price = NaN, pnl = 0 } = {}) {
    const ep = this.ep;
    ep.eventNo += 1;
    ep.events.push([ep.eventNo, ep.step, ep.t, code, id, side, units, price, pnl]);
  }

  touch() {
    this.revision += 1;
  }
}

export function trailLevel(pos) {
  if (pos.trail === null) return NaN;
  return pos.side === Side.BUY ? pos.best - pos.trail : pos.best + pos.trail;
}

/** The price a pending order fills at on this candle, or null. Gaps fill at the open. */
function fillPrice(order, bar) {
  const buy = order.side === Side.BUY;
  if (order.type === OrderType.LIMIT) {
    if (buy) return bar.l <= order.price ? Math.min(order.price, bar.o) : null;
    return bar.h >= order.price ? Math.max(order.price, bar.o) : null;
  }
  if (buy) return bar.h >= order.price ? Math.max(order.price, bar.o) : null;
  return bar.l <= order.price ? Math.min(order.price, bar.o) : null;
}

function checkUnits(units) {
  if (!(Number.isFinite(units) && units > 0)) {
    throw new SimError(Err.ORDER, Sub.BAD_UNITS, `units must be finite and > 0, got ${units}`);
  }
}

function checkExitValues(values) {
  for (const [name, v] of Object.entries(values)) {
    if (v !== null && !(Number.isFinite(v) && v >= 0)) {
      throw new SimError(Err.ORDER, Sub.BAD_EXIT, `${name} must be finite and >= 0, got ${v}`);
    }
  }
}
