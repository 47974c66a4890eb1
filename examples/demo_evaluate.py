"""Demo of tavol.core.evaluator: score a simple enhancer against the noisy input.

``run(workdir, clean_files, noisy_files)`` enhances every noisy file with spectral
subtraction at two strengths (examples/enhance.py), evaluates both with
``AudioEvaluate`` (PESQ through ``pesq.exe``, STOI, SDR) and prints the table, whose
last row is the noisy "Baseline". ``clean_files[i]`` is the clean reference of
``noisy_files[i]``.

Run on its own (``python examples/demo_evaluate.py [workdir]``) it first makes a small
noisy set from espeak-ng speech and white noise at 0 and 5 dB.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.io import wavfile

sys.path.insert(0, str(Path(__file__).resolve().parent))

import enhance  # noqa: E402
import pysepm_standin  # noqa: E402

METHODS = {  # label: spectral-subtraction options
    "SpecSub a=2": {"alpha": 2.0, "beta": 0.02},
    "SpecSub a=4": {"alpha": 4.0, "beta": 0.01},
}


def run(workdir: Path, clean_files, noisy_files) -> pd.DataFrame:
    from tavol.core.evaluator import AudioEvaluate

    workdir = Path(workdir)
    clean_files = [Path(f) for f in clean_files]
    noisy_files = [Path(f) for f in noisy_files]
    if pysepm_standin.install():
        print("[demo] pysepm is not installed: using the stand-in over the pesq package")
    evaluator = AudioEvaluate(clean_files, noisy_files)
    with warnings.catch_warnings():
        # mir_eval 0.8 announces the future removal of bss_eval_sources on every call.
        warnings.filterwarnings("ignore", message="mir_eval.separation.bss_eval_sources", category=FutureWarning)
        for i, (label, options) in enumerate(METHODS.items()):
            out_dir = workdir / "enhanced" / f"method{i}"
            enhanced = enhance.enhance_files(noisy_files, out_dir, **options)
            # Listed in another order on purpose: AudioEvaluate pairs files by name.
            evaluator.eval(label, list(reversed(enhanced)))
    table = evaluator.get_df()
    print("\n[demo] Evaluation of", len(noisy_files), "noisy files:")
    print(table.to_string() if isinstance(table, pd.DataFrame) else table)
    return table


def make_noisy_set(workdir: Path, snrs=(0, 5)) -> tuple[list[Path], list[Path]]:
    """Clean espeak-ng sentences at 16 kHz and white-noise mixtures at `snrs` dB."""
    import subprocess

    from scipy.signal import resample_poly

    sentences = [
        "The birch canoe slid on the smooth planks.",
        "Glue the sheet to the dark blue background.",
    ]
    rng = np.random.default_rng(0)
    clean_files, noisy_files = [], []
    for i, text in enumerate(sentences):
        raw = workdir / "raw" / f"s{i}.wav"
        raw.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["espeak-ng", "-w", str(raw), text], check=True, timeout=60)
        rate, samples = wavfile.read(raw)
        x = resample_poly(samples.astype(np.float64), 16000, rate)
        x = 0.5 * x / np.abs(x).max()
        clean = workdir / "clean" / f"s{i}.wav"
        clean.parent.mkdir(parents=True, exist_ok=True)
        wavfile.write(clean, 16000, np.round(x * 32767).astype(np.int16))
        for snr in snrs:
            noise = rng.standard_normal(len(x))
            noise *= np.sqrt(np.mean(x**2) / np.mean(noise**2) / 10 ** (snr / 10))
            noisy = workdir / "noisy" / f"s{i}_white_{snr}dB.wav"
            noisy.parent.mkdir(parents=True, exist_ok=True)
            wavfile.write(noisy, 16000, np.round(np.clip(x + noise, -1, 1) * 32767).astype(np.int16))
            clean_files.append(clean)
            noisy_files.append(noisy)
    return clean_files, noisy_files


if __name__ == "__main__":
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo_out/evaluate")
    folder.mkdir(parents=True, exist_ok=True)
    run(folder, *make_noisy_set(folder))
