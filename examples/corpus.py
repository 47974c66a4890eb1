"""A small demo corpus: real speech from espeak-ng, plus generated noise recordings."""

import shutil
import subprocess
from pathlib import Path

import numpy as np
from tqdm import tqdm

from tavol.core import io

SENTENCES = [
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It is easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
    "The juice of lemons makes fine punch.",
    "The box was thrown beside the parked truck.",
    "The hogs were fed chopped corn and garbage.",
]
VOICES = ["en-us", "en", "en-us+f3", "en+m3", "en-us+f2", "en+m7"]


def speak(text: str, voice: str, out: Path) -> None:
    exe = shutil.which("espeak-ng")
    if exe is None:
        raise SystemExit("espeak-ng is missing: run `bash tools/dev.sh setup` first")
    subprocess.run([exe, "-v", voice, "-s", "150", "-w", str(out), text], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_noise(kind: str, seconds: float, rate: int, rng: np.random.Generator) -> np.ndarray:
    n = int(seconds * rate)
    white = rng.standard_normal(n)
    if kind == "white":
        x = white
    elif kind == "pink":  # 1/f spectrum shaped in the frequency domain
        spectrum = np.fft.rfft(white)
        spectrum /= np.sqrt(np.maximum(np.arange(spectrum.size), 1))
        x = np.fft.irfft(spectrum, n)
    else:  # "babble-like": amplitude-modulated low-passed noise
        smooth = np.convolve(white, np.ones(32) / 32, mode="same")
        x = smooth * (1 + 0.8 * np.sin(2 * np.pi * 3 * np.arange(n) / rate))
    return (0.3 * x / np.max(np.abs(x))).astype(np.float32)


def make_corpus(root: Path, seed: int = 7):
    """Writes root/clean (espeak-ng speech at 22050 Hz) and root/noise (44.1 kHz); returns both folders."""
    clean_dir, noise_dir = root / "clean", root / "noise"
    clean_dir.mkdir(parents=True, exist_ok=True)
    noise_dir.mkdir(parents=True, exist_ok=True)
    for i, (text, voice) in enumerate(tqdm(list(zip(SENTENCES, VOICES)), desc="[demo] speaking")):
        speak(text, voice, clean_dir / f"spk{i:02d}.wav")
    rng = np.random.default_rng(seed)
    for kind in tqdm(["white", "pink", "babble"], desc="[demo] noise"):
        io.save_wave(noise_dir / f"{kind}.wav", make_noise(kind, 8.0, 44100, rng), 44100)
    return clean_dir, noise_dir
