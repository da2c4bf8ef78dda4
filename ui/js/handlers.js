// Maps each fnId to the simulation: decodes the request payload into plain
// arguments, calls the MarketSim and encodes its answer in the result
// layout the engine expects. Throws SimError for anything it cannot serve.

import { Err, Sub, SimError } from "./errors.js";
import {
  FnId, PayloadError,
  decodeCloseStep, decodeMatF64, decodeResetEpisode, decodeVecF64,
  encodeMatF64, encodeU32, encodeUtf8, encodeVecF64, encodeVecMatF64,
} from "./protocol.js";
import {
  CLOSE_COLUMNS, EVENT_COLUMNS, OrderType, Side, SUMMARY_COLUMNS, TICKET_COLUMNS, WINDOW_COLUMNS,
} from "./sim.js";

const EMPTY = new Uint8Array(0);

function malformed(message) {
  return new SimError(Err.REQUEST, Sub.MALFORMED, message);
}

function badField(message) {
  return new SimError(Err.REQUEST, Sub.BAD_FIELD, message);
}

function requireEmpty(name, payload) {
  if (payload.byteLength !== 0) throw malformed(`${name} takes no payload, got ${payload.byteLength} bytes`);
}

function oneOf(name, value, allowed) {
  if (!allowed.includes(value)) throw badField(`${name} must be one of ${allowed.join(", ")}, got ${value}`);
  return value;
}

/**
 * place_order vector (13 values): 0 constant 1, 1 price, 2-5 presence of
 * take-profit / stop-loss / trailing stop / time limit (1 given, -1 absent),
 * 6 side (1 buy, -1 sell), 7 type (1 limit, -1 stop), 8 units,
 * 9-11 exits encoded as v*100-1 (v a fraction of the fill price), 12 time limit.
 */
export function decodeOrder(values) {
  if (values.length !== 13) throw malformed(`place_order expects 13 values, got ${values.length}`);
  oneOf("place_order slot 0", values[0], [1]);
  const present = [2, 3, 4, 5].map((i) => oneOf(`place_order presence slot ${i}`, values[i], [1, -1]) === 1);
  const exit = (k) => (present[k] ? (values[9 + k] + 1) / 100 : null);
  return {
    price: values[1],
    side: oneOf("place_order side", values[6], [Side.BUY, Side.SELL]),
    type: oneOf("place_order type", values[7], [OrderType.LIMIT, OrderType.STOP]),
    units: values[8],
    tp: exit(0),
    sl: exit(1),
    ts: exit(2),
    timeLimit: present[3] ? values[12] : null,
  };
}

/**
 * place_ticket vector (9 values): 0 constant 1, 1-3 presence of take-profit /
 * stop-loss / trailing stop (1 given, 0 absent), 4 side (1 buy, 0 sell),
 * 5 units, 6-8 exits encoded as v-1 (v a price distance).
 */
export function decodeTicket(values) {
  if (values.length !== 9) throw malformed(`place_ticket expects 9 values, got ${values.length}`);
  oneOf("place_ticket slot 0", values[0], [1]);
  const present = [1, 2, 3].map((i) => oneOf(`place_ticket presence slot ${i}`, values[i], [1, 0]) === 1);
  const exit = (k) => (present[k] ? values[6 + k] + 1 : null);
  return {
    side: oneOf("place_ticket side", values[4], [1, 0]) === 1 ? Side.BUY : Side.SELL,
    units: values[5],
    tp: exit(0),
    sl: exit(1),
    ts: exit(2),
  };
}

/** Returns dispatch(fnId, payload) -> Uint8Array (the Response payload). */
export function createDispatcher(sim) {
  const table = new Map([
    [FnId.INIT_CANDLES, (p) => {
      const { rows, cols, data } = decodeMatF64(p);
      sim.loadCandles(rows, cols, data);
      return EMPTY;
    }],
    [FnId.RESET_EPISODE, (p) => {
      const { index, typeCode } = decodeResetEpisode(p);
      return encodeU32(sim.resetEpisode(index, typeCode));
    }],
    [FnId.GET_RL_CONFIG, (p) => {
      requireEmpty("get_rl_config", p);
      return encodeUtf8(JSON.stringify(sim.configObject()));
    }],
    [FnId.GET_SYNC_POLICY, (p) => {
      requireEmpty("get_sync_policy", p);
      return Uint8Array.of(sim.syncPolicyCode());
    }],
    [FnId.STEP_NEXT, (p) => {
      requireEmpty("step_next", p);
      sim.step();
      return EMPTY;
    }],
    [FnId.STEP_AND_SYNC, (p) => {
      requireEmpty("step_and_sync", p);
      sim.step();
      return encodeVecMatF64(sim.snapshot(), sim.windowRows(), WINDOW_COLUMNS.length);
    }],
    [FnId.GET_SNAPSHOT, (p) => {
      requireEmpty("get_snapshot", p);
      return encodeVecF64(sim.snapshot());
    }],
    [FnId.GET_TICKET_LIST, (p) => {
      requireEmpty("get_ticket_list", p);
      return encodeMatF64(sim.ticketRows(), TICKET_COLUMNS.length);
    }],
    [FnId.GET_OHLC, (p) => {
      requireEmpty("get_ohlc", p);
      return encodeMatF64(sim.ohlcRows(), WINDOW_COLUMNS.length);
    }],
    [FnId.FETCH_EVENTS, (p) => {
      requireEmpty("fetch_events", p);
      return encodeMatF64(sim.takeEvents(), EVENT_COLUMNS.length);
    }],
    [FnId.PLACE_ORDER, (p) => encodeVecF64(sim.placeOrder(decodeOrder(decodeVecF64(p))))],
    [FnId.PLACE_TICKET, (p) => encodeVecF64(sim.placeTicket(decodeTicket(decodeVecF64(p))))],
    [FnId.CLOSE_POSITIONS, (p) => {
      const { ids, actions, ratios } = decodeCloseStep(p);
      return encodeMatF64(sim.closePositions(ids, actions, ratios), CLOSE_COLUMNS.length);
    }],
    [FnId.END_SESSION, (p) => {
      requireEmpty("end_session", p);
      return encodeMatF64(sim.endSession(), SUMMARY_COLUMNS.length);
    }],
  ]);

  return function dispatch(fnId, payload) {
    const handler = table.get(fnId);
    if (!handler) throw new SimError(Err.REQUEST, Sub.UNKNOWN_FN, `unknown fnId ${fnId}`);
    try {
      return handler(payload);
    } catch (e) {
      if (e instanceof PayloadError) throw malformed(e.message);
      throw e;
    }
  };
}
