// The page's side of the link: connects to the engine as the WebSocket
// client, checks its handshake, answers every Request frame with exactly one
// Response or ErrorResponse (same seq and fnId, in arrival order) and
// reconnects with a short backoff whenever the connection ends.

import { Err, Sub, SimError } from "./errors.js";
import {
  Kind, PROTOCOL_VERSION, decodeFrame, encodeErrorRecord, encodeFrame, fnName,
} from "./protocol.js";

export const State = Object.freeze({
  CONNECTING: "connecting",
  HANDSHAKE: "awaiting handshake",
  CONNECTED: "connected",
  RETRYING: "retrying",
  STOPPED: "stopped",
});

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class EngineConnection {
  /**
   * dispatch(fnId, payload) returns the Response payload or throws
   * (a SimError carries its err/sub codes; anything else is reported as an
   * internal error). onChange() is called on every state change and after
   * every answered request with the request record.
   */
  constructor(url, dispatch, { onChange = () => {}, baseBackoffMs = 250, maxBackoffMs = 4000, log = console } = {}) {
    this.url = url;
    this.dispatch = dispatch;
    this.onChange = onChange;
    this.baseBackoffMs = baseBackoffMs;
    this.maxBackoffMs = maxBackoffMs;
    this.log = log;
    this.ws = null;
    this.link = null; // {ws, opened, greeted} of the current connection
    this.state = State.STOPPED;
    this.detail = "";
    this.backoffMs = baseBackoffMs;
    this.retryTimer = null;
    this.queue = Promise.resolve();
    this.delays = []; // test hook: answer the next requests late
    this.libraryVersion = null;
    this.recent = []; // the last answered requests, newest last
    this.stats = {
      attempts: 0,       // WebSocket objects created
      connections: 0,    // handshakes received
      refusals: 0,       // attempts that closed before opening (refused origin, engine not up)
      drops: 0,          // connections that ended after the handshake
      requests: 0,
      errors: 0,         // ErrorResponse frames sent
      lost: 0,           // requests not served because their connection was gone
      ignored: 0,        // received messages that were not requests
      lastSeq: null,
      firstSeq: null,    // seq of the first request on the current connection
      connectionRequests: 0,
      lastClose: null,
    };
  }

  start() {
    if (this.state !== State.STOPPED) return;
    this.open();
  }

  stop() {
    clearTimeout(this.retryTimer);
    const ws = this.ws;
    this.ws = null;
    this.link = null;
    if (ws) ws.close();
    this.setState(State.STOPPED, "stopped by the page");
  }

  /**
   * Test and demo hook: end the current connection from the page side. The
   * engine reads nothing between its calls, so a closing handshake would
   * never complete; the page lets go at once and reconnects.
   */
  drop() {
    const link = this.link;
    if (!link) return;
    link.ws.close(4000, "dropped by the page");
    this.closed(link, 4000);
  }

  /** Test hook: answer the next `count` requests after `ms` milliseconds. */
  delayAnswers(ms, count = 1) {
    for (let i = 0; i < count; i++) this.delays.push(ms);
  }

  setState(state, detail = "") {
    this.state = state;
    this.detail = detail;
    this.onChange(null);
  }

  open() {
    this.retryTimer = null;
    this.stats.attempts += 1;
    let ws;
    try {
      ws = new WebSocket(this.url);
    } catch (e) {
      this.setState(State.STOPPED, `bad engine address ${this.url}: ${e.message}`);
      return;
    }
    ws.binaryType = "arraybuffer";
    const link = { ws, opened: false, greeted: false };
    this.ws = ws;
    this.link = link;
    // Answers of a connection wait only for earlier answers of the same one.
    this.queue = Promise.resolve();
    this.setState(State.CONNECTING, this.url);
    ws.onopen = () => {
      if (link !== this.link) return;
      link.opened = true;
      this.setState(State.HANDSHAKE, this.url);
    };
    ws.onmessage = (ev) => {
      if (link !== this.link) return;
      if (typeof ev.data === "string") {
        if (this.onText(ev.data)) link.greeted = true;
      } else {
        this.onBinary(ws, ev.data);
      }
    };
    ws.onerror = () => {
      // onclose follows with the details; nothing to do twice.
    };
    ws.onclose = (ev) => this.closed(link, ev.code);
  }

  /** The connection of `link` has ended: count it and schedule the next attempt. */
  closed(link, code) {
    if (link !== this.link) return;
    this.link = null;
    this.ws = null;
    const { opened, greeted } = link;
    this.stats.lastClose = { code, opened, greeted };
    if (greeted) {
      this.stats.drops += 1;
      this.backoffMs = this.baseBackoffMs;
    } else if (!opened) {
      this.stats.refusals += 1;
    }
    const why = greeted
      ? `connection dropped (code ${code})`
      : opened ? `closed before the handshake (code ${code})`
        : "connection refused (engine not listening, or this page's origin is not allowed)";
    this.log.warn(`[ui] ${why}; retrying in ${this.backoffMs} ms`);
    this.scheduleRetry(why);
  }

  scheduleRetry(why) {
    const delay = this.backoffMs;
    this.backoffMs = Math.min(this.maxBackoffMs, this.backoffMs * 2);
    this.setState(State.RETRYING, `${why}; retrying in ${delay} ms`);
    this.retryTimer = setTimeout(() => this.open(), delay);
  }

  /** Returns true when the text was the engine's handshake. */
  onText(text) {
    let msg = null;
    try {
      msg = JSON.parse(text);
    } catch {
      // not JSON: fall through to the warning
    }
    if (msg && msg.type === "handshake") {
      this.libraryVersion = msg.python_library_version ?? null;
      this.stats.connections += 1;
      this.stats.firstSeq = null;
      this.stats.connectionRequests = 0;
      this.setState(State.CONNECTED, `engine library ${this.libraryVersion}`);
      this.log.info(`[ui] connected to ${this.url} (library ${this.libraryVersion})`);
      return true;
    }
    this.log.warn(`[ui] ignored text message: ${text.slice(0, 200)}`);
    return false;
  }

  onBinary(ws, data) {
    let frame;
    try {
      frame = decodeFrame(data);
    } catch (e) {
      // Shorter than a header: there is no seq to answer with.
      this.stats.ignored += 1;
      this.log.warn(`[ui] ignored binary message: ${e.message}`);
      return;
    }
    if (frame.kind !== Kind.REQUEST) {
      this.stats.ignored += 1;
      return;
    }
    // One chain keeps answers in arrival order even when one is delayed.
    this.queue = this.queue.then(() => this.answer(ws, frame)).catch((e) => {
      this.log.error("[ui] answering failed", e);
    });
  }

  async answer(ws, frame) {
    const delay = this.delays.shift();
    if (delay) await sleep(delay);
    const { seq, fnId } = frame;
    if (ws.readyState !== WebSocket.OPEN) {
      // The engine gave up on this request and dropped the link; it cannot
      // see an answer, so the request is not carried out either.
      this.stats.lost += 1;
      this.log.warn(`[ui] ${fnName(fnId)} seq ${seq} not served: its connection is gone`);
      return;
    }
    let kind = Kind.RESPONSE;
    let payload;
    let failure = null;
    try {
      if (frame.version !== PROTOCOL_VERSION) {
        throw new SimError(Err.REQUEST, Sub.BAD_VERSION, `frame version ${frame.version}, expected ${PROTOCOL_VERSION}`);
      }
      if (!frame.lengthOk) {
        throw new SimError(Err.REQUEST, Sub.BAD_LENGTH,
          `frame states ${frame.payloadLen} payload bytes, carries ${frame.payload.byteLength}`);
      }
      payload = this.dispatch(fnId, frame.payload);
    } catch (e) {
      failure = e instanceof SimError
        ? e
        : new SimError(Err.INTERNAL, Sub.EXCEPTION, `page fault in ${fnName(fnId)}: ${e && e.message ? e.message : e}`);
      if (!(e instanceof SimError)) this.log.error("[ui] internal error", e);
      kind = Kind.ERROR_RESPONSE;
      payload = encodeErrorRecord(failure.err, failure.sub, failure.message);
    }
    const st = this.stats;
    st.requests += 1;
    st.lastSeq = seq;
    if (st.firstSeq === null) st.firstSeq = seq;
    st.connectionRequests += 1;
    if (failure) st.errors += 1;
    ws.send(encodeFrame(kind, seq, fnId, payload));
    const record = {
      seq, fnId, name: fnName(fnId), ok: !failure,
      err: failure ? failure.err : 0, sub: failure ? failure.sub : 0, message: failure ? failure.message : "",
    };
    this.recent.push(record);
    if (this.recent.length > 50) this.recent.shift();
    this.onChange(record);
  }
}
