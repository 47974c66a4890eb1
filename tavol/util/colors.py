"""Coloured console lines.

Every function prints one line through the built-in ``print`` (so redirected
``sys.stdout`` and pytest's capsys see it), wrapped in ANSI colour codes when
standard output is a terminal and plain otherwise.
"""

import sys

__all__ = ["warn", "pur", "cya", "blu", "color_test"]

_RESET = "\033[0m"
_CODES = {
    "warn": "\033[93m",  # bright yellow
    "pur": "\033[95m",  # magenta
    "cya": "\033[96m",  # cyan
    "blu": "\033[94m",  # blue
}


def _use_colour() -> bool:
    isatty = getattr(sys.stdout, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # closed stream
        return False


def _show(kind: str, text) -> None:
    text = str(text)
    if _use_colour():
        text = f"{_CODES[kind]}{text}{_RESET}"
    print(text)


def warn(text) -> None:
    """Print a warning line (yellow)."""
    _show("warn", text)


def pur(text) -> None:
    """Print a banner line (magenta)."""
    _show("pur", text)


def cya(text) -> None:
    """Print a summary line (cyan)."""
    _show("cya", text)


def blu(text) -> None:
    """Print an information line (blue)."""
    _show("blu", text)


def color_test(text="[tl.] Color test") -> bool:
    """Print ``text`` once in every colour; True when the console shows colours."""
    for kind in _CODES:
        _show(kind, f"{text} ({kind})")
    return _use_colour()
