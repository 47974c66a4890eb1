"""Typed use of every tavol module, checked by `mypy --strict` in the test command (never run).

Every call's result is pinned with assert_type, so a stub that loses a type (or returns Any)
fails the check."""

from __future__ import annotations

import threading
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from matplotlib import pyplot as plt
from typing_extensions import assert_type

from tavol.core import buffer, evaluator, io, synth
from tavol.util import check, conv, others, visual

Samples = npt.NDArray[np.float32]
Loaded = tuple[Samples, int] | None
Snr = float | np.integer[Any] | np.floating[Any]
Entry = tuple[Path, Path, Path, Snr]


def load(corpus: str) -> None:
    assert_type(io.check_input([corpus, Path(corpus) / "more"]), tuple[list[Path], list[object]])
    assert_type(io.check_file("out/a.wav"), str)
    assert_type(io.check_path(Path("runs/exp"), sep="_"), str)
    pair = assert_type(io.file_load("out/a.wav", sr=16000), Loaded)
    if pair is not None:
        io.save_wave(Path("out/b.wav"), pair[0], pair[1], d_sample=8000)
    assert_type(io.load_waves(corpus, use_pool=True), list[Loaded])
    assert_type(io.load_waves(corpus, std_len=True), tuple[list[Samples], int, int])
    assert_type(io.load_wave(Path(corpus) / "a.wav"), Loaded)
    io.copy_waves("out", [corpus, [corpus]])
    loader = io.LoadAudio(corpus)
    assert_type(list(loader), list[int])
    assert_type(len(loader), int)
    assert_type(loader.files, list[Path])
    assert_type(io.LoadAudio.load_waves(corpus, std_len=True), tuple[list[Samples], int, int])


def synthesise(clean: str, noise: str) -> None:
    mixer = synth.Synthesizer(clean, noise, "mixed", [-5, 0, 5])
    entries = assert_type(mixer.syn("increment", is_pool=False), list[Entry] | str | None)
    assert_type(mixer.syn_extra_mode("background", 5), list[Entry])
    assert_type(mixer.wave_input(), tuple[list[Path], list[Path]])
    assert_type(mixer.waveform(), tuple[list[Loaded], list[Loaded]])
    if isinstance(entries, list):
        synth.Synthesizer.syn_waves(entries, False, 0)


def evaluate(clean: list[str], noisy: list[Path], enhanced: list[Path]) -> None:
    scores = evaluator.AudioEvaluate(clean, noisy)
    scores.eval("spectral subtraction", enhanced)
    assert_type(scores.get_df(), pd.DataFrame | list[object])
    ref = np.zeros(16000, np.float32)
    result = tuple[float | None, float | None, float | None]
    assert_type(evaluator.eval_metrics(16000, ref, ref), result)
    assert_type(evaluator.AudioEvaluate.eval_metrics(16000, ref, ref), result)
    assert_type(evaluator.check_metrics_install(), tuple[bool, bool, bool])


def stream() -> None:
    frames: buffer.AudioBuffer[Samples] = buffer.AudioBuffer(8)
    frames.add(np.zeros(160, np.float32))
    assert_type(frames.get(), Samples)
    assert_type(frames.clear(), bool)
    assert_type(frames.size(), int)
    assert_type(frames.data_queue.get(), Samples)
    assert_type(frames.free_slots._value, int)
    fetch = buffer.FetchBuffer(frames)
    assert_type(fetch.get_data(10, timeout=5.0), npt.NDArray[Any] | None)
    done = threading.Event()
    buffer.display_after_fetch(done)


def show(wav: str, table: pd.DataFrame) -> None:
    grid = visual.WaveVisualizer(subplots=2)
    grid.plot([wav, Path(wav)], title=["a", "b"])
    grid.save("figs/grid.png")
    visual.plot_4_features(wav, save_dir="figs/features.png")
    _, ax = plt.subplots()
    visual.plot_zcr(ax, np.zeros(16000, np.float32), 16000, color="g", label="zcr")
    assert_type(visual.normalize([1.0, 2.0, 3.0]), npt.NDArray[np.float64])

    class History:
        history = {"loss": [1.0, 0.5], "val_loss": [1.2, 0.7]}

    visual.history_plot(History(), "loss", save_fig="run1")
    assert_type(conv.data2xlsx(table, "out/scores.xlsx", "run1"), str | None)
    assert_type(conv.lowercase(["A", 1, None]), list[str])
    assert_type(others.find_duplicate(["a.wav", "a.wav"]), dict[str, int])


def devices() -> None:
    assert_type(check.is_available(), bool)
    with check.CheckDevice(frame_size=512) as probe:
        assert_type(probe.check_available_rate(0), list[int] | bool)
        assert_type(probe.input_device(rate=16000), tuple[int, int, int])
