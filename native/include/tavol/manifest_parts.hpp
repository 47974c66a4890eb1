// A manifest cut into parts that separate workers (processes, machines)
// render on their own, and the rendering of one part.
//
// Every file's bytes are fixed by its row (the noise offset is in the
// manifest), so parts can be rendered anywhere, in any order, any number of
// times: writes are atomic, and a part rendered again writes the same bytes.
//
// Thread safety: plain data and pure functions, except render_part, which
// writes files (two calls may run at once on different parts).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tavol/audio_cache.hpp"
#include "tavol/manifest.hpp"
#include "tavol/mix.hpp"

namespace tavol {

struct ManifestPart {
  std::vector<std::size_t> rows;   // rows it writes (positions in the manifest), in render order
  std::vector<std::size_t> stages; // stage rows they mix in memory, in manifest order
};

// Splits the rows that write a file (copies first, then the mixing rows grouped
// by noise recording, as rows_by_noise orders them) into consecutive parts of
// at most `max_rows` rows and, past its first row, at most `max_samples`
// output samples (a copy counts as none). A noise recording is so decoded by
// few parts: those its group spans.
// With `threads` (the threads that render the parts, taking them in order),
// parts shrink towards the end so that the threads finish together: each
// takes at most half of the samples left over the threads, but no more than
// max_samples and no less than a quarter of that or `min_samples`.
std::vector<ManifestPart> partition_rows(const std::vector<ManifestRow> &rows,
                                         std::size_t max_samples, std::size_t max_rows,
                                         std::size_t threads = 0, std::size_t min_samples = 0);

struct RowOutcome {
  enum class State { Written, Complete, Failed };
  State state = State::Written;
  MixStats stats;    // of a written mixing row
  std::string error; // of a failed row
};

// The rate a part's mixtures are rendered at (that of its first mixing row).
int part_rate(const std::vector<ManifestRow> &rows);

// Writes the files of `rows` (a part, stage rows included), one outcome per
// row. Stage rows are mixed in memory where used, never written (Complete).
// With `resume`, a row whose output is already complete is passed over
// (Complete). A row that fails for a reason of its own (a missing or broken
// input, a mixture the clipping policy refuses, a file that cannot be
// written) is Failed with the reason, and the others are still written.
// Recordings come from `recordings` when given (MixRenderer::shared_cache at
// part_rate(rows)), so that the parts one process renders decode each once.
std::vector<RowOutcome> render_part(const std::vector<ManifestRow> &rows, bool resume,
                                    std::shared_ptr<AudioCache> recordings = nullptr);

// Removes the temporary files of atomic writes (names starting with
// kTemporaryPrefix) from `folder`, not below it: what a writer killed between
// writing and renaming leaves behind. Only for a folder no writer is still
// writing into. Returns how many were removed; a missing folder has none.
std::size_t remove_temporaries(const std::filesystem::path &folder);

} // namespace tavol
