// The manifest of a synthesis run: one row per file the run writes, enough to
// write every file again with no random draw, and what each file came out as.
//
// On disk it is a CSV file (RFC 4180, header line first, UTF-8 or the file
// system's bytes) that pandas.read_csv reads with no options. Paths are
// relative: outputs to the output folder, inputs (clean and noise files) to
// the folder holding the manifest, so a manifest renders again after the
// corpora and the outputs have moved together. A stage row (a mixture the
// extra mode makes in its staging folder and mixes again) names its output as
// the run did ("tmp_mixed/<name>"); a clean or noise value equal to a stage
// row's output means that row's mixture, which render() makes in memory.
//
// Thread safety: plain data and pure functions, except the file functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavol/constants.hpp"
#include "tavol/mix.hpp"
#include "tavol/mix_renderer.hpp"

namespace tavol {

// What a row writes. Mixture: a planned entry; Silence: an entry the silence
// share added; Stage: an extra-mode stage-one mixture (never in the output
// folder); RawCopy / CleanCopy: a byte copy of a clean file ("RAW_DATA"
// copies of syn, "_n0" copies of the extra mode); CleanTarget: the clean of a
// rescaled mixture, scaled the same way.
enum class RowKind { Mixture, Silence, Stage, RawCopy, CleanCopy, CleanTarget };

std::string_view to_string(RowKind kind) noexcept;
std::string_view to_string(SnrDefinition definition) noexcept;
std::string_view to_string(Clipping clipping) noexcept;
std::string_view to_string(NoiseFit fit) noexcept;
// The reverse; false for a name that is not one.
bool parse(std::string_view text, SnrDefinition &out) noexcept;
bool parse(std::string_view text, Clipping &out) noexcept;

struct ManifestRow {
  RowKind kind = RowKind::Mixture;
  // Output, clean, noise (paths as the run names them), SNR, noise offset,
  // policies. A copy uses output and clean (its source) only.
  MixJob job;
  NoiseFit fit = NoiseFit::Whole; // how the noise was fitted to the clean
  std::size_t samples = 0;        // of the output
  int rate = kSynthRate;          // of the output, Hz
  std::optional<MixStats> stats;  // once written
  bool copies() const noexcept { return kind == RowKind::RawCopy || kind == RowKind::CleanCopy; }
};

// The columns, in order.
const std::vector<std::string> &manifest_columns();

// The cells of manifest rows as the CSV text holds them, one row at a time:
// outputs relative to `out_folder`, inputs relative to `base` (stage rows and
// references to them as they are), numbers in their shortest exact form,
// empty cells for values a row does not have (measured values of rows
// without stats, the mixing columns of copies). Inputs shared by many rows
// are made relative once. Not thread-safe (it caches).
class ManifestCells {
public:
  // `rows`: all the rows of the manifest (stage rows decide which inputs are
  // references to them).
  ManifestCells(const std::vector<ManifestRow> &rows, const std::filesystem::path &out_folder,
                const std::filesystem::path &base);
  // The cells of `row`, in the order of manifest_columns(), into `cells`.
  void row(const ManifestRow &row, std::vector<std::string> &cells);

private:
  std::string output(const std::string &path) const;
  const std::string &input(const std::string &path);
  std::unordered_set<std::string> staged_;
  std::unordered_map<std::string, std::string> inputs_;
  std::filesystem::path out_root_, in_root_;
  std::string out_prefix_;
};

// The CSV text of `rows`, cells as ManifestCells gives them.
std::string manifest_csv(const std::vector<ManifestRow> &rows,
                         const std::filesystem::path &out_folder,
                         const std::filesystem::path &base);

// Cells of a CSV text, header row first. InvalidArgument for an unterminated quote.
std::vector<std::vector<std::string>> parse_csv(std::string_view text);

// Rows from parsed CSV cells, with outputs resolved against `out_folder` and
// inputs against `base`. InvalidArgument naming the row (0-based, as pandas
// numbers it) and the column for a missing column, a value of the wrong type,
// a non-finite number, an output path that leaves the output folder (".."
// or absolute), an input that does not exist, or rows of different rates.
// Without `check_inputs`, inputs are resolved but not looked for: a machine
// that only splits the work may not see the files the workers read.
std::vector<ManifestRow> manifest_rows(const std::vector<std::vector<std::string>> &cells,
                                       const std::filesystem::path &out_folder,
                                       const std::filesystem::path &base, bool check_inputs = true);

// True when the row's output exists with the size its row gives it (16-bit
// header and samples, or the source's size for a copy): a file an interrupted
// run left short, or one deleted since, is not complete.
bool output_complete(const ManifestRow &row);

// Positions of the rows that mix (stage rows excluded), grouped by noise
// recording, groups in order of first use: each group decodes its noise once.
std::vector<std::vector<std::size_t>> rows_by_noise(const std::vector<ManifestRow> &rows);

// The positions of the rows that mix, in the order one process renders them
// with a decode cache of `cache_bytes`. The rows' own order when the distinct
// noise recordings fit a quarter of the cache (judged from their files' sizes:
// at most kDecodedPerStoredByte bytes decoded per byte stored; a noise that is
// no file, such as a staged mixture, counts as not fitting): a manifest
// lists each clean's mixtures together, so the clean is decoded once and is
// still in the processor's caches for its next mixture, while the noises stay
// in the decode cache between their uses. Otherwise grouped by noise
// (rows_by_noise), so that each noise is decoded once however many there are.
std::vector<std::size_t> render_order(const std::vector<ManifestRow> &rows,
                                      std::size_t cache_bytes);
inline constexpr std::uintmax_t kDecodedPerStoredByte = 8; // 8-bit samples to float, upsampled 2x

// `path` relative to `base` (both made absolute and normalised, without
// resolving links); `path` itself when no relative form exists.
std::string relative_path(const std::filesystem::path &path, const std::filesystem::path &base);

// Writes `text` to `path` through a temporary file in the same folder and a
// rename; IoError on failure, leaving what was there before.
void write_text_atomically(const std::filesystem::path &path, std::string_view text);
// Copies `from` to `to` the same way.
void copy_file_atomically(const std::filesystem::path &from, const std::filesystem::path &to);

} // namespace tavol
