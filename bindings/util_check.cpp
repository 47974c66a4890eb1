// tavol.util.check: lists the host's audio input devices and finds a device,
// sample rate and channel count that can really capture.
//
// Every device query and probe stream goes through the module's bound
// `pyaudio` (looked up at call time, so callers can substitute it); status
// lines are printed through Python's print.
#include <pybind11/pybind11.h>

#include <string>

#include "support/imports.hpp"
#include "support/support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr int kDefaultFrameSize = 1024;
// Standard rates, highest first, tried by check_available_rate.
constexpr int kStandardRates[] = {192000, 96000, 88200, 64000, 48000, 44100,
                                  32000,  22050, 16000, 11025, 8000,  6000};
// Rates input_device falls back to, in this order, before the device default.
constexpr int kFallbackRates[] = {16000, 22050, 44100};
constexpr const char *kColorTestText = "[tl.] Color test";
constexpr const char *kMsgNoMic = "[tl.] 系統沒有找到麥克風";
constexpr const char *kMsgUnusable = "[tl.] 此裝置無法使用: ";
constexpr const char *kMsgBadRate = "[tl.] 此裝置取樣頻率錯誤: ";
constexpr const char *kMsgChannelsTooMany =
    "[tl.] 使用者設定通道數無法使用(可能設定值大於裝置最大通道數): ";
constexpr const char *kMsgAudioTest = "[tl.] Audio test";

// The rule line printed around listings and reports.
std::string rule() { return std::string(52, '='); }

// A name as a Python function body would see it: module global, else builtin.
py::object global(const py::module_ &m, const char *name) {
  if (py::hasattr(m, name))
    return m.attr(name);
  return py::module_::import("builtins").attr(name);
}

py::object device_info(const py::object &self_, const py::object &device) {
  return self_.attr("get_device_info")(device);
}

bool probe(const py::object &self_, const py::object &device, const py::object &sr = py::none(),
           const py::object &channels = py::none()) {
  return py::bool_(self_.attr("_is_input_device")(device, sr, channels));
}

// ---------------------------------------------------------------- CheckDevice

void init(py::object self_, py::object frame_size) {
  self_.attr("p") = self().attr("pyaudio").attr("PyAudio")();
  self_.attr("frame_size") = frame_size;
  self_.attr("device") = py::none();
  self_.attr("rate") = py::none();
}

py::list system_devices(py::object self_) {
  py::object p = self_.attr("p");
  py::object count = p.attr("get_host_api_info_by_index")(0).attr("get")("deviceCount");
  print(rule());
  py::list devices;
  for (py::handle i : py::module_::import("builtins").attr("range")(count)) {
    py::object info = p.attr("get_device_info_by_host_api_device_index")(0, i);
    py::object index = info.attr("get")("index");
    py::object rate = info.attr("get")("defaultSampleRate");
    py::object name = info.attr("get")("name");
    py::object outputs = info.attr("get")("maxOutputChannels");
    py::object inputs = info.attr("get")("maxInputChannels");
    py::dict entry;
    entry["Device"] = name;
    entry["index"] = index;
    entry["fs"] = rate;
    entry["out"] = outputs;
    entry["in"] = inputs;
    devices.append(entry);
    print("[tl.] Name:" + text(name) + ", index:" + text(index) + ", in:" + text(inputs) +
          ", out:" + text(outputs));
  }
  print(rule() + "\n");
  return devices;
}

// Opens and closes a 16-bit input stream on `device`; any failure is reported
// and gives False. The stream has the channel count asked for (1 when none),
// so a selection is only confirmed for the channels it will use.
bool is_input_device(py::object self_, py::object device, py::object sr, py::object channels) {
  try {
    py::object info = device_info(self_, device);
    if (!(py::object(info["maxInputChannels"]) > py::int_(0)))
      return false;
    if (sr.is_none())
      sr = py::int_(info["defaultSampleRate"]);
    py::module_ m = self();
    py::object stream = self_.attr("p").attr("open")(
        "format"_a = m.attr("pyaudio").attr("paInt16"),
        "channels"_a = channels.is_none() ? py::object(py::int_(1)) : channels, "input"_a = true,
        "input_device_index"_a = device, "rate"_a = sr,
        "frames_per_buffer"_a = self_.attr("frame_size"));
    stream.attr("close")();
    return true;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception))
      throw;
    print("[tl.] " + text(e.value()) + " [device:" + text(device) + ", sr:" + text(sr) + "]");
    return false;
  }
}

py::object check_available_rate(py::object self_, py::object device) {
  check_exact_type(device, "device", &PyLong_Type);
  if (!probe(self_, device)) {
    print(kMsgUnusable + text(device_info(self_, device)));
    return py::bool_(false);
  }
  py::list rates;
  for (py::handle rate : self_.attr("standard_rate"))
    if (probe(self_, device, py::reinterpret_borrow<py::object>(rate)))
      rates.append(rate);
  return rates;
}

py::object input_device(py::object self_, py::object device, py::object rate, py::object channels) {
  if (device.is_none()) {
    py::list mics;
    for (py::handle d :
         py::module_::import("builtins").attr("range")(self_.attr("p").attr("get_device_count")()))
      if (probe(self_, py::reinterpret_borrow<py::object>(d)))
        mics.append(d);
    py_assert(py::len(mics) > 0, py::str(kMsgNoMic));
    print("[tl.] 找到 " + std::to_string(py::len(mics)) + " 個麥克風");
    device = mics[py::int_(-1)];
  }
  // `assert probe(device), message`: skipped entirely under -O.
  if (assertions_enabled() && !probe(self_, device))
    py_assert(false, py::str(kMsgUnusable + text(device_info(self_, device))));

  if (rate.is_none() || !probe(self_, device, rate)) {
    rate = py::none();
    for (int r : kFallbackRates) {
      if (probe(self_, device, py::int_(r))) {
        rate = py::int_(r);
        break;
      }
    }
    if (rate.is_none())
      rate = py::int_(device_info(self_, device)["defaultSampleRate"]);
  }
  if (!probe(self_, device, rate)) {
    PyErr_SetString(PyExc_Exception, (kMsgBadRate + text(device_info(self_, device))).c_str());
    throw py::error_already_set();
  }
  print("[tl.] 裝置" + text(device) + ", 取樣頻率: " + text(rate));

  if (channels.is_none()) {
    channels = py::int_(1);
  } else if (!(py::object(device_info(self_, device)["maxInputChannels"]) >= channels)) {
    print(kMsgChannelsTooMany + text(device_info(self_, device)));
    channels = py::int_(1);
  }
  if (!probe(self_, device, rate, channels)) {
    const std::string message =
        "[tl.] 此裝置通道設定(" + text(channels) + ")錯誤: " + text(device_info(self_, device));
    PyErr_SetString(PyExc_Exception, message.c_str());
    throw py::error_already_set();
  }
  self_.attr("device") = device;
  self_.attr("rate") = rate;
  self_.attr("channels") = channels;
  self_.attr("show_current_device_info")();
  return py::make_tuple(self_.attr("device"), self_.attr("rate"), self_.attr("channels"));
}

void show_current_device_info(py::object self_) {
  if (self_.attr("device").is_none() || self_.attr("rate").is_none()) {
    self_.attr("input_device")();
    return;
  }
  py::object info = device_info(self_, self_.attr("device"));
  py::object rate = self_.attr("rate");
  py::object frame_size = self_.attr("frame_size");
  const auto field = [&](const char *key) { return text(info[py::str(key)]); };
  print(rule());
  print("[tl.] 選擇裝置:");
  global(self(), "pprint")(info);
  print("裝置名稱: " + field("name"));
  print("裝置編號: " + field("index"));
  print("最大輸入通道: " + field("maxInputChannels"));
  print("最大輸出通道: " + field("maxOutputChannels"));
  print("預設取樣頻率: " + field("defaultSampleRate"));
  print("取樣頻率: " + text(rate) + " Hz");
  print("通道數: " + text(self_.attr("channels")));
  print("框大小: " + text(frame_size));
  const py::object update_rate = rate / frame_size;
  print("預測更新頻率: " +
        text(py::module_::import("builtins").attr("format")(update_rate, ".2f")));
  print(rule());
  print("\n");
}

py::object make_check_device() {
  py::object cls = make_class(kModule, "CheckDevice", object_bases());
  py::list rates;
  for (int r : kStandardRates)
    rates.append(r);
  cls.attr("standard_rate") = rates;
  add_method(cls, "__init__", &init, "frame_size"_a = kDefaultFrameSize);
  add_method(
      cls, "__call__",
      [](py::object s, py::object m) {
        print(text(m));
        return s.attr("system_devices")();
      },
      "m"_a = "device");
  add_method(cls, "__enter__", [](py::object s) { return s; });
  add_method(
      cls, "__exit__",
      [](py::object s, py::object, py::object, py::object) { s.attr("terminate")(); }, "exc_type"_a,
      "exc_val"_a, "exc_tb"_a);
  add_method(cls, "terminate", [](py::object s) { s.attr("p").attr("terminate")(); });
  add_method(cls, "system_devices", &system_devices);
  add_method(
      cls, "get_device_info",
      [](py::object s, py::object device_index) {
        return s.attr("p").attr("get_device_info_by_index")(device_index);
      },
      "device_index"_a);
  add_method(cls, "_is_input_device", &is_input_device, "device"_a, "sr"_a = py::none(),
             "channels"_a = py::none());
  add_method(cls, "check_available_rate", &check_available_rate, "device"_a);
  add_method(cls, "input_device", &input_device, "device"_a = py::none(), "rate"_a = py::none(),
             "channels"_a = py::none());
  add_method(cls, "show_current_device_info", &show_current_device_info);
  return cls;
}

// ---------------------------------------------------------------- self-test

bool check_device() {
  py::module_ m = self();
  try {
    global(m, "help")(m.attr("CheckDevice"));
    py::object cd = m.attr("CheckDevice")();
    with_context(cd, [](const py::object &entered) {
      entered.attr("system_devices")();
      unpack(entered.attr("input_device")(), 3);
    });
    print(kMsgAudioTest);
    return true;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception))
      throw;
    print(text(e.value()));
    return false;
  }
}

py::object is_available() {
  py::module_ m = self();
  py::object colour = m.attr("color_test")(kColorTestText);
  py::object audio = m.attr("check_device")();
  return py::bool_(colour) ? audio : colour;
}

} // namespace

PYBIND11_MODULE(check, m) {
  register_translators();
  m.doc() = "Audio input device listing, probing and selection.";

  bind_lazily(m, {{"pyaudio", "pyaudio", nullptr, nullptr, "audio"}});
  m.attr("pprint") = py::module_::import("pprint").attr("pprint");
  m.attr("timer") = py::module_::import("tavol.util.tools").attr("timer");
  m.attr("color_test") = py::module_::import("tavol.util.colors").attr("color_test");
  m.attr("__all__") = py::list(py::make_tuple("is_available", "check_device", "CheckDevice"));

  m.attr("CheckDevice") = make_check_device();
  m.def("is_available", &is_available,
        "Runs the colour test, then the audio device check; True only when both pass.");
  m.def("check_device", &check_device,
        "Lists the input devices and selects one, printing what it chose; True when a device "
        "could be selected.");
  finish_module(m);
  // Decorated once, as a Python module would be at import.
  m.attr("check_device") = m.attr("timer")(m.attr("check_device"));
}
