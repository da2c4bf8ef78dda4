// Wires the page together: reads the query string, builds the simulation,
// the dispatcher, the engine connection and the view, and exposes a small
// handle (window.uiPeer) for tests and for the demo.

import { EngineConnection } from "./connection.js";
import { createDispatcher } from "./handlers.js";
import { FnId } from "./protocol.js";
import { DEFAULT_CONFIG, MarketSim } from "./sim.js";
import { View } from "./view.js";

const DEFAULT_WS = "ws://127.0.0.1:8765";

// Requests after which a "deferred" page redraws; an "eager" one redraws after every request.
const SYNC_POINTS = new Set([FnId.INIT_CANDLES, FnId.RESET_EPISODE, FnId.STEP_AND_SYNC, FnId.END_SESSION]);

export function readConfig(search) {
  const q = new URLSearchParams(search);
  const num = (name, fallback, ok) => {
    const v = Number(q.get(name));
    return q.has(name) && Number.isFinite(v) && ok(v) ? v : fallback;
  };
  const int = (v) => Number.isInteger(v);
  return {
    ws: q.get("ws") || DEFAULT_WS,
    draw: q.get("draw") !== "0",
    sim: {
      seed: num("seed", DEFAULT_CONFIG.seed, int),
      episode_length: num("episode_length", DEFAULT_CONFIG.episode_length, (v) => int(v) && v >= 1),
      window: num("window", DEFAULT_CONFIG.window, (v) => int(v) && v >= 1),
      initial_balance: num("balance", DEFAULT_CONFIG.initial_balance, (v) => v > 0),
      test_fraction: num("test_fraction", DEFAULT_CONFIG.test_fraction, (v) => v >= 0 && v < 1),
      sync_policy: q.get("sync") === "deferred" ? "deferred" : "eager",
    },
  };
}

function main() {
  const { ws, draw, sim: simConfig } = readConfig(window.location.search);
  const sim = new MarketSim(simConfig);
  let view = null;
  const connection = new EngineConnection(ws, createDispatcher(sim), {
    onChange: (record) => {
      if (!view) return;
      if (!record || sim.cfg.sync_policy === "eager" || SYNC_POINTS.has(record.fnId)) view.requestRender();
    },
  });
  view = new View(document, sim, connection, { draw });
  document.getElementById("ws-url").textContent = ws;
  // A deferred page still catches up now and then, so the view never goes stale.
  setInterval(() => view.requestRender(), 500);
  window.addEventListener("resize", () => view.requestRender());
  window.uiPeer = {
    sim,
    connection,
    view,
    drop: () => connection.drop(),
    delayAnswers: (ms, count = 1) => connection.delayAnswers(ms, count),
    status: () => ({
      state: connection.state,
      detail: connection.detail,
      libraryVersion: connection.libraryVersion,
      ...connection.stats,
      lastClose: connection.stats.lastClose && { ...connection.stats.lastClose },
      frames: view.renders,
    }),
    render: () => view.render(),
  };
  connection.start();
  view.requestRender();
}

main();
