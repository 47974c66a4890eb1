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
