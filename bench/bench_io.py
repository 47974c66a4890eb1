"""Batch loading speed: tavol's load_waves (sequential and pooled) against a plain
librosa.load loop with the same arguments, on generated corpora, in one run.

    python bench/bench_io.py [--files 1000] [--seconds 3]
"""

import argparse
import contextlib
import io as stdio
import tempfile
import time
from pathlib import Path

import librosa
import numpy as np
import soundfile as sf

from tavol.core import io


def make_corpus(folder: Path, n: int, seconds: float, rate: int, channels: int) -> list:
    rng = np.random.default_rng(1234)
    folder.mkdir(parents=True, exist_ok=True)
    files = []
    for i in range(n):
        x = (0.1 * rng.standard_normal((int(seconds * rate), channels))).astype(np.float32)
        path = folder / f"utt{i:05d}.wav"
        sf.write(path, x, rate, subtype="PCM_16")
        files.append(path)
    return files


def best_of(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        with contextlib.redirect_stderr(stdio.StringIO()):  # keep tqdm bars out of the figures
            fn()
        times.append(time.perf_counter() - start)
    return min(times)


def run_case(name: str, folder: Path, n: int, seconds: float, rate: int, channels: int, repeat: int):
    files = make_corpus(folder, n, seconds, rate, channels)
    # warm the page cache and librosa once
    librosa.load(files[0], sr=None, mono=True)

    # The first load of a process pays for fresh memory (every page of its arrays is
    # faulted in); later loads reuse the memory earlier results gave back (up to 256 MiB).
    t_first = best_of(lambda: io.load_waves(folder, use_pool=True, core_=8), 1)
    t_librosa = best_of(lambda: [librosa.load(str(f), sr=None, mono=True) for f in files], repeat)
    t_seq = best_of(lambda: io.load_waves(folder, use_pool=False), repeat)
    t_pool = best_of(lambda: io.load_waves(folder, use_pool=True, core_=8), repeat)

    order = io.check_input(folder)[0][:20]
    ref = [librosa.load(str(f), sr=None, mono=True)[0] for f in order]
    got = io.load_waves(folder, use_pool=True)[:20]
    assert all(np.array_equal(r, g[0]) for r, g in zip(ref, got)), "results differ from librosa"

    print(f"\n{name}: {n} files of {seconds:g} s at {rate} Hz, {channels} channel(s)")
    print(f"  librosa.load loop      {t_librosa:8.3f} s   {n / t_librosa:9.0f} files/s")
    print(f"  load_waves sequential  {t_seq:8.3f} s   {n / t_seq:9.0f} files/s   x{t_librosa / t_seq:.1f}")
    print(f"  load_waves pooled      {t_pool:8.3f} s   {n / t_pool:9.0f} files/s   x{t_librosa / t_pool:.1f}")
    print(f"  (first pooled run      {t_first:8.3f} s   {n / t_first:9.0f} files/s   x{t_librosa / t_first:.1f})")
    return t_librosa / t_pool


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        r16 = run_case("16 kHz mono", Path(tmp) / "mono16k", args.files, args.seconds, 16000, 1, args.repeat)
        r44 = run_case("44.1 kHz stereo (mixed down)", Path(tmp) / "stereo44k", args.files, args.seconds,
                       44100, 2, args.repeat)
    print(f"\npooled speed-up over librosa: {r16:.1f}x (16 kHz mono), {r44:.1f}x (44.1 kHz stereo)")


if __name__ == "__main__":
    main()
