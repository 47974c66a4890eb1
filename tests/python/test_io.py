"""tavol.core.io: path checks, loading, saving, copying and LoadAudio."""

import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import librosa
import numpy as np
import pytest
import scipy.io.wavfile as wavfile
import soundfile as sf

from tavol.core import io
from conftest import write_wav

BROKEN = "[tl.] File broken or Not exists! : "


# ---------------------------------------------------------------- check_input


def test_check_input_rejects_foreign_and_falsy_items():
    assert io.check_input(None) == ([], [None])
    assert io.check_input("") == ([], [""])
    assert io.check_input(5) == ([], [5])
    assert io.check_input([]) == ([], [])
    assert io.check_input({}) == ([], [{}])


def test_check_input_flattens_nested_lists_and_tuples(wav, in_tmp):
    wav("a.wav"), wav("b.wav")
    right, wrong = io.check_input(["a.wav", ("b.wav", "missing.wav")])
    assert right == [Path("a.wav"), Path("b.wav")]
    assert all(type(p) is type(Path("x")) for p in right)
    assert wrong == ["missing.wav"]


def test_check_input_suffix_is_exact(wav, in_tmp):
    wav("A.WAV")
    Path("notes.csv").write_text("x")
    assert io.check_input(["A.WAV", Path("notes.csv")]) == ([], ["A.WAV", "notes.csv"])


def test_check_input_reads_txt_lists_and_folders(wav, in_tmp):
    wav("a.wav"), wav("dir/x.wav"), wav("dir/sub/y.wav")
    Path("empty").mkdir()
    Path("list.txt").write_text("\n  a.wav  \n\n   \ndir\nnope.wav\nempty\n")
    right, wrong = io.check_input("list.txt")
    assert right[0] == Path("a.wav")
    assert sorted(right[1:]) == [Path("dir/sub/y.wav"), Path("dir/x.wav")]
    assert wrong == ["nope.wav"]
    assert io.check_input("empty") == ([], [])


def test_check_input_list_files_naming_themselves_are_rejected_once(wav, in_tmp):
    wav("a.wav")
    Path("self.txt").write_text("a.wav\nself.txt\n")
    assert io.check_input("self.txt") == ([Path("a.wav")], ["self.txt"])
    Path("one.txt").write_text("two.txt\na.wav\n")
    Path("two.txt").write_text("one.txt\n")
    assert io.check_input("one.txt") == ([Path("a.wav")], ["one.txt"])
    # the same list twice side by side is not a cycle
    assert io.check_input(["two.txt", "two.txt"])[0] == [Path("a.wav"), Path("a.wav")]


# ---------------------------------------------------------------- check_file / check_path


def test_check_file_forces_extension_and_creates_folder(in_tmp, capsys):
    assert io.check_file("out/a.mp3") == os.path.join("out", "a.wav")
    assert Path("out").is_dir()
    assert io.check_file("out") == os.path.join("out", "unknow.wav")
    assert capsys.readouterr().out == ""


def test_check_file_numbers_existing_names(wav, in_tmp, capsys):
    wav("out/a.wav"), wav("out/a5.wav")
    assert io.check_file("out/a.wav") == os.path.join("out", "a6.wav")
    assert capsys.readouterr().out.splitlines() == [
        "[tl.] 檔案已經存在: " + os.path.join("out", "a.wav"),
        "[tl.] 重新命名檔案: " + os.path.join("out", "a6.wav"),
    ]
    assert io.check_file("out/a.wav", rename=False) == os.path.join("out", "a.wav")
    assert capsys.readouterr().out.splitlines()[1] == "[tl.] 已覆蓋原檔案: " + os.path.join("out", "a.wav")


def test_check_file_separator_and_dotted_stems(wav, in_tmp):
    wav("out/a.wav")
    assert io.check_file("out/a.wav", sep="_") == os.path.join("out", "a_2.wav")
    # the number follows the whole stem: never collapses onto "take.wav"
    wav("out/take.1.wav")
    assert io.check_file("out/take.1.wav", sep="_") == os.path.join("out", "take.1_2.wav")


def test_check_path_numbering(in_tmp):
    Path("runs/exp").mkdir(parents=True)
    assert io.check_path("runs/exp", exist_ok=True) == os.path.join("runs", "exp")
    assert io.check_path("runs/missing") == os.path.join("runs", "missing")
    assert io.check_path("runs/missing", exist_ok=True) == os.path.join("runs", "missing")
    assert io.check_path("runs/exp") == os.path.join("runs", "exp2")
    Path("runs/exp3").mkdir()
    assert io.check_path("runs/exp") == os.path.join("runs", "exp4")
    assert not Path("runs/exp4").exists()


# ---------------------------------------------------------------- file_load


@pytest.mark.parametrize(
    "rate,channels,subtype,target,mono",
    [
        (16000, 1, "PCM_16", None, True),
        (44100, 2, "PCM_16", None, True),
        (44100, 2, "PCM_16", None, False),
        (22050, 1, "PCM_24", None, True),
        (44100, 2, "PCM_16", 16000, True),
        (8000, 1, "PCM_16", 16000, True),
        (48000, 3, "FLOAT", 22050, False),
    ],
)
def test_file_load_matches_librosa(wav, rate, channels, subtype, target, mono):
    path = wav("x.wav", rate=rate, frames=rate // 2 + 17, channels=channels, subtype=subtype)
    y, sr = io.file_load(path, sr=target, mono=mono)
    ref, ref_sr = librosa.load(path, sr=target, mono=mono)
    assert sr == ref_sr and type(sr) is int
    assert y.dtype == np.float32 and y.shape == ref.shape
    if target is None:
        assert np.array_equal(y, ref)
    else:  # both go through libsoxr at its HQ setting; builds may differ in the last bits
        assert np.max(np.abs(y - ref)) <= 1e-4


def _truncated(path):
    write_wav(path, frames=4000)
    with open(path, "r+b") as f:
        f.truncate(44 + 1000)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda p: None, id="missing"),
        pytest.param(lambda p: p.write_bytes(b""), id="empty"),
        pytest.param(lambda p: p.write_bytes(np.random.default_rng(1).bytes(5000)), id="random-bytes"),
        pytest.param(lambda p: p.write_text("hello, not audio\n" * 50), id="text"),
        pytest.param(lambda p: p.write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt "), id="header-only"),
        pytest.param(_truncated, id="data-longer-than-file"),
    ],
)
def test_file_load_reports_broken_files(tmp_path, capsys, make):
    path = tmp_path / "bad.wav"
    make(path)
    assert io.file_load(path) is None
    assert capsys.readouterr().out == BROKEN + str(path) + "\n"


def test_file_load_falls_back_to_librosa_for_unknown_formats(tmp_path, monkeypatch):
    path = tmp_path / "clip.m4a"
    path.write_bytes(b"\x00\x00\x00\x18ftypM4A ")
    calls = []

    class FakeLibrosa:
        @staticmethod
        def load(p, sr=None, mono=True):
            calls.append((p, sr, mono))
            return np.zeros(3, np.float32), 44100

    monkeypatch.setattr(io, "librosa", FakeLibrosa)
    y, sr = io.file_load(path, mono=False)
    assert calls == [(str(path), None, False)] and sr == 44100


# ---------------------------------------------------------------- load_wave / load_waves


def test_load_wave_keeps_nesting_and_picks_num(wav):
    a, b = wav("a.wav", frames=100), wav("b.wav", frames=200)
    flat = io.load_wave([a, b])
    assert [len(y) for y, _ in flat] == [100, 200]
    nested = io.load_wave([a, [b]])
    assert len(nested[1]) == 1 and len(nested[1][0][0]) == 200
    y, sr = io.load_wave([a, b], num=1)
    assert len(y) == 200 and sr == 16000


def test_batch_arrays_outlive_their_batch_and_the_next_one(wav):
    # Files of one batch share memory that later batches reuse once released:
    # an array kept from a batch must stay intact while others come and go.
    files = [wav(f"k{i}.wav", frames=3000 + i) for i in range(6)]
    expected = [librosa.load(str(f), sr=None)[0] for f in files]
    kept = io.load_wave(files)[2][0]
    for _ in range(3):
        again = io.load_wave(list(reversed(files)))
        assert all(np.array_equal(y, e) for (y, _), e in zip(again, reversed(expected)))
        del again
    assert np.array_equal(kept, expected[2])
    single = io.file_load(files[4])[0]  # memory of its own
    assert np.array_equal(single, expected[4]) and single.flags.writeable


@pytest.mark.parametrize("item", ["notes.txt", "missing.wav", 3, None])
def test_load_wave_unexpected_items(in_tmp, item):
    Path("notes.txt").write_text("a.wav")
    with pytest.raises(Exception) as err:
        io.load_wave(item)
    assert err.type is Exception and err.value.args == ("[tl.] Found unexpected file", item)


def test_load_waves_std_len(wav, tmp_path):
    for name, n in [("a.wav", 1000), ("b.wav", 1200), ("c.wav", 900)]:
        wav(f"set/{name}", frames=n)
    ys, sr, min_len = io.load_waves(tmp_path / "set", std_len=True)
    assert sr == 16000 and min_len == 900 and [len(y) for y in ys] == [900] * 3
    assert all(y.base is not None for y in ys)  # views of the loaded arrays, not copies


def test_load_waves_mixed_rates(wav, tmp_path):
    wav("mix/a.wav", rate=16000), wav("mix/b.wav", rate=8000)
    with pytest.raises(AssertionError, match=r"^\[tl.load_waves\] Different audio sampling frequencies$"):
        io.load_waves(tmp_path / "mix", std_len=True)
    assert sorted(sr for _, sr in io.load_waves(tmp_path / "mix")) == [8000, 16000]
    (tmp_path / "none").mkdir()
    assert io.load_waves(tmp_path / "none") == []
    with pytest.raises(AssertionError):
        io.load_waves(tmp_path / "none", std_len=True)


def test_load_waves_none_entry_fails_std_len(wav, tmp_path):
    wav("s/a.wav")
    (tmp_path / "s" / "b.wav").write_bytes(b"junk")
    with pytest.raises(TypeError):
        io.load_waves(tmp_path / "s", std_len=True)


@pytest.mark.parametrize("core", [True, 8.0, None, "8"])
def test_load_waves_core_must_be_int(core):
    with pytest.raises(TypeError, match=r"Argument 'core_' has incorrect type \(expected int, got "):
        io.load_waves([], core_=core)


@pytest.fixture(scope="module")
def corpus_301(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    for i in range(301):
        write_wav(folder / f"u{i:03d}.wav", frames=800 + i, seed=i)
    (folder / "u150.wav").write_bytes(b"broken")
    return folder


def test_pooling_threshold_and_equal_results(corpus_301, capsys):
    files = io.check_input(corpus_301)[0]
    sequential = io.load_waves(files[:300], use_pool=True)
    assert "[tl.load_waves] Pooling..." not in capsys.readouterr().err
    pooled = io.load_waves(files, use_pool=True, core_=3)
    captured = capsys.readouterr()
    assert "[tl.load_waves] Pooling..." in captured.err
    reference = io.load_waves(files)
    assert len(pooled) == 301
    for p, r in zip(pooled, reference):
        assert (p is None) == (r is None)
        if p is not None:
            assert np.array_equal(p[0], r[0]) and p[1] == r[1]
    broken = files.index(corpus_301 / "u150.wav")
    assert pooled[broken] is None and BROKEN + str(files[broken]) in captured.out
    assert all(np.array_equal(s[0], r[0]) for s, r in zip(sequential, reference) if s is not None)


def test_pooled_load_releases_the_gil_and_stops_on_ctrl_c(tmp_path, monkeypatch):
    # 600 hard links of one 60 s file on a single worker: seconds of work to interrupt.
    src = write_wav(tmp_path / "src.wav", frames=16000 * 60)
    folder = tmp_path / "links"
    folder.mkdir()
    for i in range(600):
        os.link(src, folder / f"l{i}.wav")
    bars, sent = [], []
    started = threading.Event()

    def tracked(*args, **kwargs):  # the pooled bar appears once the workers run
        bars.append(io_tqdm(*args, **kwargs))
        started.set()
        return bars[-1]

    def interrupt():
        # Python in another thread while the load waits: possible only if the
        # wait gives the GIL up; otherwise the signal comes after the last file.
        started.wait()
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    io_tqdm = io.tqdm
    monkeypatch.setattr(io, "tqdm", tracked)
    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        io.load_waves(folder, use_pool=True, core_=1)
    stopped = time.perf_counter()
    assert bars[0].n < 600  # stopped part-way, by count rather than by clock
    assert stopped - sent[0] < 5.0  # about 0.1 s on a quiet machine


# ---------------------------------------------------------------- save_wave


def _read_int16(path):
    rate, data = wavfile.read(path)
    assert data.dtype == np.int16
    return rate, data


def test_save_wave_scaling_rules(tmp_path):
    io.save_wave(tmp_path / "f32.wav", np.array([0.5, -1.0], np.float32), 16000)
    assert _read_int16(tmp_path / "f32.wav")[1].tolist() == [16383, -32767]
    io.save_wave(tmp_path / "i16.wav", np.array([5, -7, 32767], np.int16), 16000)
    assert _read_int16(tmp_path / "i16.wav")[1].tolist() == [5, -7, 32767]
    io.save_wave(tmp_path / "f64.wav", np.array([0.9, -0.9, 3.0]), 16000)
    assert _read_int16(tmp_path / "f64.wav")[1].tolist() == [0, 0, 3]


def test_save_wave_saturates_out_of_range_floats(tmp_path):
    io.save_wave(tmp_path / "s.wav", np.array([1.5, -2.0, 1.0, np.nan], np.float32), 16000)
    assert _read_int16(tmp_path / "s.wav")[1].tolist() == [32767, -32768, 32767, 0]


def test_save_wave_bytes_match_scipy(tmp_path):
    rng = np.random.default_rng(3)
    for shape in [(1000,), (500, 2)]:
        x = (0.3 * rng.standard_normal(shape)).clip(-1, 1).astype(np.float32)
        io.save_wave(tmp_path / "ours.wav", x, 22050)
        wavfile.write(tmp_path / "ref.wav", 22050, (x * 32767).astype("int16"))
        assert (tmp_path / "ours.wav").read_bytes() == (tmp_path / "ref.wav").read_bytes()


def test_save_wave_resamples_and_creates_folders(tmp_path):
    x = (0.2 * np.sin(np.arange(16000) / 10)).astype(np.float32)
    io.save_wave(tmp_path / "a" / "b" / "c.wav", x, 16000, d_sample=8000)
    rate, data = _read_int16(tmp_path / "a" / "b" / "c.wav")
    ref = librosa.resample(x, orig_sr=16000, target_sr=8000)
    assert rate == 8000 and len(data) == 8000
    assert np.max(np.abs(data - (ref * 32767).astype(np.int16))) <= 3
    pcm = (x * 20000).astype(np.int16)
    io.save_wave(tmp_path / "i.wav", pcm, 16000, d_sample=8000)
    assert len(_read_int16(tmp_path / "i.wav")[1]) == 8000
    assert sorted(p.name for p in (tmp_path / "a" / "b").iterdir()) == ["c.wav"]  # no temporary left


@pytest.mark.parametrize("kwargs", [{"sr": 16000.0}, {"sr": True}, {"sr": 16000, "d_sample": 8000.0}])
def test_save_wave_argument_types(tmp_path, kwargs):
    with pytest.raises(TypeError, match="has incorrect type"):
        io.save_wave(tmp_path / "x.wav", np.zeros(4, np.float32), **kwargs)
    assert not (tmp_path / "x.wav").exists()


# ---------------------------------------------------------------- copy_waves


def test_copy_waves(wav, tmp_path, capsys):
    a, b, c = wav("src/a.wav"), wav("src/sub/b.wav"), wav("src/sub/deep/c.wav")
    io.copy_waves(tmp_path / "out.wav", [a])
    assert capsys.readouterr().out == "[tl.] 輸入並非路徑➡" + str(tmp_path / "out.wav") + "\n"
    assert not (tmp_path / "out.wav").exists()
    io.copy_waves(tmp_path / "out", [a, [b, [str(c)]]])
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.wav", "b.wav", "c.wav"]
    assert "[tl.] 複製音檔至路徑➡" + str((tmp_path / "out").resolve()) + "\n\tCopying " in capsys.readouterr().err
    io.copy_waves(tmp_path / "single", str(a))
    assert (tmp_path / "single" / "a.wav").read_bytes() == a.read_bytes()
    assert capsys.readouterr().err == ""


# ---------------------------------------------------------------- LoadAudio


def test_load_audio_counts_and_iterates(wav, tmp_path):
    wav("d/a.wav"), wav("d/b.wav"), wav("d/sub/c.wav")
    (tmp_path / "d" / "skip.txt").write_text("x")
    loader = io.LoadAudio(tmp_path / "d")
    assert io.LoadAudio.__bases__ == (object,)
    assert len(loader) == 3 and loader.nf == 3 and loader.sr_pth == tmp_path / "d"
    assert list(loader) == [1, 2, 3] and list(loader) == [1, 2, 3]
    assert list(vars(loader)) == ["sr_pth", "files", "nf", "count"]
    empty = io.LoadAudio(tmp_path / "d" / "sub" / "..")  # folder exists; counts recursively
    assert len(empty) == 3
    (tmp_path / "e").mkdir()
    fresh = io.LoadAudio(tmp_path / "e")
    assert len(fresh) == 0 and list(fresh) == []
    with pytest.raises(AttributeError):
        next(io.LoadAudio(tmp_path / "e"))


def test_load_audio_missing_folder(tmp_path):
    with pytest.raises(AssertionError) as err:
        io.LoadAudio(tmp_path / "nope")
    assert str(err.value) == "[tl.io] Folder: " + str((tmp_path / "nope").absolute()) + ", not found."


def test_load_audio_static_methods_forward(wav, tmp_path, monkeypatch):
    wav("d/a.wav", frames=300)
    got = io.LoadAudio.load_waves(tmp_path / "d")
    assert np.array_equal(got[0][0], io.load_waves(tmp_path / "d")[0][0])
    assert io.LoadAudio.check_input(str(tmp_path / "d")) == io.check_input(str(tmp_path / "d"))
    with pytest.raises(TypeError, match="check_input.*'input'"):
        io.LoadAudio.check_input(input=str(tmp_path))
    # looked up at call time
    monkeypatch.setattr(io, "file_load", lambda *a, **k: ("patched", a, k))
    assert io.LoadAudio.file_load("x", sr=8000) == ("patched", ("x",), {"sr": 8000})


# ---------------------------------------------------------------- hostile input


def huge_header(path):
    """A FLAC file of 119 bytes whose header claims 2^36 - 1 frames of 8 channels."""
    sf.write(path, np.zeros((16, 8), np.int16), 16000, format="FLAC", subtype="PCM_16")
    data = bytearray(path.read_bytes())
    claim = int.from_bytes(data[18:26], "big") | ((1 << 36) - 1)  # STREAMINFO's 36-bit count
    data[18:26] = claim.to_bytes(8, "big")
    path.write_bytes(bytes(data))


# Files no recording can be; each is a broken file, whichever way it is loaded.
IMPOSSIBLE = {
    "nan_sample": lambda p: write_wav(p, np.array([0.1, np.nan, 0.2], np.float32), subtype="FLOAT"),
    "infinite_sample": lambda p: write_wav(p, np.array([[0.1, -np.inf]] * 9, np.float32), subtype="FLOAT"),
    "rate_of_1_hz": lambda p: write_wav(p, rate=1, frames=3000),  # 48 million samples at 16 kHz
    "header_claiming_2^36_frames": huge_header,
}


@pytest.mark.parametrize("kwargs", [{}, {"sr": 16000}, {"mono": False}], ids=str)
@pytest.mark.parametrize("kind", IMPOSSIBLE)
def test_file_load_reports_impossible_audio_as_broken(tmp_path, capsys, kind, kwargs):
    path = tmp_path / "x.wav"
    IMPOSSIBLE[kind](path)
    assert io.file_load(path, **kwargs) is None
    assert capsys.readouterr().out == BROKEN + str(path) + "\n"


def outcome(capsys, call):
    """(result or exception, printed text) of call(), with arrays as lists."""
    try:
        result = call()
        result = [None if e is None else (e[0].tolist(), e[1]) for e in result]
    except Exception as exc:  # the pooled run must raise exactly what the sequential one raises
        result = (type(exc), exc.args)
    return result, capsys.readouterr().out


@pytest.mark.parametrize("hostile", [*IMPOSSIBLE, "folder_named_x.wav"])
def test_pooled_load_equals_sequential_load_entry_for_entry(corpus_301, tmp_path, capsys, hostile):
    folder = tmp_path / "mixed"
    folder.mkdir()
    for f in sorted(corpus_301.iterdir())[:300]:
        (folder / f.name).symlink_to(f)
    if hostile in IMPOSSIBLE:
        IMPOSSIBLE[hostile](folder / "x.wav")
    else:
        (folder / "x.wav").mkdir()
    sequential = outcome(capsys, lambda: io.load_waves(folder))
    pooled = outcome(capsys, lambda: io.load_waves(folder, use_pool=True, core_=3))
    assert pooled == sequential
    assert BROKEN + str(folder / "x.wav") in sequential[1] or sequential[0][0] is Exception


def test_deep_input_raises_recursion_error_instead_of_crashing(tmp_path):
    # In a child with a 1 MiB stack: C++ recursing without limit dies there
    # after a few thousand levels, long before the nested list ends. The
    # interpreter's limit is lowered so that a short chain of files exceeds it.
    code = textwrap.dedent("""
        import sys
        from pathlib import Path
        from tavol.core import io
        sys.setrecursionlimit(400)
        root, deep = Path(sys.argv[1]), []
        for _ in range(20000):
            deep = [deep]
        chain = [root / f"{i}.txt" for i in range(500)]  # each list names the next
        for a, b in zip(chain, chain[1:]):
            a.write_text(str(b))
        for call in (lambda: io.check_input(deep), lambda: io.check_input(chain[0]),
                     lambda: io.load_wave(deep), lambda: io.copy_waves(root / "out", deep)):
            try:
                call()
                print("returned")
            except RecursionError:
                print("RecursionError")
    """)
    child = subprocess.run(["/bin/sh", "-c", 'ulimit -s 1024 && exec "$0" -c "$1" "$2"',
                            sys.executable, code, str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-500:]
    assert child.stdout.split() == ["RecursionError"] * 4


@pytest.mark.parametrize("length", [240, 255])
def test_save_wave_writes_names_as_long_as_the_file_system_holds(tmp_path, length):
    target = tmp_path / ("n" * (length - 4) + ".wav")
    io.save_wave(target, np.full(10, 0.5, np.float32), 16000)
    assert wavfile.read(target)[1].tolist() == [16383] * 10
    assert [p.name for p in tmp_path.iterdir()] == [target.name]


@pytest.mark.timeout(300)
def test_fuzzed_files_never_crash_or_escape_file_load():
    # Random and mutated WAV/FLAC bytes through file_load and through pooled and
    # sequential load_waves, in child processes, so a crash is a failure here.
    script = Path(__file__).resolve().parents[2] / "bench" / "fuzz_file_load.py"
    run = subprocess.run(
        [sys.executable, str(script), "--inputs", "2000", "--batch", "2000", "--seed", "1"],
        capture_output=True, text=True, timeout=280)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
    assert run.stdout.splitlines()[-1].startswith(
        "summary inputs=2000 crashes=0 escaped=0 bad_results=0 mismatches=0")
