"""tavol.core.buffer: AudioBuffer, FetchBuffer, display_after_fetch and the native
primitives under them. Every wait here is bounded: a broken buffer fails, it never hangs."""

import gc
import pickle
import queue
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import numpy as np
import pytest

import tavol.core.buffer as buffer_module
from tavol.core.buffer import AudioBuffer, FetchBuffer, display_after_fetch

WAIT = 5.0  # the most any single step may take before the test calls it stuck


def start(fn, *args):
    t = threading.Thread(target=fn, args=args, daemon=True)
    t.start()
    return t


def join(t, timeout=WAIT):
    t.join(timeout)
    assert not t.is_alive(), "thread still blocked"


def wait_until(cond, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, "condition never became true"
        time.sleep(0.002)


def assert_balanced(buf):
    """The counts agree with the store while nothing is under way."""
    assert buf.free_slots._value + buf.used_slots._value == buf.buffer_size
    assert buf.used_slots._value == buf.size()
    assert buf.clear_add._value == 1 and buf.clear_get._value == 1
    assert not buf.queue_mutex.locked()


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


# ---------------------------------------------------------------- surface and construction

def test_module_surface():
    assert buffer_module.__all__ == ["AudioBuffer", "FetchBuffer"]
    assert AudioBuffer.__bases__ == (object,)
    assert issubclass(FetchBuffer, threading.Thread)
    assert FetchBuffer.__module__ == AudioBuffer.__module__ == "tavol.core.buffer"
    assert callable(display_after_fetch) and "display_after_fetch" not in buffer_module.__all__
    assert pickle.loads(pickle.dumps(display_after_fetch)) is display_after_fetch


def test_new_buffer_has_the_documented_state():
    buf = AudioBuffer(5)
    assert list(vars(buf)) == ["buffer_size", "free_slots", "used_slots", "clear_add", "clear_get",
                               "queue_mutex", "data_queue", "rec_mutex", "rec_free_slots",
                               "rec_queue"]
    assert buf.buffer_size == 5 and buf.max_size() == 5 and buf.data_queue.maxsize == 5
    assert [s._value for s in (buf.free_slots, buf.used_slots, buf.clear_add, buf.clear_get,
                               buf.rec_free_slots)] == [5, 0, 1, 1, 0]
    assert buf.rec_queue.maxsize == 0 and not buf.rec_mutex.locked()
    assert buf.is_empty() and not buf.is_full() and buf.size() == 0
    assert AudioBuffer().max_size() == 2


@pytest.mark.parametrize("size, got", [(2.0, "float"), (True, "bool"), (None, "NoneType"),
                                       ("2", "str")])
def test_size_must_be_exactly_an_int(size, got):
    with pytest.raises(TypeError, match=rf"^Argument 'size' has incorrect type \(expected int, "
                                        rf"got {got}\)$"):
        AudioBuffer(size)


@pytest.mark.parametrize("size", [0, -1])
def test_size_below_one_is_refused(size):
    with pytest.raises(ValueError):
        AudioBuffer(size)


# ---------------------------------------------------------------- add, get, clear

def test_drop_mode_keeps_the_newest_frames():
    buf = AudioBuffer(2)
    for frame in "ABC":
        buf.add(frame)
    assert buf.is_full() and buf.size() == 2
    assert_balanced(buf)
    assert (buf.get(), buf.size()) == ("B", 1)
    assert (buf.get(), buf.size()) == ("C", 0)
    assert_balanced(buf)


def test_blocking_add_returns_only_after_a_get():
    buf = AudioBuffer(1)
    buf.add("A", drop_full=False)
    adder = start(buf.add, "B", False)
    time.sleep(0.1)
    assert adder.is_alive()
    assert buf.get() == "A"
    join(adder)
    assert buf.get() == "B"
    assert_balanced(buf)


def test_get_on_an_empty_buffer_waits_for_a_frame():
    buf = AudioBuffer()
    got = []
    getter = start(lambda: got.append(buf.get()))
    time.sleep(0.1)
    assert getter.is_alive()
    buf.add("frame")
    join(getter)
    assert got == ["frame"]


def test_clear(capsys):
    buf = AudioBuffer(3)
    assert buf.clear() is False
    assert capsys.readouterr().out == ""
    buf.add("A")
    buf.add("B")
    assert buf.clear() is True
    assert capsys.readouterr().out == "[tl.] Buffer: Clear\n"
    assert buf.size() == 0 and buf.is_empty()
    assert_balanced(buf)
    for i in range(3):
        assert not buf.is_full()
        buf.add(i, drop_full=False)  # would wait if a place had been lost
    assert buf.is_full()


def test_clear_gives_up_while_an_add_or_get_is_under_way(capsys):
    buf = AudioBuffer(1)
    buf.add("A")
    adder = start(buf.add, "B", False)  # waits on the full store, holding the producers' gate
    wait_until(lambda: buf.clear_add._value == 0)
    assert buf.clear() is False
    assert buf.get() == "A"
    join(adder)
    assert buf.get() == "B"

    got = []
    getter = start(lambda: got.append(buf.get()))  # waits on the empty store
    wait_until(lambda: buf.clear_get._value == 0)
    buf.add("C", drop_full=False)
    join(getter)
    assert got == ["C"]
    assert "Clear" not in capsys.readouterr().out
    assert_balanced(buf)


def test_drop_mode_add_never_waits_on_an_empty_store():
    # A get that has taken its frame but not yet freed its place leaves the
    # free count at 0 over an empty store of one place.
    buf = AudioBuffer(1)
    buf.add("A")
    buf.used_slots.acquire()
    assert buf.data_queue.get(timeout=1.0) == "A"
    adder = start(buf.add, "B")
    time.sleep(0.1)
    buf.free_slots.release()  # the get completes
    join(adder)
    assert_balanced(buf)
    assert buf.get() == "B"


def test_frames_are_references_and_are_let_go():
    class Frame:
        pass

    buf = AudioBuffer(2)
    frames = [Frame() for _ in range(5)]
    refs = [weakref.ref(f) for f in frames]
    for frame in frames:
        buf.add(frame)  # the first three are dropped on the way
    assert buf.get() is frames[3]
    del frames, frame
    gc.collect()
    assert [r() is None for r in refs] == [True, True, True, True, False]
    assert buf.clear() is True
    gc.collect()
    assert refs[4]() is None


# ---------------------------------------------------------------- the recording

def record_in_thread(buf, n):
    out = []
    t = start(lambda: out.append(buf.get_fixed_size_data(n)))
    wait_until(lambda: buf.rec_free_slots._value == n)  # armed
    return t, out


def test_recording_returns_the_frames_added_after_arming(capsys):
    buf = AudioBuffer(2)
    frames = [np.arange(4, dtype=np.float32) + 4 * i for i in range(6)]
    buf.add(frames[0])  # before arming
    t, out = record_in_thread(buf, 3)
    buf.add(frames[1], drop_full=False)  # blocking mode does not feed the recording
    buf.get()
    for f in frames[2:]:
        buf.add(f)
    join(t)
    np.testing.assert_array_equal(out[0], np.concatenate(frames[2:5]))
    assert out[0].shape == (12,)
    assert "[tl.] Buffer: 3 frames\n" in capsys.readouterr().out
    assert not buf.rec_mutex.locked() and buf.rec_free_slots._value == 0
    assert len(list(buf.rec_queue.queue)) == 3  # kept until the next recording


@pytest.mark.parametrize("n", [0, -3])
def test_recording_size_below_one_is_refused_and_holds_nothing(n):
    buf = AudioBuffer()
    with pytest.raises(ValueError):
        buf.get_fixed_size_data(n)
    with pytest.raises(TypeError):
        buf.get_fixed_size_data("3")
    assert not buf.rec_mutex.locked()
    t, out = record_in_thread(buf, 1)
    buf.add(np.ones(2))
    join(t)
    assert out[0].tolist() == [1.0, 1.0]


# ---------------------------------------------------------------- FetchBuffer

def produce(buf, stop, samples=160):
    while not stop.is_set():
        buf.add(np.zeros(samples, dtype=np.float32))
        time.sleep(0.001)


def test_fetch_with_a_producer(capsys):
    buf = AudioBuffer()
    stop = threading.Event()
    producer = start(produce, buf, stop)
    try:
        data = FetchBuffer(buf).get_data(10, 5.0)
    finally:
        stop.set()
        join(producer)
    assert isinstance(data, np.ndarray) and data.shape == (1600,)
    assert "[tl.] Buffer: 10 frames" in capsys.readouterr().out


def test_fetch_times_out_then_join_collects_the_frames():
    buf = AudioBuffer()
    fetch = FetchBuffer(buf)
    began = time.monotonic()
    assert fetch.get_data(10, 0.5) is None
    assert 0.4 < time.monotonic() - began < 3.0
    assert fetch.is_alive() and fetch.daemon
    for i in range(10):
        buf.add(np.full(160, i, dtype=np.float32))
    data = fetch.join(WAIT)
    assert data.shape == (1600,) and data[-1] == 9.0


def test_fetch_argument_checks():
    buf = AudioBuffer()
    fetch = FetchBuffer(buf)
    with pytest.raises(TypeError, match=r"^Argument 'timeout' has incorrect type \(expected "
                                        r"float, got int\)$"):
        fetch.get_data(10, 5)
    assert not fetch.is_alive() and fetch.data is None
    assert fetch.get_data("10", 1.0) is None  # not an int: the thread ends at once
    assert not fetch.is_alive()
    with pytest.raises(RuntimeError):  # a thread runs once
        fetch.get_data(1, 0.1)
    with pytest.raises(TypeError, match="expected float, got int"):
        fetch.join(1)
    with pytest.raises(AssertionError, match="^Buffer error$"):
        FetchBuffer(None)


def test_display_after_fetch_waits_for_the_event():
    event = threading.Event()
    waiter = start(display_after_fetch, event)
    time.sleep(0.1)
    assert waiter.is_alive()
    event.set()
    join(waiter)
    assert display_after_fetch(event) is None  # already set: returns at once


# ---------------------------------------------------------------- the primitives

def test_lock_can_be_released_by_another_thread():
    lock = buffer_module.Lock()
    assert lock.acquire()
    assert lock.acquire(timeout=0.05) is False and lock.acquire(False) is False
    join(start(lock.release))
    assert not lock.locked()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        lock.release()
    with lock:
        assert lock.locked()


def test_semaphore_and_queue_waits_time_out():
    sem = buffer_module.Semaphore(0)
    assert sem.acquire(timeout=0.05) is False
    sem._value = 2
    assert sem.acquire() and sem.acquire(timeout=0.05) and sem._value == 0
    with pytest.raises(ValueError):
        buffer_module.Semaphore(-1)

    q = buffer_module.Queue(1)
    q.put("a")
    with pytest.raises(queue.Full):
        q.put("b", timeout=0.05)
    q.maxsize = 2
    q.put_nowait("b")
    assert list(q.queue) == ["a", "b"] and q.queue[-1] == "b" and len(q.queue) == 2
    q.queue.clear()
    assert q.empty()
    with pytest.raises(queue.Empty):
        q.get(timeout=0.05)
    with q.mutex:  # holding the queue's own lock keeps put out
        t = start(q.put, "c")
        time.sleep(0.05)
        assert t.is_alive()
    join(t)
    assert q.get_nowait() == "c"


# ---------------------------------------------------------------- GIL and Ctrl-C

def test_get_releases_the_gil():
    # In a child process: if get kept the GIL, the counting thread would stall
    # and the child would be killed by the time limit.
    result = run_python("""
        import threading, time
        from tavol.core.buffer import AudioBuffer
        buf = AudioBuffer()
        got = []
        t = threading.Thread(target=lambda: got.append(buf.get()), daemon=True)
        t.start()
        time.sleep(0.05)
        count, end = 0, time.monotonic() + 0.5
        while time.monotonic() < end:
            count += 1
        buf.add("frame")
        t.join(5)
        print(count, got)
    """)
    assert result.returncode == 0, result.stderr
    count, got = result.stdout.split(maxsplit=1)
    assert int(count) > 10000 and got.strip() == "['frame']"


def test_waiter_gets_its_frame_while_the_adder_keeps_running_python():
    # The adder never waits, so it never hands the GIL over through the buffer:
    # the woken getter must still take the GIL at the interpreter's next switch,
    # well before the adder's busy loop ends.
    result = run_python("""
        import threading, time
        from tavol.core.buffer import AudioBuffer
        buf = AudioBuffer()
        got_at = []
        t = threading.Thread(target=lambda: (buf.get(), got_at.append(time.monotonic())))
        t.start()
        time.sleep(0.05)
        buf.add("frame")
        start = time.monotonic()
        while time.monotonic() < start + 1.0:
            pass
        t.join(5)
        print(got_at[0] - start)
    """)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 0.5


def test_ctrl_c_interrupts_waits_in_the_main_thread():
    result = run_python("""
        import os, signal, threading
        import numpy as np
        from tavol.core.buffer import AudioBuffer

        def interrupt_soon():
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()

        buf = AudioBuffer()
        for wait in (buf.get, lambda: buf.get_fixed_size_data(2)):
            interrupt_soon()
            try:
                wait()
                print("returned")
            except KeyboardInterrupt:
                print("interrupted")
        # nothing was left held: both calls work again
        assert buf.clear_get._value == 1 and not buf.rec_mutex.locked()
        assert buf.rec_free_slots._value == 0
        buf.add("A")
        print(buf.get())
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if not line.startswith("[tl.] Buffer")]
    assert lines == ["interrupted", "interrupted", "A"]


def test_waiting_fetch_does_not_keep_the_interpreter_alive():
    result = run_python("""
        from tavol.core.buffer import AudioBuffer, FetchBuffer
        print(FetchBuffer(AudioBuffer()).get_data(5, 0.1))
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "None"


# ---------------------------------------------------------------- churn

class Tracked:
    """A frame that notes which thread let go of it last."""
    __slots__ = ("key", "__weakref__")
    released = {}

    def __init__(self, key):
        self.key = key

    def __del__(self):
        Tracked.released[self.key] = threading.get_ident()


def consume(buf, delivered, stop_marker, pause_every=50):
    while True:
        frame = buf.get()
        if frame is stop_marker:
            return
        delivered.append(frame.key if isinstance(frame, Tracked) else tuple(frame.tolist()))
        del frame
        if len(delivered) % pause_every == 0:
            time.sleep(0.0005)  # a consumer waiting in get blocks clear; let some through


def run_threads(targets):
    threads = [start(fn, *args) for fn, *args in targets]
    return threads


def assert_in_order(delivered):
    last = {}
    for producer, seq in delivered:
        assert seq > last.get(producer, -1), "frames of one producer out of order"
        last[producer] = seq


@pytest.mark.slow
@pytest.mark.timeout(300)
def test_churn_of_producers_consumers_and_clears():
    stop_marker = object()
    # Each phase churns for a while, then until it has seen enough to judge by:
    # counts, not a clock, decide when it ends, so a loaded machine only makes
    # it slower.
    phase_seconds, phase_limit = 2.0, 120.0

    # Phase 1, blocking mode: every frame is delivered exactly once or
    # removed by a clear (then let go in the clearing thread); none is lost.
    buf = AudioBuffer(4)
    Tracked.released.clear()
    stop = threading.Event()
    produced = {}
    clears = {"thread": None, "done": 0}

    def blocking_producer(p):
        seq = 0
        while not stop.is_set():
            buf.add(Tracked((p, seq)), drop_full=False)
            seq += 1
            produced[p] = seq
            if seq % 37 == 0:
                time.sleep(0.0005)  # clear needs a moment with no add under way

    def clearer():
        clears["thread"] = threading.get_ident()
        while not stop.is_set():
            if buf.clear():
                clears["done"] += 1
            time.sleep(0.0002)

    delivered = [[] for _ in range(3)]
    consumers = run_threads([(consume, buf, d, stop_marker) for d in delivered])
    workers = run_threads([(blocking_producer, p) for p in range(3)] + [(clearer,)])
    time.sleep(phase_seconds)
    wait_until(lambda: sum(produced.values()) > 1000 and clears["done"] > 0, phase_limit)
    stop.set()
    for t in workers:
        join(t)
    for _ in consumers:
        buf.add(stop_marker, drop_full=False)
    for t in consumers:
        join(t)
    gc.collect()

    clear_thread, successful_clears = clears["thread"], clears["done"]
    all_delivered = [k for d in delivered for k in d]
    assert len(all_delivered) == len(set(all_delivered)), "a frame was delivered twice"
    for d in delivered:
        assert_in_order(d)
    delivered_set = set(all_delivered)
    cleared = 0
    for p, n in produced.items():
        for seq in range(n):
            key = (p, seq)
            assert key in Tracked.released, f"frame {key} never let go"
            if key not in delivered_set:
                assert Tracked.released[key] == clear_thread, f"frame {key} lost"
                cleared += 1
    assert sum(produced.values()) > 1000
    assert successful_clears > 0 and cleared <= successful_clears * buf.buffer_size
    assert_balanced(buf)

    # Phase 2, both modes at once, clears and recordings: nothing is
    # delivered twice or out of order, recordings hold consecutive frames of
    # the drop-mode producers, and the buffer ends balanced.
    buf = AudioBuffer(4)
    stop, stop_recording = threading.Event(), threading.Event()
    recordings = []

    def producer(p, drop):
        seq = 0
        while not stop.is_set():
            buf.add(np.array([p, seq]), drop_full=drop)
            seq += 1
            if seq % 37 == 0:
                time.sleep(0.0005)

    def recorder():
        while not stop_recording.is_set():
            recordings.append(buf.get_fixed_size_data(4).reshape(4, 2))

    delivered = [[] for _ in range(3)]
    consumers = run_threads([(consume, buf, d, stop_marker) for d in delivered])
    producers = run_threads([(producer, 0, True), (producer, 1, True), (producer, 2, False),
                             (clearer,)])
    rec = start(recorder)
    time.sleep(phase_seconds)
    wait_until(lambda: len(recordings) > 10 and sum(map(len, delivered)) > 100, phase_limit)
    stop_recording.set()
    join(rec)  # completes while the drop-mode producers still run
    stop.set()
    for t in producers:
        join(t)
    for _ in consumers:
        buf.add(stop_marker, drop_full=False)
    for t in consumers:
        join(t)

    all_delivered = [k for d in delivered for k in d]
    assert len(all_delivered) == len(set(all_delivered)) > 100
    for d in delivered:
        assert_in_order(d)
    assert len(recordings) > 10
    for r in recordings:
        assert set(r[:, 0]) <= {0, 1}, "a blocking-mode frame was recorded"
        assert_in_order([tuple(row) for row in r])
    assert_balanced(buf)
    assert buf.size() == 0 and not buf.rec_mutex.locked()
