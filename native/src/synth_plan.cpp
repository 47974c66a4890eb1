// Pairing, naming and output-folder checks of a synthesis plan.
#include "tavol/synth_plan.hpp"

#include <string>
#include <system_error>
#include <unordered_set>

#include "tavol/errors.hpp"

namespace tavol {
namespace fs = std::filesystem;
namespace {

// `folder` with symbolic links and "." / ".." resolved, as far as it exists.
fs::path resolved(const fs::path &folder) {
  std::error_code ec;
  fs::path abs = fs::absolute(folder, ec);
  if (ec)
    abs = folder;
  fs::path real = fs::weakly_canonical(abs, ec);
  return ec ? abs.lexically_normal() : real;
}

// True when `inner` is `outer` or lies below it (both resolved).
bool is_within(const fs::path &inner, const fs::path &outer) {
  const fs::path rel = inner.lexically_relative(outer);
  return !rel.empty() && *rel.begin() != "..";
}

std::string in_quotes(const fs::path &p) {
  std::string out(1, '\'');
  out.append(p.native());
  out.push_back('\'');
  return out;
}

} // namespace

std::vector<Pairing> pair_in_turn(std::size_t cleans, std::size_t noises, std::size_t snrs) {
  if (cleans > 0 && (noises == 0 || snrs == 0))
    throw InvalidArgument("cannot pair " + std::to_string(cleans) + " clean files with " +
                          std::to_string(noises) + " noises and " + std::to_string(snrs) + " SNRs");
  std::vector<Pairing> plan(cleans);
  for (std::size_t i = 0; i < cleans; ++i)
    plan[i] = {i, i % noises, i % snrs};
  return plan;
}

std::vector<Pairing> pair_all(std::size_t cleans, std::size_t noises, std::size_t snrs) {
  std::vector<Pairing> plan;
  plan.reserve(cleans * noises * snrs);
  for (std::size_t c = 0; c < cleans; ++c)
    for (std::size_t n = 0; n < noises; ++n)
      for (std::size_t s = 0; s < snrs; ++s)
        plan.push_back({c, n, s});
  return plan;
}

std::string mixture_name(std::string_view clean_stem, std::string_view noise_stem,
                         std::string_view snr_tag) {
  std::string name;
  name.reserve(clean_stem.size() + noise_stem.size() + snr_tag.size() + 6);
  name.append(clean_stem).append("_").append(noise_stem).append("_").append(snr_tag);
  return name.append(".wav");
}

std::string silence_name(std::string_view clean_stem, std::string_view noise_stem) {
  return std::string(clean_stem).append(noise_stem).append("_n00.wav");
}

std::vector<std::string> mixture_paths(const std::vector<Pairing> &plan,
                                       const std::vector<std::string> &folder_of_clean,
                                       const std::vector<std::string> &clean_stems,
                                       const std::vector<std::string> &noise_stems,
                                       const std::vector<std::string> &snr_tags) {
  std::vector<std::string> paths;
  paths.reserve(plan.size());
  for (const Pairing &p : plan) {
    if (p.clean >= clean_stems.size() || p.clean >= folder_of_clean.size() ||
        p.noise >= noise_stems.size() || p.snr >= snr_tags.size())
      throw InvalidArgument("plan entry refers past the end of its lists");
    const std::string &folder = folder_of_clean[p.clean];
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
      path.push_back('/');
    path.append(mixture_name(clean_stems[p.clean], noise_stems[p.noise], snr_tags[p.snr]));
    paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::size_t> number_repeated_paths(std::vector<std::string> &paths) {
  std::unordered_set<std::string> taken(paths.begin(), paths.end());
  std::unordered_set<std::string> seen;
  std::vector<std::size_t> renamed;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (seen.insert(paths[i]).second)
      continue;
    const fs::path p(paths[i]);
    const std::string stem = (p.parent_path() / p.stem()).string();
    const std::string ext = p.extension().string();
    for (std::size_t n = 2;; ++n) {
      std::string candidate = stem + "_" + std::to_string(n) + ext;
      if (taken.insert(candidate).second) {
        seen.insert(candidate);
        paths[i] = std::move(candidate);
        break;
      }
    }
    renamed.push_back(i);
  }
  return renamed;
}

void check_path_lengths(const std::vector<std::string> &paths, std::size_t max_name,
                        std::size_t max_path) {
  for (const std::string &path : paths) {
    if (path.size() > max_path)
      throw InvalidArgument("the path " + in_quotes(path) + " is " + std::to_string(path.size()) +
                            " bytes long; the file system takes at most " +
                            std::to_string(max_path));
    for (const fs::path &part : fs::path(path))
      if (part.native().size() > max_name)
        throw InvalidArgument(
            "the name " + in_quotes(part) + " is " + std::to_string(part.native().size()) +
            " bytes long; the file system takes at most " + std::to_string(max_name) +
            " bytes per name (in " + in_quotes(path) + ")");
  }
}

void check_output_folder(const fs::path &folder, const std::vector<fs::path> &inputs,
                         const ProtectedFolders &protect, std::string_view caller) {
  const std::string start =
      "[tl.] " + std::string(caller) + ": the output folder " + in_quotes(folder);
  const fs::path root = resolved(folder);
  if (root == root.root_path())
    throw InvalidArgument(start + " is the root of the file system; refusing to wipe it");
  std::error_code ec;
  if (fs::is_directory(root, ec))
    for (const fs::path &input : inputs)
      if (is_within(resolved(input), root))
        throw InvalidArgument(start + " holds the input " + in_quotes(input) +
                              "; refusing to wipe it or write into it");
  if (!protect.working.empty() && is_within(resolved(protect.working), root))
    throw InvalidArgument(start + " is the working folder or one above it; refusing to wipe it");
  if (!protect.home.empty() && is_within(resolved(protect.home), root))
    throw InvalidArgument(start + " is the home folder or one above it; refusing to wipe it");
  if (!protect.staging.empty()) {
    const fs::path staging = resolved(protect.staging);
    if (is_within(staging, root) || is_within(root, staging))
      throw InvalidArgument(start + " is, holds or lies in the staging folder " +
                            in_quotes(protect.staging) +
                            ", which the run wipes; refusing to use it");
  }
}

} // namespace tavol
