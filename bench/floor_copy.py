"""The I/O floor of a synthesis run: read each input file once, write each output file
with as many bytes as the synthesiser writes there (the clean's bytes: a 16-bit mono
mixture at 16 kHz is as long as its 16 kHz clean), nothing computed. bench_synth.py
times it beside the synthesiser in the same run.

    python bench/floor_copy.py OUT_DIR CLEAN... --noise NOISE... [--workers 8]
"""

import argparse
import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path


def read_once(paths) -> dict:
    data = {}
    for p in paths:
        if p not in data:
            with open(p, "rb") as f:
                data[p] = f.read()
    return data


def copy(entries, workers: int = 1) -> None:
    """entries: (output, clean, noise) paths. Inputs are read once, then every output is
    written, on `workers` threads when more than one."""
    data = read_once([p for _, c, n in entries for p in (c, n)])
    folders = {Path(out).parent for out, _, _ in entries}
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)

    def write(entry):
        out, clean, _ = entry
        with open(out, "wb") as f:
            f.write(data[clean])

    if workers > 1:
        with ThreadPoolExecutor(workers) as pool:
            list(pool.map(write, entries))
    else:
        for entry in entries:
            write(entry)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out", type=Path)
    parser.add_argument("clean", nargs="+")
    parser.add_argument("--noise", nargs="+", required=True)
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    noises = args.noise
    entries = [(args.out / os.path.basename(c), c, noises[i % len(noises)]) for i, c in enumerate(args.clean)]
    copy(entries, args.workers)


if __name__ == "__main__":
    main()
