// Manifest rows to CSV and back, with the checks that keep a re-render from
// writing anywhere but the output folder.
#include "tavol/manifest.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "tavol/atomic_file.hpp"
#include "tavol/errors.hpp"

namespace tavol {
namespace fs = std::filesystem;
namespace {

constexpr std::array<std::string_view, 6> kKinds = {"mixture",  "silence",    "stage",
                                                    "raw_copy", "clean_copy", "clean_target"};
constexpr std::array<std::string_view, 2> kDefinitions = {"power", "active"};
constexpr std::array<std::string_view, 3> kClippings = {"saturate", "rescale", "error"};
constexpr std::array<std::string_view, 3> kFits = {"repeated", "whole", "excerpt"};

template <class Enum, std::size_t N>
bool lookup(std::string_view text, const std::array<std::string_view, N> &names, Enum &out) {
  for (std::size_t i = 0; i < N; ++i)
    if (names[i] == text) {
      out = static_cast<Enum>(i);
      return true;
    }
  return false;
}

// Columns that a manifest must have; the measured ones after them are only written.
constexpr std::size_t kPlannedColumns = 12;

constexpr const char *kCreateTemporaryFailure = "cannot create a temporary file for ";

std::string number(double v) {
  if (std::isnan(v))
    return "";
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

// One test per character: find_first_of calls memchr on the set for every
// character of the field (0.4 us a row of a corpus-scale run).
bool needs_quotes(std::string_view field) {
  return std::any_of(field.begin(), field.end(),
                     [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; });
}

void append_field(std::string &out, std::string_view field) {
  if (!needs_quotes(field)) {
    out.append(field);
    return;
  }
  out.push_back('"');
  for (char c : field) {
    if (c == '"')
      out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

fs::path normal(const fs::path &p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec);
  fs::path n = (ec ? p : abs).lexically_normal();
  if (n.has_relative_path() && n.filename().empty())
    n = n.parent_path();
  return n;
}

// Parsing of one row, errors naming it.
class RowReader {
public:
  RowReader(const std::vector<std::string> &cells, const std::vector<std::size_t> &where,
            std::size_t row)
      : cells_(cells), where_(where), row_(row) {}

  const std::string &text(std::size_t column) const {
    const std::size_t at = where_[column];
    static const std::string empty;
    return at < cells_.size() ? cells_[at] : empty;
  }
  [[noreturn]] void fail(std::size_t column, const std::string &what) const {
    throw InvalidArgument("manifest row " + std::to_string(row_) + ", column '" +
                          manifest_columns()[column] + "': " + what);
  }
  std::string required(std::size_t column) const {
    const std::string &t = text(column);
    if (t.empty())
      fail(column, "no value");
    return t;
  }
  double real(std::size_t column) const {
    const std::string t = required(column);
    double v = 0.0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size())
      fail(column, "'" + t + "' is not a number");
    if (!std::isfinite(v))
      fail(column, "'" + t + "' is not a finite number");
    return v;
  }
  // A whole number, also written as a float ("12.0", as pandas writes an
  // integer column that has empty cells).
  std::size_t count(std::size_t column) const {
    const double v = real(column);
    if (v < 0 || v != std::floor(v) || v > 9.0e15)
      fail(column, "'" + text(column) + "' is not a whole number of 0 or more");
    return static_cast<std::size_t>(v);
  }
  bool flag(std::size_t column) const {
    const std::string t = required(column);
    if (t == "True" || t == "true" || t == "1" || t == "1.0")
      return true;
    if (t == "False" || t == "false" || t == "0" || t == "0.0")
      return false;
    fail(column, "'" + t + "' is not True or False");
  }
  template <class Enum, std::size_t N>
  Enum name(std::size_t column, const std::array<std::string_view, N> &names) const {
    const std::string t = required(column);
    Enum out{};
    if (!lookup(t, names, out)) {
      std::string choices;
      for (auto n : names)
        choices += (choices.empty() ? "" : ", ") + std::string(n);
      fail(column, "'" + t + "' is not one of " + choices);
    }
    return out;
  }

private:
  const std::vector<std::string> &cells_;
  const std::vector<std::size_t> &where_;
  std::size_t row_;
};

enum Column : std::size_t {
  kOutput,
  kKind,
  kClean,
  kNoise,
  kSnr,
  kDefinition,
  kNoiseOnly,
  kFit,
  kOffset,
  kSamples,
  kRate,
  kClipping,
};

} // namespace

std::string_view to_string(RowKind kind) noexcept { return kKinds[static_cast<std::size_t>(kind)]; }
std::string_view to_string(SnrDefinition d) noexcept {
  return kDefinitions[static_cast<std::size_t>(d)];
}
std::string_view to_string(Clipping c) noexcept { return kClippings[static_cast<std::size_t>(c)]; }
std::string_view to_string(NoiseFit f) noexcept { return kFits[static_cast<std::size_t>(f)]; }
bool parse(std::string_view text, SnrDefinition &out) noexcept {
  return lookup(text, kDefinitions, out);
}
bool parse(std::string_view text, Clipping &out) noexcept { return lookup(text, kClippings, out); }

const std::vector<std::string> &manifest_columns() {
  static const std::vector<std::string> columns = {
      "output",     "kind",       "clean",  "noise",           "snr_db", "snr_definition",
      "noise_only", "fit",        "offset", "samples",         "rate",   "clipping",
      "clean_gain", "noise_gain", "scale",  "realised_snr_db", "peak",   "clipped"};
  return columns;
}

std::string relative_path(const fs::path &path, const fs::path &base) {
  const fs::path rel = normal(path).lexically_relative(normal(base));
  return rel.empty() ? path.string() : rel.string();
}

// Outputs are usually spelled as the output folder, "/", a plain relative
// path: those are cut, the others made relative.
ManifestCells::ManifestCells(const std::vector<ManifestRow> &rows, const fs::path &out_folder,
                             const fs::path &base)
    : out_root_(normal(out_folder)), in_root_(normal(base)),
      out_prefix_(out_folder.native() + "/") {
  for (const ManifestRow &row : rows)
    if (row.kind == RowKind::Stage)
      staged_.insert(row.job.output.string());
}

std::string ManifestCells::output(const std::string &path) const {
  if (path.compare(0, out_prefix_.size(), out_prefix_) == 0 &&
      path.find("/.", out_prefix_.size() - 1) == std::string::npos &&
      path.find("//", out_prefix_.size() - 1) == std::string::npos)
    return path.substr(out_prefix_.size());
  const fs::path rel = normal(path).lexically_relative(out_root_);
  return rel.empty() ? path : rel.string();
}

const std::string &ManifestCells::input(const std::string &path) {
  auto [it, fresh] = inputs_.try_emplace(path);
  if (fresh) {
    if (staged_.count(path)) {
      it->second = path;
    } else {
      const fs::path rel = normal(path).lexically_relative(in_root_);
      it->second = rel.empty() ? path : rel.string();
    }
  }
  return it->second;
}

void ManifestCells::row(const ManifestRow &row, std::vector<std::string> &f) {
  const MixJob &job = row.job;
  f.assign(manifest_columns().size(), std::string());
  f[kOutput] = row.kind == RowKind::Stage ? job.output.string() : output(job.output.native());
  f[kKind] = to_string(row.kind);
  f[kClean] = input(job.clean);
  if (row.copies())
    return;
  f[kNoise] = input(job.noise);
  f[kSnr] = number(job.snr_db);
  f[kDefinition] = to_string(job.definition);
  f[kNoiseOnly] = job.noise_only ? "True" : "False";
  f[kFit] = to_string(row.fit);
  f[kOffset] = std::to_string(job.offset);
  f[kSamples] = std::to_string(row.samples);
  f[kRate] = std::to_string(row.rate);
  f[kClipping] = to_string(job.clipping);
  if (row.stats) {
    const MixStats &s = *row.stats;
    f[kPlannedColumns] = number(s.clean_gain);
    f[kPlannedColumns + 1] = number(s.noise_gain);
    f[kPlannedColumns + 2] = number(s.scale);
    f[kPlannedColumns + 3] = number(s.realised_snr_db);
    f[kPlannedColumns + 4] = std::to_string(s.peak);
    f[kPlannedColumns + 5] = std::to_string(s.clipped);
  }
}

std::string manifest_csv(const std::vector<ManifestRow> &rows, const fs::path &out_folder,
                         const fs::path &base) {
  ManifestCells cells(rows, out_folder, base);
  std::string out;
  const auto &columns = manifest_columns();
  for (std::size_t i = 0; i < columns.size(); ++i)
    out.append(i ? "," : "").append(columns[i]);
  out.append("\n");
  std::vector<std::string> f;
  for (const ManifestRow &row : rows) {
    cells.row(row, f);
    for (std::size_t i = 0; i < f.size(); ++i) {
      if (i)
        out.push_back(',');
      append_field(out, f[i]);
    }
    out.push_back('\n');
  }
  return out;
}

std::vector<std::vector<std::string>> parse_csv(std::string_view text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false, any = false;
  auto end_row = [&] {
    row.push_back(std::move(field));
    field.clear();
    if (!(row.size() == 1 && row[0].empty() && !any))
      rows.push_back(std::move(row));
    row.clear();
    any = false;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.push_back(c);
      }
      continue;
    }
    if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
      any = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        ++i;
      end_row();
    } else {
      field.push_back(c);
      any = true;
    }
  }
  if (quoted)
    throw InvalidArgument("the manifest ends inside a quoted field");
  if (!field.empty() || !row.empty() || any)
    end_row();
  return rows;
}

std::vector<ManifestRow> manifest_rows(const std::vector<std::vector<std::string>> &cells,
                                       const fs::path &out_folder, const fs::path &base,
                                       bool check_inputs) {
  if (cells.empty())
    throw InvalidArgument("the manifest is empty (no header line)");
  const auto &columns = manifest_columns();
  std::vector<std::size_t> where(kPlannedColumns);
  for (std::size_t c = 0; c < kPlannedColumns; ++c) {
    std::size_t at = 0;
    while (at < cells[0].size() && cells[0][at] != columns[c])
      ++at;
    if (at == cells[0].size())
      throw InvalidArgument("the manifest has no column '" + columns[c] + "'");
    where[c] = at;
  }

  std::unordered_set<std::string> staged;
  for (std::size_t r = 1; r < cells.size(); ++r) {
    const RowReader read(cells[r], where, r - 1);
    if (read.text(kKind) == "stage")
      staged.insert(read.text(kOutput));
  }
  const fs::path out_root = normal(out_folder);
  const fs::path in_root = normal(base);
  // Many rows share an input (a noise, a clean file): each is resolved and
  // looked for once.
  std::unordered_map<std::string, std::string> resolved;
  auto input = [&](const RowReader &read, std::size_t column) {
    const std::string &value = read.required(column);
    if (staged.count(value))
      return value;
    if (auto it = resolved.find(value); it != resolved.end())
      return it->second;
    const fs::path path = (in_root / value).lexically_normal();
    std::error_code ec;
    if (check_inputs && !fs::is_regular_file(path, ec))
      read.fail(column, "the input '" + path.string() + "' does not exist");
    return resolved.emplace(value, path.string()).first->second;
  };

  std::vector<ManifestRow> rows;
  rows.reserve(cells.size() - 1);
  int rate = 0;
  for (std::size_t r = 1; r < cells.size(); ++r) {
    const RowReader read(cells[r], where, r - 1);
    ManifestRow row;
    row.kind = read.name<RowKind>(kKind, kKinds);
    const std::string output = read.required(kOutput);
    if (row.kind == RowKind::Stage) {
      row.job.output = output;
    } else {
      const fs::path rel = fs::path(output).lexically_normal();
      if (rel.is_absolute() || rel.has_root_path() || rel.empty() || *rel.begin() == "..")
        read.fail(kOutput, "'" + output + "' leaves the output folder");
      row.job.output = out_root / rel;
    }
    row.job.clean = input(read, kClean);
    if (!row.copies()) {
      row.job.noise = input(read, kNoise);
      row.job.snr_db = read.real(kSnr);
      row.job.definition = read.name<SnrDefinition>(kDefinition, kDefinitions);
      row.job.noise_only = read.flag(kNoiseOnly);
      row.fit = read.name<NoiseFit>(kFit, kFits);
      row.job.offset = read.count(kOffset);
      row.samples = read.count(kSamples);
      const std::size_t row_rate = read.count(kRate);
      if (row_rate < 1 || row_rate > 10'000'000)
        read.fail(kRate, "'" + read.text(kRate) + "' is not a rate in Hz");
      row.rate = static_cast<int>(row_rate);
      if (rate != 0 && row.rate != rate)
        read.fail(kRate, "the manifest mixes rates (" + std::to_string(rate) + " Hz before)");
      rate = row.rate;
      row.job.clipping = read.name<Clipping>(kClipping, kClippings);
      row.job.clean_target = row.kind == RowKind::CleanTarget;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

bool output_complete(const ManifestRow &row) {
  if (row.kind == RowKind::Stage)
    return true;
  std::error_code ec;
  const auto size = fs::file_size(row.job.output, ec);
  if (ec)
    return false;
  if (row.copies()) {
    const auto source = fs::file_size(row.job.clean, ec);
    return !ec && size == source;
  }
  return size == 44 + 2 * static_cast<std::uintmax_t>(row.samples);
}

std::vector<std::vector<std::size_t>> rows_by_noise(const std::vector<ManifestRow> &rows) {
  std::unordered_map<std::string_view, std::size_t> group_of;
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].copies() || rows[i].kind == RowKind::Stage)
      continue;
    const auto [it, fresh] = group_of.try_emplace(rows[i].job.noise, groups.size());
    if (fresh)
      groups.emplace_back();
    groups[it->second].push_back(i);
  }
  return groups;
}

std::vector<std::size_t> render_order(const std::vector<ManifestRow> &rows,
                                      std::size_t cache_bytes) {
  const auto groups = rows_by_noise(rows);
  std::uintmax_t decoded = 0;
  for (const auto &group : groups) {
    std::error_code ec;
    const std::uintmax_t stored = fs::file_size(rows[group.front()].job.noise, ec);
    decoded += ec ? std::uintmax_t{cache_bytes} : stored * kDecodedPerStoredByte;
  }
  std::vector<std::size_t> order;
  order.reserve(rows.size());
  if (decoded <= cache_bytes / 4) {
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (!rows[i].copies() && rows[i].kind != RowKind::Stage)
        order.push_back(i);
  } else {
    for (const auto &group : groups)
      order.insert(order.end(), group.begin(), group.end());
  }
  return order;
}

// As a file made by mkstemp and then opened to all readers: the temporary is
// its owner's alone until it is complete.
void write_text_atomically(const fs::path &path, std::string_view text) {
  AtomicFile out(path, true, kCreateTemporaryFailure);
  out.write(text.data(), text.size());
  out.commit(0644);
}

void copy_file_atomically(const fs::path &from, const fs::path &to) {
  AtomicFile out(to, true, kCreateTemporaryFailure);
  std::error_code ec;
  fs::copy_file(from, out.temporary(), fs::copy_options::overwrite_existing, ec);
  if (ec)
    throw IoError(ec.value(),
                  "cannot copy " + from.string() + " to " + to.string() + ": " +
                      std::strerror(ec.value()),
                  to);
  out.commit();
}

} // namespace tavol
