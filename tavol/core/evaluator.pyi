"""PESQ, STOI and SDR evaluation of enhanced speech against clean references; native SDR and SI-SDR; corpus scoring."""

import os as os
import re as re
import subprocess as subprocess
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from scipy.io import wavfile as wavfile
from tqdm import tqdm as tqdm

from tavol.util import blu as blu
from tavol.util import cya as cya
from tavol.util import pur as pur
from tavol.util import warn as warn

__all__: list[str]

def check_metrics_install() -> tuple[bool, bool, bool]: ...
def eval_metrics(rate: int, ref: np.ndarray, deg: np.ndarray) -> tuple[Any, Any, Any]: ...
def sdr(ref: npt.ArrayLike, est: npt.ArrayLike) -> float: ...
def si_sdr(ref: npt.ArrayLike, est: npt.ArrayLike) -> float: ...
def score_corpus(
    clean: Any,
    enhanced: Any,
    noisy: Any = None,
    metrics: Sequence[str] = ("PESQ", "STOI", "SDR", "SI-SDR"),
    workers: int | None = None,
) -> pd.DataFrame: ...

class AudioEvaluate:
    enhanced_list: np.ndarray | None
    clean_list: Sequence[Path]
    noisy_list: Sequence[Path]
    pesq_status: bool
    stoi_status: bool
    sdr_status: bool
    score_dict: dict[str, list[Any]]
    base_pesq: Any
    base_stoi: Any
    base_sdr: Any
    def __init__(self, clean_list: Sequence[Path], noisy_list: Sequence[Path]) -> None: ...
    def eval(self, enhance_method: Any, enhanced_list: Sequence[Path], *, workers: int | None = None) -> None: ...
    def get_df(self) -> pd.DataFrame | list[Any]: ...
    def _AudioEvaluate__sdr_score(self) -> pd.Series: ...
    def _AudioEvaluate__stoi_score(self) -> pd.Series: ...
    def _AudioEvaluate__pesq_score(self) -> pd.Series: ...
    def _AudioEvaluate__pesq_score_v2(self) -> pd.Series: ...
    eval_metrics = eval_metrics
