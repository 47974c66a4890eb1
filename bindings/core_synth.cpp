// tavol.core.synth: the mixture synthesiser, class Synthesizer.
//
// Planning (pairing clean files with noises and SNRs, naming the outputs, the
// silence share) goes through numpy and pathlib via this module's bound names.
// Every random draw (clean subsets, silence picks, noise offsets) comes from
// numpy's global generator in the calling thread, in plan order, before any
// rendering: numpy.random.seed(n) reproduces a run byte for byte, whichever
// threads render it. Rendering is native (tavol::MixRenderer) with the GIL
// released, on 8 threads above 200 entries.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/support.hpp"
#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/mix_renderer.hpp"
#include "tavol/worker_pool.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kModule = "tavol.core.synth";
constexpr const char *kMsgBanner = "[tl.] ==== Audio Synthesizing ====";
constexpr const char *kMsgOverwriting = "[tl.] syn:  路徑已存在，將覆蓋資料夾 -> ";
constexpr const char *kMsgExists = "[tl.] syn:  路徑已存在 -> ";
constexpr const char *kMsgStopped = "，終止程序";
constexpr const char *kMsgUseExtra =
    "Please use class function 'syn_extra_mode' to run extra mode.";
constexpr const char *kMsgBadMode = "select the right mode";
constexpr const char *kMsgInputPath = "input path error";
constexpr const char *kMsgSnrIsStr = "type error: snr_ratio can't be str";
constexpr const char *kMsgErrorInput = "Error input ";
constexpr const char *kDescSynthesis = "Audio synthesis";
constexpr const char *kDefaultOutput = "mixed";
constexpr const char *kRawFolder = "RAW_DATA";
constexpr const char *kStageFolder = "tmp_mixed";
constexpr const char *kDefaultBackground = "../data/backgroundnoise";
constexpr const char *kExt = ".wav";
constexpr const char *kRawTag = "_raw";
constexpr const char *kCleanCopyTag = "_n0";
constexpr const char *kSilenceTag = "_n00";
constexpr double kDefaultSilenceShare = 0.02;
constexpr double kExtraSilenceShare = 0.02;

constexpr const char *kClassDoc = R"(Synthesizer 音頻混合器
Mixes clean speech with noise recordings at chosen SNRs into noisy 16-bit WAV files.

將乾淨語音與雜訊依指定的 SNR 混合，輸出 16-bit 的帶噪音檔。

建立：
    syn = Synthesizer(clean, noise, out_path, snr_ratio)
        clean / noise：資料夾、資料夾的 list、.txt 清單檔，或混合以上的 list
        out_path：輸出資料夾（空字串時為 "mixed"）
        snr_ratio：整數 SNR 的 list，例如 [-5, 0, 5]

混合模式：
    syn.syn(mode="regular")    # 一般模式：每個乾淨音檔一個混合檔，共 C 個
    syn.syn(mode="increment")  # 遞增模式：乾淨 × 雜訊 × SNR 全組合，共 C·N·S 個

背景雜訊模式：
    syn.syn_extra_mode(background_path="../data/backgroundnoise", background_snr=[5])
        # 先把每個雜訊與背景雜訊以背景 SNR 混合以擴充雜訊集，再做全組合合成

靜態方法：
    Synthesizer.syn_waves(synWavesList, isSilence, num=None)
        # 合成一筆 (輸出路徑, 乾淨檔, 雜訊檔, SNR)；給 num 時合成 synWavesList[num]
)";

py::module_ self() { return py::module_::import(kModule); }
py::module_ builtins() { return py::module_::import("builtins"); }

// `a // b` for counts, with the interpreter's error for b == 0.
std::size_t floor_div(std::size_t a, std::size_t b) {
  if (b == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    throw py::error_already_set();
  }
  return a / b;
}

std::string as_str(py::handle obj) { return py::str(obj).cast<std::string>(); }
// os.fspath(obj) as a str; `fspath_fn` is os.fspath, looked up once per batch.
std::string fspath(py::handle fspath_fn, py::handle obj) {
  return py::str(fspath_fn(obj)).cast<std::string>();
}
std::string fspath(py::handle obj) { return fspath(py::module_::import("os").attr("fspath"), obj); }
py::object join(py::handle folder, py::handle name) { return folder.attr("__truediv__")(name); }
bool less(py::handle a, py::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
  if (r < 0)
    throw py::error_already_set();
  return r == 1;
}
bool is_nonempty_folder(py::handle folder) {
  if (!folder.attr("is_dir")().cast<bool>())
    return false;
  for (py::handle entry : folder.attr("glob")("*")) {
    (void)entry;
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- naming

// SNR tag of a mixture name: -5 -> "n5", 5 -> "5dB" (`always_db`: -5 -> "n5dB").
std::string snr_tag(py::handle snr, bool always_db) {
  if (less(snr, py::int_(0)))
    return "n" + as_str(builtins().attr("abs")(snr)) + (always_db ? "dB" : "");
  return as_str(snr) + "dB";
}

// "<clean stem>_<noise stem>_<tag>.wav": the extension is appended, so a
// dotted tag or stem ("2.5dB", "take.1") is kept whole.
std::string mixture_name(py::handle clean, py::handle noise, py::handle snr, bool always_db) {
  return clean.attr("stem").cast<std::string>() + "_" + noise.attr("stem").cast<std::string>() +
         "_" + snr_tag(snr, always_db) + kExt;
}

// ---------------------------------------------------------------- safety

// Refuses (ValueError, before anything is touched) an output folder that is,
// or lies above, one of the inputs: wiping it would delete them.
void refuse_folder_holding_inputs(py::handle folder, const std::vector<py::object> &lists,
                                  const char *caller) {
  if (!folder.attr("is_dir")().cast<bool>())
    return;
  namespace fs = std::filesystem;
  const fs::path root = fs::canonical(fspath(folder));
  std::vector<std::string> inputs;
  py::object os_fspath = py::module_::import("os").attr("fspath");
  for (const auto &list : lists)
    for (py::handle item : list)
      inputs.push_back(fspath(os_fspath, item));
  std::string offending;
  {
    py::gil_scoped_release release;
    for (const auto &input : inputs) {
      std::error_code ec;
      const fs::path real = fs::weakly_canonical(input, ec);
      if (ec)
        continue;
      const auto rel = real.lexically_relative(root);
      if (!rel.empty() && *rel.begin() != "..") {
        offending = input;
        break;
      }
    }
  }
  if (!offending.empty())
    throw py::value_error(std::string("[tl.] ") + caller + ": the output folder '" +
                          as_str(folder) + "' holds the input '" + offending +
                          "'; refusing to wipe it or write into it");
}

// ---------------------------------------------------------------- rendering

// Turns entries into render jobs: reads each (output, clean, noise, snr),
// learns both recordings' lengths at 16 kHz and draws the noise offset with
// numpy.random.randint(1, M - L + 1) when the noise is the longer one.
// Recordings libsndfile cannot read are decoded by librosa here instead.
std::vector<tavol::MixJob> plan_jobs(py::module_ &m, const std::vector<py::object> &entries,
                                     tavol::MixRenderer &renderer) {
  std::unordered_map<std::string, std::size_t> lengths;
  auto length_of = [&](const std::string &path) {
    if (auto it = lengths.find(path); it != lengths.end())
      return it->second;
    std::size_t length = 0;
    std::exception_ptr unreadable;
    {
      py::gil_scoped_release release;
      try {
        length = renderer.length(path);
      } catch (const tavol::UnreadableAudio &) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec))
          throw; // reported as FileNotFoundError
        unreadable = std::current_exception();
      }
    }
    if (unreadable) {
      py::object loaded = m.attr("librosa").attr("load")(path, "sr"_a = tavol::kSynthRate);
      auto y = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
          loaded[py::int_(0)]);
      if (!y || y.ndim() != 1)
        std::rethrow_exception(unreadable);
      renderer.provide(path, std::vector<float>(y.data(), y.data() + y.size()));
      length = static_cast<std::size_t>(y.size());
    }
    lengths.emplace(path, length);
    return length;
  };

  py::object randint = m.attr("np").attr("random").attr("randint");
  py::object os_fspath = py::module_::import("os").attr("fspath");
  std::vector<tavol::MixJob> jobs;
  jobs.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i % 256 == 255 && PyErr_CheckSignals() != 0)
      throw py::error_already_set();
    const py::tuple entry = unpack(entries[i], 4);
    tavol::MixJob job;
    job.output = fspath(os_fspath, entry[0]);
    job.clean = fspath(os_fspath, entry[1]);
    job.noise = fspath(os_fspath, entry[2]);
    job.snr_db = entry[3].cast<double>();
    const std::size_t clean_len = length_of(job.clean);
    const std::size_t noise_len = length_of(job.noise);
    if (clean_len > 0 && noise_len > clean_len)
      job.offset = randint(1, noise_len - clean_len + 1).cast<std::size_t>();
    jobs.push_back(std::move(job));
  }
  renderer.expect(jobs);
  return jobs;
}

// Renders the jobs, on kSynthWorkers threads when `pooled`, else one by one in
// this thread; either way Ctrl-C stops between files (no partial file stays).
void render_jobs(py::module_ &m, tavol::MixRenderer &renderer,
                 const std::vector<tavol::MixJob> &jobs, bool noise_only, bool pooled,
                 py::handle bar_over) {
  if (!pooled) {
    auto render_one = [&](const tavol::MixJob &job) {
      {
        py::gil_scoped_release release;
        renderer.render(job, noise_only);
      }
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    };
    if (!bar_over) {
      for (const auto &job : jobs)
        render_one(job);
      return;
    }
    std::size_t i = 0;
    for (py::handle entry : progress(m, bar_over, kDescSynthesis)) {
      (void)entry;
      if (i < jobs.size())
        render_one(jobs[i++]);
    }
    return;
  }
  if (jobs.empty())
    return;
  tavol::WorkerPool pool(jobs.size(), tavol::kSynthWorkers,
                         [&](std::size_t i) { renderer.render(jobs[i], noise_only); });
  py::object bar = progress_total(m, jobs.size(), kDescSynthesis);
  std::size_t shown = 0;
  try {
    wait_interruptibly(pool, [&](std::size_t done) {
      bar.attr("update")(done - shown);
      shown = done;
    });
  } catch (...) {
    bar.attr("close")();
    throw;
  }
  bar.attr("close")();
}

std::vector<py::object> items_of(py::handle sequence) {
  std::vector<py::object> out;
  for (py::handle item : sequence)
    out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

void syn_waves(py::object synWavesList, py::object isSilence, py::object num) {
  py::module_ m = self();
  py::object entry = num.is_none() ? synWavesList : py::object(synWavesList[num]);
  const bool noise_only = py::bool_(isSilence);
  tavol::MixRenderer renderer;
  const auto jobs = plan_jobs(m, {entry}, renderer);
  render_jobs(m, renderer, jobs, noise_only, false, py::handle());
}

// Appends round(N * p_silence) entries drawn with numpy.random.choice (with
// replacement): SNR 0, named <clean stem><noise stem>_n00.wav beside the drawn one.
void add_silence_entries(py::module_ &m, py::object &self_, py::handle p_silence) {
  const std::vector<py::object> planned = items_of(self_.attr("synWavesList"));
  const py::int_ n(planned.size());
  const py::object k = builtins().attr("round")(n * py::reinterpret_borrow<py::object>(p_silence));
  if (!less(py::int_(0), k)) // a share that rounds to nothing adds nothing
    return;
  py::object picks =
      m.attr("np").attr("random").attr("choice")(builtins().attr("range")(n), "size"_a = k);
  py::list entries;
  for (const auto &entry : planned)
    entries.append(py::tuple(entry));
  for (py::handle pick : picks) {
    const py::tuple drawn = unpack(planned[pick.cast<std::size_t>()], 4);
    const std::string name = to_path(m, drawn[1]).attr("stem").cast<std::string>() +
                             to_path(m, drawn[2]).attr("stem").cast<std::string>() + kSilenceTag +
                             kExt;
    py::object output = join(to_path(m, drawn[0]).attr("parent"), py::str(name));
    entries.append(py::make_tuple(output, drawn[1], drawn[2], 0));
  }
  self_.attr("synWavesList") = entries;
}

void syn_pool(py::object self_, py::object is_pool, py::object is_silence, py::object p_silence) {
  py::module_ m = self();
  const bool silence = py::bool_(is_silence);
  if (silence && less(p_silence, py::int_(1)) && less(py::int_(0), p_silence))
    add_silence_entries(m, self_, p_silence);
  py::object list = self_.attr("synWavesList");
  const std::vector<py::object> entries = items_of(list);
  const bool pooled = py::bool_(is_pool) && entries.size() > tavol::kSynthPoolThreshold;
  tavol::MixRenderer renderer;
  const auto jobs = plan_jobs(m, entries, renderer);
  render_jobs(m, renderer, jobs, silence, pooled, pooled ? py::handle() : py::handle(list));
}

void call_syn_pool(py::object &self_, py::object is_pool, py::object is_silence,
                   py::object p_silence) {
  self_.attr("_Synthesizer__syn_pool")("is_pool"_a = is_pool, "is_silence"_a = is_silence,
                                       "p_silence"_a = p_silence);
}

// ---------------------------------------------------------------- set-up

py::object listify_snr(py::handle value) {
  py_assert(!py::isinstance<py::str>(value), py::str(kMsgSnrIsStr));
  if (py::hasattr(value, "__iter__"))
    return py::reinterpret_borrow<py::object>(value);
  py::list one;
  one.append(value);
  return one;
}

void init(py::object self_, py::object clean, py::object noise, py::object out_path,
          py::object snr_ratio) {
  py::module_ m = self();
  if (assertions_enabled()) {
    const bool clean_ok = to_path(m, clean).attr("is_dir")().cast<bool>();
    const bool noise_ok = to_path(m, noise).attr("is_dir")().cast<bool>();
    py_assert(clean_ok && noise_ok, py::str(kMsgInputPath));
  }
  self_.attr("cleanWaves") = m.attr("check_input")(clean)[py::int_(0)];
  self_.attr("noiseWaves") = m.attr("check_input")(noise)[py::int_(0)];
  for (auto [given, attr] : {std::pair{clean, "cleanWaves"}, std::pair{noise, "noiseWaves"}}) {
    const std::size_t found = py::len(self_.attr(attr));
    if (found == 0)
      py_assert(false, py::str(kMsgErrorInput + as_str(given) + ", found " + std::to_string(found) +
                               " files."));
  }
  self_.attr("noisyDir") =
      to_path(m, out_path.equal(py::str("")) ? py::str(kDefaultOutput) : out_path);
  self_.attr("snrRatio") = listify_snr(snr_ratio);
  self_.attr("synWavesList") = py::none();
  self_.attr("clean_dir_") = clean;
}

py::object stored_plan(py::object self_) {
  py::object plan = self_.attr("synWavesList");
  if (!plan.is_none() && !PyList_CheckExact(plan.ptr()))
    throw py::type_error(std::string("Expected list, got ") + Py_TYPE(plan.ptr())->tp_name);
  return plan;
}

py::tuple waveform(py::object self_, py::object is_pool) {
  py::module_ m = self();
  py::object load = m.attr("partial")(m.attr("load_waves"), "use_pool"_a = is_pool);
  py::object clean = load(self_.attr("cleanWaves"));
  py::object noise = load(self_.attr("noiseWaves"));
  return py::make_tuple(clean, noise);
}

// ---------------------------------------------------------------- regular and increment

py::object syn(py::object self_, py::object mode, py::object mkdir_parents, py::object is_add_clean,
               py::object rdn_choice_num, py::object overwrite, py::object is_pool,
               py::object is_silence, py::object p_silence) {
  check_exact_type(mode, "mode", reinterpret_cast<PyObject *>(&PyUnicode_Type));
  check_exact_type(rdn_choice_num, "rdn_choice_num", reinterpret_cast<PyObject *>(&PyLong_Type));
  const std::string name = mode.cast<std::string>();
  const bool regular = name == "reg" || name == "regular";
  const bool increment = name == "inc" || name == "increment";
  // The mode is settled before the disk is touched.
  if (!regular && !increment)
    return py::str(name == "max" || name == "extra" ? kMsgUseExtra : kMsgBadMode);

  py::module_ m = self();
  py::object np = m.attr("np");
  py::object noisy = self_.attr("noisyDir");
  py::object clean_waves = self_.attr("cleanWaves");
  py::object noise_waves = self_.attr("noiseWaves");
  py::object snrs = self_.attr("snrRatio");
  refuse_folder_holding_inputs(noisy, {clean_waves, noise_waves}, "syn");

  print(kMsgBanner);
  if (is_nonempty_folder(noisy)) {
    if (!py::bool_(overwrite)) {
      m.attr("warn")(kMsgExists + as_str(noisy) + kMsgStopped);
      return py::none();
    }
    m.attr("warn")(kMsgOverwriting + as_str(noisy));
    m.attr("shutil").attr("rmtree")(noisy);
  }
  noisy.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);

  py::object chosen = clean_waves;
  const py::int_ available(py::len(clean_waves));
  if (!less(available, rdn_choice_num) && less(py::int_(0), rdn_choice_num)) {
    py::list drawn;
    py::object choice = np.attr("random").attr("choice");
    for (long i = 0, n = rdn_choice_num.cast<long>(); i < n; ++i)
      drawn.append(choice(clean_waves));
    chosen = drawn;
  }
  if (py::bool_(is_add_clean)) {
    py::object raw = join(noisy, py::str(kRawFolder));
    raw.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    for (py::handle c : chosen)
      m.attr("shutil").attr("copy")(
          c, join(raw, py::str(c.attr("stem").cast<std::string>() + kRawTag + kExt)));
  }

  const std::size_t C = py::len(chosen), N = py::len(noise_waves), S = py::len(snrs);
  print("Clean: " + std::to_string(C) + ", Noise: " + std::to_string(N) +
        ", SNR: " + as_str(snrs[py::int_(0)]) + " ~ " + as_str(snrs[py::int_(-1)]));

  py::object cleans, noises, levels;
  if (regular) {
    print(std::to_string(S) + " SNRs * " + std::to_string(N) + " noises, generate " +
          std::to_string(C) + " noisy.");
    const py::object first_c = py::slice(py::none(), py::int_(C), py::none());
    cleans = chosen;
    noises = np.attr("tile")(noise_waves, floor_div(C, N) + 1)[first_c];
    levels = np.attr("tile")(snrs, floor_div(C, S) + 1)[first_c];
  } else {
    print(std::to_string(C * N * S) + " noisy files generated by " + std::to_string(S) +
          " kinds of SNR and " + std::to_string(N) + " noise files ");
    cleans = np.attr("repeat")(chosen, N * S);
    noises = np.attr("tile")(np.attr("repeat")(noise_waves, S), C);
    levels = np.attr("tile")(snrs, C * N);
  }

  const bool mirror = py::bool_(mkdir_parents);
  py::object clean_root = self_.attr("clean_dir_");
  py::list plan;
  py::iterator c_it = py::iter(cleans), n_it = py::iter(noises), s_it = py::iter(levels);
  for (; c_it != py::iterator::sentinel() && n_it != py::iterator::sentinel() &&
         s_it != py::iterator::sentinel();
       ++c_it, ++n_it, ++s_it) {
    py::object c = py::reinterpret_borrow<py::object>(*c_it);
    py::object n = py::reinterpret_borrow<py::object>(*n_it);
    py::object s = py::reinterpret_borrow<py::object>(*s_it);
    py::object folder =
        mirror ? join(noisy, c.attr("relative_to")(clean_root).attr("parent")) : noisy;
    plan.append(py::make_tuple(join(folder, py::str(mixture_name(c, n, s, false))), c, n, s));
  }
  self_.attr("synWavesList") = plan;
  call_syn_pool(self_, is_pool, is_silence, p_silence);
  return self_.attr("synWavesList");
}

// ---------------------------------------------------------------- background extra mode

py::object syn_extra_mode(py::object self_, py::object background_path, py::object background_snr) {
  py::module_ m = self();
  py::object np = m.attr("np");
  py::object shutil = m.attr("shutil");
  py::object bg_snrs = listify_snr(background_snr);
  py::object backgrounds = m.attr("check_input")(background_path)[py::int_(0)];
  py_assert(py::len(backgrounds) > 0, py::str(kMsgErrorInput + as_str(background_path)));

  py::object noisy = self_.attr("noisyDir");
  py::object clean_waves = self_.attr("cleanWaves");
  py::object noise_waves = self_.attr("noiseWaves");
  py::object snrs = self_.attr("snrRatio");
  py::object stage = to_path(m, py::str(kStageFolder));
  refuse_folder_holding_inputs(noisy, {clean_waves, noise_waves, backgrounds}, "syn_extra_mode");
  refuse_folder_holding_inputs(stage, {clean_waves, noise_waves, backgrounds}, "syn_extra_mode");

  if (is_nonempty_folder(noisy))
    shutil.attr("rmtree")(noisy);
  noisy.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  for (py::handle c : clean_waves)
    shutil.attr("copy")(c, join(noisy, py::str(c.attr("stem").cast<std::string>() + kCleanCopyTag +
                                               c.attr("suffix").cast<std::string>())));
  if (stage.attr("is_dir")().cast<bool>())
    shutil.attr("rmtree")(stage);
  stage.attr("mkdir")();

  // Stage 1: every noise with every background at every background SNR.
  const std::size_t N = py::len(noise_waves), B = py::len(backgrounds), K = py::len(bg_snrs);
  py::object noises = np.attr("repeat")(noise_waves, B * K);
  py::object bgs = np.attr("tile")(np.attr("repeat")(backgrounds, K), N);
  py::object levels = np.attr("tile")(bg_snrs, B * N);
  py::list stage_plan, enlarged;
  for (std::size_t i = 0; i < N * B * K; ++i) {
    py::object n = noises[py::int_(i)], b = bgs[py::int_(i)], s = levels[py::int_(i)];
    py::object out = join(stage, py::str(mixture_name(n, b, s, true)));
    stage_plan.append(py::make_tuple(out, n, b, s));
    enlarged.append(out);
  }
  self_.attr("synWavesList") = stage_plan;
  call_syn_pool(self_, py::bool_(false), py::bool_(false), py::float_(kDefaultSilenceShare));

  // Stage 2: every clean with every member of the enlarged noise set at every SNR.
  for (py::handle n : noise_waves)
    enlarged.append(n);
  for (py::handle b : backgrounds)
    enlarged.append(b);
  const std::size_t C = py::len(clean_waves), M = py::len(enlarged), S = py::len(snrs);
  py::object cleans = np.attr("repeat")(clean_waves, M * S);
  py::object members = np.attr("tile")(np.attr("repeat")(enlarged, S), C);
  py::object ratios = np.attr("tile")(snrs, C * M);
  py::list plan;
  for (std::size_t i = 0; i < C * M * S; ++i) {
    py::object c = cleans[py::int_(i)], n = members[py::int_(i)], s = ratios[py::int_(i)];
    plan.append(py::make_tuple(join(noisy, py::str(mixture_name(c, n, s, true))), c, n, s));
  }
  self_.attr("synWavesList") = plan;
  call_syn_pool(self_, py::bool_(true), py::bool_(true), py::float_(kExtraSilenceShare));

  shutil.attr("rmtree")(stage);
  return self_.attr("synWavesList");
}

// ---------------------------------------------------------------- the class

py::object make_synthesizer(py::module_ &m) {
  py::object cls = make_class(kModule, "Synthesizer",
                              py::make_tuple(py::reinterpret_borrow<py::object>(
                                  reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
                              py::str(kClassDoc));
  add_method(cls, "__init__", &init, "clean"_a, "noise"_a, "out_path"_a = "",
             "snr_ratio"_a = py::make_tuple(-5, 0, 5));
  add_method(
      cls, "wave_input",
      [](py::object s) { return py::make_tuple(s.attr("cleanWaves"), s.attr("noiseWaves")); },
      "The accepted clean and noise files: (cleanWaves, noiseWaves).");
  add_method(cls, "wave_syn", &stored_plan, "The synthesis entries of the last run (None before).");
  add_method(cls, "wave_syn_abs", &stored_plan,
             "The synthesis entries of the last run (None before).");
  add_method(
      cls, "waveform", &waveform, "is_pool"_a = false,
      "Loads the clean and the noise files: (load_waves(cleanWaves), load_waves(noiseWaves)).");
  add_method(cls, "syn", &syn, "mode"_a = "regular", "mkdir_parents"_a = true,
             "is_add_clean"_a = false, "rdn_choice_num"_a = 0, "overwrite"_a = true,
             "is_pool"_a = true, "is_silence"_a = false, "p_silence"_a = kDefaultSilenceShare,
             "Synthesises noisy files.\n\n"
             "mode: 'reg' (regular: one mixture per clean file), 'inc' (increment: every clean x "
             "noise x SNR) or 'max' (see syn_extra_mode)\n"
             "mkdir_parents: mirror the clean files' sub-folders in the output folder\n\n"
             "Returns the list of synthesised waves: (output, clean, noise, snr) entries.");
  add_method(cls, "syn_extra_mode", &syn_extra_mode, "background_path"_a = kDefaultBackground,
             "background_snr"_a = py::make_tuple(5),
             "Mixes every noise with every background recording at every background SNR into "
             "'tmp_mixed', then synthesises every clean file with every member of the enlarged "
             "noise set at every SNR (with silence entries). Returns the entries.");
  add_static_method(m, cls, "syn_waves",
                    py::cpp_function(&syn_waves, "synWavesList"_a, "isSilence"_a,
                                     "num"_a = py::none(),
                                     "Renders one entry (output, clean, noise, snr) as a 16 kHz "
                                     "16-bit WAV file; with num, renders synWavesList[num]. With "
                                     "isSilence, the file holds the scaled noise alone."));
  add_method(cls, "_Synthesizer__syn_pool", &syn_pool, "is_pool"_a, "is_silence"_a,
             "p_silence"_a = kDefaultSilenceShare,
             "Renders synWavesList (after appending the silence share when asked), on 8 threads "
             "above 200 entries when is_pool.");
  return cls;
}

} // namespace

PYBIND11_MODULE(synth, m) {
  register_translators();
  m.doc() = "Noisy-set synthesis: mixing clean speech with noise recordings at chosen SNRs.";

  m.attr("shutil") = py::module_::import("shutil");
  m.attr("librosa") = py::module_::import("librosa");
  m.attr("np") = py::module_::import("numpy");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("wavfile") = py::module_::import("scipy.io.wavfile");
  m.attr("Pool") = py::module_::import("multiprocessing").attr("Pool");
  m.attr("partial") = py::module_::import("functools").attr("partial");
  py::module_ tqdm = py::module_::import("tqdm");
  m.attr("tqdm") = tqdm.attr("tqdm");
  m.attr("trange") = tqdm.attr("trange");
  py::module_ io = py::module_::import("tavol.core.io");
  m.attr("check_input") = io.attr("check_input");
  m.attr("load_waves") = io.attr("load_waves");
  m.attr("warn") = py::module_::import("tavol.util.colors").attr("warn");

  m.attr("Synthesizer") = make_synthesizer(m);
  m.attr("__all__") = py::list(py::make_tuple("Synthesizer"));
  finish_module(m);
}
