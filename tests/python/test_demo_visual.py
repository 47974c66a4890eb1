import importlib.util
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import openpyxl  # noqa: E402
import pandas as pd  # noqa: E402
import scipy.io.wavfile as wavfile  # noqa: E402

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo_visual.py"


def load_demo():
    module_spec = importlib.util.spec_from_file_location("demo_visual", DEMO)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def write(path, data, rate=16000):
    path.parent.mkdir(parents=True, exist_ok=True)
    wavfile.write(path, rate, (data * 32767).astype(np.int16))
    return path


def test_demo_draws_grid_and_writes_table(tmp_path, capsys):
    rng = np.random.default_rng(3)
    clean = 0.4 * np.sin(2 * np.pi * 300 * np.arange(16000) / 16000)
    files = [
        write(tmp_path / "clean" / "s1.wav", clean),
        write(tmp_path / "noisy" / "s1.wav", clean + 0.1 * rng.standard_normal(16000)),
        write(tmp_path / "enhanced" / "s1.wav", clean + 0.01 * rng.standard_normal(16000)),
    ]
    table = pd.DataFrame(
        {
            "Enh_method": ["model-a", "Baseline"],
            "PESQ": [3.1234, 1.5],
            "STOI": [0.9512, 0.8],
            "SDR": [15.25, 4.5],
        }
    )
    demo = load_demo()
    out = tmp_path / "out"
    for _ in range(2):  # a second run replaces both outputs
        paths = demo.run(out, *files, table)
    assert plt.get_fignums() == []

    image = plt.imread(paths["figure"])
    assert image.shape[:2] == (800, 1100)  # the 11 x 8 inch grid

    book = openpyxl.load_workbook(paths["workbook"])
    assert book.sheetnames == ["scores"]
    rows = [list(r) for r in book["scores"].iter_rows(values_only=True)]
    assert rows == [list(table.columns)] + table.values.tolist()
    assert pd.read_excel(paths["workbook"], sheet_name="scores").equals(table)
    assert "[tl.] plot 3 wave(s)" in capsys.readouterr().out
