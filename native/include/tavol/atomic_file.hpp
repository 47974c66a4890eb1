// Files written atomically: the bytes go to a temporary file in the
// destination folder, which is renamed over the final name once complete, so
// a reader (or an interrupted run) never sees a partial file under that name.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "tavol/platform/file.hpp"

namespace tavol {

class AtomicFile {
public:
  // Creates the temporary beside `path`, under a short name of fixed length
  // (so any final name the file system can hold can be written) that no other
  // writer, in this process or another, picks at the same time. `owner_only`
  // creates it readable by its owner alone until commit() sets the final
  // permissions. Throws IoError "<create_failure><path>: <reason>".
  explicit AtomicFile(std::filesystem::path path, bool owner_only = false,
                      const std::string &create_failure = "cannot create ");
  AtomicFile(const AtomicFile &) = delete;
  AtomicFile &operator=(const AtomicFile &) = delete;
  // Removes the temporary unless commit() succeeded.
  ~AtomicFile();

  const std::filesystem::path &temporary() const noexcept { return temporary_; }
  // Appends `first` then `second`; IoError "cannot write <path>".
  void write(const void *first, std::size_t first_bytes, const void *second = nullptr,
             std::size_t second_bytes = 0);
  // Closes the temporary (setting `permissions` first, if given) and renames
  // it over the final name; IoError "cannot write" / "cannot rename onto".
  void commit(std::optional<unsigned> permissions = std::nullopt);

private:
  [[noreturn]] void fail(int error, const std::string &what);

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  platform::File file_;
  bool committed_ = false;
};

} // namespace tavol
