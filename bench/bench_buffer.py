"""Frames per second through AudioBuffer.add/get: native buffer against the same
design written in plain Python (threading.Semaphore, threading.Lock, queue.Queue).

One producer thread adds 160-sample float32 frames, one consumer thread gets
them; blocking mode (every frame delivered) and drop mode (the producer never
waits; a slow consumer misses frames). Both implementations run side by side,
best of several rounds, for a few buffer capacities: in blocking mode a small
buffer makes the two threads hand the GIL back and forth every few frames.
Python's own waits fall asleep on the GIL at each hand-over; the native
buffer's waits poll for it briefly instead, which is most of its lead at
capacity 2 (the default). Takes about 20 s:

    python bench/bench_buffer.py [--frames 50000] [--sizes 2,16,256] [--rounds 3]
"""

import argparse
import os
import queue
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads would compete for the CPUs

import numpy as np  # noqa: E402

from tavol.core.buffer import AudioBuffer  # noqa: E402

FRAME_SAMPLES = 160
STOP = object()


class PyAudioBuffer:
    """The buffer's design in plain Python, for comparison."""

    def __init__(self, size: int = 2):
        self.buffer_size = size
        self.free_slots = threading.Semaphore(size)
        self.used_slots = threading.Semaphore(0)
        self.clear_add = threading.Semaphore(1)
        self.clear_get = threading.Semaphore(1)
        self.queue_mutex = threading.Lock()
        self.data_queue = queue.Queue(size)
        self.rec_mutex = threading.Lock()
        self.rec_free_slots = threading.Semaphore(0)
        self.rec_queue = queue.Queue()

    def add(self, data, drop_full=True):
        with self.clear_add:
            if drop_full:
                with self.queue_mutex:
                    if self.rec_free_slots._value > 0:
                        self.rec_free_slots.acquire()
                        self.rec_queue.put(data)
                        if self.rec_queue.full():
                            self.rec_mutex.release()
                    if self.data_queue.full():
                        self.data_queue.get_nowait()
                        self.data_queue.put(data)
                    else:
                        self.free_slots.acquire()
                        self.data_queue.put(data)
                        self.used_slots.release()
            else:
                self.free_slots.acquire()
                with self.queue_mutex:
                    self.data_queue.put(data)
                self.used_slots.release()

    def get(self):
        with self.clear_get:
            self.used_slots.acquire()
            with self.queue_mutex:
                frame = self.data_queue.get()
            self.free_slots.release()
        return frame


def run_once(buffer_cls, frames, n, size, drop):
    buf = buffer_cls(size)
    delivered = [0]

    def produce():
        for i in range(n):
            buf.add(frames[i % len(frames)], drop)

    def consume():
        count = 0
        while buf.get() is not STOP:
            count += 1
        delivered[0] = count

    producer = threading.Thread(target=produce)
    consumer = threading.Thread(target=consume)
    start = time.perf_counter()
    consumer.start()
    producer.start()
    producer.join(120)
    buf.add(STOP, False)
    consumer.join(120)
    elapsed = time.perf_counter() - start
    if producer.is_alive() or consumer.is_alive():
        raise RuntimeError("benchmark threads did not finish")
    return n / elapsed, delivered[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=50000, help="frames per run")
    parser.add_argument("--sizes", default="2,16,256", help="buffer capacities in frames")
    parser.add_argument("--rounds", type=int, default=3, help="runs per case (best is kept)")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    frames = [rng.standard_normal(FRAME_SAMPLES).astype(np.float32) for _ in range(256)]
    print(f"{args.frames} frames of {FRAME_SAMPLES} float32 samples, best of {args.rounds}; "
          "got = frames the consumer received")
    print(f"{'size':>5} {'mode':<9}{'native fr/s':>14}{'python fr/s':>14}{'ratio':>8}"
          f"{'native got':>12}{'python got':>12}")
    for size in (int(s) for s in args.sizes.split(",")):
        for mode, drop in (("blocking", False), ("drop", True)):
            best = {}
            for name, cls in (("native", AudioBuffer), ("python", PyAudioBuffer)):
                runs = [run_once(cls, frames, args.frames, size, drop) for _ in range(args.rounds)]
                best[name] = max(runs)
            ratio = best["native"][0] / best["python"][0]
            print(f"{size:>5} {mode:<9}{best['native'][0]:>14,.0f}{best['python'][0]:>14,.0f}"
                  f"{ratio:>7.1f}x{best['native'][1]:>12}{best['python'][1]:>12}")


if __name__ == "__main__":
    main()
