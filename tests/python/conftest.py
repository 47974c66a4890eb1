"""Shared fixtures: small WAV corpora written with soundfile, in a temporary folder."""

import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf


def write_wav(path, samples=None, rate=16000, *, frames=1600, channels=1, subtype="PCM_16", seed=0):
    """Write a WAV file (noise at -20 dB unless `samples` is given) and return its Path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    if samples is None:
        rng = np.random.default_rng(seed)
        shape = (frames,) if channels == 1 else (frames, channels)
        samples = (0.1 * rng.standard_normal(shape)).astype(np.float32)
    sf.write(path, samples, rate, subtype=subtype)
    return path


@pytest.fixture
def wav(tmp_path):
    """Factory writing WAV files under tmp_path: wav("a.wav", frames=..., rate=...)."""

    def make(name, *args, **kwargs):
        return write_wav(tmp_path / name, *args, **kwargs)

    return make


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Run the test with tmp_path as the current folder."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture(autouse=True)
def _close_figures():
    """Figures a test leaves open (drawing functions may hand them to the caller) do not
    reach the next test."""
    yield
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close("all")
