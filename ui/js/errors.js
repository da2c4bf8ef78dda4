// The err/sub codes this page puts into ErrorResponse frames. A request that
// cannot be served throws SimError; the connection turns it into an error
// record and the engine raises it in Python as
// RuntimeError("RpcError(seq=..., fnId=..., err=..., sub=...): message").

export const Err = Object.freeze({
  REQUEST: 1,   // the frame or payload itself is wrong
  STATE: 2,     // the request is fine but the session is not in a state to serve it
  CANDLES: 3,   // init_candles: the candle matrix is not usable
  EPISODE: 4,   // reset_episode: no such episode
  ORDER: 5,     // place_order / place_ticket: values the market cannot take
  CLOSE: 6,     // close_positions: an entry that cannot be applied
  INTERNAL: 9,  // a fault in the page itself (a bug); the message says what
});

export const Sub = Object.freeze({
  // Err.REQUEST
  UNKNOWN_FN: 1,
  MALFORMED: 2,       // wrong length or layout
  BAD_FIELD: 3,       // a field holds a value outside its code set
  BAD_VERSION: 4,     // frame version other than 1
  BAD_LENGTH: 5,      // frame length differs from 16 + payloadLen
  // Err.STATE
  NO_CANDLES: 1,
  NO_EPISODE: 2,
  EPISODE_DONE: 3,    // the episode has taken all its steps
  EPISODE_ENDED: 4,   // end_session was called for this episode
  // Err.CANDLES
  COLUMNS: 1,
  TOO_FEW_ROWS: 2,
  NOT_FINITE: 3,
  INCONSISTENT: 4,    // low/high do not enclose open and close
  NEGATIVE: 5,        // a price <= 0 or a volume < 0
  // Err.EPISODE
  INDEX_RANGE: 1,
  NO_SUCH_TYPE: 2,
  // Err.ORDER
  BAD_PRICE: 1,
  BAD_UNITS: 2,
  BAD_TIME_LIMIT: 3,
  BAD_EXIT: 4,        // take-profit, stop-loss or trailing stop negative or not finite
  // Err.CLOSE
  UNKNOWN_ID: 1,
  UNKNOWN_ACTION: 2,
  BAD_RATIO: 3,
  DUPLICATE_ID: 4,
  WRONG_TARGET: 5,    // e.g. a reduce aimed at a pending order
  // Err.INTERNAL
  EXCEPTION: 1,
});

export class SimError extends Error {
  constructor(err, sub, message) {
    super(message);
    this.name = "SimError";
    this.err = err;
    this.sub = sub;
  }
}
