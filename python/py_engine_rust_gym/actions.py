"""Action spaces: how an agent's action becomes the page's trading operations.

An ``ActionScheme`` has a ``space`` and an ``apply(action, trader)``
coroutine. ``apply`` sends operations through the ``Trader`` without waiting
for their answers; the environment sends ``step_and_sync`` right behind them
and awaits everything together, so that a step usually costs one round trip.

Two schemes come with the package (``action_scheme="trade"`` or ``"target"``,
or an instance for other settings); any subclass of ``ActionScheme`` can be
passed instead.
"""

from __future__ import annotations

import numbers
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from gymnasium import spaces

CLOSE, REDUCE, CANCEL = 1, 2, 3


def integral_units(units: Any) -> int:
    """A trade size as the page takes it: a whole number >= 1, given as an int or an integral float."""
    value = float(units) if isinstance(units, numbers.Real) and not isinstance(units, bool) else float("nan")
    if not value.is_integer() or value < 1:
        raise ValueError("units must be a whole number >= 1 (an int, or a float such as 10.0), got %r" % (units,))
    return int(value)


class Book:
    """The ids of the open positions and pending orders, as the agent's own calls left them.

    The page can change the book by itself during a step (an order fills, an
    exit is hit, an order expires); every such change alters the snapshot's
    ``open_positions`` or ``pending_orders`` count, so a book whose counts
    disagree with the snapshot is read again from ``get_ticket_list``.
    """

    def __init__(self) -> None:
        self.positions: Dict[int, float] = {}   # id -> side (+1 long, -1 short)
        self.orders: Dict[int, float] = {}
        self.valid = True

    def clear(self) -> None:
        self.positions.clear()
        self.orders.clear()
        self.valid = True

    def check(self, open_positions: float, pending_orders: float) -> None:
        self.valid = self.valid and len(self.positions) == open_positions and len(self.orders) == pending_orders

    def load(self, tickets: np.ndarray, columns: List[str]) -> None:
        self.clear()
        if len(tickets):
            ident, kind, side = (columns.index(name) for name in ("id", "kind", "side"))
            for row in tickets:
                (self.positions if row[kind] == 1 else self.orders)[int(row[ident])] = float(row[side])

    def placed(self, result: np.ndarray) -> None:
        ident, status, side = int(result[0]), result[1], float(result[4])
        (self.positions if status == 1 else self.orders)[ident] = side

    def closed(self, rows: np.ndarray) -> None:
        for row in rows:
            ident, action, left = int(row[0]), row[1], row[5]
            if action == CANCEL:
                self.orders.pop(ident, None)
            elif left <= 0:
                self.positions.pop(ident, None)


class Trader:
    """The trading operations of one step, sent at once and answered with the step."""

    def __init__(self, session: Any, book: Book, snapshot: np.ndarray, fields: Dict[str, int],
                 timeout: Optional[float] = None) -> None:
        self._session = session
        self._engine = session.engine
        self._book = book
        self._fields = fields
        self._timeout = timeout
        #: The snapshot before this step (the page's layout: ``field("net_units")`` and so on).
        self.snapshot = snapshot
        self.pending: List[Tuple[Any, Optional[Callable[[Any], None]]]] = []

    def field(self, name: str) -> float:
        return float(self.snapshot[self._fields[name]])

    @property
    def net_units(self) -> float:
        return self.field("net_units")

    def _send(self, future: Any, on_result: Optional[Callable[[Any], None]] = None) -> Any:
        self.pending.append((self._session.issue(future), on_result))
        return future

    def place_ticket(self, side: str, units: float, take_profit: Optional[float] = None,
                     stop_loss: Optional[float] = None, trailing_stop: Optional[float] = None) -> Any:
        """A market order at the current close; exits are price distances (ui/README.md)."""
        return self._send(self._engine.place_ticket(side, units, take_profit=take_profit, stop_loss=stop_loss,
                                                    trailing_stop=trailing_stop, timeout_secs=self._timeout),
                          self._book.placed)

    def place_order(self, side: str, order_type: str, price: float, units: float, take_profit: Optional[float] = None,
                    stop_loss: Optional[float] = None, trailing_stop: Optional[float] = None,
                    time_limit: Optional[float] = None) -> Any:
        """A limit or stop order; exits are fractions of the fill price (ui/README.md)."""
        return self._send(self._engine.place_order(side, order_type, price, units, take_profit=take_profit,
                                                   stop_loss=stop_loss, trailing_stop=trailing_stop,
                                                   time_limit=time_limit, timeout_secs=self._timeout),
                          self._book.placed)

    def close_positions(self, ids: List[int], actions: List[int], ratios: List[float]) -> Any:
        return self._send(self._engine.close_positions(ids, actions, ratios, timeout_secs=self._timeout),
                          self._book.closed)

    async def positions(self) -> Dict[int, float]:
        """Open positions by id (value: side); one round trip only when the page changed the book."""
        if not self._book.valid:
            tickets = await self._session.call(self._engine.get_ticket_list(timeout_secs=self._timeout))
            self._book.load(tickets, list(self._session.config["ticket_columns"]))
        return dict(self._book.positions)

    async def close_all(self) -> None:
        """Closes every open position in full at the current close."""
        ids = list(await self.positions())
        if ids:
            self.close_positions(ids, [CLOSE] * len(ids), [0.0] * len(ids))


class ActionScheme:
    """Base of the action schemes: a ``space`` and an ``apply`` coroutine."""

    space: spaces.Space
    #: The trade size the observation scales the net position by.
    units: float = 1.0

    def check(self, action: Any) -> None:
        """Raises ``ValueError`` for an action outside the space, before anything is sent."""
        if not self.space.contains(action):
            raise ValueError("action %r is outside %s" % (action, self.space))

    def is_noop(self, action: Any, net_units: float) -> bool:
        """Whether ``apply`` would send nothing (then the step goes out without waiting for it);
        ``net_units`` is the position before the step."""
        return False

    def check_all(self, actions: Sequence[Any]) -> None:
        """``check`` of every page's action at once; the error names the first page whose action is bad."""
        for i, action in enumerate(actions):
            try:
                self.check(action)
            except ValueError as exc:
                raise ValueError("sub-environment %d: %s" % (i, exc)) from None

    def noops(self, actions: Sequence[Any], net_units: Sequence[float]) -> List[bool]:
        """``is_noop`` of every page's action at once (``net_units``: each page's position)."""
        return [self.is_noop(a, u) for a, u in zip(actions, net_units)]


class DiscreteActions(ActionScheme):
    """A scheme over ``Discrete(n)``, checked for a whole batch of integer actions in one go."""

    space: spaces.Discrete

    def check(self, action: Any) -> None:
        _discrete(action, int(self.space.n))

    def check_all(self, actions: Sequence[Any]) -> None:
        n = int(self.space.n)
        if all(type(a) is int for a in actions):
            for i, a in enumerate(actions):
                if not 0 <= a < n:
                    raise ValueError("sub-environment %d: action %r is outside Discrete(%d)" % (i, a, n))
            return
        super().check_all(actions)

    async def apply(self, action: Any, trader: Trader) -> None:
        raise NotImplementedError

    def arguments(self) -> Dict[str, Any]:
        """The keyword arguments that make this scheme again (a record of an episode keeps them, with the
        class, to replay it); a scheme whose constructor takes arguments says which here."""
        return {}


def _discrete(action: Any, n: int) -> int:
    """The action as an int of Discrete(n); ints, NumPy integers and integral floats are accepted."""
    try:
        value = float(action)
    except (TypeError, ValueError):
        value = float("nan")
    if not value.is_integer() or not 0 <= value < n:
        shown = action.item() if isinstance(action, np.generic) else action
        raise ValueError("action %r is outside Discrete(%d)" % (shown, n))
    return int(value)


class TradeActions(DiscreteActions):
    """``Discrete(4)``: 0 hold, 1 buy, 2 sell, 3 close all.

    Buy and sell open a market ticket of ``units`` (another position each
    time: longs and shorts can be open together, as the page allows);
    close all closes every open position at the current close. Optional
    exits are price distances from the entry, as ``place_ticket`` takes them.
    """

    HOLD, BUY, SELL, CLOSE_ALL = range(4)

    def __init__(self, units: float = 10, take_profit: Optional[float] = None, stop_loss: Optional[float] = None,
                 trailing_stop: Optional[float] = None) -> None:
        self.units = integral_units(units)
        self.exits = {"take_profit": take_profit, "stop_loss": stop_loss, "trailing_stop": trailing_stop}
        self.space = spaces.Discrete(4)

    def arguments(self) -> Dict[str, Any]:
        return dict(self.exits, units=self.units)

    def is_noop(self, action: Any, net_units: float) -> bool:
        return _discrete(action, 4) == self.HOLD

    def noops(self, actions: Sequence[Any], net_units: Sequence[float]) -> List[bool]:
        return [a == self.HOLD for a in actions]

    async def apply(self, action: Any, trader: Trader) -> None:
        a = _discrete(action, 4)
        if a == self.BUY:
            trader.place_ticket("buy", self.units, **self.exits)
        elif a == self.SELL:
            trader.place_ticket("sell", self.units, **self.exits)
        elif a == self.CLOSE_ALL:
            await trader.close_all()


class TargetPositionActions(DiscreteActions):
    """``Discrete(3)``: the position to hold, 0 flat, 1 long ``units``, 2 short ``units``.

    When the target differs from the net position, every open position is
    closed and, unless the target is flat, one ticket opens the new one.
    """

    FLAT, LONG, SHORT = range(3)

    def __init__(self, units: float = 10) -> None:
        self.units = integral_units(units)
        self.space = spaces.Discrete(3)

    def arguments(self) -> Dict[str, Any]:
        return {"units": self.units}

    def is_noop(self, action: Any, net_units: float) -> bool:
        return self._target(_discrete(action, 3)) == net_units

    def noops(self, actions: Sequence[Any], net_units: Sequence[float]) -> List[bool]:
        return [self._target(int(a)) == u for a, u in zip(actions, net_units)]

    def _target(self, action: int) -> float:
        return {self.FLAT: 0.0, self.LONG: float(self.units), self.SHORT: -float(self.units)}[action]

    async def apply(self, action: Any, trader: Trader) -> None:
        target = self._target(_discrete(action, 3))
        if trader.net_units == target:
            return
        await trader.close_all()
        if target:
            trader.place_ticket("buy" if target > 0 else "sell", self.units)


SCHEMES = {"trade": TradeActions, "target": TargetPositionActions}


def describe_scheme(scheme: ActionScheme) -> Dict[str, Any]:
    """The scheme as data: ``{"class": "module:Name", "arguments": {...}}``."""
    kind = type(scheme)
    return {"class": "%s:%s" % (kind.__module__, kind.__qualname__), "arguments": scheme.arguments()}


def scheme_from(description: Dict[str, Any]) -> ActionScheme:
    """The scheme that ``describe_scheme`` described (its module must be importable here)."""
    import importlib
    module, _, name = description["class"].partition(":")
    kind: Any = importlib.import_module(module)
    for part in name.split("."):
        kind = getattr(kind, part)
    return kind(**description.get("arguments", {}))


def make_scheme(scheme: Any, units: float) -> ActionScheme:
    if isinstance(scheme, ActionScheme):
        return scheme
    if isinstance(scheme, str) and scheme in SCHEMES:
        return SCHEMES[scheme](units=units)
    raise ValueError("action_scheme must be %s or an ActionScheme, got %r"
                     % (" or ".join(repr(name) for name in SCHEMES), scheme))
