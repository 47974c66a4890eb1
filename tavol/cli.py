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


def _cluster(address: str | None, job: Callable) -> dict:
    """The keyword that sends `job` to a Dask scheduler; none at all without an address, so a run
    on this machine never needs Dask."""
    if address is None:
        return {}
    import inspect

    if "client" not in inspect.signature(job).parameters:
        raise JobFailed(f"--scheduler: this build's {job.__name__}() cannot run on a cluster")
    return {"client": address}


# ---------------------------------------------------------------- synth

SYNTH_EXAMPLE = """examples:
  tavol synth clean/ noise/ mixed/ --snr -5 0 5 --mode increment --seed 7
  tavol synth clean/ noise/ mixed/ --snr 0 5 --mode extra --background bg/ --background-snr 5 10
  tavol synth --config corpus.toml --dry-run      # the plan's summary; only the manifest is written
  tavol synth --config mixed/manifest.json        # rebuild the corpus that run recorded

A config file sets any option by its long name ('_' for '-'); options on the command line
override it, and relative paths in it are taken from the file's folder:
  clean = "data/clean"          # CLEAN, NOISE and OUT are the keys clean, noise, out
  noise = "data/noise"
  out = "mixed"
  snr = [-5, 0, 5]
  mode = "increment"
  seed = 7

Every run records its resolved options, its seed included (drawn when not given), under "config"
in OUT/manifest.json: `tavol synth --config OUT/manifest.json` rebuilds the same corpus.
Only a plain run replaces a non-empty OUT, as the synthesiser does. --no-overwrite refuses one
(exit status 1: the folder, not the command line, is at fault; nothing is touched), and so do
--dry-run, --workers and --scheduler, which write the manifest first and then render it: an
interrupted run of theirs resumes with `tavol render OUT --resume`. An OUT holding only a
manifest (what a dry run leaves) counts as empty.
The extra mode stages its enlarged noise set in ./tmp_mixed and removes it afterwards."""

MODES = ("regular", "increment", "extra")
SNR_DEFINITIONS = ("power", "active")
CLIPPING = ("saturate", "rescale", "error")
MANIFEST = "manifest.csv"
# The options that define a corpus: what a run records and a config file may set, besides the
# options that only say how to run it (workers, scheduler, dry_run, no_overwrite).
CORPUS_OPTIONS = ("clean", "noise", "out", "snr", "mode", "background", "background_snr", "seed",
                  "snr_definition", "clipping", "sample_rate", "add_clean", "pick")
PATH_OPTIONS = ("clean", "noise", "out", "background")
SYNTH_DEFAULTS = {"mode": "regular", "background_snr": [5], "snr_definition": "power",
                  "clipping": "saturate", "sample_rate": 16000, "add_clean": False, "pick": 0,
                  "workers": None, "scheduler": None, "dry_run": False, "no_overwrite": False}


class UsageError(Exception):
    """Wrong usage found after parsing (a bad config file, options that do not go together): exit 2."""


def _number(text: str) -> int | float:
    """An SNR as given: '5' stays an int (files are named '..._5dB'), '2.5' is a float."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"not a finite number of dB: {text!r}")
    return value


def _count(low: int, high: int | None = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"{value} is out of range ({low} to {high if high else 'any'})")
        return value
    return parse


_seed = _count(0, 2**32 - 1)


def _config_value(key: str, value):
    """`value` of option `key` read from a config file, checked as the command line checks it."""
    def fail(expected: str):
        raise UsageError(f"option '{key}' must be {expected}, got {value!r}")

    if key in PATH_OPTIONS or key == "scheduler":
        return value if isinstance(value, str) and value else fail("a non-empty string")
    if key in ("snr", "background_snr"):
        values = value if isinstance(value, list) else [value]
        if not values or any(isinstance(v, bool) or not isinstance(v, (int, float)) or v - v != 0
                             for v in values):
            fail("a finite number or a list of them")
        return values
    choices = {"mode": MODES, "snr_definition": SNR_DEFINITIONS, "clipping": CLIPPING}.get(key)
    if choices:
        return value if value in choices else fail("one of " + ", ".join(choices))
    if key in ("add_clean", "dry_run", "no_overwrite"):
        return value if isinstance(value, bool) else fail("true or false")
    if isinstance(value, bool) or not isinstance(value, int):
        fail("a whole number")
    try:
        return {"seed": _seed, "sample_rate": _count(1, 768000), "pick": _count(0),
                "workers": _count(1, 1024)}[key](str(value))
    except argparse.ArgumentTypeError as error:
        raise UsageError(f"option '{key}': {error}") from None


def _read_config(path: str) -> dict:
    """The options of a TOML file, or of a JSON file: a manifest.json a run wrote (its "config")
    or an object of options. Relative paths are taken from the file's folder."""
    if not os.path.isfile(path):
        raise JobFailed(f"no such config file: {path}")
    try:
        if path.lower().endswith(".json"):
            with open(path, encoding="utf-8") as f:
                table = json.load(f)
            if isinstance(table, dict) and isinstance(table.get("config"), dict):
                table = table["config"]
            elif isinstance(table, dict) and "tavol_version" in table:
                raise UsageError(f"{path}: this manifest holds no options to run again "
                                 "(the Python API wrote it, not tavol synth)")
        else:
            try:
                import tomllib
            except ModuleNotFoundError:  # Python 3.10
                import tomli as tomllib
            with open(path, "rb") as f:
                table = tomllib.load(f)
    except ValueError as error:  # JSONDecodeError and TOMLDecodeError both are
        raise UsageError(f"{path}: {error}") from None
    if not isinstance(table, dict):
        raise UsageError(f"{path}: expected a table of options")
    options = {}
    known = set(CORPUS_OPTIONS) | set(SYNTH_DEFAULTS)
    for key, value in table.items():
        name = key.replace("-", "_")
        if name not in known:
            raise UsageError(f"{path}: unknown option '{key}'")
        if value is None:
            continue
        try:
            options[name] = _config_value(name, value)
        except UsageError as error:
            raise UsageError(f"{path}: {error}") from None
        if name in PATH_OPTIONS:
            options[name] = os.path.join(os.path.dirname(path), options[name])
    return options


def _synth_options(args: argparse.Namespace) -> dict:
    """The options of a synth run: the defaults, then the config file's, then the command line's."""
    options = dict(SYNTH_DEFAULTS)
    if getattr(args, "config", None):
        options.update(_read_config(args.config))
    options.update({key: value for key, value in vars(args).items()
                    if key in options or key in CORPUS_OPTIONS})
    missing = [key for key in ("clean", "noise", "out", "snr") if key not in options]
    if missing:
        raise UsageError("missing " + " and ".join(m.upper() if m != "snr" else "--snr" for m in missing)
                         + " (on the command line or in --config)")
    if (options["mode"] == "extra") != ("background" in options):
        raise UsageError("--background goes with --mode extra, and the extra mode needs it")
    if options["mode"] == "extra" and (options["add_clean"] or options["pick"]):
        raise UsageError("--add-clean and --pick go with the regular and increment modes")
    return options


def _occupied(folder: str) -> bool:
    """Whether `folder` holds anything but a manifest (what a dry run leaves)."""
    return os.path.isdir(folder) and any(name not in (MANIFEST, "manifest.json") for name in os.listdir(folder))


def _recorded(options: dict) -> dict:
    """The options that define the corpus, paths relative to OUT (the manifest's folder), so the
    record still rebuilds the corpus after the inputs and OUT move together."""
    out = os.path.abspath(options["out"])
    record = {key: options[key] for key in CORPUS_OPTIONS if options.get(key) is not None}
    for key in PATH_OPTIONS:
        if key in record:
            record[key] = os.path.relpath(os.path.abspath(record[key]), out)
    if record["mode"] != "extra":
        record.pop("background_snr")
    return record


def _write_json(path: str, table: dict) -> None:
    text = json.dumps(table, indent=1, ensure_ascii=False) + "\n"

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
    _write_atomically(path, write)


def _plan_summary(rows, out: str) -> list[str]:
    """Counts per kind, SNR and noise, duration and bytes of the files a plan writes."""
    written = rows[rows["kind"] != "stage"]
    copies = written["kind"].isin(["raw_copy", "clean_copy"])
    mixed = written[~copies]
    size = sum(os.path.getsize(os.path.join(out, clean)) for clean in written.loc[copies, "clean"])
    seconds = float((mixed["samples"] / mixed["rate"]).sum())
    lines = [f"files to write: {len(written)} into {out}"
             + "".join(f"\n  {kind}: {n}" for kind, n in written["kind"].value_counts(sort=False).items())]
    lines.append("per SNR (dB):" + "".join(f"\n  {snr:g}: {n}"
                                           for snr, n in mixed["snr_db"].value_counts().sort_index().items()))
    names = mixed["noise"].map(lambda p: os.path.basename(str(p)))
    lines.append("per noise:" + "".join(f"\n  {name}: {n}" for name, n in names.value_counts().sort_index().items()))
    lines.append(f"total duration: {seconds:.3f} s of mixtures")
    size += int((44 + 2 * mixed["samples"]).sum())
    lines.append(f"bytes to write: {size} ({size / 2**20:.1f} MiB)")
    return lines


def _synth(args: argparse.Namespace) -> int:
    o = _synth_options(args)
    extra = o["mode"] == "extra"
    for key in ("clean", "noise", "background"):
        if key in o and not os.path.exists(o[key]):
            raise JobFailed(f"no such file or folder: {o[key]}")
    planned = o["dry_run"] or o["workers"] is not None or o["scheduler"] is not None
    if (planned or o["no_overwrite"]) and _occupied(o["out"]):
        raise JobFailed(f"{o['out']} is not empty (only a plain run replaces a corpus; "
                        "see --no-overwrite in tavol synth --help)")
    if "seed" not in o:
        import secrets

        o["seed"] = secrets.randbelow(2**32)
        if not args.quiet:
            _err(f"tavol synth: seed {o['seed']} (recorded in the manifest)")

    from contextlib import redirect_stdout

    from tavol.core import synth

    csv = os.path.join(o["out"], MANIFEST)
    keywords = dict(seed=o["seed"], snr_definition=o["snr_definition"], clipping=o["clipping"],
                    sample_rate=o["sample_rate"])
    # The synthesiser's messages are not results: stderr, or nowhere with --quiet.
    chatter = open(os.devnull, "w") if args.quiet else sys.stderr
    summary: list[str] = []
    try:
        with redirect_stdout(chatter):
            s = synth.Synthesizer(o["clean"], o["noise"], o["out"], o["snr"])
            if planned:
                if extra:
                    keywords.update(background_path=o["background"], background_snr=o["background_snr"])
                rows = s.plan(o["mode"], is_add_clean=o["add_clean"], rdn_choice_num=o["pick"], **keywords)
                os.makedirs(o["out"], exist_ok=True)
                # Whole numbers stay whole beside the empty cells of copies and stage rows.
                _write_table(rows.convert_dtypes(), csv)
                _write_json(os.path.splitext(csv)[0] + ".json",
                            {**rows.attrs["run"], "config": _recorded(o)})
                if o["dry_run"]:
                    summary = _plan_summary(rows, o["out"])
                    return EXIT_OK
                done = synth.render(csv, workers=o["workers"], **_cluster(o["scheduler"], synth.render))
                # The manifest again, in the plan's order, with the realised values of the rows rendered.
                rows = rows.set_index("output")
                rows.update(done.drop_duplicates("output").set_index("output"))
                _write_table(rows.reset_index().convert_dtypes(), csv)
            elif extra:
                s.syn_extra_mode(o["background"], o["background_snr"], manifest=True, **keywords)
            else:
                s.syn(o["mode"], is_add_clean=o["add_clean"], rdn_choice_num=o["pick"], manifest=True,
                      **keywords)
    except KeyboardInterrupt:
        if extra and not planned:
            import shutil

            shutil.rmtree("tmp_mixed", ignore_errors=True)  # the stage of the interrupted run
        raise
    finally:
        if chatter is not sys.stderr:
            chatter.close()
        for line in summary:  # the result of a dry run
            _out(line)
    if not planned:
        sidecar = os.path.splitext(csv)[0] + ".json"
        with open(sidecar, encoding="utf-8") as f:
            _write_json(sidecar, {**json.load(f), "config": _recorded(o)})
    if not args.quiet:
        _err(f"tavol synth: corpus written to {o['out']} (manifest: {csv})")
    return EXIT_OK


# ---------------------------------------------------------------- render

RENDER_EXAMPLE = """example:
  tavol render mixed/manifest.csv               # re-create every file of the corpus
  tavol render mixed/manifest.csv --resume      # finish an interrupted run
  tavol render manifest.csv --out /data/mixed --workers 8"""


def _render(args: argparse.Namespace) -> int:
    if not os.path.exists(args.manifest):
        raise JobFailed(f"no such manifest: {args.manifest}")
    from tavol.core import synth

    written = synth.render(args.manifest, out_path=args.out, workers=args.workers, resume=args.resume,
                           **_cluster(args.scheduler, synth.render))
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


def _write_atomically(path: str, write: Callable[[str], None]) -> None:
    """Calls `write(temporary)` for a temporary name in `path`'s folder, then renames it to `path`,
    so an interrupted or failed write never leaves a partial file."""
    import tempfile

    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tavol-", suffix=os.path.splitext(path)[1])
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _write_table(table, path: str) -> None:
    """Writes `table` as CSV, XLSX or JSON, by the suffix of `path`."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".csv":
        _write_atomically(path, lambda tmp: table.to_csv(tmp, index=False))
    elif suffix == ".xlsx":
        _write_atomically(path, lambda tmp: table.to_excel(tmp, index=False))
    else:
        _write_atomically(path, lambda tmp: table.to_json(tmp, orient="records", indent=2, force_ascii=False))


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
                         workers=args.workers, **_cluster(args.scheduler, score_corpus))
    if args.output:
        _write_table(table, args.output)
    else:
        import pandas as pd

        with pd.option_context("display.max_rows", None, "display.max_columns", None, "display.width", 200):
            _out(table.to_string(index=False))
    failed = table[(table["file"] != "mean") & (table["error"].fillna("") != "")]
    for row in failed.itertuples(index=False):
        # An unpaired clean file has no enhanced file to name: its own name then.
        _err(f"tavol score: {row.file if isinstance(row.file, str) and row.file else row.clean}: {row.error}")
    return EXIT_FAILED if len(failed) else EXIT_OK


# ---------------------------------------------------------------- the parser


class _Parser(argparse.ArgumentParser):
    """argparse, with a wrong usage reported in one line (the usage itself is in --help)."""

    def error(self, message: str):
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tavol",
        description="Corpus jobs for speech-enhancement research: synthesise noisy sets, re-render them "
                    "from their manifests, score enhanced speech, take stock of audio folders.",
        epilog="examples:\n  tavol synth clean/ noise/ mixed/ --snr -5 0 5 --mode increment --seed 7\n"
               "  tavol render mixed/manifest.csv --resume\n"
               "  tavol score clean/ enhanced/ -o scores.csv\n"
               "  tavol info corpus/\n\nRun 'tavol COMMAND --help' for the options of a command.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name: str, handler: Callable, help: str, example: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, epilog=example,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler, parser=sub)
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bars or messages")
        sub.add_argument("--debug", action="store_true", help="show the traceback of a failure")
        return sub

    workers = {"type": _count(1, 1024), "metavar": "N",
               "help": "threads or processes to use (default: the machine's)"}
    scheduler = {"metavar": "ADDRESS",
                 "help": "run on the Dask cluster of this scheduler (tcp://host:8786); needs dask.distributed"}

    synth = command("synth", _synth, "Synthesise a noisy corpus: clean speech mixed with noise at the "
                    "given SNRs, with its manifest (OUT/manifest.csv and manifest.json).", SYNTH_EXAMPLE)
    given = {"default": argparse.SUPPRESS}  # so that a config file fills what the command line leaves
    synth.add_argument("clean", metavar="CLEAN", nargs="?", help="clean speech: folder or .txt list", **given)
    synth.add_argument("noise", metavar="NOISE", nargs="?", help="noise recordings: folder or .txt list", **given)
    synth.add_argument("out", metavar="OUT", nargs="?", help="output folder", **given)
    synth.add_argument("--config", metavar="FILE", help="options from a TOML file, or from the manifest.json "
                       "of an earlier run (command-line options override them)")
    synth.add_argument("--snr", type=_number, nargs="+", metavar="DB", help="SNRs in dB (required)", **given)
    synth.add_argument("--mode", choices=MODES, help="regular: one mixture per clean file, noises and SNRs "
                       "taken in turn (default); increment: every clean x noise x SNR; extra: the noises first mixed with "
                       "--background recordings, then every clean x enlarged noise x SNR", **given)
    synth.add_argument("--background", metavar="DIR", help="background recordings of the extra mode "
                       "(folder or .txt list)", **given)
    synth.add_argument("--background-snr", type=_number, nargs="+", metavar="DB",
                       help="SNRs of the noise over the background (default: 5)", **given)
    synth.add_argument("--seed", type=_seed, metavar="N", help="seed of the random draws (noise offsets, "
                       "--pick); default: a fresh one, recorded in the manifest", **given)
    synth.add_argument("--snr-definition", choices=SNR_DEFINITIONS, help="power: the clean's mean square "
                       "(default); active: its active speech level (ITU-T P.56)", **given)
    synth.add_argument("--clipping", choices=CLIPPING, help="a mixture beyond full scale: saturate "
                       "(default), rescale to 0.99 of full scale, or error", **given)
    synth.add_argument("--sample-rate", type=_count(1, 768000), metavar="HZ",
                       help="rate of every file written (default: 16000)", **given)
    synth.add_argument("--add-clean", action="store_true", help="copy the clean files used into "
                       "OUT/RAW_DATA (regular and increment modes)", **given)
    synth.add_argument("--pick", type=_count(0), metavar="N", help="draw N clean files at random "
                       "(with replacement) instead of using all (regular and increment modes)", **given)
    synth.add_argument("--workers", **workers, **given)
    synth.add_argument("--scheduler", **scheduler, **given)
    synth.add_argument("--dry-run", action="store_true", help="print what the run would write (files per "
                       "SNR and noise, duration, bytes) and write only the manifest", **given)
    synth.add_argument("--no-overwrite", action="store_true", help="refuse an OUT that holds files "
                       "(exit status 1, nothing touched) instead of replacing it", **given)

    render = command("render", _render, "Write the files a manifest describes, byte for byte as the run that "
                     "wrote it (no random draws).", RENDER_EXAMPLE)
    render.add_argument("manifest", metavar="MANIFEST", help="a manifest.csv, or the folder holding one")
    render.add_argument("--out", metavar="DIR", help="output folder (default: the one the manifest names)")
    render.add_argument("--resume", action="store_true",
                        help="render only the files that are missing or incomplete")
    render.add_argument("--workers", **workers)
    render.add_argument("--scheduler", **scheduler)

    score = command("score", _score, "Score enhanced speech against clean references (files paired by "
                    "stem): one row per file, and the means.", SCORE_EXAMPLE)
    score.add_argument("clean", metavar="CLEAN", help="clean references: folder, file or .txt list")
    score.add_argument("enhanced", metavar="ENHANCED", help="enhanced files: folder, file or .txt list")
    score.add_argument("--noisy", metavar="NOISY", help="the noisy inputs, scored too as the baseline")
    score.add_argument("--metrics", type=_metrics, default=METRICS, metavar="LIST",
                       help="comma-separated measures among " + ",".join(METRICS) + " (default: all)")
    score.add_argument("--workers", **workers)
    score.add_argument("--scheduler", **scheduler)
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
    if args.quiet:
        os.environ["TQDM_DISABLE"] = "1"  # progress bars off, however deep the call makes them
    try:
        return args.handler(args)
    except UsageError as error:
        args.parser.error(str(error))  # exit status 2
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
