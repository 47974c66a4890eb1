"""A simple speech enhancer for the demos: power spectral subtraction.

The noise power spectrum is estimated from the quietest tenth of the STFT frames
(noise is present throughout a synthesised mixture, speech is not), subtracted with
over-subtraction factor ``alpha`` and kept above a spectral floor ``beta`` times the
noisy power; the noisy phase is reused.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
from scipy.io import wavfile
from scipy.signal import istft, stft

FRAME = 512  # samples per STFT frame (32 ms at 16 kHz)
HOP = 128


def spectral_subtraction(x: np.ndarray, rate: int, alpha: float = 2.0, beta: float = 0.02) -> np.ndarray:
    """Enhanced copy of the mono float signal ``x`` (same length)."""
    _, _, spectrum = stft(x, fs=rate, nperseg=FRAME, noverlap=FRAME - HOP)
    power = np.abs(spectrum) ** 2
    frame_energy = power.sum(axis=0)
    quiet = frame_energy <= np.quantile(frame_energy, 0.1)
    noise = power[:, quiet].mean(axis=1, keepdims=True)
    clean_power = np.maximum(power - alpha * noise, beta * power)
    gain = np.sqrt(clean_power / np.maximum(power, np.finfo(float).tiny))
    _, y = istft(spectrum * gain, fs=rate, nperseg=FRAME, noverlap=FRAME - HOP)
    y = y[: len(x)]
    return np.pad(y, (0, len(x) - len(y)))


def enhance_file(source: Path, target: Path, **options) -> Path:
    """Reads a 16-bit (or float) WAV file, enhances it and writes it as 16-bit PCM."""
    rate, samples = wavfile.read(source)
    x = samples.astype(np.float64)
    if np.issubdtype(samples.dtype, np.integer):
        x /= 32768.0
    if x.ndim == 2:
        x = x.mean(axis=1)
    y = spectral_subtraction(x, rate, **options)
    target.parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(target, rate, np.clip(np.round(y * 32767), -32768, 32767).astype(np.int16))
    return target


def enhance_files(files, out_dir: Path, **options) -> list[Path]:
    """Enhances every file into ``out_dir`` under its own name; returns the new paths."""
    return [enhance_file(Path(f), Path(out_dir) / Path(f).name, **options) for f in files]
