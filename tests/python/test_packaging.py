"""Faults only extension modules have: exports, imports, pickling of functions."""

import functools
import importlib
import inspect
import json
import multiprocessing
import pickle
import pydoc
import re
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

from tavol.core import io
from conftest import write_wav


def test_io_surface():
    assert io.__all__ == ["check_path", "check_file", "check_input", "save_wave", "file_load",
                          "load_wave", "load_waves", "copy_waves", "LoadAudio"]
    assert io.__exp__ == ".wav"
    for name in io.__all__:
        assert callable(getattr(io, name))


MODULES = ["tavol.core.io", "tavol.core.synth", "tavol.core.evaluator", "tavol.core.buffer",
           "tavol.util.check", "tavol.util.visual", "tavol.util.conv", "tavol.util.others"]


@pytest.mark.parametrize("name", MODULES)
def test_extension_exports_only_its_init(name):
    module = import_or_skip(name)
    nm = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm not available")
    exported = [line.split()[-1] for line in nm.stdout.splitlines() if line.split()[-2] in "TDRBVW"]
    assert exported == ["PyInit_" + name.rsplit(".", 1)[1]]


@pytest.mark.parametrize(
    "obj",
    [io.load_wave, io.file_load, io.load_waves, io.check_input,
     io.LoadAudio.file_load, io.LoadAudio.load_wave, io.LoadAudio.load_waves,
     io.LoadAudio.check_input, io.LoadAudio.copy_waves],
    ids=lambda o: repr(o),
)
def test_functions_pickle_by_reference(obj):
    assert pickle.loads(pickle.dumps(obj)) is obj


def test_users_can_ship_loaders_to_a_spawn_pool(tmp_path):
    files = [write_wav(tmp_path / f"{i}.wav", frames=100 + i) for i in range(4)]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(2) as pool:
        lens = pool.map(functools.partial(io.load_wave, files), range(4))
        more = pool.map(io.LoadAudio.file_load, files)
    assert [len(y) for y, _ in lens] == [100, 101, 102, 103]
    assert all(np.array_equal(a[0], b[0]) for a, b in zip(lens, more))


@pytest.mark.parametrize("name, expected", [
    ("tavol.core.io", "['tavol', 'tavol.core', 'tavol.core.io']"),
    ("tavol.core.synth", str(sorted(["tavol", "tavol.core", "tavol.core.io", "tavol.core.synth",
                                     "tavol.util", "tavol.util.colors"]))),
    ("tavol.core.buffer", "['tavol', 'tavol.core', 'tavol.core.buffer']"),
])
def test_import_does_not_pull_in_other_tavol_modules(name, expected):
    code = f"import sys, {name}; print(sorted(m for m in sys.modules if m.startswith('tavol')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         timeout=120).stdout
    assert out.strip() == expected


def test_binder_is_the_series_the_bindings_were_written_for():
    # The bindings use pybind11 internals (bindings/support/binder_internals.hpp) laid out as in
    # one minor series; the pin in pyproject.toml and the header's static_assert must name it,
    # and a rebuild (--no-build-isolation) takes the binder installed here.
    root = Path(__file__).resolve().parents[2]
    low, high = re.search(r'"pybind11>=(\d+\.\d+),<(\d+\.\d+)"',
                          (root / "pyproject.toml").read_text()).groups()
    header = (root / "bindings/support/binder_internals.hpp").read_text()
    major, minor = map(int, low.split("."))
    assert (f"PYBIND11_VERSION_MAJOR == {major} && PYBIND11_VERSION_MINOR == {minor}" in header
            and high == f"{major}.{minor + 1}"), (
        "pyproject.toml pins another pybind11 series than binder_internals.hpp was checked against")
    pybind11 = pytest.importorskip("pybind11")
    assert tuple(pybind11.version_info[:2]) == (major, minor), (
        f"pybind11 {pybind11.__version__} is installed, but the bindings reach into the internals "
        f"of pybind11 {low}.x (bindings/support/binder_internals.hpp): install 'pybind11>={low},<{high}'")


HEAVY = ["numpy", "scipy", "librosa", "pandas", "matplotlib", "openpyxl", "pyaudio", "tqdm",
         "multiprocessing", "dask", "distributed"]


@pytest.mark.parametrize("name", MODULES)
def test_heavy_libraries_are_imported_on_first_use(name):
    # Importing a module pays only for what it needs; the libraries it binds
    # come in when a name is first looked up, and stay bound afterwards.
    code = f"""if True:
        import importlib, json, sys
        m = importlib.import_module({name!r})
        early = [h for h in {HEAVY!r} if h in sys.modules]
        lazy = sorted(set(dir(m)) - set(vars(m)))
        values = {{}}
        for n in lazy:
            try:
                values[n] = getattr(m, n)
            except ModuleNotFoundError as e:  # an extra that is not installed names itself
                assert "pip install 'tavol[" in str(e), e
        print(json.dumps([early, lazy, all(vars(m)[n] is v for n, v in values.items()),
                          sorted({{(getattr(v, "__module__", None) or v.__name__).split(".")[0]
                                  for v in values.values()}})]))
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    early, lazy, kept, roots = json.loads(run.stdout)
    assert early == []
    assert kept and set(roots) <= set(HEAVY)
    assert bool(lazy) == (name != "tavol.util.others")


def nul_cases(d):
    """(name, call): each passes a path holding a NUL byte; cut at the NUL, the path
    would name secret.wav (to read) or victim.txt (to overwrite)."""
    from tavol.core.synth import Synthesizer
    from tavol.util import conv, visual

    secret, victim = str(d / "secret.wav"), str(d / "victim.txt")
    tail = "\0.wav"
    one = np.full(1600, 0.1, np.float32)
    return {
        "io.file_load": lambda: io.file_load(secret + tail),
        "io.load_wave": lambda: io.load_wave(secret + tail),
        "io.load_waves": lambda: io.load_waves([secret + tail]),
        "io.check_input": lambda: io.check_input([secret + tail]),
        "io.check_file": lambda: io.check_file(victim + tail),
        "io.check_path": lambda: io.check_path(victim + tail),
        "io.save_wave": lambda: io.save_wave(victim + tail, one, 16000),
        "io.copy_waves source": lambda: io.copy_waves(d, [secret + tail]),
        "io.copy_waves folder": lambda: io.copy_waves(str(d / "out") + "\0x", [secret]),
        "io.LoadAudio": lambda: io.LoadAudio(str(d) + "\0x"),
        "synth.syn_waves output":
            lambda: Synthesizer.syn_waves([(victim + tail, secret, secret, 0)], False, 0),
        "synth.syn_waves input":
            lambda: Synthesizer.syn_waves([(d / "o.wav", secret + tail, secret, 0)], False, 0),
        "conv.data2xlsx": lambda: conv.data2xlsx({"a": [1]}, victim + "\0.xlsx", "s"),
        "visual.basic_analyze": lambda: visual.basic_analyze(secret + tail),
        "visual.plot_stft_w_2mfe": lambda: visual.Common.plot_stft_w_2mfe(secret + tail, 40, 4000),
    }


NUL_CASES = list(nul_cases(Path(".")))


@pytest.mark.parametrize("case", NUL_CASES)
def test_paths_with_a_nul_byte_are_refused_everywhere(tmp_path, monkeypatch, case):
    # C calls stop at the NUL: the rest of the name must not quietly vanish.
    monkeypatch.chdir(tmp_path)
    write_wav(tmp_path / "secret.wav", frames=1600)
    (tmp_path / "victim.txt").write_text("thesis")
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(ValueError, match="^embedded null byte$"):
        nul_cases(tmp_path)[case]()
    assert (tmp_path / "victim.txt").read_text() == "thesis"
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def import_or_skip(name):
    """The module; a skip where the extra it needs is not installed (a user's plain install)."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as e:
        if "pip install 'tavol[" not in str(e):
            raise
        pytest.skip(str(e))


def public_callables():
    """(module name, dotted path, object) of every function, class and method a user reaches."""
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as e:  # its extra is missing: test_missing_extra_is_named
            if "pip install 'tavol[" not in str(e):
                raise
            continue
        for attr, value in vars(module).items():
            if attr.startswith("_") or getattr(value, "__module__", None) != name:
                continue  # names the module imports from elsewhere
            yield name, attr, value
            if not isinstance(value, type):
                continue
            for key, member in vars(value).items():
                if isinstance(member, staticmethod):
                    member = member.__func__
                if isinstance(member, types.WrapperDescriptorType) or key.startswith("_pybind11"):
                    continue  # the interpreter's own slots (a C type's __init__), the binder's hooks
                if isinstance(member, classmethod) and member.__func__ is types.GenericAlias:
                    continue  # Class[T] in annotations, the standard library's own
                if inspect.isroutine(member) and getattr(module, key, None) is not member:
                    yield name, f"{attr}.{key}", getattr(value, key)


CALLABLES = list(public_callables())
CJK = re.compile(r"[\u3000-\u9fff\uff00-\uffef]")


def unmangled(path):
    """`Class._Class__name` as Python names that method: `Class.__name`."""
    owner, _, name = path.rpartition(".")
    prefix = f"_{owner.lstrip('_')}__"
    if owner and name.startswith(prefix) and not name.endswith("__"):
        name = name[len(prefix) - 2 :]
    return f"{owner}.{name}" if owner else name


@pytest.mark.parametrize("module, path, obj", CALLABLES, ids=[p for _, p, _ in CALLABLES])
def test_callables_look_like_python_functions_of_their_module(module, path, obj):
    if not (isinstance(obj, type) and isinstance(vars(obj).get("__init__"), types.WrapperDescriptorType)):
        inspect.signature(obj)  # raises when inspect cannot read it (a type without constructor has none)
    assert obj.__module__ == module
    assert obj.__qualname__ == unmangled(path)
    assert obj.__name__ == obj.__qualname__.rpartition(".")[2]
    doc = obj.__doc__ or ""
    assert not doc.startswith(obj.__name__ + "(")  # no signature line put in front
    if doc:  # a Chinese usage note also has an English summary
        assert any(re.search("[A-Za-z]{3}", line) and not CJK.search(line) for line in doc.splitlines())
    if not isinstance(obj, type):
        assert pickle.loads(pickle.dumps(obj)) is obj
        page = pydoc.render_doc(obj, renderer=pydoc.plaintext)
        assert not re.search(r": object\b|-> object|\(\.\.\.\)", page)  # help() placeholders


def test_signatures_carry_the_documented_defaults():
    from tavol.core.synth import Synthesizer
    from tavol.util import visual

    assert str(inspect.signature(io.load_waves)) == "(wave, use_pool=False, std_len=False, core_=8)"
    assert str(inspect.signature(Synthesizer)) == "(clean, noise, out_path='', snr_ratio=(-5, 0, 5), *, seed=None)"
    assert str(inspect.signature(visual.WaveVisualizer(subplots=1).plot)) == "(wave_list, title=None)"
    assert str(inspect.signature(io.LoadAudio.check_input)) == "(*args)"


@pytest.mark.parametrize(
    "module, package, extra, use",
    [
        # The libraries are imported on first use, so the error comes with it.
        ("tavol.util.visual", "matplotlib", "plot", "module.plt"),
        ("tavol.util.visual", "sklearn", "plot", "module.normalize([1, 2])"),
        ("tavol.util.conv", "openpyxl", "excel", "module.get_column_letter"),
        ("tavol.util.check", "pyaudio", "audio", "module.pyaudio"),
        ("tavol.core.synth", "distributed", "dask", "module.render('m.csv', client='tcp://127.0.0.1:9')"),
        ("tavol.core.evaluator", "distributed", "dask", "module.score_corpus('c', 'e', client='tcp://127.0.0.1:9')"),
    ],
)
def test_missing_extra_is_named(module, package, extra, use):
    code = (f"import importlib, sys\nsys.modules[{package!r}] = None\n"
            f"try:\n    module = importlib.import_module({module!r}); {use}\n"
            f"except ModuleNotFoundError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == f"{module} needs {package}: pip install 'tavol[{extra}]'"
