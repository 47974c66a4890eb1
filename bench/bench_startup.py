"""Start-up costs a script or a worker process pays: importing each module, and `tavol --help`.

Each figure is the median over fresh interpreter processes, beside a bare interpreter (`python -c pass`)
timed in the same run; "own import" is the cumulative time of the module's entry in `python -X importtime`
(its own import and everything that import pulls in).

    python bench/bench_startup.py [--runs 7]

Goals: each module's import at most 0.15 s of its own; `tavol --help` (and `tavol synth --help`) under 0.3 s.
"""

import argparse
import re
import statistics
import subprocess
import sys
import tempfile
import time

# Processes start outside the source tree, whose tavol/ folder (no built modules) would shadow the installed one.
OUTSIDE = tempfile.gettempdir()
MODULES = ["tavol.core.io", "tavol.core.synth", "tavol.core.evaluator", "tavol.core.buffer",
           "tavol.util.check", "tavol.util.visual", "tavol.util.conv", "tavol.util.others"]


def wall(argv, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, check=True, capture_output=True, cwd=OUTSIDE)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def own_import_time(module, runs):
    """Cumulative microseconds of `module`'s own entry in -X importtime, median over runs."""
    values = []
    for _ in range(runs):
        err = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                             check=True, capture_output=True, text=True, cwd=OUTSIDE).stderr
        for line in err.splitlines():
            match = re.match(r"import time:\s+\d+ \|\s+(\d+) \|\s*(\S+)$", line)
            if match and match.group(2) == module:
                values.append(int(match.group(1)) / 1e6)
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    bare = wall([sys.executable, "-c", "pass"], args.runs)
    print(f"bare interpreter: {bare * 1000:.0f} ms (median of {args.runs})")
    print(f"{'module':24s} {'own import':>11s} {'process':>9s}  goal <= 0.150 s")
    worst = 0.0
    for module in MODULES:
        own = own_import_time(module, args.runs)
        process = wall([sys.executable, "-c", f"import {module}"], args.runs)
        worst = max(worst, own)
        print(f"{module:24s} {own:10.3f}s {process:8.3f}s  {'ok' if own <= 0.15 else 'OVER'}")
    for command in ([], ["synth"]):
        cli = wall([sys.executable, "-m", "tavol", *command, "--help"], args.runs)
        name = " ".join(["tavol", *command, "--help"])
        print(f"{name}: {cli:.3f} s ({cli / bare:.1f}x a bare interpreter)  goal < 0.300 s: "
              f"{'ok' if cli < 0.3 else 'OVER'}")
    print(f"slowest own import: {worst:.3f} s")


if __name__ == "__main__":
    main()
