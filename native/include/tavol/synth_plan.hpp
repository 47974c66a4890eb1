// The plan of a synthesis run as plain data: which clean file, which noise
// and which SNR every output uses (as indices into the caller's lists), the
// names of the outputs, and the checks that keep a run from deleting what it
// must not or from failing halfway on a name the file system cannot hold.
//
// Conventions: paths are byte strings as the file system takes them (no
// encoding assumed); indices are positions in the caller's lists. Pure
// functions, except check_output_folder, which reads the file system.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tavol {

// One entry of a plan: positions in the clean, noise and SNR lists.
struct Pairing {
  std::size_t clean = 0;
  std::size_t noise = 0;
  std::size_t snr = 0;
  bool operator==(const Pairing &) const = default;
};

// Regular mode: one entry per clean file, in order; entry i takes noise
// i mod noises and SNR i mod snrs. InvalidArgument when noises or snrs is 0
// and there are clean files.
std::vector<Pairing> pair_in_turn(std::size_t cleans, std::size_t noises, std::size_t snrs);

// Every combination, clean-major, then noise, then SNR: cleans*noises*snrs entries.
// (Also the extra mode's two stages: noise x background x background SNR, then
// clean x enlarged noise set x SNR.)
std::vector<Pairing> pair_all(std::size_t cleans, std::size_t noises, std::size_t snrs);

// "<clean>_<noise>_<tag>.wav": the extension is appended, never put in place
// of a dotted part of the stems or the tag.
std::string mixture_name(std::string_view clean_stem, std::string_view noise_stem,
                         std::string_view snr_tag);
// "<clean><noise>_n00.wav", the name of a silence entry (no separator between the stems).
std::string silence_name(std::string_view clean_stem, std::string_view noise_stem);

// The output paths of a plan: folder_of_clean[p.clean] / mixture_name(...).
// An empty folder gives the bare name.
std::vector<std::string> mixture_paths(const std::vector<Pairing> &plan,
                                       const std::vector<std::string> &folder_of_clean,
                                       const std::vector<std::string> &clean_stems,
                                       const std::vector<std::string> &noise_stems,
                                       const std::vector<std::string> &snr_tags);

// Makes the paths unique (compared byte for byte): the first holder of a path
// keeps it, every later one gets the next free numbered name "<stem>_<n><ext>"
// (n = 2, 3, ...; the number goes after the whole stem, before the last
// extension), skipping names that another entry already holds. Returns the
// positions renamed, in order.
std::vector<std::size_t> number_repeated_paths(std::vector<std::string> &paths);

// InvalidArgument naming the first path with a component longer than
// `max_name` bytes or a length beyond `max_path` bytes.
void check_path_lengths(const std::vector<std::string> &paths, std::size_t max_name,
                        std::size_t max_path);

// Folders that no run may use as its output folder: the working folder and
// its ancestors, the home folder and its ancestors (the file-system root is
// one of them), and the run's staging folder with everything above or below it.
struct ProtectedFolders {
  std::filesystem::path working; // the current folder
  std::filesystem::path home;    // empty when unknown
  std::filesystem::path staging; // empty when the run stages nothing
};

// Refuses (InvalidArgument, touching nothing) an output folder that is, or
// lies above, one of `inputs` (wiping it would delete them), or that is one
// of the protected folders. `caller` starts the message ("syn", ...). Paths
// are compared after resolving symbolic links and "..", so "." and an
// absolute spelling of the working folder are the same folder.
void check_output_folder(const std::filesystem::path &folder,
                         const std::vector<std::filesystem::path> &inputs,
                         const ProtectedFolders &protect, std::string_view caller);

} // namespace tavol
