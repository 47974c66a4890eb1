"""render(client=...) and score_corpus(client=...) on a LocalCluster of two one-thread worker
processes, started once for the module, on this machine only (no dashboard)."""

import logging
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import write_wav
from tavol.core import evaluator, synth
from tavol.core.synth import Synthesizer

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def seeded_corpus(root, mode, cleans=3, noises=2, frames=3200):
    """A corpus and the manifest of a seeded run over it: its folder."""
    for i in range(cleans):
        write_wav(root / "clean" / f"c{i}.wav", frames=frames, seed=i)
    for i in range(noises):
        write_wav(root / "noise" / f"n{i}.wav", frames=3 * frames, seed=100 + i)
    s = Synthesizer(root / "clean", root / "noise", root / "syn", [-5, 0, 5], seed=3)
    if mode == "extra":
        write_wav(root / "bg" / "bg.wav", frames=2 * frames, seed=200)
        s.syn_extra_mode(root / "bg", [0, 4], manifest=True)
    else:
        s.syn("increment", is_add_clean=True, is_silence=True, p_silence=0.2, manifest=True)
    return root / "syn"


def files(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(Path(folder).rglob("*")) if p.is_file()}


def wavs(folder):
    return {k: v for k, v in files(folder).items() if k.suffix == ".wav"}


@pytest.mark.parametrize("mode, by_address", [("regular", False), ("extra", True)])
def test_cluster_renders_what_a_local_run_renders(client, tmp_path, in_tmp, mode, by_address):
    made = seeded_corpus(tmp_path, mode)
    where = client.scheduler.address if by_address else client
    local = synth.render(made, out_path=tmp_path / "local")
    spread = synth.render(made, out_path=tmp_path / "spread", client=where)
    assert wavs(tmp_path / "spread") == wavs(tmp_path / "local") == wavs(made)
    assert (spread.error == "").all()
    pd.testing.assert_frame_equal(spread.drop(columns="error"), local)
    assert set(client.run(synth._release_recordings, "").values()) == {0}  # released at the end

    # Resume on the cluster: only the missing and the cut-short outputs come back.
    victims = sorted((tmp_path / "spread").rglob("*_0dB.wav"))[:3]
    for p in victims[1:]:
        p.unlink()
    victims[0].write_bytes(victims[0].read_bytes()[:100])
    redone = synth.render(made, out_path=tmp_path / "spread", resume=True, client=where)
    assert sorted(redone.query("kind != 'stage'").output) == sorted(p.name for p in victims)
    assert files(tmp_path / "spread") == wavs(tmp_path / "local")


def test_killed_worker_leaves_a_complete_corpus_and_no_temporary_files(client, tmp_path, monkeypatch):
    made = seeded_corpus(tmp_path, "regular", cleans=8, noises=3, frames=16000)
    out = tmp_path / "spread"
    out.mkdir()
    (out / ".tavol-0000abcd0000000000000001.tmp").write_bytes(b"RIFF cut short by a killed writer")
    pids = sorted(client.run(os.getpid).values())
    killed = []

    class KillingBar(synth.tqdm):
        # The first finished part kills a worker process while the others are still queued.
        def update(self, n=1):
            if not killed:
                os.kill(pids[0], signal.SIGKILL)
                killed.append(n)
            return super().update(n)

    monkeypatch.setattr(synth, "tqdm", KillingBar)
    table = synth.render(made, out_path=out, client=client)
    assert killed and (table.error == "").all()
    assert files(out) == wavs(made)


def test_missing_input_fails_its_rows_only(client, tmp_path):
    made = seeded_corpus(tmp_path, "regular")
    (tmp_path / "noise" / "n1.wav").unlink()
    table = synth.render(made, out_path=tmp_path / "spread", client=client)
    failed = table.noise.str.endswith("n1.wav")
    assert failed.any() and (table.error[failed].str.contains("n1.wav")).all()
    assert (table.error[~failed] == "").all() and table.realised_snr_db[failed].isna().all()
    written = wavs(tmp_path / "spread")
    assert set(written) == {Path(p) for p in table.output[~failed]}
    assert all(written[k] == v for k, v in wavs(made).items() if k in written)


def test_cluster_scores_what_a_local_run_scores(client, tmp_path):
    made = seeded_corpus(tmp_path, "regular", cleans=4, noises=1, frames=16000)
    write_wav(tmp_path / "clean" / "alone.wav", frames=16000, seed=9)
    mixtures = sorted(made.glob("*dB.wav"))
    metrics = ("PESQ", "SDR", "SI-SDR")  # pystoi takes seconds to import in every worker
    local = evaluator.score_corpus(tmp_path / "clean", mixtures, metrics=metrics, workers=1)
    spread = evaluator.score_corpus(tmp_path / "clean", mixtures, metrics=metrics, client=client)
    pd.testing.assert_frame_equal(spread, local)
    assert spread.SDR.notna().sum() == len(mixtures) + 1 and (spread.error != "").any()


def test_command_line_reaches_the_cluster_by_address(client, tmp_path):
    # A process of its own, with no client but the one it connects by address.
    made = seeded_corpus(tmp_path, "regular")
    tavol = Path(sys.executable).with_name("tavol")
    for out, more in [("local", []), ("spread", ["--scheduler", client.scheduler.address])]:
        run = subprocess.run([tavol, "synth", "clean", "noise", out, "--snr", "-5", "0", "5", "--mode",
                              "increment", "--seed", "3", "-q", *more], cwd=tmp_path, capture_output=True,
                             text=True, timeout=300)
        assert run.returncode == 0, run.stderr
    assert wavs(tmp_path / "spread") == wavs(tmp_path / "local") and wavs(tmp_path / "local")
    run = subprocess.run([tavol, "render", made, "--out", tmp_path / "again", "--scheduler",
                          client.scheduler.address, "-q"], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert wavs(tmp_path / "again") == wavs(made)
