"""``pesq.exe``: the command-line PESQ program that ``tavol.core.evaluator`` starts.

Usage::

    pesq.exe +16000 REFERENCE.wav DEGRADED.wav

Scores DEGRADED against REFERENCE with ITU-T P.862 in narrow-band mode and prints, as
its last line, ``Prediction : PESQ_MOS = X.XXX`` with the raw P.862 MOS (about -0.5 to
4.5). The ``pesq`` package reports narrow-band results as MOS-LQO (P.862.1); the raw MOS
is recovered by inverting that mapping. Errors go to standard error with a non-zero exit
status (2 for a bad command line, 1 for files that cannot be read or scored), and then
nothing is printed on standard output.
"""

from __future__ import annotations

import math
import re
import sys

USAGE = "usage: pesq.exe +8000|+16000 REFERENCE.wav DEGRADED.wav"
RATES = (8000, 16000)

# P.862.1: MOS-LQO = LOW + SPAN / (1 + exp(-SLOPE * raw + OFFSET)).
_LQO_LOW = 0.999
_LQO_SPAN = 4.0
_LQO_SLOPE = 1.4945
_LQO_OFFSET = 4.6607


class UsageError(Exception):
    """The command line is not ``+RATE REFERENCE DEGRADED``."""


class InputError(Exception):
    """A file cannot be read, or its contents cannot be scored."""


def raw_mos_from_lqo(lqo: float) -> float:
    """Inverse of the P.862.1 mapping: the raw P.862 MOS whose MOS-LQO is ``lqo``."""
    share = (lqo - _LQO_LOW) / _LQO_SPAN
    if not 0.0 < share < 1.0:
        raise InputError(f"MOS-LQO {lqo!r} is outside the range of the P.862.1 mapping")
    return (_LQO_OFFSET - math.log(1.0 / share - 1.0)) / _LQO_SLOPE


def parse_args(argv: list[str]) -> tuple[int, str, str]:
    """(rate, reference, degraded). Before the first file, ``+`` and digits is the rate
    option; every other argument is a file, so a file may be named ``+ref.wav``."""
    rate = None
    files = []
    for arg in argv:
        if re.fullmatch(r"\+[0-9]+", arg) and len(files) == 0:
            if rate is not None:
                raise UsageError(f"more than one rate option: {arg!r}")
            rate = int(arg[1:])
            if rate not in RATES:
                raise UsageError(f"unsupported sampling rate {rate} Hz (use 8000 or 16000)")
        else:
            files.append(arg)
    if rate is None:
        raise UsageError("missing the sampling rate option (+8000 or +16000)")
    if len(files) != 2:
        raise UsageError(f"expected a reference and a degraded file, got {len(files)} file argument(s)")
    return rate, files[0], files[1]


def _read_wav(path: str):
    """(rate, samples) of a WAV file; 16-bit PCM through the standard library (quick to
    start), every other encoding through scipy."""
    import wave

    import numpy as np

    try:
        with wave.open(path, "rb") as w:
            if w.getsampwidth() == 2:
                frames = w.readframes(w.getnframes())
                samples = np.frombuffer(frames, dtype="<i2")
                channels = w.getnchannels()
                return w.getframerate(), samples.reshape(-1, channels) if channels > 1 else samples
    except wave.Error:
        pass
    from scipy.io import wavfile

    return wavfile.read(path)


def read_mono(path: str, rate: int):
    import numpy as np

    try:
        file_rate, samples = _read_wav(path)
    except (OSError, ValueError, EOFError) as exc:
        raise InputError(f"cannot read {path!r}: {exc}") from None
    if file_rate != rate:
        raise InputError(f"{path!r} is sampled at {file_rate} Hz, not {rate} Hz")
    if samples.ndim != 1:
        raise InputError(f"{path!r} has {samples.shape[1]} channels; PESQ needs a mono file")
    if samples.size == 0:
        raise InputError(f"{path!r} holds no samples")
    return samples.astype(np.float64)


def score(rate: int, reference: str, degraded: str) -> float:
    """Raw P.862 narrow-band MOS of ``degraded`` against ``reference``."""
    ref = read_mono(reference, rate)
    deg = read_mono(degraded, rate)
    import pesq

    try:
        lqo = pesq.pesq(rate, ref, deg, "nb")
    except (pesq.PesqError, ValueError) as exc:
        raise InputError(f"cannot score {degraded!r} against {reference!r}: {exc}") from None
    return raw_mos_from_lqo(float(lqo))


# Thread counts of the BLAS libraries that numpy may load. The program scores one pair on one
# thread; left to itself, OpenBLAS starts a thread per core when numpy is imported, which spins
# while it waits for work (measured: about a quarter of the program's processor
# time, taken from the other programs and measures that AudioEvaluate.eval runs beside it).
_BLAS_THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def main(argv: list[str] | None = None) -> int:
    if argv is None:  # run as the program (numpy is not imported yet): one BLAS thread
        import os

        for name in _BLAS_THREAD_VARIABLES:
            os.environ[name] = "1"
    args = sys.argv[1:] if argv is None else argv
    try:
        rate, reference, degraded = parse_args(args)
        mos = score(rate, reference, degraded)
    except UsageError as exc:
        print(f"pesq.exe: {exc}\n{USAGE}", file=sys.stderr)
        return 2
    except InputError as exc:
        print(f"pesq.exe: {exc}", file=sys.stderr)
        return 1
    print(f"Reference: {reference}\nDegraded:  {degraded}")
    print(f"Prediction : PESQ_MOS = {mos:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
