"""Rendering a manifest on a Dask cluster: tavol.core.synth.render(plan, client=...) on a
LocalCluster of 2 worker processes (1 thread each) against the local render(plan) (8 threads,
and 2 threads), on the same machine, in one run, with the same files written. Wall times
and CPU times (all threads of the calling process and of the workers) are given: on a
machine that other work loads, the wall time mostly measures the share of the cores each
side gets, and the CPU time shows the cost of Dask better. A run of the same parts in this
process without Dask (sequential) tells what cutting the manifest into parts costs (noises
and cleans decoded once per part instead of once per run) from what Dask itself costs
(its processes' housekeeping, about 0.04 CPU s per second of wall time each, measured here,
half of it the workers' sampling profiler, which is on as in Dask's default configuration;
--no-profile turns it off, as a batch job may).

The manifest is the plan of an increment run (every clean with every noise at every SNR);
clean files are short (3 s by default) so that >= 5,000 entries render in seconds. The
cluster is started before the timing and warmed up by one untimed run (its workers import
tavol once); then local and distributed runs alternate and the median of each is kept, with
the machine's load average before and after. What a distributed run costs whatever its size
(sending the parts, the sweep of temporary files, telling the workers the run is over) is
measured on a manifest of 18 entries, against the local render of the same entries.

From the distributed run it derives the cost of one entry (CPU seconds of every process) and
the bytes it moves (the clean read, the mixture written), and estimates what rendering 10^6 such
mixtures on a 10-node cluster takes: the entries per second the nodes' cores give, and the
file-system bandwidth that rate needs.

    python bench/bench_dask.py [--entries 6000] [--clean-seconds 3] [--noises 6] [--repeat 3]
                               [--node-cores 32] [--fs-mbps 2000] [--no-profile]
                               [--dir FOLDER]
"""

import argparse
import contextlib
import io as stdio
import logging
import math
import os
import shutil
import tempfile
import time
from pathlib import Path
from unittest import mock

import numpy as np
import soundfile as sf

import tavol._cluster
from tavol.core import synth
from tavol.core.synth import Synthesizer

SNRS = [-5, 0, 5]


def make_corpus(root: Path, n_clean: int, n_noise: int, clean_s: float, noise_s: float):
    rng = np.random.default_rng(7)
    t = np.arange(int(clean_s * 16000)) / 16000
    (root / "clean").mkdir(parents=True)
    (root / "noise").mkdir(parents=True)
    for i in range(n_clean):
        x = 0.2 * np.sin(2 * np.pi * (120 + i) * t) + 0.02 * rng.standard_normal(t.size)
        sf.write(root / "clean" / f"utt{i:05d}.wav", x.astype(np.float32), 16000, subtype="PCM_16")
    for j in range(n_noise):
        x = 0.1 * rng.standard_normal(int(noise_s * 44100))
        sf.write(root / "noise" / f"noise{j}.wav", x.astype(np.float32), 44100, subtype="PCM_16")
    return root / "clean", root / "noise"


class InProcess:
    """The interface of tavol._cluster.Session, running the tasks here one after another: the
    parts without Dask, which tells what cutting the manifest costs from what Dask costs."""

    def __init__(self, client):
        pass

    def threads(self):
        return 2

    def run(self, fn, tasks, weights=None, bar=None):
        if bar is not None:
            bar.close()
        return [fn(*task) for task in tasks]

    def broadcast(self, fn, *args):
        fn(*args)

    def close(self):
        pass


class Recorded(tavol._cluster.Session):
    """tavol._cluster.Session noting the rows of each part it sends."""
    sizes = []

    def run(self, fn, tasks, weights=None, bar=None):
        if weights is not None:
            Recorded.sizes = list(weights)
        return super().run(fn, tasks, weights, bar)


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def timed(fn):
    """(wall seconds, CPU seconds of this process's threads) of fn(), its output hidden."""
    wall, cpu = time.perf_counter(), time.process_time()
    with contextlib.redirect_stderr(stdio.StringIO()), contextlib.redirect_stdout(stdio.StringIO()):
        fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=6000)
    parser.add_argument("--clean-seconds", type=float, default=3.0)
    parser.add_argument("--noises", type=int, default=6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--node-cores", type=int, default=32, help="cores of one node in the estimate")
    parser.add_argument("--fs-mbps", type=float, default=2000,
                        help="bandwidth of the shared file system in the estimate (MB/s)")
    parser.add_argument("--no-profile", action="store_true",
                        help="turn the workers' statistical profiler off (Dask's default keeps it on)")
    parser.add_argument("--dir", help="work folder (default: in RAM when /dev/shm exists)")
    args = parser.parse_args()

    import dask
    import distributed

    if args.no_profile:  # a batch job has no use for the workers' sampling profiler
        dask.config.set({"distributed.worker.profile.enabled": False})

    shm = Path("/dev/shm")
    root = Path(tempfile.mkdtemp(prefix="tavol_bench_dask_",
                                 dir=args.dir or (shm if shm.is_dir() else None)))
    try:
        n_clean = math.ceil(args.entries / (args.noises * len(SNRS)))
        clean_dir, noise_dir = make_corpus(root, n_clean, args.noises, args.clean_seconds, 30.0)
        plan = Synthesizer(clean_dir, noise_dir, root / "planned", SNRS, seed=1).plan("increment")
        n = len(plan)
        print(f"manifest: {n} entries of {args.clean_seconds:g} s, {args.noises} noises "
              f"(30 s at 44.1 kHz), in {root}")
        print(f"cluster: LocalCluster(n_workers=2, threads_per_worker=1), no dashboard, the workers' "
              f"profiler {'off' if args.no_profile else 'on'}")

        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None,
                                      silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster) as client:
            timed(lambda: synth.render(plan, out_path=root / "warm", client=client))
            shutil.rmtree(root / "warm")
            runs = {"local, 8 threads": [], "local, 2 threads": [], "parts here, no Dask, 1 thread": [],
                    "LocalCluster, 2 x 1 thread": [], "18 entries, local": [], "18 entries, LocalCluster": []}
            tiny = plan.iloc[:18]
            split = []  # the distributed runs' CPU: (this process, scheduler included; the workers)
            load_before = load_average()
            for r in range(args.repeat):
                runs["18 entries, local"].append(timed(lambda: synth.render(tiny, out_path=root / "tiny")))
                shutil.rmtree(root / "tiny")
                before = sum(client.run(time.process_time).values())
                wall, cpu = timed(lambda: synth.render(tiny, out_path=root / "tiny", client=client))
                runs["18 entries, LocalCluster"].append(
                    (wall, cpu + sum(client.run(time.process_time).values()) - before))
                shutil.rmtree(root / "tiny")
                with mock.patch.object(tavol._cluster, "Session", InProcess):
                    runs["parts here, no Dask, 1 thread"].append(
                        timed(lambda: synth.render(plan, out_path=root / "here", client="in process")))
                shutil.rmtree(root / "here")
                runs["local, 8 threads"].append(timed(lambda: synth.render(plan, out_path=root / "local")))
                runs["local, 2 threads"].append(timed(lambda: synth.render(plan, out_path=root / "local2",
                                                                           workers=2)))
                shutil.rmtree(root / "local2")
                before = sum(client.run(time.process_time).values())
                with mock.patch.object(tavol._cluster, "Session", Recorded):
                    wall, cpu = timed(lambda: synth.render(plan, out_path=root / "spread", client=client))
                workers = sum(client.run(time.process_time).values()) - before
                runs["LocalCluster, 2 x 1 thread"].append((wall, cpu + workers))
                split.append((cpu, workers))
                for p in (root / "local").rglob("*.wav"):
                    assert (root / "spread" / p.relative_to(root / "local")).read_bytes() == p.read_bytes(), \
                        "the distributed run wrote other bytes"
                shutil.rmtree(root / "spread")
                if r < args.repeat - 1:
                    shutil.rmtree(root / "local")
            # The parts' own times, from Dask's task stream (which costs the scheduler
            # processor time, so not in a timed run).
            with distributed.get_task_stream(client) as stream:
                timed(lambda: synth.render(plan, out_path=root / "spread", client=client))
        parts = [t for t in stream.data if str(t["key"]).startswith("tavol-_render_part")]
        part_seconds = [sum(s["stop"] - s["start"] for s in t["startstops"] if s["action"] == "compute")
                        for t in parts]

        load_after = load_average()
        best = {k: (float(np.median([w for w, _ in v])), float(np.median([c for _, c in v])))
                for k, v in runs.items()}
        print(f"load average (1 min) {load_before} before, {load_after} after the runs")
        print(f"{'median of ' + str(args.repeat):32s} {'wall s':>8s} {'CPU s':>8s}  (CPU: every process's threads)")
        for k, (wall, cpu) in best.items():
            print(f"{k:32s} {wall:8.2f} {cpu:8.2f}" + ("" if k.startswith("18 ") else f"  {n / wall:7.0f} entries/s"))
        print(f"{'  of which this process, workers':32s} {'':8s} {np.median([c for c, _ in split]):8.2f} "
              f"{np.median([w for _, w in split]):5.2f}")
        fixed = tuple(c - l for c, l in zip(best["18 entries, LocalCluster"], best["18 entries, local"]))
        print(f"fixed cost of a distributed run (18 entries, cluster - local): wall {fixed[0]:.2f} s, "
              f"CPU {fixed[1]:.2f} s")
        spread = best["LocalCluster, 2 x 1 thread"]
        here = best["parts here, no Dask, 1 thread"]
        print(f"parts without Dask / local, 2 threads: CPU {here[1] / best['local, 2 threads'][1]:5.2f}")
        for k in ("local, 8 threads", "local, 2 threads"):
            print(f"distributed / {k:18s} wall {spread[0] / best[k][0]:5.2f}   CPU {spread[1] / best[k][1]:5.2f}"
                  f"   (less the fixed cost: wall {(spread[0] - fixed[0]) / best[k][0]:5.2f}"
                  f"   CPU {(spread[1] - fixed[1]) / best[k][1]:5.2f})")
        sizes = Recorded.sizes
        print(f"parts: {len(parts)} of {max(sizes)} down to {min(sizes)} entries (largest first), "
              f"{np.mean(part_seconds):.2f} s of work each (min {min(part_seconds):.2f}, max {max(part_seconds):.2f})")
        # What the cluster's processes spent per entry, Dask included, its fixed cost left out.
        cpu_per_entry = (spread[1] - fixed[1]) / n
        written = sum(p.stat().st_size for p in (root / "local").rglob("*.wav")) / n
        read = sum(p.stat().st_size for p in clean_dir.iterdir()) / n_clean
        per_entry = written + read
        print(f"per entry: {cpu_per_entry * 1e3:.3f} ms CPU on the cluster "
              f"({best['local, 8 threads'][1] / n * 1e3:.3f} ms locally), {written / 1e3:.1f} kB written + "
              f"{read / 1e3:.1f} kB read (a part reads each of its noises once)")

        nodes, total, cores = 10, 1_000_000, args.node_cores
        rate = nodes * cores / cpu_per_entry
        fs_rate = args.fs_mbps * 1e6 / per_entry
        print(f"estimate, 10^6 entries of {args.clean_seconds:g} s on 10 nodes x {cores} cores: the cores "
              f"render {rate:,.0f} entries/s ({total / rate:.0f} s in all), which needs "
              f"{rate * per_entry / 1e9:,.1f} GB/s from the shared file system and {rate:,.0f} file "
              f"creations/s; a file system giving {args.fs_mbps / 1e3:g} GB/s caps it at "
              f"{min(rate, fs_rate):,.0f} entries/s ({total / min(rate, fs_rate) / 60:.1f} min); "
              f"{total * written / 1e9:.0f} GB are written. Bytes and CPU scale with the entry length.")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
