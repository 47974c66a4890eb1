"""What is in a set of audio files: rates, channels, bit depths, durations, clipped, silent and broken files.

`describe(paths)` is the job behind `tavol info`; it reads each file once, a block at a time, with
soundfile (libsndfile), so any size of file is examined in bounded memory.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, Sequence, Union

__all__ = ["describe", "summarize", "SILENCE_DBFS"]

# A file whose peak stays below this level (dB relative to full scale) is reported as silent.
SILENCE_DBFS = -60.0
_BLOCK = 1 << 16
_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32, "FLOAT": 32, "DOUBLE": 64,
         "ALAW": 8, "ULAW": 8}

PathLike = Union[str, "os.PathLike[str]"]


def _audio_suffixes() -> set[str]:
    import soundfile

    return {"." + ext.lower() for ext in soundfile.available_formats()}


def _gather(paths: Iterable[PathLike]) -> list[Path]:
    """Files named directly, and the audio files found (recursively) in the folders named."""
    suffixes = None
    files: list[Path] = []
    for given in paths:
        path = Path(os.fspath(given))
        if path.is_dir():
            suffixes = suffixes or _audio_suffixes()
            files += sorted(p for p in path.rglob("*") if p.is_file() and p.suffix.lower() in suffixes)
        else:
            files.append(path)
    return files


def _examine(path: Path) -> dict:
    import numpy as np
    import soundfile

    row: dict = {"file": str(path), "rate": None, "channels": None, "bit_depth": None, "frames": None,
                 "duration_s": None, "peak_dbfs": None, "clipped_samples": None, "silent": None,
                 "error": None}
    try:
        with soundfile.SoundFile(path) as f:
            row.update(rate=f.samplerate, channels=f.channels, bit_depth=_BITS.get(f.subtype),
                       frames=f.frames, duration_s=f.frames / f.samplerate)
            integer = f.subtype in _BITS and f.subtype not in ("FLOAT", "DOUBLE")
            peak, clipped = 0.0, 0
            for block in f.blocks(_BLOCK, dtype="float64", always_2d=True):
                if not np.isfinite(block).all():
                    raise ValueError("holds NaN or infinite samples")
                magnitude = np.abs(block)
                if magnitude.size:
                    peak = max(peak, float(magnitude.max()))
                # Integer PCM clips at its extreme codes (read back as -1.0 and 1 - 1 LSB); floats at 1.0.
                limit = 1.0 - 2.0 ** (1 - row["bit_depth"]) if integer and row["bit_depth"] else 1.0
                clipped += int(np.count_nonzero(magnitude >= limit))
    except Exception as error:  # noqa: BLE001 - any failure to read is this file's failure
        row.update(rate=None, channels=None, bit_depth=None, frames=None, duration_s=None,
                   error=str(error).splitlines()[0] if str(error) else type(error).__name__)
        return row
    row["peak_dbfs"] = round(20 * np.log10(peak), 2) if peak > 0 else float("-inf")
    row["clipped_samples"] = clipped
    row["silent"] = row["peak_dbfs"] < SILENCE_DBFS
    return row


def describe(paths: Sequence[PathLike] | PathLike, *, progress: bool = True):
    """One row per file (folders are searched recursively for audio files) as a pandas DataFrame.

    Columns: file, rate, channels, bit_depth, frames, duration_s, peak_dbfs, clipped_samples,
    silent, error (None for readable files; the reason, in one line, for the others).
    """
    import sys

    import pandas as pd
    from tqdm import tqdm

    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files = _gather(paths)
    rows = [_examine(f) for f in tqdm(files, desc="Examining", file=sys.stderr, disable=not progress)]
    columns = ["file", "rate", "channels", "bit_depth", "frames", "duration_s", "peak_dbfs",
               "clipped_samples", "silent", "error"]
    table = pd.DataFrame(rows, columns=columns)
    return table.astype({"rate": "Int64", "channels": "Int64", "bit_depth": "Int64", "frames": "Int64",
                         "clipped_samples": "Int64", "silent": "boolean"})


def summarize(table) -> dict:
    """Totals of a `describe` table: counts, total duration, the rates, channels and bit depths seen
    (value -> number of files), and the clipped, silent and unreadable files by name."""
    readable = table[table["error"].isna()]

    def counts(column):
        return {int(k): int(v) for k, v in readable[column].dropna().value_counts().sort_index().items()}

    return {
        "files": int(len(table)),
        "readable": int(len(readable)),
        "total_duration_s": round(float(readable["duration_s"].sum()), 3),
        "rates": counts("rate"),
        "channels": counts("channels"),
        "bit_depths": counts("bit_depth"),
        "clipped": readable.loc[readable["clipped_samples"] > 0, "file"].tolist(),
        "silent": readable.loc[readable["silent"].fillna(False).astype(bool), "file"].tolist(),
        "unreadable": {r.file: r.error for r in table[table["error"].notna()].itertuples()},
    }
