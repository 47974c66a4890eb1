"""WAV file gathering, loading, saving and copying."""

import os
from collections.abc import Sequence
from pathlib import Path as Path
from pathlib import PurePath as PurePath
from typing import Any, Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Self

__all__ = [
    "check_path",
    "check_file",
    "check_input",
    "save_wave",
    "file_load",
    "load_wave",
    "load_waves",
    "copy_waves",
    "LoadAudio",
]
__exp__: str

_Path: TypeAlias = str | os.PathLike[str]
_Samples: TypeAlias = npt.NDArray[np.float32]
# (samples, rate); None for a file that could not be read.
_Loaded: TypeAlias = tuple[_Samples, int] | None
_LoadedTree: TypeAlias = _Loaded | list[_LoadedTree]

def check_path(path: _Path, exist_ok: bool = False, sep: str = "") -> str: ...
def check_file(file_dir: _Path, rename: bool = True, sep: str = "") -> str: ...
def check_input(input: object) -> tuple[list[Path], list[object]]: ...
def save_wave(
    path: _Path, wave: npt.NDArray[np.number[Any]], sr: int, d_sample: int | None = None
) -> None: ...
def file_load(wav_dir: _Path, sr: float | None = None, mono: bool = True) -> _Loaded: ...
@overload
def load_wave(wave: _Path, num: None = None) -> _Loaded: ...
@overload
def load_wave(wave: list[Any] | tuple[Any, ...], num: None = None) -> list[_LoadedTree]: ...
@overload
def load_wave(wave: Sequence[Any], num: int) -> _LoadedTree: ...
@overload
def load_waves(
    wave: object, use_pool: bool = False, std_len: Literal[False] = False, core_: int = 8
) -> list[_Loaded]: ...
@overload
def load_waves(
    wave: object, use_pool: bool = False, *, std_len: Literal[True], core_: int = 8
) -> tuple[list[_Samples], int, int]: ...
@overload
def load_waves(
    wave: object, use_pool: bool, std_len: Literal[True], core_: int = 8
) -> tuple[list[_Samples], int, int]: ...
@overload
def load_waves(
    wave: object, use_pool: bool = False, std_len: bool = False, core_: int = 8
) -> list[_Loaded] | tuple[list[_Samples], int, int]: ...
def copy_waves(path: _Path, wave_: _Path | list[Any]) -> None: ...

class LoadAudio:
    sr_pth: Path
    files: list[Path]
    nf: int
    count: int
    def __init__(self, waves_dirs: _Path) -> None: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> int: ...
    def __len__(self) -> int: ...
    # The module's functions, called with the same arguments.
    @staticmethod
    def check_input(input: object, /) -> tuple[list[Path], list[object]]: ...
    @staticmethod
    def file_load(wav_dir: _Path, sr: float | None = None, mono: bool = True) -> _Loaded: ...
    @overload
    @staticmethod
    def load_wave(wave: _Path, num: None = None) -> _Loaded: ...
    @overload
    @staticmethod
    def load_wave(wave: list[Any] | tuple[Any, ...], num: None = None) -> list[_LoadedTree]: ...
    @overload
    @staticmethod
    def load_wave(wave: Sequence[Any], num: int) -> _LoadedTree: ...
    @overload
    @staticmethod
    def load_waves(
        wave: object, use_pool: bool = False, std_len: Literal[False] = False, core_: int = 8
    ) -> list[_Loaded]: ...
    @overload
    @staticmethod
    def load_waves(
        wave: object, use_pool: bool = False, *, std_len: Literal[True], core_: int = 8
    ) -> tuple[list[_Samples], int, int]: ...
    @overload
    @staticmethod
    def load_waves(
        wave: object, use_pool: bool, std_len: Literal[True], core_: int = 8
    ) -> tuple[list[_Samples], int, int]: ...
    @overload
    @staticmethod
    def load_waves(
        wave: object, use_pool: bool = False, std_len: bool = False, core_: int = 8
    ) -> list[_Loaded] | tuple[list[_Samples], int, int]: ...
    @staticmethod
    def copy_waves(path: _Path, wave_: _Path | list[Any]) -> None: ...
