"""tavol.core.evaluator: back-end probing, AudioEvaluate tables, eval_metrics and pesq.exe.

Most tests replace the metric packages with small fakes in sys.modules (a None entry
switches a package off), replace ``os.system`` so no installer ever runs, and put a
fake ``pesq.exe`` first on PATH that prints what a side file next to the degraded
file holds. The end-to-end tests use the real mir_eval, pystoi and pesq packages on
speech made with espeak-ng.
"""

import math
import os
import pickle
import shutil
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy.io import wavfile

import tavol.core.evaluator as ev
from tavol import _pesq_cli

RATE = 16000
PYSEPM_COMMAND = "pip3 install https://github.com/schmiph2/pysepm/archive/master.zip"
BACKENDS = {  # name: (message, command, position in the returned flags)
    "mir_eval": ("No module named 'mir_eval' !!", "pip install mir_eval", 2),
    "pystoi": ("No mself.odule named 'pystoi' !!", "pip install pystoi", 1),
    "pysepm": ("No mself.odule named 'pypesq' !!", PYSEPM_COMMAND, 0),
}


# ---------------------------------------------------------------- fakes


def fake_mir_eval(calls):
    """SDR of an estimate = its first sample / 100, so a score names the file it came from."""
    module = types.ModuleType("mir_eval")

    def validate(reference, estimate):
        calls.append(("validate", reference.shape, estimate.shape))
        if reference.shape != estimate.shape:
            raise ValueError("shape mismatch")

    def bss_eval_sources(reference, estimate):
        calls.append(("bss", reference.shape))
        return np.array([estimate[0, 0] / 100.0]), np.zeros(1), np.zeros(1), np.zeros(1, int)

    module.separation = types.SimpleNamespace(validate=validate, bss_eval_sources=bss_eval_sources)
    return module


def fake_pystoi(calls):
    module = types.ModuleType("pystoi")

    def stoi(clean, processed, rate, extended=True):
        calls.append(("stoi", len(clean), len(processed), rate, extended))
        return np.float64(processed[0] / 1000.0)

    module.stoi = stoi
    return module


def fake_pysepm(calls):
    module = types.ModuleType("pysepm")

    def pesq(ref, deg, rate):
        calls.append(("pysepm", len(ref), len(deg), rate))
        return float("nan"), 3.25

    module.pesq = pesq
    return module


@pytest.fixture
def system_calls(monkeypatch):
    """Replaces os.system: records the commands, installs nothing."""
    calls = []

    def system(command):
        calls.append(command)
        return 1

    monkeypatch.setattr(ev.os, "system", system)
    return calls


@pytest.fixture
def backends(monkeypatch, system_calls):
    """use(sdr=..., stoi=..., pesq=...): fake packages for the True ones, None (missing) for the others."""
    calls = []

    def use(sdr=True, stoi=True, pesq=True):
        makers = {"mir_eval": (sdr, fake_mir_eval), "pystoi": (stoi, fake_pystoi), "pysepm": (pesq, fake_pysepm)}
        for name, (on, make) in makers.items():
            monkeypatch.setitem(sys.modules, name, make(calls) if on else None)
        if not pesq:  # the pesq package from PyPI switches PESQ on too
            monkeypatch.setitem(sys.modules, "pesq", None)
        return calls

    return use


@pytest.fixture
def fake_pesq_exe(tmp_path, monkeypatch):
    """A pesq.exe first on PATH: prints the side file "<degraded>.out", logs its arguments."""
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    program = bindir / "pesq.exe"
    program.write_text(
        "#!/bin/sh\n"
        "printf '%s|%s|%s\\n' \"$1\" \"$2\" \"$3\" >> \"$(dirname \"$0\")/calls.log\"\n"
        "if [ -f \"$3.out\" ]; then cat \"$3.out\"; fi\n"
    )
    program.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ.get('PATH', '')}")
    return bindir / "calls.log"


def write_const(path, value, n=800):
    """A WAV file whose samples all equal `value` (the fakes read the score from it)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(path, RATE, np.full(n, value, dtype=np.int16))
    return path


def pesq_output(path, text):
    Path(str(path) + ".out").write_text(text)


def make_set(root, values_noisy, values_enh, enh_order=None, enh_dir="enh"):
    """Clean, noisy and enhanced files named s0, s1, ...; enhanced listed in `enh_order`."""
    n = len(values_noisy)
    clean = [write_const(root / "clean" / f"s{i}.wav", 1000) for i in range(n)]
    noisy = [write_const(root / "noisy" / f"s{i}.wav", v) for i, v in enumerate(values_noisy)]
    enh = [write_const(root / enh_dir / f"s{i}.wav", v) for i, v in enumerate(values_enh)]
    order = range(n) if enh_order is None else enh_order
    return clean, noisy, [enh[i] for i in order]


# ---------------------------------------------------------------- module surface


def test_module_surface_and_pickling():
    assert ev.__all__ == ["AudioEvaluate", "eval_metrics"]
    for name in ("os", "re", "np", "pd", "wavfile", "tqdm", "warn", "pur", "cya", "blu"):
        assert hasattr(ev, name), name
    assert ev.AudioEvaluate.__mro__ == (ev.AudioEvaluate, object)
    assert ev.AudioEvaluate.eval_metrics is ev.eval_metrics
    # Read through an instance it binds like a function stored in a class.
    inst = object.__new__(ev.AudioEvaluate)
    assert inst.eval_metrics.__self__ is inst
    for fn in (ev.eval_metrics, ev.check_metrics_install):
        assert pickle.loads(pickle.dumps(fn)) is fn
    private = [k for k in vars(ev.AudioEvaluate) if k.startswith("_AudioEvaluate__")]
    assert private == [
        "_AudioEvaluate__sdr_score",
        "_AudioEvaluate__stoi_score",
        "_AudioEvaluate__pesq_score",
        "_AudioEvaluate__pesq_score_v2",
    ]


# ---------------------------------------------------------------- check_metrics_install


def test_all_backends_present_prints_and_installs_nothing(backends, system_calls, capsys):
    backends()
    assert ev.check_metrics_install() == (True, True, True)
    assert system_calls == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("missing", list(BACKENDS))
def test_missing_backend_is_announced_and_installed_on_every_call(missing, backends, system_calls, monkeypatch):
    backends(sdr=missing != "mir_eval", stoi=missing != "pystoi", pesq=missing != "pysepm")
    shown = []
    monkeypatch.setattr(ev, "warn", shown.append)
    message, command, position = BACKENDS[missing]
    for calls in (1, 2):
        flags = ev.check_metrics_install()
        assert flags[position] is False
        assert sum(flags) == 2
        assert shown == [message] * calls
        assert system_calls == [command] * calls


def test_installer_that_succeeds_enables_the_backend(backends, monkeypatch, capsys):
    calls = backends(stoi=False)

    def system(command):
        assert command == "pip install pystoi"
        monkeypatch.setitem(sys.modules, "pystoi", fake_pystoi(calls))
        return 0

    monkeypatch.setattr(ev.os, "system", system)
    assert ev.check_metrics_install() == (True, True, True)
    assert capsys.readouterr().out == "No mself.odule named 'pystoi' !!\n"


def test_broken_backend_is_off_without_message_or_installer(backends, system_calls, monkeypatch, capsys):
    backends()
    monkeypatch.setitem(sys.modules, "pystoi", types.ModuleType("pystoi"))  # no `stoi` in it
    assert ev.check_metrics_install() == (True, False, True)
    assert system_calls == []
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------- AudioEvaluate


def test_table_with_all_measures_has_rows_a_b_and_baseline(backends, fake_pesq_exe, tmp_path):
    backends()
    clean, noisy, enh_a = make_set(tmp_path, [100, 300], [1000, 2000], enh_dir="a")
    _, _, enh_b = make_set(tmp_path, [100, 300], [500, 700], enh_dir="b")
    for path, score in [(noisy[0], 1.5), (noisy[1], 2.5), (enh_a[0], 3.0), (enh_a[1], 3.12345),
                        (enh_b[0], 2.0), (enh_b[1], 2.0)]:
        pesq_output(path, f"header\nPrediction : PESQ_MOS = {score}\n")
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("A", enh_a)
    evaluator.eval("B", enh_b)
    df = evaluator.get_df()
    assert list(df.columns) == ["Enh_method", "PESQ", "STOI", "SDR"]
    assert list(df["Enh_method"]) == ["A", "B", "Baseline"]
    assert list(df.index) == [0, 1, 2]
    np.testing.assert_allclose(df["PESQ"], [round((3.0 + 3.12345) / 2, 4), 2.0, 2.0])
    np.testing.assert_allclose(df["STOI"], [1.5, 0.6, 0.2])
    np.testing.assert_allclose(df["SDR"], [15.0, 6.0, 2.0])
    # Baselines are kept unrounded; only the table cells are rounded.
    assert evaluator.base_pesq == pytest.approx(2.0)
    assert evaluator.base_stoi == pytest.approx(0.2)


def test_only_stoi_gives_a_stoi_table_and_only_its_messages(backends, tmp_path, capsys):
    backends(sdr=False, pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100], [900])
    evaluator = ev.AudioEvaluate(clean, noisy)
    capsys.readouterr()
    evaluator.eval("m", enh)
    out = capsys.readouterr().out
    assert out.startswith("==== Evaluate STOI ====\nstoi_mean:\n")
    assert "Baseline-STOI" in out and "Enhance-STOI" in out
    assert "SDR" not in out and "PESQ" not in out
    df = evaluator.get_df()
    assert list(df.columns) == ["Enh_method", "STOI"]
    assert list(df["Enh_method"]) == ["m", "Baseline"]


def test_without_backends_get_df_returns_an_empty_list(backends, tmp_path):
    backends(sdr=False, stoi=False, pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100], [900])
    evaluator = ev.AudioEvaluate(clean, noisy)
    assert evaluator.score_dict == {"Enh_method": []}
    evaluator.eval("m", enh)
    assert evaluator.get_df() == []


def test_enhanced_files_are_paired_by_stem(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100, 200, 300], [1000, 2000, 3000], enh_order=[2, 0, 1])
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("m", enh)
    assert [p.stem for p in evaluator.enhanced_list] == ["s0", "s1", "s2"]
    assert isinstance(evaluator.enhanced_list, np.ndarray)
    # Paired correctly, each enhanced file scores 10x its noisy file; mis-paired it would not.
    per_file = {}
    real_df = pd.DataFrame

    def spy(rows, columns):
        per_file.update({r["wave"]: (r["Baseline-SDR"], r["Enhance-SDR"]) for r in rows if "Baseline-SDR" in r})
        return real_df(rows, columns=columns)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ev, "pd", types.SimpleNamespace(DataFrame=spy))
        evaluator._AudioEvaluate__sdr_score()
    assert per_file == {"s0.wav": (1.0, 10.0), "s1.wav": (2.0, 20.0), "s2.wav": (3.0, 30.0)}


def test_duplicate_enhanced_stem_pairs_with_the_first(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100, 200], [1000, 2000])
    noisy.append(write_const(tmp_path / "noisy2" / "s0.wav", 300))
    clean.append(clean[0])
    twin = write_const(tmp_path / "other" / "s0.wav", 7000)
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("dup", [twin, enh[1], enh[0]])
    assert list(evaluator.enhanced_list) == [twin, enh[1], twin]


@pytest.mark.parametrize(
    "enhanced, error, message",
    [
        (lambda e: e[:1], AssertionError, "Check number of files"),
        (lambda e: [e[0], e[0].with_name("zz.wav")], ValueError, "'s1' is not in list"),
        (lambda e: [str(p) for p in e], AttributeError, "stem"),
    ],
)
def test_bad_enhanced_list_changes_nothing(backends, tmp_path, enhanced, error, message):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100, 200], [1000, 2000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("good", enh)
    before = {k: list(v) for k, v in evaluator.score_dict.items()}
    with pytest.raises(error, match=message):
        evaluator.eval("bad", enhanced(enh))
    assert evaluator.score_dict == before


def test_failing_measure_leaves_the_table_consistent(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100, 200], [1000, 2000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("good", enh)
    kept = evaluator.enhanced_list
    base_sdr = evaluator.base_sdr

    def broken():
        raise RuntimeError("back-end failed")

    evaluator._AudioEvaluate__sdr_score = broken  # STOI succeeds first, then SDR fails
    with pytest.raises(RuntimeError, match="back-end failed"):
        evaluator.eval("bad", list(reversed(enh)))
    assert evaluator.score_dict == {"Enh_method": ["good"], "STOI": [1.5], "SDR": [15.0]}
    assert evaluator.enhanced_list is kept and evaluator.base_sdr == base_sdr
    del evaluator._AudioEvaluate__sdr_score
    df = evaluator.get_df()
    assert list(df["Enh_method"]) == ["good", "Baseline"]


def test_get_df_before_eval_and_repeated_baselines(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100], [1000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    with pytest.raises(AttributeError):
        evaluator.get_df()
    evaluator.eval("m", enh)
    evaluator.get_df()
    evaluator.eval("n", enh)
    assert list(evaluator.get_df()["Enh_method"]) == ["m", "Baseline", "n", "Baseline"]


def test_zero_baseline_still_gets_its_cell(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [0], [1000])  # noisy SDR and STOI are exactly 0
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("m", enh)
    df = evaluator.get_df()
    assert list(df.loc[1]) == ["Baseline", 0.0, 0.0]


# ---------------------------------------------------------------- scorers


def test_walk_stops_at_the_shortest_list_and_names_rows_by_clean_file(backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100, 200, 300], [1000, 2000, 3000])
    clean = [p.with_name("c" + p.name) for p in clean]
    for p in clean:
        write_const(p, 1000)
    evaluator = ev.AudioEvaluate(clean[:2], noisy)
    evaluator.enhanced_list = enh
    seen = []
    real_df = pd.DataFrame

    def spy(rows, columns):
        seen.append((columns, [r["wave"] for r in rows]))
        return real_df(rows, columns=columns)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ev, "pd", types.SimpleNamespace(DataFrame=spy))
        stoi = evaluator._AudioEvaluate__stoi_score()
        sdr = evaluator._AudioEvaluate__sdr_score()
    assert seen == [
        (["wave", "Baseline-STOI", "Enhance-STOI"], ["cs0.wav", "cs1.wav"]),
        (["wave", "Baseline-SDR", "Enhance-SDR"], ["cs0.wav", "cs1.wav"]),
    ]
    assert list(stoi.index) == ["Baseline-STOI", "Enhance-STOI"]
    np.testing.assert_allclose(stoi.to_numpy(), [0.15, 1.5])
    np.testing.assert_allclose(sdr.to_numpy(), [1.5, 15.0])


def test_pesq_last_line_parsing_and_missing_pairs(backends, fake_pesq_exe, tmp_path, capsys):
    backends()
    clean, noisy, enh = make_set(tmp_path, [100, 200, 300], [1000, 2000, 3000])
    pesq_output(noisy[0], "P.862 something\nPrediction : PESQ_MOS = 2.5\n")
    pesq_output(enh[0], "a = b = 3.5")  # no newline; everything up to the last "= " goes
    pesq_output(noisy[1], "Prediction : PESQ_MOS = 1.0\n")
    pesq_output(enh[1], "Prediction (Raw MOS, MOS-LQO):  = 4.000\t4.200\n")  # two numbers: unreadable
    pesq_output(noisy[2], "= 1.5\n\n")  # the last line is empty: unreadable
    pesq_output(enh[2], "= 4.0\n")
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.enhanced_list = enh
    capsys.readouterr()
    mean = evaluator._AudioEvaluate__pesq_score()
    # Rows 1 and 2 have a missing score, so only row 0 counts, on both sides.
    assert mean.to_dict() == {"Baseline-PESQ": 2.5, "Enhance-PESQ": 3.5}
    out = capsys.readouterr().out
    assert out.startswith("==== Evaluate PESQ ====\npesq_mean:\nBaseline-PESQ    2.5\n")
    calls = fake_pesq_exe.read_text().splitlines()
    assert calls[:2] == [f"+16000|{clean[0]}|{noisy[0]}", f"+16000|{clean[0]}|{enh[0]}"]
    assert len(calls) == 6


def test_pesq_program_without_output_raises_index_error(backends, fake_pesq_exe, tmp_path):
    backends()
    clean, noisy, enh = make_set(tmp_path, [100], [1000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    with pytest.raises(IndexError, match="pesq.exe printed no result"):
        evaluator.eval("m", enh)
    assert evaluator.score_dict["Enh_method"] == []


def test_paths_with_space_and_semicolon_reach_the_program_intact(backends, fake_pesq_exe, tmp_path):
    backends(sdr=False, stoi=False)
    root = tmp_path / "my data; rm -rf x"
    clean, noisy, enh = make_set(root, [100], [1000], enh_dir="out $HOME;`x`")
    pesq_output(noisy[0], "= 1.25\n")
    pesq_output(enh[0], "= 3.75\n")
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("m", enh)
    assert evaluator.get_df()["PESQ"].tolist() == [3.75, 1.25]
    # eval runs the PESQ programs concurrently: the calls are logged in any order.
    assert f"+16000|{clean[0]}|{enh[0]}" in fake_pesq_exe.read_text().splitlines()


def test_pesq_v2_uses_pypesq_wide_band_without_banner(backends, tmp_path, monkeypatch, capsys):
    backends()
    calls = []
    pypesq = types.ModuleType("pypesq")

    def pesq(clean, processed, rate, mode):
        calls.append((rate, mode))
        return processed[0] / 1000.0

    pypesq.pesq = pesq
    monkeypatch.setitem(sys.modules, "pypesq", pypesq)
    shown = {"pur": [], "cya": [], "blu": []}
    for name, sink in shown.items():
        monkeypatch.setattr(ev, name, sink.append)
    clean, noisy, enh = make_set(tmp_path, [100, 300], [1000, 2000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.enhanced_list = enh
    mean = evaluator._AudioEvaluate__pesq_score_v2()
    np.testing.assert_allclose(mean.to_numpy(), [0.2, 1.5])
    assert calls == [(RATE, "wb")] * 4
    assert shown["pur"] == [] and shown["cya"] == []
    assert len(shown["blu"]) == 1 and shown["blu"][0].startswith("pesq_mean:\nBaseline-PESQ")


# ---------------------------------------------------------------- eval_metrics


def test_eval_metrics_cuts_the_longer_signal(backends):
    calls = backends()
    ref = np.arange(1.0, 11.0)
    deg = np.arange(1.0, 7.0)
    pesq, stoi, sdr = ev.eval_metrics(RATE, ref, deg)
    assert (pesq, stoi, sdr) == (3.25, pytest.approx(0.001), pytest.approx(0.01))
    assert ("pysepm", 6, 6, RATE) in calls and ("stoi", 6, 6, RATE, False) in calls
    assert ("validate", (1, 6), (1, 6)) in calls
    calls.clear()
    ev.AudioEvaluate.eval_metrics(RATE, deg, ref)  # the processed signal is cut instead
    assert ("stoi", 6, 6, RATE, False) in calls


def test_eval_metrics_reports_none_for_missing_backends(backends, system_calls, capsys):
    backends(sdr=False, pesq=False)
    x = np.ones(8)
    result = ev.eval_metrics(RATE, x, x)
    assert result[0] is None and result[2] is None and result[1] == pytest.approx(0.001)
    backends(sdr=False, stoi=False, pesq=False)
    capsys.readouterr()
    assert ev.eval_metrics(RATE, x, x) == (None, None, None)
    assert capsys.readouterr().out.count(" !!") == 3
    assert system_calls[-3:] == ["pip install mir_eval", "pip install pystoi", PYSEPM_COMMAND]


# ---------------------------------------------------------------- pesq.exe


def test_pesq_cli_maps_mos_lqo_back_to_raw_mos():
    for raw in (-0.5, 1.0, 2.5, 4.5):
        lqo = 0.999 + 4.0 / (1.0 + math.exp(-1.4945 * raw + 4.6607))
        assert _pesq_cli.raw_mos_from_lqo(lqo) == pytest.approx(raw, abs=1e-9)
    with pytest.raises(_pesq_cli.InputError):
        _pesq_cli.raw_mos_from_lqo(5.0)


@pytest.mark.parametrize(
    "args, parsed",
    [
        (["+16000", "+ref.wav", "deg.wav"], (16000, "+ref.wav", "deg.wav")),
        (["+8000", "+8000.wav", "+"], (8000, "+8000.wav", "+")),
        (["+ref.wav", "deg.wav"], "missing the sampling rate"),
        (["+16000", "+8000", "a.wav"], "more than one rate option"),
    ],
)
def test_pesq_cli_only_plus_digits_is_a_rate(args, parsed):
    # Anything else starting with "+" is a file name, however it looks.
    if isinstance(parsed, tuple):
        assert _pesq_cli.parse_args(args) == parsed
    else:
        with pytest.raises(_pesq_cli.UsageError, match=parsed):
            _pesq_cli.parse_args(args)


def pesq_exe():
    found = shutil.which("pesq.exe") or os.path.join(os.path.dirname(sys.executable), "pesq.exe")
    if not os.access(found, os.X_OK):
        pytest.skip("pesq.exe is not installed")
    return found


@pytest.mark.parametrize(
    "args, status, complaint",
    [
        ([], 2, "missing the sampling rate"),
        (["+44100", "a.wav", "b.wav"], 2, "unsupported sampling rate"),
        (["+16000", "a.wav"], 2, "expected a reference and a degraded file"),
        (["+16000", "missing.wav", "missing.wav"], 1, "cannot read"),
        (["+8000", "a.wav", "a.wav"], 1, "sampled at 16000 Hz, not 8000 Hz"),
        (["+16000", "a.wav", "stereo.wav"], 1, "has 2 channels"),
    ],
)
def test_pesq_cli_refuses_bad_input(args, status, complaint, tmp_path):
    write_const(tmp_path / "a.wav", 1000)
    wavfile.write(tmp_path / "stereo.wav", RATE, np.ones((800, 2), dtype=np.int16))
    done = subprocess.run([pesq_exe(), *args], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert done.returncode == status
    assert complaint in done.stderr
    assert done.stdout == ""


# ---------------------------------------------------------------- real back-ends


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    """About 5 s of espeak-ng speech at 16 kHz, peak 0.5."""
    if shutil.which("espeak-ng") is None:
        pytest.skip("espeak-ng is not installed")
    from scipy.signal import resample_poly

    folder = tmp_path_factory.mktemp("speech")
    raw = folder / "raw.wav"
    text = "The quick brown fox jumps over the lazy dog. Clean speech helps us measure enhancement."
    subprocess.run(["espeak-ng", "-w", str(raw), text], check=True, timeout=60)
    rate, samples = wavfile.read(raw)
    x = resample_poly(samples.astype(np.float64), RATE, rate)
    return folder, x / np.abs(x).max() * 0.5


def mix(x, snr, seed=3):
    noise = np.random.default_rng(seed).standard_normal(len(x))
    gain = np.sqrt(np.mean(x**2) / np.mean(noise**2) / 10 ** (snr / 10))
    return np.clip(x + gain * noise, -1, 1)


def save16(path, x):
    path.parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(path, RATE, (x * 32767).astype(np.int16))
    return path


@pytest.fixture
def pysepm_standin(monkeypatch):
    """pysepm is not on PyPI: a stand-in over the pesq package (pysepm's result layout)."""
    import pesq as pesq_package

    module = types.ModuleType("pysepm")
    module.pesq = lambda ref, deg, rate: (float("nan"), pesq_package.pesq(rate, ref, deg, "wb"))
    monkeypatch.setitem(sys.modules, "pysepm", module)


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore:mir_eval.separation.bss_eval_sources:FutureWarning")
def test_real_backends_rank_10_db_above_0_db(speech, pysepm_standin, system_calls):
    folder, x = speech
    pesq_exe()
    clean = [save16(folder / "clean dir" / "utt.wav", x)]
    noisy = [save16(folder / "noisy" / "utt.wav", mix(x, 0))]
    better = [save16(folder / "snr 10;dB" / "utt.wav", mix(x, 10))]
    evaluator = ev.AudioEvaluate(clean, noisy)
    assert (evaluator.pesq_status, evaluator.stoi_status, evaluator.sdr_status) == (True, True, True)
    evaluator.eval("10 dB", better)
    df = evaluator.get_df()
    ten, zero = df.iloc[0], df.iloc[1]
    assert zero["Enh_method"] == "Baseline"
    for measure in ("PESQ", "STOI", "SDR"):
        assert ten[measure] > zero[measure], measure
    assert ten["SDR"] == pytest.approx(10, abs=1.0) and zero["SDR"] == pytest.approx(0, abs=1.0)
    assert system_calls == []

    rate = RATE
    in_memory = [ev.eval_metrics(rate, x, mix(x, snr)) for snr in (0, 10)]
    for low, high in zip(*in_memory):
        assert high > low


@pytest.mark.slow
def test_pesq_exe_scores_a_file_against_itself_high(speech):
    folder, x = speech
    path = save16(folder / "self; test" / "a b.wav", x)
    done = subprocess.run([pesq_exe(), "+16000", str(path), str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    last = done.stdout.splitlines()[-1]
    assert last.startswith("Prediction : PESQ_MOS = ")
    assert float(last.rsplit("= ", 1)[1]) >= 4.0


@pytest.mark.parametrize("flags", [(a, b, c) for a in (False, True) for b in (False, True) for c in (False, True)])
def test_constructor_sets_attributes_and_columns_for_every_flag_set(flags, monkeypatch):
    monkeypatch.setattr(ev, "check_metrics_install", lambda: flags)
    clean, noisy = [Path("c.wav")], [Path("n.wav")]
    evaluator = ev.AudioEvaluate(clean, noisy)
    assert vars(evaluator) == {
        "enhanced_list": None,
        "clean_list": clean,
        "noisy_list": noisy,
        "pesq_status": flags[0],
        "stoi_status": flags[1],
        "sdr_status": flags[2],
        "score_dict": {"Enh_method": [], **{k: [] for k, on in zip(("PESQ", "STOI", "SDR"), flags) if on}},
    }
    assert evaluator.clean_list is clean


# ---------------------------------------------------------------- PESQ from PyPI


def fake_pesq_package(calls):
    module = types.ModuleType("pesq")

    def pesq(rate, ref, deg, mode):
        calls.append(("pesq", rate, mode, len(ref), len(deg)))
        return 2.75

    module.pesq = pesq
    return module


@pytest.mark.parametrize("pysepm", [None, "broken"])
def test_pesq_package_switches_pesq_on_without_installer(pysepm, backends, system_calls, monkeypatch, capsys):
    calls = backends(pesq=False)
    monkeypatch.setitem(sys.modules, "pesq", fake_pesq_package(calls))
    if pysepm == "broken":  # fails to import with something other than "not found"
        monkeypatch.delitem(sys.modules, "pysepm")
        monkeypatch.setattr("builtins.__import__", _failing_import("pysepm", ImportError))
    assert ev.check_metrics_install() == (True, True, True)
    assert system_calls == [] and capsys.readouterr().out == ""


def _failing_import(name, error):
    real = __import__

    def fake(module, *args, **kwargs):
        if module == name:
            raise error(f"{name} is broken")
        return real(module, *args, **kwargs)

    return fake


@pytest.mark.parametrize("rate, mode", [(16000, "wb"), (8000, "nb"), (44100, None)])
def test_eval_metrics_scores_pesq_with_the_pesq_package_as_pysepm_would(rate, mode, backends, monkeypatch):
    calls = backends(pesq=False)
    monkeypatch.setitem(sys.modules, "pesq", fake_pesq_package(calls))
    ref, deg = np.ones(10), np.ones(7)
    if mode is None:
        with pytest.raises(ValueError, match="fs must be either 8 kHz or 16 kHz"):
            ev.eval_metrics(rate, ref, deg)
        return
    assert ev.eval_metrics(rate, ref, deg)[0] == 2.75
    assert ("pesq", rate, mode, 7, 7) in calls


# ---------------------------------------------------------------- parallel eval


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-2, ValueError), (True, TypeError), (2.0, TypeError)])
def test_eval_refuses_a_bad_worker_count_before_changing_anything(workers, error, backends, tmp_path):
    backends(pesq=False)
    clean, noisy, enh = make_set(tmp_path, [100], [1000])
    evaluator = ev.AudioEvaluate(clean, noisy)
    with pytest.raises(error, match="workers"):
        evaluator.eval("m", enh, workers=workers)
    assert evaluator.score_dict == {"Enh_method": [], "STOI": [], "SDR": []}
    assert evaluator.enhanced_list is None


@pytest.mark.parametrize("failing", ["pesq", "stoi", "both"])
def test_parallel_eval_raises_the_error_the_serial_run_raises(failing, backends, fake_pesq_exe, tmp_path, monkeypatch):
    """PESQ runs first: with a PESQ failure at triple 3 and a STOI one at triple 1 the
    PESQ failure wins, though the parallel run computes STOI ahead of it."""
    calls = backends()
    stoi = sys.modules["pystoi"].stoi

    def picky_stoi(clean, processed, rate, extended=True):
        if processed[0] == 2001:
            raise ValueError("stoi refuses s1")
        return stoi(clean, processed, rate, extended)

    monkeypatch.setattr(sys.modules["pystoi"], "stoi", picky_stoi)
    values = [1000 + i for i in range(6)]
    if failing in ("stoi", "both"):
        values[1] = 2001
    clean, noisy, enh = make_set(tmp_path, [100 + i for i in range(6)], values)
    for i, (n, e) in enumerate(zip(noisy, enh)):
        pesq_output(n, f"= {1 + i / 10}\n")
        if not (failing in ("pesq", "both") and i == 3):
            pesq_output(e, f"= {2 + i / 10}\n")
    outcomes = []
    for workers in (1, 3):
        evaluator = ev.AudioEvaluate(clean, noisy)
        with pytest.raises(Exception) as caught:
            evaluator.eval("m", enh, workers=workers)
        notes = getattr(caught.value, "__notes__", [])
        outcomes.append((type(caught.value), str(caught.value), notes, evaluator.score_dict, evaluator.enhanced_list))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] is (ValueError if failing == "stoi" else IndexError)
    if sys.version_info >= (3, 11):  # the note names the files of the failing triple
        assert str(enh[1 if failing == "stoi" else 3]) in outcomes[0][2][-1]
    assert calls  # the fakes really ran


@pytest.fixture(scope="module")
def sentences(tmp_path_factory):
    """Short espeak-ng sentences at 16 kHz, peak 0.5."""
    if shutil.which("espeak-ng") is None:
        pytest.skip("espeak-ng is not installed")
    from scipy.signal import resample_poly

    folder = tmp_path_factory.mktemp("sentences")
    out = []
    for i, text in enumerate(["Rice is often served in round bowls.", "The juice of lemons makes fine punch.",
                              "Glue the sheet to the dark blue background."]):
        raw = folder / f"raw{i}.wav"
        subprocess.run(["espeak-ng", "-w", str(raw), text], check=True, timeout=60)
        rate, samples = wavfile.read(raw)
        x = resample_poly(samples.astype(np.float64), RATE, rate)
        out.append(x / np.abs(x).max() * 0.5)
    return out


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore:mir_eval.separation.bss_eval_sources:FutureWarning")
def test_parallel_table_equals_serial_table_with_pypi_backends_only(sentences, system_calls, monkeypatch, tmp_path, capsys):
    pesq_exe()
    monkeypatch.setitem(sys.modules, "pysepm", None)  # only what PyPI offers
    clean, noisy, enh = [], [], []
    for i in range(12):
        x = sentences[i % 3]
        clean.append(save16(tmp_path / "clean" / f"u{i:02d}.wav", x))
        noisy.append(save16(tmp_path / "noisy" / f"u{i:02d}.wav", mix(x, i % 4, seed=i)))
        enh.append(save16(tmp_path / "enh" / f"u{i:02d}.wav", mix(x, 8 + i % 5, seed=50 + i)))
    results = []
    for workers in (1, 2):
        evaluator = ev.AudioEvaluate(clean, noisy)
        capsys.readouterr()
        evaluator.eval("m", list(reversed(enh)), workers=workers)
        out = capsys.readouterr().out
        results.append((evaluator.get_df(), out, evaluator.base_pesq, evaluator.base_stoi, evaluator.base_sdr))
    pesq_score = ev.eval_metrics(RATE, sentences[0], mix(sentences[0], 10))[0]
    assert system_calls == []
    assert 1.0 < pesq_score < 4.7  # MOS-LQO from the pesq package
    assert list(results[0][0].columns) == ["Enh_method", "PESQ", "STOI", "SDR"]
    for other in results[1:]:
        pd.testing.assert_frame_equal(other[0], results[0][0], check_exact=True)
        assert other[1:] == results[0][1:]


# ---------------------------------------------------------------- native SDR and SI-SDR


def distortions(x, rng):
    from scipy.signal import lfilter

    noise = rng.standard_normal(len(x)) * np.std(x)
    return {
        "noise 0 dB": x + noise,
        "noise 15 dB": x + noise * 10 ** (-15 / 20),
        "filter": lfilter([0.6, 0.3, -0.1], [1.0, -0.5], x) + 0.01 * noise,
        "delay and gain": 0.3 * np.concatenate([np.zeros(160), x[:-160]]) + 0.05 * noise,
        "long delay": np.concatenate([np.zeros(900), x[:-900]]) + 0.1 * noise,
    }


@pytest.mark.filterwarnings("ignore:mir_eval.separation.bss_eval_sources:FutureWarning")
def test_native_sdr_and_si_sdr_match_mir_eval_and_numpy_on_speech(sentences):
    mir_eval = pytest.importorskip("mir_eval")
    rng = np.random.default_rng(5)
    x = sentences[2]
    for name, y in distortions(x, rng).items():
        for ref, est in ((x, y), (np.round(x * 32767).astype(np.int16), np.round(np.clip(y, -1, 1) * 32767).astype(np.int16))):
            expected = mir_eval.separation.bss_eval_sources(ref[None].astype(float), est[None].astype(float))[0][0]
            assert ev.sdr(ref, est) == pytest.approx(expected, abs=1e-4), name
            r, e = ref.astype(float), est.astype(float)
            target = (e @ r) / (r @ r) * r
            assert ev.si_sdr(ref, est) == pytest.approx(10 * np.log10(np.sum(target**2) / np.sum((e - target) ** 2)), abs=1e-6), name


@pytest.mark.parametrize("measure", [ev.sdr, ev.si_sdr])
@pytest.mark.parametrize(
    "ref, est, message",
    [
        (np.zeros(100), np.ones(100), "reference is silent"),
        (np.ones(100), np.zeros(100), "estimate is silent"),
        (np.ones(100), np.ones(99), r"differ in length \(100 vs 99 samples\)"),
        (np.ones((100, 2)), np.ones((100, 2)), r"one-dimensional \(mono\) array, got shape \(100, 2\)"),
        (np.array([1.0, np.inf]), np.ones(2), "non-finite"),
    ],
)
def test_native_measures_refuse_input_they_cannot_score(measure, ref, est, message):
    with pytest.raises(ValueError, match=message):
        measure(ref, est)


@pytest.mark.parametrize("rate", [16000, 8000, 10000, 44100])
def test_native_stoi_matches_pystoi_on_speech(sentences, rate):
    from pystoi import stoi

    x = sentences[1]
    for name, y in distortions(x, np.random.default_rng(6)).items():
        assert ev.stoi(x, y, rate) == pytest.approx(stoi(x, y, rate, extended=False), abs=1e-12), name


@pytest.mark.parametrize(
    "ref, est, rate, message",
    [
        (np.zeros(16000), np.ones(16000), 16000, "clean signal is silent"),
        (np.ones(16000), np.ones(15999), 16000, r"differ in length \(16000 and 15999 samples\)"),
        (np.ones(400), np.ones(400), 16000, "too short for STOI"),
        (np.sin(np.arange(4800)), np.ones(4800), 16000, "only 21 frames of speech remain"),  # pystoi: 1e-5
        (np.array([1.0, np.nan] * 9000), np.ones(18000), 16000, "non-finite"),
        (np.ones(16000), np.ones(16000), 0, "rate must be positive"),
    ],
)
def test_native_stoi_refuses_input_it_cannot_score(ref, est, rate, message):
    with pytest.raises(ValueError, match=message):
        ev.stoi(ref, est, rate)


def test_native_sdr_releases_the_gil():
    import threading

    rng = np.random.default_rng(0)
    x = rng.standard_normal(1 << 21)
    y = x + rng.standard_normal(x.size)
    started, done, counted = threading.Event(), threading.Event(), []

    def work():
        started.set()
        ev.sdr(x, y)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    n = 0
    while not done.is_set():
        n += 1
    worker.join()
    counted.append(n)
    assert counted[0] > 1000  # this thread ran Python while the measure ran


def test_sdr_measure_falls_back_to_native_without_bss_eval_sources(backends, tmp_path, monkeypatch):
    backends(pesq=False, stoi=False)
    monkeypatch.setattr(sys.modules["mir_eval"], "separation", types.SimpleNamespace())  # a future mir_eval
    rng = np.random.default_rng(1)
    x = rng.standard_normal(4000)
    y = x + 0.1 * rng.standard_normal(4000)
    clean = [save16(tmp_path / "c" / "a.wav", x / 8)]
    noisy = [save16(tmp_path / "n" / "a.wav", y / 8)]
    evaluator = ev.AudioEvaluate(clean, noisy)
    evaluator.eval("m", noisy)
    read = lambda p: wavfile.read(p)[1]
    assert evaluator.get_df()["SDR"].tolist() == [round(ev.sdr(read(clean[0]), read(noisy[0])), 4)] * 2
    assert ev.eval_metrics(RATE, x, y)[2] == pytest.approx(ev.sdr(x, y))


# ---------------------------------------------------------------- score_corpus


@pytest.mark.slow
def test_score_corpus_scores_paired_files_and_lists_the_rest(sentences, tmp_path):
    import pesq
    from pystoi import stoi

    read = lambda p: wavfile.read(p)[1] / 32768.0
    for i, x in enumerate(sentences[:2]):
        save16(tmp_path / "clean" / f"s{i}.wav", x)
        save16(tmp_path / "noisy" / f"s{i}_white_0dB.wav", mix(x, 0, seed=i))
        save16(tmp_path / "enh" / f"s{i}_white_0dB.wav", mix(x, 12, seed=10 + i))
    save16(tmp_path / "enh" / "orphan.wav", sentences[0])  # no clean file
    save16(tmp_path / "enh" / "s1_cut.wav", sentences[1][:4000])  # another length
    save16(tmp_path / "noisy" / "s1_cut.wav", sentences[1][:4000])
    wavfile.write(tmp_path / "enh" / "s0_stereo.wav", RATE, np.ones((800, 2), np.int16))
    save16(tmp_path / "noisy" / "s0_stereo.wav", sentences[0])
    listing = tmp_path / "enhanced.txt"
    listing.write_text(f"{tmp_path / 'enh'}\n{tmp_path / 'missing.wav'}\n")
    tables = [ev.score_corpus(tmp_path / "clean", listing, [tmp_path / "noisy"], workers=w) for w in (1, 2)]
    pd.testing.assert_frame_equal(tables[0], tables[1], check_exact=True)
    df = tables[0].set_index("file")
    assert list(tables[0].columns) == ["file", "clean", "noisy"] + [
        c for m in ("PESQ", "STOI", "SDR", "SI-SDR") for c in (f"Baseline-{m}", m)] + ["error"]
    good = [str(tmp_path / "enh" / f"s{i}_white_0dB.wav") for i in range(2)]
    for i, name in enumerate(good):
        row = df.loc[name]
        ref, est, base = read(tmp_path / "clean" / f"s{i}.wav"), read(name), read(row["noisy"])
        assert row["error"] == ""
        assert row["PESQ"] == pytest.approx(pesq.pesq(RATE, ref, est, "wb"))
        assert row["Baseline-STOI"] == pytest.approx(stoi(ref, base, RATE, extended=False))
        assert row["SDR"] == ev.sdr(ref, est) and row["SI-SDR"] == ev.si_sdr(ref, est)
        assert row["SDR"] > row["Baseline-SDR"] + 8
    errors = df["error"].to_dict()
    assert errors[str(tmp_path / "enh" / "orphan.wav")].startswith("no clean file for")
    assert "s1_cut.wav has 4000 samples" in errors[str(tmp_path / "enh" / "s1_cut.wav")]
    assert "s0_stereo.wav has 2 channels" in errors[str(tmp_path / "enh" / "s0_stereo.wav")]
    assert errors[str(tmp_path / "missing.wav")].startswith("not a .wav file")
    assert df.drop(index=good + ["mean"])[["PESQ", "SDR"]].isna().all().all()
    means = df.loc[good].drop(columns=["clean", "noisy", "error"]).mean()
    pd.testing.assert_series_equal(df.loc["mean", means.index].astype(float), means, check_names=False)


@pytest.mark.parametrize("metrics, error, message", [
    ("SDR", TypeError, "not a string"),
    (["SDR", "MOS"], ValueError, "unknown metric 'MOS'"),
    ([], ValueError, "no measure"),
])
def test_score_corpus_refuses_unknown_metrics(metrics, error, message, tmp_path):
    with pytest.raises(error, match=message):
        ev.score_corpus(tmp_path, tmp_path, metrics=metrics)


def test_score_corpus_marks_an_undefined_measure_and_says_why(tmp_path):
    x = np.random.default_rng(2).standard_normal(3000) / 8
    save16(tmp_path / "c" / "a\udce9.wav", x)  # a name that is not valid text pairs too
    save16(tmp_path / "e" / "a\udce9.wav", np.zeros(3000))  # a silent estimate: no SDR
    wavfile.write(tmp_path / "c" / "b.wav", 44100, (x * 32767).astype(np.int16))
    wavfile.write(tmp_path / "e" / "b.wav", 44100, (x * 32767).astype(np.int16))
    df = ev.score_corpus(tmp_path / "c", tmp_path / "e", metrics=("SI-SDR", "PESQ"), workers=1).set_index("file")
    a, b = df.loc[str(tmp_path / "e" / "a\udce9.wav")], df.loc[str(tmp_path / "e" / "b.wav")]
    assert np.isnan(a["SI-SDR"]) and "SI-SDR of the enhanced file: estimate is silent" in a["error"]
    assert b["SI-SDR"] == np.inf and np.isnan(b["PESQ"])
    assert b["error"] == "PESQ of the enhanced file: PESQ needs 8000 or 16000 Hz audio, got 44100 Hz"


def test_score_corpus_with_workers_keeps_the_notes_of_all_measures_in_order(tmp_path):
    # Worker processes take PESQ apart from the other measures; a file's notes still
    # come in the order of `metrics`.
    x = np.random.default_rng(3).standard_normal(3000) / 8
    for i in range(3):
        save16(tmp_path / "c" / f"b{i}.wav", x)
        save16(tmp_path / "e" / f"b{i}.wav", mix(x, 5 + i, seed=i))
    # At 44.1 kHz (no PESQ) and silent (no SDR, no SI-SDR): a note from every measure.
    wavfile.write(tmp_path / "c" / "a.wav", 44100, (x * 32767).astype(np.int16))
    wavfile.write(tmp_path / "e" / "a.wav", 44100, np.zeros(3000, np.int16))
    tables = [ev.score_corpus(tmp_path / "c", tmp_path / "e", metrics=("SI-SDR", "PESQ", "SDR"), workers=w)
              for w in (1, 2)]
    pd.testing.assert_frame_equal(tables[0], tables[1], check_exact=True)
    notes = tables[1].set_index("file").loc[str(tmp_path / "e" / "a.wav"), "error"].split("; ")
    assert [note.split(" of ")[0] for note in notes] == ["SI-SDR", "PESQ", "SDR"]


def blas_threads():
    import threadpoolctl

    return sorted({pool["num_threads"] for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas"})


def test_score_corpus_worker_processes_run_one_blas_thread():
    pytest.importorskip("threadpoolctl")
    import concurrent.futures
    import multiprocessing

    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context, initializer=ev._score_worker_init) as pool:
        assert pool.submit(blas_threads).result() == [1]
