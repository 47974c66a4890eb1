"""Utility modules of tavol, and the coloured console lines the other modules print."""

from tavol.util.colors import blu, cya, pur, warn

__all__ = ["warn", "pur", "cya", "blu"]
