"""Duplicate finder for lists of file names or paths."""

from collections.abc import Hashable, Iterable
from typing import TypeVar

__all__ = ["find_duplicate"]

_T = TypeVar("_T", bound=Hashable)

def find_duplicate(file_list: Iterable[_T]) -> dict[_T, int]: ...
