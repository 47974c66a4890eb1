"""tavol demo: builds a small speech corpus and walks it through the toolkit.

Run it with `bash tools/dev.sh demo` (which sets everything up first); it writes into ./demo_out.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from tavol.core import io  # noqa: E402

import demo_buffer  # noqa: E402
import demo_evaluate  # noqa: E402
import demo_synth  # noqa: E402
import demo_visual  # noqa: E402
from corpus import make_corpus  # noqa: E402


def load_and_save(root: Path, clean_dir: Path, noise_dir: Path) -> None:
    clean = io.load_waves(clean_dir)
    noise = io.load_waves(noise_dir)
    files = io.check_input(clean_dir)[0]
    for (y, sr), path in zip(clean, files):
        print(f"[demo] {path.name}: {len(y) / sr:.2f} s at {sr} Hz")
    print(f"[demo] loaded {len(clean)} speech and {len(noise)} noise recordings")

    resampled = root / "clean16k"
    for (y, sr), path in zip(clean, files):
        io.save_wave(resampled / path.name, y, sr, d_sample=16000)
    ys, sr, min_len = io.load_waves(resampled, std_len=True)
    print(f"[demo] saved {len(ys)} copies at {sr} Hz into {resampled}; shortest is {min_len} samples")

    copies = root / "copies"
    io.copy_waves(copies, [str(p) for p in io.check_input(resampled)[0]])
    print(f"[demo] copied them into {copies}: {len(io.LoadAudio(copies))} files")


def main(root: Path = Path("demo_out")) -> None:
    root = root.resolve()
    print(f"[demo] working in {root}")
    clean_dir, noise_dir = make_corpus(root)

    print("\n[demo] 1. loading, resampling and copying")
    load_and_save(root, clean_dir, noise_dir)

    print("\n[demo] 2. noisy sets")
    synth = demo_synth.run(root / "synth", clean_dir, noise_dir)

    print("\n[demo] 3. evaluation of spectral subtraction on part of the regular set")
    # Real mixtures only (the clean reference must not be silent), unique names.
    entries = sorted(synth["regular"], key=lambda e: str(e[0]))[:4]
    noisy_files = [Path(e[0]) for e in entries]
    # References at the mixtures' 16 kHz: the resampled copies made in step 1.
    clean_files = [root / "clean16k" / Path(e[1]).name for e in entries]
    table = demo_evaluate.run(root / "evaluate", clean_files, noisy_files)

    print("\n[demo] 4. figure and workbook")
    enhanced = root / "evaluate" / "enhanced" / "method0" / noisy_files[0].name
    paths = demo_visual.run(root / "visual", clean_files[0], noisy_files[0], enhanced, table)
    print(f"[demo] figure: {paths['figure']}")
    print(f"[demo] workbook: {paths['workbook']}")

    print("\n[demo] 5. frames through a bounded buffer")
    demo_buffer.run(root / "buffer")
    print("\n[demo] done")


if __name__ == "__main__":
    main()
