"""What AudioEvaluate adds per file triple, around the metric back-ends' own time.

Two measurements on the same clean / noisy / enhanced triples:

1. Real back-ends (mir_eval, pystoi, pesq.exe): `AudioEvaluate.eval` against a bare
   loop that makes exactly the back-end calls (reading the three files, validate and
   bss_eval_sources twice, stoi twice, pesq.exe twice). Their difference is within the
   run-to-run noise of the back-ends, so it is reported but not relied on.
2. Instant stand-in back-ends (constant scores, pesq.exe replaced by a canned reply):
   what is left is the module's own work per triple (pairing, progress bars, parsing,
   tables, messages), measured over many triples and compared with the real
   back-ends' time per triple from (1).

Usage: python bench/bench_evaluator.py [--triples N] [--repeats R] [--fake-triples M]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

import numpy as np
from scipy.io import wavfile

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from corpus import SENTENCES, speak  # noqa: E402  (the demo's espeak-ng speech)

RATE = 16000


def speech(i: int, folder: Path) -> np.ndarray:
    """A sentence from espeak-ng at 16 kHz, or a voiced synthetic stand-in without it."""
    if shutil.which("espeak-ng"):
        from scipy.signal import resample_poly

        raw = folder / f"raw{i}.wav"
        speak(SENTENCES[i % len(SENTENCES)], "en", raw)
        rate, x = wavfile.read(raw)
        x = resample_poly(x.astype(np.float64), RATE, rate)
    else:
        t = np.arange(int(2.5 * RATE)) / RATE
        f0 = 120 + 20 * np.sin(2 * np.pi * 0.5 * t + i)
        x = sum(np.sin(2 * np.pi * k * np.cumsum(f0) / RATE) / k for k in range(1, 12))
        x *= 0.5 * (1 + np.sin(2 * np.pi * 3 * t)) * (np.sin(2 * np.pi * 0.4 * t) > -0.3)
    return 0.5 * x / np.abs(x).max()


def make_triples(folder: Path, n: int):
    rng = np.random.default_rng(0)
    lists = ([], [], [])
    for i in range(n):
        x = speech(i, folder)
        for kind, snr, out in (("clean", None, lists[0]), ("noisy", 0, lists[1]), ("enhanced", 10, lists[2])):
            y = x
            if snr is not None:
                noise = rng.standard_normal(len(x))
                y = x + noise * np.sqrt(np.mean(x**2) / np.mean(noise**2) / 10 ** (snr / 10))
            path = folder / kind / f"utt{i:03d}.wav"
            path.parent.mkdir(parents=True, exist_ok=True)
            wavfile.write(path, RATE, np.round(np.clip(y, -1, 1) * 32767).astype(np.int16))
            out.append(path)
    return lists


def backends_only(triples, mir_eval, stoi, run_pesq, wavfile=wavfile):
    """The back-end calls AudioEvaluate.eval makes, in a bare loop."""
    for cln, noy, enh in triples:
        _, c = wavfile.read(cln)
        _, n = wavfile.read(noy)
        _, e = wavfile.read(enh)
        sep = mir_eval.separation
        c2, n2, e2 = c.reshape(1, -1), n.reshape(1, -1), e.reshape(1, -1)
        sep.validate(c2, n2)
        sep.validate(c2, e2)
        sep.bss_eval_sources(c2, n2)
        sep.bss_eval_sources(c2, e2)
        rate, c = wavfile.read(cln)
        _, n = wavfile.read(noy)
        _, e = wavfile.read(enh)
        stoi(c, n, rate, extended=False)
        stoi(c, e, rate, extended=False)
        for other in (noy, enh):
            float(run_pesq(str(cln), str(other)).rsplit("= ", 1)[1])


def timed(fn) -> float:
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--triples", type=int, default=4, help="file triples scored with the real back-ends")
    parser.add_argument("--repeats", type=int, default=3, help="interleaved repetitions of each real run")
    parser.add_argument("--fake-triples", type=int, default=400, help="triples scored with instant back-ends")
    args = parser.parse_args()

    import warnings

    warnings.filterwarnings("ignore", category=FutureWarning)
    # pysepm is not on PyPI; importing it only switches AudioEvaluate's PESQ measure on.
    sys.modules.setdefault("pysepm", types.ModuleType("pysepm"))
    import mir_eval
    from pystoi import stoi

    import tavol.core.evaluator as ev

    program = shutil.which("pesq.exe") or str(Path(sys.executable).with_name("pesq.exe"))

    def run_pesq(ref, deg):
        argv = [program, "+16000", ref, deg]
        return subprocess.run(argv, stdout=subprocess.PIPE, text=True, check=True).stdout.splitlines()[-1]

    with tempfile.TemporaryDirectory() as tmp:
        clean, noisy, enhanced = make_triples(Path(tmp), args.triples)
        triples = list(zip(clean, noisy, enhanced))
        evaluator = ev.AudioEvaluate(clean, noisy)
        assert (evaluator.pesq_status, evaluator.stoi_status, evaluator.sdr_status) == (True, True, True)
        real_module, real_backends = [], []
        for i in range(args.repeats):
            runs = [
                (real_backends, lambda: backends_only(triples, mir_eval, stoi, run_pesq)),
                (real_module, lambda: evaluator.eval("bench", list(reversed(enhanced)))),
            ]
            for times, fn in runs if i % 2 == 0 else reversed(runs):  # alternate who goes first
                times.append(timed(fn) / len(triples))
        backend = statistics.median(real_backends)
        module = statistics.median(real_module)

        # Instant back-ends: constant scores, a canned pesq.exe reply, files read from memory.
        cache = {p: wavfile.read(p) for p in clean + noisy + enhanced}
        fake_wavfile = types.SimpleNamespace(read=cache.__getitem__)
        fake_sep = types.SimpleNamespace(
            validate=lambda r, e: None,
            bss_eval_sources=lambda r, e: (np.array([5.0]), np.zeros(1), np.zeros(1), np.zeros(1, int)),
        )
        fake_mir_eval = types.ModuleType("mir_eval")
        fake_mir_eval.separation = fake_sep
        fake_pystoi = types.ModuleType("pystoi")
        fake_pystoi.stoi = lambda c, p, r, extended=False: 0.9
        reply = subprocess.CompletedProcess([], 0, "header\nPrediction : PESQ_MOS = 2.500\n")
        fake_subprocess = types.SimpleNamespace(run=lambda *a, **k: reply, PIPE=subprocess.PIPE)
        saved = {name: sys.modules[name] for name in ("mir_eval", "pystoi")}
        sys.modules["mir_eval"], sys.modules["pystoi"] = fake_mir_eval, fake_pystoi
        ev.subprocess, ev.wavfile = fake_subprocess, fake_wavfile
        try:
            reps = -(-args.fake_triples // len(triples))
            many = triples * reps
            evaluator = ev.AudioEvaluate([t[0] for t in many], [t[1] for t in many])
            fake_enhanced = [t[2] for t in many]
            fake_module, fake_backends = [], []
            for _ in range(3):
                fake_backends.append(
                    timed(lambda: backends_only(many, fake_mir_eval, fake_pystoi.stoi, lambda r, d: reply.stdout, fake_wavfile))
                    / len(many)
                )
                fake_module.append(timed(lambda: evaluator.eval("fake", fake_enhanced)) / len(many))
            # Fixed costs of one call (tables, banners, summaries), on the small set.
            small = ev.AudioEvaluate(clean, noisy)
            fake_call = min(timed(lambda: small.eval("fake", enhanced)) for _ in range(5))
            bare_call = min(
                timed(lambda: backends_only(triples, fake_mir_eval, fake_pystoi.stoi, lambda r, d: reply.stdout, fake_wavfile))
                for _ in range(5)
            )
        finally:
            sys.modules.update(saved)
            ev.subprocess, ev.wavfile = subprocess, wavfile
        own = min(fake_module) - min(fake_backends)

    print(f"real back-ends, {len(triples)} triples x {args.repeats} runs (median seconds per triple):")
    print(f"  back-end calls alone      {backend * 1e3:9.1f} ms")
    print(f"  AudioEvaluate.eval        {module * 1e3:9.1f} ms   difference {(module - backend) * 1e3:+.1f} ms "
          f"({(module - backend) / backend:+.1%}, within run-to-run noise)")
    print(f"instant back-ends, {len(many)} triples (best of 3, per triple):")
    print(f"  bare loop                 {min(fake_backends) * 1e3:9.3f} ms")
    print(f"  AudioEvaluate.eval        {min(fake_module) * 1e3:9.3f} ms")
    print(f"module's own work per triple: {own * 1e3:.3f} ms = {own / backend:.4%} of the back-ends' time")
    call = fake_call - bare_call
    print(f"one eval call on the {len(triples)} triples, instant back-ends: {call * 1e3:.2f} ms of own work "
          f"= {call / (backend * len(triples)):.4%} of the back-ends' {backend * len(triples):.2f} s")


if __name__ == "__main__":
    main()
