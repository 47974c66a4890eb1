import os
import pickle
import subprocess
import sys
import types

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
import scipy.io.wavfile as wavfile  # noqa: E402
from matplotlib.colors import to_rgba  # noqa: E402

import librosa.display  # noqa: E402

import tavol.core.io as tio  # noqa: E402
from tavol.util import visual  # noqa: E402

SR = 16000


def tone(seconds, freq=440.0, seed=0):
    t = np.arange(int(seconds * SR)) / SR
    noise = np.random.default_rng(seed).standard_normal(t.size)
    return (0.4 * np.sin(2 * np.pi * freq * t) + 0.05 * noise).astype(np.float32)


@pytest.fixture(scope="module")
def wavs(tmp_path_factory):
    root = tmp_path_factory.mktemp("wavs")
    files = {}
    for name, data in [
        ("a/x.wav", tone(2.7)),
        ("b/y.wav", tone(1.2, 880, 1)),
        ("c/z.wav", tone(1.5, 220, 2)),
        ("zero.wav", np.zeros(int(1.5 * SR), np.float32)),
    ]:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        wavfile.write(path, SR, (data * 32767).astype(np.int16))
        files[path.stem] = path
    broken = root / "broken.wav"
    broken.write_bytes(b"not audio at all")
    files["broken"] = broken
    return files


@pytest.fixture(autouse=True)
def no_open_figures():
    plt.close("all")
    yield
    plt.close("all")


@pytest.fixture
def shown(monkeypatch):
    """Replaces pyplot.show; records the figure that was current when it was called."""
    figures = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: figures.append(plt.gcf()))
    return figures


def legend_texts(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def test_module_surface():
    assert visual.__all__ == ["Common", "WaveVisualizer", "history_plot"]
    assert visual.plt is plt
    assert visual.file_load is tio.file_load
    assert visual.copy_waves is tio.copy_waves
    assert issubclass(visual.WaveVisualizer, visual.Common)
    assert visual.Common.__doc__ is None and visual.WaveVisualizer.__doc__ is None
    assert [f.__doc__ for f in (visual.plot_4_features, visual.plot_3_features, visual.plot_PSD)] == [
        "Plot Waveform / Spectral Centroid / Spectral Rolloff / ZCR /Power Spectral Density",
        "Plot Waveform / Spectral Centroid / Spectral Rolloff / ZCR",
        "Plot Power Spectral Density",
    ]
    for fn in [visual.history_plot, visual.hist_plt, visual.normalize, visual.plot_4_features]:
        assert pickle.loads(pickle.dumps(fn)) is fn
    static = visual.Common.plot_stft_w_2mfe
    assert pickle.loads(pickle.dumps(static)) is static
    assert pickle.loads(pickle.dumps(visual.WaveVisualizer.plot_stft_w_2mfe)) is static


def test_common_folder_and_figure(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = visual.Common()
    assert c.is_save is False and c.plt is plt
    assert tuple(c.fig.get_size_inches()) == (7, 5)
    assert not (tmp_path / "tl_figs").exists()
    c.save(str(tmp_path / "nothing.png"))
    assert not (tmp_path / "nothing.png").exists()

    saving = visual.Common(is_save=True)
    assert (tmp_path / "tl_figs").is_dir()
    visual.Common(fig_dir="tl_figs", is_save=True)  # exists already: fine
    saving.save(str(tmp_path / "saved.png"))
    assert (tmp_path / "saved.png").stat().st_size > 0
    assert vars(saving).keys() == {"is_save", "plt", "fig"}


@pytest.mark.parametrize("bad", [None, 3, b"tl_figs"])
def test_common_fig_dir_must_be_str(bad):
    with pytest.raises(TypeError) as raised:
        visual.Common(fig_dir=bad)
    assert str(raised.value) == (
        f"Argument 'fig_dir' has incorrect type (expected str, got {type(bad).__name__})"
    )
    assert plt.get_fignums() == []


def test_loss_plot_redraws_one_axes():
    c = visual.Common()
    c.loss_plot([1.0, 0.5], [1.2, 0.8])
    c.loss_plot([0.9, 0.4, 0.2], [1.0, 0.7, 0.6])
    (ax,) = c.fig.axes
    assert len(ax.lines) == 2
    assert list(ax.lines[0].get_ydata()) == [0.9, 0.4, 0.2]
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == ("Model loss", "Epoch", "Loss")
    assert legend_texts(ax) == ["Train", "Validation"]
    assert ax.get_legend()._loc == matplotlib.legend.Legend.codes["upper right"]
    c.close()
    assert plt.get_fignums() == []


def test_visualizer_construction():
    grid = visual.WaveVisualizer(subplots=3)
    assert grid.row_len == 3 and grid.plt is plt
    assert grid.ax.shape == (3, 2)
    assert tuple(grid.fig.get_size_inches()) == (11, 8)
    # Only the visualiser's own figure stays open; close() closes it.
    assert plt.get_fignums() == [grid.fig.number]
    grid.close()
    assert plt.get_fignums() == []

    single = visual.WaveVisualizer()
    assert single.row_len is None and not hasattr(single, "ax")
    assert tuple(single.fig.get_size_inches()) == (7, 5) and single.fig.dpi == 200
    assert plt.get_fignums() == [single.fig.number]


@pytest.mark.parametrize("bad", [2.0, "3", True])
def test_visualizer_subplots_must_be_int(bad):
    with pytest.raises(TypeError, match=r"^Argument 'subplots' has incorrect type \(expected int"):
        visual.WaveVisualizer(subplots=bad)
    assert plt.get_fignums() == []


def test_grid_plot_titles_labels_and_panels(wavs, capsys):
    v = visual.WaveVisualizer(subplots=3)
    v.plot([str(wavs["x"]), wavs["y"], wavs["z"]], title=["only one"])
    assert capsys.readouterr().out == "[tl.] plot 3 wave(s)\n"
    assert v.wave_length == 3
    for row, stem in enumerate("xyz"):
        assert v.ax[row, 0].get_title() == stem and v.ax[row, 1].get_title() == stem
        # A spectrogram image drawn with the jet colour map over 0..8 kHz.
        (mesh,) = v.ax[row, 1].collections
        assert mesh.get_cmap().name == "jet"
        assert v.ax[row, 1].get_ylim()[1] == pytest.approx(SR / 2, rel=0.02)
        assert v.ax[row, 1].get_ylabel() == "Hz"
    # Every row but the last loses its x labels.
    assert [v.ax[r, c].get_xlabel() for r in range(3) for c in range(2)] == [
        "", "", "", "", "Time", "Time"
    ]


def test_grid_plot_given_titles_and_single_row(wavs, capsys):
    v = visual.WaveVisualizer(subplots=2)
    v.plot([wavs["x"], wavs["y"]], title=[1, "second"])
    assert [v.ax[r, 0].get_title() for r in range(2)] == ["1", "second"]
    assert v.ax[0, 0].get_xlabel() == "" and v.ax[1, 0].get_xlabel() == "Time"
    # One row still gives a 1 x 2 grid that plot can fill.
    one = visual.WaveVisualizer(subplots=1)
    assert one.ax.shape == (1, 2)
    one.plot([wavs["y"]])
    assert one.ax[0, 1].get_title() == "y" and one.ax[0, 0].get_xlabel() == "Time"


def test_grid_plot_failures(wavs):
    with pytest.raises(IndexError):
        visual.WaveVisualizer(subplots=1).plot([wavs["x"], wavs["y"]])
    with pytest.raises(AttributeError):
        visual.WaveVisualizer().plot([wavs["x"]])
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        visual.WaveVisualizer(subplots=2).plot([wavs["broken"]])


def test_save_never_overwrites(tmp_path, wavs, capsys):
    v = visual.WaveVisualizer(subplots=2)
    v.plot([wavs["x"], wavs["y"]])
    target = tmp_path / "grid.png"
    v.save(target)
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    capsys.readouterr()
    v.save(str(target))
    v.save(tmp_path)  # a folder counts too
    assert capsys.readouterr().out == "[tl.] 檔案或路徑已存在\n" * 2
    assert target.read_bytes() == data


def test_copy_wave_goes_through_copy_waves(tmp_path, wavs, monkeypatch):
    v = visual.WaveVisualizer()
    v.copy_wave(tmp_path / "copies", [wavs["x"], wavs["y"]])
    assert sorted(p.name for p in (tmp_path / "copies").iterdir()) == ["x.wav", "y.wav"]
    calls = []
    monkeypatch.setattr(visual, "copy_waves", lambda *a: calls.append(a))
    v.copy_wave("dest", ["w"])
    assert calls == [("dest", ["w"])]


def history(**series):
    return types.SimpleNamespace(history=dict(series))


def test_history_plot_selects_styles_by_position(shown):
    visual.history_plot(history(loss=[3, 2, 1], acc=[0.1, 0.2, 0.3], val_loss=[4, 3, 2]))
    (fig,) = shown
    (ax,) = fig.axes
    assert [(l.get_label(), to_rgba(l.get_color())) for l in ax.lines] == [
        ("loss", to_rgba("r")),
        ("val_loss", to_rgba("b")),
    ]
    assert legend_texts(ax) == ["loss", "val_loss"]
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == ("loss", "Epoch", "loss")
    assert plt.get_fignums() == []


def test_history_plot_style_list_runs_out(shown):
    keys = {f"m{i}": [i] for i in range(14)}
    keys["late_loss"] = [1]
    with pytest.raises(IndexError):
        visual.history_plot(history(**keys), metrics="loss")


@pytest.mark.parametrize("save_fig", ["run1", "run1.png"])
def test_history_plot_file_name(tmp_path, monkeypatch, shown, save_fig):
    monkeypatch.chdir(tmp_path)
    visual.history_plot(history(loss=[1, 0.5]), "loss", save_fig)
    assert sorted(os.listdir(tmp_path)) == ["loss_run1.png"]
    image = plt.imread(tmp_path / "loss_run1.png")
    assert image.shape[:2] == (720, 960)  # 6.4 x 4.8 inches at 150 dpi


def test_history_plot_creates_the_figure_folder(tmp_path, monkeypatch, shown):
    monkeypatch.chdir(tmp_path)
    visual.history_plot(history(val_acc=[0.5]), "acc", "runs/r1")
    assert (tmp_path / "acc_runs" / "r1.png").is_file()
    assert not (tmp_path / "r1").exists()
    with pytest.raises(TypeError, match="Argument 'save_fig' has incorrect type"):
        visual.history_plot(history(loss=[1]), save_fig=tmp_path / "x")


def test_hist_plt(tmp_path, shown):
    h = history(accuracy=[0.5, 0.7], val_accuracy=[0.4, 0.6], loss=[1, 0.5], val_loss=[1.2, 0.7])
    visual.hist_plt(h, fig_dir=tmp_path / "h.png")
    assert (tmp_path / "h.png").is_file() and shown == []
    fig = plt.gcf()
    assert tuple(fig.get_size_inches()) == (10, 5)
    acc, loss = fig.axes
    assert (acc.get_title(), acc.get_ylabel(), loss.get_title(), loss.get_ylabel()) == (
        "Model Accuracy", "Accuracy", "Model Loss", "Loss"
    )
    assert legend_texts(acc) == legend_texts(loss) == ["Train", "Validation"]
    plt.close("all")

    visual.hist_plt(h, show=True)
    assert len(shown) == 1 and plt.get_fignums() == []
    with pytest.raises(KeyError):
        visual.hist_plt(history(accuracy=[1], val_accuracy=[1], loss=[1]))


def test_plot_stft_w_2mfe(wavs, shown):
    visual.Common.plot_stft_w_2mfe(wavs["x"])
    (fig,) = shown
    wave, middle, bottom = fig.axes
    assert tuple(fig.get_size_inches()) == (12, 10) and fig.dpi == 200
    assert wave.get_title() == "x"
    assert middle.get_title() == "Mel Spectrogram 16000KHz n:40"
    assert bottom.get_title() == "Mel Spectrogram 48000KHz n:40"
    assert plt.get_fignums() == []
    # The mel axes are laid out exactly as specshow lays them out for fmax 8000 and 48000.
    y, sr = librosa.load(wavs["x"], sr=None)
    for ax, fmax in [(middle, 8000), (bottom, 48000)]:
        mel = librosa.feature.melspectrogram(y=y, sr=sr, n_mels=40, fmax=fmax)
        _, ref = plt.subplots()
        librosa.display.specshow(mel, sr=sr, x_axis="time", y_axis="mel", fmax=fmax, ax=ref)
        assert ax.get_ylim() == pytest.approx(ref.get_ylim())
    with pytest.raises(TypeError, match="Argument 'sub_mfe_fq' has incorrect type"):
        visual.WaveVisualizer.plot_stft_w_2mfe(wavs["x"], sub_mfe_fq=8000.0)


def test_normalize_and_lazy_scikit_learn():
    assert list(visual.normalize([1, 2, 3])) == [0.0, 0.5, 1.0]
    code = (
        "import sys, tavol.util.visual as v\n"
        "assert 'sklearn.preprocessing' not in sys.modules\n"
        "v.normalize([[1, 5], [3, 1]], axis=0)\n"
        "assert 'sklearn.preprocessing' in sys.modules\n"
    )
    env = dict(os.environ, MPLBACKEND="Agg")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120, env=env)


def test_axes_functions(wavs):
    y, sr = tio.file_load(wavs["x"])
    _, ax = plt.subplots()
    visual.plot_spectral_centroid(ax, y, sr, label="c")
    visual.plot_spectral_rolloff(ax, y, sr, color="b", label="r")
    (centroid, rolloff) = ax.lines
    for line in ax.lines:
        x = line.get_xdata()
        assert x[0] == 0 and x[-1] == 2  # 2.7 s: whole seconds only
        assert min(line.get_ydata()) == 0 and max(line.get_ydata()) == 1
    assert centroid.get_color() == "r" and rolloff.get_color() == "b"
    assert ax.get_title() == "Spectral Rolloff" and legend_texts(ax) == ["c", "r"]

    z, _ = tio.file_load(wavs["zero"])
    _, ax = plt.subplots()
    visual.plot_zcr(ax, z, sr, label="zcr")
    assert not ax.lines[0].get_ydata().any() and ax.get_title() == "ZCR"

    _, ax = plt.subplots()
    visual.plot_power_spectral_density(ax, y, sr, label="psd")
    freqs = ax.lines[0].get_xdata()
    assert len(freqs) == 513 and freqs[-1] == sr / 2
    assert freqs[np.argmax(ax.lines[0].get_ydata())] == pytest.approx(440, abs=sr / 1024)
    assert ax.get_xscale() == "log"
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == (
        "Power Spectral Density", "Frequency[Hz]", "PSD [V**2/Hz]"
    )


def test_plot_4_features(wavs, shown, tmp_path):
    visual.plot_4_features(wavs["x"], show=True, save_dir=tmp_path / "f4.png", dpi=50)
    (fig,) = shown
    assert tuple(fig.get_size_inches()) == (10, 10) and fig.dpi == 50
    top, bottom = fig.axes
    assert top.get_title() == "spectral centroid & spectral rolloff & zcr"
    assert top.get_xlim() == (0, 2)
    assert legend_texts(top) == ["waveform", "spectral_centroid", "spectral_rolloff", "zcr"]
    # The waveform's own line first, then the three curves.
    assert [to_rgba(l.get_color()) for l in top.lines[1:]] == [to_rgba(c) for c in "rbg"]
    assert bottom.get_title() == "Power Spectral Density"
    assert (tmp_path / "f4.png").is_file()
    assert plt.get_fignums() == []


def test_plot_3_features_and_psd(wavs, shown, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    visual.plot_3_features(str(wavs["x"]), save_dir="out.png")
    assert (tmp_path / "out.png").is_file() and shown == [] and plt.get_fignums() == []
    visual.plot_3_features(wavs["x"], show=True)
    (ax,) = shown[0].axes
    assert tuple(shown[0].get_size_inches()) == (7, 5)
    assert legend_texts(ax) == ["waveform", "spectral_centroid", "spectral_rolloff", "zcr"]
    visual.plot_PSD(wavs["y"], show=True)
    (ax,) = shown[1].axes
    assert ax.get_title() == "Power Spectral Density" and len(ax.lines) == 1
    assert plt.get_fignums() == []


def test_basic_analyze(wavs, shown, tmp_path):
    visual.basic_analyze(wavs["x"], show=True, save_dir=tmp_path / "basic.png")
    (fig,) = shown
    wave, stft, zcr = fig.axes
    assert [a.get_title() for a in fig.axes] == ["x", "STFT", "ZCR"]
    assert stft.collections[0].get_cmap().name == "jet"
    assert zcr.get_xlim() == (0, 2)
    assert zcr.get_ylim()[1] == pytest.approx(max(zcr.lines[0].get_ydata()))
    assert (tmp_path / "basic.png").is_file()
    assert plt.get_fignums() == []


@pytest.mark.parametrize(
    "draw", [visual.plot_4_features, visual.plot_3_features, visual.plot_PSD, visual.basic_analyze]
)
def test_file_figures_fail_cleanly(wavs, tmp_path, draw):
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        draw(wavs["broken"])
    # An image in a missing folder: the writer's error, and no figure left behind.
    with pytest.raises(FileNotFoundError):
        draw(wavs["y"], save_dir=tmp_path / "missing" / "f.png")
    assert plt.get_fignums() == []
