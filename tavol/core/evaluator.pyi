"""PESQ, STOI and SDR evaluation of enhanced speech against clean references; native SDR and SI-SDR; corpus scoring."""

import os as os
import re as re
import subprocess as subprocess
from collections.abc import Sequence
from pathlib import PurePath
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd
from distributed import Client
from scipy.io import wavfile as wavfile
from tqdm import tqdm as tqdm

from tavol.util import blu as blu
from tavol.util import cya as cya
from tavol.util import pur as pur
from tavol.util import warn as warn

__all__ = ["AudioEvaluate", "eval_metrics"]

_Path: TypeAlias = str | os.PathLike[str]
_Signal: TypeAlias = npt.NDArray[np.number[Any]]

def check_metrics_install() -> tuple[bool, bool, bool]: ...
def eval_metrics(
    rate: int, ref: _Signal, deg: _Signal
) -> tuple[float | None, float | None, float | None]: ...
def sdr(ref: npt.ArrayLike, est: npt.ArrayLike) -> float: ...
def si_sdr(ref: npt.ArrayLike, est: npt.ArrayLike) -> float: ...
def stoi(ref: npt.ArrayLike, est: npt.ArrayLike, rate: int) -> float: ...
def score_corpus(
    clean: _Path | Sequence[_Path],
    enhanced: _Path | Sequence[_Path],
    noisy: _Path | Sequence[_Path] | None = None,
    metrics: Sequence[str] = ("PESQ", "STOI", "SDR", "SI-SDR"),
    workers: int | None = None,
    *,
    client: Client | str | None = None,
) -> pd.DataFrame: ...

class AudioEvaluate:
    # Entry i pairs with noisy_list[i] (paired by stem); None before the first eval.
    enhanced_list: npt.NDArray[np.object_] | None
    clean_list: Sequence[_Path]
    noisy_list: Sequence[PurePath]
    pesq_status: bool
    stoi_status: bool
    sdr_status: bool
    score_dict: dict[str, list[Any]]
    base_pesq: float | list[float]
    base_stoi: float | list[float]
    base_sdr: float | list[float]
    def __init__(self, clean_list: Sequence[_Path], noisy_list: Sequence[PurePath]) -> None: ...
    def eval(
        self, enhance_method: object, enhanced_list: Sequence[PurePath], *, workers: int | None = None
    ) -> None: ...
    def get_df(self) -> pd.DataFrame | list[object]: ...
    def _AudioEvaluate__sdr_score(self) -> pd.Series[float]: ...
    def _AudioEvaluate__stoi_score(self) -> pd.Series[float]: ...
    def _AudioEvaluate__pesq_score(self) -> pd.Series[float]: ...
    def _AudioEvaluate__pesq_score_v2(self) -> pd.Series[float]: ...
    eval_metrics = eval_metrics
