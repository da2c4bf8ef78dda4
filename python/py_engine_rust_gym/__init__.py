"""Gymnasium environments over the trading page of ui/, driven through ``py_engine_rust``.

    import gymnasium, py_engine_rust_gym
    env = gymnasium.make("py_engine_rust_gym/BrowserTrading-v0", episode_length=50)
    vec = py_engine_rust_gym.make_vec(8)          # 8 pages stepped concurrently
    vec = py_engine_rust_gym.make_vec(8, candles="prices.csv", record_dir="runs/train")

Each ``BrowserTradingEnv`` owns one engine (``RustEngineAsync`` on 127.0.0.1,
a port the system picks) and one page of ui/ in headless Chromium, in a
renderer process of its own (a tab of one shared browser context, which
Playwright does not attach to, unless the environment renders: then a
Playwright page in a context of its own); every environment of a process
shares one Chromium, started with the first and closed with the last. The page's files
are served from this package over HTTP on 127.0.0.1. Chromium is Debian's
(``apt-get install chromium``) or any given with ``chromium=PATH``;
Playwright drives it and never downloads a browser.

Spaces (from the page's ``get_rl_config``; the layouts are in ui/README.md)
---------------------------------------------------------------------------

Observation, ``observation="features"`` (default): ``Box(float32)`` of
``window * 5 + 6`` values. For each of the last ``window`` candles (the rows
of ``step_and_sync``, oldest first, ``window`` from the configuration):
``log(open / price)``, ``log(high / price)``, ``log(low / price)``,
``log(close / price)`` where ``price`` is the current close, and
``log1p(volume)`` minus its mean over the window. Then the account, from the
snapshot fields of the same names: ``net_units / units`` (the net position
in trade sizes), ``unrealized_pnl / initial_balance``,
``equity / initial_balance - 1``, ``step / episode_length`` (in [0, 1]),
``open_positions`` and ``pending_orders`` (>= 0).

Observation, ``observation="raw"``: ``Dict`` of the page's own arrays,
float64: ``"snapshot"``, ``Box`` of the ``snapshot_fields`` (``step`` in
[0, episode_length], ``candle_index`` in [0, candles - 1], ``price`` and the
counts >= 0, ``done`` in [0, 1], money unbounded) and ``"window"``,
``Box(window, len(window_columns))`` (candle index in [0, candles - 1],
prices and volume >= 0).

Action, ``action_scheme="trade"`` (default): ``Discrete(4)``, 0 hold, 1 buy,
2 sell, 3 close all. Buy and sell open a market ticket of ``units`` (default
10); close all closes every open position at the current close.
``action_scheme="target"``: ``Discrete(3)``, the position to hold: 0 flat,
1 long ``units``, 2 short ``units``. Any other: pass an ``ActionScheme``
(a ``space`` and an ``async apply(action, trader)`` that places orders
through the ``Trader``), e.g. ``TradeActions(units=5, stop_loss=0.5)``.

Episodes, rewards, ends
-----------------------

The candles (an array of 5 columns given as ``candles=``, or synthetic ones:
``candles=None`` makes enough for 32 episodes, an int makes that many rows,
from ``seed``) are cut by the page into training and test episodes of
``episode_length`` steps. ``reset(options={"episode_index": i,
"episode_type": "train" | "test"})`` starts that one. Without an index the
page's schedule gives the next one (``EpisodeSchedule``): in order, or in an
order drawn from ``reset(seed=s)``; the type is the one the last reset chose
(training at first), and autoresets keep it. The pages of ``make_vec`` (and
of Ray workers and RLlib env runners) share out the episodes so that no two
play the same one at the same time, as long as there are at least as many
episodes as pages (with more pages, they spread evenly, and a warning says
so). ``candles`` may also be a list of markets, one per page (cycled).

The reward of a step is the snapshot's ``last_reward`` (the change of
equity over the step), so the rewards of an episode add up to its P&L.
``truncated`` when the page says the episode has taken all its steps
(``done``); ``terminated`` when equity has fallen to zero or below (the
account cannot trade any more; there is no margin on the page). At the end
the environment calls ``end_session`` (unless ``end_session=False``):
``info["pnl"]`` is the total of the page's trade summary and
``info["trade_count"]`` its rows; the summary itself is
``env.episode_trades`` (``envs.call("episode_trades")``), since its length
varies. ``evaluate(envs, policy)`` plays every test episode once and returns
one row per episode (return, P&L, trades).

Infos have the same keys and shapes in every environment, so that any
vectoriser stacks them (Gymnasium's ``SyncVectorEnv`` and ``AsyncVectorEnv``,
RLlib's env runners, SB3): every step ``step`` (int), ``price``,
``balance``, ``equity``, ``unrealized_pnl``, ``realized_pnl``, ``net_units``
(floats); after a reset also ``episode_type`` (str), ``episode_index`` and
``first_candle`` (ints); at an episode's end ``pnl`` (float) and
``trade_count`` (int); ``page_error`` (str) when a page fault ended the
episode; ``action_error`` (str) when the page refused an order of the step.

A step sends the action's operations and ``step_and_sync`` together and
awaits them together: one round trip (``close all`` needs a ticket list
first only when the page itself changed the positions).

Faults of the page
------------------

A page that crashes, does not answer within ``step_timeout`` seconds (a hung
renderer) or loses its connection ends only its own episode, in the step
where that happens: ``truncated=True``, its last good observation, reward 0
and ``info["page_error"]`` (``_page_error`` is the mask in a vector
environment); ``step()`` raises nothing for it. The page is opened again in
the background (``reopen_count``, ``reopen_counts``; each is logged), and
the next ``reset`` (the next step of a vector environment, as Gymnasium's
next-step autoreset does) starts a new episode on it. A step interrupted by
Ctrl-C or a cancelled task ends its episodes too. Invalid actions still
raise ``ValueError`` before anything is sent to any page, and a page that
cannot be opened again three times in a row raises ``BrowserTradingError``.

Keyword arguments (``gymnasium.make`` passes them on)
-----------------------------------------------------

All of them are fields of ``EnvSettings``, which holds their defaults:
``candles``, ``episode_length`` (50), ``window`` (20), ``balance`` (10000),
``test_fraction`` (0.25), ``seed`` (7), ``sync`` (``"deferred"``: the page
redraws at steps and twice a second; ``"eager"``: after every request),
``action_scheme``, ``units`` (10; a whole number, ``10.0`` is fine),
``observation``, ``render_mode`` (``"rgb_array"``: ``render()`` returns the
page's screenshot as (height, width, 3) uint8; ``"human"``: the page in a
visible window, or, without a display, headless with a warning, as under
``check_env``; ``None``, the default: the page is told it is hidden and
draws nothing, which makes each step several times cheaper for Chromium),
``chromium``, ``ui_url`` (another page to load instead of ui/; it gets the
same query string), ``connect_timeout`` (30 s), ``step_timeout`` (10 s),
``viewport`` ((1200, 800)), ``end_session`` (True), ``episode_slot`` and
``episode_slots`` (this page's share of the episodes among several),
``record_dir`` (None; see below).

Workflow: market data, records, replay, reports
-----------------------------------------------

``candles`` also takes a pandas DataFrame (the columns open, high, low,
close and volume found by name in any case; a time index or other columns
are fine), the path of a CSV, Parquet or ``.npy`` file, or, for
``make_vec``, a list of those, one market per page (cycled);
``load_candles(path)`` reads one into a (rows, 5) float64 array. Every row
is checked before anything is sent to a page: a value that is not finite,
a price of 0 or below, a negative volume, high below low, or open or close
outside [low, high] raises ``ValueError`` naming the row and the column.

``record_dir=DIR`` (or ``RecordEpisodes(env, DIR)`` around an environment
made already, single or vector; ``evaluate(..., record_dir=DIR)`` for what
it plays) writes every episode that ends to one JSON file in ``DIR``: the
market (hash of the candles, file), the episode, the seed and the settings,
every action, reward and page error, the P&L and the trades. The format is
described in ``py_engine_rust_gym.records``; the candles are stored once
per directory beside the records, so that a directory replays wherever it
is copied. The files are written by a thread of their own, never on the
loop that steps the pages; closing the environment, ``load_records`` and
``flush_records()`` wait until they are on disk. Ray workers and RLlib runners record on their own machine
(``Rollout.records`` lists a rollout's files there). Then, from a shell::

    python -m py_engine_rust_gym replay DIR/RECORD.json --video episode.mp4   # --png DIR, --headed --fps 2
    python -m py_engine_rust_gym report DIR --out report.png
    python -m py_engine_rust_gym doctor                      # checks the machine, says how to fix it

``replay`` plays the episode again on the page and exits non-zero at the
first step whose reward differs from the record (``replay()`` raises
``ReplayMismatch``); ``report`` draws the equity curve, the trades on the
price, the drawdown and a table of return, P&L, trades and win rate
(``report(records, out)``). Files, reports and videos need the ``data``
extra: ``pip install "py_engine_rust[data]"``.

Sync, async, notebooks, fork
----------------------------

Engines and pages run on one event loop in a thread owned by this package.
``reset``/``step``/``render``/``close`` block the calling thread (a loop
already running there, as in a notebook, is paused, not re-entered);
``areset``/``astep``/``arender``/``aclose`` (and ``BrowserTradingEnv.acreate``)
await the same work from any ``async`` code. A process made by ``fork()``
(Gymnasium's ``AsyncVectorEnv``, ``multiprocessing``) starts its own loop,
Chromium and engines; environments inherited from the parent refuse to work
there (``BrowserTradingError``) and closing them leaves the parent's alone.

Errors: ``ChromiumNotFoundError``, ``BrowserLaunchError``,
``PageConnectError`` (the page did not load or never connected: names the
URL, the origin and the timeout), ``PageRefusedError`` (the page answered
with an error record: ``err``, ``sub``) and the page faults
(``PageFault``: ``PageCrashedError``, ``PageTimeoutError``,
``PageDisconnectedError``), all ``BrowserTradingError``, a ``RuntimeError``.
The package logs through ``logging.getLogger("py_engine_rust_gym")`` and
prints nothing: Chromium started (its version) and closed, each page opened
and connected (with the time it took) and closed, the progress of opening
many pages, faults (crashes, timeouts, lost connections) and reopenings.

``close()`` closes the page, then the engine (its port is free at once); the
last environment closes Chromium. Environments left open are closed when
collected and when the interpreter exits, also after an uncaught exception.

Ray and RLlib
-------------

``py_engine_rust_gym.ray`` (``pip install "py_engine_rust[gym,ray]"``, CPython
only): ``EnvWorker``, a Ray actor that owns one ``make_vec`` on the node where
it runs, and ``WorkerPool``, which collects rollouts from many of them across
a cluster and replaces those that die; rollout ``i`` plays the same episodes
whichever worker runs it, and its ``final_observations`` and ``page_errors``
are kept. ``py_engine_rust_gym.rllib.env_creator`` makes the environments of
RLlib's env runners (``tune.register_env``), in both of RLlib's vectorise
modes, every sub-environment of every runner on its own episodes. This
package imports neither.
"""

from __future__ import annotations

import gymnasium

from ._browser import CHROMIUM_ARGS
from .actions import ActionScheme, TargetPositionActions, TradeActions, Trader
from .candles import synthetic_candles
from .data import Market, load_candles
from .env import BrowserTradingEnv
from .errors import (BrowserLaunchError, BrowserTradingError, ChromiumNotFoundError, DisplayNotFoundError,
                     PageConnectError, PageCrashedError, PageDisconnectedError, PageFault, PageRefusedError,
                     PageTimeoutError)
from .evaluation import EpisodeResult, evaluate
from .observations import ObservationBuilder
from .records import EpisodeRecord, RecordEpisodes, load_records
from .records import flush as flush_records
from .replay import ReplayMismatch, replay
from .reporting import report
from .schedule import EpisodeSchedule
from .settings import EnvSettings
from .vector import BrowserTradingVectorEnv, make_vec

ENV_ID = "py_engine_rust_gym/BrowserTrading-v0"

__all__ = [
    "ENV_ID", "CHROMIUM_ARGS", "EnvSettings", "BrowserTradingEnv", "BrowserTradingVectorEnv", "make_vec",
    "evaluate", "EpisodeResult", "EpisodeSchedule", "ActionScheme", "TradeActions", "TargetPositionActions",
    "Trader", "ObservationBuilder", "synthetic_candles", "load_candles", "Market", "RecordEpisodes", "EpisodeRecord",
    "load_records", "flush_records", "replay", "ReplayMismatch", "report", "BrowserTradingError", "ChromiumNotFoundError",
    "BrowserLaunchError", "DisplayNotFoundError", "PageConnectError", "PageFault", "PageCrashedError",
    "PageTimeoutError", "PageDisconnectedError", "PageRefusedError",
]

if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="py_engine_rust_gym.env:BrowserTradingEnv",
        vector_entry_point="py_engine_rust_gym.vector:BrowserTradingVectorEnv",
        nondeterministic=False,
    )
