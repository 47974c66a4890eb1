"""The installed `tavol` command, run as a user runs it: a subprocess per call."""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import write_wav

TAVOL = str(Path(sys.executable).with_name("tavol"))


def tavol(*args, cwd=None):
    return subprocess.run([TAVOL, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300)


def digests(folder):
    return {p.relative_to(folder).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(Path(folder).rglob("*.wav"))}


@pytest.mark.parametrize("args, status, message", [
    (["frobnicate"], 2, "invalid choice"),
    (["score", "a", "b", "--metrics", "PESQ,XYZ"], 2, "unknown measure 'XYZ'"),
    (["score", "a", "b", "-o", "t.txt"], 2, "written as .csv, .xlsx or .json"),
    (["info", "missing.wav"], 1, "tavol info: no such file or folder: missing.wav"),
    (["render", "missing.csv"], 1, "tavol render: no such manifest: missing.csv"),
    (["synth", "c", "n"], 2, "missing OUT and --snr"),
    (["synth", "c", "n", "o", "--snr", "0", "x"], 2, "not a number of dB: 'x'"),
    (["synth", "c", "n", "o", "--snr", "0", "--mode", "extra"], 2, "--background goes with --mode extra"),
    (["synth", "c", "n", "o", "--snr", "0"], 1, "tavol synth: no such file or folder: c"),
    (["synth", "--config", "none.toml"], 1, "tavol synth: no such config file: none.toml"),
])
def test_usage_errors_and_missing_inputs_are_one_line(tmp_path, args, status, message):
    run = tavol(*args, cwd=tmp_path)
    assert run.returncode == status
    assert message in run.stderr.strip().splitlines()[-1]
    assert "Traceback" not in run.stderr


@pytest.mark.parametrize("config, status, message", [
    ("snrs = [0]", 2, "c.toml: unknown option 'snrs'"),
    ("snr = [0", 2, "c.toml: "),
    ("snr = [0]\nseed = true", 2, "option 'seed' must be a whole number"),
    ("snr = [0]\nno_overwrite = true", 1, "o is not empty"),
])
def test_synth_refuses_a_bad_config_or_a_full_folder_in_one_line(tmp_path, config, status, message):
    write_wav(tmp_path / "c" / "a.wav")
    write_wav(tmp_path / "n" / "b.wav")
    write_wav(tmp_path / "o" / "old.wav")
    (tmp_path / "c.toml").write_text('clean = "c"\nnoise = "n"\nout = "o"\n' + config)
    run = tavol("synth", "--config", "c.toml", cwd=tmp_path)
    assert (run.returncode, len(run.stderr.splitlines())) == (status, 1) and message in run.stderr
    assert os.listdir(tmp_path / "o") == ["old.wav"]


@pytest.mark.parametrize("command", [[], ["synth"], ["render"], ["score"], ["info"]])
def test_help_is_complete_with_an_example(command):
    run = tavol(*command, "--help")
    assert run.returncode == 0 and "example" in run.stdout and "usage: tavol" in run.stdout


def test_info_names_broken_silent_and_clipped_files(tmp_path):
    write_wav(tmp_path / "good.wav", frames=16000)
    write_wav(tmp_path / "silent.wav", np.zeros(800, np.float32), subtype="PCM_24")
    write_wav(tmp_path / "loud.wav", np.clip(np.linspace(-2, 2, 1600), -1, 1).astype(np.float32))
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "broken.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEjunk")
    run = tavol("info", "--json", "-q", tmp_path)
    assert run.returncode == 1  # a file could not be read: listed, the rest described
    summary = json.loads(run.stdout)["summary"]
    assert summary["files"] == 4 and summary["readable"] == 3
    assert summary["bit_depths"] == {"16": 2, "24": 1}
    assert [Path(f).name for f in summary["silent"]] == ["silent.wav"]
    assert [Path(f).name for f in summary["clipped"]] == ["loud.wav"]
    assert [Path(f).name for f in summary["unreadable"]] == ["broken.wav"]
    table = tavol("info", "-q", tmp_path / "good.wav")
    assert table.returncode == 0 and "good.wav" in table.stdout and "unreadable: 0" in table.stdout


def test_render_reproduces_a_seeded_run_and_score_writes_every_format(tmp_path):
    from tavol.core.evaluator import score_corpus
    from tavol.core.synth import Synthesizer

    for i in range(2):
        write_wav(tmp_path / "clean" / f"c{i}.wav", frames=16000, seed=i)
    write_wav(tmp_path / "noise" / "n.wav", frames=40000, seed=9)
    Synthesizer(str(tmp_path / "clean"), str(tmp_path / "noise"), str(tmp_path / "mixed"), [0, 5],
                seed=3).syn("increment", manifest=True)
    run = tavol("render", tmp_path / "mixed" / "manifest.csv", "--out", tmp_path / "again", "-q")
    assert run.returncode == 0, run.stderr
    assert digests(tmp_path / "again") == digests(tmp_path / "mixed") != {}

    expected = score_corpus(str(tmp_path / "clean"), str(tmp_path / "mixed"), metrics=("SI-SDR",), workers=1)
    for suffix, read in [(".csv", pd.read_csv), (".json", pd.read_json), (".xlsx", pd.read_excel)]:
        out = tmp_path / f"scores{suffix}"
        run = tavol("score", tmp_path / "clean", tmp_path / "mixed", "--metrics", "si-sdr", "--workers", "1",
                    "-q", "-o", out)
        assert run.returncode == 0, run.stderr
        np.testing.assert_allclose(read(out)["SI-SDR"].to_numpy(float), expected["SI-SDR"].to_numpy(float))
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".tavol-")]  # no temporary left


@pytest.mark.parametrize("mode, config", [
    (["--mode", "regular", "--add-clean"], 'mode = "regular"\nadd_clean = true'),
    (["--mode", "extra", "--background", "bg"], 'mode = "extra"\nbackground = "../bg"'),
])
def test_synth_options_config_record_and_dry_run_make_one_corpus(tmp_path, mode, config):
    for i in range(2):
        write_wav(tmp_path / "clean" / f"c{i}.wav", frames=16000, seed=i)
        write_wav(tmp_path / "noise" / f"n{i}.wav", frames=40000, seed=5 + i)
    write_wav(tmp_path / "bg" / "b.wav", frames=48000, seed=9)
    options = ["--snr", "0", "2.5", "--seed", "3", *mode]
    run = tavol("synth", "clean", "noise", "a", *options, "-q", cwd=tmp_path)
    assert run.returncode == 0 and run.stdout == "", run.stderr
    corpus = digests(tmp_path / "a")
    assert corpus and not (tmp_path / "tmp_mixed").exists()

    # A config file in its own folder (paths from there), one option overridden, rendered by threads.
    (tmp_path / "cfg").mkdir()
    (tmp_path / "cfg" / "corpus.toml").write_text(
        f'clean = "../clean"\nnoise = "../noise"\nout = "../b"\nsnr = [10]\nseed = 3\n{config}\n')
    run = tavol("synth", "--config", "cfg/corpus.toml", "--snr", "0", "2.5", "--workers", "2", "-q", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert digests(tmp_path / "b") == corpus

    # The record in the manifest's sidecar rebuilds the corpus from nothing.
    for path in (tmp_path / "a").rglob("*.wav"):
        path.unlink()
    run = tavol("synth", "--config", tmp_path / "a" / "manifest.json", "-q")
    assert run.returncode == 0, run.stderr
    assert digests(tmp_path / "a") == corpus

    # A dry run writes the manifest alone and tells what rendering it will write.
    run = tavol("synth", "clean", "noise", "d", *options, "--dry-run", "-q", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert sorted(os.listdir(tmp_path / "d")) == ["manifest.csv", "manifest.json"]
    size = sum(p.stat().st_size for p in (tmp_path / "a").rglob("*.wav"))
    assert f"files to write: {len(corpus)} into d" in run.stdout and f"bytes to write: {size}" in run.stdout
    assert tavol("render", tmp_path / "d", "-q").returncode == 0
    assert digests(tmp_path / "d") == corpus
