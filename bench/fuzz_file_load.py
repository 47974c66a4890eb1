"""Fuzzes tavol.core.io.file_load with random and mutated WAV/FLAC bytes.

    python bench/fuzz_file_load.py [--inputs 50000] [--batch 1000] [--seed 0]
                                   [--memory-gib 2] [--dir /dev/shm] [--keep crashes/]

Inputs are made in batches of `--batch` files. Each batch is loaded in a child process
whose address space is limited (RLIMIT_AS: what the child uses after its imports plus
`--memory-gib`), so a header claiming terabytes fails as an allocation, not as the
machine. In the child:

* every file goes through file_load with the defaults, with sr=16000 and with
  mono=False: each call must return None or (float32 array of finite samples, int
  rate), and never raise;
* the batch goes through load_waves sequentially and pooled (more than 300 files):
  entry for entry the same arrays and rates, and the same printed messages.

A child that dies (a crash) is a failure of its batch; with --keep its inputs are
saved there. The last line is the summary, and the exit status is 1 unless every
count but the inputs is 0. The test suite runs a short run of this script.
"""

from __future__ import annotations

import argparse
import io as stdio
import json
import os
import random
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

# ---------------------------------------------------------------- inputs


def _riff(chunks: list[tuple[bytes, bytes]], form: bytes = b"WAVE") -> bytes:
    body = form
    for cid, data in chunks:
        body += cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")
    return b"RIFF" + struct.pack("<I", len(body)) + body


def _fmt(tag: int, channels: int, rate: int, bits: int) -> bytes:
    align = channels * bits // 8
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)


def seed_files() -> list[bytes]:
    """Valid files of the kinds the decoder has separate paths for."""
    import numpy as np
    import soundfile as sf

    rng = np.random.default_rng(0)
    seeds = []
    for fmt, subtype, channels, rate, frames in [
        ("WAV", "PCM_16", 1, 16000, 300), ("WAV", "PCM_16", 2, 44100, 200),
        ("WAV", "PCM_24", 1, 8000, 100), ("WAV", "PCM_U8", 1, 11025, 100),
        ("WAV", "FLOAT", 1, 22050, 150), ("WAV", "DOUBLE", 2, 16000, 60),
        ("WAV", "PCM_32", 3, 48000, 50), ("FLAC", "PCM_16", 1, 16000, 400),
        ("FLAC", "PCM_24", 2, 44100, 200), ("WAVEX", "PCM_16", 2, 16000, 80),
        ("RF64", "PCM_16", 1, 16000, 64),
    ]:
        x = (0.3 * rng.standard_normal((frames, channels))).clip(-1, 1)
        out = stdio.BytesIO()
        sf.write(out, x, rate, format=fmt, subtype=subtype)
        seeds.append(out.getvalue())
    pcm = (rng.standard_normal(256) * 3000).astype("<i2").tobytes()
    seeds.append(_riff([(b"LIST", b"INFOjunk"), (b"fmt ", _fmt(1, 1, 16000, 16)), (b"data", pcm)]))
    seeds.append(_riff([(b"fmt ", _fmt(3, 1, 16000, 32)),
                        (b"data", rng.standard_normal(64).astype("<f4").tobytes())]))
    return seeds


INTERESTING32 = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000,
                 0xFFFFFFFF, 0xFFFFFFFE, 16000, 44100, 1 << 20, 1 << 30]


def mutate(rng: random.Random, data: bytes, seeds: list[bytes]) -> bytes:
    b = bytearray(data)
    for _ in range(rng.choice([1, 1, 2, 3, 5, 10])):
        op = rng.randrange(9)
        if not b:
            b = bytearray(rng.choice(seeds))
        if op == 0:  # flip bits
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
        elif op == 1:  # a random byte, most often in the header
            i = rng.randrange(min(len(b), 80) if rng.random() < 0.7 else len(b))
            b[i] = rng.randrange(256)
        elif op == 2:  # an interesting 16/32-bit value over a header field
            i = rng.randrange(0, max(1, min(len(b), 80) - 4))
            v = rng.choice(INTERESTING32)
            width = rng.choice([2, 4])
            b[i:i + width] = (v & ((1 << (8 * width)) - 1)).to_bytes(width, rng.choice(["little", "big"]))
        elif op == 3:  # truncate
            del b[rng.randrange(len(b)):]
        elif op == 4:  # append junk
            b += rng.randbytes(rng.randrange(1, 200))
        elif op == 5:  # splice another seed in
            other = rng.choice(seeds)
            i, j = rng.randrange(len(b)), rng.randrange(len(other))
            b[i:] = other[j:]
        elif op == 6:  # duplicate or drop a block
            i = rng.randrange(len(b))
            n = rng.randrange(1, 64)
            if rng.random() < 0.5:
                b[i:i] = b[i:i + n]
            else:
                del b[i:i + n]
        elif op == 7:  # NaN or infinity as float samples
            i = rng.randrange(len(b))
            b[i:i + 4] = rng.choice([b"\x00\x00\xc0\x7f", b"\x00\x00\x80\x7f", b"\x00\x00\x80\xff"])
        else:  # FLAC STREAMINFO: rate, channels, bits and total samples at byte 18
            if b[:4] == b"fLaC" and len(b) >= 26:
                v = int.from_bytes(b[18:26], "big") ^ (1 << rng.randrange(64))
                b[18:26] = v.to_bytes(8, "big")
    return bytes(b)


def make_input(rng: random.Random, seeds: list[bytes]) -> bytes:
    r = rng.random()
    if r < 0.05:
        return rng.randbytes(rng.randrange(0, 256))
    if r < 0.10:  # random bytes behind a real magic
        return rng.choice([b"RIFF", b"fLaC", b"RF64", b"FORM"]) + rng.randbytes(rng.randrange(0, 200))
    return mutate(rng, rng.choice(seeds), seeds)


# ---------------------------------------------------------------- one batch, in a child


def check_batch(folder: Path, memory_bytes: int) -> dict:
    import contextlib
    import warnings

    import numpy as np

    from tavol.core import io

    warnings.simplefilter("ignore")
    if memory_bytes:
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (used + memory_bytes, resource.RLIM_INFINITY))

    counts = {"calls": 0, "escaped": 0, "bad_results": 0, "mismatches": 0, "loaded": 0}
    problems = []
    files = sorted(folder.glob("*.wav"))
    for path in files:
        for kwargs in ({}, {"sr": 16000}, {"mono": False}):
            counts["calls"] += 1
            try:
                with contextlib.redirect_stdout(stdio.StringIO()):
                    got = io.file_load(str(path), **kwargs)
            except BaseException as exc:  # noqa: BLE001 - anything escaping is the finding
                counts["escaped"] += 1
                problems.append(f"{path.name} {kwargs}: {type(exc).__name__}: {exc}"[:300])
                continue
            if got is None:
                continue
            y, sr = got
            ok = (isinstance(y, np.ndarray) and y.dtype == np.float32 and type(sr) is int
                  and sr >= 1000 and bool(np.isfinite(y).all())
                  and (y.ndim == 1 if kwargs.get("mono", True) else y.ndim in (1, 2)))
            counts["loaded"] += 1
            if not ok:
                counts["bad_results"] += 1
                problems.append(f"{path.name} {kwargs}: bad result {type(y)} {getattr(y, 'dtype', '')} {sr!r}")

    def load(**kwargs):
        out = stdio.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(stdio.StringIO()):
            try:
                result = io.load_waves(folder, **kwargs)
            except BaseException as exc:  # noqa: BLE001
                result = f"{type(exc).__name__}: {exc}"
        return result, out.getvalue()

    (seq, seq_out), (pooled, pooled_out) = load(), load(use_pool=True, core_=2)
    same = seq_out == pooled_out and type(seq) is type(pooled)
    if same and isinstance(seq, list):
        same = len(seq) == len(pooled) and all(
            (a is None and b is None)
            or (a is not None and b is not None and a[1] == b[1] and np.array_equal(a[0], b[0]))
            for a, b in zip(seq, pooled))
    elif same:
        same = seq == pooled
    if not same:
        counts["mismatches"] += 1
        problems.append(f"pooled != sequential in {folder.name}")
    return {"counts": counts, "problems": problems[:20]}


# ---------------------------------------------------------------- driver


def run(args) -> int:
    rng = random.Random(args.seed)
    seeds = seed_files()
    totals = {"inputs": 0, "crashes": 0, "escaped": 0, "bad_results": 0, "mismatches": 0,
              "calls": 0, "loaded": 0}
    base = Path(tempfile.mkdtemp(prefix="tavol_fuzz_", dir=args.dir))
    try:
        batch_no = 0
        while totals["inputs"] < args.inputs:
            n = min(args.batch, args.inputs - totals["inputs"])
            folder = base / f"batch{batch_no:05d}"
            folder.mkdir()
            for i in range(n):
                (folder / f"in{i:04d}.wav").write_bytes(make_input(rng, seeds))
            child = subprocess.run(
                [sys.executable, __file__, "--child", str(folder), "--memory-gib", str(args.memory_gib)],
                capture_output=True, text=True)
            totals["inputs"] += n
            if child.returncode < 0 or not child.stdout.strip():
                totals["crashes"] += 1
                print(f"batch {batch_no}: child ended with status {child.returncode}\n{child.stderr[-2000:]}",
                      flush=True)
                if args.keep:
                    shutil.copytree(folder, Path(args.keep) / folder.name, dirs_exist_ok=True)
            else:
                report = json.loads(child.stdout.strip().splitlines()[-1])
                for key, value in report["counts"].items():
                    totals[key] += value
                for line in report["problems"]:
                    print(f"batch {batch_no}: {line}", flush=True)
                if report["problems"] and args.keep:
                    shutil.copytree(folder, Path(args.keep) / folder.name, dirs_exist_ok=True)
            shutil.rmtree(folder)
            batch_no += 1
            if args.verbose:
                print(json.dumps(totals), flush=True)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("summary " + " ".join(f"{k}={v}" for k, v in totals.items()), flush=True)
    failed = any(totals[k] for k in ("crashes", "escaped", "bad_results", "mismatches"))
    return 1 if failed else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--inputs", type=int, default=50000)
    parser.add_argument("--batch", type=int, default=1000, help="files per child (over 300: pooled)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--memory-gib", type=float, default=2.0,
                        help="address space a child may add to what its imports use")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--keep", help="folder to save the inputs of failing batches in")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(check_batch(Path(args.child), int(args.memory_gib * (1 << 30)))))
        return 0
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
