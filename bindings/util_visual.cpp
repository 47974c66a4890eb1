// tavol.util.visual: waveform, spectrogram, spectral-feature and training-curve
// figures.
//
// All drawing goes through this module's bound `plt`, `librosa`, `np`, `cm`,
// `colormaps` and `signal`; audio is read with tavol.core.io's file_load,
// looked up here at call time. Figures that a function opens for itself are
// closed before it returns.
#include <pybind11/pybind11.h>

#include <functional>
#include <string>

#include "support/imports.hpp"
#include "support/support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

// The extra that installs matplotlib and scikit-learn.
constexpr const char *kExtra = "plot";
constexpr const char *kMsgExists = "[tl.] 檔案或路徑已存在";
constexpr const char *kDefaultFigDir = "tl_figs";
constexpr const char *kColormap = "jet";
// Spectrogram panels of WaveVisualizer.
constexpr int kGridFft = 512;
constexpr int kGridHop = 256;
constexpr const char *kGridWindow = "hamming";
// Line styles of history_plot, chosen by a key's position in the history.
constexpr const char *kHistoryStyles[] = {"r",   "g",  "b",  "c",  "m",  "y",   "k",
                                          "b--", "r:", "c:", "m:", "k:", "g--", "y--"};
constexpr int kHistoryDpi = 150;
constexpr int kDefaultMels = 40;
constexpr int kDefaultSubMelFq = 48000;
constexpr int kDefaultDpi = 200;
constexpr int kWelchFft = 1024;
// Added before counting zero crossings, so exact zeros do not count as crossings.
constexpr double kZcrOffset = 0.0001;

py::object floor_div(const py::handle &a, const py::handle &b) {
  auto out = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(a.ptr(), b.ptr()));
  if (!out)
    throw py::error_already_set();
  return out;
}

py::object jet(const py::module_ &m) { return m.attr("colormaps")[py::str(kColormap)]; }

// The file's duration in whole seconds, int(len(y) / sr).
py::int_ whole_seconds(const py::object &y, const py::object &sr) {
  return py::int_(py::int_(py::len(y)) / sr);
}

// Time axis of a frame-based feature with `frames` values: 0 .. whole seconds.
py::object time_axis(const py::module_ &m, const py::object &y, const py::object &sr,
                     std::size_t frames) {
  return m.attr("np").attr("linspace")(0, whole_seconds(y, sr), frames);
}

// `y, sr = file_load(file)`, through the module's bound file_load.
std::pair<py::object, py::object> load_pair(const py::module_ &m, const py::object &file) {
  py::tuple pair = unpack(m.attr("file_load")(file), 2);
  return {pair[0], pair[1]};
}

// Runs `draw`; when it fails, closes `fig` before the error propagates.
void closing_on_error(const py::object &plt, const py::object &fig,
                      const std::function<void()> &draw) {
  try {
    draw();
  } catch (py::error_already_set &) {
    plt.attr("close")(fig);
    throw;
  }
}

// ---------------------------------------------------------------- Common

void common_init(py::object self_, py::object fig_dir, py::object is_save) {
  check_exact_type(fig_dir, "fig_dir", &PyUnicode_Type);
  py::module_ m = self();
  self_.attr("is_save") = is_save;
  if (py::bool_(is_save))
    m.attr("Path")(fig_dir).attr("absolute")().attr("mkdir")("parents"_a = true,
                                                             "exist_ok"_a = true);
  self_.attr("plt") = m.attr("plt");
  self_.attr("fig") = self_.attr("plt").attr("figure")("figsize"_a = py::make_tuple(7, 5));
  self_.attr("plt").attr("subplots_adjust")("wspace"_a = 0.3, "hspace"_a = 0.3);
}

void loss_plot(py::object self_, py::object loss, py::object val_loss) {
  py::object fig = self_.attr("fig");
  // Reuse the figure's 1x1 subplot when there is one (current matplotlib
  // would stack a new axes on top of it), else add it.
  py::object ax = py::none();
  for (py::handle existing : fig.attr("axes")) {
    py::object subplot_spec = existing.attr("get_subplotspec")();
    if (!subplot_spec.is_none() &&
        subplot_spec.attr("get_geometry")().equal(py::make_tuple(1, 1, 0, 0))) {
      ax = py::reinterpret_borrow<py::object>(existing);
      break;
    }
  }
  if (ax.is_none())
    ax = fig.attr("add_subplot")(1, 1, 1);
  ax.attr("cla")();
  ax.attr("plot")(loss);
  ax.attr("plot")(val_loss);
  ax.attr("set_title")("Model loss");
  ax.attr("set_xlabel")("Epoch");
  ax.attr("set_ylabel")("Loss");
  ax.attr("legend")(py::make_tuple("Train", "Validation"), "loc"_a = "upper right");
}

void mel_panel(const py::module_ &m, const py::object &y, const py::object &sr,
               const py::object &n_mels, const py::object &fmax, bool limit_bands) {
  py::object librosa = m.attr("librosa");
  py::object mel = limit_bands ? librosa.attr("feature").attr("melspectrogram")(
                                     "y"_a = y, "sr"_a = sr, "n_mels"_a = n_mels, "fmax"_a = fmax)
                               : librosa.attr("feature").attr("melspectrogram")(
                                     "y"_a = y, "sr"_a = sr, "n_mels"_a = n_mels);
  py::object db = librosa.attr("power_to_db")(mel, "ref"_a = m.attr("np").attr("max"));
  librosa.attr("display").attr("specshow")(db, "sr"_a = sr, "x_axis"_a = "time", "y_axis"_a = "mel",
                                           "fmax"_a = fmax);
}

void plot_stft_w_2mfe(py::object f, py::object n_mels, py::object sub_mfe_fq) {
  check_exact_type(sub_mfe_fq, "sub_mfe_fq", &PyLong_Type);
  py::module_ m = self();
  py::object plt = m.attr("plt");
  py::object librosa = m.attr("librosa");
  f = to_path(m, f); // ValueError for a NUL byte, which librosa.load would cut the name at
  py::tuple loaded =
      unpack(librosa.attr("load")(py::str(f), "sr"_a = py::none(), "mono"_a = true), 2);
  py::object y = loaded[0], sr = loaded[1];
  py::object fig = plt.attr("figure")("figsize"_a = py::make_tuple(12, 10), "dpi"_a = kDefaultDpi);
  closing_on_error(plt, fig, [&] {
    plt.attr("subplot")(311);
    plt.attr("title")(f.attr("stem"));
    librosa.attr("display").attr("waveshow")(y, "sr"_a = sr);
    plt.attr("subplot")(312);
    plt.attr("title")(py::str("Mel Spectrogram {}KHz n:{}").format(sr, n_mels));
    mel_panel(m, y, sr, n_mels, floor_div(sr, py::int_(2)), false);
    plt.attr("subplot")(313);
    plt.attr("title")(py::str("Mel Spectrogram {}KHz n:{}").format(sub_mfe_fq, n_mels));
    mel_panel(m, y, sr, n_mels, sub_mfe_fq, true);
    plt.attr("tight_layout")();
    plt.attr("show")();
  });
  plt.attr("close")();
}

py::object make_common(py::module_ &m) {
  py::object cls = make_class(kModule, "Common", object_bases());
  add_method(cls, "__init__", &common_init, "fig_dir"_a = kDefaultFigDir, "is_save"_a = false);
  add_method(cls, "loss_plot", &loss_plot, "loss"_a, "val_loss"_a,
             "Plot the loss curve.\nloss: training-loss series (list of floats)\nval_loss: "
             "validation-loss series (list of floats)\nReturns None.");
  add_method(cls, "show", [](py::object s) { s.attr("fig").attr("show")(); });
  add_method(
      cls, "save",
      [](py::object s, py::object dir) {
        if (py::bool_(s.attr("is_save")))
          s.attr("plt").attr("savefig")(dir);
      },
      "dir"_a);
  add_method(cls, "close", [](py::object s) { s.attr("plt").attr("close")(); });
  add_static_method(m, cls, "plot_stft_w_2mfe",
                    py::cpp_function(&plot_stft_w_2mfe, py::name("plot_stft_w_2mfe"), "f"_a,
                                     "n_mels"_a = kDefaultMels, "sub_mfe_fq"_a = kDefaultSubMelFq,
                                     "Waveform and two mel spectrograms of one audio file (up to "
                                     "half its rate, and up to sub_mfe_fq Hz), shown on screen."));
  return cls;
}

// ---------------------------------------------------------------- WaveVisualizer

void visualizer_init(py::object self_, py::object fig_size, py::object dpi, py::object subplots) {
  check_exact_type(subplots, "subplots", &PyLong_Type, true);
  py::module_ m = self();
  m.attr("Common").attr("__init__")(self_);
  // The base figure is replaced below and unreachable afterwards: close it
  // rather than leave it open in pyplot.
  py::object base_fig = self_.attr("fig");
  py::object plt = m.attr("plt");
  self_.attr("plt") = plt;
  self_.attr("row_len") = py::none();
  if (!subplots.is_none()) {
    self_.attr("row_len") = subplots;
    // Always a rows x 2 array, also for a single row.
    py::tuple made = unpack(
        plt.attr("subplots")(subplots, 2, "figsize"_a = py::make_tuple(11, 8), "squeeze"_a = false),
        2);
    self_.attr("fig") = made[0];
    self_.attr("ax") = made[1];
  } else {
    self_.attr("fig") = plt.attr("figure")("figsize"_a = fig_size, "dpi"_a = dpi);
  }
  plt.attr("close")(base_fig);
  plt.attr("subplots_adjust")("wspace"_a = 0.3, "hspace"_a = 0.3);
}

void visualizer_plot(py::object self_, py::object wave_list, py::object title) {
  py::module_ m = self();
  const std::size_t count = py::len(wave_list);
  self_.attr("wave_length") = count;
  print("[tl.] plot " + std::to_string(count) + " wave(s)");
  if (title.is_none() || py::len(title) != count) {
    py::list stems;
    for (py::handle w : wave_list)
      stems.append(m.attr("Path")(w).attr("stem"));
    title = stems;
  }
  py::object librosa = m.attr("librosa");
  py::object display = librosa.attr("display");
  py::object np = m.attr("np");
  py::object ax = self_.attr("ax");
  std::size_t i = 0;
  for (py::handle pair : py::module_::import("builtins").attr("zip")(wave_list, title)) {
    py::object row = ax[py::int_(i)];
    py::object wave_ax = row[py::int_(0)], spec_ax = row[py::int_(1)];
    const py::str text(pair[py::int_(1)]);
    wave_ax.attr("set_title")(text);
    auto [data, sr] = load_pair(m, pair[py::int_(0)]);
    display.attr("waveshow")(data, "sr"_a = sr, "ax"_a = wave_ax);
    spec_ax.attr("set_title")(text);
    py::object stft = librosa.attr("stft")(data, "n_fft"_a = kGridFft, "hop_length"_a = kGridHop,
                                           "win_length"_a = kGridFft, "window"_a = kGridWindow);
    py::object db = librosa.attr("amplitude_to_db")(np.attr("abs")(stft), "ref"_a = np.attr("max"));
    display.attr("specshow")(db, "sr"_a = sr, "x_axis"_a = "time", "y_axis"_a = "linear",
                             "hop_length"_a = kGridHop, "cmap"_a = jet(m), "ax"_a = spec_ax);
    ++i;
  }
  self_.attr("multi_hide_xlabel")();
  self_.attr("fig").attr("tight_layout")();
}

void multi_hide_xlabel(py::object self_) {
  py::object ax = self_.attr("ax");
  const py::object last = py::object(self_.attr("wave_length")) - py::int_(1);
  for (py::int_ i(0); i < last; i = py::int_(i + py::int_(1))) {
    ax[py::make_tuple(i, 0)].attr("set_xlabel")("");
    ax[py::make_tuple(i, 1)].attr("set_xlabel")("");
  }
}

void visualizer_save(py::object self_, py::object path) {
  path = self().attr("Path")(path);
  if (path.attr("exists")().cast<bool>()) {
    print(kMsgExists);
    return;
  }
  self_.attr("plt").attr("savefig")(path);
}

py::object make_wave_visualizer(const py::object &common) {
  py::object cls = make_class(kModule, "WaveVisualizer", py::make_tuple(common));
  add_method(cls, "__init__", &visualizer_init, "fig_size"_a = py::make_tuple(7, 5),
             "dpi"_a = kDefaultDpi, "subplots"_a = py::none());
  add_method(cls, "plot", &visualizer_plot, "wave_list"_a, "title"_a = py::none());
  add_method(cls, "multi_hide_xlabel", &multi_hide_xlabel);
  add_method(cls, "save", &visualizer_save, "path"_a);
  add_method(
      cls, "copy_wave",
      [](py::object, py::object path, py::object wave_list) {
        self().attr("copy_waves")(path, wave_list);
      },
      "path"_a, "wave_list"_a);
  return cls;
}

// ---------------------------------------------------------------- training plots

void history_plot(py::object history, py::object metrics, py::object save_fig) {
  check_exact_type(save_fig, "save_fig", &PyUnicode_Type, true);
  py::module_ m = self();
  py::object plt = m.attr("plt");
  py::list styles;
  for (const char *style : kHistoryStyles)
    styles.append(style);
  py::object hist = history.attr("history");
  py::list h_list;
  std::size_t position = 0;
  for (py::handle key : hist) {
    const int found = PySequence_Contains(key.ptr(), metrics.ptr());
    if (found < 0)
      throw py::error_already_set();
    if (found == 1) {
      py::object style = styles[py::int_(position)];
      plt.attr("plot")(hist.attr("get")(key), style, "label"_a = key);
      h_list.append(key);
    }
    ++position;
  }
  plt.attr("legend")(h_list, "loc"_a = "upper left", "fontsize"_a = "small");
  plt.attr("title")(metrics);
  plt.attr("xlabel")("Epoch");
  plt.attr("ylabel")(metrics);
  plt.attr("grid")(true);
  if (!save_fig.is_none()) {
    const bool png = save_fig.attr("endswith")(".png").cast<bool>();
    py::object name = py::str(png ? "{}_{}" : "{}_{}.png").format(metrics, save_fig);
    // The folder the figure goes into (not one named after save_fig).
    py::object os = m.attr("os");
    py::object folder = os.attr("path").attr("dirname")(name);
    if (py::len(folder) > 0)
      os.attr("makedirs")(folder, "exist_ok"_a = true);
    plt.attr("savefig")(name, "dpi"_a = kHistoryDpi);
  }
  plt.attr("show")();
  plt.attr("close")();
}

void history_panel(const py::object &plt, const py::object &history, const char *train,
                   const char *validation, const char *title, const char *ylabel) {
  plt.attr("plot")(history[py::str(train)]);
  plt.attr("plot")(history[py::str(validation)]);
  plt.attr("title")(title);
  plt.attr("ylabel")(ylabel);
  plt.attr("xlabel")("Epoch");
  plt.attr("legend")(py::make_tuple("Train", "Validation"), "loc"_a = "upper left");
}

void hist_plt(py::object hist, py::object fig_dir, py::object show) {
  py::object plt = self().attr("plt");
  py::object fig = plt.attr("figure")("figsize"_a = py::make_tuple(10, 5));
  closing_on_error(plt, fig, [&] {
    py::object history = hist.attr("history");
    plt.attr("subplot")(1, 2, 1);
    history_panel(plt, history, "accuracy", "val_accuracy", "Model Accuracy", "Accuracy");
    plt.attr("subplot")(1, 2, 2);
    history_panel(plt, history, "loss", "val_loss", "Model Loss", "Loss");
    plt.attr("tight_layout")();
    if (!fig_dir.is_none())
      plt.attr("savefig")(py::str(fig_dir), "dpi"_a = kHistoryDpi);
  });
  if (py::bool_(show)) {
    plt.attr("show")();
    plt.attr("close")();
  }
}

// ---------------------------------------------------------------- feature plots

py::object normalize(py::object x, py::object axis) {
  // scikit-learn is imported on first use only: it is slow to import.
  return import_extra("sklearn.preprocessing", kExtra, kModule)
      .attr("minmax_scale")(x, "axis"_a = axis);
}

// Adds one frame-based feature curve (first row of `feature`) to `ax`.
void feature_curve(const py::module_ &m, py::object ax, const py::object &y, const py::object &sr,
                   const py::object &feature, bool scaled, const py::object &color,
                   const py::object &label) {
  py::object values = feature[py::int_(0)];
  py::object t = time_axis(m, y, sr, py::len(values));
  if (scaled)
    values = m.attr("normalize")(values);
  ax.attr("plot")(t, values, "color"_a = color, "label"_a = label);
}

void plot_spectral_centroid(py::object ax, py::object y, py::object sr, py::object color,
                            py::object label) {
  py::module_ m = self();
  py::object feature =
      m.attr("librosa").attr("feature").attr("spectral_centroid")("y"_a = y, "sr"_a = sr);
  feature_curve(m, ax, y, sr, feature, true, color, label);
  ax.attr("set_title")("Spectral Centroid");
  ax.attr("legend")();
}

void plot_spectral_rolloff(py::object ax, py::object y, py::object sr, py::object color,
                           py::object label) {
  py::module_ m = self();
  py::object feature =
      m.attr("librosa").attr("feature").attr("spectral_rolloff")("y"_a = y, "sr"_a = sr);
  feature_curve(m, ax, y, sr, feature, true, color, label);
  ax.attr("set_title")("Spectral Rolloff");
  ax.attr("legend")();
}

void plot_zcr(py::object ax, py::object y, py::object sr, py::object color, py::object label) {
  py::module_ m = self();
  ax.attr("set_title")("ZCR");
  py::object feature = m.attr("librosa").attr("feature").attr("zero_crossing_rate")(
      "y"_a = y + py::float_(kZcrOffset));
  feature_curve(m, ax, y, sr, feature, false, color, label);
  ax.attr("legend")();
}

void plot_power_spectral_density(py::object ax, py::object y, py::object sr, py::object color,
                                 py::object label) {
  py::module_ m = self();
  py::tuple welch = unpack(m.attr("signal").attr("welch")(y, "fs"_a = sr, "nfft"_a = kWelchFft), 2);
  ax.attr("semilogx")(welch[0], welch[1], "color"_a = color, "label"_a = label);
  ax.attr("set_title")("Power Spectral Density");
  ax.attr("set_xlabel")("Frequency[Hz]");
  ax.attr("set_ylabel")("PSD [V**2/Hz]");
  ax.attr("grid")("which"_a = "major", "axis"_a = "both");
  ax.attr("legend")();
}

enum class Features { Four, Three, Psd };

// Waveform with spectral centroid, roll-off and ZCR on one axes.
void draw_feature_overlay(const py::module_ &m, const py::object &ax, const py::object &y,
                          const py::object &sr) {
  m.attr("librosa").attr("display").attr("waveshow")(y, "sr"_a = sr, "alpha"_a = 0.4, "ax"_a = ax,
                                                     "label"_a = "waveform");
  m.attr("plot_spectral_centroid")(ax, y, sr, "color"_a = "r", "label"_a = "spectral_centroid");
  m.attr("plot_spectral_rolloff")(ax, y, sr, "color"_a = "b", "label"_a = "spectral_rolloff");
  m.attr("plot_zcr")(ax, y, sr, "color"_a = "g", "label"_a = "zcr");
  ax.attr("set_xlim")(0, whole_seconds(y, sr));
  ax.attr("grid")("which"_a = "major", "axis"_a = "both");
  ax.attr("set_title")("spectral centroid & spectral rolloff & zcr");
}

void feature_figure(Features kind, py::object file, py::object show, py::object save_dir,
                    py::object dpi) {
  py::module_ m = self();
  py::object plt = m.attr("plt");
  // Plain references, not a structured binding: lambdas below capture them,
  // which Clang accepts only from version 16.
  const auto loaded = load_pair(m, file);
  const py::object &y = loaded.first, &sr = loaded.second;
  py::tuple made =
      unpack(kind == Features::Four
                 ? plt.attr("subplots")(2, 1, "figsize"_a = py::make_tuple(10, 10), "dpi"_a = dpi)
                 : plt.attr("subplots")("figsize"_a = py::make_tuple(7, 5), "dpi"_a = dpi),
             2);
  py::object fig = made[0], ax = made[1];
  closing_on_error(plt, fig, [&] {
    switch (kind) {
    case Features::Four:
      draw_feature_overlay(m, ax[py::int_(0)], y, sr);
      m.attr("plot_power_spectral_density")(ax[py::int_(1)], y, sr);
      break;
    case Features::Three:
      draw_feature_overlay(m, ax, y, sr);
      break;
    case Features::Psd:
      m.attr("plot_power_spectral_density")(ax, y, sr);
      break;
    }
    plt.attr("tight_layout")();
    if (!save_dir.is_none())
      plt.attr("savefig")(save_dir);
    if (py::bool_(show))
      plt.attr("show")();
  });
  plt.attr("close")();
}

void basic_analyze(py::object file, py::object show, py::object save_dir) {
  py::module_ m = self();
  py::object plt = m.attr("plt");
  py::object librosa = m.attr("librosa");
  // Plain references, not a structured binding: lambdas below capture them,
  // which Clang accepts only from version 16.
  const auto loaded = load_pair(m, file);
  const py::object &y = loaded.first, &sr = loaded.second;
  py::object fig = plt.attr("figure")("figsize"_a = py::make_tuple(10, 8), "dpi"_a = kDefaultDpi);
  closing_on_error(plt, fig, [&] {
    plt.attr("subplot")(311);
    plt.attr("title")(m.attr("Path")(file).attr("stem"));
    librosa.attr("display").attr("waveshow")(y, "sr"_a = sr);
    py::object stft = librosa.attr("stft")(y);
    py::object db = librosa.attr("amplitude_to_db")(m.attr("np").attr("abs")(stft));
    plt.attr("subplot")(312);
    plt.attr("title")("STFT");
    librosa.attr("display").attr("specshow")(db, "sr"_a = sr, "x_axis"_a = "time",
                                             "y_axis"_a = "hz", "cmap"_a = jet(m));
    plt.attr("subplot")(313);
    plt.attr("title")("ZCR");
    py::object zcrs =
        librosa.attr("feature").attr("zero_crossing_rate")("y"_a = y + py::float_(kZcrOffset));
    py::object rates = zcrs[py::int_(0)];
    plt.attr("plot")(time_axis(m, y, sr, py::len(rates)), rates);
    plt.attr("axis")(py::make_tuple(0, whole_seconds(y, sr), 0,
                                    py::module_::import("builtins").attr("max")(rates)));
    plt.attr("tight_layout")();
    if (!save_dir.is_none())
      plt.attr("savefig")(py::str(save_dir));
    if (py::bool_(show))
      plt.attr("show")();
  });
  plt.attr("close")();
}

} // namespace

PYBIND11_MODULE(visual, m) {
  register_translators();
  m.doc() = "Waveform, spectrogram, spectral-feature and training-history figures.";

  m.attr("os") = py::module_::import("os");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  // librosa comes with librosa.display imported, so both are usable; the
  // colour-map registry replaces cm.get_cmap, gone from current matplotlib.
  bind_lazily(m, {{"plt", "matplotlib.pyplot", nullptr, nullptr, kExtra},
                  {"librosa", "librosa", nullptr, "librosa.display"},
                  {"np", "numpy"},
                  {"cm", "matplotlib.cm", nullptr, nullptr, kExtra},
                  {"colormaps", "matplotlib", "colormaps", nullptr, kExtra},
                  {"signal", "scipy.signal"}});
  py::module_ io = py::module_::import("tavol.core.io");
  m.attr("copy_waves") = io.attr("copy_waves");
  m.attr("file_load") = io.attr("file_load");
  m.attr("__all__") = py::list(py::make_tuple("Common", "WaveVisualizer", "history_plot"));

  py::object common = make_common(m);
  m.attr("Common") = common;
  m.attr("WaveVisualizer") = make_wave_visualizer(common);

  m.def("history_plot", &history_plot, "history"_a, "metrics"_a = "loss", "save_fig"_a = py::none(),
        "Plots every series of history.history whose key contains `metrics`; with save_fig, "
        "also saves the figure as '<metrics>_<save_fig>.png' at 150 dpi. Shows, then closes it.");
  m.def("hist_plt", &hist_plt, "hist"_a, "fig_dir"_a = py::none(), "show"_a = false,
        "Accuracy and loss curves (train and validation) side by side; saved to fig_dir when "
        "given; shown and closed when `show`, else left open.");
  m.def("normalize", &normalize, "x"_a, "axis"_a = 0,
        "Returns x scaled to the range 0 to 1 along `axis`.");
  m.def("plot_spectral_centroid", &plot_spectral_centroid, "ax"_a, "y"_a, "sr"_a, "color"_a = "r",
        "label"_a = py::none(), "Adds the scaled spectral centroid of y to `ax`.");
  m.def("plot_spectral_rolloff", &plot_spectral_rolloff, "ax"_a, "y"_a, "sr"_a, "color"_a = "r",
        "label"_a = py::none(), "Adds the scaled spectral roll-off of y to `ax`.");
  m.def("plot_zcr", &plot_zcr, "ax"_a, "y"_a, "sr"_a, "color"_a = "r", "label"_a = py::none(),
        "Adds the zero-crossing rate of y to `ax`.");
  m.def("plot_power_spectral_density", &plot_power_spectral_density, "ax"_a, "y"_a, "sr"_a,
        "color"_a = "b", "label"_a = py::none(),
        "Adds the Welch power spectral density of y to `ax` (log frequency axis).");
  m.def("basic_analyze", &basic_analyze, "file"_a, "show"_a = false, "save_dir"_a = py::none(),
        "Waveform, STFT and zero-crossing rate of one audio file.");
  struct FeatureFigure {
    const char *name;
    Features features;
    const char *doc;
  };
  for (const FeatureFigure &figure : {
           FeatureFigure{"plot_4_features", Features::Four,
                         "Plot Waveform / Spectral Centroid / Spectral Rolloff / ZCR /Power "
                         "Spectral Density"},
           FeatureFigure{"plot_3_features", Features::Three,
                         "Plot Waveform / Spectral Centroid / Spectral Rolloff / ZCR"},
           FeatureFigure{"plot_PSD", Features::Psd, "Plot Power Spectral Density"},
       })
    m.def(
        figure.name,
        [features = figure.features](py::object file, py::object show, py::object save_dir,
                                     py::object dpi) {
          feature_figure(features, file, show, save_dir, dpi);
        },
        "file"_a, "show"_a = false, "save_dir"_a = py::none(), "dpi"_a = kDefaultDpi, figure.doc);
  finish_module(m);
}
