"""Which episode a page plays next, so that pages training together never play the same one.

The episodes of a type (``train`` or ``test``) are dealt out among
``slots`` pages: the page of ``slot`` owns episodes ``slot``,
``slot + slots``, ``slot + 2 * slots``, ... and plays only those, over and
over. Two pages of different slots can therefore never be on the same
episode, however their episodes end, and no page needs to know what the
others do: the pages of one ``make_vec``, of several Ray workers or of
several RLlib env runners in other processes (each told its slot) stay
apart without talking to each other.

Without a seed a page plays its episodes in order. A seed shuffles each
pass over them, the same way for the same seed. With more pages than
episodes each page plays every episode, starting from its own, so that
no episode has more than ``ceil(slots / episodes)`` pages on it at once.
"""

from __future__ import annotations

from typing import List, Optional

import numpy as np


class EpisodeSchedule:
    """The episodes of one type for the page of ``slot`` among ``slots``."""

    def __init__(self, count: int, slot: int = 0, slots: int = 1) -> None:
        if count < 1:
            raise ValueError("a schedule needs at least one episode")
        if not 0 <= slot < slots:
            raise ValueError("slot must lie in [0, slots), got %d of %d" % (slot, slots))
        self.count, self.slot, self.slots = count, slot, slots
        self.shared = slots > count
        if self.shared:
            self.owned: List[int] = [(slot + n) % count for n in range(count)]
        else:
            self.owned = list(range(slot, count, slots))
        self._rng: Optional[np.random.Generator] = None
        self._pass: List[int] = []
        self._position = 0

    def seed(self, seed: Optional[int]) -> None:
        """Starts over: in order without a seed, in an order drawn from ``seed`` otherwise."""
        self._rng = None if seed is None else np.random.default_rng(seed)
        self._pass, self._position = [], 0

    def next(self) -> int:
        """The page's next episode."""
        if self._position >= len(self._pass):
            # Shared episodes keep their order: the pages' offsets are what keeps them apart.
            if self._rng is None or self.shared:
                self._pass = list(self.owned)
            else:
                self._pass = [int(i) for i in self._rng.permutation(self.owned)]
            self._position = 0
        index = self._pass[self._position]
        self._position += 1
        return index
