// Wire format shared with the engine: the 16-byte frame header, the error
// record and the array payloads. Everything is little-endian. This module
// knows nothing about the simulation; it only turns bytes into numbers and
// back, and throws PayloadError when a payload does not have its layout.

export const PROTOCOL_VERSION = 1;
export const HEADER_LEN = 16;

export const Kind = Object.freeze({
  REQUEST: 1,
  RESPONSE: 2,
  ERROR_RESPONSE: 3,
  ECHO_REQUEST: 4,
  ECHO_REPLY: 5,
});

export const FnId = Object.freeze({
  STEP_NEXT: 2,
  GET_TICKET_LIST: 10,
  GET_SNAPSHOT: 12,
  GET_OHLC: 15,
  PLACE_ORDER: 20,
  PLACE_TICKET: 21,
  FETCH_EVENTS: 30,
  CLOSE_POSITIONS: 31,
  END_SESSION: 40,
  INIT_CANDLES: 100,
  RESET_EPISODE: 101,
  GET_RL_CONFIG: 102,
  GET_SYNC_POLICY: 120,
  STEP_AND_SYNC: 130,
});

const FN_NAMES = new Map(Object.entries(FnId).map(([name, id]) => [id, name.toLowerCase()]));

export function fnName(fnId) {
  return FN_NAMES.get(fnId) ?? `fn${fnId}`;
}

/** A payload or frame that does not match its layout. */
export class PayloadError extends Error {
  constructor(message) {
    super(message);
    this.name = "PayloadError";
  }
}

function viewOf(bytes) {
  return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

// ---------------------------------------------------------------- frames

/**
 * Reads a frame header. Returns {version, kind, seq, fnId, payloadLen,
 * payload, lengthOk}; `payload` is a view into `buffer`, not a copy.
 * Throws PayloadError only when the message is too short to hold a header,
 * because then there is no seq to answer with.
 */
export function decodeFrame(buffer) {
  const bytes = buffer instanceof Uint8Array ? buffer : new Uint8Array(buffer);
  if (bytes.byteLength < HEADER_LEN) {
    throw new PayloadError(`frame too short: ${bytes.byteLength} < ${HEADER_LEN}`);
  }
  const dv = viewOf(bytes);
  const payloadLen = dv.getUint32(12, true);
  return {
    version: dv.getUint8(0),
    kind: dv.getUint8(1),
    seq: dv.getUint32(4, true),
    fnId: dv.getUint16(8, true),
    payloadLen,
    lengthOk: bytes.byteLength === HEADER_LEN + payloadLen,
    payload: bytes.subarray(HEADER_LEN),
  };
}

export function encodeFrame(kind, seq, fnId, payload = new Uint8Array(0)) {
  const out = new Uint8Array(HEADER_LEN + payload.byteLength);
  const dv = new DataView(out.buffer);
  dv.setUint8(0, PROTOCOL_VERSION);
  dv.setUint8(1, kind);
  dv.setUint32(4, seq >>> 0, true);
  dv.setUint16(8, fnId, true);
  dv.setUint32(12, payload.byteLength, true);
  out.set(payload, HEADER_LEN);
  return out;
}

/** ErrorResponse payload: u16 err, u16 sub, u32 msgLen, UTF-8 message. */
export function encodeErrorRecord(err, sub, message) {
  const text = new TextEncoder().encode(String(message ?? ""));
  const out = new Uint8Array(8 + text.byteLength);
  const dv = new DataView(out.buffer);
  dv.setUint16(0, err, true);
  dv.setUint16(2, sub, true);
  dv.setUint32(4, text.byteLength, true);
  out.set(text, 8);
  return out;
}

// ---------------------------------------------------------------- arrays

/** VecF64: u32 n, then n float64. */
export function encodeVecF64(values) {
  const out = new Uint8Array(4 + 8 * values.length);
  const dv = new DataView(out.buffer);
  dv.setUint32(0, values.length, true);
  for (let i = 0; i < values.length; i++) dv.setFloat64(4 + 8 * i, values[i], true);
  return out;
}

/**
 * MatF64: u32 rows, u32 cols, rows*cols float64 row-major. `rows` is an
 * array of equally long number arrays; `cols` is given separately so that a
 * matrix without rows still states its column count.
 */
export function encodeMatF64(rows, cols) {
  const out = new Uint8Array(8 + 8 * rows.length * cols);
  const dv = new DataView(out.buffer);
  dv.setUint32(0, rows.length, true);
  dv.setUint32(4, cols, true);
  let off = 8;
  for (const row of rows) {
    if (row.length !== cols) throw new Error(`matrix row of ${row.length} values, expected ${cols}`);
    for (const v of row) {
      dv.setFloat64(off, v, true);
      off += 8;
    }
  }
  return out;
}

/** VecMatF64: a VecF64 immediately followed by a MatF64. */
export function encodeVecMatF64(vector, rows, cols) {
  const a = encodeVecF64(vector);
  const b = encodeMatF64(rows, cols);
  const out = new Uint8Array(a.byteLength + b.byteLength);
  out.set(a, 0);
  out.set(b, a.byteLength);
  return out;
}

export function decodeVecF64(bytes) {
  if (bytes.byteLength < 4) throw new PayloadError("VecF64 payload too short");
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  const expected = 4 + 8 * n;
  if (bytes.byteLength !== expected) {
    throw new PayloadError(`VecF64 length mismatch: expected ${expected}, got ${bytes.byteLength}`);
  }
  const values = new Float64Array(n);
  for (let i = 0; i < n; i++) values[i] = dv.getFloat64(4 + 8 * i, true);
  return values;
}

/** Returns {rows, cols, data} with data a row-major Float64Array. */
export function decodeMatF64(bytes) {
  if (bytes.byteLength < 8) throw new PayloadError("MatF64 payload too short");
  const dv = viewOf(bytes);
  const rows = dv.getUint32(0, true);
  const cols = dv.getUint32(4, true);
  // Doubles are exact up to 2^53, far beyond any length a message can have,
  // so an absurd header simply fails the comparison.
  const expected = 8 + 8 * rows * cols;
  if (bytes.byteLength !== expected) {
    throw new PayloadError(`MatF64 length mismatch: expected ${expected}, got ${bytes.byteLength}`);
  }
  const data = new Float64Array(rows * cols);
  for (let i = 0; i < data.length; i++) data[i] = dv.getFloat64(8 + 8 * i, true);
  return { rows, cols, data };
}

/** CloseStep: u32 n, n int32 ids, n int32 actions, n float64 ratios. */
export function decodeCloseStep(bytes) {
  if (bytes.byteLength < 4) throw new PayloadError("CloseStep payload too short");
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  const expected = 4 + 16 * n;
  if (bytes.byteLength !== expected) {
    throw new PayloadError(`CloseStep length mismatch: expected ${expected}, got ${bytes.byteLength}`);
  }
  const ids = new Int32Array(n);
  const actions = new Int32Array(n);
  const ratios = new Float64Array(n);
  for (let i = 0; i < n; i++) {
    ids[i] = dv.getInt32(4 + 4 * i, true);
    actions[i] = dv.getInt32(4 + 4 * n + 4 * i, true);
    ratios[i] = dv.getFloat64(4 + 8 * n + 8 * i, true);
  }
  return { ids, actions, ratios };
}

/** reset_episode request: u32 episode index, u8 type (0 training, 1 test). */
export function decodeResetEpisode(bytes) {
  if (bytes.byteLength !== 5) {
    throw new PayloadError(`reset_episode payload must be 5 bytes, got ${bytes.byteLength}`);
  }
  const dv = viewOf(bytes);
  return { index: dv.getUint32(0, true), typeCode: dv.getUint8(4) };
}

export function encodeU32(n) {
  const out = new Uint8Array(4);
  new DataView(out.buffer).setUint32(0, n >>> 0, true);
  return out;
}

export function encodeUtf8(text) {
  return new TextEncoder().encode(text);
}
