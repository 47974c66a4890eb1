"""Demo part for tavol.core.synth: a small noisy set in regular and increment modes.

    from demo_synth import run
    result = run(workdir, clean_dir, noise_dir)

Writes workdir/noisy_regular (one mixture per clean file, noises and SNRs taken in turn)
and workdir/noisy_increment (every clean x noise x SNR, described by its manifest.csv),
checks the SNR of one written mixture, re-renders one mixture from the manifest, and
returns the folders and the synthesis entries.
"""

import contextlib
import filecmp
from pathlib import Path

import librosa
import numpy as np
import pandas as pd
from scipy.io import wavfile

from tavol.core import synth as tavol_synth
from tavol.core.synth import Synthesizer


def measured_snr(entry) -> float:
    """SNR in dB of a written mixture, measured against its clean file."""
    out, clean, _, _ = entry
    _, pcm = wavfile.read(out)
    y, _ = librosa.load(clean, sr=16000)
    noise = pcm / 32767.0 - y
    return float(10 * np.log10(np.mean(y.astype(np.float64) ** 2) / np.var(noise)))


def run(workdir: Path, clean_dir: Path, noise_dir: Path, seed: int = 0) -> dict:
    workdir = Path(workdir)
    np.random.seed(seed)  # noise excerpts are drawn from numpy's generator: reproducible

    regular_dir = workdir / "noisy_regular"
    with contextlib.redirect_stdout(None):  # the synthesiser's own status lines
        regular = Synthesizer(clean_dir, noise_dir, regular_dir, [-5, 0, 5]).syn("regular")
    print(f"[demo] synth regular: {len(regular)} mixtures in {regular_dir}")
    for out, clean, noise, snr in regular[:3]:
        print(f"[demo]   {Path(out).name}: {Path(clean).name} + {Path(noise).name} at {snr} dB")

    increment_dir = workdir / "noisy_increment"
    synth = Synthesizer(clean_dir, noise_dir, increment_dir, [0, 10])
    with contextlib.redirect_stdout(None):
        # seed=: a generator of the run's own; manifest=True: the run describes itself.
        increment = synth.syn("increment", is_add_clean=True, seed=seed, manifest=True)
    print(f"[demo] synth increment: {len(increment)} mixtures "
          f"({len(synth.cleanWaves)} clean x {len(synth.noiseWaves)} noises x 2 SNRs) in {increment_dir}, "
          f"clean copies in {increment_dir / 'RAW_DATA'}")
    manifest = pd.read_csv(increment_dir / "manifest.csv")
    print(f"[demo]   manifest.csv: {len(manifest)} rows, e.g.")
    columns = ["output", "noise", "snr_db", "fit", "offset", "noise_gain", "realised_snr_db", "peak"]
    for line in manifest.query("kind == 'mixture'")[columns].head(3).to_string(index=False).splitlines():
        print(f"[demo]     {line}")

    # The manifest alone writes the same files again, with no random draw.
    again = workdir / "noisy_again"
    one = manifest.query("kind == 'mixture'").head(1)
    one.attrs.update(out_path=str(again), base=str(increment_dir))
    with contextlib.redirect_stderr(None):
        tavol_synth.render(one)
    same = filecmp.cmp(again / one.output.iloc[0], increment_dir / one.output.iloc[0], shallow=False)
    print(f"[demo]   re-rendered {one.output.iloc[0]} from the manifest: "
          f"{'identical' if same else 'DIFFERENT'} bytes")

    snr = measured_snr(increment[1])
    print(f"[demo]   {Path(increment[1][0]).name}: asked {increment[1][3]} dB, measured {snr:.3f} dB")
    return {
        "regular_dir": regular_dir,
        "regular": regular,
        "increment_dir": increment_dir,
        "increment": increment,
        "raw_dir": increment_dir / "RAW_DATA",
    }


if __name__ == "__main__":
    import sys
    import tempfile

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from corpus import make_corpus

    with tempfile.TemporaryDirectory() as tmp:
        clean, noise = make_corpus(Path(tmp))
        run(Path(tmp), clean, noise)
