"""The synthesiser's algorithm in plain Python, as a speed and accuracy reference for
bench_synth.py: librosa.load at 16 kHz, numpy arithmetic, scipy.io.wavfile.write,
and a multiprocessing.Pool(8) above 200 entries.

`fast_power=True` swaps the built-in `sum` over samples for numpy's mean, to show
how much of the reference's time that one line costs.
"""

import functools
import multiprocessing
from pathlib import Path

import librosa
import numpy as np
from scipy.io import wavfile
from tqdm import tqdm, trange

POOL_THRESHOLD = 200
WORKERS = 8


def tag(snr) -> str:
    return f"n{abs(snr)}" if snr < 0 else f"{snr}dB"


def plan(cleans, noises, snrs, out: Path, mode: str):
    """(output, clean, noise, snr) entries of the regular or increment mode."""
    C, N, S = len(cleans), len(noises), len(snrs)
    if mode == "regular":
        full_c = list(cleans)
        full_n = np.tile(noises, C // N + 1)[:C]
        full_s = np.tile(snrs, C // S + 1)[:C]
    else:
        full_c = np.repeat(cleans, N * S)
        full_n = np.tile(np.repeat(noises, S), C)
        full_s = np.tile(snrs, C * N)
    return [(out / f"{c.stem}_{n.stem}_{tag(s)}.wav", c, n, s) for c, n, s in zip(full_c, full_n, full_s)]


def syn_waves(entries, is_silence, num=None, fast_power=False):
    save_dir, clean_file, noise_file, snr = entries if num is None else entries[num]
    y_clean, sr_clean = librosa.load(clean_file, sr=16000)
    y_noise, _ = librosa.load(noise_file, sr=16000)
    n_clean = len(y_clean)
    if fast_power:
        clean_pwr = float(np.mean(np.abs(y_clean) ** 2))
    else:
        clean_pwr = sum(abs(y_clean) ** 2) / n_clean
    if len(y_noise) < n_clean:
        y_noise = np.tile(y_noise, n_clean // len(y_noise) + 1)[:n_clean]
    else:
        start = np.random.randint(1, len(y_noise) - n_clean + 1)
        y_noise = y_noise[start:start + n_clean]
    y_noise = y_noise - np.mean(y_noise)
    noise_variance = clean_pwr / 10 ** (snr / 10)
    y_noise = np.sqrt(noise_variance) * y_noise / np.std(y_noise)
    y_noisy = y_noise if is_silence else y_clean + y_noise
    Path(save_dir).parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(save_dir, sr_clean, (y_noisy * 32767).astype("int16"))


def render(entries, is_pool=True, is_silence=False, fast_power=False):
    worker = functools.partial(syn_waves, entries, is_silence, fast_power=fast_power)
    if is_pool and len(entries) > POOL_THRESHOLD:
        with multiprocessing.Pool(WORKERS) as pool:
            pool.map(worker, trange(len(entries), desc="Audio synthesis"))
    else:
        for i in tqdm(range(len(entries)), desc="Audio synthesis"):
            worker(i)
