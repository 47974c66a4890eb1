// tavol.core.evaluator: PESQ, STOI and SDR scores of enhanced speech against
// clean references, tabulated per enhancement method.
//
// The measures themselves come from optional packages (mir_eval, pystoi,
// pysepm, pypesq) and, for PESQ over files, from the `pesq.exe` program. This
// module probes the packages, walks the file triples, pairs enhanced files
// with noisy ones by stem, and builds the pandas tables. Every Python-level
// function it calls (warn, os.system, check_metrics_install, the scorers, ...)
// is looked up when it is called, so callers can substitute them.
#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <utility>

#include "support/support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kModule = "tavol.core.evaluator";
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

// The external PESQ program: its name on PATH and the rate option it is given.
constexpr const char *kPesqProgram = "pesq.exe";
constexpr const char *kPesqRateOption = "+16000";
// Everything up to and including the last "= " of the program's last line goes.
constexpr const char *kPesqScorePrefix = "^.*= ";

py::module_ self() { return py::module_::import(kModule); }

bool is_exception(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

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

// True when the back-end imports. A missing module (ModuleNotFoundError) is
// announced through `warn`, the installer is run once through `os.system`, and
// the import is tried again; any other import failure just reports False.
bool probe(py::module_ &m, const Backend &b) {
  try {
    import_backend(b);
    return true;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) {
      if (is_exception(e))
        return false;
      throw;
    }
  }
  m.attr("warn")(b.missing_message);
  m.attr("os").attr("system")(b.install_command);
  // The installer adds folders that the import system's directory caches do not know yet.
  py::module_::import("importlib").attr("invalidate_caches")();
  try {
    import_backend(b);
    return true;
  } catch (py::error_already_set &e) {
    if (is_exception(e))
      return false;
    throw;
  }
}

py::tuple check_metrics_install() {
  py::module_ m = self();
  const bool sdr_ok = probe(m, kSdrBackend);
  const bool stoi_ok = probe(m, kStoiBackend);
  const bool pesq_ok = probe(m, kPesqBackend);
  return py::make_tuple(pesq_ok, stoi_ok, sdr_ok);
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

// Walks zip(clean_list, noisy_list, enhanced_list) under a progress bar,
// scores each triple with `score`, tabulates the rows in one DataFrame and
// returns the means of the two score columns over the complete rows.
template <typename ScoreTriple>
py::object score_triples(py::handle self_, const Measure &measure, ScoreTriple &&score) {
  py::module_ m = self();
  if (measure.banner != nullptr)
    m.attr("pur")(measure.banner);
  py::object triples = py::module_::import("builtins")
                           .attr("zip")(self_.attr("clean_list"), self_.attr("noisy_list"),
                                        self_.attr("enhanced_list"));
  py::object basename = m.attr("os").attr("path").attr("basename");
  py::list rows;
  for (py::handle triple : m.attr("tqdm")(triples)) {
    py::object cln = triple[py::int_(0)];
    ScorePair scores =
        score(m, cln, py::object(triple[py::int_(1)]), py::object(triple[py::int_(2)]));
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

py::object sdr_score(py::object self_) {
  py::object mir_eval = import_backend(kSdrBackend);
  return score_triples(
      self_, kSdr, [&](py::module_ &m, py::handle cln, py::handle noy, py::handle enh) {
        py::object rate;
        auto audio = read_triple(m, cln, noy, enh, &rate);
        for (auto &a : audio)
          a = a.attr("reshape")(1, -1);
        py::object separation = mir_eval.attr("separation");
        separation.attr("validate")(audio[0], audio[1]);
        separation.attr("validate")(audio[0], audio[2]);
        py::object noisy_sdr = separation.attr("bss_eval_sources")(audio[0], audio[1])[py::int_(0)];
        py::object enhanced_sdr =
            separation.attr("bss_eval_sources")(audio[0], audio[2])[py::int_(0)];
        return ScorePair{scalar(m, noisy_sdr), scalar(m, enhanced_sdr)};
      });
}

py::object stoi_score(py::object self_) {
  py::object stoi = import_backend(kStoiBackend);
  return score_triples(
      self_, kStoi, [&](py::module_ &m, py::handle cln, py::handle noy, py::handle enh) {
        py::object rate;
        auto audio = read_triple(m, cln, noy, enh, &rate);
        return ScorePair{py::float_(stoi(audio[0], audio[1], rate, "extended"_a = false)),
                         py::float_(stoi(audio[0], audio[2], rate, "extended"_a = false))};
      });
}

py::object pesq_score_v2(py::object self_) {
  py::object pesq = import_backend(kPesqV2Backend);
  return score_triples(self_, kPesqV2,
                       [&](py::module_ &m, py::handle cln, py::handle noy, py::handle enh) {
                         py::object rate;
                         auto audio = read_triple(m, cln, noy, enh, &rate);
                         return ScorePair{pesq(audio[0], audio[1], rate, "wb"),
                                          pesq(audio[0], audio[2], rate, "wb")};
                       });
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
py::str pesq_last_line(py::module_ &m, py::handle program, const py::str &ref, const py::str &deg) {
  py::object subprocess = m.attr("subprocess");
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
                            py::str(done.attr("returncode")).cast<std::string>() + ")";
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

py::object pesq_score(py::object self_) {
  py::object program = pesq_program();
  return score_triples(self_, kPesq,
                       [&](py::module_ &m, py::handle cln, py::handle noy, py::handle enh) {
                         const py::str ref(cln), noisy(noy), enhanced(enh);
                         py::str noisy_line = pesq_last_line(m, program, ref, noisy);
                         py::str enhanced_line = pesq_last_line(m, program, ref, enhanced);
                         try {
                           py::float_ noisy_score = pesq_value(m, noisy_line);
                           return ScorePair{noisy_score, pesq_value(m, enhanced_line)};
                         } catch (py::error_already_set &e) {
                           if (!e.matches(PyExc_ValueError))
                             throw;
                           // One unreadable line spoils the pair: both scores are left out of the
                           // means.
                           py::object nan = m.attr("np").attr("nan");
                           return ScorePair{nan, nan};
                         }
                       });
}

// ---------------------------------------------------------------- AudioEvaluate

void evaluate_init(py::object self_, py::object clean_list, py::object noisy_list) {
  self_.attr("enhanced_list") = py::none();
  self_.attr("clean_list") = clean_list;
  self_.attr("noisy_list") = noisy_list;
  py::tuple flags = self().attr("check_metrics_install")();
  self_.attr("pesq_status") = flags[0];
  self_.attr("stoi_status") = flags[1];
  self_.attr("sdr_status") = flags[2];
  py::dict table;
  table[kMethodKey] = py::list();
  if (py::bool_(self_.attr("pesq_status")))
    table["PESQ"] = py::list();
  if (py::bool_(self_.attr("stoi_status")))
    table["STOI"] = py::list();
  if (py::bool_(self_.attr("sdr_status")))
    table["SDR"] = py::list();
  self_.attr("score_dict") = table;
}

// One measure as `eval` runs it: flag, scorer, baseline attribute, table column.
struct Step {
  const char *status;
  const char *scorer;
  const char *baseline;
  const char *column;
};

constexpr std::array<Step, 3> kSteps{{
    {"pesq_status", "_AudioEvaluate__pesq_score", "base_pesq", "PESQ"},
    {"stoi_status", "_AudioEvaluate__stoi_score", "base_stoi", "STOI"},
    {"sdr_status", "_AudioEvaluate__sdr_score", "base_sdr", "SDR"},
}};

// `baseline, enhanced = result`, with Python's unpacking errors.
std::pair<py::object, py::object> unpack_pair(const py::object &result) {
  py::list items(result);
  if (items.size() != 2) {
    const std::string msg = items.size() < 2 ? "not enough values to unpack (expected 2, got " +
                                                   std::to_string(items.size()) + ")"
                                             : "too many values to unpack (expected 2)";
    throw py::value_error(msg);
  }
  return {items[0], items[1]};
}

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

void evaluate_eval(py::object self_, py::object enhance_method, py::object enhanced_list) {
  py::module_ m = self();
  py::list names;
  for (py::handle item : enhanced_list)
    names.append(item.attr("stem"));
  py::object noisy_list = self_.attr("noisy_list");
  py_assert(py::len(noisy_list) == names.size(), py::str(kMsgFileCount));
  py::list perm = pair_by_stem(noisy_list, names);

  // The row (label, scores and baselines) is committed only once every enabled
  // measure has its means, so a failing back-end leaves the instance as it was.
  py::object previous = self_.attr("enhanced_list");
  self_.attr("enhanced_list") = m.attr("np").attr("array")(enhanced_list)[perm];
  std::array<py::object, 3> baselines, cells;
  try {
    for (std::size_t i = 0; i < kSteps.size(); ++i) {
      baselines[i] = py::list();
      if (!py::bool_(self_.attr(kSteps[i].status)))
        continue;
      auto [baseline, enhanced] = unpack_pair(self_.attr(kSteps[i].scorer)());
      baselines[i] = baseline;
      cells[i] = m.attr("np").attr("around")(enhanced, kDecimals);
    }
  } catch (...) {
    self_.attr("enhanced_list") = previous;
    throw;
  }
  py::object table = self_.attr("score_dict");
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
  py::object table = self_.attr("score_dict");
  table[kMethodKey].attr("append")(kBaselineLabel);
  for (std::size_t i = 0; i < kSteps.size(); ++i)
    if (has_baseline(baselines[i]))
      table[kSteps[i].column].attr("append")(m.attr("np").attr("around")(baselines[i], kDecimals));
  return m.attr("pd").attr("DataFrame").attr("from_dict")(table, "orient"_a = "columns");
}

py::object make_audio_evaluate() {
  py::dict ns;
  ns["__module__"] = kModule;
  ns["__qualname__"] = kClass;
  ns["__doc__"] = kClassDoc;
  py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
      kClass,
      py::make_tuple(
          py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
      ns);
  auto method = [&](const char *name, auto &&fn, auto... extra) {
    add_method(cls, name, std::forward<decltype(fn)>(fn), extra...);
  };
  method("__init__", &evaluate_init, py::arg("clean_list"), py::arg("noisy_list"));
  method("eval", &evaluate_eval, py::arg("enhance_method"), py::arg("enhanced_list"),
         "Scores one enhancement method: pairs `enhanced_list` with the noisy files by stem, runs "
         "every "
         "available measure and adds one row of mean scores labelled `enhance_method`.");
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
  py::object pesq = py::none(), stoi = py::none(), sdr = py::none();
  const std::size_t ref_len = py::len(ref), deg_len = py::len(deg);
  if (deg_len < ref_len)
    ref = ref[py::slice(py::none(), py::int_(deg_len), py::none())];
  else
    deg = deg[py::slice(py::none(), py::int_(ref_len), py::none())];
  if (py::bool_(flags[0]))
    pesq = import_backend(kPesqBackend).attr("pesq")(ref, deg, rate)[py::int_(1)];
  if (py::bool_(flags[1]))
    stoi = import_backend(kStoiBackend)(ref, deg, rate, "extended"_a = false);
  if (py::bool_(flags[2])) {
    py::object separation = import_backend(kSdrBackend).attr("separation");
    py::object reference = ref.attr("reshape")(1, -1);
    py::object estimate = deg.attr("reshape")(1, -1);
    separation.attr("validate")(reference, estimate);
    sdr = separation.attr("bss_eval_sources")(reference, estimate)[py::int_(0)][py::int_(0)];
  }
  return py::make_tuple(pesq, stoi, sdr);
}

} // namespace

PYBIND11_MODULE(evaluator, m) {
  register_translators();
  m.doc() = "PESQ, STOI and SDR evaluation of enhanced speech against clean references.";

  m.attr("os") = py::module_::import("os");
  m.attr("re") = py::module_::import("re");
  m.attr("subprocess") = py::module_::import("subprocess");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("wavfile") = py::module_::import("scipy.io").attr("wavfile");
  m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
  py::module_ util = py::module_::import("tavol.util");
  for (const char *name : {"warn", "pur", "cya", "blu"})
    m.attr(name) = util.attr(name);
  m.attr("__all__") = py::list(py::make_tuple("AudioEvaluate", "eval_metrics"));

  m.def("check_metrics_install", &check_metrics_install,
        "Finds which metric packages import (installing a missing one once) and returns "
        "(PESQ_OK, STOI_OK, SDR_OK).");
  py::object cls = make_audio_evaluate();
  m.attr(kClass) = cls;
  m.def("eval_metrics", &eval_metrics, "rate"_a, "ref"_a, "deg"_a,
        "Scores `deg` against `ref` (sample arrays at `rate` Hz, cut to the shorter one) and "
        "returns (PESQ, STOI, SDR); a measure whose package is missing gives None.");
  // Reached through the class it is the function itself; through an instance it binds.
  py::object fn = m.attr("eval_metrics");
  py::setattr(cls, "eval_metrics",
              py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr())));
  finish_module(m);
}
