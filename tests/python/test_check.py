import pickle
import pprint
import types

import pytest

import tavol.util.colors
import tavol.util.tools
from tavol.util import check

R = "=" * 52


def record(index, name, inputs, outputs=0, rate=44100.0):
    return {
        "index": index,
        "name": name,
        "maxInputChannels": inputs,
        "maxOutputChannels": outputs,
        "defaultSampleRate": rate,
        "structVersion": 2,
    }


class FakeStream:
    def __init__(self, owner):
        self.owner = owner

    def close(self):
        self.owner.closed += 1


class FakePyAudio:
    """PortAudio stand-in: `devices` by global index, host API 0 lists `host` (default: all).
    `accepts[index]` is the set of (rate, channels) pairs a device opens with; missing
    means: any rate, up to its maximum input channel count."""

    def __init__(self, devices, host=None, accepts=None):
        self.devices = devices
        self.host = devices if host is None else host
        self.accepts = accepts or {}
        self.opened = []
        self.closed = 0
        self.terminated = False

    def get_host_api_info_by_index(self, index):
        if index != 0:
            raise OSError("Invalid host api info")
        return {"index": 0, "name": "Fake", "deviceCount": len(self.host)}

    def get_device_info_by_host_api_device_index(self, api, i):
        assert api == 0
        return self.host[i]

    def get_device_info_by_index(self, i):
        if not 0 <= i < len(self.devices):
            raise OSError("[Errno -9996] Invalid device index")
        return self.devices[i]

    def get_device_count(self):
        return len(self.devices)

    def open(self, **kwargs):
        self.opened.append(kwargs)
        index, rate, channels = kwargs["input_device_index"], kwargs["rate"], kwargs["channels"]
        allowed = self.accepts.get(index)
        ok = (
            (rate, channels) in allowed
            if allowed is not None
            else channels <= self.devices[index]["maxInputChannels"]
        )
        if not ok:
            raise OSError("[Errno -9997] Invalid sample rate")
        return FakeStream(self)

    def terminate(self):
        self.terminated = True


@pytest.fixture
def fake(monkeypatch):
    """Installs a fake pyaudio module; returns a function that sets its devices."""
    made = []
    state = {"args": ([],), "kwargs": {}}

    def factory():
        audio = FakePyAudio(*state["args"], **state["kwargs"])
        made.append(audio)
        return audio

    module = types.SimpleNamespace(PyAudio=factory, paInt16=8, made=made)
    monkeypatch.setattr(check, "pyaudio", module)

    def configure(*args, **kwargs):
        state["args"], state["kwargs"] = args, kwargs
        return module

    return configure


# Host with an output-only device 0, capable devices 1 and 3, and a device 2 that refuses all.
def four_devices():
    return [
        record(0, "speaker", 0, 2),
        record(1, "usb mic", 2, 0, 48000.0),
        record(2, "broken mic", 1),
        record(3, "array mic", 4, 0, 16000.0),
    ]


def test_module_surface():
    assert check.__all__ == ["is_available", "check_device", "CheckDevice"]
    assert check.pprint is pprint.pprint
    assert check.timer is tavol.util.tools.timer
    assert check.color_test is tavol.util.colors.color_test
    assert check.check_device.__wrapped__.__name__ == "check_device"  # decorated by timer
    for fn in (check.is_available, check.check_device):
        assert pickle.loads(pickle.dumps(fn)) is fn
    cls = check.CheckDevice
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__doc__ is None
    assert cls.standard_rate == [192000, 96000, 88200, 64000, 48000, 44100, 32000, 22050,
                                 16000, 11025, 8000, 6000]


def test_fresh_instance(fake):
    audio = fake(four_devices())
    cd = check.CheckDevice()
    assert cd.p is audio.made[0]
    assert (cd.frame_size, cd.device, cd.rate) == (1024, None, None)
    assert not hasattr(cd, "channels")
    assert check.CheckDevice(frame_size=256).frame_size == 256


def test_listing(fake, capsys):
    devices = four_devices()
    fake(devices, host=devices[:2])
    cd = check.CheckDevice()
    listing = cd("x")
    assert listing == [
        {"Device": "speaker", "index": 0, "fs": 44100.0, "out": 2, "in": 0},
        {"Device": "usb mic", "index": 1, "fs": 48000.0, "out": 0, "in": 2},
    ]
    assert [list(entry) for entry in listing] == [["Device", "index", "fs", "out", "in"]] * 2
    assert capsys.readouterr().out == (
        f"x\n{R}\n"
        "[tl.] Name:speaker, index:0, in:0, out:2\n"
        "[tl.] Name:usb mic, index:1, in:2, out:0\n"
        f"{R}\n\n"
    )
    cd()
    assert capsys.readouterr().out.startswith("device\n")


def test_empty_host(fake, capsys):
    fake([])
    assert check.CheckDevice().system_devices() == []
    assert capsys.readouterr().out == f"{R}\n{R}\n\n"


def test_probe(fake, capsys):
    devices = four_devices()
    devices[1]["defaultSampleRate"] = 44100.9  # truncated, not rounded
    audio = fake(devices, accepts={2: set(), 1: {(44100, 1), (16000, 1)}}).made
    cd = check.CheckDevice(frame_size=512)
    assert cd._is_input_device(0) is False  # no inputs: silent, nothing opened
    assert capsys.readouterr().out == ""
    assert cd._is_input_device(1) is True
    assert audio[0].opened[-1] == {
        "format": 8, "channels": 1, "input": True, "input_device_index": 1,
        "rate": 44100, "frames_per_buffer": 512,
    }
    assert audio[0].closed == 1
    assert cd._is_input_device(1, 96000) is False
    assert cd._is_input_device(9) is False
    assert capsys.readouterr().out == (
        "[tl.] [Errno -9997] Invalid sample rate [device:1, sr:96000]\n"
        "[tl.] [Errno -9996] Invalid device index [device:9, sr:None]\n"
    )
    # A record without the key is a failed probe too.
    devices[2] = {"name": "odd"}
    assert cd._is_input_device(2) is False
    assert capsys.readouterr().out == "[tl.] 'maxInputChannels' [device:2, sr:None]\n"


def test_check_available_rate(fake, capsys):
    fake(four_devices(), accepts={1: {(48000, 1), (44100, 1), (8000, 1)}, 3: {(16000, 1)}})
    cd = check.CheckDevice()
    with pytest.raises(TypeError) as raised:
        cd.check_available_rate(True)
    assert str(raised.value) == (
        "Argument 'device' has incorrect type (expected int, got bool)"
    )
    assert cd.check_available_rate(1) == [48000, 44100, 8000]
    assert cd.check_available_rate(device=3) == [16000]
    capsys.readouterr()
    assert cd.check_available_rate(0) is False
    assert capsys.readouterr().out == "[tl.] 此裝置無法使用: " + str(four_devices()[0]) + "\n"


def test_automatic_selection_takes_highest_capable_index(fake, capsys):
    audio = fake(four_devices(), accepts={2: set()}).made
    cd = check.CheckDevice()
    assert cd.input_device() == (3, 16000, 1)
    assert (cd.device, cd.rate, cd.channels) == (3, 16000, 1)
    out = capsys.readouterr().out
    assert out.startswith("[tl.] [Errno -9997] Invalid sample rate [device:2, sr:44100]\n"
                          "[tl.] 找到 2 個麥克風\n[tl.] 裝置3, 取樣頻率: 16000\n")
    assert out.count("[tl.] 選擇裝置:") == 1
    assert not audio[0].terminated


@pytest.mark.parametrize(
    "accepts, rate, expected",
    [
        # Device 1 always opens at its default rate, 48000.
        ({(12345, 1), (16000, 1)}, 12345, 12345),  # a working rate is kept
        ({(22050, 1), (44100, 1)}, 12345, 22050),
        ({(44100, 1)}, None, 44100),
        (set(), 96000, 48000),  # the device default, as an int
    ],
)
def test_rate_fallback(fake, capsys, accepts, rate, expected):
    fake(four_devices(), accepts={1: accepts | {(48000, 1)}})
    assert check.CheckDevice().input_device(1, rate=rate) == (1, expected, 1)
    assert f"[tl.] 裝置1, 取樣頻率: {expected}\n" in capsys.readouterr().out


def test_selection_failures(fake):
    devices = four_devices()
    fake(devices, accepts={2: set()})
    with pytest.raises(AssertionError) as raised:
        check.CheckDevice().input_device(2)
    assert str(raised.value) == "[tl.] 此裝置無法使用: " + str(devices[2])
    # A device that opens only with two channels fails the one-channel default probe.
    fake(devices, accepts={3: {(16000, 2)}})
    with pytest.raises(AssertionError):
        check.CheckDevice().input_device(3)
    fake([record(0, "speaker", 0, 2)])
    with pytest.raises(AssertionError, match="^\\[tl.\\] 系統沒有找到麥克風$"):
        check.CheckDevice().input_device()


def test_rate_error_after_fallbacks(fake):
    devices = four_devices()
    # Opens only with its default rate while probed with no rate given, which is 44100.
    calls = {"n": 0}

    class Flaky(FakePyAudio):
        def open(self, **kwargs):
            calls["n"] += 1
            if calls["n"] > 1:
                raise OSError("busy")
            return super().open(**kwargs)

    check_module = check.pyaudio
    check_module.PyAudio = lambda: Flaky(devices)
    with pytest.raises(Exception) as raised:
        check.CheckDevice().input_device(1)
    assert type(raised.value) is Exception
    assert str(raised.value) == "[tl.] 此裝置取樣頻率錯誤: " + str(devices[1])


def test_channels(fake, capsys):
    devices = four_devices()
    audio = fake(devices, accepts={1: {(48000, 1), (16000, 1), (16000, 2)}, 3: {(16000, 1)}}).made
    assert check.CheckDevice().input_device(1, 16000, channels=2) == (1, 16000, 2)
    # The selection is confirmed with a stream of the chosen channel count.
    assert audio[-1].opened[-1]["channels"] == 2
    capsys.readouterr()
    assert check.CheckDevice().input_device(1, 16000, channels=5) == (1, 16000, 1)
    assert ("[tl.] 使用者設定通道數無法使用(可能設定值大於裝置最大通道數): " + str(devices[1])
            in capsys.readouterr().out)
    # Within the device maximum, but the device will not open that many.
    with pytest.raises(Exception) as raised:
        check.CheckDevice().input_device(3, 16000, channels=4)
    assert str(raised.value) == "[tl.] 此裝置通道設定(4)錯誤: " + str(devices[3])


def test_report_on_fresh_object_selects_first(fake, capsys):
    devices = [record(0, "mic", 2, 1, 44100.0)]
    fake(devices)
    cd = check.CheckDevice()
    assert cd.show_current_device_info() is None
    assert (cd.device, cd.rate, cd.channels) == (0, 16000, 1)
    assert capsys.readouterr().out == (
        "[tl.] 找到 1 個麥克風\n"
        "[tl.] 裝置0, 取樣頻率: 16000\n"
        f"{R}\n"
        "[tl.] 選擇裝置:\n"
        + pprint.pformat(devices[0]) + "\n"
        "裝置名稱: mic\n"
        "裝置編號: 0\n"
        "最大輸入通道: 2\n"
        "最大輸出通道: 1\n"
        "預設取樣頻率: 44100.0\n"
        "取樣頻率: 16000 Hz\n"
        "通道數: 1\n"
        "框大小: 1024\n"
        "預測更新頻率: 15.62\n"
        f"{R}\n"
        "\n\n"
    )


def test_context_manager_terminates_and_never_suppresses(fake):
    audio = fake(four_devices()).made
    with check.CheckDevice() as cd:
        assert isinstance(cd, check.CheckDevice)
    assert audio[-1].terminated
    with pytest.raises(KeyError):
        with check.CheckDevice():
            raise KeyError("inner")
    assert audio[-1].terminated


def test_check_device_without_microphone(fake, capsys):
    audio = fake([record(0, "speaker", 0, 2)]).made
    assert check.check_device() is False
    out = capsys.readouterr().out
    assert "class CheckDevice" in out and "input_device(" in out
    assert "[tl.] 系統沒有找到麥克風\n" in out
    assert "[tl.] Audio test" not in out
    assert audio[-1].terminated


def test_check_device_success_and_broken_backend(fake, capsys, monkeypatch):
    audio = fake(four_devices()).made
    helped = []
    monkeypatch.setattr(check, "help", helped.append, raising=False)
    assert check.check_device() is True
    assert helped == [check.CheckDevice]
    assert "[tl.] Audio test\n" in capsys.readouterr().out
    assert audio[-1].terminated

    def refuse():
        raise OSError("no PortAudio")

    check.pyaudio.PyAudio = refuse
    assert check.check_device() is False
    assert "no PortAudio\n" in capsys.readouterr().out


@pytest.mark.parametrize("colour, audio_ok, expected", [(0, True, 0), (True, False, False),
                                                        ("yes", True, True)])
def test_is_available_runs_both(monkeypatch, colour, audio_ok, expected):
    calls = []
    monkeypatch.setattr(check, "color_test", lambda text: calls.append(text) or colour)
    monkeypatch.setattr(check, "check_device", lambda: calls.append("audio") or audio_ok)
    assert check.is_available() is expected
    assert calls == ["[tl.] Color test", "audio"]


@pytest.mark.timeout(120)
def test_real_pyaudio_lists_or_fails_cleanly(capsys):
    import pyaudio

    assert check.pyaudio is pyaudio
    try:
        cd = check.CheckDevice()
    except OSError:
        return
    with cd:
        try:
            listing = cd.system_devices()
        except OSError:
            listing = None
    if listing is not None:
        assert all(list(e) == ["Device", "index", "fs", "out", "in"] for e in listing)
    assert check.check_device() in (True, False)


def test_asserts_are_skipped_under_optimisation():
    # Under -O the unusable-device assert is not even evaluated: the selection goes on
    # to the rate fallbacks and fails there.
    code = """
import types
from tavol.util import check

class Audio:
    def get_device_info_by_index(self, i):
        return {"index": i, "maxInputChannels": 1, "defaultSampleRate": 8000.0}
    def open(self, **kwargs):
        raise OSError("refused")

check.pyaudio = types.SimpleNamespace(PyAudio=Audio, paInt16=8)
try:
    check.CheckDevice().input_device(0)
except AssertionError:
    print("assert")
except Exception as e:
    print(type(e).__name__, str(e).split(":")[0])
"""
    import subprocess
    import sys

    for flags, expected in [([], "assert"), (["-O"], "Exception [tl.] 此裝置取樣頻率錯誤")]:
        out = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True,
                             text=True, timeout=60, check=True).stdout
        assert out.splitlines()[-1] == expected
