"""tavol.core.synth: planning, naming, rendering and safety of the Synthesizer."""

import filecmp
import functools
import json
import multiprocessing
import os
import pickle
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import librosa
import numpy as np
import pytest
import scipy.io.wavfile as wavfile

from tavol.core import synth
from tavol.core.synth import Synthesizer
from conftest import write_wav

BANNER = "[tl.] ==== Audio Synthesizing ===="
USE_EXTRA = "Please use class function 'syn_extra_mode' to run extra mode."


def tone(frames, seed, scale=0.1, dc=0.0):
    rng = np.random.default_rng(seed)
    return (dc + scale * rng.standard_normal(frames)).astype(np.float32)


def corpus(root, cleans, noises, clean_frames=1600, noise_frames=4000, noise_rate=16000):
    """root/clean/<name>.wav and root/noise/<name>.wav; returns the two folders."""
    for i, name in enumerate(cleans):
        write_wav(root / "clean" / f"{name}.wav", tone(clean_frames, i), subtype="FLOAT")
    for i, name in enumerate(noises):
        write_wav(root / "noise" / f"{name}.wav", tone(noise_frames, 100 + i), noise_rate, subtype="FLOAT")
    return root / "clean", root / "noise"


def make_synth(root, cleans, noises, snrs, out="out", **kwargs):
    """A Synthesizer whose file lists are in the given (sorted) order."""
    clean_dir, noise_dir = corpus(root, cleans, noises, **kwargs)
    s = Synthesizer(clean_dir, noise_dir, root / out, snrs)
    s.cleanWaves = [clean_dir / f"{c}.wav" for c in cleans]
    s.noiseWaves = [noise_dir / f"{n}.wav" for n in noises]
    return s


def plan(entries):
    """(output name, clean stem, noise stem, snr) of each entry."""
    return [(Path(o).name, Path(c).stem, Path(n).stem, s) for o, c, n, s in entries]


def realised_snr(out, clean, noise_only=False):
    rate, pcm = wavfile.read(out)
    assert rate == 16000 and pcm.dtype == np.int16
    y, _ = librosa.load(clean, sr=16000)
    noise = pcm / 32767.0 - (0.0 if noise_only else y.astype(np.float64))
    return 10 * np.log10(np.mean(y.astype(np.float64) ** 2) / np.var(noise))


# ---------------------------------------------------------------- set-up


def test_module_surface_and_plain_class():
    assert synth.__all__ == ["Synthesizer"]
    # dir(), not vars(): the heavy libraries are bound on first use.
    names = [k for k in dir(synth) if not k.startswith("_") and k != "Synthesizer"]
    assert names == sorted(["shutil", "librosa", "np", "Path", "wavfile", "Pool", "partial", "tqdm",
                            "trange", "check_input", "load_waves", "warn"])
    assert Synthesizer.__bases__ == (object,)
    assert Synthesizer.__doc__.startswith("Synthesizer 音頻混合器")
    assert "_Synthesizer__syn_pool" in vars(Synthesizer)
    for name in ("mode", "mkdir_parents"):
        assert name in Synthesizer.syn.__doc__


def test_constructor_defaults_and_snr_forms(tmp_path, in_tmp):
    clean_dir, noise_dir = corpus(tmp_path, ["a", "b"], ["x"])
    s = Synthesizer(str(clean_dir), noise_dir)
    assert list(vars(s)) == ["cleanWaves", "noiseWaves", "noisyDir", "snrRatio", "synWavesList",
                             "clean_dir_"]
    assert sorted(s.cleanWaves) == [clean_dir / "a.wav", clean_dir / "b.wav"]
    assert s.noisyDir == Path("mixed") and s.snrRatio == (-5, 0, 5)
    assert s.synWavesList is None and s.wave_syn() is None and s.wave_syn_abs() is None
    assert s.clean_dir_ == str(clean_dir)
    assert s.wave_input() == (s.cleanWaves, s.noiseWaves)
    assert Synthesizer(clean_dir, noise_dir, "mixed").noisyDir == Path("mixed")
    assert Synthesizer(clean_dir, noise_dir, snr_ratio=10).snrRatio == [10]
    assert Synthesizer(clean_dir, noise_dir, snr_ratio=[]).snrRatio == []
    with pytest.raises(AssertionError, match="^type error: snr_ratio can't be str$"):
        Synthesizer(clean_dir, noise_dir, snr_ratio="10")
    s.synWavesList = 5
    with pytest.raises(TypeError, match="list.*int"):
        s.wave_syn()


def test_constructor_input_checks(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, ["a"], ["x"])
    (tmp_path / "empty").mkdir()
    with pytest.raises(AssertionError) as err:
        Synthesizer(tmp_path / "empty", noise_dir)
    assert str(err.value) == f"Error input {tmp_path / 'empty'}, found 0 files."
    with pytest.raises(AssertionError, match="^input path error$"):
        Synthesizer(clean_dir / "a.wav", noise_dir)
    with pytest.raises(TypeError):
        Synthesizer([clean_dir], noise_dir)
    # Without assertions every input form of check_input is accepted.
    code = (f"from tavol.core.synth import Synthesizer as S; "
            f"print(len(S([{str(clean_dir)!r}], {str(noise_dir)!r}).cleanWaves))")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         timeout=120, check=True)
    assert out.stdout.strip() == "1"


def test_waveform_hands_the_pool_flag_to_load_waves(tmp_path, monkeypatch):
    s = make_synth(tmp_path, ["a"], ["x"], [0])
    calls = []
    monkeypatch.setattr(synth, "load_waves", lambda files, use_pool=False: calls.append(use_pool) or files)
    assert s.waveform(True) == (s.cleanWaves, s.noiseWaves)
    assert calls == [True, True]


# ---------------------------------------------------------------- planning and naming


def test_regular_mode_cycles_noises_and_snrs(tmp_path, capsys):
    s = make_synth(tmp_path, list("abcde"), ["x", "y"], (-5, 0, 5))
    entries = s.syn("reg")
    assert entries is s.wave_syn()
    assert plan(entries) == [("a_x_n5.wav", "a", "x", -5), ("b_y_0dB.wav", "b", "y", 0),
                             ("c_x_5dB.wav", "c", "x", 5), ("d_y_n5.wav", "d", "y", -5),
                             ("e_x_0dB.wav", "e", "x", 0)]
    assert all(isinstance(e, tuple) and len(e) == 4 for e in entries)
    lines = capsys.readouterr().out.splitlines()
    assert lines[:3] == [BANNER, "Clean: 5, Noise: 2, SNR: -5 ~ 5",
                         "3 SNRs * 2 noises, generate 5 noisy."]
    assert sorted(p.name for p in s.noisyDir.iterdir()) == sorted(e[0].name for e in entries)


def test_increment_mode_is_clean_major(tmp_path, capsys):
    s = make_synth(tmp_path, ["a", "b"], ["x", "y"], (10, -5))
    entries = s.syn("increment")
    assert [e[1:] for e in plan(entries)] == [
        ("a", "x", 10), ("a", "x", -5), ("a", "y", 10), ("a", "y", -5),
        ("b", "x", 10), ("b", "x", -5), ("b", "y", 10), ("b", "y", -5)]
    out = capsys.readouterr().out.splitlines()
    assert out[1] == "Clean: 2, Noise: 2, SNR: 10 ~ -5"
    assert out[2] == "8 noisy files generated by 2 kinds of SNR and 2 noise files "
    assert len(list(s.noisyDir.glob("*.wav"))) == 8


def test_names_folders_and_raw_copies(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, [], ["b"])
    write_wav(clean_dir / "spk1" / "a.wav", tone(1600, 1))
    write_wav(clean_dir / "take.1.wav", tone(1600, 2))
    s = Synthesizer(clean_dir, noise_dir, tmp_path / "out", [2.5])
    s.cleanWaves = [clean_dir / "spk1" / "a.wav", clean_dir / "take.1.wav"]
    entries = s.syn("reg", is_add_clean=True)
    out = tmp_path / "out"
    # Names get ".wav" appended, so a dotted SNR or stem is kept whole.
    assert [e[0] for e in entries] == [out / "spk1" / "a_b_2.5dB.wav", out / "take.1_b_2.5dB.wav"]
    assert all(e[0].is_file() for e in entries)
    assert filecmp.cmp(out / "RAW_DATA" / "a_raw.wav", clean_dir / "spk1" / "a.wav", shallow=False)
    assert (out / "RAW_DATA" / "take.1_raw.wav").is_file()
    flat = s.syn("reg", mkdir_parents=False)
    assert flat[0][0] == out / "a_b_2.5dB.wav"


def test_random_clean_subset_and_type_checks(tmp_path):
    s = make_synth(tmp_path, [f"c{i}" for i in range(10)], ["x"], [0])
    np.random.seed(4)
    picked = s.syn("reg", rdn_choice_num=3)
    np.random.seed(4)
    expected = [np.random.choice(s.cleanWaves) for _ in range(3)]
    assert [e[1] for e in picked] == expected
    assert len(s.syn("reg", rdn_choice_num=11)) == 10
    assert len(s.syn("reg", rdn_choice_num=-2)) == 10
    with pytest.raises(TypeError, match=r"^Argument 'rdn_choice_num' has incorrect type \(expected int, got bool\)$"):
        s.syn("reg", rdn_choice_num=True)
    with pytest.raises(TypeError, match=r"^Argument 'mode' has incorrect type \(expected str, got int\)$"):
        s.syn(5)


def test_existing_output_is_wiped_or_kept(tmp_path, monkeypatch, capsys):
    s = make_synth(tmp_path, ["a"], ["x"], [0])
    warned = []
    monkeypatch.setattr(synth, "warn", warned.append)
    old = tmp_path / "out" / "old.txt"
    old.parent.mkdir()
    old.write_text("keep me")
    assert s.syn("reg", overwrite=False) is None
    assert warned == [f"[tl.] syn:  路徑已存在 -> {tmp_path / 'out'}，終止程序"]
    assert old.read_text() == "keep me" and s.synWavesList is None
    assert capsys.readouterr().out.splitlines() == [BANNER]
    s.syn("reg")
    assert warned[1] == f"[tl.] syn:  路徑已存在，將覆蓋資料夾 -> {tmp_path / 'out'}"
    assert not old.exists() and (tmp_path / "out" / "a_x_0dB.wav").is_file()
    (tmp_path / "empty").mkdir()
    s.noisyDir = tmp_path / "empty"
    s.syn("reg")
    assert len(warned) == 2


def test_other_modes_answer_without_touching_anything(tmp_path, capsys):
    s = make_synth(tmp_path, ["a"], ["x"], [0])
    marker = tmp_path / "out" / "old.txt"
    marker.parent.mkdir()
    marker.write_text("x")
    state = np.random.get_state()[1].copy()
    assert s.syn("extra") == USE_EXTRA and s.syn("max") == USE_EXTRA
    assert s.syn("fancy") == "select the right mode"
    assert marker.exists() and capsys.readouterr().out == ""
    assert np.array_equal(np.random.get_state()[1], state)


@pytest.mark.parametrize("out", ["clean", ".", "noise"])
def test_output_folder_holding_inputs_is_refused(tmp_path, out):
    s = make_synth(tmp_path, ["a"], ["x"], [0], out=out)
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(ValueError, match="holds the input"):
        s.syn("reg")
    with pytest.raises(ValueError, match="holds the input"):
        s.syn_extra_mode(tmp_path / "noise")
    assert sorted(tmp_path.rglob("*")) == before


# ---------------------------------------------------------------- rendering


@pytest.mark.parametrize("noise_frames,noise_rate", [(4000, 16000), (40000, 16000), (30000, 44100)])
@pytest.mark.parametrize("silence", [False, True])
def test_realised_snr_of_written_files(tmp_path, noise_frames, noise_rate, silence):
    s = make_synth(tmp_path, ["a", "b"], ["x"], [-5, 0, 2.5, 10, 20], clean_frames=16000,
                   noise_frames=noise_frames, noise_rate=noise_rate)
    entries = s.syn("inc", is_silence=silence, p_silence=0.3)
    assert len(entries) == (13 if silence else 10)  # 10 planned + round(3.0) silence entries
    for out, clean, _, snr in entries:
        assert realised_snr(out, clean, noise_only=silence) == pytest.approx(float(snr), abs=0.05)
        assert wavfile.read(out)[1].shape == (16000,)


def test_noise_fitting_follows_numpy_draws(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, ["c"], [], clean_frames=16000)
    long_noise = tone(40000, 7, dc=0.3)
    write_wav(noise_dir / "long.wav", long_noise, subtype="FLOAT")
    write_wav(noise_dir / "short.wav", tone(4000, 8), subtype="FLOAT")
    write_wav(noise_dir / "same.wav", tone(16000, 9), subtype="FLOAT")
    clean = clean_dir / "c.wav"
    y = librosa.load(clean, sr=16000)[0].astype(np.float64)

    def noise_part(name):
        out = tmp_path / f"{name}.wav"
        Synthesizer.syn_waves((out, clean, noise_dir / f"{name}.wav", 0), False)
        return wavfile.read(out)[1] / 32767.0 - y

    np.random.seed(11)
    offset = np.random.randint(1, 40000 - 16000 + 1)
    np.random.seed(11)
    excerpt = long_noise[offset:offset + 16000].astype(np.float64)
    excerpt = (excerpt - excerpt.mean()) * np.sqrt(np.mean(y ** 2)) / excerpt.std()
    assert np.max(np.abs(noise_part("long") - excerpt)) < 2 / 32767

    repeated = noise_part("short")  # 16000 // 4000 + 1 copies, cut
    assert np.max(np.abs(repeated[:4000] - repeated[8000:12000])) < 2 / 32767
    state = np.random.get_state()[1].copy()
    noise_part("same")  # equal length: used whole, nothing drawn
    assert np.array_equal(np.random.get_state()[1], state)


def test_loud_mixtures_saturate(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, [], [])
    write_wav(clean_dir / "loud.wav", np.sign(tone(1600, 3)) * 0.9, subtype="FLOAT")
    write_wav(noise_dir / "short.wav", tone(400, 4), subtype="FLOAT")
    out = tmp_path / "loud_mix.wav"
    Synthesizer.syn_waves([out, clean_dir / "loud.wav", noise_dir / "short.wav", -3], False)
    y = librosa.load(clean_dir / "loud.wav", sr=16000)[0].astype(np.float64)
    n = np.tile(librosa.load(noise_dir / "short.wav", sr=16000)[0], 5)[:1600].astype(np.float64)
    n -= n.mean()
    mix = (y + n * np.sqrt(np.mean(y ** 2) / 10 ** -0.3) / n.std()) * 32767
    assert np.abs(mix).max() > 40000
    expected = np.clip(np.trunc(mix), -32768, 32767)
    assert np.max(np.abs(wavfile.read(out)[1] - expected)) <= 1


def test_unusable_recordings_are_clear_errors(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, ["a"], ["x"])
    write_wav(noise_dir / "silent.wav", np.zeros(4000, np.float32))
    write_wav(noise_dir / "empty.wav", np.zeros(0, np.float32))
    a = clean_dir / "a.wav"
    with pytest.raises(ValueError, match="zero variance.*silent.wav"):
        Synthesizer.syn_waves((tmp_path / "o.wav", a, noise_dir / "silent.wav", 0), False)
    with pytest.raises(ValueError, match="empty.*empty.wav"):
        Synthesizer.syn_waves((tmp_path / "o.wav", a, noise_dir / "empty.wav", 0), False)
    with pytest.raises(ValueError, match="empty.*empty.wav"):
        Synthesizer.syn_waves((tmp_path / "o.wav", noise_dir / "empty.wav", a, 0), False)
    with pytest.raises(FileNotFoundError):
        Synthesizer.syn_waves((tmp_path / "o.wav", tmp_path / "nope.wav", a, 0), False)
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 4, got 3\)"):
        Synthesizer.syn_waves([(tmp_path / "o.wav", a, a)], False, 0)
    assert not (tmp_path / "o.wav").exists()


@pytest.mark.parametrize("shared", [False, True], ids=["own", "shared"])
@pytest.mark.parametrize("role, bad", [("clean", np.nan), ("noise", np.inf), ("noise", np.nan)])
def test_recordings_holding_nan_or_infinity_are_errors_naming_them(tmp_path, role, bad, shared):
    # Not an all-zero mixture reported as written, and not "zero variance".
    clean_dir, noise_dir = corpus(tmp_path, ["a", "b"], ["x"])
    spoilt = tone(4000, 7)
    spoilt[100] = bad
    write_wav(tmp_path / "bad.wav", spoilt, subtype="FLOAT")
    recordings = {"clean": clean_dir / "a.wav", "noise": noise_dir / "x.wav", role: tmp_path / "bad.wav"}
    entries = [(tmp_path / "o1.wav", recordings["clean"], recordings["noise"], 0)]
    if shared:  # a second entry makes the bad recording a shared (cached) one
        entries.append((tmp_path / "o2.wav", recordings["clean"], recordings["noise"], 5))
    with pytest.raises(ValueError) as raised:
        for i in range(len(entries)):
            Synthesizer.syn_waves(entries, False, i)
    assert str(raised.value) == (f"{role} recording holds samples that are not finite (NaN or "
                                 f"infinity): '{tmp_path / 'bad.wav'}'")
    assert not list(tmp_path.glob("o*.wav"))


# ---------------------------------------------------------------- silence entries and pooling


@pytest.mark.parametrize("n,p,expected", [(100, 0.02, 2), (75, 0.02, 2), (125, 0.02, 2),
                                          (25, 0.02, 0), (30, 1, 0), (30, 0, 0)])
def test_silence_share(tmp_path, n, p, expected):
    s = make_synth(tmp_path, ["a"], ["b"], [0], clean_frames=400, noise_frames=300)
    a, b = s.cleanWaves[0], s.noiseWaves[0]
    s.synWavesList = [(tmp_path / "out" / "sub" / f"{i}.wav", a, b, 5) for i in range(n)]
    s._Synthesizer__syn_pool(is_pool=False, is_silence=True, p_silence=p)
    extra = s.synWavesList[n:]
    assert len(s.synWavesList) == n + expected
    assert extra == [(tmp_path / "out" / "sub" / "ab_n00.wav", a, b, 0)] * expected
    s.synWavesList = s.synWavesList[:10]
    s._Synthesizer__syn_pool(is_pool=False, is_silence=False, p_silence=0.5)
    assert len(s.synWavesList) == 10


def test_a_failing_entry_stops_a_pooled_run_with_its_error(tmp_path):
    s = make_synth(tmp_path, ["a"], ["b"], [0], clean_frames=400, noise_frames=300)
    write_wav(tmp_path / "noise" / "flat.wav", np.zeros(300, np.float32))
    a, b = s.cleanWaves[0], s.noiseWaves[0]
    s.synWavesList = [(tmp_path / "o" / f"{i}.wav", a, b, 0) for i in range(300)]
    s.synWavesList[150] = (tmp_path / "o" / "bad.wav", a, tmp_path / "noise" / "flat.wav", 0)
    with pytest.raises(ValueError, match="flat.wav"):
        s._Synthesizer__syn_pool(is_pool=True, is_silence=False)
    written = list((tmp_path / "o").iterdir())
    assert len(written) < 300 and all(p.suffix == ".wav" and p.name != "bad.wav" for p in written)


@pytest.mark.parametrize("n,pooled", [(200, False), (201, True)])
def test_pool_threshold(tmp_path, monkeypatch, n, pooled):
    s = make_synth(tmp_path, ["a"], ["b"], [0], clean_frames=400, noise_frames=300)
    bars = []
    real = synth.tqdm
    monkeypatch.setattr(synth, "tqdm", lambda *a, **k: bars.append((a, k)) or real(*a, **k))
    s.synWavesList = [(tmp_path / "o" / f"{i}.wav", s.cleanWaves[0], s.noiseWaves[0], 0) for i in range(n)]
    s._Synthesizer__syn_pool(is_pool=True, is_silence=False)
    assert len(list((tmp_path / "o").iterdir())) == n
    assert bars[0][1]["desc"] == "Audio synthesis"
    assert ("total" in bars[0][1]) is pooled


def test_seed_reproduces_runs_pooled_or_not(tmp_path):
    # 6 clean x 4 noises x 9 SNRs = 216 entries (+4 silence): above the pool threshold.
    clean_dir, noise_dir = corpus(tmp_path, [f"c{i}" for i in range(6)], [f"n{i}" for i in range(4)],
                                  clean_frames=3200, noise_frames=20000, noise_rate=44100)
    runs = {}
    for label, pool in [("pool1", True), ("pool2", True), ("seq", False)]:
        s = Synthesizer(clean_dir, noise_dir, tmp_path / label, list(range(-4, 5)))
        np.random.seed(2024)
        runs[label] = s.syn("inc", is_pool=pool, is_silence=True)
    assert len(runs["seq"]) == 220
    names = sorted(p.name for p in (tmp_path / "seq").iterdir())
    assert len(names) >= 217
    for other in ("pool1", "pool2"):
        assert [e[1:] for e in runs[other]] == [e[1:] for e in runs["seq"]]
        assert sorted(p.name for p in (tmp_path / other).iterdir()) == names
        match, mismatch, errors = filecmp.cmpfiles(tmp_path / "seq", tmp_path / other, names, shallow=False)
        assert mismatch == [] and errors == []
    np.random.seed(5)
    Synthesizer(clean_dir, noise_dir, tmp_path / "other", [0]).syn("inc")
    assert not filecmp.cmp(tmp_path / "other" / "c0_n0_0dB.wav", tmp_path / "seq" / "c0_n0_0dB.wav",
                           shallow=False)


def test_syn_waves_ships_to_a_spawn_pool(tmp_path):
    s = make_synth(tmp_path, ["a", "b", "c"], ["x"], [0, 5], clean_frames=1600, noise_frames=1000)
    assert pickle.loads(pickle.dumps(Synthesizer.syn_waves)) is Synthesizer.syn_waves
    entries = [(tmp_path / "pool" / f"{c.stem}.wav", c, s.noiseWaves[0], 5) for c in s.cleanWaves]
    task = functools.partial(Synthesizer.syn_waves, entries, False)
    task = pickle.loads(pickle.dumps(task))
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map_async(task, range(3)).get(timeout=120) == [None] * 3
    for i, (out, c, n, snr) in enumerate(entries):
        here = tmp_path / f"here{i}.wav"
        Synthesizer.syn_waves([(here, c, n, snr)], False, 0)
        assert filecmp.cmp(out, here, shallow=False)


INTERRUPTED_RUN = textwrap.dedent("""
    import sys, time
    import numpy as np
    from pathlib import Path
    from tavol.core import synth
    from tavol.core.synth import Synthesizer

    root = Path(sys.argv[1])
    s = Synthesizer(root / "clean", root / "noise", root / "out", [0])
    clean, noise = s.cleanWaves[0], s.noiseWaves[0]
    # Many entries over a few names: a long run that needs little disk.
    s.synWavesList = [(root / "out" / f"{i % 16}.wav", clean, noise, i % 7) for i in range(200000)]
    real = synth.tqdm
    def announcing(*args, **kwargs):
        print("RENDERING", flush=True)
        return real(*args, **kwargs)
    synth.tqdm = announcing
    try:
        s._Synthesizer__syn_pool(is_pool=True, is_silence=False)
        print("FINISHED", flush=True)
    except KeyboardInterrupt:
        print("INTERRUPTED", time.monotonic(), flush=True)
""")


@pytest.mark.timeout(120)
def test_ctrl_c_stops_a_pooled_run_cleanly(tmp_path):
    corpus(tmp_path, ["a"], ["x"], clean_frames=32000, noise_frames=96000, noise_rate=44100)
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN, str(tmp_path)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert proc.stdout.readline().strip() == "RENDERING"
        time.sleep(0.3)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().split()
        proc.wait(timeout=30)
    finally:
        proc.kill()
    assert line[0] == "INTERRUPTED"
    assert float(line[1]) - sent < 2.0
    written = list((tmp_path / "out").iterdir())
    assert written and all(p.suffix == ".wav" for p in written)  # no temporary files left
    for p in written:
        rate, pcm = wavfile.read(p)
        assert rate == 16000 and pcm.shape == (32000,)


# ---------------------------------------------------------------- background extra mode


def test_extra_mode_plans_and_cleans_up(tmp_path, in_tmp, capsys):
    s = make_synth(tmp_path, ["a", "b"], ["x", "y"], (-5, 0, 5), noise_frames=3000)
    write_wav(tmp_path / "bg" / "bg.wav", tone(5000, 50), subtype="FLOAT")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "stale.txt").write_text("old")
    np.random.seed(0)
    entries = s.syn_extra_mode(tmp_path / "bg")
    assert len(entries) == 31  # 2 x (2 + 2 + 1) x 3 planned + round(0.6) silence
    assert capsys.readouterr().out == ""
    planned = plan(entries[:30])
    assert planned[:4] == [("a_x_bg_5dB_n5dB.wav", "a", "x_bg_5dB", -5),
                           ("a_x_bg_5dB_0dB.wav", "a", "x_bg_5dB", 0),
                           ("a_x_bg_5dB_5dB.wav", "a", "x_bg_5dB", 5),
                           ("a_y_bg_5dB_n5dB.wav", "a", "y_bg_5dB", -5)]
    assert [p[2] for p in planned[:15:3]] == ["x_bg_5dB", "y_bg_5dB", "x", "y", "bg"]
    assert entries[30][0].name.endswith("_n00.wav") and entries[30][3] == 0
    out = tmp_path / "out"
    assert not (out / "stale.txt").exists() and not Path("tmp_mixed").exists()
    assert filecmp.cmp(out / "a_n0.wav", tmp_path / "clean" / "a.wav", shallow=False)
    files = {p.name for p in out.iterdir()}
    assert {"a_n0.wav", "b_n0.wav"} | {e[0].name for e in entries} == files
    # Every stage-2 file holds the scaled noise alone.
    for o, c, _, snr in entries[:30:7]:
        assert realised_snr(o, c, noise_only=True) == pytest.approx(float(snr), abs=0.05)


def test_extra_mode_background_snr_forms(tmp_path, in_tmp):
    s = make_synth(tmp_path, ["a"], ["x"], [5], noise_frames=3000)
    write_wav(tmp_path / "bg" / "bg.wav", tone(5000, 50), subtype="FLOAT")
    entries = s.syn_extra_mode(tmp_path / "bg", -3)
    assert [Path(e[2]).name for e in entries] == ["x_bg_n3dB.wav", "x.wav", "bg.wav"]
    assert entries[0][0] == tmp_path / "out" / "a_x_bg_n3dB_5dB.wav"
    assert s.syn_extra_mode(tmp_path / "bg", 5)[0][0].name == "a_x_bg_5dB_5dB.wav"
    with pytest.raises(AssertionError, match="^type error: snr_ratio can't be str$"):
        s.syn_extra_mode(tmp_path / "bg", "5")
    with pytest.raises(AssertionError) as err:
        s.syn_extra_mode(tmp_path / "nothing")
    assert str(err.value) == f"Error input {tmp_path / 'nothing'}"


# ---------------------------------------------------------------- manifests, dry runs, re-rendering


def wav_bytes(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(Path(folder).rglob("*.wav"))}


PLANNED = ["output", "kind", "clean", "noise", "snr_db", "snr_definition", "noise_only", "fit",
           "offset", "samples", "rate", "clipping"]


def test_seeded_runs_describe_themselves_and_render_again(tmp_path):
    import pandas as pd
    clean_dir, noise_dir = corpus(tmp_path / "data", ["a", "b", "c"], ["x", "y"], clean_frames=3000,
                                  noise_frames=9000, noise_rate=44100)
    runs = {}
    for label, kwargs in [("plain", {}), ("described", {"manifest": True})]:
        np.random.seed(11)
        s = Synthesizer(clean_dir, noise_dir, tmp_path / "data" / label, [-5, 0, 5])
        runs[label] = s.syn("inc", is_add_clean=True, is_silence=True, p_silence=0.2, **kwargs)
    # The manifest adds two files and changes no byte of the others.
    out = tmp_path / "data" / "described"
    assert wav_bytes(out) == wav_bytes(tmp_path / "data" / "plain")
    assert {p.name for p in out.iterdir()} - {p.name for p in (tmp_path / "data" / "plain").iterdir()} \
        == {"manifest.csv", "manifest.json"}
    rows = pd.read_csv(out / "manifest.csv")
    assert len(rows) == len(runs["described"]) + 3  # entries and the RAW_DATA copies
    assert set(rows.kind) == {"raw_copy", "mixture", "silence"}
    assert json.loads((out / "manifest.json").read_text())["mode"] == "increment"
    assert [p.name for p in synth.check_input(out)[0] if "manifest" in p.name] == []

    # seed= draws what numpy.random.seed drew, leaves the global state alone, and plan() sees it.
    state = np.random.get_state()[1].copy()
    s = Synthesizer(clean_dir, noise_dir, out, [-5, 0, 5], seed=11)
    planned = s.plan("inc", is_add_clean=True, is_silence=True, p_silence=0.2)
    assert np.array_equal(np.random.get_state()[1], state)
    pd.testing.assert_frame_equal(planned[PLANNED], rows[PLANNED])
    assert planned["realised_snr_db"].isna().all()
    assert planned.attrs["run"] == {**json.loads((out / "manifest.json").read_text()), "seed": 11}

    # Render again (render ships to workers by reference, as syn_waves does), from the plan,
    # sequentially and pooled, and after corpora and outputs moved together.
    assert pickle.loads(pickle.dumps(synth.render)) is synth.render
    synth.render(planned, out_path=tmp_path / "from_plan")
    assert wav_bytes(tmp_path / "from_plan") == wav_bytes(out)
    for workers in (1, 4):
        table = synth.render(out / "manifest.csv", out_path=tmp_path / f"again{workers}",
                             workers=workers)
        assert wav_bytes(tmp_path / f"again{workers}") == wav_bytes(out)
        # The table render() returns is what pandas reads from the manifest: types and values.
        pd.testing.assert_frame_equal(table, rows, check_exact=True)
    (tmp_path / "data").rename(tmp_path / "moved")
    moved = tmp_path / "moved" / "described"
    originals = wav_bytes(moved)
    victims = sorted(moved.glob("*_0dB.wav"))[:3]
    for p in victims[1:]:
        p.unlink()
    victims[0].write_bytes(victims[0].read_bytes()[:100])
    redone = synth.render(moved, resume=True)
    assert sorted(redone.output) == sorted(p.name for p in victims)
    assert wav_bytes(moved) == originals
    assert redone.realised_snr_db.notna().all()


def test_extra_mode_manifest_renders_stage_mixtures_in_memory(tmp_path, in_tmp):
    s = make_synth(tmp_path, ["a", "b"], ["x"], [0, 5], noise_frames=3000)
    write_wav(tmp_path / "bg" / "bg.wav", tone(5000, 50), subtype="FLOAT")
    entries = s.syn_extra_mode(tmp_path / "bg", [-3, 4], manifest=True, seed=2)
    manifest = (tmp_path / "out" / "manifest.csv").read_text()
    assert "tmp_mixed/x_bg_n3dB.wav,stage" in manifest and not Path("tmp_mixed").exists()
    synth.render(tmp_path / "out" / "manifest.csv", out_path=tmp_path / "again")
    assert wav_bytes(tmp_path / "again") == wav_bytes(tmp_path / "out")
    planned = s.plan("extra", background_path=tmp_path / "bg", background_snr=[-3, 4], seed=2)
    assert len(entries) == len(planned.query("kind in ['mixture', 'silence']"))
    # What a planned run records beside its rows is what the run itself recorded.
    assert planned.attrs["run"] == json.loads((tmp_path / "out" / "manifest.json").read_text())


def p56_level(x, rate):
    """Active speech level (mean square) of P.56 method B, straight from the recommendation."""
    from scipy.signal import lfilter
    x = np.asarray(x, np.float64)
    g, hangover = np.exp(-1 / (rate * 0.03)), np.floor(0.2 * rate + 0.5)
    q = lfilter([1 - g], [1, -g], lfilter([1 - g], [1, -g], np.abs(x)))
    k = np.arange(x.size)
    thresholds = 2.0 ** np.arange(-15, 0)
    active = np.array([np.count_nonzero(k - np.maximum.accumulate(np.where(q >= c, k, -10 ** 9))
                                        <= hangover) for c in thresholds])
    level = 10 * np.log10(np.sum(x ** 2) / np.maximum(active, 1) + 1e-20)
    margin = level - 20 * np.log10(thresholds)
    j = next(j for j in range(1, 15) if active[j] and margin[j] <= 15.9)
    up, low, up_t, low_t = level[j], level[j - 1], 20 * np.log10(thresholds[j]), 20 * np.log10(thresholds[j - 1])
    tol = 0.5
    if abs(up - up_t - 15.9) < tol:
        return 10 ** (up / 10)
    if abs(low - low_t - 15.9) < tol:
        return 10 ** (low / 10)
    mid, mid_t, n = (up + low) / 2, (up_t + low_t) / 2, 1
    while abs(mid - mid_t - 15.9) > tol:
        n += 1
        tol *= 1.1 if n > 20 else 1
        if mid - mid_t - 15.9 > tol:
            mid, mid_t = (up + mid) / 2, (up_t + mid_t) / 2
            low, low_t = mid, mid_t
        elif mid - mid_t - 15.9 < -tol:
            mid, mid_t = (mid + low) / 2, (mid_t + low_t) / 2
            up, up_t = mid, mid_t
    return 10 ** (mid / 10)


@pytest.mark.parametrize("definition", ["power", "active"])
def test_realised_snr_in_the_manifest_is_measured_on_the_files(tmp_path, definition):
    import pandas as pd
    clean_dir, noise_dir = corpus(tmp_path, [], ["x"], noise_frames=40000)
    speech = np.concatenate([tone(8000, 1, 0.2), np.zeros(16000, np.float32), tone(8000, 2, 0.2)])
    write_wav(clean_dir / "paused.wav", speech, subtype="FLOAT")
    s = Synthesizer(clean_dir, noise_dir, tmp_path / "out", [-5, 0, 10])
    s.syn("inc", manifest=True, snr_definition=definition, sample_rate=8000)
    rows = pd.read_csv(tmp_path / "out" / "manifest.csv")
    assert set(rows.snr_definition) == {definition} and set(rows.rate) == {8000}
    y = librosa.load(clean_dir / "paused.wav", sr=8000)[0].astype(np.float64)
    level = np.mean(y ** 2) if definition == "power" else p56_level(y, 8000)
    for row in rows.itertuples():
        rate, pcm = wavfile.read(tmp_path / "out" / row.output)
        assert rate == 8000 and pcm.size == row.samples == y.size
        noise = pcm / 32767.0 - row.clean_gain * y
        measured = 10 * np.log10(row.scale ** 2 * level / np.var(noise))
        assert measured == pytest.approx(row.realised_snr_db, abs=0.01)
        assert measured == pytest.approx(row.snr_db, abs=0.05)


def test_clipping_policies(tmp_path):
    import pandas as pd
    clean_dir, noise_dir = corpus(tmp_path, [], ["x"], noise_frames=4000)
    write_wav(clean_dir / "loud.wav", np.sign(tone(1600, 3)) * 0.9, subtype="FLOAT")
    s = Synthesizer(clean_dir, noise_dir, tmp_path / "sat", [-3])
    s.syn("reg", manifest=True)
    saturated = pd.read_csv(tmp_path / "sat" / "manifest.csv").iloc[0]
    assert saturated.clipped > 100 and saturated.peak == 32768 and saturated.scale == 1
    s.noisyDir = tmp_path / "res"
    s.syn("reg", manifest=True, clipping="rescale", is_add_clean=True)
    rows = pd.read_csv(tmp_path / "res" / "manifest.csv").set_index("kind")
    mix, target = rows.loc["mixture"], rows.loc["clean_target"]
    assert mix.clipped == 0 and mix.peak <= 0.99 * 32767 + 1 and mix.scale < 1
    assert target.output == "RAW_DATA/loud_x_n3.wav" and target.scale == mix.scale
    y = librosa.load(clean_dir / "loud.wav", sr=16000)[0].astype(np.float64)
    written = wavfile.read(tmp_path / "res" / target.output)[1]
    assert np.max(np.abs(written - np.trunc(y * 32767 * mix.scale))) <= 1
    assert (tmp_path / "res" / "RAW_DATA" / "loud_raw.wav").is_file()
    s.noisyDir = tmp_path / "err"
    with pytest.raises(ValueError, match="loud_x_n3.wav.*would clip"):
        s.syn("reg", clipping="error")
    assert list((tmp_path / "err").glob("*.wav")) == []


def test_colliding_names_are_numbered(tmp_path, monkeypatch):
    warned = []
    monkeypatch.setattr(synth, "warn", warned.append)
    s = make_synth(tmp_path, ["a_b", "a"], ["c", "b_c"], [5])
    entries = s.syn("inc")
    assert sorted(e[0].name for e in entries) == ["a_b_b_c_5dB.wav", "a_b_c_5dB.wav", "a_b_c_5dB_2.wav",
                                                  "a_c_5dB.wav"]
    assert len(warned) == 1 and "a_b_c_5dB_2.wav" in warned[0]
    assert len(list(s.noisyDir.glob("*.wav"))) == 4
    s.snrRatio = [5, 5]  # the same SNR twice: two entries, two files
    names = [e[0].name for e in s.syn("inc")]
    assert len(set(names)) == len(names) == len(list(s.noisyDir.glob("*.wav"))) == 8


# ---------------------------------------------------------------- unsafe requests are refused before anything is touched


def snapshot(root):
    return sorted((p, p.stat().st_size if p.is_file() else -1) for p in Path(root).rglob("*"))


@pytest.mark.parametrize("out", [".", "..", "home", "tmp_mixed", "tmp_mixed/deeper"])
def test_folders_that_are_not_output_folders_are_refused(tmp_path, monkeypatch, out):
    clean_dir, noise_dir = corpus(tmp_path / "data", ["a"], ["x"])
    write_wav(tmp_path / "bg" / "bg.wav", tone(5000, 50))
    work = tmp_path / "thesis" / "work"
    (work / "tmp_mixed" / "deeper").mkdir(parents=True)
    (work / "chapter.txt").write_text("years of work")
    monkeypatch.chdir(work)
    monkeypatch.setenv("HOME", str(work / "home"))
    (work / "home").mkdir()
    before = snapshot(tmp_path)
    s = Synthesizer(clean_dir, noise_dir, out, [0])
    with pytest.raises(ValueError, match="refusing"):
        s.syn_extra_mode(tmp_path / "bg")
    if not out.startswith("tmp_mixed"):  # the staging folder is the extra mode's alone
        with pytest.raises(ValueError, match="refusing"):
            s.syn("reg")
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("snrs,background", [([0, float("nan")], 5), ([float("inf")], 5), ([0], [np.nan])])
def test_non_finite_snrs_are_refused(tmp_path, snrs, background):
    s = make_synth(tmp_path, ["a"], ["x"], snrs)
    write_wav(tmp_path / "bg" / "bg.wav", tone(5000, 50))
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "keep.txt").write_text("x")
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="not a finite number"):
        s.syn_extra_mode(tmp_path / "bg", background)
    if background == 5:
        with pytest.raises(ValueError, match="not a finite number"):
            s.syn("inc")
        with pytest.raises(ValueError, match="finite"):
            Synthesizer.syn_waves((tmp_path / "o.wav", s.cleanWaves[0], s.noiseWaves[0], snrs[-1]), False)
    assert snapshot(tmp_path) == before


def test_names_the_file_system_cannot_hold_are_found_first(tmp_path):
    s = make_synth(tmp_path, ["a"], ["n" * 250], [0])
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "keep.txt").write_text("x")
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="bytes long"):
        s.syn("reg")
    assert snapshot(tmp_path) == before


def test_clean_names_that_are_not_utf8(tmp_path):
    clean_dir, noise_dir = corpus(tmp_path, [], ["x"])
    name = os.fsdecode(b"caf\xe9")
    os.rename(write_wav(clean_dir / "plain.wav", tone(1600, 1)), os.fsencode(clean_dir) + b"/caf\xe9.wav")
    s = Synthesizer(clean_dir, noise_dir, tmp_path / "out", [0])
    entries = s.syn("reg", is_add_clean=True)
    assert os.fsencode(entries[0][0].name) == b"caf\xe9_x_0dB.wav" and entries[0][0].is_file()
    assert (tmp_path / "out" / "RAW_DATA" / f"{name}_raw.wav").is_file()
    (tmp_path / "out" / "keep.txt").write_text("x")
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="not valid UTF-8"):
        s.syn("reg", manifest=True)
    assert snapshot(tmp_path) == before


def test_bad_manifests_name_the_row_and_column_and_write_nothing(tmp_path):
    import pandas as pd
    s = make_synth(tmp_path, ["a", "b"], ["x"], [0])
    rows = s.plan("reg")
    for column, value in [("offset", -1), ("snr_db", np.inf), ("output", "../escape.wav"),
                          ("noise", "../gone.wav")]:
        bad = rows.astype({column: object})
        bad.loc[1, column] = value
        with pytest.raises(ValueError, match=f"row 1, column '{column}'"):
            synth.render(bad, out_path=tmp_path / "out")
    with pytest.raises(ValueError, match="no column 'fit'"):
        synth.render(rows.drop(columns="fit"), out_path=tmp_path / "out")
    assert not (tmp_path / "out").exists() and not (tmp_path / "escape.wav").exists()


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace (tools/dev.sh installs it)")
@pytest.mark.parametrize("mode,snrs", [("regular", [0, 5]), ("increment", list(range(34)))],
                         ids=["sequential", "pooled"])
def test_each_input_is_opened_once_per_run(tmp_path, mode, snrs):
    # Planning reads each recording's header from the file that rendering then
    # decodes: counted in the system calls of a real run (204 entries pool).
    clean_dir, noise_dir = tmp_path / "clean", tmp_path / "noise"
    inputs = [write_wav(clean_dir / f"c{i}.wav", frames=800 + i) for i in range(3)]
    inputs += [write_wav(noise_dir / f"n{i}.wav", frames=4000, rate=8000, seed=i) for i in range(2)]
    code = (f"from tavol.core.synth import Synthesizer; "
            f"Synthesizer({str(clean_dir)!r}, {str(noise_dir)!r}, {str(tmp_path / 'out')!r}, "
            f"{snrs!r}).syn({mode!r})")
    log = tmp_path / "trace"
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", str(log), sys.executable,
                    "-c", code], check=True, capture_output=True)
    opened = [line for line in log.read_text().splitlines() if "= -1" not in line]
    assert {str(p): sum(f'"{p}"' in line for line in opened) for p in inputs} == {str(p): 1 for p in inputs}
