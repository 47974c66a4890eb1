"""Batch loading speed: tavol's load_waves against pedalboard's AudioFile reader (a loop
reading each file whole) and a plain librosa.load loop, on generated corpora.

The first call of a process is what a script sees, so it is timed apart from the warm
calls after it: every figure comes from a fresh process that imports its library (and
numpy, which every audio script has), then times its first call and the best of the
next ones. Processes run interleaved (tavol, pedalboard, tavol, ...) and each figure is
the median over the pairs, beside the processor time of all threads (the figure a loaded
machine disturbs least). A third process times allocating and touching the same output
with numpy, one array per file as every reader returns it: the fresh-memory cost any
reader pays on a first call, and so the least a first call can cost beyond a warm one
(on a virtual machine each fresh page is a fault in the guest and often in the host too).

    python bench/bench_io.py [--files 1000] [--stereo-files 300] [--pairs 5]

pedalboard is never a dependency of tavol: the bench installs it, without its
dependencies, into build/bench-pedalboard (pip install --target) the first time, and says
so when it cannot. The corpora live in RAM (/dev/shm) when the machine has it.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PEDALBOARD_DIR = ROOT / "build" / "bench-pedalboard"

CHILD = r"""
import contextlib, io as _io, json, sys, time
from pathlib import Path
import numpy as np
side, folder, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = sorted(str(p) for p in Path(folder).glob("*.wav"))
if side == "pedalboard":
    sys.path.insert(0, sys.argv[4])
    from pedalboard.io import AudioFile
    def run():
        out = []
        for f in files:
            with AudioFile(f) as a:
                out.append((a.read(a.frames), a.samplerate))
        return out
elif side == "librosa":
    import librosa
    def run():
        return [librosa.load(f, sr=None, mono=True) for f in files]
elif side == "memory":
    import soundfile as sf
    frames = [sf.info(f).frames for f in files]  # floats load_waves returns (mono)
    def run():
        return [np.ones(n, np.float32) for n in frames]
else:
    from tavol.core import io
    pooled = side == "pooled"
    def run():
        return io.load_waves(files, use_pool=pooled)
times = []
for _ in range(calls):
    start, start_cpu = time.perf_counter(), time.process_time()
    with contextlib.redirect_stderr(_io.StringIO()):  # tqdm bars
        result = run()
    times.append((time.perf_counter() - start, time.process_time() - start_cpu))
    del result
print(json.dumps(times))
"""


def make_corpus(folder: Path, n: int, seconds: float, rate: int, channels: int):
    import numpy as np
    import soundfile as sf

    rng = np.random.default_rng(1234)
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(n):
        x = (0.1 * rng.standard_normal((int(seconds * rate), channels))).astype(np.float32)
        sf.write(folder / f"utt{i:05d}.wav", x, rate, subtype="PCM_16")


def pedalboard_path():
    """The folder pedalboard is importable from, installing it there once; None if it cannot be."""
    probe = [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import pedalboard.io",
             str(PEDALBOARD_DIR)]
    if subprocess.run(probe, capture_output=True).returncode == 0:
        return PEDALBOARD_DIR
    print(f"installing pedalboard (bench only, no dependencies) into {PEDALBOARD_DIR}")
    got = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target",
                          str(PEDALBOARD_DIR), "pedalboard"], capture_output=True, text=True)
    if got.returncode != 0 or subprocess.run(probe, capture_output=True).returncode != 0:
        print("pedalboard could not be installed: comparing against librosa only\n"
              + got.stderr.strip()[-400:])
        return None
    return PEDALBOARD_DIR


def child(side: str, folder: Path, calls: int, extra: str = "") -> list:
    out = subprocess.run([sys.executable, "-c", CHILD, side, str(folder), str(calls), extra],
                         capture_output=True, text=True, check=True, cwd=tempfile.gettempdir())
    return json.loads(out.stdout)


def load() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def run_case(name, folder, sides, pairs, calls, pb):
    first = {s: [] for s in sides}
    warm = {s: [] for s in sides}
    cpu = {s: ([], []) for s in sides}  # processor time (all threads) of the first and warm calls
    for _ in range(pairs):
        for side in sides:
            times = child(side, folder, calls, str(pb or ""))
            first[side].append(times[0][0])
            warm[side].append(min(t[0] for t in times[1:]))
            cpu[side][0].append(times[0][1])
            cpu[side][1].append(min(t[1] for t in times[1:]))
    med = {s: (statistics.median(first[s]), statistics.median(warm[s])) for s in sides}
    print(f"\n{name}  ({load()})")
    print(f"  {'':28s} {'first call':>10s} {'warm':>9s} {'first/warm':>10s}   processor time: first, warm")
    for side in sides:
        f, w = med[side]
        print(f"  {LABELS[side]:28s} {f:9.3f}s {w:8.3f}s {f / w:9.2f}x   "
              f"{statistics.median(cpu[side][0]):6.3f}s {statistics.median(cpu[side][1]):6.3f}s")
    for ours in ("pooled", "sequential"):
        for other in ("pedalboard", "librosa"):
            if other in med:
                print(f"  load_waves {ours:10s} vs {other:10s}: first call x{med[other][0] / med[ours][0]:.2f}"
                      f", warm x{med[other][1] / med[ours][1]:.2f}")
    return med


LABELS = {"pooled": "load_waves(use_pool=True)", "sequential": "load_waves(use_pool=False)",
          "pedalboard": "pedalboard AudioFile loop", "librosa": "librosa.load loop",
          "memory": "numpy: touch the same bytes"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--stereo-files", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--calls", type=int, default=3, help="calls per process: the first, then warm ones")
    parser.add_argument("--librosa", action="store_true", help="also time a librosa.load loop (slow)")
    args = parser.parse_args()
    pb = pedalboard_path()
    sides = ["pooled", "sequential"] + (["pedalboard"] if pb else []) + (["librosa"] if args.librosa else [])
    sides.append("memory")
    ram = Path("/dev/shm")
    where = ram if ram.is_dir() and os.access(ram, os.W_OK) else None
    print(f"fresh process per figure, median of {args.pairs} interleaved rounds; {load()}")
    with tempfile.TemporaryDirectory(dir=where) as tmp:
        mono, stereo = Path(tmp) / "mono16k", Path(tmp) / "stereo44k"
        make_corpus(mono, args.files, args.seconds, 16000, 1)
        make_corpus(stereo, args.stereo_files, args.seconds, 44100, 2)
        run_case(f"{args.files} files of {args.seconds:g} s, 16 kHz mono", mono, sides, args.pairs,
                 args.calls, pb)
        run_case(f"{args.stereo_files} files of {args.seconds:g} s, 44.1 kHz stereo, at their own rate "
                 "(load_waves mixes to mono; pedalboard returns both channels)", stereo, sides,
                 args.pairs, args.calls, pb)
    print(f"\n{load()}")


if __name__ == "__main__":
    main()
