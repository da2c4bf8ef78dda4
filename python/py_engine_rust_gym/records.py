"""Records of played episodes: one JSON file per episode, written by the page's runner as it ends.

    env = BrowserTradingEnv(record_dir="runs/eval")        # or make_vec(8, record_dir=...), Ray, RLlib
    env = RecordEpisodes(BrowserTradingEnv(), "runs/eval")  # the same as a wrapper (also of a make_vec)
    records = load_records(["runs/eval"])                     # or EpisodeRecord.load(one_file)

Every page records its own episodes: the runner that resets and steps it
(``PageRunner``) tells its ``EpisodeRecorder`` of each reset and each
finished step, so single and vector environments, Ray workers and RLlib's
env runners all record the same way. An episode is written when it ends
(terminated, truncated, or cut short by a page fault); one abandoned by a
reset, a close or an interrupted step is not. The files are written by a
thread of their own, never on the loop that steps the pages; closing the
environment, ``load_records`` and ``flush()`` wait until they are on disk.
Records are written where the environment runs: a Ray worker writes on its
own machine (``Rollout.records`` lists its files there).

The directory holds ``<UTC time>-<type><index>-<page's token>-<count>.json`` per episode
and ``markets/<sha256>.npy``, each market's candles once (a float64 array of
5 columns), which ``replay`` plays the episode on.

The record (``EpisodeRecord``, a JSON object):

``format``
    1.
``market``
    ``sha256`` of the candles (``data.candle_hash``), ``path``: the file they
    were read from or null, ``rows``, and ``file``: the candles' copy,
    relative to the record's directory (``markets/<sha256>.npy``).
``episode_type``, ``episode_index``, ``first_candle``
    The episode as the page cut it ("train" or "test", its index, the index
    of its first candle).
``seed``, ``reset_seed``
    The environment's ``seed`` (the page's query) and the seed of the last
    reset of the page that gave one (it drew the page's order of episodes;
    null if none did).
``settings``
    What the replay needs: ``episode_length``, ``window``, ``balance``,
    ``test_fraction``, ``sync``, ``observation``, ``units``, ``end_session``,
    ``viewport``, ``ui_url`` and ``action_scheme``: ``{"class":
    "module:Name", "arguments": {...}}`` (``TradeActions`` keeps its units and
    exits).
``actions``, ``rewards``, ``page_errors``
    One entry per step: the action as given (an int, or a list for array
    actions), the reward, and the ``page_error`` text ("" where none).
``prices``
    The close at the reset, then after each step (one more than the steps).
``terminated``, ``truncated``
    How the last step ended.
``pnl``, ``trade_count``, ``summary_columns``, ``trades``
    The page's trade summary at the end (``end_session``; its columns are
    ``summary_columns``, ui/README.md): its P&L (null when no summary came,
    after a page fault or with ``end_session=False``), its rows and the rows
    themselves.
``page``, ``slot``, ``slots``, ``host``, ``pid``, ``finished``, ``seconds``
    Which page played it (its label and share of the episodes), on which
    machine and process, when it ended (UTC, ISO 8601) and how long it took.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import datetime
import json
import logging
import os
import socket
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Union

import gymnasium
import numpy as np
from gymnasium.vector import VectorEnv, VectorWrapper

from .actions import describe_scheme
from .data import Market, read_market

LOG = logging.getLogger("py_engine_rust_gym")

FORMAT = 1
MARKETS = "markets"
#: The settings a replay needs, copied into every record.
REPLAY_SETTINGS = ("episode_length", "window", "balance", "test_fraction", "sync", "observation", "units",
                   "end_session", "viewport", "ui_url")


@dataclass
class EpisodeRecord:
    """One played episode (the fields are those of the file: see the module's docstring)."""

    market: Dict[str, Any]
    episode_type: str
    episode_index: int
    first_candle: int
    seed: int
    reset_seed: Optional[int]
    settings: Dict[str, Any]
    actions: List[Any]
    rewards: List[float]
    prices: List[float]
    page_errors: List[str]
    terminated: bool
    truncated: bool
    pnl: Optional[float]
    trade_count: int
    summary_columns: List[str]
    trades: List[List[float]]
    page: str = ""
    slot: int = 0
    slots: int = 1
    host: str = ""
    pid: int = 0
    finished: str = ""
    seconds: float = 0.0
    format: int = FORMAT
    #: Where the record was read from or written to (not part of the file).
    path: Optional[str] = field(default=None, compare=False)

    @classmethod
    def load(cls, path: "str | os.PathLike[str]") -> "EpisodeRecord":
        with open(path) as f:
            data = json.load(f)
        if data.get("format") != FORMAT:
            raise ValueError("%s: not an episode record of format %d (format %r)" % (path, FORMAT, data.get("format")))
        known = {f.name for f in dataclasses.fields(cls)} - {"path"}
        return cls(**{key: value for key, value in data.items() if key in known}, path=os.path.abspath(path))

    def to_json(self) -> str:
        # Field by field: asdict() would copy every list first.
        return json.dumps({f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.name != "path"})

    @property
    def steps(self) -> int:
        return len(self.rewards)

    @property
    def total_reward(self) -> float:
        return float(sum(self.rewards))

    @property
    def page_error(self) -> str:
        """What ended the episode early, if a page fault did."""
        return next((text for text in self.page_errors if text), "")

    @property
    def trade_table(self) -> np.ndarray:
        """``trades`` as an array with one column per name of ``summary_columns``."""
        return np.array(self.trades, dtype=np.float64).reshape(len(self.trades), len(self.summary_columns))

    def trade_column(self, name: str) -> np.ndarray:
        return self.trade_table[:, self.summary_columns.index(name)]

    @property
    def win_rate(self) -> float:
        """The share of trades with a profit (NaN without trades)."""
        pnl = self.trade_column("pnl")
        return float(np.mean(pnl > 0)) if len(pnl) else float("nan")

    @property
    def candles_file(self) -> str:
        """Where the market's candles were stored beside this record."""
        return os.path.join(os.path.dirname(self.path or "."), self.market["file"])

    def load_market(self) -> Market:
        """The market the episode was played on: the copy beside the record, or else the file it was read
        from, if its candles still have the recorded hash."""
        tried = []
        for where in (self.candles_file, self.market.get("path")):
            if not where or not os.path.isfile(where):
                tried.append("%s (missing)" % where if where else "no file was recorded")
                continue
            market = read_market(where)
            if market.sha256 == self.market["sha256"]:
                return Market(market.candles, market.sha256, self.market.get("path"))
            tried.append("%s (other candles: sha256 %s)" % (where, market.sha256[:12]))
        raise FileNotFoundError("the candles of market %s were not found: %s"
                                % (self.market["sha256"][:12], "; ".join(tried)))


def load_records(sources: Iterable[Union[str, "os.PathLike[str]", EpisodeRecord]]) -> List[EpisodeRecord]:
    """Records from files, from directories (each of their ``*.json``, in name order, which is the order
    they ended in) or already loaded; the records of this process still being written are waited for."""
    flush()
    records: List[EpisodeRecord] = []
    for source in sources:
        if isinstance(source, EpisodeRecord):
            records.append(source)
        elif os.path.isdir(source):
            names = sorted(name for name in os.listdir(source) if name.endswith(".json"))
            records.extend(EpisodeRecord.load(os.path.join(source, name)) for name in names)
        else:
            records.append(EpisodeRecord.load(source))
    return records


def plain(value: Any) -> Any:
    """A value as JSON takes it (NumPy scalars and arrays become numbers and lists)."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    return value


class RecordWriter:
    """The one thread of the process that writes records: a file is never written on the environments'
    loop, where it would hold up every page (a few hundred microseconds each, or far more for a market's
    candles). Writes are done in the order they were handed over; the thread is started on first use, made
    again in a child after ``fork()``, and finishes its writes when the interpreter exits."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._executor: Optional[concurrent.futures.ThreadPoolExecutor] = None

    def submit(self, write: Callable[[], None]) -> "concurrent.futures.Future[None]":
        with self._lock:
            if self._executor is None:
                self._executor = concurrent.futures.ThreadPoolExecutor(1, "py_engine_rust_gym-records")
            return self._executor.submit(write)

    def flush(self) -> None:
        """Returns once every write handed over before the call is done."""
        if self._executor is None:
            return
        try:
            done = self.submit(lambda: None)
        except RuntimeError:
            return  # the interpreter is exiting, and the thread has finished every write
        done.result()


WRITER = RecordWriter()
os.register_at_fork(after_in_child=WRITER.__init__)


def flush() -> None:
    """Waits until every record of this process that ended so far is on disk (closing an environment
    does too)."""
    WRITER.flush()


class EpisodeRecorder:
    """Keeps the episode of one page as it is played and has it written to ``directory`` when it ends.

    The page's runner calls ``began(runner, info)`` after each reset and
    ``stepped(runner, action, step)`` after each finished step. The file is
    written by ``WRITER``'s thread; ``written`` lists the files that are
    complete, ``failures`` the writes that failed (each also logged).
    """

    def __init__(self, directory: "str | os.PathLike[str]") -> None:
        self.directory = os.path.abspath(os.fspath(directory))
        os.makedirs(os.path.join(self.directory, MARKETS), exist_ok=True)
        self.written: List[str] = []
        self.failures: List[BaseException] = []
        self._record: Optional[EpisodeRecord] = None
        self._started = 0.0
        self._host, self._token, self._count = socket.gethostname(), uuid.uuid4().hex[:8], 0
        self._stored: Set[str] = set()

    def began(self, runner: Any, info: Dict[str, Any]) -> None:
        s, market = runner.settings, runner.settings.market
        settings = {name: plain(getattr(s, name)) for name in REPLAY_SETTINGS}
        settings["viewport"] = list(s.viewport)
        settings["action_scheme"] = describe_scheme(s.scheme)
        self._record = EpisodeRecord(
            market=dict(market.identity(), file="%s/%s.npy" % (MARKETS, market.sha256)),
            episode_type=info["episode_type"], episode_index=int(info["episode_index"]),
            first_candle=int(info["first_candle"]), seed=s.seed, reset_seed=runner.reset_seed, settings=settings,
            actions=[], rewards=[], prices=[float(info["price"])], page_errors=[], terminated=False,
            truncated=False, pnl=None, trade_count=0, summary_columns=list(runner.config["summary_columns"]),
            trades=[], page=runner.label, slot=s.episode_slot, slots=s.episode_slots, host=self._host,
            pid=os.getpid())
        self._started = time.monotonic()

    def stepped(self, runner: Any, action: Any, step: Any) -> None:
        record = self._record
        if record is None:
            return
        record.actions.append(plain(action))
        record.rewards.append(step.reward)
        record.prices.append(step.info["price"])
        record.page_errors.append(step.info.get("page_error", ""))
        if step.terminated or step.truncated:
            self._record = None
            record.terminated, record.truncated = step.terminated, step.truncated
            if "pnl" in step.info:
                trades = runner.last_trades
                record.pnl, record.trade_count = step.info["pnl"], step.info["trade_count"]
                record.trades = trades.tolist() if trades is not None and len(trades) else []
            self._finish(record, runner.settings.market)

    def _finish(self, record: EpisodeRecord, market: Market) -> None:
        now = datetime.datetime.now(datetime.timezone.utc)
        record.finished = now.isoformat(timespec="milliseconds")
        record.seconds = round(time.monotonic() - self._started, 3)
        self._count += 1
        record.path = os.path.join(self.directory, "%s-%s%05d-%s-%04d.json" % (
            now.strftime("%Y%m%dT%H%M%S.%f")[:-3], record.episode_type, record.episode_index, self._token,
            self._count))
        candles = None
        if market.sha256 not in self._stored:
            self._stored.add(market.sha256)
            candles = market.candles
        WRITER.submit(lambda: self._write(record, candles))

    def _write(self, record: EpisodeRecord, candles: Optional[np.ndarray]) -> None:
        """On the writer's thread."""
        try:
            if candles is not None:
                path = os.path.join(self.directory, record.market["file"])
                if not os.path.exists(path):
                    _write_atomically(path, lambda f: np.save(f, candles))
            text = record.to_json().encode()
            _write_atomically(record.path, lambda f: f.write(text))
        except BaseException as exc:
            self.failures.append(exc)
            LOG.error("%s: the record of %s episode %d was not written to %s: %s", record.page,
                      record.episode_type, record.episode_index, record.path, exc)
            return
        self.written.append(record.path)
        LOG.debug("%s: %s episode %d recorded in %s", record.page, record.episode_type, record.episode_index,
                  record.path)


def _write_atomically(path: str, write: Any) -> None:
    """Writes through a temporary file renamed into place: a reader never sees half a file, and pages
    writing the same market at once leave one whole copy."""
    temporary = "%s.%s.tmp" % (path, uuid.uuid4().hex[:8])
    with open(temporary, "wb") as f:
        write(f)
    os.replace(temporary, path)


def _runners(env: Any) -> List[Any]:
    from .env import BrowserTradingEnv
    from .vector import BrowserTradingVectorEnv
    base = env.unwrapped
    if isinstance(base, BrowserTradingVectorEnv):
        return list(base.runners)
    if isinstance(base, BrowserTradingEnv):
        return [base.runner]
    raise TypeError("RecordEpisodes records the environments of this package (BrowserTradingEnv, make_vec), "
                    "not %s; give the environments record_dir= instead (in every worker of a Gymnasium vectoriser)"
                    % type(base).__name__)


def record_into(env: Any, directory: "str | os.PathLike[str]") -> List[EpisodeRecorder]:
    """Makes every page of ``env`` record into ``directory`` from its next reset on."""
    recorders = []
    for runner in _runners(env):
        runner.recorder = EpisodeRecorder(directory)
        recorders.append(runner.recorder)
    return recorders


class RecordEpisodes(gymnasium.Wrapper):
    """Writes every episode of ``env`` that ends into ``directory`` (see the module's docstring): the same
    as ``record_dir=``, for an environment made already. Given a vector environment (``make_vec``),
    it returns a ``RecordVectorEpisodes``. ``written`` lists the files so far."""

    def __new__(cls, env: Any, directory: "str | os.PathLike[str]") -> Any:
        if isinstance(env, VectorEnv):
            return RecordVectorEpisodes(env, directory)
        return super().__new__(cls)

    def __init__(self, env: gymnasium.Env, directory: "str | os.PathLike[str]") -> None:
        super().__init__(env)
        self.recorders = record_into(env, directory)

    @property
    def written(self) -> List[str]:
        """The records written so far (waits for those still being written)."""
        return written_by(self.recorders)


class RecordVectorEpisodes(VectorWrapper):
    """``RecordEpisodes`` of a vector environment: every page records its own episodes."""

    def __init__(self, env: VectorEnv, directory: "str | os.PathLike[str]") -> None:
        super().__init__(env)
        self.recorders = record_into(env, directory)

    @property
    def written(self) -> List[str]:
        return written_by(self.recorders)


def written_by(recorders: Sequence[EpisodeRecorder]) -> List[str]:
    """The records of several pages, in the order they ended, once every one is on disk."""
    flush()
    return sorted((path for recorder in recorders for path in recorder.written), key=os.path.basename)
