"""Scoring speed of tavol.core.evaluator on clean / noisy / enhanced triples of espeak-ng speech.

In one run, on the same triples (40 by default):

1. `AudioEvaluate.eval` with the real back-ends (pesq.exe, pystoi, mir_eval), `workers=2`
   against `workers=1` (the serial path); the tables must be equal.
2. The native SDR (`tavol.core.evaluator.sdr`) against mir_eval's `bss_eval_sources` on
   every clean/enhanced pair, with the largest difference of the two.
3. `score_corpus` (PESQ, STOI, SDR and SI-SDR of the enhanced and the noisy files) against
   the plain loop a user would write with pesq, pystoi, mir_eval and NumPy.
4. Instant stand-in back-ends (constant scores, pesq.exe replaced by a canned reply): the
   module's own work per triple in `eval` (pairing, progress bars, parsing, tables),
   compared with the real back-ends' time per triple from (1).

Usage: python bench/bench_evaluator.py [--triples N] [--fake-triples M]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import shutil
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


def user_loop(triples):
    """What a user writes to get score_corpus's table: every measure of the enhanced and
    the noisy file of each triple, one file after the other, then the means."""
    import mir_eval
    import pandas as pd
    from pesq import pesq
    from pystoi import stoi

    def si_sdr(ref, est):
        target = (est @ ref) / (ref @ ref) * ref
        return 10 * np.log10(np.sum(target**2) / np.sum((est - target) ** 2))

    rows = []
    for cln, noy, enh in triples:
        rate, ref = wavfile.read(cln)
        ref = ref / 32768.0
        row = {"file": str(enh)}
        for prefix, path in (("Baseline-", noy), ("", enh)):
            est = wavfile.read(path)[1] / 32768.0
            row[prefix + "PESQ"] = pesq(rate, ref, est, "wb")
            row[prefix + "STOI"] = stoi(ref, est, rate, extended=False)
            row[prefix + "SDR"] = mir_eval.separation.bss_eval_sources(ref[None], est[None])[0][0]
            row[prefix + "SI-SDR"] = si_sdr(ref, est)
        rows.append(row)
    df = pd.DataFrame(rows)
    return df, df.mean(numeric_only=True)


def timed(fn) -> float:
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start


def cpu_seconds() -> float:
    """Processor time of this process and of its children that have ended (the PESQ
    programs, the worker processes): the work done, whatever the machine's load."""
    import resource

    return sum(
        usage.ru_utime + usage.ru_stime
        for usage in (resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN))
    )


def timed_with_cpu(fn) -> tuple[float, float]:
    before = cpu_seconds()
    wall = timed(fn)
    return wall, cpu_seconds() - before


def main_thread_seconds() -> float:
    import resource

    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--triples", type=int, default=40, help="file triples scored with the real back-ends")
    parser.add_argument("--fake-triples", type=int, default=400, help="triples scored with instant back-ends")
    args = parser.parse_args()

    import warnings

    warnings.filterwarnings("ignore", category=FutureWarning)
    import mir_eval
    from pystoi import stoi

    import tavol.core.evaluator as ev

    with tempfile.TemporaryDirectory() as tmp:
        clean, noisy, enhanced = make_triples(Path(tmp), args.triples)
        triples = list(zip(clean, noisy, enhanced))
        n = len(triples)

        # 1. eval, serial and with two workers.
        tables, eval_times, eval_cpu = {}, {}, {}
        for workers in (1, 2):
            evaluator = ev.AudioEvaluate(clean, noisy)
            assert (evaluator.pesq_status, evaluator.stoi_status, evaluator.sdr_status) == (True, True, True)
            main_before = main_thread_seconds()
            eval_times[workers], eval_cpu[workers] = timed_with_cpu(
                lambda: evaluator.eval("bench", list(reversed(enhanced)), workers=workers)
            )
            main_cpu = main_thread_seconds() - main_before
            tables[workers] = evaluator.get_df()
        assert tables[1].equals(tables[2]), "parallel and serial tables differ"
        backend = eval_times[1] / n

        # 2. Native SDR against mir_eval, on float64 copies of every clean/enhanced pair.
        pairs = [(wavfile.read(c)[1] / 32768.0, wavfile.read(e)[1] / 32768.0) for c, _, e in triples]
        # Processor time of this process (all its threads, BLAS's too) beside the wall clock;
        # the best of three passes each (a pass of the native SDR takes a few tens of ms, which
        # one stray process on the machine stretches). The native SDR goes first: after
        # mir_eval's last call OpenBLAS's idle threads spin for a while, which took a core
        # from whatever ran next and counted in its time.
        def best_of_three(score):
            runs = []
            for _ in range(3):
                start, cpu_start = time.perf_counter(), time.process_time()
                values = [score(r, e) for r, e in pairs]
                runs.append((time.perf_counter() - start, time.process_time() - cpu_start))
            return values, min(wall for wall, _ in runs), min(cpu for _, cpu in runs)

        native, native_time, native_cpu = best_of_three(ev.sdr)
        reference, mir_time, mir_cpu = best_of_three(
            lambda r, e: mir_eval.separation.bss_eval_sources(r[None], e[None])[0][0]
        )
        sdr_gap = max(abs(a - b) for a, b in zip(native, reference))

        # 3. score_corpus against the user's loop.
        loop_time, loop_cpu = timed_with_cpu(lambda: user_loop(triples))
        loop_df, loop_means = user_loop(triples[:2])
        corpus = {}
        corpus_time, corpus_cpu = timed_with_cpu(
            lambda: corpus.setdefault("df", ev.score_corpus(clean, enhanced, noisy))
        )
        df = corpus["df"]
        assert (df["error"][:-1] == "").all(), df["error"].unique()
        assert abs(df["SDR"].iloc[0] - loop_df["SDR"].iloc[0]) < 0.01
        assert abs(df["STOI"].iloc[0] - loop_df["STOI"].iloc[0]) < 1e-9  # native STOI against pystoi's

        # 4. Instant back-ends: constant scores, a canned pesq.exe reply, files read from memory.
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
            reps = -(-args.fake_triples // n)
            many = triples * reps
            evaluator = ev.AudioEvaluate([t[0] for t in many], [t[1] for t in many])
            fake_enhanced = [t[2] for t in many]
            fake_module, fake_backends = [], []
            for _ in range(3):
                fake_backends.append(
                    timed(lambda: backends_only(many, fake_mir_eval, fake_pystoi.stoi, lambda r, d: reply.stdout, fake_wavfile))
                    / len(many)
                )
                fake_module.append(timed(lambda: evaluator.eval("fake", fake_enhanced, workers=1)) / len(many))
        finally:
            sys.modules.update(saved)
            ev.subprocess, ev.wavfile = subprocess, wavfile
        own = min(fake_module) - min(fake_backends)

    print(f"{n} triples of espeak-ng speech, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} "
          "(speed-ups need idle cores; cpu = processor seconds of this process and its children)")
    print("1. AudioEvaluate.eval with pesq.exe, pystoi and mir_eval (tables equal):")
    print(f"  workers=1  {eval_times[1]:8.2f} s   ({backend * 1e3:.0f} ms per triple)   cpu {eval_cpu[1]:7.2f} s")
    print(f"  workers=2  {eval_times[2]:8.2f} s   speed-up {eval_times[1] / eval_times[2]:.2f}x (goal 1.7x)"
          f"   cpu {eval_cpu[2]:7.2f} s")
    # On two idle cores the parallel run takes at least its calling thread's processor
    # time and half of all its processor time; the serial run takes all of its own.
    bound = eval_cpu[1] / max(main_cpu, eval_cpu[2] / 2)
    print(f"  processor time of the calling thread with workers=2: {main_cpu:.2f} s, so on two idle "
          f"cores the speed-up could reach {bound:.2f}x")
    print(f"2. SDR of {n} clean/enhanced pairs (largest difference {sdr_gap:.1e} dB; best of 3 passes):")
    print(f"  mir_eval bss_eval_sources {mir_time:8.3f} s   cpu {mir_cpu:7.3f} s")
    print(f"  tavol sdr                 {native_time:8.3f} s   speed-up {mir_time / native_time:.0f}x (goal 50x)"
          f"   cpu {native_cpu:7.3f} s ({mir_cpu / native_cpu:.0f}x less)")
    print(f"3. PESQ, STOI, SDR and SI-SDR of {n} enhanced and {n} noisy files:")
    print(f"  plain loop (pesq, pystoi, mir_eval, numpy)  {loop_time:8.2f} s   cpu {loop_cpu:7.2f} s")
    print(f"  score_corpus (workers=None)                 {corpus_time:8.2f} s   speed-up "
          f"{loop_time / corpus_time:.2f}x (goal 3x)   cpu {corpus_cpu:7.2f} s")
    print(f"4. instant back-ends, {len(many)} triples (best of 3, per triple):")
    print(f"  bare loop                 {min(fake_backends) * 1e3:9.3f} ms")
    print(f"  AudioEvaluate.eval        {min(fake_module) * 1e3:9.3f} ms")
    print(f"  module's own work per triple: {own * 1e3:.3f} ms = {own / backend:.4%} of the real back-ends' time")


if __name__ == "__main__":
    main()
