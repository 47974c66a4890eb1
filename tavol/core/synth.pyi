"""Noisy-set synthesis: mixing clean speech with noise recordings at chosen SNRs."""

import os
from collections.abc import Sequence
from pathlib import Path as Path
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd
from distributed import Client

__all__ = ["Synthesizer"]

_Path: TypeAlias = str | os.PathLike[str]
# A folder, a .txt list of files, or a (nested) list or tuple of these.
_Input: TypeAlias = _Path | list[Any] | tuple[Any, ...]
_Snr: TypeAlias = float | np.integer[Any] | np.floating[Any]
# (output file, clean file, noise file, SNR in dB)
_Entry: TypeAlias = tuple[Path, Path, Path, _Snr]
_Loaded: TypeAlias = tuple[npt.NDArray[np.float32], int] | None
_Definition: TypeAlias = Literal["power", "active"]
_Clipping: TypeAlias = Literal["saturate", "rescale", "error"]
# A manifest: the path of a manifest.csv or of its folder, or the rows as a DataFrame.
_Manifest: TypeAlias = _Path | pd.DataFrame

def render(
    manifest: _Manifest,
    out_path: _Path | None = None,
    workers: int | None = None,
    resume: bool = False,
    *,
    client: Client | str | None = None,
) -> pd.DataFrame: ...

class Synthesizer:
    cleanWaves: list[Path]
    noiseWaves: list[Path]
    noisyDir: Path
    snrRatio: Sequence[_Snr] | npt.NDArray[np.number[Any]]
    synWavesList: list[_Entry] | None
    clean_dir_: _Input
    def __init__(
        self,
        clean: _Input,
        noise: _Input,
        out_path: _Path = "",
        snr_ratio: _Snr | Sequence[_Snr] | npt.NDArray[np.number[Any]] = ...,
        *,
        seed: int | None = None,
    ) -> None: ...
    def wave_input(self) -> tuple[list[Path], list[Path]]: ...
    def wave_syn(self) -> list[_Entry] | None: ...
    def wave_syn_abs(self) -> list[_Entry] | None: ...
    def waveform(self, is_pool: bool = False) -> tuple[list[_Loaded], list[_Loaded]]: ...
    def syn(
        self,
        mode: str = "regular",
        mkdir_parents: bool = True,
        is_add_clean: bool = False,
        rdn_choice_num: int = 0,
        overwrite: bool = True,
        is_pool: bool = True,
        is_silence: bool = False,
        p_silence: float = 0.02,
        *,
        manifest: bool | _Path = False,
        seed: int | None = None,
        snr_definition: _Definition = "power",
        clipping: _Clipping = "saturate",
        sample_rate: int = 16000,
    ) -> list[_Entry] | str | None: ...
    def syn_extra_mode(
        self,
        background_path: _Input = "../data/backgroundnoise",
        background_snr: _Snr | Sequence[_Snr] | npt.NDArray[np.number[Any]] = ...,
        *,
        manifest: bool | _Path = False,
        seed: int | None = None,
        snr_definition: _Definition = "power",
        clipping: _Clipping = "saturate",
        sample_rate: int = 16000,
    ) -> list[_Entry]: ...
    def plan(
        self,
        mode: str = "regular",
        mkdir_parents: bool = True,
        is_add_clean: bool = False,
        rdn_choice_num: int = 0,
        is_silence: bool = False,
        p_silence: float = 0.02,
        background_path: _Input = "../data/backgroundnoise",
        background_snr: _Snr | Sequence[_Snr] | npt.NDArray[np.number[Any]] = ...,
        *,
        seed: int | None = None,
        snr_definition: _Definition = "power",
        clipping: _Clipping = "saturate",
        sample_rate: int = 16000,
    ) -> pd.DataFrame: ...
    @staticmethod
    def syn_waves(synWavesList: Sequence[Any], isSilence: bool, num: int | None = None) -> None: ...
    def _Synthesizer__syn_pool(
        self, is_pool: bool, is_silence: bool, p_silence: float = 0.02
    ) -> None: ...
