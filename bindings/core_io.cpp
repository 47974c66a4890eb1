// tavol.core.io: gathering, loading, saving and copying WAV files.
//
// Path handling follows pathlib and re (called through this module's bound
// names); decoding, resampling, 16-bit writing and the parallel batch loader
// run in the native core with the GIL released.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/imports.hpp"
#include "support/support.hpp"
#include "tavol/arena.hpp"
#include "tavol/audio_file.hpp"
#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/resample.hpp"
#include "tavol/wav_writer.hpp"
#include "tavol/worker_pool.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kExt = ".wav";
constexpr const char *kMsgExists = "[tl.] 檔案已經存在: ";
constexpr const char *kMsgRenamed = "[tl.] 重新命名檔案: ";
constexpr const char *kMsgOverwrite = "[tl.] 已覆蓋原檔案: ";
constexpr const char *kMsgBroken = "[tl.] File broken or Not exists! : ";
constexpr const char *kMsgUnexpected = "[tl.] Found unexpected file";
constexpr const char *kMsgNotFolder = "[tl.] 輸入並非路徑➡";
constexpr const char *kMsgRates = "[tl.load_waves] Different audio sampling frequencies";
constexpr const char *kDescLoading = "[tl.] Loading Audios:";
constexpr const char *kDescPooling = "[tl.load_waves] Pooling...";
constexpr const char *kDescStdLen = "[tl.load_waves] std_len ing...";

bool is_path_like(py::handle m, py::handle obj) {
  return py::isinstance<py::str>(obj) || py::isinstance(obj, m.attr("PurePath"));
}

// ---------------------------------------------------------------- path checks

// Paths are joined and printed as Python strings throughout, so names that
// are not valid UTF-8 (surrogate-escaped by the file system encoding) work.
py::str cat(const py::handle &a, const py::handle &b) { return py::str(a) + py::str(b); }

// Next free number for `path`: the largest N found by searching
// stem + sep + "(\d+)" in every entry under the parent matching stem + sep + "*",
// plus one; 2 when there is none.
long next_number(py::handle m, const py::object &path, const py::str &sep) {
  const py::str prefix = cat(path.attr("stem"), sep);
  const py::object pattern = m.attr("re").attr("compile")(cat(prefix, py::str("(\\d+)")));
  long best = 1;
  for (py::handle candidate : path.attr("parent").attr("rglob")(cat(prefix, py::str("*")))) {
    py::object found = pattern.attr("search")(py::str(candidate));
    if (found.is_none())
      continue;
    best = std::max(best, py::int_(found.attr("group")(1)).cast<long>());
  }
  return best + 1;
}

py::str check_path(py::object path, py::object exist_ok, const std::string &sep) {
  py::module_ m = self();
  py::object p = to_path(m, path);
  if (!p.attr("exists")().cast<bool>() || py::bool_(exist_ok))
    return py::str(p);
  const py::str separator(sep);
  return cat(cat(p, separator), py::str(std::to_string(next_number(m, p, separator))));
}

py::str check_file(py::object file_dir, py::object rename, const std::string &sep) {
  py::module_ m = self();
  py::object p = to_path(m, file_dir);
  if (p.attr("is_dir")().cast<bool>())
    p = p.attr("__truediv__")("unknow");
  p = p.attr("with_suffix")(m.attr("__exp__"));
  if (p.attr("is_file")().cast<bool>()) {
    tavol::bind::print(cat(py::str(kMsgExists), p));
    if (py::bool_(rename)) {
      // The number goes after the whole stem and the extension is appended, so
      // a dotted stem such as "take.1" gives "take.1_2.wav", never "take.wav".
      const py::str separator(sep);
      const long n = next_number(m, p, separator);
      const py::str name =
          cat(cat(cat(p.attr("stem"), separator), py::str(std::to_string(n))), m.attr("__exp__"));
      p = p.attr("parent").attr("__truediv__")(name);
      tavol::bind::print(cat(py::str(kMsgRenamed), p));
    } else {
      tavol::bind::print(cat(py::str(kMsgOverwrite), p));
    }
  }
  p.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  return py::str(p);
}

// `chain` holds the real paths of the list files being expanded, so a list
// that names itself (directly or through others) is rejected, not re-read.
void check_input_into(py::handle m, py::handle input, py::list &right, py::list &wrong,
                      std::vector<std::string> &chain) {
  RecursionGuard guard(" in check_input");
  if (PyList_Check(input.ptr()) || PyTuple_Check(input.ptr())) {
    for (py::handle item : input)
      check_input_into(m, item, right, wrong, chain);
    return;
  }
  if (!py::bool_(py::reinterpret_borrow<py::object>(input)) || !is_path_like(m, input)) {
    wrong.append(input);
    return;
  }
  py::object p = to_path(m, input);
  const bool is_file = p.attr("is_file")().cast<bool>();
  const py::object suffix = is_file ? p.attr("suffix") : py::str();
  if (is_file && suffix.equal(py::str(".txt"))) {
    const std::string real = fs_path(m.attr("os").attr("path").attr("realpath")(p));
    if (std::find(chain.begin(), chain.end(), real) != chain.end()) {
      wrong.append(py::str(p));
      return;
    }
    py::object content;
    {
      py::object file = py::module_::import("builtins").attr("open")(p);
      try {
        content = file.attr("read")();
      } catch (...) {
        file.attr("close")();
        throw;
      }
      file.attr("close")();
    }
    chain.push_back(real);
    for (py::handle line : content.attr("strip")().attr("splitlines")()) {
      py::object entry = line.attr("strip")();
      if (py::len(entry) > 0)
        check_input_into(m, entry, right, wrong, chain);
    }
    chain.pop_back();
  } else if (is_file && suffix.equal(py::str(".wav"))) {
    right.append(p);
  } else if (is_file) {
    wrong.append(py::str(p));
  } else if (p.attr("is_dir")().cast<bool>()) {
    for (py::handle found : p.attr("rglob")("*.wav"))
      right.append(found);
  } else {
    wrong.append(py::str(p));
  }
}

py::tuple check_input(py::object input) {
  py::module_ m = self();
  py::list right, wrong;
  std::vector<std::string> chain;
  check_input_into(m, input, right, wrong, chain);
  return py::make_tuple(right, wrong);
}

// ---------------------------------------------------------------- loading

// (samples, rate) for a decoded view, the samples kept alive by `owner`.
py::object wave_pair(const tavol::AudioView &view, std::shared_ptr<void> owner) {
  std::vector<py::ssize_t> shape;
  if (view.channels == 1)
    shape = {static_cast<py::ssize_t>(view.frames)};
  else
    shape = {view.channels, static_cast<py::ssize_t>(view.frames)};
  return py::make_tuple(to_numpy(view.samples, std::move(shape), std::move(owner)), view.rate);
}

py::object report_broken(py::handle wav_dir) {
  // Concatenated as Python strings: a name that is not valid UTF-8 is printed
  // as print() prints it.
  tavol::bind::print(py::str(kMsgBroken) + py::str(wav_dir));
  return py::none();
}

bool native_rate(py::handle sr, int *rate) {
  if (sr.is_none()) {
    *rate = 0;
    return true;
  }
  if (!PyLong_CheckExact(sr.ptr()))
    return false;
  const long value = sr.cast<long>();
  if (value < 1 || value > 1'000'000'000)
    return false;
  *rate = static_cast<int>(value);
  return true;
}

// librosa.load for what libsndfile cannot open (other containers, audioread).
// What it returns passes the native decoder's checks too: finite samples and
// a rate real audio can have, or the file is reported broken.
py::object librosa_load(py::handle wav_dir, py::handle sr, py::handle mono) {
  py::module_ m = self();
  try {
    py::object pair =
        m.attr("librosa").attr("load")(py::str(wav_dir), "sr"_a = sr, "mono"_a = mono);
    if (!m.attr("np").attr("isfinite")(pair[py::int_(0)]).attr("all")().cast<bool>() ||
        py::object(pair[py::int_(1)]) < py::int_(tavol::kMinAudioRate))
      return report_broken(wav_dir);
    return pair;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception))
      throw;
    return report_broken(wav_dir);
  }
}

// file_load, with the samples carved from `arena` when one is given (a batch
// of files) or else from memory of their own. Neither is zeroed first.
py::object file_load_into(py::object wav_dir, py::object sr, py::object mono,
                          tavol::FloatArena *arena) {
  py::str text;
  try {
    text = py::str(wav_dir);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception))
      throw;
    return report_broken(wav_dir);
  }
  const std::string path = fs_path(text); // ValueError for a NUL byte
  tavol::DecodeOptions options;
  if (!native_rate(sr, &options.target_rate))
    return librosa_load(wav_dir, sr, mono);
  options.mono = py::bool_(mono);
  std::optional<tavol::AudioView> view;
  std::shared_ptr<void> owner;
  bool unreadable = false;
  bool missing = false;
  {
    py::gil_scoped_release release;
    try {
      view = tavol::decode_file_into(path, options, [&](std::size_t count) -> float * {
        if (arena)
          return arena->allocate(count, &owner);
        std::shared_ptr<float[]> own = std::make_unique_for_overwrite<float[]>(count);
        owner = own;
        return own.get();
      });
    } catch (const tavol::UnreadableAudio &) {
      std::error_code ec;
      missing = !std::filesystem::exists(path, ec);
      unreadable = true;
    } catch (const std::exception &) {
      // corrupt data, or no memory for it: reported like any broken file
    }
  }
  if (view)
    return wave_pair(*view, std::move(owner));
  if (unreadable && !missing)
    return librosa_load(wav_dir, sr, mono);
  return report_broken(wav_dir);
}

py::object file_load(py::object wav_dir, py::object sr, py::object mono) {
  return file_load_into(std::move(wav_dir), std::move(sr), std::move(mono), nullptr);
}

// What load_wave loads: a str or PurePath naming an existing ".wav" file.
bool is_loadable(py::handle m, py::handle wave) {
  if (!is_path_like(m, wave))
    return false;
  py::object p = to_path(m, wave);
  return p.attr("is_file")().cast<bool>() && py::object(p.attr("suffix")).equal(py::str(".wav"));
}

[[noreturn]] void raise_unexpected(py::handle wave) {
  PyErr_SetObject(PyExc_Exception, py::make_tuple(kMsgUnexpected, wave).ptr());
  throw py::error_already_set();
}

// load_wave over a (possibly nested) list: the files of one call share an
// arena, so loading a corpus one file after another reuses the blocks of
// earlier batches instead of faulting in fresh pages for every file.
py::object load_wave_into(py::object wave, tavol::FloatArena *arena) {
  RecursionGuard guard(" in load_wave");
  py::module_ m = self();
  if (PyList_Check(wave.ptr()) || PyTuple_Check(wave.ptr())) {
    std::optional<tavol::FloatArena> batch;
    if (!arena)
      arena = &batch.emplace();
    py::list out;
    for (py::handle item : progress(m, wave, kDescLoading))
      out.append(load_wave_into(py::reinterpret_borrow<py::object>(item), arena));
    return out;
  }
  if (is_loadable(m, wave))
    return file_load_into(wave, py::none(), py::bool_(true), arena);
  raise_unexpected(wave);
}

py::object load_wave(py::object wave, py::object num) {
  if (!num.is_none())
    wave = wave[num];
  return load_wave_into(std::move(wave), nullptr);
}

// Decodes every file on `workers` native threads; the bar advances as files
// finish. The result is what load_wave gives for the same list, entry for
// entry: a file whose decoding fails in any way (memory included) is that
// file's broken entry, and an entry load_wave would refuse raises its
// Exception after the entries before it (and their messages).
py::list load_pooled(py::module_ &m, const py::list &files, int workers) {
  std::size_t n = files.size();
  std::optional<std::size_t> refused;
  std::vector<std::string> paths;
  paths.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_loadable(m, files[i])) {
      refused = i;
      n = i;
      break;
    }
    paths.push_back(fs_path(py::str(files[i])));
  }
  enum class Outcome { Pending, Loaded, Unreadable, Broken };
  struct Slot {
    Outcome outcome = Outcome::Pending;
    tavol::AudioView view;
    std::shared_ptr<void> owner;
  };
  std::vector<Slot> slots(n);
  tavol::FloatArena arena;

  tavol::WorkerPool pool(n, workers, [&](std::size_t i) {
    Slot &slot = slots[i];
    try {
      slot.view = tavol::decode_file_into(
          paths[i], {}, [&](std::size_t count) { return arena.allocate(count, &slot.owner); });
      slot.outcome = Outcome::Loaded;
    } catch (const tavol::UnreadableAudio &) {
      slot.outcome = Outcome::Unreadable;
    } catch (...) {
      slot.outcome = Outcome::Broken;
    }
  });
  wait_with_bar(m, pool, n, kDescPooling);

  py::list out;
  for (std::size_t i = 0; i < n; ++i) {
    Slot &slot = slots[i];
    switch (slot.outcome) {
    case Outcome::Loaded:
      out.append(wave_pair(slot.view, std::move(slot.owner)));
      break;
    case Outcome::Unreadable: // another decoder may still manage
      out.append(file_load(files[i], py::none(), py::bool_(true)));
      break;
    default:
      out.append(report_broken(files[i]));
    }
  }
  if (refused)
    raise_unexpected(files[*refused]);
  return out;
}

py::object load_waves(py::object wave, py::object use_pool, py::object std_len, py::object core_) {
  check_exact_type(core_, "core_", &PyLong_Type);
  py::module_ m = self();
  py::list files = check_input(wave)[0];
  py::list result;
  if (py::bool_(use_pool) && files.size() > tavol::kLoadPoolThreshold) {
    const long workers = core_.cast<long>();
    if (workers < 1 || workers > 4096)
      throw py::value_error("Number of processes must be at least 1");
    result = load_pooled(m, files, static_cast<int>(workers));
  } else {
    result = load_wave(files, py::none());
  }
  if (!py::bool_(std_len))
    return result;

  py::list ys, lens, srs;
  for (py::handle entry : result) {
    if (entry.is_none())
      throw py::type_error("cannot unpack non-iterable NoneType object");
    ys.append(entry[py::int_(0)]);
    lens.append(entry[py::int_(0)].attr("shape")[py::int_(0)]);
    srs.append(entry[py::int_(1)]);
  }
  py_assert(py::len(py::set(srs)) == 1, py::str(kMsgRates));
  py::object min_len = py::module_::import("builtins").attr("min")(lens);
  py::object slice = py::slice(py::none(), min_len, py::none());
  std::size_t i = 0;
  for (py::handle y : progress(m, py::list(ys), kDescStdLen))
    ys[i++] = y[slice];
  return py::make_tuple(ys, srs[0], min_len);
}

// ---------------------------------------------------------------- saving and copying

void save_wave(py::object path, py::object wave, py::object sr, py::object d_sample) {
  check_exact_type(sr, "sr", &PyLong_Type);
  check_exact_type(d_sample, "d_sample", &PyLong_Type, true);
  py::module_ m = self();
  py::object np = m.attr("np");
  to_path(m, path).attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  const py::object dtype = wave.attr("dtype");
  const py::object float32 = np.attr("dtype")("float32");
  py::object data = wave;
  int rate = sr.cast<int>();

  if (!d_sample.is_none()) {
    const int target = d_sample.cast<int>();
    py::object resampled;
    if (wave.attr("ndim").cast<int>() == 1) {
      auto x = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
          wave.attr("astype")(float32));
      std::vector<float> y;
      {
        py::gil_scoped_release release;
        y = tavol::resample(x.data(), static_cast<std::size_t>(x.size()), rate, target);
      }
      const auto frames = static_cast<py::ssize_t>(y.size());
      resampled = to_numpy(std::move(y), {frames});
    } else {
      resampled = m.attr("librosa").attr("resample")(wave.attr("astype")(float32),
                                                     "orig_sr"_a = rate, "target_sr"_a = target);
    }
    // Back to the caller's type; integer types saturate rather than wrap.
    if (np.attr("issubdtype")(dtype, np.attr("integer")).cast<bool>()) {
      py::object info = np.attr("iinfo")(dtype);
      resampled = np.attr("clip")(np.attr("around")(resampled), info.attr("min"), info.attr("max"));
    }
    data = resampled.attr("astype")(dtype);
    rate = target;
  }

  py::object pcm;
  if (dtype.equal(float32)) {
    // Scale by full scale; out-of-range samples saturate instead of wrapping.
    auto x = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(data);
    py::array_t<std::int16_t> out(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
    {
      const float *src = x.data();
      std::int16_t *dst = out.mutable_data();
      const auto count = static_cast<std::size_t>(x.size());
      py::gil_scoped_release release;
      for (std::size_t i = 0; i < count; ++i)
        dst[i] = tavol::float_to_pcm16(src[i]);
    }
    pcm = out;
  } else {
    pcm =
        np.attr("clip")(data, tavol::kPcm16Min, tavol::kPcm16Max).attr("astype")(np.attr("int16"));
  }

  auto samples = py::array_t<std::int16_t, py::array::c_style | py::array::forcecast>::ensure(pcm);
  const bool native_target =
      py::isinstance<py::str>(path) || py::isinstance(path, m.attr("PurePath"));
  if (!native_target || samples.ndim() < 1 || samples.ndim() > 2) {
    m.attr("wavfile").attr("write")(path, rate, samples);
    return;
  }
  const std::string target = fs_path(path);
  const auto frames = static_cast<std::size_t>(samples.shape(0));
  const int channels = samples.ndim() == 2 ? static_cast<int>(samples.shape(1)) : 1;
  py::gil_scoped_release release;
  tavol::write_wav16(target, samples.data(), frames, channels, rate);
}

void copy_waves(py::object path, py::object wave_) {
  RecursionGuard guard(" in copy_waves");
  py::module_ m = self();
  py::object dest = to_path(m, path);
  if (py::len(dest.attr("suffix")) > 0) {
    tavol::bind::print(cat(py::str(kMsgNotFolder), dest));
    return;
  }
  dest.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  if (PyList_Check(wave_.ptr())) {
    const std::string desc =
        std::string("[tl.] 複製音檔至路徑➡") + text(dest.attr("resolve")()) + "\n\tCopying ";
    for (py::handle item : progress(m, wave_, desc))
      copy_waves(dest, py::reinterpret_borrow<py::object>(item));
    return;
  }
  py::object source = to_path(m, wave_);
  m.attr("shutil").attr("copy")(py::str(source), dest.attr("__truediv__")(source.attr("name")));
}

// ---------------------------------------------------------------- LoadAudio

void load_audio_init(py::object self_, py::object waves_dirs) {
  py::module_ m = self();
  py::object folder = to_path(m, waves_dirs);
  self_.attr("sr_pth") = folder;
  py_assert(folder.attr("is_dir")().cast<bool>(),
            py::str("[tl.io] Folder: " + text(folder.attr("absolute")()) + ", not found."));
  py::list files(folder.attr("rglob")("*.wav"));
  self_.attr("files") = files;
  self_.attr("nf") = py::int_(files.size());
}

py::object make_load_audio(py::module_ &m) {
  py::object cls = make_class(
      kModule, "LoadAudio", object_bases(),
      py::str("Loader bound to one folder of WAV files: len() is the number of .wav files below "
              "it, iteration counts 1..len, and the module's loaders are static methods."));
  auto method = [&](const char *name, auto &&fn, auto... extra) {
    add_method(cls, name, std::forward<decltype(fn)>(fn), extra...);
  };
  method("__init__", &load_audio_init, py::arg("waves_dirs"));
  method("__iter__", [](py::object s) {
    s.attr("count") = py::int_(0);
    return s;
  });
  method("__next__", [](py::object s) {
    py::object count = s.attr("count");
    if (count.equal(s.attr("nf")))
      throw py::stop_iteration();
    s.attr("count") = count + py::int_(1);
    return s.attr("count");
  });
  method("__len__", [](py::object s) { return s.attr("nf"); });

  add_static_method(m, cls, "check_input",
                    py::cpp_function(
                        [](py::args args, py::kwargs kwargs) {
                          for (auto item : kwargs)
                            throw py::type_error(
                                "LoadAudio.check_input() got an unexpected keyword argument '" +
                                text(item.first) + "'");
                          return self().attr("check_input")(*args);
                        },
                        "The module's check_input, called with the same positional arguments."));
  // Keywords are refused by the function itself: its signature is `(*args)`.
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  cls.attr("check_input").attr("__signature__") = inspect.attr("Signature")(
      py::make_tuple(parameter("args", parameter.attr("VAR_POSITIONAL"))));
  for (const char *name : {"file_load", "load_wave", "load_waves", "copy_waves"}) {
    const std::string target = name;
    add_static_method(
        m, cls, name,
        py::cpp_function(
            [target](py::args args, py::kwargs kwargs) {
              return self().attr(target.c_str())(*args, **kwargs);
            },
            py::doc(("The module's " + target + ", called with the same arguments.").c_str())));
  }
  return cls;
}

} // namespace

PYBIND11_MODULE(io, m) {
  register_translators();
  m.doc() = "WAV file gathering, loading, saving and copying.";

  m.attr("os") = py::module_::import("os");
  m.attr("re") = py::module_::import("re");
  m.attr("shutil") = py::module_::import("shutil");
  py::module_ pathlib = py::module_::import("pathlib");
  m.attr("Path") = pathlib.attr("Path");
  m.attr("PurePath") = pathlib.attr("PurePath");
  m.attr("partial") = py::module_::import("functools").attr("partial");
  bind_lazily(m, {{"np", "numpy"},
                  {"librosa", "librosa"},
                  {"wavfile", "scipy.io.wavfile"},
                  {"tqdm", "tqdm", "tqdm"},
                  {"trange", "tqdm", "trange"},
                  {"Pool", "multiprocessing", "Pool"}});
  m.attr("__exp__") = kExt;

  m.def("check_path", &check_path, "path"_a, "exist_ok"_a = false, "sep"_a = "",
        "Path string for `path`; when it exists (and not exist_ok), the next free numbered name.");
  m.def("check_file", &check_file, "file_dir"_a, "rename"_a = true, "sep"_a = "",
        "Path under which a .wav file is about to be written; numbers it when it exists and "
        "`rename` is true. Creates the parent folder.");
  m.def("check_input", &check_input, "input"_a,
        "Checks for, or finds, .wav files. `input` may be a file path, a folder, a .txt file of "
        "paths, or a (nested) list or tuple of these.\nReturns (rightList, wrongList): the .wav "
        "paths, and everything else.");
  m.def("save_wave", &save_wave, "path"_a, "wave"_a, "sr"_a, "d_sample"_a = py::none(),
        "Writes a numpy array as a 16-bit PCM WAV file.\npath: destination; wave: the audio; sr: "
        "its sampling rate; d_sample: rate to resample to first.");
  m.def("file_load", &file_load, "wav_dir"_a, "sr"_a = py::none(), "mono"_a = true,
        "Loads one audio file as (float32 samples, rate); with mono, channels are merged. A file "
        "that cannot be read is reported and gives None.");
  m.def("load_wave", &load_wave, "wave"_a, "num"_a = py::none(),
        "Loads a .wav path or a (nested) list of them; with num, only wave[num].");
  m.def("load_waves", &load_waves, "wave"_a, "use_pool"_a = false, "std_len"_a = false,
        "core_"_a = tavol::kDefaultLoadWorkers,
        "Loads every .wav reachable from `wave` (path, folder, .txt list, nested lists) as "
        "(samples, rate) pairs, on `core_` threads when use_pool and more than 300 files.\nWith "
        "std_len, returns (waveforms cut to the shortest, rate, shortest length).");
  m.def("copy_waves", &copy_waves, "path"_a, "wave_"_a,
        "Copies a file, or a (nested) list of files, into the folder `path`.");
  m.attr("LoadAudio") = make_load_audio(m);

  m.attr("__all__") =
      py::list(py::make_tuple("check_path", "check_file", "check_input", "save_wave", "file_load",
                              "load_wave", "load_waves", "copy_waves", "LoadAudio"));
  finish_module(m);
}
