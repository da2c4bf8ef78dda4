"""Seeds of environments spread over processes and machines, drawn from a base seed and their indices."""

from __future__ import annotations

import numpy as np


def derive_seed(seed: int, *indices: int) -> int:
    """A 32-bit seed of its own for each tuple of indices (a worker, a sub-environment, ...).

    NumPy's ``SeedSequence`` mixes them, so that neighbouring indices do not
    give overlapping streams the way ``seed + index`` does.
    """
    entropy = [int(seed)] + [int(i) for i in indices]
    if min(entropy) < 0:
        raise ValueError("seeds and indices must be >= 0, got %r" % (entropy,))
    return int(np.random.SeedSequence(entropy).generate_state(1, np.uint32)[0])
