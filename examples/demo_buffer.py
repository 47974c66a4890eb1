"""Demo part for tavol.core.buffer: a simulated microphone feeds an AudioBuffer
in 10 ms frames; a consumer thread reads frames as they come, and a
FetchBuffer grabs the next half second, which is checked against the source
and written out as a WAV file.

    run(workdir)  ->  dict with the figures printed
"""

import pathlib
import threading
import time

import numpy as np
from scipy.io import wavfile

from tavol.core.buffer import AudioBuffer, FetchBuffer

RATE = 16000
FRAME = 160  # 10 ms at 16 kHz


def run(workdir: pathlib.Path, seconds: float = 2.0, speedup: float = 10.0) -> dict:
    workdir = pathlib.Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    t = np.arange(int(seconds * RATE)) / RATE
    source = (0.3 * np.sin(2 * np.pi * (200 + 400 * t) * t)).astype(np.float32)  # rising chirp
    frames = source[: len(source) // FRAME * FRAME].reshape(-1, FRAME)

    buf = AudioBuffer(8)
    consumed = []

    def microphone():  # drop mode: never waits for a slow reader
        for frame in frames:
            buf.add(frame)
            time.sleep(FRAME / RATE / speedup)

    def reader():
        while (frame := buf.get()) is not None:
            consumed.append(frame)

    mic = threading.Thread(target=microphone, daemon=True)
    rd = threading.Thread(target=reader, daemon=True)
    mic.start()
    rd.start()
    time.sleep(0.05)
    fetched = FetchBuffer(buf).get_data(50, 5.0)  # the next 0.5 s
    mic.join(30.0)
    buf.add(None, drop_full=False)  # end of stream: waits for a place, never dropped
    rd.join(5.0)

    if fetched is None:
        raise RuntimeError("fetch did not complete")
    start = int(np.flatnonzero(np.all(frames == fetched[:FRAME], axis=1))[0]) * FRAME
    contiguous = bool(np.array_equal(fetched, source[start : start + fetched.size]))
    out = workdir / "buffer_fetch.wav"
    wavfile.write(out, RATE, (fetched * 32767).astype(np.int16))

    figures = {
        "frames produced": len(frames),
        "frames read by the consumer": len(consumed),
        "fetched samples": int(fetched.size),
        "fetch starts at (s)": round(start / RATE, 3),
        "fetch is a contiguous slice of the source": contiguous,
        "written": str(out),
    }
    for key, value in figures.items():
        print(f"[demo buffer] {key}: {value}")
    return figures


if __name__ == "__main__":
    import tempfile

    run(pathlib.Path(tempfile.mkdtemp(prefix="tavol_buffer_")))
