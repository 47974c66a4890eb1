"""Excel export of tables, and case helpers for string lists."""

import os
from collections.abc import Iterable
from typing import Any

import pandas as pd

__all__ = ["data2xlsx", "lowercase", "upercase"]

def data2xlsx(
    data: pd.DataFrame | dict[Any, Any],
    xlsx_dir: str | os.PathLike[str],
    sheet_name: str,
    index: bool = False,
    fit_column: bool = True,
) -> str | None: ...
def lowercase(lst: Iterable[object]) -> list[str]: ...
def upercase(lst: Iterable[object]) -> list[str]: ...
