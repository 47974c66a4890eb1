// tavol.core.synth: the mixture synthesiser, class Synthesizer, and render().
//
// A run is planned first and touches the disk after: the plan (which clean,
// which noise, which SNR, the names, the noise offsets) is core data
// (tavol/synth_plan.hpp, tavol/manifest.hpp) built from this module's bound
// numpy and pathlib names. Every random draw (clean subsets, silence picks,
// noise offsets) comes from numpy's global generator, or from a generator of
// the run's own when a seed is given, in the calling thread, in plan order,
// before any rendering: numpy.random.seed(n) (or seed=n) reproduces a run
// byte for byte, whichever threads render it. Rendering is native
// (tavol::MixRenderer) with the GIL released, on 8 threads above 200 entries.
// A run can describe itself in a manifest (manifest.csv + manifest.json) that
// render() turns into the same files again, with no random draw.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "support/imports.hpp"
#include "support/support.hpp"
#include "tavol/constants.hpp"
#include "tavol/errors.hpp"
#include "tavol/manifest.hpp"
#include "tavol/manifest_parts.hpp"
#include "tavol/mix_renderer.hpp"
#include "tavol/synth_plan.hpp"
#include "tavol/worker_pool.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

namespace fs = std::filesystem;

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
// A Synthesizer's attributes, in the order __init__ sets them.
constexpr const char *kAttrClean = "cleanWaves";     // the accepted clean files
constexpr const char *kAttrNoise = "noiseWaves";     // the accepted noise files
constexpr const char *kAttrOutput = "noisyDir";      // the output folder (a Path)
constexpr const char *kAttrSnrs = "snrRatio";        // the SNRs in dB
constexpr const char *kAttrEntries = "synWavesList"; // the last run's entries (None before)
constexpr const char *kAttrCleanDir = "clean_dir_";  // the clean input as given
constexpr const char *kExt = ".wav";
constexpr const char *kRawTag = "_raw";
constexpr const char *kCleanCopyTag = "_n0";
constexpr const char *kManifestName = "manifest.csv";
constexpr const char *kSeedAttr = "seed_";
#ifdef TAVOL_VERSION
constexpr const char *kVersion = TAVOL_VERSION;
#else
constexpr const char *kVersion = "0+unknown"; // built outside pip
#endif
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

constexpr const char *kRunKeywords =
    "Keyword-only options (their defaults keep the documented behaviour):\n"
    "  manifest=False: True writes manifest.csv and manifest.json into the output folder (a path "
    "writes the CSV there): one row per file written, with its inputs, SNR, noise offset, gains, "
    "realised SNR, peak and clipped samples\n"
    "  seed=None: draw from numpy.random.RandomState(seed) instead of numpy's global generator "
    "(the same draws as numpy.random.seed(seed), leaving the global state alone)\n"
    "  snr_definition='power': 'active' measures the clean by its active speech level "
    "(ITU-T P.56 method B) instead of its mean square over the whole file\n"
    "  clipping='saturate': 'rescale' scales a mixture that would clip to 0.99 of full scale "
    "(with is_add_clean, its clean target is written to RAW_DATA scaled the same way); 'error' "
    "raises before writing it\n"
    "  sample_rate=16000: rate of the inputs' resampling and of every written file";

const std::string kSynDoc =
    std::string("Synthesises noisy files.\n\n"
                "mode: 'reg' (regular: one mixture per clean file), 'inc' (increment: every clean "
                "x noise x SNR) or 'max' (see syn_extra_mode)\n"
                "mkdir_parents: mirror the clean files' sub-folders in the output folder\n\n"
                "Returns the list of synthesised waves: (output, clean, noise, snr) entries.\n\n") +
    kRunKeywords;
const std::string kExtraDoc =
    std::string("Mixes every noise with every background recording at every background SNR into "
                "'tmp_mixed', then synthesises every clean file with every member of the enlarged "
                "noise set at every SNR (with silence entries). Returns the entries.\n\n") +
    kRunKeywords;

py::module_ builtins() { return py::module_::import("builtins"); }

// `a // b` for counts, with the interpreter's error for b == 0.
std::size_t floor_div(std::size_t a, std::size_t b) {
  if (b == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    throw py::error_already_set();
  }
  return a / b;
}

// `bool(obj)`, the interpreter's truth test.
bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0)
    throw py::error_already_set();
  return r == 1;
}

// Paths cross into the core as the file system's bytes (os.fsencode), so
// names that are not valid UTF-8 (surrogate-escaped in Python) work, and come
// back through os.fsdecode.
struct FsCodec {
  py::object fsencode, fsdecode, path;
  explicit FsCodec(py::handle m)
      : fsencode(py::module_::import("os").attr("fsencode")),
        fsdecode(py::module_::import("os").attr("fsdecode")), path(m.attr("Path")) {}
  std::string bytes(py::handle obj) const { return fsencode(obj).cast<std::string>(); }
  py::object str(const std::string &b) const { return fsdecode(py::bytes(b)); }
  py::object to_path(const std::string &b) const { return path(str(b)); }
};

std::string stem_bytes(const FsCodec &fs, py::handle path) { return fs.bytes(path.attr("stem")); }

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

std::vector<py::object> items_of(py::handle sequence) {
  std::vector<py::object> out;
  for (py::handle item : sequence)
    out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

// ---------------------------------------------------------------- naming

// SNR tag of a mixture name: -5 -> "n5", 5 -> "5dB" (`always_db`: -5 -> "n5dB").
std::string snr_tag(py::handle snr, bool always_db) {
  if (less(snr, py::int_(0)))
    return "n" + text(builtins().attr("abs")(snr)) + (always_db ? "dB" : "");
  return text(snr) + "dB";
}

// ---------------------------------------------------------------- safety

// Refuses (ValueError, before anything is touched) an output folder that is,
// or lies above, one of the inputs, or one the run must never wipe: the
// working folder or one above it, the home folder, the root, the staging
// folder of the extra mode.
void check_output_folder(py::module_ &m, py::handle folder, const std::vector<py::object> &lists,
                         const char *caller, bool staging) {
  const FsCodec fs(m);
  std::vector<fs::path> inputs;
  for (const auto &list : lists)
    for (py::handle item : list)
      inputs.emplace_back(fs.bytes(item));
  tavol::ProtectedFolders protect;
  protect.working = fs::current_path();
  try {
    protect.home = fs.bytes(m.attr("Path").attr("home")());
  } catch (py::error_already_set &) { // no home folder to find: nothing to protect there
  }
  if (staging)
    protect.staging = kStageFolder;
  const fs::path out(fs.bytes(folder));
  py::gil_scoped_release release;
  tavol::check_output_folder(out, inputs, protect, caller);
}

// A non-finite SNR would scale the noise to nothing or to infinity: refused
// before anything is touched. (Values that are not numbers fail later, as before.)
void check_finite_snrs(py::handle snrs, const char *caller) {
  for (py::handle snr : snrs) {
    const double v = PyFloat_AsDouble(snr.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      continue;
    }
    if (!std::isfinite(v))
      throw py::value_error(std::string("[tl.] ") + caller + ": the SNR " + text(snr) +
                            " is not a finite number of dB");
  }
}

// ---------------------------------------------------------------- run options

// The keyword-only options of syn, syn_extra_mode and plan.
struct RunOptions {
  py::object manifest = py::bool_(false);
  py::object seed = py::none();
  tavol::SnrDefinition definition = tavol::SnrDefinition::Power;
  tavol::Clipping clipping = tavol::Clipping::Saturate;
  int rate = tavol::kSynthRate;
  bool measure() const { return truthy(manifest); }
};

RunOptions run_options(py::handle self_, py::object manifest, py::object seed,
                       py::object snr_definition, py::object clipping, py::object sample_rate) {
  RunOptions o;
  o.manifest = std::move(manifest);
  o.seed = seed.is_none() && py::hasattr(self_, kSeedAttr) ? py::object(self_.attr(kSeedAttr))
                                                           : std::move(seed);
  check_exact_type(snr_definition, "snr_definition", &PyUnicode_Type);
  check_exact_type(clipping, "clipping", &PyUnicode_Type);
  check_exact_type(sample_rate, "sample_rate", &PyLong_Type);
  const auto definition = snr_definition.cast<std::string>();
  if (!tavol::parse(definition, o.definition))
    throw py::value_error("snr_definition must be 'power' or 'active', got '" + definition + "'");
  const auto policy = clipping.cast<std::string>();
  if (!tavol::parse(policy, o.clipping))
    throw py::value_error("clipping must be 'saturate', 'rescale' or 'error', got '" + policy +
                          "'");
  const long rate = sample_rate.cast<long>();
  if (rate < 1 || rate > 768000)
    throw py::value_error("sample_rate must be a rate in Hz (1 to 768000), got " +
                          std::to_string(rate));
  o.rate = static_cast<int>(rate);
  return o;
}

// numpy.random itself, or a RandomState of the run's own: the same calls
// (randint, choice) on either give the same draws for the same seed.
py::object random_source(py::module_ &m, const RunOptions &o) {
  py::object random = m.attr("np").attr("random");
  return o.seed.is_none() ? random : random.attr("RandomState")(o.seed);
}

// ---------------------------------------------------------------- rendering

// Samples each recording has at the renderer's rate, from its header; a
// recording libsndfile cannot read is decoded by librosa here and handed to
// the renderer.
class Lengths {
public:
  Lengths(py::module_ &m, tavol::MixRenderer &renderer) : m_(m), renderer_(renderer), fs_(m) {}

  std::size_t operator()(const std::string &path) {
    if (auto it = known_.find(path); it != known_.end())
      return it->second;
    std::size_t length = 0;
    std::exception_ptr unreadable;
    {
      py::gil_scoped_release release;
      try {
        length = renderer_.length(path);
      } catch (const tavol::UnreadableAudio &) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec))
          throw; // reported as FileNotFoundError
        unreadable = std::current_exception();
      }
    }
    if (unreadable) {
      py::object loaded = m_.attr("librosa").attr("load")(fs_.str(path), "sr"_a = renderer_.rate());
      auto y = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
          loaded[py::int_(0)]);
      if (!y || y.ndim() != 1)
        std::rethrow_exception(unreadable);
      renderer_.provide(path, std::vector<float>(y.data(), y.data() + y.size()));
      length = static_cast<std::size_t>(y.size());
    }
    known_.emplace(path, length);
    return length;
  }
  void set(const std::string &path, std::size_t length) { known_[path] = length; }

private:
  py::module_ &m_;
  tavol::MixRenderer &renderer_;
  FsCodec fs_;
  std::unordered_map<std::string, std::size_t> known_;
};

// Draws the noise offset of a job, numpy.random.randint(1, M - L + 1), when
// the noise (M samples) is longer than the clean (L); records how the noise
// is fitted and the length of the output.
void draw_offset(py::handle randint, Lengths &lengths, tavol::ManifestRow &row) {
  const std::size_t clean_len = lengths(row.job.clean);
  const std::size_t noise_len = lengths(row.job.noise);
  row.samples = clean_len;
  row.fit = tavol::noise_fit(noise_len, clean_len);
  if (clean_len > 0 && noise_len > clean_len)
    row.job.offset = randint(1, noise_len - clean_len + 1).cast<std::size_t>();
}

// Turns entries into render jobs: reads each (output, clean, noise, snr) and
// draws the noise offsets from numpy's global generator.
std::vector<tavol::MixJob> plan_jobs(py::module_ &m, const std::vector<py::object> &entries,
                                     tavol::MixRenderer &renderer, bool noise_only) {
  const FsCodec fs(m);
  Lengths lengths(m, renderer);
  py::object randint = m.attr("np").attr("random").attr("randint");
  std::vector<tavol::MixJob> jobs;
  jobs.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i % 256 == 255 && PyErr_CheckSignals() != 0)
      throw py::error_already_set();
    const py::tuple entry = unpack(entries[i], 4);
    tavol::ManifestRow row;
    row.job.output = fs.bytes(entry[0]);
    row.job.clean = fs.bytes(entry[1]);
    row.job.noise = fs.bytes(entry[2]);
    row.job.snr_db = entry[3].cast<double>();
    row.job.noise_only = noise_only;
    draw_offset(randint, lengths, row);
    jobs.push_back(std::move(row.job));
  }
  renderer.expect(jobs);
  return jobs;
}

// Renders the jobs, on kSynthWorkers threads (or `workers`) when `pooled`,
// else one by one in this thread behind a bar over `bar_over` (none when it
// is null); either way Ctrl-C stops between files (no partial file stays).
// With `measure`, returns each job's stats.
std::vector<tavol::MixStats> render_jobs(py::module_ &m, tavol::MixRenderer &renderer,
                                         const std::vector<tavol::MixJob> &jobs, bool pooled,
                                         py::handle bar_over, bool measure,
                                         int workers = tavol::kSynthWorkers) {
  std::vector<tavol::MixStats> stats(measure ? jobs.size() : 0);
  auto render_one = [&](std::size_t i) {
    tavol::MixStats s = renderer.render_job(jobs[i], measure);
    if (measure)
      stats[i] = s;
  };
  if (!pooled) {
    auto step = [&](std::size_t i) {
      {
        py::gil_scoped_release release;
        render_one(i);
      }
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    };
    if (!bar_over) {
      for (std::size_t i = 0; i < jobs.size(); ++i)
        step(i);
      return stats;
    }
    std::size_t i = 0;
    for (py::handle entry : progress(m, bar_over, kDescSynthesis)) {
      (void)entry;
      if (i < jobs.size())
        step(i++);
    }
    return stats;
  }
  if (jobs.empty())
    return stats;
  tavol::WorkerPool pool(jobs.size(), workers, render_one);
  wait_with_bar(m, pool, jobs.size(), kDescSynthesis);
  return stats;
}

void syn_waves(py::object synWavesList, py::object isSilence, py::object num) {
  py::module_ m = self();
  py::object entry = num.is_none() ? synWavesList : py::object(synWavesList[num]);
  const bool noise_only = py::bool_(isSilence);
  tavol::MixRenderer renderer;
  const auto jobs = plan_jobs(m, {entry}, renderer, noise_only);
  render_jobs(m, renderer, jobs, false, py::handle(), false);
}

// round(n * share) entries drawn with `choice` (numpy.random.choice, with
// replacement) from range(n), or none when the share rounds to nothing.
py::object silence_picks(py::handle choice, std::size_t n, py::handle share) {
  const py::object k =
      builtins().attr("round")(py::int_(n) * py::reinterpret_borrow<py::object>(share));
  if (!less(py::int_(0), k)) // a share that rounds to nothing adds nothing
    return py::list();
  return choice(builtins().attr("range")(n), "size"_a = k);
}

bool silence_asked(py::handle is_silence, py::handle share) {
  return truthy(is_silence) && less(share, py::int_(1)) && less(py::int_(0), share);
}

// Appends round(N * p_silence) entries drawn with numpy.random.choice (with
// replacement): SNR 0, named <clean stem><noise stem>_n00.wav beside the drawn one.
void add_silence_entries(py::module_ &m, py::object &self_, py::handle p_silence) {
  const std::vector<py::object> planned = items_of(self_.attr(kAttrEntries));
  py::object picks =
      silence_picks(m.attr("np").attr("random").attr("choice"), planned.size(), p_silence);
  if (py::len(picks) == 0)
    return;
  py::list entries;
  for (const auto &entry : planned)
    entries.append(py::tuple(entry));
  const FsCodec fs(m);
  for (py::handle pick : picks) {
    const py::tuple drawn = unpack(planned[pick.cast<std::size_t>()], 4);
    const std::string name = tavol::silence_name(stem_bytes(fs, to_path(m, drawn[1])),
                                                 stem_bytes(fs, to_path(m, drawn[2])));
    py::object output = join(to_path(m, drawn[0]).attr("parent"), fs.str(name));
    entries.append(py::make_tuple(output, drawn[1], drawn[2], 0));
  }
  self_.attr(kAttrEntries) = entries;
}

void syn_pool(py::object self_, py::object is_pool, py::object is_silence, py::object p_silence) {
  py::module_ m = self();
  const bool silence = truthy(is_silence);
  if (silence_asked(is_silence, p_silence))
    add_silence_entries(m, self_, p_silence);
  py::object list = self_.attr(kAttrEntries);
  const std::vector<py::object> entries = items_of(list);
  const bool pooled = py::bool_(is_pool) && entries.size() > tavol::kSynthPoolThreshold;
  tavol::MixRenderer renderer;
  const auto jobs = plan_jobs(m, entries, renderer, silence);
  render_jobs(m, renderer, jobs, pooled, pooled ? py::handle() : py::handle(list), false);
}

// ---------------------------------------------------------------- plans

// Everything a run will do, decided (and every random number drawn) before
// it touches the disk. Rows, in the order written: copies, stage-one
// mixtures, entries (planned, then silence), clean targets.
struct RunPlan {
  std::string mode; // "regular", "increment" or "extra"
  std::unique_ptr<tavol::MixRenderer> renderer;
  std::vector<tavol::ManifestRow> rows;
  std::vector<std::pair<py::object, py::object>> copies; // shutil.copy(source, destination)
  std::size_t stage_begin = 0, entries_begin = 0, targets_begin = 0;
  py::list stage_entries;         // the extra mode's stage-one entries
  py::list entries;               // synWavesList after the run
  std::vector<std::string> lines; // status lines printed before rendering

  std::vector<tavol::MixJob> jobs(std::size_t begin, std::size_t end) const {
    std::vector<tavol::MixJob> out;
    for (std::size_t i = begin; i < end; ++i)
      out.push_back(rows[i].job);
    return out;
  }
};

// The outputs of `rows` numbered where they repeat, with one warning line.
void number_repeats(py::module_ &m, std::vector<tavol::ManifestRow> &rows, std::size_t begin,
                    const char *caller) {
  std::vector<std::string> paths;
  for (std::size_t i = begin; i < rows.size(); ++i)
    paths.push_back(rows[i].job.output.string());
  const auto renamed = tavol::number_repeated_paths(paths);
  if (renamed.empty())
    return;
  const FsCodec fs(m);
  const std::string first = rows[begin + renamed[0]].job.output.string();
  for (std::size_t i : renamed)
    rows[begin + i].job.output = paths[i];
  m.attr("warn")(std::string("[tl.] ") + caller + ": " + std::to_string(renamed.size()) +
                 " output names repeat within the plan; numbered _2, _3, ... (first: '" +
                 text(fs.str(first)) + "' -> '" + text(fs.str(paths[renamed[0]])) + "')");
}

// Names that the file system cannot hold, and (for a manifest) names it
// cannot write as UTF-8: found before the run touches anything.
void check_names(py::module_ &m, const RunPlan &plan, bool manifest, const char *caller) {
  std::vector<std::string> outputs;
  for (const auto &row : plan.rows)
    outputs.push_back(row.job.output.string());
  try {
    tavol::check_path_lengths(outputs, tavol::kMaxNameBytes, tavol::kMaxPathBytes);
  } catch (const tavol::InvalidArgument &e) {
    throw py::value_error(std::string("[tl.] ") + caller + ": " + e.what());
  }
  if (!manifest)
    return;
  const FsCodec fs(m);
  for (const auto &row : plan.rows)
    for (const std::string *path : {&row.job.output.native(), &row.job.clean, &row.job.noise}) {
      if (PyObject *text =
              PyUnicode_DecodeUTF8(path->data(), static_cast<Py_ssize_t>(path->size()), "strict")) {
        Py_DECREF(text);
        continue;
      }
      PyErr_Clear();
      throw py::value_error(std::string("[tl.] ") + caller + ": the manifest cannot hold " +
                            text(py::repr(fs.str(*path))) +
                            ", which is not valid UTF-8; rename it or run without a manifest");
    }
}

// The output of a mixture's clean target: RAW_DATA, then the mixture's path
// below the output folder.
std::string target_path(const std::string &raw_folder, const std::string &output,
                        const std::string &out_folder) {
  return (fs::path(raw_folder) / fs::path(output).lexically_relative(out_folder)).string();
}

// Regular ("reg", "regular") and increment ("inc", "increment") plans.
RunPlan plan_syn(py::module_ &m, py::object &self_, bool regular, py::handle mkdir_parents,
                 py::handle is_add_clean, py::handle rdn_choice_num, py::handle is_silence,
                 py::handle p_silence, const RunOptions &o) {
  const FsCodec fs(m);
  py::object np = m.attr("np");
  py::object rng = random_source(m, o);
  py::object noisy = self_.attr(kAttrOutput);
  py::object clean_waves = self_.attr(kAttrClean);
  py::object noise_waves = self_.attr(kAttrNoise);
  py::object snrs = self_.attr(kAttrSnrs);
  RunPlan plan;
  plan.mode = regular ? "regular" : "increment";
  plan.renderer = std::make_unique<tavol::MixRenderer>(o.rate);

  std::vector<py::object> chosen = items_of(clean_waves);
  const py::int_ available(chosen.size());
  if (!less(available, rdn_choice_num) && less(py::int_(0), rdn_choice_num)) {
    py::object choice = rng.attr("choice");
    chosen.clear();
    for (long i = 0, n = rdn_choice_num.cast<long>(); i < n; ++i)
      chosen.push_back(choice(clean_waves));
  }
  const std::vector<py::object> noises = items_of(noise_waves);
  const std::size_t C = chosen.size(), N = py::len(noise_waves), S = py::len(snrs);
  plan.lines.push_back("Clean: " + std::to_string(C) + ", Noise: " + std::to_string(N) +
                       ", SNR: " + text(snrs[py::int_(0)]) + " ~ " + text(snrs[py::int_(-1)]));
  std::vector<tavol::Pairing> pairs;
  if (regular) {
    plan.lines.push_back(std::to_string(S) + " SNRs * " + std::to_string(N) + " noises, generate " +
                         std::to_string(C) + " noisy.");
    floor_div(C, N);
    floor_div(C, S);
    pairs = tavol::pair_in_turn(C, N, S);
  } else {
    plan.lines.push_back(std::to_string(C * N * S) + " noisy files generated by " +
                         std::to_string(S) + " kinds of SNR and " + std::to_string(N) +
                         " noise files ");
    pairs = tavol::pair_all(C, N, S);
  }
  // np.tile(snrs, k)[i] is this array's element i mod S (numpy's own scalar types).
  py::object snr_values = np.attr("tile")(snrs, 1);

  const bool mirror = truthy(mkdir_parents);
  py::object clean_root = self_.attr(kAttrCleanDir);
  std::vector<std::string> folders, clean_stems, noise_stems, tags;
  for (const auto &c : chosen) {
    clean_stems.push_back(stem_bytes(fs, c));
    folders.push_back(
        fs.bytes(mirror ? join(noisy, c.attr("relative_to")(clean_root).attr("parent")) : noisy));
  }
  for (const auto &n : noises)
    noise_stems.push_back(stem_bytes(fs, n));
  for (std::size_t s = 0; s < S; ++s)
    tags.push_back(snr_tag(snr_values[py::int_(s)], false));
  const auto paths = tavol::mixture_paths(pairs, folders, clean_stems, noise_stems, tags);

  // Entries: the planned ones, then the silence share (SNR 0, named by the stems).
  std::vector<std::string> clean_paths, noise_paths;
  for (const auto &c : chosen)
    clean_paths.push_back(fs.bytes(c));
  for (const auto &n : noises)
    noise_paths.push_back(fs.bytes(n));
  const bool noise_only = truthy(is_silence);
  std::vector<py::object> clean_of, noise_of, snr_of;
  auto add_entry = [&](const std::string &output, const tavol::Pairing &p, py::object snr,
                       tavol::RowKind kind) {
    tavol::ManifestRow row;
    row.kind = kind;
    row.job.output = output;
    row.job.clean = clean_paths[p.clean];
    row.job.noise = noise_paths[p.noise];
    row.job.snr_db = snr.cast<double>();
    row.job.noise_only = noise_only;
    row.job.definition = o.definition;
    row.job.clipping = o.clipping;
    row.rate = o.rate;
    plan.rows.push_back(std::move(row));
    clean_of.push_back(chosen[p.clean]);
    noise_of.push_back(noises[p.noise]);
    snr_of.push_back(std::move(snr));
  };
  if (truthy(is_add_clean)) {
    const std::string raw = fs.bytes(join(noisy, py::str(kRawFolder)));
    std::unordered_set<std::string> copied; // destination and source
    for (const auto &c : chosen) {
      const std::string dest = raw + "/" + stem_bytes(fs, c) + kRawTag + kExt;
      const std::string source = fs.bytes(c);
      if (!copied.insert(dest + '\0' + source).second)
        continue; // the same file drawn twice: one copy
      tavol::ManifestRow row;
      row.kind = tavol::RowKind::RawCopy;
      row.job.output = dest;
      row.job.clean = source;
      plan.rows.push_back(std::move(row));
      plan.copies.emplace_back(c, py::none());
    }
    number_repeats(m, plan.rows, 0, "syn");
    for (std::size_t i = 0; i < plan.copies.size(); ++i)
      plan.copies[i].second = fs.to_path(plan.rows[i].job.output.string());
  }
  plan.stage_begin = plan.entries_begin = plan.rows.size();
  for (std::size_t i = 0; i < pairs.size(); ++i)
    add_entry(paths[i], pairs[i], snr_values[py::int_(pairs[i].snr)], tavol::RowKind::Mixture);
  if (silence_asked(is_silence, p_silence)) {
    for (py::handle pick : silence_picks(rng.attr("choice"), pairs.size(), p_silence)) {
      const std::size_t i = pick.cast<std::size_t>();
      const tavol::Pairing &p = pairs[i];
      const fs::path output = fs::path(paths[i]).parent_path() /
                              tavol::silence_name(clean_stems[p.clean], noise_stems[p.noise]);
      add_entry(output.string(), p, py::int_(0), tavol::RowKind::Silence);
    }
  }
  number_repeats(m, plan.rows, plan.entries_begin, "syn");
  for (std::size_t i = plan.entries_begin; i < plan.rows.size(); ++i) {
    const auto &job = plan.rows[i].job;
    const std::size_t k = i - plan.entries_begin;
    plan.entries.append(
        py::make_tuple(fs.to_path(job.output.string()), clean_of[k], noise_of[k], snr_of[k]));
  }
  plan.targets_begin = plan.rows.size();
  if (truthy(is_add_clean) && o.clipping == tavol::Clipping::Rescale && !truthy(is_silence)) {
    const std::string raw = fs.bytes(join(noisy, py::str(kRawFolder)));
    const std::string out_folder = fs.bytes(noisy);
    for (std::size_t i = plan.entries_begin; i < plan.targets_begin; ++i) {
      tavol::ManifestRow row = plan.rows[i];
      row.kind = tavol::RowKind::CleanTarget;
      row.job.clean_target = true;
      row.job.output = target_path(raw, row.job.output.string(), out_folder);
      plan.rows.push_back(std::move(row));
    }
  }
  check_names(m, plan, o.measure(), "syn");

  Lengths lengths(m, *plan.renderer);
  py::object randint = rng.attr("randint");
  for (std::size_t i = plan.entries_begin; i < plan.targets_begin; ++i) {
    if (i % 256 == 255 && PyErr_CheckSignals() != 0)
      throw py::error_already_set();
    draw_offset(randint, lengths, plan.rows[i]);
  }
  for (std::size_t i = plan.targets_begin; i < plan.rows.size(); ++i) {
    const auto &mixture = plan.rows[plan.entries_begin + (i - plan.targets_begin)];
    plan.rows[i].job.offset = mixture.job.offset;
    plan.rows[i].fit = mixture.fit;
    plan.rows[i].samples = mixture.samples;
  }
  return plan;
}

// The extra mode: every noise with every background at every background SNR
// (stage one, in the staging folder), then every clean with every member of
// the enlarged noise set at every SNR, noise only, with the silence share.
RunPlan plan_extra(py::module_ &m, py::object &self_, py::object backgrounds, py::object bg_snrs,
                   const RunOptions &o) {
  const FsCodec fs(m);
  py::object np = m.attr("np");
  py::object rng = random_source(m, o);
  py::object noisy = self_.attr(kAttrOutput);
  const std::vector<py::object> cleans = items_of(self_.attr(kAttrClean));
  const std::vector<py::object> noises = items_of(self_.attr(kAttrNoise));
  const std::vector<py::object> bgs = items_of(backgrounds);
  py::object snrs = self_.attr(kAttrSnrs);
  py::object stage = to_path(m, py::str(kStageFolder));
  RunPlan plan;
  plan.mode = "extra";
  plan.renderer = std::make_unique<tavol::MixRenderer>(o.rate);
  auto row_of = [&](tavol::RowKind kind, const std::string &output, const std::string &clean,
                    const std::string &noise, double snr, bool noise_only) {
    tavol::ManifestRow row;
    row.kind = kind;
    row.job.output = output;
    row.job.clean = clean;
    row.job.noise = noise;
    row.job.snr_db = snr;
    row.job.noise_only = noise_only;
    row.job.definition = o.definition;
    row.job.clipping = o.clipping;
    row.rate = o.rate;
    return row;
  };

  // The clean copies: <stem>_n0 with the clean file's own suffix.
  for (const auto &c : cleans) {
    py::object name =
        c.attr("stem").attr("__add__")(py::str(kCleanCopyTag)).attr("__add__")(c.attr("suffix"));
    const std::string dest = fs.bytes(join(noisy, name));
    tavol::ManifestRow row = row_of(tavol::RowKind::CleanCopy, dest, fs.bytes(c), "", 0, false);
    plan.rows.push_back(std::move(row));
    plan.copies.emplace_back(c, py::none());
  }
  number_repeats(m, plan.rows, 0, "syn_extra_mode");
  for (std::size_t i = 0; i < plan.copies.size(); ++i)
    plan.copies[i].second = fs.to_path(plan.rows[i].job.output.string());

  // Stage one, noise-major: the noise plays the clean role, the background the noise role.
  const std::size_t N = noises.size(), B = bgs.size(), K = py::len(bg_snrs);
  py::object bg_values = np.attr("tile")(bg_snrs, 1);
  std::vector<std::string> noise_stems, bg_stems, bg_tags;
  for (const auto &n : noises)
    noise_stems.push_back(stem_bytes(fs, n));
  for (const auto &b : bgs)
    bg_stems.push_back(stem_bytes(fs, b));
  for (std::size_t k = 0; k < K; ++k)
    bg_tags.push_back(snr_tag(bg_values[py::int_(k)], true));
  const auto stage_pairs = tavol::pair_all(N, B, K);
  const std::vector<std::string> stage_folder(N, fs.bytes(stage));
  const auto stage_paths =
      tavol::mixture_paths(stage_pairs, stage_folder, noise_stems, bg_stems, bg_tags);
  plan.stage_begin = plan.rows.size();
  std::vector<py::object> stage_snrs;
  for (std::size_t i = 0; i < stage_pairs.size(); ++i) {
    const auto &p = stage_pairs[i];
    py::object snr = bg_values[py::int_(p.snr)];
    plan.rows.push_back(row_of(tavol::RowKind::Stage, stage_paths[i], fs.bytes(noises[p.clean]),
                               fs.bytes(bgs[p.noise]), snr.cast<double>(), false));
    stage_snrs.push_back(snr);
  }
  number_repeats(m, plan.rows, plan.stage_begin, "syn_extra_mode");
  std::vector<py::object> enlarged;
  std::vector<std::string> enlarged_stems;
  for (std::size_t i = 0; i < stage_pairs.size(); ++i) {
    const auto &row = plan.rows[plan.stage_begin + i];
    py::object out = fs.to_path(row.job.output.string());
    plan.stage_entries.append(py::make_tuple(out, noises[stage_pairs[i].clean],
                                             bgs[stage_pairs[i].noise], stage_snrs[i]));
    enlarged.push_back(out);
  }
  // Offsets in the order the documented run draws them: stage one's now,
  // before stage two's silence picks and offsets.
  Lengths lengths(m, *plan.renderer);
  py::object randint = rng.attr("randint");
  for (std::size_t i = plan.stage_begin; i < plan.rows.size(); ++i) {
    draw_offset(randint, lengths, plan.rows[i]);
    // The stage file will be as long as its clean (the noise).
    lengths.set(plan.rows[i].job.output.string(), plan.rows[i].samples);
  }
  enlarged.insert(enlarged.end(), noises.begin(), noises.end());
  enlarged.insert(enlarged.end(), bgs.begin(), bgs.end());
  for (const auto &e : enlarged)
    enlarged_stems.push_back(stem_bytes(fs, e));

  // Stage two, clean-major, flat in the output folder, every file noise only.
  const std::size_t C = cleans.size(), M = enlarged.size(), S = py::len(snrs);
  py::object snr_values = np.attr("tile")(snrs, 1);
  std::vector<std::string> clean_stems, tags;
  for (const auto &c : cleans)
    clean_stems.push_back(stem_bytes(fs, c));
  for (std::size_t s = 0; s < S; ++s)
    tags.push_back(snr_tag(snr_values[py::int_(s)], true));
  const auto pairs = tavol::pair_all(C, M, S);
  const std::vector<std::string> flat(C, fs.bytes(noisy));
  const auto paths = tavol::mixture_paths(pairs, flat, clean_stems, enlarged_stems, tags);
  plan.entries_begin = plan.rows.size();
  std::vector<py::object> clean_of, noise_of, snr_of;
  std::vector<std::string> clean_paths, member_paths;
  for (const auto &c : cleans)
    clean_paths.push_back(fs.bytes(c));
  for (const auto &e : enlarged)
    member_paths.push_back(fs.bytes(e));
  auto add_entry = [&](const std::string &output, const tavol::Pairing &p, py::object snr,
                       tavol::RowKind kind) {
    plan.rows.push_back(row_of(kind, output, clean_paths[p.clean], member_paths[p.noise],
                               snr.cast<double>(), true));
    clean_of.push_back(cleans[p.clean]);
    noise_of.push_back(enlarged[p.noise]);
    snr_of.push_back(std::move(snr));
  };
  for (std::size_t i = 0; i < pairs.size(); ++i)
    add_entry(paths[i], pairs[i], snr_values[py::int_(pairs[i].snr)], tavol::RowKind::Mixture);
  for (py::handle pick :
       silence_picks(rng.attr("choice"), pairs.size(), py::float_(kExtraSilenceShare))) {
    const std::size_t i = pick.cast<std::size_t>();
    const tavol::Pairing &p = pairs[i];
    const fs::path output = fs::path(paths[i]).parent_path() /
                            tavol::silence_name(clean_stems[p.clean], enlarged_stems[p.noise]);
    add_entry(output.string(), p, py::int_(0), tavol::RowKind::Silence);
  }
  number_repeats(m, plan.rows, plan.entries_begin, "syn_extra_mode");
  for (std::size_t i = plan.entries_begin; i < plan.rows.size(); ++i) {
    const std::size_t k = i - plan.entries_begin;
    plan.entries.append(py::make_tuple(fs.to_path(plan.rows[i].job.output.string()), clean_of[k],
                                       noise_of[k], snr_of[k]));
  }
  plan.targets_begin = plan.rows.size();
  check_names(m, plan, o.measure(), "syn_extra_mode");

  for (std::size_t i = plan.entries_begin; i < plan.rows.size(); ++i) {
    if (i % 256 == 255 && PyErr_CheckSignals() != 0)
      throw py::error_already_set();
    draw_offset(randint, lengths, plan.rows[i]);
  }
  return plan;
}

// ---------------------------------------------------------------- manifests

// Where manifest=... writes the CSV: None for no manifest.
std::optional<py::object> manifest_path(py::module_ &m, py::handle manifest, py::handle noisy) {
  if (!truthy(manifest))
    return std::nullopt;
  py::object path_like = py::module_::import("os").attr("PathLike");
  if (!py::isinstance<py::str>(manifest) && !py::isinstance(manifest, path_like))
    return join(noisy, py::str(kManifestName));
  py::object path = to_path(m, manifest);
  if (path.attr("is_dir")().cast<bool>())
    path = join(path, py::str(kManifestName));
  return path;
}

// What manifest.json records besides the run's parameters: the version, the
// number of rows and where the outputs are (relative to the manifest's folder).
void complete_sidecar(py::dict params, std::size_t rows, py::str out_path) {
  params["tavol_version"] = kVersion;
  params["rows"] = rows;
  params["out_path"] = out_path;
  params["paths"] = "output: relative to out_path; clean and noise: relative to this file's "
                    "folder; tmp_mixed/...: a stage row's mixture";
}

// manifest.csv (the rows) and manifest.json (the run's parameters), written atomically.
void write_manifest(py::module_ &m, const RunPlan &plan, py::handle noisy, py::handle csv_path,
                    py::dict params) {
  const FsCodec fs(m);
  py::object folder = csv_path.attr("parent");
  folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  const fs::path base = fs.bytes(folder), out = fs.bytes(noisy);
  complete_sidecar(params, plan.rows.size(), fs.str(tavol::relative_path(out, base)));
  const std::string json = py::module_::import("json")
                               .attr("dumps")(params, "indent"_a = 1, "ensure_ascii"_a = false)
                               .cast<std::string>() +
                           "\n";
  const fs::path csv = fs.bytes(csv_path);
  const fs::path json_path = fs::path(csv).replace_extension(".json");
  py::gil_scoped_release release;
  const std::string text = tavol::manifest_csv(plan.rows, out, base);
  tavol::write_text_atomically(csv, text);
  tavol::write_text_atomically(json_path, json);
}

py::list as_list(py::handle values) {
  py::list out;
  for (py::handle v : values)
    out.append(py::hasattr(v, "item") ? v.attr("item")() : py::reinterpret_borrow<py::object>(v));
  return out;
}

py::dict run_params(const RunPlan &plan, py::handle snrs, const RunOptions &o) {
  py::dict params;
  params["mode"] = plan.mode;
  params["snr"] = as_list(snrs);
  params["seed"] = o.seed.is_none() || PyLong_Check(o.seed.ptr()) ? o.seed : py::str(o.seed);
  params["snr_definition"] = tavol::to_string(o.definition);
  params["clipping"] = tavol::to_string(o.clipping);
  params["sample_rate"] = o.rate;
  return params;
}

// The parameters of a syn() run, as its manifest.json records them.
py::dict syn_params(const RunPlan &plan, py::handle snrs, const RunOptions &o,
                    py::handle mkdir_parents, py::handle is_add_clean, py::handle rdn_choice_num,
                    py::handle is_silence, py::handle p_silence) {
  py::dict params = run_params(plan, snrs, o);
  params["mkdir_parents"] = truthy(mkdir_parents);
  params["is_add_clean"] = truthy(is_add_clean);
  params["rdn_choice_num"] = rdn_choice_num;
  params["is_silence"] = truthy(is_silence);
  params["p_silence"] = p_silence;
  return params;
}

// The parameters of a syn_extra_mode() run, as its manifest.json records them.
py::dict extra_params(const RunPlan &plan, py::handle snrs, const RunOptions &o,
                      py::handle bg_snrs) {
  py::dict params = run_params(plan, snrs, o);
  params["background_snr"] = as_list(bg_snrs);
  params["p_silence"] = kExtraSilenceShare;
  return params;
}

// One column of the table rows_frame() builds, typed as pandas.read_csv (no
// options) types the same cells: numbers are int64 when every cell is a whole
// number, else float64 with NaN for empty cells; True/False flags are bool, or
// objects beside NaN; text is str with NaN for empty cells; a column without
// any value is float64 NaN. A cell whose reading by pandas this does not
// follow (text pandas would take for a number, a flag or a missing value; a
// whole number float64 cannot hold exactly; text that is not UTF-8) makes
// add() answer false, and the caller has pandas parse the text instead.
// (Building the columns costs about a quarter of pandas.read_csv on a few
// hundred rows, whose fixed cost is near 2 ms a call.)
class FrameColumn {
public:
  enum class Kind { Text, Number, Flag };
  FrameColumn(Kind kind, std::size_t rows, bool repeats)
      : kind_(kind), repeats_(repeats), texts_(kind == Kind::Text ? rows : 0) {
    if (kind == Kind::Number) {
      ints_.reserve(rows);
      reals_.reserve(rows);
    } else if (kind == Kind::Flag) {
      flags_.reserve(rows);
    }
  }

  bool add(const std::string &cell) {
    const std::size_t at = n_++;
    if (cell.empty())
      ++empty_;
    switch (kind_) {
    case Kind::Number:
      return add_number(cell);
    case Kind::Flag:
      if (cell.empty() || cell == "True" || cell == "False") {
        flags_.push_back(cell.empty() ? -1 : cell == "True");
        return true;
      }
      return false;
    case Kind::Text:
      return add_text(cell, at);
    }
    return false;
  }

  py::object finish(py::handle np) const {
    if (empty_ == n_)
      return filled(std::numeric_limits<double>::quiet_NaN());
    switch (kind_) {
    case Kind::Number:
      return empty_ == 0 && whole_ ? array_of(ints_) : array_of(reals_);
    case Kind::Flag: {
      if (empty_ == 0) {
        py::array_t<bool> out(static_cast<py::ssize_t>(n_));
        std::transform(flags_.begin(), flags_.end(), out.mutable_data(),
                       [](signed char f) { return f == 1; });
        return out;
      }
      py::list values(n_);
      const py::float_ nan(std::numeric_limits<double>::quiet_NaN());
      for (std::size_t i = 0; i < n_; ++i)
        values[i] = flags_[i] < 0 ? py::object(nan) : py::bool_(flags_[i] == 1);
      return np.attr("array")(values, "dtype"_a = "object");
    }
    case Kind::Text:
      return texts_;
    }
    return py::none();
  }

private:
  template <class T> static py::object array_of(const std::vector<T> &values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
  }
  py::object filled(double value) const { return array_of(std::vector<double>(n_, value)); }

  bool add_number(const std::string &cell) {
    if (cell.empty()) {
      reals_.push_back(std::numeric_limits<double>::quiet_NaN());
      return true;
    }
    const char *first = cell.data(), *last = first + cell.size();
    double real = 0.0;
    if (auto [end, ec] = std::from_chars(first, last, real); ec != std::errc() || end != last)
      return false;
    std::int64_t whole = 0;
    if (auto [end, ec] = std::from_chars(first, last, whole); ec == std::errc() && end == last) {
      if (std::abs(real) >= 9007199254740992.0) // 2^53: float64 may round what int64 holds
        return false;
      ints_.push_back(whole);
    } else {
      whole_ = false;
    }
    reals_.push_back(real);
    return true;
  }

  // Text pandas keeps as it is: not a missing-value marker, a flag or a number.
  static bool plain_text(const std::string &cell) {
    static const std::unordered_set<std::string> special = {
        "#N/A",    "#N/A N/A", "#NA",  "-1.#IND", "-1.#QNAN", "-NaN",  "-nan",  "1.#IND",
        "1.#QNAN", "<NA>",     "N/A",  "NA",      "NULL",     "NaN",   "None",  "n/a",
        "nan",     "null",     "True", "TRUE",    "true",     "False", "FALSE", "false"};
    if (special.count(cell) || std::isspace(static_cast<unsigned char>(cell.front())) ||
        std::isspace(static_cast<unsigned char>(cell.back())) || cell.front() == '+')
      return false;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), v);
    return !(end == cell.data() + cell.size() && ec != std::errc::invalid_argument);
  }

  bool add_text(const std::string &cell, std::size_t at) {
    if (cell.empty()) {
      texts_[at] = py::float_(std::numeric_limits<double>::quiet_NaN());
      return true;
    }
    if (repeats_) // kinds, policies and inputs repeat: one str each
      if (auto it = seen_.find(cell); it != seen_.end()) {
        texts_[at] = it->second;
        return true;
      }
    if (!plain_text(cell))
      return false;
    PyObject *text =
        PyUnicode_DecodeUTF8(cell.data(), static_cast<Py_ssize_t>(cell.size()), "strict");
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    auto value = py::reinterpret_steal<py::object>(text);
    if (repeats_)
      seen_.emplace(cell, value);
    texts_[at] = std::move(value);
    return true;
  }

  Kind kind_;
  bool repeats_;
  std::size_t n_ = 0, empty_ = 0;
  bool whole_ = true;
  std::vector<std::int64_t> ints_;
  std::vector<double> reals_;
  std::vector<signed char> flags_;
  py::list texts_;
  std::unordered_map<std::string, py::object> seen_;
};

// The columns of manifest rows by what their cells hold.
FrameColumn::Kind column_kind(const std::string &name) {
  static const std::unordered_set<std::string> texts = {
      "output", "kind", "clean", "noise", "snr_definition", "fit", "clipping"};
  if (texts.count(name))
    return FrameColumn::Kind::Text;
  return name == "noise_only" ? FrameColumn::Kind::Flag : FrameColumn::Kind::Number;
}

// The rows as a DataFrame, exactly as pandas reads the manifest file (built
// from the cells, or parsed from the text when FrameColumn gives up); attrs
// hold the folders render() resolves its paths against.
py::object rows_frame(py::module_ &m, const std::vector<tavol::ManifestRow> &rows, py::handle noisy,
                      py::handle base) {
  const FsCodec fs(m);
  const fs::path out_folder = fs.bytes(noisy), base_folder = fs.bytes(base);
  py::module_ pandas = py::module_::import("pandas");
  py::object frame;
  if (!rows.empty()) {
    const auto &names = tavol::manifest_columns();
    std::vector<FrameColumn> columns;
    for (const auto &name : names)
      columns.emplace_back(column_kind(name), rows.size(), name != "output");
    tavol::ManifestCells cells(rows, out_folder, base_folder);
    std::vector<std::string> row_cells;
    bool known = true;
    for (std::size_t r = 0; r < rows.size() && known; ++r) {
      cells.row(rows[r], row_cells);
      for (std::size_t c = 0; c < columns.size() && known; ++c)
        known = columns[c].add(row_cells[c]);
    }
    if (known) {
      py::dict data;
      for (std::size_t c = 0; c < columns.size(); ++c)
        data[py::str(names[c])] = columns[c].finish(m.attr("np"));
      frame = pandas.attr("DataFrame")(data, "copy"_a = false);
    }
  }
  if (!frame) {
    const std::string text = tavol::manifest_csv(rows, out_folder, base_folder);
    frame = pandas.attr("read_csv")(py::module_::import("io").attr("StringIO")(fs.str(text)));
  }
  py::object absolute = py::module_::import("os").attr("path").attr("abspath");
  frame.attr("attrs")["out_path"] = absolute(noisy);
  frame.attr("attrs")["base"] = absolute(base);
  return frame;
}

// ---------------------------------------------------------------- running a plan

// Renders rows [begin, end) of the plan, recording their stats when measuring.
void render_rows(py::module_ &m, RunPlan &plan, std::size_t begin, std::size_t end, bool pooled,
                 py::handle bar_over, bool measure) {
  const auto jobs = plan.jobs(begin, end);
  plan.renderer->expect(jobs);
  const auto stats = render_jobs(m, *plan.renderer, jobs, pooled, bar_over, measure);
  for (std::size_t i = 0; i < stats.size(); ++i)
    plan.rows[begin + i].stats = stats[i];
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
          py::object snr_ratio, py::object seed) {
  py::module_ m = self();
  if (assertions_enabled()) {
    const bool clean_ok = to_path(m, clean).attr("is_dir")().cast<bool>();
    const bool noise_ok = to_path(m, noise).attr("is_dir")().cast<bool>();
    py_assert(clean_ok && noise_ok, py::str(kMsgInputPath));
  }
  self_.attr(kAttrClean) = m.attr("check_input")(clean)[py::int_(0)];
  self_.attr(kAttrNoise) = m.attr("check_input")(noise)[py::int_(0)];
  for (auto [given, attr] : {std::pair{clean, kAttrClean}, std::pair{noise, kAttrNoise}}) {
    const std::size_t found = py::len(self_.attr(attr));
    if (found == 0)
      py_assert(false, py::str(kMsgErrorInput + text(given) + ", found " + std::to_string(found) +
                               " files."));
  }
  self_.attr(kAttrOutput) =
      to_path(m, out_path.equal(py::str("")) ? py::str(kDefaultOutput) : out_path);
  self_.attr(kAttrSnrs) = listify_snr(snr_ratio);
  self_.attr(kAttrEntries) = py::none();
  self_.attr(kAttrCleanDir) = clean;
  if (!seed.is_none()) // only then: a default instance keeps exactly its documented attributes
    self_.attr(kSeedAttr) = seed;
}

py::object stored_plan(py::object self_) {
  py::object plan = self_.attr(kAttrEntries);
  if (!plan.is_none() && !PyList_CheckExact(plan.ptr()))
    throw py::type_error(std::string("Expected list, got ") + Py_TYPE(plan.ptr())->tp_name);
  return plan;
}

py::tuple waveform(py::object self_, py::object is_pool) {
  py::module_ m = self();
  py::object load = m.attr("partial")(m.attr("load_waves"), "use_pool"_a = is_pool);
  py::object clean = load(self_.attr(kAttrClean));
  py::object noise = load(self_.attr(kAttrNoise));
  return py::make_tuple(clean, noise);
}

// ---------------------------------------------------------------- regular and increment

py::object syn(py::object self_, py::object mode, py::object mkdir_parents, py::object is_add_clean,
               py::object rdn_choice_num, py::object overwrite, py::object is_pool,
               py::object is_silence, py::object p_silence, py::object manifest, py::object seed,
               py::object snr_definition, py::object clipping, py::object sample_rate) {
  check_exact_type(mode, "mode", &PyUnicode_Type);
  check_exact_type(rdn_choice_num, "rdn_choice_num", &PyLong_Type);
  const std::string name = mode.cast<std::string>();
  const bool regular = name == "reg" || name == "regular";
  const bool increment = name == "inc" || name == "increment";
  // The mode is settled before the disk is touched.
  if (!regular && !increment)
    return py::str(name == "max" || name == "extra" ? kMsgUseExtra : kMsgBadMode);
  const RunOptions o = run_options(self_, manifest, seed, snr_definition, clipping, sample_rate);

  py::module_ m = self();
  py::object noisy = self_.attr(kAttrOutput);
  py::object snrs = self_.attr(kAttrSnrs);
  check_output_folder(m, noisy, {self_.attr(kAttrClean), self_.attr(kAttrNoise)}, "syn", false);
  check_finite_snrs(snrs, "syn");

  print(kMsgBanner);
  const bool occupied = is_nonempty_folder(noisy);
  if (occupied && !py::bool_(overwrite)) {
    m.attr("warn")(kMsgExists + text(noisy) + kMsgStopped);
    return py::none();
  }
  RunPlan plan = plan_syn(m, self_, regular, mkdir_parents, is_add_clean, rdn_choice_num,
                          is_silence, p_silence, o);
  const auto csv = manifest_path(m, o.manifest, noisy);

  if (occupied) {
    m.attr("warn")(kMsgOverwriting + text(noisy));
    m.attr("shutil").attr("rmtree")(noisy);
  }
  noisy.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  if (!plan.copies.empty())
    join(noisy, py::str(kRawFolder)).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  for (const auto &[source, destination] : plan.copies)
    m.attr("shutil").attr("copy")(source, destination);
  for (const auto &line : plan.lines)
    print(line);

  self_.attr(kAttrEntries) = plan.entries;
  const bool pooled = py::bool_(is_pool) && py::len(plan.entries) > tavol::kSynthPoolThreshold;
  render_rows(m, plan, plan.entries_begin, plan.targets_begin, pooled,
              pooled ? py::handle() : py::handle(plan.entries), o.measure());
  render_rows(m, plan, plan.targets_begin, plan.rows.size(), false, py::handle(), o.measure());
  if (csv)
    write_manifest(m, plan, noisy, *csv,
                   syn_params(plan, snrs, o, mkdir_parents, is_add_clean, rdn_choice_num,
                              is_silence, p_silence));
  return self_.attr(kAttrEntries);
}

// ---------------------------------------------------------------- background extra mode

py::object syn_extra_mode(py::object self_, py::object background_path, py::object background_snr,
                          py::object manifest, py::object seed, py::object snr_definition,
                          py::object clipping, py::object sample_rate) {
  py::module_ m = self();
  py::object shutil = m.attr("shutil");
  py::object bg_snrs = listify_snr(background_snr);
  py::object backgrounds = m.attr("check_input")(background_path)[py::int_(0)];
  py_assert(py::len(backgrounds) > 0, py::str(kMsgErrorInput + text(background_path)));
  const RunOptions o = run_options(self_, manifest, seed, snr_definition, clipping, sample_rate);

  py::object noisy = self_.attr(kAttrOutput);
  py::object snrs = self_.attr(kAttrSnrs);
  py::object stage = to_path(m, py::str(kStageFolder));
  const std::vector<py::object> inputs = {self_.attr(kAttrClean), self_.attr(kAttrNoise),
                                          backgrounds};
  check_output_folder(m, noisy, inputs, "syn_extra_mode", true);
  check_output_folder(m, stage, inputs, "syn_extra_mode", false);
  check_finite_snrs(snrs, "syn_extra_mode");
  check_finite_snrs(bg_snrs, "syn_extra_mode");
  RunPlan plan = plan_extra(m, self_, backgrounds, bg_snrs, o);
  const auto csv = manifest_path(m, o.manifest, noisy);

  if (is_nonempty_folder(noisy))
    shutil.attr("rmtree")(noisy);
  noisy.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  for (const auto &[source, destination] : plan.copies)
    shutil.attr("copy")(source, destination);
  if (stage.attr("is_dir")().cast<bool>())
    shutil.attr("rmtree")(stage);
  stage.attr("mkdir")();

  self_.attr(kAttrEntries) = plan.stage_entries;
  render_rows(m, plan, plan.stage_begin, plan.entries_begin, false, plan.stage_entries,
              o.measure());
  self_.attr(kAttrEntries) = plan.entries;
  const bool pooled = py::len(plan.entries) > tavol::kSynthPoolThreshold;
  render_rows(m, plan, plan.entries_begin, plan.targets_begin, pooled,
              pooled ? py::handle() : py::handle(plan.entries), o.measure());
  shutil.attr("rmtree")(stage);
  if (csv)
    write_manifest(m, plan, noisy, *csv, extra_params(plan, snrs, o, bg_snrs));
  return self_.attr(kAttrEntries);
}

// ---------------------------------------------------------------- dry runs and re-rendering

py::object plan_method(py::object self_, py::object mode, py::object mkdir_parents,
                       py::object is_add_clean, py::object rdn_choice_num, py::object is_silence,
                       py::object p_silence, py::object background_path, py::object background_snr,
                       py::object seed, py::object snr_definition, py::object clipping,
                       py::object sample_rate) {
  check_exact_type(mode, "mode", &PyUnicode_Type);
  check_exact_type(rdn_choice_num, "rdn_choice_num", &PyLong_Type);
  const std::string name = mode.cast<std::string>();
  py::module_ m = self();
  const RunOptions o =
      run_options(self_, py::bool_(false), seed, snr_definition, clipping, sample_rate);
  py::object noisy = self_.attr(kAttrOutput);
  py::object snrs = self_.attr(kAttrSnrs);
  RunPlan plan;
  py::dict params;
  if (name == "reg" || name == "regular" || name == "inc" || name == "increment") {
    check_finite_snrs(snrs, "plan");
    plan = plan_syn(m, self_, name == "reg" || name == "regular", mkdir_parents, is_add_clean,
                    rdn_choice_num, is_silence, p_silence, o);
    params = syn_params(plan, snrs, o, mkdir_parents, is_add_clean, rdn_choice_num, is_silence,
                        p_silence);
  } else if (name == "max" || name == "extra") {
    py::object bg_snrs = listify_snr(background_snr);
    py::object backgrounds = m.attr("check_input")(background_path)[py::int_(0)];
    py_assert(py::len(backgrounds) > 0, py::str(kMsgErrorInput + text(background_path)));
    check_finite_snrs(snrs, "plan");
    check_finite_snrs(bg_snrs, "plan");
    plan = plan_extra(m, self_, backgrounds, bg_snrs, o);
    params = extra_params(plan, snrs, o, bg_snrs);
  } else {
    throw py::value_error("plan: unknown mode '" + name +
                          "' (use 'regular', 'increment' or 'extra')");
  }
  py::object frame = rows_frame(m, plan.rows, noisy, noisy);
  // What manifest.json would record for these rows written into the output folder.
  complete_sidecar(params, plan.rows.size(), py::str("."));
  frame.attr("attrs")["run"] = params;
  return frame;
}

// `chosen` (rows of `rows` to be written) after the stage rows they mix in
// memory, so that a frame of them names those as the manifest does.
std::vector<tavol::ManifestRow> with_stages(const std::vector<tavol::ManifestRow> &rows,
                                            const std::vector<tavol::ManifestRow> &chosen) {
  std::unordered_set<std::string> referred;
  for (const auto &row : chosen)
    referred.insert(row.job.noise);
  std::vector<tavol::ManifestRow> done;
  for (const auto &row : rows)
    if (row.kind == tavol::RowKind::Stage && referred.count(row.job.output.string()))
      done.push_back(row);
  done.insert(done.end(), chosen.begin(), chosen.end());
  return done;
}

// Where render() finds a manifest's text (as bytes) and the folders its paths resolve against.
struct ManifestSource {
  std::string text;
  py::object out, base;
};

ManifestSource manifest_source(py::module_ &m, py::object manifest, py::object out_path) {
  py::module_ pandas = py::module_::import("pandas");
  py::object text, out, base;
  if (py::isinstance(manifest, pandas.attr("DataFrame"))) {
    py::object attrs = manifest.attr("attrs");
    text = manifest.attr("to_csv")("index"_a = false).attr("encode")("utf-8", "surrogateescape");
    base = attrs.attr("get")("base", out_path);
    out = out_path.is_none() ? attrs.attr("get")("out_path") : out_path;
    if (out.is_none())
      throw py::value_error("render: give out_path for a DataFrame that plan() did not make");
    if (base.is_none())
      base = out;
  } else {
    py::object csv = to_path(m, manifest);
    if (csv.attr("is_dir")().cast<bool>())
      csv = join(csv, py::str(kManifestName));
    text = csv.attr("read_bytes")();
    base = csv.attr("parent");
    out = base;
    py::object sidecar = csv.attr("with_suffix")(".json");
    if (sidecar.attr("is_file")().cast<bool>()) {
      py::object params = py::module_::import("json").attr("loads")(sidecar.attr("read_text")());
      if (py::isinstance<py::dict>(params) && params.contains("out_path"))
        out = join(base, params["out_path"]);
    }
    if (!out_path.is_none())
      out = out_path;
  }
  return {text.cast<std::string>(), out, base};
}

py::object render_on_cluster(py::module_ &m, const ManifestSource &src, bool resume,
                             py::object client);

py::object render(py::object manifest, py::object out_path, py::object workers, py::object resume,
                  py::object client) {
  py::module_ m = self();
  if (!client.is_none())
    import_extra("distributed", "dask", kModule);
  const FsCodec fs(m);
  const ManifestSource src = manifest_source(m, manifest, out_path);
  const py::object &out = src.out, &base = src.base;
  int threads = tavol::kSynthWorkers;
  if (!workers.is_none()) {
    check_exact_type(workers, "workers", &PyLong_Type);
    const long n = workers.cast<long>();
    if (n < 1 || n > 1024)
      throw py::value_error("render: workers must be 1 to 1024, got " + std::to_string(n));
    threads = static_cast<int>(n);
  }
  if (!client.is_none())
    return render_on_cluster(m, src, truthy(resume), client);

  const fs::path out_folder = fs.bytes(out), base_folder = fs.bytes(base);
  std::vector<tavol::ManifestRow> rows;
  {
    py::gil_scoped_release release;
    rows = tavol::manifest_rows(tavol::parse_csv(src.text), out_folder, base_folder);
  }
  int rate = tavol::kSynthRate;
  for (const auto &row : rows)
    if (!row.copies()) {
      rate = row.rate;
      break;
    }
  tavol::MixRenderer renderer(rate);
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == tavol::RowKind::Stage)
      renderer.stage(rows[i].job.output.string(), rows[i].job);
    else if (!py::bool_(resume) || !tavol::output_complete(rows[i]))
      todo.push_back(i);
  }

  // Copies first, then the mixtures (in the manifest's order, or grouped by
  // noise recording when the noises would not all stay decoded).
  std::vector<tavol::ManifestRow> chosen;
  for (std::size_t i : todo)
    chosen.push_back(rows[i]);
  std::vector<std::size_t> order;
  std::vector<tavol::MixJob> jobs;
  for (std::size_t i = 0; i < chosen.size(); ++i)
    if (chosen[i].copies()) {
      py::gil_scoped_release release;
      std::error_code ec;
      fs::create_directories(chosen[i].job.output.parent_path(), ec);
      tavol::copy_file_atomically(chosen[i].job.clean, chosen[i].job.output);
    }
  for (std::size_t i : tavol::render_order(chosen, tavol::kAudioCacheBytes)) {
    order.push_back(i);
    jobs.push_back(chosen[i].job);
  }
  renderer.expect(jobs);
  const bool pooled = workers.is_none() ? jobs.size() > tavol::kSynthPoolThreshold : threads > 1;
  const auto stats = render_jobs(m, renderer, jobs, pooled, py::handle(), true, threads);
  for (std::size_t k = 0; k < order.size(); ++k)
    chosen[order[k]].stats = stats[k];
  return rows_frame(m, with_stages(rows, chosen), out, base);
}

// ---------------------------------------------------------------- rendering on a Dask cluster

// Recordings decoded by the parts a worker process renders, by run and rate,
// kept between its tasks so that each is decoded once per process. The GIL
// guards the list; _release_recordings empties it at the end of a run, and
// past kKeptRuns runs the oldest is dropped (a run that never released them).
struct RunRecordings {
  std::string run;
  int rate;
  std::shared_ptr<tavol::AudioCache> cache;
};
std::deque<RunRecordings> &kept_recordings() {
  static std::deque<RunRecordings> kept;
  return kept;
}

std::shared_ptr<tavol::AudioCache> run_recordings(const std::string &run, int rate) {
  auto &kept = kept_recordings();
  for (const auto &k : kept)
    if (k.run == run && k.rate == rate)
      return k.cache;
  kept.push_back({run, rate, tavol::MixRenderer::shared_cache(rate)});
  while (kept.size() > tavol::kKeptRuns)
    kept.pop_front();
  return kept.back().cache;
}

// Returns how many runs' recordings this process still keeps.
std::size_t release_recordings(const std::string &run) {
  auto &kept = kept_recordings();
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&run](const RunRecordings &k) { return k.run == run; }),
             kept.end());
  return kept.size();
}

// What a part's rows came to, in three objects whatever the part's size: Dask
// serialises a list element by element (a frame, a pickle and a size estimate
// each), which cost more processor time than rendering the rows (bench_dask).
// `states`: one byte per row that writes a file, in order (kRowWritten,
// kRowComplete: passed over by `resume`, kRowFailed); `values`: for each written
// row, the kPartValues measured values as native doubles; `errors`: the texts of
// the failed rows' reasons, in order.
constexpr char kRowWritten = 'w', kRowComplete = 'c', kRowFailed = 'f';
constexpr std::size_t kPartValues = 7;

// Renders the rows of a manifest part (its CSV text, as render_on_cluster
// makes it) on a cluster's worker, with the GIL released, sharing decoded
// recordings with the other parts of run `run` this process renders: returns
// (states, values, errors) as above; the values are clean level, clean and
// noise gains, scale, clipped samples, peak and realised SNR.
py::tuple render_part(py::bytes csv, py::bytes out, py::bytes base, bool resume,
                      const std::string &run) {
  const std::string text = csv, out_folder = out, base_folder = base;
  std::vector<tavol::ManifestRow> rows;
  std::vector<tavol::RowOutcome> outcomes;
  {
    py::gil_scoped_release release;
    rows = tavol::manifest_rows(tavol::parse_csv(text), out_folder, base_folder, false);
  }
  std::shared_ptr<tavol::AudioCache> recordings = run_recordings(run, tavol::part_rate(rows));
  {
    py::gil_scoped_release release;
    outcomes = tavol::render_part(rows, resume, std::move(recordings));
  }
  std::string states;
  std::vector<double> values;
  py::list errors;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == tavol::RowKind::Stage)
      continue;
    const tavol::RowOutcome &o = outcomes[i];
    if (o.state == tavol::RowOutcome::State::Failed) {
      states += kRowFailed;
      errors.append(FsCodec(self()).str(o.error));
    } else if (o.state == tavol::RowOutcome::State::Complete) {
      states += kRowComplete;
    } else {
      states += kRowWritten;
      const tavol::MixStats &st = o.stats;
      values.insert(values.end(), {st.clean_level, st.clean_gain, st.noise_gain, st.scale,
                                   static_cast<double>(st.clipped), static_cast<double>(st.peak),
                                   st.realised_snr_db});
    }
  }
  return py::make_tuple(
      py::bytes(states),
      py::bytes(reinterpret_cast<const char *>(values.data()), values.size() * sizeof(double)),
      errors);
}

// Removes what writers that died left in `folders` (their temporary files):
// run once every part is written. Returns how many were removed.
std::size_t remove_temporaries(std::vector<std::string> folders) {
  py::gil_scoped_release release;
  std::size_t removed = 0;
  for (const auto &folder : folders)
    removed += tavol::remove_temporaries(folder);
  return removed;
}

// The manifest goes to the cluster (tavol._cluster) in parts grouped by noise
// recording, each at most kPartSamples output samples and kPartRows rows (a
// few seconds of work) and a kPartsPerThread-th of a worker thread's share, so
// that a slow or lost worker delays little; the last parts are smaller, so
// that the workers finish together. Inputs are looked for on the workers, which
// read them: a row whose input is missing fails alone. The result is the
// table a local run returns, plus the column "error" ("" for a row written).
py::object render_on_cluster(py::module_ &m, const ManifestSource &src, bool resume,
                             py::object client) {
  const FsCodec fs(m);
  const std::string &csv_bytes = src.text;
  // Absolute: the workers do not share this process's working folder.
  const fs::path out_folder = fs::absolute(fs::path(fs.bytes(src.out))).lexically_normal();
  const fs::path base_folder = fs::absolute(fs::path(fs.bytes(src.base))).lexically_normal();
  std::vector<tavol::ManifestRow> rows;
  {
    py::gil_scoped_release release;
    rows = tavol::manifest_rows(tavol::parse_csv(csv_bytes), out_folder, base_folder, false);
  }
  std::size_t writing = 0;
  std::set<std::string> folders;
  for (const auto &row : rows)
    if (row.kind != tavol::RowKind::Stage) {
      ++writing;
      folders.insert(row.job.output.parent_path().string());
    }

  py::object session = py::module_::import("tavol._cluster").attr("Session")(client);
  // Names this run to the workers, which keep its decoded recordings until the end.
  const py::str run = py::module_::import("uuid").attr("uuid4")().attr("hex");
  const auto release = [&] { session.attr("broadcast")(m.attr("_release_recordings"), run); };
  std::vector<tavol::ManifestPart> parts;
  py::list results;
  try {
    const auto threads = std::max<std::size_t>(session.attr("threads")().cast<std::size_t>(), 1);
    const std::size_t share = tavol::kPartsPerThread * threads;
    std::size_t samples = 0;
    for (const auto &row : rows)
      if (row.kind != tavol::RowKind::Stage && !row.copies())
        samples += row.samples;
    parts = tavol::partition_rows(
        rows, std::clamp<std::size_t>((samples + share - 1) / share, 1, tavol::kPartSamples),
        std::min(tavol::kPartRows, (writing + share - 1) / share), threads, tavol::kMinPartSamples);
    py::list tasks, weights;
    const py::bytes out_arg(out_folder.string()), base_arg(base_folder.string());
    for (const auto &part : parts) {
      std::vector<tavol::ManifestRow> subset;
      for (std::size_t i : part.stages)
        subset.push_back(rows[i]);
      for (std::size_t i : part.rows)
        subset.push_back(rows[i]);
      tasks.append(py::make_tuple(py::bytes(tavol::manifest_csv(subset, out_folder, base_folder)),
                                  out_arg, base_arg, resume, run));
      weights.append(part.rows.size());
    }
    results = session.attr("run")(m.attr("_render_part"), tasks, weights,
                                  progress_total(m, writing, kDescSynthesis));
    py::list sweep;
    for (const auto &folder : folders)
      sweep.append(py::bytes(folder));
    session.attr("run")(m.attr("_remove_temporaries"), py::make_tuple(py::make_tuple(sweep)));
    release();
  } catch (...) {
    try {
      release();
    } catch (const py::error_already_set &) {
      // The run's own error is the one to report.
    }
    session.attr("close")();
    throw;
  }
  session.attr("close")();

  // Outcomes back in manifest order; rows passed over by resume are left out, as locally.
  std::vector<char> state(rows.size(), kRowComplete);
  std::vector<tavol::MixStats> stats(rows.size());
  std::vector<py::object> error(rows.size());
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const py::tuple got = results[p];
    const std::string states = got[0].cast<std::string>(), bytes = got[1].cast<std::string>();
    const py::list failures = got[2];
    double v[kPartValues];
    const auto count = [&](char s) {
      return static_cast<std::size_t>(std::count(states.begin(), states.end(), s));
    };
    if (states.size() != parts[p].rows.size() || bytes.size() != count(kRowWritten) * sizeof v ||
        py::len(failures) != count(kRowFailed))
      throw std::runtime_error("render: a worker returned a part's outcomes in another layout "
                               "(is the same tavol installed on the workers?)");
    std::size_t written = 0, failed = 0;
    for (std::size_t k = 0; k < states.size(); ++k) {
      const std::size_t i = parts[p].rows[k];
      state[i] = states[k];
      if (states[k] == kRowWritten) {
        std::memcpy(v, bytes.data() + sizeof v * written++, sizeof v);
        stats[i] = tavol::MixStats{
            v[0], v[1], v[2], v[3], static_cast<std::size_t>(v[4]), static_cast<int>(v[5]), v[6]};
      } else if (states[k] == kRowFailed) {
        error[i] = failures[failed++];
      }
    }
  }
  std::vector<tavol::ManifestRow> chosen;
  py::list errors;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == tavol::RowKind::Stage || state[i] == kRowComplete)
      continue;
    chosen.push_back(rows[i]);
    if (state[i] == kRowFailed) {
      errors.append(error[i]);
      continue;
    }
    errors.append("");
    if (rows[i].copies())
      continue;
    chosen.back().stats = stats[i];
  }
  std::vector<tavol::ManifestRow> done = with_stages(rows, chosen);
  for (std::size_t k = chosen.size(); k < done.size(); ++k)
    errors.insert(0, "");
  py::object frame = rows_frame(m, done, src.out, src.base);
  frame["error"] = errors;
  return frame;
}

// ---------------------------------------------------------------- the class

py::object make_synthesizer(py::module_ &m) {
  py::object cls = make_class(kModule, "Synthesizer", object_bases(), py::str(kClassDoc));
  add_method(cls, "__init__", &init, "clean"_a, "noise"_a, "out_path"_a = "",
             "snr_ratio"_a = py::make_tuple(-5, 0, 5), py::kw_only(), "seed"_a = py::none());
  add_method(
      cls, "wave_input",
      [](py::object s) { return py::make_tuple(s.attr(kAttrClean), s.attr(kAttrNoise)); },
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
             py::kw_only(), "manifest"_a = false, "seed"_a = py::none(),
             "snr_definition"_a = "power", "clipping"_a = "saturate",
             "sample_rate"_a = tavol::kSynthRate, kSynDoc.c_str());
  add_method(cls, "syn_extra_mode", &syn_extra_mode, "background_path"_a = kDefaultBackground,
             "background_snr"_a = py::make_tuple(5), py::kw_only(), "manifest"_a = false,
             "seed"_a = py::none(), "snr_definition"_a = "power", "clipping"_a = "saturate",
             "sample_rate"_a = tavol::kSynthRate, kExtraDoc.c_str());
  add_method(cls, "plan", &plan_method, "mode"_a = "regular", "mkdir_parents"_a = true,
             "is_add_clean"_a = false, "rdn_choice_num"_a = 0, "is_silence"_a = false,
             "p_silence"_a = kDefaultSilenceShare, "background_path"_a = kDefaultBackground,
             "background_snr"_a = py::make_tuple(5), py::kw_only(), "seed"_a = py::none(),
             "snr_definition"_a = "power", "clipping"_a = "saturate",
             "sample_rate"_a = tavol::kSynthRate,
             "Dry run: the manifest rows that syn(mode, ...) (or, for mode 'extra', "
             "syn_extra_mode(background_path, background_snr)) would write, as a pandas "
             "DataFrame, drawing exactly the random numbers that run would draw and writing "
             "nothing. The measured columns are empty; attrs['run'] holds the parameters that "
             "the run's manifest.json would record. render(plan) writes the files.");
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
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("partial") = py::module_::import("functools").attr("partial");
  // render() goes beyond the documented surface: reached through the module's
  // __getattr__, so the module's own namespace stays what it documents.
  bind_lazily(m,
              {{"librosa", "librosa"},
               {"np", "numpy"},
               {"wavfile", "scipy.io.wavfile"},
               {"Pool", "multiprocessing", "Pool"},
               {"tqdm", "tqdm", "tqdm"},
               {"trange", "tqdm", "trange"}},
              {{"render", "_render"}});
  py::module_ io = py::module_::import("tavol.core.io");
  m.attr("check_input") = io.attr("check_input");
  m.attr("load_waves") = io.attr("load_waves");
  m.attr("warn") = py::module_::import("tavol.util.colors").attr("warn");

  m.attr("Synthesizer") = make_synthesizer(m);
  m.attr("__all__") = py::list(py::make_tuple("Synthesizer"));

  m.attr("_render") = py::cpp_function(
      &render, py::name("render"), py::scope(m), "manifest"_a, "out_path"_a = py::none(),
      "workers"_a = py::none(), "resume"_a = false, py::kw_only(), "client"_a = py::none(),
      "Writes the files of a manifest (the path of a manifest.csv or its folder, or a DataFrame "
      "from Synthesizer.plan or pandas.read_csv) with no random draw: byte for byte the files "
      "of the run that wrote it. out_path: the output folder (default: the one the manifest "
      "names; paths of inputs resolve against the manifest's folder, or out_path for a "
      "DataFrame). workers: threads (default: 8 above 200 rows, else 1). resume: render only "
      "the rows whose output is missing or incomplete. Rows are rendered in the manifest's "
      "order while their noise recordings all fit the decode cache, else grouped by noise "
      "recording, so that each noise is decoded once. "
      "Returns the rows written, measured. client: a dask.distributed Client or a scheduler "
      "address: the manifest is rendered in parts on the cluster's workers (which must see "
      "the inputs and the output folder at the same paths), and the table gains a column "
      "'error', the reason a row failed ('' when written); needs tavol[dask].");
  m.def("_render_part", &render_part, "csv"_a, "out"_a, "base"_a, "resume"_a, "run"_a,
        "render(client=...)'s work for one part of a manifest, run on the cluster's workers.");
  m.def("_release_recordings", &release_recordings, "run"_a,
        "Drops the recordings this process decoded for run `run` of render(client=...); returns "
        "how many runs' recordings it still keeps.");
  m.def("_remove_temporaries", &remove_temporaries, "folders"_a,
        "Removes the temporary files that killed writers left in these folders.");
  finish_module(m);
}
