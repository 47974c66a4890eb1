"""A stand-in for pysepm, which is not published on PyPI.

tavol.core.evaluator turns its PESQ measure on when ``import pysepm`` succeeds (and
otherwise tries to install pysepm from its source archive). ``install()`` registers a
small module under that name whose ``pesq(ref, deg, rate)`` has pysepm's result
layout, (raw MOS or NaN, MOS-LQO), computed with the ``pesq`` package.
"""

from __future__ import annotations

import importlib.util
import sys
import types


def _pesq(ref, deg, rate):
    import numpy as np
    import pesq

    if rate == 8000:
        return np.nan, pesq.pesq(rate, ref, deg, "nb")
    if rate == 16000:
        return np.nan, pesq.pesq(rate, ref, deg, "wb")
    raise ValueError("fs must be either 8 kHz or 16 kHz")


def install() -> bool:
    """Registers the stand-in unless a real pysepm is importable; True when it did."""
    if "pysepm" in sys.modules or importlib.util.find_spec("pysepm") is not None:
        return False
    module = types.ModuleType("pysepm", "Stand-in for pysepm: PESQ through the pesq package.")
    module.pesq = _pesq
    sys.modules["pysepm"] = module
    return True
