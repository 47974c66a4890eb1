"""Synthesis speed: tavol's Synthesizer.syn (regular mode, sequential; increment mode,
on 8 threads above 200 entries) against the same algorithm in plain Python
(baseline_synth.py: librosa.load, numpy, scipy.io.wavfile.write, multiprocessing.Pool(8)),
on a generated corpus, in one run. Clean files are 16 kHz; the longer noise files are
44.1 kHz, so every noise is resampled.

Then, in the same run, what the self-describing runs cost against a plain syn: writing
the manifest (manifest=True), re-rendering it (tavol.core.synth.render), and the active
speech level of P.56 as the SNR definition (snr_definition="active"). Those are timed
interleaved (each repeat runs every variant once, in an order turned by one each repeat, after
a garbage collection). Each variant's cost is the median over the repeats of its time against
the plain syn of the same repeat, in wall time and in CPU time (all threads, what a loaded
machine disturbs least), printed beside the best times and the load average: the best of a few
40 ms runs swings by 10-20% from one run of the bench to the next, the paired median by a few
percent. The
re-rendered manifest is written once beforehand by an untimed syn(manifest=True). The small
runs take 40-60 ms, so a run's fixed cost (start-up, the manifest's two files, building the
returned table) weighs in them; a corpus-scale run follows (--corpus-clean clean files in
increment mode: 2,400 entries on 8 threads by default, a few tenths of a second each, outputs
removed after each run), where the cost per entry decides.

    python bench/bench_synth.py [--clean 120 300] [--inc-clean 20] [--noises 4] [--repeat 3]
                                [--dir FOLDER] [--floor-only] [--self-only] [--pairs 5]
                                [--corpus-clean 200] [--corpus-repeat 21]

First, against the I/O floor (floor_copy.py: read each input once, write each output's
bytes): the first call of a fresh process and the best warm call after it, tavol and the
floor in alternating fresh processes, median of --pairs rounds; regular runs of each
--clean size (120 entries render sequentially, 300 on 8 threads; the floor copies on
one thread and on 8). --floor-only stops after that part.

Runs of up to 200 entries render sequentially on both sides; larger ones in parallel.

Both sides write the same files into the same folder. By default that folder is in
RAM (/dev/shm) when the machine has one, so the comparison is of the synthesis and not
of the disk: on a busy ext4 disk creating a file can cost more than rendering it
(0.3 ms a file measured on our 2-core development VM), the same for both sides, which caps the
measured ratio whatever either side computes. --dir puts the work on a disk instead.
"""

import argparse
import contextlib
import gc
import io as stdio
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf
from scipy.io import wavfile

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline_synth  # noqa: E402
from tavol.core import synth  # noqa: E402
from tavol.core.synth import Synthesizer  # noqa: E402

SNRS = [-5, 0, 5]


def make_corpus(root: Path, n_clean: int, n_noise: int, clean_s: float, noise_s: float):
    rng = np.random.default_rng(7)
    clean_dir, noise_dir = root / "clean", root / "noise"
    clean_dir.mkdir(parents=True)
    noise_dir.mkdir(parents=True)
    t = np.arange(int(clean_s * 16000)) / 16000
    for i in range(n_clean):  # a voiced-like tone in noise, different per file
        x = 0.2 * np.sin(2 * np.pi * (120 + i) * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
        x += 0.02 * rng.standard_normal(t.size)
        sf.write(clean_dir / f"utt{i:04d}.wav", x.astype(np.float32), 16000, subtype="PCM_16")
    for j in range(n_noise):
        x = 0.1 * rng.standard_normal(int(noise_s * 44100))
        sf.write(noise_dir / f"noise{j}.wav", x.astype(np.float32), 44100, subtype="PCM_16")
    return clean_dir, noise_dir


def timed(fn, label: str, repeat: int) -> float:
    """Best time of fn(output folder name); every repeat writes into a new folder."""
    best = float("inf")
    for r in range(repeat):
        start = time.perf_counter()
        with contextlib.redirect_stderr(stdio.StringIO()), contextlib.redirect_stdout(stdio.StringIO()):
            fn(f"{label}{r}")
        best = min(best, time.perf_counter() - start)
    return best


FLOOR_CHILD = r"""
import contextlib, io as _io, json, sys, time
from pathlib import Path
sys.path.insert(0, sys.argv[1])
import baseline_synth, floor_copy
side, root, n, calls = sys.argv[2], Path(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
cleans = sorted((root / "clean").glob("*.wav"))[:n]
noises = sorted((root / "noise").glob("*.wav"))
snrs = [-5, 0, 5]
if side == "tavol":
    from tavol.core.synth import Synthesizer
times = []
for call in range(calls):
    out = root / f"floor_{side}_{n}_{time.monotonic_ns()}"
    start = time.perf_counter()
    with contextlib.redirect_stderr(_io.StringIO()), contextlib.redirect_stdout(_io.StringIO()):
        if side == "tavol":
            s = Synthesizer(root / "clean", root / "noise", out, snrs)
            s.cleanWaves, s.noiseWaves = list(cleans), list(noises)
            s.syn("regular")
        else:
            entries = baseline_synth.plan(cleans, noises, snrs, out, "regular")
            floor_copy.copy([(e[0], e[1], e[2]) for e in entries], 8 if side == "floor8" else 1)
    times.append(time.perf_counter() - start)
print(json.dumps(times))
"""


def load_text() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def against_floor(root: Path, sizes, pairs: int, calls: int = 3):
    """tavol's syn against the copy floor, first call and warm, each in fresh processes."""
    import json
    import statistics
    import subprocess

    here = str(Path(__file__).resolve().parent)
    print(f"\nagainst the I/O floor (fresh processes, median of {pairs} rounds; {load_text()})")
    print(f"  {'':34s} {'first call':>10s} {'warm':>9s}")
    for n in sizes:
        sides = ["tavol", "floor1"] + (["floor8"] if n > baseline_synth.POOL_THRESHOLD else [])
        first = {s: [] for s in sides}
        warm = {s: [] for s in sides}
        for _ in range(pairs):
            for side in sides:
                got = subprocess.run([sys.executable, "-c", FLOOR_CHILD, here, side, str(root), str(n),
                                      str(calls)], capture_output=True, text=True,
                                     cwd=tempfile.gettempdir())  # the installed package, not ./tavol
                if got.returncode != 0:
                    raise SystemExit(got.stderr)
                times = json.loads(got.stdout)
                first[side].append(times[0])
                warm[side].append(min(times[1:]))
        med = {s: (statistics.median(first[s]), statistics.median(warm[s])) for s in sides}
        how = "8 threads" if n > baseline_synth.POOL_THRESHOLD else "sequential"
        labels = {"tavol": f"tavol syn, {n} entries ({how})", "floor1": "floor: copy on 1 thread",
                  "floor8": "floor: copy on 8 threads"}
        for side in sides:
            print(f"  {labels[side]:34s} {med[side][0]:9.3f}s {med[side][1]:8.3f}s")
        for side in sides[1:]:
            print(f"  tavol / {labels[side][7:]:26s} first x{med['tavol'][0] / med[side][0]:.2f}, "
                  f"warm x{med['tavol'][1] / med[side][1]:.2f}")
        print(f"  tavol first/warm x{med['tavol'][0] / med['tavol'][1]:.2f}   ({load_text()})")


def self_describing(root: Path, clean_dir: Path, noise_dir: Path, mode: str, files, noises,
                    repeats: int, keep: bool):
    """syn, syn(manifest=True), render(manifest) and syn(snr_definition="active"), interleaved
    (each repeat runs every variant once, in an order turned by one each repeat, after a garbage
    collection); prints the best wall and CPU time of each and the median of its paired ratios to
    syn, with the load average. The rendered
    manifest is written beforehand by an untimed syn(manifest=True). keep=False removes each
    run's outputs (untimed), so that a large run does not fill the RAM folder."""
    import shutil

    n = len(baseline_synth.plan(files, noises, SNRS, root, mode))
    variants = [("syn", {}), ("manifest", {"manifest": True}),
                ("active", {"snr_definition": "active"}), ("render", None)]
    source = root / f"m_{mode}{n}_source"
    with contextlib.redirect_stderr(stdio.StringIO()), contextlib.redirect_stdout(stdio.StringIO()):
        s = Synthesizer(clean_dir, noise_dir, source, SNRS)
        s.cleanWaves, s.noiseWaves = list(files), list(noises)
        s.syn(mode, manifest=True)
    times, loads = {label: [] for label, _ in variants}, []
    for r in range(repeats):
        for label, kwargs in variants[r % len(variants):] + variants[:r % len(variants)]:
            out = root / f"m_{mode}{n}_{label}{r}"
            gc.collect()
            start, start_cpu = time.perf_counter(), time.process_time()
            with contextlib.redirect_stderr(stdio.StringIO()), \
                    contextlib.redirect_stdout(stdio.StringIO()):
                if kwargs is None:
                    synth.render(source / "manifest.csv", out_path=out)
                else:
                    s = Synthesizer(clean_dir, noise_dir, out, SNRS)
                    s.cleanWaves, s.noiseWaves = list(files), list(noises)
                    s.syn(mode, **kwargs)
            times[label].append((time.perf_counter() - start, time.process_time() - start_cpu))
            if not keep:
                shutil.rmtree(out)
        loads.append(os.getloadavg()[0])
    how = "8 threads" if n > baseline_synth.POOL_THRESHOLD else "sequential"
    print(f"{mode}: {n} entries ({how}; load average over the repeats "
          f"{min(loads):.2f}-{max(loads):.2f}, now {load_text()[13:]})")
    best = {label: [min(t[k] for t in runs) for k in (0, 1)] for label, runs in times.items()}
    print(f"  syn                            {best['syn'][0]:7.3f} s / {best['syn'][1]:7.3f} s CPU"
          f"   {1e6 * best['syn'][1] / n:6.0f} us CPU/entry (best of each)")
    for label, what in [("manifest", "syn(manifest=True)"), ("render", "render(manifest)"),
                        ("active", "syn(snr_definition='active')")]:
        paired = [statistics.median(t[k] / b[k] for t, b in zip(times[label], times["syn"]))
                  for k in (0, 1)]
        print(f"  {what:<30} {best[label][0]:7.3f} s / {best[label][1]:7.3f} s CPU"
              f"   median against syn: {100 * (paired[0] - 1):+6.1f}% wall"
              f" {100 * (paired[1] - 1):+6.1f}% CPU")
    if not keep:
        shutil.rmtree(source)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clean", type=int, nargs="+", default=[120, 300],
                        help="clean files of each regular run")
    parser.add_argument("--inc-clean", type=int, default=20, help="clean files of the increment run")
    parser.add_argument("--noises", type=int, default=4)
    parser.add_argument("--clean-seconds", type=float, default=3.0)
    parser.add_argument("--noise-seconds", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", type=Path, default=None,
                        help="folder for the corpus and the outputs (default: RAM when available)")
    parser.add_argument("--pairs", type=int, default=5, help="rounds of the floor comparison")
    parser.add_argument("--floor-only", action="store_true", help="stop after the floor comparison")
    parser.add_argument("--self-only", action="store_true",
                        help="only the self-describing runs (no plain-Python comparison)")
    parser.add_argument("--corpus-clean", type=int, default=200,
                        help="clean files of the corpus-scale self-describing run (increment "
                             "mode: x noises x 3 SNRs entries; 0 leaves it out)")
    parser.add_argument("--corpus-repeat", type=int, default=21,
                        help="repeats of the corpus-scale run")
    args = parser.parse_args()
    ram = Path("/dev/shm")
    where = args.dir if args.dir is not None else (ram if ram.is_dir() and os.access(ram, os.W_OK)
                                                   else None)

    with tempfile.TemporaryDirectory(dir=where) as tmp:
        root = Path(tmp)
        clean_dir, noise_dir = make_corpus(root, max(args.clean + [args.inc_clean, args.corpus_clean]),
                                           args.noises,
                                           args.clean_seconds,
                                           args.noise_seconds)
        cleans = sorted(clean_dir.glob("*.wav"))
        noises = sorted(noise_dir.glob("*.wav"))
        inc_cleans = cleans[: args.inc_clean]
        if not args.self_only:
            against_floor(root, args.clean, args.pairs)
        if args.floor_only:
            return

        def tavol_run(mode, files, out):
            s = Synthesizer(clean_dir, noise_dir, root / out, SNRS)
            s.cleanWaves, s.noiseWaves = list(files), list(noises)
            return s.syn(mode)

        def base_run(mode, files, out, fast):
            entries = baseline_synth.plan(files, noises, SNRS, root / out, mode)
            baseline_synth.render(entries, is_pool=True, fast_power=fast)
            return entries

        print(f"work folder: {tmp}")
        print(f"corpus: clean {args.clean_seconds:g} s at 16 kHz; {len(noises)} noises of "
              f"{args.noise_seconds:g} s at 44.1 kHz; SNRs {SNRS}; best of {args.repeat}")
        ratios = {}
        cases = [("regular", cleans[:n]) for n in args.clean] + [("increment", inc_cleans)]
        for mode, files in [] if args.self_only else cases:
            n = len(baseline_synth.plan(files, noises, SNRS, root, mode))
            how = "8 threads / Pool(8)" if n > baseline_synth.POOL_THRESHOLD else "sequential"
            tag = f"{mode}{n}_"
            t_tavol = timed(lambda out: tavol_run(mode, files, out), "t_" + tag, args.repeat)
            t_base = timed(lambda out: base_run(mode, files, out, False), "b_" + tag, args.repeat)
            t_fast = timed(lambda out: base_run(mode, files, out, True), "f_" + tag, args.repeat)
            ratios[f"{mode} {n}"] = (t_base / t_tavol, t_fast / t_tavol)
            print(f"\n{mode}: {n} entries ({how})")
            print(f"  tavol Synthesizer.syn          {t_tavol:7.3f} s  {n / t_tavol:8.0f} entries/s")
            print(f"  plain Python (as described)    {t_base:7.3f} s  {n / t_base:8.0f} entries/s"
                  f"   tavol x{t_base / t_tavol:.1f}")
            print(f"  plain Python, numpy power      {t_fast:7.3f} s  {n / t_fast:8.0f} entries/s"
                  f"   tavol x{t_fast / t_tavol:.1f}")

        # Manifests, re-rendering and the P.56 definition against a plain syn: the small
        # runs above (where the fixed cost of a run counts), then a corpus-scale run (where
        # the cost per entry does).
        repeats = max(args.repeat, 31)
        print("\nself-describing runs (%d repeats, interleaved): wall / CPU" % repeats)
        for mode, files in cases:
            self_describing(root, clean_dir, noise_dir, mode, files, noises, repeats, keep=True)
        if args.corpus_clean > 0:
            print(f"\nat corpus scale ({args.corpus_repeat} repeats, interleaved; each run's "
                  f"outputs removed after it): wall / CPU")
            self_describing(root, clean_dir, noise_dir, "increment", cleans[: args.corpus_clean],
                            noises, args.corpus_repeat, keep=False)

        if args.self_only:
            return
        # Same seed, same draws in the same order: the sequential runs agree sample for sample
        # up to float32-versus-double rounding.
        np.random.seed(3)
        ours = tavol_run("regular", cleans[:20], "acc_t")
        np.random.seed(3)
        with contextlib.redirect_stderr(stdio.StringIO()):
            ref = baseline_synth.plan(cleans[:20], noises, SNRS, root / "acc_b", "regular")
            baseline_synth.render(ref, is_pool=False)
        diff = max(int(np.max(np.abs(wavfile.read(a[0])[1].astype(int) - wavfile.read(b[0])[1].astype(int))))
                   for a, b in zip(ours, ref))
        print(f"\nlargest sample difference tavol vs plain Python (20 files, same seed): {diff} LSB")
        print("speed-up: " + ", ".join(f"{m} x{a:.1f} (x{b:.1f} against the numpy-power variant)"
                                       for m, (a, b) in ratios.items()))


if __name__ == "__main__":
    main()
