"""The `tavol` command: the corpus jobs of the Python API from a shell.

Written on the standard library's argparse: it has every feature these few subcommands need
(sub-parsers, typed options, usage errors with exit status 2), costs nothing to import, and adds
no dependency. Each subcommand is one call of the Python API; heavy modules are imported inside
the handlers, so `tavol --help` starts at once.

Exit status: 0 success, 1 the job failed (or some files did: they are listed, the rest is done),
2 wrong usage, 130 interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Callable, Sequence

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class JobFailed(Exception):
    """A failure of the job itself (a missing input, unreadable files): exit status 1, one line."""


def _out(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def _err(text: str) -> None:
    sys.stderr.write(text + "\n")


# ---------------------------------------------------------------- info

INFO_EXAMPLE = """example:
  tavol info corpus/clean corpus/noise
  tavol info --json mixed/ > inventory.json"""


def _info(args: argparse.Namespace) -> int:
    from tavol.info import describe, summarize

    missing = [p for p in args.paths if not os.path.exists(p)]
    if missing:
        raise JobFailed(f"no such file or folder: {missing[0]}")
    table = describe(args.paths, progress=not args.quiet)
    summary = summarize(table)
    if args.json:
        _out(json.dumps({"summary": summary, "files": json.loads(table.to_json(orient="records"))},
                        indent=2, ensure_ascii=False))
    else:
        import pandas as pd

        with pd.option_context("display.max_rows", None, "display.max_columns", None, "display.width", 200):
            _out(table.drop(columns="error").to_string(index=False))
        _out()
        _out(f"files: {summary['files']}  readable: {summary['readable']}  "
             f"total duration: {summary['total_duration_s']:.3f} s")
        for key in ("rates", "channels", "bit_depths"):
            _out(f"{key.replace('_', ' ')}: " + ", ".join(f"{k} ({v} files)" for k, v in summary[key].items()))
        for key in ("clipped", "silent"):
            _out(f"{key}: {len(summary[key])}" + "".join(f"\n  {name}" for name in summary[key]))
        _out(f"unreadable: {len(summary['unreadable'])}"
             + "".join(f"\n  {name}: {why}" for name, why in summary["unreadable"].items()))
    return EXIT_FAILED if summary["unreadable"] else EXIT_OK


# ---------------------------------------------------------------- render

RENDER_EXAMPLE = """example:
  tavol render mixed/manifest.csv               # re-create every file of the corpus
  tavol render mixed/manifest.csv --resume      # finish an interrupted run
  tavol render manifest.csv --out /data/mixed --workers 8"""


def _render(args: argparse.Namespace) -> int:
    if not os.path.exists(args.manifest):
        raise JobFailed(f"no such manifest: {args.manifest}")
    from tavol.core import synth

    written = synth.render(args.manifest, out_path=args.out, workers=args.workers, resume=args.resume)
    if not args.quiet:
        _err(f"tavol render: {len(written)} files written")
    return EXIT_OK


# ---------------------------------------------------------------- score

SCORE_EXAMPLE = """example:
  tavol score clean/ enhanced/                          # aligned table on stdout
  tavol score clean/ enhanced/ --noisy mixed/ --metrics PESQ,SI-SDR -o scores.xlsx"""

METRICS = ("PESQ", "STOI", "SDR", "SI-SDR")


def _metrics(text: str) -> tuple[str, ...]:
    names = tuple(name.strip().upper() for name in text.split(",") if name.strip())
    unknown = [name for name in names if name not in METRICS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown measure {unknown[0] if unknown else text!r}; "
                                         f"choose from {','.join(METRICS)}")
    return names


def _write_table(table, path: str) -> None:
    """Writes `table` as CSV, XLSX or JSON (by the suffix) under a temporary name, then renames it,
    so an interrupted or failed write never leaves a partial file."""
    import tempfile

    suffix = os.path.splitext(path)[1].lower()
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tavol-", suffix=suffix)
    os.close(fd)
    try:
        if suffix == ".csv":
            table.to_csv(tmp, index=False)
        elif suffix == ".xlsx":
            table.to_excel(tmp, index=False)
        else:
            table.to_json(tmp, orient="records", indent=2, force_ascii=False)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _output_path(text: str) -> str:
    if os.path.splitext(text)[1].lower() not in (".csv", ".xlsx", ".json"):
        raise argparse.ArgumentTypeError(f"{text}: the table is written as .csv, .xlsx or .json")
    return text


def _score(args: argparse.Namespace) -> int:
    for given in [args.clean, args.enhanced] + ([args.noisy] if args.noisy else []):
        if not os.path.exists(given):
            raise JobFailed(f"no such file or folder: {given}")
    from tavol.core.evaluator import score_corpus

    table = score_corpus(args.clean, args.enhanced, noisy=args.noisy, metrics=args.metrics,
                         workers=args.workers)
    if args.output:
        _write_table(table, args.output)
    else:
        import pandas as pd

        with pd.option_context("display.max_rows", None, "display.max_columns", None, "display.width", 200):
            _out(table.to_string(index=False))
    failed = table[(table["file"] != "mean") & (table["error"].fillna("") != "")]
    for row in failed.itertuples(index=False):
        _err(f"tavol score: {row.file}: {row.error}")
    return EXIT_FAILED if len(failed) else EXIT_OK


# ---------------------------------------------------------------- the parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavol",
        description="Corpus jobs for speech-enhancement research: synthesise noisy sets, re-render them "
                    "from their manifests, score enhanced speech, take stock of audio folders.",
        epilog="example:\n  tavol info corpus/\n\nRun 'tavol COMMAND --help' for the options of a command.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: Callable, help: str, example: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, epilog=example,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler)
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bars")
        sub.add_argument("--debug", action="store_true", help="show the traceback of a failure")
        return sub

    workers = {"type": int, "metavar": "N", "help": "threads or processes to use (default: the machine's)"}

    render = command("render", _render, "Write the files a manifest describes, byte for byte as the run that "
                     "wrote it (no random draws).", RENDER_EXAMPLE)
    render.add_argument("manifest", metavar="MANIFEST", help="a manifest.csv, or the folder holding one")
    render.add_argument("--out", metavar="DIR", help="output folder (default: the one the manifest names)")
    render.add_argument("--resume", action="store_true",
                        help="render only the files that are missing or incomplete")
    render.add_argument("--workers", **workers)

    score = command("score", _score, "Score enhanced speech against clean references (files paired by "
                    "stem): one row per file, and the means.", SCORE_EXAMPLE)
    score.add_argument("clean", metavar="CLEAN", help="clean references: folder, file or .txt list")
    score.add_argument("enhanced", metavar="ENHANCED", help="enhanced files: folder, file or .txt list")
    score.add_argument("--noisy", metavar="NOISY", help="the noisy inputs, scored too as the baseline")
    score.add_argument("--metrics", type=_metrics, default=METRICS, metavar="LIST",
                       help="comma-separated measures among " + ",".join(METRICS) + " (default: all)")
    score.add_argument("--workers", **workers)
    score.add_argument("-o", "--output", type=_output_path, metavar="FILE",
                       help="write the table to FILE.csv, FILE.xlsx or FILE.json instead of printing it")

    info = command("info", _info, "Files, durations, rates, channels, bit depths; clipped, silent "
                   "and unreadable files (each named).", INFO_EXAMPLE)
    info.add_argument("paths", nargs="+", metavar="PATH", help="audio files or folders (searched recursively)")
    info.add_argument("--json", action="store_true", help="print the table and the summary as JSON")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        _err("tavol: interrupted")
        return EXIT_INTERRUPTED
    except Exception as error:  # noqa: BLE001 - one line per failure, a traceback with --debug
        if args.debug:
            raise
        text = str(error).strip().splitlines()
        _err(f"tavol {args.command}: {text[0] if text else type(error).__name__}")
        return EXIT_FAILED


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
