"""tavol demo: builds a small speech corpus and walks it through the toolkit.

Run it with `bash tools/dev.sh demo` (which sets everything up first); it writes into ./demo_out.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from tavol.core import io  # noqa: E402

from corpus import make_corpus  # noqa: E402


def main(root: Path = Path("demo_out")) -> None:
    root = root.resolve()
    print(f"[demo] working in {root}")
    clean_dir, noise_dir = make_corpus(root)

    clean = io.load_waves(clean_dir)
    noise = io.load_waves(noise_dir)
    for (y, sr), path in zip(clean, io.check_input(clean_dir)[0]):
        print(f"[demo] {path.name}: {len(y) / sr:.2f} s at {sr} Hz")
    print(f"[demo] loaded {len(clean)} speech and {len(noise)} noise recordings")

    resampled = root / "clean16k"
    for (y, sr), path in zip(clean, io.check_input(clean_dir)[0]):
        io.save_wave(resampled / path.name, y, sr, d_sample=16000)
    ys, sr, min_len = io.load_waves(resampled, std_len=True)
    print(f"[demo] saved {len(ys)} copies at {sr} Hz into {resampled}; shortest is {min_len} samples")

    copies = root / "copies"
    io.copy_waves(copies, [str(p) for p in io.check_input(resampled)[0]])
    print(f"[demo] copied them into {copies}: {len(io.LoadAudio(copies))} files")


if __name__ == "__main__":
    main()
