"""Fingerprint of seeded synthesis runs: one SHA-256 over every file written, every
returned entry and every line printed, for runs that use no keyword beyond the
documented ones. Run it before and after a change of the synthesiser: equal
digests mean the documented runs write the same files and bytes as before.

    python tools/synth_fingerprint.py [--verbose]
"""

import contextlib
import hashlib
import io
import os
import sys
import tempfile
from pathlib import Path

import numpy as np
import soundfile as sf

from tavol.core.synth import Synthesizer


def corpus(root: Path):
    rng = np.random.default_rng(1)
    (root / "clean" / "spk1").mkdir(parents=True)
    for i in range(7):
        folder = root / "clean" / ("spk1" if i % 3 == 0 else "")
        x = 0.2 * rng.standard_normal(1600 + 37 * i)
        sf.write(folder / f"c{i}.wav", x.astype(np.float32), 16000, subtype="PCM_16")
    # (FLOAT files carry a time stamp in their PEAK chunk: PCM keeps the corpus byte-stable)
    sf.write(root / "clean" / "take.1.wav", (0.3 * rng.standard_normal(2000)).astype(np.float32), 16000,
             subtype="PCM_16")
    (root / "noise").mkdir()
    for j, (frames, rate) in enumerate([(3000, 16000), (9000, 44100), (1600, 16000), (700, 8000)]):
        sf.write(root / "noise" / f"n{j}.wav", (0.1 * rng.standard_normal(frames)).astype(np.float32),
                 rate, subtype="PCM_16")
    (root / "bg").mkdir()
    sf.write(root / "bg" / "bg.wav", (0.05 * rng.standard_normal(5000)).astype(np.float32), 16000)
    return root / "clean", root / "noise", root / "bg"


def digest_tree(h, folder: Path, label: str):
    for p in sorted(folder.rglob("*")):
        if p.is_file():
            h.update(f"{label}:{p.relative_to(folder)}\n".encode())
            h.update(hashlib.sha256(p.read_bytes()).digest())


def main():
    verbose = "--verbose" in sys.argv
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        clean, noise, bg = corpus(root)
        os.chdir(root)
        runs = [
            ("reg", dict(mode="regular")),
            ("reg_flat_raw", dict(mode="reg", mkdir_parents=False, is_add_clean=True)),
            ("inc_silence", dict(mode="inc", is_silence=True, p_silence=0.1)),
            ("inc_pool", dict(mode="increment", is_silence=True)),
            ("rdn", dict(mode="reg", rdn_choice_num=4)),
        ]
        h_all = hashlib.sha256()
        for label, kwargs in runs:
            snrs = [-5, 0, 2.5, 10] if label != "inc_pool" else list(range(-3, 6))
            h = hashlib.sha256()
            np.random.seed(7)
            s = Synthesizer(clean, noise, root / label, snrs)
            out = io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
                entries = s.syn(**kwargs)
            h.update(repr([(str(e[0]), str(e[1]), str(e[2]), repr(e[3]), type(e[3]).__name__)
                           for e in entries]).replace(tmp, "<root>").encode())
            h.update(out.getvalue().replace(tmp, "<root>").encode())
            digest_tree(h, root / label, label)
            h.update(repr(np.random.get_state()[1][:4].tolist()).encode())
            if verbose:
                print(label, len(entries), len({e[0] for e in entries}), h.hexdigest())
            h_all.update(h.digest())
        for label, bg_snr in [("extra", (5,)), ("extra2", [-3, 4])]:
            h = hashlib.sha256()
            np.random.seed(9)
            s = Synthesizer(clean, noise, root / label, [0, 5])
            out = io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
                entries = s.syn_extra_mode(bg, bg_snr)
            h.update(repr([(str(e[0]), str(e[1]), str(e[2]), repr(e[3]), type(e[3]).__name__)
                           for e in entries]).replace(tmp, "<root>").encode())
            h.update(out.getvalue().replace(tmp, "<root>").encode())
            digest_tree(h, root / label, label)
            h.update(repr(np.random.get_state()[1][:4].tolist()).encode())
            if verbose:
                print(label, len(entries), len({e[0] for e in entries}), h.hexdigest())
            h_all.update(h.digest())
        print(h_all.hexdigest())


if __name__ == "__main__":
    main()
