"""Gymnasium environments over the trading page of ui/, driven through ``py_engine_rust``.

    import gymnasium, py_engine_rust_gym
    env = gymnasium.make("py_engine_rust_gym/BrowserTrading-v0", episode_length=50)
    vec = py_engine_rust_gym.make_vec(8)          # 8 pages stepped concurrently

Each ``BrowserTradingEnv`` owns one engine (``RustEngineAsync`` on 127.0.0.1,
a port the system picks) and one page of ui/ in headless Chromium, in a
browser context of its own; every environment of a process shares one
Chromium, started with the first and closed with the last. The page's files
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
"episode_type": "train" | "test"})`` starts that one; without options the
next training episode in order (cycling); ``reset(seed=s)`` draws where that
order starts from the seed. The reward of a step is the snapshot's
``last_reward`` (the change of equity over the step), so the rewards of an
episode add up to its P&L. ``truncated`` when the page says the episode has
taken all its steps (``done``); ``terminated`` when equity has fallen to zero
or below (the account cannot trade any more; there is no margin on the page).
At the end the environment calls ``end_session`` (unless
``end_session=False``) and puts the page's trade summary in ``info["trades"]``
and its total in ``info["pnl"]``. Every info holds the snapshot's ``step``,
``price``, ``balance``, ``equity``, ``unrealized_pnl``, ``realized_pnl`` and
``net_units``.

A step sends the action's operations and ``step_and_sync`` together and
awaits them together: one round trip (``close all`` needs a ticket list
first only when the page itself changed the positions).

Keyword arguments (``gymnasium.make`` passes them on)
-----------------------------------------------------

``candles``, ``episode_length`` (50), ``window`` (20), ``balance`` (10000),
``test_fraction`` (0.25), ``seed`` (7), ``sync`` (``"deferred"``: the page
redraws at steps and twice a second; ``"eager"``: after every request),
``action_scheme``, ``units``, ``observation``, ``render_mode``
(``"rgb_array"``: ``render()`` returns the page's screenshot as (height,
width, 3) uint8; ``"human"``: the page in a visible window, needs a
display; ``None``, the default: the page is told it is hidden and draws
nothing, which makes each step several times cheaper for Chromium),
``chromium``, ``ui_url`` (another page to load instead of ui/;
it gets the same query string), ``connect_timeout`` (30 s),
``viewport`` ((1200, 800)), ``end_session`` (True).

Sync, async, notebooks
----------------------

Engines and pages run on one event loop in a thread owned by this package.
``reset``/``step``/``render``/``close`` block the calling thread (a loop
already running there, as in a notebook, is paused, not re-entered);
``areset``/``astep``/``arender``/``aclose`` (and ``BrowserTradingEnv.acreate``)
await the same work from any ``async`` code.

Errors: ``ChromiumNotFoundError``, ``BrowserLaunchError``,
``DisplayNotFoundError``, ``PageConnectError`` (the page did not load or
never connected: names the URL, the origin and the timeout) and
``PageCrashedError`` (the page crashed; ``reset()`` opens a new page and
engine), all ``BrowserTradingError``, a ``RuntimeError``.

``close()`` closes the page, then the engine (its port is free at once); the
last environment closes Chromium. Environments left open are closed when
collected and when the interpreter exits, also after an uncaught exception.

Ray and RLlib
-------------

``py_engine_rust_gym.ray`` (``pip install "py_engine_rust[gym,ray]"``, CPython
only): ``EnvWorker``, a Ray actor that owns one ``make_vec`` on the node where
it runs, and ``WorkerPool``, which collects rollouts from many of them across
a cluster and replaces those that die. ``py_engine_rust_gym.rllib.env_creator``
makes the environments of RLlib's env runners (``tune.register_env``). This
package imports neither.
"""

from __future__ import annotations

import gymnasium

from ._browser import CHROMIUM_ARGS
from .actions import ActionScheme, TargetPositionActions, TradeActions, Trader
from .candles import synthetic_candles
from .env import BrowserTradingEnv
from .errors import (BrowserLaunchError, BrowserTradingError, ChromiumNotFoundError, DisplayNotFoundError,
                     PageConnectError, PageCrashedError)
from .observations import ObservationBuilder
from .vector import BrowserTradingVectorEnv, make_vec

ENV_ID = "py_engine_rust_gym/BrowserTrading-v0"

__all__ = [
    "ENV_ID", "CHROMIUM_ARGS", "BrowserTradingEnv", "BrowserTradingVectorEnv", "make_vec", "ActionScheme",
    "TradeActions", "TargetPositionActions", "Trader", "ObservationBuilder", "synthetic_candles",
    "BrowserTradingError", "ChromiumNotFoundError", "BrowserLaunchError", "DisplayNotFoundError",
    "PageConnectError", "PageCrashedError",
]

if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="py_engine_rust_gym.env:BrowserTradingEnv",
        vector_entry_point="py_engine_rust_gym.vector:BrowserTradingVectorEnv",
        nondeterministic=False,
    )
