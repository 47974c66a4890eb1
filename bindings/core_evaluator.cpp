// tavol.core.evaluator: PESQ, STOI and SDR scores of enhanced speech against
// clean references, tabulated per enhancement method, and corpus scoring.
//
// The measures come from optional packages (mir_eval, pystoi, pysepm or the
// pesq package, pypesq) and, for PESQ over files, from the `pesq.exe`
// program; SDR and SI-SDR are also computed natively (tavol/bss_eval.hpp).
// This module probes the packages, walks the file triples, pairs enhanced
// files with noisy ones by stem, runs the PESQ programs of a method
// concurrently, and builds the pandas tables. Every Python-level function it
// calls (warn, os.system, check_metrics_install, the scorers, ...) is looked
// up when it is called, so callers can substitute them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/imports.hpp"
#include "support/support.hpp"
#include "tavol/bss_eval.hpp"
#include "tavol/stoi.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kClass = "AudioEvaluate";

constexpr const char *kClassDoc =
    "Scores enhanced speech against clean references with PESQ, STOI and SDR: one table row per "
    "enhancement method.\n"
    "\n"
    "以 PESQ、STOI 與 SDR 三種指標評估音訊。\n"
    "\n"
    "建立：AudioEvaluate(clean_list, noisy_list)\n"
    "    clean_list：乾淨、沒有雜訊的音檔列表\n"
    "    noisy_list：未經處理、含有雜訊的音檔列表\n"
    "評估：eval(enhance_method, enhanced_list)\n"
    "    enhance_method：辨識增強方法的文字，內容自訂\n"
    "    enhanced_list：處理後（目標）的音檔列表，會與上面兩個列表一起評估\n"
    "結果：get_df() 以 pandas DataFrame 回傳評估結果\n";

constexpr const char *kMsgFileCount = "Check number of files";
constexpr const char *kBaselineLabel = "Baseline";
constexpr const char *kMethodKey = "Enh_method";
constexpr int kDecimals = 4;
// An AudioEvaluate's attributes.
constexpr const char *kAttrClean = "clean_list";       // the clean references
constexpr const char *kAttrNoisy = "noisy_list";       // the unprocessed noisy files
constexpr const char *kAttrEnhanced = "enhanced_list"; // the files of the last method scored
constexpr const char *kAttrScores = "score_dict";      // the table, column by column
constexpr const char *kAttrPesqOn = "pesq_status";     // whether each measure is available
constexpr const char *kAttrStoiOn = "stoi_status";
constexpr const char *kAttrSdrOn = "sdr_status";

// ---------------------------------------------------------------- back-ends

// One optional metric package: `import module` (or `from module import name`),
// the line shown when it is missing and the command that tries to install it.
struct Backend {
  const char *module;
  const char *name; // nullptr: the module itself
  const char *missing_message;
  const char *install_command;
};

constexpr Backend kSdrBackend{"mir_eval", nullptr, "No module named 'mir_eval' !!",
                              "pip install mir_eval"};
constexpr Backend kStoiBackend{"pystoi", "stoi", "No mself.odule named 'pystoi' !!",
                               "pip install pystoi"};
constexpr Backend kPesqBackend{
    "pysepm", nullptr, "No mself.odule named 'pypesq' !!",
    "pip3 install https://github.com/schmiph2/pysepm/archive/master.zip"};
constexpr Backend kPesqV2Backend{"pypesq", "pesq", "", ""};
// The PESQ package on PyPI, which pysepm itself calls: it switches PESQ on
// when pysepm is absent, so that no installer runs.
constexpr Backend kPesqPypiBackend{"pesq", "pesq", "", ""};
// pysepm's PESQ: wide band at 16 kHz, narrow band at 8 kHz, nothing else.
constexpr const char *kPesqRateMessage = "fs must be either 8 kHz or 16 kHz";

// The external PESQ program: its name on PATH and the rate option it is given.
constexpr const char *kPesqProgram = "pesq.exe";
constexpr const char *kPesqRateOption = "+16000";
// Everything up to and including the last "= " of the program's last line goes.
constexpr const char *kPesqScorePrefix = "^.*= ";

bool is_exception(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// str(x) as UTF-8 for messages; file names that are not valid text (lone
// surrogates) show their bytes as escapes instead of failing.
std::string text_of(py::handle x) {
  return py::str(x).attr("encode")("utf-8", "backslashreplace").cast<std::string>();
}

// A file stem as bytes, so that names that are not valid text still compare.
std::string stem_bytes(py::handle path) {
  return py::str(path.attr("stem")).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
}

// `import module` / `from module import name`: the module or the name.
py::object import_backend(const Backend &b) {
  py::object mod = py::module_::import(b.module);
  if (b.name == nullptr)
    return mod;
  if (!py::hasattr(mod, b.name)) {
    const std::string msg =
        std::string("cannot import name '") + b.name + "' from '" + b.module + "'";
    PyErr_SetString(PyExc_ImportError, msg.c_str());
    throw py::error_already_set();
  }
  return mod.attr(b.name);
}

enum class Import { Ok, Missing, Broken };

// Tries the import; interrupts and other non-Exception errors propagate.
Import try_import(const Backend &b) {
  try {
    import_backend(b);
    return Import::Ok;
  } catch (py::error_already_set &e) {
    if (!is_exception(e))
      throw;
    return e.matches(PyExc_ModuleNotFoundError) ? Import::Missing : Import::Broken;
  }
}

// True when the back-end (or else its `fallback`) imports. A missing module
// (ModuleNotFoundError) is announced through `warn`, the installer is run
// once through `os.system`, and the imports are tried again; any other
// import failure just reports False.
bool probe(py::module_ &m, const Backend &b, const Backend *fallback = nullptr) {
  const Import first = try_import(b);
  if (first == Import::Ok || (fallback != nullptr && try_import(*fallback) == Import::Ok))
    return true;
  if (first == Import::Broken)
    return false;
  m.attr("warn")(b.missing_message);
  m.attr("os").attr("system")(b.install_command);
  // The installer adds folders that the import system's directory caches do not know yet.
  py::module_::import("importlib").attr("invalidate_caches")();
  return try_import(b) == Import::Ok ||
         (fallback != nullptr && try_import(*fallback) == Import::Ok);
}

py::tuple check_metrics_install() {
  py::module_ m = self();
  const bool sdr_ok = probe(m, kSdrBackend);
  const bool stoi_ok = probe(m, kStoiBackend);
  const bool pesq_ok = probe(m, kPesqBackend, &kPesqPypiBackend);
  return py::make_tuple(pesq_ok, stoi_ok, sdr_ok);
}

// PESQ of `deg` against `ref` as pysepm reports it (its second result,
// MOS-LQO), through pysepm when it imports and else through the pesq package
// with pysepm's choice of mode.
py::object pesq_mos_lqo(py::object rate, py::object ref, py::object deg) {
  if (try_import(kPesqBackend) == Import::Ok)
    return import_backend(kPesqBackend).attr("pesq")(ref, deg, rate)[py::int_(1)];
  py::object pesq = import_backend(kPesqPypiBackend);
  const char *mode = rate.equal(py::int_(16000))  ? "wb"
                     : rate.equal(py::int_(8000)) ? "nb"
                                                  : nullptr;
  if (mode == nullptr)
    throw py::value_error(kPesqRateMessage);
  return pesq(rate, ref, deg, mode);
}

// ---------------------------------------------------------------- BLAS threads

// Holds the BLAS libraries loaded in this process (OpenBLAS under numpy and
// scipy) to one thread while scoring. The measures make many small matrix
// products and solves (mir_eval's filter solve, pystoi's band sums), which
// multi-threaded BLAS does not speed up: measured on two loaded cores, its
// threads spinning between calls took about 40% of `eval`'s processor time. The scorers run
// alongside PESQ programs or worker processes that already use the cores. Both the serial and the
// parallel paths hold the limit, so their results agree to the bit. threadpoolctl comes with
// scikit-learn (a librosa dependency); without it nothing is limited.
//
// One BLAS thread from now on; returns the limiter that restores the previous
// limits, or None without threadpoolctl.
py::object limit_blas_threads() {
  try {
    return py::module_::import("threadpoolctl")
        .attr("threadpool_limits")("limits"_a = 1, "user_api"_a = "blas");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError))
      throw;
    return py::none();
  }
}

// The limit for as long as it lives.
class OneBlasThread {
public:
  OneBlasThread() : limits_(limit_blas_threads()) {}
  ~OneBlasThread() {
    if (limits_.is_none())
      return;
    try {
      limits_.attr("restore_original_limits")();
    } catch (py::error_already_set &e) {
      e.discard_as_unraisable("restoring the BLAS thread limits");
    }
  }
  OneBlasThread(const OneBlasThread &) = delete;
  OneBlasThread &operator=(const OneBlasThread &) = delete;

private:
  py::object limits_;
};

// ---------------------------------------------------------------- native measures

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A one-dimensional array of samples in double precision (copied only when
// the dtype or layout asks for it).
Samples mono_samples(py::handle x, const char *name) {
  Samples a = Samples::ensure(x);
  if (!a)
    throw py::error_already_set();
  if (a.ndim() != 1) {
    std::string shape;
    for (py::ssize_t i = 0; i < a.ndim(); ++i)
      shape += (i ? ", " : "") + std::to_string(a.shape(i));
    throw py::value_error(std::string(name) +
                          " must be a one-dimensional (mono) array, got shape (" + shape +
                          (a.ndim() == 1 ? ",)" : ")"));
  }
  return a;
}

template <typename Measure> double run_measure(py::handle ref, py::handle est, Measure measure) {
  Samples r = mono_samples(ref, "ref");
  Samples e = mono_samples(est, "est");
  const double *rp = r.data(), *ep = e.data();
  const std::size_t rn = static_cast<std::size_t>(r.size()),
                    en = static_cast<std::size_t>(e.size());
  py::gil_scoped_release release;
  return measure(rp, rn, ep, en);
}

double sdr(py::handle ref, py::handle est) {
  return run_measure(ref, est,
                     [](const double *r, std::size_t rn, const double *e, std::size_t en) {
                       return tavol::bss_sdr(r, rn, e, en);
                     });
}

double si_sdr(py::handle ref, py::handle est) { return run_measure(ref, est, &tavol::si_sdr); }

double stoi(py::handle ref, py::handle est, int rate) {
  return run_measure(ref, est,
                     [rate](const double *r, std::size_t rn, const double *e, std::size_t en) {
                       return tavol::stoi(r, rn, e, en, rate);
                     });
}

// ---------------------------------------------------------------- per-file scoring

// What one scorer prints and the columns of its per-file table.
struct Measure {
  const char *banner; // through `pur`; nullptr for none
  const char *baseline_column;
  const char *enhanced_column;
  const char *summary; // filled with the mean series
  const char *summary_function;
};

constexpr Measure kSdr{"==== Evaluate SDR ====", "Baseline-SDR", "Enhance-SDR", "sdr_mean:\n{}",
                       "cya"};
constexpr Measure kStoi{"==== Evaluate STOI ====", "Baseline-STOI", "Enhance-STOI",
                        "stoi_mean:\n{}", "cya"};
constexpr Measure kPesq{"==== Evaluate PESQ ====", "Baseline-PESQ", "Enhance-PESQ",
                        "pesq_mean:\n{}", "cya"};
constexpr Measure kPesqV2{nullptr, "Baseline-PESQ", "Enhance-PESQ", "pesq_mean:\n{}", "blu"};

using ScorePair = std::pair<py::object, py::object>; // (noisy score, enhanced score)

// The measures `eval` runs, in its order; also the index of each in Ahead.
enum MeasureIndex : std::size_t {
  kPesqIndex = 0,
  kStoiIndex = 1,
  kSdrIndex = 2,
  kMeasureCount = 3
};

class Ahead;
Ahead *ahead_of(py::handle self_);

// Adds a note naming the triple to an error raised while scoring it (shown
// under the traceback; the exception's type and message stay as raised).
void name_triple(py::error_already_set &e, const Measure &measure, py::handle triple) {
  if (!is_exception(e) || !py::hasattr(e.value(), "add_note"))
    return;
  std::string column = measure.baseline_column;
  const std::string note = "while scoring " + column.substr(column.find('-') + 1) + " of " +
                           text_of(triple[py::int_(2)]) + " and " + text_of(triple[py::int_(1)]) +
                           " against " + text_of(triple[py::int_(0)]);
  e.value().attr("add_note")(note);
}

// Walks zip(clean_list, noisy_list, enhanced_list) under a progress bar,
// scores each triple with `score(module, index, clean, noisy, enhanced)`,
// tabulates the rows in one DataFrame and returns the means of the two score
// columns over the complete rows.
template <typename ScoreTriple>
py::object score_triples(py::handle self_, const Measure &measure, ScoreTriple &&score) {
  py::module_ m = self();
  if (measure.banner != nullptr)
    m.attr("pur")(measure.banner);
  py::object triples =
      py::module_::import("builtins")
          .attr("zip")(self_.attr(kAttrClean), self_.attr(kAttrNoisy), self_.attr(kAttrEnhanced));
  py::object basename = m.attr("os").attr("path").attr("basename");
  py::list rows;
  std::size_t index = 0;
  for (py::handle triple : m.attr("tqdm")(triples)) {
    py::object cln = triple[py::int_(0)];
    ScorePair scores;
    try {
      scores =
          score(m, index++, cln, py::object(triple[py::int_(1)]), py::object(triple[py::int_(2)]));
    } catch (py::error_already_set &e) {
      name_triple(e, measure, triple);
      throw;
    } catch (
        py::builtin_exception &e) { // raised by this module as a Python error, to take the note
      e.set_error();
      py::error_already_set raised;
      name_triple(raised, measure, triple);
      throw raised;
    }
    py::dict row;
    row["wave"] = basename(cln);
    row[measure.baseline_column] = std::move(scores.first);
    row[measure.enhanced_column] = std::move(scores.second);
    rows.append(std::move(row));
  }
  py::list columns;
  for (const char *c : {"wave", measure.baseline_column, measure.enhanced_column})
    columns.append(c);
  py::object df = m.attr("pd").attr("DataFrame")(rows, "columns"_a = columns);
  if (rows.empty()) {
    // Score columns stay numeric with no rows, so the means are NaN rather than missing.
    py::dict types;
    types[measure.baseline_column] = "float64";
    types[measure.enhanced_column] = "float64";
    df = df.attr("astype")(types);
  }
  py::object mean = df.attr("dropna")().attr("mean")("numeric_only"_a = true);
  m.attr(measure.summary_function)(py::str(measure.summary).format(mean));
  return mean;
}

// `float(x)` of a one-entry array or a number.
py::float_ scalar(py::module_ &m, py::handle x) {
  return py::float_(m.attr("np").attr("asarray")(x).attr("item")());
}

std::array<py::object, 3> read_triple(py::module_ &m, py::handle cln, py::handle noy,
                                      py::handle enh, py::object *rate) {
  py::object read = m.attr("wavfile").attr("read");
  py::tuple clean = read(cln);
  *rate = clean[0];
  return {clean[1], py::tuple(read(noy))[1], py::tuple(read(enh))[1]};
}

// mir_eval.separation where it still has bss_eval_sources (mir_eval 0.8
// announces the removal of the module), else None.
py::object bss_eval_module(py::handle mir_eval) {
  py::object separation = py::getattr(mir_eval, "separation", py::none());
  if (separation.is_none() || !py::hasattr(separation, "bss_eval_sources"))
    return py::none();
  return separation;
}

// One triple's SDR pair: mir_eval's validate on both pairs, then its
// bss_eval_sources on both; the native measure where mir_eval no longer has
// bss_eval_sources.
ScorePair sdr_pair(py::module_ &m, py::handle mir_eval, py::handle cln, py::handle noy,
                   py::handle enh) {
  py::object rate;
  auto audio = read_triple(m, cln, noy, enh, &rate);
  py::object separation = bss_eval_module(mir_eval);
  if (separation.is_none()) {
    py::object ravel = m.attr("np").attr("ravel");
    return ScorePair{py::float_(sdr(ravel(audio[0]), ravel(audio[1]))),
                     py::float_(sdr(ravel(audio[0]), ravel(audio[2])))};
  }
  for (auto &a : audio)
    a = a.attr("reshape")(1, -1);
  separation.attr("validate")(audio[0], audio[1]);
  separation.attr("validate")(audio[0], audio[2]);
  py::object noisy_sdr = separation.attr("bss_eval_sources")(audio[0], audio[1])[py::int_(0)];
  py::object enhanced_sdr = separation.attr("bss_eval_sources")(audio[0], audio[2])[py::int_(0)];
  return ScorePair{scalar(m, noisy_sdr), scalar(m, enhanced_sdr)};
}

ScorePair stoi_pair(py::module_ &m, py::handle stoi, py::handle cln, py::handle noy,
                    py::handle enh) {
  py::object rate;
  auto audio = read_triple(m, cln, noy, enh, &rate);
  return ScorePair{py::float_(stoi(audio[0], audio[1], rate, "extended"_a = false)),
                   py::float_(stoi(audio[0], audio[2], rate, "extended"_a = false))};
}

// The PESQ program as found on PATH, else beside this interpreter's own
// scripts (a virtual environment that was not activated), else its bare name.
py::object pesq_program() {
  py::object found = py::module_::import("shutil").attr("which")(kPesqProgram);
  if (!found.is_none())
    return found;
  py::object os = py::module_::import("os");
  py::object scripts = py::module_::import("sysconfig").attr("get_path")("scripts");
  if (!scripts.is_none()) {
    py::object candidate = os.attr("path").attr("join")(scripts, kPesqProgram);
    if (os.attr("access")(candidate, os.attr("X_OK")).cast<bool>())
      return candidate;
  }
  return py::str(kPesqProgram);
}

// Runs `pesq.exe +16000 ref deg` as an argument vector (no shell, so any
// character in a path is passed as it is) and returns its last output line.
py::str pesq_last_line(py::object program, py::str ref, py::str deg) {
  py::object subprocess = self().attr("subprocess");
  py::list argv;
  argv.append(program);
  argv.append(kPesqRateOption);
  argv.append(ref);
  argv.append(deg);
  py::object done = subprocess.attr("run")(argv, "stdout"_a = subprocess.attr("PIPE"),
                                           "text"_a = true, "errors"_a = "replace");
  const std::string out = done.attr("stdout").cast<std::string>();
  if (out.empty()) {
    const std::string msg = std::string(kPesqProgram) + " printed no result for " +
                            py::repr(ref).cast<std::string>() + " and " +
                            py::repr(deg).cast<std::string>() + " (exit status " +
                            text(done.attr("returncode")) + ")";
    throw py::index_error(msg);
  }
  // Lines as readlines() gives them: the last one keeps its newline.
  const std::size_t body_end = out.back() == '\n' ? out.size() - 1 : out.size();
  const std::size_t start = out.rfind('\n', body_end == 0 ? 0 : body_end - 1);
  const std::size_t first = (start == std::string::npos || start >= body_end) ? 0 : start + 1;
  return py::str(out.substr(first));
}

// The number after the last "= " of a program line; ValueError when there is none.
py::float_ pesq_value(py::module_ &m, const py::str &line) {
  py::object text = m.attr("re").attr("sub")(kPesqScorePrefix, "", line.attr("strip")("\n"));
  return py::float_(text);
}

// Both scores of a triple from the program's two last lines; one unreadable
// line spoils the pair, and both scores are then left out of the means.
ScorePair pesq_pair_from_lines(py::module_ &m, const py::str &noisy_line,
                               const py::str &enhanced_line) {
  try {
    py::float_ noisy_score = pesq_value(m, noisy_line);
    return ScorePair{noisy_score, pesq_value(m, enhanced_line)};
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError))
      throw;
    py::object nan = m.attr("np").attr("nan");
    return ScorePair{nan, nan};
  }
}

// ---------------------------------------------------------------- scoring ahead

// The per-triple work of `eval`'s measures started before their scorers ask
// for it, when `eval` runs with more than one worker. The PESQ program runs
// in up to `workers` processes at once (threads of an executor only wait for
// them); the in-process measures run in this thread whenever it would
// otherwise wait for a program. Each scorer then takes its triples' results
// in order, so tables, messages and the first error are those of a serial
// run. Failures are kept and raised only when their triple is taken; a scorer
// replaced on the instance or class simply never takes them.
class Ahead {
public:
  Ahead(py::handle self_, int workers) {
    py::object builtins = py::module_::import("builtins");
    for (py::handle t : builtins.attr("zip")(self_.attr(kAttrClean), self_.attr(kAttrNoisy),
                                             self_.attr(kAttrEnhanced)))
      triples_.push_back(py::reinterpret_borrow<py::tuple>(t));
    if (py::bool_(self_.attr(kAttrPesqOn)) && !triples_.empty()) {
      py::object program = pesq_program();
      executor_ = py::module_::import("concurrent.futures")
                      .attr("ThreadPoolExecutor")("max_workers"_a = workers);
      py::cpp_function job(&pesq_last_line);
      for (const auto &t : triples_) {
        const py::str ref(t[0]);
        py::object noisy = executor_.attr("submit")(job, program, ref, py::str(t[1]));
        py::object enhanced = executor_.attr("submit")(job, program, ref, py::str(t[2]));
        pesq_.emplace_back(std::move(noisy), std::move(enhanced));
      }
    }
    add_in_process(self_, kStoiIndex, kAttrStoiOn, kStoiBackend, &stoi_pair);
    add_in_process(self_, kSdrIndex, kAttrSdrOn, kSdrBackend, &sdr_pair);
  }

  Ahead(const Ahead &) = delete;
  Ahead &operator=(const Ahead &) = delete;

  // Stops the programs not yet started and waits for the running ones.
  ~Ahead() {
    if (executor_) {
      try {
        executor_.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
      } catch (py::error_already_set &e) {
        e.discard_as_unraisable("shutting down the PESQ workers");
      }
    }
  }

  bool has(std::size_t measure, std::size_t index) const {
    if (measure == kPesqIndex)
      return index < pesq_.size();
    return index < slots_[measure].size();
  }

  ScorePair take(py::module_ &m, std::size_t measure, std::size_t index) {
    if (measure == kPesqIndex) {
      py::str noisy_line = wait_for(pesq_[index].first);
      py::str enhanced_line = wait_for(pesq_[index].second);
      return pesq_pair_from_lines(m, noisy_line, enhanced_line);
    }
    Slot &slot = slots_[measure][index];
    if (!slot.done)
      run(measure, index);
    if (slot.error)
      std::rethrow_exception(slot.error);
    return slot.value;
  }

private:
  struct Slot {
    bool done = false;
    ScorePair value;
    std::exception_ptr error;
  };
  using PairScorer = ScorePair (*)(py::module_ &, py::handle, py::handle, py::handle, py::handle);

  void add_in_process(py::handle self_, std::size_t measure, const char *status,
                      const Backend &backend, PairScorer scorer) {
    if (!py::bool_(self_.attr(status)) || try_import(backend) != Import::Ok)
      return; // the scorer itself reports what is wrong, as in a serial run
    backends_[measure] = import_backend(backend);
    scorers_[measure] = scorer;
    slots_[measure].resize(triples_.size());
  }

  // Scores one in-process triple now, keeping a failure for when it is taken.
  void run(std::size_t measure, std::size_t index) {
    Slot &slot = slots_[measure][index];
    slot.done = true;
    py::module_ m = self();
    const py::tuple &t = triples_[index];
    try {
      slot.value = scorers_[measure](m, backends_[measure], t[0], t[1], t[2]);
    } catch (py::error_already_set &e) {
      if (!is_exception(e))
        throw; // interrupts are not a triple's result
      slot.error = std::current_exception();
    } catch (std::exception &) {
      slot.error = std::current_exception();
    }
  }

  // Runs the next in-process triple not scored yet; false when none is left.
  bool run_one() {
    for (; fill_measure_ < kMeasureCount; ++fill_measure_, fill_index_ = 0) {
      auto &slots = slots_[fill_measure_];
      while (fill_index_ < slots.size() && slots[fill_index_].done)
        ++fill_index_;
      if (fill_index_ < slots.size()) {
        run(fill_measure_, fill_index_);
        return true;
      }
    }
    return false;
  }

  // The result of a program run, doing in-process work while it is not done.
  py::object wait_for(const py::object &future) {
    py::object wait = py::module_::import("concurrent.futures").attr("wait");
    while (!future.attr("done")().cast<bool>()) {
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
      if (!run_one())
        wait(py::make_tuple(future), "timeout"_a = tavol::kWaitSliceMs / 1000.0);
    }
    return future.attr("result")();
  }

  std::vector<py::tuple> triples_;
  py::object executor_;
  std::vector<std::pair<py::object, py::object>> pesq_;
  std::array<py::object, kMeasureCount> backends_;
  std::array<PairScorer, kMeasureCount> scorers_{};
  std::array<std::vector<Slot>, kMeasureCount> slots_;
  std::size_t fill_measure_ = 0, fill_index_ = 0;
};

// The instance attribute through which a running `eval` hands its Ahead to the scorers.
constexpr const char *kAheadAttribute = "_AudioEvaluate__ahead";

Ahead *ahead_of(py::handle self_) {
  py::object dict = py::getattr(self_, "__dict__", py::none());
  if (dict.is_none() || !py::dict(dict).contains(kAheadAttribute))
    return nullptr;
  return static_cast<Ahead *>(py::capsule(py::dict(dict)[kAheadAttribute]).get_pointer());
}

// ---------------------------------------------------------------- scorers

py::object sdr_score(py::object self_) {
  py::object mir_eval = import_backend(kSdrBackend);
  Ahead *ahead = ahead_of(self_);
  return score_triples(
      self_, kSdr,
      [&](py::module_ &m, std::size_t i, py::handle cln, py::handle noy, py::handle enh) {
        if (ahead != nullptr && ahead->has(kSdrIndex, i))
          return ahead->take(m, kSdrIndex, i);
        return sdr_pair(m, mir_eval, cln, noy, enh);
      });
}

py::object stoi_score(py::object self_) {
  py::object stoi = import_backend(kStoiBackend);
  Ahead *ahead = ahead_of(self_);
  return score_triples(
      self_, kStoi,
      [&](py::module_ &m, std::size_t i, py::handle cln, py::handle noy, py::handle enh) {
        if (ahead != nullptr && ahead->has(kStoiIndex, i))
          return ahead->take(m, kStoiIndex, i);
        return stoi_pair(m, stoi, cln, noy, enh);
      });
}

py::object pesq_score_v2(py::object self_) {
  py::object pesq = import_backend(kPesqV2Backend);
  return score_triples(
      self_, kPesqV2,
      [&](py::module_ &m, std::size_t, py::handle cln, py::handle noy, py::handle enh) {
        py::object rate;
        auto audio = read_triple(m, cln, noy, enh, &rate);
        return ScorePair{pesq(audio[0], audio[1], rate, "wb"),
                         pesq(audio[0], audio[2], rate, "wb")};
      });
}

py::object pesq_score(py::object self_) {
  py::object program = pesq_program();
  Ahead *ahead = ahead_of(self_);
  return score_triples(
      self_, kPesq,
      [&](py::module_ &m, std::size_t i, py::handle cln, py::handle noy, py::handle enh) {
        if (ahead != nullptr && ahead->has(kPesqIndex, i))
          return ahead->take(m, kPesqIndex, i);
        const py::str ref(cln);
        py::str noisy_line = pesq_last_line(program, ref, py::str(noy));
        py::str enhanced_line = pesq_last_line(program, ref, py::str(enh));
        return pesq_pair_from_lines(m, noisy_line, enhanced_line);
      });
}

// ---------------------------------------------------------------- AudioEvaluate

void evaluate_init(py::object self_, py::object clean_list, py::object noisy_list) {
  self_.attr(kAttrEnhanced) = py::none();
  self_.attr(kAttrClean) = clean_list;
  self_.attr(kAttrNoisy) = noisy_list;
  py::tuple flags = self().attr("check_metrics_install")();
  self_.attr(kAttrPesqOn) = flags[0];
  self_.attr(kAttrStoiOn) = flags[1];
  self_.attr(kAttrSdrOn) = flags[2];
  py::dict table;
  table[kMethodKey] = py::list();
  if (py::bool_(self_.attr(kAttrPesqOn)))
    table["PESQ"] = py::list();
  if (py::bool_(self_.attr(kAttrStoiOn)))
    table["STOI"] = py::list();
  if (py::bool_(self_.attr(kAttrSdrOn)))
    table["SDR"] = py::list();
  self_.attr(kAttrScores) = table;
}

// One measure as `eval` runs it: flag, scorer, baseline attribute, table column.
struct Step {
  const char *status;
  const char *scorer;
  const char *baseline;
  const char *column;
};

constexpr std::array<Step, 3> kSteps{{
    {kAttrPesqOn, "_AudioEvaluate__pesq_score", "base_pesq", "PESQ"},
    {kAttrStoiOn, "_AudioEvaluate__stoi_score", "base_stoi", "STOI"},
    {kAttrSdrOn, "_AudioEvaluate__sdr_score", "base_sdr", "SDR"},
}};

// Index, in `names`, of the first name equal to each noisy stem, in noisy order.
py::list pair_by_stem(py::handle noisy_list, const py::list &names) {
  py::dict first;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (!first.contains(names[i]))
      first[names[i]] = py::int_(i);
  py::list perm;
  for (py::handle noisy : noisy_list) {
    py::object stem = noisy.attr("stem");
    if (!first.contains(stem))
      throw py::value_error(py::repr(stem).cast<std::string>() + " is not in list");
    perm.append(first[stem]);
  }
  return perm;
}

// `workers` as a count: None is the machine's cores; below 1 is refused.
int worker_count(py::module_ &m, py::handle workers) {
  check_exact_type(workers, "workers", &PyLong_Type, true);
  if (workers.is_none()) {
    py::object cores = m.attr("os").attr("cpu_count")();
    return cores.is_none() ? 1 : std::max(1, cores.cast<int>());
  }
  const long n = workers.cast<long>();
  if (n < 1)
    throw py::value_error("workers must be at least 1, got " + std::to_string(n));
  return static_cast<int>(std::min<long>(n, 1024));
}

// Makes an Ahead visible to the scorers for as long as it lives.
class AheadInScope {
public:
  AheadInScope(py::handle self_, int workers) : self_(self_), ahead_(self_, workers) {
    self_.attr("__dict__")[kAheadAttribute] = py::capsule(static_cast<void *>(&ahead_));
  }
  ~AheadInScope() {
    py::object dict = self_.attr("__dict__");
    if (PyDict_DelItemString(dict.ptr(), kAheadAttribute) != 0)
      PyErr_Clear();
  }
  AheadInScope(const AheadInScope &) = delete;
  AheadInScope &operator=(const AheadInScope &) = delete;

private:
  py::handle self_;
  Ahead ahead_;
};

void evaluate_eval(py::object self_, py::object enhance_method, py::object enhanced_list,
                   py::object workers) {
  py::module_ m = self();
  const int pool = worker_count(m, workers);
  py::list names;
  for (py::handle item : enhanced_list)
    names.append(item.attr("stem"));
  py::object noisy_list = self_.attr(kAttrNoisy);
  py_assert(py::len(noisy_list) == names.size(), py::str(kMsgFileCount));
  py::list perm = pair_by_stem(noisy_list, names);

  // The row (label, scores and baselines) is committed only once every enabled
  // measure has its means, so a failing back-end leaves the instance as it was.
  py::object previous = self_.attr(kAttrEnhanced);
  self_.attr(kAttrEnhanced) = m.attr("np").attr("array")(enhanced_list)[perm];
  std::array<py::object, 3> baselines, cells;
  try {
    const OneBlasThread one_blas_thread;
    std::optional<AheadInScope> ahead;
    if (pool > 1)
      ahead.emplace(self_, pool);
    for (std::size_t i = 0; i < kSteps.size(); ++i) {
      baselines[i] = py::list();
      if (!py::bool_(self_.attr(kSteps[i].status)))
        continue;
      const py::tuple scores = unpack(self_.attr(kSteps[i].scorer)(), 2); // baseline, enhanced
      baselines[i] = scores[0];
      cells[i] = m.attr("np").attr("around")(scores[1], kDecimals);
    }
  } catch (...) {
    self_.attr(kAttrEnhanced) = previous;
    throw;
  }
  py::object table = self_.attr(kAttrScores);
  py::object labels = table[kMethodKey];
  std::array<py::object, 3> columns;
  for (std::size_t i = 0; i < kSteps.size(); ++i)
    if (cells[i])
      columns[i] = table[kSteps[i].column];
  labels.attr("append")(enhance_method);
  for (std::size_t i = 0; i < kSteps.size(); ++i) {
    self_.attr(kSteps[i].baseline) = baselines[i];
    if (cells[i])
      columns[i].attr("append")(cells[i]);
  }
}

// A measure has a baseline once `eval` has scored it: its attribute then holds
// a mean (which may be 0 or NaN) instead of the empty list.
bool has_baseline(py::handle value) { return !(PyList_Check(value.ptr()) && py::len(value) == 0); }

py::object evaluate_get_df(py::object self_) {
  py::module_ m = self();
  std::array<py::object, 3> baselines;
  bool any = false;
  for (std::size_t i = 0; i < kSteps.size(); ++i) {
    baselines[i] = self_.attr(kSteps[i].baseline);
    any = any || has_baseline(baselines[i]);
  }
  if (!any)
    return py::list();
  py::object table = self_.attr(kAttrScores);
  table[kMethodKey].attr("append")(kBaselineLabel);
  for (std::size_t i = 0; i < kSteps.size(); ++i)
    if (has_baseline(baselines[i]))
      table[kSteps[i].column].attr("append")(m.attr("np").attr("around")(baselines[i], kDecimals));
  return m.attr("pd").attr("DataFrame").attr("from_dict")(table, "orient"_a = "columns");
}

py::object make_audio_evaluate() {
  py::object cls = make_class(kModule, kClass, object_bases(), py::str(kClassDoc));
  auto method = [&](const char *name, auto &&fn, auto... extra) {
    add_method(cls, name, std::forward<decltype(fn)>(fn), extra...);
  };
  method("__init__", &evaluate_init, py::arg("clean_list"), py::arg("noisy_list"));
  method("eval", &evaluate_eval, py::arg("enhance_method"), py::arg("enhanced_list"), py::kw_only(),
         py::arg("workers") = py::none(),
         "Scores one enhancement method: pairs `enhanced_list` with the noisy files by stem, runs "
         "every available measure and adds one row of mean scores labelled `enhance_method`.\n\n"
         "`workers` (default: the machine's cores) is how many PESQ programs run at once; the "
         "in-process measures run while they do. The table, the messages and the first error are "
         "those of the serial run, `workers=1`.");
  method("get_df", &evaluate_get_df,
         "Adds a \"Baseline\" row for the noisy files and returns the score table as a DataFrame "
         "(an empty list when nothing has been scored).");
  method("_AudioEvaluate__sdr_score", &sdr_score,
         "Mean SDR (mir_eval) of the noisy and the enhanced files.");
  method("_AudioEvaluate__stoi_score", &stoi_score,
         "Mean STOI (pystoi) of the noisy and the enhanced files.");
  method("_AudioEvaluate__pesq_score", &pesq_score,
         "Mean PESQ (pesq.exe) of the noisy and the enhanced files; a pair with an unreadable "
         "result is left out.");
  method("_AudioEvaluate__pesq_score_v2", &pesq_score_v2,
         "Mean wide-band PESQ (pypesq) of the noisy and the enhanced files.");
  return cls;
}

// ---------------------------------------------------------------- eval_metrics

py::tuple eval_metrics(py::object rate, py::object ref, py::object deg) {
  py::module_ m = self();
  py::tuple flags = m.attr("check_metrics_install")();
  py::object pesq = py::none(), stoi = py::none(), sdr_value = py::none();
  const std::size_t ref_len = py::len(ref), deg_len = py::len(deg);
  if (deg_len < ref_len)
    ref = ref[py::slice(py::none(), py::int_(deg_len), py::none())];
  else
    deg = deg[py::slice(py::none(), py::int_(ref_len), py::none())];
  if (py::bool_(flags[0]))
    pesq = pesq_mos_lqo(rate, ref, deg);
  if (py::bool_(flags[1]))
    stoi = import_backend(kStoiBackend)(ref, deg, rate, "extended"_a = false);
  if (py::bool_(flags[2])) {
    py::object separation = bss_eval_module(import_backend(kSdrBackend));
    if (!separation.is_none()) {
      py::object reference = ref.attr("reshape")(1, -1);
      py::object estimate = deg.attr("reshape")(1, -1);
      separation.attr("validate")(reference, estimate);
      sdr_value =
          separation.attr("bss_eval_sources")(reference, estimate)[py::int_(0)][py::int_(0)];
    } else {
      sdr_value = py::float_(sdr(ref, deg));
    }
  }
  return py::make_tuple(pesq, stoi, sdr_value);
}

// ---------------------------------------------------------------- score_corpus

constexpr std::array<const char *, 4> kCorpusMetrics{"PESQ", "STOI", "SDR", "SI-SDR"};
constexpr const char *kMeanLabel = "mean";

// kCorpusMetrics as a tuple (the default) or as "'PESQ', 'STOI', ..." (messages).
py::tuple corpus_metric_names() {
  py::list names;
  for (const char *name : kCorpusMetrics)
    names.append(name);
  return py::tuple(names);
}

// Samples of a mono WAV file as float64 (integer PCM scaled to [-1, 1)) and its rate.
py::object read_mono(py::module_ &m, py::handle path, long *rate) {
  py::tuple got;
  try {
    got = m.attr("wavfile").attr("read")(path);
  } catch (py::error_already_set &e) {
    if (!is_exception(e))
      throw;
    throw py::value_error("cannot read " + text_of(path) + ": " + text_of(e.value()));
  }
  *rate = got[0].cast<long>();
  py::array data = got[1];
  if (data.ndim() != 1)
    throw py::value_error(text_of(path) + " has " + std::to_string(data.shape(1)) +
                          " channels; scoring needs mono files");
  py::object np = m.attr("np");
  py::object samples = data.attr("astype")(np.attr("float64"));
  const char kind = data.dtype().kind();
  const double bits = 8.0 * static_cast<double>(data.dtype().itemsize()) - 1.0;
  if (kind == 'i')
    samples = samples.attr("__truediv__")(std::ldexp(1.0, static_cast<int>(bits)));
  else if (kind == 'u')
    samples = samples.attr("__sub__")(std::ldexp(1.0, static_cast<int>(bits)))
                  .attr("__truediv__")(std::ldexp(1.0, static_cast<int>(bits)));
  return samples;
}

// One measure of `est` against `ref`; a failure becomes NaN plus a note.
py::object corpus_measure(const std::string &metric, py::handle ref, py::handle est, long rate,
                          py::list &notes, const std::string &label) {
  try {
    if (metric == "PESQ") {
      if (rate != 16000 && rate != 8000)
        throw py::value_error("PESQ needs 8000 or 16000 Hz audio, got " + std::to_string(rate) +
                              " Hz");
      return py::float_(
          import_backend(kPesqPypiBackend)(rate, ref, est, rate == 16000 ? "wb" : "nb"));
    }
    if (metric == "STOI")
      return py::float_(stoi(ref, est, static_cast<int>(rate)));
    if (metric == "SDR")
      return py::float_(sdr(ref, est));
    return py::float_(si_sdr(ref, est));
  } catch (py::error_already_set &e) {
    if (!is_exception(e))
      throw;
    notes.append(metric + " of " + label + ": " + text_of(e.value()));
  } catch (std::exception &e) {
    notes.append(metric + " of " + label + ": " + e.what());
  }
  return py::float_(std::numeric_limits<double>::quiet_NaN());
}

// Some of the measures of one enhanced file (and its noisy file, when given)
// against its clean reference: (scores by column, {metric: [notes of its
// failures]}, None), or (None, None, text) when the files cannot be scored at
// all. Run in worker processes by score_corpus, so it takes and returns plain
// objects only.
py::tuple score_part(py::object clean, py::object enhanced, py::object noisy,
                     std::vector<std::string> metrics) {
  py::module_ m = self();
  py::dict row, notes_by_metric;
  try {
    long clean_rate = 0, enhanced_rate = 0, noisy_rate = 0;
    py::object ref = read_mono(m, clean, &clean_rate);
    py::object est = read_mono(m, enhanced, &enhanced_rate);
    py::object base = noisy.is_none() ? py::object() : read_mono(m, noisy, &noisy_rate);
    auto check = [&](py::handle other, py::handle samples, long rate) {
      const std::string name = text_of(other);
      const std::string ref_name = text_of(clean);
      if (rate != clean_rate)
        throw py::value_error(name + " is sampled at " + std::to_string(rate) + " Hz, " + ref_name +
                              " at " + std::to_string(clean_rate) + " Hz");
      if (py::len(samples) != py::len(ref))
        throw py::value_error(name + " has " + std::to_string(py::len(samples)) + " samples, " +
                              ref_name + " has " + std::to_string(py::len(ref)));
    };
    check(enhanced, est, enhanced_rate);
    if (base)
      check(noisy, base, noisy_rate);
    for (const auto &metric : metrics) {
      py::list notes;
      if (base)
        row[py::str("Baseline-" + metric)] =
            corpus_measure(metric, ref, base, clean_rate, notes, "the noisy file");
      row[py::str(metric)] =
          corpus_measure(metric, ref, est, clean_rate, notes, "the enhanced file");
      if (py::len(notes) > 0)
        notes_by_metric[py::str(metric)] = notes;
    }
  } catch (py::error_already_set &e) {
    if (!is_exception(e))
      throw;
    return py::make_tuple(py::none(), py::none(), py::str(e.value()));
  } catch (py::builtin_exception &e) {
    return py::make_tuple(py::none(), py::none(), py::str(e.what()));
  }
  return py::make_tuple(row, notes_by_metric, py::none());
}

// The row of one file from the parts that scored its measures: {column:
// score, ..., "error": text}, the notes in the order of `metrics`.
py::dict merge_parts(const std::vector<py::tuple> &parts, const std::vector<std::string> &metrics) {
  py::dict row;
  for (const py::tuple &part : parts)
    if (!part[2].is_none()) {
      row["error"] = part[2];
      return row;
    }
  py::list notes;
  for (const py::tuple &part : parts)
    for (auto item : py::dict(part[0]))
      row[item.first] = item.second;
  for (const auto &metric : metrics)
    for (const py::tuple &part : parts) {
      py::dict by_metric = part[1];
      if (by_metric.contains(metric))
        for (py::handle note : py::list(by_metric[py::str(metric)]))
          notes.append(note);
    }
  row["error"] = py::str("; ").attr("join")(notes);
  return row;
}

// Scores one enhanced file (and its noisy file, when given) against its clean
// reference: {column: score, ..., "error": text}. Run on a cluster's workers
// by score_corpus, so it takes and returns plain objects only.
py::dict score_file(py::object clean, py::object enhanced, py::object noisy,
                    std::vector<std::string> metrics) {
  return merge_parts({score_part(clean, enhanced, noisy, metrics)}, metrics);
}

// Metric names as given, checked and without repeats.
std::vector<std::string> corpus_metrics(py::handle metrics) {
  if (py::isinstance<py::str>(metrics))
    throw py::type_error("metrics must be a list or tuple of names, not a string");
  std::vector<std::string> out;
  for (py::handle item : metrics) {
    const std::string name = text(item);
    if (std::find(kCorpusMetrics.begin(), kCorpusMetrics.end(), name) == kCorpusMetrics.end())
      throw py::value_error(
          "unknown metric " + py::repr(item).cast<std::string>() + " (known: " +
          py::str(", ")
              .attr("join")(py::module_::import("builtins")
                                .attr("map")(py::module_::import("builtins").attr("repr"),
                                             corpus_metric_names()))
              .cast<std::string>() +
          ")");
    if (std::find(out.begin(), out.end(), name) == out.end())
      out.push_back(name);
  }
  if (out.empty())
    throw py::value_error("metrics names no measure");
  for (const auto &name : out) {
    if (name == "PESQ" && try_import(kPesqPypiBackend) != Import::Ok)
      throw py::value_error(name + " needs the " + kPesqPypiBackend.module +
                            " package (pip install \"tavol[metrics]\")");
  }
  return out;
}

// Files of one input (folder, file, .txt list or nested lists) through io.check_input;
// the rejected entries are returned in `rejected`.
py::list corpus_files(py::handle input, py::list &rejected) {
  py::tuple found = py::module_::import("tavol.core.io").attr("check_input")(input);
  for (py::handle item : py::list(found[1]))
    rejected.append(item);
  return found[0];
}

// The clean file of an enhanced stem: the same stem, else the longest clean
// stem that the name starts with followed by "_" (mixtures are named
// "<clean>_<noise>_<snr>dB").
py::object match_clean(const py::dict &clean_by_stem, const std::vector<std::string> &stems,
                       const std::string &stem) {
  if (clean_by_stem.contains(py::bytes(stem)))
    return clean_by_stem[py::bytes(stem)];
  const std::string *best = nullptr;
  for (const auto &c : stems)
    if (stem.size() > c.size() && stem.compare(0, c.size(), c) == 0 && stem[c.size()] == '_' &&
        (best == nullptr || c.size() > best->size()))
      best = &c;
  return best == nullptr ? py::object(py::none()) : py::object(clean_by_stem[py::bytes(*best)]);
}

// Set-up of a score_corpus worker process: one BLAS thread for its lifetime
// (see limit_blas_threads; the worker processes themselves use the cores).
// The limit applies to the libraries loaded when it is set, and a spawned
// process has not loaded numpy's yet: without numpy first, a worker kept all
// its BLAS threads (spinning beside the other process).
void score_worker_init() {
  py::module_::import("numpy");
  limit_blas_threads();
}

py::object score_corpus(py::object clean, py::object enhanced, py::object noisy, py::object metrics,
                        py::object workers, py::object client) {
  py::module_ m = self();
  if (!client.is_none())
    import_extra("distributed", "dask", kModule);
  const std::vector<std::string> names = corpus_metrics(metrics);
  const int pool = worker_count(m, workers);
  py::list rejected;
  py::list clean_files = corpus_files(clean, rejected);
  py::list enhanced_files = corpus_files(enhanced, rejected);
  py::list noisy_files = noisy.is_none() ? py::list() : corpus_files(noisy, rejected);
  const bool with_noisy = !noisy.is_none();

  py::dict clean_by_stem, noisy_by_stem;
  std::vector<std::string> clean_stems;
  for (py::handle f : clean_files) {
    py::bytes stem(stem_bytes(f));
    if (!clean_by_stem.contains(stem)) {
      clean_by_stem[stem] = f;
      clean_stems.push_back(stem);
    }
  }
  for (py::handle f : noisy_files) {
    py::bytes stem(stem_bytes(f));
    if (!noisy_by_stem.contains(stem))
      noisy_by_stem[stem] = f;
  }

  // One row per enhanced file, in input order; unpaired files get an error row.
  struct Row {
    py::object file, clean, noisy;
    std::string error;
  };
  std::vector<Row> rows;
  py::set used_clean, used_noisy;
  for (py::handle f : enhanced_files) {
    const std::string stem = stem_bytes(f);
    Row row{py::reinterpret_borrow<py::object>(f), match_clean(clean_by_stem, clean_stems, stem),
            py::none(), ""};
    if (with_noisy && noisy_by_stem.contains(py::bytes(stem)))
      row.noisy = noisy_by_stem[py::bytes(stem)];
    if (row.clean.is_none())
      row.error = "no clean file for " + text_of(f);
    else if (with_noisy && row.noisy.is_none())
      row.error = "no noisy file for " + text_of(f);
    if (!row.clean.is_none())
      used_clean.add(row.clean);
    if (!row.noisy.is_none())
      used_noisy.add(row.noisy);
    rows.push_back(std::move(row));
  }
  const std::size_t scored = rows.size();
  for (py::handle f : clean_files)
    if (!used_clean.contains(f))
      rows.push_back({py::none(), py::reinterpret_borrow<py::object>(f), py::none(),
                      "no enhanced file for this clean file"});
  for (py::handle f : noisy_files)
    if (!used_noisy.contains(f))
      rows.push_back({py::none(), py::none(), py::reinterpret_borrow<py::object>(f),
                      "no enhanced file for this noisy file"});
  for (py::handle item : rejected)
    rows.push_back({py::reinterpret_borrow<py::object>(item), py::none(), py::none(),
                    "not a .wav file, folder or .txt list that exists"});

  // Score the paired rows: in this process, or in worker processes (PESQ
  // and STOI hold the GIL), results collected in row order.
  std::vector<std::size_t> jobs;
  for (std::size_t i = 0; i < scored; ++i)
    if (rows[i].error.empty())
      jobs.push_back(i);
  std::vector<py::dict> results(rows.size());
  py::object bar = m.attr("tqdm")("total"_a = jobs.size(), "desc"_a = "[tl.] scoring");
  auto job_args = [&](std::size_t i) {
    return py::make_tuple(py::str(rows[i].clean), py::str(rows[i].file),
                          rows[i].noisy.is_none() ? py::object(py::none())
                                                  : py::object(py::str(rows[i].noisy)),
                          names);
  };
  if (!client.is_none()) {
    // On a Dask cluster: batches of files go to its workers (tavol._cluster).
    py::list calls;
    for (std::size_t i : jobs)
      calls.append(job_args(i));
    py::object session = py::module_::import("tavol._cluster").attr("Session")(client);
    py::list scored_rows;
    try {
      scored_rows = session.attr("map")(m.attr("_score_file"), calls, bar);
    } catch (...) {
      session.attr("close")();
      throw;
    }
    session.attr("close")();
    for (std::size_t k = 0; k < jobs.size(); ++k)
      results[jobs[k]] = scored_rows[k];
  } else if (pool == 1 || jobs.size() < 2) {
    const OneBlasThread one_blas_thread;
    for (std::size_t i : jobs) {
      py::tuple a = job_args(i);
      results[i] = score_file(a[0], a[1], a[2], a[3].cast<std::vector<std::string>>());
      bar.attr("update")(1);
    }
  } else {
    // This process scores files too, beside workers - 1 worker processes
    // (each costs about half a second of processor time to start, importing
    // numpy and pesq). PESQ is most of the work and the only measure that
    // holds the GIL, so with PESQ and other measures, a file's PESQ and the
    // rest are separate tasks: the workers take the PESQ tasks first and this
    // process the others, each then going on with what is left. Each worker
    // keeps two tasks in hand.
    const OneBlasThread one_blas_thread;
    std::vector<std::vector<std::string>> groups;
    const auto pesq = std::find(names.begin(), names.end(), "PESQ");
    if (pesq != names.end() && names.size() > 1) {
      std::vector<std::string> rest(names.begin(), pesq);
      rest.insert(rest.end(), pesq + 1, names.end());
      groups = {{"PESQ"}, rest};
    } else {
      groups = {names};
    }
    const bool split = groups.size() == 2;
    const std::size_t last = groups.size() - 1;
    py::object futures = py::module_::import("concurrent.futures");
    py::object context = py::module_::import("multiprocessing").attr("get_context")("spawn");
    const std::size_t procs =
        std::min<std::size_t>(static_cast<std::size_t>(pool) - 1, jobs.size() - 1);
    py::object executor =
        futures.attr("ProcessPoolExecutor")("max_workers"_a = procs, "mp_context"_a = context,
                                            "initializer"_a = m.attr("_score_worker_init"));
    try {
      py::object fn = m.attr("_score_part");
      // Unclaimed tasks: the PESQ tasks from pesq_next on (split only), the
      // others between rest_front and rest_back (this process takes them from
      // the front, the workers from the back).
      std::size_t pesq_next = split ? 0 : jobs.size(), rest_front = 0, rest_back = jobs.size();
      std::vector<std::vector<py::tuple>> parts(jobs.size());
      auto finish = [&](std::size_t k, py::tuple part) {
        parts[k].push_back(std::move(part));
        if (parts[k].size() == groups.size()) {
          results[jobs[k]] = merge_parts(parts[k], names);
          bar.attr("update")(1);
        }
      };
      auto args = [&](std::size_t k, std::size_t g) {
        py::tuple a = job_args(jobs[k]);
        return py::make_tuple(a[0], a[1], a[2], py::cast(groups[g]));
      };
      py::dict task_of; // future -> (job, group)
      auto submit = [&] {
        while (py::len(task_of) < 2 * procs) {
          std::size_t k = 0, g = 0;
          if (pesq_next < jobs.size()) {
            k = pesq_next++;
          } else if (rest_front < rest_back) {
            k = --rest_back;
            g = last;
          } else {
            break;
          }
          py::tuple a = args(k, g);
          task_of[executor.attr("submit")(fn, a[0], a[1], a[2], a[3])] = py::make_tuple(k, g);
        }
      };
      auto collect = [&](py::object timeout) {
        py::tuple waited = futures.attr("wait")(py::list(task_of), "timeout"_a = timeout,
                                                "return_when"_a = futures.attr("FIRST_COMPLETED"));
        for (py::handle done : waited[0]) {
          py::tuple task = task_of[done];
          finish(task[0].cast<std::size_t>(), done.attr("result")());
          task_of.attr("pop")(done);
        }
      };
      submit();
      for (;;) {
        std::size_t k = 0, g = 0;
        if (rest_front < rest_back) {
          k = rest_front++;
          g = last;
        } else if (pesq_next < jobs.size()) {
          k = pesq_next++;
        } else {
          break;
        }
        py::tuple a = args(k, g);
        finish(k, score_part(a[0], a[1], a[2], groups[g]));
        collect(py::float_(0.0));
        submit();
      }
      while (py::len(task_of) > 0)
        collect(py::none());
    } catch (...) {
      executor.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
      bar.attr("close")();
      throw;
    }
    executor.attr("shutdown")("wait"_a = true);
  }
  bar.attr("close")();

  py::list columns;
  columns.append("file");
  columns.append("clean");
  if (with_noisy)
    columns.append("noisy");
  for (const auto &name : names) {
    if (with_noisy)
      columns.append("Baseline-" + name);
    columns.append(name);
  }
  columns.append("error");
  auto text = [](const py::object &path) { return path.is_none() ? py::str("") : py::str(path); };
  py::list table;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    py::dict row;
    row["file"] = text(rows[i].file);
    row["clean"] = text(rows[i].clean);
    if (with_noisy)
      row["noisy"] = text(rows[i].noisy);
    for (auto item : results[i])
      row[item.first] = item.second;
    if (!rows[i].error.empty())
      row["error"] = rows[i].error;
    table.append(row);
  }
  py::object pd = m.attr("pd");
  py::object df = pd.attr("DataFrame")(table, "columns"_a = columns);
  py::list score_columns(columns[py::slice(with_noisy ? 3 : 2, -1, 1)]);
  df[score_columns] = df[score_columns].attr("astype")("float64");
  df["error"] = df["error"].attr("fillna")("");
  py::dict mean;
  mean["file"] = kMeanLabel;
  mean["clean"] = "";
  if (with_noisy)
    mean["noisy"] = "";
  py::object means = df[score_columns].attr("mean")();
  for (py::handle c : score_columns)
    mean[c] = means[c];
  mean["error"] = "";
  py::list mean_rows;
  mean_rows.append(mean);
  return pd.attr("concat")(
      py::make_tuple(df, pd.attr("DataFrame")(mean_rows, "columns"_a = columns)),
      "ignore_index"_a = true);
}

} // namespace

PYBIND11_MODULE(evaluator, m) {
  register_translators();
  m.doc() = "PESQ, STOI and SDR evaluation of enhanced speech against clean references; native "
            "SDR and SI-SDR; corpus scoring.";

  m.attr("os") = py::module_::import("os");
  m.attr("re") = py::module_::import("re");
  m.attr("subprocess") = py::module_::import("subprocess");
  bind_lazily(m, {{"np", "numpy"},
                  {"pd", "pandas"},
                  {"wavfile", "scipy.io.wavfile"},
                  {"tqdm", "tqdm", "tqdm"}});
  py::module_ util = py::module_::import("tavol.util");
  for (const char *name : {"warn", "pur", "cya", "blu"})
    m.attr(name) = util.attr(name);
  m.attr("__all__") = py::list(py::make_tuple("AudioEvaluate", "eval_metrics"));

  m.def("check_metrics_install", &check_metrics_install,
        "Finds which metric packages import (installing a missing one once) and returns "
        "(PESQ_OK, STOI_OK, SDR_OK).");
  py::object cls = make_audio_evaluate();
  m.attr(kClass) = cls;
  m.def("sdr", &sdr, "ref"_a, "est"_a,
        "BSS Eval SDR in dB of `est` against `ref` (one-dimensional arrays of equal length): "
        "the single-source measure of mir_eval's bss_eval_sources, with its 512-tap distortion "
        "filter, computed natively without the GIL. A silent or non-finite input is a "
        "ValueError; an estimate that is exactly a filtered reference gives inf.");
  m.def("si_sdr", &si_sdr, "ref"_a, "est"_a,
        "Scale-invariant SDR in dB of `est` against `ref` (one-dimensional arrays of equal "
        "length), 10 log10(|a ref|^2 / |est - a ref|^2) with a = <est, ref> / |ref|^2 and no "
        "mean removal; computed natively without the GIL. Errors as for sdr().");
  m.def("stoi", &stoi, "ref"_a, "est"_a, "rate"_a,
        "STOI of `est` against the clean `ref` (one-dimensional arrays of equal length at "
        "`rate` Hz), the score pystoi.stoi gives (to about 1e-12), computed natively without "
        "the GIL. Where pystoi returns 1e-5 because fewer than 30 frames of speech remain, and "
        "for a silent reference, the measure is undefined: a ValueError says so, as it does for "
        "non-finite samples, mismatched lengths and a rate that is not positive.");
  m.def("score_corpus", &score_corpus, "clean"_a, "enhanced"_a, "noisy"_a = py::none(),
        "metrics"_a = corpus_metric_names(), "workers"_a = py::none(), py::kw_only(),
        "client"_a = py::none(),
        "Scores every enhanced file against its clean reference and returns one row per file "
        "plus a last row \"mean\" as a DataFrame.\n\n"
        "Inputs are folders, files, .txt lists or lists of these. Files pair by stem (an "
        "enhanced \"<clean>_<noise>_<snr>dB\" pairs with clean \"<clean>\"; noisy files "
        "must have the enhanced stem); with `noisy`, every measure gets a \"Baseline-\" "
        "column. PESQ is computed with the pesq package (wide band at 16 kHz, narrow band at "
        "8 kHz), STOI, SDR and SI-SDR natively (STOI as pystoi computes it). Files that cannot be "
        "paired, read or scored are rows with a text in the \"error\" column and NaN scores (a "
        "measure "
        "undefined for a file is NaN, with the reason there); means skip NaN. `workers` "
        "(default: the machine's cores) processes score files at once, this one and worker "
        "processes; these are "
        "started with the spawn method, so a script that calls this with more than one worker "
        "needs the usual `if __name__ == \"__main__\":` guard. `client`: a dask.distributed "
        "Client or a scheduler address; the files are then scored in batches on the cluster's "
        "workers instead (needs tavol[dask]), with the same table.");
  m.def("_score_worker_init", &score_worker_init,
        "Set-up of score_corpus's worker processes: one BLAS thread each.");
  m.def("_score_file", &score_file, "clean"_a, "enhanced"_a, "noisy"_a, "metrics"_a,
        "score_corpus's work for one file, run on a cluster's workers.");
  m.def("_score_part", &score_part, "clean"_a, "enhanced"_a, "noisy"_a, "metrics"_a,
        "score_corpus's work for some measures of one file, run in its worker processes.");
  m.def("eval_metrics", &eval_metrics, "rate"_a, "ref"_a, "deg"_a,
        "Scores `deg` against `ref` (sample arrays at `rate` Hz, cut to the shorter one) and "
        "returns (PESQ, STOI, SDR); a measure whose package is missing gives None.");
  // Reached through the class it is the function itself; through an instance it binds.
  py::object fn = m.attr("eval_metrics");
  py::setattr(cls, "eval_metrics",
              py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr())));
  finish_module(m);
}
