// Parts of a manifest, and the rendering of one part row by row.
#include "tavol/manifest_parts.hpp"

#include <algorithm>
#include <system_error>
#include <unordered_set>

#include "tavol/mix_renderer.hpp"

namespace tavol {
namespace fs = std::filesystem;

std::vector<ManifestPart> partition_rows(const std::vector<ManifestRow> &rows,
                                         std::size_t max_samples, std::size_t max_rows,
                                         std::size_t threads, std::size_t min_samples) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].copies())
      order.push_back(i);
  for (const auto &group : rows_by_noise(rows))
    order.insert(order.end(), group.begin(), group.end());

  std::unordered_set<std::string> staged;
  for (const ManifestRow &row : rows)
    if (row.kind == RowKind::Stage)
      staged.insert(row.job.output.string());

  auto cost_of = [&rows](std::size_t i) { return rows[i].copies() ? 0 : rows[i].samples; };
  std::size_t left = 0;
  for (std::size_t i : order)
    left += cost_of(i);
  std::vector<ManifestPart> parts;
  std::size_t samples = 0, budget = max_samples;
  max_rows = std::max<std::size_t>(max_rows, 1);
  for (std::size_t i : order) {
    const std::size_t cost = cost_of(i);
    if (parts.empty() || parts.back().rows.size() >= max_rows || samples + cost > budget) {
      parts.emplace_back();
      samples = 0;
      if (threads > 0)
        budget =
            std::min(std::max({left / (2 * threads), max_samples / 4, min_samples}), max_samples);
    }
    left -= cost;
    parts.back().rows.push_back(i);
    samples += cost;
  }
  if (staged.empty())
    return parts;
  for (ManifestPart &part : parts) {
    std::unordered_set<std::string> used;
    for (std::size_t i : part.rows)
      for (const std::string *input : {&rows[i].job.clean, &rows[i].job.noise})
        if (staged.count(*input))
          used.insert(*input);
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i].kind == RowKind::Stage && used.count(rows[i].job.output.string()))
        part.stages.push_back(i);
  }
  return parts;
}

int part_rate(const std::vector<ManifestRow> &rows) {
  for (const ManifestRow &row : rows)
    if (!row.copies() && row.kind != RowKind::Stage)
      return row.rate;
  return kSynthRate;
}

std::vector<RowOutcome> render_part(const std::vector<ManifestRow> &rows, bool resume,
                                    std::shared_ptr<AudioCache> recordings) {
  std::vector<RowOutcome> out(rows.size());
  MixRenderer renderer(part_rate(rows));
  if (recordings)
    renderer.share(std::move(recordings));
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].kind == RowKind::Stage) {
      renderer.stage(rows[i].job.output.string(), rows[i].job);
      out[i].state = RowOutcome::State::Complete;
    } else if (resume && output_complete(rows[i])) {
      out[i].state = RowOutcome::State::Complete;
    } else {
      todo.push_back(i);
    }
  }

  std::vector<MixJob> jobs;
  for (std::size_t i : todo)
    if (!rows[i].copies())
      jobs.push_back(rows[i].job);
  renderer.expect(jobs);
  for (std::size_t i : todo) {
    const ManifestRow &row = rows[i];
    try {
      if (row.copies()) {
        std::error_code ec;
        fs::create_directories(row.job.output.parent_path(), ec);
        copy_file_atomically(row.job.clean, row.job.output);
      } else {
        out[i].stats = renderer.render_job(row.job, true);
      }
    } catch (const std::exception &e) {
      out[i].state = RowOutcome::State::Failed;
      out[i].error = e.what();
    }
  }
  return out;
}

std::size_t remove_temporaries(const fs::path &folder) {
  std::error_code ec;
  std::size_t removed = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, std::char_traits<char>::length(kTemporaryPrefix), kTemporaryPrefix) == 0 &&
        it->is_regular_file(ec) && fs::remove(it->path(), ec))
      ++removed;
  }
  return removed;
}

} // namespace tavol
