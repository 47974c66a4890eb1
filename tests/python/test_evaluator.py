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
    assert fake_pesq_exe.read_text().splitlines()[1] == f"+16000|{clean[0]}|{enh[0]}"


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
