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
])
def test_usage_errors_and_missing_inputs_are_one_line(tmp_path, args, status, message):
    run = tavol(*args, cwd=tmp_path)
    assert run.returncode == status
    assert message in run.stderr.strip().splitlines()[-1]
    assert "Traceback" not in run.stderr


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
