"""Demo step: draw a clean, a noisy and an enhanced recording side by side, and
write the evaluation table into an Excel workbook.

    run(workdir, clean_file, noisy_file, enhanced_file, table)
        -> {"figure": workdir/"waves.png", "workbook": workdir/"scores.xlsx"}
"""

from pathlib import Path

from tavol.util.conv import data2xlsx
from tavol.util.visual import WaveVisualizer

SHEET = "scores"


def run(workdir, clean_file, noisy_file, enhanced_file, table):
    """Draws the three files as a WaveVisualizer grid (waveform and spectrogram per
    row) into workdir/waves.png and writes `table` (a pandas DataFrame, e.g.
    AudioEvaluate.get_df()) into the sheet "scores" of workdir/scores.xlsx."""
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    figure = workdir / "waves.png"
    workbook = workdir / "scores.xlsx"
    # The visualiser never overwrites a figure: make room for this run's.
    figure.unlink(missing_ok=True)

    rows = [("clean", clean_file), ("noisy", noisy_file), ("enhanced", enhanced_file)]
    visualizer = WaveVisualizer(subplots=len(rows))
    try:
        # Enhanced files keep their noisy file's name, so label rows by role.
        visualizer.plot(
            [str(path) for _, path in rows],
            title=[f"{role}: {Path(path).stem}" for role, path in rows],
        )
        visualizer.save(figure)
    finally:
        visualizer.close()

    problem = data2xlsx(table, workbook, SHEET)
    if problem is not None:
        raise ValueError(problem)
    print(f"[demo] waves: {figure}")
    print(f"[demo] scores: {workbook} (sheet {SHEET!r})")
    return {"figure": figure, "workbook": workbook}


if __name__ == "__main__":
    import sys
    import tempfile

    import numpy as np
    import pandas as pd
    import scipy.io.wavfile as wavfile

    # Stand-alone run on synthetic recordings: a gated tone, with noise, with less noise.
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp(prefix="tavol_demo_"))
    rate = 16000
    t = np.arange(2 * rate) / rate
    rng = np.random.default_rng(0)
    clean = 0.4 * np.sin(2 * np.pi * 440 * t) * (np.sin(2 * np.pi * 1.5 * t) > 0)
    signals = {
        "clean": clean,
        "noisy": clean + 0.1 * rng.standard_normal(t.size),
        "enhanced": clean + 0.02 * rng.standard_normal(t.size),
    }
    paths = {}
    for name, data in signals.items():
        paths[name] = out / name / "take.wav"
        paths[name].parent.mkdir(parents=True, exist_ok=True)
        wavfile.write(paths[name], rate, (np.clip(data, -1, 1) * 32767).astype(np.int16))
    scores = pd.DataFrame(
        {"Enh_method": ["enhanced", "Baseline"], "PESQ": [2.9, 1.6], "STOI": [0.93, 0.81]}
    )
    run(out, paths["clean"], paths["noisy"], paths["enhanced"], scores)
